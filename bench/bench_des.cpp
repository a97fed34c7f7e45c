// DES against OpenSSL's DES_ecb_encrypt: block throughput, and the whole
// cost of one Encode of a 32-byte text against keying plus 5 blocks.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/des.h>

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

BENCHMARK(BM_DesEncryptBlock);
BENCHMARK(BM_OpenSSL_DES_ecb);
BENCHMARK(BM_Encode32);
BENCHMARK(BM_OpenSSL_Key5Blocks);

using bench::Goal;
const bool registered =
    bench::Compare({"EncryptBlock 1 MiB vs DES_ecb_encrypt", "BM_DesEncryptBlock", "BM_OpenSSL_DES_ecb",
                    Goal::Faster, 0.8}) &&
    bench::Compare({"Encode 32 B vs OpenSSL key + 5 blocks", "BM_Encode32", "BM_OpenSSL_Key5Blocks",
                    Goal::Cheaper, 2.0});

}  // namespace
