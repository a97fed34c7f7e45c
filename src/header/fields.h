// The one reader of HTTP header blocks in the library: status lines, header
// fields, control characters and lengths. A header block is a status line
// and its fields as libcurl hands them over or as an entry's header file
// keeps them, CRLF or LF line ends, ending at its first empty line.
//
// The strict readers come first. The 28 exports read a stored header their
// own, older way (the first 300 bytes, the first 12 characters of the status
// line, a Content-Length read as atoi reads it); those readings are kept
// apart at the end of this file, each named for what it does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmo::header {

// ASCII letters compared without regard to case.
bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsNoCase(std::string_view text, std::string_view prefix);
// Spaces and tabs removed from both ends.
std::string_view Trim(std::string_view text);
// A field name: one or more token characters (RFC 9110 5.6.2).
bool IsToken(std::string_view text);

// Whether `text` holds a control character: a byte below 0x20 or 0x7f. A
// validator (an ETag, an HTTP date) never holds one, a tab included; a
// field's value may hold tabs, which Tab::Text lets pass.
enum class Tab { Control, Text };
bool HasControl(std::string_view text, Tab tab = Tab::Control);

// The status code of the block's status line: "HTTP/", a version, one
// space, exactly three digits, then a space or the line's end. 0 for
// anything else ("HTTP/1.1 2000", "HTTP/1.1 20", "http/1.1 200").
int StatusOf(std::string_view block);

// The block's first line, without its line end.
std::string_view StatusLineOf(std::string_view block);

// One field of a block: its name, its value with blanks trimmed, the whole
// line. Obsolete line folding (a line that starts with a blank) continues
// the field before it, joined with one space.
struct Field {
    std::string_view name;
    std::string_view value;
    std::string_view line;
};

// The status line (when the block starts with one) and the fields of a
// block, up to its first empty line; lines that are not fields are left out.
// Fields view the block's text, except where folded lines were joined: those
// view texts kept in `joined`, whose elements never move.
struct Block {
    std::string_view status;
    std::vector<Field> fields;
    std::deque<std::string> joined;
};
Block Split(std::string_view block);

// The value of field `name` (no colon, any letter case); repeated fields
// joined with ", ". nullopt when the block has no such field.
std::optional<std::string> ValueIn(const Block &block, std::string_view name);
std::optional<std::string> FieldValue(std::string_view block, std::string_view name);

// A length field's value: decimal digits only, at most 18 of them.
std::optional<std::int64_t> ParseLength(const std::optional<std::string> &value);

// ---- the 28 exports' readings of a stored header ---------------------------

// Bytes of a header file that the entry probe reads.
inline constexpr std::size_t kHeaderSample = 300;

// Where the field name `name` (with its colon) first occurs in `text`,
// letters compared without regard to case; npos when nowhere. It may stand
// anywhere, not only at a line's start.
std::size_t FindFieldName(std::string_view text, std::string_view name);

// The value of the first "Content-Length:" in a header sample, read as atoi
// reads it; the sample ends at its first NUL and the value at the next CR.
// nullopt when the field or its CR is missing.
std::optional<int> SampleContentLength(std::string_view sample);

// Whether `text` starts with the twelve characters "HTTP/1.1 200" or
// "HTTP/1.0 200" (and so "HTTP/1.1 2000" too).
bool StartsWithOkStatus(std::string_view text);
// The same for "HTTP/1.1 304" or "HTTP/1.0 304".
bool StartsWithNotModified(std::string_view text);

}  // namespace zelmo::header
