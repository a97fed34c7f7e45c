// Many requests in one process: after a warm-up, 10,000 HttpRequest_SYNC
// calls against the loopback server leave no more open descriptors (Windows:
// handles) and no more than a small amount of memory in use.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/http_server.h"
#include "support/os.h"
#include "zelmo.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZELMO_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELMO_TEST_ASAN 1
#endif
#endif

namespace {

using zelmo::test::Answer;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;

constexpr int kWarmUp = 1000;
constexpr int kRequests = 10000;

// Descriptors of connections the server is still closing are let go first.
std::size_t SettledHandleCount(std::size_t target)
{
    std::size_t count = zelmo::test::os::OpenHandleCount();
    for (int i = 0; i < 100 && count > target; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        count = zelmo::test::os::OpenHandleCount();
    }
    return count;
}

TEST(Load, TenThousandRequestsKeepHandlesAndMemoryFlat)
{
    ScriptedServer server([](const RecordedRequest &request) {
        return Answer::Full("HTTP/1.1 200 OK", "answer to " + request.body);
    });
    const std::string url = server.Url("/load");
    std::vector<char> buffer(256);
    int wrong = 0;
    auto run = [&](int from, int count) {
        for (int i = from; i < from + count; ++i) {
            const std::string body = "request " + std::to_string(i);
            HttpResponseBuffer response{};
            response.buffer = buffer.data();
            response.capacity = static_cast<unsigned>(buffer.size());
            if (HttpRequest_SYNC(url.c_str(), body.c_str(), &response, 10, nullptr, nullptr) != 1 ||
                std::string(response.buffer, response.length) != "answer to " + body)
                ++wrong;
            if (i % 1000 == 999)
                server.ForgetRequests();
        }
    };

    run(0, kWarmUp);
    const std::size_t handles = SettledHandleCount(0);
    const std::size_t memory = zelmo::test::os::MemoryInUse();
    const auto start = std::chrono::steady_clock::now();
    run(kWarmUp, kRequests);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t handlesAfter = SettledHandleCount(handles);
    const std::size_t memoryAfter = zelmo::test::os::MemoryInUse();
    std::printf("%d requests in %.1f s; handles %zu -> %zu; memory %zu -> %zu KiB\n", kRequests, seconds, handles,
                handlesAfter, memory / 1024, memoryAfter / 1024);

    EXPECT_EQ(wrong, 0);
    EXPECT_GT(handles, 0u);
    EXPECT_LE(handlesAfter, handles);
#ifdef ZELMO_TEST_ASAN
    // The sanitizer keeps freed memory in quarantine, so the process grows
    // without any leak; its leak checker judges this build at exit instead.
#else
    constexpr std::size_t kMemoryBound = 4u << 20;
    ASSERT_GT(memory, 0u);
    EXPECT_LE(memoryAfter, memory + kMemoryBound);
#endif
}

}  // namespace
