// The fetch cache as a whole, through the exports: the size limit of
// zelmo_fetch, zelmo_cache_list and zelmo_cache_prune (least recently used
// first, busy entries kept), against the scripted server, and against nginx
// a prune while another process reads entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "cache/store.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/fetch.h"
#include "support/http_server.h"
#include "support/nginx.h"
#include "support/os.h"
#include "zelmo_fetch.h"

namespace {

using zelmo::test::Fetched;
using zelmo::test::SinkToString;
using zelmo::test::NginxBase;
using zelmo::test::NginxDirectory;
using zelmo::test::NginxPort;
using zelmo::test::NginxSkipReason;
namespace fs = std::filesystem;
namespace os = zelmo::test::os;
using zelmo::test::Answer;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

// mode, and with `limit` >= 0 ZELMO_FETCH_CACHE_LIMIT with that size.
Fetched Fetch(const std::string &url, const std::string &cache, int mode, long long limit = -1,
              const char *destination = nullptr, ZelmoFetchSink sink = &SinkToString, void *sinkData = nullptr)
{
    Fetched f;
    ZelmoFetchOptions o;
    zelmo_fetch_init(&o, &f.r);
    o.cache_dir = cache.c_str();
    o.cache_mode = mode;
    o.timeout_ms = 20000;
    o.sink = sink;
    o.sink_data = sinkData != nullptr ? sinkData : &f.body;
    o.destination = destination;
    if (limit >= 0) {
        o.flags |= ZELMO_FETCH_CACHE_LIMIT;
        o.max_cache_bytes = static_cast<uint64_t>(limit);
    }
    f.rc = zelmo_fetch(url.c_str(), &o, &f.r);
    return f;
}

struct Listed {
    std::string name, url, etag, lastModified;
    uint32_t flags;
    int64_t bodyBytes;
    uint64_t diskBytes;
};

int ZELMO_API Collect(void *data, const ZelmoCacheEntry *e)
{
    static_cast<std::vector<Listed> *>(data)->push_back(
        {e->name, e->url, e->etag, e->last_modified, e->flags, e->body_bytes, e->disk_bytes});
    return 0;
}

std::vector<Listed> List(const std::string &cache)
{
    std::vector<Listed> out;
    EXPECT_EQ(zelmo_cache_list(cache.c_str(), &Collect, &out), 0);
    return out;
}

uint64_t Total(const std::vector<Listed> &entries)
{
    uint64_t sum = 0;
    for (const Listed &e : entries)
        sum += e.diskBytes;
    return sum;
}

// The URLs listed, in the listing's order (least recently used first).
std::vector<std::string> Paths(const std::vector<Listed> &entries, const std::string &base)
{
    std::vector<std::string> out;
    for (const Listed &e : entries)
        out.push_back(e.url.substr(base.size()));
    return out;
}

ZelmoCachePrune Prune(const std::string &cache, uint64_t max, int expected = ZELMO_FETCH_OK)
{
    ZelmoCachePrune p;
    zelmo_cache_prune_init(&p, max);
    EXPECT_EQ(zelmo_cache_prune(cache.c_str(), &p), expected);
    return p;
}

// File timestamps come from a coarse clock: uses are kept apart.
void Tick()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Fresh answers with an ETag, a body of the length the path's digits say
// ("/b/2000"), and 304 to a request that carries the ETag.
ScriptedServer::Script SizedPages()
{
    return [](const RecordedRequest &req) {
        const std::string etag = "\"" + req.target + "\"";
        if (req.Header("If-None-Match") == etag)
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: " + etag + "\r\nCache-Control: max-age=3600\r\n\r\n");
        const std::size_t n = std::stoul(req.target.substr(req.target.rfind('/') + 1));
        return Answer::Full("HTTP/1.1 200 OK", std::string(n, req.target[1]),
                            "ETag: " + etag + "\r\nCache-Control: max-age=3600\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n");
    };
}

TEST(FetchStore, PruneRemovesTheLeastRecentlyUsedFirst)
{
    ScriptedServer server(SizedPages());
    const std::string base = server.Url("/");
    // Stored in this order, then used: c by a fresh hit streamed to a sink,
    // a by a 304, e by a fresh hit that gives only the body's path. Least
    // recently used first: b, d, c, a, e.
    const std::vector<std::string> stored = {"a/3000", "b/20000", "c/9000", "d/12000", "e/5000"};
    struct Use {
        std::string path;
        int mode;
        ZelmoFetchSink sink;
    };
    const std::vector<Use> uses = {{"c/9000", ZELMO_CACHE_PREFER_FRESH, &SinkToString},
                                   {"a/3000", ZELMO_CACHE_REVALIDATE, &SinkToString},
                                   {"e/5000", ZELMO_CACHE_PREFER_FRESH, nullptr}};
    const std::vector<std::string> lru = {"b/20000", "d/12000", "c/9000", "a/3000", "e/5000"};
    struct Case {
        const char *name;
        int removed;  // the limit is what the others occupy
    };
    for (const Case &c : {Case{"the cache fits", 0}, Case{"one entry over", 1}, Case{"two entries over", 2},
                          Case{"four entries over", 4}, Case{"nothing may stay", 5}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string cache = dir.path().string();
        for (const std::string &p : stored) {
            ASSERT_EQ(Fetch(base + p, cache, ZELMO_CACHE_REVALIDATE).r.outcome, ZELMO_FETCH_REPLACED);
            Tick();
        }
        for (const Use &u : uses) {
            const Fetched f = Fetch(base + u.path, cache, u.mode, -1, nullptr, u.sink);
            ASSERT_EQ(f.rc, 0) << f.r.error_text;
            ASSERT_EQ(f.r.outcome, u.mode == ZELMO_CACHE_PREFER_FRESH ? ZELMO_FETCH_FRESH_HIT : ZELMO_FETCH_REVALIDATED);
            Tick();
        }
        const std::vector<Listed> before = List(cache);
        ASSERT_EQ(Paths(before, base), lru);
        const Listed &a = before[3];
        EXPECT_EQ(a.flags, ZELMO_CACHE_ENTRY_COMPLETE);
        EXPECT_EQ(a.bodyBytes, 3000);
        EXPECT_EQ(a.etag, "\"/a/3000\"");
        EXPECT_EQ(a.lastModified, "Wed, 21 Oct 2015 07:28:00 GMT");
        const std::string body = zelmo::cache::EntryPathsOf(a.url).body;
        EXPECT_EQ(body.substr(body.size() - a.name.size()), a.name) << "named after the URL's digest";

        uint64_t max = Total(before);
        for (int i = 0; i < c.removed; ++i)
            max -= before[i].diskBytes;
        const ZelmoCachePrune p = Prune(cache, max);
        EXPECT_EQ(p.removed, static_cast<uint32_t>(c.removed));
        EXPECT_EQ(p.busy, 0u);
        EXPECT_EQ(p.bytes_before, Total(before));
        EXPECT_LE(p.bytes_after, max);
        const std::vector<Listed> after = List(cache);
        EXPECT_EQ(Paths(after, base), std::vector<std::string>(lru.begin() + c.removed, lru.end()));
        EXPECT_EQ(Total(after), p.bytes_after);
    }
}

TEST(FetchStore, TheSizeCountsEveryFileOfAnEntry)
{
    ScriptedServer server(SizedPages());
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string url = server.Url("/x/4000");
    ASSERT_EQ(Fetch(url, cache, ZELMO_CACHE_REVALIDATE).rc, 0);
    const zelmo::cache::EntryFiles files = zelmo::cache::EntryFilesIn(cache + zelmo::platform::kPathSeparator, url);
    const std::vector<Listed> one = List(cache);
    ASSERT_EQ(one.size(), 1u);
    uint64_t files3 = 0;
    for (const std::string *f : {&files.body, &files.header, &files.meta})
        files3 += zelmo::platform::AllocatedBytes(f->c_str());
    EXPECT_GE(one[0].diskBytes, files3) << "body, header and metadata";
    EXPECT_GT(zelmo::platform::AllocatedBytes(files.header.c_str()), 0u);

    // A partial body beside the entry, and a temporary a crashed fetch left.
    std::ofstream(files.body + "p", std::ios::binary) << std::string(50000, 'p');
    std::ofstream(files.body + ".99-1.part", std::ios::binary) << std::string(7000, 't');
    const std::vector<Listed> more = List(cache);
    ASSERT_EQ(more.size(), 1u);
    EXPECT_EQ(more[0].flags & ZELMO_CACHE_ENTRY_PARTIAL, ZELMO_CACHE_ENTRY_PARTIAL);
    EXPECT_GE(more[0].diskBytes, one[0].diskBytes + 57000);
    EXPECT_EQ(Prune(cache, more[0].diskBytes).removed, 0u);

    const ZelmoCachePrune p = Prune(cache, more[0].diskBytes - 1);
    EXPECT_EQ(p.removed, 1u);
    EXPECT_EQ(p.bytes_after, zelmo::platform::AllocatedBytes(files.lock.c_str()));
    for (const std::string &f : {files.header, files.meta, files.body, files.body + "p", files.body + ".99-1.part"})
        EXPECT_FALSE(fs::exists(f)) << f;
    EXPECT_TRUE(fs::exists(files.lock)) << "the lock file stays for the fetches that may wait on it";
    EXPECT_TRUE(List(cache).empty());
}

// A sink that holds the serving fetch until the test lets it go.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, open = false;
};

int ZELMO_API WaitAtGate(void *data, const void *, size_t)
{
    auto *g = static_cast<Gate *>(data);
    std::unique_lock<std::mutex> hold(g->m);
    g->inside = true;
    g->cv.notify_all();
    g->cv.wait_for(hold, std::chrono::seconds(20), [&] { return g->open; });
    return 0;
}

TEST(FetchStore, EntriesBeingWrittenOrServedAreNeverRemoved)
{
    ScriptedServer server(SizedPages());
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string written = server.Url("/w/1000"), served = server.Url("/s/1000"), idle = server.Url("/i/1000");
    for (const std::string &u : {written, served, idle})
        ASSERT_EQ(Fetch(u, cache, ZELMO_CACHE_REVALIDATE).rc, 0);
    const std::string dirSep = cache + zelmo::platform::kPathSeparator;

    // Another fetch holds `written`'s lock (as while it transfers); `served`
    // is in the middle of a fresh hit, its sink not yet returned.
    zelmo::platform::FileLock writer;
    std::string why;
    ASSERT_EQ(writer.Acquire(zelmo::cache::EntryFilesIn(dirSep, written).lock.c_str(), 0, why),
              zelmo::platform::FileLock::Result::Held);
    Gate gate;
    Fetched hit;
    std::thread reader([&] { hit = Fetch(served, cache, ZELMO_CACHE_PREFER_FRESH, -1, nullptr, &WaitAtGate, &gate); });
    {
        std::unique_lock<std::mutex> hold(gate.m);
        ASSERT_TRUE(gate.cv.wait_for(hold, std::chrono::seconds(20), [&] { return gate.inside; }));
    }
    const ZelmoCachePrune p = Prune(cache, 0, ZELMO_FETCH_E_LOCKED);
    EXPECT_EQ(p.removed, 1u);
    EXPECT_EQ(p.busy, 2u);
    {
        std::lock_guard<std::mutex> hold(gate.m);
        gate.open = true;
    }
    gate.cv.notify_all();
    reader.join();
    EXPECT_EQ(hit.rc, 0) << hit.r.error_text;
    EXPECT_EQ(hit.r.outcome, ZELMO_FETCH_FRESH_HIT);
    std::vector<std::string> left;
    for (const Listed &e : List(cache))
        left.push_back(e.url);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{served, written}));

    writer.Release();
    EXPECT_EQ(Prune(cache, 0).removed, 2u);
    EXPECT_TRUE(List(cache).empty());
}

TEST(FetchStore, ALimitKeepsTheCacheUnderItAndZeroKeepsNothing)
{
    ScriptedServer server(SizedPages());
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string base = server.Url("/");

    // Without the flag the field must stay 0; cache only with a limit of 0 has nothing to serve.
    ZelmoFetchOptions o;
    ZelmoFetchResult r;
    zelmo_fetch_init(&o, &r);
    o.cache_dir = cache.c_str();
    o.max_cache_bytes = 100000;
    EXPECT_EQ(zelmo_fetch((base + "n/10").c_str(), &o, &r), ZELMO_FETCH_E_OPTIONS);
    EXPECT_EQ(Fetch(base + "n/10", cache, ZELMO_CACHE_ONLY, 0).rc, ZELMO_FETCH_E_OPTIONS);

    // A limit that holds one entry: the next one stored pushes the first out,
    // never itself.
    ASSERT_EQ(Fetch(base + "a/6000", cache, ZELMO_CACHE_REVALIDATE).rc, 0);
    const uint64_t one = Total(List(cache));
    Tick();
    const Fetched b = Fetch(base + "b/6000", cache, ZELMO_CACHE_REVALIDATE, static_cast<long long>(one + one / 2));
    ASSERT_EQ(b.rc, 0) << b.r.error_text;
    EXPECT_EQ(b.r.flags & ZELMO_FETCH_RESULT_NOT_STORED, 0u);
    EXPECT_EQ(Paths(List(cache), base), std::vector<std::string>{"b/6000"});

    // An entry larger than the limit is served, not stored, and the URL's
    // former entry, which it outdates, goes.
    const Fetched big = Fetch(base + "b/6000", cache, ZELMO_CACHE_NETWORK_ONLY, 1000);
    ASSERT_EQ(big.rc, 0) << big.r.error_text;
    EXPECT_EQ(big.r.outcome, ZELMO_FETCH_REPLACED);
    EXPECT_NE(big.r.flags & ZELMO_FETCH_RESULT_NOT_STORED, 0u);
    EXPECT_EQ(big.body, std::string(6000, 'b'));
    EXPECT_STREQ(big.r.body_path, "");
    EXPECT_TRUE(List(cache).empty());

    // A limit of 0: no entry looked at or kept, each fetch a request of its
    // own; the body reaches sink and destination alike.
    ASSERT_EQ(Fetch(base + "c/3000", cache, ZELMO_CACHE_REVALIDATE).rc, 0);
    const std::size_t requests = server.Requests().size();
    const std::string out = (dir.path() / "copy.bin").string();
    for (int i = 0; i < 2; ++i) {
        const Fetched z = Fetch(base + "c/3000", cache, ZELMO_CACHE_PREFER_FRESH, 0, out.c_str());
        ASSERT_EQ(z.rc, 0) << z.r.error_text;
        EXPECT_EQ(z.r.outcome, ZELMO_FETCH_REPLACED);
        EXPECT_NE(z.r.flags & ZELMO_FETCH_RESULT_NOT_STORED, 0u);
        EXPECT_EQ(z.body, std::string(3000, 'c'));
        EXPECT_EQ(zelmo::test::ReadFile(out), std::string(3000, 'c'));
    }
    EXPECT_EQ(server.Requests().size(), requests + 2);
    EXPECT_TRUE(List(cache).empty());
    for (const auto &e : fs::directory_iterator(cache)) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "copy.bin" || name.back() == 'l') << name << " left in the cache";
    }
}

// HttpDownload_SYNC writes its temporaries ("<md5>.tmp", "<md5>h.tmp") without
// the entry's lock: a prune cannot tell a running download from a finished
// one, so it never deletes them, beside a stored entry or alone (a first
// download of the URL), through the export or the store's own prune.
TEST(FetchStore, APruneLeavesTheTemporariesOfARunningDownload)
{
    ScriptedServer server(SizedPages());
    struct Case {
        const char *name;
        bool stored;     // a complete entry of the URL lies beside the temporaries
        bool viaExport;  // zelmo_cache_prune, else cache::Prune
    };
    const Case cases[] = {
        {"beside an entry, export", true, true},
        {"beside an entry, store", true, false},
        {"alone, export", false, true},
        {"alone, store", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string cache = dir.path().string();
        const std::string dirSep = cache + zelmo::platform::kPathSeparator;
        const std::string url = server.Url("/t/4000");
        const zelmo::cache::EntryFiles files = zelmo::cache::EntryFilesIn(dirSep, url);
        if (c.stored) {
            ASSERT_EQ(Fetch(url, cache, ZELMO_CACHE_REVALIDATE).rc, 0);
        }
        // An entry of another URL, idle, which the prune does remove.
        const std::string other = server.Url("/o/3000");
        ASSERT_EQ(Fetch(other, cache, ZELMO_CACHE_REVALIDATE).rc, 0);
        const zelmo::cache::EntryFiles otherFiles = zelmo::cache::EntryFilesIn(dirSep, other);
        const std::string bodyTemp = files.body + ".tmp", headerTemp = files.header + ".tmp";
        ASSERT_EQ(headerTemp, files.body + "h.tmp");
        const std::string bodyPart(9000, 'd'), headerPart = "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n";
        std::ofstream(bodyTemp, std::ios::binary) << bodyPart;
        std::ofstream(headerTemp, std::ios::binary) << headerPart;

        if (c.viaExport) {
            ZelmoCachePrune p;
            zelmo_cache_prune_init(&p, 0);
            const int rc = zelmo_cache_prune(cache.c_str(), &p);
            EXPECT_EQ(rc, ZELMO_FETCH_E_LOCKED) << "the temporaries keep the cache above 0 bytes";
            EXPECT_GE(p.bytes_after, zelmo::platform::AllocatedBytes(bodyTemp.c_str()));
        } else {
            zelmo::cache::PruneCounts counts;
            ASSERT_TRUE(zelmo::cache::Prune(dirSep, 0, std::string(), counts));
            EXPECT_GE(counts.after, zelmo::platform::AllocatedBytes(bodyTemp.c_str()));
        }
        EXPECT_EQ(zelmo::test::ReadFile(bodyTemp), bodyPart);
        EXPECT_EQ(zelmo::test::ReadFile(headerTemp), headerPart);
        for (const std::string &f : {files.header, files.meta, files.body, otherFiles.header, otherFiles.meta, otherFiles.body})
            EXPECT_FALSE(fs::exists(f)) << f << " was not pruned";
    }
}

// --- against nginx: a prune while another process reads ---

constexpr int kPages = 8;

std::string PageContent(int i)
{
    std::string s(40000 + 3000 * i, '\0');
    for (std::size_t k = 0; k < s.size(); ++k)
        s[k] = static_cast<char>(k * 7 + i);
    return s;
}

// The child: fetches the pages round and round for two seconds; exit
// status 0 only when every fetch served the page's whole content.
int ReadPages(const std::string &args)
{
    const std::size_t space = args.find(' ');
    const std::string base = args.substr(0, space), cache = args.substr(space + 1);
    std::vector<std::string> pages;
    for (int i = 0; i < kPages; ++i)
        pages.push_back(PageContent(i));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
        const int i = n % kPages;
        const Fetched f = Fetch(base + "prune-" + std::to_string(i) + ".bin", cache, ZELMO_CACHE_PREFER_FRESH);
        if (f.rc != 0)
            return 10 + f.rc;
        if (f.body != pages[i])
            return 9;
    }
    return 0;
}

TEST(FetchNginx, APruneWhileAnotherProcessReadsNeverFailsIt)
{
    os::ChildTurn(&ReadPages);
    if (const std::string reason = NginxSkipReason(); !reason.empty())
        GTEST_SKIP() << reason;
    TempDir dir;
    const std::string cache = dir.path().string();
    const std::string base = "http://127.0.0.1:" +
                             std::to_string(std::stoi(zelmo::test::ReadFile((NginxDirectory() / "port").string()))) + "/";
    for (int i = 0; i < kPages; ++i) {
        const fs::path page = NginxDirectory() / "root" / ("prune-" + std::to_string(i) + ".bin");
        std::ofstream(page, std::ios::binary | std::ios::trunc) << PageContent(i);
        zelmo::test::SetLastWriteYear(page, 2020);  // fresh for days by the heuristic
    }
    const std::intptr_t child = os::StartChild(&ReadPages, base + " " + cache);
    ASSERT_NE(child, -1);
    // Prunes to about half the pages, over and over, while the child reads.
    unsigned removed = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1800);
    while (std::chrono::steady_clock::now() < end) {
        ZelmoCachePrune p;
        zelmo_cache_prune_init(&p, 4 * 50000);
        const int rc = zelmo_cache_prune(cache.c_str(), &p);
        EXPECT_TRUE(rc == ZELMO_FETCH_OK || rc == ZELMO_FETCH_E_LOCKED) << rc;
        removed += p.removed;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(os::WaitChild(child), 0) << "the reader got a failure (10 + error) or a wrong body (9)";
    EXPECT_GT(removed, 0u) << "the prunes removed nothing: the test did not test";
    for (int i = 0; i < kPages; ++i)
        fs::remove(NginxDirectory() / "root" / ("prune-" + std::to_string(i) + ".bin"));
}

}  // namespace
