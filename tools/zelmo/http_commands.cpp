// zelmo post and zelmo upload: HttpRequest_SYNC and HttpUpload_SYNC.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "progress.h"
#include "zelmo.h"

namespace cli {
namespace {

// Room for the answer; what does not fit is left out by the library.
constexpr unsigned kAnswerCapacity = 16u << 20;

struct Options {
    Args positional;
    std::string data;
    int timeout = 0, connectTimeout = 0;
    const char *proxy = nullptr, *proxyUser = nullptr;
};

bool ParseSeconds(const std::string &text, int &seconds)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 86400)
        return false;
    seconds = static_cast<int>(value);
    return true;
}

// Parses the options `allowed` lists into `options` (kept alive by
// `parsed`); an error message, or empty.
std::string Parse(const Args &args, const std::vector<Option> &allowed, Parsed &parsed, Options &options)
{
    std::string error = ParseOptions(args, allowed, parsed);
    if (!error.empty())
        return error;
    options.positional = parsed.operands;
    for (const char *name : {"--timeout", "--connect-timeout"}) {
        if (parsed.Has(name) &&
            !ParseSeconds(parsed.Value(name), name[2] == 't' ? options.timeout : options.connectTimeout))
            return std::string(name) + " takes whole seconds (0 for no limit)";
    }
    if (parsed.Has("--proxy"))
        options.proxy = parsed.Value("--proxy").c_str();
    if (parsed.Has("--proxy-user"))
        options.proxyUser = parsed.Value("--proxy-user").c_str();
    return {};
}

// The text --data names: itself, standard input (@-) or a file's content
// (@FILE). False, with the reason on standard error, when FILE cannot be read.
bool ReadData(const std::string &value, std::string &data)
{
    if (value == "@-") {
        data = ReadStdin();
        return true;
    }
    if (value.rfind('@', 0) != 0) {
        data = value;
        return true;
    }
    const std::string path = value.substr(1);
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "zelmo post: cannot read %s: %s\n", Printable(path).c_str(), SystemError().c_str());
        return false;
    }
    data.clear();
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) data.append(chunk, n);
    const bool failed = std::ferror(file) != 0;
    const std::string reason = SystemError();
    std::fclose(file);
    if (failed)
        std::fprintf(stderr, "zelmo post: cannot read %s: %s\n", Printable(path).c_str(), reason.c_str());
    return !failed;
}

// The body on success; on failure the answer as it arrived, and status 1.
int Report(const Command &command, int result, const HttpResponseBuffer &response, const std::string &url,
           int timeout)
{
    const std::string answer(response.buffer, response.length);
    WriteBytes(answer);
    if (result == 1)
        return kOk;
    // libcurl's reason may quote what the server sent (a redirect's scheme).
    if (answer.empty())
        std::fprintf(stderr, "zelmo %s: the request failed: %s\n", command.name,
                     Printable(ConnectFailureReason(url, timeout)).c_str());
    else
        std::fprintf(stderr, "zelmo %s: the request failed: %s; above is the answer as it arrived\n",
                     command.name, Printable(AnswerStatus(answer)).c_str());
    return kFailed;
}

int RunPost(const Args &args)
{
    Parsed parsed;
    Options options;
    const std::string error = Parse(
        args, {{"--data", "-d", true}, {"--timeout", nullptr, true}, {"--proxy", nullptr, true}, {"--proxy-user", nullptr, true}},
        parsed, options);
    if (!error.empty())
        return UsageError(kPostCommand, error);
    if (options.positional.size() != 1)
        return UsageError(kPostCommand, "expected one URL");
    if (parsed.Has("--data") && !ReadData(parsed.Value("--data"), options.data))
        return kFailed;
    if (options.data.find('\0') != std::string::npos) {
        std::fprintf(stderr, "zelmo post: the data holds a NUL byte; the body is posted as text\n");
        return kFailed;
    }
    std::vector<char> answer(kAnswerCapacity);
    HttpResponseBuffer response{};
    response.buffer = answer.data();
    response.capacity = kAnswerCapacity;
    const int result = HttpRequest_SYNC(options.positional[0].c_str(), options.data.c_str(), &response,
                                        options.timeout, options.proxy, options.proxyUser);
    return Report(kPostCommand, result, response, options.positional[0], options.timeout);
}

int RunUpload(const Args &args)
{
    Parsed parsed;
    Options options;
    const std::string error =
        Parse(args, {{"--timeout", nullptr, true}, {"--connect-timeout", nullptr, true}}, parsed, options);
    if (!error.empty())
        return UsageError(kUploadCommand, error);
    if (options.positional.size() != 2)
        return UsageError(kUploadCommand, "expected a URL and a FILE");
    if (std::FILE *readable = std::fopen(options.positional[1].c_str(), "rb")) {
        std::fclose(readable);
    } else {
        std::fprintf(stderr, "zelmo upload: cannot read %s: %s\n", Printable(options.positional[1]).c_str(),
                     SystemError().c_str());
        return kFailed;
    }
    std::vector<char> answer(kAnswerCapacity);  // zero-filled, as the upload expects
    HttpResponseBuffer response{};
    response.buffer = answer.data();
    response.capacity = kAnswerCapacity;
    const std::string &file = options.positional[1];
    std::error_code sizeError;
    const std::uintmax_t size = std::filesystem::file_size(file, sizeError);
    const std::string what = "uploading " + Printable(std::filesystem::path(file).filename().string()) +
                             (sizeError ? std::string() : " (" + ByteCount(size) + ")");
    int result;
    {
        // The upload reports no progress of its own: the bar shows it runs.
        const ProgressLine progress([&](std::chrono::steady_clock::duration elapsed) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
            return BusyBar(elapsed) + " " + what + ", " + std::to_string(seconds) + " s";
        });
        result = HttpUpload_SYNC(options.positional[0].c_str(), file.c_str(), &response, options.connectTimeout,
                                 options.timeout, 0, 0);
    }
    return Report(kUploadCommand, result, response, options.positional[0], options.timeout);
}

}  // namespace

const Command kPostCommand = {
    "post", "POST text to a URL and print the answer's body (HttpRequest_SYNC)",
    "usage: zelmo post URL [-d|--data TEXT|@FILE] [--timeout S] [--proxy PROXY] [--proxy-user USER:PASSWORD]\n"
    "Posts TEXT (or the content of FILE, @- for standard input; empty when\n"
    "not given) as the body of one HTTP POST without an Expect header,\n"
    "following redirects. On a 200 answer prints its body. Otherwise prints the answer as it arrived,\n"
    "header included, and exits with status 1, saying why (the final answer's\n"
    "HTTP status, or why no answer came); so does a FILE that cannot be\n"
    "read. --timeout limits the whole\n"
    "transfer (0: no limit). PROXY uses libcurl's syntax (host:port,\n"
    "http://host:port); its credentials travel as given.\n",
    RunPost};

const Command kUploadCommand = {
    "upload", "upload a file as a multipart form and print the answer's body (HttpUpload_SYNC)",
    "usage: zelmo upload URL FILE [--timeout S] [--connect-timeout S]\n"
    "Posts FILE as the form part \"file1\", with a part \"submit\" holding\n"
    "\"send\", following redirects. On a 200 answer prints its body (a 200\n"
    "answer counts even if the transfer broke off after it). Otherwise prints\n"
    "the answer as it arrived and exits with status 1, saying why, as post\n"
    "does; so does a FILE that cannot be read. On a terminal a bar on\n"
    "standard error shows the upload running. --timeout limits the whole\n"
    "transfer, --connect-timeout the connecting (0: no limit).\n",
    RunUpload};

}  // namespace cli
