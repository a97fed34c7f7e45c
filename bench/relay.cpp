#include "relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes a direction holds before the relay stops reading its sender: the
// sender then waits on its own socket buffer, as behind a slow link.
constexpr std::size_t kMaxQueued = 4u << 20;
constexpr std::size_t kReadSize = 64u << 10;

// A run of bytes read from one side, due on the other side at `due`; or,
// with `end`, the sender's close, passed on as a half-close.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool end = false;
};

struct Direction {
    int from = -1, to = -1;
    std::deque<Chunk> queue;
    std::size_t sentOfHead = 0;  // bytes of the first chunk already written
    std::size_t queued = 0;      // bytes in the queue, not yet written
    bool readClosed = false;     // `from` reached its end (or failed)
    bool writeClosed = false;    // `to` was shut down for writing
    bool blocked = false;        // `to` took no more: wait until it is writable
    Clock::time_point linkFree;  // with a rate: when the link has carried what it was given
    std::atomic<std::uint64_t> *written = nullptr;
};

struct Pair {
    int client = -1, server = -1;
    bool connected = false;   // the connect to the target has completed
    bool failed = false;      // a side failed: close both at once
    Clock::time_point usable;  // one round trip after the accept
    Direction up, down;        // client to server, server to client

    bool Done() const { return failed || (up.writeClosed && down.writeClosed); }
};

void SetNoDelay(int s)
{
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Closes a socket; with `reset`, with an RST instead of a FIN, as a
// failed connection ends.
void CloseSocket(int s, bool reset)
{
    if (s < 0)
        return;
    if (reset) {
        const linger abort{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(s);
}

// Writes the chunks of `d` that are due at `now`, in order, until its
// receiver takes no more; passes a close on as a half-close. False when the
// receiver failed.
bool Flush(Direction &d, Clock::time_point now)
{
    while (!d.queue.empty() && !d.blocked) {
        Chunk &chunk = d.queue.front();
        if (chunk.due > now)
            break;
        if (chunk.end) {
            shutdown(d.to, SHUT_WR);
            d.writeClosed = true;
            d.queue.pop_front();
            continue;
        }
        const ssize_t n = send(d.to, chunk.bytes.data() + d.sentOfHead, chunk.bytes.size() - d.sentOfHead,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                d.blocked = true;
                break;
            }
            if (errno == EINTR)
                continue;
            return false;
        }
        d.sentOfHead += static_cast<std::size_t>(n);
        d.queued -= static_cast<std::size_t>(n);
        *d.written += static_cast<std::uint64_t>(n);
        if (d.sentOfHead == chunk.bytes.size()) {
            d.sentOfHead = 0;
            d.queue.pop_front();
        }
    }
    return true;
}

// Reads what `d`'s sender has, each run due half a round trip after it was
// read, and never before `notBefore`; with a rate (bytes per second, 0:
// none), half a round trip after the link has carried it as well. False
// when the sender failed.
bool Drain(Direction &d, Clock::time_point notBefore, std::chrono::microseconds half, std::uint64_t rate)
{
    while (!d.readClosed && d.queued < kMaxQueued) {
        std::string bytes(kReadSize, '\0');
        const ssize_t n = recv(d.from, bytes.data(), bytes.size(), MSG_DONTWAIT);
        Clock::time_point due = std::max(Clock::now(), notBefore) + half;
        if (rate != 0 && n > 0) {
            const Clock::time_point start = std::max({Clock::now(), notBefore, d.linkFree});
            d.linkFree = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(static_cast<double>(n) / static_cast<double>(rate)));
            due = d.linkFree + half;
        }
        if (n > 0) {
            bytes.resize(static_cast<std::size_t>(n));
            d.queued += bytes.size();
            d.queue.push_back({due, std::move(bytes), false});
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0 && errno == EINTR)
            continue;
        d.readClosed = true;
        if (n < 0)
            return false;
        d.queue.push_back({due, {}, true});
    }
    return true;
}

}  // namespace

LatencyRelay::LatencyRelay(int target, std::chrono::microseconds roundTrip, std::uint64_t bytesPerSecond)
    : target_(target), roundTrip_(roundTrip), bytesPerSecond_(bytesPerSecond)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (listener_ < 0 || wake_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
        listen(listener_, 1024) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &size) != 0) {
        error_ = std::string("relay: cannot listen on 127.0.0.1: ") + std::strerror(errno);
        return;
    }
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { Loop(); });
}

LatencyRelay::~LatencyRelay()
{
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (listener_ >= 0)
        close(listener_);
    if (wake_ >= 0)
        close(wake_);
}

void LatencyRelay::Loop()
{
    // Wake-ups on time to the microsecond rather than within the default
    // 50 µs slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const auto half = roundTrip_ / 2;
    std::vector<std::unique_ptr<Pair>> pairs;
    std::vector<pollfd> fds;
    const auto closePair = [this](Pair &p) {
        CloseSocket(p.client, p.failed);
        CloseSocket(p.server, p.failed);
        --open_;
    };

    for (;;) {
        // Everything due now is written first; finished pairs are closed.
        Clock::time_point now = Clock::now();
        for (auto &p : pairs) {
            if (!Flush(p->down, now) || (p->connected && !Flush(p->up, now)))
                p->failed = true;
        }
        for (auto it = pairs.begin(); it != pairs.end();) {
            if ((*it)->Done()) {
                closePair(**it);
                it = pairs.erase(it);
            } else {
                ++it;
            }
        }

        // Wait for a socket or the next chunk due, whichever comes first.
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        Clock::time_point next = Clock::time_point::max();
        for (auto &p : pairs) {
            short client = 0, server = 0;
            if (!p->up.readClosed && p->up.queued < kMaxQueued)
                client |= POLLIN;
            if (!p->down.readClosed && p->down.queued < kMaxQueued)
                server |= POLLIN;
            if (p->down.blocked)
                client |= POLLOUT;
            if (!p->connected || p->up.blocked)
                server |= POLLOUT;
            // A socket with nothing asked is left out: poll would report a
            // hang-up on it every time round the loop.
            fds.push_back({client != 0 ? p->client : -1, client, 0});
            fds.push_back({server != 0 ? p->server : -1, server, 0});
            if (!p->down.queue.empty() && !p->down.blocked)
                next = std::min(next, p->down.queue.front().due);
            if (p->connected && !p->up.queue.empty() && !p->up.blocked)
                next = std::min(next, p->up.queue.front().due);
        }
        timespec wait{};
        timespec *timeout = nullptr;
        if (next != Clock::time_point::max()) {
            const auto ns = std::max<std::int64_t>(
                0, std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count());
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &wait;
        }
        if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            break;

        // Sockets that are ready, pair by pair (new pairs join next time).
        const std::size_t known = pairs.size();
        for (std::size_t i = 0; i < known; ++i) {
            Pair &p = *pairs[i];
            const short client = fds[2 + 2 * i].revents, server = fds[3 + 2 * i].revents;
            if (!p.connected && (server & (POLLOUT | POLLERR | POLLHUP))) {
                int error = 0;
                socklen_t size = sizeof error;
                if (getsockopt(p.server, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
                    p.failed = true;
                    continue;
                }
                p.connected = true;
            } else if (server & (POLLOUT | POLLERR | POLLHUP)) {
                p.up.blocked = false;
            }
            if (client & (POLLOUT | POLLERR | POLLHUP))
                p.down.blocked = false;
            // Both directions wait for the connection's first round trip.
            if ((client & (POLLIN | POLLERR | POLLHUP)) && !Drain(p.up, p.usable, half, bytesPerSecond_))
                p.failed = true;
            if ((server & (POLLIN | POLLERR | POLLHUP)) && !Drain(p.down, p.usable, half, bytesPerSecond_))
                p.failed = true;
        }

        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client < 0)
                    break;
                now = Clock::now();
                auto p = std::make_unique<Pair>();
                p->client = client;
                p->usable = now + roundTrip_;
                p->server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(static_cast<std::uint16_t>(target_));
                const int connected =
                    p->server < 0 ? -1 : connect(p->server, reinterpret_cast<sockaddr *>(&to), sizeof to);
                ++accepted_;
                ++open_;
                if (connected != 0 && (p->server < 0 || errno != EINPROGRESS)) {
                    p->failed = true;  // closed, with a reset, next time round
                } else {
                    p->connected = connected == 0;
                    SetNoDelay(p->client);
                    SetNoDelay(p->server);
                }
                p->up.from = p->down.to = p->client;
                p->up.to = p->down.from = p->server;
                p->up.written = &bytesUp_;
                p->down.written = &bytesDown_;
                pairs.push_back(std::move(p));
            }
        }
    }
    for (auto &p : pairs) {
        p->failed = true;
        closePair(*p);
    }
}

}  // namespace bench
