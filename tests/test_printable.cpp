// The zelmo tool's escaping of text it did not write (tools/zelmo/printable.h):
// what reaches a terminal holds no control byte, a tab cannot split a
// column, and every escape reads back as exactly one original text.
#include <gtest/gtest.h>

#include <string>

#include "../tools/zelmo/printable.h"

namespace {

TEST(Printable, EscapesControlsAndKeepsText)
{
    using namespace std::string_literals;
    const struct {
        std::string text, shown;
    } cases[] = {
        {"", ""},
        {"\"v1\"", "\"v1\""},
        {"Tue, 01 Dec 2026 08:00:00 GMT", "Tue, 01 Dec 2026 08:00:00 GMT"},
        {"a\tb", "a\\tb"},
        {"line\r\nnext\n", "line\\r\\nnext\\n"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {"\0x"s, "\\x00x"},
        {"\x01\x1f\x7f ~", "\\x01\\x1f\\x7f ~"},
        // A backslash is doubled, so "\t" in the text and a tab differ.
        {"a\\tb", "a\\\\tb"},
        {"C:\\x1b", "C:\\\\x1b"},
        // UTF-8 reads as written; its C1 controls (U+0080..U+009F) do not.
        {"h\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "h\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\xa0\xc2\xbf", "\xc2\xa0\xc2\xbf"},
        {"\xc2\x9b" "2J", "\\xc2\\x9b2J"},
        {"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},
        // Bytes 0x80..0x9f outside a valid sequence are C1 in 8-bit text.
        {"\x9b" "2J", "\\x9b2J"},
        {"\xe0\x9b", "\xe0\\x9b"},                    // overlong lead, then a lone 0x9b
        {"\xed\xa0\x80", "\xed\xa0\\x80"},            // a surrogate is no sequence
        {"\xf4\x90\x80\x80", "\xf4\\x90\\x80\\x80"},  // beyond U+10FFFF
        {"\xe2\x82", "\xe2\\x82"},                    // cut short at the end
        {"\xc3\x9b", "\xc3\x9b"},                      // U+00DB: a continuation 0x9b in a sequence
        // Other bytes >= 0xa0 outside a sequence are not controls: kept.
        {"caf\xe9", "caf\xe9"},
        {"\xff\xfe", "\xff\xfe"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(cli::Printable(c.text), c.shown);
    }
}

// Every byte value alone: what is shown is either the byte itself or an
// escape made only of printable ASCII.
TEST(Printable, NoSingleByteComesThroughAsAControl)
{
    for (int value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        const std::string shown = cli::Printable(std::string(1, static_cast<char>(value)));
        const bool control = value < 0x20 || value == 0x7f || (value >= 0x80 && value <= 0x9f);
        if (control || value == '\\') {
            ASSERT_GE(shown.size(), 2u);
            EXPECT_EQ(shown[0], '\\');
            for (const char c : shown) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << shown;
        } else {
            EXPECT_EQ(shown, std::string(1, static_cast<char>(value)));
        }
    }
}

}  // namespace
