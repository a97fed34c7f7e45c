// The cache store: the module directory that every library path starts from,
// the cache directory, the two files of a URL's cache entry, and whether an
// entry is complete. The exports GetCacheFilePath, GetCacheFileSize,
// CheckAndCreateDircotry and GetFileFullPath are built on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>


namespace zelmo::cache {

// Fixed path areas: a path stored in one holds at most 259 bytes and its NUL.
inline constexpr std::size_t kPathArea = 260;

// The directory of the host's executable with its trailing separator; filled
// on first need and kept until unload. Empty while it cannot be told (paths
// are then relative to the current directory), and looked up again next time.
std::string ModuleDirectory();

// The module directory followed by "cache\file\cachedown\" (with slashes on
// POSIX).
std::string CacheDirectory();

// The two files of a URL's cache entry, named after the MD5 digest of the
// URL's bytes: the body file (digest) and the header file (digest + "h").
struct EntryPaths {
    std::string body;
    std::string header;
};
EntryPaths EntryPathsOf(std::string_view url);

// A file's length measured by a seek to its end: -1 when the seek fails, 0
// when the file cannot be opened.
std::int64_t FileLengthBySeek(const std::string &path);

// Whether the entry of `url` is complete: its header file and body file
// (`bodyPath`, or the entry's own when null) are present, and the body is as
// long as the header's non-zero Content-Length.
bool IsEntryComplete(const char *url, const char *bodyPath);

// One look at an entry's two files, for a download that may revalidate:
// whether the entry is complete by IsEntryComplete's rules, and the header
// file's text up to its first NUL (read once, whole).
struct StoredEntry {
    bool complete = false;
    std::string header;
};
StoredEntry LookAtEntry(const std::string &headerPath, const std::string &bodyPath);

// The files of a URL's entry in the cache directory `directory` (which ends
// in a separator), all named after the MD5 digits D of the URL: the body D
// and header Dh as EntryPathsOf names them, the metadata Dm and the lock
// file Dl; a partial body kept for a resume, Dp, with the header block of its
// answer, Dph, and its record, Dpm. An answer of another status than 200
// (a 404 kept for its max-age) has its header in Ds instead of Dh, so that
// the 28 exports, which read Dh, never take it for one of their 200s.
struct EntryFiles {
    std::string body, header, meta, lock;
    std::string statusHeader;
    std::string partialBody, partialHeader, partialMeta;
};
EntryFiles EntryFilesIn(const std::string &directory, std::string_view url);

// The files of one of HttpDownload_SYNC's entries: a body and a header.
inline EntryFiles DownloadEntryFiles(std::string body, std::string header)
{
    EntryFiles files;
    files.body = std::move(body);
    files.header = std::move(header);
    return files;
}

// The cache directory of the fetch interface: `given` (null: CacheDirectory())
// with its trailing separator; where the system's separator is the
// backslash, slashes written as backslashes.
std::string CacheDirectoryOf(const char *given);

}  // namespace zelmo::cache
