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

// The running program's executable file, as the system reports it.
std::filesystem::path ExecutablePath();

}  // namespace zelmo::test::os
