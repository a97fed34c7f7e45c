// What a call of zelmo_fetch did, and the result it fills from it at its
// end; the texts of error codes and outcomes.
#pragma once

#include <cstdint>
#include <string>

#include "fetch/options.h"
#include "fetch/plan.h"
#include "fetch/transfer.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch {

// What the call did, for its result.
struct Outcome {
    int outcome = ZELMO_FETCH_FAILED;
    int httpStatus = 0;
    std::int64_t received = 0, served = 0, resumedFrom = 0;
    std::uint32_t flags = 0;
    std::string note;  // why a stale entry was served instead of a new answer
};

// The error the plan chose, in words: from the answer `r` and the body file
// it was written to.
Error FailureOf(const plan::Next &next, const Received &r, const std::string &bodyFile);

// Fills every field of a v1 result from the call's error and what it did;
// returns the error code.
int Finish(ZelmoFetchResult *result, const Error &error, const Outcome &done, const std::string &bodyPath,
           double seconds);

// Fills a result as failed for want of memory, allocating nothing.
void FinishOutOfMemory(ZelmoFetchResult *result);

}  // namespace zelmo::fetch
