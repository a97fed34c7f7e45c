// Base64 and MD5 against OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock and MD5;
// the cache entries' body checksum (XXH3-64) against MD5.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "cache/metadata.h"
#include "ratio.h"
#include "zelmo.h"

namespace {

std::string RandomBytes(std::size_t n)
{
    std::mt19937 random(42);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(random());
    return s;
}

constexpr std::size_t kMiB = 1 << 20;

void BM_Base64Encode(benchmark::State &state)
{
    const std::string in = RandomBytes(kMiB);
    std::vector<char> out(4 * (kMiB / 3 + 1) + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(Base64Encode(out.data(), in.data(), static_cast<int>(in.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_OpenSSL_EncodeBlock(benchmark::State &state)
{
    const std::string in = RandomBytes(kMiB);
    std::vector<unsigned char> out(4 * (kMiB / 3 + 1) + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(EVP_EncodeBlock(
            out.data(), reinterpret_cast<const unsigned char *>(in.data()), static_cast<int>(in.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

std::string EncodedMiB()
{
    const std::string in = RandomBytes(kMiB - kMiB % 3);  // whole groups, no padding
    std::string text(4 * (in.size() / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(Base64Encode(text.data(), in.data(), static_cast<int>(in.size()))));
    return text;
}

void BM_Base64Decode(benchmark::State &state)
{
    const std::string text = EncodedMiB();
    std::vector<char> out(text.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(Base64Decode(out.data(), text.data(), static_cast<int>(text.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_OpenSSL_DecodeBlock(benchmark::State &state)
{
    const std::string text = EncodedMiB();
    std::vector<unsigned char> out(text.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(EVP_DecodeBlock(
            out.data(), reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_MD5String(benchmark::State &state)
{
    const std::string in = RandomBytes(static_cast<std::size_t>(state.range(0)));
    char out[33];
    for (auto _ : state)
        benchmark::DoNotOptimize(MD5String(in.data(), static_cast<int>(in.size()), out, sizeof out));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void OpenSslMd5(EVP_MD_CTX *ctx, const EVP_MD *md5, const std::string &in, unsigned char digest[16])
{
    unsigned int len = 0;
    EVP_DigestInit_ex(ctx, md5, nullptr);
    EVP_DigestUpdate(ctx, in.data(), in.size());
    EVP_DigestFinal_ex(ctx, digest, &len);
}

// The reference does the same work as MD5String: digest, then hex text.
void BM_OpenSSL_MD5(benchmark::State &state)
{
    const std::string in = RandomBytes(static_cast<std::size_t>(state.range(0)));
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const EVP_MD *md5 = EVP_md5();
    char out[33];
    for (auto _ : state) {
        unsigned char digest[16];
        OpenSslMd5(ctx, md5, in, digest);
        for (int i = 0; i < 16; ++i) {
            out[2 * i] = "0123456789abcdef"[digest[i] >> 4];
            out[2 * i + 1] = "0123456789abcdef"[digest[i] & 15];
        }
        out[32] = '\0';
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// The body checksum every cache hit is checked with, over 1 MiB.
void BM_BodyDigest(benchmark::State &state)
{
    const std::string in = RandomBytes(kMiB);
    for (auto _ : state) {
        zelmo::cache::BodyDigest digest;
        digest.Update(in.data(), in.size());
        benchmark::DoNotOptimize(digest.Value());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

// MD5 over the same bytes, digest only (OpenSSL's).
void BM_OpenSSL_MD5Digest(benchmark::State &state)
{
    const std::string in = RandomBytes(kMiB);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const EVP_MD *md5 = EVP_md5();
    for (auto _ : state) {
        unsigned char digest[16];
        OpenSslMd5(ctx, md5, in, digest);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

BENCHMARK(BM_BodyDigest);
BENCHMARK(BM_OpenSSL_MD5Digest);
BENCHMARK(BM_Base64Encode);
BENCHMARK(BM_OpenSSL_EncodeBlock);
BENCHMARK(BM_Base64Decode);
BENCHMARK(BM_OpenSSL_DecodeBlock);
BENCHMARK(BM_MD5String)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_OpenSSL_MD5)->Arg(64)->Arg(4096)->Arg(1 << 20);

using bench::Goal;
const bool registered =
    bench::Compare({"Base64Encode 1 MiB vs EVP_EncodeBlock", "BM_Base64Encode",
                    "BM_OpenSSL_EncodeBlock", Goal::Faster, 1.5}) &&
    bench::Compare({"Base64Decode 1 MiB vs EVP_DecodeBlock", "BM_Base64Decode",
                    "BM_OpenSSL_DecodeBlock", Goal::Faster, 1.5}) &&
    bench::Compare({"MD5String 64 B vs OpenSSL MD5", "BM_MD5String/64", "BM_OpenSSL_MD5/64",
                    Goal::Faster, 0.9}) &&
    bench::Compare({"MD5String 4 KiB vs OpenSSL MD5", "BM_MD5String/4096", "BM_OpenSSL_MD5/4096",
                    Goal::Faster, 0.9}) &&
    bench::Compare({"MD5String 1 MiB vs OpenSSL MD5", "BM_MD5String/1048576",
                    "BM_OpenSSL_MD5/1048576", Goal::Faster, 0.9}) &&
    bench::Compare({"BodyDigest (XXH3-64) 1 MiB vs OpenSSL MD5", "BM_BodyDigest", "BM_OpenSSL_MD5Digest",
                    Goal::Faster, 5.0});

}  // namespace
