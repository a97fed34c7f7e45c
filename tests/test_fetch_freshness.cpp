// The cache's freshness rules through zelmo_fetch, against the scripted
// server, which counts what reaches it: the Age field, HTTP dates in every
// form and letter case, the fields never stored, and the request's own
// Cache-Control.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <ctime>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "cache/entry.h"
#include "fetch/rules.h"
#include "header/fields.h"
#include "platform/platform.h"
#include "support/fetch.h"
#include "support/files.h"
#include "support/http_server.h"
#include "support/test_path.h"
#include "zelmo_fetch.h"

namespace {

using zelmo::test::TestPath;
using zelmo::test::Now;

using zelmo::fetch::FormatHttpDate;
using zelmo::test::Answer;
using zelmo::test::Fetch;
using zelmo::test::Fetched;
using zelmo::test::ReadFile;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

// `t` in each form of HTTP date, with its letters as `letterCase` says:
// 'm' as made (mixed), 'l' lower, 'u' upper.
std::string Cased(std::string text, char letterCase)
{
    for (char &c : text)
        c = letterCase == 'l' ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
            : letterCase == 'u' ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                                : c;
    return text;
}

std::string Imf(std::int64_t t)
{
    return FormatHttpDate(t);  // "Sun, 06 Nov 1994 08:49:37 GMT"
}

std::string Rfc850(std::int64_t t)
{
    static const char *const kLong[][2] = {{"Sun", "Sunday"},   {"Mon", "Monday"}, {"Tue", "Tuesday"},
                                           {"Wed", "Wednesday"}, {"Thu", "Thursday"}, {"Fri", "Friday"},
                                           {"Sat", "Saturday"}};
    const std::string imf = Imf(t);
    std::string day;
    for (const auto &names : kLong)
        if (imf.compare(0, 3, names[0]) == 0)
            day = names[1];
    // "Sunday, 06-Nov-94 08:49:37 GMT"
    return day + ", " + imf.substr(5, 2) + "-" + imf.substr(8, 3) + "-" + imf.substr(14, 2) + " " + imf.substr(17);
}

std::string Asctime(std::int64_t t)
{
    const std::string imf = Imf(t);
    std::string day = imf.substr(5, 2);
    if (day[0] == '0')
        day[0] = ' ';
    // "Sun Nov  6 08:49:37 1994"
    return imf.substr(0, 3) + " " + imf.substr(8, 3) + " " + day + " " + imf.substr(17, 8) + " " + imf.substr(12, 4);
}

// A server whose 200 carries `fields` and an ETag, and that answers 304 to
// a request that sends the ETag back.
ScriptedServer ValidatingServer(const std::string &fields, const std::string &body = "the body")
{
    return ScriptedServer([fields, body](const RecordedRequest &req) {
        if (req.Header("If-None-Match") == "\"e1\"")
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"e1\"\r\n\r\n");
        return Answer::Full("HTTP/1.1 200 OK", body, fields + "ETag: \"e1\"\r\n");
    });
}

// The first fetch stores the answer; the second, preferring fresh entries,
// tells whether it was fresh: a hit without a request, or revalidated.
struct Second {
    Fetched f;
    std::size_t requests = 0;
};

Second StoreThenPreferFresh(const std::string &fields, const std::string &name)
{
    ScriptedServer server = ValidatingServer(fields);
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath() + "-" + name);
    const Fetched first = Fetch(url, cache);
    EXPECT_EQ(first.r.outcome, ZELMO_FETCH_REPLACED) << first.r.error_text;
    Second second{Fetch(url, cache, ZELMO_CACHE_PREFER_FRESH), 0};
    second.requests = server.Requests().size() - 1;
    EXPECT_EQ(second.f.rc, 0) << second.f.r.error_text;
    EXPECT_EQ(second.f.body, "the body");
    return second;
}

// --- Age ---

// An Age that is not one non-negative integer is ignored (RFC 9111 5.1);
// a huge one makes the answer stale, never fresh by an overflow.
TEST(FetchAge, OnlyAnIntegerAgeCounts)
{
    const struct {
        const char *age;
        bool fresh;  // with max-age=100
    } cases[] = {
        {"0", true},
        {"50", true},
        {"150", false},
        {" 150 ", false},
        {"2147483648", false},
        {"99999999999999999999999999", false},
        {"7200.0", true},
        {"150.0", true},
        {"-5", true},
        {"-150", true},
        {"abc", true},
        {"1 2", true},
        {"150abc", true},
        {"", true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("Age: '") + c.age + "'");
        const Second s = StoreThenPreferFresh(std::string("Cache-Control: max-age=100\r\nAge: ") + c.age + "\r\n",
                                              std::to_string(n++));
        EXPECT_EQ(s.f.r.outcome, c.fresh ? ZELMO_FETCH_FRESH_HIT : ZELMO_FETCH_REVALIDATED);
        EXPECT_EQ(s.requests, c.fresh ? 0u : 1u);
    }
}

// --- HTTP dates ---

// Expires (and Date) in each of the three forms, in any letter case, give
// the answer its freshness; a date that cannot be read leaves it stale.
TEST(FetchDates, ExpiresInEveryFormAndLetterCase)
{
    struct Case {
        std::string what, fields;
        bool fresh;
    };
    std::vector<Case> cases;
    const std::int64_t now = Now();
    const struct {
        const char *name;
        std::string (*format)(std::int64_t);
    } forms[] = {{"IMF-fixdate", &Imf}, {"RFC 850", &Rfc850}, {"asctime", &Asctime}};
    for (const auto &form : forms)
        for (const char letterCase : {'m', 'l', 'u'}) {
            const std::string name = std::string(form.name) + " " + letterCase;
            const auto date = [&](std::int64_t t) { return Cased(form.format(t), letterCase); };
            cases.push_back({name + ", an hour ahead", "Expires: " + date(now + 3600) + "\r\n", true});
            cases.push_back({name + ", an hour ago", "Expires: " + date(now - 3600) + "\r\n", false});
            // A Date ahead of the receiver's clock, read, makes an Expires
            // before it already past; were the Date not read, the Expires
            // would count from the answer's arrival and leave it fresh.
            cases.push_back({name + ", Expires before a Date ahead of the clock",
                             "Date: " + date(now + 3000) + "\r\nExpires: " + date(now + 1000) + "\r\n", false});
            cases.push_back({name + ", Expires after a Date ahead of the clock",
                             "Date: " + date(now + 3000) + "\r\nExpires: " + date(now + 6600) + "\r\n", true});
        }
    const std::string ahead = Imf(now + 3600);
    const std::string lower = Cased(ahead, 'l');
    cases.push_back({"another zone", "Expires: " + ahead.substr(0, 26) + "UTC\r\n", false});
    cases.push_back({"a misspelt month", "Expires: " + lower.substr(0, 8) + "xyz" + lower.substr(11) + "\r\n", false});
    cases.push_back({"a misspelt day", "Expires: xyz" + lower.substr(3) + "\r\n", false});
    cases.push_back({"no zone", "Expires: " + lower.substr(0, 25) + "\r\n", false});
    cases.push_back({"a one-digit day", "Expires: " + ahead.substr(0, 5) + "3" + ahead.substr(7) + "\r\n", false});
    cases.push_back({"seconds, not a date", "Expires: " + std::to_string(now + 3600) + "\r\n", false});

    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what + ": " + c.fields);
        const Second s = StoreThenPreferFresh(c.fields, std::to_string(n++));
        EXPECT_EQ(s.f.r.outcome, c.fresh ? ZELMO_FETCH_FRESH_HIT : ZELMO_FETCH_REVALIDATED);
        EXPECT_EQ(s.requests, c.fresh ? 0u : 1u);
    }
}

// --- fields never stored ---

// The files of a URL's entry in a cache directory.
zelmo::cache::EntryFiles FilesOf(const std::string &cacheDir, const std::string &url)
{
    std::string dir = cacheDir;
    if (dir.back() != zelmo::platform::kPathSeparator)
        dir += zelmo::platform::kPathSeparator;
    return zelmo::cache::EntryFilesIn(dir, url);
}

// Connection and the fields it names, and the other hop-by-hop fields, are
// in no entry's header file: not after a 200 (with a Content-Length or
// chunked), not after a 304 that carries them, which refreshes the rest.
TEST(FetchHopByHop, NoEntryKeepsTheFieldsOfAConnection)
{
    const std::string hop = "Connection: close, X-Private\r\nX-Private: 1\r\nKeep-Alive: timeout=5, max=100\r\n"
                            "Proxy-Connection: keep-alive\r\nUpgrade: h2c\r\nProxy-Authenticate: Basic\r\n";
    const char *const dropped[] = {"Connection:", "X-Private:", "Keep-Alive:", "Upgrade:", "Proxy-Authenticate:",
                                   "Transfer-Encoding:", "Trailer:"};
    for (const bool chunked : {false, true}) {
        SCOPED_TRACE(chunked ? "chunked" : "with a Content-Length");
        ScriptedServer server([&](const RecordedRequest &req) {
            if (req.Header("If-None-Match") == "\"h1\"")
                return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"h1\"\r\n" + hop + "X-Refreshed: yes\r\n\r\n");
            const std::string fields = hop + "ETag: \"h1\"\r\nX-Kept: yes\r\n";
            if (chunked)
                return Answer::Raw("HTTP/1.1 200 OK\r\n" + fields + "Transfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n" +
                                   zelmo::test::Chunked("stored body", 4));
            return Answer::Full("HTTP/1.1 200 OK", "stored body", fields);
        });
        TempDir dir;
        const std::string cache = dir.path().string();
        const std::string url = server.Url(TestPath() + (chunked ? "-chunked" : ""));
        const zelmo::cache::EntryFiles files = FilesOf(cache, url);
        for (const int outcome : {ZELMO_FETCH_REPLACED, ZELMO_FETCH_REVALIDATED}) {
            SCOPED_TRACE(zelmo_fetch_outcome_name(outcome));
            const Fetched f = Fetch(url, cache);
            ASSERT_EQ(f.rc, 0) << f.r.error_text;
            EXPECT_EQ(f.r.outcome, outcome);
            EXPECT_EQ(f.body, "stored body");
            const std::string header = ReadFile(files.header);
            for (const char *name : dropped)
                EXPECT_EQ(zelmo::header::FindFieldName(header, name), std::string::npos) << name << " in\n" << header;
            EXPECT_NE(zelmo::header::FindFieldName(header, "X-Kept:"), std::string::npos) << header;
            EXPECT_EQ(zelmo::header::FieldValue(header, "Content-Length"), "11") << header;
            EXPECT_EQ(zelmo::header::FieldValue(header, "ETag"), "\"h1\"") << header;
            EXPECT_EQ(zelmo::header::FindFieldName(header, "X-Refreshed:") != std::string::npos,
                      outcome == ZELMO_FETCH_REVALIDATED)
                << header;
        }
        // The entry, so stored, is whole and served as it is.
        const Fetched hit = Fetch(url, cache, ZELMO_CACHE_ONLY);
        EXPECT_EQ(hit.r.outcome, ZELMO_FETCH_FRESH_HIT) << hit.r.error_text;
        EXPECT_EQ(hit.body, "stored body");
    }
}

// --- the request's own Cache-Control ---

enum class Stored { Fresh, Stale, MustRevalidate, Nothing };

// Fields that make the stored answer fresh (100 s old of 1000), stale (by
// 100 s: 200 s old of 100), or stale and must-revalidate; a second or two
// of the clock between the fetches counts for nothing beside them.
std::string FieldsOf(Stored state)
{
    switch (state) {
    case Stored::Fresh: return "Cache-Control: max-age=1000\r\nAge: 100\r\n";
    case Stored::Stale: return "Cache-Control: max-age=100\r\nAge: 200\r\n";
    case Stored::MustRevalidate: return "Cache-Control: max-age=100, must-revalidate\r\nAge: 200\r\n";
    case Stored::Nothing: break;
    }
    return "Cache-Control: max-age=1000\r\n";
}

const char *NameOf(Stored state)
{
    switch (state) {
    case Stored::Fresh: return "fresh";
    case Stored::Stale: return "stale";
    case Stored::MustRevalidate: return "stale, must-revalidate";
    case Stored::Nothing: break;
    }
    return "nothing stored";
}

struct Directed {
    Fetched f;
    std::vector<RecordedRequest> requests;  // those of the directed fetch only
    std::string headerBefore, headerAfter;  // the entry's header file around it
};

// Stores an entry in `state` (a plain fetch), then fetches in `mode` with
// the request lines `lines`. The server answers 304 to the stored ETag.
Directed FetchDirected(Stored state, int mode, const std::vector<const char *> &lines, const std::string &name)
{
    ScriptedServer server([state](const RecordedRequest &req) {
        if (req.Header("If-None-Match") == "\"r1\"")
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"r1\"\r\nX-Refreshed: yes\r\n\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "the body", FieldsOf(state) + "ETag: \"r1\"\r\n");
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url(TestPath() + "-" + name);
    const zelmo::cache::EntryFiles files = FilesOf(cache, url);
    if (state != Stored::Nothing) {
        const Fetched stored = Fetch(url, cache);
        EXPECT_EQ(stored.r.outcome, ZELMO_FETCH_REPLACED) << stored.r.error_text;
        server.ForgetRequests();
    }
    std::vector<const char *> headers = lines;
    headers.push_back(nullptr);
    Directed d;
    d.headerBefore = ReadFile(files.header);
    d.f = Fetch(url, cache, mode, [&](ZelmoFetchOptions &o) { o.headers = headers.data(); });
    d.requests = server.Requests();
    d.headerAfter = ReadFile(files.header);
    return d;
}

constexpr int kHit = ZELMO_FETCH_FRESH_HIT, kRevalidated = ZELMO_FETCH_REVALIDATED, kReplaced = ZELMO_FETCH_REPLACED,
              kFailed = ZELMO_FETCH_FAILED;

// Request directive x stored entry, preferring fresh entries: what is
// served, and whether a request went out.
TEST(FetchRequestDirectives, EachDirectiveAgainstEachEntry)
{
    const struct {
        std::vector<const char *> lines;
        int fresh, stale, mustRevalidate, nothing;  // outcomes; kFailed: ZELMO_FETCH_E_NOT_CACHED, no request
    } rows[] = {
        {{}, kHit, kRevalidated, kRevalidated, kReplaced},
        {{"X-Other: 1"}, kHit, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: no-cache"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"cache-control: No-Cache"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"Pragma: no-cache"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"Pragma: x, no-cache"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"Pragma: no-cache-please"}, kHit, kRevalidated, kRevalidated, kReplaced},
        // A Cache-Control line makes the Pragma count for nothing.
        {{"Pragma: no-cache", "Cache-Control: max-stale"}, kHit, kHit, kRevalidated, kReplaced},
        {{"Cache-Control: max-age=0"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: max-age=50"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: max-age=150"}, kHit, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: max-age=150, max-stale"}, kHit, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: max-age=250, max-stale"}, kHit, kHit, kRevalidated, kReplaced},
        {{"Cache-Control: min-fresh=800"}, kHit, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: min-fresh=950"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: max-stale=50"}, kHit, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: max-stale=150"}, kHit, kHit, kRevalidated, kReplaced},
        {{"Cache-Control: max-stale"}, kHit, kHit, kRevalidated, kReplaced},
        {{"Cache-Control: max-stale=soon"}, kHit, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: no-cache, max-stale"}, kRevalidated, kRevalidated, kRevalidated, kReplaced},
        {{"Cache-Control: only-if-cached"}, kHit, kFailed, kFailed, kFailed},
        {{"Cache-Control: only-if-cached, max-stale=150"}, kHit, kHit, kFailed, kFailed},
        {{"Cache-Control: only-if-cached, max-stale=50"}, kHit, kFailed, kFailed, kFailed},
        // Several lines are one list.
        {{"Cache-Control: only-if-cached", "CACHE-CONTROL: no-cache"}, kFailed, kFailed, kFailed, kFailed},
        {{"Cache-Control: max-stale", "Cache-Control: only-if-cached"}, kHit, kHit, kFailed, kFailed},
        // no-store: a stored entry may still be served; see below for what is kept.
        {{"Cache-Control: no-store"}, kHit, kRevalidated, kRevalidated, kReplaced},
    };
    int n = 0;
    for (const auto &row : rows) {
        std::string what;
        for (const char *line : row.lines)
            what += std::string(line) + "; ";
        for (const Stored state : {Stored::Fresh, Stored::Stale, Stored::MustRevalidate, Stored::Nothing}) {
            SCOPED_TRACE(what + NameOf(state));
            const int outcome = state == Stored::Fresh   ? row.fresh
                                : state == Stored::Stale ? row.stale
                                : state == Stored::MustRevalidate ? row.mustRevalidate
                                                                  : row.nothing;
            const Directed d = FetchDirected(state, ZELMO_CACHE_PREFER_FRESH, row.lines, std::to_string(n++));
            EXPECT_EQ(d.f.r.outcome, outcome) << d.f.r.error_text;
            if (outcome == kFailed) {
                EXPECT_EQ(d.f.rc, ZELMO_FETCH_E_NOT_CACHED);
                EXPECT_STREQ(d.f.r.body_path, "");
                EXPECT_EQ(d.f.body, "");
            } else {
                EXPECT_EQ(d.f.rc, 0) << d.f.r.error_text;
                EXPECT_EQ(d.f.body, "the body");
            }
            const bool asked = outcome == kRevalidated || outcome == kReplaced;
            ASSERT_EQ(d.requests.size(), asked ? 1u : 0u);
            if (asked) {
                // The lines go to the server as they are.
                for (const char *line : row.lines) {
                    const std::string text(line);
                    const std::size_t colon = text.find(':');
                    EXPECT_NE(d.requests[0].head.find(text), std::string::npos) << d.requests[0].head;
                    EXPECT_TRUE(d.requests[0].HasHeader(text.substr(0, colon)));
                }
                EXPECT_EQ(d.requests[0].HasHeader("If-None-Match"), outcome == kRevalidated);
            }
        }
    }
}

// The mode comes first: revalidation and network-only serve nothing stored
// without a request, so only-if-cached fails there, sending nothing;
// cache-only serves whatever is stored whatever the lines say; no-cache in
// revalidation changes nothing.
TEST(FetchRequestDirectives, TheModesThatDoNotServeFreshEntries)
{
    const struct {
        int mode;
        Stored state;
        const char *line;
        int outcome;
    } rows[] = {
        {ZELMO_CACHE_REVALIDATE, Stored::Fresh, "Cache-Control: only-if-cached", kFailed},
        {ZELMO_CACHE_REVALIDATE, Stored::Nothing, "Cache-Control: only-if-cached", kFailed},
        {ZELMO_CACHE_REVALIDATE, Stored::Fresh, "Cache-Control: no-cache", kRevalidated},
        {ZELMO_CACHE_REVALIDATE, Stored::Fresh, "Cache-Control: max-stale", kRevalidated},
        {ZELMO_CACHE_NETWORK_ONLY, Stored::Fresh, "Cache-Control: only-if-cached", kFailed},
        {ZELMO_CACHE_NETWORK_ONLY, Stored::Fresh, "Cache-Control: max-stale", kReplaced},
        {ZELMO_CACHE_ONLY, Stored::Stale, "Cache-Control: no-cache", kHit},
        {ZELMO_CACHE_ONLY, Stored::MustRevalidate, "Cache-Control: max-age=0, only-if-cached", kHit},
        {ZELMO_CACHE_ONLY, Stored::Nothing, "Cache-Control: max-stale", kFailed},
    };
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.line) + "; mode " + std::to_string(row.mode) + "; " + NameOf(row.state));
        const Directed d = FetchDirected(row.state, row.mode, {row.line}, std::to_string(n++));
        EXPECT_EQ(d.f.r.outcome, row.outcome) << d.f.r.error_text;
        EXPECT_EQ(d.f.rc, row.outcome == kFailed ? ZELMO_FETCH_E_NOT_CACHED : 0) << d.f.r.error_text;
        EXPECT_EQ(d.requests.size(), row.outcome == kRevalidated || row.outcome == kReplaced ? 1u : 0u);
        if (row.outcome == kFailed || row.outcome == kHit) {
            EXPECT_EQ(d.headerAfter, d.headerBefore) << "nothing is written without a request";
        }
    }
}

// no-store in a request: the answer is served to the host and kept nowhere
// in the cache; what the cache held stays as it was, a 304 included.
TEST(FetchRequestDirectives, NoStoreKeepsNothingAndDropsNothing)
{
    const struct {
        int mode;
        Stored state;
        int outcome;
    } rows[] = {
        {ZELMO_CACHE_PREFER_FRESH, Stored::Nothing, kReplaced},
        {ZELMO_CACHE_REVALIDATE, Stored::Nothing, kReplaced},
        {ZELMO_CACHE_REVALIDATE, Stored::Fresh, kRevalidated},
        {ZELMO_CACHE_PREFER_FRESH, Stored::Stale, kRevalidated},
        {ZELMO_CACHE_PREFER_FRESH, Stored::Fresh, kHit},
        {ZELMO_CACHE_NETWORK_ONLY, Stored::Fresh, kReplaced},
    };
    int n = 0;
    for (const auto &row : rows) {
        for (const bool destination : {false, true}) {
            SCOPED_TRACE(std::string("mode ") + std::to_string(row.mode) + "; " + NameOf(row.state) +
                         (destination ? "; a destination" : ""));
            TempDir out;
            const std::string copy = (out.path() / "copy.bin").string();
            ScriptedServer server([&](const RecordedRequest &req) {
                if (req.Header("If-None-Match") == "\"r1\"")
                    return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"r1\"\r\nX-Refreshed: yes\r\n\r\n");
                return Answer::Full("HTTP/1.1 200 OK", req.HasHeader("Cache-Control") ? "new body" : "the body",
                                    FieldsOf(row.state) + "ETag: \"r1\"\r\n");
            });
            TempDir dir;
            const std::string cache = dir.path().string();
            const std::string url = server.Url(TestPath() + "-" + std::to_string(n++));
            const zelmo::cache::EntryFiles files = FilesOf(cache, url);
            if (row.state != Stored::Nothing) {
                ASSERT_EQ(Fetch(url, cache).r.outcome, kReplaced);
            }
            const std::vector<std::string> before = [&] {
                std::vector<std::string> names;
                for (const auto &e : std::filesystem::directory_iterator(dir.path()))
                    names.push_back(e.path().filename().string() + "=" + ReadFile(e.path().string()));
                std::sort(names.begin(), names.end());
                return names;
            }();
            const char *const lines[] = {"Cache-Control: no-store", nullptr};
            const Fetched f = Fetch(url, cache, row.mode, [&](ZelmoFetchOptions &o) {
                o.headers = lines;
                o.destination = destination ? copy.c_str() : nullptr;
            });
            ASSERT_EQ(f.rc, 0) << f.r.error_text;
            EXPECT_EQ(f.r.outcome, row.outcome);
            const std::string served = row.outcome == kReplaced ? "new body" : "the body";
            EXPECT_EQ(f.body, served);
            if (destination) {
                EXPECT_EQ(ReadFile(copy), served);
            }
            EXPECT_EQ((f.r.flags & ZELMO_FETCH_RESULT_NOT_STORED) != 0, row.outcome == kReplaced);
            std::vector<std::string> after;
            for (const auto &e : std::filesystem::directory_iterator(dir.path()))
                after.push_back(e.path().filename().string() + "=" + ReadFile(e.path().string()));
            std::sort(after.begin(), after.end());
            // The lock file a stored entry's fetch made is all that may differ
            // (its time, for the prune); nothing else was written or removed.
            const auto withoutLock = [&](std::vector<std::string> names) {
                const std::string lock = std::filesystem::path(files.lock).filename().string() + "=";
                names.erase(std::remove_if(names.begin(), names.end(),
                                           [&](const std::string &e) { return e.compare(0, lock.size(), lock) == 0; }),
                            names.end());
                return names;
            };
            EXPECT_EQ(withoutLock(after), withoutLock(before));
            EXPECT_EQ(ReadFile(files.header).find("X-Refreshed"), std::string::npos);
        }
    }
}

}  // namespace
