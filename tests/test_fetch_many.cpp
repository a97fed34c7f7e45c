// The fetch's connections and its batch: connections kept between calls
// (seen from the server's side: which connection each request came on),
// never across differing settings, a fork or a close; and zelmo_fetch_many,
// each URL with its own outcome, its own sink and destination, the batch's
// progress and cancel, locks held by others, limits.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "platform/platform.h"
#include "support/fetch.h"
#include "support/files.h"
#include "support/http_server.h"
#include "support/nginx.h"
#include "support/os.h"
#include "support/sockets.h"
#include "zelmo_fetch.h"

namespace fs = std::filesystem;
using zelmo::test::Answer;
using zelmo::test::Fetch;
using zelmo::test::Fetched;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::SilentPort;
using zelmo::test::TempDir;

namespace {

// An answer with validators and a body named after the path.
Answer Page(const RecordedRequest &request, std::string_view cacheControl = "")
{
    if (request.HasHeader("If-None-Match"))
        return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n");
    std::string extra = "ETag: \"v1\"\r\n";
    if (!cacheControl.empty())
        extra += "Cache-Control: " + std::string(cacheControl) + "\r\n";
    return Answer::Full("HTTP/1.1 200 OK", "page " + request.target + "\n", extra);
}

std::vector<int> ConnectionsOf(const std::vector<RecordedRequest> &requests)
{
    std::vector<int> seen;
    for (const RecordedRequest &r : requests)
        seen.push_back(r.connection);
    return seen;
}

// A port on 127.0.0.1 where nothing listens: connections are refused.
std::uint16_t RefusingPort()
{
    zelmo::test::net::Start();
    std::uint16_t port = 0;
    const zelmo::test::net::Socket s = zelmo::test::net::ListenLoopback(port);
    zelmo::test::net::Close(s);
    zelmo::test::net::Stop();
    return port;
}

// A batch as the tests call it: items for `urls`, each body gathered into
// its own string.
struct Batch {
    std::vector<std::string> urls;
    std::vector<ZelmoFetchItem> items;
    std::vector<std::string> bodies;
    int rc = -1;

    explicit Batch(std::vector<std::string> list) : urls(std::move(list)), items(urls.size()), bodies(urls.size())
    {
        zelmo_fetch_items_init(items.data(), items.size());
        for (std::size_t i = 0; i < urls.size(); ++i) {
            items[i].url = urls[i].c_str();
            items[i].sink = &zelmo::test::SinkToString;
            items[i].sink_data = &bodies[i];
        }
    }
    int Run(const ZelmoFetchOptions &options)
    {
        return rc = zelmo_fetch_many(items.data(), items.size(), &options);
    }
    const ZelmoFetchResult &operator[](std::size_t i) const { return items[i].result; }
};

ZelmoFetchOptions OptionsFor(const std::string &cache, int mode = ZELMO_CACHE_REVALIDATE)
{
    ZelmoFetchOptions o;
    zelmo_fetch_init(&o, nullptr);
    o.cache_dir = cache.c_str();
    o.cache_mode = mode;
    o.timeout_ms = 20000;
    return o;
}

}  // namespace

// --- the pool ---------------------------------------------------------------

TEST(FetchPool, SequentialCallsShareOneConnectionUntilSomethingSaysOtherwise)
{
    ScriptedServer server([](const RecordedRequest &r) { return Page(r); });
    TempDir dir;
    const std::string cache = dir.path().string();
    zelmo_fetch_close_idle();
    for (int i = 0; i < 5; ++i) {
        const Fetched f = Fetch(server.Url("/p" + std::to_string(i)), cache);
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
    }
    // Revalidations of the same URLs: the same connection still.
    for (int i = 0; i < 5; ++i) {
        const Fetched f = Fetch(server.Url("/p" + std::to_string(i)), cache);
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REVALIDATED);
    }
    EXPECT_EQ(ConnectionsOf(server.Requests()), std::vector<int>(10, 1));

    // A fresh connection when asked; it is pooled in its turn.
    Fetched f = Fetch(server.Url("/fresh"), cache, [](ZelmoFetchOptions &o) { o.flags |= ZELMO_FETCH_FRESH_CONNECT; });
    ASSERT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_EQ(server.Requests().back().connection, 2);
    // Closed idle connections are gone: the next call opens a new one.
    zelmo_fetch_close_idle();
    f = Fetch(server.Url("/after-close"), cache);
    ASSERT_EQ(f.rc, 0) << f.r.error_text;
    EXPECT_EQ(server.Requests().back().connection, 3);
}

TEST(FetchPool, AProxiedCallNeverTakesTheDirectConnectionNorTheOtherWay)
{
    ScriptedServer origin([](const RecordedRequest &r) { return Page(r); });
    ScriptedServer proxy(&ScriptedServer::Forward);
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string proxyAddress = proxy.Address();
    zelmo_fetch_close_idle();
    ASSERT_EQ(Fetch(origin.Url("/direct1"), cache).rc, 0);
    const Fetched proxied =
        Fetch(origin.Url("/proxied"), cache, [&](ZelmoFetchOptions &o) { o.proxy = proxyAddress.c_str(); });
    ASSERT_EQ(proxied.rc, 0) << proxied.r.error_text;
    ASSERT_EQ(Fetch(origin.Url("/direct2"), cache).rc, 0);

    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0].target, origin.Url("/proxied"));
    std::map<std::string, int> connectionOf;
    for (const RecordedRequest &r : origin.Requests())
        connectionOf[r.target] = r.connection;
    EXPECT_EQ(connectionOf["/direct1"], connectionOf["/direct2"]);
    EXPECT_NE(connectionOf["/proxied"], connectionOf["/direct1"]) << "the proxy's own connection to the origin";
}

// A kept connection the server has closed is never the call's failure:
// closed while idle (found dead), or closed on reading the next request
// without an answer (the request sent again on a new connection).
TEST(FetchPool, AKeptConnectionTheServerClosedIsReplacedNotReported)
{
    struct Case {
        const char *name;
        bool closeAfterFirst;  // closed right after the first answer
    };
    for (const Case c : {Case{"closed when idle", true}, Case{"closed on the next request", false}}) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&](const RecordedRequest &r) {
            if (!c.closeAfterFirst && r.sequence == 2) {
                Answer none;
                none.close = true;  // the request read, nothing answered
                return none;
            }
            Answer a = Page(r);
            a.close = c.closeAfterFirst;  // closed without saying so
            return a;
        });
        TempDir dir;
        const std::string cache = dir.path().string();
        zelmo_fetch_close_idle();
        ASSERT_EQ(Fetch(server.Url("/one"), cache).rc, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Fetched second = Fetch(server.Url("/two"), cache);
        ASSERT_EQ(second.rc, 0) << second.r.error_text;
        EXPECT_EQ(second.r.outcome, ZELMO_FETCH_REPLACED);
        EXPECT_EQ(second.body, "page /two\n");
        EXPECT_EQ(server.Requests().back().connection, 2);
    }
}

// A child process never uses its parent's connections, and leaves them
// working for the parent.
TEST(FetchPool, AForkedChildOpensItsOwnConnections)
{
    ScriptedServer server([](const RecordedRequest &r) { return Page(r); });
    TempDir dir;
    const std::string cache = dir.path().string();
    zelmo_fetch_close_idle();
    ASSERT_EQ(Fetch(server.Url("/parent1"), cache).rc, 0);
    const std::optional<int> child = zelmo::test::os::RunInChildProcess([&] {
        const Fetched f = Fetch(server.Url("/child"), cache);
        return f.rc == 0 && f.body == "page /child\n" ? 0 : 1;
    });
    if (!child)
        GTEST_SKIP() << "no fork() on this system";
    EXPECT_EQ(*child, 0);
    const Fetched again = Fetch(server.Url("/parent2"), cache);
    ASSERT_EQ(again.rc, 0) << again.r.error_text;
    std::map<std::string, int> connectionOf;
    for (const RecordedRequest &r : server.Requests())
        connectionOf[r.target] = r.connection;
    EXPECT_EQ(connectionOf["/parent1"], 1);
    EXPECT_EQ(connectionOf["/child"], 2);
    EXPECT_EQ(connectionOf["/parent2"], 1) << "the parent's connection, untouched by the child";
}

// --- the batch --------------------------------------------------------------

TEST(FetchMany, EachUrlHasItsOwnOutcome)
{
    std::atomic<int> requestsSeen{0};
    ScriptedServer server([&](const RecordedRequest &r) {
        ++requestsSeen;
        if (r.target == "/missing")
            return Answer::Full("HTTP/1.1 404 Not Found", "no\n");
        if (r.target == "/cut")
            return Answer::Raw("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly this", true);
        if (r.target == "/fresh" || r.target == "/stale")
            return Page(r, r.target == "/fresh" ? "max-age=3600" : "max-age=0");
        return Page(r);
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    for (const char *path : {"/fresh", "/stale"})
        ASSERT_EQ(Fetch(server.Url(path), cache).rc, 0);
    const std::string refused = "http://127.0.0.1:" + std::to_string(RefusingPort()) + "/x";

    // The fresh hit's sink counts the requests the server had when it ran.
    int requestsAtHit = -1;
    struct Counter {
        std::atomic<int> *seen;
        int *at;
    } counter{&requestsSeen, &requestsAtHit};
    struct AtHit {
        static int ZELMO_API Sink(void *data, const void *, size_t)
        {
            auto *c = static_cast<Counter *>(data);
            *c->at = c->seen->load();
            return 0;
        }
    };

    const std::vector<std::string> urls = {server.Url("/new"), server.Url("/stale"), server.Url("/missing"), refused,
                                           server.Url("/cut"),  server.Url("/fresh"), "",
                                           "ftp://127.0.0.1/", server.Url("/new")};
    Batch b(urls);
    b.items[5].sink = AtHit::Sink;
    b.items[5].sink_data = &counter;
    b.items[6].url = nullptr;  // null
    const int before = requestsSeen.load();
    EXPECT_EQ(b.Run(OptionsFor(cache, ZELMO_CACHE_PREFER_FRESH)), ZELMO_FETCH_E_HTTP) << "the first failure's";

    struct Expect {
        int error, outcome, status;
    };
    const Expect expected[] = {
        {0, ZELMO_FETCH_REPLACED, 200},
        {0, ZELMO_FETCH_REVALIDATED, 304},
        {ZELMO_FETCH_E_HTTP, ZELMO_FETCH_REPLACED, 404},  // its page served, not stored
        {ZELMO_FETCH_E_TRANSFER, ZELMO_FETCH_FAILED, 0},
        {ZELMO_FETCH_E_TRANSFER, ZELMO_FETCH_FAILED, 200},
        {0, ZELMO_FETCH_FRESH_HIT, 0},
        {ZELMO_FETCH_E_OPTIONS, ZELMO_FETCH_FAILED, 0},
        {ZELMO_FETCH_E_OPTIONS, ZELMO_FETCH_FAILED, 0},
        {0, -1, -1},  // the repeated URL: after the first, a fresh... or a revalidation
    };
    for (std::size_t i = 0; i < urls.size(); ++i) {
        SCOPED_TRACE("item " + std::to_string(i) + ": " + (b.items[i].url ? b.items[i].url : "(null)"));
        EXPECT_EQ(b[i].error, expected[i].error) << b[i].error_text;
        if (expected[i].outcome >= 0) {
            EXPECT_EQ(b[i].outcome, expected[i].outcome);
        }
        if (expected[i].status >= 0) {
            EXPECT_EQ(b[i].http_status, expected[i].status);
        }
        EXPECT_EQ(b[i].error == 0, b[i].body_path[0] != '\0');
        EXPECT_EQ(b[i].error != 0, b[i].error_text[0] != '\0');
    }
    EXPECT_EQ(b.bodies[0], "page /new\n");
    EXPECT_EQ(b.bodies[1], "page /stale\n");
    EXPECT_EQ(b.bodies[2], "no\n");
    EXPECT_EQ(b.bodies[5], "");  // its sink counted instead
    EXPECT_EQ(b.bodies[8], "page /new\n");
    EXPECT_TRUE(b[8].outcome == ZELMO_FETCH_REVALIDATED || b[8].outcome == ZELMO_FETCH_FRESH_HIT) << b[8].outcome;
    EXPECT_NE(b[8].flags & ZELMO_FETCH_RESULT_WAITED, 0u) << "it waited for the first of the two";
    EXPECT_EQ(requestsAtHit, before) << "the fresh hit was served before any request";
    // What failed left nothing behind; the 404 and the cut answer stored nothing.
    EXPECT_EQ(Fetch(server.Url("/cut"), cache, ZELMO_CACHE_ONLY).rc, ZELMO_FETCH_E_NOT_CACHED);
    EXPECT_EQ(Fetch(server.Url("/missing"), cache, ZELMO_CACHE_ONLY).rc, ZELMO_FETCH_E_NOT_CACHED);
}

TEST(FetchMany, ArgumentsItRefusesAsAWhole)
{
    TempDir dir;
    const std::string cache = dir.path().string();
    const ZelmoFetchOptions options = OptionsFor(cache);
    EXPECT_EQ(zelmo_fetch_many(nullptr, 0, &options), ZELMO_FETCH_OK) << "zero URLs: nothing to do";
    EXPECT_EQ(zelmo_fetch_many(nullptr, 3, &options), ZELMO_FETCH_E_OPTIONS);

    SilentPort silent;
    const std::string url = "http://" + silent.Authority() + "/";
    {
        Batch b({url, url});
        b.items[1].size = 8;  // an item of another header
        EXPECT_EQ(b.Run(options), ZELMO_FETCH_E_OPTIONS);
        EXPECT_EQ(b[0].error, 0) << "no item touched";
        EXPECT_EQ(b[0].outcome, 0);
    }
    struct Case {
        const char *name;
        void (*tweak)(ZelmoFetchOptions &);
    };
    static std::string sinkData;
    const Case cases[] = {
        {"a destination for all", [](ZelmoFetchOptions &o) { o.destination = "x"; }},
        {"a sink for all", [](ZelmoFetchOptions &o) { o.sink = &zelmo::test::SinkToString, o.sink_data = &sinkData; }},
        {"an unknown flag", [](ZelmoFetchOptions &o) { o.flags = 0x80000000u; }},
        {"a bad mode", [](ZelmoFetchOptions &o) { o.cache_mode = 9; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ZelmoFetchOptions o = options;
        c.tweak(o);
        Batch b({url, url});
        EXPECT_EQ(b.Run(o), ZELMO_FETCH_E_OPTIONS);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(b[i].error, ZELMO_FETCH_E_OPTIONS);
            EXPECT_STRNE(b[i].error_text, "");
        }
    }
    EXPECT_FALSE(silent.Reached()) << "nothing was sent";
}

TEST(FetchMany, EachUrlGoesToItsOwnDestinationAndTheProgressCountsThemAll)
{
    ScriptedServer server([](const RecordedRequest &r) {
        return Answer::Full("HTTP/1.1 200 OK", std::string(1000 * (r.target.size()), 'x'));
    });
    TempDir dir;
    const std::string cache = (dir.path() / "cache").string();
    const std::vector<std::string> urls = {server.Url("/a"), server.Url("/bb"), server.Url("/ccc")};
    Batch b(urls);
    std::vector<std::string> destinations;
    for (std::size_t i = 0; i < urls.size(); ++i)
        destinations.push_back((dir.path() / ("out" + std::to_string(i))).string());
    for (std::size_t i = 0; i < urls.size(); ++i)
        b.items[i].destination = destinations[i].c_str();
    std::vector<std::pair<int64_t, int64_t>> seen;
    ZelmoFetchOptions o = OptionsFor(cache);
    struct Record {
        static int ZELMO_API Progress(void *data, int64_t received, int64_t total)
        {
            static_cast<std::vector<std::pair<int64_t, int64_t>> *>(data)->emplace_back(received, total);
            return 0;
        }
    };
    o.progress = Record::Progress;
    o.progress_data = &seen;
    ASSERT_EQ(b.Run(o), 0);
    for (std::size_t i = 0; i < urls.size(); ++i) {
        EXPECT_EQ(zelmo::test::ReadFile(destinations[i]), std::string(1000 * (i + 2), 'x'));
        EXPECT_EQ(b.bodies[i], std::string(1000 * (i + 2), 'x'));
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().first, 9000) << "all three bodies";
    EXPECT_EQ(seen.back().second, 9000) << "all three totals";
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end(),
                               [](const auto &x, const auto &y) { return x.first < y.first; }));
}

// A progress that asks to stop cancels every URL not done; what was stored
// before stays as it was.
TEST(FetchMany, CancelInTheMiddleLeavesEveryCacheEntryAsItWas)
{
    std::atomic<bool> changed{false};
    ScriptedServer server([&](const RecordedRequest &r) {
        if (!changed)
            return Answer::Full("HTTP/1.1 200 OK", "old " + r.target + "\n", "ETag: \"old\"\r\n");
        const std::string body(200000, 'n');
        const std::string head = "HTTP/1.1 200 OK\r\nETag: \"new\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        return Answer::InPieces(head + body, {head.size() + 1000, 1000, 1000, 1000}, 100);
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    std::vector<std::string> urls;
    for (int i = 0; i < 4; ++i)
        urls.push_back(server.Url("/doc" + std::to_string(i)));
    for (const std::string &url : urls)
        ASSERT_EQ(Fetch(url, cache).rc, 0);
    changed = true;
    Batch b(urls);
    ZelmoFetchOptions o = OptionsFor(cache, ZELMO_CACHE_NETWORK_ONLY);
    int calls = 0;
    struct Cancel {
        static int ZELMO_API Progress(void *data, int64_t received, int64_t)
        {
            ++*static_cast<int *>(data);
            return received >= 3000 ? 1 : 0;  // once three pieces are in
        }
    };
    o.progress = Cancel::Progress;
    o.progress_data = &calls;
    EXPECT_EQ(b.Run(o), ZELMO_FETCH_E_CANCELLED);
    for (std::size_t i = 0; i < urls.size(); ++i) {
        SCOPED_TRACE(urls[i]);
        EXPECT_EQ(b[i].error, ZELMO_FETCH_E_CANCELLED) << b[i].error_text;
        const Fetched stored = Fetch(urls[i], cache, ZELMO_CACHE_ONLY);
        EXPECT_EQ(stored.rc, 0) << stored.r.error_text;
        EXPECT_EQ(stored.body, "old /doc" + std::to_string(i) + "\n");
    }
    EXPECT_GT(calls, 0);
}

// An entry another fetch holds: its URL waits without holding up the
// others, fails at its time limit, or goes on once the lock is free.
TEST(FetchMany, AUrlWaitingForItsLockHoldsUpNoOther)
{
    ScriptedServer server([](const RecordedRequest &r) { return Page(r); });
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string held = server.Url("/held");
    std::string lockPath = cache;
    lockPath += zelmo::platform::kPathSeparator;
    lockPath = zelmo::cache::EntryFilesIn(lockPath, held).lock;
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release ? "released after 300 ms" : "held past the time limit");
        zelmo::platform::FileLock lock;
        std::string why;
        fs::create_directories(cache);
        ASSERT_EQ(lock.Acquire(lockPath.c_str(), 0, why), zelmo::platform::FileLock::Result::Held) << why;
        std::thread releaser;
        if (release)
            releaser = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                lock.Release();
            });
        Batch b({held, server.Url("/free1"), server.Url("/free2")});
        ZelmoFetchOptions o = OptionsFor(cache, ZELMO_CACHE_NETWORK_ONLY);
        o.timeout_ms = 1500;
        b.Run(o);
        if (releaser.joinable())
            releaser.join();
        lock.Release();
        if (release) {
            EXPECT_EQ(b[0].error, 0) << b[0].error_text;
            EXPECT_NE(b[0].flags & ZELMO_FETCH_RESULT_WAITED, 0u);
        } else {
            EXPECT_EQ(b[0].error, ZELMO_FETCH_E_LOCKED) << b[0].error_text;
            EXPECT_GE(b[0].seconds, 1.4);
        }
        for (std::size_t i = 1; i < 3; ++i) {
            EXPECT_EQ(b[i].error, 0) << b[i].error_text;
            EXPECT_LT(b[i].seconds, 1.0) << "done while the other waited";
        }
    }
}

// More URLs than are in progress at once, and a limit on connections per
// host: every URL served, never more connections than allowed.
TEST(FetchMany, ManyUrlsOverFewConnections)
{
    std::mutex m;
    std::set<int> connections;
    ScriptedServer server([&](const RecordedRequest &r) {
        {
            std::lock_guard<std::mutex> hold(m);
            connections.insert(r.connection);
        }
        return Page(r);
    });
    TempDir dir;
    const std::string cache = dir.path().string();
    std::vector<std::string> urls;
    for (int i = 0; i < ZELMO_FETCH_MANY_ACTIVE + 72; ++i)
        urls.push_back(server.Url("/u" + std::to_string(i)));
    Batch b(urls);
    ZelmoFetchOptions o = OptionsFor(cache);
    o.max_host_connections = 3;
    zelmo_fetch_close_idle();
    ASSERT_EQ(b.Run(o), 0);
    for (std::size_t i = 0; i < urls.size(); ++i)
        ASSERT_EQ(b.bodies[i], "page /u" + std::to_string(i) + "\n") << i;
    EXPECT_LE(connections.size(), 3u);
    EXPECT_EQ(server.Requests().size(), urls.size());
}

// A server that never answers fails its own URLs at their time limit; the
// others are served.
TEST(FetchMany, AServerThatNeverAnswersFailsOnlyItsOwnUrls)
{
    ScriptedServer server([](const RecordedRequest &r) { return Page(r); });
    SilentPort silent;
    TempDir dir;
    const std::string cache = dir.path().string();
    Batch b({"http://" + silent.Authority() + "/a", server.Url("/b"), "http://" + silent.Authority() + "/c"});
    ZelmoFetchOptions o = OptionsFor(cache);
    o.timeout_ms = 800;
    EXPECT_EQ(b.Run(o), ZELMO_FETCH_E_TRANSFER);
    EXPECT_EQ(b[0].error, ZELMO_FETCH_E_TRANSFER);
    EXPECT_EQ(b[2].error, ZELMO_FETCH_E_TRANSFER);
    EXPECT_EQ(b[1].error, 0) << b[1].error_text;
    for (std::size_t i : {0u, 2u}) {
        EXPECT_GE(b[i].seconds, 0.7);
        EXPECT_LT(b[i].seconds, 5.0);
    }
}

// --- against nginx: HTTPS, HTTP/2, the CA bundle ----------------------------

namespace {

// nginx's access log lines for `path` (the fixture logs the connection's
// serial number and the protocol).
struct Logged {
    std::string connection, protocol;
    int status = 0;
};

std::vector<Logged> ReadLogFor(const std::string &pathPart)
{
    std::vector<Logged> lines;
    std::ifstream log(zelmo::test::NginxDirectory() / "access.log");
    std::string line;
    while (std::getline(log, line)) {
        if (line.find(pathPart) == std::string::npos)
            continue;
        // $remote_addr $connection $connection_requests "$request" $status $body_bytes_sent $server_protocol
        Logged l;
        std::istringstream words(line);
        std::string addr, requests;
        words >> addr >> l.connection >> requests;
        const auto close = line.rfind('"');
        std::istringstream rest(line.substr(close + 1));
        std::string bytes;
        rest >> l.status >> bytes >> l.protocol;
        lines.push_back(l);
    }
    return lines;
}

std::vector<Logged> LoggedFor(const std::string &pathPart, std::size_t expected = 0)
{
    // nginx logs a request after it has answered it: the last lines may
    // take a moment.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::vector<Logged> lines = ReadLogFor(pathPart);
        if (lines.size() >= expected)
            return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ReadLogFor(pathPart);
}

std::string CaFile()
{
    return (zelmo::test::NginxDirectory() / "tls" / "ca.pem").string();
}

}  // namespace

TEST(FetchNginx, HttpsNeedsTheCaBundleAndThenSharesOneConnection)
{
    if (const std::string reason = zelmo::test::NginxSkipReason("https-port"); !reason.empty())
        GTEST_SKIP() << reason;
    const std::string base = "https://127.0.0.1:" + zelmo::test::NginxPort("https-port") + "/";
    const fs::path root = zelmo::test::NginxDirectory() / "root";
    for (int i = 0; i < 6; ++i)
        std::ofstream(root / ("tls-pool-" + std::to_string(i) + ".txt"), std::ios::binary) << "file " << i << "\n";
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string ca = CaFile();
    zelmo_fetch_close_idle();

    // wine's Schannel checks no certificate it is not asked to check
    // against a CA file, which Windows' does.
    const Fetched untrusted = Fetch(base + "tls-pool-0.txt", cache);
    if (!zelmo::test::os::UnderWine()) {
        EXPECT_EQ(untrusted.rc, ZELMO_FETCH_E_TRANSFER) << "a server no trusted CA vouches for";
    }
    const std::size_t before = LoggedFor("tls-pool-", untrusted.rc == 0 ? 1 : 0).size();
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 3; ++i) {
            const Fetched f = Fetch(base + "tls-pool-" + std::to_string(i) + ".txt", cache,
                                    [&](ZelmoFetchOptions &o) { o.ca_bundle = ca.c_str(); });
            ASSERT_EQ(f.rc, 0) << f.r.error_text;
            EXPECT_EQ(f.body, "file " + std::to_string(i) + "\n");
        }
    std::set<std::string> used;
    const std::vector<Logged> pooled = LoggedFor("tls-pool-", before + 6);
    ASSERT_EQ(pooled.size(), before + 6);
    for (std::size_t i = before; i < pooled.size(); ++i)
        used.insert(pooled[i].connection);
    EXPECT_EQ(used.size(), 1u) << "six calls, one connection";

    // The same CAs from another file are other TLS settings: another connection.
    const std::string copy = (dir.path() / "ca-copy.pem").string();
    fs::copy_file(ca, copy);
    const Fetched other = Fetch(base + "tls-pool-5.txt", cache, [&](ZelmoFetchOptions &o) { o.ca_bundle = copy.c_str(); });
    ASSERT_EQ(other.rc, 0) << other.r.error_text;
    const std::vector<Logged> last = LoggedFor("tls-pool-5.txt", 1);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(used.count(last[0].connection), 0u);
}

TEST(FetchNginx, ABatchOverHttpsIsMultiplexedOnOneHttp2Connection)
{
    if (const std::string reason = zelmo::test::NginxSkipReason("https-port"); !reason.empty())
        GTEST_SKIP() << reason;
    const std::string base = "https://127.0.0.1:" + zelmo::test::NginxPort("https-port") + "/";
    const fs::path root = zelmo::test::NginxDirectory() / "root";
    std::vector<std::string> urls;
    for (int i = 0; i < 30; ++i) {
        std::ofstream(root / ("h2-batch-" + std::to_string(i) + ".txt"), std::ios::binary) << std::string(4096, 'a' + i % 26);
        urls.push_back(base + "h2-batch-" + std::to_string(i) + ".txt");
    }
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string ca = CaFile();
    zelmo_fetch_close_idle();
    for (const int outcome : {ZELMO_FETCH_REPLACED, ZELMO_FETCH_REVALIDATED}) {
        Batch b(urls);
        ZelmoFetchOptions o = OptionsFor(cache);
        o.ca_bundle = ca.c_str();
        ASSERT_EQ(b.Run(o), 0);
        for (std::size_t i = 0; i < urls.size(); ++i) {
            EXPECT_EQ(b[i].outcome, outcome) << b[i].error_text;
            EXPECT_EQ(b.bodies[i], std::string(4096, 'a' + i % 26));
        }
    }
    const std::vector<Logged> logged = LoggedFor("h2-batch-", 60);
    ASSERT_EQ(logged.size(), 60u);
    std::set<std::string> used;
    int notModified = 0;
    for (const Logged &l : logged) {
        used.insert(l.connection);
        notModified += l.status == 304;
    }
    EXPECT_EQ(notModified, 30);
    // libcurl's Schannel code offers ALPN from Windows 8.1 on, but never
    // under wine, whose Schannel once failed with it.
    if (zelmo::test::os::UnderWine() && logged[0].protocol != "HTTP/2.0") {
        EXPECT_LT(used.size(), 60u) << "the second round on connections the first kept";
        GTEST_SKIP() << "libcurl offers no ALPN under wine: the batch ran on " << used.size()
                     << " HTTP/1.1 connections (HTTP/2 itself: FetchNginx.PriorKnowledgeSpeaksHttp2WithoutTls)";
    }
    EXPECT_EQ(logged[0].protocol, "HTTP/2.0");
    EXPECT_EQ(used.size(), 1u) << "60 requests multiplexed on one connection";
}

// HTTP/2 without TLS, for a host that knows the server speaks it: a batch
// multiplexed on one connection, then single calls on that same connection
// (where libcurl can reuse it);
// without the flag, the same URLs go as HTTP/1.1 (which nginx's HTTP/2-only
// port cannot answer). Runs wherever nghttp2 is linked, wine included.
TEST(FetchNginx, PriorKnowledgeSpeaksHttp2WithoutTls)
{
    if (const std::string reason = zelmo::test::NginxSkipReason("h2c-port"); !reason.empty())
        GTEST_SKIP() << reason;
    const std::string base = "http://127.0.0.1:" + zelmo::test::NginxPort("h2c-port") + "/";
    const fs::path root = zelmo::test::NginxDirectory() / "root";
    std::vector<std::string> urls;
    for (int i = 0; i < 12; ++i) {
        std::ofstream(root / ("h2c-" + std::to_string(i) + ".txt"), std::ios::binary) << std::string(3000 + i, 'k');
        urls.push_back(base + "h2c-" + std::to_string(i) + ".txt");
    }
    TempDir dir;
    const std::string cache = dir.path().string();
    zelmo_fetch_close_idle();
    ZelmoFetchOptions o = OptionsFor(cache);
    o.flags |= ZELMO_FETCH_HTTP2_PRIOR_KNOWLEDGE;
    Batch b(urls);
    ASSERT_EQ(b.Run(o), 0) << b[1].error_text;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        EXPECT_EQ(b[i].outcome, ZELMO_FETCH_REPLACED) << b[i].error_text;
        EXPECT_EQ(b.bodies[i], std::string(3000 + i, 'k'));
    }
    for (int i = 0; i < 3; ++i) {
        const Fetched f = Fetch(urls[i], cache, [](ZelmoFetchOptions &x) { x.flags |= ZELMO_FETCH_HTTP2_PRIOR_KNOWLEDGE; });
        ASSERT_EQ(f.rc, 0) << f.r.error_text;
        EXPECT_EQ(f.r.outcome, ZELMO_FETCH_REVALIDATED);
    }
    const std::vector<Logged> logged = LoggedFor("h2c-", 15);
    ASSERT_EQ(logged.size(), 15u);
    std::set<std::string> used;
    for (const Logged &l : logged) {
        used.insert(l.connection);
        EXPECT_EQ(l.protocol, "HTTP/2.0");
    }
    // libcurl before 8.0.0 cannot reuse such a connection: there each
    // request has its own.
    if (curl_version_info(CURLVERSION_NOW)->version_num >= 0x080000)
        EXPECT_EQ(used.size(), 1u) << "the batch and the calls after it on one connection";
    else
        EXPECT_EQ(used.size(), 15u) << "a connection per request, none reused";

    const Fetched plain = Fetch(urls[0], cache, [](ZelmoFetchOptions &x) { x.cache_mode = ZELMO_CACHE_NETWORK_ONLY; });
    EXPECT_EQ(plain.rc, ZELMO_FETCH_E_TRANSFER) << "HTTP/1.1 to a port that speaks only HTTP/2";
}
