#include "support/http_server.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

namespace zelmo::test {
namespace {

constexpr int kPollMs = 20;

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// Reads from `connection` into `pending` until it holds `needed` bytes, or
// until `until` is found in it; false at the end of the stream or when
// `stopping` says so.
template <typename Stopping>
bool Fill(net::Socket connection, std::string &pending, std::size_t needed, std::string_view until,
          Stopping stopping)
{
    char chunk[16384];
    for (;;) {
        if (until.empty() ? pending.size() >= needed : pending.find(until) != std::string::npos)
            return true;
        if (stopping())
            return false;
        if (!net::WaitReadable(connection, kPollMs))
            continue;
        const long got = net::Receive(connection, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        pending.append(chunk, static_cast<std::size_t>(got));
    }
}

template <typename Stopping>
bool ReadRequest(net::Socket connection, std::string &pending, RecordedRequest &request, Stopping stopping)
{
    if (!Fill(connection, pending, 0, "\r\n\r\n", stopping))
        return false;
    const std::size_t headEnd = pending.find("\r\n\r\n");
    const std::string head = pending.substr(0, headEnd);
    request.head = pending.substr(0, headEnd + 4);
    pending.erase(0, headEnd + 4);

    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto space1 = requestLine.find(' ');
    const auto space2 = requestLine.rfind(' ');
    request.method = requestLine.substr(0, space1);
    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    request.version = requestLine.substr(space2 + 1);
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            request.headers.emplace_back(line.substr(0, colon), Trim(std::string_view(line).substr(colon + 1)));
    }

    if (SameName(request.Header("Transfer-Encoding"), "chunked")) {
        for (;;) {
            if (!Fill(connection, pending, 0, "\r\n", stopping))
                return false;
            const std::size_t sizeEnd = pending.find("\r\n");
            const std::size_t size = std::strtoul(pending.c_str(), nullptr, 16);
            pending.erase(0, sizeEnd + 2);
            if (!Fill(connection, pending, size + 2, "", stopping))
                return false;
            request.body.append(pending, 0, size);
            pending.erase(0, size + 2);
            if (size == 0)
                return true;  // (no trailers from our clients)
        }
    }
    const std::size_t length = std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
    if (!Fill(connection, pending, length, "", stopping))
        return false;
    request.body = pending.substr(0, length);
    pending.erase(0, length);
    return true;
}

}  // namespace

bool RecordedRequest::HasHeader(std::string_view name) const
{
    return std::any_of(headers.begin(), headers.end(), [&](const auto &h) { return SameName(h.first, name); });
}

std::string RecordedRequest::Header(std::string_view name) const
{
    for (const auto &[key, value] : headers)
        if (SameName(key, name))
            return value;
    return {};
}

Answer Answer::Raw(std::string bytes, bool close)
{
    Answer answer;
    answer.pieces.push_back({std::move(bytes), 0});
    answer.close = close;
    return answer;
}

Answer Answer::Full(std::string_view statusLine, std::string_view body, std::string_view headers)
{
    std::string text(statusLine);
    text += "\r\n";
    text += headers;
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    text += body;
    return Raw(std::move(text));
}

Answer Answer::InPieces(std::string_view text, const std::vector<std::size_t> &sizes, int delayMs)
{
    Answer answer;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        answer.pieces.push_back({std::string(text.substr(at, size)), at == 0 ? 0 : delayMs});
        at = std::min(text.size(), at + size);
    }
    if (at < text.size())
        answer.pieces.push_back({std::string(text.substr(at)), delayMs});
    return answer;
}

std::string Chunked(std::string_view body, std::size_t chunk)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t at = 0; at < body.size(); at += chunk) {
        const std::string_view piece = body.substr(at, chunk);
        std::string size;
        for (std::size_t n = piece.size(); n > 0; n /= 16) size.insert(size.begin(), hex[n % 16]);
        out += size + "\r\n";
        out += piece;
        out += "\r\n";
    }
    return out + "0\r\n\r\n";
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script))
{
    net::Start();
    listener_ = net::ListenLoopback(port_);
    if (listener_ != net::kNoSocket)
        acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    stopping_.notify_all();
    if (acceptor_.joinable())
        acceptor_.join();
    for (auto &connection : connections_) connection->thread.join();
    if (listener_ != net::kNoSocket)
        net::Close(listener_);
    net::Stop();
}

std::string ScriptedServer::Url(std::string_view path) const
{
    return "http://" + Address() + std::string(path);
}

std::string ScriptedServer::Address() const
{
    return "127.0.0.1:" + std::to_string(port_);
}

std::vector<RecordedRequest> ScriptedServer::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::ForgetRequests()
{
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool ScriptedServer::Pause(int ms)
{
    std::unique_lock lock(mutex_);
    return !stopping_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
}

void ScriptedServer::AcceptLoop()
{
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
        }
        if (!net::WaitReadable(listener_, kPollMs))
            continue;
        const net::Socket connection = net::Accept(listener_);
        if (connection == net::kNoSocket)
            continue;
        std::lock_guard lock(mutex_);
        // Threads of connections that have ended are joined as new ones come.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        auto entry = std::make_unique<Connection>();
        Connection *self = entry.get();
        const int serial = ++accepted_;
        entry->thread = std::thread([this, connection, self, serial] {
            Serve(connection, serial);
            std::lock_guard done(mutex_);
            self->done = true;
        });
        connections_.push_back(std::move(entry));
    }
}

void ScriptedServer::Serve(net::Socket connection, int serial)
{
    const auto stopping = [this] {
        std::lock_guard lock(mutex_);
        return stop_;
    };
    std::string pending;
    for (int sequence = 1;; ++sequence) {
        RecordedRequest request;
        if (!ReadRequest(connection, pending, request, stopping))
            break;
        request.connection = serial;
        request.sequence = sequence;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const Answer answer = script_(request);
        bool sent = true;
        for (const Answer::Piece &piece : answer.pieces) {
            if ((piece.delayMs > 0 && !Pause(piece.delayMs)) || !net::SendAll(connection, piece.bytes.data(), piece.bytes.size())) {
                sent = false;
                break;
            }
        }
        if (!sent || answer.close || SameName(request.Header("Connection"), "close"))
            break;
    }
    net::Close(connection);
}

Answer ScriptedServer::Forward(const RecordedRequest &request)
{
    // http://127.0.0.1:PORT/path
    const std::string_view target = request.target;
    const auto hostStart = target.find("://");
    const auto pathStart = target.find('/', hostStart == std::string_view::npos ? 0 : hostStart + 3);
    const auto colon = target.rfind(':', pathStart);
    if (hostStart == std::string_view::npos || colon == std::string_view::npos || colon < hostStart + 3)
        return Answer::Full("HTTP/1.1 400 Bad Request", "not an absolute target\n");
    const auto port = static_cast<std::uint16_t>(std::atoi(std::string(target.substr(colon + 1)).c_str()));
    const std::string path = pathStart == std::string_view::npos ? "/" : std::string(target.substr(pathStart));

    std::string text = request.method + " " + path + " HTTP/1.1\r\n";
    for (const auto &[name, value] : request.headers)
        if (!SameName(name.substr(0, 6), "Proxy-") && !SameName(name, "Connection") &&
            !SameName(name, "Content-Length") && !SameName(name, "Transfer-Encoding"))
            text += name + ": " + value + "\r\n";
    text += "Content-Length: " + std::to_string(request.body.size()) + "\r\nConnection: close\r\n\r\n";
    text += request.body;

    const net::Socket origin = net::ConnectLoopback(port);
    if (origin == net::kNoSocket)
        return Answer::Full("HTTP/1.1 502 Bad Gateway", "origin unreachable\n");
    std::string answer;
    if (net::SendAll(origin, text.data(), text.size()))
        Fill(origin, answer, SIZE_MAX, "", [] { return false; });
    net::Close(origin);
    return Answer::Raw(std::move(answer));
}

SilentPort::SilentPort()
{
    net::Start();
    listener_ = net::ListenLoopback(port_);
}

SilentPort::~SilentPort()
{
    if (listener_ != net::kNoSocket)
        net::Close(listener_);
    net::Stop();
}

bool SilentPort::Reached() const
{
    return listener_ != net::kNoSocket && net::WaitReadable(listener_, 0);
}

std::string SilentPort::Authority() const
{
    return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> SilentPort::ForeignUrls() const
{
    const std::string there = Authority();
    return {"gopher://" + there + "/1", "ftp://" + there + "/", "dict://" + there + "/d:word", "file:///etc/passwd",
            "ftp." + there + "/"};
}

}  // namespace zelmo::test
