// The prune of a fetch cache: 10,000 small entries (body, header, metadata
// and lock file each) brought to half their size, against a listing of the
// same directory with each file's size and time (what `ls -l` reads), and
// against the bound of one second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include <unistd.h>
#include <string>

#include "cache/cache.h"
#include "cache/metadata.h"
#include "cache/store.h"
#include "ratio.h"
#include "zelmo_fetch.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kEntries = 10000;

void Write(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A cache of kEntries entries in `dir`, each as zelmo_fetch leaves it.
void FillCache(const fs::path &dir)
{
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string prefix = dir.string() + "/";
    const std::string body(200, 'b');
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 200\r\nETag: \"e\"\r\n\r\n";
    for (int i = 0; i < kEntries; ++i) {
        const std::string url = "http://bench.invalid/entry/" + std::to_string(i);
        const zelmo::cache::EntryFiles files = zelmo::cache::EntryFilesIn(prefix, url);
        zelmo::cache::EntryMeta meta;
        meta.url = url;
        meta.length = 200;
        meta.etag = "\"e\"";
        Write(files.body, body);
        Write(files.meta, zelmo::cache::FormatMeta(meta));
        Write(files.header, header);
        Write(files.lock, "");
    }
}

void BM_CachePrune(benchmark::State &state)
{
    const fs::path dir = fs::temp_directory_path() / ("zelmo-bench-prune-" + std::to_string(::getpid()));
    double pruneSeconds = 0, listSeconds = 0;
    for (auto _ : state) {
        FillCache(dir);
        std::vector<zelmo::cache::EntryOnDisk> entries;
        std::uint64_t total = 0;
        zelmo::cache::ListEntries(dir.string() + "/", entries, &total);

        // The reference: every file's size and last-write time.
        const Clock::time_point listStart = Clock::now();
        std::uintmax_t bytes = 0;
        int files = 0;
        for (const fs::directory_entry &e : fs::directory_iterator(dir)) {
            bytes += e.file_size();
            benchmark::DoNotOptimize(e.last_write_time());
            ++files;
        }
        const double list = std::chrono::duration<double>(Clock::now() - listStart).count();

        ZelmoCachePrune prune;
        zelmo_cache_prune_init(&prune, total / 2);
        const Clock::time_point pruneStart = Clock::now();
        const int rc = zelmo_cache_prune(dir.string().c_str(), &prune);
        const double seconds = std::chrono::duration<double>(Clock::now() - pruneStart).count();
        state.SetIterationTime(seconds);
        if (rc != ZELMO_FETCH_OK || files != 4 * kEntries || bytes == 0 || prune.removed < kEntries / 2 - 10 ||
            prune.bytes_after > total / 2) {
            state.SkipWithError("the prune did not bring 10,000 entries to half their size");
            break;
        }
        pruneSeconds = pruneSeconds == 0 || seconds < pruneSeconds ? seconds : pruneSeconds;
        listSeconds = listSeconds == 0 || list < listSeconds ? list : listSeconds;
    }
    fs::remove_all(dir);
    state.counters["prune_s"] = pruneSeconds;
    state.counters["list_s"] = listSeconds;
    state.counters["bound_s"] = 1.0;
}

BENCHMARK(BM_CachePrune)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

using bench::Goal;
const bool registered =
    bench::Compare({"prune 10,000 entries to half vs 1 s", "BM_CachePrune:prune_s", "BM_CachePrune:bound_s",
                    Goal::Cheaper, 1.0}) &&
    bench::Compare({"prune 10,000 entries to half vs ls -l", "BM_CachePrune:prune_s", "BM_CachePrune:list_s",
                    Goal::Cheaper, 40.0});

}  // namespace
