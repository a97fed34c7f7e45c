// zelmo post and zelmo upload: HttpRequest_SYNC and HttpUpload_SYNC.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    bool haveData = false;
    int timeout = 0, connectTimeout = 0;
    const char *proxy = nullptr, *proxyUser = nullptr;
};

bool ReadFileText(const std::string &path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ParseSeconds(const std::string &text, int &seconds)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 86400)
        return false;
    seconds = static_cast<int>(value);
    return true;
}

// Parses the options `allowed` lists; an error message, or empty.
std::string Parse(const Args &args, const std::vector<std::string> &allowed, Options &options)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            options.positional.push_back(arg);
            continue;
        }
        bool known = false;
        for (const std::string &name : allowed) known = known || name == arg;
        if (!known)
            return "unknown option " + arg;
        if (i + 1 >= args.size())
            return arg + " needs a value";
        const std::string &value = args[++i];
        if (arg == "--data") {
            options.haveData = true;
            if (value == "@-") {
                options.data = ReadStdin();
            } else if (value.rfind('@', 0) == 0) {
                if (!ReadFileText(value.substr(1), options.data))
                    return "cannot read " + value.substr(1);
            } else {
                options.data = value;
            }
        } else if (arg == "--timeout" || arg == "--connect-timeout") {
            if (!ParseSeconds(value, arg == "--timeout" ? options.timeout : options.connectTimeout))
                return arg + " takes whole seconds (0 for no limit)";
        } else if (arg == "--proxy") {
            options.proxy = value.c_str();
        } else if (arg == "--proxy-user") {
            options.proxyUser = value.c_str();
        }
    }
    return {};
}

// The body on success; on failure the answer as it arrived, and status 1.
int Report(const Command &command, int result, const HttpResponseBuffer &response)
{
    WriteBytes(std::string(response.buffer, response.length));
    if (result == 1)
        return kOk;
    std::fprintf(stderr, "zelmo %s: the request failed%s\n", command.name,
                 response.length == 0 ? " (no answer)" : "; above is the answer as it arrived");
    return kFailed;
}

int RunPost(const Args &args)
{
    Options options;
    const std::string error = Parse(args, {"--data", "--timeout", "--proxy", "--proxy-user"}, options);
    if (!error.empty())
        return UsageError(kPostCommand, error);
    if (options.positional.size() != 1)
        return UsageError(kPostCommand, "expected one URL");
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
    return Report(kPostCommand, result, response);
}

int RunUpload(const Args &args)
{
    Options options;
    const std::string error = Parse(args, {"--timeout", "--connect-timeout"}, options);
    if (!error.empty())
        return UsageError(kUploadCommand, error);
    if (options.positional.size() != 2)
        return UsageError(kUploadCommand, "expected a URL and a FILE");
    std::vector<char> answer(kAnswerCapacity);  // zero-filled, as the upload expects
    HttpResponseBuffer response{};
    response.buffer = answer.data();
    response.capacity = kAnswerCapacity;
    const std::string &file = options.positional[1];
    std::error_code sizeError;
    const std::uintmax_t size = std::filesystem::file_size(file, sizeError);
    const std::string what = "uploading " + std::filesystem::path(file).filename().string() +
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
    if (result == 0 && response.length == 0) {
        std::fprintf(stderr, "zelmo upload: nothing was sent or nothing came back (is %s a readable file?)\n",
                     options.positional[1].c_str());
        return kFailed;
    }
    return Report(kUploadCommand, result, response);
}

}  // namespace

const Command kPostCommand = {
    "post", "POST text to a URL and print the answer's body (HttpRequest_SYNC)",
    "usage: zelmo post URL [--data TEXT|@FILE] [--timeout S] [--proxy PROXY] [--proxy-user USER:PASSWORD]\n"
    "Posts TEXT (or the content of FILE, @- for standard input; empty when\n"
    "not given) as the body of one HTTP POST without an Expect header,\n"
    "following redirects. On a 200 answer prints its body. Otherwise prints the answer as it arrived,\n"
    "header included, and exits with status 1. --timeout limits the whole\n"
    "transfer (0: no limit). PROXY uses libcurl's syntax (host:port,\n"
    "http://host:port); its credentials travel as given.\n",
    RunPost};

const Command kUploadCommand = {
    "upload", "upload a file as a multipart form and print the answer's body (HttpUpload_SYNC)",
    "usage: zelmo upload URL FILE [--timeout S] [--connect-timeout S]\n"
    "Posts FILE as the form part \"file1\", with a part \"submit\" holding\n"
    "\"send\", following redirects. On a 200 answer prints its body (a 200\n"
    "answer counts even if the transfer broke off after it). Otherwise prints\n"
    "the answer as it arrived and exits with status 1. On a terminal a bar on\n"
    "standard error shows the upload running. --timeout limits the whole\n"
    "transfer, --connect-timeout the connecting (0: no limit).\n",
    RunUpload};

}  // namespace cli
