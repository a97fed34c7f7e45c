// zelmo cache: where a URL's cache entry lives and whether it is complete.
#include <cstdio>
#include <vector>

#include "cli.h"
#include "zelmo.h"

namespace cli {
namespace {

int RunCache(const Args &given)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {}, parsed);
    if (!error.empty())
        return UsageError(kCacheCommand, error);
    const Args &args = parsed.operands;
    if (args.empty() || (args[0] != "path" && args[0] != "probe"))
        return UsageError(kCacheCommand, "expected path or probe");
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
    "cache", "a URL's cache entry: its files, whether it is complete",
    "usage: zelmo cache path URL\n"
    "       zelmo cache probe URL\n"
    "path prints the two files of URL's cache entry (GetCacheFilePath): the\n"
    "body file on the first line, the header file on the second. The cache\n"
    "directory is cache/file/cachedown/ beside the program that loads the\n"
    "library (cache\\file\\cachedown\\ on Windows); entries are named after\n"
    "the MD5 digest of the URL exactly as given.\n"
    "probe tells whether the entry is complete (GetCacheFileSize): both files\n"
    "present and the body as long as the stored Content-Length, which must not\n"
    "be 0. It prints \"complete\" (exit status 0) or \"not complete\" (1).\n",
    RunCache};

}  // namespace cli
