// The fetch's pool and batch call against nginx, as a smoke run for the
// builds without Google Benchmark: 40 files of 4 KiB fetched by one
// zelmo_fetch_many into an empty cache, revalidated by 40 single calls on
// the pooled connection and by a second batch, and (where nginx serves
// HTTP/2 in clear text) a batch by prior knowledge. Every URL's result and
// body is checked, and nginx's access log must show a 304 for each
// revalidation and one connection for the single calls. Timings only.
#include "fetch_smoke.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "zelmo_fetch.h"

namespace bench::download {
namespace {

constexpr int kFiles = 40;
constexpr std::size_t kFileSize = 4096;

std::vector<AccessLine> LogLines(const fs::path &dir)
{
    std::vector<AccessLine> lines;
    std::ifstream log(dir / "access.log");
    std::string text;
    AccessLine l;
    while (std::getline(log, text))
        if (ParseAccessLine(text, l))
            lines.push_back(l);
    return lines;
}

// The log lines after the first `from`, once there are `count` of them
// (nginx logs a request after answering it).
std::vector<AccessLine> NewLines(const fs::path &dir, std::size_t from, std::size_t count)
{
    std::vector<AccessLine> lines;
    for (int attempt = 0; attempt < 100; ++attempt) {
        lines = LogLines(dir);
        if (lines.size() >= from + count)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (lines.size() < from)
        return {};
    return std::vector<AccessLine>(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
}

int ZELMO_API ToString(void *data, const void *bytes, size_t length)
{
    static_cast<std::string *>(data)->append(static_cast<const char *>(bytes), length);
    return 0;
}

class Smoke {
public:
    Smoke(const Served &served, const fs::path &cacheDir) : served_(served), cache_(cacheDir.string())
    {
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "smoke-" + std::to_string(i) + ".bin";
            std::string body(kFileSize, static_cast<char>('a' + i % 26));
            body.replace(0, name.size(), name);
            std::ofstream(served.dir / "root" / name, std::ios::binary) << body;
            names_.push_back(name);
            bodies_.push_back(body);
        }
    }

    std::string Base(const char *portFile) const
    {
        std::ifstream in(served_.dir / portFile);
        int port = 0;
        in >> port;
        return port > 0 ? "http://127.0.0.1:" + std::to_string(port) + "/" : std::string();
    }

    // One batch of every file from `base`; each result must be `outcome`.
    bool Batch(const std::string &what, const std::string &base, int outcome, std::uint32_t flags)
    {
        std::vector<std::string> urls, got(kFiles);
        std::vector<ZelmoFetchItem> items(kFiles);
        zelmo_fetch_items_init(items.data(), items.size());
        for (int i = 0; i < kFiles; ++i) {
            urls.push_back(base + names_[i]);
            items[i].url = urls[i].c_str();
            items[i].sink = &ToString;
            items[i].sink_data = &got[i];
        }
        ZelmoFetchOptions options = Options(flags);
        const Clock::time_point start = Clock::now();
        const int rc = zelmo_fetch_many(items.data(), items.size(), &options);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        bool ok = rc == ZELMO_FETCH_OK;
        for (int i = 0; i < kFiles; ++i) {
            const ZelmoFetchResult &r = items[i].result;
            if (r.error != ZELMO_FETCH_OK || r.outcome != outcome || got[i] != bodies_[i]) {
                std::printf("FAIL: %s: %s: error %d (%s), outcome %s, %zu bytes\n", what.c_str(), urls[i].c_str(),
                            r.error, r.error_text, zelmo_fetch_outcome_name(r.outcome), got[i].size());
                ok = false;
            }
        }
        std::printf("  %-44s %9.3f ms for %d URLs\n", what.c_str(), seconds * 1e3, kFiles);
        return ok;
    }

    // Every file by a zelmo_fetch of its own, one after the other; each must
    // be revalidated.
    bool Singles(const std::string &what, const std::string &base)
    {
        bool ok = true;
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kFiles; ++i) {
            const std::string url = base + names_[i];
            std::string got;
            ZelmoFetchOptions options = Options(0);
            options.sink = &ToString;
            options.sink_data = &got;
            ZelmoFetchResult result;
            zelmo_fetch_init(nullptr, &result);
            if (zelmo_fetch(url.c_str(), &options, &result) != ZELMO_FETCH_OK ||
                result.outcome != ZELMO_FETCH_REVALIDATED || got != bodies_[i]) {
                std::printf("FAIL: %s: %s: error %d (%s), outcome %s\n", what.c_str(), url.c_str(), result.error,
                            result.error_text, zelmo_fetch_outcome_name(result.outcome));
                ok = false;
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("  %-44s %9.3f ms per call\n", what.c_str(), seconds * 1e3 / kFiles);
        return ok;
    }

    // The log since line `from`: `count` requests, `notModified` of them
    // 304s, on at most `connections` connections, in `protocol`.
    bool LogShows(const std::string &what, std::size_t from, std::size_t count, std::size_t notModified,
                std::size_t connections, const char *protocol) const
    {
        const std::vector<AccessLine> lines = NewLines(served_.dir, from, count);
        std::set<long> used;
        std::size_t seen304 = 0;
        bool rightProtocol = true;
        for (const AccessLine &l : lines) {
            used.insert(l.connection);
            seen304 += l.status == 304;
            rightProtocol = rightProtocol && l.protocol == protocol;
        }
        if (lines.size() != count || seen304 != notModified || used.size() > connections || !rightProtocol) {
            std::printf("FAIL: %s: nginx logged %zu requests (%zu expected), %zu of them 304 (%zu expected), on %zu "
                        "connections (at most %zu), %s\n",
                        what.c_str(), lines.size(), count, seen304, notModified, used.size(), connections,
                        rightProtocol ? protocol : "in another protocol");
            return false;
        }
        return true;
    }

    std::size_t LogSize() const { return LogLines(served_.dir).size(); }

private:
    ZelmoFetchOptions Options(std::uint32_t flags) const
    {
        ZelmoFetchOptions options;
        zelmo_fetch_init(&options, nullptr);
        options.cache_dir = cache_.c_str();
        options.cache_mode = ZELMO_CACHE_REVALIDATE;
        options.timeout_ms = 30000;
        options.flags = flags;
        return options;
    }

    const Served &served_;
    std::string cache_;
    std::vector<std::string> names_, bodies_;
};

}  // namespace

bool SmokeFetchPoolAndBatch(const Served &served, const fs::path &cacheDir)
{
    std::error_code ignored;
    fs::remove_all(cacheDir, ignored);
    fs::create_directories(cacheDir, ignored);
    Smoke smoke(served, cacheDir);
    std::printf("zelmo_fetch's pool and zelmo_fetch_many, %d files of %zu bytes:\n", kFiles, kFileSize);
    zelmo_fetch_close_idle();

    const std::string http = smoke.Base("port");
    std::size_t from = smoke.LogSize();
    bool ok = smoke.Batch("batch, nothing cached (200s)", http, ZELMO_FETCH_REPLACED, 0) &&
              smoke.LogShows("batch, nothing cached", from, kFiles, 0, kFiles, "HTTP/1.1");
    from = smoke.LogSize();
    ok = smoke.Singles("single calls revalidated (304s)", http) &&
         smoke.LogShows("single calls", from, kFiles, kFiles, 1, "HTTP/1.1") && ok;
    from = smoke.LogSize();
    ok = smoke.Batch("batch revalidated (304s)", http, ZELMO_FETCH_REVALIDATED, 0) &&
         smoke.LogShows("batch revalidated", from, kFiles, kFiles, kFiles, "HTTP/1.1") && ok;

    // HTTP/2 in clear text: a fresh cache, so that the batch stores again.
    const std::string h2c = smoke.Base("h2c-port");
    if (h2c.empty()) {
        std::printf("  (no HTTP/2 batch: nginx serves no HTTP/2 in clear text here)\n");
    } else {
        fs::remove_all(cacheDir, ignored);
        fs::create_directories(cacheDir, ignored);
        from = smoke.LogSize();
        ok = smoke.Batch("batch by HTTP/2 prior knowledge (200s)", h2c, ZELMO_FETCH_REPLACED,
                         ZELMO_FETCH_HTTP2_PRIOR_KNOWLEDGE) &&
             smoke.LogShows("batch by HTTP/2", from, kFiles, 0, kFiles, "HTTP/2.0") && ok;
    }
    zelmo_fetch_close_idle();
    fs::remove_all(cacheDir, ignored);
    return ok;
}

}  // namespace bench::download
