// A one-line progress display on standard error for calls that run long.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

class ProgressLine {
public:
    using Describe = std::function<std::string(std::chrono::steady_clock::duration elapsed)>;

    // Redraws the line that `describe` gives a few times a second on a thread
    // of its own, only when standard error is a terminal.
    explicit ProgressLine(Describe describe);
    // Stops the thread, waits for it and clears the line.
    ~ProgressLine();

    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

private:
    void Run();

    Describe describe_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// "12.3 KiB", "512 B": a byte count for people.
std::string ByteCount(std::uint64_t bytes);
// "[#####-----]  50%" for `done` of `total` (total > 0).
std::string Bar(std::uint64_t done, std::uint64_t total);
// A bar with a block moving to and fro, for work of unknown size.
std::string BusyBar(std::chrono::steady_clock::duration elapsed);

}  // namespace cli
