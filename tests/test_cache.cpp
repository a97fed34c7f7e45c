// The cache store: the module directory, the files of a URL's entry, directory
// chains, full paths and the entry completeness probe.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "cache/editor.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/os.h"
#include "zelmo.h"

namespace {

namespace fs = std::filesystem;
using zelmo::test::TempDir;
constexpr char kSep = zelmo::platform::kPathSeparator;

// The test program's own directory, with its trailing separator: the module
// directory of a library linked into it.
std::string ProgramDirectory()
{
    return zelmo::test::os::ExecutablePath().parent_path().string() + kSep;
}

std::string CacheDirectoryOfProgram()
{
    return ProgramDirectory() + "cache" + kSep + "file" + kSep + "cachedown" + kSep;
}

// A path joined with the library's separator.
std::string Join(const std::string &base, const std::string &name)
{
    return base + kSep + name;
}

TEST(CachePaths, ModuleDirectoryIsTheProgramsDirectory)
{
    // Threads that all need it first: one lookup fills it, each sees it whole.
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (std::string &result : seen)
        threads.emplace_back([&result] { result = zelmo::cache::ModuleDirectory(); });
    for (std::thread &thread : threads) thread.join();
    for (const std::string &result : seen)
        EXPECT_EQ(result, ProgramDirectory());
    EXPECT_EQ(zelmo::cache::CacheDirectory(), CacheDirectoryOfProgram());
}

TEST(CachePaths, EntryFilesAreNamedAfterTheUrlDigest)
{
    struct Case {
        const char *url;
        const char *digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"http://127.0.0.1/a.bin", nullptr},
        {"HTTP://127.0.0.1/A.BIN", nullptr},
        {"http://127.0.0.1/a.bin ", nullptr},
    };
    std::vector<std::string> seen;
    for (const Case &c : cases) {
        char body[512], header[512];
        unsigned int bodySize = sizeof body, headerSize = sizeof header;
        ASSERT_TRUE(GetCacheFilePath(c.url, body, &bodySize, header, &headerSize)) << c.url;
        const std::string name = std::string(body).substr(CacheDirectoryOfProgram().size());
        EXPECT_EQ(std::string(body), CacheDirectoryOfProgram() + name) << c.url;
        if (c.digest != nullptr) {
            EXPECT_EQ(name, c.digest);
        }
        EXPECT_EQ(name.size(), 32u);
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
        EXPECT_EQ(std::string(header), std::string(body) + "h");
        EXPECT_EQ(bodySize, std::strlen(body));
        EXPECT_EQ(headerSize, std::strlen(header));
        const zelmo::cache::EntryPaths internal = zelmo::cache::EntryPathsOf(c.url);
        EXPECT_EQ(internal.body, body);
        EXPECT_EQ(internal.header, header);
        for (const std::string &other : seen)
            EXPECT_NE(other, name) << "URLs differing in case or spaces share no entry";
        seen.push_back(name);
    }
}

TEST(CachePaths, CapacityMustHoldThePathAndItsNul)
{
    const zelmo::cache::EntryPaths paths = zelmo::cache::EntryPathsOf("http://x/");
    const unsigned int bodyLen = static_cast<unsigned int>(paths.body.size());
    const unsigned int headerLen = bodyLen + 1;
    struct Case {
        unsigned int bodyCapacity, headerCapacity;
        bool bodyWritten, headerWritten;
    };
    const Case cases[] = {
        {bodyLen, headerLen, false, false},          // room for the text but not its NUL
        {bodyLen + 1, headerLen + 1, true, true},    // exactly enough
        {bodyLen + 1, headerLen, true, false},       // each path on its own
        {0, headerLen + 100, false, true},
    };
    for (const Case &c : cases) {
        std::string body(600, '#'), header(600, '#');
        unsigned int bodySize = c.bodyCapacity, headerSize = c.headerCapacity;
        EXPECT_TRUE(GetCacheFilePath("http://x/", body.data(), &bodySize, header.data(), &headerSize));
        if (c.bodyWritten) {
            EXPECT_EQ(bodySize, bodyLen);
            EXPECT_EQ(std::string(body.c_str()), paths.body);
            EXPECT_EQ(body[bodyLen + 1], '#') << "nothing beyond the NUL";
        } else {
            EXPECT_EQ(bodySize, 0u);
            EXPECT_EQ(body, std::string(600, '#')) << "buffer left untouched";
        }
        if (c.headerWritten) {
            EXPECT_EQ(headerSize, headerLen);
            EXPECT_EQ(std::string(header.c_str()), paths.header);
        } else {
            EXPECT_EQ(headerSize, 0u);
            EXPECT_EQ(header, std::string(600, '#'));
        }
    }
}

TEST(CachePaths, MissingOutputsAreSkipped)
{
    EXPECT_TRUE(GetCacheFilePath("u", nullptr, nullptr, nullptr, nullptr));

    char body[8] = "-------", header[8] = "-------";
    unsigned int bodySize = 500, headerSize = 500;
    // A buffer without its size, and a size without its buffer: neither changes.
    EXPECT_TRUE(GetCacheFilePath("u", body, nullptr, nullptr, &headerSize));
    EXPECT_STREQ(body, "-------");
    EXPECT_EQ(headerSize, 500u);
    EXPECT_TRUE(GetCacheFilePath("u", nullptr, &bodySize, header, nullptr));
    EXPECT_EQ(bodySize, 500u);
    EXPECT_STREQ(header, "-------");

    // No URL: nothing is named, and the sizes say so.
    char big[512] = "-------";
    unsigned int bigSize = sizeof big;
    EXPECT_FALSE(GetCacheFilePath(nullptr, big, &bigSize, nullptr, nullptr));
    EXPECT_EQ(bigSize, 0u);
    EXPECT_STREQ(big, "-------");
}

TEST(CachePaths, FullPathIsTheModuleDirectoryAndTheName)
{
    const std::string dir = ProgramDirectory();
    const char *empty = GetFileFullPath("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(std::string(empty), dir);
    const std::string relative = std::string("sub") + kSep + "a.txt";
    const char *full = GetFileFullPath(relative.c_str());
    EXPECT_EQ(full, empty) << "one buffer, overwritten by each call";
    EXPECT_EQ(std::string(full), dir + relative);

    // The directory and the name together may be 259 bytes long, not 260.
    ASSERT_LT(dir.size(), 259u);
    const std::string longest(259 - dir.size(), 'n');
    const char *fits = GetFileFullPath(longest.c_str());
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(std::string(fits), dir + longest);
    EXPECT_EQ(GetFileFullPath((longest + "n").c_str()), nullptr) << "refused, never cut";
    EXPECT_EQ(GetFileFullPath(nullptr), nullptr);
}

TEST(CachePaths, CreatesEveryMissingDirectoryOfAPath)
{
    TempDir tmp;
    const std::string root = tmp.path().string();
    struct Case {
        std::string path;                  // relative to root
        int result;
        std::vector<std::string> dirs;     // exist afterwards
        std::vector<std::string> absent;   // do not exist afterwards
    };
    const std::string deep = "a/b/c/d/e/f/g/h";
    auto native = [](std::string p) {
        for (char &c : p)
            if (c == '/') c = kSep;
        return p;
    };
    const Case cases[] = {
        {native(deep + "/file.bin"), 1, {deep}, {deep + "/file.bin"}},
        {native(deep + "/file.bin"), 1, {deep}, {}},  // all there already
        {native("a/b/x/y/"), 1, {"a/b/x/y"}, {}},     // a trailing separator makes a directory
        {native("a/z"), 1, {"a"}, {"a/z"}},           // the last part is a file name
        {native("blocker/sub/file"), 0, {}, {"blocker/sub"}},
        {native("made/") + std::string(300, 'L') + kSep + "file", 0, {"made"}, {}},
    };
    tmp.Write("blocker", "a file in the way");
    for (const Case &c : cases) {
        const std::string path = Join(root, c.path);
        EXPECT_EQ(CheckAndCreateDircotry(path.c_str()), c.result) << c.path;
        for (const std::string &dir : c.dirs)
            EXPECT_TRUE(fs::is_directory(tmp.path() / dir)) << c.path << ": " << dir;
        for (const std::string &gone : c.absent)
            EXPECT_FALSE(fs::is_directory(tmp.path() / gone)) << c.path << ": " << gone;
    }
    EXPECT_TRUE(fs::is_regular_file(tmp.path() / "blocker")) << "the file in the way stays";
    EXPECT_EQ(CheckAndCreateDircotry(nullptr), 0);
}

TEST(CachePaths, PathWithoutSeparatorCreatesNothing)
{
    const auto before = std::vector<fs::directory_entry>(fs::directory_iterator(fs::current_path()),
                                                         fs::directory_iterator());
    EXPECT_EQ(CheckAndCreateDircotry("zelmo-no-separator-here"), 1);
    EXPECT_EQ(CheckAndCreateDircotry(""), 1);
    EXPECT_FALSE(fs::exists("zelmo-no-separator-here"));
    const auto after = std::vector<fs::directory_entry>(fs::directory_iterator(fs::current_path()),
                                                        fs::directory_iterator());
    EXPECT_EQ(before.size(), after.size());
}

TEST(CachePaths, WalkTakesAtMost4095Bytes)
{
    TempDir tmp;
    // Short directories and a long file name (never created), so that the
    // walk's limit is what is tested rather than the system's path limits.
    const std::string prefix = Join(Join(tmp.path().string(), "d1"), "d2") + kSep;
    ASSERT_LT(prefix.size(), 4095u);
    const std::string longest = prefix + std::string(4095 - prefix.size(), 'f');
    ASSERT_EQ(longest.size(), 4095u);
    EXPECT_EQ(CheckAndCreateDircotry((longest + "f").c_str()), 0) << "4096 bytes are refused";
    EXPECT_FALSE(fs::exists(tmp.path() / "d1")) << "refused before anything is created";
    EXPECT_EQ(CheckAndCreateDircotry(longest.c_str()), 1);
    EXPECT_TRUE(fs::is_directory(tmp.path() / "d1" / "d2"));
}

TEST(CachePaths, DirectoryChainsNearThePathLimit)
{
    TempDir tmp;
    // Levels of 10 bytes up to a directory path of 247 bytes with its
    // separator: within the limit of every system's narrow directory calls.
    std::string dir = tmp.path().string();
    while (dir.size() + 11 <= 244) dir = Join(dir, "d123456789");
    dir = Join(dir, std::string(245 - dir.size(), 'e')) + kSep;  // a last level of 1 to 11 bytes
    ASSERT_EQ(dir.size(), 247u);
    EXPECT_EQ(CheckAndCreateDircotry((dir + "file.bin").c_str()), 1);
    EXPECT_TRUE(fs::is_directory(fs::path(dir)));

    if (kSep == '\\')
        GTEST_SKIP() << "Windows' narrow directory calls stop near 260 bytes";
    const std::string longer = Join(Join(dir + "beyond260", std::string(60, 'x')), "y") + kSep;
    ASSERT_GT(longer.size(), 300u);
    EXPECT_EQ(CheckAndCreateDircotry(longer.c_str()), 1);
    EXPECT_TRUE(fs::is_directory(fs::path(longer)));
}

// Entries in the program's own cache directory, removed again afterwards
// (with the directory itself when the test made it).
class CacheEntry : public ::testing::Test {
protected:
    void SetUp() override { cacheExisted_ = fs::exists(ProgramDirectory() + "cache"); }

    void TearDown() override
    {
        std::error_code ignored;
        for (const std::string &file : written_)
            fs::remove(file, ignored);
        if (!cacheExisted_)
            fs::remove_all(ProgramDirectory() + "cache", ignored);
    }

    // Writes the entry of `url` (a missing file when the content is null).
    void WriteEntry(const std::string &url, const std::string *header, const std::string *body)
    {
        const zelmo::cache::EntryPaths paths = zelmo::cache::EntryPathsOf(url);
        ASSERT_EQ(CheckAndCreateDircotry(paths.body.c_str()), 1);
        for (auto [path, content] : {std::pair{paths.header, header}, std::pair{paths.body, body}}) {
            fs::remove(path);
            if (content != nullptr)
                WriteFile(path, *content);
        }
    }

    void WriteFile(const std::string &path, const std::string &content)
    {
        std::ofstream out(path, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        ASSERT_TRUE(out.good()) << path;
        written_.push_back(path);
    }

private:
    bool cacheExisted_ = false;
    std::vector<std::string> written_;
};

std::string Header(const std::string &fields)
{
    return "HTTP/1.1 200 OK\r\nServer: test\r\n" + fields + "\r\n";
}

TEST_F(CacheEntry, CompleteWhenTheBodyIsAsLongAsContentLength)
{
    struct Case {
        const char *what;
        std::string header;
        std::size_t bodyLength;
        bool complete;
    };
    const Case cases[] = {
        {"equal", Header("Content-Length: 5\r\n"), 5, true},
        {"body short", Header("Content-Length: 5\r\n"), 4, false},
        {"body long", Header("Content-Length: 5\r\n"), 6, false},
        {"empty body", Header("Content-Length: 0\r\n"), 0, false},
        {"no digits", Header("Content-Length: none\r\n"), 0, false},
        {"no blank", Header("Content-Length:7\r\n"), 7, true},
        {"blanks, sign, trailing text", Header("Content-Length: \t +12 bytes\r\n"), 12, true},
        {"negative", Header("Content-Length: -3\r\n"), 3, false},
        {"beyond int", Header("Content-Length: 99999999999999999999\r\n"), 9, false},
        {"letter case", Header("content-length: 5\r\n"), 5, true},
        {"chunked", Header("Transfer-Encoding: chunked\r\n"), 5, false},
        {"line feed only", "HTTP/1.1 200 OK\nContent-Length: 5\n\n", 5, false},
        {"NUL before the field", std::string("HTTP/1.1 200 OK\r\n\0", 18) + "Content-Length: 5\r\n\r\n", 5,
         false},
        {"first block counts", "HTTP/1.1 302 Found\r\nContent-Length: 3\r\nLocation: /b\r\n\r\n" +
                                   Header("Content-Length: 5\r\n"), 3, true},
        {"second block ignored", "HTTP/1.1 302 Found\r\nContent-Length: 3\r\nLocation: /b\r\n\r\n" +
                                     Header("Content-Length: 5\r\n"), 5, false},
        {"field within 300 bytes", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + std::string(400, 'h'), 5, true},
    };
    for (const Case &c : cases) {
        const std::string url = std::string("http://127.0.0.1/") + c.what;
        const std::string body(c.bodyLength, 'b');
        WriteEntry(url, &c.header, &body);
        EXPECT_EQ(GetCacheFileSize(url.c_str(), nullptr, 0, 0), c.complete) << c.what;
        EXPECT_EQ(GetCacheFileSize(url.c_str(), nullptr, 0xdeadbeef, 7), c.complete)
            << c.what << ": the last two arguments are ignored";
    }
}

TEST_F(CacheEntry, FieldValueEndingAtByte300)
{
    // The field begins at byte 280: its CR lies past the 300 bytes read.
    const std::string start = "HTTP/1.1 200 OK\r\nX-Pad: ";
    std::string header = start + std::string(280 - 2 - start.size(), 'p') + "\r\n";
    ASSERT_EQ(header.size(), 280u);
    header += "Content-Length:      5\r\n\r\n";
    const std::string body(5, 'b');
    WriteEntry("late", &header, &body);
    EXPECT_FALSE(GetCacheFileSize("late", nullptr, 0, 0));

    // The same field nearer the start, with the value's CR as byte 300.
    std::string early = start + std::string(281 - 2 - start.size(), 'p') + "\r\n";
    early += "Content-Length:  5\r\n";
    ASSERT_EQ(early.find('\r', 282), 299u);
    WriteEntry("early", &early, &body);
    EXPECT_TRUE(GetCacheFileSize("early", nullptr, 0, 0));
}

TEST_F(CacheEntry, BothFilesMustBePresent)
{
    const std::string header = Header("Content-Length: 3\r\n"), body = "abc";
    WriteEntry("both", &header, &body);
    EXPECT_TRUE(GetCacheFileSize("both", nullptr, 0, 0));
    WriteEntry("no body", &header, nullptr);
    EXPECT_FALSE(GetCacheFileSize("no body", nullptr, 0, 0));
    WriteEntry("no header", nullptr, &body);
    EXPECT_FALSE(GetCacheFileSize("no header", nullptr, 0, 0));
    const std::string empty;
    WriteEntry("empty header", &empty, &body);
    EXPECT_FALSE(GetCacheFileSize("empty header", nullptr, 0, 0));

    // A directory in place of the body, and files dated before 1980.
    const zelmo::cache::EntryPaths dirEntry = zelmo::cache::EntryPathsOf("dir body");
    WriteEntry("dir body", &header, nullptr);
    fs::create_directory(dirEntry.body);
    EXPECT_FALSE(GetCacheFileSize("dir body", nullptr, 0, 0));
    fs::remove(dirEntry.body);

    for (bool oldHeader : {true, false}) {
        WriteEntry("old", &header, &body);
        const zelmo::cache::EntryPaths old = zelmo::cache::EntryPathsOf("old");
        zelmo::test::SetLastWriteYear(oldHeader ? old.header : old.body, 1975);
        EXPECT_FALSE(GetCacheFileSize("old", nullptr, 0, 0)) << (oldHeader ? "header" : "body");
    }
    EXPECT_FALSE(GetCacheFileSize(nullptr, nullptr, 0, 0));
}

TEST_F(CacheEntry, BodyPathNamesTheFileMeasured)
{
    TempDir tmp;
    const std::string header = Header("Content-Length: 4\r\n");
    WriteEntry("elsewhere", &header, nullptr);
    const std::string four = tmp.Write("four", "1234");
    const std::string three = tmp.Write("three", "123");
    EXPECT_TRUE(GetCacheFileSize("elsewhere", four.c_str(), 0, 0));
    EXPECT_FALSE(GetCacheFileSize("elsewhere", three.c_str(), 0, 0));
    EXPECT_FALSE(GetCacheFileSize("elsewhere", nullptr, 0, 0)) << "the entry's own body is missing";
    EXPECT_FALSE(GetCacheFileSize("elsewhere", tmp.path().string().c_str(), 0, 0)) << "a directory";

    // The body path travels in a 260-byte area: 259 bytes fit, 260 do not.
    const std::string dir = tmp.path().string() + kSep;
    ASSERT_LT(dir.size(), 200u);
    const std::string fits = dir + std::string(259 - dir.size(), 'n');
    const std::string tooLong = dir + std::string(260 - dir.size(), 'n');
    WriteFile(fits, "1234");
    EXPECT_TRUE(GetCacheFileSize("elsewhere", fits.c_str(), 0, 0));
    std::error_code error;
    {
        std::ofstream(fs::path(tooLong), std::ios::binary) << "1234";
    }
    if (!fs::exists(fs::path(tooLong), error))
        GTEST_SKIP() << "this system cannot create a 260-byte path to test the limit with";
    EXPECT_FALSE(GetCacheFileSize("elsewhere", tooLong.c_str(), 0, 0));
}

}  // namespace

namespace {

std::string Slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// The commit of finished temporaries: renamed into place, header last; a
// body on another file system is copied; a directory in a file's place
// stops the commit there.
TEST(CacheCommit, TemporariesBecomeTheEntryBodyFirst)
{
    using zelmo::cache::Committed;
    struct Case {
        const char *name;
        bool bodyElsewhere;  // the body and its temporary on another file system than the test's directory
        bool bodyBlocked, headerBlocked;
        Committed expected;
    };
    const Case cases[] = {
        {"both renamed", false, false, false, Committed::Both},
        {"body across file systems", true, false, false, Committed::Both},
        {"body file is a directory", false, true, false, Committed::Neither},
        {"header file is a directory", false, false, true, Committed::HeaderKept},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string bodyDir = dir.path().string();
        std::error_code error;
        if (c.bodyElsewhere) {
            // A memory file system, where the system has one apart from the disk.
            const fs::path place = fs::path("/dev/shm") / ("zelmo-commit-" + dir.path().filename().string());
            if (!fs::is_directory(place.parent_path(), error) || !fs::create_directories(place, error))
                GTEST_SKIP() << "no second file system to put the body on";
            bodyDir = place.string();
        }
        const std::string body = Join(bodyDir, "entry"), header = Join(dir.path().string(), "entryh");
        std::ofstream(body, std::ios::binary) << "old body";
        std::ofstream(header, std::ios::binary) << "old header";
        std::ofstream(body + ".tmp", std::ios::binary) << "new body";
        std::ofstream(header + ".tmp", std::ios::binary) << "new header";
        if (c.bodyBlocked) {
            fs::remove(body);
            fs::create_directory(body);
        }
        if (c.headerBlocked) {
            fs::remove(header);
            fs::create_directory(header);
        }
        zelmo::cache::Editor editor(zelmo::cache::DownloadEntryFiles(body, header), zelmo::cache::Editor::Names::Download);
        EXPECT_EQ(editor.Commit(), c.expected);
        editor.Leave();  // what did not become the entry's stays, for the checks below
        const bool bodyMoved = c.expected != Committed::Neither;
        const bool headerMoved = c.expected == Committed::Both;
        if (!c.bodyBlocked) {
            EXPECT_EQ(Slurp(body), bodyMoved ? "new body" : "old body");
        }
        if (!c.headerBlocked) {
            EXPECT_EQ(Slurp(header), headerMoved ? "new header" : "old header");
        }
        EXPECT_EQ(fs::exists(body + ".tmp"), !bodyMoved);
        EXPECT_EQ(fs::exists(header + ".tmp"), !headerMoved);
        if (c.bodyElsewhere)
            fs::remove_all(bodyDir, error);
    }
}

namespace {

using zelmo::cache::Editor;
using Part = zelmo::cache::Editor::Part;

// The names of the files in `dir`, sorted.
std::vector<std::string> Names(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Read(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// An entry with its body, header and metadata in place, and a partial.
zelmo::cache::EntryFiles AnEntry(const TempDir &dir)
{
    const zelmo::cache::EntryFiles f =
        zelmo::cache::EntryFilesIn(dir.path().string() + kSep, "http://example.org/editor");
    Put(f.body, "old body");
    Put(f.header, "old header");
    Put(f.meta, "old meta");
    Put(f.partialBody, "old partial");
    Put(f.partialHeader, "old partial header");
    Put(f.partialMeta, "old partial record");
    return f;
}

}  // namespace

// An editor that does not commit leaves the entry as it was and removes
// every temporary it made, whether it is aborted or just goes out of scope,
// and whether its writes were whole or not.
TEST(CacheEditor, WhatIsNotCommittedIsRemoved)
{
    for (const bool explicitAbort : {false, true}) {
        SCOPED_TRACE(explicitAbort ? "aborted" : "destroyed");
        TempDir dir;
        const zelmo::cache::EntryFiles f = AnEntry(dir);
        const std::vector<std::string> before = Names(dir.path());
        {
            Editor editor(f, Editor::Names::PerCall);
            ASSERT_TRUE(editor.Write(Part::Body, "new body"));
            ASSERT_TRUE(editor.Write(Part::Meta, "new meta"));
            zelmo::platform::File header = editor.Create(Part::Header);  // still open, half written
            ASSERT_TRUE(header);
            std::fputs("HTTP/1.1 2", header.get());
            header.reset();
            for (const Part part : {Part::Body, Part::Header, Part::Meta}) {
                EXPECT_TRUE(fs::exists(editor.Temporary(part)));
                EXPECT_NE(editor.Temporary(part).find(".part"), std::string::npos);
            }
            if (explicitAbort)
                editor.Abort();
        }
        EXPECT_EQ(Names(dir.path()), before);
        EXPECT_EQ(Read(f.body), "old body");
        EXPECT_EQ(Read(f.header), "old header");
        EXPECT_EQ(Read(f.meta), "old meta");
    }
}

// A commit that stops half-way (the header cannot be replaced) leaves the
// new body beside the old metadata, which vouches for the old body only,
// and no temporary behind.
TEST(CacheEditor, ACommitThatStopsLeavesNoTemporary)
{
    TempDir dir;
    const zelmo::cache::EntryFiles f = AnEntry(dir);
    fs::remove(f.header);
    fs::create_directory(f.header);
    {
        Editor editor(f, Editor::Names::PerCall);
        ASSERT_TRUE(editor.Write(Part::Body, "new body"));
        ASSERT_TRUE(editor.Write(Part::Meta, "new meta"));
        ASSERT_TRUE(editor.Write(Part::Header, "new header"));
        EXPECT_EQ(editor.Commit(), zelmo::cache::Committed::HeaderKept);
    }
    EXPECT_EQ(Read(f.body), "new body");
    EXPECT_EQ(Read(f.meta), "old meta");
    for (const std::string &name : Names(dir.path()))
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

// HttpDownload_SYNC's ".tmp" temporaries stay when its editor goes (what a
// failed download received is kept in them), and go when it aborts, also
// those an earlier call left.
TEST(CacheEditor, DownloadTemporariesGoOnlyWhenAborted)
{
    TempDir dir;
    const std::string body = Join(dir.path().string(), "entry"), header = body + "h";
    {
        Editor editor(zelmo::cache::DownloadEntryFiles(body, header), Editor::Names::Download);
        EXPECT_EQ(editor.Temporary(Part::Body), body + ".tmp");
        EXPECT_EQ(editor.Temporary(Part::Header), header + ".tmp");
        EXPECT_EQ(editor.Temporary(Part::Meta), "");
        ASSERT_TRUE(editor.Write(Part::Header, "HTTP/1.1 200 OK\r\n"));
    }
    EXPECT_TRUE(fs::exists(header + ".tmp"));
    Put(body + ".tmp", "left by an earlier call");
    {
        Editor editor(zelmo::cache::DownloadEntryFiles(body, header), Editor::Names::Download);
        editor.Abort();
    }
    EXPECT_TRUE(Names(dir.path()).empty());
}

// A partial replaces the one there was; where a file cannot be placed, no
// partial is left at all (a record without its body would be believed).
TEST(CacheEditor, APartialReplacesTheOldOneOrLeavesNone)
{
    for (const bool blocked : {false, true}) {
        SCOPED_TRACE(blocked ? "header place blocked" : "placed");
        TempDir dir;
        const zelmo::cache::EntryFiles f = AnEntry(dir);
        if (blocked) {
            fs::remove(f.partialHeader);
            fs::create_directory(f.partialHeader);
            fs::create_directory(f.partialHeader + "/x");  // a directory that cannot be removed as a file
        }
        Editor editor(f, Editor::Names::PerCall);
        ASSERT_TRUE(editor.Write(Part::Body, "new partial"));
        ASSERT_TRUE(editor.Write(Part::Header, "new partial header"));
        ASSERT_TRUE(editor.Write(Part::Meta, "new partial record"));
        EXPECT_EQ(editor.CommitPartial(), !blocked);
        if (!blocked) {
            EXPECT_EQ(Read(f.partialBody), "new partial");
            EXPECT_EQ(Read(f.partialHeader), "new partial header");
            EXPECT_EQ(Read(f.partialMeta), "new partial record");
        } else {
            EXPECT_FALSE(fs::exists(f.partialMeta));
            EXPECT_FALSE(fs::exists(f.partialBody));
        }
        EXPECT_EQ(Read(f.body), "old body") << "the complete entry is never touched";
        editor.Abort();
        for (const std::string &name : Names(dir.path()))
            EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    }
}
