// DES against OpenSSL's DES_ecb_encrypt: block throughput, the whole cost
// of one Encode of a 32-byte text against keying plus 5 blocks, and Encode
// and DesEncode of 256 KiB against keying, ECB over the text and, for the
// Base64 form, EVP_EncodeBlock. DES_ecb_encrypt is the low-level call of
// libcrypto itself; OpenSSL 3 keeps EVP's DES-ECB in its legacy provider,
// which would add a provider load and not change the cipher.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "des/des.h"
#include "ratio.h"
#include "zelmo.h"

namespace {

constexpr std::size_t kMiB = 1 << 20;
std::uint8_t kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

void BM_DesEncryptBlock(benchmark::State &state)
{
    zelmo::DesContext des;
    des.SetKey(kKey);
    std::vector<std::uint8_t> data(kMiB, 0x5A);
    for (auto _ : state) {
        for (std::size_t at = 0; at < kMiB; at += 8)
            des.EncryptBlock(&data[at], &data[at]);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}

void BM_OpenSSL_DES_ecb(benchmark::State &state)
{
    DES_key_schedule schedule;
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock *>(kKey), &schedule);
    std::vector<std::uint8_t> data(kMiB, 0x5A);
    for (auto _ : state) {
        for (std::size_t at = 0; at < kMiB; at += 8)
            DES_ecb_encrypt(reinterpret_cast<const_DES_cblock *>(&data[at]),
                            reinterpret_cast<DES_cblock *>(&data[at]), &schedule, DES_ENCRYPT);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMiB));
}

const char kText[] = "a 32-byte text for one Encode...";

void BM_Encode32(benchmark::State &state)
{
    char out[128];
    for (auto _ : state)
        benchmark::DoNotOptimize(Encode(kText, "password", out, sizeof out));
}

void BM_OpenSSL_Key5Blocks(benchmark::State &state)
{
    std::uint8_t blocks[40] = {};
    for (auto _ : state) {
        DES_key_schedule schedule;
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock *>(kKey), &schedule);
        for (int b = 0; b < 5; ++b)
            DES_ecb_encrypt(reinterpret_cast<const_DES_cblock *>(blocks + 8 * b),
                            reinterpret_cast<DES_cblock *>(blocks + 8 * b), &schedule, DES_ENCRYPT);
        benchmark::DoNotOptimize(blocks);
    }
}

// 256 KiB of printable text whose message holds no zero byte, so that
// DesEncode hands out the whole message (a zero byte would end it early):
// random printable blocks, each kept when its cipher block has no zero.
constexpr std::size_t kTextSize = 256 * 1024;
const char kPassword[] = "password";

const std::string &Text256K()
{
    static const std::string text = [] {
        zelmo::DesContext des;
        des.SetKey(zelmo::DesKeyFromPassword(kPassword).data());
        std::mt19937 random(7);
        std::string s;
        while (s.size() < kTextSize) {
            std::uint8_t block[8], cipher[8];
            for (std::uint8_t &c : block) c = static_cast<std::uint8_t>(' ' + random() % 95);
            des.EncryptBlock(block, cipher);
            if (std::find(cipher, cipher + 8, 0) == cipher + 8)
                s.append(reinterpret_cast<const char *>(block), 8);
        }
        return s;
    }();
    return text;
}

// The OpenSSL side: the key the exports form from the password, DES-ECB
// over the text into a message buffer, then (when `base64`) its Base64
// text. Returns the length of what it wrote last.
class OpenSSLEncode {
public:
    OpenSSLEncode() : message_(kTextSize + 8), text_(4 * (kTextSize / 3 + 1) + 1) {}

    int Run(const std::string &in, bool base64)
    {
        zelmo::DesKey key = zelmo::DesKeyFromPassword(kPassword);
        DES_key_schedule schedule;
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock *>(key.data()), &schedule);
        // const_DES_cblock is not const: the text is only read.
        auto *from = reinterpret_cast<unsigned char *>(const_cast<char *>(in.data()));
        for (std::size_t at = 0; at < in.size(); at += 8)
            DES_ecb_encrypt(reinterpret_cast<const_DES_cblock *>(from + at),
                            reinterpret_cast<DES_cblock *>(&message_[at]), &schedule, DES_ENCRYPT);
        if (!base64)
            return static_cast<int>(in.size());
        return EVP_EncodeBlock(text_.data(), message_.data(), static_cast<int>(in.size()));
    }
    const unsigned char *Message() const { return message_.data(); }
    const unsigned char *Text() const { return text_.data(); }

private:
    std::vector<unsigned char> message_;
    std::vector<unsigned char> text_;
};

void BM_Encode256K(benchmark::State &state)
{
    const std::string &in = Text256K();
    std::vector<char> out(4 * (kTextSize / 3 + 1) + 1);
    const int n = Encode(in.c_str(), kPassword, out.data(), static_cast<unsigned int>(out.size()));
    // Both sides must write the same text, or they are not doing the same work.
    OpenSSLEncode reference;
    const int expected = reference.Run(in, true);
    if (n != expected || std::memcmp(out.data(), reference.Text(), static_cast<std::size_t>(n) + 1) != 0)
        bench::Fail("Encode of 256 KiB differs from OpenSSL's DES-ECB + EVP_EncodeBlock");
    for (auto _ : state)
        benchmark::DoNotOptimize(Encode(in.c_str(), kPassword, out.data(), static_cast<unsigned int>(out.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTextSize));
}

void BM_DesEncode256K(benchmark::State &state)
{
    const std::string &in = Text256K();
    std::vector<char> out(kTextSize + 8);
    const int n = DesEncode(in.c_str(), kPassword, out.data(), static_cast<unsigned int>(out.size()), 0);
    // The whole message: whole blocks and no zero byte, as the text is made.
    OpenSSLEncode reference;
    reference.Run(in, false);
    if (n != static_cast<int>(kTextSize) || std::memcmp(out.data(), reference.Message(), kTextSize) != 0 ||
        out[kTextSize] != '\0')
        bench::Fail("DesEncode of 256 KiB differs from OpenSSL's DES-ECB");
    for (auto _ : state)
        benchmark::DoNotOptimize(
            DesEncode(in.c_str(), kPassword, out.data(), static_cast<unsigned int>(out.size()), 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTextSize));
}

void BM_OpenSSL_DesEcbBase64_256K(benchmark::State &state)
{
    const std::string &in = Text256K();
    OpenSSLEncode reference;
    for (auto _ : state)
        benchmark::DoNotOptimize(reference.Run(in, true));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTextSize));
}

void BM_OpenSSL_DesEcb256K(benchmark::State &state)
{
    const std::string &in = Text256K();
    OpenSSLEncode reference;
    for (auto _ : state)
        benchmark::DoNotOptimize(reference.Run(in, false));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTextSize));
}

BENCHMARK(BM_DesEncryptBlock);
BENCHMARK(BM_OpenSSL_DES_ecb);
BENCHMARK(BM_Encode32);
BENCHMARK(BM_OpenSSL_Key5Blocks);
BENCHMARK(BM_Encode256K);
BENCHMARK(BM_DesEncode256K);
BENCHMARK(BM_OpenSSL_DesEcbBase64_256K);
BENCHMARK(BM_OpenSSL_DesEcb256K);

using bench::Goal;
const bool registered =
    bench::Compare({"EncryptBlock 1 MiB vs DES_ecb_encrypt", "BM_DesEncryptBlock", "BM_OpenSSL_DES_ecb",
                    Goal::Faster, 0.8}) &&
    bench::Compare({"Encode 32 B vs OpenSSL key + 5 blocks", "BM_Encode32", "BM_OpenSSL_Key5Blocks",
                    Goal::Cheaper, 2.0}) &&
    bench::Compare({"Encode 256 KiB vs OpenSSL DES-ECB + EVP_EncodeBlock", "BM_Encode256K",
                    "BM_OpenSSL_DesEcbBase64_256K", Goal::Faster, 0.8}) &&
    bench::Compare({"DesEncode 256 KiB vs OpenSSL DES-ECB + EVP_EncodeBlock", "BM_DesEncode256K",
                    "BM_OpenSSL_DesEcbBase64_256K", Goal::Faster, 0.8}) &&
    bench::Compare({"DesEncode 256 KiB vs OpenSSL DES-ECB alone", "BM_DesEncode256K", "BM_OpenSSL_DesEcb256K",
                    Goal::Faster, 0.8});

}  // namespace
