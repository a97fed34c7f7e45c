// zelmo get: a URL through a cache directory (zelmo_fetch); and the demo's
// cached download (HttpDownload_SYNC) from a loopback server of its own.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "progress.h"
#include "terminal.h"
#include "support/http_server.h"
#include "zelmo.h"
#include "zelmo_fetch.h"

namespace cli {
namespace {

struct EntryFiles {
    std::string body, header;
};

EntryFiles EntryFilesOf(const std::string &url)
{
    std::vector<char> body(4096), header(4096);
    unsigned bodySize = static_cast<unsigned>(body.size()), headerSize = static_cast<unsigned>(header.size());
    GetCacheFilePath(url.c_str(), body.data(), &bodySize, header.data(), &headerSize);
    return {bodySize > 0 ? body.data() : "", headerSize > 0 ? header.data() : ""};
}

// The fetch's progress as its callback reports it, read by the display's
// thread.
struct Progress {
    std::atomic<std::int64_t> received{-1};  // -1: no body byte yet
    std::atomic<std::int64_t> total{-1};
};

int ZELMO_API OnProgress(void *data, std::int64_t received, std::int64_t total)
{
    auto *progress = static_cast<Progress *>(data);
    progress->total.store(total, std::memory_order_relaxed);
    progress->received.store(received, std::memory_order_relaxed);
    return 0;
}

std::string Describe(const Progress &progress)
{
    const std::int64_t received = progress.received.load(std::memory_order_relaxed);
    const std::int64_t total = progress.total.load(std::memory_order_relaxed);
    if (received < 0)
        return "connecting ...";
    const auto got = static_cast<std::uint64_t>(received);
    if (total <= 0)
        return ByteCount(got) + " received";
    return Bar(got, static_cast<std::uint64_t>(total)) + " " + ByteCount(got) + " of " +
           ByteCount(static_cast<std::uint64_t>(total));
}

// Writes the body file to standard output; with `refuseBinary`, nothing at
// all when it holds a zero byte. The reason on failure, else empty.
std::string CopyToStdout(const std::string &path, bool refuseBinary)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return "cannot read the body from " + path + ": " + SystemError();
    std::vector<char> chunk(1 << 16);
    std::size_t got;
    if (refuseBinary) {
        while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0)
            if (std::memchr(chunk.data(), '\0', got) != nullptr) {
                std::fclose(file);
                return "the body is binary and standard output is a terminal; "
                       "use --output - to write it there anyway, or --out PATH";
            }
        std::rewind(file);
    }
    BinaryStdout();
    bool written = true;
    while (written && (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0)
        written = std::fwrite(chunk.data(), 1, got, stdout) == got;
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed)
        return "cannot read the body from " + path;
    if (!written || std::fflush(stdout) != 0)
        return "cannot write the body to standard output: " + SystemError();
    return {};
}

int RunGet(const Args &args)
{
    Parsed parsed;
    const std::string error = ParseOptions(args,
                                           {{"--cache", nullptr, false},
                                            {"--fresh", nullptr, false},
                                            {"--offline", nullptr, false},
                                            {"--stale-if-error", nullptr, false},
                                            {"--cache-dir", nullptr, true},
                                            {"--max-cache", nullptr, true},
                                            {"--out", "-o", true},
                                            {"--output", nullptr, true},
                                            {"--timeout", nullptr, true},
                                            {"--resume", nullptr, false},
                                            {"--no-resume", nullptr, false},
                                            {"--verbose", "-v", false}},
                                           parsed);
    if (!error.empty())
        return UsageError(kGetCommand, error);
    if (parsed.operands.size() != 1)
        return UsageError(kGetCommand, parsed.operands.empty() ? "expected a URL" : "expected one URL");
    const std::string &url = parsed.operands[0];
    if (parsed.Has("--cache") + parsed.Has("--fresh") + parsed.Has("--offline") > 1)
        return UsageError(kGetCommand, "--cache, --fresh and --offline exclude each other");
    if (parsed.Has("--resume") && parsed.Has("--no-resume"))
        return UsageError(kGetCommand, "--resume and --no-resume exclude each other");
    if (parsed.Has("--offline") && parsed.Has("--stale-if-error"))
        return UsageError(kGetCommand, "--offline and --stale-if-error exclude each other (offline sends no request)");
    const int mode = parsed.Has("--cache")   ? ZELMO_CACHE_REVALIDATE
                     : parsed.Has("--fresh") ? ZELMO_CACHE_PREFER_FRESH
                     : parsed.Has("--offline") ? ZELMO_CACHE_ONLY
                                               : ZELMO_CACHE_NETWORK_ONLY;
    // --out and --output are one option; "-" is standard output, even a terminal.
    std::string out = parsed.Has("--output") ? parsed.Value("--output") : parsed.Has("--out") ? parsed.Value("--out") : "";
    const bool toStdout = out.empty() || out == "-";
    const bool terminalAllowed = out == "-";
    if (out == "-")
        out.clear();
    int timeoutMs = 0;
    if (parsed.Has("--timeout")) {
        const std::string &value = parsed.Value("--timeout");
        char *end = nullptr;
        const long seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || seconds < 0 || seconds > 0x7fffffff / 1000)
            return UsageError(kGetCommand, "--timeout takes whole seconds (at most 2147483)");
        timeoutMs = static_cast<int>(seconds * 1000);
    }
    unsigned long long maxCache = 0;
    if (parsed.Has("--max-cache") && !ParseSize(parsed.Value("--max-cache"), maxCache))
        return UsageError(kGetCommand, "--max-cache takes a size: bytes, or a number with K, M or G");
    std::string cacheDir;
    if (parsed.Has("--cache-dir")) {
        cacheDir = parsed.Value("--cache-dir");
        if (cacheDir.empty())
            return UsageError(kGetCommand, "--cache-dir takes a directory");
    } else {
        std::string why;
        cacheDir = UserCacheDirectory(why);
        if (cacheDir.empty()) {
            std::fprintf(stderr, "zelmo get: no cache directory: %s; give one with --cache-dir DIR\n",
                         Printable(why).c_str());
            return kFailed;
        }
    }

    Progress progress;
    ZelmoFetchOptions options;
    ZelmoFetchResult result;
    zelmo_fetch_init(&options, &result);
    options.cache_dir = cacheDir.c_str();
    options.cache_mode = mode;
    if (parsed.Has("--stale-if-error"))
        options.flags |= ZELMO_FETCH_STALE_IF_ERROR;
    options.timeout_ms = timeoutMs;
    if (parsed.Has("--no-resume"))
        options.flags |= ZELMO_FETCH_NO_RESUME;
    options.destination = out.empty() ? nullptr : out.c_str();
    options.progress = &OnProgress;
    options.progress_data = &progress;
    // Under a limit the body may not be kept in an entry: for standard
    // output it goes to a file of its own beside the entries, read from there.
    std::string held;
    if (parsed.Has("--max-cache")) {
        options.flags |= ZELMO_FETCH_CACHE_LIMIT;
        options.max_cache_bytes = maxCache;
        if (toStdout) {
            held = cacheDir + "/zelmo-get-" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".out";
            options.destination = held.c_str();
        }
    }
    {
        const ProgressLine line([&](std::chrono::steady_clock::duration) { return Describe(progress); });
        zelmo_fetch(url.c_str(), &options, &result);
    }
    if (result.error != ZELMO_FETCH_OK) {
        // The error text may quote the server's status line.
        std::fprintf(stderr, "zelmo get: the fetch of %s failed: %s\n", Printable(url).c_str(),
                     Printable(result.error_text[0] != '\0' ? result.error_text : zelmo_fetch_strerror(result.error))
                         .c_str());
        if (!held.empty())
            std::remove(held.c_str());
        return kFailed;
    }
    const bool stored = (result.flags & ZELMO_FETCH_RESULT_NOT_STORED) == 0;
    // What happened, on a terminal or when asked for: off one, a quiet
    // success leaves standard error empty.
    if (parsed.Has("--verbose") || StderrIsTerminal()) {
        std::string status = result.http_status != 0 ? ", HTTP " + std::to_string(result.http_status) : "";
        std::fprintf(stderr, "zelmo get: %s%s, %s served, %s over the wire, %s%s\n",
                     zelmo_fetch_outcome_name(result.outcome), status.c_str(),
                     ByteCount(static_cast<std::uint64_t>(result.bytes_served)).c_str(),
                     ByteCount(static_cast<std::uint64_t>(result.bytes_received)).c_str(),
                     stored ? "body in " : "not stored (larger than --max-cache)",
                     stored ? Printable(result.body_path).c_str() : "");
        if (result.outcome == ZELMO_FETCH_SERVED_STALE)
            std::fprintf(stderr, "zelmo get: served stale because the fetch failed: %s\n",
                         Printable(result.error_text).c_str());
    }
    if (!toStdout)  // the body is in PATH (and the entry), not on standard output
        return kOk;
    // Binary bytes can leave a terminal in a state of their own; as curl
    // does, they are written there only when asked for with --output -.
    const std::string failed =
        CopyToStdout(held.empty() ? result.body_path : held, !terminalAllowed && StdoutIsTerminal());
    if (!held.empty())
        std::remove(held.c_str());
    if (!failed.empty()) {
        std::fprintf(stderr, "zelmo get: %s\n", Printable(failed).c_str());
        return kFailed;
    }
    return kOk;
}

}  // namespace

const Command kGetCommand = {
    "get", "fetch a URL through a cache directory (zelmo_fetch)",
    "usage: zelmo get URL [--cache|--fresh|--offline] [--stale-if-error]\n"
    "                 [--cache-dir DIR] [--max-cache SIZE] [-o|--out|--output PATH]\n"
    "                 [--timeout S] [--no-resume] [-v|--verbose]\n"
    "Fetches URL with zelmo_fetch into the cache directory and prints the body\n"
    "as it is.\n"
    "  --cache        revalidate a stored entry (If-None-Match with its ETag,\n"
    "                 If-Modified-Since with its Last-Modified); a 304 answer\n"
    "                 serves the stored body\n"
    "  --fresh        serve a stored entry that is still fresh (by its answer's\n"
    "                 Cache-Control max-age, Expires or Last-Modified) without\n"
    "                 a request; revalidate a stale one\n"
    "  --offline      no request: serve a complete stored entry, or fail\n"
    "                 (without any of the three: a new GET replaces the entry)\n"
    "  --stale-if-error  when the network fails or the server answers 5xx,\n"
    "                 serve the complete stored entry instead (\"served stale\")\n"
    "  --cache-dir DIR  the cache directory (default: $XDG_CACHE_HOME/zelmo or\n"
    "                 ~/.cache/zelmo; %LOCALAPPDATA%\\Zelmo on Windows)\n"
    "  --max-cache SIZE  keep the cache directory under SIZE bytes on disk (K, M,\n"
    "                 G: powers of 1024): after storing, the least recently used\n"
    "                 entries go; a body that alone would not fit is not stored\n"
    "                 (0: nothing is)\n"
    "  -o, --out PATH write a copy of the body to PATH and nothing to standard\n"
    "                 output; --output is the same, and PATH - is standard\n"
    "                 output, a terminal included\n"
    "  --timeout S    give up after S seconds (default: no limit)\n"
    "  --resume       continue the body a cut or cancelled fetch of URL kept\n"
    "                 (when its answer had a strong ETag or a Last-Modified\n"
    "                 and a length) with a range request; the default\n"
    "  --no-resume    drop such a partial body and fetch the whole body\n"
    "  -v, --verbose  say what happened on standard error (fresh hit,\n"
    "                 revalidated, replaced ...), as on a terminal\n"
    "The body lands in the cache entry (its path: `zelmo get -v`), and in PATH\n"
    "with --out. A binary body (one holding a zero byte) is not written to a\n"
    "terminal unless --output - is given. On a terminal a bar on standard\n"
    "error shows the body arriving, then a line says what happened. Exit\n"
    "status 1 when the fetch fails, with zelmo_fetch's reason: the final\n"
    "answer's HTTP status, libcurl's reason, or the cache's. Control bytes in\n"
    "what the server sent (a status line's text) are shown escaped there: \\t,\n"
    "\\n, \\r, \\xHH, and a backslash as \\\\.\n",
    RunGet};

bool DemoDownload()
{
    const std::string body = "Zelmo keeps your cache.\n";
    const std::string date = "Tue, 01 Dec 2026 08:00:00 GMT";
    zelmo::test::ScriptedServer server([&](const zelmo::test::RecordedRequest &request) {
        if (request.Header("If-Modified-Since") == date)
            return zelmo::test::Answer::Raw("HTTP/1.1 304 Not Modified\r\n\r\n");
        return zelmo::test::Answer::Full("HTTP/1.1 200 OK", body, "Last-Modified: " + date + "\r\n");
    });
    const std::string url = server.Url("/demo.txt");
    const EntryFiles entry = EntryFilesOf(url);
    std::remove(entry.body.c_str());
    std::remove(entry.header.c_str());

    bool ok = true;
    for (int call = 1; call <= 2; ++call) {
        char buffer[64] = {};
        HttpResponseBuffer response{};
        response.buffer = buffer;
        response.capacity = sizeof buffer;
        const bool result = HttpDownload_SYNC(url.c_str(), &response, true, 10, nullptr, nullptr);
        const zelmo::test::RecordedRequest seen = server.Requests().back();
        const std::string condition = seen.Header("If-Modified-Since");
        std::printf("HttpDownload_SYNC #%d -> %d  length %u  %.*s", call, result ? 1 : 0, response.length,
                    static_cast<int>(response.length), buffer);
        std::printf("  server saw: GET %s%s\n", seen.target.c_str(),
                    condition.empty() ? " (no If-Modified-Since), answered 200"
                                      : (" If-Modified-Since: " + condition + ", answered 304").c_str());
        ok = ok && result && std::string(buffer, response.length) == body;
    }
    std::remove(entry.body.c_str());
    std::remove(entry.header.c_str());
    return ok && server.Requests().size() == 2;
}

}  // namespace cli
