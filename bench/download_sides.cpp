#include "download_sides.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

#include "support/sockets.h"
#include "zelmo.h"

namespace bench::download {
namespace {

std::size_t ToFile(char *data, std::size_t size, std::size_t count, void *file)
{
    return std::fwrite(data, size, count, static_cast<std::FILE *>(file));
}

}  // namespace

std::size_t ToMemory(char *data, std::size_t size, std::size_t count, void *into)
{
    static_cast<std::string *>(into)->append(data, size * count);
    return size * count;
}

bool LibcurlNotModified(const std::string &url, const std::vector<std::string> &lines)
{
    CURL *curl = curl_easy_init();
    curl_slist *headers = nullptr;
    for (const std::string &line : lines) headers = curl_slist_append(headers, line.c_str());
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
    return ok;
}

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

namespace {

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

std::string CachePath(const std::string &url, bool body)
{
    std::vector<char> path(4096);
    unsigned size = static_cast<unsigned>(path.size());
    if (body)
        GetCacheFilePath(url.c_str(), path.data(), &size, nullptr, nullptr);
    else
        GetCacheFilePath(url.c_str(), nullptr, nullptr, path.data(), &size);
    return std::string(path.data(), size);
}

}  // namespace

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

std::string EntryBody(const std::string &url)
{
    return CachePath(url, true);
}

std::string EntryHeader(const std::string &url)
{
    return CachePath(url, false);
}

Served::Served(fs::path fixtureDir) : dir(std::move(fixtureDir))
{
    if (fs::exists(dir / "skip")) {
        skip = ReadAll(dir / "skip");
        return;
    }
    port = std::atoi(ReadAll(dir / "port").c_str());
    if (port <= 0) {
        skip = "no nginx serves " + (dir / "port").string();
        return;
    }
    std::mt19937_64 random(16);
    large.resize(kLarge);
    for (std::size_t i = 0; i < kLarge; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(&large[i], &v, 8);
    }
    small = large.substr(kLarge / 2, kSmall);
    std::ofstream(dir / "root" / "large.bin", std::ios::binary) << large;
    std::ofstream(dir / "root" / "small.bin", std::ios::binary) << small;
    std::error_code ignored;
    fs::create_directories(dir / "root" / "fresh", ignored);
    std::ofstream(dir / "root" / "fresh" / "small.bin", std::ios::binary) << small;
    if (ReadAll(dir / "root" / "large.bin") != large || ReadAll(dir / "root" / "small.bin") != small)
        skip = "cannot write the served files into " + (dir / "root").string();
}

bool ParseAccessLine(const std::string &text, AccessLine &parsed)
{
    const std::size_t open = text.find('"'), close = text.find('"', open == std::string::npos ? open : open + 1);
    if (open == std::string::npos || close == std::string::npos)
        return false;
    AccessLine l;
    std::sscanf(text.c_str(), "%*s %ld %ld", &l.connection, &l.request);
    l.line = text.substr(open + 1, close - open - 1);
    char protocol[32] = "";
    std::sscanf(text.c_str() + close + 1, "%d %ld %31s", &l.status, &l.bytes, protocol);
    l.protocol = protocol;
    parsed = std::move(l);
    return true;
}

std::string Served::Url(const char *name) const
{
    return "http://127.0.0.1:" + std::to_string(port) + "/" + name;
}

std::vector<int> Served::NewStatuses()
{
    const std::string log = ReadAll(dir / "access.log");
    std::vector<int> statuses;
    for (std::size_t at = logSeen_; at < log.size();) {
        const std::size_t end = log.find('\n', at);
        if (end == std::string::npos)
            break;
        // ... "GET /x HTTP/1.1" 304 0 ...
        const std::size_t quote = log.find("\" ", log.find('"', at) + 1);
        statuses.push_back(quote < end ? std::atoi(log.c_str() + quote + 2) : 0);
        at = end + 1;
        logSeen_ = at;
    }
    return statuses;
}

bool Served::Logged304()
{
    std::vector<int> statuses;
    for (int wait = 0; wait < 1000 && statuses.empty(); ++wait) {
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        statuses = NewStatuses();
    }
    return statuses.size() == 1 && statuses[0] == 304;
}

double Side::SecondsPerCall() const
{
    if (seconds.empty())
        return 0.0;
    std::vector<double> sorted = seconds;
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    return *middle;
}

std::string RunRound(std::vector<Side> &sides, std::size_t round)
{
    // The sides' orders in turn: over n! rounds each side runs in each place
    // and right after each other side equally often, so that none always
    // follows the one whose cost spills over (the curl tool's process start,
    // say).
    std::vector<std::size_t> order(sides.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::size_t orders = 1;
    for (std::size_t n = 2; n <= sides.size(); ++n)
        orders *= n;
    for (std::size_t k = round % orders; k > 0; --k)
        std::next_permutation(order.begin(), order.end());
    for (const std::size_t i : order) {
        Side &side = sides[i];
        if (side.prepare)
            side.prepare();
        const auto start = Clock::now();
        const bool ok = side.call();
        side.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (!ok || !side.check())
            return side.name + (ok ? ": wrong result" : ": call failed");
    }
    return {};
}

GetComparison::GetComparison(Served &served)
    : out((served.dir / "out.bin").string()), served_(served), url_(served.Url("large.bin")), entry_(EntryBody(url_))
{
}

bool GetComparison::Landed(const std::string &path) const
{
    return ReadAll(path) == served_.large;
}

std::vector<Side> GetComparison::Sides()
{
    return {
        {"ours",
         [this] {
             HttpResponseBuffer response{};
             return HttpDownload_SYNC(url_.c_str(), &response, false, 60, nullptr, nullptr);
         },
         [this] { return Landed(entry_); }},
        {"libcurl", [this] { return LibcurlToFile(url_, out); }, [this] { return Landed(out); }},
        {"floor", [this] { return SocketToFile(served_.port, out); }, [this] { return Landed(out); }},
    };
}

NotModifiedComparison::NotModifiedComparison(Served &served)
    : url(served.Url("small.bin")), copy((served.dir / "copy.bin").string()), served_(served), buffer_(kSmall + 64)
{
}

std::string NotModifiedComparison::Prepare()
{
    HttpResponseBuffer first{};
    if (!HttpDownload_SYNC(url.c_str(), &first, false, 60, nullptr, nullptr))
        return "first download";
    std::ofstream(copy, std::ios::binary) << served_.small;
    std::error_code error;
    fs::last_write_time(copy, fs::last_write_time(served_.dir / "root" / "small.bin"), error);
    if (error)
        return "cannot date the reference's copy: " + error.message();
    // The date as the entry's header records it.
    const std::string header = ReadAll(EntryHeader(url));
    const std::size_t field = header.find("Last-Modified:");
    if (field == std::string::npos)
        return "no Last-Modified";
    since = "If-Modified-Since:" + header.substr(field + 14, header.find("\r\n", field) - field - 14);
    served_.NewStatuses();
    return {};
}

std::vector<Side> NotModifiedComparison::Sides()
{
    return {
        {"ours",
         [this] {
             HttpResponseBuffer response{};
             response.buffer = buffer_.data();
             response.capacity = static_cast<unsigned>(buffer_.size());
             return HttpDownload_SYNC(url.c_str(), &response, true, 60, nullptr, nullptr) &&
                    response.length == kSmall;
         },
         [this] {
             return served_.Logged304() && std::memcmp(buffer_.data(), served_.small.data(), kSmall) == 0;
         }},
        {"libcurl",
         [this] {
             const bool ok = LibcurlNotModified(url, {since});
             memory_ = ReadAll(copy);
             return ok;
         },
         [this] { return served_.Logged304() && memory_ == served_.small; }},
    };
}

}  // namespace bench::download
