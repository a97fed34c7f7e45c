// A stored body handed to the host (see deliver.h).
#include "fetch/deliver.h"

#include <cstdio>
#include <memory>

#include "platform/files.h"
#include "platform/platform.h"

namespace zelmo::fetch {

constexpr std::size_t kServeChunk = 256 * 1024;

Error StreamFile(const std::string &path, std::int64_t length, ZelmoFetchSink sink, void *sinkData)
{
    if (sink == nullptr)
        return {};
    const platform::File file(platform::OpenForReading(path.c_str()));
    if (!file)
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot open " + path);
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::unique_ptr<char[]> buffer(new char[kServeChunk]);
    std::int64_t served = 0;
    std::size_t got;
    while ((got = std::fread(buffer.get(), 1, kServeChunk, file.get())) > 0) {
        if (sink(sinkData, buffer.get(), got) != 0)
            return Fail(ZELMO_FETCH_E_SINK, "the body sink refused the body");
        served += static_cast<std::int64_t>(got);
    }
    if (std::ferror(file.get()) || served != length)
        return Fail(ZELMO_FETCH_E_CACHE_IO, "cannot read " + path);
    return {};
}

Error Deliver(const std::string &path, const char *destination)
{
    if (destination == nullptr)
        return {};
    if (!platform::CopyFileOver(path.c_str(), destination))
        return Fail(ZELMO_FETCH_E_DESTINATION, std::string("cannot write the destination ") + destination);
    return {};
}

}  // namespace zelmo::fetch
