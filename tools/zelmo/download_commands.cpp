// zelmo get: URLs through a cache directory (zelmo_fetch_many); and the demo's
// cached download (HttpDownload_SYNC) from a loopback server of its own.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "progress.h"
#include "remote_name.h"
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

// Connections to one host that --parallel may ask for: as many as a batch
// has URLs in progress at once.
constexpr long kMaxParallel = ZELMO_FETCH_MANY_ACTIVE;

// Writes the body file to standard output; with `refuseBinary`, nothing at
// all when it holds a zero byte. The reason on failure, else empty;
// `broken` tells when standard output itself refused bytes.
std::string CopyToStdout(const std::string &path, bool refuseBinary, bool &broken)
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
    if (!written || std::fflush(stdout) != 0) {
        broken = true;
        return "cannot write the body to standard output: " + SystemError();
    }
    return {};
}

// Where one URL's body goes: a file (`path`), or standard output.
struct Target {
    std::string url;
    std::string path;              // empty: standard output
    bool terminalAllowed = false;  // -o -: a binary body reaches a terminal too
    std::string held;              // under --max-cache, the body kept for standard output
};

// The targets of `urls`: each -o PATH (--out, --output) goes with one URL,
// in order; -O names the others' files after their URLs, in --output-dir;
// the rest go to standard output. The usage error, or empty.
std::string PlanTargets(const Parsed &parsed, std::vector<Target> &targets)
{
    Args outs;
    for (const auto &[name, value] : parsed.given)
        if (name == "--out" || name == "--output")
            outs.push_back(value);
    if (outs.size() > parsed.operands.size())
        return std::to_string(outs.size()) + " output paths for " + std::to_string(parsed.operands.size()) +
               " URL(s): each -o PATH goes with one URL, in order";
    const bool remoteName = parsed.Has("--remote-name");
    if (parsed.Has("--output-dir") && !remoteName)
        return "--output-dir places the files of -O (--remote-name); give -O too";
    const std::string directory = parsed.Has("--output-dir") ? parsed.Value("--output-dir") : "";
    if (parsed.Has("--output-dir") && directory.empty())
        return "--output-dir takes a directory";
    for (std::size_t i = 0; i < parsed.operands.size(); ++i) {
        Target target;
        target.url = parsed.operands[i];
        if (i < outs.size()) {
            if (outs[i].empty())
                return "-o takes a path, or - for standard output";
            if (outs[i] == "-")
                target.terminalAllowed = true;
            else
                target.path = outs[i];
        } else if (remoteName) {
            std::string why;
            const std::string name = RemoteName(target.url, why);
            if (name.empty())
                return "-O cannot name a file after " + target.url + ": " + why + "; give that URL -o PATH";
            target.path = InDirectory(directory, name);
        }
        // Two URLs writing one file at once would leave it garbled.
        for (const Target &earlier : targets)
            if (!target.path.empty() && earlier.path == target.path)
                return "two URLs would be written to " + target.path + " (" + earlier.url + " and " + target.url +
                       "); give one of them -o PATH";
        targets.push_back(std::move(target));
    }
    return {};
}

// What the fetch hands over of each URL's answer, by its index: its header,
// and for standard output the page of an error status, which the cache may
// not keep (the body of a success is read from its entry afterwards).
struct ErrorPage {
    int status = 0;
    std::string bytes;
};
constexpr std::size_t kErrorPageMax = 16 << 20;
struct Answers {
    std::vector<std::string> headers;
    std::vector<ErrorPage> pages;
};

int ZELMO_API OnAnswer(void *data, const ZelmoFetchAnswer *answer)
{
    auto *answers = static_cast<Answers *>(data);
    if (answer->index < answers->headers.size()) {
        answers->headers[answer->index].assign(answer->header, answer->header_length);
        answers->pages[answer->index].status = answer->status;
    }
    return 0;
}

int ZELMO_API KeepErrorPage(void *data, const void *bytes, size_t length)
{
    auto *page = static_cast<ErrorPage *>(data);
    if ((page->status < 200 || page->status > 299) && page->bytes.size() + length <= kErrorPageMax)
        page->bytes.append(static_cast<const char *>(bytes), length);
    return 0;
}

int RunGet(const Args &args)
{
    Parsed parsed;
    const std::string error = ParseOptions(args,
                                           {{"--cache", nullptr, false},
                                            {"--fresh", nullptr, false},
                                            {"--offline", nullptr, false},
                                            {"--reload", nullptr, false},
                                            {"--stale-if-error", nullptr, false},
                                            {"--compressed", nullptr, false},
                                            {"--cache-dir", nullptr, true},
                                            {"--max-cache", nullptr, true},
                                            {"--out", "-o", true},
                                            {"--output", nullptr, true},
                                            {"--remote-name", "-O", false},
                                            {"--output-dir", nullptr, true},
                                            {"--parallel", nullptr, true},
                                            {"--timeout", nullptr, true},
                                            {"--resume", nullptr, false},
                                            {"--no-resume", nullptr, false},
                                            {"--verbose", "-v", false},
                                            {"--include", "-i", false},
                                            {"--dump-header", "-D", true}},
                                           parsed);
    if (!error.empty())
        return UsageError(kGetCommand, error);
    if (parsed.operands.empty())
        return UsageError(kGetCommand, "expected a URL");
    std::vector<Target> targets;
    if (const std::string planned = PlanTargets(parsed, targets); !planned.empty())
        return UsageError(kGetCommand, planned);
    if (parsed.Has("--cache") + parsed.Has("--fresh") + parsed.Has("--offline") + parsed.Has("--reload") > 1)
        return UsageError(kGetCommand, "--cache, --fresh, --offline and --reload exclude each other");
    if (parsed.Has("--resume") && parsed.Has("--no-resume"))
        return UsageError(kGetCommand, "--resume and --no-resume exclude each other");
    if (parsed.Has("--offline") && parsed.Has("--stale-if-error"))
        return UsageError(kGetCommand, "--offline and --stale-if-error exclude each other (offline sends no request)");
    // The library's own default, revalidation, unless another mode is asked for.
    const int mode = parsed.Has("--reload")    ? ZELMO_CACHE_NETWORK_ONLY
                     : parsed.Has("--fresh")   ? ZELMO_CACHE_PREFER_FRESH
                     : parsed.Has("--offline") ? ZELMO_CACHE_ONLY
                                               : ZELMO_CACHE_REVALIDATE;
    int timeoutMs = 0;
    if (parsed.Has("--timeout")) {
        const std::string &value = parsed.Value("--timeout");
        char *end = nullptr;
        const long seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || seconds < 0 || seconds > 0x7fffffff / 1000)
            return UsageError(kGetCommand, "--timeout takes whole seconds (at most 2147483)");
        timeoutMs = static_cast<int>(seconds * 1000);
    }
    int parallel = 0;  // the library's own limit
    if (parsed.Has("--parallel")) {
        const std::string &value = parsed.Value("--parallel");
        char *end = nullptr;
        const long connections = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || connections < 1 || connections > kMaxParallel)
            return UsageError(kGetCommand,
                              "--parallel takes a number of connections from 1 to " + std::to_string(kMaxParallel));
        parallel = static_cast<int>(connections);
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

    std::FILE *dump = nullptr;  // -D FILE
    if (parsed.Has("--dump-header")) {
        const std::string &path = parsed.Value("--dump-header");
        if (path.empty())
            return UsageError(kGetCommand, "-D takes a file, or - for standard output");
        if (path != "-" && (dump = std::fopen(path.c_str(), "wb")) == nullptr) {
            std::fprintf(stderr, "zelmo get: cannot write %s: %s\n", Printable(path).c_str(), std::strerror(errno));
            return kFailed;
        }
    }
    // -D - is -i: each header on standard output before its body.
    const bool include = parsed.Has("--include") || (parsed.Has("--dump-header") && dump == nullptr);

    Progress progress;
    Answers answers;
    answers.headers.resize(targets.size());
    answers.pages.resize(targets.size());
    const std::vector<std::string> &headers = answers.headers;
    ZelmoFetchOptions options;
    zelmo_fetch_init(&options, nullptr);
    options.cache_dir = cacheDir.c_str();
    options.cache_mode = mode;
    if (parsed.Has("--stale-if-error"))
        options.flags |= ZELMO_FETCH_STALE_IF_ERROR;
    if (parsed.Has("--compressed"))
        options.flags |= ZELMO_FETCH_COMPRESSION;
    options.timeout_ms = timeoutMs;
    if (parsed.Has("--no-resume"))
        options.flags |= ZELMO_FETCH_NO_RESUME;
    options.max_host_connections = parallel;
    // The batch's progress: the bytes of all its URLs, summed.
    options.progress = &OnProgress;
    options.progress_data = &progress;
    options.answer = &OnAnswer;
    options.answer_data = &answers;
    std::vector<ZelmoFetchItem> items(targets.size());
    zelmo_fetch_items_init(items.data(), items.size());
    // Under a limit a body may not be kept in an entry: for standard output
    // it goes to a file of its own beside the entries, read from there.
    const bool limited = parsed.Has("--max-cache");
    if (limited) {
        options.flags |= ZELMO_FETCH_CACHE_LIMIT;
        options.max_cache_bytes = maxCache;
    }
    const std::string stamp = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    for (std::size_t i = 0; i < targets.size(); ++i) {
        Target &target = targets[i];
        if (limited && target.path.empty())
            target.held = cacheDir + "/zelmo-get-" + stamp + "-" + std::to_string(i) + ".out";
        items[i].url = target.url.c_str();
        const std::string &destination = target.path.empty() ? target.held : target.path;
        items[i].destination = destination.empty() ? nullptr : destination.c_str();
        if (target.path.empty() && target.held.empty()) {
            items[i].sink = &KeepErrorPage;
            items[i].sink_data = &answers.pages[i];
        }
    }
    {
        const ProgressLine line([&](std::chrono::steady_clock::duration) { return Describe(progress); });
        zelmo_fetch_many(items.data(), items.size(), &options);
    }

    if (dump != nullptr) {
        for (const std::string &header : headers)
            std::fwrite(header.data(), 1, header.size(), dump);
        if (std::fclose(dump) != 0) {
            std::fprintf(stderr, "zelmo get: cannot write %s\n", Printable(parsed.Value("--dump-header")).c_str());
            return kFailed;
        }
    }

    // Each URL's failure, or, on a terminal or when asked for, what happened:
    // off one, a quiet success leaves standard error empty. With several
    // URLs each line names its URL.
    const bool several = targets.size() > 1;
    const bool tell = parsed.Has("--verbose") || StderrIsTerminal();
    bool failed = false;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const ZelmoFetchResult &result = items[i].result;
        const std::string url = Printable(targets[i].url);
        if (result.error != ZELMO_FETCH_OK) {
            // The error text may quote the server's status line.
            std::fprintf(stderr, "zelmo get: the fetch of %s failed: %s\n", url.c_str(),
                         Printable(result.error_text[0] != '\0' ? result.error_text
                                                                : zelmo_fetch_strerror(result.error))
                             .c_str());
            failed = true;
            continue;
        }
        if (!tell)
            continue;
        const std::string which = several ? url + ": " : "";
        const bool stored = (result.flags & ZELMO_FETCH_RESULT_NOT_STORED) == 0;
        const std::string status = result.http_status != 0 ? ", HTTP " + std::to_string(result.http_status) : "";
        std::fprintf(stderr, "zelmo get: %s%s%s, %s served, %s over the wire, %s%s\n", which.c_str(),
                     zelmo_fetch_outcome_name(result.outcome), status.c_str(),
                     ByteCount(static_cast<std::uint64_t>(result.bytes_served)).c_str(),
                     ByteCount(static_cast<std::uint64_t>(result.bytes_received)).c_str(),
                     stored ? "body in " : "not stored (larger than --max-cache)",
                     stored ? Printable(result.body_path).c_str() : "");
        if (result.outcome == ZELMO_FETCH_SERVED_STALE)
            std::fprintf(stderr, "zelmo get: %sserved stale because the fetch failed: %s\n", which.c_str(),
                         Printable(result.error_text).c_str());
    }

    // The bodies for standard output, one after the other in URL order; a
    // URL that failed gives none. Binary bytes can leave a terminal in a
    // state of their own; as curl does, they are written there only when
    // asked for with --output -.
    bool broken = false;  // once standard output refuses bytes, the later bodies are lost too
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Target &target = targets[i];
        if (!target.path.empty() && !include)
            continue;  // the body is in PATH (and the entry), not on standard output
        if (include && !broken && !headers[i].empty()) {
            BinaryStdout();  // the header's CRLFs as they are
            if (std::fwrite(headers[i].data(), 1, headers[i].size(), stdout) != headers[i].size())
                broken = true;
        }
        if (!target.path.empty())
            continue;
        const ZelmoFetchResult &result = items[i].result;
        // An error status's page is printed as curl prints it, from its
        // entry where the cache kept it.
        const bool page = result.error == ZELMO_FETCH_E_HTTP && result.outcome != ZELMO_FETCH_FAILED &&
                          result.body_path[0] == '\0' && target.held.empty();
        if (!broken && page) {
            const std::string &bytes = answers.pages[i].bytes;
            BinaryStdout();
            if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
                broken = true;
        } else if (!broken && (result.error == ZELMO_FETCH_OK ||
                               (result.error == ZELMO_FETCH_E_HTTP && result.outcome != ZELMO_FETCH_FAILED))) {
            const std::string why = CopyToStdout(target.held.empty() ? items[i].result.body_path : target.held,
                                                 !target.terminalAllowed && StdoutIsTerminal(), broken);
            if (!why.empty()) {
                const std::string which = several ? Printable(target.url) + ": " : "";
                std::fprintf(stderr, "zelmo get: %s%s\n", which.c_str(), Printable(why).c_str());
                failed = true;
            }
        }
        if (!target.held.empty())
            std::remove(target.held.c_str());
    }
    return failed ? kFailed : kOk;
}

}  // namespace

const Command kGetCommand = {
    "get", "fetch URLs through a cache directory (zelmo_fetch_many)",
    "usage: zelmo get URL... [--cache|--reload|--fresh|--offline] [--stale-if-error]\n"
    "                 [--compressed] [--cache-dir DIR] [--max-cache SIZE]\n"
    "                 [--timeout S] [-o|--out|--output PATH]... [-O|--remote-name]\n"
    "                 [--output-dir DIR] [--parallel N] [--no-resume]\n"
    "                 [-v|--verbose] [-i|--include] [-D|--dump-header FILE]\n"
    "Fetches each URL with zelmo_fetch_many into the cache directory, all at\n"
    "once, and prints the bodies as they are, one after the other in the order\n"
    "of the URLs. A URL whose server answered an error status (a 404) gives\n"
    "its page, as curl does, to standard output or its file, and counts as\n"
    "failed; a URL that failed otherwise gives none.\n"
    "  --cache        revalidate a stored entry (If-None-Match with its ETag,\n"
    "                 If-Modified-Since with its Last-Modified); a 304 answer\n"
    "                 serves the stored body. The default, as in zelmo_fetch\n"
    "                 (ZELMO_CACHE_REVALIDATE): a second `zelmo get URL` sends\n"
    "                 a conditional GET and serves what the first one stored\n"
    "  --reload       a new unconditional GET, whatever is stored; its answer\n"
    "                 replaces the entry (ZELMO_CACHE_NETWORK_ONLY)\n"
    "  --fresh        serve a stored entry that is still fresh (by its answer's\n"
    "                 Cache-Control max-age, Expires or Last-Modified) without\n"
    "                 a request; revalidate a stale one\n"
    "  --offline      no request: serve a complete stored entry, or fail\n"
    "  --stale-if-error  when the network fails or the server answers 5xx,\n"
    "                 serve the complete stored entry instead (\"served stale\")\n"
    "  --compressed   ask for a gzip or deflate coded answer and keep and give\n"
    "                 it decoded (ZELMO_FETCH_COMPRESSION)\n"
    "  --cache-dir DIR  the cache directory (default: $XDG_CACHE_HOME/zelmo or\n"
    "                 ~/.cache/zelmo; %LOCALAPPDATA%\\Zelmo on Windows)\n"
    "  --max-cache SIZE  keep the cache directory under SIZE bytes on disk (K, M,\n"
    "                 G: powers of 1024): after storing, the least recently used\n"
    "                 entries go; a body that alone would not fit is not stored\n"
    "                 (0: nothing is)\n"
    "  -o, --out PATH write a copy of a URL's body to PATH instead of standard\n"
    "                 output; each -o goes with one URL, the first with the\n"
    "                 first URL and so on (more -o than URLs is an error);\n"
    "                 --output is the same, and PATH - is standard output, a\n"
    "                 terminal included\n"
    "  -O, --remote-name  write the body of each URL without an -o to a file\n"
    "                 named after the URL's last path segment (query and\n"
    "                 fragment left out, %-escapes kept as written), in the\n"
    "                 current directory. A name that is empty (a URL ending in\n"
    "                 /), made of dots and spaces, or holds \\, :, a control\n"
    "                 byte, or is a device name of Windows (CON, NUL, COM1 ...)\n"
    "                 is a usage error: give that URL -o PATH\n"
    "  --output-dir DIR  place the files of -O in DIR (which must exist)\n"
    "  --parallel N   open at most N connections to one host at once, 1 to 128\n"
    "                 (default 128; HTTP/2 takes one connection whatever N is)\n"
    "  --timeout S    give up on a URL after S seconds (default: no limit)\n"
    "  --resume       continue the body a cut or cancelled fetch of URL kept\n"
    "                 (when its answer had a strong ETag or a Last-Modified\n"
    "                 and a length) with a range request; the default\n"
    "  --no-resume    drop such a partial body and fetch the whole body\n"
    "  -v, --verbose  say what happened to each URL on standard error (fresh\n"
    "                 hit, revalidated, replaced ...), as on a terminal; with\n"
    "                 several URLs each line names its URL\n"
    "  -i, --include  print each URL's answer header on standard output before\n"
    "                 its body: the status line and the fields as served (those\n"
    "                 of the connection left out, Age the entry's current age;\n"
    "                 a fresh hit shows the stored answer's), then an empty line;\n"
    "                 also for a URL whose answer was an error status\n"
    "  -D, --dump-header FILE  write the answer headers of all URLs, in order,\n"
    "                 to FILE (- is standard output, as -i)\n"
    "The options but -o are for every URL. Two URLs may not be written to one\n"
    "file. The body lands in the cache entry (its path: `zelmo get -v`), and\n"
    "in its file with -o or -O. A binary body (one holding a zero byte) is not\n"
    "written to a terminal unless --output - is given. On a terminal a bar on\n"
    "standard error shows the bodies of all URLs arriving, then a line per URL\n"
    "says what happened. Exit status 1 when the fetch of any URL fails, each\n"
    "failure on standard error with its URL and zelmo_fetch's reason: the\n"
    "final answer's HTTP status, libcurl's reason, or the cache's; the other\n"
    "URLs are served all the same. Control bytes in what the server sent (a\n"
    "status line's text) are shown escaped there: \\t, \\n, \\r, \\xHH, and a\n"
    "backslash as \\\\.\n",
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
