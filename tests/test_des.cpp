// DesContext, DesKeyFromPassword and the text encryption exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "des/des.h"
#include "zelmo.h"

namespace {

using zelmo::DesContext;
using zelmo::DesKey;
using zelmo::DesKeyFromPassword;

std::vector<std::uint8_t> Hex(const std::string &hex)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Known answers of FIPS 46-3 DES for keys given directly.
TEST(DesContext, KnownAnswers)
{
    const char *const vectors[][3] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
        {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "7359B2163E4EDC58"},
        {"3000000000000000", "1000000000000001", "958E6E627A05557B"},
        {"1111111111111111", "1111111111111111", "F40379AB9E0EC533"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "ED39D950FA74BCC4"},
        {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
        {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
        {"0E329232EA6D0D73", "FEDCBA9876543210", "EA825383039557E1"},
        {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
        {"38495FE8D27A5F96", "8787878787878787", "B7CA16D3438328CF"},
        {"A2B3C4D5E6F70819", "0000000000000000", "63F41A25E43296B0"},
        {"A2B3C4D5E6F70819", "FEDCBA9876543210", "CD174294DF69D787"},
    };
    for (const auto &v : vectors) {
        DesContext des;
        des.SetKey(Hex(v[0]).data());
        const auto plain = Hex(v[1]), cipher = Hex(v[2]);
        std::uint8_t out[8];
        des.EncryptBlock(plain.data(), out);
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8), cipher) << v[0];
        des.DecryptBlock(cipher.data(), out);
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8), plain) << v[0];
        std::uint8_t inPlace[8];
        std::memcpy(inPlace, plain.data(), 8);
        des.EncryptBlock(inPlace, inPlace);
        EXPECT_EQ(std::vector<std::uint8_t>(inPlace, inPlace + 8), cipher);
        des.DecryptBlock(inPlace, inPlace);
        EXPECT_EQ(std::vector<std::uint8_t>(inPlace, inPlace + 8), plain);
    }
}

TEST(DesContext, LowBitOfEveryKeyByteIsIgnored)
{
    const auto key = Hex("133457799BBCDFF1");
    const std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DesContext reference;
    reference.SetKey(key.data());
    std::uint8_t expected[8];
    reference.EncryptBlock(block, expected);
    for (int byte = 0; byte < 8; ++byte) {
        auto flipped = key;
        flipped[byte] ^= 1;
        DesContext des;
        des.SetKey(flipped.data());
        std::uint8_t out[8];
        des.EncryptBlock(block, out);
        EXPECT_EQ(std::memcmp(out, expected, 8), 0) << byte;
    }
}

TEST(DesKeyFromPassword, TrimCutFillAndShift)
{
    EXPECT_EQ(DesKeyFromPassword(""), DesKey{});
    EXPECT_EQ(DesKeyFromPassword(" \t\n\v\f\r "), DesKey{});
    EXPECT_EQ(DesKeyFromPassword("a"), (DesKey{0xC2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(DesKeyFromPassword("\x81"), (DesKey{0x02, 0x00, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(DesKeyFromPassword("ab"), (DesKey{0xC2, 0xC4, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(DesKeyFromPassword("  secret\r\n"), DesKeyFromPassword("secret"));
    EXPECT_NE(DesKeyFromPassword("sec ret"), DesKeyFromPassword("secret"));
    // The last 8 bytes after trimming, for long passwords too.
    EXPECT_EQ(DesKeyFromPassword("xx12345678"), DesKeyFromPassword("yyyy12345678 "));
    EXPECT_EQ(DesKeyFromPassword("a-longer-password-than-fifteen"), DesKeyFromPassword("n-fifteen"));
    EXPECT_NE(DesKeyFromPassword("1234567"), DesKeyFromPassword("12345678"));
}

TEST(DesKeyFromPassword, TopBitsOfKeptBytesDoNotChangeTheCipher)
{
    // The top bit is shifted out of byte 0 and lands in the ignored low bit
    // of the byte before for the others.
    DesContext a, b;
    a.SetKey(DesKeyFromPassword("abcdefgh").data());
    b.SetKey(DesKeyFromPassword("\xe1\xe2\xe3\xe4\xe5\xe6\xe7\xe8").data());
    const std::uint8_t block[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    std::uint8_t x[8], y[8];
    a.EncryptBlock(block, x);
    b.EncryptBlock(block, y);
    EXPECT_EQ(std::memcmp(x, y, 8), 0);
}

std::vector<std::uint8_t> Message(const std::string &plain, const char *password)
{
    DesContext des;
    std::vector<std::uint8_t> out(plain.size() + 9);
    int n = 0;
    des.EncryptBytes(DesKeyFromPassword(password), reinterpret_cast<const std::uint8_t *>(plain.data()),
                     static_cast<int>(plain.size()), out.data(), n);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

TEST(DesMessage, LengthsTrailerAndBlocks)
{
    const std::pair<int, std::size_t> lengths[] = {{0, 1},   {1, 9},   {7, 9},   {8, 8},  {9, 17},
                                                   {15, 17}, {16, 16}, {17, 25}, {23, 25}, {24, 24}};
    for (const auto &[n, size] : lengths) {
        const auto message = Message(std::string(static_cast<std::size_t>(n), 'x'), "pw");
        ASSERT_EQ(message.size(), size) << n;
        if (n % 8 != 0 || n == 0) {
            EXPECT_EQ(message.back(), n % 8) << n;
        }
    }
    EXPECT_EQ(Message("", "anything"), std::vector<std::uint8_t>{0});
    const auto twice = Message("8 bytes!8 bytes!", "pw");
    EXPECT_EQ(std::memcmp(twice.data(), twice.data() + 8, 8), 0) << "ECB: equal blocks, equal cipher";
}

TEST(DesMessage, MalformedTrailersAddNothingAndStayInBounds)
{
    const DesKey key = DesKeyFromPassword("pw");
    auto message = Message("12345678", "pw");  // one block, no trailer
    for (int trailer : {0, 9, 127, 128, 200, 255}) {
        auto bad = message;
        bad.push_back(static_cast<std::uint8_t>(trailer));
        std::vector<std::uint8_t> out(bad.size(), 0xEE);
        int n = -1;
        DesContext().DecryptBytes(key, bad.data(), static_cast<int>(bad.size()), out.data(), n);
        EXPECT_EQ(n, 0) << trailer;
    }
    for (int trailer : {1, 5, 8}) {  // a trailer with no block before it
        const std::uint8_t lone[2] = {static_cast<std::uint8_t>(trailer), 0x41};
        std::uint8_t out[2] = {0xEE, 0xEE};
        int n = -1;
        DesContext().DecryptBytes(key, lone, 2, out, n);
        EXPECT_EQ(n, 0) << trailer;
    }
}

TEST(TextExports, IndependentlyComputedMessages)
{
    char out[128];
    EXPECT_EQ(Encode("hello world", "secret", out, sizeof out), 24);
    EXPECT_STREQ(out, "KHZ4bANg/h+JUEmmMtF9JQM=");
    EXPECT_EQ(Encode("Zelmo keeps your cache.", "  pass word\t", out, sizeof out), 36);
    EXPECT_STREQ(out, "8GUMzQwMkxO2BszINtYKicgw84g1E/AhBw==");
    EXPECT_EQ(Encode("12345678", "a-longer-password-than-fifteen", out, sizeof out), 12);
    EXPECT_STREQ(out, "CP0EshUt9KI=");
    EXPECT_EQ(Decode("KHZ4bANg/h+JUEmmMtF9JQM=", "secret", out, sizeof out), 11);
    EXPECT_STREQ(out, "hello world");
    EXPECT_EQ(DesEncode("hello world", "secret", out, sizeof out, 0), 17);
    EXPECT_EQ(std::string(out, 17), std::string("\x28\x76\x78\x6c\x03\x60\xfe\x1f\x89\x50\x49\xa6\x32\xd1\x7d\x25\x03", 17));
}

// A printable text of `len` bytes whose message under `password` holds a
// zero byte, or none, as `withZero` asks. Without: drawn block by block, the
// last one as the message pads it, so that long texts can be had too.
std::string TextForMessage(std::size_t len, const char *password, bool withZero, std::mt19937 &random)
{
    const auto draw = [&](std::size_t n) {
        std::string s(n, ' ');
        for (char &c : s) c = static_cast<char>('!' + random() % 94);
        return s;
    };
    if (withZero) {
        for (;;) {
            std::string text = draw(len);
            const auto message = Message(text, password);
            if (std::find(message.begin(), message.end(), 0) != message.end())
                return text;
        }
    }
    DesContext des;
    des.SetKey(DesKeyFromPassword(password).data());
    std::string text;
    while (text.size() < len) {
        const std::size_t n = std::min<std::size_t>(8, len - text.size());
        std::uint8_t block[8] = {}, cipher[8];
        const std::string part = draw(n);
        std::memcpy(block, part.data(), n);
        des.EncryptBlock(block, cipher);
        if (std::find(cipher, cipher + 8, 0) == cipher + 8)
            text += part;
    }
    return text;
}

// DesEncode hands out the message up to its first zero byte, and all of it
// when it holds none; Encode the Base64 text of the whole message either
// way. Lengths past 128 KiB take scratch buffers of their own mapping.
TEST(TextExports, MessagesWithAndWithoutAZeroByte)
{
    struct Row {
        std::size_t len;
        bool withZero;
    };
    const Row rows[] = {{1, false}, {1, true},  {7, false},      {8, false},     {8, true},
                        {9, false}, {9, true},  {64, false},     {65, true},     {4096, false},
                        {300000, false},        {300003, false}, {300000, true}};
    std::mt19937 random(2026);
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.len) + (row.withZero ? " with a zero byte" : " without"));
        const std::string text = TextForMessage(row.len, "key", row.withZero, random);
        const auto message = Message(text, "key");
        const auto zero = std::find(message.begin(), message.end(), 0);
        ASSERT_EQ(zero != message.end(), row.withZero);
        const std::size_t cut = static_cast<std::size_t>(zero - message.begin());

        std::vector<char> raw(message.size() + 2, '#');
        ASSERT_EQ(DesEncode(text.c_str(), "key", raw.data(), static_cast<unsigned int>(raw.size()), 0),
                  static_cast<int>(cut));
        EXPECT_EQ(std::memcmp(raw.data(), message.data(), cut), 0);
        EXPECT_EQ(raw[cut], '\0');
        EXPECT_EQ(raw[cut + 1], '#') << "one NUL, nothing after it";

        std::vector<char> expected(message.size() * 2 + 8), text64(message.size() * 2 + 8, '#');
        const int expectedLen = Base64Encode(expected.data(), reinterpret_cast<const char *>(message.data()),
                                             static_cast<int>(message.size()));
        ASSERT_EQ(Encode(text.c_str(), "key", text64.data(), static_cast<unsigned int>(text64.size())), expectedLen);
        EXPECT_EQ(std::memcmp(text64.data(), expected.data(), static_cast<std::size_t>(expectedLen) + 1), 0);
    }
}

TEST(TextExports, EncodeLengthsAndRoundTrips)
{
    const std::pair<int, int> lengths[] = {{0, 4}, {1, 12}, {8, 12}, {9, 24}, {16, 24}, {17, 36}, {23, 36}, {24, 32}};
    char out[256], back[256];
    for (const auto &[n, textLen] : lengths)
        EXPECT_EQ(Encode(std::string(static_cast<std::size_t>(n), 'q').c_str(), "k", out, sizeof out), textLen) << n;

    std::mt19937 random(463);
    for (int round = 0; round < 300; ++round) {
        std::string plain(random() % 70, 'a');
        for (char &c : plain) c = static_cast<char>(1 + random() % 255);
        std::string password(random() % 24, 'a');
        for (char &c : password) c = static_cast<char>(1 + random() % 255);
        const int textLen = Encode(plain.c_str(), password.c_str(), out, sizeof out);
        ASSERT_GT(textLen, 0);
        ASSERT_EQ(Decode(out, password.c_str(), back, sizeof back), static_cast<int>(plain.size()));
        ASSERT_EQ(std::string(back), plain);
        char raw[256];
        const int rawLen = DesEncode(plain.c_str(), password.c_str(), raw, sizeof raw, 0);
        if (rawLen == static_cast<int>(plain.size() + 8 - plain.size() % 8 + (plain.size() % 8 ? 1 : 0)) &&
            !plain.empty()) {  // no zero byte cut the message short
            ASSERT_EQ(DesDecode(raw, password.c_str(), back, 0xDEAD, sizeof back), static_cast<int>(plain.size()));
            ASSERT_EQ(std::string(back), plain);
        }
    }
    // Passwords with the same key decrypt each other's messages.
    ASSERT_GT(Encode("shared", "xx12345678", out, sizeof out), 0);
    EXPECT_EQ(Decode(out, " yy12345678\n", back, sizeof back), 6);
    EXPECT_STREQ(back, "shared");
}

TEST(TextExports, CapacityEdges)
{
    char raw[64];
    const int rawLen = DesEncode("hello world", "secret", raw, sizeof raw, 0);
    ASSERT_EQ(rawLen, 17);
    char out[64];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(DesEncode("hello world", "secret", out, 18, 0), 0) << "DesEncode needs length + 2";
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(DesEncode("hello world", "secret", out, 19, 7), 17);

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(DesEncode("", "pw", out, 1, 0), 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(DesEncode("", "pw", out, 2, 0), 0);
    EXPECT_EQ(out[0], '\0');

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(DesDecode(raw, "secret", out, 0, 11), 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(DesDecode(raw, "secret", out, 0, 12), 11);
    EXPECT_STREQ(out, "hello world");
    const std::string rawCopy(raw, 18);
    DesDecode(raw, "secret", out, 0, sizeof out);
    EXPECT_EQ(std::string(raw, 18), rawCopy) << "the input message is left as it was";

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Encode("hello world", "secret", out, 24), 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(Encode("hello world", "secret", out, 25), 24);
    EXPECT_EQ(Decode(out, "secret", raw, 11), 0);
    EXPECT_EQ(Decode(out, "secret", raw, 12), 11);

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(DesDecode(const_cast<char *>(""), "pw", out, 0, sizeof out), 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(Encode("", "any", out, sizeof out), 4);
    EXPECT_EQ(Decode(out, "other", raw, 1), 0);
    EXPECT_EQ(raw[0], '\0');
}

TEST(TextExports, NullArgumentsWriteNothing)
{
    char out[32];
    std::memset(out, '#', sizeof out);
    char msg[] = "abc";
    EXPECT_EQ(DesEncode(nullptr, "pw", out, sizeof out, 0), 0);
    EXPECT_EQ(DesEncode("abc", nullptr, out, sizeof out, 0), 0);
    EXPECT_EQ(DesEncode("abc", "pw", nullptr, sizeof out, 0), 0);
    EXPECT_EQ(DesDecode(nullptr, "pw", out, 0, sizeof out), 0);
    EXPECT_EQ(DesDecode(msg, nullptr, out, 0, sizeof out), 0);
    EXPECT_EQ(DesDecode(msg, "pw", nullptr, 0, sizeof out), 0);
    EXPECT_EQ(Encode(nullptr, "pw", out, sizeof out), 0);
    EXPECT_EQ(Encode("abc", nullptr, out, sizeof out), 0);
    EXPECT_EQ(Encode("abc", "pw", nullptr, sizeof out), 0);
    EXPECT_EQ(Decode(nullptr, "pw", out, sizeof out), 0);
    EXPECT_EQ(Decode("QUJD", nullptr, out, sizeof out), 0);
    EXPECT_EQ(Decode("QUJD", "pw", nullptr, sizeof out), 0);
    for (char c : out) ASSERT_EQ(c, '#');
}

}  // namespace
