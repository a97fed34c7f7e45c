#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include "support/host.h"

namespace zelmo::test::host {

std::uint32_t VolumeSerial()
{
    DWORD serial = 0;
    return GetVolumeInformationA("C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) ? serial : 0;
}

std::string MachineName()
{
    char name[256];
    DWORD size = sizeof name;
    return GetComputerNameExA(ComputerNameDnsHostname, name, &size) ? std::string(name, size) : "";
}

std::vector<std::string> IPv4Addresses(const std::string &name)
{
    std::vector<std::string> found;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return found;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) == 0) {
        for (const addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
            char text[INET_ADDRSTRLEN];
            auto *ip = reinterpret_cast<sockaddr_in *>(entry->ai_addr);
            if (inet_ntop(AF_INET, &ip->sin_addr, text, sizeof text) != nullptr)
                found.emplace_back(text);
        }
        freeaddrinfo(list);
    }
    WSACleanup();
    return found;
}

std::vector<std::string> InterfaceIPv4Addresses()
{
    std::vector<std::string> found;
    ULONG size = 16384;
    std::vector<unsigned char> buffer(size);
    auto *adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data());
    if (GetAdaptersAddresses(AF_INET, 0, nullptr, adapters, &size) != ERROR_SUCCESS)
        return found;
    for (const IP_ADAPTER_ADDRESSES *adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS *unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            char text[INET_ADDRSTRLEN];
            auto *ip = reinterpret_cast<sockaddr_in *>(unicast->Address.lpSockaddr);
            if (inet_ntop(AF_INET, &ip->sin_addr, text, sizeof text) != nullptr)
                found.emplace_back(text);
        }
    }
    return found;
}

Isolated RunIsolated(const std::vector<std::string> &, const std::function<std::string()> &)
{
    return {"network, mount and host-name namespaces are a Linux facility", ""};
}

// Windows has no local datagram sockets to receive log messages on.
LogListener::LogListener(const std::string &path, Kind kind) : kind_(kind), path_(path) {}
LogListener::~LogListener() = default;
std::optional<std::string> LogListener::Receive() { return std::nullopt; }
bool LogListener::Pending() { return false; }

}  // namespace zelmo::test::host
