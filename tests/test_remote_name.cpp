// The file name `zelmo get -O` takes from a URL (tools/zelmo/remote_name.h):
// the last path segment when it is a plain name, refused when it would
// leave the directory, name a device or hold a control byte.
#include <gtest/gtest.h>

#include <string>

#include "../tools/zelmo/remote_name.h"

namespace {

std::string NameOf(const std::string &url)
{
    std::string why;
    const std::string name = cli::RemoteName(url, why);
    EXPECT_EQ(name.empty(), !why.empty()) << url;
    return name;
}

TEST(RemoteName, TakesTheLastPathSegment)
{
    EXPECT_EQ(NameOf("http://example.org/a.bin"), "a.bin");
    EXPECT_EQ(NameOf("https://example.org/dir/sub/file.tar.gz"), "file.tar.gz");
    EXPECT_EQ(NameOf("http://example.org/dir/data?x=1/2#frag"), "data");
    EXPECT_EQ(NameOf("http://example.org/page#frag/two"), "page");
    EXPECT_EQ(NameOf("http://user@example.org:8080/x"), "x");
    // Escapes stay as written: "%2F" names no directory once kept as text.
    EXPECT_EQ(NameOf("http://example.org/a%2F..%2Fb"), "a%2F..%2Fb");
    EXPECT_EQ(NameOf("http://example.org/%2e%2e"), "%2e%2e");
    EXPECT_EQ(NameOf("http://example.org/.hidden"), ".hidden");
    EXPECT_EQ(NameOf("http://example.org/a..b"), "a..b");
    EXPECT_EQ(NameOf("http://example.org/h\xc3\xa9.txt"), "h\xc3\xa9.txt");
    // Device names are whole names only.
    EXPECT_EQ(NameOf("http://example.org/console.log"), "console.log");
    EXPECT_EQ(NameOf("http://example.org/COM0"), "COM0");
    EXPECT_EQ(NameOf("http://example.org/COM10"), "COM10");
    EXPECT_EQ(NameOf("http://example.org/nul_"), "nul_");
}

TEST(RemoteName, RefusesWhatIsNoPlainName)
{
    for (const char *url : {"http://example.org", "http://example.org?q=/a", "http://example.org/",
                            "http://example.org/dir/", "http://example.org/dir/?file=a", "http://example.org/.",
                            "http://example.org/..", "http://example.org/dir/..?x", "http://example.org/...",
                            "http://example.org/. .", "http://example.org/ ", "http://example.org/a\\..\\b",
                            "http://example.org/C:x", "http://example.org/a\tb", "http://example.org/a\x1b[2J",
                            "http://example.org/a\x7f", "http://example.org/NUL", "http://example.org/nul.txt",
                            "http://example.org/Con", "http://example.org/aux.tar.gz", "http://example.org/prn ",
                            "http://example.org/com1", "http://example.org/LPT9.x", "http://example.org/COM9"}) {
        std::string why;
        EXPECT_EQ(cli::RemoteName(url, why), "") << url;
        EXPECT_FALSE(why.empty()) << url;
    }
    std::string why;
    cli::RemoteName("http://example.org/dir/", why);
    EXPECT_EQ(why, "its path ends in /");
    cli::RemoteName("http://example.org/a\\b", why);
    EXPECT_EQ(why, "its last segment holds '\\'");
}

TEST(RemoteName, PlacesTheNameInItsDirectory)
{
    EXPECT_EQ(cli::InDirectory("", "a.bin"), "a.bin");
    EXPECT_EQ(cli::InDirectory("out", "a.bin"), "out/a.bin");
    EXPECT_EQ(cli::InDirectory("out/", "a.bin"), "out/a.bin");
    EXPECT_EQ(cli::InDirectory("C:\\out\\", "a.bin"), "C:\\out\\a.bin");
    EXPECT_EQ(cli::InDirectory("/", "a.bin"), "/a.bin");
}

}  // namespace
