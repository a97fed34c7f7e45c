#include "progress.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "terminal.h"

namespace cli {
namespace {

constexpr auto kRefresh = std::chrono::milliseconds(200);
constexpr int kBarWidth = 24;

}  // namespace

ProgressLine::ProgressLine(Describe describe) : describe_(std::move(describe))
{
    if (StderrIsTerminal())
        thread_ = std::thread(&ProgressLine::Run, this);
}

ProgressLine::~ProgressLine()
{
    if (!thread_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void ProgressLine::Run()
{
    const auto start = std::chrono::steady_clock::now();
    std::size_t drawn = 0;  // characters of the line on screen
    std::unique_lock<std::mutex> lock(mutex_);
    // The first draw waits one period: quick calls leave the terminal alone.
    while (!wake_.wait_for(lock, kRefresh, [this] { return done_; })) {
        std::string line = describe_(std::chrono::steady_clock::now() - start);
        const std::size_t length = line.size();
        // Spaces rather than terminal escapes overwrite a longer previous line.
        if (length < drawn)
            line.append(drawn - length, ' ');
        std::fprintf(stderr, "\r%s", line.c_str());
        std::fflush(stderr);
        drawn = length;
    }
    if (drawn > 0) {
        std::fprintf(stderr, "\r%s\r", std::string(drawn, ' ').c_str());
        std::fflush(stderr);
    }
}

std::string ByteCount(std::uint64_t bytes)
{
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string Bar(std::uint64_t done, std::uint64_t total)
{
    done = std::min(done, total);
    const auto filled = static_cast<int>(done * kBarWidth / total);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(done * 100 / total));
    // GCC 12 warns (-Wrestrict) about the memcpy inside "literal" + string&&, a
    // false positive (GCC bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " + percent;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

std::string BusyBar(std::chrono::steady_clock::duration elapsed)
{
    constexpr int kBlock = 4, kTravel = kBarWidth - kBlock;
    const auto step = static_cast<int>(elapsed / kRefresh % (2 * kTravel));
    const int at = step < kTravel ? step : 2 * kTravel - step;
    // GCC 12 warns (-Wrestrict) about the memcpy inside "literal" + string&&, a
    // false positive (GCC bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    return "[" + std::string(at, '-') + std::string(kBlock, '#') + std::string(kTravel - at, '-') + "]";
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace cli
