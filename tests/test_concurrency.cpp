// The exports that may run on any number of threads at once, called from 8
// threads together, each result checked against one computed beforehand on
// a single thread; and the module directory filled under concurrent first
// use in a fresh process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "platform/platform.h"
#include "support/files.h"
#include "support/http_server.h"
#include "support/os.h"
#include "zelmo.h"
#include "zelmo_fetch.h"

namespace {

using zelmo::test::Answer;
using zelmo::test::RecordedRequest;
using zelmo::test::ScriptedServer;
using zelmo::test::TempDir;

constexpr int kThreads = 8;

// Runs `body(thread, round)` for `rounds` rounds on each of kThreads threads,
// all released at once; returns how many calls reported a wrong result.
int OnThreads(int rounds, const std::function<bool(int, int)> &body)
{
    std::atomic<int> ready{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads)
                std::this_thread::yield();
            for (int round = 0; round < rounds; ++round)
                if (!body(t, round))
                    wrong.fetch_add(1);
        });
    for (std::thread &thread : threads) thread.join();
    return wrong.load();
}

std::string TextOf(int t, int round)
{
    return "thread " + std::to_string(t) + " round " + std::to_string(round) + std::string(t * 7, '*');
}

// The library's own locks and one-time start-up: the start-up runs once
// however many threads race to it, and the recursive lock, taken twice by
// each holder, still admits one thread at a time.
TEST(Concurrency, LocksAndOneTimeStartUp)
{
    static std::atomic<int> startUps{0};
    static zelmo::platform::OnceFlag once;
    zelmo::platform::RecursiveLock recursive;
    zelmo::platform::Lock plain;
    long recursiveCount = 0, plainCount = 0;  // guarded by the locks only
    constexpr int kRounds = 2000;
    EXPECT_EQ(OnThreads(kRounds,
                        [&](int, int) {
                            zelmo::platform::RunOnce(once, [] { startUps.fetch_add(1); });
                            {
                                std::lock_guard<zelmo::platform::RecursiveLock> outer(recursive);
                                std::lock_guard<zelmo::platform::RecursiveLock> inner(recursive);
                                ++recursiveCount;
                            }
                            std::lock_guard<zelmo::platform::Lock> hold(plain);
                            ++plainCount;
                            return startUps.load() == 1;
                        }),
              0);
    EXPECT_EQ(startUps.load(), 1);
    EXPECT_EQ(recursiveCount, long{kThreads} * kRounds);
    EXPECT_EQ(plainCount, long{kThreads} * kRounds);
}

TEST(Concurrency, Base64AndMD5)
{
    TempDir dir;
    std::vector<std::string> files, fileDigests, encoded, digests;
    for (int t = 0; t < kThreads; ++t) {
        const std::string text = TextOf(t, 0);
        char b64[256], md5[33];
        Base64Encode(b64, text.c_str(), static_cast<int>(text.size()));
        encoded.push_back(b64);
        ASSERT_EQ(MD5String(text.c_str(), static_cast<int>(text.size()), md5, sizeof md5), 32);
        digests.push_back(md5);
        files.push_back(dir.Write("f" + std::to_string(t), std::string(1000 * (t + 1), char('a' + t))));
        ASSERT_EQ(MD5File(files.back().c_str(), md5, sizeof md5), 32);
        fileDigests.push_back(md5);
    }
    EXPECT_EQ(OnThreads(200, [&](int t, int) {
                  const std::string text = TextOf(t, 0);
                  char b64[256], back[256], md5[33], fileMd5[33];
                  const int n = Base64Encode(b64, text.c_str(), static_cast<int>(text.size()));
                  const int m = Base64Decode(back, b64, n);
                  return b64 == encoded[t] && std::string(back, m) == text &&
                         MD5String(text.c_str(), static_cast<int>(text.size()), md5, sizeof md5) == 32 &&
                         md5 == digests[t] && MD5File(files[t].c_str(), fileMd5, sizeof fileMd5) == 32 &&
                         fileMd5 == fileDigests[t];
              }),
              0);
}

TEST(Concurrency, TextEncryption)
{
    std::vector<std::string> messages, texts;
    for (int t = 0; t < kThreads; ++t) {
        const std::string password = "pw" + std::to_string(t);
        char message[512], text[512];
        ASSERT_GT(DesEncode(TextOf(t, 0).c_str(), password.c_str(), message, sizeof message, 0), 0);
        ASSERT_GT(Encode(TextOf(t, 0).c_str(), password.c_str(), text, sizeof text), 0);
        messages.push_back(message);
        texts.push_back(text);
    }
    EXPECT_EQ(OnThreads(200, [&](int t, int) {
                  const std::string plain = TextOf(t, 0), password = "pw" + std::to_string(t);
                  char message[512], text[512], back[512], back2[512];
                  return DesEncode(plain.c_str(), password.c_str(), message, sizeof message, 0) > 0 &&
                         message == messages[t] && Encode(plain.c_str(), password.c_str(), text, sizeof text) > 0 &&
                         text == texts[t] && DesDecode(message, password.c_str(), back, 0, sizeof back) > 0 &&
                         back == plain && Decode(text, password.c_str(), back2, sizeof back2) > 0 && back2 == plain;
              }),
              0);
}

TEST(Concurrency, RequestsAndUploads)
{
    ScriptedServer server([](const RecordedRequest &request) {
        return Answer::Full("HTTP/1.1 200 OK", request.target + ":" + request.body);
    });
    TempDir dir;
    std::vector<std::string> uploads;
    for (int t = 0; t < kThreads; ++t)
        uploads.push_back(dir.Write("upload" + std::to_string(t), "file of thread " + std::to_string(t)));
    EXPECT_EQ(OnThreads(10, [&](int t, int round) {
                  const std::string body = TextOf(t, round), path = "/t" + std::to_string(t);
                  std::vector<char> buffer(1024);
                  HttpResponseBuffer response{};
                  response.buffer = buffer.data();
                  response.capacity = static_cast<unsigned>(buffer.size());
                  if (HttpRequest_SYNC(server.Url(path).c_str(), body.c_str(), &response, 10, nullptr, nullptr) != 1 ||
                      std::string(response.buffer, response.length) != path + ":" + body)
                      return false;
                  HttpResponseBuffer upload{};
                  upload.buffer = buffer.data();
                  upload.capacity = static_cast<unsigned>(buffer.size());
                  if (HttpUpload_SYNC(server.Url(path).c_str(), uploads[t].c_str(), &upload, 5, 10, 0, 0) != 1)
                      return false;
                  const std::string answer(upload.buffer, upload.length);
                  return answer.find("file of thread " + std::to_string(t)) != std::string::npos;
              }),
              0);
    EXPECT_EQ(server.Requests().size(), 2u * kThreads * 10);
}

TEST(Concurrency, ProfileReads)
{
    TempDir dir;
    std::string ini = "[common]\n";
    for (int t = 0; t < kThreads; ++t)
        ini += "key" + std::to_string(t) + "=value of " + std::to_string(t) + "\n";
    const std::string file = dir.Write("shared.ini", ini);
    EXPECT_EQ(OnThreads(100, [&](int t, int) {
                  const std::string key = "key" + std::to_string(t);
                  char out[64];
                  const int n = GetProfileValue("common", key.c_str(), file.c_str(), out, sizeof out, "none");
                  char missing[64];
                  const int m = GetProfileValue("common", "absent", file.c_str(), missing, sizeof missing, "none");
                  return n > 0 && std::string(out) == "value of " + std::to_string(t) && m > 0 &&
                         std::string(missing) == "none";
              }),
              0);
}

// Writes of many keys to one profile, from threads and from two processes:
// every write that reports success is in the file afterwards.
constexpr int kProfileKeys = 60;

std::string ProfileKey(const std::string &writer, int round)
{
    return writer + "-key" + std::to_string(round);
}

// Writes kProfileKeys keys named after `writerAndFile` (writer '|' file);
// returns how many writes failed.
int WriteProfileKeys(const std::string &writerAndFile)
{
    const std::size_t bar = writerAndFile.find('|');
    const std::string writer = writerAndFile.substr(0, bar), file = writerAndFile.substr(bar + 1);
    int failed = 0;
    for (int round = 0; round < kProfileKeys; ++round)
        failed += !SetProfileValue("common", ProfileKey(writer, round).c_str(), file.c_str(), writer.c_str(), 0);
    return failed;
}

int MissingProfileKeys(const std::string &file, const std::vector<std::string> &writers)
{
    int missing = 0;
    for (const std::string &writer : writers)
        for (int round = 0; round < kProfileKeys; ++round) {
            char out[64];
            GetProfileValue("common", ProfileKey(writer, round).c_str(), file.c_str(), out, sizeof out, "none");
            missing += writer != out;
        }
    return missing;
}

TEST(Concurrency, ProfileWritesFromThreads)
{
    TempDir dir;
    const std::string file = dir.Write("written.ini", "; shared\r\n[common]\r\n");
    std::vector<std::string> writers;
    for (int t = 0; t < kThreads; ++t) writers.push_back("thread" + std::to_string(t));
    EXPECT_EQ(OnThreads(1, [&](int t, int) { return WriteProfileKeys(writers[t] + "|" + file) == 0; }), 0);
    EXPECT_EQ(MissingProfileKeys(file, writers), 0);
}

TEST(Concurrency, ProfileWritesFromTwoProcesses)
{
    TempDir dir;
    const std::string file = dir.Write("written.ini", "; shared\r\n[common]\r\n");
    int parentFailed = -1;
    const int childFailed =
        zelmo::test::os::RunBesideChild(WriteProfileKeys, "child|" + file, "parent|" + file, &parentFailed);
    if (childFailed == -2)
        GTEST_SKIP() << "no fork here; the Windows profile service serialises writes itself";
    EXPECT_EQ(childFailed, 0);
    EXPECT_EQ(parentFailed, 0);
    EXPECT_EQ(MissingProfileKeys(file, {"child", "parent"}), 0);
}

TEST(Concurrency, BstrConversions)
{
    const unsigned codePage = zelmo::test::os::AnsiCodePage();
    EXPECT_EQ(OnThreads(200, [&](int t, int round) {
                  const std::string text = TextOf(t, round);
                  const ZelmoBstr bstr = PszToBstr(text.c_str(), codePage);
                  if (bstr == nullptr)
                      return false;
                  const bool shape = zelmo::test::os::BstrLength(bstr) == text.size() + 2;
                  char *back = PszFromBstr(bstr, codePage);
                  zelmo::test::os::FreeBstr(bstr);
                  if (back == nullptr)
                      return false;
                  const bool same = text == back;
                  zelmo::test::os::FreeLocal(back);
                  return shape && same;
              }),
              0);
}

TEST(Concurrency, CachePaths)
{
    std::vector<std::string> bodies, headers;
    for (int t = 0; t < kThreads; ++t) {
        char body[512], header[512];
        unsigned bodySize = sizeof body, headerSize = sizeof header;
        const std::string url = "http://127.0.0.1/" + std::to_string(t);
        ASSERT_TRUE(GetCacheFilePath(url.c_str(), body, &bodySize, header, &headerSize));
        bodies.push_back(body);
        headers.push_back(header);
    }
    EXPECT_EQ(OnThreads(200, [&](int t, int) {
                  char body[512], header[512];
                  unsigned bodySize = sizeof body, headerSize = sizeof header;
                  const std::string url = "http://127.0.0.1/" + std::to_string(t);
                  return GetCacheFilePath(url.c_str(), body, &bodySize, header, &headerSize) && body == bodies[t] &&
                         header == headers[t] && bodySize == bodies[t].size() &&
                         !GetCacheFileSize(url.c_str(), nullptr, 0, 0);
              }),
              0);
}

// Threads that create one new directory chain at once all succeed: a level
// another thread made between the look and the creation counts as made.
TEST(Concurrency, DirectoryChainsCreatedTogether)
{
    TempDir dir;
    const char sep = std::filesystem::path::preferred_separator;
    for (int round = 0; round < 50; ++round) {
        const std::string chain = dir.path().string() + sep + "r" + std::to_string(round) + sep + "a" + sep + "b" +
                                  sep + "c" + sep + "file.bin";
        EXPECT_EQ(OnThreads(1, [&](int, int) { return CheckAndCreateDircotry(chain.c_str()) == 1; }), 0)
            << "round " << round;
        EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(chain).parent_path()));
    }
}

TEST(Concurrency, DownloadsOfDifferentUrls)
{
    constexpr const char *kDate = "Wed, 21 Oct 2015 07:28:00 GMT";
    // 200 with a body of its own per path, or 304 when revalidated.
    ScriptedServer server([&](const RecordedRequest &request) {
        if (request.Header("If-Modified-Since") == kDate)
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\n\r\n");
        const std::string body = "body of " + request.target + std::string(request.target.size() * 100, '#');
        return Answer::Raw("HTTP/1.1 200 OK\r\nLast-Modified: " + std::string(kDate) +
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    });
    std::vector<std::string> urls;
    std::vector<zelmo::cache::EntryPaths> entries;
    auto removeEntries = [&] {
        for (const zelmo::cache::EntryPaths &e : entries) zelmo::test::RemoveEntryFiles(e.body, e.header);
    };
    for (int t = 0; t < kThreads; ++t) {
        urls.push_back(server.Url("/concurrent-download-" + std::to_string(t)));
        entries.push_back(zelmo::cache::EntryPathsOf(urls.back()));
    }
    removeEntries();
    // The first round of each thread fetches, the others revalidate.
    EXPECT_EQ(OnThreads(5, [&](int t, int) {
                  const std::string path = "/concurrent-download-" + std::to_string(t);
                  const std::string expected = "body of " + path + std::string(path.size() * 100, '#');
                  std::vector<char> buffer(4096);
                  HttpResponseBuffer response{};
                  response.buffer = buffer.data();
                  response.capacity = static_cast<unsigned>(buffer.size());
                  return HttpDownload_SYNC(urls[t].c_str(), &response, true, 10, nullptr, nullptr) &&
                         std::string(response.buffer, response.length) == expected;
              }),
              0);
    int notModified = 0;
    for (const RecordedRequest &request : server.Requests())
        notModified += request.HasHeader("If-Modified-Since");
    EXPECT_EQ(server.Requests().size(), 5u * kThreads);
    EXPECT_EQ(notModified, 4 * kThreads);
    removeEntries();
    for (const zelmo::cache::EntryPaths &e : entries)
        EXPECT_FALSE(std::filesystem::exists(e.body));
}

// Fetches from every thread through the one pool of connections, single
// calls and batches at once, on URLs the threads share: every call served,
// whole, and the connections the server saw far fewer than the requests.
TEST(Concurrency, FetchesAndBatchesThroughThePool)
{
    ScriptedServer server([](const RecordedRequest &request) {
        if (request.HasHeader("If-None-Match"))
            return Answer::Raw("HTTP/1.1 304 Not Modified\r\nETag: \"1\"\r\n\r\n");
        return Answer::Full("HTTP/1.1 200 OK", "body of " + request.target, "ETag: \"1\"\r\n");
    });
    zelmo::test::TempDir dir;
    const std::string cache = dir.path().string();
    constexpr int kRounds = 6;
    EXPECT_EQ(OnThreads(kRounds, [&](int t, int round) {
                  ZelmoFetchOptions options;
                  zelmo_fetch_init(&options, nullptr);
                  options.cache_dir = cache.c_str();
                  options.timeout_ms = 20000;
                  // Two URLs of the thread's own, one shared by all.
                  const std::string paths[] = {"/pool-" + std::to_string(t) + "-a", "/pool-" + std::to_string(t) + "-b",
                                               "/pool-shared"};
                  if (round % 2 == 0) {
                      for (const std::string &path : paths) {
                          ZelmoFetchResult result;
                          zelmo_fetch_init(nullptr, &result);
                          if (zelmo_fetch(server.Url(path).c_str(), &options, &result) != 0 ||
                              zelmo::test::ReadFile(result.body_path) != "body of " + path)
                              return false;
                      }
                      return true;
                  }
                  ZelmoFetchItem items[3];
                  zelmo_fetch_items_init(items, 3);
                  std::string urls[3];
                  for (int i = 0; i < 3; ++i) {
                      urls[i] = server.Url(paths[i]);
                      items[i].url = urls[i].c_str();
                  }
                  if (zelmo_fetch_many(items, 3, &options) != 0)
                      return false;
                  for (int i = 0; i < 3; ++i)
                      if (zelmo::test::ReadFile(items[i].result.body_path) != "body of " + paths[i])
                          return false;
                  return true;
              }),
              0);
    std::set<int> connections;
    for (const RecordedRequest &request : server.Requests())
        connections.insert(request.connection);
    // A call that waited for another storing the shared URL serves that
    // answer without a request of its own.
    EXPECT_LE(server.Requests().size(), static_cast<std::size_t>(kRounds * 3 * kThreads));
    EXPECT_GE(server.Requests().size(), static_cast<std::size_t>(kRounds * 2 * kThreads));
    EXPECT_LT(connections.size(), server.Requests().size() / 4) << "connections kept between calls";
    zelmo_fetch_close_idle();
}

// The child process of the test below: many threads need the module
// directory first, at once; each must see the same, whole path.
[[noreturn]] void RaceForTheModuleDirectory()
{
    constexpr int kRacers = 32;
    std::vector<std::string> seen(kRacers);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (std::string &result : seen)
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kRacers)
                std::this_thread::yield();
            char body[1024];
            unsigned size = sizeof body;
            if (GetCacheFilePath("race", body, &size, nullptr, nullptr))
                result = body;
        });
    for (std::thread &thread : threads) thread.join();
    const std::string expected =
        zelmo::test::os::ExecutablePath().parent_path().string();
    bool same = true;
    for (const std::string &result : seen)
        same = same && result == seen[0] && result.compare(0, expected.size(), expected) == 0;
    std::fflush(nullptr);
    std::_Exit(same ? 0 : 1);
}

TEST(Concurrency, ModuleDirectoryFirstUseInAFreshProcess)
{
    // "threadsafe" runs the child as a new execution of the test program, so
    // the module directory is still empty there whatever this process did.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RaceForTheModuleDirectory(), testing::ExitedWithCode(0), "");
}

}  // namespace
