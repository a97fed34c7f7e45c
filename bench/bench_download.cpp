// HttpDownload_SYNC against nginx on 127.0.0.1, started here with the test
// suite's fixture script: a 64 MiB GET into the cache against libcurl into a
// file, the curl tool and a plain socket loop (the floor); and a 304 of a
// 1 MiB entry against libcurl with a file read and against `curl -z`; and
// zelmo_fetch: a fresh hit of a 1 MiB entry against its 304, the 304 against
// libcurl's same conditional GET and a file read, a 64 MiB GET streamed to a
// sink against libcurl into a file. The
// sides and their checks are in download_sides.cpp; the curl tool's are
// here, since they start a program.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "download_sides.h"
#include "ratio.h"
#include "zelmo_fetch.h"

extern char **environ;

namespace {

using namespace bench::download;

// Runs a program and waits for it; its exit status, or -1.
int Run(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// nginx started by the fixture script for this program, stopped when it ends.
struct Nginx {
    Nginx() : started(Start()), served(Directory()) {}
    ~Nginx() { Run({ZELMO_NGINX_FIXTURE, "stop", Directory().string()}); }

    static fs::path Directory() { return fs::path(ZELMO_BENCH_BINARY_DIR) / "bench-nginx"; }
    static bool Start() { return Run({ZELMO_NGINX_FIXTURE, "start", Directory().string()}) == 0; }

    bool started;
    Served served;
};

Served &Server()
{
    static Nginx nginx;
    return nginx.served;
}

bool Fails(benchmark::State &state, const std::string &what)
{
    // The message must outlive the run.
    static std::string message;
    message = what;
    state.SkipWithError(message.c_str());
    return true;
}

// Sides run in one loop, in changing orders, so that all meet the same
// conditions on a shared machine; each side's seconds per call are published as the counter
// "<name>_s".
void RunSides(benchmark::State &state, std::vector<Side> &sides)
{
    std::size_t round = 0;
    for (auto _ : state) {
        if (const std::string failed = RunRound(sides, round++); !failed.empty()) {
            Fails(state, failed);
            return;
        }
    }
    for (const Side &side : sides)
        state.counters[side.name + "_s"] = side.SecondsPerCall();
}

void BM_DownloadGet(benchmark::State &state)
{
    Served &served = Server();
    if (!served.skip.empty() && Fails(state, served.skip))
        return;
    GetComparison get(served);
    const std::string url = served.Url("large.bin");
    std::vector<Side> sides = get.Sides();
    sides.insert(sides.begin() + 2, Side{"curltool", [&] { return Run({"curl", "-s", "-f", "-o", get.out, url}) == 0; },
                                         [&] { return get.Landed(get.out); }});
    RunSides(state, sides);
}

// The 304 against libcurl's (state.range(0) == 0) and, in a loop of its
// own, against the curl tool's (1): a program started in the same loop
// leaves the machine's caches cold for whichever call follows it, which
// costs the sides unequally.
void BM_DownloadNotModified(benchmark::State &state)
{
    Served &served = Server();
    if (!served.skip.empty() && Fails(state, served.skip))
        return;
    NotModifiedComparison notModified(served);
    if (const std::string failed = notModified.Prepare(); !failed.empty() && Fails(state, failed))
        return;
    std::vector<Side> sides = notModified.Sides();
    if (state.range(0) != 0)
        sides[1] = {"curltool",
                    [&] {
                        return Run({"curl", "-s", "-f", "-z", notModified.copy, "-o", notModified.copy,
                                    notModified.url}) == 0;
                    },
                    [&] { return served.Logged304() && ReadAll(notModified.copy) == served.small; }};
    RunSides(state, sides);
}


// --- zelmo_fetch against the same nginx ---

// A sink that keeps the body in memory, or only counts it.
struct Sink {
    std::string bytes;
    std::int64_t count = 0;
    bool keep = true;
};

int ZELMO_API ToSink(void *data, const void *bytes, std::size_t length)
{
    auto *sink = static_cast<Sink *>(data);
    if (sink->keep)
        sink->bytes.append(static_cast<const char *>(bytes), length);
    sink->count += static_cast<std::int64_t>(length);
    return 0;
}

// One zelmo_fetch of url in the benchmark's own cache directory.
struct Fetcher {
    explicit Fetcher(bench::download::Served &s) : served(s), cacheDir((s.dir / "fetch-cache").string()) {}
    bench::download::Served &served;
    std::string cacheDir;
    Sink sink;
    bool streamed = true;  // false: the host is given the body's path only
    ZelmoFetchResult result{};

    bool Fetch(const std::string &url, int mode)
    {
        ZelmoFetchOptions options;
        zelmo_fetch_init(&options, &result);
        options.cache_dir = cacheDir.c_str();
        options.cache_mode = mode;
        options.timeout_ms = 60000;
        if (streamed) {
            options.sink = &ToSink;
            options.sink_data = &sink;
        }
        sink.bytes.clear();
        sink.count = 0;
        return zelmo_fetch(url.c_str(), &options, &result) == ZELMO_FETCH_OK;
    }
    bool Gave(int outcome, const std::string &bytes) const
    {
        if (result.outcome != outcome || result.bytes_served != static_cast<std::int64_t>(bytes.size()))
            return false;
        if (!streamed)
            return ReadAll(result.body_path) == bytes;
        return sink.keep ? sink.bytes == bytes : sink.count == result.bytes_served;
    }
};

// The first fetch of url, stored; the message on failure.
std::string Store(Fetcher &fetcher, const std::string &url)
{
    if (!fetcher.Fetch(url, ZELMO_CACHE_NETWORK_ONLY))
        return std::string("first fetch: ") + fetcher.result.error_text;
    fetcher.served.NewStatuses();
    return {};
}

// No request at all: nothing new in nginx's access log.
bool NothingLogged(Served &served)
{
    return served.NewStatuses().empty();
}

// A fresh hit against a 304 of the same entry, both handing the host the
// body's path (state.range(0) == 0) or streaming the body into the host's
// memory (1), where the copy that both sides make is most of the hit's cost.
// The entry is stored once and left to settle first, as entries are hit:
// within a step of the file system's clock after its last change (50 ms, or
// two seconds where file times fall on whole seconds) a body is read and
// checked again on every hit, afterwards its checked stamp stands for it
// (cache/metadata.h). The wait is the longer step, whatever the disk.
void BM_FetchFreshHit(benchmark::State &state)
{
    Served &served = Server();
    if (!served.skip.empty() && Fails(state, served.skip))
        return;
    const std::string url = served.Url("fresh/small.bin");
    Fetcher fresh(served), revalidated(served);
    fresh.streamed = revalidated.streamed = state.range(0) != 0;
    static bool stored = false;
    if (!stored) {
        if (const std::string failed = Store(fresh, url); !failed.empty() && Fails(state, failed))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
        stored = true;
    }
    std::vector<Side> sides = {
        {"fresh", [&] { return fresh.Fetch(url, ZELMO_CACHE_PREFER_FRESH); },
         [&] { return fresh.Gave(ZELMO_FETCH_FRESH_HIT, served.small) && NothingLogged(served); }},
        {"revalidated", [&] { return revalidated.Fetch(url, ZELMO_CACHE_REVALIDATE); },
         [&] { return revalidated.Gave(ZELMO_FETCH_REVALIDATED, served.small) && served.Logged304(); }},
    };
    RunSides(state, sides);
}

// A 304 of a settled entry (as in BM_FetchFreshHit) against libcurl's same
// conditional GET and a read of the body file into memory. Ours ends with
// the body in the host's memory too: read from the path zelmo_fetch gives
// (state.range(0) == 0), or streamed to its sink (1).
void BM_FetchNotModified(benchmark::State &state)
{
    Served &served = Server();
    if (!served.skip.empty() && Fails(state, served.skip))
        return;
    const std::string url = served.Url("small.bin");
    Fetcher fetcher(served);
    fetcher.streamed = state.range(0) != 0;
    static std::string storedBody;
    if (storedBody.empty()) {
        if (const std::string failed = Store(fetcher, url); !failed.empty() && Fails(state, failed))
            return;
        storedBody = fetcher.result.body_path;
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
    // The reference sends the conditional GET zelmo_fetch sends (both
    // validators of the stored answer), then reads its copy of the body.
    NotModifiedComparison copy(served);
    if (const std::string failed = copy.Prepare(); !failed.empty() && Fails(state, failed))
        return;
    const std::string header = ReadAll(storedBody + "h");
    const auto field = [&](const std::string &name) {
        const std::size_t at = header.find("\r\n" + name + ":");
        if (at == std::string::npos)
            return std::string();
        const std::size_t from = header.find_first_not_of(' ', at + name.size() + 3);
        return header.substr(from, header.find("\r\n", from) - from);
    };
    const std::string etag = field("ETag"), lastModified = field("Last-Modified");
    if ((etag.empty() || lastModified.empty()) && Fails(state, "the stored answer lacks a validator"))
        return;
    const std::vector<std::string> lines = {"If-None-Match: " + etag, "If-Modified-Since: " + lastModified};
    std::string memory, ourMemory;
    std::vector<Side> sides = {
        {"ours",
         [&] {
             const bool ok = fetcher.Fetch(url, ZELMO_CACHE_REVALIDATE);
             if (ok && !fetcher.streamed)
                 ourMemory = ReadAll(fetcher.result.body_path);
             return ok;
         },
         [&] {
             return fetcher.Gave(ZELMO_FETCH_REVALIDATED, served.small) && served.Logged304() &&
                    (fetcher.streamed || ourMemory == served.small);
         }},
        {"libcurl",
         [&] {
             const bool ok = bench::download::LibcurlNotModified(url, lines);
             memory = ReadAll(copy.copy);
             return ok;
         },
         [&] { return served.Logged304() && memory == served.small; }},
    };
    RunSides(state, sides);
}

void BM_FetchGet(benchmark::State &state)
{
    Served &served = Server();
    if (!served.skip.empty() && Fails(state, served.skip))
        return;
    const std::string url = served.Url("large.bin");
    Fetcher fetcher(served);
    fetcher.sink.keep = false;  // streamed to a sink that counts; the entry checked after
    const std::string out = (served.dir / "out.bin").string();
    std::vector<Side> sides = {
        {"ours", [&] { return fetcher.Fetch(url, ZELMO_CACHE_NETWORK_ONLY); },
         [&] { return fetcher.Gave(ZELMO_FETCH_REPLACED, served.large) && ReadAll(fetcher.result.body_path) == served.large; }},
        {"libcurl", [&] { return LibcurlToFile(url, out); }, [&] { return ReadAll(out) == served.large; }},
    };
    RunSides(state, sides);
}

BENCHMARK(BM_DownloadGet)->MinTime(4.0)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadNotModified)->ArgName("curltool")->Arg(0)->Arg(1)->MinTime(2.0)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_FetchFreshHit)->ArgName("streamed")->Arg(0)->Arg(1)->MinTime(2.0)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_FetchNotModified)->ArgName("streamed")->Arg(0)->Arg(1)->MinTime(2.0)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_FetchGet)->MinTime(4.0)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);

using bench::Goal;
const bool registered =
    bench::Compare({"64 MiB GET vs libcurl into a file", "BM_DownloadGet:ours_s", "BM_DownloadGet:libcurl_s",
                    Goal::Faster, 1.15}) &&
    bench::Compare({"64 MiB GET vs curl -s -o", "BM_DownloadGet:ours_s", "BM_DownloadGet:curltool_s",
                    Goal::Faster, 1.0}) &&
    bench::Compare({"64 MiB GET vs the socket floor (goal)", "BM_DownloadGet:ours_s", "BM_DownloadGet:floor_s",
                    Goal::Cheaper, 1.4, false}) &&
    bench::Compare({"1 MiB 304 vs libcurl and a file read", "BM_DownloadNotModified/curltool:0:ours_s",
                    "BM_DownloadNotModified/curltool:0:libcurl_s", Goal::Cheaper, 1.2}) &&
    bench::Compare({"1 MiB 304 vs curl -z", "BM_DownloadNotModified/curltool:1:ours_s",
                    "BM_DownloadNotModified/curltool:1:curltool_s", Goal::Faster, 5.0}) &&
    bench::Compare({"zelmo_fetch 1 MiB fresh hit vs its 304", "BM_FetchFreshHit/streamed:0:fresh_s",
                    "BM_FetchFreshHit/streamed:0:revalidated_s", Goal::Faster, 10.0}) &&
    bench::Compare({"the same, streamed to the host's memory", "BM_FetchFreshHit/streamed:1:fresh_s",
                    "BM_FetchFreshHit/streamed:1:revalidated_s", Goal::Faster, 10.0, false}) &&
    bench::Compare({"zelmo_fetch 1 MiB 304 vs libcurl and a file read", "BM_FetchNotModified/streamed:0:ours_s",
                    "BM_FetchNotModified/streamed:0:libcurl_s", Goal::Cheaper, 1.2}) &&
    bench::Compare({"the same, streamed to the host's memory", "BM_FetchNotModified/streamed:1:ours_s",
                    "BM_FetchNotModified/streamed:1:libcurl_s", Goal::Cheaper, 1.2, false}) &&
    bench::Compare({"zelmo_fetch 64 MiB to a sink vs libcurl into a file", "BM_FetchGet:ours_s",
                    "BM_FetchGet:libcurl_s", Goal::Faster, 1.0});

}  // namespace
