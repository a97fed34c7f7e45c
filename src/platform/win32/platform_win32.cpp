// Win32 implementation of the platform seam.
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>

namespace zelmo::platform {

void StartSockets()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void StopSockets()
{
    WSACleanup();
}

FileFacts ProbeFile(const char *path)
{
    FileFacts facts;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return facts;
    FindClose(search);
    facts.found = true;
    facts.directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    FILETIME local;
    WORD dosDate, dosTime;
    SYSTEMTIME calendar;
    // FileTimeToDosDateTime refuses years outside 1980..2107; the explicit
    // year test keeps that rule where an implementation wraps instead.
    facts.dosTime = FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) &&
                    FileTimeToDosDateTime(&local, &dosDate, &dosTime) &&
                    FileTimeToSystemTime(&local, &calendar) && calendar.wYear >= 1980 &&
                    calendar.wYear <= 2107;
    return facts;
}

}  // namespace zelmo::platform
