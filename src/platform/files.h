// Small file helpers over the seam, the same on every system: an owner that
// closes a stream, and the readers and writer of the short text files the
// library keeps (header and metadata files, profile samples).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zelmo::platform {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// At most the first `most` bytes of a file, read unbuffered in binary mode
// (OpenForReading); nullopt when it cannot be opened or read.
std::optional<std::string> ReadFileHead(const std::string &path, std::size_t most);

// A whole file of at most `limit` bytes; nullopt when it cannot be read or
// is longer.
std::optional<std::string> ReadSmallFile(const std::string &path, std::size_t limit);

// Writes `text` as the whole content of an already open file and closes it;
// false when any byte was lost.
bool WriteAndClose(File file, std::string_view text);

}  // namespace zelmo::platform
