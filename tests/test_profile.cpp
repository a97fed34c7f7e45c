// Profile values: GetProfileValue and SetProfileValue on real files, and the
// platform's private-profile reader underneath them. On Windows builds the
// same cases run against the system's services.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/files.h"
#include "support/os.h"
#include "zelmo.h"

namespace {

using zelmo::test::TempDir;
using namespace std::string_literals;
namespace os = zelmo::test::os;

// Mixed line endings, comments, blanks, quotes, a line without "=", a
// duplicate key and a last line without a line break.
const char kProfile[] =
    "; settings of the host\r\n"
    "[Main]\r\n"
    "Name = Zelmo \r\n"
    "Quoted=\"  spaced  \"\r\n"
    "Single='x'\r\n"
    "Half=\"open\r\n"
    "Empty=\r\n"
    "NoEquals\r\n"
    "dup=first\r\n"
    "DUP=second\r\n"
    "\r\n"
    "[Other]\n"
    "; a comment inside\n"
    "Key=other value\n"
    "[Last]\n"
    "tail=end";

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// GetProfileValue into a buffer of `size` bytes prefilled with '#'.
struct Got {
    int result;
    std::string out;
};
Got Get(const char *section, const char *key, const std::string &file, const char *def = nullptr,
        unsigned size = 256)
{
    std::vector<char> out(size + 1, '#');
    out[size] = '\0';
    const int result = GetProfileValue(section, key, file.c_str(), out.data(), size, def);
    return {result, std::string(out.data())};
}

TEST(Profile, ReadsValuesAsThePlatformDelivers)
{
    TempDir dir;
    const std::string file = dir.Write("main.ini", kProfile);
    struct Case {
        const char *section, *key, *def;
        const char *expected;
    } cases[] = {
        {"Main", "Name", nullptr, "Zelmo"},           // blanks around names and value
        {"MAIN", "nAmE", nullptr, "Zelmo"},           // names ignore case
        {"Main", "Quoted", nullptr, "  spaced  "},    // quotes removed, blanks inside kept
        {"Main", "Single", nullptr, "x"},
        {"Main", "Half", nullptr, "\"open"},          // an unmatched quote stays
        {"Main", "Empty", "fallback", ""},            // present but empty: not the default
        {"Main", "NoEquals", "fallback", "fallback"}, // a line without "=" is no value
        {"Main", "dup", nullptr, "first"},            // the first of duplicate keys
        {"Other", "key", nullptr, "other value"},     // LF endings
        {"Last", "tail", nullptr, "end"},             // no final line break
        {"Main", "Absent", "fallback", "fallback"},
        {"Main", "Absent", "trailing   ", "trailing"},  // default without trailing blanks
        {"Main", "Absent", nullptr, ""},
        {"Nowhere", "Name", "fallback", "fallback"},
    };
    for (const Case &c : cases) {
        const Got got = Get(c.section, c.key, file, c.def);
        EXPECT_EQ(got.out, c.expected) << c.section << "/" << c.key;
        EXPECT_EQ(got.result, static_cast<int>(std::strlen(c.expected))) << c.section << "/" << c.key;
    }
    // A file that does not exist holds only defaults.
    EXPECT_EQ(Get("Main", "Name", (dir.path() / "missing.ini").string(), "none").out, "none");
}

TEST(Profile, CopiesIntoTheCallersBufferOnlyWhole)
{
    TempDir dir;
    const std::string file = dir.Write("main.ini", kProfile);
    EXPECT_EQ(Get("Main", "Name", file, nullptr, 6).result, 5);  // "Zelmo" and its NUL fit exactly
    EXPECT_EQ(Get("Main", "Name", file, nullptr, 6).out, "Zelmo");
    const Got tooSmall = Get("Main", "Name", file, nullptr, 5);
    EXPECT_EQ(tooSmall.result, 0);
    EXPECT_EQ(tooSmall.out, "#####") << "a value that does not fit leaves out untouched";
    EXPECT_EQ(Get("Main", "Empty", file, nullptr, 1).result, 0);
    EXPECT_EQ(Get("Main", "Empty", file, nullptr, 1).out, "");

    char out[8] = "#######";
    EXPECT_EQ(GetProfileValue("Main", "Name", file.c_str(), nullptr, 8, nullptr), -1);
    EXPECT_EQ(GetProfileValue("Main", "Name", file.c_str(), out, 0, nullptr), -1);
    EXPECT_STREQ(out, "#######");
}

TEST(Profile, NullSectionOrKeyYieldsTheFirstName)
{
    TempDir dir;
    const std::string file = dir.Write("main.ini", kProfile);
    EXPECT_EQ(Get(nullptr, nullptr, file).out, "Main");
    EXPECT_EQ(Get(nullptr, "Name", file).out, "Main");
    EXPECT_EQ(Get("other", nullptr, file).out, "Key") << "comments are not keys";
    EXPECT_EQ(Get("Main", nullptr, file).result, 4);
}

// The lists themselves, and how the platform cuts values and lists for a
// small buffer: a value to size - 1 characters, a list to size - 2 bytes
// ending with two NULs. A list fits only with a byte to spare.
TEST(Profile, PlatformCutsValuesAndListsToTheBuffer)
{
    TempDir dir;
    const std::string file = dir.Write("list.ini", "[one]\r\na=1\r\nbb=22\r\n[two]\r\nc=3\r\n");
    struct Case {
        const char *section, *key;
        unsigned size;
        unsigned result;
        std::string bytes;  // the buffer's first bytes
    } cases[] = {
        {nullptr, nullptr, 64, 8, std::string("one\0two\0\0", 9)},
        {nullptr, nullptr, 10, 8, std::string("one\0two\0\0", 9)},
        {nullptr, nullptr, 9, 7, std::string("one\0two\0\0", 9)},  // exactly the list's size
        {nullptr, nullptr, 8, 6, std::string("one\0tw\0\0", 8)},
        {nullptr, nullptr, 5, 3, std::string("one\0\0", 5)},
        {"one", nullptr, 64, 5, std::string("a\0bb\0\0", 6)},
        {"one", nullptr, 5, 3, std::string("a\0b\0\0", 5)},
        {"one", "bb", 64, 2, std::string("22\0", 3)},
        {"one", "bb", 2, 1, std::string("2\0", 2)},
    };
    for (const Case &c : cases) {
        const bool list = c.section == nullptr || c.key == nullptr;
        std::vector<char> buffer(c.size, '#');
        const unsigned result =
            zelmo::platform::ReadProfileValue(c.section, c.key, "", buffer.data(), c.size, file.c_str());
        EXPECT_EQ(result, c.result) << (c.section ? c.section : "(null)") << " size " << c.size;
        // wine's GetPrivateProfileStringA ends a cut list with one NUL only;
        // Windows documents two.
        std::size_t shown = c.bytes.size();
        if (list && os::UnderWine() && result + 2 == c.size)
            shown = result + 1;
        EXPECT_EQ(std::string(buffer.data(), shown), c.bytes.substr(0, shown))
            << (c.section ? c.section : "(null)") << " size " << c.size;
    }
}

// The reading and writing cases of wine's kernel32 profile tests, whose
// expectations were taken on Windows, in their order: the platform's reader
// (lists and cut values in full) and SetProfileValue. Where wine's own tests
// mark a case todo_wine (wine disagrees with Windows), it is asserted on the
// POSIX layer only ("posix" below).
TEST(Profile, AgreesWithTheWindowsProfileService)
{
    enum class Op { Put, Remove, Read, Write };
    enum class File { Profile, Null, Empty, Missing };
    struct Step {
        Op op;
        const char *section = nullptr, *key = nullptr;
        const char *text = nullptr;  // Read: the default; Write: the value
        unsigned size = 0;           // Read: the buffer's size
        unsigned result = 0;         // Read: characters copied; Write: 1 for true
        std::optional<std::string> bytes;  // Put: content; Read: the buffer's first bytes;
                                           // Write: the file afterwards ("(none)": no file)
        bool posix = false;
        File file = File::Profile;
    };
    const std::string none = "(none)";
    auto put = [](std::string content) { return Step{Op::Put, nullptr, nullptr, nullptr, 0, 0, content}; };
    const Step remove{Op::Remove, nullptr, nullptr, nullptr, 0, 0, std::nullopt};
    auto read = [](const char *section, const char *key, const char *def, unsigned size, unsigned result,
                   std::string bytes, bool posix = false, File file = File::Profile) {
        return Step{Op::Read, section, key, def, size, result, bytes, posix, file};
    };
    auto write = [](const char *section, const char *key, const char *value, bool result,
                    std::optional<std::string> after, bool posix = false, File file = File::Profile) {
        return Step{Op::Write, section, key, value, 0, result, after, posix, file};
    };
    std::vector<Step> steps = {
        // Lines without "=" are no keys; a trailing NUL is no line either.
        put("[s]\r\nname1=val1\r\nname2=\r\nname3\r\nname4=val4\r\n\0"s),
        read("s", nullptr, "", 100, 18, "name1\0name2\0name4\0\0"s),
        write("s", "name5", "val5", true, {}),
        read("s", nullptr, "", 100, 24, "name1\0name2\0name4\0name5\0\0"s),
        // An empty section name finds "[]"; wine takes the lines above the
        // first section instead (todo_wine). An empty key finds "=value".
        put("\r\nkey=val_no_section\r\n[]\r\nkey=val_e_section\r\n[s]\r\n=val_no_key\r\n[t]\r\n\0"s),
        read("", "key", "", 100, 13, "val_e_section\0"s, true),
        read("s", "", "", 100, 10, "val_no_key\0"s),
        // Blanks inside a section's brackets are no part of its name.
        put("[ section1 ]\r\n[section2]\r\n[section3]\r\n\0"s),
        read(nullptr, nullptr, "", 29, 27, "section1\0section2\0section3\0\0"s),
        read(nullptr, nullptr, "", 28, 26, "section1\0section2\0section3\0\0"s, true),  // wine: one NUL
        read(nullptr, nullptr, "", 27, 25, "section1\0section2\0section\0\0"s, true),
        read(nullptr, nullptr, "", 10, 0, "\0\x0c"s, false, File::Missing),
        // A changed file is read again.
        put("[Test]\nProfileInt=123\n"),
        read("Test", "ProfileInt", "", 64, 3, "123\0"s),
        put("[Test]\nProfileInt=124\n"),
        read("Test", "ProfileInt", "", 64, 3, "124\0"s),
        remove,
        read("Test", "ProfileInt", "421", 64, 3, "421\0"s),
    };
    // The same reads of one profile with CR LF and with CR line ends.
    for (const char *end : {"\r\n", "\r"}) {
        const std::string e = end;
        steps.push_back(put("[section1]" + e + "name1=val1" + e + "name2=\"val2\"" + e + "name3" + e +
                            "name4=a" + e + "[section2]" + e));
        for (Step step : {
                 read(nullptr, "name1", "default", 260, 18, "section1\0section2\0\0"s),
                 read("", "name1", "default", 260, 7, "default\0"s),
                 read("notasection", "name1", "default", 260, 7, "default\0"s),
                 read("", "name1", nullptr, 260, 0, "\0"s),
                 read("", "name1", "", 260, 0, "\0"s),
                 read("", "name1", "default  ", 260, 7, "default\0"s),
                 read("", "name1", "one two  ", 260, 7, "one two\0"s),
                 read("", "name1", "one two", 260, 7, "one two\0"s),
                 read("section1", nullptr, "default", 260, 18, "name1\0name2\0name4\0\0"s),
                 read("section1", "", "default", 260, 7, "default\0"s),
                 read("section1", "notakey", "default", 260, 7, "default\0"s),
                 read("section1", "", nullptr, 260, 0, "\0"s),
                 read("section1", "", "", 260, 0, "\0"s),
                 read("section1", "", "default  ", 260, 7, "default\0"s),
                 read("section1", "name1", "default", 260, 7, "default\0"s, false, File::Null),
                 read("section1", "name1", "default", 260, 7, "default\0"s, false, File::Empty),
                 read("section1", "name1", "default", 260, 7, "default\0"s, false, File::Missing),
                 read("section1", "name1", "default", 0, 0, "\x0c"s),
                 read("section1", "name1", "default", 4, 3, "val\0"s),
                 read("section1", "name1", "default", 5, 4, "val1\0"s),
                 read("section1", "name4", "default", 260, 1, "a\0"s),
                 read("section1", "name4", "default", 1, 0, "\0"s),
                 read(nullptr, "name1", "default", 16, 14, "section1\0secti\0\0"s, true),  // wine: one NUL
                 read("section1", nullptr, "default", 16, 14, "name1\0name2\0na\0\0"s, true),
                 read("section1", "name2", "default", 260, 4, "val2\0"s),
                 read("section1", "NaMe1", "default", 260, 4, "val1\0"s),
                 read("section2", "DoesntExist", "", 260, 0, "\0"s),
             })
            steps.push_back(step);
    }
    // Writes, from a file that does not exist yet.
    const std::string built = "[App1]\r\nkey1=string1\r\nkey2=string2\r\nkey3=string3\r\n[App2]\r\n"
                              "key4=string4\r\n[App3]\r\nkey5=string5\r\n";
    const std::string withoutKey2 = "[App1]\r\nkey1=string1\r\nkey3=string3\r\n" + built.substr(built.find("[App2]"));
    for (Step step : {
             remove,
             write(nullptr, "key", "string", false, none),
             put(""),
             write(nullptr, "key", "string", false, ""),
             remove,
             write("App", nullptr, "string", true, "", true),  // an empty file is created
             remove,
             write("App", "key", nullptr, true, "", true),
             remove,
             write("App", "key", "", true, "[App]\r\nkey=\r\n"),
             write("App", "key", "string", false, {}, false, File::Empty),
             remove,
             write("App1", "key1", "string1", true, {}),
             write("App1", "key2", "string2", true, {}),
             write("App1", "key3", "string3", true, {}),
             write("App2", "key4", "string4", true, {}),
             write("App3", "key5", "string5", true, built),
             write("App1", "key2", nullptr, true, withoutKey2),
             write("App1", "key2", nullptr, true, withoutKey2),  // deleting it again
             write("App1", nullptr, "string1", true, built.substr(built.find("[App2]"))),
             write("App2", nullptr, nullptr, true, built.substr(built.find("[App3]"))),
             write("App3", "key5", nullptr, true, "[App3]\r\n"),
             // NULs before the first section are kept.
             put("Data \0 before \0 first \0 section"s),
             write("section1", "key1", "string1", true,
                   "Data \0 before \0 first \0 section\r\n[section1]\r\nkey1=string1\r\n"s, true),
         })
        steps.push_back(step);

    TempDir dir;
    const std::string file = (dir.path() / "winetest.ini").string();
    const std::string missing = (dir.path() / "nonexistent.ini").string();
    int index = 0;
    for (const Step &step : steps) {
        ++index;
        if (step.posix && os::UnderWine())
            continue;
        const char *name = step.file == File::Null      ? nullptr
                           : step.file == File::Empty   ? ""
                           : step.file == File::Missing ? missing.c_str()
                                                        : file.c_str();
        // Writable copies: some Windows versions write into empty names.
        std::string section = step.section ? step.section : "", key = step.key ? step.key : "";
        std::string text = step.text ? step.text : "";
        char *s = step.section ? section.data() : nullptr, *k = step.key ? key.data() : nullptr;
        char *t = step.text ? text.data() : nullptr;
        switch (step.op) {
        case Op::Put:
            dir.Write("winetest.ini", *step.bytes);
            break;
        case Op::Remove:
            std::filesystem::remove(file);
            break;
        case Op::Read: {
            std::vector<char> buffer(300, '\x0c');
            EXPECT_EQ(zelmo::platform::ReadProfileValue(s, k, t, buffer.data(), step.size, name), step.result)
                << "step " << index;
            EXPECT_EQ(std::string(buffer.data(), step.bytes->size()), *step.bytes) << "step " << index;
            break;
        }
        case Op::Write:
            EXPECT_EQ(SetProfileValue(s, k, name, t, 0), step.result != 0) << "step " << index;
            if (step.bytes) {
                EXPECT_EQ(std::filesystem::exists(file) ? ReadFile(file) : none, *step.bytes) << "step " << index;
            }
            break;
        }
    }
}

TEST(Profile, LongValuesAreCutToTheWorkingBuffer)
{
    TempDir dir;
    const std::string value(200000, 'v');
    const std::string file = dir.Write("long.ini", "[s]\r\nk=" + value + "\r\n");
    std::vector<char> out(0x20000, '#');
    EXPECT_EQ(GetProfileValue("s", "k", file.c_str(), out.data(), 0x20000, nullptr), 131071);
    EXPECT_EQ(std::string(out.data()), value.substr(0, 131071));
    EXPECT_EQ(GetProfileValue("s", "k", file.c_str(), out.data(), 131071, nullptr), 0);
}

TEST(Profile, WritesCreateUpdateAndDelete)
{
    TempDir dir;
    const std::string file = (dir.path() / "new.ini").string();
    struct Step {
        const char *section, *key, *value;
        const char *readSection, *readKey, *expected;
    } steps[] = {
        {"App", "Colour", "blue", "App", "Colour", "blue"},       // file and section created
        {"app", "COLOUR", "green", "App", "Colour", "green"},     // updated, any case
        {"App", "Size", "10", "App", "Size", "10"},               // a second key
        {"Second", "k", "v", "Second", "k", "v"},                 // a second section
        {"App", "Colour", nullptr, "App", "Colour", "(absent)"},  // null value deletes the key
        {"App", "Size", nullptr, "App", "Size", "(absent)"},
        {"App", "Colour", nullptr, "App", "Colour", "(absent)"},  // deleting it again
        {"Second", nullptr, nullptr, "Second", "k", "(absent)"},  // null key deletes the section
        {"Größe", "Schlüssel", "Wert ä", "GRößE", "Schlüssel", "Wert ä"},  // non-ASCII bytes
    };
    for (const Step &s : steps) {
        EXPECT_TRUE(SetProfileValue(s.section, s.key, file.c_str(), s.value, 0))
            << s.section << "/" << (s.key ? s.key : "(null)");
        EXPECT_EQ(Get(s.readSection, s.readKey, file, "(absent)").out, s.expected)
            << s.section << "/" << (s.key ? s.key : "(null)");
    }
    EXPECT_EQ(Get(nullptr, nullptr, file).out, "App") << "an emptied section stays";
    EXPECT_EQ(Get("App", nullptr, file, "(none)").out, "(none)");
}

TEST(Profile, WritesKeepEveryOtherLine)
{
    TempDir dir;
    const std::string file = dir.Write("keep.ini", kProfile);
    ASSERT_TRUE(SetProfileValue("main", "name", file.c_str(), "Changed", 0));
    ASSERT_TRUE(SetProfileValue("Other", "Added", file.c_str(), "new", 0));
    ASSERT_TRUE(SetProfileValue("Last", "more", file.c_str(), "1", 0));
    ASSERT_TRUE(SetProfileValue("Main", "dup", file.c_str(), nullptr, 0));
    ASSERT_TRUE(SetProfileValue("Fresh", "k", file.c_str(), "v", 0));

    // What every implementation shares: the values and the comments survive.
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("; settings of the host"), std::string::npos);
    EXPECT_NE(text.find("; a comment inside"), std::string::npos);
    EXPECT_EQ(Get("Main", "Name", file).out, "Changed");
    EXPECT_EQ(Get("Main", "Quoted", file).out, "  spaced  ");
    EXPECT_EQ(Get("Main", "dup", file).out, "second") << "only the first duplicate was deleted";
    EXPECT_EQ(Get("Other", "Added", file).out, "new");
    EXPECT_EQ(Get("Other", "Key", file).out, "other value");
    EXPECT_EQ(Get("Last", "tail", file).out, "end");
    EXPECT_EQ(Get("Last", "more", file).out, "1");
    EXPECT_EQ(Get("Fresh", "k", file).out, "v");

    if (os::UnderWine())
        GTEST_SKIP() << "wine rewrites the whole file on every write (CR LF, blank lines and "
                        "blanks around \"=\" dropped); Windows and our POSIX layer keep other lines";
    EXPECT_EQ(text,
              "; settings of the host\r\n"
              "[Main]\r\n"
              "Name=Changed\r\n"
              "Quoted=\"  spaced  \"\r\n"
              "Single='x'\r\n"
              "Half=\"open\r\n"
              "Empty=\r\n"
              "NoEquals\r\n"
              "DUP=second\r\n"
              "\r\n"
              "[Other]\n"
              "; a comment inside\n"
              "Key=other value\n"
              "Added=new\r\n"
              "[Last]\n"
              "tail=end\r\n"
              "more=1\r\n"
              "[Fresh]\r\n"
              "k=v\r\n");
}

// In a process where file permissions apply: writes "v" to a read-only
// profile; 1 when SetProfileValue reported success.
int WriteToReadOnly(const std::string &file)
{
    return SetProfileValue("s", "k", file.c_str(), "v", 0) ? 1 : 0;
}

TEST(Profile, ReadOnlyFileIsMadeWritableAndWritten)
{
    TempDir dir;
    const std::string file = dir.Write("ro.ini", "[s]\r\nk=old\r\n");
    ASSERT_TRUE(os::MakeReadOnly(file));
    const int result = os::RunWithFilePermissions(WriteToReadOnly, file);
    if (result < 0)
        GTEST_SKIP() << "cannot give up root's permission override here";
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Get("s", "k", file).out, "v");
    if (os::UnderWine())
        GTEST_SKIP() << "under wine as root a read-only file stays writable, so the first write "
                        "succeeds and the attribute is not cleared";
    EXPECT_FALSE(os::IsReadOnly(file)) << "the cleared attribute is not restored";
}

// In a process where file permissions apply: writes "new" to key k of
// section s; 1 when SetProfileValue reported success.
int WriteNewValue(const std::string &file)
{
    return SetProfileValue("s", "k", file.c_str(), "new", 0) ? 1 : 0;
}

// A write keeps the file it finds: a plain file is replaced by rename, any
// other is rewritten in place, so that other names, links, owner and mode
// stay and a directory that refuses new files does not matter.
TEST(Profile, WritesKeepTheFilesIdentity)
{
    TempDir probe;
    if (!os::IdentityOf(probe.path().string()).available)
        GTEST_SKIP() << "hard links, symbolic links and owners are tested on POSIX; the Windows "
                        "profile service writes the file in place";
    enum Kind { Plain, HardLink, ForeignOwner, Symlink, DanglingSymlink, LockedDirectory };
    const struct Case {
        Kind kind;
        const char *what;
        bool replaced;  // a new file took the name
    } cases[] = {
        {Plain, "a plain file of the writer", true},
        {HardLink, "a file with a second name", false},
        {ForeignOwner, "a group-writable file of another owner", false},
        {Symlink, "a symbolic link to a file", false},
        {DanglingSymlink, "a symbolic link to no file", false},
        {LockedDirectory, "a writable file in a directory that takes no new file", false},
    };
    for (const Case &c : cases) {
        TempDir dir;
        const std::filesystem::path target = dir.path() / "target.ini", other = dir.path() / "other.ini";
        if (c.kind != DanglingSymlink)
            dir.Write("target.ini", "; kept\r\n[s]\r\nk=old\r\n");
        std::string name = target.string();  // the name the write is given
        if (c.kind == HardLink)
            std::filesystem::create_hard_link(target, other);
        if (c.kind == Symlink || c.kind == DanglingSymlink) {
            std::filesystem::create_symlink(target, other);
            name = other.string();
        }
        if (c.kind == ForeignOwner) {
            ASSERT_TRUE(os::SetOwnerAndMode(name, 4242, os::IdentityOf(dir.path().string()).group, 0664));
        }
        const os::FileIdentity before = os::IdentityOf(name);
        if (c.kind == LockedDirectory) {
            ASSERT_TRUE(os::LockDirectory(dir.path().string(), true));
        }
        const int result = os::RunWithFilePermissions(WriteNewValue, name);
        os::LockDirectory(dir.path().string(), false);
        if (result < 0)
            GTEST_SKIP() << "cannot give up root's permission override here";
        EXPECT_EQ(result, 1) << c.what;
        EXPECT_EQ(Get("s", "k", target.string()).out, "new") << c.what;
        const os::FileIdentity after = os::IdentityOf(name);
        EXPECT_EQ(after.symlink, c.kind == Symlink || c.kind == DanglingSymlink) << c.what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                                std::filesystem::directory_iterator()),
                  c.kind == Plain || c.kind == ForeignOwner || c.kind == LockedDirectory ? 1 : 2)
            << c.what << ": no temporary file is left behind";
        if (c.kind == DanglingSymlink)
            continue;  // the link's target is new
        EXPECT_EQ(ReadFile(target.string()), "; kept\r\n[s]\r\nk=new\r\n") << c.what;
        EXPECT_EQ(after.inode != before.inode, c.replaced) << c.what;
        EXPECT_EQ(after.links, before.links) << c.what;
        EXPECT_EQ(after.owner, before.owner) << c.what;
        EXPECT_EQ(after.group, before.group) << c.what;
        EXPECT_EQ(after.mode, before.mode) << c.what;
        if (c.kind == HardLink) {
            EXPECT_EQ(Get("s", "k", other.string()).out, "new") << "the second name sees the write";
        }
    }
}

TEST(Profile, WritesThatCannotHappenFailAndCreateNothing)
{
    TempDir dir;
    const std::string inMissingDir = (dir.path() / "absent" / "x.ini").string();
    EXPECT_FALSE(SetProfileValue("s", "k", inMissingDir.c_str(), "v", 0));
    EXPECT_FALSE(std::filesystem::exists(inMissingDir));
    const std::string file = (dir.path() / "x.ini").string();
    EXPECT_FALSE(SetProfileValue(nullptr, "k", file.c_str(), "v", 0)) << "a value needs a section";
    EXPECT_FALSE(std::filesystem::exists(file));
    // Without a file name nothing is found (Windows looks in its own
    // profile, which has no such section): the default is the value.
    char out[16];
    EXPECT_EQ(GetProfileValue("ZelmoNoSuchSection", "k", nullptr, out, sizeof out, "dflt"), 4);
    EXPECT_STREQ(out, "dflt");
}

}  // namespace
