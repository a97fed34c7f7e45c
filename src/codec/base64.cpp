#include "codec/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "zelmo.h"

namespace zelmo::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12-bit value.
constexpr auto kPairs = [] {
    std::array<std::array<char, 2>, 4096> t{};
    for (int v = 0; v < 4096; ++v)
        t[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
    return t;
}();

// Value of a character: 0..63 inside the alphabet, -1 for every other byte.
constexpr int CharValue(int c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

constexpr std::uint32_t Low8(int v) { return static_cast<std::uint32_t>(v) & 0xFF; }

// What a character at group position 0..3 contributes to the group's three
// bytes (bits 23..16, 15..8, 7..0). The bytes are defined in signed
// arithmetic with arithmetic shifts,
//   b0 = (s1 << 2) | (s2 >> 4), b1 = (s2 << 4) | (s3 >> 2), b2 = (s3 << 6) | s4,
// each cut to 8 bits; an or of 8-bit cuts is the cut of the or, so each
// character's share can be tabulated on its own and the shares or-ed.
constexpr auto kShares = [] {
    std::array<std::array<std::uint32_t, 256>, 4> t{};
    for (int c = 0; c < 256; ++c) {
        const int s = CharValue(c);
        t[0][c] = Low8(s * 4) << 16;
        t[1][c] = Low8(s >> 4) << 16 | Low8(s * 16) << 8;
        t[2][c] = Low8(s >> 2) << 8 | Low8(s * 64);
        t[3][c] = Low8(s);
    }
    return t;
}();

inline std::uint32_t GroupBits(const unsigned char *g)
{
    return kShares[0][g[0]] | kShares[1][g[1]] | kShares[2][g[2]] | kShares[3][g[3]];
}

inline void PutChars(char *out, std::uint32_t bits24)
{
    std::memcpy(out, kPairs[bits24 >> 12].data(), 2);
    std::memcpy(out + 2, kPairs[bits24 & 0xFFF].data(), 2);
}

}  // namespace

std::size_t Encode(char *out, const unsigned char *in, std::size_t len)
{
    const std::size_t full = (len - 1) / 3;  // groups before the last
    char *o = out;
    std::size_t g = 0;
    // Two groups per step from one 8-byte big-endian load while 8 bytes remain.
    for (; g + 2 <= full && 3 * g + 8 <= len; g += 2, o += 8) {
        std::uint64_t w;
        std::memcpy(&w, in + 3 * g, 8);
        w = __builtin_bswap64(w);
        PutChars(o, static_cast<std::uint32_t>(w >> 40));
        PutChars(o + 4, static_cast<std::uint32_t>(w >> 16) & 0xFFFFFF);
    }
    for (; g < full; ++g, o += 4) {
        const unsigned char *b = in + 3 * g;
        PutChars(o, std::uint32_t{b[0]} << 16 | std::uint32_t{b[1]} << 8 | b[2]);
    }
    // The last group, 1 to 3 bytes, padded with "=".
    const unsigned char *b = in + 3 * full;
    const std::size_t rest = len - 3 * full;
    const std::uint32_t bits = std::uint32_t{b[0]} << 16 |
                               (rest > 1 ? std::uint32_t{b[1]} << 8 : 0) |
                               (rest > 2 ? std::uint32_t{b[2]} : 0);
    PutChars(o, bits);
    if (rest < 3) o[3] = '=';
    if (rest < 2) o[2] = '=';
    o[4] = '\0';
    return static_cast<std::size_t>(o + 4 - out);
}

std::size_t Decode(unsigned char *out, const char *in, std::size_t len)
{
    const auto *text = reinterpret_cast<const unsigned char *>(in);
    const std::size_t full = (len - 1) / 4;  // groups before the last
    unsigned char *o = out;
    std::size_t g = 0;
    // Two groups per step, stored as 8 bytes of which 6 are theirs: the
    // other two are overwritten by the next group, or by the last group's
    // first byte and NUL, so nothing lands past what the call writes anyway.
    for (; g + 2 <= full; g += 2, o += 6) {
        const std::uint64_t bits = std::uint64_t{GroupBits(text + 4 * g)} << 40 |
                                   std::uint64_t{GroupBits(text + 4 * g + 4)} << 16;
        const std::uint64_t be = __builtin_bswap64(bits);
        std::memcpy(o, &be, 8);
    }
    for (; g < full; ++g, o += 3) {
        // Stores 4 bytes; the fourth is overwritten by the next group or by
        // the last group, so nothing lands past the 3 bytes per group.
        const std::uint32_t be = __builtin_bswap32(GroupBits(text + 4 * g) << 8);
        std::memcpy(o, &be, 4);
    }
    // The last group: missing characters are NULs (value -1, not "=").
    unsigned char last[4] = {0, 0, 0, 0};
    std::memcpy(last, text + 4 * full, len - 4 * full);
    const std::uint32_t bits = GroupBits(last);
    *o++ = static_cast<unsigned char>(bits >> 16);
    if (last[1] != '=' && last[2] != '=')
        *o++ = static_cast<unsigned char>(bits >> 8);
    if (last[2] != '=' && last[3] != '=')
        *o++ = static_cast<unsigned char>(bits);
    *o = '\0';
    return static_cast<std::size_t>(o - out);
}

}  // namespace zelmo::base64

namespace {

// The exports' shared argument rules: null `out` gives 0; otherwise `out`
// gets at least its NUL; a null `in` or an effective length (0 means a
// NUL-terminated string) of 0 or less gives 0.
template <typename Codec>
int RunCodec(char *out, const char *in, int len, Codec codec)
{
    if (out == nullptr) return 0;
    *out = '\0';
    if (in == nullptr) return 0;
    if (len == 0) {
        const std::size_t n = std::strlen(in);
        len = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
    }
    if (len <= 0) return 0;
    return static_cast<int>(codec(static_cast<std::size_t>(len)));
}

}  // namespace

extern "C" int ZELMO_API Base64Encode(char *out, const char *in, int len)
{
    return RunCodec(out, in, len, [&](std::size_t n) {
        return zelmo::base64::Encode(out, reinterpret_cast<const unsigned char *>(in), n);
    });
}

extern "C" int ZELMO_API Base64Decode(char *out, const char *in, int len)
{
    return RunCodec(out, in, len, [&](std::size_t n) {
        return zelmo::base64::Decode(reinterpret_cast<unsigned char *>(out), in, n);
    });
}
