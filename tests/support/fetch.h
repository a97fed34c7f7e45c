// zelmo_fetch as the fetch tests call it: the body gathered by a sink into
// a string, and the call's return code and result beside it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "cache/cache.h"
#include "zelmo.h"
#include "zelmo_fetch.h"

namespace zelmo::test {

inline int ZELMO_API SinkToString(void *data, const void *bytes, size_t length)
{
    static_cast<std::string *>(data)->append(static_cast<const char *>(bytes), length);
    return 0;
}

inline int ZELMO_API RefusingSink(void *, const void *, size_t)
{
    return 1;
}

struct Fetched {
    int rc = -1;
    ZelmoFetchResult r{};
    std::string body;
};

// One fetch of `url` in `cacheDir` (empty: the default cache) with a 20 s time limit, the body into
// Fetched::body; `tweak` may change the options before the call.
inline Fetched Fetch(const std::string &url, const std::string &cacheDir, int mode = ZELMO_CACHE_REVALIDATE,
                     const std::function<void(ZelmoFetchOptions &)> &tweak = nullptr)
{
    Fetched f;
    ZelmoFetchOptions options;
    zelmo_fetch_init(&options, &f.r);
    options.cache_dir = cacheDir.empty() ? nullptr : cacheDir.c_str();  // empty: the default cache
    options.cache_mode = mode;
    options.timeout_ms = 20000;
    options.sink = &SinkToString;
    options.sink_data = &f.body;
    if (tweak)
        tweak(options);
    f.rc = zelmo_fetch(url.c_str(), &options, &f.r);
    return f;
}

inline Fetched Fetch(const std::string &url, const std::string &cacheDir,
                     const std::function<void(ZelmoFetchOptions &)> &tweak)
{
    return Fetch(url, cacheDir, ZELMO_CACHE_REVALIDATE, tweak);
}

// An entry of `url` in the cache beside the executable, which both
// interfaces share by default: its files removed before and after.
struct ModuleEntry {
    explicit ModuleEntry(std::string u) : url(std::move(u)), files(cache::EntryFilesIn(cache::CacheDirectory(), url))
    {
        Clean();
    }
    ~ModuleEntry() { Clean(); }
    ModuleEntry(const ModuleEntry &) = delete;
    ModuleEntry &operator=(const ModuleEntry &) = delete;
    void Clean() const
    {
        std::error_code ignored;
        for (const std::string &p : {files.header, files.statusHeader, files.body, files.meta, files.lock,
                                     files.header + ".tmp", files.body + ".tmp"})
            std::filesystem::remove(p, ignored);
    }
    std::string url;
    cache::EntryFiles files;
};

// HttpDownload_SYNC of `url` with the cache, its body (at most 256 bytes) into `body`.
inline bool Download(const std::string &url, std::string &body)
{
    char buffer[256] = {};
    HttpResponseBuffer r{};
    r.buffer = buffer;
    r.capacity = sizeof buffer;
    const bool ok = HttpDownload_SYNC(url.c_str(), &r, true, 10, nullptr, nullptr);
    body.assign(buffer, r.length);
    return ok;
}

}  // namespace zelmo::test
