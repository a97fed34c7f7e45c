// zelmo_fetch over a distant network: nginx on 127.0.0.1 (started with the
// test suite's fixture script) reached through the latency relay
// (relay.h) with a 25 ms round trip, 100 resources of 4 KiB on one host.
//
// Before any figure counts, the relay is checked with the curl tool: a new
// http connection and one GET must take 2 round trips, https with TLS 1.3
// 3, each within 20 %; otherwise the run fails and the network rows skip.
// Each row is held to its floor, measured in the same rounds as its sides:
// GETs one after another on a plain socket kept open through the relay, as
// many as the round trips the row cannot do without.
//
// - https, 100 revalidations one after another (304s): zelmo_fetch against
//   libcurl with one easy handle reused (keep-alive) sending the same
//   conditional GETs; and each call against one round trip.
// - https, the 100 revalidations at once: zelmo_fetch_many with no
//   connection open (3 round trips: TCP, TLS, the requests multiplexed on
//   HTTP/2) and with the pool's connection open (at most 2), against libcurl
//   multi multiplexing them on HTTP/2.
// - https, the first download of the 100 into an empty cache: the same.
// These rows time the network, not the disk: the cache directories are on
// the RAM file system /dev/shm where there is one (the notes name it). On
// the build directory's ext4 of a 2-core VM the files a batch creates (400
// for a first download, 200 for 100 refreshed headers) cost from 0.3 to 10
// round trips more, by how many files were deleted shortly before (ext4
// skips recently freed inodes): a cost of the disk, which the libcurl side,
// keeping its answers in memory, never pays (docs/fetch.md).
// - http, 100 revalidations one after another against one round trip each,
//   and at once, each on a connection of its own (2 round trips: TCP, the
//   request), against libcurl multi doing the same.
//
// Every call is checked outside the timing: error 0, the outcome, the body
// (its length and bytes), and nginx's access log (every request logged
// once, with the status expected: 304 or 200).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "download_sides.h"
#include "ratio.h"
#include "relay.h"
#include "support/sockets.h"
#include "zelmo_fetch.h"

extern char **environ;

namespace {

// Where the rows keep their cache directories: on /dev/shm where there is
// one, removed when the program ends; else `fallback`.
std::filesystem::path CacheRoot(const std::filesystem::path &fallback)
{
    struct Root {
        std::filesystem::path path;
        ~Root()
        {
            std::error_code ignored;
            if (!path.empty())
                std::filesystem::remove_all(path, ignored);
        }
    };
    static Root root;
    std::error_code ignored;
    if (root.path.empty() && std::filesystem::is_directory("/dev/shm", ignored))
        root.path = std::filesystem::path("/dev/shm") / ("zelmo-bench-network-" + std::to_string(::getpid()));
    return root.path.empty() ? fallback : root.path;
}

using namespace bench::download;
using namespace std::chrono_literals;

constexpr std::chrono::microseconds kRoundTrip = 25ms;
constexpr int kCount = 100;
constexpr std::size_t kBodySize = 4096;
// The self-check's tolerance around 2 and 3 round trips.
constexpr double kTolerance = 0.20;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Nominal()
{
    return std::chrono::duration<double>(kRoundTrip).count();
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Runs a program; its standard output, and its exit status in `status`
// (-1 when it could not run or did not exit). Without `capture`, its output
// goes to /dev/null: a daemon it starts would hold the pipe open.
std::string Output(const std::vector<std::string> &args, int &status, bool capture = true)
{
    status = -1;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (capture)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const bool spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int wstatus = 0;
    if (spawned && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
        status = WEXITSTATUS(wstatus);
    return out;
}

using LogLine = AccessLine;

// What a batch of requests left in the access log.
struct Logged {
    std::string fault;  // empty when every request was logged as expected
    int connections = 0;     // distinct connections the requests came on
    int newConnections = 0;  // of those, connections opened for them
    std::string protocol;    // of the last request
};

// nginx with the 100 resources, and a relay in front of each of its ports.
class Network {
public:
    Network() { Start(); }
    ~Network()
    {
        http.reset();
        https.reset();
        int status;
        Output({ZELMO_NGINX_FIXTURE, "stop", dir.string()}, status, false);
    }

    fs::path dir = fs::path(ZELMO_BENCH_BINARY_DIR) / "bench-nginx-network";
    std::string skip;  // why the rows cannot run; empty when they can
    std::string ca;    // the fixture's CA, for both clients
    std::vector<std::string> bodies;
    std::vector<std::string> etags, lastModified;
    std::unique_ptr<bench::LatencyRelay> http, https;
    // The self-check's figures, in seconds.
    double curlHttp = 0, curlHttps = 0, roundTrip = 0, newConnection = 0;

    std::string Url(bool secure, int i) const
    {
        return std::string(secure ? "https" : "http") + "://127.0.0.1:" +
               std::to_string(secure ? https->port() : http->port()) + "/net/" + std::to_string(i) + ".bin";
    }
    std::string Path(int i) const { return "/net/" + std::to_string(i) + ".bin"; }

    // The requests logged since the last look.
    std::vector<LogLine> NewLines()
    {
        const std::string log = ReadAll(dir / "access.log");
        std::vector<LogLine> lines;
        while (logSeen_ < log.size()) {
            const std::size_t end = log.find('\n', logSeen_);
            if (end == std::string::npos)
                break;
            const std::string text = log.substr(logSeen_, end - logSeen_);
            logSeen_ = end + 1;
            LogLine l;
            if (ParseAccessLine(text, l))
                lines.push_back(std::move(l));
        }
        return lines;
    }

    // Waits (up to 2 s: nginx logs a request once its answer has left) for
    // the log of one batch: each of the 100 paths requested exactly once,
    // answered with `status`.
    Logged Batch(int status)
    {
        Logged logged;
        std::vector<LogLine> lines;
        for (int wait = 0; wait < 2000 && lines.size() < static_cast<std::size_t>(kCount); ++wait) {
            if (wait > 0)
                std::this_thread::sleep_for(1ms);
            for (LogLine &l : NewLines()) lines.push_back(std::move(l));
        }
        std::set<std::string> paths;
        std::set<long> connections;
        for (const LogLine &l : lines) {
            if (l.status != status && logged.fault.empty())
                logged.fault = "nginx answered " + std::to_string(l.status) + " to \"" + l.line + "\", not " +
                               std::to_string(status);
            paths.insert(l.line.substr(0, l.line.rfind(' ')));
            connections.insert(l.connection);
            logged.newConnections += l.request == 1;
            logged.protocol = l.protocol;
        }
        logged.connections = static_cast<int>(connections.size());
        if (logged.fault.empty() && (lines.size() != static_cast<std::size_t>(kCount) ||
                                     paths.size() != static_cast<std::size_t>(kCount)))
            logged.fault = "nginx logged " + std::to_string(lines.size()) + " requests for " +
                           std::to_string(paths.size()) + " paths, not " + std::to_string(kCount);
        return logged;
    }

    // Lines for a conditional GET of resource i, as zelmo_fetch sends them.
    std::vector<std::string> Conditions(int i) const
    {
        return {"If-None-Match: " + etags[static_cast<std::size_t>(i)],
                "If-Modified-Since: " + lastModified[static_cast<std::size_t>(i)]};
    }

private:
    void Start();
    std::string Validators();
    std::string SelfCheck();
    std::size_t logSeen_ = 0;
};

// A libcurl header function keeping the ETag and Last-Modified values.
struct Validator {
    std::string etag, lastModified;
};

std::size_t KeepValidators(char *data, std::size_t size, std::size_t count, void *into)
{
    auto *v = static_cast<Validator *>(into);
    const std::string line(data, size * count);
    const auto value = [&](const char *name) {
        const std::size_t n = std::strlen(name);
        if (line.size() <= n || strncasecmp(line.c_str(), name, n) != 0)
            return std::string();
        const std::size_t from = line.find_first_not_of(' ', n);
        const std::size_t to = line.find_last_not_of("\r\n");
        return from == std::string::npos || to < from ? std::string() : line.substr(from, to - from + 1);
    };
    if (std::string e = value("ETag:"); !e.empty())
        v->etag = e;
    if (std::string m = value("Last-Modified:"); !m.empty())
        v->lastModified = m;
    return size * count;
}

void Network::Start()
{
    int status;
    Output({ZELMO_NGINX_FIXTURE, "start", dir.string()}, status, false);
    if (status != 0) {
        skip = "scripts/nginx-fixture did not run";
        return;
    }
    if (fs::exists(dir / "skip")) {
        skip = ReadAll(dir / "skip");
        return;
    }
    if (fs::exists(dir / "https-skip")) {
        skip = "no https: " + ReadAll(dir / "https-skip");
        return;
    }
    const int httpPort = std::atoi(ReadAll(dir / "port").c_str());
    const int httpsPort = std::atoi(ReadAll(dir / "https-port").c_str());
    ca = (dir / "tls" / "ca.pem").string();
    std::mt19937_64 random(25);
    std::error_code ignored;
    fs::create_directories(dir / "root" / "net", ignored);
    for (int i = 0; i < kCount; ++i) {
        std::string body(kBodySize, '\0');
        for (char &c : body) c = static_cast<char>(random());
        std::ofstream(dir / "root" / "net" / (std::to_string(i) + ".bin"), std::ios::binary) << body;
        bodies.push_back(std::move(body));
    }
    http = std::make_unique<bench::LatencyRelay>(httpPort, kRoundTrip);
    https = std::make_unique<bench::LatencyRelay>(httpsPort, kRoundTrip);
    if (http->port() == 0 || https->port() == 0) {
        skip = http->port() == 0 ? http->error() : https->error();
        return;
    }
    if (skip = Validators(); !skip.empty())
        return;
    if (skip = SelfCheck(); !skip.empty()) {
        bench::Fail(skip);
        skip = "the relay's self-check failed: " + skip;
        return;
    }
    NewLines();
}

// Each resource's validators, as nginx sends them (asked without the relay).
std::string Network::Validators()
{
    const std::string direct = "http://127.0.0.1:" + std::to_string(std::atoi(ReadAll(dir / "port").c_str()));
    for (int i = 0; i < kCount; ++i) {
        Validator v;
        std::string body;
        CURL *curl = curl_easy_init();
        const std::string url = direct + Path(i);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &KeepValidators);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &v);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ToMemory);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        const CURLcode code = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        if (code != CURLE_OK || body != bodies[static_cast<std::size_t>(i)])
            return "nginx does not serve " + url;
        if (v.etag.empty() || v.lastModified.empty())
            return "nginx sends no ETag or Last-Modified for " + url;
        etags.push_back(v.etag);
        lastModified.push_back(v.lastModified);
    }
    return {};
}

// One GET of /net/0.bin on an open plain socket, its answer read whole.
bool Exchange(zelmo::test::net::Socket s)
{
    using namespace zelmo::test::net;
    static const std::string request = "GET /net/0.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (!SendAll(s, request.data(), request.size()))
        return false;
    std::string answer;
    char buffer[16384];
    while (answer.find("\r\n\r\n") == std::string::npos || answer.size() < answer.find("\r\n\r\n") + 4 + kBodySize) {
        if (!WaitReadable(s, 5000))
            return false;
        const long n = Receive(s, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    return answer.compare(0, 12, "HTTP/1.1 200") == 0;
}

// The relay against what a network with its round trip costs: the curl
// tool's new connection and GET, over http and over https with TLS 1.3; and
// the round trip of one GET on an open connection over a plain socket.
std::string Network::SelfCheck()
{
    std::vector<double> plain, secure;
    for (int k = 0; k < 5; ++k) {
        int status;
        const std::string a = Output({"curl", "-s", "-f", "-o", "/dev/null", "-w", "%{time_total}", Url(false, k)},
                                     status);
        if (status != 0)
            return "the curl tool failed (status " + std::to_string(status) + ") on " + Url(false, k);
        const std::string b = Output({"curl", "-s", "-f", "-o", "/dev/null", "--tlsv1.3", "--cacert", ca, "-w",
                                      "%{time_total}", Url(true, k)},
                                     status);
        if (status != 0)
            return "the curl tool failed (status " + std::to_string(status) + ") on " + Url(true, k);
        plain.push_back(std::atof(a.c_str()));
        secure.push_back(std::atof(b.c_str()));
    }
    curlHttp = Median(plain);
    curlHttps = Median(secure);

    // A plain socket: a new connection and a GET, then GETs on it.
    using namespace zelmo::test::net;
    std::vector<double> trips;
    const auto exchange = &Exchange;
    const Socket s = ConnectLoopback(static_cast<std::uint16_t>(http->port()));
    auto start = Clock::now();
    bool ok = s != kNoSocket && exchange(s);
    newConnection = Seconds(Clock::now() - start);
    for (int k = 0; ok && k < 10; ++k) {
        start = Clock::now();
        ok = exchange(s);
        trips.push_back(Seconds(Clock::now() - start));
    }
    Close(s);
    if (!ok)
        return "a GET over a plain socket through the relay failed";
    roundTrip = Median(trips);

    const double rtt = Nominal();
    char text[320];
    std::snprintf(text, sizeof text,
                  "relay at %.0f ms: curl http new connection + GET %.1f ms (%.2f RTT), https TLS 1.3 %.1f ms "
                  "(%.2f RTT); plain socket: new connection + GET %.1f ms, GET on it %.2f ms",
                  rtt * 1e3, curlHttp * 1e3, curlHttp / rtt, curlHttps * 1e3, curlHttps / rtt, newConnection * 1e3,
                  roundTrip * 1e3);
    std::printf("%s\n", text);
    bench::Note(text);
    const auto off = [](double measured, double expected) {
        return std::fabs(measured / expected - 1.0) > kTolerance;
    };
    if (off(curlHttp, 2 * rtt) || off(curlHttps, 3 * rtt) || off(roundTrip, rtt) || off(newConnection, 2 * rtt))
        return std::string("the relay does not cost what a network with its round trip costs (") + text + ")";
    return {};
}

Network &Net()
{
    static Network network;
    return network;
}

bool Fails(benchmark::State &state, const std::string &what)
{
    static std::string message;  // must outlive the run
    message = what;
    state.SkipWithError(message.c_str());
    return true;
}

// The network, or the reason the row skips.
Network *Usable(benchmark::State &state)
{
    Network &net = Net();
    if (!net.skip.empty()) {
        Fails(state, net.skip);
        return nullptr;
    }
    return &net;
}

// Runs the sides round after round (each round in another order), each
// call checked; publishes each side's median seconds as "<name>_s" and,
// where `calls` gives a side more than one call, its seconds per call as
// "<name>call_s".
void RunSides(benchmark::State &state, std::vector<Side> &sides, const std::vector<int> &calls = {})
{
    std::size_t round = 0;
    for (auto _ : state) {
        if (const std::string failed = RunRound(sides, round++); !failed.empty()) {
            Fails(state, failed);
            return;
        }
    }
    for (std::size_t i = 0; i < sides.size(); ++i) {
        state.counters[sides[i].name + "_s"] = sides[i].SecondsPerCall();
        if (i < calls.size() && calls[i] > 1)
            state.counters[sides[i].name + "call_s"] = sides[i].SecondsPerCall() / calls[i];
    }
}

// --- zelmo_fetch's sides ---

// A sink per resource, keeping its body.
int ZELMO_API Keep(void *data, const void *bytes, std::size_t length)
{
    static_cast<std::string *>(data)->append(static_cast<const char *>(bytes), length);
    return 0;
}

struct Ours {
    Ours(Network &n, bool s, fs::path cache) : net(n), secure(s), cacheDir(cache.string()) {}
    Network &net;
    bool secure;
    std::string cacheDir;
    std::vector<std::string> sinks = std::vector<std::string>(kCount);
    std::vector<ZelmoFetchItem> items = std::vector<ZelmoFetchItem>(kCount);
    std::vector<std::string> urls;
    std::string fault;
    Logged logged;
    std::uint64_t opened = 0;  // connections the last call opened through the relay

    bench::LatencyRelay &Relay() const { return secure ? *net.https : *net.http; }
    ZelmoFetchOptions Options() const
    {
        ZelmoFetchOptions options;
        zelmo_fetch_init(&options, nullptr);
        options.cache_dir = cacheDir.c_str();
        options.cache_mode = ZELMO_CACHE_REVALIDATE;
        options.timeout_ms = 30000;
        if (secure)
            options.ca_bundle = net.ca.c_str();
        return options;
    }
    void Clear()
    {
        urls.clear();
        for (int i = 0; i < kCount; ++i) urls.push_back(net.Url(secure, i));
        for (std::string &s : sinks) s.clear();
        zelmo_fetch_items_init(items.data(), items.size());
    }
    // The 100 one after another.
    bool Sequential()
    {
        Clear();
        const ZelmoFetchOptions base = Options();
        for (int i = 0; i < kCount; ++i) {
            ZelmoFetchOptions options = base;
            options.sink = &Keep;
            options.sink_data = &sinks[static_cast<std::size_t>(i)];
            if (zelmo_fetch(urls[static_cast<std::size_t>(i)].c_str(), &options,
                            &items[static_cast<std::size_t>(i)].result) != ZELMO_FETCH_OK)
                return false;
        }
        return true;
    }
    // The 100 in one batch.
    bool Many()
    {
        Clear();
        for (int i = 0; i < kCount; ++i) {
            ZelmoFetchItem &item = items[static_cast<std::size_t>(i)];
            item.url = urls[static_cast<std::size_t>(i)].c_str();
            item.sink = &Keep;
            item.sink_data = &sinks[static_cast<std::size_t>(i)];
        }
        const ZelmoFetchOptions options = Options();
        const std::uint64_t before = Relay().accepted();
        const bool ok = zelmo_fetch_many(items.data(), items.size(), &options) == ZELMO_FETCH_OK;
        opened = Relay().accepted() - before;
        return ok;
    }
    // Every result: no error, the outcome, the body whole; and nginx's log
    // with every request answered `status`.
    bool Check(int outcome, int status)
    {
        for (int i = 0; i < kCount; ++i) {
            const ZelmoFetchResult &r = items[static_cast<std::size_t>(i)].result;
            const std::string &body = net.bodies[static_cast<std::size_t>(i)];
            if (r.error != 0 || r.outcome != outcome || r.bytes_served != static_cast<std::int64_t>(body.size()) ||
                sinks[static_cast<std::size_t>(i)] != body) {
                fault = urls[static_cast<std::size_t>(i)] + ": error " + std::to_string(r.error) + " (" +
                        r.error_text + "), outcome " + zelmo_fetch_outcome_name(r.outcome) + ", " +
                        std::to_string(r.bytes_served) + " bytes";
                return false;
            }
        }
        logged = net.Batch(status);
        fault = logged.fault;
        return fault.empty();
    }
};

// --- libcurl's sides ---

struct Reference {
    Reference(Network &n, bool s) : net(n), secure(s) {}
    ~Reference()
    {
        if (easy != nullptr)
            curl_easy_cleanup(easy);
        if (multi != nullptr)
            curl_multi_cleanup(multi);
    }
    Network &net;
    bool secure;
    CURL *easy = nullptr;    // reused from call to call
    CURLM *multi = nullptr;  // reused, or new for each batch
    std::vector<std::string> bodies = std::vector<std::string>(kCount);
    std::vector<long> codes = std::vector<long>(kCount);
    std::string fault;

    void Setup(CURL *curl, int i, bool conditional, curl_slist *&headers)
    {
        const std::string url = net.Url(secure, i);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        if (secure)
            curl_easy_setopt(curl, CURLOPT_CAINFO, net.ca.c_str());
        headers = nullptr;
        if (conditional)
            for (const std::string &line : net.Conditions(i)) headers = curl_slist_append(headers, line.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ToMemory);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bodies[static_cast<std::size_t>(i)]);
    }
    // The 100 conditional GETs one after another on one easy handle.
    bool Sequential()
    {
        if (easy == nullptr)
            easy = curl_easy_init();
        for (int i = 0; i < kCount; ++i) {
            bodies[static_cast<std::size_t>(i)].clear();
            curl_slist *headers;
            Setup(easy, i, true, headers);
            const CURLcode code = curl_easy_perform(easy);
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &codes[static_cast<std::size_t>(i)]);
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
            curl_slist_free_all(headers);
            if (code != CURLE_OK)
                return false;
        }
        return true;
    }
    // A new multi handle: no connection open.
    void Disconnect()
    {
        if (multi != nullptr)
            curl_multi_cleanup(multi);
        multi = nullptr;
    }
    // The 100 at once on the multi handle: on HTTP/2, each transfer waits
    // for the connection to multiplex on.
    bool Many(bool conditional)
    {
        if (multi == nullptr)
            multi = curl_multi_init();
        std::vector<CURL *> handles;
        std::vector<curl_slist *> headers(kCount);
        for (int i = 0; i < kCount; ++i) {
            bodies[static_cast<std::size_t>(i)].clear();
            codes[static_cast<std::size_t>(i)] = 0;
            CURL *curl = curl_easy_init();
            Setup(curl, i, conditional, headers[static_cast<std::size_t>(i)]);
            if (secure)
                curl_easy_setopt(curl, CURLOPT_PIPEWAIT, 1L);
            curl_easy_setopt(curl, CURLOPT_PRIVATE, reinterpret_cast<void *>(static_cast<std::intptr_t>(i)));
            curl_multi_add_handle(multi, curl);
            handles.push_back(curl);
        }
        int running = 1;
        bool ok = true;
        while (running > 0) {
            if (curl_multi_perform(multi, &running) != CURLM_OK ||
                (running > 0 && curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK)) {
                ok = false;
                break;
            }
            int left;
            while (CURLMsg *m = curl_multi_info_read(multi, &left)) {
                if (m->msg != CURLMSG_DONE)
                    continue;
                void *p;
                curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &p);
                const auto i = static_cast<std::size_t>(reinterpret_cast<std::intptr_t>(p));
                curl_easy_getinfo(m->easy_handle, CURLINFO_RESPONSE_CODE, &codes[i]);
                ok = ok && m->data.result == CURLE_OK;
            }
        }
        for (std::size_t i = 0; i < handles.size(); ++i) {
            curl_multi_remove_handle(multi, handles[i]);
            curl_easy_cleanup(handles[i]);
            curl_slist_free_all(headers[i]);
        }
        return ok;
    }
    // Every answer `status`, with the body (for 200) whole; and nginx's log.
    bool Check(int status)
    {
        for (int i = 0; i < kCount; ++i) {
            const std::string expected = status == 200 ? net.bodies[static_cast<std::size_t>(i)] : std::string();
            if (codes[static_cast<std::size_t>(i)] != status || bodies[static_cast<std::size_t>(i)] != expected) {
                fault = net.Url(secure, i) + ": " + std::to_string(codes[static_cast<std::size_t>(i)]) + ", " +
                        std::to_string(bodies[static_cast<std::size_t>(i)].size()) + " bytes";
                return false;
            }
        }
        fault = net.Batch(status).fault;
        return fault.empty();
    }
};

// The floor: GETs one after another on a plain socket kept open through
// the http relay, each one round trip; measured in the same rounds as the
// sides it is the floor of, so that it meets the same load.
struct Floor {
    Floor(Network &n, int trips) : net(n), exchanges(trips)
    {
        socket = zelmo::test::net::ConnectLoopback(static_cast<std::uint16_t>(net.http->port()));
        // The connection's own round trip paid here.
        if (socket == zelmo::test::net::kNoSocket || !Exchange(socket) || !Logged(1))
            fault = "the floor's connection through the relay failed";
    }
    ~Floor() { zelmo::test::net::Close(socket); }
    Network &net;
    int exchanges;
    zelmo::test::net::Socket socket = zelmo::test::net::kNoSocket;
    std::string fault;

    bool Call()
    {
        for (int i = 0; i < exchanges; ++i)
            if (!Exchange(socket))
                return false;
        return true;
    }
    // nginx logged `count` 200s of /net/0.bin, all on one connection.
    bool Logged(int count)
    {
        std::vector<LogLine> lines;
        for (int wait = 0; wait < 2000 && lines.size() < static_cast<std::size_t>(count); ++wait) {
            if (wait > 0)
                std::this_thread::sleep_for(1ms);
            for (LogLine &l : net.NewLines()) lines.push_back(std::move(l));
        }
        bool ok = lines.size() == static_cast<std::size_t>(count);
        for (const LogLine &l : lines)
            ok = ok && l.status == 200 && l.line == "GET /net/0.bin HTTP/1.1" && l.connection == lines[0].connection;
        if (!ok)
            fault = "nginx did not log the floor's " + std::to_string(count) + " GETs on one connection";
        return ok;
    }
    Side AsSide()
    {
        return {"floor", [this] { return Call(); }, [this] { return Logged(exchanges); }};
    }
};

// Stores the 100 in `cache` (so that later fetches revalidate them).
std::string Store(Network &net, bool secure, const fs::path &cache)
{
    Ours first(net, secure, cache);
    if (!first.Many())
        return "the first fetch of the 100 failed: " + std::string(first.items[0].result.error_text);
    // Stored by an earlier row already: revalidated.
    const bool stored = first.items[0].result.outcome == ZELMO_FETCH_REVALIDATED;
    if (!first.Check(stored ? ZELMO_FETCH_REVALIDATED : ZELMO_FETCH_REPLACED, stored ? 304 : 200))
        return "the first fetch of the 100: " + first.fault;
    return {};
}

// A side's median call in round trips, with its fastest and slowest.
std::string InRoundTrips(const Side &side, double rtt, int calls = 1)
{
    const auto [low, high] = std::minmax_element(side.seconds.begin(), side.seconds.end());
    if (low == side.seconds.end())
        return "-";
    char text[96];
    std::snprintf(text, sizeof text, "%.2f RTT (%.2f to %.2f)", side.SecondsPerCall() / calls / rtt,
                  *low / calls / rtt, *high / calls / rtt);
    return text;
}

const char *Scheme(bool secure)
{
    return secure ? "https" : "http";
}

std::string Text(const char *format, double a, double b = 0, double c = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// The relay's self-check: the curl tool's new connection and GET over http
// and https, and one GET on an open plain socket.
void BM_NetworkRelay(benchmark::State &state)
{
    Network *net = Usable(state);
    if (net == nullptr)
        return;
    for (auto _ : state) {
    }
    state.counters["curlhttp_s"] = net->curlHttp;
    state.counters["curlhttps_s"] = net->curlHttps;
    state.counters["roundtrip_s"] = net->roundTrip;
}

// After the rounds: the first fault found, in detail, when a side failed.
bool Failed(benchmark::State &state, const Ours &ours, const Reference &libcurl, const Floor &floor)
{
    if (!state.error_occurred())
        return false;
    if (!ours.fault.empty())
        return Fails(state, "ours: " + ours.fault);
    if (!libcurl.fault.empty())
        return Fails(state, "libcurl: " + libcurl.fault);
    if (!floor.fault.empty())
        return Fails(state, "floor: " + floor.fault);
    return true;
}

// What the batches of ours left in the log, for the notes.
std::string Connections(const Ours &ours)
{
    return "ours' last batch came on " + std::to_string(ours.logged.connections) + " connection(s), " +
           std::to_string(ours.logged.newConnections) + " new, " + ours.logged.protocol + ", and opened " +
           std::to_string(ours.opened) + " through the relay";
}

// 100 revalidations one after another: zelmo_fetch against one libcurl
// easy handle kept from call to call (https: state.range(0) == 1), and the
// floor: 10 GETs one after another on an open plain socket.
void BM_NetworkSequential(benchmark::State &state)
{
    Network *net = Usable(state);
    if (net == nullptr)
        return;
    const bool secure = state.range(0) != 0;
    const fs::path cache = CacheRoot(net->dir) / "cache";
    if (const std::string failed = Store(*net, secure, cache); !failed.empty() && Fails(state, failed))
        return;
    Ours ours(*net, secure, cache);
    Reference libcurl(*net, secure);
    constexpr int kFloorTrips = 10;
    Floor floor(*net, kFloorTrips);
    if (!floor.fault.empty() && Fails(state, floor.fault))
        return;
    // Both sides' connections opened before the timing.
    if ((!libcurl.Sequential() || !libcurl.Check(304)) && Fails(state, "libcurl: " + libcurl.fault))
        return;
    std::vector<Side> sides = {
        {"ours", [&] { return ours.Sequential(); }, [&] { return ours.Check(ZELMO_FETCH_REVALIDATED, 304); }},
        {"libcurl", [&] { return libcurl.Sequential(); }, [&] { return libcurl.Check(304); }},
        floor.AsSide(),
    };
    RunSides(state, sides, {kCount, kCount, kFloorTrips});
    if (Failed(state, ours, libcurl, floor))
        return;
    const double rtt = sides[2].SecondsPerCall() / kFloorTrips;
    bench::Note(std::string(Scheme(secure)) + " sequential 304s, per call: zelmo_fetch " +
                InRoundTrips(sides[0], rtt, kCount) + ", libcurl one easy handle " +
                InRoundTrips(sides[1], rtt, kCount) + Text(" (RTT %.2f ms); ", rtt * 1e3) + Connections(ours));
}

// The 100 at once over https: zelmo_fetch_many against libcurl multi on
// HTTP/2, and the floor of 3 round trips (no connection open: TCP, TLS 1.3,
// the requests) or 2. state.range(0): 1 revalidations, 0 the first
// download into an empty cache; state.range(1): 1 with the connection
// already open, 0 with none.
void BM_NetworkManyHttps(benchmark::State &state)
{
    Network *net = Usable(state);
    if (net == nullptr)
        return;
    const bool revalidate = state.range(0) != 0, connected = state.range(1) != 0;
    const fs::path cache = CacheRoot(net->dir) / (revalidate ? "cache" : "cache-first");
    if (revalidate) {
        if (const std::string failed = Store(*net, true, cache); !failed.empty() && Fails(state, failed))
            return;
    }
    Ours ours(*net, true, cache);
    Reference libcurl(*net, true);
    const int floorTrips = connected ? 2 : 3;
    Floor floor(*net, floorTrips);
    if (!floor.fault.empty() && Fails(state, floor.fault))
        return;
    const int outcome = revalidate ? ZELMO_FETCH_REVALIDATED : ZELMO_FETCH_REPLACED;
    const int status = revalidate ? 304 : 200;
    std::vector<Side> sides = {
        {"ours", [&] { return ours.Many(); }, [&] { return ours.Check(outcome, status); }},
        {"libcurl", [&] { return libcurl.Many(revalidate); }, [&] { return libcurl.Check(status); }},
        floor.AsSide(),
    };
    // Each first download goes into an empty directory of its own; they are
    // all removed after the rounds. Removing the last round's 400 files just
    // before the next would time ext4's search past recently freed inodes,
    // a cost of this loop, not of a first download.
    int round = 0;
    const fs::path firstBase = CacheRoot(net->dir) / "first";
    sides[0].prepare = [&] {
        if (!revalidate)
            ours.cacheDir = (firstBase / std::to_string(round++)).string();
        if (!connected)
            zelmo_fetch_close_idle();
    };
    sides[1].prepare = [&] {
        if (!connected)
            libcurl.Disconnect();
    };
    // With the connection open: one untimed round opens it.
    if (connected)
        for (std::size_t i = 0; i < 2; ++i) {
            sides[i].prepare();
            if (!sides[i].call() || !sides[i].check()) {
                Fails(state, sides[i].name + ": " + (i == 0 ? ours.fault : libcurl.fault));
                return;
            }
        }
    RunSides(state, sides);
    if (Failed(state, ours, libcurl, floor))
        return;
    const double rtt = sides[2].SecondsPerCall() / floorTrips;
    bench::Note(std::string("https ") + (revalidate ? "100 revalidations" : "first download of 100") +
                (connected ? ", connection open: " : ", no connection open: ") + "zelmo_fetch_many " +
                InRoundTrips(sides[0], rtt) + ", libcurl multi " + InRoundTrips(sides[1], rtt) +
                Text(" (RTT %.2f ms); ", rtt * 1e3) + Connections(ours) +
                "; cache in " + CacheRoot(net->dir).parent_path().string());
    if (!revalidate) {
        std::error_code ignored;
        fs::remove_all(firstBase, ignored);
    }
}

// 100 revalidations at once over http, no connection open: zelmo_fetch_many
// against libcurl multi, each on HTTP/1.1 connections of their own, and the
// floor of 2 round trips (TCP, the requests).
void BM_NetworkManyHttp(benchmark::State &state)
{
    Network *net = Usable(state);
    if (net == nullptr)
        return;
    const fs::path cache = CacheRoot(net->dir) / "cache";
    if (const std::string failed = Store(*net, false, cache); !failed.empty() && Fails(state, failed))
        return;
    Ours ours(*net, false, cache);
    Reference libcurl(*net, false);
    Floor floor(*net, 2);
    if (!floor.fault.empty() && Fails(state, floor.fault))
        return;
    std::vector<Side> sides = {
        {"ours", [&] { return ours.Many(); }, [&] { return ours.Check(ZELMO_FETCH_REVALIDATED, 304); }},
        {"libcurl", [&] { return libcurl.Many(true); }, [&] { return libcurl.Check(304); }},
        floor.AsSide(),
    };
    sides[0].prepare = [] { zelmo_fetch_close_idle(); };
    sides[1].prepare = [&] { libcurl.Disconnect(); };
    RunSides(state, sides);
    if (Failed(state, ours, libcurl, floor))
        return;
    const double rtt = sides[2].SecondsPerCall() / 2;
    bench::Note("http 100 revalidations, no connection open: zelmo_fetch_many " + InRoundTrips(sides[0], rtt) +
                ", libcurl multi " + InRoundTrips(sides[1], rtt) + Text(" (RTT %.2f ms); ", rtt * 1e3) +
                Connections(ours));
}

// A text of `size` bytes, lines of words drawn at random from a small
// vocabulary: it codes about as well as a log or a page of markup.
std::string Prose(std::size_t size)
{
    static const char *const kWords[] = {"fetch", "cache", "entry", "answer", "header", "body", "stored",
                                         "served", "fresh", "stale", "request", "server", "length", "value",
                                         "the", "a", "of", "to", "and", "with", "on", "1024", "200", "304"};
    std::mt19937_64 random(7);
    std::string text;
    while (text.size() < size) {
        const int words = 4 + static_cast<int>(random() % 12);
        for (int w = 0; w < words; ++w) {
            text += kWords[random() % (sizeof kWords / sizeof kWords[0])];
            text += w + 1 < words ? ' ' : '\n';
        }
    }
    text.resize(size);
    return text;
}

// A 1 MiB text fetched whole (network-only) over http on an open
// connection, with ZELMO_FETCH_COMPRESSION (nginx gzips it, level 1) and
// without, through a relay of 25 ms round trip and, where state.range(0) is
// not 0, a link of that many Mbit/s; each call checked: the whole text
// served, nothing coded left in the entry.
void BM_NetworkCompression(benchmark::State &state)
{
    Network *net = Usable(state);
    if (net == nullptr)
        return;
    constexpr std::size_t kSize = 1u << 20;
    static const std::string text = Prose(kSize);
    std::error_code ignored;
    fs::create_directories(net->dir / "root" / "text", ignored);
    std::ofstream(net->dir / "root" / "text" / "1m.txt", std::ios::binary | std::ios::trunc) << text;
    const std::uint64_t rate = static_cast<std::uint64_t>(state.range(0)) * 1000000 / 8;
    std::unique_ptr<bench::LatencyRelay> own;
    if (rate != 0) {
        own = std::make_unique<bench::LatencyRelay>(std::atoi(ReadAll(net->dir / "port").c_str()), kRoundTrip, rate);
        if (own->port() == 0 && Fails(state, own->error()))
            return;
    }
    bench::LatencyRelay &relay = own ? *own : *net->http;
    const std::string url = "http://127.0.0.1:" + std::to_string(relay.port()) + "/text/1m.txt";
    struct Call {
        std::string cache, body, fault;
        ZelmoFetchResult result{};
    };
    Call plain, coded;
    plain.cache = (net->dir / "cache-text-plain").string();
    coded.cache = (net->dir / "cache-text-gzip").string();
    const auto fetch = [&](Call &c, bool compression) {
        ZelmoFetchOptions options;
        zelmo_fetch_init(&options, &c.result);
        options.cache_dir = c.cache.c_str();
        options.cache_mode = ZELMO_CACHE_NETWORK_ONLY;
        options.timeout_ms = 30000;
        options.flags = compression ? ZELMO_FETCH_COMPRESSION : 0u;
        options.sink = &Keep;
        options.sink_data = &c.body;
        c.body.clear();
        return zelmo_fetch(url.c_str(), &options, &c.result) == 0;
    };
    const auto check = [&](Call &c) {
        if (c.result.outcome != ZELMO_FETCH_REPLACED || c.body != text)
            c.fault = "the text was not served whole: " + std::string(c.result.error_text);
        else if (ReadAll(c.result.body_path) != text)
            c.fault = "the entry does not hold the decoded text";
        return c.fault.empty();
    };
    // The connection opened, and each side's bytes on the wire measured,
    // outside the timing.
    const auto wire = [&](Call &c, bool compression) -> std::int64_t {
        const std::uint64_t before = relay.bytesDown();
        if (!fetch(c, compression) || !check(c))
            return -1;
        return static_cast<std::int64_t>(relay.bytesDown() - before);
    };
    const std::int64_t plainBytes = wire(plain, false), codedBytes = wire(coded, true);
    if (plainBytes < 0 || codedBytes < 0) {
        Fails(state, plainBytes < 0 ? "plain: " + plain.fault + plain.result.error_text
                                    : "gzip: " + coded.fault + coded.result.error_text);
        return;
    }
    std::vector<Side> sides = {
        {"plain", [&] { return fetch(plain, false); }, [&] { return check(plain); }},
        {"gzip", [&] { return fetch(coded, true); }, [&] { return check(coded); }},
    };
    RunSides(state, sides);
    if (state.error_occurred()) {
        if (!plain.fault.empty() || !coded.fault.empty())
            Fails(state, plain.fault.empty() ? "gzip: " + coded.fault : "plain: " + plain.fault);
        return;
    }
    bench::Note("1 MiB text over http, 25 ms RTT, " +
                (rate != 0 ? std::to_string(state.range(0)) + " Mbit/s" : std::string("no rate limit")) +
                Text(": plain %.1f ms (%.0f KiB on the wire), ", sides[0].SecondsPerCall() * 1e3,
                     static_cast<double>(plainBytes) / 1024) +
                Text("gzip %.1f ms (%.0f KiB), ", sides[1].SecondsPerCall() * 1e3,
                     static_cast<double>(codedBytes) / 1024) +
                Text("gzip/plain %.2f", sides[1].SecondsPerCall() / sides[0].SecondsPerCall()));
}

BENCHMARK(BM_NetworkRelay)->Iterations(1)->UseRealTime();
BENCHMARK(BM_NetworkSequential)->ArgName("https")->Arg(1)->Arg(0)->Iterations(3)->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_NetworkManyHttps)
    ->ArgNames({"revalidate", "connected"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Iterations(12)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NetworkManyHttp)->Iterations(12)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NetworkCompression)->ArgName("mbit")->Arg(0)->Arg(100)->Iterations(6)->UseRealTime()->Unit(
    benchmark::kMillisecond);

using bench::Goal;
const bool registered =
    bench::Compare({"https 100 sequential 304s vs libcurl easy reused", "BM_NetworkSequential/https:1:ours_s",
                    "BM_NetworkSequential/https:1:libcurl_s", Goal::Faster, 0.95}) &&
    bench::Compare({"https sequential 304, one call vs 1 RTT", "BM_NetworkSequential/https:1:ourscall_s",
                    "BM_NetworkSequential/https:1:floorcall_s", Goal::Cheaper, 1.15}) &&
    bench::Compare({"https 100 at once, none open vs 3 RTT", "BM_NetworkManyHttps/revalidate:1/connected:0:ours_s",
                    "BM_NetworkManyHttps/revalidate:1/connected:0:floor_s", Goal::Cheaper, 1.4}) &&
    bench::Compare({"the same vs libcurl multi HTTP/2 (goal)", "BM_NetworkManyHttps/revalidate:1/connected:0:ours_s",
                    "BM_NetworkManyHttps/revalidate:1/connected:0:libcurl_s", Goal::Faster, 0.95, false}) &&
    bench::Compare({"https 100 at once, open vs 2 RTT", "BM_NetworkManyHttps/revalidate:1/connected:1:ours_s",
                    "BM_NetworkManyHttps/revalidate:1/connected:1:floor_s", Goal::Cheaper, 1.0}) &&
    bench::Compare({"the same vs libcurl multi HTTP/2 (goal)", "BM_NetworkManyHttps/revalidate:1/connected:1:ours_s",
                    "BM_NetworkManyHttps/revalidate:1/connected:1:libcurl_s", Goal::Faster, 0.95, false}) &&
    bench::Compare({"https first 100, none open vs 3 RTT", "BM_NetworkManyHttps/revalidate:0/connected:0:ours_s",
                    "BM_NetworkManyHttps/revalidate:0/connected:0:floor_s", Goal::Cheaper, 1.4}) &&
    bench::Compare({"the same vs libcurl multi HTTP/2 (goal)", "BM_NetworkManyHttps/revalidate:0/connected:0:ours_s",
                    "BM_NetworkManyHttps/revalidate:0/connected:0:libcurl_s", Goal::Faster, 0.95, false}) &&
    bench::Compare({"https first 100, open vs 2 RTT", "BM_NetworkManyHttps/revalidate:0/connected:1:ours_s",
                    "BM_NetworkManyHttps/revalidate:0/connected:1:floor_s", Goal::Cheaper, 1.0}) &&
    bench::Compare({"the same vs libcurl multi HTTP/2 (goal)", "BM_NetworkManyHttps/revalidate:0/connected:1:ours_s",
                    "BM_NetworkManyHttps/revalidate:0/connected:1:libcurl_s", Goal::Faster, 0.95, false}) &&
    bench::Compare({"http sequential 304, one call vs 1 RTT", "BM_NetworkSequential/https:0:ourscall_s",
                    "BM_NetworkSequential/https:0:floorcall_s", Goal::Cheaper, 1.15}) &&
    bench::Compare({"the same vs libcurl easy reused (goal)", "BM_NetworkSequential/https:0:ours_s",
                    "BM_NetworkSequential/https:0:libcurl_s", Goal::Faster, 0.95, false}) &&
    bench::Compare({"http 100 at once, none open vs 2 RTT", "BM_NetworkManyHttp:ours_s", "BM_NetworkManyHttp:floor_s",
                    Goal::Cheaper, 1.4}) &&
    bench::Compare({"the same vs libcurl multi, HTTP/1.1 (goal)", "BM_NetworkManyHttp:ours_s",
                    "BM_NetworkManyHttp:libcurl_s", Goal::Faster, 0.95, false}) &&
    bench::Compare({"1 MiB text, gzip vs plain, no rate limit (goal)", "BM_NetworkCompression/mbit:0:gzip_s",
                    "BM_NetworkCompression/mbit:0:plain_s", Goal::Cheaper, 2.0, false}) &&
    bench::Compare({"1 MiB text, gzip vs plain, 100 Mbit/s (goal)", "BM_NetworkCompression/mbit:100:gzip_s",
                    "BM_NetworkCompression/mbit:100:plain_s", Goal::Cheaper, 0.6, false});

}  // namespace
