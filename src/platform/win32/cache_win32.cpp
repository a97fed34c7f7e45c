// Win32 implementation of the seam's paths, directories, time and debugger
// output, used by the cache store and the diagnostic log.
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>
#include <mbstring.h>
#include <shlwapi.h>

#include <cwchar>
#include <vector>

namespace zelmo::platform {
namespace {

// Longest path the system hands out; a module path is never cut short here.
constexpr DWORD kLongPath = 32768;

}  // namespace

std::string ExecutableDirectory()
{
    std::vector<char> path(kLongPath, '\0');
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), kLongPath);
    if (n == 0 || n >= kLongPath)
        return {};
    // A backslash byte inside a double-byte character is not a separator.
    const unsigned char *last =
        _mbsrchr(reinterpret_cast<const unsigned char *>(path.data()), '\\');
    if (last == nullptr)
        return {};
    const std::size_t length = static_cast<std::size_t>(reinterpret_cast<const char *>(last) - path.data()) + 1;
    return std::string(path.data(), length);
}

bool PathExists(const char *path)
{
    return PathFileExistsA(path) != FALSE;
}

bool MakeDirectory(const char *path)
{
    return CreateDirectoryA(path, nullptr) != FALSE;
}

std::wstring ExecutablePathWide()
{
    std::vector<wchar_t> path(kLongPath, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), kLongPath);
    if (n == 0 || n >= kLongPath)
        return {};
    return std::wstring(path.data(), n);
}

std::string NarrowPath(const std::wstring &path)
{
    if (path.empty())
        return {};
    const int wideLen = static_cast<int>(path.size());
    const int n = WideCharToMultiByte(CP_ACP, 0, path.data(), wideLen, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, path.data(), wideLen, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

std::FILE *OpenTextForWriting(const std::wstring &path)
{
    return _wfopen(path.c_str(), L"w");
}

void WidenLogText(const char *text, std::size_t length, wchar_t *out)
{
    std::mbstate_t state{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < length;) {
        wchar_t c;
        const std::size_t used = std::mbrtowc(&c, text + i, length - i, &state);
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
            out[n++] = L'?';  // a message is never lost for one bad byte
            ++i;
            state = {};
        } else {
            out[n++] = c;
            i += used == 0 ? 1 : used;
        }
    }
    out[n] = L'\0';
}

void WriteLogLine(std::FILE *file, std::uint32_t tick, const wchar_t *text)
{
    std::fwprintf(file, L"%u %ls", static_cast<unsigned>(tick), text);
}

std::uint32_t TickCount()
{
    return GetTickCount();
}

CalendarTime LocalTime()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void DebugOutput(const wchar_t *text)
{
    OutputDebugStringW(text);
}

}  // namespace zelmo::platform
