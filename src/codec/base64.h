// Base64 of RFC 4648 (standard alphabet, "=" padding, no line breaks), the
// building block behind Base64Encode/Base64Decode and the text encryption.
#pragma once

#include <cstddef>

namespace zelmo::base64 {

// Output sizes the caller must provide, terminating NUL included.
constexpr std::size_t EncodedSize(std::size_t len) { return 4 * ((len + 2) / 3) + 1; }
constexpr std::size_t DecodedSize(std::size_t len) { return 3 * ((len + 3) / 4) + 1; }

// Encodes `len` (> 0) bytes; writes the text and a NUL; returns the text length.
std::size_t Encode(char *out, const unsigned char *in, std::size_t len);

// Decodes `len` (> 0) characters. Characters outside the alphabet take the
// value -1 and act through it; a short last group is filled with NULs.
// Writes the bytes and a NUL; returns the byte count.
std::size_t Decode(unsigned char *out, const char *in, std::size_t len);

}  // namespace zelmo::base64
