// zelmo get: a URL through the download cache (HttpDownload_SYNC); and the
// demo's cached download from a loopback server of its own.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli.h"
#include "progress.h"
#include "terminal.h"
#include "support/http_server.h"
#include "zelmo.h"

namespace cli {
namespace {

// Room for the body in the first try; a longer body is read from its file.
constexpr unsigned kBufferSize = 1u << 20;
constexpr int kBodyTooLong = 8;

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

bool ReadFile(const std::string &path, std::string &content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The Content-Length of the last answer in a header file as it is being
// written; 0 when it has none yet.
std::uint64_t ContentLength(const std::string &headerPath)
{
    std::string header;
    if (!ReadFile(headerPath, header))
        return 0;
    std::transform(header.begin(), header.end(), header.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string name = "\ncontent-length:";
    const std::size_t at = header.rfind(name);
    if (at == std::string::npos)
        return 0;
    return std::strtoull(header.c_str() + at + name.size(), nullptr, 10);
}

// The download's progress, read from the temporaries it writes beside the
// entry's files: the body's size so far against the announced length.
std::string DownloadProgress(const std::string &bodyTemp, const std::string &headerTemp)
{
    std::error_code error;
    const std::uintmax_t received = std::filesystem::file_size(bodyTemp, error);
    if (error)
        return "connecting ...";
    const std::uint64_t total = ContentLength(headerTemp);
    if (total == 0)
        return ByteCount(received) + " received";
    return Bar(received, total) + " " + ByteCount(received) + " of " + ByteCount(total);
}

int RunGet(const Args &args)
{
    Parsed parsed;
    const std::string error = ParseOptions(
        args, {{"--cache", nullptr, false}, {"--out", "-o", true}, {"--output", nullptr, true}, {"--timeout", nullptr, true}},
        parsed);
    if (!error.empty())
        return UsageError(kGetCommand, error);
    if (parsed.operands.size() != 1)
        return UsageError(kGetCommand, parsed.operands.empty() ? "expected a URL" : "expected one URL");
    const std::string &url = parsed.operands[0];
    const bool useCache = parsed.Has("--cache");
    // --out and --output are one option; "-" is standard output, even a terminal.
    std::string out = parsed.Has("--output") ? parsed.Value("--output") : parsed.Has("--out") ? parsed.Value("--out") : "";
    const bool toStdout = out.empty() || out == "-";
    const bool terminalAllowed = out == "-";
    if (out == "-")
        out.clear();
    int timeout = 0;
    if (parsed.Has("--timeout")) {
        const std::string &value = parsed.Value("--timeout");
        char *end = nullptr;
        const long seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || seconds < 0 || seconds > 0x7fffffff)
            return UsageError(kGetCommand, "--timeout takes whole seconds");
        timeout = static_cast<int>(seconds);
    }

    std::vector<char> buffer(kBufferSize);
    HttpResponseBuffer response{};
    response.buffer = buffer.data();
    response.capacity = kBufferSize;
    response.filePath = out.empty() ? nullptr : out.data();
    const EntryFiles entry = EntryFilesOf(url);
    const std::string bodyTemp = (out.empty() ? entry.body : out) + ".tmp";
    const std::string headerTemp = entry.header + ".tmp";
    bool downloaded;
    {
        const ProgressLine progress([&](std::chrono::steady_clock::duration) {
            return DownloadProgress(bodyTemp, headerTemp);
        });
        downloaded = HttpDownload_SYNC(url.c_str(), &response, useCache, timeout, nullptr, nullptr);
    }
    if (!downloaded) {
        std::fprintf(stderr, "zelmo get: the download of %s failed: %s\n", url.c_str(),
                     DownloadFailureReason(url, timeout).c_str());
        return kFailed;
    }
    if (!toStdout)  // the body is in PATH, and only there
        return kOk;
    std::string body(buffer.data(), response.length);
    if (response.errorCode == kBodyTooLong) {
        const std::string path = out.empty() ? entry.body : out;
        if (!ReadFile(path, body)) {
            std::fprintf(stderr, "zelmo get: cannot read the body from %s\n", path.c_str());
            return kFailed;
        }
    }
    // Binary bytes can leave a terminal in a state of their own; as curl
    // does, they are written there only when asked for with --output -.
    if (!terminalAllowed && StdoutIsTerminal() && body.find('\0') != std::string::npos) {
        std::fprintf(stderr, "zelmo get: the body is binary and standard output is a terminal; "
                             "use --output - to write it there anyway, or --out PATH\n");
        return kFailed;
    }
    WriteBytes(body);
    return kOk;
}

}  // namespace

const Command kGetCommand = {
    "get", "download a URL through the cache (HttpDownload_SYNC)",
    "usage: zelmo get URL [--cache] [-o|--out|--output PATH] [--timeout S]\n"
    "Fetches URL with HttpDownload_SYNC and prints the body as it is.\n"
    "  --cache        revalidate a complete cache entry with If-Modified-Since;\n"
    "                 a 304 answer serves the cached body\n"
    "  -o, --out PATH write the body to PATH (instead of the cache entry's body\n"
    "                 file) and not to standard output; --output is the same,\n"
    "                 and PATH - is standard output, a terminal included\n"
    "  --timeout S    give up after S seconds (default: no limit)\n"
    "The body lands in the cache entry (see `zelmo cache path URL`) or PATH,\n"
    "the header in the cache entry. A binary body (one holding a zero byte) is\n"
    "not written to a terminal unless --output - is given. On a terminal a bar\n"
    "on standard error shows the body arriving. Exit status 1 when the\n"
    "download fails, with the reason: the final answer's HTTP status, or why\n"
    "the transfer failed.\n",
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
