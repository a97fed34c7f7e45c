// The sides of the download comparisons against nginx on 127.0.0.1, free of
// any benchmark framework: the Google Benchmark program (bench_download.cpp)
// times them against each other, and the Windows smoke run
// (download_smoke.cpp) runs them under wine. Every call has its check: the
// bytes that land equal the served file, and a revalidation shows as a 304
// in nginx's access log.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace bench::download {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLarge = 64u << 20;
constexpr std::size_t kSmall = 1u << 20;

// A whole file, or empty when it cannot be read.
std::string ReadAll(const fs::path &path);

// The reference's revalidation: a new easy handle, default options, the
// request lines `lines`, the answer into memory; true when it is a 304.
bool LibcurlNotModified(const std::string &url, const std::vector<std::string> &lines);

// What an nginx started by scripts/nginx-fixture in `dir` serves: two files
// of random bytes, large.bin (64 MiB) and small.bin (1 MiB, a slice of the
// large one; also as fresh/small.bin, which the fixture serves with
// Cache-Control max-age), written into its document root here; and its
// access log.
struct Served {
    explicit Served(fs::path fixtureDir);

    fs::path dir;
    std::string skip;  // why nginx cannot be used; empty when it can
    int port = 0;
    std::string large, small;  // the served files' bytes

    std::string Url(const char *name) const;
    // The status of each request logged since the last look.
    std::vector<int> NewStatuses();
    // Whether exactly one request was logged since the last look, answered
    // 304. nginx logs a request after its answer has left, so the line may
    // come a little after the client is done: waits up to a second.
    bool Logged304();

private:
    std::size_t logSeen_ = 0;
};

// One line of the access log of scripts/nginx-fixture:
// addr connection connection_requests "request line" status bytes protocol
struct AccessLine {
    long connection = 0;
    long request = 0;  // its number on the connection; 1: a new connection
    std::string line;  // "GET /x HTTP/1.1"
    int status = 0;
    long bytes = 0;
    std::string protocol;
};

// The line `text` parsed; false for one without a quoted request line.
bool ParseAccessLine(const std::string &text, AccessLine &parsed);

// One side of a comparison: the timed call, and its check after it, outside
// the timing.
struct Side {
    std::string name;
    std::function<bool()> call;
    std::function<bool()> check;
    std::vector<double> seconds{};  // of each call made so far
    // Run before each call, outside the timing: a cache emptied, idle
    // connections closed. May be empty.
    std::function<void()> prepare{};

    // The median call: on a shared machine a call that another process
    // delayed moves the mean of a side but not its median, and the sides run
    // in turns, so both meet the same delays equally often.
    double SecondsPerCall() const;
};

// Runs each side once, in the order of round `round` (each side in each
// place equally often over the rounds), adding each call's time to its side.
// Empty on success, else "<side>: call failed" or "<side>: wrong result" for
// the first side that failed.
std::string RunRound(std::vector<Side> &sides, std::size_t round);

// libcurl as its documentation shows it: a new easy handle, default options,
// the body written to a file with fwrite.
bool LibcurlToFile(const std::string &url, const std::string &path);
// A libcurl write function appending to the std::string at `into`.
std::size_t ToMemory(char *data, std::size_t size, std::size_t count, void *into);

// The body file of url's entry in the cache of the 28 exports.
std::string EntryBody(const std::string &url);
std::string EntryHeader(const std::string &url);

// A 64 MiB GET: HttpDownload_SYNC into the cache ("ours"), libcurl into a
// file ("libcurl": a new easy handle, default options, fwrite) and the
// floor, one GET over a plain socket read 1 MiB at a time into a file
// ("floor").
class GetComparison {
public:
    explicit GetComparison(Served &served);
    std::vector<Side> Sides();
    const std::string out;  // the references' file
    bool Landed(const std::string &path) const;

private:
    Served &served_;
    std::string url_, entry_;
};

// A 304 of a 1 MiB entry: HttpDownload_SYNC with useCache into a buffer of
// 1 MiB + 64 bytes ("ours"), and libcurl with the same If-Modified-Since, the
// answer into memory, then the reference's copy read into memory
// ("libcurl").
class NotModifiedComparison {
public:
    explicit NotModifiedComparison(Served &served);
    // Fetches the entry once and makes the reference's copy with the served
    // file's date; empty on success, else what went wrong.
    std::string Prepare();
    std::vector<Side> Sides();
    std::string url, copy, since;  // since: the If-Modified-Since line

private:
    Served &served_;
    std::vector<char> buffer_;
    std::string memory_;
};

}  // namespace bench::download
