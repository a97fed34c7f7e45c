// HttpRequest_SYNC against the same short POST made directly with libcurl
// (a new easy handle per request, the answer into memory), both against
// the scripted loopback server.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <string>
#include <vector>

#include "ratio.h"
#include "support/http_server.h"
#include "zelmo.h"

namespace {

using zelmo::test::Answer;
using zelmo::test::ScriptedServer;

const char kBody[] = "user=zelmo&action=ping&sequence=42";

std::size_t Collect(char *data, std::size_t size, std::size_t count, void *into)
{
    static_cast<std::string *>(into)->append(data, size * count);
    return size * count;
}

// The same POST straight through libcurl; false when it failed.
bool LibcurlPost(const std::string &url)
{
    std::string answer;
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return result == CURLE_OK && !answer.empty();
}

// The server, warmed up (libcurl's global state, the loopback path, the
// server's threads) before either side is measured.
ScriptedServer &Server()
{
    static ScriptedServer server([](const zelmo::test::RecordedRequest &) {
        return Answer::Full("HTTP/1.1 200 OK", "{\"status\":\"ok\",\"sequence\":42}\n",
                            "Content-Type: application/json\r\n");
    });
    static const bool warm = [] {
        for (int i = 0; i < 500; ++i) LibcurlPost(server.Url("/warm-up"));
        return true;
    }();
    (void)warm;
    return server;
}

// Both sides in one loop, alternating which goes first, so that both meet
// the same conditions on a shared machine; each side's seconds per request
// are published as counters.
void BM_PostPair(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    const std::string url = Server().Url("/ping");
    std::vector<char> buffer(64 * 1024);
    const auto ours = [&] {
        HttpResponseBuffer response{};
        response.buffer = buffer.data();
        response.capacity = static_cast<unsigned>(buffer.size());
        return HttpRequest_SYNC(url.c_str(), kBody, &response, 10, nullptr, nullptr) == 1;
    };
    Clock::duration oursTotal{}, referenceTotal{};
    bool oursFirst = true;
    for (auto _ : state) {
        for (int side = 0; side < 2; ++side) {
            const bool isOurs = (side == 0) == oursFirst;
            const auto start = Clock::now();
            const bool ok = isOurs ? ours() : LibcurlPost(url);
            (isOurs ? oursTotal : referenceTotal) += Clock::now() - start;
            if (!ok) {
                state.SkipWithError("request failed");
                return;
            }
        }
        oursFirst = !oursFirst;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_s"] = std::chrono::duration<double>(oursTotal).count() / n;
    state.counters["libcurl_s"] = std::chrono::duration<double>(referenceTotal).count() / n;
}

// Loopback round trips are noisy: three runs, and the fastest counts.
BENCHMARK(BM_PostPair)->MinTime(3.0)->Repetitions(3)->UseRealTime();

const bool registered = bench::Compare({"HttpRequest_SYNC short POST vs libcurl", "BM_PostPair:ours_s",
                                        "BM_PostPair:libcurl_s", bench::Goal::Faster, 0.9});

}  // namespace
