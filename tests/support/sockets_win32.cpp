#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "support/sockets.h"

namespace zelmo::test::net {

void Start()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void Stop()
{
    WSACleanup();
}

Socket ListenLoopback(std::uint16_t &port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        closesocket(s);
        return kNoSocket;
    }
    port = ntohs(address.sin_port);
    return static_cast<Socket>(s);
}

Socket Accept(Socket listener)
{
    const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    return static_cast<Socket>(s);
}

Socket ConnectLoopback(std::uint16_t port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return static_cast<Socket>(s);
    if (s != INVALID_SOCKET)
        closesocket(s);
    return kNoSocket;
}

bool WaitReadable(Socket socket, int timeoutMs)
{
    WSAPOLLFD entry{static_cast<SOCKET>(socket), POLLRDNORM, 0};
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

long Receive(Socket socket, char *buffer, std::size_t size)
{
    return recv(static_cast<SOCKET>(socket), buffer, static_cast<int>(size), 0);
}

bool SendAll(Socket socket, const char *data, std::size_t size)
{
    while (size > 0) {
        const int sent = send(static_cast<SOCKET>(socket), data, static_cast<int>(size), 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void Close(Socket socket)
{
    shutdown(static_cast<SOCKET>(socket), SD_BOTH);
    closesocket(static_cast<SOCKET>(socket));
}

}  // namespace zelmo::test::net
