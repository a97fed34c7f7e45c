// A stored body handed to the host: streamed to its sink, copied to its
// destination.
#pragma once

#include <cstdint>
#include <string>

#include "fetch/options.h"
#include "zelmo_fetch.h"

namespace zelmo::fetch {

// Streams the body file at `path`, `length` bytes long, to the sink; nothing
// to do without one.
Error StreamFile(const std::string &path, std::int64_t length, ZelmoFetchSink sink, void *sinkData);

// Copies the body file at `path` over the destination; nothing to do without one.
Error Deliver(const std::string &path, const char *destination);

}  // namespace zelmo::fetch
