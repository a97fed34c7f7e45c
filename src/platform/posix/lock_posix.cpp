// POSIX implementation of the entry lock: flock(2) on a descriptor of the
// holder's own.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelmo::platform {
namespace {

void SleepMs(int ms)
{
    struct timespec pause = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

long long MonotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

FileLock::Result FileLock::Acquire(const char *path, int timeoutMs, std::string &error, bool shared)
{
    Release();
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, shared ? 0666 : 0600);
    if (fd < 0) {
        error = std::string("cannot open the lock file ") + path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    const long long deadline = MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
    // A waiting holder polls: a blocking flock could not be bounded without
    // a signal, and the host's threads must not get one.
    int pause = 1;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            handle_ = fd;
            return Result::Held;
        }
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            error = std::string("cannot lock ") + path + ": " + std::strerror(errno);
            close(fd);
            return Result::Failed;
        }
        const long long left = deadline - MonotonicMs();
        if (timeoutMs >= 0 && left <= 0) {
            close(fd);
            return Result::TimedOut;
        }
        SleepMs(timeoutMs >= 0 && left < pause ? static_cast<int>(left) : pause);
        if (pause < 16)
            pause *= 2;
    }
}

void FileLock::Release()
{
    if (handle_ == kNone)
        return;
    // Closing the only descriptor of the open file description drops the lock.
    close(static_cast<int>(handle_));
    handle_ = kNone;
}

}  // namespace zelmo::platform

namespace zelmo::platform {

unsigned long ProcessId()
{
    return static_cast<unsigned long>(getpid());
}

namespace {

std::int64_t Ns(const struct timespec &t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

FileStamp StampFile(const char *path)
{
    FileStamp stamp;
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))  // a link counts as no file
        return stamp;
    stamp.found = true;
    stamp.volume = static_cast<std::uint64_t>(st.st_dev);
    stamp.file = static_cast<std::uint64_t>(st.st_ino);
    stamp.size = static_cast<std::uint64_t>(st.st_size);
    stamp.writeTime = Ns(st.st_mtim);
    stamp.changeTime = Ns(st.st_ctim);
    return stamp;
}

std::int64_t FileClockNow()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return Ns(now);
}

}  // namespace zelmo::platform
