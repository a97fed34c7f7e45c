// Win32 implementation of the entry lock: LockFileEx on a handle of the
// holder's own.
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>

namespace zelmo::platform {
namespace {

std::string SystemMessage(DWORD code)
{
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "system error " + std::to_string(code) : message;
}

}  // namespace

FileLock::Result FileLock::Acquire(const char *path, int timeoutMs, std::string &error)
{
    Release();
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = std::string("cannot open the lock file ") + path + ": " + SystemMessage(GetLastError());
        return Result::Failed;
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    DWORD pause = 1;
    for (;;) {
        OVERLAPPED at = {};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            handle_ = reinterpret_cast<std::intptr_t>(file);
            return Result::Held;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
            error = std::string("cannot lock ") + path + ": " + SystemMessage(code);
            CloseHandle(file);
            return Result::Failed;
        }
        const ULONGLONG now = GetTickCount64();
        if (timeoutMs >= 0 && now >= deadline) {
            CloseHandle(file);
            return Result::TimedOut;
        }
        const ULONGLONG left = deadline - now;
        Sleep(timeoutMs >= 0 && left < pause ? static_cast<DWORD>(left) : pause);
        if (pause < 16)
            pause *= 2;
    }
}

void FileLock::Release()
{
    if (handle_ == kNone)
        return;
    // Closing the handle unlocks what it locked.
    const HANDLE file = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED at = {};
    UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
    handle_ = kNone;
}

}  // namespace zelmo::platform

namespace zelmo::platform {

unsigned long ProcessId()
{
    return GetCurrentProcessId();
}

}  // namespace zelmo::platform
