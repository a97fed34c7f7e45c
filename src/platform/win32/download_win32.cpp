// Win32 implementation of the seam's file operations for the cached download.
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
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

bool DeleteFileAt(const char *path)
{
    return DeleteFileA(path) != 0;
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
