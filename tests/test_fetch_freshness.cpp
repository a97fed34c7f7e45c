// The cache's freshness rules through zelmo_fetch, against the scripted
// server, which counts what reaches it: the Age field, HTTP dates in every
// form and letter case, the fields never stored, and the request's own
// Cache-Control.
#include <gtest/gtest.h>

#include <cctype>
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
#include "zelmo_fetch.h"

namespace {

using zelmo::fetch::FormatHttpDate;
using zelmo::test::Answer;
using zelmo::test::Fetch;
using zelmo::test::Fetched;
using zelmo::test::ReadFile;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

std::string TestPath()
{
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string("/") + info->test_suite_name() + "-" + info->name();
}

std::int64_t Now()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

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

}  // namespace
