// BSTR conversion: PszToBstr and PszFromBstr, their layouts and lengths, and
// the code pages they convert in.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "support/os.h"
#include "zelmo.h"

namespace {

namespace os = zelmo::test::os;
using Wide = std::basic_string<ZelmoOleChar>;

Wide W(std::u16string_view text)
{
    return Wide(text.begin(), text.end());
}

// The characters of a BSTR as its length prefix gives them (terminators
// included when they are part of the length).
Wide Characters(ZelmoBstr bstr)
{
    return Wide(bstr, os::BstrLength(bstr));
}

std::string Hex(const Wide &text)
{
    std::string out;
    char unit[8];
    for (ZelmoOleChar c : text) {
        std::snprintf(unit, sizeof unit, "%04X ", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

TEST(Bstr, HoldsTheTextAndTwoZeroCharacters)
{
    const struct {
        const char *text;
        Wide expected;
    } cases[] = {
        {"Hello", W(std::u16string_view(u"Hello\0\0", 7))},
        {"", W(std::u16string_view(u"\0\0", 2))},
    };
    for (const auto &c : cases) {
        ZelmoBstr bstr = PszToBstr(c.text, 0);
        ASSERT_NE(bstr, nullptr) << c.text;
        EXPECT_EQ(Characters(bstr), c.expected) << c.text;
        std::uint32_t prefix;
        std::memcpy(&prefix, reinterpret_cast<const char *>(bstr) - sizeof prefix, sizeof prefix);
        EXPECT_EQ(prefix, c.expected.size() * sizeof(ZelmoOleChar)) << "the prefix counts bytes";
        EXPECT_EQ(bstr[c.expected.size()], 0) << "the allocator's own terminator";
        os::FreeBstr(bstr);
    }
}

TEST(Bstr, ConvertsFromCodePages)
{
    const struct {
        const char *text;
        unsigned codePage;
        std::u16string expected;  // the converted text, terminators not shown
    } cases[] = {
        {"Zelmo", 65001, u"Zelmo"},
        {"\xC3\xA4\xE4\xB8\xAD", 65001, u"\u00E4\u4E2D"},
        {"\xF0\x9F\x98\x80", 65001, u"\U0001F600"},        // a surrogate pair
        {"a\xFF" "b", 65001, u"a\uFFFD" "b"},               // invalid bytes are replaced
        {"\xE4\xB8", 65001, u"\uFFFD"},                     // a cut sequence, once
        {"\xD6\xD0\xCE\xC4", 936, u"\u4E2D\u6587"},         // GBK
        {"\x80\xE9", 1252, u"\u20AC\u00E9"},
        {"\x81", 1252, u"\u0081"},                          // unassigned in 1252: kept as is
        {"\xC0", 1251, u"\u0410"},
    };
    for (const auto &c : cases) {
        ZelmoBstr bstr = PszToBstr(c.text, c.codePage);
        ASSERT_NE(bstr, nullptr) << c.codePage;
        Wide expected = W(c.expected);
        expected.append(2, 0);
        EXPECT_EQ(Hex(Characters(bstr)), Hex(expected)) << "code page " << c.codePage;
        os::FreeBstr(bstr);
    }
}

TEST(Bstr, CodePageZeroIsTheAnsiCodePage)
{
    const char text[] = "caf\xC3\xA9 \x80";
    ZelmoBstr viaZero = PszToBstr(text, 0);
    ZelmoBstr viaAnsi = PszToBstr(text, os::AnsiCodePage());
    ASSERT_NE(viaZero, nullptr);
    ASSERT_NE(viaAnsi, nullptr);
    EXPECT_EQ(Characters(viaZero), Characters(viaAnsi));
    os::FreeBstr(viaZero);
    os::FreeBstr(viaAnsi);
}

TEST(Bstr, RefusesWhatCannotBeConverted)
{
    EXPECT_EQ(PszToBstr(nullptr, 0), nullptr);
    EXPECT_EQ(PszFromBstr(nullptr, 0), nullptr);
    for (unsigned codePage : {12345u, 1200u, 99999u}) {
        EXPECT_EQ(PszToBstr("text", codePage), nullptr) << codePage;
        const Wide wide = W(u"text");
        EXPECT_EQ(PszFromBstr(wide.c_str(), codePage), nullptr) << codePage;
    }
}

TEST(Bstr, ConvertsToCodePages)
{
    const struct {
        std::u16string_view text;
        unsigned codePage;
        std::string expected;
    } cases[] = {
        {u"Zelmo", 65001, "Zelmo"},
        {std::u16string_view(u"ab\0cd", 5), 65001, "ab"},  // up to the first NUL only
        {u"\u00E4\u4E2D", 65001, "\xC3\xA4\xE4\xB8\xAD"},
        {u"\U0001F600", 65001, "\xF0\x9F\x98\x80"},
        {u"x\xD800y", 65001, "x\xEF\xBF\xBDy"},  // an unpaired surrogate becomes U+FFFD
        {u"\u4E2D\u6587", 936, "\xD6\xD0\xCE\xC4"},
        {u"\u20AC\u00E9", 1252, "\x80\xE9"},
        {u"a\u4E2Db", 1252, "a?b"},              // not in the code page
        {u"", 65001, ""},
    };
    for (const auto &c : cases) {
        const Wide wide = W(c.text);
        char *text = PszFromBstr(wide.c_str(), c.codePage);
        ASSERT_NE(text, nullptr) << c.codePage;
        EXPECT_EQ(std::string(text), c.expected) << "code page " << c.codePage;
        os::FreeLocal(text);
    }
}

TEST(Bstr, RoundTripsThroughUtf8)
{
    const char text[] = "Zelmo \xE2\x80\x93 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80 \xC3\xA4";
    ZelmoBstr bstr = PszToBstr(text, 65001);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(os::BstrLength(bstr), 15u + 2u);
    char *back = PszFromBstr(bstr, 65001);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, text);
    os::FreeLocal(back);
    os::FreeBstr(bstr);
}

TEST(Bstr, LongTextsConvertWhole)
{
    // Texts of several times the 4096-byte piece the POSIX conversion works
    // in, with a character of two bytes across each piece boundary.
    struct Case {
        unsigned codePage;
        std::string unit;  // one character in the code page
        ZelmoOleChar wide;
    };
    const Case cases[] = {
        {65001, "\xC3\xA9", 0xE9},
        {1252, "\xE9", 0xE9},
        {932, "\x82\xA0", 0x3042},  // hiragana a
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.codePage);
        std::string text = "x";  // puts the two-byte characters across the boundaries
        Wide expected = W(u"x");
        for (int i = 0; i < 3 * 4096 + 5; ++i) {
            text += c.unit;
            expected += c.wide;
        }
        ZelmoBstr bstr = PszToBstr(text.c_str(), c.codePage);
        ASSERT_NE(bstr, nullptr);
        EXPECT_EQ(os::BstrLength(bstr), expected.size() + 2);
        EXPECT_TRUE(Wide(bstr) == expected);
        char *back = PszFromBstr(bstr, c.codePage);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::string(back), text);
        os::FreeLocal(back);
        os::FreeBstr(bstr);
    }
}

}  // namespace
