// The lock file of an entry, opened as both of its locks need it.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace zelmo::platform {

// Opens (creating it when missing) the lock file at `path` for reading and
// writing, sharing everything. A link at the name is opened as itself
// (FILE_FLAG_OPEN_REPARSE_POINT), never followed, and refused:
// INVALID_HANDLE_VALUE with ERROR_CANT_ACCESS_FILE.
inline HANDLE OpenLockFile(const char *path)
{
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(file);
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace zelmo::platform
