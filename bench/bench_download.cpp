// HttpDownload_SYNC against nginx on 127.0.0.1, started here with the test
// suite's fixture script: a 64 MiB GET into the cache against libcurl into a
// file, the curl tool and a plain socket loop (the floor); and a 304 of a
// 1 MiB entry against libcurl with a file read and against `curl -z`. The
// sides and their checks are in download_sides.cpp; the curl tool's are
// here, since they start a program.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "download_sides.h"
#include "ratio.h"

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

// Sides run in one loop in turns so that all meet the same conditions on a
// shared machine; each side's seconds per call are published as the counter
// "<name>_s".
void RunSides(benchmark::State &state, std::vector<Side> &sides)
{
    std::size_t first = 0;
    for (auto _ : state) {
        if (const std::string failed = RunRound(sides, first); !failed.empty()) {
            Fails(state, failed);
            return;
        }
        first = (first + 1) % sides.size();
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

void BM_DownloadNotModified(benchmark::State &state)
{
    Served &served = Server();
    if (!served.skip.empty() && Fails(state, served.skip))
        return;
    NotModifiedComparison notModified(served);
    if (const std::string failed = notModified.Prepare(); !failed.empty() && Fails(state, failed))
        return;
    std::vector<Side> sides = notModified.Sides();
    sides.push_back({"curltool",
                     [&] {
                         return Run({"curl", "-s", "-f", "-z", notModified.copy, "-o", notModified.copy,
                                     notModified.url}) == 0;
                     },
                     [&] { return served.Logged304() && ReadAll(notModified.copy) == served.small; }});
    RunSides(state, sides);
}

BENCHMARK(BM_DownloadGet)->MinTime(4.0)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadNotModified)->MinTime(2.0)->Repetitions(3)->UseRealTime();

using bench::Goal;
const bool registered =
    bench::Compare({"64 MiB GET vs libcurl into a file", "BM_DownloadGet:ours_s", "BM_DownloadGet:libcurl_s",
                    Goal::Faster, 1.15}) &&
    bench::Compare({"64 MiB GET vs curl -s -o", "BM_DownloadGet:ours_s", "BM_DownloadGet:curltool_s",
                    Goal::Faster, 1.0}) &&
    bench::Compare({"64 MiB GET vs the socket floor (goal)", "BM_DownloadGet:ours_s", "BM_DownloadGet:floor_s",
                    Goal::Cheaper, 1.4, false}) &&
    bench::Compare({"1 MiB 304 vs libcurl and a file read", "BM_DownloadNotModified:ours_s",
                    "BM_DownloadNotModified:libcurl_s", Goal::Cheaper, 1.2}) &&
    bench::Compare({"1 MiB 304 vs curl -z", "BM_DownloadNotModified:ours_s",
                    "BM_DownloadNotModified:curltool_s", Goal::Faster, 5.0});

}  // namespace
