// The platform seam: everything the subsystems need from the operating
// system, named for what they need. src/platform/win32/ implements it with the
// Win32 calls that define the behaviour, src/platform/posix/ with our own
// small POSIX layer. No other directory may test _WIN32.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelmo.h"

namespace zelmo::platform {

// The load and unload of the library, as the platform's loader hooks see them
// (DllMain on Windows, the shared object's constructor and destructor on
// POSIX). The hooks call these once per load; they are defined above the
// seam, by the library frame (src/frame/app.cpp), so the platform layer
// includes nothing of it. `processEnding` is true when the whole process is
// going away (a DllMain detach with a non-null reserved argument; never on
// POSIX, where the destructor cannot tell).
void OnProcessAttach();
void OnProcessDetach(bool processEnding);

// Socket library for the lifetime of the loaded library: WinSock 2.2 on
// Windows, nothing to do on POSIX. The start-up result is not reported.
void StartSockets();
void StopSockets();
// Whether the library may still close its connections while it is being
// unloaded: on POSIX it may; Windows' DllMain must not call the socket
// library (the loader lock is held), so there they are left to the host
// (zelmo_fetch_close_idle before FreeLibrary) or to the system at exit.
bool SocketsUsableAtUnload();

// What a file search finds for a path.
struct FileFacts {
    bool found = false;      // the search found an entry
    bool directory = false;  // the entry is a directory (or, on POSIX, not a regular file)
    bool dosTime = false;    // its last-write time, as local time, is an MS-DOS date (1980..2107)
    std::uint64_t size = 0;  // its length in bytes
};

// Looks up `path` the way the system's file search does. On Windows wildcard
// characters match as in FindFirstFile; on POSIX the path is taken literally.
FileFacts ProbeFile(const char *path);


// Private profile files (GetPrivateProfileStringA, WritePrivateProfileStringA
// on Windows; our own reader and writer on POSIX, where a relative file name
// is relative to the current directory and a null one names no file, and
// writes to one file are serialised within the process and across processes).
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

// ---- Cache store and diagnostic log: paths, directories, time, debugger ----

#include <cstdint>
#include <cstdio>
#include <string>

namespace zelmo::platform {

// The one character that separates directory levels in the library's paths:
// a backslash on Windows, a slash on POSIX.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The directory of the process's executable file with its trailing
// separator, or empty when it cannot be told. Windows: GetModuleFileNameA and
// the multibyte-aware _mbsrchr; POSIX: the target of /proc/self/exe.
std::string ExecutableDirectory();

// Whether `path` names anything that exists (PathFileExistsA on Windows).
bool PathExists(const char *path);
// Creates one directory with default security; false when that fails.
bool MakeDirectory(const char *path);

// The full path of the executable as wide text (GetModuleFileNameW on
// Windows; on POSIX /proc/self/exe decoded from UTF-8, each byte that is not
// part of a valid sequence kept as U+DC80 + byte). Empty on failure.
std::wstring ExecutablePathWide();
// A wide path as the narrow text the narrow file calls take: the ANSI code
// page on Windows; UTF-8 on POSIX, where U+DC80..U+DCFF give back the bytes
// they keep, so a file name that is not UTF-8 survives the round trip. The
// process's locale is not touched.
std::string NarrowPath(const std::wstring &path);
// Opens `path` for writing in text mode, created or emptied ("w").
std::FILE *OpenTextForWriting(const std::wstring &path);

// The diagnostic log's text. WidenLogText converts `length` bytes into `out`
// (room for `length` + 1 units) and terminates it: on Windows in the current
// runtime locale, a byte that does not begin a character there becoming '?';
// on POSIX as UTF-8 whatever the locale, bytes of no valid sequence kept as
// in ExecutablePathWide. WriteLogLine writes "%u %s" of the tick count and
// the wide text: through fwprintf on Windows (the text-mode stream converts
// with the runtime locale), as UTF-8 bytes on POSIX.
void WidenLogText(const char *text, std::size_t length, wchar_t *out);
void WriteLogLine(std::FILE *file, std::uint32_t tick, const wchar_t *text);

// Milliseconds since the system started, wrapping at 2^32 (GetTickCount;
// on POSIX CLOCK_BOOTTIME, which counts time spent suspended as well).
std::uint32_t TickCount();

struct CalendarTime {
    int year, month, day, hour, minute, second;
};
// The local time (GetLocalTime).
CalendarTime LocalTime();

// Sends text to the debugger of the process (OutputDebugStringW). On POSIX
// there is no such channel: nothing reaches the host's output.
void DebugOutput(const wchar_t *text);

}  // namespace zelmo::platform

// Host identity (src/platform/*/identity_*.cpp).
#include <cstdint>

namespace zelmo::platform {

// The serial number of the system volume: drive C: on Windows, the file-system
// id of / on POSIX. 0 when the volume cannot be queried.
std::uint32_t SystemVolumeSerial();

// The hardware address of LAN adapter `adapter`. On Windows, a NetBIOS reset
// and adapter-status request; on POSIX, the n-th interface (from 0, in the
// system's order) with a non-zero six-byte hardware address. False, with
// `address` untouched, when the adapter has none.
bool AdapterAddress(unsigned char adapter, unsigned char address[6]);

// The host name and its NUL into `name` (`size` bytes); false when it fails
// or does not fit.
bool HostName(char *name, int size);

// The first IPv4 address `hostName` resolves to, as dotted-decimal text into
// `text`; false, with `text` untouched, when it resolves to none.
bool FirstIPv4Address(const char *hostName, char (&text)[16]);

}  // namespace zelmo::platform

// Event log (src/platform/*/eventlog_*.cpp).
namespace zelmo::platform {

enum class EventType : unsigned short { Error = 1, Warning = 2, Information = 4 };

// A registered event source, or null.
using EventSource = void *;

// Registers `sourceName` with the event log at `endpoint`: on Windows a
// server name (null: the local computer); on POSIX the path of a local
// datagram socket (null: /dev/log). Null when no event can be reported there.
EventSource OpenEventSource(const char *endpoint, const char *sourceName);

// Reports one event with `message` as its text; whether it arrived is not known.
void ReportEventMessage(EventSource source, EventType type, const char *message);

// Deregisters the source: nonzero on success.
int CloseEventSource(EventSource source);

}  // namespace zelmo::platform

// Cached download (src/platform/*/download_*.cpp).
#include <cstdint>
#include <cstdio>

namespace zelmo::platform {

// Copies `from` over `to`, replacing it: the copy is written to a sibling
// temporary and renamed into place (Windows: CopyFileA, then MoveFileExA), so
// `to` is never seen half-written.
bool CopyFileOver(const char *from, const char *to);

// What ReplaceFileByRename did.
enum class Replaced {
    Done,         // `to` is now the file that was `from`
    OtherVolume,  // `from` and `to` lie on different file systems: nothing changed
    Refused,      // any other failure (a directory at `to`, no permission): nothing changed
};

// Makes the file `from` take the place of `to` in one step, so that whoever
// opens `to` finds the old file or the new one whole, never part of either.
// POSIX: rename(2). Windows: MoveFileExA with MOVEFILE_REPLACE_EXISTING.
Replaced ReplaceFileByRename(const char *from, const char *to);

// Opens a file as fopen does with `mode`. On POSIX the descriptor is closed
// on exec ("e"), so a program the host starts meanwhile does not inherit it.
std::FILE *OpenFile(const char *path, const char *mode);

// Creates a new file for writing in binary mode: never one that exists, and
// never through a link planted at the name. POSIX: open(2) with O_CREAT |
// O_EXCL | O_NOFOLLOW, mode 0600, or 0666 less the umask where `shared`.
// Windows: CreateFileA with CREATE_NEW (the file's access follows the
// directory's inherited ACL either way). Null when it cannot be created.
std::FILE *CreateNewFile(const char *path, bool shared);

// Opens an existing file to append to it, never through a link. POSIX:
// O_APPEND | O_NOFOLLOW; Windows: fopen's "ab".
std::FILE *OpenToAppend(const char *path);

// 64 bits from the system's random source (getrandom(2); rand_s), for names
// no one can guess.
std::uint64_t RandomBits();

// Opens a file for reading in binary mode, letting others rename, replace
// or delete it meanwhile: the reader keeps the file it opened. POSIX: as
// OpenFile(path, "rb"). Windows: CreateFileA with FILE_SHARE_READ |
// FILE_SHARE_WRITE | FILE_SHARE_DELETE, made a stream with _open_osfhandle
// and _fdopen (fopen's own sharing would make a replace by rename fail while
// the file is open).
std::FILE *OpenForReading(const char *path);

// Deletes a file (DeleteFileA); false when it cannot be deleted.
bool DeleteFileAt(const char *path);

// Takes a file away from its name, so that the name is free at once for a
// file renamed into its place, even while a reader (OpenForReading) still
// has it open. POSIX: unlink(2). Windows: MoveFileA to a sibling name of
// its own, then DeleteFileA of that (a deleted file keeps its name until its
// last reader closes it). False when the file stays where it was (a
// directory always does).
bool RemoveFromItsName(const char *path);

// Sets the last-write time of an existing file to the current time and leaves
// its other times alone. Windows: CreateFileA (GENERIC_WRITE, no sharing,
// OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL), then SetFileTime with only the
// last-write time, taken from GetSystemTime and SystemTimeToFileTime. False
// when the file cannot be opened or its time set.
bool SetLastWriteTimeToNow(const char *path);

}  // namespace zelmo::platform

// Release of what AllocateBstr and AllocateLocal gave, for a conversion that
// fails after its allocation (SysFreeString and LocalFree on Windows).
namespace zelmo::platform {

void ReleaseBstr(ZelmoOleChar *bstr);
void ReleaseLocal(void *memory);

}  // namespace zelmo::platform

// Locks and one-time start-up that never allocate, so that they cannot fail
// when memory runs out. On Windows a slim reader/writer lock and an INIT_ONCE
// (the threads library behind std::mutex there allocates on first use and
// std::call_once does not survive a refused allocation); on POSIX the
// standard ones, which allocate nothing. All are constant-initialised.
#ifdef _WIN32
#include <atomic>
#else
#include <mutex>
#endif

namespace zelmo::platform {

#ifdef _WIN32
class Lock {
public:
    constexpr Lock() = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    void lock();
    void unlock();

private:
    void *state_ = nullptr;  // an SRWLOCK
};

// Re-entrant for the thread that holds it.
class RecursiveLock {
public:
    constexpr RecursiveLock() = default;
    RecursiveLock(const RecursiveLock &) = delete;
    RecursiveLock &operator=(const RecursiveLock &) = delete;
    void lock();
    void unlock();

private:
    Lock lock_;
    std::atomic<unsigned long> owner_{0};  // the holder's thread id, 0 when free
    unsigned depth_ = 0;
};

struct OnceFlag {
    void *state = nullptr;  // an INIT_ONCE
};
#else
using Lock = std::mutex;
using RecursiveLock = std::recursive_mutex;
using OnceFlag = std::once_flag;
#endif

// Runs `function` on the first call for `flag`; concurrent callers wait for it.
void RunOnce(OnceFlag &flag, void (*function)());

}  // namespace zelmo::platform

// Entry locks and file stamps (src/platform/*/lock_*.cpp).
#include <string>

namespace zelmo::platform {

// An exclusive lock on a file, across threads and processes. Each holder
// opens the lock file for itself (flock(2) on POSIX, whose locks belong to
// an open file description; LockFileEx on Windows, whose locks belong to a
// handle), so two threads of one process exclude each other just as two
// processes do. The system drops the lock when the holder's process ends,
// however it ends. The lock file is created when missing and never deleted.
class FileLock {
public:
    enum class Result {
        Held,      // the lock is ours until Release or destruction
        TimedOut,  // another holder kept it past the time limit
        Failed,    // the lock file could not be opened or created; see `error`
    };

    FileLock() = default;
    ~FileLock() { Release(); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // Waits at most `timeoutMs` milliseconds for the lock (negative: as long
    // as it takes; 0: one attempt). On Failed, `error` says why in words.
    // The lock file is never opened through a link (POSIX O_NOFOLLOW); one
    // this call creates is its owner's only (0600) unless `shared` (0666
    // less the umask), so that other users of a shared cache can lock it.
    Result Acquire(const char *path, int timeoutMs, std::string &error, bool shared = false);
    void Release();
    bool Held() const { return handle_ != kNone; }

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t handle_ = kNone;
};

// The calling process's id (getpid, GetCurrentProcessId), for names of
// temporaries that no other process uses.
unsigned long ProcessId();

// What tells one version of a file from another without reading it: which
// file it is, its length, and the times the system sets on every change of
// its content. A symbolic link (a reparse point) is not found: the stamp is
// of the name itself (POSIX lstat(2); Windows FILE_FLAG_OPEN_REPARSE_POINT). POSIX: stat(2)'s device, inode, size, modification and status
// change times (the latter cannot be set by a program). Windows:
// GetFileInformationByHandle's volume serial and file index, size and
// last-write time, and FILE_BASIC_INFO's change time. Times in nanoseconds
// since 1970.
struct FileStamp {
    bool found = false;  // a regular file could be looked at
    std::uint64_t volume = 0, file = 0;
    std::uint64_t size = 0;
    std::int64_t writeTime = 0, changeTime = 0;

    bool operator==(const FileStamp &) const = default;
};
FileStamp StampFile(const char *path);

// The current time in the clock of FileStamp's times.
std::int64_t FileClockNow();

}  // namespace zelmo::platform

// Entry use and the cache's size (src/platform/*/store_*.cpp).
#include <string>
#include <vector>

namespace zelmo::platform {

// A second lock on an entry's lock file, independent of FileLock's: the
// fetches that serve the entry share it, a prune takes it alone, and neither
// waits for it. POSIX: an open-file-description record lock on the file's
// first byte (fcntl F_OFD_SETLK), which does not interact with flock(2);
// Windows: LockFileEx on the second byte, the first being FileLock's. The
// lock file is created when missing and never deleted.
class UseLock {
public:
    UseLock() = default;
    ~UseLock() { Release(); }
    UseLock(const UseLock &) = delete;
    UseLock &operator=(const UseLock &) = delete;

    enum class Result {
        Held,         // ours until Release or destruction
        Busy,         // another holder has it in a conflicting way
        Unavailable,  // the lock file cannot be opened or created (a read-only cache)
    };
    // One attempt, shared or exclusive; the lock file opened and created as
    // FileLock::Acquire does.
    Result TryAcquire(const char *path, bool exclusive, bool shared = false);
    // Sets the lock file's last-write time to now (futimens, SetFileTime on
    // the held handle); the entry's last use. False when not held or refused.
    bool Touch();
    void Release();
    bool Held() const { return handle_ != kNone; }

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t handle_ = kNone;
};

// Sets an existing file's last-write time to now, as UseLock::Touch does,
// without locking it or keeping it open, and without denying anyone access
// (POSIX: utimensat; Windows: a handle opened for FILE_WRITE_ATTRIBUTES only,
// sharing everything). False when the file is missing or the time refused.
bool TouchFile(const char *path);

// A file of a directory as a listing finds it.
struct DirectoryFile {
    std::string name;              // without the directory
    std::uint64_t length = 0;      // bytes
    std::uint64_t allocated = 0;   // what it occupies on disk (see AllocatedBytes)
    std::int64_t modifiedNs = 0;   // last-write time, nanoseconds since 1970 (UTC)
};

// The regular files of `directory` (which ends in a separator), in no
// particular order; false when the directory cannot be read.
bool ListDirectory(const std::string &directory, std::vector<DirectoryFile> &files);

// What a file occupies on disk: POSIX st_blocks x 512; Windows its length
// rounded up to the volume's cluster size. 0 when it does not exist.
std::uint64_t AllocatedBytes(const char *path);

}  // namespace zelmo::platform
