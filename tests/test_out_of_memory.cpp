// Allocation failures inside every export that allocates: each allocation of
// a call is refused in turn; the call then gives its failure result (or,
// where the export's definition allows it, a whole one), never an exception, and releases
// whatever it had taken (the leak checker of the sanitizer build sees to the
// memory, a count of open files to the rest).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "host/eventlog.h"
#include "platform/platform.h"
#include "support/failing_allocation.h"
#include "support/fetch.h"
#include "support/files.h"
#include "support/host.h"
#include "support/http_server.h"
#include "support/os.h"
#include "zelmo.h"
#include "zelmo_fetch.h"

namespace {

using zelmo::test::AllocationFailure;

// Runs `call` with its first, second, ... allocation refused until a run
// refuses none; `check` judges the result of each refused run, `prepare`
// runs before each, with nothing refused. Returns how many allocations a
// call makes.
long RefuseEachAllocation(const std::function<void()> &call, const std::function<void()> &check,
                          const std::function<void()> &prepare = {})
{
    for (long n = 1;; ++n) {
        bool refused;
        if (prepare)
            prepare();
        {
            AllocationFailure failure(n);
            call();
            refused = failure.Refused();
        }
        if (!refused)
            return n - 1;
        SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
        check();
    }
}

TEST(OutOfMemory, DesExportsGiveTheirFailureResult)
{
    const std::string plain = "out of memory, in turn";
    char message[256], text[256];
    ASSERT_GT(DesEncode(plain.c_str(), "pw", message, sizeof message, 0), 0);
    ASSERT_GT(Encode(plain.c_str(), "pw", text, sizeof text), 0);

    struct Case {
        const char *name;
        std::function<int(char *, unsigned)> call;
        int failure;
        long allocations;  // as the export promises
    };
    const Case cases[] = {
        {"DesEncode", [&](char *out, unsigned n) { return DesEncode(plain.c_str(), "pw", out, n, 0); }, -1, 1},
        {"DesDecode", [&](char *out, unsigned n) { return DesDecode(message, "pw", out, 0, n); }, 0, 1},
        {"Encode", [&](char *out, unsigned n) { return Encode(plain.c_str(), "pw", out, n); }, -1, 2},
        {"Decode", [&](char *out, unsigned n) { return Decode(text, "pw", out, n); }, 0, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char out[256];
        int result = 0;
        const long allocations = RefuseEachAllocation(
            [&] {
                std::memset(out, 'x', sizeof out);
                result = c.call(out, sizeof out);
            },
            [&] {
                EXPECT_EQ(result, c.failure);
                EXPECT_EQ(out[0], 'x') << "nothing written";
            });
        EXPECT_EQ(allocations, c.allocations);
        EXPECT_GT(result, 0) << "the call succeeds once nothing is refused";
    }
}

TEST(OutOfMemory, ConversionsGiveNull)
{
    // Long enough that the POSIX conversion's strings leave their inline
    // storage and allocate.
    std::string text;
    std::basic_string<ZelmoOleChar> wide;
    for (int i = 0; i < 8; ++i) {
        text += "caf\xC3\xA9 \xE2\x82\xAC ";  // UTF-8
        wide += {'c', 'a', 'f', 0xE9, ' ', 0x20AC, ' '};
    }
    for (unsigned codePage : {65001u, 1252u}) {
        SCOPED_TRACE(codePage);
        ZelmoBstr bstr = nullptr;
        const long toBstr = RefuseEachAllocation(
            [&] { bstr = PszToBstr(text.c_str(), codePage); }, [&] { EXPECT_EQ(bstr, nullptr); });
        ASSERT_NE(bstr, nullptr);
        zelmo::test::os::FreeBstr(bstr);

        char *narrow = nullptr;
        const long fromBstr = RefuseEachAllocation(
            [&] { narrow = PszFromBstr(wide.c_str(), codePage); }, [&] { EXPECT_EQ(narrow, nullptr); });
        ASSERT_NE(narrow, nullptr);
        zelmo::test::os::FreeLocal(narrow);
        // At least the result's own allocation (on Windows SysAllocStringLen
        // and LocalAlloc, reached through their wrapped import slots).
        EXPECT_GT(toBstr, 0);
        EXPECT_GT(fromBstr, 0);
    }
}

int ReportInformation(const char *endpoint, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = zelmo::host::ReportEvent(endpoint, zelmo::platform::EventType::Information,
                                                "ZelmoTest", format, args);
    va_end(args);
    return result;
}

// The cache store, profile values and the event log (DES, BSTR and download
// above): a refusal gives the failure result or the whole result, judged
// after the call; the call succeeds once nothing is refused.
TEST(OutOfMemory, EveryExportGivesItsFailureResultOrAWholeOne)
{
    enum Outcome { Failure, Whole, Wrong };
    const bool posix = zelmo::platform::kPathSeparator == '/';
    zelmo::test::TempDir dir;
    const std::string url = "http://127.0.0.1/out-of-memory/every-export";
    const zelmo::cache::EntryPaths entry = zelmo::cache::EntryPathsOf(url);
    ASSERT_EQ(CheckAndCreateDircotry(entry.body.c_str()), 1);
    std::ofstream(entry.header, std::ios::binary) << "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    std::ofstream(entry.body, std::ios::binary) << "hello";
    const std::string fullPath = zelmo::cache::ModuleDirectory() + "some-file.name";
    const std::string ini = (dir.path() / "oom.ini").string();
    const std::string logPath = (dir.path() / "log").string();
    zelmo::test::host::LogListener log(logPath);
    const char *endpoint = log.available() ? logPath.c_str() : nullptr;

    char body[260], header[260], text[64];
    unsigned bodySize = 0, headerSize = 0;
    bool done = false;
    const char *pointer = nullptr;
    int count = 0;
    auto readBack = [&] {
        char value[64] = {};
        return GetProfileValue("s", "k", ini.c_str(), value, sizeof value, "") > 0 ? std::string(value) : "";
    };
    struct Case {
        const char *name;
        bool allocates;
        std::function<void()> call;
        std::function<Outcome()> judge;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"GetCacheFilePath", true,
         [&] {
             std::memset(body, 'x', sizeof body);
             std::memset(header, 'x', sizeof header);
             bodySize = headerSize = sizeof body;
             done = GetCacheFilePath(url.c_str(), body, &bodySize, header, &headerSize);
         },
         [&] {
             if (!done && bodySize == 0 && headerSize == 0 && body[0] == 'x' && header[0] == 'x')
                 return Failure;
             return done && body == entry.body && header == entry.header && bodySize == entry.body.size() &&
                            headerSize == entry.header.size()
                        ? Whole
                        : Wrong;
         },
         {}},
        {"GetCacheFileSize", true, [&] { done = GetCacheFileSize(url.c_str(), nullptr, 0, 0); },
         [&] { return done ? Whole : Failure; }, {}},
        {"GetFileFullPath", true, [&] { pointer = GetFileFullPath("some-file.name"); },
         [&] { return pointer == nullptr ? Failure : pointer == fullPath ? Whole : Wrong; }, {}},
        {"GetProfileValue", true,
         [&] { count = GetProfileValue("s", "k", ini.c_str(), text, sizeof text, "default"); },
         [&] { return count == 0 ? Failure : count == 9 && std::string(text) == "old value" ? Whole : Wrong; },
         [&] { std::ofstream(ini) << "[s]\nk=old value\n"; }},
        {"SetProfileValue", posix, [&] { done = SetProfileValue("s", "k", ini.c_str(), "new value", 0); },
         [&] {
             const std::string value = readBack();
             return !done && value == "old value" ? Failure : done && value == "new value" ? Whole : Wrong;
         },
         [&] { std::ofstream(ini) << "[s]\nk=old value\n"; }},
        {"EventLogInformation", posix && endpoint != nullptr,
         [&] { count = ReportInformation(endpoint, "event %d", 42); },
         [&] { return count == 0 ? Failure : Whole; },  // a whole result may have lost its report
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.prepare)  // once first: the system's own lazy handles are then open
            c.prepare();
        c.call();
        const std::size_t handles = zelmo::test::os::OpenHandleCount();
        const long allocations =
            RefuseEachAllocation(c.call, [&] { EXPECT_NE(c.judge(), Wrong); }, c.prepare);
        EXPECT_EQ(c.judge(), Whole) << "the call succeeds once nothing is refused";
        if (c.allocates) {
            EXPECT_GT(allocations, 0);
        }
        // Descriptors only: under wine the first exception unwound opens
        // handles of the system's own, which a handle count would blame here.
        if (posix) {
            EXPECT_EQ(zelmo::test::os::OpenHandleCount(), handles) << "every file and socket is closed";
        }
    }
    zelmo::test::RemoveEntryFiles(entry.body, entry.header);
}

// A fetch and a revalidation answered 304, with each allocation the call
// makes refused in turn. The call then gives 0 with the record cleared, or 1
// with the whole body where the refusal only cost an optional step (no
// If-Modified-Since line read from the stored header: the body is fetched
// again). libcurl allocates on its own heap; a failure there ends the
// transfer as any libcurl error does.
TEST(OutOfMemory, DownloadGivesZeroOrTheWholeBody)
{
    using zelmo::test::Answer;
    using zelmo::test::RecordedRequest;
    constexpr const char *kDate = "Wed, 21 Oct 2015 07:28:00 GMT";
    const std::string body(3000, 'b');
    zelmo::test::ScriptedServer server([&](const RecordedRequest &request) {
        if (request.Header("If-Modified-Since") == kDate)
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\n\r\n");
        return Answer::Raw("HTTP/1.1 200 OK\r\nLast-Modified: " + std::string(kDate) +
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    });
    const std::string url = server.Url("/out-of-memory");
    const zelmo::cache::EntryPaths entry = zelmo::cache::EntryPathsOf(url);
    auto removeEntry = [&] { zelmo::test::RemoveEntryFiles(entry.body, entry.header); };

    for (const bool revalidate : {false, true}) {
        SCOPED_TRACE(revalidate ? "revalidation" : "fetch");
        std::vector<char> buffer(4096);
        HttpResponseBuffer response{};
        bool result = false;
        int failures = 0;
        const long allocations = RefuseEachAllocation(
            [&] { result = HttpDownload_SYNC(url.c_str(), &response, revalidate, 10, nullptr, nullptr); },
            [&] {
                if (result) {
                    EXPECT_EQ(std::string(response.buffer, response.length), body);
                } else {
                    ++failures;
                    EXPECT_EQ(response.length, 0u);
                    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), '\0'), static_cast<long>(buffer.size()))
                        << "the record is cleared";
                }
            },
            [&] {
                // A revalidation starts from a complete entry, a fetch from none.
                removeEntry();
                if (revalidate) {
                    HttpResponseBuffer fetch{};
                    ASSERT_TRUE(HttpDownload_SYNC(url.c_str(), &fetch, false, 10, nullptr, nullptr));
                }
                std::fill(buffer.begin(), buffer.end(), 'x');
                response = HttpResponseBuffer{};
                response.buffer = buffer.data();
                response.capacity = static_cast<unsigned>(buffer.size());
            });
        EXPECT_TRUE(result) << "the call succeeds once nothing is refused";
        EXPECT_EQ(std::string(response.buffer, response.length), body);
        EXPECT_GT(allocations, 0);
        EXPECT_GT(failures, 0);
        std::printf("%s: %ld allocations, %d refusals give 0\n", revalidate ? "revalidation" : "fetch", allocations,
                    failures);
    }
    removeEntry();
}

// A batch with every allocation refused in turn, the pool's own included:
// each URL gets its body or a failure of its own, never a crash, and what a
// refused run stored serves the next.
TEST(OutOfMemory, FetchManyGivesEachUrlItsBodyOrItsFailure)
{
    using zelmo::test::Answer;
    using zelmo::test::RecordedRequest;
    zelmo::test::ScriptedServer server([](const RecordedRequest &request) {
        if (request.HasHeader("If-None-Match"))
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"1\"\r\n\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "body of " + request.target, "ETag: \"1\"\r\n");
    });
    zelmo::test::TempDir dir;
    const std::string cache = dir.path().string();
    const std::string urls[] = {server.Url("/a"), server.Url("/b")};
    ZelmoFetchItem items[2];
    std::string bodies[2];
    int rc = -1, failed = 0;
    zelmo_fetch_close_idle();
    const long allocations = RefuseEachAllocation(
        [&] {
            ZelmoFetchOptions options;
            zelmo_fetch_init(&options, nullptr);
            options.cache_dir = cache.c_str();
            options.timeout_ms = 10000;
            rc = zelmo_fetch_many(items, 2, &options);
        },
        [&] {
            for (int i = 0; i < 2; ++i) {
                const ZelmoFetchResult &r = items[i].result;
                if (r.error == ZELMO_FETCH_OK) {
                    EXPECT_EQ(bodies[i], "body of " + urls[i].substr(urls[i].rfind('/')));
                } else {
                    ++failed;
                    EXPECT_TRUE(r.error == ZELMO_FETCH_E_NO_MEMORY || r.error == ZELMO_FETCH_E_TRANSFER ||
                                r.error == ZELMO_FETCH_E_CACHE_IO)
                        << r.error << " " << r.error_text;
                    EXPECT_STRNE(r.error_text, "");
                }
            }
        },
        [&] {
            zelmo_fetch_items_init(items, 2);
            for (int i = 0; i < 2; ++i) {
                bodies[i].clear();
                bodies[i].reserve(64);
                items[i].url = urls[i].c_str();
                items[i].sink = &zelmo::test::SinkToString;
                items[i].sink_data = &bodies[i];
            }
        });
    EXPECT_EQ(rc, 0) << "the batch succeeds once nothing is refused";
    EXPECT_GT(allocations, 0);
    EXPECT_GT(failed, 0);
    std::printf("batch of 2: %ld allocations\n", allocations);
    zelmo_fetch_close_idle();
}

}  // namespace
