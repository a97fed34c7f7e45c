// The metadata file beside a cache entry (D/<md5>m): what zelmo_fetch knows
// about the stored answer that the header file does not say, and the body
// checksum that every hit is checked against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace zelmo::cache {

struct EntryMeta {
    std::string url;                 // the URL exactly as fetched
    std::int64_t length = -1;        // body length at commit
    std::uint64_t digest = 0;        // body checksum at commit (see BodyDigest)
    std::int64_t requestTime = 0, responseTime = 0, lastUse = 0;  // seconds since 1970
    std::string etag, lastModified;  // validators of the stored answer
    bool complete = true;            // false: a partial body (kept for a later resume)
    std::string vary;                // what the answer's Vary selected from its request (see fetch::VaryKey); "" without Vary

    bool operator==(const EntryMeta &) const = default;
};

// The first line of every metadata file this code writes.
inline constexpr std::string_view kMetaFirstLine = "zelmo-meta 1";
// Longest metadata file ParseMeta reads; anything longer is refused.
inline constexpr std::size_t kMetaMaxBytes = 64 * 1024;

// A small line-based text format: the versioned first line, then one
// "key value" line per field, LF-ended. Text values are percent-escaped where
// they hold '%', control bytes or bytes >= 0x7f, so no value can break a line.
std::string FormatMeta(const EntryMeta &meta);

// Reads what FormatMeta wrote; never trusts its input: nullopt on anything
// odd (another first line, an unknown, repeated or missing key, a bad number
// or escape, a value out of range, an empty URL, no final LF, more than
// kMetaMaxBytes).
std::optional<EntryMeta> ParseMeta(std::string_view bytes);

// The body checksum: XXH3-64 (seed 0), computed incrementally.
class BodyDigest {
public:
    BodyDigest();
    void Update(const void *data, std::size_t n);
    void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
    // The checksum of everything added so far; Update may go on afterwards.
    std::uint64_t Value() const;
    // Starts again from no bytes.
    void Reset();

private:
    // The hash state, kept inline (no allocation); its size and alignment
    // are checked against the hash's own in metadata.cpp.
    alignas(64) unsigned char state_[640];
};

// The checksum of a whole file, read in binary mode; its length into
// `length` when not null. nullopt when it cannot be opened or read.
std::optional<std::uint64_t> DigestOfFile(const std::string &path, std::int64_t *length);

}  // namespace zelmo::cache
