// A scripted HTTP server on 127.0.0.1 inside the test process. It answers
// each request with exactly the bytes its script returns (any status line,
// chunked bodies, redirects, interim answers, answers cut off or sent slowly
// in pieces) and records every request it reads, so tests can assert on what
// went over the wire.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/sockets.h"

namespace zelmo::test {

struct RecordedRequest {
    std::string method, target, version;
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
    std::string body;                                         // de-chunked
    std::string head;  // the request line and header lines exactly as received, up to the blank line
    int connection = 0;  // which connection it came on: 1 for the server's first, and so on
    int sequence = 0;    // which request of that connection: 1 for the first

    bool HasHeader(std::string_view name) const;       // names compare case-insensitively
    std::string Header(std::string_view name) const;   // empty when absent
};

// An answer: pieces sent one after the other, each after its pause, and
// whether the connection is closed afterwards (a cut-off answer closes it
// before the promised body is complete).
struct Answer {
    struct Piece {
        std::string bytes;
        int delayMs = 0;
    };
    std::vector<Piece> pieces;
    bool close = false;

    // The whole text at once.
    static Answer Raw(std::string bytes, bool close = false);
    // A status line, optional extra header lines (each ending in CRLF), a
    // Content-Length and the body.
    static Answer Full(std::string_view statusLine, std::string_view body, std::string_view headers = "");
    // `text` in pieces of the given sizes, `delayMs` apart (the rest, if any,
    // as a last piece).
    static Answer InPieces(std::string_view text, const std::vector<std::size_t> &sizes, int delayMs);
};

// Chunked transfer coding of `body` in chunks of `chunk` bytes.
std::string Chunked(std::string_view body, std::size_t chunk);

class ScriptedServer {
public:
    using Script = std::function<Answer(const RecordedRequest &)>;

    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    std::uint16_t port() const { return port_; }
    std::string Url(std::string_view path = "/") const;
    // "127.0.0.1:PORT", as a proxy setting names it.
    std::string Address() const;
    std::vector<RecordedRequest> Requests() const;
    // Drops the requests recorded so far (long runs keep their memory flat).
    void ForgetRequests();

    // A script that acts as a forward proxy: it passes each request in
    // absolute form on to its origin on 127.0.0.1 and returns the origin's
    // answer unchanged.
    static Answer Forward(const RecordedRequest &request);

private:
    void AcceptLoop();
    void Serve(net::Socket connection, int serial);
    bool Pause(int ms);  // false when the server is stopping

    Script script_;
    net::Socket listener_ = net::kNoSocket;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool stop_ = false;
    std::vector<RecordedRequest> requests_;
    int accepted_ = 0;  // connections so far
    struct Connection {
        std::thread thread;
        bool done = false;  // guarded by mutex_
    };
    std::vector<std::unique_ptr<Connection>> connections_;
    std::thread acceptor_;
};

// A port on 127.0.0.1 that listens and never accepts: the system completes
// a client's connection into the listen queue all the same, so Reached()
// tells whether anything connected to it (and, for a URL of another
// protocol, could have been sent bytes).
class SilentPort {
public:
    SilentPort();
    ~SilentPort();
    SilentPort(const SilentPort &) = delete;
    SilentPort &operator=(const SilentPort &) = delete;

    std::uint16_t port() const { return port_; }
    bool Reached() const;
    // "127.0.0.1:<port>".
    std::string Authority() const;
    // URLs of schemes other than http and https that lead to this port:
    // gopher, ftp, dict, file, and a host name libcurl would guess ftp for.
    // None may reach it.
    std::vector<std::string> ForeignUrls() const;

private:
    net::Socket listener_ = net::kNoSocket;
    std::uint16_t port_ = 0;
};

}  // namespace zelmo::test
