// zelmo_fetch as the fetch tests call it: the body gathered by a sink into
// a string, and the call's return code and result beside it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

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

}  // namespace zelmo::test
