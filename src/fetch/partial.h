// A partial body kept for a later resume: what a cut or cancelled 200 had
// delivered, beside the entry it would have become, with the answer's header
// block and a record (metadata with complete 0) naming its URL, validators
// and total length (cache::EntryFiles' partialBody, partialHeader,
// partialMeta; the record is written last and removed first, so it alone
// makes the partial count). HttpDownload_SYNC reads none of them; the
// complete entry, if any, is never touched by them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/cache.h"
#include "cache/editor.h"
#include "cache/metadata.h"

namespace zelmo::fetch {

struct Partial {
    std::string header;     // the 200's header block
    cache::EntryMeta meta;  // complete false; length is the whole body's
    std::int64_t have = 0;  // bytes of the body file on disk: where the rest starts
    std::string ifRange;    // the validator an If-Range sends: the strong ETag, else Last-Modified
};

// The partial of an entry, under the entry's lock. One that cannot be
// resumed (a broken or foreign record, a body as long as the total or empty,
// a header that disagrees with the record) is dropped, and nullopt returned.
// A partial body or header without its record (left by a process that died
// while placing or dropping a partial) is removed where `dropLeftovers`; a
// fetch that revalidates a complete entry leaves that to its next 200.
std::optional<Partial> LoadPartial(const cache::EntryFiles &entry, const std::string &url, bool dropLeftovers);

// Makes the editor's body temporary (the first bytes of the answer `block`)
// the entry's partial, replacing any partial there was. False, with nothing
// kept, when a file cannot be written or placed.
bool KeepPartial(cache::Editor &editor, const std::string &url, std::string_view block, std::int64_t requestTime,
                 std::int64_t responseTime);

// Why a 206 block does not continue `partial`: a Content-Range that does not
// start at partial.have or run to the end, another or an unknown total, a
// Content-Length that is not the rest, an ETag or Last-Modified other than
// the partial's. nullopt when it continues it.
std::optional<std::string> RangeMismatch(const Partial &partial, std::string_view block);

}  // namespace zelmo::fetch
