// What the tests need from the operating system, per platform
// (os_posix.cpp, os_win32.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zelmo::test::os {

// The built library (Zelmo.dll or libzelmo.so), loaded and unloaded the way a
// host does it.
void *LoadZelmo();
void *FindExport(void *library, const char *name);
bool UnloadZelmo(void *library);

// Whether the calling process can use sockets without starting the socket
// library itself. Empty when the platform has nothing to start.
enum class Sockets { Ready, NotStarted, NothingToStart };
Sockets SocketState();

// The version resource of a module, read with the system's version API.
struct VersionInfo {
    bool available = false;
    std::uint32_t fileVersionMS = 0, fileVersionLS = 0;
    std::uint32_t productVersionMS = 0, productVersionLS = 0;
    std::uint32_t flagsMask = 0, flags = 0, fileOS = 0, fileType = 0, fileSubtype = 0;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;
    std::map<std::string, std::string> strings;  // of block "080404B0"
};
VersionInfo ReadZelmoVersion();

// What a line feed written through a text-mode stream becomes in the file.
const char *TextModeNewline();

// A TLS server on 127.0.0.1 with a certificate of its own making (trusted
// by nobody), answering each request with a page. `skipReason` says why
// none could be started here.
class TlsServer {
public:
    explicit TlsServer(const std::filesystem::path &workDir);
    ~TlsServer();
    TlsServer(const TlsServer &) = delete;
    TlsServer &operator=(const TlsServer &) = delete;

    std::uint16_t port = 0;
    std::string skipReason;

private:
    std::intptr_t process_ = 0;
};
// The running program's executable file, as the system reports it.
std::filesystem::path ExecutablePath();

}  // namespace zelmo::test::os
