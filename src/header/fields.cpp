// The library's reader of HTTP header blocks (see fields.h).
#include "header/fields.h"

#include <algorithm>
#include <climits>

namespace zelmo::header {
namespace {

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// atoi: leading white space, an optional sign, then decimal digits up to the
// first other character; no digits give 0. Out-of-range values are clamped.
int ReadInteger(std::string_view text)
{
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool IsToken(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), IsTokenChar);
}

bool HasControl(std::string_view text, Tab tab)
{
    return std::any_of(text.begin(), text.end(), [tab](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return (c < 0x20 && !(c == '\t' && tab == Tab::Text)) || c == 0x7f;
    });
}

std::string_view StatusLineOf(std::string_view block)
{
    return block.substr(0, block.find_first_of("\r\n"));
}

int StatusOf(std::string_view block)
{
    // "HTTP/1.1 200 OK", "HTTP/2 200"
    const std::string_view line = StatusLineOf(block);
    if (line.compare(0, 5, "HTTP/") != 0)
        return 0;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space + 4 > line.size() ||
        (line.size() > space + 4 && line[space + 4] != ' '))
        return 0;
    int code = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (!IsDigit(line[i]))
            return 0;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

Block Split(std::string_view block)
{
    Block out;
    bool first = true;
    while (!block.empty()) {
        const std::size_t end = block.find('\n');
        std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            break;
        if (first) {
            first = false;
            if (StartsNoCase(line, "HTTP/")) {
                out.status = line;
                continue;
            }
        }
        if (IsBlank(line.front())) {  // obs-fold: continues the field before it
            if (!out.fields.empty()) {
                const std::string_view more = Trim(line);
                Field &last = out.fields.back();
                if (!more.empty()) {
                    std::string value(last.value);
                    value += value.empty() ? "" : " ";
                    value += more;
                    std::string joinedLine(last.line);
                    joinedLine += ' ';
                    joinedLine += more;
                    last.value = out.joined.emplace_back(std::move(value));
                    last.line = out.joined.emplace_back(std::move(joinedLine));
                }
            }
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
            continue;
        out.fields.push_back({line.substr(0, colon), Trim(line.substr(colon + 1)), line});
    }
    return out;
}

std::optional<std::string> ValueIn(const Block &block, std::string_view name)
{
    std::optional<std::string> value;
    for (const Field &f : block.fields) {
        if (!EqualNoCase(f.name, name))
            continue;
        if (!value)
            value.emplace();
        if (f.value.empty())
            continue;
        if (!value->empty())
            *value += ", ";
        *value += f.value;
    }
    return value;
}

std::optional<std::string> FieldValue(std::string_view block, std::string_view name)
{
    return ValueIn(Split(block), name);
}

std::optional<std::int64_t> ParseLength(const std::optional<std::string> &value)
{
    if (!value || value->empty() || value->size() > 18)
        return std::nullopt;
    std::int64_t n = 0;
    for (const char c : *value) {
        if (!IsDigit(c))
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::size_t FindFieldName(std::string_view text, std::string_view name)
{
    for (std::size_t at = 0; at + name.size() <= text.size(); ++at)
        if (EqualNoCase(text.substr(at, name.size()), name))
            return at;
    return std::string_view::npos;
}

std::optional<int> SampleContentLength(std::string_view sample)
{
    constexpr std::string_view kContentLength = "Content-Length:";
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

bool StartsWithOkStatus(std::string_view text)
{
    return text.substr(0, 12) == "HTTP/1.1 200" || text.substr(0, 12) == "HTTP/1.0 200";
}

bool StartsWithNotModified(std::string_view text)
{
    return text.substr(0, 12) == "HTTP/1.1 304" || text.substr(0, 12) == "HTTP/1.0 304";
}

}  // namespace zelmo::header
