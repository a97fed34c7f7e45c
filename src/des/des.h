// Single DES (FIPS 46-3) on 8-byte blocks, keyed from a text password, and
// the DES message format of the text encryption exports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelmo {

using DesKey = std::array<std::uint8_t, 8>;

// Key of a password: surrounding white space trimmed, the last 8 bytes kept
// (zero-filled when shorter), the field shifted left by one bit.
DesKey DesKeyFromPassword(const char *password);

// One keyed cipher. The permutation and substitution lookups are constants
// shared by every context; a context holds only its 16 subkeys.
class DesContext {
public:
    // Any 8 bytes are a key; the low bit of each byte is not used.
    void SetKey(const std::uint8_t *key);
    // `in` and `out` may be the same block.
    void EncryptBlock(const std::uint8_t *in, std::uint8_t *out) const;
    void DecryptBlock(const std::uint8_t *in, std::uint8_t *out) const;

    // The message of `len` bytes: ECB blocks, the last one zero-filled, then
    // a trailer byte len mod 8 when len is 0 or not a multiple of 8. `out`
    // must hold 8 x ceil(len / 8) + 1 bytes. Returns 0.
    int EncryptBytes(const DesKey &key, const std::uint8_t *in, int len, std::uint8_t *out, int &outLen);
    // The plaintext of a message; `out` must hold `len` bytes. A trailer
    // count outside 0..8, or one with no block before it, adds nothing.
    int DecryptBytes(const DesKey &key, const std::uint8_t *in, int len, std::uint8_t *out, int &outLen);

    // Clear the first `outSize` bytes of `out`, key from `password`, then
    // encrypt or decrypt; return the number of bytes written.
    int EncryptText(const char *password, const std::uint8_t *in, int len, std::uint8_t *out, std::size_t outSize);
    int DecryptText(const char *password, const std::uint8_t *in, int len, std::uint8_t *out, std::size_t outSize);

private:
    // K1 to K16, each as two words: the 6-bit parts of the even and of the
    // odd S-boxes, placed where the expansion takes their bits from R.
    std::uint32_t subkeys_[16][2] = {};
};

}  // namespace zelmo
