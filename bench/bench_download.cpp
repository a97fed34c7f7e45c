// HttpDownload_SYNC against nginx on 127.0.0.1, started here with the test
// suite's fixture script: a 64 MiB GET into the cache against libcurl into a
// file, the curl tool and a plain socket loop (the floor); and a 304 of a
// 1 MiB entry against libcurl with a file read and against `curl -z`. Every
// side's every call is checked: the bytes that land equal the served file,
// and a revalidation shows as a 304 in nginx's access log.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "ratio.h"
#include "support/sockets.h"
#include "zelmo.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLarge = 64u << 20;
constexpr std::size_t kSmall = 1u << 20;

std::string ReadAll(const fs::path &path)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    if (error || !in)
        return {};
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// Runs a program and waits for it; its exit status, or -1.
int Run(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// nginx serving two files of random bytes; stopped when the program ends.
struct Nginx {
    fs::path dir;
    std::string skip;
    int port = 0;
    std::string large, small;  // the served files' bytes
    std::size_t logSeen = 0;

    Nginx()
    {
        dir = fs::path(ZELMO_BENCH_BINARY_DIR) / "bench-nginx";
        Run({ZELMO_NGINX_FIXTURE, "start", dir.string()});
        if (fs::exists(dir / "skip")) {
            skip = ReadAll(dir / "skip");
            return;
        }
        port = std::atoi(ReadAll(dir / "port").c_str());
        std::mt19937_64 random(16);
        large.resize(kLarge);
        for (std::size_t i = 0; i < kLarge; i += 8) {
            const std::uint64_t v = random();
            std::memcpy(&large[i], &v, 8);
        }
        small = large.substr(kLarge / 2, kSmall);
        std::ofstream(dir / "root" / "large.bin", std::ios::binary) << large;
        std::ofstream(dir / "root" / "small.bin", std::ios::binary) << small;
    }
    ~Nginx() { Run({ZELMO_NGINX_FIXTURE, "stop", dir.string()}); }

    std::string Url(const char *name) const { return "http://127.0.0.1:" + std::to_string(port) + "/" + name; }

    // The status of each request logged since the last look.
    std::vector<int> NewStatuses()
    {
        const std::string log = ReadAll(dir / "access.log");
        std::vector<int> statuses;
        for (std::size_t at = logSeen; at < log.size();) {
            const std::size_t end = log.find('\n', at);
            if (end == std::string::npos)
                break;
            // ... "GET /x HTTP/1.1" 304 0 ...
            const std::size_t quote = log.find("\" ", log.find('"', at) + 1);
            statuses.push_back(quote < end ? std::atoi(log.c_str() + quote + 2) : 0);
            at = end + 1;
            logSeen = at;
        }
        return statuses;
    }
};

Nginx &Server()
{
    static Nginx nginx;
    return nginx;
}

bool Fails(benchmark::State &state, const char *what)
{
    state.SkipWithError(what);
    return true;
}

std::size_t ToFile(char *data, std::size_t size, std::size_t count, void *file)
{
    return std::fwrite(data, size, count, static_cast<std::FILE *>(file));
}

std::size_t ToMemory(char *data, std::size_t size, std::size_t count, void *into)
{
    static_cast<std::string *>(into)->append(data, size * count);
    return size * count;
}

// libcurl as its documentation shows it: a new easy handle, default options,
// the body written to a file with fwrite.
bool LibcurlToFile(const std::string &url, const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ToFile);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
    long code = 0;
    const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code == 200;
    curl_easy_cleanup(curl);
    return std::fclose(file) == 0 && ok;
}

// The floor: one GET over a plain socket, read 1 MiB at a time and written
// to a file, the header block cut off.
bool SocketToFile(int port, const std::string &path)
{
    using namespace zelmo::test::net;
    const Socket s = ConnectLoopback(static_cast<std::uint16_t>(port));
    if (s == kNoSocket)
        return false;
    const std::string request = "GET /large.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::FILE *file = std::fopen(path.c_str(), "wb");
    bool ok = file != nullptr && SendAll(s, request.data(), request.size());
    std::vector<char> chunk(1 << 20);
    std::string head;
    bool inBody = false;
    long got;
    while (ok && (got = Receive(s, chunk.data(), chunk.size())) > 0) {
        const char *data = chunk.data();
        std::size_t n = static_cast<std::size_t>(got);
        if (!inBody) {
            head.append(data, n);
            const std::size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos)
                continue;
            inBody = true;
            data = head.data() + end + 4;
            n = head.size() - end - 4;
        }
        ok = std::fwrite(data, 1, n, file) == n;
    }
    Close(s);
    return file != nullptr && std::fclose(file) == 0 && ok && inBody;
}

// Sides of one comparison, run in one loop in turns so that all meet the
// same conditions on a shared machine; each side's seconds per call are
// published as the counter "<name>_s".
struct Side {
    const char *name;
    std::function<bool()> call;
    std::function<bool()> check;  // after the call, outside the timing
    Clock::duration total{};
};

void RunSides(benchmark::State &state, std::vector<Side> &sides)
{
    std::size_t first = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < sides.size(); ++i) {
            Side &side = sides[(first + i) % sides.size()];
            const auto start = Clock::now();
            const bool ok = side.call();
            side.total += Clock::now() - start;
            if (!ok || !side.check()) {
                // The message must outlive the run: one per side.
                static std::string message;
                message = std::string(side.name) + (ok ? ": wrong result" : ": call failed");
                state.SkipWithError(message.c_str());
                return;
            }
        }
        first = (first + 1) % sides.size();
    }
    const double n = static_cast<double>(state.iterations());
    for (const Side &side : sides)
        state.counters[std::string(side.name) + "_s"] = std::chrono::duration<double>(side.total).count() / n;
}

void BM_DownloadGet(benchmark::State &state)
{
    Nginx &nginx = Server();
    if (!nginx.skip.empty() && Fails(state, nginx.skip.c_str()))
        return;
    const std::string url = nginx.Url("large.bin");
    const std::string entry = zelmo::cache::EntryPathsOf(url).body;
    const std::string out = (nginx.dir / "out.bin").string();
    const auto landed = [&](const std::string &path) { return ReadAll(path) == nginx.large; };
    std::vector<Side> sides = {
        {"ours",
         [&] {
             HttpResponseBuffer response{};
             return HttpDownload_SYNC(url.c_str(), &response, false, 60, nullptr, nullptr);
         },
         [&] { return landed(entry); }},
        {"libcurl", [&] { return LibcurlToFile(url, out); }, [&] { return landed(out); }},
        {"curltool", [&] { return Run({"curl", "-s", "-f", "-o", out, url}) == 0; }, [&] { return landed(out); }},
        {"floor", [&] { return SocketToFile(nginx.port, out); }, [&] { return landed(out); }},
    };
    RunSides(state, sides);
}

void BM_DownloadNotModified(benchmark::State &state)
{
    Nginx &nginx = Server();
    if (!nginx.skip.empty() && Fails(state, nginx.skip.c_str()))
        return;
    const std::string url = nginx.Url("small.bin");
    // The entry, fetched once; the reference's copy with the served file's
    // date, and the date as the entry's header records it.
    std::vector<char> buffer(kSmall + 64);
    HttpResponseBuffer first{};
    if (!HttpDownload_SYNC(url.c_str(), &first, false, 60, nullptr, nullptr) && Fails(state, "first download"))
        return;
    const std::string copy = (nginx.dir / "copy.bin").string();
    std::ofstream(copy, std::ios::binary) << nginx.small;
    fs::last_write_time(copy, fs::last_write_time(nginx.dir / "root" / "small.bin"));
    const std::string header = ReadAll(zelmo::cache::EntryPathsOf(url).header);
    const std::size_t field = header.find("Last-Modified:");
    if (field == std::string::npos && Fails(state, "no Last-Modified"))
        return;
    const std::string since =
        "If-Modified-Since:" + header.substr(field + 14, header.find("\r\n", field) - field - 14);
    nginx.NewStatuses();

    std::string memory;
    // nginx logs a request after its answer has left, so the line may come
    // a little after the client is done.
    const auto logged304 = [&] {
        std::vector<int> statuses;
        for (int wait = 0; wait < 1000 && statuses.empty(); ++wait) {
            if (wait > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            statuses = nginx.NewStatuses();
        }
        return statuses.size() == 1 && statuses[0] == 304;
    };
    std::vector<Side> sides = {
        {"ours",
         [&] {
             HttpResponseBuffer response{};
             response.buffer = buffer.data();
             response.capacity = static_cast<unsigned>(buffer.size());
             return HttpDownload_SYNC(url.c_str(), &response, true, 60, nullptr, nullptr) &&
                    response.length == kSmall;
         },
         [&] { return logged304() && std::memcmp(buffer.data(), nginx.small.data(), kSmall) == 0; }},
        {"libcurl",
         [&] {
             CURL *curl = curl_easy_init();
             curl_slist *headers = curl_slist_append(nullptr, since.c_str());
             std::string answer;
             curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
             curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
             curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ToMemory);
             curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
             long code = 0;
             const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                             curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code == 304;
             curl_easy_cleanup(curl);
             curl_slist_free_all(headers);
             memory = ReadAll(copy);
             return ok;
         },
         [&] { return logged304() && memory == nginx.small; }},
        {"curltool", [&] { return Run({"curl", "-s", "-f", "-z", copy, "-o", copy, url}) == 0; },
         [&] { return logged304() && ReadAll(copy) == nginx.small; }},
    };
    RunSides(state, sides);
}

BENCHMARK(BM_DownloadGet)->MinTime(4.0)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadNotModified)->MinTime(2.0)->Repetitions(3)->UseRealTime();

using bench::Goal;
const bool registered =
    bench::Compare({"64 MiB GET vs libcurl into a file", "BM_DownloadGet:ours_s", "BM_DownloadGet:libcurl_s",
                    Goal::Faster, 1.15}) &&
    bench::Compare({"64 MiB GET vs curl -s -o", "BM_DownloadGet:ours_s", "BM_DownloadGet:curltool_s",
                    Goal::Faster, 1.0}) &&
    bench::Compare({"64 MiB GET vs the socket floor (goal)", "BM_DownloadGet:ours_s", "BM_DownloadGet:floor_s",
                    Goal::Cheaper, 1.4, false}) &&
    bench::Compare({"1 MiB 304 vs libcurl and a file read", "BM_DownloadNotModified:ours_s",
                    "BM_DownloadNotModified:libcurl_s", Goal::Cheaper, 1.2}) &&
    bench::Compare({"1 MiB 304 vs curl -z", "BM_DownloadNotModified:ours_s",
                    "BM_DownloadNotModified:curltool_s", Goal::Faster, 5.0});

}  // namespace
