// Win32 host identity: volume information, NetBIOS adapter status and WinSock.
#include <winsock2.h>
#include <windows.h>
#include <nb30.h>

#include <cstring>

#include "platform/platform.h"

namespace zelmo::platform {

std::uint32_t SystemVolumeSerial()
{
    char volumeName[64], fileSystemName[64];
    DWORD serial = 0, maxComponentLength = 0, flags = 0;
    if (!GetVolumeInformationA("C:\\", volumeName, sizeof volumeName, &serial,
                               &maxComponentLength, &flags, fileSystemName, sizeof fileSystemName))
        return 0;
    return serial;
}

namespace {

// Netbios from NETAPI32, loaded only while an adapter is asked for: hosts that
// never ask do not load it (under wine its load also starts WinSock for good).
class NetbiosLibrary {
public:
    NetbiosLibrary() : module_(LoadLibraryA("netapi32.dll"))
    {
        if (module_ != nullptr)
            netbios_ = reinterpret_cast<decltype(netbios_)>(
                reinterpret_cast<void *>(GetProcAddress(module_, "Netbios")));
    }
    ~NetbiosLibrary()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    NetbiosLibrary(const NetbiosLibrary &) = delete;
    NetbiosLibrary &operator=(const NetbiosLibrary &) = delete;

    // The request's return code; NRC_SYSTEM when Netbios is not available.
    UCHAR Request(NCB *ncb) const { return netbios_ != nullptr ? netbios_(ncb) : NRC_SYSTEM; }

private:
    HMODULE module_;
    UCHAR(APIENTRY *netbios_)(PNCB) = nullptr;
};

}  // namespace

bool AdapterAddress(unsigned char adapter, unsigned char address[6])
{
    const NetbiosLibrary library;
    NCB reset;
    std::memset(&reset, 0, sizeof reset);
    reset.ncb_command = NCBRESET;
    reset.ncb_lana_num = adapter;
    if (library.Request(&reset) != NRC_GOODRET)
        return false;

    // The status record starts with the adapter's address; 600 bytes hold it
    // and the first names. Netbios never writes past ncb_length.
    unsigned char status[600];
    std::memset(status, 0, sizeof status);
    NCB request;
    std::memset(&request, 0, sizeof request);
    request.ncb_command = NCBASTAT;
    request.ncb_lana_num = adapter;
    std::memset(request.ncb_callname, 0, sizeof request.ncb_callname);
    request.ncb_callname[0] = '*';
    request.ncb_buffer = status;
    request.ncb_length = sizeof status;
    if (library.Request(&request) != NRC_GOODRET)
        return false;
    std::memcpy(address, status, 6);
    return true;
}

bool HostName(char *name, int size)
{
    return gethostname(name, size) == 0;
}

bool FirstIPv4Address(const char *hostName, char (&text)[16])
{
    const hostent *host = gethostbyname(hostName);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
        return false;
    in_addr address;
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    // inet_ntoa's text lives in a per-thread buffer: copied before any other call.
    const char *dotted = inet_ntoa(address);
    if (dotted == nullptr || std::strlen(dotted) >= sizeof text)
        return false;
    std::memcpy(text, dotted, std::strlen(dotted) + 1);
    return true;
}

}  // namespace zelmo::platform
