// The result of a call of zelmo_fetch, and the texts of its codes.
#include "fetch/result.h"

#include <cstring>

#include "header/fields.h"

namespace zelmo::fetch {

namespace {

void CopyText(char *to, std::size_t capacity, const std::string &text)
{
    const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

}  // namespace

// The error the plan chose, in words.
Error FailureOf(const plan::Next &next, const Received &r, const std::string &bodyFile)
{
    const std::string line(header::StatusLineOf(r.Final()));
    switch (next.why) {
    case plan::Why::NotCached:
        return Fail(next.error, "no complete entry of this URL in the cache");
    case plan::Why::OnlyIfCached:
        return Fail(next.error, "the request says only-if-cached, and no stored entry of this URL may be served "
                                "without a request");
    case plan::Why::Corrupt:
        return Fail(next.error, "the stored entry failed its check and was dropped");
    case plan::Why::Stopped:
        return Fail(next.error, r.stoppedText);
    case plan::Why::Network:
        return Fail(next.error, r.failure);
    case plan::Why::Unwritten:
        return Fail(next.error, "cannot write " + bodyFile);
    case plan::Why::Status:
        return Fail(next.error, "the server answered " + (r.status != 0 ? line : std::string("no status line")));
    case plan::Why::NotModifiedUnasked:
        return Fail(next.error, "the server answered " + line + " to a request without validators");
    case plan::Why::RangeLost:
        return Fail(next.error, (r.rangeRefused ? r.stoppedText : "the 206 answer ended before the body's last byte") +
                                    "; the partial body was dropped");
    case plan::Why::None:
        break;
    }
    return Fail(next.error, zelmo_fetch_strerror(next.error));
}

// The result, filled in one place: every field of a v1 result set from what
// the call did.
int Finish(ZelmoFetchResult *result, const Error &error, const Outcome &done, const std::string &bodyPath,
           double seconds)
{
    const std::uint32_t size = result->size;
    std::memset(result, 0, sizeof *result);
    result->size = size;
    result->error = error.code;
    result->http_status = done.httpStatus;
    result->bytes_received = done.received;
    result->flags = done.flags;
    // An answer served with a status that is not 2xx fails the call, and
    // tells what was served all the same.
    const bool served = error.code == ZELMO_FETCH_OK || (error.code == ZELMO_FETCH_E_HTTP && done.outcome != ZELMO_FETCH_FAILED);
    if (served) {
        result->outcome = done.outcome;
        result->bytes_served = done.served;
        result->resumed_from = done.resumedFrom;
        if ((done.flags & ZELMO_FETCH_RESULT_NOT_STORED) == 0)
            CopyText(result->body_path, sizeof result->body_path, bodyPath);
    }
    if (error.code != ZELMO_FETCH_OK) {
        if (!served)
            result->outcome = ZELMO_FETCH_FAILED;
        CopyText(result->error_text, sizeof result->error_text, error.text);
    } else {
        CopyText(result->error_text, sizeof result->error_text, done.note);
    }
    result->seconds = seconds;
    return error.code;
}

void FinishOutOfMemory(ZelmoFetchResult *result)
{
    const std::uint32_t size = result->size;
    std::memset(result, 0, sizeof *result);
    result->size = size;
    result->outcome = ZELMO_FETCH_FAILED;
    result->error = ZELMO_FETCH_E_NO_MEMORY;
    std::strcpy(result->error_text, "out of memory");
}

}  // namespace zelmo::fetch

extern "C" const char *ZELMO_API zelmo_fetch_strerror(int error)
{
    switch (error) {
    case ZELMO_FETCH_OK: return "no error";
    case ZELMO_FETCH_E_OPTIONS: return "bad arguments or options";
    case ZELMO_FETCH_E_TRANSFER: return "the transfer failed";
    case ZELMO_FETCH_E_HTTP: return "the server's answer cannot be served";
    case ZELMO_FETCH_E_LOCKED: return "another fetch of the URL held the cache entry past the time limit";
    case ZELMO_FETCH_E_CORRUPT: return "the cache entry failed its check";
    case ZELMO_FETCH_E_CACHE_IO: return "the cache directory could not be read or written";
    case ZELMO_FETCH_E_NOT_CACHED: return "no complete cache entry";
    case ZELMO_FETCH_E_CANCELLED: return "cancelled by the progress callback";
    case ZELMO_FETCH_E_SINK: return "the body sink refused the body";
    case ZELMO_FETCH_E_DESTINATION: return "the destination could not be written";
    case ZELMO_FETCH_E_NO_MEMORY: return "out of memory";
    default: return "unknown error";
    }
}

extern "C" const char *ZELMO_API zelmo_fetch_outcome_name(int outcome)
{
    switch (outcome) {
    case ZELMO_FETCH_FAILED: return "failed";
    case ZELMO_FETCH_FRESH_HIT: return "fresh hit";
    case ZELMO_FETCH_REVALIDATED: return "revalidated";
    case ZELMO_FETCH_REPLACED: return "replaced";
    case ZELMO_FETCH_RESUMED: return "resumed";
    case ZELMO_FETCH_SERVED_STALE: return "served stale";
    default: return "unknown outcome";
    }
}
