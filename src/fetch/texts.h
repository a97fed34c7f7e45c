// Small pieces shared by the fetch and its partial bodies: the short text
// files beside an entry, the numbers read off a header block, and the
// metadata of an answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/metadata.h"

namespace zelmo::fetch {

// A whole file of at most `limit` bytes, read in binary mode with
// platform::OpenForReading; nullopt when it cannot be read or is longer.
std::optional<std::string> ReadFileText(const std::string &path, std::size_t limit);

// Writes `text` as the whole file at `path`; false when any byte was lost.
bool WriteFileText(const std::string &path, std::string_view text);

// A field value of decimal digits only (at most 18 of them); nullopt else.
std::optional<std::int64_t> ParseLength(const std::optional<std::string> &value);

// The status code of a header block's status line; 0 when it has none.
int StatusOf(std::string_view block);

// The metadata of a complete answer whose header block is `header`: its
// URL, body length and checksum, times, and the block's validators.
cache::EntryMeta MetaFor(const std::string &url, std::string_view header, std::int64_t length, std::uint64_t digest,
                         std::int64_t requestTime, std::int64_t responseTime);

}  // namespace zelmo::fetch
