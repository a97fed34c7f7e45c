// MD5 message digest (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelmo {

class MD5Context {
public:
    MD5Context() { Reset(); }

    // Starts a new message.
    void Reset();
    // Adds bytes to the message; any count, 0 included.
    void Update(const void *data, std::size_t count);
    void Update(std::string_view text) { Update(text.data(), text.size()); }
    // Digest of everything added since Reset. The running state is left as it
    // was, so Update may go on and Digest may be asked again.
    const std::uint8_t *Digest();
    // The digest as 32 lowercase hexadecimal characters.
    std::string ToString();
    // The same into `hex`, which receives 32 characters and a NUL.
    void ToHex(char *hex);

private:
    void Transform(const std::uint8_t *blocks, std::size_t count);

    std::uint32_t state_[4];
    std::uint64_t bitCount_;  // wraps at 2^64
    std::uint8_t buffer_[64];
    std::uint8_t digest_[16];
};

}  // namespace zelmo
