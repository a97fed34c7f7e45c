// What the tests need from the operating system, per platform
// (os_posix.cpp, os_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "zelmo.h"

namespace zelmo::test::os {

// The built library (Zelmo.dll or libzelmo.so), loaded and unloaded the way a
// host does it.
void *LoadZelmo();
void *FindExport(void *library, const char *name);
bool UnloadZelmo(void *library);

// Whether the calling process can use sockets without starting the socket
// library itself. Empty when the platform has nothing to start.
enum class Sockets { Ready, NotStarted, NothingToStart };
Sockets SocketState();

// The version resource of a module, read with the system's version API.
struct VersionInfo {
    bool available = false;
    std::uint32_t fileVersionMS = 0, fileVersionLS = 0;
    std::uint32_t productVersionMS = 0, productVersionLS = 0;
    std::uint32_t flagsMask = 0, flags = 0, fileOS = 0, fileType = 0, fileSubtype = 0;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;
    std::map<std::string, std::string> strings;  // of block "080404B0"
};
VersionInfo ReadZelmoVersion();

// What a line feed written through a text-mode stream becomes in the file.
const char *TextModeNewline();

// A TLS server on 127.0.0.1 with a certificate of its own making (trusted
// by nobody), answering each request with a page. `skipReason` says why
// none could be started here.
class TlsServer {
public:
    explicit TlsServer(const std::filesystem::path &workDir);
    ~TlsServer();
    TlsServer(const TlsServer &) = delete;
    TlsServer &operator=(const TlsServer &) = delete;

    std::uint16_t port = 0;
    std::string skipReason;

private:
    std::intptr_t process_ = 0;
};
// The running program's executable file, as the system reports it.
std::filesystem::path ExecutablePath();
// Whether the tests run under wine rather than on the system they were built
// for (wine differs from Windows in a few documented places).
bool UnderWine();

// A program of the machine that runs the tests, as it names its files:
// starts `argv` (argv[0] a path on that machine, "/bin/bash"); false when it
// cannot be started here. POSIX spawns it and waits for it; under wine it is
// the Unix program, started through wine, which gives no handle to wait
// for: it may still run on return, and the caller waits for what it does.
// On Windows itself there is none. HostPath gives a file's name on that
// machine (under wine the Unix path of a drive path; elsewhere the path as
// it is).
bool StartHostProgram(const std::vector<std::string> &argv);
std::string HostPath(const std::filesystem::path &path);

// Runs `body` in a child process made by fork() and returns its exit
// status; nullopt where the system has no fork() (Windows).
std::optional<int> RunInChildProcess(const std::function<int()> &body);

// The calling thread's id from the system itself: the threads library may
// allocate on a thread's first query, which the allocation hook must not do.
unsigned long CurrentThreadId();

// Milliseconds since boot, suspended time included, as the system's own
// clock tells them (CLOCK_BOOTTIME; GetTickCount on Windows).
std::uint32_t BootClockMs();

// Runs `body` where the file permissions apply to the caller: on POSIX in a
// child process that, when it runs as root, gives up overriding them
// (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_CHOWN, CAP_FOWNER). Returns what
// `body` returned, or -1 when the child could not be run. On Windows `body`
// runs directly.
int RunWithFilePermissions(int (*body)(const std::string &), const std::string &arg);

// Runs `body(childArg)` in a child process while this process runs
// `body(parentArg)`; returns the child's result (0..127) and stores this
// process's in `parentResult`. -1 when the child could not be run, -2 where
// the platform cannot fork (Windows; nothing runs then).
int RunBesideChild(int (*body)(const std::string &), const std::string &childArg,
                   const std::string &parentArg, int *parentResult);

// Starts `body(arg)` in a child process and returns at once: the child's id
// for KillChild and WaitChild, or -1 when it could not be started. POSIX
// forks. Windows runs this test program again for the running test alone,
// with `arg` in its environment: that test must call ChildTurn(body) first.
std::intptr_t StartChild(int (*body)(const std::string &), const std::string &arg);
// In a child that StartChild made by running the program again: runs
// body(arg) and ends the process with its result. Elsewhere returns at once.
void ChildTurn(int (*body)(const std::string &));
// Ends a child of StartChild at once, as a crash would (SIGKILL,
// TerminateProcess), and waits for it; false when it cannot.
bool KillChild(std::intptr_t child);
// Waits for a child of StartChild to end: its exit status, -1 when it did
// not exit by itself.
int WaitChild(std::intptr_t child);

// What identifies a file on POSIX (Windows: `available` false): its inode,
// link count, owner, group and permission bits, of the file a symbolic link
// names; `symlink` tells whether the path itself is one.
struct FileIdentity {
    bool available = false;
    unsigned long long inode = 0;
    unsigned long links = 0;
    unsigned owner = 0, group = 0, mode = 0;
    bool symlink = false;
};
FileIdentity IdentityOf(const std::string &path);

// The process's file-creation mask set for a scope (POSIX umask(2); nothing
// on Windows).
class Umask {
public:
    explicit Umask(unsigned mask);
    ~Umask();
    Umask(const Umask &) = delete;
    Umask &operator=(const Umask &) = delete;

private:
    unsigned previous_ = 0;
};
// Gives a file (not a link) another owner, group and permission bits; false
// on Windows.
bool SetOwnerAndMode(const std::string &path, unsigned owner, unsigned group, unsigned mode);

// Runs `body` in a child process whose files may grow to `maxBytes` only
// (a disk that fills): a write past it fails instead of raising a signal.
// Returns what `body` returned, -1 when the child could not be run, and -2
// where the platform has no such limit (Windows).
int RunWithFileSizeLimit(int (*body)(const std::string &), const std::string &arg, long maxBytes);

// Marks a file read-only (POSIX: no write permission for anyone) or tells
// whether it is.
bool MakeReadOnly(const std::string &path);
bool IsReadOnly(const std::string &path);
// Makes a directory refuse new entries; false where the platform has no
// such thing (a Windows directory's read-only attribute does not).
bool LockDirectory(const std::string &path, bool locked);

// The system's ANSI code page (code page 0): GetACP() on Windows, UTF-8
// (65001) on POSIX.
unsigned AnsiCodePage();

// A BSTR's length in characters and its release, through the system's (or,
// on POSIX, the library's) OLE Automation functions; LocalFree likewise.
unsigned BstrLength(ZelmoBstr bstr);
void FreeBstr(ZelmoBstr bstr);
void FreeLocal(void *memory);

// Open file descriptors (Windows: handles, GetProcessHandleCount) and the
// process's memory in use (resident set; Windows: private bytes).
std::size_t OpenHandleCount();
std::size_t MemoryInUse();

// Sets the environment variable `name` of the process, or removes it when
// `value` is null, where libcurl looks it up.
void SetEnvironment(const char *name, const char *value);

// Sets (or, with a null `value`, removes) an environment variable for the
// object's lifetime, and then puts back what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old;
        SetEnvironment(name, value);
    }
    ~ScopedEnvironment() { SetEnvironment(name_.c_str(), old_ ? old_->c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// For its lifetime the environment names `proxy` as the proxy of every URL
// (http_proxy, all_proxy) and exempts no host (no_proxy, NO_PROXY unset).
class EnvironmentProxy {
public:
    explicit EnvironmentProxy(const std::string &proxy)
        : http_("http_proxy", proxy.c_str()), all_("all_proxy", proxy.c_str()),
          none_("no_proxy", nullptr), noneUpper_("NO_PROXY", nullptr)
    {
    }

private:
    ScopedEnvironment http_, all_, none_, noneUpper_;
};

// Whether the descriptors the process has open on `path` are closed on exec:
// 1 all of them, 0 not all, -1 none is open, -2 where there are no such
// descriptors (Windows).
int CloseOnExecState(const std::filesystem::path &path);

// Runs this test program again for the test `test` alone, in a private mount
// namespace in which the system's CA bundle (the one libcurl reads) holds
// only `caFile`, with ZELMO_TEST_PRIVATE_TRUST=1 in its environment. Returns
// its exit status, its output in `output`; -1 with `skipReason` set when
// that cannot be done here.
int RerunTrustingOnly(const std::string &caFile, const std::string &test, std::string &output,
                      std::string &skipReason);
// Whether this process is such a rerun.
bool InPrivateTrust();

}  // namespace zelmo::test::os
