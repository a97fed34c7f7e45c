// Base64Encode and Base64Decode.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zelmo.h"

namespace {

std::string Encode(const std::string &in, int len)
{
    std::vector<char> out(4 * ((in.size() + 2) / 3) + 8, '#');
    const int n = Base64Encode(out.data(), in.data(), len);
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    return std::string(out.data(), static_cast<size_t>(n));
}

std::string Decode(const std::string &in)
{
    std::vector<char> out(3 * ((in.size() + 3) / 4) + 8, '#');
    const int n = Base64Decode(out.data(), in.data(), static_cast<int>(in.size()));
    EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
    return std::string(out.data(), static_cast<size_t>(n));
}

// Decoding as defined, one character at a time, for comparison with the
// table-driven decoder.
std::string ReferenceDecode(const std::string &text)
{
    auto value = [](int c) -> int {
        const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char *p = c ? std::strchr(alphabet, c) : nullptr;
        return p ? static_cast<int>(p - alphabet) : -1;
    };
    std::string out;
    const size_t len = text.size();
    const size_t groups = (len + 3) / 4;
    for (size_t g = 0; g < groups; ++g) {
        char c[4];
        int s[4];
        for (int k = 0; k < 4; ++k) {
            const size_t i = 4 * g + static_cast<size_t>(k);
            c[k] = i < len ? text[i] : '\0';
            s[k] = value(static_cast<unsigned char>(c[k]));
        }
        const char b0 = static_cast<char>((s[0] * 4) | (s[1] >> 4));
        const char b1 = static_cast<char>((s[1] * 16) | (s[2] >> 2));
        const char b2 = static_cast<char>((s[2] * 64) | s[3]);
        out += b0;
        const bool last = g + 1 == groups;
        if (!last || (c[1] != '=' && c[2] != '=')) out += b1;
        if (!last || (c[2] != '=' && c[3] != '=')) out += b2;
    }
    return out;
}

TEST(Base64, Rfc4648Vectors)
{
    const std::pair<const char *, const char *> vectors[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto &[plain, text] : vectors) {
        EXPECT_EQ(Encode(plain, 0), text);
        EXPECT_EQ(Decode(text), plain);
    }
}

TEST(Base64, EncodeLengthRules)
{
    EXPECT_EQ(Encode("", 0), "");
    EXPECT_EQ(Encode("abc", -1), "");
    EXPECT_EQ(Encode("abc", -2147483647 - 1), "");
    EXPECT_EQ(Encode("abc", 0), "YWJj");
    // An explicit length reads past a NUL.
    EXPECT_EQ(Encode(std::string("a\0b", 3), 3), "YQBi");
    EXPECT_EQ(Encode("\xff\xfe\xfd\xfc", 4), "//79/A==");
    EXPECT_EQ(Encode("abcd", 1).size(), 4u);
    EXPECT_EQ(Encode("abcd", 2).size(), 4u);
    EXPECT_EQ(Encode("abcd", 3).size(), 4u);
    EXPECT_EQ(Encode("abcd", 4).size(), 8u);
}

TEST(Base64, DecodeLastGroupAndInvalidCharacters)
{
    EXPECT_EQ(Decode("QQ=="), "A");
    EXPECT_EQ(Decode("QUI="), "AB");
    EXPECT_EQ(Decode("QUJD"), "ABC");
    EXPECT_EQ(Decode("QQ"), "A\xff\xff");
    EXPECT_EQ(Decode("Q"), "\xff\xff\xff");
    EXPECT_EQ(Decode("===="), "\xff");
    EXPECT_EQ(Decode("QQ=A"), "A");
    EXPECT_EQ(Decode("QUJD\nQUJD"), "ABC\xfd\x05\x09\xff\xff\xff");
    // "=" before the last group is just an invalid character.
    EXPECT_EQ(Decode("QQ==QUJD"), std::string("A\xff\xff") + "ABC");
    // Bytes from 0x80 up are invalid characters too.
    EXPECT_EQ(Decode("\x80\xff\xc3\xa9"), ReferenceDecode("\x80\xff\xc3\xa9"));
}

TEST(Base64, DecodeOfNulTerminatedText)
{
    char out[16];
    EXPECT_EQ(Base64Decode(out, "QUJD", 0), 3);
    EXPECT_STREQ(out, "ABC");
    EXPECT_EQ(Base64Decode(out, "", 0), 0);
    EXPECT_EQ(out[0], '\0');
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Base64Decode(out, "QUJD", -5), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
}

TEST(Base64, NullPointersAreRefused)
{
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(Base64Encode(out, nullptr, 0), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
    out[0] = '#';
    EXPECT_EQ(Base64Decode(out, nullptr, 12), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
    EXPECT_EQ(Base64Encode(nullptr, "abc", 3), 0);
    EXPECT_EQ(Base64Decode(nullptr, "QUJD", 4), 0);
}

// Random bytes of every length up to 300 survive a round trip, and neither
// direction writes a byte past the documented output size.
TEST(Base64, RoundTripStaysInsideDocumentedSizes)
{
    std::mt19937 random(20261208);
    for (size_t len = 1; len <= 300; ++len) {
        std::string plain(len, '\0');
        for (char &c : plain) c = static_cast<char>(random());
        const size_t textSize = 4 * ((len + 2) / 3) + 1;
        std::vector<char> text(textSize + 16, '#');
        ASSERT_EQ(Base64Encode(text.data(), plain.data(), static_cast<int>(len)),
                  static_cast<int>(textSize - 1));
        for (size_t i = textSize; i < text.size(); ++i) ASSERT_EQ(text[i], '#') << len;

        const size_t bytesSize = 3 * ((textSize - 1 + 3) / 4) + 1;
        std::vector<char> bytes(bytesSize + 16, '#');
        const int n = Base64Decode(bytes.data(), text.data(), 0);
        ASSERT_EQ(n, static_cast<int>(len));
        EXPECT_EQ(std::string(bytes.data(), len), plain);
        for (size_t i = bytesSize; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], '#') << len;
    }
}

// Arbitrary text decodes exactly as the definition says, and never past
// 3 x ceil(len / 4) + 1 bytes.
TEST(Base64, ArbitraryTextMatchesDefinition)
{
    std::mt19937 random(4648);
    const char pool[] = "AZaz09+/=\n \t\x80\xff.-_";
    for (int round = 0; round < 3000; ++round) {
        const size_t len = 1 + random() % 40;
        std::string text(len, 'A');
        for (char &c : text)
            c = random() % 3 ? pool[random() % (sizeof pool - 1)] : static_cast<char>(random());
        const size_t size = 3 * ((len + 3) / 4) + 1;
        std::vector<char> out(size + 8, '#');
        const int n = Base64Decode(out.data(), text.data(), static_cast<int>(len));
        const std::string expected = ReferenceDecode(text);
        ASSERT_EQ(std::string(out.data(), static_cast<size_t>(n)), expected) << text;
        ASSERT_EQ(out[static_cast<size_t>(n)], '\0');
        for (size_t i = size; i < out.size(); ++i) ASSERT_EQ(out[i], '#');
    }
}

}  // namespace
