// The library's one reader of HTTP header blocks: the strict readings, and
// the 28 exports' older readings of a stored header beside them, row by row
// where the two differ.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fetch/rules.h"
#include "header/fields.h"

namespace {

using namespace zelmo::header;

TEST(Header, StatusLineStrictAndAsTheExportsReadIt)
{
    const struct {
        const char *block;
        int status;  // StatusOf
        bool ok;     // StartsWithOkStatus: the first twelve characters
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n", 200, true},
        {"HTTP/1.0 200 OK", 200, true},
        {"HTTP/1.1 200", 200, true},
        {"HTTP/1.1 200\r\nETag: x\r\n", 200, true},
        {"HTTP/2 200", 200, false},
        {"HTTP/1.1 2000", 0, true},  // four digits: no status, but twelve characters match
        {"HTTP/1.1 2000 OK", 0, true},
        {"HTTP/1.1 20", 0, false},
        {"HTTP/1.1 20x OK", 0, false},
        {"HTTP/1.1 204 No Content", 204, false},
        {"HTTP/1.1 304 Not Modified", 304, false},
        {"http/1.1 200 OK", 0, false},
        {" HTTP/1.1 200 OK", 0, false},
        {"HTTP/1.1\r\n200 OK", 0, false},
        {"", 0, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(StatusOf(c.block), c.status) << c.block;
        EXPECT_EQ(StartsWithOkStatus(c.block), c.ok) << c.block;
    }
    EXPECT_TRUE(StartsWithNotModified("HTTP/1.0 304 Not Modified"));
    EXPECT_FALSE(StartsWithNotModified("HTTP/2 304"));
}

TEST(Header, ControlCharacters)
{
    for (int c = 0; c < 0x100; ++c) {
        const std::string text = std::string("a") + static_cast<char>(c) + "b";
        const bool control = c < 0x20 || c == 0x7f;
        EXPECT_EQ(HasControl(text), control) << c;
        EXPECT_EQ(HasControl(text, Tab::Text), control && c != '\t') << c;
    }
    EXPECT_FALSE(HasControl(""));
}

// A validator with a tab is never sent: not as If-None-Match, not as If-Range.
TEST(Header, ATabKeepsAValidatorOutOfEveryRequest)
{
    using namespace zelmo::fetch;
    const std::string tab = "HTTP/1.1 200 OK\r\nETag: \"a\tb\"\r\nContent-Length: 5\r\n\r\n";
    const std::string plain = "HTTP/1.1 200 OK\r\nETag: \"ab\"\r\nContent-Length: 5\r\n\r\n";
    EXPECT_TRUE(ConditionalLines(ValidatorsOf(tab)).empty());
    EXPECT_EQ(ResumeValidatorOf(tab), "");
    EXPECT_EQ(ConditionalLines(ValidatorsOf(plain)).size(), 1u);
    EXPECT_EQ(ResumeValidatorOf(plain), "\"ab\"");
}

TEST(Header, LengthsStrictAndAsAtoiReadsThem)
{
    const struct {
        std::optional<std::string> value;
        std::optional<std::int64_t> length;
    } strict[] = {
        {"0", 0}, {"123", 123}, {"999999999999999999", 999999999999999999}, {"1234567890123456789", std::nullopt},
        {"", std::nullopt}, {" 5", std::nullopt}, {"+5", std::nullopt}, {"5x", std::nullopt}, {std::nullopt, std::nullopt},
    };
    for (const auto &c : strict)
        EXPECT_EQ(ParseLength(c.value), c.length) << c.value.value_or("(none)");
    const struct {
        const char *sample;
        std::optional<int> length;
    } sampled[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n", 12},
        {"HTTP/1.1 200 OK\r\ncontent-length:  +7x\r\n", 7},
        {"HTTP/1.1 200 OK\r\nX-Content-Length: 3\r\n", 3},  // found anywhere, as the exports find it
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n", 2147483647},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\n", std::nullopt},
        {"HTTP/1.1 200 OK\r\n", std::nullopt},
    };
    for (const auto &c : sampled)
        EXPECT_EQ(SampleContentLength(c.sample), c.length) << c.sample;
    EXPECT_EQ(SampleContentLength(std::string("Content-Length: 1\0\r\n", 21)), std::nullopt) << "the sample ends at a NUL";
}

TEST(Header, FieldValue)
{
    const std::string block = "HTTP/1.1 200 OK\r\n"
                              "Content-Type:  text/plain \r\n"
                              "cache-control: max-age=5\r\n"
                              "X-Folded: one\r\n"
                              "\ttwo\r\n"
                              "Cache-Control: public\r\n"
                              "X-Empty:\r\n"
                              "Bad Name: x\r\n"
                              "\r\n"
                              "After: body\r\n";
    const struct {
        const char *name;
        std::optional<std::string> value;
    } cases[] = {
        {"content-type", "text/plain"},  {"CACHE-CONTROL", "max-age=5, public"}, {"X-Folded", "one two"},
        {"X-Empty", ""},                 {"Bad Name", std::nullopt},              {"After", std::nullopt},
        {"Missing", std::nullopt},       {"HTTP/1.1 200 OK", std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FieldValue(block, c.name), c.value) << c.name;
    EXPECT_EQ(FieldValue("HTTP/1.0 200 OK\nETag: \"lf\"\n\n", "etag"), "\"lf\"");
}

}  // namespace
