// HttpRequest_SYNC against the same short POST made directly with libcurl
// (a new easy handle per request, the answer into memory), both against
// the scripted loopback server.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <string>
#include <vector>

#include "ratio.h"
#include "support/http_server.h"
#include "zelmo.h"

namespace {

using zelmo::test::Answer;
using zelmo::test::ScriptedServer;

const char kBody[] = "user=zelmo&action=ping&sequence=42";

ScriptedServer &Server()
{
    static ScriptedServer server([](const zelmo::test::RecordedRequest &) {
        return Answer::Full("HTTP/1.1 200 OK", "{\"status\":\"ok\",\"sequence\":42}\n",
                            "Content-Type: application/json\r\n");
    });
    return server;
}

void BM_HttpRequest_SYNC(benchmark::State &state)
{
    const std::string url = Server().Url("/ping");
    std::vector<char> buffer(64 * 1024);
    for (auto _ : state) {
        HttpResponseBuffer response{};
        response.buffer = buffer.data();
        response.capacity = static_cast<unsigned>(buffer.size());
        if (HttpRequest_SYNC(url.c_str(), kBody, &response, 10, nullptr, nullptr) != 1) {
            state.SkipWithError("request failed");
            break;
        }
    }
}

std::size_t Collect(char *data, std::size_t size, std::size_t count, void *into)
{
    static_cast<std::string *>(into)->append(data, size * count);
    return size * count;
}

void BM_Libcurl_Post(benchmark::State &state)
{
    const std::string url = Server().Url("/ping");
    for (auto _ : state) {
        std::string answer;
        CURL *curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
        const CURLcode result = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        if (result != CURLE_OK || answer.empty()) {
            state.SkipWithError("request failed");
            break;
        }
    }
}

BENCHMARK(BM_HttpRequest_SYNC)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_Libcurl_Post)->MinTime(3.0)->UseRealTime();

const bool registered = bench::Compare({"HttpRequest_SYNC short POST vs libcurl", "BM_HttpRequest_SYNC",
                                        "BM_Libcurl_Post", bench::Goal::Faster, 0.9});

}  // namespace
