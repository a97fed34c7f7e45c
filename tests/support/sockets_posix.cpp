#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/sockets.h"

namespace zelmo::test::net {

void Start() {}
void Stop() {}

Socket ListenLoopback(std::uint16_t &port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        close(s);
        return kNoSocket;
    }
    port = ntohs(address.sin_port);
    return s;
}

Socket Accept(Socket listener)
{
    const int s = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0)
        return kNoSocket;
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each piece leaves at once
    return s;
}

Socket ConnectLoopback(std::uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return s;
    if (s >= 0)
        close(s);
    return kNoSocket;
}

bool WaitReadable(Socket socket, int timeoutMs)
{
    pollfd entry{static_cast<int>(socket), POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

long Receive(Socket socket, char *buffer, std::size_t size)
{
    return recv(static_cast<int>(socket), buffer, size, 0);
}

bool SendAll(Socket socket, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void Close(Socket socket)
{
    shutdown(static_cast<int>(socket), SHUT_RDWR);
    close(static_cast<int>(socket));
}

}  // namespace zelmo::test::net
