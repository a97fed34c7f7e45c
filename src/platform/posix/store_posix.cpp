// POSIX implementation of the entry's use lock and of the cache directory's
// listing.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zelmo::platform {

UseLock::Result UseLock::TryAcquire(const char *path, bool exclusive, bool shared)
{
    Release();
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, shared ? 0666 : 0600);
    if (fd < 0)
        return Result::Unavailable;
    struct flock range = {};
    range.l_type = exclusive ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    int got;
    while ((got = fcntl(fd, F_OFD_SETLK, &range)) != 0 && errno == EINTR) {
    }
    if (got != 0) {
        const int why = errno;
        close(fd);
        return why == EAGAIN || why == EACCES ? Result::Busy : Result::Unavailable;
    }
    handle_ = fd;
    return Result::Held;
}

bool UseLock::Touch()
{
    return handle_ != kNone && futimens(static_cast<int>(handle_), nullptr) == 0;
}

bool TouchFile(const char *path)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    return utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) == 0;
}

void UseLock::Release()
{
    if (handle_ == kNone)
        return;
    close(static_cast<int>(handle_));  // drops the record lock of this description
    handle_ = kNone;
}

bool ListDirectory(const std::string &directory, std::vector<DirectoryFile> &files)
{
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr)
        return false;
    const int dirFd = dirfd(dir);
    while (const dirent *e = readdir(dir)) {
        if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN)
            continue;
        struct stat st;
        if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;  // gone meanwhile, or not a file
        DirectoryFile f;
        f.name = e->d_name;
        f.length = static_cast<std::uint64_t>(st.st_size);
        f.allocated = static_cast<std::uint64_t>(st.st_blocks) * 512u;
        f.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        files.push_back(std::move(f));
    }
    closedir(dir);
    return true;
}

std::uint64_t AllocatedBytes(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_blocks) * 512u;
}

}  // namespace zelmo::platform
