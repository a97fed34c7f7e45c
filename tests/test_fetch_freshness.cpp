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
#include "fetch/rules.h"
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

}  // namespace
