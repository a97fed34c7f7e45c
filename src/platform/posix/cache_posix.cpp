// POSIX implementation of the seam's paths, directories, time and debugger
// output, used by the cache store and the diagnostic log.
#include "platform/platform.h"

#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cwchar>
#include <vector>

namespace zelmo::platform {
namespace {

// The target of /proc/self/exe, read with a buffer that grows until it fits.
std::string ExecutablePath()
{
    for (std::size_t size = 256; size <= (1u << 20); size *= 2) {
        std::vector<char> buffer(size);
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), size);
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < size)
            return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    return {};
}

// Runs `convert` with UTF-8 as this thread's locale, the process's locale
// left as it is.
template <typename Convert>
void WithUtf8(Convert convert)
{
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    const locale_t previous = utf8 != static_cast<locale_t>(0) ? uselocale(utf8) : static_cast<locale_t>(0);
    convert();
    if (utf8 != static_cast<locale_t>(0)) {
        uselocale(previous);
        freelocale(utf8);
    }
}

// `text` converted whole in UTF-8 by `convert` (mbsrtowcs or wcsrtombs):
// measured first, then written. Empty when it holds an invalid sequence.
template <typename Out, typename In, typename Convert>
Out ConvertInUtf8(const In &text, Convert convert)
{
    Out out;
    WithUtf8([&] {
        std::mbstate_t state{};
        auto from = text.c_str();
        const std::size_t n = convert(nullptr, &from, 0, &state);
        if (n == static_cast<std::size_t>(-1))
            return;
        out.resize(n);
        from = text.c_str();
        state = {};
        convert(out.data(), &from, n, &state);
    });
    return out;
}

}  // namespace

std::string ExecutableDirectory()
{
    const std::string path = ExecutablePath();
    const std::size_t last = path.rfind('/');
    return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

bool PathExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

bool MakeDirectory(const char *path)
{
    return mkdir(path, 0777) == 0;  // the umask decides, as for any new directory
}

std::wstring ExecutablePathWide()
{
    return ConvertInUtf8<std::wstring>(ExecutablePath(), [](wchar_t *out, const char **from, std::size_t n,
                                                            std::mbstate_t *state) {
        return std::mbsrtowcs(out, from, n, state);
    });
}

std::string NarrowPath(const std::wstring &path)
{
    return ConvertInUtf8<std::string>(path, [](char *out, const wchar_t **from, std::size_t n,
                                               std::mbstate_t *state) {
        return std::wcsrtombs(out, from, n, state);
    });
}

std::FILE *OpenTextForWriting(const std::wstring &path)
{
    const std::string narrow = NarrowPath(path);
    return narrow.empty() ? nullptr : std::fopen(narrow.c_str(), "w");
}

std::uint32_t TickCount()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

CalendarTime LocalTime()
{
    const time_t now = time(nullptr);
    struct tm local{};
    localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
}

void DebugOutput(const wchar_t *)
{
    // No debugger channel on POSIX; the host's stdout and stderr stay clean.
}

}  // namespace zelmo::platform
