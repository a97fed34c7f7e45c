// A fetch's options, checked (see options.h).
#include "fetch/options.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "cache/cache.h"
#include "header/fields.h"

namespace zelmo::fetch {
namespace {

constexpr std::uint32_t kKnownFlags =
    ZELMO_FETCH_ENVIRONMENT_PROXY | ZELMO_FETCH_STALE_IF_ERROR | ZELMO_FETCH_NO_RESUME | ZELMO_FETCH_CACHE_LIMIT |
    ZELMO_FETCH_SHARED_CACHE | ZELMO_FETCH_FRESH_CONNECT | ZELMO_FETCH_HTTP2_PRIOR_KNOWLEDGE |
    ZELMO_FETCH_COMPRESSION | ZELMO_FETCH_ANY_STATUS;

// The options of a host built before the answer callback was added end
// where it begins.
constexpr std::size_t kFirstOptionsSize = offsetof(ZelmoFetchOptions, answer);

bool HoldsLineBreak(const char *text)
{
    for (const char *p = text; *p != '\0'; ++p)
        if (*p == '\r' || *p == '\n')
            return true;
    return false;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != prefix[i])
            return false;
    }
    return true;
}

}  // namespace

bool IsHttpUrl(std::string_view url)
{
    return StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
}

Error ReadOptions(const ZelmoFetchOptions *given, Settings &s)
{
    if (given == nullptr) {
        s.cacheDir = cache::CacheDirectoryOf(nullptr);
        return {};
    }
    if (given->size != kFirstOptionsSize && given->size < sizeof(ZelmoFetchOptions))
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.size is " + std::to_string(given->size) +
                                               ", not the size of a ZelmoFetchOptions (" +
                                               std::to_string(kFirstOptionsSize) + " or at least " +
                                               std::to_string(sizeof(ZelmoFetchOptions)) + ")");
    // A later header's fields this library does not know must be unset.
    const auto *bytes = reinterpret_cast<const unsigned char *>(given);
    for (std::size_t i = sizeof(ZelmoFetchOptions); i < given->size; ++i)
        if (bytes[i] != 0)
            return Fail(ZELMO_FETCH_E_OPTIONS, "options set fields this library does not know (byte " +
                                                   std::to_string(i) + " of " + std::to_string(given->size) + ")");
    // An earlier header's options: the fields it lacks are unset.
    ZelmoFetchOptions copy{};
    std::memcpy(&copy, given, std::min<std::size_t>(given->size, sizeof copy));
    const ZelmoFetchOptions *options = &copy;
    if ((options->flags & ~kKnownFlags) != 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.flags holds flags this library does not support");
    if (options->cache_mode < ZELMO_CACHE_REVALIDATE || options->cache_mode > ZELMO_CACHE_ONLY)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.cache_mode " + std::to_string(options->cache_mode) +
                                               " is not a ZelmoCacheMode");
    if (options->timeout_ms < 0 || options->connect_timeout_ms < 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "a negative time limit");
    if (options->max_cache_bytes != 0 && (options->flags & ZELMO_FETCH_CACHE_LIMIT) == 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.max_cache_bytes is set without ZELMO_FETCH_CACHE_LIMIT");
    if (options->reserved32 != 0 || options->reserved[0] != 0 || options->reserved[1] != 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.reserved must be all zeros");
    if (options->max_host_connections < 0)
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.max_host_connections is negative");
    if (options->ca_bundle != nullptr && options->ca_bundle[0] == '\0')
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.ca_bundle is empty (null means the system's certificates)");
    if (options->cache_dir != nullptr && options->cache_dir[0] == '\0')
        return Fail(ZELMO_FETCH_E_OPTIONS, "options.cache_dir is empty (null means the default cache)");
    if (options->headers != nullptr) {
        for (const char *const *h = options->headers; *h != nullptr; ++h) {
            if ((*h)[0] == '\0' || HoldsLineBreak(*h) || std::strchr(*h, ':') == nullptr)
                return Fail(ZELMO_FETCH_E_OPTIONS, std::string("options.headers: not a header line: \"") + *h + "\"");
            s.headers.emplace_back(*h);
            s.ownRange = s.ownRange || header::StartsNoCase(*h, "Range:");
        }
    }
    s.cacheDir = cache::CacheDirectoryOf(options->cache_dir);
    s.mode = options->cache_mode;
    s.timeoutMs = options->timeout_ms;
    s.route.proxy = options->proxy;
    s.route.proxyUserPwd = options->proxy_userpwd;
    s.route.environmentProxy = (options->flags & ZELMO_FETCH_ENVIRONMENT_PROXY) != 0;
    s.route.connectTimeoutMs = options->connect_timeout_ms;
    s.route.caBundle = options->ca_bundle;
    s.route.freshConnect = (options->flags & ZELMO_FETCH_FRESH_CONNECT) != 0;
    s.route.priorKnowledge = (options->flags & ZELMO_FETCH_HTTP2_PRIOR_KNOWLEDGE) != 0;
    s.route.compression = (options->flags & ZELMO_FETCH_COMPRESSION) != 0;
    s.hostConnections = options->max_host_connections;
    s.noResume = (options->flags & ZELMO_FETCH_NO_RESUME) != 0;
    s.staleIfError = (options->flags & ZELMO_FETCH_STALE_IF_ERROR) != 0;
    s.shared = (options->flags & ZELMO_FETCH_SHARED_CACHE) != 0;
    s.destination = options->destination;
    s.sink = options->sink;
    s.sinkData = options->sink_data;
    s.progress = options->progress;
    s.progressData = options->progress_data;
    s.limited = (options->flags & ZELMO_FETCH_CACHE_LIMIT) != 0;
    s.maxCacheBytes = options->max_cache_bytes;
    s.anyStatus = (options->flags & ZELMO_FETCH_ANY_STATUS) != 0;
    s.answer = options->answer;
    s.answerData = options->answer_data;
    // A limit of 0 keeps no entry: nothing stored is looked at either.
    if (s.limited && s.maxCacheBytes == 0) {
        if (s.mode == ZELMO_CACHE_ONLY)
            return Fail(ZELMO_FETCH_E_OPTIONS, "cache only, with a cache limit of 0: nothing can be served");
        s.mode = ZELMO_CACHE_NETWORK_ONLY;
    }
    return {};
}

}  // namespace zelmo::fetch
