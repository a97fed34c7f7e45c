// What a call of zelmo_fetch does next, decided from what it knows: the
// options, the entry as it was found, the answer to a request when one was
// sent, and the clock, passed in. No I/O, no libcurl, no clock of its own:
// the driver (fetch.cpp) looks, asks the plan, acts, and asks again.
#pragma once

#include <cstdint>
#include <string_view>

#include "fetch/rules.h"

namespace zelmo::fetch::plan {

// What the call was asked.
struct Call {
    int mode = 0;               // a ZelmoCacheMode
    bool staleIfError = false;  // ZELMO_FETCH_STALE_IF_ERROR
    bool noResume = false;      // ZELMO_FETCH_NO_RESUME
    bool hasSink = false;       // the body goes to a sink as it comes
    CacheControl request;       // the Cache-Control of the host's request lines
    bool anyStatus = false;     // ZELMO_FETCH_ANY_STATUS: a non-2xx answer served is no failure
    bool ownRange = false;      // the host asks for a range itself: nothing stored is served, nothing kept
};

// The entry as the call found it.
struct Entry {
    enum class State {
        NotLookedAt,  // network-only: the entry is looked at only to serve it stale
        None,         // no complete entry (nothing, or a header without its body)
        Whole,        // complete, and its body passed its check
        Corrupt,      // its body failed its check (it has been dropped)
    };
    State state = State::None;
    std::string_view header;      // the stored header block (Whole)
    bool hasTimes = false;        // its metadata gave the request and response times
    std::int64_t requestTime = 0, responseTime = 0;
    bool changedWhileWaiting = false;  // this call waited for another fetch, which stored it
    bool varyMatches = true;      // the stored answer's Vary selects the same from this request
    bool partial = false;         // a partial body that a range request can continue
};

// The request a call sends.
enum class Request { None, Conditional, Unconditional, Range };

// How a request ended, as the transfer tells it.
struct Answer {
    Request sent = Request::None;
    int status = 0;               // of the final answer; 0 when none came
    std::string_view block;       // the final answer's header block
    bool performed = false;       // libcurl completed the transfer
    int stopped = 0;              // a ZELMO_FETCH_E_* code when a body step stopped it (HTTP: a status not served)
    bool closed = true;           // the body file was written and closed without loss
    bool started = false;         // a body began (a 200's, or a 206 that continues the partial)
    bool continued = false;       // a 206 that continues the partial came; its bytes went onto it
    bool rangeRefused = false;    // a 206 that does not continue the partial, or holds too many bytes
    bool rangeComplete = false;   // continued, and the partial body now has its whole length
    std::int64_t received = 0;    // body bytes of this answer
    std::int64_t total = -1;      // the length it announced; -1 when unknown
    bool sinkFed = false;         // the sink had bytes of it (a continued partial's kept bytes included)
    bool noStore = false;         // a 200 that says no-store: its body went to no file of the cache
    bool storable = false;        // the answer may be stored (Storable)
};

enum class Act {
    ServeStored,    // serve the entry as it is (a fresh hit)
    Send,           // send `request`
    Store,          // the answer becomes the entry (replaced)
    Pass,           // the 200 is served as it came and kept nowhere (no-store); the former entry goes
    PassOn,         // the answer is served as it came and kept nowhere (the request's no-store, its
                    // range, a status not stored); the entry stays
    ServeAsStored,  // a 304 to a request that says no-store: the entry served (revalidated), nothing written
    Refresh,        // the 304's fields go into the stored header; the entry served (revalidated)
    CommitResumed,  // the completed partial becomes the entry (resumed)
    ServeStale,     // serve the whole stored entry instead of the failed answer (looked at first if need be)
    Fail,           // fail with `error`
};

// What becomes of the partial body along with the act.
enum class PartialBody { Leave, Drop, Keep };

// Why a call fails, for the error's text.
enum class Why {
    None,
    NotCached,           // cache only, no complete entry
    OnlyIfCached,        // the request's only-if-cached, and no entry to serve without a request
    Corrupt,             // cache only, the entry failed its check
    Stopped,             // a body step stopped the transfer (the sink, progress, a write)
    Network,             // libcurl failed
    Unwritten,           // the body file lost bytes
    Status,              // a status that is not served
    NotModifiedUnasked,  // a 304 to a request without validators
    RangeLost,           // a 206 not continuing the partial, after the sink had its kept bytes
};

// An answer with a status that is not 2xx is served (Store, PassOn) with
// `error` ZELMO_FETCH_E_HTTP and `why` Status, unless the call takes any
// status; a stored entry served is judged by its own status the same way.
struct Next {
    Act act = Act::Fail;
    Request request = Request::None;  // Send
    int error = 0;                    // Fail; for ServeStale, the failure served around; for Store and
                                      // PassOn, ZELMO_FETCH_E_HTTP for a status that is not 2xx
    PartialBody partial = PartialBody::Leave;
    Why why = Why::None;

    bool operator==(const Next &) const = default;
};

// Before any request. A call that asks for a range itself sends it
// unconditional, whatever is stored. The request's Cache-Control (RFC 9111 5.2.1) counts
// where the mode serves fresh entries (ZELMO_CACHE_PREFER_FRESH): no-cache,
// max-age, min-fresh and max-stale decide what is fresh enough
// (ServableWithoutRequest). Its only-if-cached sends nothing in any mode:
// what the mode would not serve without a request fails. Its no-store
// leaves the partial body alone: no range request, nothing dropped.
// Where the entry was looked at without the entry's
// lock, only ServeStored and a cache-only miss are acted on; anything else
// is decided again under the lock.
Next Before(const Call &call, const Entry &entry, std::int64_t now);

// After a request. Under the request's no-store a 200 is passed on and a
// 304 serves the entry as it is: nothing is written to the cache, and
// nothing of it dropped. A failed request is served around (ServeStale) where the
// network or a 5xx failed it and the host's flag or the stored answer's
// stale-if-error allows; a network-only call is looked at first (ServeStale
// with the entry NotLookedAt), then asked again.
Next After(const Call &call, const Entry &entry, const Answer &answer, std::int64_t now);

}  // namespace zelmo::fetch::plan
