// One HTTP transfer of zelmo_fetch through libcurl: the request set up from
// what the driver asks, the header blocks collected, and the body passed
// through small steps as it arrives — the body file, the checksum, the
// host's sink, the host's progress. It knows nothing of cache modes: what
// it tells (Received) the plan judges.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cache/editor.h"
#include "cache/metadata.h"
#include "fetch/answer.h"
#include "fetch/partial.h"
#include "fetch/pool.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch {

// How the server is reached.
struct Route {
    const char *proxy = nullptr;         // "host:port"; null: none
    const char *proxyUserPwd = nullptr;
    bool environmentProxy = false;       // without a proxy: libcurl's own from the environment
    int connectTimeoutMs = 0;            // 0: libcurl's own
    const char *caBundle = nullptr;      // https: the CAs to trust; null: the system's
    bool freshConnect = false;           // a new connection, not one of the pool's
    bool priorKnowledge = false;         // http:// in HTTP/2 from the first byte
    bool compression = false;            // ZELMO_FETCH_COMPRESSION: coded answers asked for and decoded
};

// A transfer follows redirects itself (libcurl's limit of 50 kept), so that
// each request's lines are chosen for where it goes: the host's lines go
// only to the URL's own origin; the validators or the range, which belong
// to the stored answer of this URL, go with every request of the chain.
struct TransferRequest {
    std::string url;
    Route route;
    std::vector<std::string> hostLines;  // the host's request lines: to the URL's origin only
    std::vector<std::string> lines;      // validators or a range: to every request
    int timeLeftMs = -1;                 // -1: no limit
    bool expectBody = true;              // false: most likely a 304 (a small receive buffer)
    const Partial *partial = nullptr;    // a range request: a 206 may continue this partial
    bool keepNothing = false;            // the request says no-store, or asks for a range: no answer is kept
    bool rangeAsked = false;             // the host's lines ask for a range: a 206 answers them
};

// Where the body goes. The body of an answer that may be stored (Storable)
// goes to the editor's body temporary; one that may not, to a temporary
// beside the destination, or to no file at all; a 206 that continues the
// partial is appended to the partial body. The sink has the bytes as they
// come, but a 5xx's, which the fetch may serve a stored entry around, and a
// 206 nobody asked for, which it fails: those are held (Received::held)
// until it has judged the answer, and a 5xx's go to the sink as they come
// once more than kHeldMax arrived.
struct BodySteps {
    cache::Editor *editor = nullptr;
    const char *destination = nullptr;  // the host's copy: where a no-store body goes instead of the cache
    ZelmoFetchSink sink = nullptr;
    void *sinkData = nullptr;
    ZelmoFetchProgress progress = nullptr;
    void *progressData = nullptr;
    Announcer *announcer = nullptr;  // told the answer before its body's first byte reaches the sink
};

inline constexpr std::size_t kHeldMax = 1 << 20;

// What a transfer received.
struct Received {
    std::string blocks;               // every header block, in order of arrival
    std::size_t finalStart = 0;       // where the final answer's block begins
    int status = 0;                   // the final answer's status; 0 when none came
    bool performed = false;           // libcurl completed the transfer
    std::string failure;              // libcurl's reason when it did not
    int stopped = ZELMO_FETCH_OK;     // a ZELMO_FETCH_E_* when a body step stopped it
    std::string stoppedText;
    bool rangeRefused = false;        // the 206 did not continue the partial (why in stoppedText)
    bool started = false;             // a body began
    bool continued = false;           // a 206 continued the partial
    bool rangeComplete = false;       // ... and the partial body now has the whole length
    bool noStore = false;             // an answer not to be kept (not Storable, or to a request that says
                                      // no-store): its body went beside the destination, or nowhere
    bool holding = false;             // a 5xx: its body is held for the sink until the fetch has judged it
    std::string held;                 // ... the bytes held
    bool closed = true;               // the body file written and closed without loss
    bool decoded = false;             // the body came coded and was decoded: received, digest and the
                                      // final block (without Content-Encoding and Content-Length) are
                                      // the decoded body's, total is -1
    std::int64_t received = 0;        // body bytes of this answer
    std::int64_t total = -1;          // the whole body's length, when told
    std::int64_t kept = 0;            // the partial's bytes before a continuing 206
    bool sinkFed = false;             // the sink had bytes (kept ones included)
    cache::BodyDigest digest;         // of the whole body (kept bytes included)
    std::int64_t requestTime = 0, responseTime = 0;  // seconds since 1970

    std::string_view Final() const { return std::string_view(blocks).substr(finalStart); }
};

// Whether two http(s) URLs share an origin: scheme and host alike in any
// letter case, and the same port once the scheme's default (80, 443) fills
// in a missing one. False when either cannot be read. Throws
// std::bad_alloc when memory runs out.
bool SameOrigin(const std::string &a, const std::string &b);

struct Transferring;

// One transfer: the request and the redirects it leads to, each a request
// of the same libcurl handle, run by whoever holds it — Perform for one
// call, the batch for many at once on one multi handle. The object stays
// where it was made: libcurl's callbacks point into it.
class Transfer {
public:
    // Sets the request up with the lease's shared DNS answers and TLS
    // sessions. Throws std::bad_alloc when memory runs out.
    Transfer(TransferRequest request, BodySteps steps, Received &r, const pool::Lease &lease);
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    CURL *Easy() const;
    // Readies the next request of the chain: false when there is none to
    // send, the time limit having run out (Finish then).
    bool Next();
    // libcurl ended the request readied last with `code`: true when it was
    // a redirect to follow (Next, then run it again).
    bool Ended(CURLcode code);
    // Ends it from outside, before libcurl did (a cancelled batch).
    void Stop(int code, std::string text);
    // What came, told in the Received.
    void Finish();

private:
    std::unique_ptr<Transferring> t_;
};

// Runs a transfer to its end on `multi`, alone.
void Perform(Transfer &transfer, CURLM *multi);

}  // namespace zelmo::fetch
