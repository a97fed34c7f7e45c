// Whether a cache entry is complete: both files present and the body as long
// as the stored header's Content-Length says. Reads at most kHeaderSample
// bytes of the header and none of the body.
#include <cstring>
#include <fstream>

#include "cache/cache.h"
#include "frame/frame.h"
#include "header/fields.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "zelmo.h"

namespace zelmo::cache {

std::int64_t FileLengthBySeek(const std::string &path)
{
    std::ifstream body(path, std::ios::binary);
    if (!body.is_open())
        return 0;
    body.seekg(0, std::ios::end);
    if (!body)
        return -1;
    const std::streamoff length = body.tellg();
    return body ? static_cast<std::int64_t>(length) : -1;
}

bool IsEntryComplete(const char *url, const char *bodyPath)
{
    if (url == nullptr)
        return false;
    const EntryPaths entry = EntryPathsOf(url);
    const std::string body = bodyPath != nullptr ? std::string(bodyPath) : entry.body;
    // Both paths must fit the fixed path areas they travel in.
    if (body.size() >= kPathArea || entry.header.size() >= kPathArea)
        return false;
    if (IsFilePresent(entry.header.c_str()) == -1 || IsFilePresent(body.c_str()) == -1)
        return false;
    const std::optional<std::string> sample = platform::ReadFileHead(entry.header, header::kHeaderSample);
    if (!sample || sample->empty())
        return false;
    const std::optional<int> length = header::SampleContentLength(*sample);
    if (!length)
        return false;
    return *length != 0 && *length == FileLengthBySeek(body);
}

StoredEntry LookAtEntry(const std::string &headerPath, const std::string &bodyPath)
{
    StoredEntry entry;
    if (bodyPath.size() >= kPathArea || headerPath.size() >= kPathArea)
        return entry;
    const auto present = [](const platform::FileFacts &facts) {
        return facts.found && !facts.directory && facts.dosTime;
    };
    const platform::FileFacts headerFacts = platform::ProbeFile(headerPath.c_str());
    if (!present(headerFacts))
        return entry;
    const platform::FileFacts body = platform::ProbeFile(bodyPath.c_str());
    if (!present(body))
        return entry;
    std::optional<std::string> read = platform::ReadFileHead(headerPath, static_cast<std::size_t>(headerFacts.size));
    if (!read)
        return entry;
    std::string raw = std::move(*read);
    const std::optional<int> length = header::SampleContentLength(std::string_view(raw).substr(0, header::kHeaderSample));
    entry.complete = length && *length > 0 && static_cast<std::uint64_t>(*length) == body.size;
    raw.resize(std::strlen(raw.c_str()));
    entry.header = std::move(raw);
    return entry;
}

}  // namespace zelmo::cache

extern "C" bool ZELMO_API GetCacheFileSize(const char *url, const char *bodyPath, uint32_t, uint32_t)
try {
    return zelmo::cache::IsEntryComplete(url, bodyPath);
} catch (...) {
    return false;  // no memory for a path or a stream: no entry known complete
}
