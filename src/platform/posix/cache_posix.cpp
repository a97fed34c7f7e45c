// POSIX implementation of the seam's paths, directories, time and debugger
// output, used by the cache store and the diagnostic log.
#include "platform/platform.h"

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

// Bytes as UTF-8, whatever the locale: each code point goes to `emit`, and
// each byte that is not part of a valid sequence (overlong forms and
// surrogates included) goes as U+DC80 + byte, which no valid text holds.
template <typename Emit>
void DecodeUtf8(const char *text, std::size_t length, Emit emit)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    for (std::size_t i = 0; i < length;) {
        const unsigned char lead = s[i];
        const std::size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                              : lead >= 0xF0 && lead <= 0xF4                 ? 4 : 0;
        char32_t c = n == 1 ? lead : lead & (0x7F >> n);
        bool valid = n > 0 && i + n <= length;
        for (std::size_t k = 1; valid && k < n; ++k) {
            valid = (s[i + k] & 0xC0) == 0x80;
            c = c << 6 | (s[i + k] & 0x3F);
        }
        valid = valid && !(n == 3 && c < 0x800) && !(n == 4 && (c < 0x10000 || c > 0x10FFFF)) &&
                !(c >= 0xD800 && c <= 0xDFFF);
        emit(static_cast<wchar_t>(valid ? c : 0xDC00 + lead));
        i += valid ? n : 1;
    }
}

// Wide text as UTF-8 bytes to `emit`: U+DC80..U+DCFF become the byte they
// keep, any other unit that is no character becomes U+FFFD.
template <typename Emit>
void EncodeUtf8(const wchar_t *text, std::size_t length, Emit emit)
{
    for (std::size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (c >= 0xDC80 && c <= 0xDCFF) {
            emit(static_cast<char>(c - 0xDC00));
            continue;
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            emit(static_cast<char>(c));
        } else if (c < 0x800) {
            emit(static_cast<char>(0xC0 | c >> 6));
            emit(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            emit(static_cast<char>(0xE0 | c >> 12));
            emit(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            emit(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            emit(static_cast<char>(0xF0 | c >> 18));
            emit(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            emit(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            emit(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
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
    const std::string path = ExecutablePath();
    std::wstring wide;
    DecodeUtf8(path.data(), path.size(), [&](wchar_t c) { wide.push_back(c); });
    return wide;
}

std::string NarrowPath(const std::wstring &path)
{
    std::string narrow;
    EncodeUtf8(path.data(), path.size(), [&](char c) { narrow.push_back(c); });
    return narrow;
}

void WidenLogText(const char *text, std::size_t length, wchar_t *out)
{
    DecodeUtf8(text, length, [&](wchar_t c) { *out++ = c; });
    *out = L'\0';
}

void WriteLogLine(std::FILE *file, std::uint32_t tick, const wchar_t *text)
{
    std::fprintf(file, "%u ", static_cast<unsigned>(tick));
    EncodeUtf8(text, std::wcslen(text), [&](char c) { std::fputc(c, file); });
}

std::FILE *OpenTextForWriting(const std::wstring &path)
{
    const std::string narrow = NarrowPath(path);
    return narrow.empty() ? nullptr : std::fopen(narrow.c_str(), "w");
}

std::uint32_t TickCount()
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);  // suspended time counts, as for GetTickCount
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
