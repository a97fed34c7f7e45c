// POSIX implementation of the seam's file operations for the cached download.
#include <ctime>
#include <sys/random.h>
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

namespace zelmo::platform {
namespace {

std::atomic<unsigned> siblingCounter{0};

// Writes all `n` bytes, retrying short writes and interruptions.
bool WriteAll(int fd, const char *data, std::size_t n)
{
    while (n > 0) {
        const ssize_t written = write(fd, data, n);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        n -= static_cast<std::size_t>(written);
    }
    return true;
}

// Copies the rest of `in` into `out`: in-kernel where the file systems allow
// it, by reading and writing otherwise.
bool CopyContent(int in, int out)
{
    for (;;) {
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n == 0)
            return true;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;  // not supported here: copy through a buffer
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!WriteAll(out, buffer, static_cast<std::size_t>(n)))
            return false;
    }
}

// Creates a new file beside `to` with a name nobody else uses; -1 on failure.
int CreateSibling(const std::string &to, std::string &name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = to + ".~" + std::to_string(getpid()) + "." + std::to_string(siblingCounter.fetch_add(1));
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace

bool CopyFileOver(const char *from, const char *to)
{
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat source;
    if (fstat(in, &source) != 0 || !S_ISREG(source.st_mode)) {
        close(in);
        return false;
    }
    std::string sibling;
    const int out = CreateSibling(to, sibling);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = CopyContent(in, out);
    close(in);
    ok = close(out) == 0 && ok;
    // rename(2) swaps the finished copy in at once; it refuses a directory.
    ok = ok && rename(sibling.c_str(), to) == 0;
    if (!ok)
        unlink(sibling.c_str());
    return ok;
}

Replaced ReplaceFileByRename(const char *from, const char *to)
{
    if (rename(from, to) == 0)
        return Replaced::Done;
    return errno == EXDEV ? Replaced::OtherVolume : Replaced::Refused;
}

std::FILE *OpenFile(const char *path, const char *mode)
{
    // The mode with "e" appended, built without allocating.
    char closeOnExec[8] = {};
    std::size_t n = 0;
    while (mode[n] != '\0' && n + 2 < sizeof closeOnExec) {
        closeOnExec[n] = mode[n];
        ++n;
    }
    closeOnExec[n] = 'e';
    return std::fopen(path, closeOnExec);
}

std::FILE *OpenForReading(const char *path)
{
    return OpenFile(path, "rb");
}

namespace {

std::FILE *Stream(int fd, const char *mode)
{
    if (fd < 0)
        return nullptr;
    std::FILE *file = fdopen(fd, mode);
    if (file == nullptr)
        close(fd);
    return file;
}

}  // namespace

std::FILE *CreateNewFile(const char *path, bool shared)
{
    return Stream(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, shared ? 0666 : 0600), "wb");
}

std::FILE *OpenToAppend(const char *path)
{
    return Stream(open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC), "ab");
}

std::uint64_t RandomBits()
{
    std::uint64_t bits = 0;
    auto *at = reinterpret_cast<unsigned char *>(&bits);
    std::size_t got = 0;
    while (got < sizeof bits) {
        const ssize_t n = getrandom(at + got, sizeof bits - got, 0);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            break;  // no random source: what came, mixed with the clock below
    }
    if (got < sizeof bits) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        bits ^= static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(getpid());
    }
    return bits;
}

bool DeleteFileAt(const char *path)
{
    return unlink(path) == 0;
}

bool RemoveFromItsName(const char *path)
{
    return unlink(path) == 0;
}

bool SetLastWriteTimeToNow(const char *path)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Access time omitted, modification time now; POSIX keeps no creation time.
    const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    const bool ok = futimens(fd, times) == 0;
    close(fd);
    return ok;
}

}  // namespace zelmo::platform
