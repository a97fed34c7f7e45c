// zelmo_fetch's URL schemes and redirects: only http and https are reached,
// for the URL and every redirect; redirects are followed with libcurl's
// limit, and the host's own request lines go only to the URL's origin.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "fetch/transfer.h"
#include "support/files.h"
#include "support/fetch.h"
#include "support/http_server.h"
#include "support/nginx.h"
#include "support/os.h"
#include "zelmo_fetch.h"

namespace {

namespace fs = std::filesystem;
using zelmo::test::Answer;
using zelmo::test::Exists;
using zelmo::test::Fetch;
using zelmo::test::Fetched;
using zelmo::test::NginxDirectory;
using zelmo::test::NginxPort;
using zelmo::test::NginxSkipReason;
using zelmo::test::ReadFile;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::SilentPort;
using zelmo::test::TempDir;

constexpr const char *kSecret = "X-Api-Key: secret";

const char *const kHostLines[] = {kSecret, nullptr};

// A fetch with the host's line "X-Api-Key: secret" and a short time limit.
Fetched FetchWithSecret(const std::string &url, const std::string &cacheDir, int mode = ZELMO_CACHE_REVALIDATE)
{
    return Fetch(url, cacheDir, mode, [](ZelmoFetchOptions &o) {
        o.headers = kHostLines;
        o.timeout_ms = 5000;
    });
}

// The entry files of a cache directory: everything but lock files.
std::vector<std::string> EntryFiles(const fs::path &dir)
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &e : fs::directory_iterator(dir, ignored)) {
        const std::string name = e.path().filename().string();
        if (name.back() != 'l')
            names.push_back(name);
    }
    return names;
}

// --- schemes ---

TEST(FetchSchemes, OnlyHttpAndHttpsUrlsAreFetched)
{
    ScriptedServer server([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "web"); });
    SilentPort silent;
    ASSERT_NE(silent.port(), 0);
    const std::string there = silent.Authority();
    const std::string web = "127.0.0.1:" + std::to_string(server.port());
    struct Case {
        std::string url;
        int rc;
    };
    std::vector<Case> cases = {
        {"httpx://" + there + "/", ZELMO_FETCH_E_OPTIONS},
        {"http:/" + there + "/", ZELMO_FETCH_E_OPTIONS},
        {there + "/", ZELMO_FETCH_E_OPTIONS},  // no scheme: none is guessed
        {"http://" + web + "/lower", ZELMO_FETCH_OK},
        {"HtTp://" + web + "/mixed", ZELMO_FETCH_OK},
    };
    for (const std::string &url : silent.ForeignUrls())
        cases.push_back({url, ZELMO_FETCH_E_OPTIONS});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        TempDir dir;
        const fs::path cache = dir.path() / "cache";
        const Fetched f = FetchWithSecret(c.url, cache.string());
        EXPECT_EQ(f.rc, c.rc) << f.r.error_text;
        EXPECT_FALSE(silent.Reached());
        if (c.rc == ZELMO_FETCH_OK) {
            EXPECT_EQ(f.body, "web");
            continue;
        }
        EXPECT_NE(std::string(f.r.error_text).find("http"), std::string::npos) << f.r.error_text;
        EXPECT_TRUE(f.body.empty());
        EXPECT_FALSE(Exists(cache.string())) << "refused before the cache is made";
    }
    EXPECT_EQ(server.Requests().size(), 2u);

    // The other side: an https URL is let through, and reaches the port.
    TempDir dir;
    const Fetched tls = Fetch("https://" + there + "/", dir.path().string(), [](ZelmoFetchOptions &o) {
        o.timeout_ms = 1000;
    });
    EXPECT_EQ(tls.rc, ZELMO_FETCH_E_TRANSFER) << tls.r.error_text;
    EXPECT_TRUE(silent.Reached());
}

TEST(FetchRedirects, ARedirectToAnotherSchemeFailsTheTransfer)
{
    SilentPort silent;
    ASSERT_NE(silent.port(), 0);
    const std::string there = silent.Authority();
    const std::string targets[] = {
        "gopher://" + there + "/1",
        "ftp://" + there + "/",
        "dict://" + there + "/d:word",
        "file:///etc/passwd",
    };
    for (const std::string &target : targets) {
        SCOPED_TRACE(target);
        ScriptedServer server([&](const RecordedRequest &) {
            return Answer::Full("HTTP/1.1 302 Found", "moved", "Location: " + target + "\r\n");
        });
        TempDir dir;
        const Fetched f = FetchWithSecret(server.Url("/moved"), dir.path().string());
        EXPECT_EQ(f.rc, ZELMO_FETCH_E_TRANSFER) << f.r.error_text;
        EXPECT_NE(f.r.error_text[0], '\0');
        EXPECT_TRUE(f.body.empty());
        EXPECT_TRUE(EntryFiles(dir.path()).empty());
        EXPECT_FALSE(silent.Reached());
        EXPECT_EQ(server.Requests().size(), 1u);
    }
}

// --- the host's lines and the origin ---

TEST(FetchRedirects, SameOriginComparesSchemeHostAndPort)
{
    struct Case {
        const char *a, *b;
        bool same;
    };
    const Case cases[] = {
        {"http://a.example/x", "http://a.example/y?q", true},
        {"http://a.example/", "http://a.example:80/", true},
        {"https://a.example/", "https://a.example:443/", true},
        {"HTTP://A.Example/", "http://a.example:80/", true},
        {"http://user:pw@a.example/", "http://a.example/", true},
        {"http://[::1]:8080/", "http://[::1]:8080/z", true},
        {"http://a.example/", "https://a.example/", false},
        {"https://a.example/", "http://a.example:443/", false},
        {"http://a.example:80/", "http://a.example:8080/", false},
        {"http://a.example:8080/", "http://a.example:8081/", false},
        {"http://a.example/", "http://b.example/", false},
        {"http://a.example/", "http://a.example.b.example/", false},
        {"http://127.0.0.1/", "http://localhost/", false},
        {"http://a.example/", "not a url", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " | " + c.b);
        EXPECT_EQ(zelmo::fetch::SameOrigin(c.a, c.b), c.same);
        EXPECT_EQ(zelmo::fetch::SameOrigin(c.b, c.a), c.same);
    }
}

// Two servers on two ports of 127.0.0.1, each answering /final with a body
// of its own and any other path with the redirect its script names. Each
// case fetches /start on `first` with the host's line and says which
// requests carried it.
TEST(FetchRedirects, TheHostsLinesGoOnlyToTheUrlsOrigin)
{
    struct Case {
        const char *name;
        std::vector<const char *> hops;  // where each answer sends the next request: "first" or "second" path
        const char *body;                // the body served
        std::vector<bool> carried;       // per request, in order: whether it had the host's line
    };
    const Case cases[] = {
        {"no redirect", {}, "first final", {true}},
        {"same origin", {"first /final"}, "first final", {true, true}},
        {"same origin, absolute", {"first! /final"}, "first final", {true, true}},
        {"another port", {"second /final"}, "second final", {true, false}},
        {"another port and back", {"second /via", "first! /final"}, "first final", {true, false, true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> log;  // "first /start" etc., with '+' when the line came
        std::mutex mutex;
        ScriptedServer *servers[2] = {};
        std::atomic<std::size_t> hop{0};
        auto script = [&](int which) {
            return [&, which](const RecordedRequest &request) {
                {
                    std::lock_guard lock(mutex);
                    log.push_back(std::string(which == 0 ? "first " : "second ") + request.target +
                                  (request.Header("X-Api-Key") == "secret" ? "+" : ""));
                }
                if (request.target == "/final" || hop >= c.hops.size())
                    return Answer::Full("HTTP/1.1 200 OK", which == 0 ? "first final" : "second final",
                                        "ETag: \"v1\"\r\n");
                const std::string next = c.hops.at(hop++);
                const bool toSecond = next.rfind("second", 0) == 0;
                const bool absolute = next.find('!') != std::string::npos;
                const std::string path = next.substr(next.find(' ') + 1);
                const std::string location = toSecond || absolute ? servers[toSecond ? 1 : 0]->Url(path) : path;
                return Answer::Full("HTTP/1.1 302 Found", "the redirect's own body", "Location: " + location + "\r\n");
            };
        };
        ScriptedServer first(script(0)), second(script(1));
        servers[0] = &first;
        servers[1] = &second;
        TempDir dir;
        const Fetched f = FetchWithSecret(first.Url("/start"), dir.path().string());
        ASSERT_EQ(f.rc, ZELMO_FETCH_OK) << f.r.error_text;
        EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REPLACED);
        EXPECT_EQ(f.body, c.body) << "the redirects' bodies reach no sink";
        EXPECT_EQ(f.r.http_status, 200);
        ASSERT_EQ(log.size(), c.carried.size());
        for (std::size_t i = 0; i < log.size(); ++i)
            EXPECT_EQ(log[i].back() == '+', c.carried[i]) << log[i];
        // The final answer is stored as the URL's entry, its own header block alone.
        const std::string header = ReadFile(f.r.body_path + std::string("h"));
        EXPECT_EQ(header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << header;
        EXPECT_EQ(header.find("302"), std::string::npos) << header;
        EXPECT_EQ(ReadFile(f.r.body_path), c.body);
    }
}

// The validators belong to the stored answer of the URL: they follow the
// redirect to the other origin, where the host's line does not.
TEST(FetchRedirects, ValidatorsFollowARedirectToAnotherOrigin)
{
    ScriptedServer second([](const RecordedRequest &request) {
        if (request.Header("If-None-Match") == "\"v1\"")
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "elsewhere", "ETag: \"v1\"\r\n");
    });
    ScriptedServer first([&](const RecordedRequest &) {
        return Answer::Full("HTTP/1.1 301 Moved Permanently", "", "Location: " + second.Url("/final") + "\r\n");
    });
    TempDir dir;
    const Fetched stored = FetchWithSecret(first.Url("/start"), dir.path().string());
    ASSERT_EQ(stored.rc, ZELMO_FETCH_OK) << stored.r.error_text;
    EXPECT_EQ(stored.r.outcome, ZELMO_FETCH_REPLACED);
    const Fetched again = FetchWithSecret(first.Url("/start"), dir.path().string());
    ASSERT_EQ(again.rc, ZELMO_FETCH_OK) << again.r.error_text;
    EXPECT_EQ(again.r.outcome, ZELMO_FETCH_REVALIDATED);
    EXPECT_EQ(again.body, "elsewhere");
    const auto atFirst = first.Requests(), atSecond = second.Requests();
    ASSERT_EQ(atFirst.size(), 2u);
    ASSERT_EQ(atSecond.size(), 2u);
    EXPECT_EQ(atFirst[1].Header("If-None-Match"), "\"v1\"");
    EXPECT_EQ(atFirst[1].Header("X-Api-Key"), "secret");
    EXPECT_EQ(atSecond[1].Header("If-None-Match"), "\"v1\"");
    EXPECT_FALSE(atSecond[0].HasHeader("X-Api-Key"));
    EXPECT_FALSE(atSecond[1].HasHeader("X-Api-Key"));
}

// libcurl's limit, both sides: 50 redirects are followed, the 51st fails
// the transfer, and nothing is stored.
TEST(FetchRedirects, FiftyRedirectsAreFollowedAndOneMoreFails)
{
    for (const int redirects : {50, 51}) {
        SCOPED_TRACE(redirects);
        std::atomic<int> answered{0};
        ScriptedServer server([&](const RecordedRequest &) {
            if (++answered <= redirects)
                return Answer::Full("HTTP/1.1 302 Found", "", "Location: /again\r\n");
            return Answer::Full("HTTP/1.1 200 OK", "out of the loop");
        });
        TempDir dir;
        const Fetched f = FetchWithSecret(server.Url("/again"), dir.path().string());
        const auto requests = server.Requests();
        EXPECT_EQ(requests.size(), 51u) << "the first request and 50 redirects";
        if (redirects == 50) {
            EXPECT_EQ(f.rc, ZELMO_FETCH_OK) << f.r.error_text;
            EXPECT_EQ(f.body, "out of the loop");
        } else {
            EXPECT_EQ(f.rc, ZELMO_FETCH_E_TRANSFER);
            EXPECT_NE(std::string(f.r.error_text).find("redirects"), std::string::npos) << f.r.error_text;
            EXPECT_TRUE(f.body.empty());
            EXPECT_TRUE(EntryFiles(dir.path()).empty());
        }
        for (const RecordedRequest &request : requests)
            EXPECT_EQ(request.Header("X-Api-Key"), "secret") << "one origin all along";
    }
}

// A 304 answers the conditional request, Location or not: it is served,
// never followed.
TEST(FetchRedirects, ANotModifiedAnswerIsNeverFollowed)
{
    std::atomic<int> answered{0};
    ScriptedServer server([&](const RecordedRequest &request) {
        ++answered;
        if (request.HasHeader("If-None-Match"))
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\nLocation: /elsewhere\r\n\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "kept", "ETag: \"v1\"\r\n");
    });
    TempDir dir;
    ASSERT_EQ(FetchWithSecret(server.Url("/page"), dir.path().string()).rc, ZELMO_FETCH_OK);
    const Fetched f = FetchWithSecret(server.Url("/page"), dir.path().string());
    EXPECT_EQ(f.rc, ZELMO_FETCH_OK) << f.r.error_text;
    EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REVALIDATED);
    EXPECT_EQ(f.body, "kept");
    EXPECT_EQ(answered.load(), 2);
}

// From https to http the host's line stays behind: nginx's HTTPS server
// redirects to the scripted server over plain http. The fixture's test CA
// is trusted only inside a private mount namespace, in which this test runs
// again.
TEST(FetchNginx, ARedirectFromHttpsToHttpLeavesTheHostsLinesBehind)
{
    if (zelmo::test::os::UnderWine())
        GTEST_SKIP() << "Schannel under wine verifies no certificate; the test CA cannot be trusted alone there";
    if (const std::string reason = NginxSkipReason("https-port"); !reason.empty())
        GTEST_SKIP() << reason;
    if (Exists((NginxDirectory() / "https-skip").string()))
        GTEST_SKIP() << ReadFile((NginxDirectory() / "https-skip").string());
    if (!zelmo::test::os::InPrivateTrust()) {
        std::string output, reason;
        const int status = zelmo::test::os::RerunTrustingOnly(
            (NginxDirectory() / "tls" / "ca.pem").string(),
            "FetchNginx.ARedirectFromHttpsToHttpLeavesTheHostsLinesBehind", output, reason);
        if (status == -1)
            GTEST_SKIP() << reason;
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
        return;
    }
    ScriptedServer plain([](const RecordedRequest &) { return Answer::Full("HTTP/1.1 200 OK", "over http"); });
    const std::string url = "https://127.0.0.1:" + NginxPort("https-port") + "/to-http?port=" +
                            std::to_string(plain.port());
    TempDir dir;
    const Fetched f = FetchWithSecret(url, dir.path().string());
    ASSERT_EQ(f.rc, ZELMO_FETCH_OK) << f.r.error_text;
    EXPECT_EQ(f.body, "over http");
    const auto requests = plain.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/landed");
    EXPECT_FALSE(requests[0].HasHeader("X-Api-Key"));
}

}  // namespace
