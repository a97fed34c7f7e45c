// HttpDownload_SYNC against the scripted loopback server: what reaches the
// caller, what lands in the cache entry for each outcome, and what goes over
// the wire; and against nginx, started by a CTest fixture.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "frame/frame.h"
#include "http/download.h"
#include "support/files.h"
#include "support/gcc_warnings.h"
#include "support/http_server.h"
#include "support/nginx.h"
#include "support/os.h"
#include "support/rename_exit.h"
#include "zelmo.h"

namespace {

using zelmo::test::NginxBase;
using zelmo::test::NginxDirectory;
using zelmo::test::NginxPort;
using zelmo::test::NginxSkipReason;
namespace fs = std::filesystem;
using zelmo::test::Answer;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

constexpr const char *kDate = "Wed, 21 Oct 2015 07:28:00 GMT";

using zelmo::test::Exists;
using zelmo::test::ReadFile;

// The test's own name, so that each test downloads URLs of its own.
std::string TestName()
{
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char &c : name)
        if (c == '/') c = '-';
    return name;
}

// "/" and the test's name: the path of the test's own URL.
std::string TestPath()
{
    ZELMO_RESTRICT_FALSE_POSITIVE_BEGIN
    return "/" + TestName();
    ZELMO_RESTRICT_FALSE_POSITIVE_END
}

// A URL's cache entry beside the test program; removed when the test ends.
struct Entry {
    explicit Entry(std::string u, std::string bodyPath = "") : url(std::move(u))
    {
        const zelmo::cache::EntryPaths paths = zelmo::cache::EntryPathsOf(url);
        header = paths.header;
        body = bodyPath.empty() ? paths.body : bodyPath;
        Clean();
    }
    ~Entry() { Clean(); }
    void Clean() const
    {
        std::error_code ignored;
        for (const std::string &p : {header, body, header + ".tmp", body + ".tmp"})
            fs::remove_all(p, ignored);
    }
    void Seed(const std::string &headerText, const std::string &bodyText) const
    {
        zelmo::frame::CreateDirectoriesOf(header.c_str());
        std::ofstream(header, std::ios::binary) << headerText;
        std::ofstream(body, std::ios::binary) << bodyText;
    }
    std::string url, header, body;
};

// A caller's record; the bytes past `capacity` show any write beyond it.
struct Record {
    explicit Record(unsigned capacity) : bytes(capacity + 16, '#')
    {
        r.buffer = capacity > 0 ? bytes.data() : nullptr;
        r.capacity = capacity;
    }
    std::string Text() const { return std::string(r.buffer, r.length); }
    bool AllZero() const { return bytes.find_first_not_of('\0') >= r.capacity; }
    // The body, then zeros up to `capacity`.
    bool HoldsOnly(const std::string &body) const
    {
        return r.length == body.size() && Text() == body && bytes.find_first_not_of('\0', body.size()) >= r.capacity;
    }
    bool GuardIntact() const { return bytes.compare(r.capacity, 16, std::string(16, '#')) == 0; }
    std::string bytes;
    HttpResponseBuffer r{};
};

bool Get(const Entry &entry, Record &record, bool useCache, int timeout = 10)
{
    return HttpDownload_SYNC(entry.url.c_str(), &record.r, useCache, timeout, nullptr, nullptr);
}

std::string OkHeader(std::string_view body, bool lastModified = true)
{
    std::string text = "HTTP/1.1 200 OK\r\n";
    if (lastModified)
        text += std::string("Last-Modified: ") + kDate + "\r\n";
    return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
}

// 200 with Last-Modified and Content-Length, or 304 when the request's
// If-Modified-Since carries the same date.
Answer Revalidating(const RecordedRequest &request, std::string_view body)
{
    if (request.Header("If-Modified-Since") == kDate)
        return Answer::Raw("HTTP/1.1 304 Not Modified\r\n\r\n");
    return Answer::Raw(OkHeader(body) + std::string(body));
}

// A body file's last-write time, as seconds since the epoch.
long long LastWriteSeconds(const std::string &path)
{
    using namespace std::chrono;
    const auto when = fs::last_write_time(path);
    return duration_cast<seconds>(file_clock::to_sys(when).time_since_epoch()).count();
}

long long NowSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// --- the whole road: first download, revalidation, plain download ---

TEST(Download, FirstCallFillsTheEntryAndARevalidationIsServedFromIt)
{
    const std::string body = "cached body\n";
    ScriptedServer server([&](const RecordedRequest &r) { return Revalidating(r, body); });
    const Entry entry(server.Url(TestPath()));

    Record first(64);
    ASSERT_TRUE(Get(entry, first, true));
    EXPECT_TRUE(first.HoldsOnly(body)) << "the body, then zeros: " << first.bytes;
    EXPECT_EQ(first.r.errorCode, 0);
    EXPECT_EQ(first.r.filePath, nullptr) << "a null filePath stays null";
    EXPECT_EQ(ReadFile(entry.body), body);
    EXPECT_EQ(ReadFile(entry.header), OkHeader(body)) << "the header exactly as received";
    EXPECT_FALSE(Exists(entry.body + ".tmp"));
    EXPECT_FALSE(Exists(entry.header + ".tmp"));
    EXPECT_TRUE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0)) << "the entry is complete";

    zelmo::test::SetLastWriteYear(entry.body, 2001);
    const long long before = NowSeconds();
    Record second(64);
    ASSERT_TRUE(Get(entry, second, true));
    EXPECT_TRUE(second.HoldsOnly(body)) << "served from the entry, then zeros: " << second.bytes;
    EXPECT_EQ(ReadFile(entry.body), body);
    EXPECT_EQ(ReadFile(entry.header), OkHeader(body)) << "a 304 leaves the header file";
    EXPECT_GE(LastWriteSeconds(entry.body), before - 2) << "the body file's last-write time is now";
    EXPECT_FALSE(Exists(entry.body + ".tmp"));
    EXPECT_FALSE(Exists(entry.header + ".tmp"));

    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_FALSE(requests[0].HasHeader("If-Modified-Since")) << "no entry yet, nothing to revalidate";
    // Two blanks: the one of the line and the one that began the stored value.
    EXPECT_NE(requests[1].head.find(std::string("\r\nIf-Modified-Since:  ") + kDate + "\r\n"), std::string::npos)
        << requests[1].head;

    // Without useCache the request is plain and a 200 replaces the entry.
    Record third(64);
    ASSERT_TRUE(Get(entry, third, false));
    EXPECT_EQ(third.Text(), body);
    ASSERT_EQ(server.Requests().size(), 3u);
    EXPECT_FALSE(server.Requests()[2].HasHeader("If-Modified-Since"));
}

TEST(Download, AnEntryWithoutContentLengthIsNeverRevalidated)
{
    const std::string body = "streamed";
    ScriptedServer server([&](const RecordedRequest &) {
        return Answer::Raw(std::string("HTTP/1.1 200 OK\r\nLast-Modified: ") + kDate +
                           "\r\nTransfer-Encoding: chunked\r\n\r\n" + zelmo::test::Chunked(body, 3));
    });
    const Entry entry(server.Url(TestPath()));
    for (int call = 0; call < 2; ++call) {
        Record record(64);
        ASSERT_TRUE(Get(entry, record, true));
        EXPECT_EQ(record.Text(), body);
    }
    EXPECT_EQ(ReadFile(entry.body), body) << "the chunked coding removed";
    for (const RecordedRequest &request : server.Requests())
        EXPECT_FALSE(request.HasHeader("If-Modified-Since"));
}

// --- only the final response counts ---

TEST(Download, TheFinalResponseAfterRedirectsAndInterimAnswersCounts)
{
    const std::string body = "final";
    struct Case {
        const char *name;
        std::string prelude;  // what the answer to /start begins with
    };
    const Case cases[] = {
        {"redirect", "HTTP/1.1 302 Found\r\nLocation: /final\r\nContent-Length: 0\r\n\r\n"},
        {"interim", "HTTP/1.1 100 Continue\r\n\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&](const RecordedRequest &r) {
            if (r.target.find("/start") != std::string::npos && c.prelude.find("302") != std::string::npos)
                return Answer::Raw(c.prelude);
            if (r.target.find("/start") != std::string::npos)
                return Answer::Raw(c.prelude + OkHeader(body) + body);
            return Revalidating(r, body);
        });
        const Entry entry(server.Url(TestPath() + "-" + c.name + "/start"));
        Record record(64);
        ASSERT_TRUE(Get(entry, record, true));
        EXPECT_EQ(record.Text(), body);
        EXPECT_EQ(ReadFile(entry.header), OkHeader(body)) << "only the final response's header block";
        EXPECT_TRUE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0));
        Record again(64);
        ASSERT_TRUE(Get(entry, again, true));
        EXPECT_EQ(again.Text(), body);
        EXPECT_NE(server.Requests().back().head.find(std::string("If-Modified-Since:  ") + kDate),
                  std::string::npos) << "revalidated with the final response's Last-Modified";
    }
}

// --- what each outcome leaves in the entry ---

TEST(Download, AnyOtherStatusReplacesTheHeaderFileAndFails)
{
    const std::vector<std::string> headers = {
        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 204 No Content\r\n\r\n",
    };
    for (const std::string &answer : headers) {
        SCOPED_TRACE(answer);
        ScriptedServer server([&](const RecordedRequest &) { return Answer::Raw(answer, true); });
        const Entry entry(server.Url(TestPath()));
        entry.Seed(OkHeader("old"), "old");
        Record record(32);
        record.r.rawLength = 5;
        EXPECT_FALSE(Get(entry, record, true));
        EXPECT_EQ(record.r.length, 0u);
        EXPECT_EQ(record.r.rawLength, 0u);
        EXPECT_TRUE(record.AllZero());
        EXPECT_TRUE(record.GuardIntact());
        EXPECT_EQ(ReadFile(entry.header), answer);
        EXPECT_EQ(ReadFile(entry.body), "old");
        EXPECT_FALSE(Exists(entry.body + ".tmp"));
        EXPECT_FALSE(Exists(entry.header + ".tmp"));
    }
}

TEST(Download, AHeaderLeftByAFailedAnswerMakesTheNextCallDownloadInFull)
{
    std::atomic<bool> broken{true};
    const std::string body = "whole";
    ScriptedServer server([&](const RecordedRequest &r) {
        if (broken)
            return Answer::Raw("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
        return Revalidating(r, body);
    });
    const Entry entry(server.Url(TestPath()));
    entry.Seed(OkHeader(body), body);
    Record record(16);
    EXPECT_FALSE(Get(entry, record, true));
    EXPECT_FALSE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0)) << "judged by the 500's Content-Length";
    broken = false;
    EXPECT_TRUE(Get(entry, record, true));
    EXPECT_EQ(record.Text(), body);
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_TRUE(server.Requests()[0].HasHeader("If-Modified-Since"));
    EXPECT_FALSE(server.Requests()[1].HasHeader("If-Modified-Since"));
    EXPECT_EQ(ReadFile(entry.header), OkHeader(body));
}

TEST(Download, TwoThreadsDownloadDifferentUrlsAtOnce)
{
    ScriptedServer server([](const RecordedRequest &r) {
        const std::string body(20000, r.target.back());
        return Answer::InPieces(OkHeader(body) + body, {100, 5000, 5000}, 20);
    });
    const Entry a(server.Url(TestPath() + "/a")), b(server.Url(TestPath() + "/b"));
    Record ra(30000), rb(30000);
    bool okA = false, okB = false;
    std::thread first([&] { okA = Get(a, ra, true); });
    std::thread second([&] { okB = Get(b, rb, true); });
    first.join();
    second.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    EXPECT_EQ(ra.Text(), std::string(20000, 'a'));
    EXPECT_EQ(rb.Text(), std::string(20000, 'b'));
    EXPECT_EQ(ReadFile(a.body), std::string(20000, 'a'));
    EXPECT_EQ(ReadFile(b.body), std::string(20000, 'b'));
}

TEST(Download, NotModifiedWithoutACompleteEntryIsAFailure)
{
    ScriptedServer server([](const RecordedRequest &) { return Answer::Raw("HTTP/1.1 304 Not Modified\r\n\r\n"); });
    const Entry entry(server.Url(TestPath()));
    entry.Seed(OkHeader("abc"), "abc");
    fs::remove(entry.body);  // deleted between calls
    Record record(16);
    EXPECT_FALSE(Get(entry, record, true));
    EXPECT_TRUE(record.AllZero());
    EXPECT_FALSE(Exists(entry.body)) << "nothing is made up";
    EXPECT_EQ(ReadFile(entry.header), OkHeader("abc"));
    EXPECT_FALSE(Exists(entry.body + ".tmp"));
    EXPECT_FALSE(Exists(entry.header + ".tmp"));
}

TEST(Download, NotModifiedInHttp10Or11ServesTheEntry)
{
    for (const std::string status : {"HTTP/1.1 304 Not Modified", "HTTP/1.0 304 Not Modified"}) {
        SCOPED_TRACE(status);
        ScriptedServer server([&](const RecordedRequest &) { return Answer::Raw(status + "\r\n\r\n", true); });
        const Entry entry(server.Url(TestPath()));
        entry.Seed(OkHeader("old"), "old");
        zelmo::test::SetLastWriteYear(entry.body, 2001);
        const long long before = NowSeconds();
        Record record(16);
        EXPECT_TRUE(Get(entry, record, true));
        EXPECT_EQ(record.Text(), "old");
        EXPECT_EQ(ReadFile(entry.header), OkHeader("old")) << "the entry's header stays";
        EXPECT_GE(LastWriteSeconds(entry.body), before - 2);
        EXPECT_FALSE(Exists(entry.body + ".tmp"));
        EXPECT_FALSE(Exists(entry.header + ".tmp"));
    }
}

// A 304 carries no body and its header is not kept: it needs no body
// temporary and writes no byte, so it is served where neither could be had.
TEST(Download, NotModifiedWritesNothing)
{
    ScriptedServer server([](const RecordedRequest &request) { return Revalidating(request, "old"); });
    const Entry entry(server.Url(TestPath()));
    entry.Seed(OkHeader("old"), "old");
    fs::create_directory(entry.body + ".tmp");  // no body temporary can be made
    Record record(16);
    EXPECT_TRUE(Get(entry, record, true));
    EXPECT_EQ(record.Text(), "old");
    fs::remove(entry.body + ".tmp");
    // Not one byte may be written, checked where the system can refuse them.
    const int result = zelmo::test::os::RunWithFileSizeLimit(
        [](const std::string &url) {
            char buffer[16] = {};
            HttpResponseBuffer r{};
            r.buffer = buffer;
            r.capacity = sizeof buffer;
            return HttpDownload_SYNC(url.c_str(), &r, true, 10, nullptr, nullptr) && r.length == 3 ? 1 : 0;
        },
        entry.url, 1);
    if (result != -2) {
        EXPECT_EQ(result, 1);
    }
    EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
    EXPECT_FALSE(Exists(entry.header + ".tmp"));
}

// Field names of the stored header in any letter case; a Last-Modified value
// ends at the first CR or LF, and one holding a control character is not
// sent at all.
TEST(Download, StoredFieldsInAnyCaseAndOnlyCleanValues)
{
    const std::string date = kDate;
    struct Case {
        const char *name;
        std::string fields;  // the stored header's lines after its status line
        std::string sent;    // the If-Modified-Since line sent, empty: none
    };
    const Case cases[] = {
        {"lower case", "last-modified: " + date + "\r\ncontent-length: 3\r\n", "If-Modified-Since:  " + date},
        {"upper case", "LAST-MODIFIED: " + date + "\r\nCONTENT-LENGTH: 3\r\n", "If-Modified-Since:  " + date},
        {"line feed", "Last-Modified: " + date + "\nX-Injected: yes\r\nContent-Length: 3\r\n",
         "If-Modified-Since:  " + date},
        {"carriage return", "Last-Modified: " + date + "\rX-Injected: yes\r\nContent-Length: 3\r\n",
         "If-Modified-Since:  " + date},
        {"control character", "Last-Modified: Wed,\x01 21 Oct 2015\r\nContent-Length: 3\r\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([](const RecordedRequest &r) {
            if (r.HasHeader("If-Modified-Since"))
                return Answer::Raw("HTTP/1.1 304 Not Modified\r\n\r\n");
            return Answer::Raw(OkHeader("new") + "new");
        });
        const Entry entry(server.Url(TestPath()));
        entry.Seed("HTTP/1.1 200 OK\r\n" + c.fields + "\r\n", "old");
        EXPECT_TRUE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0));
        Record record(16);
        ASSERT_TRUE(Get(entry, record, true));
        EXPECT_EQ(record.Text(), c.sent.empty() ? "new" : "old");
        ASSERT_EQ(server.Requests().size(), 1u);
        const std::string head = server.Requests()[0].head;
        if (c.sent.empty())
            EXPECT_FALSE(server.Requests()[0].HasHeader("If-Modified-Since")) << head;
        else
            EXPECT_NE(head.find("\r\n" + c.sent + "\r\n"), std::string::npos) << head;
        EXPECT_EQ(head.find("X-Injected"), std::string::npos) << head;
    }
}

TEST(Download, NoProxyIsTakenFromTheEnvironment)
{
    ScriptedServer origin([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "direct"); });
    ScriptedServer proxy([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "via proxy"); });
    const zelmo::test::os::EnvironmentProxy environment("http://" + proxy.Address());
    const Entry entry(origin.Url(TestPath()));
    Record record(16);
    EXPECT_TRUE(Get(entry, record, false));
    EXPECT_EQ(record.Text(), "direct");
    EXPECT_TRUE(proxy.Requests().empty());
    EXPECT_EQ(origin.Requests().size(), 1u);
}

TEST(Download, ARedirectChainEndsAfterFiftyRedirectsAsATransferError)
{
    std::atomic<int> answered{0};
    const std::string location = "Location: /" + TestName() + "\r\n";  // the URL itself
    ScriptedServer server([&](const RecordedRequest &) {
        if (++answered <= 60)
            return Answer::Full("HTTP/1.1 302 Found", "", location);
        return Answer::Full("HTTP/1.1 200 OK", "out of the loop");
    });
    const Entry entry(server.Url(TestPath()));
    entry.Seed(OkHeader("old"), "old");
    Record record(64);
    record.r.rawLength = 5;
    EXPECT_FALSE(Get(entry, record, false));
    EXPECT_EQ(server.Requests().size(), 51u) << "the first request and 50 redirects";
    EXPECT_TRUE(record.AllZero());
    EXPECT_EQ(record.r.rawLength, 0u);
    EXPECT_EQ(ReadFile(entry.body), "old");
    EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
}

// Only http and https, for the URL and every redirect: any other scheme
// fails the call, the record cleared as on any failure, before anything
// reaches its port or a file of the entry is made. A URL without a scheme
// is one libcurl guesses http for, and is downloaded.
TEST(Download, OnlyHttpAndHttpsUrlsAreDownloaded)
{
    ScriptedServer server([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "web"); });
    zelmo::test::SilentPort silent;
    ASSERT_NE(silent.port(), 0);
    const std::string web = "127.0.0.1:" + std::to_string(server.port());
    struct Case {
        std::string url;
        bool served;
    };
    std::vector<Case> cases = {
        {"HTTP://" + web + TestPath() + "-upper", true},
        {web + TestPath() + "-guessed", true},
    };
    for (const std::string &url : silent.ForeignUrls())
        cases.push_back({url, false});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        for (const bool useCache : {false, true}) {
            const Entry entry(c.url);
            Record record(64);
            record.r.rawLength = 5;
            EXPECT_EQ(Get(entry, record, useCache), c.served);
            EXPECT_FALSE(silent.Reached());
            if (c.served) {
                EXPECT_TRUE(record.HoldsOnly("web"));
                continue;
            }
            EXPECT_TRUE(record.AllZero());
            EXPECT_EQ(record.r.length, 0u);
            EXPECT_EQ(record.r.rawLength, 0u);
            for (const std::string &path : {entry.header, entry.body, entry.header + ".tmp", entry.body + ".tmp"})
                EXPECT_FALSE(Exists(path)) << path;
        }
    }
    EXPECT_EQ(server.Requests().size(), 4u);
}

TEST(Download, ARedirectToAnotherSchemeFailsAsATransferError)
{
    zelmo::test::SilentPort silent;
    ASSERT_NE(silent.port(), 0);
    const std::string there = silent.Authority();
    const std::string targets[] = {"gopher://" + there + "/1", "ftp://" + there + "/", "file:///etc/passwd"};
    for (const std::string &target : targets) {
        SCOPED_TRACE(target);
        ScriptedServer server([&](const RecordedRequest &) {
            return Answer::Full("HTTP/1.1 302 Found", "moved", "Location: " + target + "\r\n");
        });
        const Entry entry(server.Url(TestPath()));
        entry.Seed(OkHeader("old"), "old");
        Record record(4096);
        EXPECT_FALSE(Get(entry, record, false));
        EXPECT_EQ(server.Requests().size(), 1u);
        EXPECT_FALSE(silent.Reached());
        EXPECT_TRUE(record.AllZero());
        EXPECT_EQ(ReadFile(entry.body), "old");
        EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
    }
}

TEST(Download, TheTemporariesAreClosedOnExec)
{
    std::atomic<int> header{-3}, body{-3};
    std::atomic<bool> done{false};
    // The body arrives in two pieces; between them both temporaries are open.
    const std::string answer = OkHeader("xy") + "xy";
    ScriptedServer server([&](const RecordedRequest &) { return Answer::InPieces(answer, {answer.size() - 1}, 500); });
    const Entry entry(server.Url(TestPath()));
    const std::string headerTemp = entry.header + ".tmp", bodyTemp = entry.body + ".tmp";
    std::thread watcher([&] {
        while (!done && (body = zelmo::test::os::CloseOnExecState(bodyTemp)) == -1)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        header = zelmo::test::os::CloseOnExecState(headerTemp);
    });
    Record record(16);
    const bool ok = Get(entry, record, false);
    done = true;
    watcher.join();
    ASSERT_TRUE(ok);
    if (header == -2)
        GTEST_SKIP() << "no inheritable descriptors to check on this platform";
    EXPECT_EQ(header, 1);
    EXPECT_EQ(body, 1);
}

TEST(Download, AFailedCopyIntoTheEntryFailsTheCall)
{
    const std::string body = "new body";
    ScriptedServer server([&](const RecordedRequest &) { return Answer::Raw(OkHeader(body) + body); });
    TempDir dir;

    // The body file cannot be replaced: neither file of the entry changes.
    const std::string blocked = (dir.path() / "blocked").string();
    const Entry first(server.Url(TestPath() + "-body"), blocked);
    fs::create_directory(blocked);
    Record record(32);
    record.r.filePath = const_cast<char *>(blocked.c_str());
    EXPECT_FALSE(Get(first, record, false));
    EXPECT_TRUE(record.AllZero());
    EXPECT_EQ(record.r.filePath, blocked.c_str());
    EXPECT_TRUE(fs::is_directory(blocked));
    EXPECT_FALSE(Exists(first.header));
    EXPECT_FALSE(Exists(blocked + ".tmp"));
    EXPECT_FALSE(Exists(first.header + ".tmp"));

    // The header file cannot be replaced: the body already was.
    const Entry second(server.Url(TestPath() + "-header"));
    zelmo::frame::CreateDirectoriesOf(second.header.c_str());
    fs::create_directory(second.header);
    Record other(32);
    EXPECT_FALSE(Get(second, other, false));
    EXPECT_EQ(ReadFile(second.body), body);
    EXPECT_TRUE(fs::is_directory(second.header));
    EXPECT_FALSE(Exists(second.body + ".tmp"));
    EXPECT_FALSE(Exists(second.header + ".tmp"));

    // The body's directory takes no new file: the old entry stays whole.
    const std::string locked = (dir.path() / "locked").string();
    fs::create_directory(locked);
    const Entry third(server.Url(TestPath() + "-locked"), locked + "/entry");
    third.Seed(OkHeader("old"), "old");
    if (zelmo::test::os::LockDirectory(locked, true)) {
        const int result = zelmo::test::os::RunWithFilePermissions(
            [](const std::string &args) {
                const std::size_t space = args.find(' ');
                std::string bodyPath = args.substr(space + 1);
                char buffer[16] = {};
                HttpResponseBuffer r{};
                r.buffer = buffer;
                r.capacity = sizeof buffer;
                r.filePath = bodyPath.data();
                return HttpDownload_SYNC(args.substr(0, space).c_str(), &r, false, 10, nullptr, nullptr) ? 1 : 0;
            },
            third.url + " " + third.body);
        zelmo::test::os::LockDirectory(locked, false);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(ReadFile(third.body), "old");
        EXPECT_EQ(ReadFile(third.header), OkHeader("old"));
    }
}

TEST(Download, ATransferErrorLeavesTheEntryAndKeepsWhatArrived)
{
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    struct Case {
        const char *name;
        Answer answer;
        int timeout;
    };
    const Case cases[] = {
        {"cut off", Answer::Raw(header + "partial", true), 10},
        {"time-out", Answer::InPieces(header + "partial" + std::string(93, 'x'), {header.size() + 7}, 3000), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&](const RecordedRequest &) { return c.answer; });
        const Entry entry(server.Url(TestPath()));
        entry.Seed(OkHeader("old"), "old");
        Record record(256);
        EXPECT_FALSE(Get(entry, record, true, c.timeout));
        EXPECT_TRUE(record.AllZero());
        EXPECT_EQ(record.r.length, 0u);
        EXPECT_EQ(ReadFile(entry.body), "old");
        EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
        EXPECT_EQ(ReadFile(entry.header + ".tmp"), header);
        EXPECT_EQ(ReadFile(entry.body + ".tmp"), "partial");
    }
}

TEST(Download, ADiskThatFillsLeavesTheEntryAsItWas)
{
    const std::string body(1 << 20, 'z');
    ScriptedServer server([&](const RecordedRequest &) { return Answer::Raw(OkHeader(body) + body); });
    const Entry entry(server.Url(TestPath()));
    entry.Seed(OkHeader("old"), "old");
    // The child's result: 0 when the call failed as a write error should.
    const int result = zelmo::test::os::RunWithFileSizeLimit(
        [](const std::string &url) {
            char buffer[16];
            HttpResponseBuffer record{};
            record.buffer = buffer;
            record.capacity = sizeof buffer;
            return HttpDownload_SYNC(url.c_str(), &record, false, 10, nullptr, nullptr) ? 1 : 0;
        },
        entry.url, 64 * 1024);
    if (result == -2)
        GTEST_SKIP() << "this platform sets no file-size limit on a process";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(entry.body), "old");
    EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
    EXPECT_LE(ReadFile(entry.body + ".tmp").size(), 64u * 1024) << "what fitted stays in the temporary";
}

TEST(Download, ATemporaryThatCannotBeCreatedFailsTheCall)
{
    ScriptedServer server([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "x"); });
    const Entry entry(server.Url(TestPath()));
    entry.Seed(OkHeader("old"), "old");
    fs::create_directory(entry.body + ".tmp");
    Record record(16);
    EXPECT_FALSE(Get(entry, record, false));
    EXPECT_TRUE(record.AllZero());
    EXPECT_EQ(server.Requests().size(), 1u) << "the body temporary is made when the body arrives";
    EXPECT_EQ(ReadFile(entry.body), "old");
    EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
    EXPECT_TRUE(Exists(entry.header + ".tmp")) << "the temporary that opened is left";
    EXPECT_EQ(ReadFile(entry.header + ".tmp"), "");
}

// A revalidation makes its temporaries only when a body comes: where none
// can be made, a 304 is still served from the entry, and a 200 fails with
// the entry as it was.
TEST(Download, ARevalidationMakesTemporariesOnlyForABody)
{
    struct Case {
        bool notModified;
        bool served;
    };
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        SCOPED_TRACE(c.notModified ? "304" : "200");
        ScriptedServer server([&](const RecordedRequest &) {
            return c.notModified ? Answer::Raw("HTTP/1.1 304 Not Modified\r\n\r\n") : Answer::Raw(OkHeader("new") + "new");
        });
        const Entry entry(server.Url(TestPath()));
        entry.Seed(OkHeader("old"), "old");
        for (const std::string &temp : {entry.header + ".tmp", entry.body + ".tmp"})
            fs::create_directory(temp);  // neither temporary can be made
        Record record(16);
        EXPECT_EQ(Get(entry, record, true), c.served);
        EXPECT_EQ(record.Text(), c.served ? "old" : "");
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_TRUE(server.Requests()[0].HasHeader("If-Modified-Since"));
        EXPECT_EQ(ReadFile(entry.body), "old");
        EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
    }
}

TEST(Download, AnUnreadableHeaderTemporaryFailsTheCall)
{
    // No answer that libcurl accepts leaves the header temporary empty, so
    // the server takes the temporary away while the transfer runs.
    std::string headerTemp;
    bool removed = false;
    ScriptedServer server([&](const RecordedRequest &) {
        std::error_code error;
        removed = fs::remove(headerTemp, error);
        return Answer::Full("HTTP/1.1 200 OK", "new");
    });
    const Entry entry(server.Url(TestPath()));
    headerTemp = entry.header + ".tmp";
    entry.Seed(OkHeader("old"), "old");
    Record record(16);
    const bool ok = Get(entry, record, false);
    if (!removed)
        GTEST_SKIP() << "a file that is open cannot be deleted on this system";
    EXPECT_FALSE(ok);
    EXPECT_TRUE(record.AllZero());
    EXPECT_EQ(ReadFile(entry.body), "old");
    EXPECT_EQ(ReadFile(entry.header), OkHeader("old"));
    EXPECT_EQ(ReadFile(entry.body + ".tmp"), "new") << "the body temporary stays";
}

// --- serving the body ---

TEST(Download, TheBodyFitsWithoutTerminatorOrIsReportedTooLong)
{
    const std::string body = "0123456789";
    ScriptedServer server([&](const RecordedRequest &) { return Answer::Raw(OkHeader(body) + body); });
    const Entry entry(server.Url(TestPath()));
    struct Case {
        unsigned capacity;
        unsigned length;
        int errorCode;
    };
    for (const Case c : {Case{64, 10, 0}, Case{11, 10, 0}, Case{10, 10, 0}, Case{9, 0, 8}}) {
        SCOPED_TRACE(c.capacity);
        Record record(c.capacity);
        EXPECT_TRUE(Get(entry, record, false));
        EXPECT_EQ(record.r.length, c.length);
        EXPECT_EQ(record.r.errorCode, c.errorCode);
        if (c.length == 0)
            EXPECT_TRUE(record.AllZero());
        else
            EXPECT_TRUE(record.HoldsOnly(body)) << "the body, then zeros: " << record.bytes;
        EXPECT_TRUE(record.GuardIntact());
        EXPECT_EQ(ReadFile(entry.body), body) << "the body stays in the entry";
    }
    Record none(0);
    EXPECT_TRUE(Get(entry, none, false)) << "no buffer: the entry is still updated";
    EXPECT_EQ(server.Requests().size(), 5u);
}

TEST(Download, TheCallersBodyPathIsUsedAndItsDirectoriesMade)
{
    const std::string body = "elsewhere";
    ScriptedServer server([&](const RecordedRequest &r) { return Revalidating(r, body); });
    TempDir dir;
    const std::string path = (dir.path() / "a" / "b" / "body.bin").string();
    const Entry entry(server.Url(TestPath()), path);
    for (int call = 0; call < 2; ++call) {
        Record record(32);
        record.r.filePath = const_cast<char *>(path.c_str());
        ASSERT_TRUE(Get(entry, record, true));
        EXPECT_EQ(record.Text(), body);
        EXPECT_EQ(record.r.filePath, path.c_str());
    }
    EXPECT_EQ(ReadFile(path), body);
    EXPECT_EQ(ReadFile(entry.header), OkHeader(body)) << "the header file stays in the cache directory";
    EXPECT_FALSE(Exists(zelmo::cache::EntryPathsOf(entry.url).body));
    EXPECT_TRUE(server.Requests()[1].HasHeader("If-Modified-Since"));
}

// Links planted at the download's temporaries ("<md5>.tmp", "<md5>h.tmp",
// names anyone can tell) are removed, never written through: the answer
// lands in new files and becomes the entry.
TEST(Download, ALinkPlantedAtATemporaryIsNeverWrittenThrough)
{
    {
        TempDir probe;
        std::error_code error;
        fs::create_symlink(probe.path() / "target", probe.path() / "link", error);
        if (error)
            GTEST_SKIP() << "symbolic links cannot be made here: " << error.message();
    }
    const std::string body = "downloaded body\n";
    ScriptedServer server([&](const RecordedRequest &r) { return Revalidating(r, body); });
    const Entry entry(server.Url(TestPath()));
    TempDir outside;
    const std::string victim = (outside.path() / "victim").string();
    const std::string dangling = (outside.path() / "dangling").string();
    std::ofstream(victim, std::ios::binary) << "untouched";
    zelmo::frame::CreateDirectoriesOf(entry.header.c_str());
    fs::create_symlink(victim, entry.body + ".tmp");
    fs::create_symlink(dangling, entry.header + ".tmp");
    Record record(64);
    ASSERT_TRUE(Get(entry, record, true));
    EXPECT_TRUE(record.HoldsOnly(body));
    EXPECT_EQ(ReadFile(victim), "untouched");
    EXPECT_FALSE(Exists(dangling));
    EXPECT_EQ(ReadFile(entry.body), body);
    EXPECT_FALSE(fs::is_symlink(entry.body));
    EXPECT_FALSE(fs::is_symlink(entry.header));
}

TEST(Download, OverLongPathsAreRefused)
{
    ScriptedServer server([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "x"); });
    TempDir dir;
    const std::string base = dir.path().string() + "/";
    struct Case {
        std::size_t length;
        bool accepted;
    };
    for (const Case c : {Case{255, true}, Case{256, false}, Case{400, false}}) {
        SCOPED_TRACE(c.length);
        ASSERT_LT(base.size() + 8, c.length);
        const std::string path = base + std::string(c.length - base.size(), 'p');
        const Entry entry(server.Url(TestPath() + std::to_string(c.length)), path);
        Record record(16);
        record.r.filePath = const_cast<char *>(path.c_str());
        const bool ok = Get(entry, record, false);
        if (c.accepted && !ok && zelmo::test::os::UnderWine())
            continue;  // wine's ANSI file calls may stop short of 259 characters
        EXPECT_EQ(ok, c.accepted);
        EXPECT_EQ(Exists(path), c.accepted);
        EXPECT_FALSE(Exists(path + ".tmp"));
        EXPECT_TRUE(record.GuardIntact());
    }
}

TEST(Download, MissingArgumentsAndThePlaceholder)
{
    Record record(8);
    EXPECT_FALSE(HttpDownload_SYNC(nullptr, &record.r, true, 0, nullptr, nullptr));
    EXPECT_FALSE(HttpDownload_SYNC("http://127.0.0.1:1/", nullptr, true, 0, nullptr, nullptr));
    EXPECT_EQ(record.bytes, std::string(8, '#') + std::string(16, '#')) << "the record is untouched";
    EXPECT_EQ(HttpDownload_NoSYNC(1, 2, 3, 4, 5, 6), 1);
    EXPECT_EQ(HttpDownload_NoSYNC(0, 0, 0, 0, 0, 0), 1);
}

TEST(Download, ReadWholeFileStopsAtTheFirstNul)
{
    TempDir dir;
    struct Case {
        std::string content;
        bool ok;
        std::string text;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", true, "HTTP/1.1 200 OK\r\n\r\n"},
        {std::string("ab\0cd", 5), true, "ab"},
        {"", false, "unchanged"},
    };
    for (const Case &c : cases) {
        const std::string path = dir.Write("file", c.content);
        std::string text = "unchanged";
        EXPECT_EQ(zelmo::http::ReadWholeFile(path.c_str(), text), c.ok);
        EXPECT_EQ(text, c.text);
    }
    std::string text;
    EXPECT_FALSE(zelmo::http::ReadWholeFile((dir.path() / "missing").string().c_str(), text));
}

// --- against nginx, which the CTest fixture nginx-fixture runs ---

TEST(DownloadNginx, FirstDownloadRevalidationAndAChangedFile)
{
    const fs::path fixture = NginxDirectory();
    if (const std::string reason = NginxSkipReason("port"); !reason.empty())
        GTEST_SKIP() << reason;
    const std::string port = NginxPort("port");
    const std::string name = TestName() + ".txt";
    const fs::path page = fixture / "root" / name;
    const std::string log = (fixture / "access.log").string();
    // The status nginx logged for the `n`-th request of the page. nginx logs
    // after it has answered, so the line may take a moment to appear.
    const auto loggedStatus = [&](std::size_t n) {
        const std::string request = "\"GET /" + name + " ";
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string text = ReadFile(log);
            std::size_t at = 0, seen = 0;
            while ((at = text.find(request, at)) != std::string::npos) {
                const std::size_t status = text.find("\" ", at + 1);
                if (++seen == n && status != std::string::npos)
                    return text.substr(status + 2, 3);
                at += request.size();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::string("(not logged)");
    };

    std::ofstream(page, std::ios::binary) << "first version\n";
    zelmo::test::SetLastWriteYear(page, 2020);
    const Entry entry("http://127.0.0.1:" + port + "/" + name);

    Record first(64);
    ASSERT_TRUE(Get(entry, first, true));
    EXPECT_EQ(first.Text(), "first version\n");
    EXPECT_EQ(loggedStatus(1), "200");
    EXPECT_NE(ReadFile(entry.header).find("Last-Modified: "), std::string::npos);
    const std::string storedHeader = ReadFile(entry.header);

    Record second(64);
    ASSERT_TRUE(Get(entry, second, true));
    EXPECT_EQ(second.Text(), "first version\n") << "served from the cache";
    EXPECT_EQ(loggedStatus(2), "304");
    EXPECT_EQ(ReadFile(entry.header), storedHeader);

    std::ofstream(page, std::ios::binary | std::ios::trunc) << "second, longer version\n";
    zelmo::test::SetLastWriteYear(page, 2021);
    Record third(64);
    ASSERT_TRUE(Get(entry, third, true));
    EXPECT_EQ(third.Text(), "second, longer version\n") << "fetched again in full";
    EXPECT_EQ(loggedStatus(3), "200");
    EXPECT_EQ(ReadFile(entry.body), "second, longer version\n");
    fs::remove(page);
}

// A process killed at any moment of a commit (the body's rename, then the
// header's) leaves the old entry, the new one whole, or no body file (the
// entry is then incomplete and downloaded in full); never a header that
// calls a torn or foreign body complete. The next call mends the entry.
TEST(DownloadNginx, AProcessKilledDuringTheCommitLeavesAWholeEntry)
{
    if (const std::string reason = NginxSkipReason("port"); !reason.empty())
        GTEST_SKIP() << reason;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string name = TestName() + ".txt";
    const fs::path page = NginxDirectory() / "root" / name;
    const std::string oldBody = "old body\n", newBody = "the new body, longer than the old\n";
    std::ofstream(page, std::ios::binary) << newBody;
    const Entry entry("http://127.0.0.1:" + NginxPort("port") + "/" + name);
    struct Case {
        int rename;         // 1: the body's, 2: the header's
        bool after;         // killed just after it, or just before
        const char *body;   // the body file left, or null for none
        bool newHeader;
    };
    const Case cases[] = {
        {1, false, nullptr, false},
        {1, true, "new", false},
        {2, false, "new", false},
        {2, true, "new", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("rename " + std::to_string(c.rename) + (c.after ? ", killed after it" : ", killed before it"));
        entry.Clean();
        entry.Seed(OkHeader(oldBody), oldBody);
        EXPECT_EXIT(
            {
                zelmo::test::ExitAtRename(c.rename, c.after, 7);
                Record record(64);
                Get(entry, record, false);
                std::_Exit(0);
            },
            testing::ExitedWithCode(7), "");
        if (c.body == nullptr)
            EXPECT_FALSE(Exists(entry.body));
        else
            EXPECT_EQ(ReadFile(entry.body), newBody);
        const std::string header = ReadFile(entry.header);
        if (c.newHeader)
            EXPECT_NE(header.find("Content-Length: " + std::to_string(newBody.size()) + "\r\n"), std::string::npos);
        else
            EXPECT_EQ(header, OkHeader(oldBody));
        // Complete only where the header belongs to the body beside it.
        EXPECT_EQ(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0), c.newHeader);
        Record next(64);
        ASSERT_TRUE(Get(entry, next, true));
        EXPECT_EQ(next.Text(), newBody);
    }
    fs::remove(page);
}

// Over HTTPS where nginx offers HTTP/2 as well, all three exports speak
// HTTP/1.1, whose status lines they judge. The fixture's test CA is trusted
// only inside a private mount namespace, in which this test runs again.
TEST(DownloadNginx, AllExportsSpeakHttp11WhereHttp2IsOffered)
{
    if (zelmo::test::os::UnderWine())
        GTEST_SKIP() << "Schannel under wine verifies no certificate; the Windows builds speak HTTP/1.1 only";
    if (const std::string reason = NginxSkipReason("https-port"); !reason.empty())
        GTEST_SKIP() << reason;
    if (Exists((NginxDirectory() / "https-skip").string()))
        GTEST_SKIP() << ReadFile((NginxDirectory() / "https-skip").string());
    if (!zelmo::test::os::InPrivateTrust()) {
        std::string output, reason;
        const int status = zelmo::test::os::RerunTrustingOnly((NginxDirectory() / "tls" / "ca.pem").string(),
                                                              "DownloadNginx.AllExportsSpeakHttp11WhereHttp2IsOffered",
                                                              output, reason);
        if (status == -1)
            GTEST_SKIP() << reason;
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
        return;
    }
    const std::string base = "https://127.0.0.1:" + NginxPort("https-port") + "/";

    Record posted(1024);
    EXPECT_EQ(HttpRequest_SYNC((base + "post").c_str(), "a=b", &posted.r, 10, nullptr, nullptr), 1);
    EXPECT_EQ(posted.Text(), "posted\n");
    TempDir dir;
    const std::string file = dir.Write("form.txt", "form data");
    Record uploaded(1024);
    std::memset(uploaded.r.buffer, 0, 1024);
    EXPECT_EQ(HttpUpload_SYNC((base + "post").c_str(), file.c_str(), &uploaded.r, 10, 10, 0, 0), 1);
    EXPECT_EQ(uploaded.Text(), "posted\n");

    const std::string name = TestName() + ".txt";
    const fs::path page = NginxDirectory() / "root" / name;
    std::ofstream(page, std::ios::binary) << "over TLS\n";
    const Entry entry(base + name);
    for (int call = 0; call < 2; ++call) {  // a download, then a revalidation
        SCOPED_TRACE(call);
        Record record(64);
        EXPECT_TRUE(Get(entry, record, true));
        EXPECT_EQ(record.Text(), "over TLS\n");
        EXPECT_EQ(ReadFile(entry.header).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        EXPECT_TRUE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0));
    }
    fs::remove(page);
}

}  // namespace
