// Whether a cache entry is complete: both files present and the body as long
// as the stored header's Content-Length says. Reads at most kHeaderSample
// bytes of the header and none of the body.
#include <climits>
#include <fstream>

#include <cstring>

#include "cache/cache.h"
#include "platform/platform.h"
#include "frame/frame.h"
#include "zelmo.h"

namespace zelmo::cache {
namespace {

constexpr std::string_view kContentLength = "Content-Length:";

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi: leading white space, an optional sign, then decimal digits up to the
// first other character; no digits give 0. Out-of-range values are clamped.
int ReadInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::size_t FindFieldName(std::string_view text, std::string_view name)
{
    for (std::size_t at = 0; at + name.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < name.size() && LowerAscii(text[at + i]) == LowerAscii(name[i])) ++i;
        if (i == name.size())
            return at;
    }
    return std::string_view::npos;
}

std::optional<std::string> ReadHeaderSample(const std::string &headerPath)
{
    std::ifstream header(headerPath, std::ios::binary);
    if (!header.is_open())
        return std::nullopt;
    std::string sample(kHeaderSample, '\0');
    header.read(sample.data(), static_cast<std::streamsize>(sample.size()));
    const std::streamsize got = header.gcount();
    if (got <= 0)
        return std::nullopt;
    sample.resize(static_cast<std::size_t>(got));
    return sample;
}

std::optional<int> ContentLengthOf(std::string_view sample)
{
    sample = sample.substr(0, sample.find('\0'));  // the text ends at its first NUL
    const std::size_t field = FindFieldName(sample, kContentLength);
    if (field == std::string_view::npos)
        return std::nullopt;
    const std::size_t end = sample.find('\r', field);
    if (end == std::string_view::npos)
        return std::nullopt;
    const std::size_t value = field + kContentLength.size();
    return ReadInteger(sample.substr(value, end - value));
}

std::int64_t FileLengthBySeek(const std::string &path)
{
    std::ifstream body(path, std::ios::binary);
    if (!body.is_open())
        return 0;
    body.seekg(0, std::ios::end);
    if (!body)
        return -1;
    const std::streamoff length = body.tellg();
    return body ? static_cast<std::int64_t>(length) : -1;
}

bool IsEntryComplete(const char *url, const char *bodyPath)
{
    if (url == nullptr)
        return false;
    const EntryPaths entry = EntryPathsOf(url);
    const std::string body = bodyPath != nullptr ? std::string(bodyPath) : entry.body;
    // Both paths must fit the fixed path areas they travel in.
    if (body.size() >= kPathArea || entry.header.size() >= kPathArea)
        return false;
    if (IsFilePresent(entry.header.c_str()) == -1 || IsFilePresent(body.c_str()) == -1)
        return false;
    const std::optional<std::string> sample = ReadHeaderSample(entry.header);
    if (!sample)
        return false;
    const std::optional<int> length = ContentLengthOf(*sample);
    if (!length)
        return false;
    return *length != 0 && *length == FileLengthBySeek(body);
}

StoredEntry LookAtEntry(const std::string &headerPath, const std::string &bodyPath)
{
    StoredEntry entry;
    if (bodyPath.size() >= kPathArea || headerPath.size() >= kPathArea)
        return entry;
    const auto present = [](const platform::FileFacts &facts) {
        return facts.found && !facts.directory && facts.dosTime;
    };
    const platform::FileFacts header = platform::ProbeFile(headerPath.c_str());
    if (!present(header))
        return entry;
    const platform::FileFacts body = platform::ProbeFile(bodyPath.c_str());
    if (!present(body))
        return entry;
    std::ifstream in(headerPath, std::ios::binary);
    if (!in.is_open())
        return entry;
    std::string raw(static_cast<std::size_t>(header.size), '\0');
    in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    raw.resize(static_cast<std::size_t>(in.gcount()));
    const std::optional<int> length = ContentLengthOf(std::string_view(raw).substr(0, kHeaderSample));
    entry.complete = length && *length > 0 && static_cast<std::uint64_t>(*length) == body.size;
    raw.resize(std::strlen(raw.c_str()));
    entry.header = std::move(raw);
    return entry;
}

}  // namespace zelmo::cache

extern "C" bool ZELMO_API GetCacheFileSize(const char *url, const char *bodyPath, uint32_t, uint32_t)
try {
    return zelmo::cache::IsEntryComplete(url, bodyPath);
} catch (...) {
    return false;  // no memory for a path or a stream: no entry known complete
}
