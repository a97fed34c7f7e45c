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
