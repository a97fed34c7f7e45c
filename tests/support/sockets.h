// Loopback TCP sockets for the test servers, per platform (sockets_posix.cpp,
// sockets_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelmo::test::net {

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// Starts the platform's socket library for the caller's lifetime (WinSock on
// Windows; nothing elsewhere). Balanced: each Start has one Stop.
void Start();
void Stop();

// A listening socket on 127.0.0.1 at a free port, which is stored in `port`.
Socket ListenLoopback(std::uint16_t &port);
Socket Accept(Socket listener);
Socket ConnectLoopback(std::uint16_t port);
// True when `socket` has data (or an end) to read within `timeoutMs`.
bool WaitReadable(Socket socket, int timeoutMs);
// Bytes read, 0 at the end of the stream, negative on an error.
long Receive(Socket socket, char *buffer, std::size_t size);
bool SendAll(Socket socket, const char *data, std::size_t size);
// Ends both directions, then releases the socket.
void Close(Socket socket);

}  // namespace zelmo::test::net
