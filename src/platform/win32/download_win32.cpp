// Win32 implementation of the seam's file operations for the cached download.
#define _CRT_RAND_S  // rand_s, which RtlGenRandom backs
#include <stdlib.h>

#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace zelmo::platform {
namespace {

std::atomic<unsigned> siblingCounter{0};

}  // namespace

// The copy goes to a sibling of `to` first and is then moved over it, so a
// process that dies mid-copy leaves `to` as it was.
bool CopyFileOver(const char *from, const char *to)
{
    const std::string sibling = std::string(to) + ".~" + std::to_string(GetCurrentProcessId()) + "." +
                                std::to_string(siblingCounter.fetch_add(1));
    if (CopyFileA(from, sibling.c_str(), TRUE) == 0)
        return false;
    if (MoveFileExA(sibling.c_str(), to, MOVEFILE_REPLACE_EXISTING) != 0)
        return true;
    DeleteFileA(sibling.c_str());
    return false;
}

Replaced ReplaceFileByRename(const char *from, const char *to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0)
        return Replaced::Done;
    return GetLastError() == ERROR_NOT_SAME_DEVICE ? Replaced::OtherVolume : Replaced::Refused;
}

std::FILE *OpenFile(const char *path, const char *mode)
{
    return std::fopen(path, mode);
}

namespace {

// A stream over a file handle; null, with the handle closed, when none can
// be made.
std::FILE *StreamOf(HANDLE handle, int flags, const char *mode)
{
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE *file = _fdopen(fd, mode);
    if (file == nullptr)
        _close(fd);  // closes the handle too
    return file;
}

}  // namespace

std::FILE *OpenForReading(const char *path)
{
    return StreamOf(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                    _O_RDONLY, "rb");
}

bool DeleteFileAt(const char *path)
{
    return DeleteFileA(path) != 0;
}

std::FILE *CreateNewFile(const char *path, bool)
{
    return StreamOf(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr),
                    _O_WRONLY, "wb");
}

std::FILE *OpenToAppend(const char *path)
{
    return std::fopen(path, "ab");
}

std::uint64_t RandomBits()
{
    unsigned int high = 0, low = 0;
    if (rand_s(&high) != 0 || rand_s(&low) != 0) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<std::uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15ull ^ GetCurrentProcessId();
    }
    return static_cast<std::uint64_t>(high) << 32 | low;
}

// A file deleted while a reader holds it open keeps its name until that
// reader closes it, and a rename onto that name fails meanwhile: the file is
// first moved to a name of its own, which the rename may keep as long as it
// needs.
bool RemoveFromItsName(const char *path)
{
    // A directory is no file to remove (DeleteFileA refuses it too).
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    const std::string aside = std::string(path) + "." + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(siblingCounter.fetch_add(1)) + ".gone";
    if (MoveFileA(path, aside.c_str()) == 0)
        return DeleteFileA(path) != 0;
    DeleteFileA(aside.c_str());
    return true;
}

bool SetLastWriteTimeToNow(const char *path)
{
    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME lastWrite;
    // Creation and last-access times are left out, so they keep their values.
    const bool ok = SystemTimeToFileTime(&now, &lastWrite) && SetFileTime(file, nullptr, nullptr, &lastWrite);
    CloseHandle(file);
    return ok;
}

}  // namespace zelmo::platform
