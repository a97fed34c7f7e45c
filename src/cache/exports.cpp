// The exports that act on a fetch cache from outside a fetch: the listing
// of its entries, the prune to a size and the removal of one entry.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "cache/entry.h"
#include "cache/metadata.h"
#include "cache/store.h"
#include "header/fields.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "zelmo_fetch.h"

namespace zelmo::cache {
namespace {

using platform::ReadSmallFile;

bool IsTemporary(const std::string &name)
{
    const auto ends = [&](const char *tail) {
        const std::size_t n = std::strlen(tail);
        return name.size() >= n && name.compare(name.size() - n, n, tail) == 0;
    };
    return ends(".part") || ends(".tmp");
}

// What the listing tells of one entry.
struct Described {
    std::string url, etag, lastModified;
    std::uint32_t flags = 0;
};

Described Describe(const std::string &dir, const EntryOnDisk &e)
{
    Described d;
    const platform::DirectoryFile *body = e.File("");
    std::optional<EntryMeta> meta;
    if (e.Has("m"))
        if (const std::optional<std::string> text = ReadSmallFile(dir + e.name + "m", kMetaMaxBytes))
            meta = ParseMeta(*text);
    std::string block;
    if (e.Has("h"))
        block = ReadSmallFile(dir + e.name + "h", kHeaderMaxBytes).value_or("");
    else if (e.Has("s"))  // an answer of another status than 200, which only the fetch serves
        block = ReadSmallFile(dir + e.name + "s", kHeaderMaxBytes).value_or("");
    block.resize(std::strlen(block.c_str()));
    if (meta) {
        d.url = meta->url;
        d.etag = meta->etag;
        d.lastModified = meta->lastModified;
        if (!meta->complete)
            d.flags |= ZELMO_CACHE_ENTRY_PARTIAL;
        else if (!block.empty() && body != nullptr && static_cast<std::int64_t>(body->length) == meta->length)
            d.flags |= ZELMO_CACHE_ENTRY_COMPLETE;
    } else {
        d.etag = header::FieldValue(block, "ETag").value_or("");
        d.lastModified = header::FieldValue(block, "Last-Modified").value_or("");
        const std::optional<int> length = header::SampleContentLength(block);
        if (length && *length > 0 && body != nullptr && static_cast<std::uint64_t>(*length) == body->length)
            d.flags |= ZELMO_CACHE_ENTRY_COMPLETE;
    }
    for (const platform::DirectoryFile &f : e.files) {
        const std::string suffix = f.name.substr(e.name.size());
        if (suffix != "" && suffix != "h" && suffix != "s" && suffix != "m" && suffix != "l" && !IsTemporary(f.name))
            d.flags |= ZELMO_CACHE_ENTRY_PARTIAL;
    }
    return d;
}

}  // namespace
}  // namespace zelmo::cache

extern "C" int ZELMO_API zelmo_cache_list(const char *cacheDir, ZelmoCacheListCallback callback, void *data)
try {
    using namespace zelmo;
    if (callback == nullptr || (cacheDir != nullptr && cacheDir[0] == '\0'))
        return ZELMO_FETCH_E_OPTIONS;
    const std::string dir = cache::CacheDirectoryOf(cacheDir);
    std::vector<cache::EntryOnDisk> entries;
    if (!cache::ListEntries(dir, entries, nullptr))
        return ZELMO_FETCH_E_CACHE_IO;
    std::sort(entries.begin(), entries.end(), [](const cache::EntryOnDisk &a, const cache::EntryOnDisk &b) {
        return a.lastUseNs != b.lastUseNs ? a.lastUseNs < b.lastUseNs : a.name < b.name;
    });
    for (const cache::EntryOnDisk &e : entries) {
        const cache::Described d = cache::Describe(dir, e);
        const platform::DirectoryFile *body = e.File("");
        ZelmoCacheEntry entry = {};
        entry.size = sizeof entry;
        entry.flags = d.flags;
        entry.name = e.name.c_str();
        entry.url = d.url.c_str();
        entry.etag = d.etag.c_str();
        entry.last_modified = d.lastModified.c_str();
        entry.body_bytes = body != nullptr ? static_cast<std::int64_t>(body->length) : -1;
        entry.disk_bytes = e.allocated;
        // Floor division: a time before 1970 stays in its own second.
        entry.last_use = e.lastUseNs >= 0 ? e.lastUseNs / 1000000000 : -((-e.lastUseNs + 999999999) / 1000000000);
        if (callback(data, &entry) != 0)
            return ZELMO_FETCH_E_CANCELLED;
    }
    return ZELMO_FETCH_OK;
} catch (...) {
    return ZELMO_FETCH_E_NO_MEMORY;
}

extern "C" int ZELMO_API zelmo_cache_prune(const char *cacheDir, ZelmoCachePrune *prune)
try {
    using namespace zelmo;
    if (prune == nullptr || prune->size < sizeof(ZelmoCachePrune) || prune->flags != 0 || prune->reserved != 0 ||
        (cacheDir != nullptr && cacheDir[0] == '\0'))
        return ZELMO_FETCH_E_OPTIONS;
    const auto *bytes = reinterpret_cast<const unsigned char *>(prune);
    for (std::size_t i = sizeof(ZelmoCachePrune); i < prune->size; ++i)
        if (bytes[i] != 0)
            return ZELMO_FETCH_E_OPTIONS;
    cache::PruneCounts counts;
    if (!cache::Prune(cache::CacheDirectoryOf(cacheDir), prune->max_bytes, std::string(), counts))
        return ZELMO_FETCH_E_CACHE_IO;
    prune->bytes_before = counts.before;
    prune->bytes_after = counts.after;
    prune->removed = counts.removed;
    prune->kept = counts.kept;
    prune->busy = counts.busy;
    return counts.after <= prune->max_bytes ? ZELMO_FETCH_OK : ZELMO_FETCH_E_LOCKED;
} catch (...) {
    return ZELMO_FETCH_E_NO_MEMORY;
}

extern "C" int ZELMO_API zelmo_cache_remove(const char *cacheDir, const char *url)
try {
    using namespace zelmo;
    if (url == nullptr || (cacheDir != nullptr && cacheDir[0] == '\0'))
        return ZELMO_FETCH_E_OPTIONS;
    const cache::EntryFiles files = cache::EntryFilesIn(cache::CacheDirectoryOf(cacheDir), url);
    if (!platform::PathExists(files.header.c_str()) && !platform::PathExists(files.body.c_str()) &&
        !platform::PathExists(files.meta.c_str()) && !platform::PathExists(files.partialMeta.c_str()) &&
        !platform::PathExists(files.partialBody.c_str()))
        return ZELMO_FETCH_OK;  // nothing stored; no lock file is made for that
    platform::FileLock lock;
    std::string why;
    if (lock.Acquire(files.lock.c_str(), -1, why) != platform::FileLock::Result::Held)
        return ZELMO_FETCH_E_CACHE_IO;
    const bool dropped = cache::DropEntry(files);
    return cache::DropPartial(files) && dropped ? ZELMO_FETCH_OK : ZELMO_FETCH_E_CACHE_IO;
} catch (...) {
    return ZELMO_FETCH_E_NO_MEMORY;
}
