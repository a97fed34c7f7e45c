// Reading an entry of the fetch interface's cache: one look at its files,
// the check of its body, its metadata, and dropping it. Entries of
// HttpDownload_SYNC (no metadata file) are read too, judged as it judges
// them. Nothing here writes an entry: that is the editor's (editor.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cache/cache.h"
#include "cache/metadata.h"
#include "platform/platform.h"

namespace zelmo::cache {

// Longest header file an entry look reads.
inline constexpr std::size_t kHeaderMaxBytes = 1 << 20;

// An entry's header or metadata file, which a hit reads every time: taken
// from what this process read before while the file's stamp is unchanged.
std::optional<std::string> ReadEntryText(const std::string &path, std::size_t limit);

// One look at an entry's files.
struct Look {
    std::string header;               // the header file's text up to its first NUL; empty when absent
    std::int64_t bodyLength = -1;     // -1: no body file
    platform::FileStamp bodyStamp;    // the body file as it was looked at
    std::optional<EntryMeta> meta;    // only when it describes this header and body
    bool complete = false;            // a whole answer, ready to serve or revalidate
    int status = 0;                   // its status (200 but for a status entry)
    bool statusEntry = false;         // the header came from the status header file (EntryFiles::statusHeader)
    bool damaged = false;             // the body's length is not the one stored with it
};
Look LookAt(const EntryFiles &files, const std::string &url);

// The body checked against the metadata: its length and checksum; an entry
// without metadata has only its length, already compared by LookAt. Where
// `keep`, a body of at most kKeptBody bytes is read once, checked and kept
// in `bytes` (for a sink), so that it is not read twice.
struct Checked {
    bool good = false;
    std::uint64_t digest = 0;
    std::unique_ptr<char[]> bytes;  // the body as checked, when kept
    std::size_t size = 0;
};
inline constexpr std::int64_t kKeptBody = 16 << 20;
Checked Check(const Look &look, const std::string &bodyPath, bool keep);

// The metadata of a complete answer whose header block is `header`: its
// URL, body length and checksum, times, and the block's validators.
EntryMeta MetaFor(const std::string &url, std::string_view header, std::int64_t length, std::uint64_t digest,
                  std::int64_t requestTime, std::int64_t responseTime);

// The header block kept with a body: the answer's block as it came, up to
// its empty line; where it does not state the body's length (chunked, or no
// Content-Length), with a Content-Length of the stored body in place of its
// framing fields, so that both interfaces judge the entry alike.
std::string StoredHeaderOf(std::string_view block, std::int64_t length);

// Records a use of the entry (a hit, a 304): its lock file's last-write time,
// which orders the prune, set through `use` where the entry is served under
// it, else by the lock file's name. An entry without a lock file (one of
// HttpDownload_SYNC's) gets one by taking `use`.
void RecordUse(const EntryFiles &files, platform::UseLock &use, bool shared);

// Drops an entry: its header file first (from then on the entry counts as
// missing), then its metadata and body files. The lock file stays. False
// when a file that exists could not be deleted.
bool DropEntry(const EntryFiles &files);

// Drops the entry's partial body: its record first (from then on no partial
// counts), then its header and body.
bool DropPartial(const EntryFiles &files);

}  // namespace zelmo::cache
