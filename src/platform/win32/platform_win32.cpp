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

bool SocketsUsableAtUnload()
{
    return false;
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
    facts.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
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

static_assert(sizeof(SRWLOCK) == sizeof(void *) && sizeof(INIT_ONCE) == sizeof(void *));

void Lock::lock()
{
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_));
}

void Lock::unlock()
{
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_));
}

// Only the holder sees its own id in owner_, so a relaxed read suffices to
// tell a re-entry from a wait.
void RecursiveLock::lock()
{
    const unsigned long self = GetCurrentThreadId();
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++depth_;
        return;
    }
    lock_.lock();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
}

void RecursiveLock::unlock()
{
    if (--depth_ == 0) {
        owner_.store(0, std::memory_order_relaxed);
        lock_.unlock();
    }
}

static BOOL CALLBACK RunOnceFunction(PINIT_ONCE, PVOID function, PVOID *)
{
    reinterpret_cast<void (*)()>(function)();
    return TRUE;
}

void RunOnce(OnceFlag &flag, void (*function)())
{
    InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(&flag.state), RunOnceFunction,
                        reinterpret_cast<PVOID>(function), nullptr);
}

}  // namespace zelmo::platform
