// The platform seam: everything the subsystems need from the operating
// system, named for what they need. src/platform/win32/ implements it with the
// Win32 calls that define the behaviour, src/platform/posix/ with our own
// small POSIX layer. No other directory may test _WIN32.
#pragma once

namespace zelmo::platform {

// Socket library for the lifetime of the loaded library: WinSock 2.2 on
// Windows, nothing to do on POSIX. The start-up result is not reported.
void StartSockets();
void StopSockets();

// What a file search finds for a path.
struct FileFacts {
    bool found = false;      // the search found an entry
    bool directory = false;  // the entry is a directory (or, on POSIX, not a regular file)
    bool dosTime = false;    // its last-write time, as local time, is an MS-DOS date (1980..2107)
};

// Looks up `path` the way the system's file search does. On Windows wildcard
// characters match as in FindFirstFile; on POSIX the path is taken literally.
FileFacts ProbeFile(const char *path);

}  // namespace zelmo::platform
