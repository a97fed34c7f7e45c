#include "platform/posix/ini.h"

#include <algorithm>
#include <cstring>

namespace zelmo::ini {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr auto npos = std::string::npos;

// Blanks as the profile services see them: ASCII white space and the DOS end
// of file (^Z).
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

char Fold(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names compare without regard to ASCII letter case.
bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Fold(x) == Fold(y); });
}

// Copies as much of `text` as fits with a NUL into `buffer` of `size` (> 0)
// bytes; returns the characters copied.
unsigned CopyCut(std::string_view text, char *buffer, unsigned size)
{
    const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<unsigned>(n);
}

// Copies the names, each followed by a NUL, and a final NUL. As with the
// Windows services, a list fits only with a byte to spare; one that does not
// is cut to size - 2 bytes and ends with two NULs.
unsigned CopyList(const std::vector<std::string_view> &names, char *buffer, unsigned size)
{
    std::string list;
    for (std::string_view name : names) {
        list.append(name);
        list.push_back('\0');
    }
    if (list.empty() || list.size() + 1 < size) {
        std::memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        return static_cast<unsigned>(list.size());
    }
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

// A value without one pair of matching surrounding quotes.
std::string_view Unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

Profile::Profile(std::string_view text)
{
    // A line ends in CR LF, LF or a CR alone.
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        const std::string_view piece = text.substr(start, end == npos ? npos : end - start);
        std::size_t next = end == npos ? text.size() : end + 1;
        const char *ending = end == npos ? "" : text[end] == '\n' ? "\n" : "\r";
        if (end != npos && text[end] == '\r' && next < text.size() && text[next] == '\n') {
            ending = "\r\n";
            ++next;
        }
        lines_.push_back(Parse(std::string(piece), ending));
        start = next;
    }
    // A UTF-8 byte order mark is not part of the first line's content.
    if (!lines_.empty() && lines_[0].text.starts_with(kUtf8Bom)) {
        Line parsed = Parse(lines_[0].text.substr(kUtf8Bom.size()), lines_[0].ending);
        parsed.text = lines_[0].text;
        lines_[0] = std::move(parsed);
    }
}

Profile::Line Profile::Parse(std::string text, std::string ending)
{
    Line line;
    const std::string_view content = Trim(text);
    if (!content.empty() && content.front() == '[') {
        const std::size_t close = content.rfind(']');
        if (close != npos) {
            line.kind = Kind::Section;
            line.name = Trim(content.substr(1, close - 1));
        }
    } else if (!content.empty() && content.front() != ';') {
        const std::size_t equals = content.find('=');
        if (equals != npos) {
            line.kind = Kind::Entry;
            line.name = Trim(content.substr(0, equals));
            line.value = Trim(content.substr(equals + 1));
        }
    }
    line.text = std::move(text);
    line.ending = std::move(ending);
    return line;
}

std::string Profile::Text() const
{
    std::string text;
    for (const Line &line : lines_) text += line.text + line.ending;
    return text;
}

std::size_t Profile::FindSection(std::string_view name) const
{
    name = Trim(name);
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Section && SameName(lines_[i].name, name))
            return i;
    return npos;
}

std::size_t Profile::SectionEnd(std::size_t header) const
{
    std::size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != Kind::Section) ++i;
    return i;
}

std::size_t Profile::FindKey(std::size_t header, std::string_view key) const
{
    key = Trim(key);
    const std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i)
        if (lines_[i].kind == Kind::Entry && SameName(lines_[i].name, key))
            return i;
    return npos;
}

std::string Profile::NewLineEnding() const
{
    for (const Line &line : lines_)
        if (!line.ending.empty())
            return line.ending;
    return "\r\n";
}

unsigned Profile::Read(const char *section, const char *key, const char *defaultValue, char *buffer,
                       unsigned size) const
{
    if (buffer == nullptr || size == 0)
        return 0;
    if (section == nullptr) {
        std::vector<std::string_view> names;
        for (const Line &line : lines_)
            if (line.kind == Kind::Section && !line.name.empty())
                names.push_back(line.name);
        return CopyList(names, buffer, size);
    }
    std::string_view fallback = defaultValue != nullptr ? defaultValue : "";
    while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
    fallback = Unquote(fallback);

    const std::size_t header = FindSection(section);
    if (key == nullptr) {
        std::vector<std::string_view> names;
        if (header != npos) {
            const std::size_t end = SectionEnd(header);
            for (std::size_t i = header + 1; i < end; ++i)
                if (lines_[i].kind == Kind::Entry && !lines_[i].name.empty())
                    names.push_back(lines_[i].name);
        }
        if (names.empty())
            return CopyCut(fallback, buffer, size);
        return CopyList(names, buffer, size);
    }
    const std::size_t entry = header == npos ? npos : FindKey(header, key);
    return CopyCut(entry == npos ? fallback : Unquote(lines_[entry].value), buffer, size);
}

bool Profile::Write(const char *section, const char *key, const char *value)
{
    if (section == nullptr)
        return false;
    const std::size_t header = FindSection(section);
    if (key == nullptr) {
        if (header != npos) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                         lines_.begin() + static_cast<std::ptrdiff_t>(SectionEnd(header)));
            changed_ = true;
        }
        return true;
    }
    const std::size_t entry = header == npos ? npos : FindKey(header, key);
    if (value == nullptr) {
        if (entry != npos) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(entry));
            changed_ = true;
        }
        return true;
    }
    const std::string ending = NewLineEnding();
    if (entry != npos) {
        Line &line = lines_[entry];
        std::string text = line.name + "=" + value;
        if (text != line.text) {
            line = Parse(std::move(text), line.ending);
            changed_ = true;
        }
        return true;
    }
    // A new line goes after the section's last entry (or its header); a new
    // section goes at the end of the file.
    std::size_t at = lines_.size();
    std::vector<Line> added;
    if (header == npos) {
        added.push_back(Parse("[" + std::string(section) + "]", ending));
    } else {
        at = header + 1;
        for (std::size_t i = header + 1; i < SectionEnd(header); ++i)
            if (lines_[i].kind == Kind::Entry)
                at = i + 1;
    }
    added.push_back(Parse(std::string(key) + "=" + value, ending));
    if (at > 0 && lines_[at - 1].ending.empty())
        lines_[at - 1].ending = ending;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    changed_ = true;
    return true;
}

}  // namespace zelmo::ini
