// A TCP relay on 127.0.0.1 that gives loopback connections the round trip
// of a distant server, for the network benchmarks (the kernel's own delay
// emulation is not available everywhere they run).
//
// It listens on a free port and passes each connection on to
// 127.0.0.1:target. Every run of bytes it reads is written to the other
// side half a round trip later, in order, in both directions; there is no
// bandwidth limit. A new connection carries nothing during its first round
// trip: bytes the client sends at once are held until one round trip after
// the accept, as a client on a real network could send them only after the
// SYN and SYN-ACK. So a new connection and one request cost two round trips
// and a TLS 1.3 handshake one more, as over the network. Without a rate
// there is no bandwidth limit; with one, each direction is a link of that
// rate (see the constructor).
//
// A close of one side reaches the other half a round trip later as a
// half-close (shutdown for writing); the pair is closed when both
// directions are closed and drained, or at once when a side fails (reset).
// One thread serves all connections with poll and a queue of timed chunks
// per direction.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace bench {

class LatencyRelay {
public:
    // Starts relaying to 127.0.0.1:target with the given round trip and,
    // where bytesPerSecond is not 0, a link of that rate in each direction
    // of each connection: a run of bytes leaves only once the link has
    // carried the runs before it, and takes its length's share of a second
    // to cross. On failure port() is 0 and error() says why.
    LatencyRelay(int target, std::chrono::microseconds roundTrip, std::uint64_t bytesPerSecond = 0);
    // Stops the thread and closes every connection.
    ~LatencyRelay();
    LatencyRelay(const LatencyRelay &) = delete;
    LatencyRelay &operator=(const LatencyRelay &) = delete;

    int port() const { return port_; }
    const std::string &error() const { return error_; }
    std::chrono::microseconds roundTrip() const { return roundTrip_; }

    // Connections accepted so far, and those still open (either side).
    std::uint64_t accepted() const { return accepted_.load(); }
    std::uint64_t open() const { return open_.load(); }
    // Bytes written to the target (requests) and to the clients (answers).
    std::uint64_t bytesUp() const { return bytesUp_.load(); }
    std::uint64_t bytesDown() const { return bytesDown_.load(); }

private:
    void Loop();

    int target_;
    std::chrono::microseconds roundTrip_;
    std::uint64_t bytesPerSecond_;
    int listener_ = -1;
    int wake_ = -1;  // an eventfd that stops the loop
    int port_ = 0;
    std::string error_;
    std::atomic<std::uint64_t> accepted_{0}, open_{0}, bytesUp_{0}, bytesDown_{0};
    std::thread thread_;
};

}  // namespace bench
