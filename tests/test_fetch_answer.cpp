// What the host is given of an answer through zelmo_fetch: every status's
// body, the statuses the cache keeps (and the 28 exports never take for
// theirs), the answer callback with its status, fields and Age, and the
// host's own range requests — against the scripted server, which counts
// what reaches it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "fetch/rules.h"
#include "support/fetch.h"
#include "support/files.h"
#include "support/http_server.h"
#include "support/test_path.h"
#include "zelmo.h"
#include "zelmo_fetch.h"

namespace {

using zelmo::test::TestPath;
using zelmo::test::Now;

namespace fs = std::filesystem;
using zelmo::fetch::FormatHttpDate;
using zelmo::test::Answer;
using zelmo::test::Exists;
using zelmo::test::Fetch;
using zelmo::test::Fetched;
using zelmo::test::ReadFile;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

zelmo::cache::EntryFiles FilesOf(const std::string &cache, const std::string &url)
{
    return zelmo::cache::EntryFilesIn(zelmo::cache::CacheDirectoryOf(cache.c_str()), url);
}

// What the answer callback saw, and how much of the body the sink had by then.
struct Seen {
    int calls = 0;
    int status = 0;
    std::int64_t age = -1;
    std::string header;
    std::size_t index = 0;
    std::size_t sinkBytesBefore = 0;
    const std::string *body = nullptr;  // the sink's string
    int refuse = 0;                     // what the callback returns
};

int ZELMO_API Remember(void *data, const ZelmoFetchAnswer *a)
{
    auto *seen = static_cast<Seen *>(data);
    ++seen->calls;
    seen->status = a->status;
    seen->age = a->age;
    seen->header.assign(a->header, a->header_length);
    seen->index = a->index;
    seen->sinkBytesBefore = seen->body != nullptr ? seen->body->size() : 0;
    return seen->refuse;
}

// A fetch whose answer goes to `seen`.
Fetched FetchSeen(const std::string &url, const std::string &cache, int mode, Seen &seen, std::uint32_t flags = 0,
                  const char *const *headers = nullptr)
{
    Fetched f;
    ZelmoFetchOptions options;
    zelmo_fetch_init(&options, &f.r);
    options.cache_dir = cache.c_str();
    options.cache_mode = mode;
    options.timeout_ms = 20000;
    options.flags = flags;
    options.headers = headers;
    options.sink = &zelmo::test::SinkToString;
    options.sink_data = &f.body;
    options.answer = &Remember;
    options.answer_data = &seen;
    seen.body = &f.body;
    f.rc = zelmo_fetch(url.c_str(), &options, &f.r);
    seen.body = nullptr;
    return f;
}

bool HasLine(const std::string &header, const std::string &line)
{
    return header.find("\r\n" + line + "\r\n") != std::string::npos;
}

bool HasField(const std::string &header, const std::string &name)
{
    return header.find("\r\n" + name + ":") != std::string::npos;
}

// --- statuses: delivered, stored where they may be -----------------------------

struct StatusCase {
    const char *statusLine;
    const char *fields;  // extra header lines, each ending in CRLF
    bool stored;         // kept in the cache
    bool freshHit;       // the next fresh-preferring fetch needs no request
};

TEST(FetchStatuses, EachIsDeliveredAndKeptWhereTheRulesAllow)
{
    const std::string date = "Date: " + FormatHttpDate(Now()) + "\r\n";
    const std::string lastModified = "Last-Modified: " + FormatHttpDate(Now() - 10 * 86400) + "\r\n";
    const std::string expires = "Expires: " + FormatHttpDate(Now() + 3600) + "\r\n";
    const StatusCase cases[] = {
        {"HTTP/1.1 200 OK", "", true, false},
        {"HTTP/1.1 200 OK", "Cache-Control: max-age=60\r\n", true, true},
        {"HTTP/1.1 203 Non-Authoritative Information", "Cache-Control: max-age=60\r\n", true, true},
        {"HTTP/1.1 204 No Content", "Cache-Control: max-age=60\r\n", true, true},
        {"HTTP/1.1 300 Multiple Choices", "Cache-Control: max-age=60\r\n", true, true},
        {"HTTP/1.1 404 Not Found", "Cache-Control: max-age=60\r\n", true, true},
        {"HTTP/1.1 404 Not Found", "Cache-Control: max-age=0\r\n", true, false},
        {"HTTP/1.1 404 Not Found", "", false, false},
        {"HTTP/1.1 404 Not Found", "Cache-Control: no-store, max-age=60\r\n", false, false},
        {"HTTP/1.1 405 Method Not Allowed", lastModified.c_str(), true, true},
        {"HTTP/1.1 410 Gone", expires.c_str(), true, true},
        {"HTTP/1.1 414 URI Too Long", lastModified.c_str(), true, true},
        {"HTTP/1.1 501 Not Implemented", lastModified.c_str(), true, true},
        {"HTTP/1.1 500 Internal Server Error", "", false, false},
        {"HTTP/1.1 500 Internal Server Error", lastModified.c_str(), false, false},
        {"HTTP/1.1 500 Internal Server Error", "Cache-Control: max-age=60\r\n", true, true},
        {"HTTP/1.1 201 Created", "", false, false},
        {"HTTP/1.1 201 Created", "Cache-Control: private\r\n", true, false},
        {"HTTP/1.1 202 Accepted", "Cache-Control: max-age=60\r\n", true, true},
    };
    int row = 0;
    for (const StatusCase &c : cases) {
        for (const bool anyStatus : {false, true}) {
            SCOPED_TRACE(std::string(c.statusLine) + " / " + c.fields + (anyStatus ? " / any status" : ""));
            const int status = std::atoi(c.statusLine + 9);
            const bool noBody = status == 204;
            const std::string body = noBody ? "" : "page of " + std::to_string(status);
            ScriptedServer server([&](const RecordedRequest &) {
                return Answer::Full(c.statusLine, body, date + c.fields);
            });
            TempDir dir;
            const std::string cache = dir.path().string();
            const std::string url = server.Url("/r" + std::to_string(row++));
            const zelmo::cache::EntryFiles files = FilesOf(cache, url);
            const std::uint32_t flags = anyStatus ? ZELMO_FETCH_ANY_STATUS : 0;
            const int expectRc = anyStatus || (status >= 200 && status <= 299) ? 0 : ZELMO_FETCH_E_HTTP;

            Seen seen;
            const Fetched f = FetchSeen(url, cache, ZELMO_CACHE_PREFER_FRESH, seen, flags);
            EXPECT_EQ(f.rc, expectRc) << f.r.error_text;
            EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REPLACED);
            EXPECT_EQ(f.r.http_status, status);
            EXPECT_EQ(f.body, body);
            EXPECT_EQ(f.r.bytes_served, static_cast<std::int64_t>(body.size()));
            EXPECT_EQ(seen.calls, 1);
            EXPECT_EQ(seen.status, status);
            EXPECT_EQ(expectRc != 0, std::string(f.r.error_text).find(c.statusLine) != std::string::npos)
                << f.r.error_text;
            EXPECT_EQ(f.r.body_path[0] != '\0', c.stored);
            EXPECT_EQ((f.r.flags & ZELMO_FETCH_RESULT_NOT_STORED) != 0, !c.stored);
            // A 200's header where both interfaces read it, any other's where only the fetch does.
            EXPECT_EQ(Exists(files.header), c.stored && status == 200);
            EXPECT_EQ(Exists(files.statusHeader), c.stored && status != 200);

            Seen again;
            const Fetched g = FetchSeen(url, cache, ZELMO_CACHE_PREFER_FRESH, again, flags);
            EXPECT_EQ(g.rc, expectRc) << g.r.error_text;
            EXPECT_EQ(g.body, body);
            EXPECT_EQ(again.status, status);
            EXPECT_EQ(server.Requests().size(), c.freshHit ? 1u : 2u);
            if (c.freshHit) {
                EXPECT_EQ(g.r.outcome, ZELMO_FETCH_FRESH_HIT);
                EXPECT_EQ(g.r.http_status, expectRc != 0 ? status : 0) << "a hit that fails tells the stored status";
                EXPECT_EQ(ReadFile(g.r.body_path), body);
            }
        }
    }
}

TEST(FetchStatuses, ARequestNobodyAskedARangeOfIsNeitherServedNorStored)
{
    ScriptedServer server([](const RecordedRequest &) {
        return Answer::Full("HTTP/1.1 206 Partial Content", "part", "Content-Range: bytes 0-3/9\r\nCache-Control: max-age=60\r\n");
    });
    TempDir dir;
    Seen seen;
    const Fetched f = FetchSeen(server.Url(TestPath()), dir.path().string(), ZELMO_CACHE_REVALIDATE, seen);
    EXPECT_EQ(f.rc, ZELMO_FETCH_E_HTTP);
    EXPECT_EQ(f.r.outcome, ZELMO_FETCH_FAILED);
    EXPECT_EQ(f.body, "") << "held back, then dropped";
    EXPECT_EQ(seen.calls, 0);
    EXPECT_FALSE(Exists(FilesOf(dir.path().string(), server.Url(TestPath())).statusHeader));
}

// A 5xx's body is held until the fetch knows it serves no stored entry in
// its place; past kHeldMax it goes to the sink as it comes, which rules a
// stored entry out.
TEST(FetchStatuses, AServerErrorsBodyIsHeldUpToItsLimit)
{
    struct Row {
        std::size_t size;
        bool flag;       // ZELMO_FETCH_STALE_IF_ERROR
        bool stale;      // the stored entry served instead
    };
    const std::size_t limit = 1 << 20;
    const Row rows[] = {{limit, true, true}, {limit + 1, true, false}, {limit, false, false}, {limit + 1, false, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.size) + (row.flag ? " stale-if-error" : ""));
        const std::string page(row.size, 'e');
        bool failing = false;
        ScriptedServer server([&](const RecordedRequest &) {
            return failing ? Answer::Full("HTTP/1.1 503 Service Unavailable", page)
                           : Answer::Full("HTTP/1.1 200 OK", "old body", "ETag: \"v1\"\r\n");
        });
        TempDir dir;
        const std::string cache = dir.path().string();
        const std::string url = server.Url(TestPath());
        ASSERT_EQ(Fetch(url, cache).rc, 0);
        failing = true;
        Seen seen;
        const Fetched f = FetchSeen(url, cache, ZELMO_CACHE_REVALIDATE, seen, row.flag ? ZELMO_FETCH_STALE_IF_ERROR : 0);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.sinkBytesBefore, 0u);
        if (row.stale) {
            EXPECT_EQ(f.rc, 0);
            EXPECT_EQ(f.r.outcome, ZELMO_FETCH_SERVED_STALE);
            EXPECT_EQ(f.body, "old body");
            EXPECT_EQ(seen.status, 200);
        } else {
            EXPECT_EQ(f.rc, ZELMO_FETCH_E_HTTP);
            EXPECT_EQ(f.r.http_status, 503);
            EXPECT_TRUE(f.body == page) << f.body.size();
            EXPECT_EQ(seen.status, 503);
        }
        EXPECT_EQ(ReadFile(FilesOf(cache, url).body), "old body") << "a 503 without freshness is not stored";
    }
}

// --- the 28 exports never take another status's entry for theirs ----------

using zelmo::test::Download;
using zelmo::test::ModuleEntry;

TEST(FetchStatuses, TheExportsNeverTakeAnotherStatusForTheirOwn200)
{
    // The 404's page is as long as the stored 200's body: with the 200's
    // header left beside it, the exports would take it for that 200.
    int answer = 404;
    ScriptedServer server([&](const RecordedRequest &) {
        if (answer == 404)
            return Answer::Full("HTTP/1.1 404 Not Found", "gone page 404", "Cache-Control: max-age=600\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "the real body", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n");
    });
    for (const bool over200 : {false, true}) {
        SCOPED_TRACE(over200 ? "a 404 replacing a stored 200" : "a 404 first");
        const ModuleEntry entry(server.Url(TestPath() + (over200 ? "-over" : "")));
        if (over200) {
            answer = 200;
            std::string body;
            ASSERT_TRUE(Download(entry.url, body));
            ASSERT_TRUE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0));
        }
        answer = 404;
        const Fetched f = Fetch(entry.url, "", ZELMO_CACHE_NETWORK_ONLY);
        ASSERT_EQ(f.rc, ZELMO_FETCH_E_HTTP);
        ASSERT_EQ(f.body, "gone page 404");
        EXPECT_EQ(ReadFile(entry.files.body), "gone page 404");
        EXPECT_FALSE(Exists(entry.files.header));
        EXPECT_FALSE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0)) << "no complete entry for the exports";

        // HttpDownload_SYNC asks anew, unconditionally, and stores its 200;
        // the fetch then serves that, not the 404.
        const std::size_t before = server.Requests().size();
        answer = 200;
        std::string body;
        ASSERT_TRUE(Download(entry.url, body));
        EXPECT_EQ(body, "the real body");
        const std::vector<RecordedRequest> requests = server.Requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_FALSE(requests.back().HasHeader("If-Modified-Since"));
        EXPECT_TRUE(GetCacheFileSize(entry.url.c_str(), nullptr, 0, 0));
        const Fetched g = Fetch(entry.url, "", ZELMO_CACHE_ONLY);
        EXPECT_EQ(g.rc, 0) << g.r.error_text;
        EXPECT_EQ(g.body, "the real body");
    }
}

struct Listed {
    int complete = 0, all = 0;
};

int ZELMO_API CountEntries(void *data, const ZelmoCacheEntry *e)
{
    auto *c = static_cast<Listed *>(data);
    c->complete += (e->flags & ZELMO_CACHE_ENTRY_COMPLETE) != 0;
    ++c->all;
    return 0;
}

TEST(FetchStatuses, A200ReplacesAStoredStatusAndA304RefreshesIt)
{
    int step = 0;
    ScriptedServer server([&](const RecordedRequest &r) {
        if (step == 0)
            return Answer::Full("HTTP/1.1 410 Gone", "gone", "ETag: \"g\"\r\nCache-Control: max-age=0\r\n");
        if (step == 1 && r.Header("If-None-Match") == "\"g\"")
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"g\"\r\nX-Seen: again\r\n\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "back again", "ETag: \"b\"\r\n");
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());
    const zelmo::cache::EntryFiles files = FilesOf(cache, url);
    // The listing reads either kind of entry as complete.
    const auto list = [&] {
        Listed count;
        EXPECT_EQ(zelmo_cache_list(cache.c_str(), &CountEntries, &count), 0);
        return count;
    };
    ASSERT_EQ(Fetch(url, cache).rc, ZELMO_FETCH_E_HTTP);
    ASSERT_TRUE(Exists(files.statusHeader));
    EXPECT_EQ(list().complete, 1);

    step = 1;
    Seen seen;
    const Fetched revalidated = FetchSeen(url, cache, ZELMO_CACHE_REVALIDATE, seen);
    EXPECT_EQ(revalidated.rc, ZELMO_FETCH_E_HTTP);
    EXPECT_EQ(revalidated.r.outcome, ZELMO_FETCH_REVALIDATED);
    EXPECT_EQ(revalidated.r.http_status, 410);
    EXPECT_EQ(revalidated.body, "gone");
    EXPECT_EQ(seen.status, 410);
    EXPECT_TRUE(HasLine(seen.header, "X-Seen: again"));
    EXPECT_NE(ReadFile(files.statusHeader).find("X-Seen: again"), std::string::npos) << "refreshed where it lies";
    EXPECT_FALSE(Exists(files.header));

    step = 2;
    const Fetched replaced = Fetch(url, cache);
    EXPECT_EQ(replaced.rc, 0) << replaced.r.error_text;
    EXPECT_EQ(replaced.body, "back again");
    EXPECT_TRUE(Exists(files.header));
    EXPECT_FALSE(Exists(files.statusHeader));

    EXPECT_EQ(list().complete, 1);
    EXPECT_EQ(list().all, 1);

    // A 410 again, over the 200: then removed whole, its status header included.
    step = 0;
    ASSERT_EQ(Fetch(url, cache, ZELMO_CACHE_NETWORK_ONLY).rc, ZELMO_FETCH_E_HTTP);
    ASSERT_TRUE(Exists(files.statusHeader));
    EXPECT_FALSE(Exists(files.header));
    EXPECT_EQ(zelmo_cache_remove(cache.c_str(), url.c_str()), 0);
    EXPECT_FALSE(Exists(files.statusHeader));
    EXPECT_FALSE(Exists(files.body));
    EXPECT_EQ(list().all, 0);
}

// --- the answer callback ------------------------------------------------------

TEST(FetchAnswer, TheHostSeesWhatIsServedBeforeItsBody)
{
    const std::int64_t dated = Now() - 100;
    int step = 0;
    ScriptedServer server([&](const RecordedRequest &r) {
        if (step == 1 && r.Header("If-None-Match") == "\"a\"")
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"a\"\r\nX-Later: 2\r\nConnection: X-Hop\r\nX-Hop: 1\r\n\r\n");
        if (step == 2)
            return Answer::Full("HTTP/1.1 500 Internal Server Error", "broken");
        return Answer::Full("HTTP/1.1 200 OK", "the body",
                            "ETag: \"a\"\r\nDate: " + FormatHttpDate(dated) +
                                "\r\nAge: 30\r\nCache-Control: max-age=3600, stale-if-error=86400\r\nConnection: close, X-Hop\r\n"
                                "X-Hop: 1\r\nKeep-Alive: timeout=5\r\nContent-Type: text/plain\r\n");
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());

    struct Row {
        const char *name;
        int step, mode;
        int outcome;
        const char *extraLine;  // a line the served header holds; null: none checked
    };
    const Row rows[] = {
        {"replaced", 0, ZELMO_CACHE_NETWORK_ONLY, ZELMO_FETCH_REPLACED, nullptr},
        {"fresh hit", 0, ZELMO_CACHE_PREFER_FRESH, ZELMO_FETCH_FRESH_HIT, nullptr},
        {"revalidated", 1, ZELMO_CACHE_REVALIDATE, ZELMO_FETCH_REVALIDATED, "X-Later: 2"},
        {"served stale", 2, ZELMO_CACHE_REVALIDATE, ZELMO_FETCH_SERVED_STALE, "X-Later: 2"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        step = row.step;
        Seen seen;
        const Fetched f = FetchSeen(url, cache, row.mode, seen);
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_EQ(f.r.outcome, row.outcome);
        EXPECT_EQ(f.body, "the body");
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.sinkBytesBefore, 0u) << "told before the body";
        EXPECT_EQ(seen.status, 200);
        EXPECT_EQ(seen.header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << seen.header;
        EXPECT_EQ(seen.header.substr(seen.header.size() - 4), "\r\n\r\n");
        EXPECT_EQ(seen.header.size(), std::strlen(seen.header.c_str()));
        EXPECT_TRUE(HasLine(seen.header, "Content-Type: text/plain"));
        EXPECT_TRUE(HasLine(seen.header, "ETag: \"a\""));
        for (const char *hop : {"Connection", "X-Hop", "Keep-Alive"})
            EXPECT_FALSE(HasField(seen.header, hop)) << hop;
        if (row.extraLine != nullptr) {
            EXPECT_TRUE(HasLine(seen.header, row.extraLine)) << seen.header;
        }
        // Dated 100 s ago, and 30 s old when it left its origin: the larger,
        // plus the time since.
        EXPECT_GE(seen.age, 100);
        EXPECT_LE(seen.age, 100 + 10);
        EXPECT_TRUE(HasLine(seen.header, "Age: " + std::to_string(seen.age))) << seen.header;
    }
}

// A qualified no-cache keeps the answer fresh but for the fields it lists:
// the first answer has them, the stored entry and every hit do not, and a
// 304 that sends them again does not put them back.
TEST(FetchAnswer, FieldsAQualifiedNoCacheListsAreNeverStored)
{
    ScriptedServer server([&](const RecordedRequest &r) {
        const std::string fields = "Cache-Control: max-age=3600\r\nCache-Control: no-cache=\"X-Secret, set-cookie\"\r\n"
                                   "ETag: \"q\"\r\nX-Secret: 1\r\nSet-Cookie: a=b\r\nX-Other: 2\r\n";
        if (r.Header("If-None-Match") == "\"q\"")
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\n" + fields + "\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "body", fields);
    });
    TempDir dir;
    const std::string cache = dir.path().string(), url = server.Url(TestPath());
    const struct {
        const char *name;
        int mode, outcome;
        bool listedSeen;
    } rows[] = {
        {"the answer itself", ZELMO_CACHE_NETWORK_ONLY, ZELMO_FETCH_REPLACED, true},
        {"a fresh hit", ZELMO_CACHE_PREFER_FRESH, ZELMO_FETCH_FRESH_HIT, false},
        {"revalidated by a 304 that sends them", ZELMO_CACHE_REVALIDATE, ZELMO_FETCH_REVALIDATED, false},
        {"a fresh hit after the 304", ZELMO_CACHE_PREFER_FRESH, ZELMO_FETCH_FRESH_HIT, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Seen seen;
        const Fetched f = FetchSeen(url, cache, row.mode, seen);
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_EQ(f.r.outcome, row.outcome);
        EXPECT_EQ(f.body, "body");
        EXPECT_EQ(HasField(seen.header, "X-Secret"), row.listedSeen) << seen.header;
        EXPECT_EQ(HasField(seen.header, "Set-Cookie"), row.listedSeen) << seen.header;
        EXPECT_TRUE(HasLine(seen.header, "X-Other: 2")) << seen.header;
        const std::string stored = zelmo::test::ReadFile(FilesOf(cache, url).header);
        EXPECT_FALSE(HasField(stored, "X-Secret")) << stored;
        EXPECT_FALSE(HasField(stored, "Set-Cookie")) << stored;
        EXPECT_TRUE(HasLine(stored, "X-Other: 2")) << stored;
    }
}

TEST(FetchAnswer, AgeIsTheLargerOfItsFieldAndTheDatesAndGrowsInTheCache)
{
    struct Row {
        const char *fields;
        std::int64_t least, most;  // the age reported at once
    };
    const std::string now = FormatHttpDate(Now());
    const std::string old = FormatHttpDate(Now() - 500);
    const Row rows[] = {
        {"", 0, 2},
        {"Age: 30\r\n", 30, 32},
        {"Age: 7200.0\r\n", 0, 2},  // not an integer: ignored
        {"Age: -5\r\n", 0, 2},
        {"Age: 99999999999999999999\r\n", 2147483648LL, 2147483650LL},
    };
    int n = 0;
    for (const Row &row : rows) {
        for (const bool dated : {false, true}) {
            SCOPED_TRACE(std::string(row.fields) + (dated ? " dated 500 s ago" : " dated now"));
            const std::string fields = "Date: " + (dated ? old : now) + "\r\nCache-Control: max-age=99999999\r\n" + row.fields;
            ScriptedServer server([&](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "b", fields); });
            TempDir dir;
            const std::string url = server.Url("/a" + std::to_string(n++));
            Seen seen;
            ASSERT_EQ(FetchSeen(url, dir.path().string(), ZELMO_CACHE_PREFER_FRESH, seen).rc, 0);
            const std::int64_t least = dated ? std::max<std::int64_t>(row.least, 500) : row.least;
            const std::int64_t most = dated ? std::max<std::int64_t>(row.most, 502) : row.most;
            EXPECT_GE(seen.age, least);
            EXPECT_LE(seen.age, most);
        }
    }
}

TEST(FetchAnswer, ACallbackThatRefusesCancelsWithTheCacheAsItWas)
{
    ScriptedServer server([](const RecordedRequest &) {
        return Answer::Full("HTTP/1.1 200 OK", "body", "Cache-Control: max-age=600\r\n");
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());
    const zelmo::cache::EntryFiles files = FilesOf(cache, url);
    for (const int mode : {ZELMO_CACHE_NETWORK_ONLY, ZELMO_CACHE_PREFER_FRESH}) {
        SCOPED_TRACE(mode == ZELMO_CACHE_NETWORK_ONLY ? "first answer" : "fresh hit");
        const bool stored = Exists(files.header);
        Seen seen;
        seen.refuse = 1;
        const Fetched f = FetchSeen(url, cache, mode, seen);
        EXPECT_EQ(f.rc, ZELMO_FETCH_E_CANCELLED);
        EXPECT_EQ(f.body, "");
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(Exists(files.header), stored);
        if (!stored) {
            ASSERT_EQ(Fetch(url, cache).rc, 0);  // stored now, for the hit
        }
    }
}

struct Told {
    std::vector<int> status = std::vector<int>(3, 0);
    int calls = 0;
};

int ZELMO_API TellStatus(void *data, const ZelmoFetchAnswer *a)
{
    auto *t = static_cast<Told *>(data);
    ++t->calls;
    if (a->index < t->status.size())
        t->status[a->index] = a->status;
    return 0;
}

TEST(FetchAnswer, EachItemOfABatchIsToldWithItsIndex)
{
    ScriptedServer server([](const RecordedRequest &r) {
        return Answer::Full(r.target == "/b1" ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK", "page " + r.target);
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::vector<std::string> urls = {server.Url("/b0"), server.Url("/b1"), server.Url("/b2")};
    std::vector<ZelmoFetchItem> items(urls.size());
    zelmo_fetch_items_init(items.data(), items.size());
    for (std::size_t i = 0; i < urls.size(); ++i)
        items[i].url = urls[i].c_str();
    Told told;
    ZelmoFetchOptions options;
    zelmo_fetch_init(&options, nullptr);
    options.cache_dir = cache.c_str();
    options.answer = &TellStatus;
    options.answer_data = &told;
    EXPECT_EQ(zelmo_fetch_many(items.data(), items.size(), &options), ZELMO_FETCH_E_HTTP);
    EXPECT_EQ(told.calls, 3);
    EXPECT_EQ(told.status, (std::vector<int>{200, 404, 200}));
    EXPECT_EQ(items[1].result.http_status, 404);
}

TEST(FetchAnswer, AFieldIsReadByNameInAnyCase)
{
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Two: a\r\nx-two: b\r\nEmpty:\r\n"
                               "Age: 12\r\n\r\n";
    ZelmoFetchAnswer a{};
    a.size = sizeof a;
    a.status = 200;
    a.header = header.c_str();
    a.header_length = header.size();
    struct Row {
        const char *name;
        std::size_t capacity;
        std::int64_t length;
        const char *value;
    };
    const Row rows[] = {
        {"Content-Type", 64, 9, "text/html"},
        {"content-TYPE", 64, 9, "text/html"},
        {"X-Two", 64, 4, "a, b"},
        {"Empty", 64, 0, ""},
        {"Age", 64, 2, "12"},
        {"Missing", 64, -1, ""},
        {"Content-Type", 10, 9, "text/html"},  // just fits
        {"Content-Type", 9, 9, "text/htm"},    // cut, its whole length told
        {"Content-Type", 1, 9, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " in " + std::to_string(row.capacity));
        char value[64];
        std::memset(value, 'x', sizeof value);
        EXPECT_EQ(zelmo_fetch_answer_field(&a, row.name, value, row.capacity), row.length);
        EXPECT_STREQ(value, row.value);
    }
    char value[8];
    EXPECT_EQ(zelmo_fetch_answer_field(nullptr, "Age", value, sizeof value), -1);
    EXPECT_EQ(zelmo_fetch_answer_field(&a, nullptr, value, sizeof value), -1);
    EXPECT_EQ(zelmo_fetch_answer_field(&a, "Age", nullptr, sizeof value), -1);
    EXPECT_EQ(zelmo_fetch_answer_field(&a, "Age", value, 0), -1);
}

// A host built before the answer callback passes the shorter options.
TEST(FetchAnswer, OptionsOfTheFirstSizeAreTaken)
{
    ScriptedServer server([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "old host"); });
    TempDir dir;
    const std::size_t first = offsetof(ZelmoFetchOptions, answer);
    for (const std::size_t size : {first, first + 1, sizeof(ZelmoFetchOptions) - 1, sizeof(ZelmoFetchOptions)}) {
        SCOPED_TRACE(size);
        const Fetched f = Fetch(server.Url(TestPath()), dir.path().string(), [&](ZelmoFetchOptions &o) {
            o.size = static_cast<std::uint32_t>(size);
        });
        const bool taken = size == first || size == sizeof(ZelmoFetchOptions);
        EXPECT_EQ(f.rc, taken ? 0 : ZELMO_FETCH_E_OPTIONS) << f.r.error_text;
        EXPECT_EQ(f.body, taken ? "old host" : "");
    }
}

// --- the host's own range requests -------------------------------------------

TEST(FetchAnswer, AHostsOwnRangeGoesToTheServerAndIsKeptNowhere)
{
    ScriptedServer server([](const RecordedRequest &r) {
        if (r.HasHeader("Range"))
            return Answer::Full("HTTP/1.1 206 Partial Content", "0123", "Content-Range: bytes 0-3/10\r\nETag: \"r\"\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "0123456789", "ETag: \"r\"\r\nCache-Control: max-age=600\r\n");
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath());
    const zelmo::cache::EntryFiles files = FilesOf(cache, url);
    ASSERT_EQ(Fetch(url, cache).rc, 0);
    const std::string header = ReadFile(files.header);
    const char *const range[] = {"Range: bytes=0-3", nullptr};
    for (const int mode : {ZELMO_CACHE_PREFER_FRESH, ZELMO_CACHE_REVALIDATE}) {
        SCOPED_TRACE(mode);
        Seen seen;
        const Fetched f = FetchSeen(url, cache, mode, seen, 0, range);
        EXPECT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_EQ(f.body, "0123");
        EXPECT_EQ(f.r.http_status, 206);
        EXPECT_EQ(seen.status, 206);
        EXPECT_TRUE(HasLine(seen.header, "Content-Range: bytes 0-3/10"));
        EXPECT_NE(f.r.flags & ZELMO_FETCH_RESULT_NOT_STORED, 0u);
        const RecordedRequest last = server.Requests().back();
        EXPECT_EQ(last.Header("Range"), "bytes=0-3");
        EXPECT_FALSE(last.HasHeader("If-None-Match")) << "sent as the host wrote it";
        EXPECT_EQ(ReadFile(files.header), header) << "the stored entry stays as it was";
        EXPECT_EQ(ReadFile(files.body), "0123456789");
    }
    const Fetched cacheOnly = Fetch(url, cache, ZELMO_CACHE_ONLY, [&](ZelmoFetchOptions &o) { o.headers = range; });
    EXPECT_EQ(cacheOnly.rc, ZELMO_FETCH_E_NOT_CACHED) << "no stored range to serve";
}

}  // namespace

namespace {

// Interim answers (1xx) before the final one are not the answer: neither
// served, stored, nor shown to the host.
TEST(FetchAnswer, InterimAnswersAreNotTheAnswer)
{
    const char *interims[] = {"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n",
                              "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"};
    int n = 0;
    for (const char *interim : interims) {
        SCOPED_TRACE(interim);
        ScriptedServer server([&](const RecordedRequest &) {
            return Answer::Raw(std::string(interim) + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nETag: \"i\"\r\n\r\nfinal");
        });
        TempDir dir;
        const std::string cache = dir.path().string();
        const std::string url = server.Url("/i" + std::to_string(n++));
        Seen seen;
        const Fetched f = FetchSeen(url, cache, ZELMO_CACHE_REVALIDATE, seen);
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_EQ(f.body, "final");
        EXPECT_EQ(f.r.http_status, 200);
        EXPECT_EQ(seen.status, 200);
        EXPECT_FALSE(HasField(seen.header, "Link"));
        const std::string stored = ReadFile(FilesOf(cache, url).header);
        EXPECT_EQ(stored.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << stored;
        EXPECT_EQ(stored.find("Link:"), std::string::npos);
    }
}

}  // namespace
