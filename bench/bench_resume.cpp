// zelmo_fetch's resume against nginx on 127.0.0.1, through a small TCP relay
// of this file's own that counts the answer bytes it passes on and can close
// the connection after a given number: a 64 MiB GET cut after half its body,
// then the resumed fetch ("resumed"), against the same cut followed by a
// fetch that drops the partial (ZELMO_FETCH_NO_RESUME, "whole"). The ratio
// of the bytes relayed is the share of the body sent again; the ratio of the
// times is printed as a goal.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download_sides.h"
#include "ratio.h"
#include "zelmo_fetch.h"

namespace {

using namespace bench::download;

// Accepts connections on a port of its own and passes each on to
// 127.0.0.1:`upstream`, both ways; counts the bytes passed from the server
// to the client, and closes the connection once `cutAt` of them (when not
// -1) have passed.
class Relay {
public:
    explicit Relay(int upstream) : upstream_(upstream)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
            listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &size) != 0)
            return;
        port = ntohs(at.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~Relay()
    {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        if (acceptor_.joinable())
            acceptor_.join();
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            for (const int s : open_)
                shutdown(s, SHUT_RDWR);
        }
        for (std::thread &t : workers_)
            t.join();
        close(listener_);
    }

    int port = 0;
    std::atomic<std::int64_t> relayed{0};
    std::atomic<std::int64_t> cutAt{-1};

private:
    void Accept()
    {
        for (;;) {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0 || stopping_) {
                if (client >= 0)
                    close(client);
                return;
            }
            const std::lock_guard<std::mutex> hold(mutex_);
            workers_.emplace_back([this, client] { Serve(client); });
        }
    }

    void Serve(int client)
    {
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(static_cast<std::uint16_t>(upstream_));
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            open_.push_back(client);
            open_.push_back(server);
        }
        if (server >= 0 && connect(server, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0) {
            std::thread requests([&] {
                Pump(client, server, false);
                shutdown(server, SHUT_WR);
            });
            Pump(server, client, true);
            shutdown(client, SHUT_RDWR);
            shutdown(server, SHUT_RDWR);
            requests.join();
        }
        const std::lock_guard<std::mutex> hold(mutex_);
        std::erase(open_, client);
        std::erase(open_, server);
        close(client);
        if (server >= 0)
            close(server);
    }

    void Pump(int from, int to, bool answer)
    {
        std::unique_ptr<char[]> buffer(new char[1 << 16]);
        for (;;) {
            std::int64_t want = 1 << 16;
            const std::int64_t cut = cutAt;
            if (answer && cut >= 0) {
                want = std::min(want, cut - relayed);
                if (want <= 0)
                    return;
            }
            const ssize_t got = recv(from, buffer.get(), static_cast<std::size_t>(want), 0);
            if (got <= 0)
                return;
            for (ssize_t sent = 0; sent < got;) {
                const ssize_t n = send(to, buffer.get() + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                sent += n;
            }
            if (answer)
                relayed += got;
        }
    }

    int upstream_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<int> open_;
};

// nginx started by the fixture script for this benchmark alone.
struct Nginx {
    static fs::path Directory() { return fs::path(ZELMO_BENCH_BINARY_DIR) / "bench-resume-nginx"; }
    Nginx() : started(std::system(("'" ZELMO_NGINX_FIXTURE "' start '" + Directory().string() + "'").c_str()) == 0),
              served(Directory()) {}
    ~Nginx() { std::system(("'" ZELMO_NGINX_FIXTURE "' stop '" + Directory().string() + "'").c_str()); }
    bool started;
    Served served;
};

int ZELMO_API Count(void *data, const void *, std::size_t length)
{
    *static_cast<std::int64_t *>(data) += static_cast<std::int64_t>(length);
    return 0;
}

struct Fetched {
    int rc = -1;
    ZelmoFetchResult result{};
    std::int64_t sunk = 0;
    double seconds = 0;
};

Fetched FetchVia(const std::string &url, const std::string &cacheDir, std::uint32_t flags)
{
    Fetched f;
    ZelmoFetchOptions options;
    zelmo_fetch_init(&options, &f.result);
    options.cache_dir = cacheDir.c_str();
    options.cache_mode = ZELMO_CACHE_NETWORK_ONLY;
    options.timeout_ms = 60000;
    options.flags = flags;
    options.sink = &Count;
    options.sink_data = &f.sunk;
    const auto start = Clock::now();
    f.rc = zelmo_fetch(url.c_str(), &options, &f.result);
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return f;
}

void BM_FetchResume(benchmark::State &state)
{
    static Nginx nginx;
    Served &served = nginx.served;
    const auto fail = [&](const std::string &what) {
        static std::string message;
        message = what;
        state.SkipWithError(message.c_str());
    };
    if (!nginx.started || !served.skip.empty())
        return fail(served.skip.empty() ? "nginx did not start" : served.skip);
    Relay relay(served.port);
    if (relay.port == 0)
        return fail("the relay cannot listen");
    const std::string url = "http://127.0.0.1:" + std::to_string(relay.port) + "/large.bin";
    const std::string cacheDir = (served.dir / "resume-cache").string();
    const auto total = static_cast<std::int64_t>(served.large.size());

    // The first fetch, cut after half the body: a partial is kept.
    const auto cut = [&]() -> bool {
        relay.relayed = 0;
        relay.cutAt = total / 2;
        const Fetched f = FetchVia(url, cacheDir, 0);
        relay.cutAt = -1;
        if (f.rc != ZELMO_FETCH_E_TRANSFER) {
            fail("the cut fetch: " + std::string(f.rc == 0 ? "it succeeded" : f.result.error_text));
            return false;
        }
        return true;
    };
    double resumedSeconds = 0, wholeSeconds = 0;
    std::int64_t resumedBytes = 0, wholeBytes = 0;
    long rounds = 0;
    for (auto _ : state) {
        if (!cut())
            return;
        relay.relayed = 0;
        const Fetched resumed = FetchVia(url, cacheDir, 0);
        const std::int64_t resumedRelayed = relay.relayed;
        if (resumed.rc != 0 || resumed.result.outcome != ZELMO_FETCH_RESUMED || resumed.result.resumed_from <= 0 ||
            resumed.sunk != total)
            return fail("the resumed fetch: " + std::string(resumed.rc != 0 ? resumed.result.error_text
                                                                            : "not resumed, or not the whole body"));
        state.PauseTiming();
        const bool same = ReadAll(resumed.result.body_path) == served.large;
        state.ResumeTiming();
        if (!same)
            return fail("the resumed entry is not the served file");
        if (!cut())
            return;
        relay.relayed = 0;
        const Fetched whole = FetchVia(url, cacheDir, ZELMO_FETCH_NO_RESUME);
        if (whole.rc != 0 || whole.result.outcome != ZELMO_FETCH_REPLACED || whole.sunk != total)
            return fail("the fetch without resume: " + std::string(whole.result.error_text));
        resumedSeconds += resumed.seconds;
        wholeSeconds += whole.seconds;
        resumedBytes += resumedRelayed;
        wholeBytes += relay.relayed;
        ++rounds;
    }
    state.counters["resumed_B"] = static_cast<double>(resumedBytes) / static_cast<double>(rounds);
    state.counters["whole_B"] = static_cast<double>(wholeBytes) / static_cast<double>(rounds);
    state.counters["resumed_s"] = resumedSeconds / static_cast<double>(rounds);
    state.counters["whole_s"] = wholeSeconds / static_cast<double>(rounds);
    std::printf("resume: %.1f %% of the %lld-byte body sent again (%lld bytes relayed for the resume, %lld for a whole "
                "fetch)\n",
                100.0 * static_cast<double>(resumedBytes) / static_cast<double>(rounds * total),
                static_cast<long long>(total), static_cast<long long>(resumedBytes / rounds),
                static_cast<long long>(wholeBytes / rounds));
}

BENCHMARK(BM_FetchResume)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

using bench::Goal;
const bool registered =
    bench::Compare({"resume: bytes sent again vs a whole fetch", "BM_FetchResume:resumed_B", "BM_FetchResume:whole_B",
                    Goal::Cheaper, 0.51}) &&
    // The resume reads the kept half back from disk for the checksum and
    // the sink, so it costs more than half of a whole fetch.
    bench::Compare({"resume: time vs a whole fetch (goal)", "BM_FetchResume:resumed_s", "BM_FetchResume:whole_s",
                    Goal::Cheaper, 0.75, false});

}  // namespace
