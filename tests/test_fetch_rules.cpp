// The pure rules of zelmo_fetch (dates, fields, Cache-Control, freshness,
// validators, the 304 refresh, Content-Range) and the entry metadata file
// with its body checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "cache/metadata.h"
#include "fetch/rules.h"
#include "support/files.h"

namespace {

using namespace zelmo::fetch;
using zelmo::cache::BodyDigest;
using zelmo::cache::EntryMeta;
using zelmo::test::TempDir;

constexpr std::int64_t k1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(FetchRules, HttpDates)
{
    const struct {
        const char *text;
        std::optional<std::int64_t> seconds;
    } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", k1994},
        {"Sunday, 06-Nov-94 08:49:37 GMT", k1994},
        {"Sun Nov  6 08:49:37 1994", k1994},
        {"  Sun, 06 Nov 1994 08:49:37 GMT ", k1994},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"Thursday, 01-Jan-70 00:00:00 GMT", 0},
        {"Wednesday, 01-Jan-25 00:00:00 GMT", 1735689600},
        {"Thu, 29 Feb 2024 12:00:00 GMT", 1709208000},
        {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
        {"Sat Dec 31 23:59:60 2016", 1483228800},
        {"Sun Nov 16 08:49:37 1994", k1994 + 10 * 86400},
        // refused
        {"", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37", std::nullopt},
        {"Sun, 6 Nov 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
        {"Xyz, 06 Nov 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 32 Jan 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 00 Jan 1994 08:49:37 GMT", std::nullopt},
        {"Thu, 29 Feb 2023 12:00:00 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:60:00 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:61 GMT", std::nullopt},
        {"Wed, 31 Dec 1969 23:59:59 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37 GMT, Mon, 07 Nov 1994 08:49:37 GMT", std::nullopt},
        {"Sunday, 06-Nov-1994 08:49:37 GMT", std::nullopt},
        {"Sun Nov 6 08:49:37 1994", std::nullopt},
        {"Sun Nov  6 08:49:37 1994 GMT", std::nullopt},
        {"784111777", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:3x GMT", std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ParseHttpDate(c.text), c.seconds) << "'" << c.text << "'";
}

// The three forms with their names in any letter case; a misspelt name, a
// zone other than GMT or a form broken otherwise is refused whatever its case.
TEST(FetchRules, HttpDatesInAnyLetterCase)
{
    const struct {
        const char *text;
        std::optional<std::int64_t> seconds;
    } cases[] = {
        {"sun, 06 nov 1994 08:49:37 gmt", k1994},
        {"SUN, 06 NOV 1994 08:49:37 GMT", k1994},
        {"sUn, 06 NoV 1994 08:49:37 gMt", k1994},
        {"Sun, 06 Nov 1994 08:49:37 gmt", k1994},
        {"sunday, 06-nov-94 08:49:37 gmt", k1994},
        {"SUNDAY, 06-NOV-94 08:49:37 GMT", k1994},
        {"sUnDaY, 06-nOv-94 08:49:37 Gmt", k1994},
        {"sun nov  6 08:49:37 1994", k1994},
        {"SUN NOV  6 08:49:37 1994", k1994},
        {"fri dec 31 23:59:59 9999", 253402300799},
        {"thu, 29 feb 2024 12:00:00 gmt", 1709208000},
        // refused in any case
        {"sun, 06 nov 1994 08:49:37 utc", std::nullopt},
        {"sun, 06 nox 1994 08:49:37 gmt", std::nullopt},
        {"sux, 06 nov 1994 08:49:37 gmt", std::nullopt},
        {"sundae, 06-nov-94 08:49:37 gmt", std::nullopt},
        {"sunday, 06-nov-94 08:49:37 gmtx", std::nullopt},
        {"sunday, 06-nov-94 08:49:37 gm", std::nullopt},
        {"sun nov 6 08:49:37 1994", std::nullopt},
        {"thu, 29 feb 2023 12:00:00 gmt", std::nullopt},
        {"sun, 06 nov 1994 24:00:00 gmt", std::nullopt},
        {"sun,  6 nov 1994 08:49:37 gmt", std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ParseHttpDate(c.text), c.seconds) << "'" << c.text << "'";
}

TEST(FetchRules, FormatHttpDateRoundTrips)
{
    EXPECT_EQ(FormatHttpDate(k1994), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(FormatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(FormatHttpDate(-5), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(FormatHttpDate(1709208000), "Thu, 29 Feb 2024 12:00:00 GMT");
    for (std::int64_t t = 0; t < 253402300799; t += 86399 * 37 + 11)
        ASSERT_EQ(ParseHttpDate(FormatHttpDate(t)), t) << FormatHttpDate(t);
}

TEST(FetchRules, CacheControlDirectives)
{
    const struct {
        const char *value;
        std::optional<std::int64_t> maxAge, staleIfError;
        bool noCache, noStore, mustRevalidate, isPrivate, isPublic;
    } cases[] = {
        {"", {}, {}, false, false, false, false, false},
        {"max-age=60", 60, {}, false, false, false, false, false},
        {"MAX-AGE=60, Public", 60, {}, false, false, false, false, true},
        {"max-age=\"30\"", 30, {}, false, false, false, false, false},
        {"max-age=abc", 0, {}, false, false, false, false, false},
        {"max-age", 0, {}, false, false, false, false, false},
        {"max-age=-1", 0, {}, false, false, false, false, false},
        {"max-age=99999999999999999999999", std::int64_t{1} << 31, {}, false, false, false, false, false},
        {"max-age=10, max-age=20", 10, {}, false, false, false, false, false},
        {"no-cache", {}, {}, true, false, false, false, false},
        {"no-cache=\"Set-Cookie, X-A\", max-age=5", 5, {}, false, false, false, false, false},  // qualified
        {"no-store, must-revalidate", {}, {}, false, true, true, false, false},
        {"private, stale-if-error=300", {}, 300, false, false, false, true, false},
        {" , ,max-age = 7 ,, foo=\"a,b\", bar", 7, {}, false, false, false, false, false},
        {"s-maxage=100", {}, {}, false, false, false, false, false},
        {"community=\"no-cache\"", {}, {}, false, false, false, false, false},
    };
    for (const auto &c : cases) {
        const CacheControl cc = ParseCacheControl(c.value);
        EXPECT_EQ(cc.maxAge, c.maxAge) << c.value;
        EXPECT_EQ(cc.staleIfError, c.staleIfError) << c.value;
        EXPECT_EQ(cc.noCache, c.noCache) << c.value;
        EXPECT_EQ(cc.noStore, c.noStore) << c.value;
        EXPECT_EQ(cc.mustRevalidate, c.mustRevalidate) << c.value;
        EXPECT_EQ(cc.isPrivate, c.isPrivate) << c.value;
        EXPECT_EQ(cc.isPublic, c.isPublic) << c.value;
    }
}

TEST(FetchRules, Freshness)
{
    const std::string date = "Date: " + FormatHttpDate(k1994) + "\r\n";
    const std::string lm10d = "Last-Modified: " + FormatHttpDate(k1994 - 10 * 86400) + "\r\n";
    const std::string lm1000 = "Last-Modified: " + FormatHttpDate(k1994 - 1000) + "\r\n";
    // Around the one-day cap of the heuristic (10% of Date - Last-Modified).
    const std::string lmBelowCap = "Last-Modified: " + FormatHttpDate(k1994 - 10 * 86400 + 10) + "\r\n";
    const std::string lmAboveCap = "Last-Modified: " + FormatHttpDate(k1994 - 10 * 86400 - 10) + "\r\n";
    const std::string lm20d = "Last-Modified: " + FormatHttpDate(k1994 - 20 * 86400) + "\r\n";
    const struct {
        const char *what;
        std::string block;
        std::int64_t request, response, now;
        std::int64_t lifetime, age;
        bool fresh, heuristic;
    } cases[] = {
        {"max-age, young", "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100\r\n", k1994, k1994, k1994 + 50, 100, 50, true, false},
        {"max-age, old", "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100\r\n", k1994, k1994, k1994 + 100, 100, 100, false, false},
        {"max-age beats Expires", "HTTP/1.1 200 OK\r\n" + date + "Expires: " + FormatHttpDate(k1994 + 9999) + "\r\nCache-Control: max-age=10\r\n", k1994, k1994, k1994 + 20, 10, 20, false, false},
        {"Expires minus Date", "HTTP/1.1 200 OK\r\n" + date + "Expires: " + FormatHttpDate(k1994 + 3600) + "\r\n", k1994, k1994, k1994 + 60, 3600, 60, true, false},
        {"Expires in the past", "HTTP/1.1 200 OK\r\n" + date + "Expires: " + FormatHttpDate(k1994 - 3600) + "\r\n", k1994, k1994, k1994, 0, 0, false, false},
        {"Expires invalid is stale, no heuristic", "HTTP/1.1 200 OK\r\n" + date + "Expires: 0\r\n" + lm10d, k1994, k1994, k1994, 0, 0, false, false},
        {"Expires without Date: dated at response", "HTTP/1.1 200 OK\r\nExpires: " + FormatHttpDate(k1994 + 100) + "\r\n", k1994 - 5, k1994 - 5, k1994, 105, 5, true, false},
        {"heuristic 10%", "HTTP/1.1 200 OK\r\n" + date + lm1000, k1994, k1994, k1994 + 50, 100, 50, true, true},
        {"heuristic capped at a day", "HTTP/1.1 200 OK\r\n" + date + lm10d, k1994, k1994, k1994 + 86399, 86400, 86399, true, true},
        {"heuristic just below the cap", "HTTP/1.1 200 OK\r\n" + date + lmBelowCap, k1994, k1994, k1994 + 86399, 86399, 86399, false, true},
        {"heuristic just above the cap", "HTTP/1.1 200 OK\r\n" + date + lmAboveCap, k1994, k1994, k1994 + 86399, 86400, 86399, true, true},
        {"heuristic twice the cap", "HTTP/1.1 200 OK\r\n" + date + lm20d, k1994, k1994, k1994 + 86399, 86400, 86399, true, true},
        {"heuristic twice the cap, a day old", "HTTP/1.1 200 OK\r\n" + date + lm20d, k1994, k1994, k1994 + 86400, 86400, 86400, false, true},
        {"heuristic not for 302", "HTTP/1.1 302 Found\r\n" + date + lm10d, k1994, k1994, k1994, 0, 0, false, false},
        {"heuristic for 302 marked public", "HTTP/1.1 302 Found\r\n" + date + lm1000 + "Cache-Control: public\r\n", k1994, k1994, k1994, 100, 0, true, true},
        {"heuristic for 404", "HTTP/1.1 404 Not Found\r\n" + date + lm1000, k1994, k1994, k1994, 100, 0, true, true},
        {"Last-Modified after Date", "HTTP/1.1 200 OK\r\n" + date + "Last-Modified: " + FormatHttpDate(k1994 + 5) + "\r\n", k1994, k1994, k1994, 0, 0, false, false},
        {"Age header", "HTTP/1.1 200 OK\r\n" + date + "Age: 40\r\nCache-Control: max-age=100\r\n", k1994, k1994, k1994 + 50, 100, 90, true, false},
        {"Age plus response delay", "HTTP/1.1 200 OK\r\n" + date + "Age: 40\r\nCache-Control: max-age=100\r\n", k1994 - 30, k1994, k1994 + 20, 100, 90, true, false},
        {"apparent age beats Age", "HTTP/1.1 200 OK\r\n" + date + "Age: 10\r\nCache-Control: max-age=100\r\n", k1994 + 60, k1994 + 60, k1994 + 70, 100, 70, true, false},
        {"Age saturates", "HTTP/1.1 200 OK\r\n" + date + "Age: 999999999999999999999\r\nCache-Control: max-age=100\r\n", k1994, k1994, k1994, 100, std::int64_t{1} << 31, false, false},
        {"Age malformed counts 0", "HTTP/1.1 200 OK\r\n" + date + "Age: soon\r\nCache-Control: max-age=100\r\n", k1994, k1994, k1994 + 1, 100, 1, true, false},
        {"no-cache never fresh", "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: no-cache, max-age=100\r\n", k1994, k1994, k1994, 100, 0, false, false},
        {"no-store never fresh", "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: no-store, max-age=100\r\n", k1994, k1994, k1994, 100, 0, false, false},
        {"nothing", "HTTP/1.1 200 OK\r\n" + date, k1994, k1994, k1994, 0, 0, false, false},
        {"clock went back", "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100\r\n", k1994, k1994, k1994 - 500, 100, 0, true, false},
    };
    for (const auto &c : cases) {
        const Freshness f = FreshnessOf(c.block, c.request, c.response, c.now);
        EXPECT_EQ(f.lifetime, c.lifetime) << c.what;
        EXPECT_EQ(f.age, c.age) << c.what;
        EXPECT_EQ(f.fresh, c.fresh) << c.what;
        EXPECT_EQ(f.heuristic, c.heuristic) << c.what;
    }
}

// RFC 9111 5.1: Age is one non-negative integer; anything else is ignored
// (the age then comes from Date and the times alone), and a huge one
// counts as 2^31 without overflowing what is added to it.
TEST(FetchRules, AgeValues)
{
    constexpr std::int64_t kCap = std::int64_t{1} << 31;
    const struct {
        const char *age;  // null: no Age field
        std::int64_t expected;
    } cases[] = {
        {nullptr, 1},
        {"0", 1},
        {"40", 41},
        {"  40 ", 41},
        {"0040", 41},
        {"98", 99},
        {"99", 100},
        {"2147483647", 2147483648},
        {"2147483648", kCap + 1},
        {"2147483649", kCap + 1},
        {"99999999999999999999999999999999", kCap + 1},
        // ignored
        {"", 1},
        {"7200.0", 1},
        {"40.5", 1},
        {"-5", 1},
        {"+5", 1},
        {"abc", 1},
        {"40abc", 1},
        {"1 2", 1},
        {"0x10", 1},
        {"1e3", 1},
    };
    const std::string date = "Date: " + FormatHttpDate(k1994) + "\r\n";
    for (const auto &c : cases) {
        std::string block = "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100\r\n";
        if (c.age != nullptr)
            block += std::string("Age: ") + c.age + "\r\n";
        const Freshness f = FreshnessOf(block + "\r\n", k1994, k1994, k1994 + 1);
        EXPECT_EQ(f.age, c.expected) << "Age: '" << (c.age ? c.age : "(none)") << "'";
        EXPECT_EQ(f.fresh, c.expected < 100) << "Age: '" << (c.age ? c.age : "(none)") << "'";
    }
    // Two Age fields are a list, not one integer.
    const Freshness two =
        FreshnessOf("HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100\r\nAge: 500\r\nAge: 500\r\n\r\n", k1994,
                    k1994, k1994 + 1);
    EXPECT_EQ(two.age, 1);
    // A saturated Age plus a long response delay and residence stays positive.
    const Freshness far = FreshnessOf("HTTP/1.1 200 OK\r\nAge: 99999999999999999999\r\nCache-Control: max-age=100\r\n\r\n",
                                      0, std::int64_t{1} << 62, std::numeric_limits<std::int64_t>::max());
    EXPECT_GT(far.age, kCap);
    EXPECT_FALSE(far.fresh);
}

// A request's Cache-Control from the host's lines: every line of it, in
// any letter case, as one list; Pragma: no-cache only without one.
TEST(FetchRules, RequestCacheControlFromTheHostsLines)
{
    const struct {
        std::vector<std::string> lines;
        bool noCache, noStore, onlyIfCached, maxStaleAny;
        std::optional<std::int64_t> maxAge, minFresh, maxStale;
    } cases[] = {
        {{}, false, false, false, false, {}, {}, {}},
        {{"X-Cache-Control: no-cache"}, false, false, false, false, {}, {}, {}},
        {{"Cache-Control: no-cache"}, true, false, false, false, {}, {}, {}},
        {{"Cache-Control: no-cache=\"X-A\""}, true, false, false, false, {}, {}, {}},  // a request's is whole
        {{"cache-control:NO-STORE"}, false, true, false, false, {}, {}, {}},
        {{"Cache-Control: max-age=10", "CACHE-CONTROL: min-fresh=5, only-if-cached"}, false, false, true, false, 10, 5, {}},
        {{"Cache-Control: max-stale"}, false, false, false, true, {}, {}, {}},
        {{"Cache-Control: max-stale=30"}, false, false, false, false, {}, {}, 30},
        {{"Cache-Control: max-stale=\"30\""}, false, false, false, false, {}, {}, 30},
        {{"Cache-Control: max-stale=x"}, false, false, false, false, {}, {}, {}},
        {{"Cache-Control: max-stale=-1"}, false, false, false, false, {}, {}, {}},
        {{"Cache-Control: min-fresh=x"}, false, false, false, false, {}, 0, {}},
        {{"Cache-Control: max-age=x"}, false, false, false, false, 0, {}, {}},
        {{"Cache-Control: max-stale=99999999999999999999"}, false, false, false, false, {}, {}, std::int64_t{1} << 31},
        {{"Pragma: no-cache"}, true, false, false, false, {}, {}, {}},
        {{"pragma: foo, NO-CACHE "}, true, false, false, false, {}, {}, {}},
        {{"Pragma: no-cache=1"}, false, false, false, false, {}, {}, {}},
        {{"Pragma: no-cache", "Cache-Control: max-stale"}, false, false, false, true, {}, {}, {}},
        {{"Pragma: no-cache", "Cache-Control: "}, false, false, false, false, {}, {}, {}},
    };
    for (const auto &c : cases) {
        std::string what;
        for (const std::string &line : c.lines)
            what += line + "; ";
        const CacheControl cc = RequestCacheControl(c.lines);
        EXPECT_EQ(cc.noCache, c.noCache) << what;
        EXPECT_EQ(cc.noStore, c.noStore) << what;
        EXPECT_EQ(cc.onlyIfCached, c.onlyIfCached) << what;
        EXPECT_EQ(cc.maxStaleAny, c.maxStaleAny) << what;
        EXPECT_EQ(cc.maxAge, c.maxAge) << what;
        EXPECT_EQ(cc.minFresh, c.minFresh) << what;
        EXPECT_EQ(cc.maxStale, c.maxStale) << what;
    }
}

// RFC 9111 5.2.1 at the edges: a stored answer 60 s old of a 100 s
// lifetime (or 150 s old: stale by 50), asked for with each directive.
TEST(FetchRules, ServableWithoutRequestAtEachLimit)
{
    const std::string date = "Date: " + FormatHttpDate(k1994) + "\r\n";
    const std::string plain = "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100\r\n\r\n";
    const std::string mustRevalidate = "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100, must-revalidate\r\n\r\n";
    const std::string noCache = "HTTP/1.1 200 OK\r\n" + date + "Cache-Control: max-age=100, no-cache\r\n\r\n";
    const struct {
        const char *request;
        const std::string *block;
        std::int64_t age;
        bool servable;
    } cases[] = {
        {"", &plain, 60, true},
        {"", &plain, 99, true},
        {"", &plain, 100, false},
        {"no-cache", &plain, 0, false},
        {"max-age=0", &plain, 0, false},
        {"max-age=60", &plain, 60, true},
        {"max-age=59", &plain, 60, false},
        {"max-age=1", &plain, 1, true},
        {"max-age=200", &plain, 150, false},
        {"min-fresh=39", &plain, 60, true},
        {"min-fresh=40", &plain, 60, false},
        {"min-fresh=0", &plain, 99, true},
        {"max-stale=50", &plain, 150, true},
        {"max-stale=49", &plain, 150, false},
        {"max-stale=0", &plain, 100, true},
        {"max-stale", &plain, 1000000, true},
        {"max-stale", &mustRevalidate, 100, false},
        {"max-stale", &mustRevalidate, 99, true},
        {"max-stale", &noCache, 0, false},
        {"max-stale=50, max-age=150", &plain, 150, true},
        {"max-stale=50, max-age=149", &plain, 150, false},
        {"only-if-cached", &plain, 60, true},
        {"only-if-cached", &plain, 100, false},
        {"no-store", &plain, 60, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ServableWithoutRequest(*c.block, k1994, k1994, k1994 + c.age, ParseCacheControl(c.request)), c.servable)
            << "'" << c.request << "', " << c.age << " s old of " << *c.block;
}

TEST(FetchRules, ValidatorsAndConditionalLines)
{
    const struct {
        std::string block;
        std::string etag;
        bool weak;
        std::string lastModified;
        std::vector<std::string> lines;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nETag: \"abc\"\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n", "\"abc\"", false,
         "Sun, 06 Nov 1994 08:49:37 GMT",
         {"If-None-Match: \"abc\"", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT"}},
        {"HTTP/1.1 200 OK\r\netag: W/\"v2\"\r\n\r\n", "\"v2\"", true, "", {"If-None-Match: W/\"v2\""}},
        {"HTTP/1.1 200 OK\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n", "", false,
         "Sun, 06 Nov 1994 08:49:37 GMT", {"If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT"}},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", "", false, "", {}},
        {"HTTP/1.1 200 OK\r\nETag: \"a\rb\"\r\nLast-Modified: x\x01y\r\n", "\"a\rb\"", false, "x\x01y", {}},
        {std::string("HTTP/1.1 200 OK\r\nETag: \"a\0b\"\r\nLast-Modified: ok\x7f\r\n", 48), std::string("\"a\0b\"", 5),
         false, "ok\x7f", {}},
        // A tab is no part of a validator either: nothing goes out for it.
        {"HTTP/1.1 200 OK\r\nETag: \"tab\there\"\r\n", "\"tab\there\"", false, "", {}},
    };
    for (const auto &c : cases) {
        const Validators v = ValidatorsOf(c.block);
        EXPECT_EQ(v.etag, c.etag) << c.block;
        EXPECT_EQ(v.weak, c.weak) << c.block;
        EXPECT_EQ(v.lastModified, c.lastModified) << c.block;
        EXPECT_EQ(ConditionalLines(v), c.lines) << c.block;
    }
    // Values set directly: every control character, tab included, keeps a
    // line out, as it keeps an If-Range out (ResumeValidatorOf).
    for (int c = 0; c < 0x20; ++c) {
        Validators v;
        v.etag = std::string("\"a") + static_cast<char>(c) + "\"";
        v.lastModified = std::string("Sun") + static_cast<char>(c);
        EXPECT_EQ(ConditionalLines(v).size(), 0u) << c;
    }
}

TEST(FetchRules, RefreshedHeader)
{
    const std::string stored = "HTTP/1.1 200 OK\r\n"
                               "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                               "Content-Length: 1234\r\n"
                               "ETag: \"old\"\r\n"
                               "Cache-Control: max-age=10\r\n"
                               "Content-Type: text/plain\r\n"
                               "X-Twice: a\r\n"
                               "X-Twice: b\r\n"
                               "\r\n";
    const std::string notModified = "HTTP/1.1 304 Not Modified\n"
                                    "Date: Mon, 07 Nov 1994 08:49:37 GMT\n"
                                    "ETag: \"new\"\n"
                                    "Cache-Control: max-age=60\n"
                                    "Content-Length: 0\n"
                                    "Connection: keep-alive, X-Hop\n"
                                    "X-Hop: 1\n"
                                    "Keep-Alive: timeout=5\n"
                                    "Transfer-Encoding: chunked\n"
                                    "Proxy-Authenticate: Basic\n"
                                    "Content-Range: bytes 0-1/2\n"
                                    "Content-Encoding: gzip\n"
                                    "X-Twice: c\n"
                                    "X-Sneaky: 1, content-length: 5\n"
                                    "X-Cr: a\rb\n"
                                    "X-New: yes\n"
                                    "\n";
    EXPECT_EQ(RefreshedHeader(stored, notModified), "HTTP/1.1 200 OK\r\n"
                                                    "Date: Mon, 07 Nov 1994 08:49:37 GMT\r\n"
                                                    "Content-Length: 1234\r\n"
                                                    "ETag: \"new\"\r\n"
                                                    "Cache-Control: max-age=60\r\n"
                                                    "Content-Type: text/plain\r\n"
                                                    "X-Twice: c\r\n"
                                                    "X-New: yes\r\n"
                                                    "\r\n");
    // Nothing to change: the stored block as it was.
    EXPECT_EQ(RefreshedHeader(stored, "HTTP/1.1 304 Not Modified\r\n\r\n"), stored);
    // Repeated 304 fields all join the stored answer.
    EXPECT_EQ(RefreshedHeader("HTTP/1.0 200 OK\nA: 1\n", "HTTP/1.1 304 x\r\nB: 1\r\nA: 2\r\nB: 2\r\n"),
              "HTTP/1.0 200 OK\r\nA: 2\r\nB: 1\r\nB: 2\r\n\r\n");
}

// RFC 9111 3.1: what an answer keeps of its block when it is stored.
TEST(FetchRules, HopByHopFieldsAreNotStored)
{
    const struct {
        const char *what;
        std::string block, stored;
    } cases[] = {
        {"none: the block byte for byte", "HTTP/1.1 200 OK\r\nA: 1\nB: 2\r\n\r\n", "HTTP/1.1 200 OK\r\nA: 1\nB: 2\r\n\r\n"},
        {"none, after the empty line kept as well", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nrest", "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nrest"},
        {"Connection and what it names",
         "HTTP/1.1 200 OK\r\nConnection: close, X-Private\r\nX-Private: 1\r\nX-Kept: 2\r\n\r\n",
         "HTTP/1.1 200 OK\r\nX-Kept: 2\r\n\r\n"},
        {"named in any letter case, by several Connection fields",
         "HTTP/1.1 200 OK\r\nconnection: x-a\r\nX-A: 1\r\nCONNECTION: ,X-B ,\r\nx-b: 2\r\nX-C: 3\r\n\r\n",
         "HTTP/1.1 200 OK\r\nX-C: 3\r\n\r\n"},
        {"the fixed list",
         "HTTP/1.1 200 OK\r\nKeep-Alive: timeout=5\r\nProxy-Connection: keep-alive\r\nTE: trailers\r\n"
         "Transfer-Encoding: chunked\r\nUpgrade: h2c\r\nTrailer: X-Sum\r\nProxy-Authenticate: Basic\r\n"
         "Proxy-Authentication-Info: a\r\nProxy-Authorization: b\r\nETag: \"e\"\r\n\r\n",
         "HTTP/1.1 200 OK\r\nETag: \"e\"\r\n\r\n"},
        {"near names stay",
         "HTTP/1.1 200 OK\r\nKeep-Alives: 1\r\nTEx: 1\r\nX-Connection: close\r\nProxy-Status: a\r\nUpgrade-Insecure: 1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nKeep-Alives: 1\r\nTEx: 1\r\nX-Connection: close\r\nProxy-Status: a\r\nUpgrade-Insecure: 1\r\n\r\n"},
        {"Content-Length stays even where Connection names it",
         "HTTP/1.1 200 OK\r\nConnection: Content-Length, Date\r\nContent-Length: 3\r\nDate: x\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n"},
        {"a folded line goes with its field",
         "HTTP/1.1 200 OK\r\nKeep-Alive: timeout=5,\r\n max=100\r\nX-Folded: a,\r\n\tb\r\n\r\n",
         "HTTP/1.1 200 OK\r\nX-Folded: a,\r\n\tb\r\n\r\n"},
        {"LF line ends kept", "HTTP/1.1 200 OK\nConnection: close\nA: 1\n\n", "HTTP/1.1 200 OK\nA: 1\n\n"},
        {"cut at its empty line", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nKeep-Alive: 1\r\n",
         "HTTP/1.1 200 OK\r\n\r\n"},
        {"spaces before the colon", "HTTP/1.1 200 OK\r\nConnection: close\r\nKeep-Alive : 1\r\nA: 1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(WithoutHopByHop(c.block), c.stored) << c.what;
}

// A qualified no-cache lists fields the cache never stores; the answer
// itself stays fresh. Unqualified (or with an empty list) it is the whole
// no-cache.
TEST(FetchRules, QualifiedNoCacheListsTheFieldsNotStored)
{
    const struct {
        const char *cacheControl;
        bool noCache;
        std::vector<std::string> listed;
        const char *stored;  // the fields A, B, C and Content-Length as stored
    } cases[] = {
        {"no-cache", true, {}, "A: 1\r\nB: 2\r\nC: 3\r\nContent-Length: 0\r\n"},
        {"no-cache=\"a\"", false, {"a"}, "B: 2\r\nC: 3\r\nContent-Length: 0\r\n"},
        {"max-age=60, NO-CACHE=\"A, b\"", false, {"A", "b"}, "C: 3\r\nContent-Length: 0\r\n"},
        {"no-cache=c", false, {"c"}, "A: 1\r\nB: 2\r\nContent-Length: 0\r\n"},
        {"no-cache=\" , b ,\"", false, {"b"}, "A: 1\r\nC: 3\r\nContent-Length: 0\r\n"},
        {"no-cache=\"\"", true, {}, "A: 1\r\nB: 2\r\nC: 3\r\nContent-Length: 0\r\n"},
        {"no-cache=\"a\", no-cache", true, {"a"}, "B: 2\r\nC: 3\r\nContent-Length: 0\r\n"},
        {"no-cache=\"Content-Length, a\"", false, {"Content-Length", "a"}, "B: 2\r\nC: 3\r\nContent-Length: 0\r\n"},
        {"x=\"no-cache=a\"", false, {}, "A: 1\r\nB: 2\r\nC: 3\r\nContent-Length: 0\r\n"},
    };
    for (const auto &c : cases) {
        const CacheControl cc = ParseCacheControl(c.cacheControl);
        EXPECT_EQ(cc.noCache, c.noCache) << c.cacheControl;
        EXPECT_EQ(cc.noCacheFields, c.listed) << c.cacheControl;
        const std::string block = std::string("HTTP/1.1 200 OK\r\nCache-Control: ") + c.cacheControl +
                                  "\r\nA: 1\r\nB: 2\r\nC: 3\r\nContent-Length: 0\r\n\r\n";
        EXPECT_EQ(StoredBlock(block),
                  std::string("HTTP/1.1 200 OK\r\nCache-Control: ") + c.cacheControl + "\r\n" + c.stored + "\r\n")
            << c.cacheControl;
    }
}

// A 304's refresh leaves out the stored block's own hop-by-hop fields (an
// entry written by HttpDownload_SYNC keeps them); a field the stored
// Connection named that the 304 sends as its own is the 304's.
TEST(FetchRules, ARefreshDropsTheStoredHopByHopFields)
{
    const std::string stored = "HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Hop, X-Mine\r\nKeep-Alive: timeout=5\r\n"
                               "X-Hop: 1\r\nContent-Length: 3\r\nX-Mine: old\r\nETag: \"a\"\r\n\r\n";
    EXPECT_EQ(RefreshedHeader(stored, "HTTP/1.1 304 Not Modified\r\nX-Mine: new\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX-Mine: new\r\nETag: \"a\"\r\n\r\n");
    EXPECT_EQ(RefreshedHeader(stored, "HTTP/1.1 304 Not Modified\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nETag: \"a\"\r\n\r\n");
    // The 304's Connection names nothing of the stored answer's.
    EXPECT_EQ(RefreshedHeader("HTTP/1.1 200 OK\r\nX-Hop: 1\r\n\r\n", "HTTP/1.1 304 x\r\nConnection: X-Hop\r\nX-Hop: 2\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nX-Hop: 1\r\n\r\n");
}

TEST(FetchRules, ContentCodingsAndTheDecodedBlock)
{
    struct Case {
        const char *block;
        std::vector<std::string> codings;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", {}},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: GZip\r\n\r\n", {"gzip"}},
        {"HTTP/1.1 200 OK\r\ncontent-encoding: deflate , ,gzip\r\n\r\n", {"deflate", "gzip"}},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nX: 1\r\nContent-Encoding: x-foo\r\n\r\n", {"gzip", "x-foo"}},
        {"HTTP/1.1 200 OK\r\nContent-Encoding:\r\n\r\n", {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ContentCodings(c.block), c.codings) << c.block;

    const std::string block = "HTTP/1.1 200 OK\r\n"
                              "Content-Encoding: gzip,\r\n"
                              " br\r\n"
                              "Content-Length: 20\r\n"
                              "ETag: \"e\"\r\n"
                              "X-Content-Encoding: kept\r\n"
                              "\r\n";
    EXPECT_EQ(WithoutContentCoding(block, true),
              "HTTP/1.1 200 OK\r\nETag: \"e\"\r\nX-Content-Encoding: kept\r\n\r\n");
    EXPECT_EQ(WithoutContentCoding(block, false),
              "HTTP/1.1 200 OK\r\nContent-Length: 20\r\nETag: \"e\"\r\nX-Content-Encoding: kept\r\n\r\n");
    // Nothing to leave out: the block as it was, byte for byte.
    const std::string plain = "HTTP/1.1 200 OK\nContent-Length: 20\n\n";
    EXPECT_EQ(WithoutContentCoding(plain, false), plain);
    EXPECT_EQ(WithoutContentCoding(plain, true), "HTTP/1.1 200 OK\n\n");
}

TEST(FetchRules, ContentRange)
{
    const struct {
        const char *value;
        std::optional<std::int64_t> first, last, total;
        bool good;
    } cases[] = {
        {"bytes 0-499/1234", 0, 499, 1234, true},
        {"bytes 500-1233/1234", 500, 1233, 1234, true},
        {"bytes 5-5/*", 5, 5, std::nullopt, true},
        {"BYTES 0-0/1", 0, 0, 1, true},
        {" bytes 1-2/3 ", 1, 2, 3, true},
        {"bytes 0-9223372036854775806/9223372036854775807", 0, 9223372036854775806, std::nullopt, false},
        {"bytes */1234", {}, {}, {}, false},
        {"bytes 5-4/10", {}, {}, {}, false},
        {"bytes 0-10/10", {}, {}, {}, false},
        {"bytes 0-1/", {}, {}, {}, false},
        {"bytes -1-2/3", {}, {}, {}, false},
        {"bytes 0-+1/3", {}, {}, {}, false},
        {"bytes 0 - 1/3", {}, {}, {}, false},
        {"bytes=0-1/3", {}, {}, {}, false},
        {"items 0-1/3", {}, {}, {}, false},
        {"bytes 0-1", {}, {}, {}, false},
        {"bytes 0-99999999999999999999/*", {}, {}, {}, false},
        {"", {}, {}, {}, false},
    };
    for (const auto &c : cases) {
        const auto range = ParseContentRange(c.value);
        ASSERT_EQ(range.has_value(), c.good) << c.value;
        if (!range)
            continue;
        EXPECT_EQ(range->first, *c.first) << c.value;
        EXPECT_EQ(range->last, *c.last) << c.value;
        EXPECT_EQ(range->total, c.total) << c.value;
    }
}

EntryMeta SampleMeta()
{
    EntryMeta m;
    m.url = "http://example.org/a b?c=%41&d=\xc3\xa9";
    m.length = 1048576;
    m.digest = 0x0123456789abcdefULL;
    m.requestTime = 1700000000;
    m.responseTime = 1700000001;
    m.lastUse = 1700000500;
    m.etag = "W/\"x\"";
    m.lastModified = "Sun, 06 Nov 1994 08:49:37 GMT";
    m.complete = false;
    return m;
}

TEST(FetchRules, MetadataRoundTrip)
{
    std::vector<EntryMeta> metas(4, SampleMeta());
    metas[1] = EntryMeta{};
    metas[1].url = "u";
    metas[2].etag = std::string("\"a\r\nlength 5\n\0\"", 16);
    metas[2].url = "http://h/\r\nurl evil\n";
    metas[3].digest = ~0ULL;
    metas[3].length = -1;
    for (const EntryMeta &m : metas) {
        const std::string text = zelmo::cache::FormatMeta(m);
        EXPECT_EQ(text.rfind("zelmo-meta 1\n", 0), 0u) << text;
        // One line per field, whatever the values hold.
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;
        EXPECT_EQ(text.find('\r'), std::string::npos) << text;
        EXPECT_EQ(text.find('\0'), std::string::npos) << text;
        const auto back = zelmo::cache::ParseMeta(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(*back, m) << text;
    }
}

TEST(FetchRules, MalformedMetadataRefused)
{
    const std::string good = zelmo::cache::FormatMeta(SampleMeta());
    ASSERT_TRUE(zelmo::cache::ParseMeta(good).has_value());
    const auto replaced = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        const std::size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? std::string() : s.replace(at, from.size(), to);
    };
    const struct {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"other version", replaced("zelmo-meta 1", "zelmo-meta 2")},
        {"first line with CR", replaced("zelmo-meta 1\n", "zelmo-meta 1\r\n")},
        {"no final LF", good.substr(0, good.size() - 1)},
        {"a key missing", replaced("last-use 1700000500\n", "")},
        {"a key twice", replaced("last-use 1700000500\n", "last-use 1700000500\nlast-use 1700000500\n")},
        {"keys out of order", replaced("request-time 1700000000\nresponse-time 1700000001\n",
                                       "response-time 1700000001\nrequest-time 1700000000\n")},
        {"unknown key", replaced("complete 0\n", "complete 0\nextra 1\n")},
        {"trailing bytes", good + "x"},
        {"key without value separator", replaced("length 1048576", "length")},
        {"two spaces", replaced("length 1048576", "length  1048576")},
        {"length not a number", replaced("length 1048576", "length 12ab")},
        {"length below -1", replaced("length 1048576", "length -2")},
        {"length with plus", replaced("length 1048576", "length +5")},
        {"length leading zero", replaced("length 1048576", "length 01048576")},
        {"length overflows", replaced("length 1048576", "length 9223372036854775808")},
        {"negative time", replaced("request-time 1700000000", "request-time -1")},
        {"digest short", replaced("0123456789abcdef", "0123456789abcde")},
        {"digest uppercase", replaced("0123456789abcdef", "0123456789ABCDEF")},
        {"digest not hex", replaced("0123456789abcdef", "0123456789abcdeg")},
        {"complete not 0/1", replaced("complete 0", "complete yes")},
        {"raw CR in value", replaced("etag W/\"x\"", "etag W/\"x\r\"")},
        {"raw NUL in value", replaced("etag W/\"x\"", std::string("etag W/\"x\0\"", 10))},
        {"raw high byte", replaced("%C3%A9", "\xc3\xa9")},
        {"broken escape", replaced("%C3%A9", "%C3%A")},
        {"escape not hex", replaced("%C3%A9", "%G3%A9")},
        {"escape at end", replaced("%C3%A9\n", "%\n")},
        {"empty url", "zelmo-meta 1\nurl \nlength 0\ndigest 0000000000000000\nrequest-time 0\nresponse-time 0\nlast-use 0\netag \nlast-modified \ncomplete 1\n"},
        {"too long", replaced("etag W/\"x\"", "etag " + std::string(zelmo::cache::kMetaMaxBytes, 'e'))},
    };
    for (const auto &c : cases)
        EXPECT_FALSE(zelmo::cache::ParseMeta(c.bytes).has_value()) << c.what;
}

// The digest is written as exactly 16 lower-case hex digits; a value of
// any other length is refused, whichever way it is off.
TEST(FetchRules, MetadataDigestHasExactlySixteenDigits)
{
    EntryMeta sample = SampleMeta();
    const std::string good = zelmo::cache::FormatMeta(sample);
    const std::string written = "\ndigest 0123456789abcdef\n";
    ASSERT_NE(good.find(written), std::string::npos) << good;
    const struct {
        const char *what;
        const char *digits;
        std::optional<std::uint64_t> digest;
    } cases[] = {
        {"sixteen digits", "fedcba9876543210", 0xfedcba9876543210ULL},
        {"sixteen digits, leading zeros", "000000000000000f", 0xfULL},
        {"sixteen zeros", "0000000000000000", 0ULL},
        {"one digit short", "fedcba987654321", std::nullopt},
        {"one digit short, leading zeros", "00000000000000f", std::nullopt},
        {"one digit too many", "fedcba98765432100", std::nullopt},
        {"one digit too many, a leading zero", "0fedcba9876543210", std::nullopt},
        {"one digit too many, all zeros", "00000000000000000", std::nullopt},
        {"thirty-two digits", "0123456789abcdef0123456789abcdef", std::nullopt},
        {"none", "", std::nullopt},
    };
    for (const auto &c : cases) {
        std::string text = good;
        text.replace(text.find(written), written.size(), std::string("\ndigest ") + c.digits + "\n");
        const auto parsed = zelmo::cache::ParseMeta(text);
        ASSERT_EQ(parsed.has_value(), c.digest.has_value()) << c.what << "\n" << text;
        if (!parsed)
            continue;
        EntryMeta expected = sample;
        expected.digest = *c.digest;
        EXPECT_EQ(*parsed, expected) << c.what;
        EXPECT_EQ(zelmo::cache::FormatMeta(*parsed), text) << c.what;
    }
}

TEST(FetchRules, BodyDigest)
{
    // XXH3-64 with seed 0.
    EXPECT_EQ(BodyDigest().Value(), 0x2d06800538d394c2ULL);
    BodyDigest abc;
    abc.Update("abc");
    EXPECT_EQ(abc.Value(), 0x78af5f94892f3950ULL);

    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 2654435761u >> 13);
    BodyDigest whole;
    whole.Update(bytes);
    BodyDigest pieces;
    for (std::size_t at = 0; at < bytes.size(); at += 7919)
        pieces.Update(std::string_view(bytes).substr(at, 7919));
    EXPECT_EQ(pieces.Value(), whole.Value());
    BodyDigest changed;
    bytes[123456] ^= 1;
    changed.Update(bytes);
    EXPECT_NE(changed.Value(), whole.Value());
    bytes[123456] ^= 1;

    const TempDir dir;
    const std::string file = dir.Write("body", bytes);
    std::int64_t length = -1;
    EXPECT_EQ(zelmo::cache::DigestOfFile(file, &length), whole.Value());
    EXPECT_EQ(length, static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(zelmo::cache::DigestOfFile(dir.Write("empty", ""), nullptr), BodyDigest().Value());
    EXPECT_EQ(zelmo::cache::DigestOfFile((dir.path() / "missing").string(), &length), std::nullopt);
}

// What a Vary selects from a request, as the key stored with the answer:
// pairs of answers and requests that must share a key, and pairs that must
// not.
TEST(FetchRules, VarySelectsFromTheRequest)
{
    using Lines = std::vector<std::string>;
    const std::string byAuth = "HTTP/1.1 200 OK\r\nVary: Authorization\r\n\r\n";
    EXPECT_EQ(VaryKey("HTTP/1.1 200 OK\r\n\r\n", {"Authorization: a"}), "");
    EXPECT_EQ(VaryKey("HTTP/1.1 200 OK\r\nVary: \r\n\r\n", {}), "");
    EXPECT_EQ(VaryKey("HTTP/1.1 200 OK\r\nVary: *\r\n\r\n", {}), "*");
    EXPECT_EQ(VaryKey("HTTP/1.1 200 OK\r\nVary: Accept, *\r\n\r\n", {}), "*");
    EXPECT_EQ(VaryKey("HTTP/1.1 200 OK\r\nVary: Accept\r\nVary: *\r\n\r\n", {}), "*");
    EXPECT_FALSE(VaryMatches("*", "*"));
    EXPECT_TRUE(VaryMatches("", ""));
    const std::string key = VaryKey(byAuth, {"Authorization: Bearer secret-token"});
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find("secret"), std::string::npos) << "no request value is kept";
    const struct {
        const char *what;
        std::string answerA;
        Lines requestA;
        std::string answerB;
        Lines requestB;
        bool same;
    } cases[] = {
        {"the same value", byAuth, {"Authorization: a"}, byAuth, {"Authorization: a"}, true},
        {"another value", byAuth, {"Authorization: a"}, byAuth, {"Authorization: b"}, false},
        {"present and absent", byAuth, {"Authorization: a"}, byAuth, {}, false},
        {"empty and absent", byAuth, {"Authorization:"}, byAuth, {}, false},
        {"names in any letter case", "HTTP/1.1 200 OK\r\nvary: AUTHORIZATION\r\n\r\n", {"authorization: a"}, byAuth,
         {"Authorization: a"}, true},
        {"unselected fields do not count", byAuth, {"Authorization: a", "X-Other: 1"}, byAuth, {"Authorization: a"}, true},
        {"blanks around a value", byAuth, {"Authorization:   a  "}, byAuth, {"Authorization: a"}, true},
        {"repeated request lines joined", byAuth, {"Authorization: a", "Authorization: b"}, byAuth,
         {"Authorization: a, b"}, true},
        {"the list in any order, repeated Vary fields joined",
         "HTTP/1.1 200 OK\r\nVary: Accept-Language\r\nVary: Authorization\r\n\r\n", {"Authorization: a", "Accept-Language: de"},
         "HTTP/1.1 200 OK\r\nVary: authorization , accept-language,\r\n\r\n", {"Accept-Language: de", "Authorization: a"}, true},
        {"one of two fields differs", "HTTP/1.1 200 OK\r\nVary: Accept-Language, Authorization\r\n\r\n",
         {"Authorization: a", "Accept-Language: de"}, "HTTP/1.1 200 OK\r\nVary: Accept-Language, Authorization\r\n\r\n",
         {"Authorization: a", "Accept-Language: fr"}, false},
    };
    for (const auto &c : cases) {
        const std::string a = VaryKey(c.answerA, c.requestA), b = VaryKey(c.answerB, c.requestB);
        EXPECT_EQ(VaryMatches(a, b), c.same) << c.what;
    }
}

TEST(FetchRules, MetadataKeepsAVaryKeyAndReadsFilesWithout)
{
    EntryMeta meta;
    meta.url = "http://example.org/v";
    meta.length = 3;
    const std::string without = zelmo::cache::FormatMeta(meta);
    EXPECT_EQ(without.find("vary"), std::string::npos);
    meta.vary = "0123456789abcdef0123456789abcdef";
    const std::string with = zelmo::cache::FormatMeta(meta);
    EXPECT_EQ(zelmo::cache::ParseMeta(with), meta);
    EXPECT_EQ(zelmo::cache::ParseMeta(without)->vary, "");
    EXPECT_EQ(zelmo::cache::ParseMeta(without + "vary \n"), std::nullopt) << "an empty key is never written";
    EXPECT_EQ(zelmo::cache::ParseMeta(with + "vary x\n"), std::nullopt) << "nothing follows the last key";
    EXPECT_EQ(zelmo::cache::ParseMeta(without + "varied x\n"), std::nullopt);
}

}  // namespace
