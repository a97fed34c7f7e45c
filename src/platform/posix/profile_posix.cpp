// Private profile files and file attributes on POSIX: the profile is read
// whole, edited in memory (ini.h) and written back under an exclusive
// advisory lock on the file (flock), readers taking a shared one; within the
// process a reader/writer lock does the same for file systems whose flock
// does not tell one thread from another.
//
// A write replaces the file atomically (a flushed temporary in the same
// directory, renamed over it) when that keeps the file as it was: a regular
// file named directly, not through a symbolic link, with one link, owned by
// the writer, whose group and mode the temporary can take, in a directory
// that accepts the temporary. Any other file is rewritten in place under the
// lock and flushed, so that hard links, symbolic links, owner and mode stay.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/ini.h"

namespace zelmo::platform {
namespace {

// Profile reads and writes of this process.
std::shared_mutex &ProfileLock()
{
    static std::shared_mutex lock;
    return lock;
}

// An open file descriptor, closed (and so unlocked) at the end of its scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens `path` with `flags` and takes the advisory lock `operation` (LOCK_SH
// or LOCK_EX) on it. A writer that held the lock may have renamed a new file
// over the name meanwhile; then the lock is on a file that is no longer the
// profile, and the open is repeated. `st` receives the locked file's status.
int OpenLocked(const char *path, int flags, int operation, struct stat &st)
{
    for (;;) {
        Fd fd(open(path, flags | O_CLOEXEC, 0666));
        if (fd.get() < 0)
            return -1;
        int locked;
        do {
            locked = flock(fd.get(), operation);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0 || fstat(fd.get(), &st) != 0)
            return -1;
        struct stat named;
        if (stat(path, &named) == 0 && SameFile(named, st))
            return fd.Release();
    }
}

std::optional<std::string> ReadAll(int fd)
{
    std::string text;
    char chunk[16384];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, chunk, sizeof chunk, offset);
        if (n > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
            offset += n;
        } else if (n == 0) {
            return text;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

bool WriteAll(int fd, const std::string &text, off_t offset)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the profile (whose locked status is `st`) by a temporary renamed
// over it. Returns nullopt when the replacement would not keep the file as it
// was (nothing has changed then), otherwise whether it succeeded.
std::optional<bool> ReplaceByRename(const char *path, const std::string &text, const struct stat &st)
{
    struct stat named;
    if (lstat(path, &named) != 0 || !S_ISREG(named.st_mode) || !SameFile(named, st) || st.st_nlink != 1 ||
        st.st_uid != geteuid())
        return std::nullopt;
    const std::string name(path);
    const std::size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    Fd fd(mkstemp(temp.data()));
    if (fd.get() < 0)
        return std::nullopt;  // the directory takes no new file
    struct stat made;
    if (fstat(fd.get(), &made) != 0 || (made.st_gid != st.st_gid && fchown(fd.get(), -1, st.st_gid) != 0) ||
        fchmod(fd.get(), st.st_mode & 07777) != 0) {
        fd.Reset();
        unlink(temp.c_str());
        return std::nullopt;
    }
    bool ok = WriteAll(fd.get(), text, 0) && fsync(fd.get()) == 0;
    const int closed = close(fd.Release());
    ok = ok && closed == 0 && rename(temp.c_str(), path) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

// Rewrites the locked file in place. Space for a longer text is reserved
// first, so that a full disk or a size limit fails before a byte changes.
bool RewriteInPlace(int fd, const std::string &text, const struct stat &st)
{
    const off_t size = static_cast<off_t>(text.size());
    if (size > st.st_size && posix_fallocate(fd, 0, size) != 0)
        return false;
    return WriteAll(fd, text, 0) && ftruncate(fd, size) == 0 && fsync(fd) == 0;
}

}  // namespace

unsigned ReadProfileValue(const char *section, const char *key, const char *defaultValue,
                           char *buffer, unsigned size, const char *fileName)
{
    std::optional<std::string> text;
    if (fileName != nullptr && *fileName != '\0') {
        std::shared_lock<std::shared_mutex> hold(ProfileLock());
        struct stat st;
        Fd fd(OpenLocked(fileName, O_RDONLY | O_NONBLOCK, LOCK_SH, st));
        if (fd.get() >= 0 && S_ISREG(st.st_mode))
            text = ReadAll(fd.get());
    }
    return ini::Profile(text ? *text : std::string()).Read(section, key, defaultValue, buffer, size);
}

bool WriteProfileValue(const char *section, const char *key, const char *value, const char *fileName)
{
    if (fileName == nullptr || *fileName == '\0' || section == nullptr)
        return false;
    std::unique_lock<std::shared_mutex> hold(ProfileLock());
    // Every write needs write access to the file, even one that changes
    // nothing; a missing file is created (empty when the write deletes).
    struct stat st;
    Fd fd(OpenLocked(fileName, O_RDWR | O_CREAT, LOCK_EX, st));
    if (fd.get() < 0 || !S_ISREG(st.st_mode))
        return false;
    std::optional<std::string> text = ReadAll(fd.get());
    if (!text)
        return false;
    ini::Profile profile(*text);
    if (!profile.Write(section, key, value))
        return false;
    if (!profile.changed())
        return true;
    const std::string edited = profile.Text();
    if (std::optional<bool> renamed = ReplaceByRename(fileName, edited, st))
        return *renamed;
    return RewriteInPlace(fd.get(), edited, st);
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
