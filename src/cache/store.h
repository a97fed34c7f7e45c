// The cache directory as a whole: its entries with what they occupy on disk
// and when they were last used, and the prune that brings it under a size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace zelmo::cache {

// The files of one entry: every file of the directory whose name begins with
// the entry's 32-digit MD5 name (body, header, metadata, lock, partial
// bodies, temporaries).
struct EntryOnDisk {
    std::string name;                            // the MD5 digits
    std::vector<platform::DirectoryFile> files;
    std::uint64_t allocated = 0;                 // what the files occupy on disk
    std::int64_t lastUseNs = 0;                  // latest last-write time of its files
    bool Has(const std::string &suffix) const;   // a file name + suffix ("" body, "h", "m", "l")
    const platform::DirectoryFile *File(const std::string &suffix) const;
};

// The entries of `directory` (ending in a separator), in no particular
// order; an entry of nothing but its lock file is left out (but counted in
// `total` when not null). False when the directory cannot be read; a missing
// directory is an empty cache.
bool ListEntries(const std::string &directory, std::vector<EntryOnDisk> &entries, std::uint64_t *total);

struct PruneCounts {
    std::uint64_t before = 0, after = 0;  // bytes on disk
    unsigned removed = 0, kept = 0, busy = 0;
};

// Removes entries, least recently used first, until what the cache occupies
// is at most `maxBytes`. The entry named `keep` is never removed, nor one
// being written (its FileLock held) or served (its UseLock shared): each is
// tried once without waiting and skipped when busy. An entry goes header
// first, then metadata, body and its other files; its lock file stays, and
// so do HttpDownload_SYNC's ".tmp" temporaries, which it writes without the
// lock. False when the directory cannot be read.
bool Prune(const std::string &directory, std::uint64_t maxBytes, const std::string &keep, PruneCounts &counts);

}  // namespace zelmo::cache
