// The pure HTTP caching rules of zelmo_fetch: dates, header fields,
// Cache-Control, freshness and age (RFC 9111 4.2, for a private cache),
// validators and conditional request lines, the header block kept after a
// 304 (RFC 9111 3.2 / 4.3.4) and Content-Range. No I/O, no clock: every time
// is passed in, in seconds since 1970 UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmo::fetch {

// An HTTP date in any of the three forms of RFC 9110 5.6.7 (IMF-fixdate,
// RFC 850 with a two-digit year, asctime), as seconds since 1970 UTC; day
// and month names and "GMT" in any letter case.
// nullopt for anything else, for a field out of its range (month, day of the
// month, hour, minute, second 0..60) and for a year before 1970 or after 9999.
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

// `seconds` as an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"); times before
// 1970 are written as 1970-01-01 00:00:00, after 9999 as 9999-12-31 23:59:59.
std::string FormatHttpDate(std::int64_t seconds);

struct CacheControl {
    std::optional<std::int64_t> maxAge, staleIfError;
    bool noCache = false, noStore = false, mustRevalidate = false, isPrivate = false, isPublic = false;
    // An answer's qualified no-cache="a, b": the fields it lists are never
    // stored; the rest of the answer is kept and served as ever (RFC 9111
    // 5.2.2.4). The unqualified no-cache sets noCache instead.
    std::vector<std::string> noCacheFields;
    // Directives of a request (RFC 9111 5.2.1).
    std::optional<std::int64_t> minFresh, maxStale;  // maxStale: max-stale with its seconds
    bool maxStaleAny = false;                        // max-stale without a value: any staleness
    bool onlyIfCached = false;
};

// The directives of a Cache-Control value; tolerant: unknown directives and
// malformed arguments are ignored (a max-age or min-fresh that is not a
// number counts as 0, for a max-age: stale; a max-stale whose value is not a
// number is ignored; a huge value is clamped).
CacheControl ParseCacheControl(std::string_view value);

// The Cache-Control of a request made of `requestLines` ("Name: value"):
// every Cache-Control line, in any letter case, joined. Without any, a
// Pragma that holds no-cache counts as Cache-Control: no-cache (RFC 9111 5.4).
CacheControl RequestCacheControl(const std::vector<std::string> &requestLines);

// RFC 9111 4.1: what an answer's Vary selects from the request that gets it,
// as a key two requests share exactly when the answer suits both. "" when
// the answer has no Vary (or an empty one); "*" when it varies on
// everything (`Vary: *`: no request ever matches); else the MD5 digits of
// the selected fields (names in any letter case, the list parsed by commas,
// repeated Vary fields joined; a request's repeated lines joined with ", ",
// blanks trimmed; a field the request lacks counts as absent). Only the
// digest is kept, so that no request value (an Authorization, a cookie)
// reaches the disk. `requestLines` are "Name: value" lines.
std::string VaryKey(std::string_view answerBlock, const std::vector<std::string> &requestLines);

// Whether a stored answer, stored with the key `storedKey`, may answer a
// request whose key for it is `requestKey` without validation.
inline bool VaryMatches(const std::string &storedKey, const std::string &requestKey)
{
    return storedKey != "*" && storedKey == requestKey;
}

// Whether an answer's Cache-Control says no-store (RFC 9111 5.2.2.5): the
// answer is not to be kept, not even in part.
bool SaysNoStore(std::string_view block);

// RFC 9111 4.2 for a private cache: the freshness lifetime (max-age, else
// Expires - Date, else heuristic 10% of Date - Last-Modified capped at one
// day, only for a status that allows it), the current age (4.2.3, from Age,
// Date and the stored request/response times), fresh = lifetime > age.
// no-cache is never fresh.
struct Freshness {
    std::int64_t lifetime = 0, age = 0;
    bool fresh = false;
    bool heuristic = false;
};
Freshness FreshnessOf(std::string_view storedBlock, std::int64_t requestTime, std::int64_t responseTime,
                      std::int64_t now);

// RFC 9111 4.2 and 5.2.1 for a private cache: whether a stored answer may
// be served without a request to a request whose Cache-Control is
// `request`. Never with the request's no-cache or max-age=0, nor a stored
// no-cache or no-store. Otherwise the age must be at most the request's
// max-age, and the answer fresh for min-fresh seconds more (0 without);
// failing that, the request's max-stale admits an answer stale by at most
// its seconds (any, without a value), unless the answer says
// must-revalidate.
bool ServableWithoutRequest(std::string_view storedBlock, std::int64_t requestTime, std::int64_t responseTime,
                            std::int64_t now, const CacheControl &request);

// RFC 5861 4: whether a stored answer's Cache-Control stale-if-error lets it
// be served when a new one cannot be had: its current age is at most its
// freshness lifetime plus the directive's seconds. False without the
// directive.
bool StaleIfErrorAllows(std::string_view storedBlock, std::int64_t requestTime, std::int64_t responseTime,
                        std::int64_t now);

// The validators of a stored answer: its ETag (with quotes, "W/" stripped
// and reported in `weak`) and its Last-Modified text, each empty when absent.
struct Validators {
    std::string etag;
    bool weak = false;
    std::string lastModified;
};
Validators ValidatorsOf(std::string_view block);

// "If-None-Match: <etag>" and/or "If-Modified-Since: <date>" (no line end);
// a value holding a control character (any byte below 0x20, a tab included,
// or 0x7f) is never sent.
std::vector<std::string> ConditionalLines(const Validators &v);

// RFC 9111 3.2 / 4.3.4: the stored block with every field of the 304's block
// replacing or joining the stored ones, except Content-Length, Connection and
// the fields it names, Keep-Alive, Proxy-*, TE, Transfer-Encoding, Upgrade,
// Trailer, Content-Range/Encoding; the stored status line kept. Hop-by-hop
// fields of the stored block (see WithoutHopByHop) are left out as well.
// Output ends with an empty line, CRLF everywhere.
std::string RefreshedHeader(std::string_view storedBlock, std::string_view notModifiedBlock);

// RFC 9111 3.1 and RFC 9110 7.6.1: an answer's block as it is stored,
// without the fields that belong to its connection: Connection and every
// field it names, Proxy-Connection, Keep-Alive, TE, Transfer-Encoding,
// Upgrade, Trailer, Proxy-Authenticate, Proxy-Authentication-Info and
// Proxy-Authorization, each with its folded lines. Content-Length stays,
// even where a Connection names it. The block unchanged, byte for byte,
// when it holds none of them; else cut at its empty line.
std::string WithoutHopByHop(std::string_view block);

// An answer's block as the cache keeps it: WithoutHopByHop, and without the
// fields its Cache-Control lists in a qualified no-cache (Content-Length
// always stays).
std::string StoredBlock(std::string_view block);

// RFC 9111 3 for a private cache: whether an answer may be stored. Never
// one that says no-store, nor a 1xx, 206 or 304. A 200 always: the
// revalidation of both interfaces stands on its validators. Another status
// that RFC 9110 15.1 calls heuristically cacheable (203, 204, 300, 301,
// 308, 404, 405, 410, 414, 501) when it has explicit freshness (max-age,
// Expires), a Last-Modified for the heuristic, or says public or private;
// any other final status only with explicit freshness or public/private.
bool Storable(std::string_view block);

// An answer as the host is shown it (RFC 9111 4 and 5.1): the status line,
// then the fields of `block` but those that belong to its connection (see
// WithoutHopByHop) and any Age, then "Age: <age>", then the empty line;
// CRLF everywhere, a folded field on one line.
std::string AnswerHeader(std::string_view block, std::int64_t age);

// The content codings an answer's Content-Encoding fields list (RFC 9110
// 8.4), in the order they were applied, in lower case; every such field
// read, in order, as one list; empty members left out. Empty without any.
std::vector<std::string> ContentCodings(std::string_view block);

// An answer's block as it describes its body once decoded: without its
// Content-Encoding fields, and where `lengthToo` without its Content-Length
// (the coded body's) as well, each with its folded lines. The block
// unchanged, byte for byte, when it holds none of them; else cut at its
// empty line.
std::string WithoutContentCoding(std::string_view block, bool lengthToo);

// The validator a later range request may send for an answer block: a 200
// with a Content-Length above 0 and a strong ETag or a Last-Modified, free
// of control characters. Empty when the answer cannot be resumed.
std::string ResumeValidatorOf(std::string_view block);

// "bytes first-last/total" or "bytes first-last/*" (RFC 9110 14.4), with
// first <= last < total. nullopt for anything else (unsatisfied ranges
// "bytes */n" included).
struct ContentRange {
    std::int64_t first = 0, last = 0;
    std::optional<std::int64_t> total;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);

}  // namespace zelmo::fetch
