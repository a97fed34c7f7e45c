// The metadata file of a cache entry, and the body checksum.
#include "cache/metadata.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <type_traits>
#include <unordered_map>

#include "platform/files.h"
#include "platform/platform.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace zelmo::cache {

namespace {

// Keys in the order FormatMeta writes them; ParseMeta wants exactly this
// order, each once.
enum Key { kUrl, kLength, kDigest, kRequestTime, kResponseTime, kLastUse, kEtag, kLastModified, kComplete, kKeys };
constexpr std::string_view kVaryName = "vary";
constexpr std::string_view kKeyNames[kKeys] = {"url",      "length",   "digest",        "request-time", "response-time",
                                               "last-use", "etag",     "last-modified", "complete"};

constexpr char kHex[] = "0123456789ABCDEF";

bool NeedsEscape(unsigned char c)
{
    return c < 0x20 || c >= 0x7f || c == '%';
}

void AppendEscaped(std::string &out, std::string_view text)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The text of an escaped value; nullopt on a broken escape or a byte that
// FormatMeta would have escaped.
std::optional<std::string> Unescape(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c != '%') {
            if (NeedsEscape(c))
                return std::nullopt;
            out += value[i];
            continue;
        }
        if (value.size() - i < 3)
            return std::nullopt;
        const int high = HexDigit(value[i + 1]), low = HexDigit(value[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// A decimal integer, at least `least`: an optional '-' then digits, without
// leading zeros; nothing else.
std::optional<std::int64_t> Integer(std::string_view text, std::int64_t least)
{
    const std::string_view digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
    if (digits.empty() || (digits[0] == '0' && digits.size() > 1) || (digits == "0" && text[0] == '-'))
        return std::nullopt;
    for (const char c : digits)
        if (c < '0' || c > '9')
            return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < least)
        return std::nullopt;
    return value;
}

// Exactly 16 lowercase hexadecimal digits.
std::optional<std::uint64_t> Digest(std::string_view text)
{
    if (text.size() != 16)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const int d = HexDigit(c);
        if (d < 0 || (c >= 'A' && c <= 'F'))
            return std::nullopt;
        value = value << 4 | static_cast<std::uint64_t>(d);
    }
    return value;
}

XXH3_state_t *State(unsigned char *bytes)
{
    return std::launder(reinterpret_cast<XXH3_state_t *>(bytes));
}

const XXH3_state_t *State(const unsigned char *bytes)
{
    return std::launder(reinterpret_cast<const XXH3_state_t *>(bytes));
}

}  // namespace

std::string FormatMeta(const EntryMeta &meta)
{
    std::string out(kMetaFirstLine);
    out += '\n';
    const auto line = [&](Key key, auto &&append) {
        out += kKeyNames[key];
        out += ' ';
        append();
        out += '\n';
    };
    const auto number = [&](std::int64_t value) { return [&out, value] { out += std::to_string(value); }; };
    const auto text = [&](const std::string &value) { return [&out, &value] { AppendEscaped(out, value); }; };
    line(kUrl, text(meta.url));
    line(kLength, number(meta.length));
    line(kDigest, [&] {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(meta.digest));
        out += hex;
    });
    line(kRequestTime, number(meta.requestTime));
    line(kResponseTime, number(meta.responseTime));
    line(kLastUse, number(meta.lastUse));
    line(kEtag, text(meta.etag));
    line(kLastModified, text(meta.lastModified));
    line(kComplete, [&] { out += meta.complete ? '1' : '0'; });
    if (!meta.vary.empty()) {  // an optional last line: files without it read as before
        out += kVaryName;
        out += ' ';
        AppendEscaped(out, meta.vary);
        out += '\n';
    }
    return out;
}

std::optional<EntryMeta> ParseMeta(std::string_view bytes)
{
    if (bytes.size() > kMetaMaxBytes || bytes.empty() || bytes.back() != '\n')
        return std::nullopt;
    std::size_t at = bytes.find('\n');
    if (bytes.substr(0, at) != kMetaFirstLine)
        return std::nullopt;
    ++at;

    EntryMeta meta;
    for (int key = 0; key < kKeys; ++key) {
        if (at >= bytes.size())
            return std::nullopt;
        const std::size_t end = bytes.find('\n', at);  // found: the input ends with LF
        const std::string_view line = bytes.substr(at, end - at);
        at = end + 1;
        const std::string_view name = kKeyNames[key];
        if (line.size() <= name.size() || line.compare(0, name.size(), name) != 0 || line[name.size()] != ' ')
            return std::nullopt;
        const std::string_view value = line.substr(name.size() + 1);
        bool good = true;
        const auto integer = [&](std::int64_t &field, std::int64_t least) {
            const auto parsed = Integer(value, least);
            good = parsed.has_value();
            field = parsed.value_or(0);
        };
        const auto text = [&](std::string &field) {
            auto parsed = Unescape(value);
            good = parsed.has_value();
            if (good)
                field = std::move(*parsed);
        };
        switch (key) {
        case kUrl: text(meta.url); break;
        case kLength: integer(meta.length, -1); break;
        case kDigest: {
            const auto parsed = Digest(value);
            good = parsed.has_value();
            meta.digest = parsed.value_or(0);
            break;
        }
        case kRequestTime: integer(meta.requestTime, 0); break;
        case kResponseTime: integer(meta.responseTime, 0); break;
        case kLastUse: integer(meta.lastUse, 0); break;
        case kEtag: text(meta.etag); break;
        case kLastModified: text(meta.lastModified); break;
        case kComplete:
            good = value == "0" || value == "1";
            meta.complete = value == "1";
            break;
        }
        if (!good)
            return std::nullopt;
    }
    // The optional last line; a value is never empty.
    if (at < bytes.size() && bytes.compare(at, kVaryName.size() + 1, std::string(kVaryName) + ' ') == 0) {
        const std::size_t end = bytes.find('\n', at);
        std::optional<std::string> vary = Unescape(bytes.substr(at + kVaryName.size() + 1, end - at - kVaryName.size() - 1));
        if (!vary || vary->empty())
            return std::nullopt;
        meta.vary = std::move(*vary);
        at = end + 1;
    }
    // Nothing may follow the last key, and a metadata file without its URL
    // belongs to no entry.
    if (at != bytes.size() || meta.url.empty())
        return std::nullopt;
    return meta;
}

static_assert(sizeof(XXH3_state_t) <= sizeof(BodyDigest), "BodyDigest's state area is too small");
static_assert(alignof(XXH3_state_t) <= alignof(BodyDigest), "BodyDigest's state area is aligned too weakly");

BodyDigest::BodyDigest()
{
    static_assert(std::is_trivially_copyable_v<XXH3_state_t>);
    std::memset(state_, 0, sizeof state_);
    new (state_) XXH3_state_t;
    Reset();
}

void BodyDigest::Reset()
{
    XXH3_64bits_reset(State(state_));
}

void BodyDigest::Update(const void *data, std::size_t n)
{
    if (n != 0)
        XXH3_64bits_update(State(state_), data, n);
}

std::uint64_t BodyDigest::Value() const
{
    return XXH3_64bits_digest(State(state_));
}

std::optional<std::uint64_t> DigestOfFile(const std::string &path, std::int64_t *length)
{
    const platform::File file(platform::OpenForReading(path.c_str()));
    if (!file)
        return std::nullopt;
    BodyDigest digest;
    std::int64_t total = 0;
    char chunk[64 * 1024];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
        digest.Update(chunk, n);
        total += static_cast<std::int64_t>(n);
        if (n < sizeof chunk)
            break;
    }
    if (std::ferror(file.get()))
        return std::nullopt;
    if (length != nullptr)
        *length = total;
    return digest.Value();
}

}  // namespace zelmo::cache
