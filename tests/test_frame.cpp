// Loading and unloading the library, its exports, version resource and the
// shared file-presence test.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "frame/frame.h"
#include "support/files.h"
#include "support/os.h"
#include "zelmo.h"

namespace {

using zelmo::test::TempDir;
namespace os = zelmo::test::os;

// Every export of the table.
const char *const kExports[] = {
    "Base64Decode",      "Base64Encode",      "CheckAndCreateDircotry", "Decode",          "DesDecode",
    "DesEncode",         "Encode",            "EventLogError",          "EventLogInformation",
    "EventLogWarning",   "GetCacheFilePath",  "GetCacheFileSize",       "GetFileFullPath", "GetLocalHostName",
    "GetLocalIP",        "GetMacAddr",        "GetProfileValue",        "HttpDownload_NoSYNC",
    "HttpDownload_SYNC", "HttpRequest_NoSYNC", "HttpRequest_SYNC",      "HttpUpload_NoSYNC",
    "HttpUpload_SYNC",   "MD5File",           "MD5String",              "PszFromBstr",     "PszToBstr",
    "SetProfileValue"};
// And those of the second interface, zelmo_fetch.h.
const char *const kFetchExports[] = {"zelmo_cache_list",         "zelmo_cache_prune",    "zelmo_cache_remove",
                                     "zelmo_fetch",              "zelmo_fetch_outcome_name", "zelmo_fetch_strerror"};

TEST(Frame, LoadsCallsAndUnloadsLikeAHost)
{
    for (int round = 0; round < 2; ++round) {  // a second load starts from scratch
        void *library = os::LoadZelmo();
        ASSERT_NE(library, nullptr);
        for (const char *name : kExports)
            EXPECT_NE(os::FindExport(library, name), nullptr) << name;
        for (const char *name : kFetchExports)
            EXPECT_NE(os::FindExport(library, name), nullptr) << name;
        EXPECT_EQ(os::FindExport(library, "IsFilePresent"), nullptr) << "internal helpers stay private";

        using EncodeFn = int(ZELMO_API *)(char *, const char *, int);
        auto encode = reinterpret_cast<EncodeFn>(os::FindExport(library, "Base64Encode"));
        ASSERT_NE(encode, nullptr);
        char text[16];
        EXPECT_EQ(encode(text, "Zelmo", 0), 8);
        EXPECT_STREQ(text, "WmVsbW8=");
        EXPECT_TRUE(os::UnloadZelmo(library));
    }
}

TEST(Frame, SocketLibraryLivesFromLoadToUnload)
{
    if (os::SocketState() == os::Sockets::NothingToStart)
        GTEST_SKIP() << "this platform has no socket library to start";
    ASSERT_EQ(os::SocketState(), os::Sockets::NotStarted) << "nothing started sockets before the load";
    void *library = os::LoadZelmo();
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(os::SocketState(), os::Sockets::Ready);
    ASSERT_TRUE(os::UnloadZelmo(library));
    EXPECT_EQ(os::SocketState(), os::Sockets::NotStarted) << "the unload cleans sockets up again";
}

TEST(Frame, VersionResource)
{
    const os::VersionInfo info = os::ReadZelmoVersion();
    if (!info.available)
        GTEST_SKIP() << "shared objects carry no version resource";
    EXPECT_EQ(info.fileVersionMS, 0x00010000u);
    EXPECT_EQ(info.fileVersionLS, 0x00000001u);
    EXPECT_EQ(info.productVersionMS, 0x00010000u);
    EXPECT_EQ(info.productVersionLS, 0x00000001u);
    EXPECT_EQ(info.flagsMask, 0x3Fu);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.fileOS, 4u);
    EXPECT_EQ(info.fileType, 2u);
    EXPECT_EQ(info.fileSubtype, 0u);
    ASSERT_EQ(info.translations.size(), 1u);
    EXPECT_EQ(info.translations[0].first, 0x0804);
    EXPECT_EQ(info.translations[0].second, 1200);
    const std::map<std::string, std::string> expected = {
        {"CompanyName", ""},
        {"FileDescription", "zelmo DLL"},
        {"FileVersion", "1, 0, 0, 1"},
        {"InternalName", "zelmo"},
        {"LegalTrademarks", ""},
        {"OriginalFilename", "zelmo.DLL"},
        {"ProductName", "zelmo Dynamic Link Library"},
        {"ProductVersion", "1, 0, 0, 1"},
    };
    EXPECT_EQ(info.strings, expected);
}

TEST(IsFilePresent, FindsOrdinaryFilesOnly)
{
    TempDir dir;
    const std::string file = dir.Write("data.bin", "content");
    const std::string empty = dir.Write("empty", "");
    EXPECT_EQ(zelmo::IsFilePresent(file.c_str()), 1);
    EXPECT_EQ(zelmo::IsFilePresent(empty.c_str()), 1);
    EXPECT_EQ(zelmo::IsFilePresent(dir.path().string().c_str()), -1) << "directory";
    EXPECT_EQ(zelmo::IsFilePresent((dir.path() / "missing").string().c_str()), -1);
    EXPECT_EQ(zelmo::IsFilePresent(""), -1);
    EXPECT_EQ(zelmo::IsFilePresent(nullptr), -1);
}

TEST(IsFilePresent, LastWriteTimeMustBeAnMsDosDate)
{
    TempDir dir;
    const std::string file = dir.Write("dated", "x");
    for (int year : {1980 + 1, 2000}) {
        zelmo::test::SetLastWriteYear(file, year);
        EXPECT_EQ(zelmo::IsFilePresent(file.c_str()), 1) << year;
    }
    for (int year : {1975, 1979}) {
        zelmo::test::SetLastWriteYear(file, year);
        EXPECT_EQ(zelmo::IsFilePresent(file.c_str()), -1) << year;
    }
    // Years past 2038 need a file system that stores them: 32-bit wine keeps
    // file times in the host's 32-bit time_t, where Windows has no such limit.
    zelmo::test::SetLastWriteYear(file, 2106);
    if (!zelmo::test::LastWriteYearIs(file, 2106))
        GTEST_SKIP() << "this system cannot store a file time in 2106 (32-bit wine: 32-bit time_t)";
    EXPECT_EQ(zelmo::IsFilePresent(file.c_str()), 1) << 2106;
    zelmo::test::SetLastWriteYear(file, 2109);
    EXPECT_EQ(zelmo::IsFilePresent(file.c_str()), -1) << 2109;
}

}  // namespace
