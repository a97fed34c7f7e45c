// The platform seam: everything the subsystems need from the operating
// system, named for what they need. src/platform/win32/ implements it with the
// Win32 calls that define the behaviour, src/platform/posix/ with our own
// small POSIX layer. No other directory may test _WIN32.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelmo.h"

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


// Private profile files (GetPrivateProfileStringA, WritePrivateProfileStringA
// on Windows; our own reader and writer on POSIX, where a relative file name
// is relative to the current directory and a null one names no file).
// ReadProfileValue returns the characters copied into `buffer`.
unsigned ReadProfileValue(const char *section, const char *key, const char *defaultValue,
                           char *buffer, unsigned size, const char *fileName);
bool WriteProfileValue(const char *section, const char *key, const char *value,
                        const char *fileName);

// File attributes as GetFileAttributesA reports them; on POSIX only the
// read-only bit (the owner may not write) and the directory bit are defined.
constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr std::uint32_t kReadOnlyAttribute = 0x1u;
std::uint32_t ReadFileAttributes(const char *path);
// Sets the attributes; on POSIX setting read-only removes every write
// permission and clearing it gives the owner write permission.
bool WriteFileAttributes(const char *path, std::uint32_t attributes);

// Code-page conversion with flags 0, as MultiByteToWideChar and
// WideCharToMultiByte do it for a NUL-terminated text (length -1): the
// results count the terminator. With `capacity` 0 they only measure; 0 means
// failure (an unknown code page, or a buffer too small).
int MultiByteToWide(unsigned codePage, const char *text, ZelmoOleChar *out, int capacity);
int WideToMultiByte(unsigned codePage, const ZelmoOleChar *text, char *out, int capacity);

// A BSTR of `length` characters with undefined content (SysAllocStringLen
// with no source), or null.
ZelmoOleChar *AllocateBstr(unsigned length);
// Fixed local memory the caller frees with LocalFree, or null.
void *AllocateLocal(std::size_t size);

}  // namespace zelmo::platform
