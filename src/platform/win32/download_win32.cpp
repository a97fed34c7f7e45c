// Win32 implementation of the seam's file operations for the cached download.
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>

namespace zelmo::platform {

bool CopyFileOver(const char *from, const char *to)
{
    return CopyFileA(from, to, FALSE) != 0;
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
