// Small pieces shared by the fetch and its partial bodies: the short text
// files beside an entry, and the numbers read off a header block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace zelmo::fetch
