#include "codec/md5.h"

#include <cstdio>
#include <cstring>

#include "frame/frame.h"
#include "zelmo.h"

namespace zelmo {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kHexSize = 33;  // 32 characters and the NUL

inline std::uint32_t Rotl(std::uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline std::uint32_t LoadLE(const std::uint8_t *p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// The four round functions. Each step adds the message word and constant
// first and the function of b (the value just computed) last, so that only
// the function's last operation waits for b. G is written as the sum of its
// two disjoint halves, (b & d) + (c & ~d): the second does not need b.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, s) \
    (a) += (x) + (t);                    \
    (a) += f((b), (c), (d));             \
    (a) = Rotl((a), (s)) + (b)
#define MD5_STEP_G(a, b, c, d, x, t, s) \
    (a) += (x) + (t) + ((c) & ~(d));    \
    (a) += (b) & (d);                   \
    (a) = Rotl((a), (s)) + (b)

}  // namespace

void MD5Context::Reset()
{
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    bitCount_ = 0;
}

void MD5Context::Transform(const std::uint8_t *blocks, std::size_t count)
{
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = LoadLE(blocks + 4 * i);
        const std::uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

        MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
        MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
        MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
        MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
        MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
        MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
        MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
        MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
        MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
        MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
        MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
        MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
        MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
        MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
        MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
        MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state_[0] = a;
    state_[1] = b;
    state_[2] = c;
    state_[3] = d;
}

void MD5Context::Update(const void *data, std::size_t count)
{
    const auto *in = static_cast<const std::uint8_t *>(data);
    std::size_t index = static_cast<std::size_t>(bitCount_ >> 3) & 63;
    bitCount_ += static_cast<std::uint64_t>(count) << 3;
    if (count >= 64 - index) {
        const std::size_t fill = 64 - index;
        if (index != 0) {
            std::memcpy(buffer_ + index, in, fill);
            Transform(buffer_, 1);
            in += fill;
            count -= fill;
        }
        Transform(in, count / 64);
        in += count & ~std::size_t{63};
        count &= 63;
        index = 0;
    }
    if (count > 0)
        std::memcpy(buffer_ + index, in, count);
}

const std::uint8_t *MD5Context::Digest()
{
    std::uint32_t savedState[4];
    std::memcpy(savedState, state_, sizeof state_);
    const std::uint64_t savedCount = bitCount_;

    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(savedCount >> (8 * i));
    static constexpr std::uint8_t kPadding[64] = {0x80};
    const std::size_t index = static_cast<std::size_t>(savedCount >> 3) & 63;
    Update(kPadding, index < 56 ? 56 - index : 120 - index);
    Update(length, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest_[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (8 * j));

    std::memcpy(state_, savedState, sizeof state_);
    bitCount_ = savedCount;
    return digest_;
}

void MD5Context::ToHex(char *hex)
{
    const std::uint8_t *d = Digest();
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = kHexDigits[d[i] >> 4];
        hex[2 * i + 1] = kHexDigits[d[i] & 15];
    }
    hex[32] = '\0';
}

std::string MD5Context::ToString()
{
    char hex[kHexSize];
    ToHex(hex);
    return std::string(hex, 32);
}

}  // namespace zelmo

extern "C" int ZELMO_API MD5String(const char *data, int len, char *out, unsigned int outSize)
{
    if (data == nullptr || len <= 0 || out == nullptr)
        return 0;
    std::memset(out, 0, outSize);
    if (outSize < zelmo::kHexSize)
        return 0;
    zelmo::MD5Context md5;
    md5.Update(data, static_cast<std::size_t>(len));
    md5.ToHex(out);
    return 32;
}

extern "C" int ZELMO_API MD5File(const char *path, char *out, unsigned int outSize)
{
    if (path == nullptr || out == nullptr || outSize < zelmo::kHexSize)
        return 0;
    if (zelmo::IsFilePresent(path) != 1)
        return 0;
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return 0;
    zelmo::MD5Context md5;
    static constexpr std::size_t kChunk = 16 * 1024;
    unsigned char chunk[kChunk];
    std::size_t got;
    while ((got = std::fread(chunk, 1, kChunk, file)) > 0)
        md5.Update(chunk, got);
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed)
        return 0;
    md5.ToHex(out);
    return 32;
}
