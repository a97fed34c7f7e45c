// Win32 implementation of the entry lock: LockFileEx on a handle of the
// holder's own.
#include "platform/platform.h"
#include "platform/win32/lock_file_win32.h"

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

FileLock::Result FileLock::Acquire(const char *path, int timeoutMs, std::string &error, bool)
{
    Release();
    const HANDLE file = OpenLockFile(path);
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

namespace {

// A FILETIME-like count of 100 ns since 1601 as nanoseconds since 1970.
std::int64_t Ns(std::uint64_t ticks)
{
    constexpr std::uint64_t k1970 = 116444736000000000ULL;
    return ticks < k1970 ? 0 : static_cast<std::int64_t>((ticks - k1970) * 100);
}

std::uint64_t Ticks(const FILETIME &t)
{
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

FileStamp StampFile(const char *path)
{
    FileStamp stamp;
    // The name itself, not what a link there names: a link is no file.
    const HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return stamp;
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        stamp.found = true;
        stamp.volume = info.dwVolumeSerialNumber;
        stamp.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        stamp.writeTime = Ns(Ticks(info.ftLastWriteTime));
        stamp.changeTime = Ns(static_cast<std::uint64_t>(basic.ChangeTime.QuadPart));
    }
    CloseHandle(file);
    return stamp;
}

std::int64_t FileClockNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ns(Ticks(now));
}

}  // namespace zelmo::platform
