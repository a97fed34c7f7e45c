// POSIX host identity: interfaces from getifaddrs, the file-system id of /,
// gethostname and getaddrinfo.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace zelmo::platform {

std::uint32_t SystemVolumeSerial()
{
    struct statvfs facts;
    if (statvfs("/", &facts) != 0)
        return 0;
    return static_cast<std::uint32_t>(facts.f_fsid);
}

bool AdapterAddress(unsigned char adapter, unsigned char address[6])
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    // One AF_PACKET entry per interface, in the order the kernel lists links.
    bool found = false;
    unsigned int index = 0;
    for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET)
            continue;
        const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
        if (link->sll_halen != 6 ||
            std::all_of(link->sll_addr, link->sll_addr + 6, [](unsigned char b) { return b == 0; }))
            continue;
        if (index++ == adapter) {
            std::memcpy(address, link->sll_addr, 6);
            found = true;
            break;
        }
    }
    freeifaddrs(list);
    return found;
}

bool HostName(char *name, int size)
{
    // glibc fails with ENAMETOOLONG when the name and its NUL do not fit.
    return gethostname(name, static_cast<std::size_t>(size)) == 0 &&
           std::memchr(name, '\0', static_cast<std::size_t>(size)) != nullptr;
}

bool FirstIPv4Address(const char *hostName, char (&text)[16])
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address
    addrinfo *found = nullptr;
    if (getaddrinfo(hostName, nullptr, &hints, &found) != 0)
        return false;
    bool ok = false;
    if (found != nullptr && found->ai_addr != nullptr && found->ai_family == AF_INET) {
        char dotted[INET_ADDRSTRLEN];
        const auto *ip = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
        if (inet_ntop(AF_INET, &ip->sin_addr, dotted, sizeof dotted) != nullptr) {
            std::memcpy(text, dotted, sizeof text);
            ok = true;
        }
    }
    freeaddrinfo(found);
    return ok;
}

}  // namespace zelmo::platform
