// The caller's HttpResponseBuffer and the pieces every HTTP export shares:
// the libcurl write function that fills it and the removal of the response
// header.
#pragma once

#include <cstddef>

#include "zelmo.h"

namespace zelmo::http {

// libcurl write function (CURLOPT_WRITEFUNCTION) with `userdata` the
// HttpResponseBuffer given as CURLOPT_WRITEDATA. Appends the chunk to
// `buffer` and to `rawBuffer` only while the stored bytes stay strictly below
// the capacity (a chunk is stored whole or not at all), copies it to `file`,
// and always returns size * count: a full buffer never aborts the transfer.
std::size_t ResponseWriteCallback(char *data, std::size_t size, std::size_t count, void *userdata);

// Removes the first header block (up to and including its blank line) from
// `buffer`, moves the body to its start and terminates it. Returns false and
// leaves the record as it is when `buffer` holds no complete header block.
bool StripResponseHeader(HttpResponseBuffer *response);

// Tracks where, in the caller's `buffer`, the header block of the last
// response of a transfer begins: libcurl passes interim answers (100
// Continue), followed redirects and proxy tunnel answers through the same
// write function, and only the final response counts.
class FinalResponse {
public:
    explicit FinalResponse(HttpResponseBuffer *response) : response_(response) {}

    // Installs the header function that watches the status lines.
    void Watch(void *curl);

    // After the transfer: drops everything in `buffer` before the final
    // response's header block, then judges it. True when its status line is a
    // 200 one and its header was removed; the body then starts `buffer`.
    // False leaves `buffer` as it arrived.
    bool TakeOkBody();

    // The header function itself, `self` being the FinalResponse; libcurl
    // calls it with each header line after passing the line to the write
    // function.
    static std::size_t OnHeader(char *data, std::size_t size, std::size_t count, void *self);

private:

    HttpResponseBuffer *response_;
    bool located_ = true;       // the last status line is known to be in `buffer`
    unsigned int start_ = 0;    // and begins at this offset
};

}  // namespace zelmo::http
