// zelmo cache: where a URL's cache entry lives and whether it is complete;
// the entries of a fetch cache, and its prune to a size.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "progress.h"
#include "terminal.h"
#include "zelmo.h"
#include "zelmo_fetch.h"

namespace cli {

bool ParseSize(const std::string &text, unsigned long long &bytes)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0)
        return false;
    unsigned shift = 0;
    if (*end == 'K' || *end == 'k')
        shift = 10;
    else if (*end == 'M' || *end == 'm')
        shift = 20;
    else if (*end == 'G' || *end == 'g')
        shift = 30;
    if (shift != 0)
        ++end;
    if (*end != '\0' || (shift != 0 && n > (~0ull >> shift)))
        return false;
    bytes = n << shift;
    return true;
}

namespace {

// A column's text as Printable shows it (a tab in it cannot split the line's
// columns); "-" for an empty text, so that every column holds something.
std::string Column(const char *text)
{
    return text != nullptr && text[0] != '\0' ? Printable(text) : "-";
}

int ZELMO_API PrintEntry(void *, const ZelmoCacheEntry *e)
{
    const char *state = (e->flags & ZELMO_CACHE_ENTRY_COMPLETE) != 0  ? "complete"
                        : (e->flags & ZELMO_CACHE_ENTRY_PARTIAL) != 0 ? "partial"
                                                                     : "incomplete";
    const std::time_t t = static_cast<std::time_t>(e->last_use);
    char when[32] = "-";
    if (const std::tm *utc = std::gmtime(&t))
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", utc);
    const std::string body = e->body_bytes >= 0 ? std::to_string(e->body_bytes) : "-";
    std::printf("%s\t%llu\t%s\t%s\t%s\t%s\t%s\n", state, static_cast<unsigned long long>(e->disk_bytes), body.c_str(),
                when, Column(e->etag).c_str(), Column(e->last_modified).c_str(), Column(e->url).c_str());
    return 0;
}

// zelmo cache list | prune: the fetch cache (zelmo get's by default).
int RunStore(const Parsed &parsed)
{
    const Args &args = parsed.operands;
    if (args.size() != 1)
        return UsageError(kCacheCommand, "cache " + args[0] + " takes no operands");
    std::string dir;
    if (parsed.Has("--cache-dir")) {
        dir = parsed.Value("--cache-dir");
        if (dir.empty())
            return UsageError(kCacheCommand, "--cache-dir takes a directory");
    } else {
        std::string why;
        dir = UserCacheDirectory(why);
        if (dir.empty()) {
            std::fprintf(stderr, "zelmo cache: no cache directory: %s; give one with --cache-dir DIR\n",
                         Printable(why).c_str());
            return kFailed;
        }
    }
    if (args[0] == "list") {
        if (parsed.Has("--max"))
            return UsageError(kCacheCommand, "--max is for cache prune");
        const int rc = zelmo_cache_list(dir.c_str(), &PrintEntry, nullptr);
        if (rc != ZELMO_FETCH_OK) {
            std::fprintf(stderr, "zelmo cache: cannot list %s: %s\n", Printable(dir).c_str(), zelmo_fetch_strerror(rc));
            return kFailed;
        }
        return kOk;
    }
    unsigned long long max = 0;
    if (parsed.Has("--max") && !ParseSize(parsed.Value("--max"), max))
        return UsageError(kCacheCommand, "--max takes a size: bytes, or a number with K, M or G");
    ZelmoCachePrune prune;
    zelmo_cache_prune_init(&prune, max);
    const int rc = zelmo_cache_prune(dir.c_str(), &prune);
    if (rc != ZELMO_FETCH_OK && rc != ZELMO_FETCH_E_LOCKED) {
        std::fprintf(stderr, "zelmo cache: cannot prune %s: %s\n", Printable(dir).c_str(), zelmo_fetch_strerror(rc));
        return kFailed;
    }
    std::printf("removed %u, kept %u (%u busy); %s before, %s after\n", prune.removed, prune.kept, prune.busy,
                ByteCount(prune.bytes_before).c_str(), ByteCount(prune.bytes_after).c_str());
    if (rc == ZELMO_FETCH_E_LOCKED) {
        std::fprintf(stderr, "zelmo cache: entries in use keep the cache above %s\n", ByteCount(max).c_str());
        return kFailed;
    }
    return kOk;
}

int RunCache(const Args &given)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {{"--cache-dir", nullptr, true}, {"--max", nullptr, true}}, parsed);
    if (!error.empty())
        return UsageError(kCacheCommand, error);
    const Args &args = parsed.operands;
    if (!args.empty() && (args[0] == "list" || args[0] == "prune"))
        return RunStore(parsed);
    if (args.empty() || (args[0] != "path" && args[0] != "probe"))
        return UsageError(kCacheCommand, "expected path, probe, list or prune");
    if (parsed.Has("--cache-dir") || parsed.Has("--max"))
        return UsageError(kCacheCommand, "--cache-dir and --max are for cache list and cache prune");
    if (args.size() != 2)
        return UsageError(kCacheCommand, "expected one URL");
    const std::string &url = args[1];
    if (args[0] == "path") {
        std::vector<char> body(4096), header(4096);
        unsigned int bodySize = static_cast<unsigned int>(body.size());
        unsigned int headerSize = static_cast<unsigned int>(header.size());
        GetCacheFilePath(url.c_str(), body.data(), &bodySize, header.data(), &headerSize);
        if (bodySize == 0 || headerSize == 0) {
            std::fprintf(stderr, "zelmo cache: the entry's paths are too long\n");
            return kFailed;
        }
        std::printf("%s\n%s\n", body.data(), header.data());
        return kOk;
    }
    const bool complete = GetCacheFileSize(url.c_str(), nullptr, 0, 0);
    std::printf("%s\n", complete ? "complete" : "not complete");
    return complete ? kOk : kFailed;
}

}  // namespace

const Command kCacheCommand = {
    "cache", "a URL's cache entry: its files, whether it is complete; list or prune a cache",
    "usage: zelmo cache path URL\n"
    "       zelmo cache probe URL\n"
    "       zelmo cache list [--cache-dir DIR]\n"
    "       zelmo cache prune [--cache-dir DIR] [--max SIZE]\n"
    "path prints the two files of URL's cache entry (GetCacheFilePath): the\n"
    "body file on the first line, the header file on the second. The cache\n"
    "directory is cache/file/cachedown/ beside the program that loads the\n"
    "library (cache\\file\\cachedown\\ on Windows); entries are named after\n"
    "the MD5 digest of the URL exactly as given.\n"
    "probe tells whether the entry is complete (GetCacheFileSize): both files\n"
    "present and the body as long as the stored Content-Length, which must not\n"
    "be 0. It prints \"complete\" (exit status 0) or \"not complete\" (1).\n"
    "list prints the entries of a fetch cache (default: zelmo get's), the least\n"
    "recently used first, one line each with tab-separated columns: state\n"
    "(complete, partial or incomplete), bytes on disk (all of the entry's files),\n"
    "body bytes, last use (UTC), ETag, Last-Modified, URL; \"-\" where there is\n"
    "nothing. Control bytes in them (a tab included) are shown escaped: \\t,\n"
    "\\n, \\r, \\xHH, and a backslash as \\\\.\n"
    "prune removes entries, least recently used first, until the cache occupies\n"
    "at most SIZE bytes on disk (K, M, G: powers of 1024; default 0: every entry\n"
    "not in use goes). Entries that a fetch is writing or serving are skipped;\n"
    "exit status 1 when they keep the cache above SIZE.\n",
    RunCache};

}  // namespace cli
