// A fetch's options, checked and read into what the call works with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fetch/transfer.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch {

// An error on its way to the result: a code and its text.
struct Error {
    int code = ZELMO_FETCH_OK;
    std::string text;
};

inline Error Fail(int code, std::string text)
{
    return Error{code, std::move(text)};
}

struct Settings {
    std::string cacheDir;  // ends in a separator
    int mode = ZELMO_CACHE_REVALIDATE;
    int timeoutMs = 0;
    Route route;
    bool noResume = false;
    bool staleIfError = false;
    bool shared = false;  // ZELMO_FETCH_SHARED_CACHE: files readable by every user
    std::vector<std::string> headers;
    const char *destination = nullptr;
    ZelmoFetchSink sink = nullptr;
    void *sinkData = nullptr;
    ZelmoFetchProgress progress = nullptr;
    void *progressData = nullptr;
    bool limited = false;  // ZELMO_FETCH_CACHE_LIMIT: maxCacheBytes is in force
    std::uint64_t maxCacheBytes = 0;
    int hostConnections = 0;  // a batch's connections per host; 0: the default
    bool anyStatus = false;   // ZELMO_FETCH_ANY_STATUS: a non-2xx answer served counts as success
    bool ownRange = false;    // the host's lines ask for a Range: nothing stored is served or kept
    ZelmoFetchAnswerCallback answer = nullptr;
    void *answerData = nullptr;
    std::size_t index = 0;    // in a batch, the item's index (for the answer callback)
};

// Whether `url` begins with "http://" or "https://" (in any letter case):
// the fetch reaches no other scheme, and guesses none for a URL without one.
bool IsHttpUrl(std::string_view url);

// `options` (null: every default) checked and read into `s`. A limit of 0
// keeps no entry: such a call is network-only.
Error ReadOptions(const ZelmoFetchOptions *options, Settings &s);

}  // namespace zelmo::fetch
