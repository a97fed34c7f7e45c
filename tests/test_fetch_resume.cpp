// zelmo_fetch's resume of a partial body: what a cut or cancelled 200 keeps,
// the range request that continues it, every kind of answer that must not
// be joined to it (against the scripted server, asserting the request lines
// and the files on disk), a crash in the middle of a resume, and a real
// resume against nginx.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "fetch/partial.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/fetch.h"
#include "support/http_server.h"
#include "support/test_path.h"
#include "support/nginx.h"
#include "support/os.h"
#include "zelmo_fetch.h"

namespace {

using zelmo::test::TestPath;

using zelmo::test::Fetch;
using zelmo::test::Fetched;
using zelmo::test::RefusingSink;
using zelmo::test::SinkToString;
using zelmo::test::NginxBase;
using zelmo::test::NginxDirectory;
using zelmo::test::NginxPort;
using zelmo::test::NginxSkipReason;
namespace fs = std::filesystem;
namespace os = zelmo::test::os;
using zelmo::test::Answer;
using zelmo::test::Exists;
using zelmo::test::ReadFile;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

// Cancels once at least half of the body has come.
int ZELMO_API CancelAtHalf(void *, int64_t received, int64_t total)
{
    return total > 0 && received * 2 >= total ? 1 : 0;
}

struct Files {
    zelmo::cache::EntryFiles entry;
    std::string partBody, partHeader, partMeta;
};

Files FilesOf(const std::string &cacheDir, const std::string &url)
{
    std::string dir = cacheDir;
    if (dir.back() != zelmo::platform::kPathSeparator)
        dir += zelmo::platform::kPathSeparator;
    Files f{zelmo::cache::EntryFilesIn(dir, url), {}, {}, {}};
    f.partBody = f.entry.body + "p";
    f.partHeader = f.entry.body + "ph";
    f.partMeta = f.entry.body + "pm";
    return f;
}

// A body whose bytes tell their offsets apart.
std::string Pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 131 + (i >> 12));
    return s;
}

constexpr std::size_t kTotal = 300000;
constexpr std::size_t kCut = 100000;

std::string Head200(const std::string &validators, std::size_t length = kTotal)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n" + validators + "\r\n";
}

// The first fetch's answer: a 200 with a strong ETag, cut after kCut bytes.
Answer Cut200(const std::string &body)
{
    return Answer::Raw(Head200("ETag: \"v1\"\r\n") + body.substr(0, kCut), true);
}

Answer Range206(const std::string &body, std::size_t from, const std::string &extra = "ETag: \"v1\"\r\n")
{
    return Answer::Full("HTTP/1.1 206 Partial Content", body.substr(from),
                        "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) + "/" +
                            std::to_string(body.size()) + "\r\n" + extra);
}

// --- what a failed transfer keeps ---

struct KeepCase {
    const char *name;
    std::string validators;  // of the 200, whose body is cut after kCut bytes, or refused, or cancelled
    bool chunked;
    std::function<void(ZelmoFetchOptions &)> tweak;
    const char *ifRange;     // the If-Range the next fetch sends; null: no partial kept
};

TEST(FetchResume, AFailedTwoHundredKeepsAPartialOnlyWhenItCanBeResumed)
{
    const std::string body = Pattern(kTotal);
    const std::string lastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    const auto cancel = [](ZelmoFetchOptions &o) { o.progress = &CancelAtHalf; };
    const KeepCase cases[] = {
        {"strong ETag, cut", "ETag: \"v1\"\r\n", false, nullptr, "\"v1\""},
        {"Last-Modified only, cut", "Last-Modified: " + lastModified + "\r\n", false, nullptr, lastModified.c_str()},
        {"weak ETag and Last-Modified, cut", "ETag: W/\"w\"\r\nLast-Modified: " + lastModified + "\r\n", false,
         nullptr, lastModified.c_str()},
        {"cancelled by progress", "ETag: \"v1\"\r\n", false, cancel, "\"v1\""},
        {"weak ETag only", "ETag: W/\"w\"\r\n", false, nullptr, nullptr},
        {"no validator", "", false, nullptr, nullptr},
        {"no length (chunked)", "ETag: \"v1\"\r\n", true, nullptr, nullptr},
        {"sink refusal", "ETag: \"v1\"\r\n", false, [](ZelmoFetchOptions &o) { o.sink = &RefusingSink; }, nullptr},
        {"no-resume flag", "ETag: \"v1\"\r\n", false, [](ZelmoFetchOptions &o) { o.flags = ZELMO_FETCH_NO_RESUME; },
         nullptr},
    };
    for (const KeepCase &c : cases) {
        SCOPED_TRACE(c.name);
        // The whole body for the progress callback to cancel, else a cut one;
        // in pieces, so that the callbacks see it arrive.
        const bool cancelling = c.tweak && c.ifRange != nullptr;
        const std::string text =
            c.chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + c.validators + "\r\n" +
                            zelmo::test::Chunked(body, 20000).substr(0, kCut)
                      : Head200(c.validators) + body.substr(0, cancelling ? kTotal : kCut);
        ScriptedServer server([&](const RecordedRequest &request) {
            if (!request.HasHeader("Range")) {
                Answer a = Answer::InPieces(text, std::vector<std::size_t>(20, 20000), 5);
                a.close = true;
                return a;
            }
            return Range206(body, std::stoul(request.Header("Range").substr(6)), c.validators);
        });
        TempDir dir;
        const std::string cache = dir.path().string();
        const std::string url = server.Url(TestPath());
        const Files files = FilesOf(cache, url);
        const Fetched first = Fetch(url, cache, c.tweak);
        EXPECT_NE(first.rc, 0);
        EXPECT_FALSE(Exists(files.entry.header)) << "a partial is never an entry";
        EXPECT_FALSE(Exists(files.entry.body));
        EXPECT_EQ(Exists(files.partMeta), c.ifRange != nullptr);
        EXPECT_EQ(Exists(files.partBody), c.ifRange != nullptr);
        const Fetched second = Fetch(url, cache);
        const std::vector<RecordedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].Header("If-Range"), c.ifRange ? c.ifRange : "");
        EXPECT_EQ(requests[1].Header("Range"), c.ifRange ? "bytes=" + std::to_string(first.r.bytes_received) + "-" : "");
        if (c.ifRange != nullptr) {
            EXPECT_EQ(second.rc, 0) << second.r.error_text;
            EXPECT_EQ(second.r.outcome, ZELMO_FETCH_RESUMED);
            EXPECT_EQ(second.r.resumed_from, first.r.bytes_received);
            EXPECT_EQ(second.r.bytes_received, static_cast<int64_t>(kTotal) - first.r.bytes_received);
            EXPECT_EQ(second.r.bytes_served, static_cast<int64_t>(kTotal));
            EXPECT_TRUE(second.body == body) << "the sink gets the kept part, then the rest";
            EXPECT_TRUE(ReadFile(files.entry.body) == body);
            EXPECT_FALSE(Exists(files.partMeta) || Exists(files.partBody) || Exists(files.partHeader));
            const Fetched hit = Fetch(url, cache, [](ZelmoFetchOptions &o) { o.cache_mode = ZELMO_CACHE_ONLY; });
            EXPECT_EQ(hit.rc, 0) << hit.r.error_text << " (the whole body's checksum is stored)";
        }
    }
}

// --- what a range request's answer does with the partial ---

struct RangeCase {
    const char *name;
    std::function<Answer(const std::string &body)> second;  // the answer to the range request
    int outcome;               // of the second fetch
    std::size_t requests;      // requests of the second fetch, the range request included
    std::string finalBody;     // the entry afterwards; empty: none
    int error = ZELMO_FETCH_OK;  // of the second fetch: a 206 found wrong only after the sink had bytes
};

TEST(FetchResume, AnAnswerThatDoesNotContinueThePartialIsNeverJoinedToIt)
{
    const std::string body = Pattern(kTotal);
    const std::string changed = Pattern(kTotal + 7).substr(7);  // same length, other bytes
    const std::string rest = body.substr(kCut);
    const RangeCase cases[] = {
        {"206 that continues it", [](const std::string &b) { return Range206(b, kCut); }, ZELMO_FETCH_RESUMED, 1, body},
        {"server ignores Range (200)",
         [](const std::string &b) { return Answer::Full("HTTP/1.1 200 OK", b, "ETag: \"v1\"\r\n"); },
         ZELMO_FETCH_REPLACED, 1, body},
        {"changed resource (200 to If-Range)",
         [&](const std::string &) { return Answer::Full("HTTP/1.1 200 OK", changed, "ETag: \"v2\"\r\n"); },
         ZELMO_FETCH_REPLACED, 1, changed},
        {"shifted Content-Range", [](const std::string &b) { return Range206(b, kCut - 1000); }, ZELMO_FETCH_REPLACED, 2,
         body},
        {"wrong total",
         [&](const std::string &) {
             return Answer::Full("HTTP/1.1 206 Partial Content", rest,
                                 "Content-Range: bytes 100000-299999/400000\r\nETag: \"v1\"\r\n");
         },
         ZELMO_FETCH_REPLACED, 2, body},
        {"unknown total (*)",
         [&](const std::string &) {
             return Answer::Full("HTTP/1.1 206 Partial Content", rest,
                                 "Content-Range: bytes 100000-299999/*\r\nETag: \"v1\"\r\n");
         },
         ZELMO_FETCH_REPLACED, 2, body},
        {"unknown total (*), chunked",
         [&](const std::string &) {
             return Answer::Raw("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100000-299999/*\r\n"
                                "ETag: \"v1\"\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                zelmo::test::Chunked(rest, 40000));
         },
         ZELMO_FETCH_REPLACED, 2, body},
        {"validator changed between the halves",
         [&](const std::string &) { return Range206(changed, kCut, "ETag: \"v2\"\r\n"); }, ZELMO_FETCH_REPLACED, 2,
         body},
        {"Content-Length beyond the rest",
         [&](const std::string &) {
             return Answer::Full("HTTP/1.1 206 Partial Content", rest + "tail",
                                 "Content-Range: bytes 100000-299999/300000\r\nETag: \"v1\"\r\n");
         },
         ZELMO_FETCH_REPLACED, 2, body},
        {"more bytes than the total (chunked)",
         [&](const std::string &) {
             return Answer::Raw("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100000-299999/300000\r\n"
                                "ETag: \"v1\"\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                zelmo::test::Chunked(rest + std::string(5000, 'x'), 40000));
         },
         ZELMO_FETCH_FAILED, 1, "", ZELMO_FETCH_E_HTTP},
        {"fewer bytes than the total (chunked)",
         [&](const std::string &) {
             return Answer::Raw("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 100000-299999/300000\r\n"
                                "ETag: \"v1\"\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                zelmo::test::Chunked(rest.substr(0, 1000), 400));
         },
         ZELMO_FETCH_FAILED, 1, "", ZELMO_FETCH_E_HTTP},
        {"416", [](const std::string &) {
             return Answer::Full("HTTP/1.1 416 Range Not Satisfiable", "", "Content-Range: bytes */300000\r\n");
         },
         ZELMO_FETCH_REPLACED, 2, body},
    };
    for (const RangeCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> seen{0};
        ScriptedServer server([&](const RecordedRequest &) {
            const int n = seen++;
            if (n == 0)
                return Cut200(body);
            if (n == 1)
                return c.second(body);
            return Answer::Full("HTTP/1.1 200 OK", body, "ETag: \"v1\"\r\n");
        });
        TempDir dir;
        const std::string cache = dir.path().string();
        const std::string url = server.Url(TestPath());
        const Files files = FilesOf(cache, url);
        ASSERT_EQ(Fetch(url, cache).rc, ZELMO_FETCH_E_TRANSFER);
        ASSERT_EQ(ReadFile(files.partBody).size(), kCut);
        const Fetched f = Fetch(url, cache);
        EXPECT_EQ(f.rc, c.error) << f.r.error_text;
        EXPECT_EQ(f.r.outcome, c.outcome);
        EXPECT_EQ(f.r.resumed_from, c.outcome == ZELMO_FETCH_RESUMED ? static_cast<int64_t>(kCut) : 0);
        if (c.error == ZELMO_FETCH_OK) {
            EXPECT_TRUE(f.body == c.finalBody) << "the sink got " << f.body.size() << " bytes";
        }
        EXPECT_TRUE(ReadFile(files.entry.body) == c.finalBody);
        EXPECT_EQ(Exists(files.entry.header), !c.finalBody.empty());
        EXPECT_FALSE(Exists(files.partMeta) || Exists(files.partBody) || Exists(files.partHeader));
        const std::vector<RecordedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), 1 + c.requests);
        EXPECT_EQ(requests[1].Header("Range"), "bytes=100000-");
        EXPECT_EQ(requests[1].Header("If-Range"), "\"v1\"");
        if (c.requests == 2) {  // the body fetched whole, unconditionally
            EXPECT_FALSE(requests[2].HasHeader("Range"));
            EXPECT_FALSE(requests[2].HasHeader("If-Range"));
            EXPECT_FALSE(requests[2].HasHeader("If-None-Match"));
        }
    }
}

TEST(FetchResume, ASecondHalfCutTooKeepsTheGrownPartial)
{
    const std::string body = Pattern(kTotal);
    std::atomic<int> seen{0};
    ScriptedServer server([&](const RecordedRequest &request) {
        const int n = seen++;
        if (n == 0)
            return Cut200(body);
        if (n == 1) {  // the rest promised, half of it sent
            Answer a = Range206(body, kCut);
            a.pieces[0].bytes.resize(a.pieces[0].bytes.size() - 100000);
            a.close = true;
            return a;
        }
        const std::string range = request.Header("Range");
        return Range206(body, std::stoul(range.substr(6)));
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());
    const Files files = FilesOf(cache, url);
    ASSERT_EQ(Fetch(url, cache).rc, ZELMO_FETCH_E_TRANSFER);
    const Fetched cut = Fetch(url, cache);
    EXPECT_EQ(cut.rc, ZELMO_FETCH_E_TRANSFER);
    EXPECT_EQ(cut.r.bytes_received, 100000);
    EXPECT_EQ(ReadFile(files.partBody), body.substr(0, 200000));
    const Fetched f = Fetch(url, cache);
    EXPECT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_EQ(f.r.outcome, ZELMO_FETCH_RESUMED);
    EXPECT_EQ(f.r.resumed_from, 200000);
    EXPECT_EQ(f.r.bytes_received, 100000);
    EXPECT_TRUE(f.body == body);
    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].Header("Range"), "bytes=100000-");
    EXPECT_EQ(requests[2].Header("Range"), "bytes=200000-");
}

TEST(FetchResume, APartialLeavesTheOldEntryServableAndTheNoResumeFlagDropsIt)
{
    const std::string body = Pattern(kTotal);
    std::atomic<int> seen{0};
    ScriptedServer server([&](const RecordedRequest &) {
        const int n = seen++;
        if (n == 0)
            return Answer::Full("HTTP/1.1 200 OK", "old body", "ETag: \"old\"\r\n");
        if (n == 1)
            return Cut200(body);
        return Answer::Full("HTTP/1.1 200 OK", body, "ETag: \"v1\"\r\n");
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());
    const Files files = FilesOf(cache, url);
    ASSERT_EQ(Fetch(url, cache).rc, 0);
    const std::string oldHeader = ReadFile(files.entry.header), oldMeta = ReadFile(files.entry.meta);
    EXPECT_EQ(Fetch(url, cache, [](ZelmoFetchOptions &o) { o.cache_mode = ZELMO_CACHE_NETWORK_ONLY; }).rc,
              ZELMO_FETCH_E_TRANSFER);
    ASSERT_TRUE(Exists(files.partMeta));
    EXPECT_EQ(ReadFile(files.entry.body), "old body");
    EXPECT_EQ(ReadFile(files.entry.header), oldHeader);
    EXPECT_EQ(ReadFile(files.entry.meta), oldMeta);
    const Fetched old = Fetch(url, cache, [](ZelmoFetchOptions &o) { o.cache_mode = ZELMO_CACHE_ONLY; });
    EXPECT_EQ(old.r.outcome, ZELMO_FETCH_FRESH_HIT);
    EXPECT_EQ(old.body, "old body");
    EXPECT_TRUE(Exists(files.partMeta)) << "a fetch without a request leaves the partial";

    const Fetched f = Fetch(url, cache, [](ZelmoFetchOptions &o) { o.flags = ZELMO_FETCH_NO_RESUME; });
    EXPECT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REPLACED);
    EXPECT_TRUE(f.body == body);
    EXPECT_FALSE(Exists(files.partMeta) || Exists(files.partBody) || Exists(files.partHeader));
    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[2].HasHeader("Range"));
    EXPECT_EQ(requests[2].Header("If-None-Match"), "\"old\"") << "the old entry is revalidated as without a partial";
}

// What a process that died while placing or dropping a partial leaves: its
// body and header without the record. They are never resumed from, and go
// at the next 200 of the URL at the latest.
TEST(FetchResume, LeftoversWithoutTheirRecordAreNeverResumedFromAndGoWithTheNextTwoHundred)
{
    struct Case {
        const char *name;
        bool stored;  // a complete entry lies beside the leftovers, revalidated by a 304 first
    };
    for (const Case &c : {Case{"no entry", false}, Case{"beside a complete entry", true}}) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> changed{false};
        ScriptedServer server([&](const RecordedRequest &req) {
            if (!changed && req.Header("If-None-Match") == "\"e\"")
                return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"e\"\r\n\r\n");
            return Answer::Full("HTTP/1.1 200 OK", changed ? "new body" : "old body",
                                changed ? "ETag: \"f\"\r\n" : "ETag: \"e\"\r\n");
        });
        TempDir dir;
        const std::string cache = dir.path().string();
        const std::string url = server.Url(TestPath());
        const Files files = FilesOf(cache, url);
        if (c.stored) {
            ASSERT_EQ(Fetch(url, cache).rc, 0);
        }
        fs::create_directories(dir.path());
        std::ofstream(files.partBody, std::ios::binary) << "old";
        std::ofstream(files.partHeader, std::ios::binary) << Head200("ETag: \"e\"\r\n", 8);
        if (c.stored) {
            const Fetched revalidated = Fetch(url, cache);
            EXPECT_EQ(revalidated.r.outcome, ZELMO_FETCH_REVALIDATED) << revalidated.r.error_text;
            EXPECT_EQ(revalidated.body, "old body");
            changed = true;
        }
        const Fetched f = Fetch(url, cache);
        EXPECT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REPLACED);
        EXPECT_EQ(f.body, c.stored ? "new body" : "old body");
        EXPECT_FALSE(Exists(files.partBody) || Exists(files.partHeader)) << "the leftovers stayed";
        for (const RecordedRequest &req : server.Requests())
            EXPECT_FALSE(req.HasHeader("Range")) << "resumed from leftovers without a record";
    }
}

TEST(FetchResume, RemoveDropsThePartialToo)
{
    const std::string body = Pattern(kTotal);
    ScriptedServer server([&](const RecordedRequest &) { return Cut200(body); });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());
    const Files files = FilesOf(cache, url);
    ASSERT_EQ(Fetch(url, cache).rc, ZELMO_FETCH_E_TRANSFER);
    ASSERT_TRUE(Exists(files.partMeta));
    EXPECT_EQ(zelmo_cache_remove(cache.c_str(), url.c_str()), 0);
    EXPECT_FALSE(Exists(files.partMeta) || Exists(files.partBody) || Exists(files.partHeader));
}

// --- a crash in the middle of a resume ---

int ResumeAndHang(const std::string &args)
{
    const std::size_t space = args.find(' ');
    Fetch(args.substr(0, space), args.substr(space + 1));
    return 0;
}

TEST(FetchResume, AKilledResumeLeavesAPartialThatIsNeverAppendedTwice)
{
    os::ChildTurn(&ResumeAndHang);
    const std::string body = Pattern(4 << 20);
    constexpr std::size_t kFirst = 1 << 20, kSent = (5 << 20) / 2;
    std::atomic<int> seen{0};
    ScriptedServer server([&](const RecordedRequest &request) {
        const int n = seen++;
        if (n == 0)
            return Answer::Raw(Head200("ETag: \"v1\"\r\n", body.size()) + body.substr(0, kFirst), true);
        Answer a = Range206(body, std::stoul(request.Header("Range").substr(6)));
        if (n == 1) {  // the child's resume: part of the rest, then nothing until it is killed
            a.pieces[0].bytes.resize(a.pieces[0].bytes.find("\r\n\r\n") + 4 + kSent);
            for (int i = 0; i < 600; ++i)
                a.pieces.push_back({"", 50});
            a.close = true;
        }
        return a;
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());
    const Files files = FilesOf(cache, url);
    ASSERT_EQ(Fetch(url, cache).rc, ZELMO_FETCH_E_TRANSFER);
    ASSERT_EQ(ReadFile(files.partBody).size(), kFirst);
    const std::intptr_t child = os::StartChild(&ResumeAndHang, url + " " + cache);
    ASSERT_NE(child, -1);
    // Killed once some of the rest is on disk (the rest of what it received
    // stays in its buffer).
    std::uint64_t onDisk = kFirst;
    for (int i = 0; i < 3000 && onDisk == kFirst; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        onDisk = zelmo::platform::ProbeFile(files.partBody.c_str()).size;
    }
    ASSERT_TRUE(os::KillChild(child));
    onDisk = zelmo::platform::ProbeFile(files.partBody.c_str()).size;
    EXPECT_GT(onDisk, kFirst) << "the child appended before it was killed";
    EXPECT_LE(onDisk, kFirst + kSent);
    EXPECT_TRUE(ReadFile(files.partBody) == body.substr(0, onDisk)) << "what is on disk is a prefix of the body";

    const Fetched f = Fetch(url, cache);
    EXPECT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_EQ(f.r.outcome, ZELMO_FETCH_RESUMED);
    EXPECT_EQ(f.r.resumed_from, static_cast<int64_t>(onDisk));
    EXPECT_TRUE(f.body == body);
    EXPECT_TRUE(ReadFile(files.entry.body) == body);
    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].Header("Range"), "bytes=" + std::to_string(onDisk) + "-");
}

// --- against nginx, which the CTest fixture nginx-fixture runs ---

TEST(FetchNginx, ACancelledFetchResumesWithARangeRequest)
{
    if (const std::string reason = NginxSkipReason(); !reason.empty())
        GTEST_SKIP() << reason;
    TempDir dir;
    const std::string cache = dir.path().string();
    const fs::path page = NginxDirectory() / "root" / "fetch-resume.bin";
    const std::string content = Pattern(6 << 20);
    std::ofstream(page, std::ios::binary | std::ios::trunc) << content;
    const std::string url =
        "http://127.0.0.1:" + std::to_string(std::stoi(ReadFile((NginxDirectory() / "port").string()))) +
        "/fetch-resume.bin";
    const Fetched first = Fetch(url, cache, [](ZelmoFetchOptions &o) { o.progress = &CancelAtHalf; });
    EXPECT_EQ(first.rc, ZELMO_FETCH_E_CANCELLED);
    EXPECT_GE(first.r.bytes_received, static_cast<int64_t>(content.size() / 2));
    EXPECT_LT(first.r.bytes_received, static_cast<int64_t>(content.size()));
    const Fetched f = Fetch(url, cache);
    EXPECT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_EQ(f.r.outcome, ZELMO_FETCH_RESUMED);
    EXPECT_EQ(f.r.http_status, 206);
    EXPECT_EQ(f.r.resumed_from, first.r.bytes_received);
    EXPECT_EQ(f.r.bytes_received, static_cast<int64_t>(content.size()) - first.r.bytes_received);
    EXPECT_TRUE(f.body == content);
    EXPECT_TRUE(ReadFile(FilesOf(cache, url).entry.body) == content);
    const Fetched again = Fetch(url, cache);
    EXPECT_EQ(again.r.outcome, ZELMO_FETCH_REVALIDATED) << "the resumed entry revalidates as any other";
    fs::remove(page);
}

// Whether a 206 continues a partial of 10 of 100 bytes with ETag "r1": only
// a range from byte 10 to the last byte of the same 100, with no other
// length or validator. An unknown total ("*") never continues it.
TEST(FetchResume, WhichAnswersContinueAPartial)
{
    zelmo::fetch::Partial p;
    p.have = 10;
    p.meta.length = 100;
    p.meta.etag = "\"r1\"";
    const struct {
        const char *fields;
        bool continues;
    } cases[] = {
        {"Content-Range: bytes 10-99/100\r\nContent-Length: 90\r\nETag: \"r1\"", true},
        {"Content-Range: bytes 10-99/100", true},
        {"Content-Range: bytes 10-99/*", false},
        {"Content-Range: bytes 10-99/*\r\nContent-Length: 90", false},
        {"Content-Range: bytes 9-99/100", false},
        {"Content-Range: bytes 11-99/100", false},
        {"Content-Range: bytes 10-98/100", false},
        {"Content-Range: bytes 10-100/101", false},
        {"Content-Range: bytes 10-99/100\r\nContent-Length: 89", false},
        {"Content-Range: bytes 10-99/100\r\nETag: \"r2\"", false},
        {"Content-Range: bytes 10-99/100\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT", false},
        {"Content-Range: bytes */100", false},
        {"Content-Length: 90", false},
    };
    for (const auto &c : cases) {
        const std::string block = std::string("HTTP/1.1 206 Partial Content\r\n") + c.fields + "\r\n\r\n";
        EXPECT_EQ(!zelmo::fetch::RangeMismatch(p, block).has_value(), c.continues) << c.fields;
    }
}

}  // namespace
