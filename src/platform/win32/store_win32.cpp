// Win32 implementation of the entry's use lock and of the cache directory's
// listing.
#include "platform/platform.h"
#include "platform/win32/lock_file_win32.h"

#include <winsock2.h>
#include <windows.h>

namespace zelmo::platform {
namespace {

// The cluster size of the volume holding `path`; 0 when it cannot be told.
std::uint64_t ClusterOf(const char *path)
{
    char root[MAX_PATH];
    if (!GetVolumePathNameA(path, root, sizeof root))
        return 0;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return 0;
    return static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
}

std::uint64_t RoundUp(std::uint64_t length, std::uint64_t cluster)
{
    return cluster == 0 ? length : (length + cluster - 1) / cluster * cluster;
}

// 100 ns ticks since 1601 to nanoseconds since 1970.
std::int64_t UnixNs(const FILETIME &t)
{
    const std::int64_t ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                                         t.dwLowDateTime);
    return (ticks - 116444736000000000LL) * 100;
}

}  // namespace

UseLock::Result UseLock::TryAcquire(const char *path, bool exclusive, bool)
{
    Release();
    const HANDLE file = OpenLockFile(path);
    if (file == INVALID_HANDLE_VALUE)
        return Result::Unavailable;
    OVERLAPPED at = {};
    at.Offset = 1;  // byte 0 is FileLock's
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (!LockFileEx(file, flags, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        CloseHandle(file);
        return code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING ? Result::Busy : Result::Unavailable;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return Result::Held;
}

bool UseLock::Touch()
{
    if (handle_ == kNone)
        return false;
    // The precise clock: uses a few milliseconds apart must be told apart.
    FILETIME stamp;
    GetSystemTimePreciseAsFileTime(&stamp);
    return SetFileTime(reinterpret_cast<HANDLE>(handle_), nullptr, nullptr, &stamp) != 0;
}

bool TouchFile(const char *path)
{
    const HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME stamp;
    GetSystemTimePreciseAsFileTime(&stamp);
    const bool ok = SetFileTime(file, nullptr, nullptr, &stamp) != 0;
    CloseHandle(file);
    return ok;
}

void UseLock::Release()
{
    if (handle_ == kNone)
        return;
    const HANDLE file = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED at = {};
    at.Offset = 1;
    UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
    handle_ = kNone;
}

bool ListDirectory(const std::string &directory, std::vector<DirectoryFile> &files)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((directory + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    const std::uint64_t cluster = ClusterOf(directory.c_str());
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;
        DirectoryFile f;
        f.name = found.cFileName;
        f.length = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        f.allocated = RoundUp(f.length, cluster);
        f.modifiedNs = UnixNs(found.ftLastWriteTime);
        files.push_back(std::move(f));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

std::uint64_t AllocatedBytes(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    const std::uint64_t length = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return RoundUp(length, ClusterOf(path));
}

}  // namespace zelmo::platform
