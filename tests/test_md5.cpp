// MD5Context, MD5String and MD5File.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "codec/md5.h"
#include "support/files.h"
#include "support/gcc_warnings.h"
#include "zelmo.h"

namespace {

using zelmo::MD5Context;
using zelmo::test::TempDir;

std::string Md5Of(const std::string &data)
{
    MD5Context md5;
    md5.Update(data);
    return md5.ToString();
}

// RFC 1321's test suite, and messages around the padding and block edges.
TEST(MD5Context, KnownDigests)
{
    const std::pair<std::string, const char *> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto &[message, digest] : vectors)
        EXPECT_EQ(Md5Of(message), digest) << message.size() << " bytes";
}

TEST(MD5Context, DigestLeavesTheRunningStateAlone)
{
    MD5Context md5;
    md5.Update("message ");
    const std::string first = md5.ToString();
    EXPECT_EQ(md5.ToString(), first);
    EXPECT_EQ(first, Md5Of("message "));
    md5.Update("digest");
    EXPECT_EQ(md5.ToString(), "f96b697d7cb7938d525a2f31aaf161d0");
    md5.Reset();
    EXPECT_EQ(md5.ToString(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(MD5Context, PiecewiseUpdatesEqualOneUpdate)
{
    std::mt19937 random(1321);
    std::string data(5000, '\0');
    for (char &c : data) c = static_cast<char>(random());
    const std::string whole = Md5Of(data);
    for (int round = 0; round < 50; ++round) {
        MD5Context md5;
        size_t at = 0;
        while (at < data.size()) {
            const size_t piece = std::min<size_t>(random() % 200, data.size() - at);
            md5.Update(data.data() + at, piece);  // pieces of 0 bytes included
            at += piece;
        }
        ASSERT_EQ(md5.ToString(), whole);
    }
}

TEST(MD5String, DigestsExactlyLenBytes)
{
    char out[33];
    const char data[] = "a\0b\0c";
    ASSERT_EQ(MD5String(data, 5, out, sizeof out), 32);
    EXPECT_EQ(std::string(out), Md5Of(std::string(data, 5)));
    ASSERT_EQ(MD5String("abc", 3, out, sizeof out), 32);
    EXPECT_STREQ(out, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MD5String, CapacityAndBadArguments)
{
    char out[40];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(MD5String("abc", 3, out, 32), 0);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(out[i], '\0') << "a refused buffer is cleared";
    EXPECT_EQ(out[32], '#');

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(MD5String("abc", 3, out, 33), 32);
    EXPECT_EQ(out[32], '\0');
    EXPECT_EQ(out[33], '#');

    std::memset(out, '#', sizeof out);
    EXPECT_EQ(MD5String("abc", 3, out, 0), 0);
    EXPECT_EQ(MD5String("abc", 0, out, sizeof out), 0);
    EXPECT_EQ(MD5String("abc", -1, out, sizeof out), 0);
    EXPECT_EQ(MD5String(nullptr, 3, out, sizeof out), 0);
    EXPECT_EQ(out[0], '#') << "untouched";
    EXPECT_EQ(MD5String("abc", 3, nullptr, 33), 0);
}

TEST(MD5File, DigestsTheFileContent)
{
    TempDir dir;
    std::mt19937 random(7);
    std::string big(200000, '\0');  // more than one read
    for (char &c : big) c = static_cast<char>(random());
    const std::string cases[] = {"", "abc", std::string("line\r\nwith\x1a\0bytes", 17), big};
    int n = 0;
    for (const std::string &content : cases) {
        ZELMO_RESTRICT_FALSE_POSITIVE_BEGIN
        const std::string path = dir.Write("f" + std::to_string(n++), content);
        ZELMO_RESTRICT_FALSE_POSITIVE_END
        char out[33];
        ASSERT_EQ(MD5File(path.c_str(), out, sizeof out), 32) << path;
        EXPECT_EQ(std::string(out), Md5Of(content));
    }
}

TEST(MD5File, FailuresLeaveTheBufferAlone)
{
    TempDir dir;
    const std::string path = dir.Write("f", "abc");
    const std::string old = dir.Write("old", "abc");
    zelmo::test::SetLastWriteYear(old, 1975);
    const std::string missing = (dir.path() / "missing").string();
    const std::string directory = dir.path().string();

    char out[40];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(MD5File(path.c_str(), out, 32), 0);
    EXPECT_EQ(MD5File(path.c_str(), out, 0), 0);
    EXPECT_EQ(MD5File(nullptr, out, sizeof out), 0);
    EXPECT_EQ(MD5File(missing.c_str(), out, sizeof out), 0);
    EXPECT_EQ(MD5File(directory.c_str(), out, sizeof out), 0);
    EXPECT_EQ(MD5File(old.c_str(), out, sizeof out), 0);
    EXPECT_EQ(MD5File("", out, sizeof out), 0);
    for (char c : out) ASSERT_EQ(c, '#');
    EXPECT_EQ(MD5File(path.c_str(), nullptr, 33), 0);
    EXPECT_EQ(MD5File(path.c_str(), out, 33), 32);
    EXPECT_STREQ(out, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
