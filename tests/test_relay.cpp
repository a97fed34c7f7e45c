// The network benchmarks' latency relay (bench/relay.h): a new connection
// answers no sooner than two round trips, an open one no sooner than one;
// bytes arrive whole and in order; a half-close passes through with the
// answer after it; a refused target closes the client; 150 connections at
// once are served together, and all are closed once their clients close.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay.h"
#include "support/sockets.h"

namespace net = zelmo::test::net;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// A target on 127.0.0.1 that runs `serve` on each connection, one thread
// each, and closes the connection after.
class Target {
public:
    explicit Target(std::function<void(net::Socket)> serve) : serve_(std::move(serve))
    {
        // A backlog for every connection of a test at once.
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 && listen(s, 1024) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&at), &size) == 0)
            port = ntohs(at.sin_port);
        listener_ = s;
        acceptor_ = std::thread([this] {
            for (;;) {
                const net::Socket s = net::Accept(listener_);
                if (s == net::kNoSocket || stopping_) {
                    if (s != net::kNoSocket)
                        net::Close(s);
                    return;
                }
                const std::lock_guard<std::mutex> hold(mutex_);
                workers_.emplace_back([this, s] {
                    serve_(s);
                    net::Close(s);
                });
            }
        });
    }
    ~Target()
    {
        stopping_ = true;
        net::Close(net::ConnectLoopback(port));  // wakes the accept
        acceptor_.join();
        for (std::thread &t : workers_) t.join();
        net::Close(listener_);
    }
    std::uint16_t port = 0;

private:
    std::function<void(net::Socket)> serve_;
    net::Socket listener_ = net::kNoSocket;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// Sends back what it reads until the end of the stream.
void Echo(net::Socket s)
{
    char buffer[16384];
    long n;
    while ((n = net::Receive(s, buffer, sizeof buffer)) > 0)
        if (!net::SendAll(s, buffer, static_cast<std::size_t>(n)))
            return;
}

// Reads exactly `size` bytes, or fewer when the stream ends or nothing
// comes for 5 seconds.
std::string ReadExactly(net::Socket s, std::size_t size)
{
    std::string got;
    char buffer[16384];
    while (got.size() < size && net::WaitReadable(s, 5000)) {
        const long n = net::Receive(s, buffer, std::min(sizeof buffer, size - got.size()));
        if (n <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// Whether the stream ends (or fails) within 5 seconds, with nothing before.
bool EndsWithNothing(net::Socket s)
{
    char c;
    return net::WaitReadable(s, 5000) && net::Receive(s, &c, 1) <= 0;
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

TEST(Relay, NewConnectionTakesTwoRoundTripsAnOpenOneOne)
{
    Target target(&Echo);
    bench::LatencyRelay relay(target.port, 100ms);
    ASSERT_NE(relay.port(), 0) << relay.error();
    const net::Socket s = net::ConnectLoopback(static_cast<std::uint16_t>(relay.port()));
    ASSERT_NE(s, net::kNoSocket);
    auto start = Clock::now();
    ASSERT_TRUE(net::SendAll(s, "ping", 4));
    EXPECT_EQ(ReadExactly(s, 4), "ping");
    const double first = Seconds(Clock::now() - start);
    EXPECT_GE(first, 0.200);
    EXPECT_LT(first, 1.2);  // not held back for good

    start = Clock::now();
    ASSERT_TRUE(net::SendAll(s, "pong", 4));
    EXPECT_EQ(ReadExactly(s, 4), "pong");
    const double second = Seconds(Clock::now() - start);
    EXPECT_GE(second, 0.100);
    EXPECT_LT(second, first);  // the connection's own round trip is paid once
    net::Close(s);
    EXPECT_EQ(relay.accepted(), 1u);
    // The relay counts a write once it returns, which may be after the
    // client has read the bytes.
    for (int i = 0; i < 100 && relay.bytesDown() < 8u; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(relay.bytesUp(), 8u);
    EXPECT_EQ(relay.bytesDown(), 8u);
}

TEST(Relay, BytesArriveWholeAndInOrder)
{
    Target target(&Echo);
    bench::LatencyRelay relay(target.port, 20ms);
    ASSERT_NE(relay.port(), 0) << relay.error();
    const net::Socket s = net::ConnectLoopback(static_cast<std::uint16_t>(relay.port()));
    ASSERT_NE(s, net::kNoSocket);
    // 8 MiB in runs of changing sizes: more than a direction queues before
    // the relay stops reading, so that its limit is crossed both ways.
    std::string sent;
    for (std::size_t i = 0; sent.size() < (8u << 20); ++i)
        sent += std::string(1 + (i * 7919) % 60000, static_cast<char>('a' + i % 26));
    std::thread writer([&] { net::SendAll(s, sent.data(), sent.size()); });
    const std::string got = ReadExactly(s, sent.size());
    writer.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    net::Close(s);
}

TEST(Relay, HalfCloseReachesTheTargetAndTheAnswerComesBack)
{
    // Reads the whole request up to the client's end, then answers with its
    // length and closes.
    Target target([](net::Socket s) {
        std::string request;
        char buffer[4096];
        long n;
        while ((n = net::Receive(s, buffer, sizeof buffer)) > 0) request.append(buffer, static_cast<std::size_t>(n));
        const std::string answer = "read " + std::to_string(request.size());
        net::SendAll(s, answer.data(), answer.size());
    });
    bench::LatencyRelay relay(target.port, 20ms);
    ASSERT_NE(relay.port(), 0) << relay.error();
    const net::Socket s = net::ConnectLoopback(static_cast<std::uint16_t>(relay.port()));
    ASSERT_NE(s, net::kNoSocket);
    ASSERT_TRUE(net::SendAll(s, "0123456789", 10));
    ASSERT_EQ(shutdown(static_cast<int>(s), SHUT_WR), 0);
    EXPECT_EQ(ReadExactly(s, 7), "read 10");
    EXPECT_TRUE(EndsWithNothing(s));
    net::Close(s);
    for (int i = 0; i < 100 && relay.open() != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(relay.open(), 0u);
}

TEST(Relay, RefusedTargetClosesTheClient)
{
    // A port that was free a moment ago: nothing listens there.
    std::uint16_t port = 0;
    net::Close(net::ListenLoopback(port));
    bench::LatencyRelay relay(port, 20ms);
    ASSERT_NE(relay.port(), 0) << relay.error();
    const net::Socket s = net::ConnectLoopback(static_cast<std::uint16_t>(relay.port()));
    ASSERT_NE(s, net::kNoSocket);
    net::SendAll(s, "ping", 4);
    EXPECT_TRUE(EndsWithNothing(s));
    net::Close(s);
}

TEST(Relay, ManyConnectionsAtOnceAreServedTogether)
{
    Target target(&Echo);
    bench::LatencyRelay relay(target.port, 50ms);
    ASSERT_NE(relay.port(), 0) << relay.error();
    constexpr int kCount = 150;
    std::vector<net::Socket> sockets;
    const auto start = Clock::now();
    for (int i = 0; i < kCount; ++i) {
        sockets.push_back(net::ConnectLoopback(static_cast<std::uint16_t>(relay.port())));
        ASSERT_NE(sockets.back(), net::kNoSocket);
        const std::string message = "message " + std::to_string(i);
        ASSERT_TRUE(net::SendAll(sockets.back(), message.data(), message.size()));
    }
    for (int i = 0; i < kCount; ++i) {
        const std::string message = "message " + std::to_string(i);
        EXPECT_EQ(ReadExactly(sockets[static_cast<std::size_t>(i)], message.size()), message);
    }
    // One after another they would take 150 times two round trips (15 s).
    EXPECT_LT(Seconds(Clock::now() - start), 3.0);
    EXPECT_EQ(relay.accepted(), static_cast<std::uint64_t>(kCount));
    EXPECT_EQ(relay.open(), static_cast<std::uint64_t>(kCount));
    for (const net::Socket s : sockets) net::Close(s);
    for (int i = 0; i < 200 && relay.open() != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(relay.open(), 0u);
}

}  // namespace

// With a rate, a megabyte takes the link its length's share of a second on
// top of the round trips; without one, only the round trips.
TEST(Relay, ARateSpreadsTheBytesOverTime)
{
    constexpr std::size_t kSize = 1u << 20;
    Target target([](net::Socket s) {
        char c;
        if (net::Receive(s, &c, 1) == 1) {
            const std::string bytes(kSize, 'r');
            net::SendAll(s, bytes.data(), bytes.size());
        }
    });
    struct Case {
        std::uint64_t rate;
        double atLeast, below;  // seconds: 2 round trips of 20 ms, plus the link's time
    };
    for (const Case &c : {Case{0, 0.040, 0.125}, Case{8u << 20, 0.040 + 0.125, 2.0}}) {
        SCOPED_TRACE(c.rate);
        bench::LatencyRelay relay(target.port, 20ms, c.rate);
        ASSERT_NE(relay.port(), 0) << relay.error();
        const net::Socket s = net::ConnectLoopback(static_cast<std::uint16_t>(relay.port()));
        ASSERT_NE(s, net::kNoSocket);
        const auto start = Clock::now();
        ASSERT_TRUE(net::SendAll(s, "x", 1));
        EXPECT_EQ(ReadExactly(s, kSize).size(), kSize);
        const double took = Seconds(Clock::now() - start);
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
        net::Close(s);
    }
}
