// Private profile files and file attributes on POSIX: the profile is read
// whole, edited in memory (host/ini) and written back through a temporary
// file in the same directory that replaces the profile by rename, so a failed
// write never leaves a half-written profile behind.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "host/ini.h"
#include "platform/platform.h"

namespace zelmo::platform {
namespace {

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};

// The whole content of a regular file; empty optional when it is missing or
// cannot be read.
std::optional<std::string> ReadWhole(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    // Closed on every path, also when memory runs out while the text grows.
    const std::unique_ptr<const int, void (*)(const int *)> closer(&fd, [](const int *f) { close(*f); });
    struct stat st;
    std::optional<std::string> text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.emplace();
        char chunk[16384];
        for (;;) {
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n > 0) {
                text->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                text.reset();
                break;
            }
        }
    }
    return text;
}

bool WriteAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The file that a write replaces: the target of a symbolic link, so that the
// link itself survives.
std::string ResolveTarget(const char *path)
{
    std::unique_ptr<char, FreeDeleter> real(realpath(path, nullptr));
    return real ? std::string(real.get()) : std::string(path);
}

// Whether the caller may write to the existing file `path` in place.
bool Writable(const std::string &path)
{
    const int probe = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

// Replaces the file at `path` with `text` (`existing`: its status, null when
// it is new); the new file keeps the old one's permissions (and owner, where
// allowed).
bool ReplaceFile(const std::string &path, const std::string &text, const struct stat *existing)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, text);
    if (existing != nullptr) {
        if (fchown(fd, existing->st_uid, existing->st_gid) != 0) {
            // Only the owner's identity is lost; the content is what matters.
        }
        ok = ok && fchmod(fd, existing->st_mode & 07777) == 0;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        ok = ok && fchmod(fd, 0666 & ~mask) == 0;
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

}  // namespace

unsigned ReadProfileValue(const char *section, const char *key, const char *defaultValue,
                           char *buffer, unsigned size, const char *fileName)
{
    std::optional<std::string> text;
    if (fileName != nullptr)
        text = ReadWhole(fileName);
    return ini::Profile(text ? *text : std::string()).Read(section, key, defaultValue, buffer, size);
}

bool WriteProfileValue(const char *section, const char *key, const char *value, const char *fileName)
{
    if (fileName == nullptr || *fileName == '\0' || section == nullptr)
        return false;
    const std::string path = ResolveTarget(fileName);
    struct stat st;
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return false;
    std::optional<std::string> text = exists ? ReadWhole(path.c_str()) : std::string();
    if (!text)
        return false;
    ini::Profile profile(*text);
    if (!profile.Write(section, key, value))
        return false;
    // Every write needs write access to an existing file, even one that
    // changes nothing; deleting what is not there leaves a missing file missing.
    if (exists && !Writable(path))
        return false;
    if (!profile.changed())
        return true;
    return ReplaceFile(path, profile.Text(), exists ? &st : nullptr);
}

std::uint32_t ReadFileAttributes(const char *path)
{
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0)
        return kInvalidFileAttributes;
    std::uint32_t attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= 0x10;  // directory
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= kReadOnlyAttribute;
    return attributes == 0 ? 0x80 : attributes;  // 0x80: normal
}

bool WriteFileAttributes(const char *path, std::uint32_t attributes)
{
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0)
        return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kReadOnlyAttribute)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    return chmod(path, mode) == 0;
}

}  // namespace zelmo::platform
