// The download comparisons as a smoke run, for builds without Google
// Benchmark (the Windows ones, under wine): the 64 MiB GET and the 304 of a
// 1 MiB entry, each side a few times in turns, and zelmo_fetch's pool and
// batch call (fetch_smoke.cpp), against an nginx that the
// caller started with scripts/nginx-fixture, every call checked as in the
// benchmark. It prints each side's time per call and sets no targets (wine's
// file system is not Windows'); it exits 1 on a failed call or a wrong
// result, 77 when there is no nginx to talk to.
//   zelmo_bench_smoke FIXTURE_DIR [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "download_sides.h"
#include "fetch_smoke.h"
#include "support/sockets.h"

namespace {

using namespace bench::download;

constexpr int kSkipped = 77;

bool RunRounds(const char *what, std::vector<Side> sides, int rounds)
{
    for (int round = 0; round < rounds; ++round)
        if (const std::string failed = RunRound(sides, static_cast<std::size_t>(round)); !failed.empty()) {
            std::printf("FAIL: %s, round %d: %s\n", what, round + 1, failed.c_str());
            return false;
        }
    std::printf("%s, %d rounds:\n", what, rounds);
    for (const Side &side : sides)
        std::printf("  %-8s %9.3f ms per call\n", side.name.c_str(), side.SecondsPerCall() * 1e3);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: zelmo_bench_smoke FIXTURE_DIR [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc == 3 ? std::atoi(argv[2]) : 3;
    if (rounds < 1) {
        std::fprintf(stderr, "zelmo_bench_smoke: ROUNDS is a count of at least 1\n");
        return 2;
    }
    zelmo::test::net::Start();
    Served served(argv[1]);
    if (!served.skip.empty()) {
        std::printf("smoke run skipped: %s\n", served.skip.c_str());
        zelmo::test::net::Stop();
        return kSkipped;
    }
    GetComparison get(served);
    bool ok = RunRounds("64 MiB GET", get.Sides(), rounds);
    NotModifiedComparison notModified(served);
    if (const std::string failed = notModified.Prepare(); !failed.empty()) {
        std::printf("FAIL: 1 MiB 304: %s\n", failed.c_str());
        ok = false;
    } else {
        ok = RunRounds("1 MiB 304", notModified.Sides(), rounds * 3) && ok;
    }
    ok = SmokeFetchPoolAndBatch(served, fs::current_path() / "smoke-fetch-cache") && ok;
    zelmo::test::net::Stop();
    std::printf(ok ? "smoke run passed (timings only, no targets)\n" : "smoke run FAILED\n");
    return ok ? 0 : 1;
}
