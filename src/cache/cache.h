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
// Longest path CheckAndCreateDircotry walks (its 4096-byte working buffer).
inline constexpr std::size_t kMaxWalkPath = 4095;
// Bytes of a header file that the entry probe reads.
inline constexpr std::size_t kHeaderSample = 300;

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

// Creates the missing directories of `path`, from the outermost to the
// innermost; what follows the last separator is a file name and ignored.
// False when one cannot be created, or the path is longer than kMaxWalkPath.
bool CreateDirectoriesOf(const char *path);

// The first bytes (at most kHeaderSample) of a header file, read in binary
// mode; nullopt when it cannot be opened or holds nothing.
std::optional<std::string> ReadHeaderSample(const std::string &headerPath);

// Where the field name `name` (with its colon) first occurs in `text`, letters
// compared without regard to ASCII case; npos when nowhere.
std::size_t FindFieldName(std::string_view text, std::string_view name);

// The value of the first "Content-Length:" field (in any letter case) of a
// header sample, read as atoi reads it; the sample ends at its first NUL and
// the value at the next CR. nullopt when the field or its CR is missing.
std::optional<int> ContentLengthOf(std::string_view sample);

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

// How far CommitEntry got.
enum class Committed {
    Both,        // body file and header file replaced
    HeaderKept,  // the body file was replaced, the header file could not be
    Neither,     // the body file could not be replaced; nothing changed
};

// Makes finished temporaries the entry's files: the body temporary becomes
// the body file, then the header temporary the header file, each by rename,
// so no reader ever finds a file half-written and no byte is copied (the old
// body file is deleted just before its replacement is renamed in). The
// header comes last: until it is in place the old header judges the entry,
// and a body that is whole either way. Where the body file lies on another
// file system than its temporary, the body is copied instead (written beside
// the body file and renamed into place where the system allows). A temporary
// that did not become its file is left for the caller to delete.
Committed CommitEntry(const std::string &bodyTemp, const std::string &body, const std::string &headerTemp,
                      const std::string &header);

// The files of a URL's entry in the cache directory `directory` (which ends
// in a separator): the body and header files named as EntryPathsOf names
// them, the metadata file (digest + "m") and the lock file (digest + "l").
struct EntryFiles {
    std::string body, header, meta, lock;
};
EntryFiles EntryFilesIn(const std::string &directory, std::string_view url);

// CommitEntry with the metadata file between the two: body, then metadata,
// then header, each by rename. A metadata temporary that cannot be placed
// leaves the header as it was (HeaderKept).
Committed CommitEntry(const std::string &bodyTemp, const std::string &body, const std::string &metaTemp,
                      const std::string &meta, const std::string &headerTemp, const std::string &header);

// A new header for the body in place (a 304's refresh): the metadata
// temporary, then the header temporary, each renamed over its file; the body
// is not touched. False when either could not be placed.
bool RefreshEntry(const std::string &metaTemp, const std::string &meta, const std::string &headerTemp,
                  const std::string &header);

// Drops an entry: its header file first (from then on the entry counts as
// missing), then its metadata and body files. The lock file stays. False
// when a file that exists could not be deleted.
bool DropEntry(const EntryFiles &files);

}  // namespace zelmo::cache
