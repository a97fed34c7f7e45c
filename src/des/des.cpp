#include "des/des.h"

#include <cstring>

namespace zelmo {
namespace {

// FIPS 46-3 tables, 1-based bit numbers, bit 1 the most significant.
constexpr std::uint8_t kPC1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr std::uint8_t kPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
    26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
    51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
// Total left rotation of each key half before rounds 1 to 16.
constexpr std::uint8_t kRotations[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};
constexpr std::uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                 2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr std::uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0, 6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4,  13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7,  0,  9,  3,  4,
     6,  10, 2,  8,  5,  14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2,  12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15, 13, 8,  11, 5,  6,  15,
     0,  3,  4,  7,  2,  12, 1,  10, 14, 9, 10, 6,  9,  0,  12, 11, 7,  13, 15, 1,  3,  14,
     5,  2,  8,  4,  3,  15, 0,  6,  10, 1, 13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9,  8,  6,  4,  2,  1,  11, 10, 13, 7,  8, 15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0,  11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9,  7,  5,  10, 6,  1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8,  6,  1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8,  1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

constexpr int SBox(int box, int x)
{
    const int row = ((x & 32) >> 4) | (x & 1);
    return kS[box][row * 16 + ((x >> 1) & 15)];
}

// S-box b followed by P: entry x holds S-box b's output for the 6-bit input
// x, placed in nibble b of the half block (b = 0 the top) and permuted by P.
// 8 tables of 64 words: 2 KiB, and each round's eight lookups are
// independent of one another.
constexpr auto kSP = [] {
    std::array<std::array<std::uint32_t, 64>, 8> t{};
    for (int b = 0; b < 8; ++b)
        for (int x = 0; x < 64; ++x) {
            const std::uint32_t s = static_cast<std::uint32_t>(SBox(b, x)) << (28 - 4 * b);
            for (int k = 0; k < 32; ++k)
                if (s & (std::uint32_t{1} << (32 - kP[k])))
                    t[b][x] |= std::uint32_t{1} << (31 - k);
        }
    return t;
}();

// The key schedule as a permutation lookup: for round r, nibble position i
// of the key and nibble value v, the bits of subkey r (48 bits, bit 1 the
// highest) that come from the set bits of v. PC-1, the rotations and PC-2
// are all folded in.
constexpr auto kSubkeyBits = [] {
    std::array<std::array<std::array<std::uint64_t, 16>, 16>, 16> t{};
    for (int r = 0; r < 16; ++r)
        for (int j = 0; j < 48; ++j) {
            // PC-2 picks rotated bit p; rotation takes it from selected bit s.
            const int p = kPC2[j] - 1;
            int s = p + kRotations[r];
            if (s >= (p < 28 ? 28 : 56)) s -= 28;
            const int keyBit = kPC1[s] - 1;  // 0-based bit of the key
            for (int v = 0; v < 16; ++v)
                if (v & (8 >> (keyBit % 4)))
                    t[r][keyBit / 4][v] |= std::uint64_t{1} << (47 - j);
        }
    return t;
}();

// Exchanges the bits of `b` under `mask` with those of `a` under mask << n.
inline void SwapMove(std::uint32_t &a, std::uint32_t &b, int n, std::uint32_t mask)
{
    const std::uint32_t t = ((a >> n) ^ b) & mask;
    b ^= t;
    a ^= t << n;
}

// IP on the block's two halves (bit 1 the top bit of `l`): five exchanges of
// bit groups. Each exchange undoes itself, so FP, the inverse, runs them in
// the opposite order.
inline void InitialPermutation(std::uint32_t &l, std::uint32_t &r)
{
    SwapMove(l, r, 4, 0x0F0F0F0F);
    SwapMove(l, r, 16, 0x0000FFFF);
    SwapMove(r, l, 2, 0x33333333);
    SwapMove(r, l, 8, 0x00FF00FF);
    SwapMove(l, r, 1, 0x55555555);
}

inline void FinalPermutation(std::uint32_t &l, std::uint32_t &r)
{
    SwapMove(l, r, 1, 0x55555555);
    SwapMove(r, l, 8, 0x00FF00FF);
    SwapMove(r, l, 2, 0x33333333);
    SwapMove(l, r, 16, 0x0000FFFF);
    SwapMove(l, r, 4, 0x0F0F0F0F);
}

inline std::uint32_t Rotr(std::uint32_t x, int n)
{
    return (x >> n) | (x << ((32 - n) & 31));
}

inline std::uint32_t Rotl(std::uint32_t x, int n)
{
    return (x << n) | (x >> ((32 - n) & 31));
}

// E's group g is R's bits 4g to 4g+5 (1-based, cyclic: the first group
// starts with bit 32), brought down by a right rotation of kGroupShift[g].
constexpr int kGroupShift[8] = {27, 23, 19, 15, 11, 7, 3, 31};

// E, the subkey, the S-boxes and P. The even groups do not overlap in R,
// nor do the odd ones, so a round's subkey is two words, each holding its
// groups' 6-bit parts where E takes those groups from R: two exclusive ors
// per round instead of eight.
inline std::uint32_t F(std::uint32_t r, const std::uint32_t *subkey)
{
    const std::uint32_t even = r ^ subkey[0], odd = r ^ subkey[1];
    return kSP[0][Rotr(even, 27) & 63] | kSP[2][(even >> 19) & 63] | kSP[4][(even >> 11) & 63] |
           kSP[6][(even >> 3) & 63] | kSP[1][(odd >> 23) & 63] | kSP[3][(odd >> 15) & 63] |
           kSP[5][(odd >> 7) & 63] | kSP[7][Rotr(odd, 31) & 63];
}

inline std::uint32_t LoadBE32(const std::uint8_t *p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

inline void StoreBE32(std::uint32_t v, std::uint8_t *p)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// One block through IP, the 16 rounds and FP. The rounds run in pairs, each
// half taking its turn, so the halves are never exchanged; after the last
// pair they stand as R16 and L16, which FP takes in the exchanged order.
template <bool Decrypt>
inline void CryptBlock(const std::uint32_t (&subkeys)[16][2], const std::uint8_t *in, std::uint8_t *out)
{
    std::uint32_t l = LoadBE32(in), r = LoadBE32(in + 4);
    InitialPermutation(l, r);
    for (int round = 0; round < 16; round += 2) {
        l ^= F(r, subkeys[Decrypt ? 15 - round : round]);
        r ^= F(l, subkeys[Decrypt ? 14 - round : round + 1]);
    }
    FinalPermutation(r, l);
    StoreBE32(r, out);
    StoreBE32(l, out + 4);
}

inline std::uint64_t LoadBE(const std::uint8_t *p)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

inline void StoreBE(std::uint64_t v, std::uint8_t *p)
{
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

DesKey DesKeyFromPassword(const char *password)
{
    DesKey field{};
    if (password == nullptr)
        return field;
    const char *begin = password;
    const char *end = password + std::strlen(password);
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    if (end - begin > 8) begin = end - 8;
    std::memcpy(field.data(), begin, static_cast<std::size_t>(end - begin));
    StoreBE(LoadBE(field.data()) << 1, field.data());
    return field;
}

void DesContext::SetKey(const std::uint8_t *key)
{
    const std::uint64_t k = LoadBE(key);
    for (int r = 0; r < 16; ++r) {
        std::uint64_t subkey = 0;
        for (int i = 0; i < 16; ++i)
            subkey |= kSubkeyBits[r][i][(k >> (60 - 4 * i)) & 15];
        subkeys_[r][0] = subkeys_[r][1] = 0;
        for (int g = 0; g < 8; ++g) {
            const auto part = static_cast<std::uint32_t>((subkey >> (42 - 6 * g)) & 63);
            subkeys_[r][g % 2] |= Rotl(part, kGroupShift[g]);
        }
    }
}

void DesContext::EncryptBlock(const std::uint8_t *in, std::uint8_t *out) const
{
    CryptBlock<false>(subkeys_, in, out);
}

void DesContext::DecryptBlock(const std::uint8_t *in, std::uint8_t *out) const
{
    CryptBlock<true>(subkeys_, in, out);
}

int DesContext::EncryptBytes(const DesKey &key, const std::uint8_t *in, int len, std::uint8_t *out, int &outLen)
{
    outLen = 0;
    SetKey(key.data());
    int last = len > 0 ? 0 : len;  // plaintext bytes of the last block
    for (int at = 0; at < len; at += 8) {
        const int r = len - at;
        if (r >= 8) {
            CryptBlock<false>(subkeys_, in + at, out + at);
            last = 8;
        } else {
            std::uint8_t block[8] = {};
            std::memcpy(block, in + at, static_cast<std::size_t>(r));
            CryptBlock<false>(subkeys_, block, out + at);
            last = r;
        }
        outLen += 8;
    }
    if (last != 8)
        out[outLen++] = static_cast<std::uint8_t>(last % 8);
    return 0;
}

int DesContext::DecryptBytes(const DesKey &key, const std::uint8_t *in, int len, std::uint8_t *out, int &outLen)
{
    outLen = 0;
    SetKey(key.data());
    std::uint8_t held[8];
    bool holding = false;
    for (int at = 0; at < len; at += 8) {
        if (len - at >= 8) {
            std::uint8_t block[8];
            CryptBlock<true>(subkeys_, in + at, block);
            if (holding) {
                std::memcpy(out + outLen, held, 8);
                outLen += 8;
            }
            std::memcpy(held, block, 8);
            holding = true;
            if (at + 8 == len) {
                std::memcpy(out + outLen, held, 8);
                outLen += 8;
            }
        } else {
            const int count = static_cast<signed char>(in[at]);
            if (holding && count > 0 && count <= 8) {
                std::memcpy(out + outLen, held, static_cast<std::size_t>(count));
                outLen += count;
            }
            break;
        }
    }
    return 0;
}

int DesContext::EncryptText(const char *password, const std::uint8_t *in, int len, std::uint8_t *out,
                            std::size_t outSize)
{
    if (out != nullptr)
        std::memset(out, 0, outSize);
    int written = 0;
    EncryptBytes(DesKeyFromPassword(password), in, len, out, written);
    return written;
}

int DesContext::DecryptText(const char *password, const std::uint8_t *in, int len, std::uint8_t *out,
                            std::size_t outSize)
{
    if (out != nullptr)
        std::memset(out, 0, outSize);
    int written = 0;
    DecryptBytes(DesKeyFromPassword(password), in, len, out, written);
    return written;
}

}  // namespace zelmo
