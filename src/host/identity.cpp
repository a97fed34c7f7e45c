// Host identity: a six-byte machine identifier, the host name and the first
// IPv4 address of the host name.
#include <cstring>

#include "platform/platform.h"
#include "zelmo.h"

extern "C" {

bool ZELMO_API GetMacAddr(int lanaNumber, unsigned char *out)
{
    if (out == nullptr)
        return false;
    const std::uint32_t serial = zelmo::platform::SystemVolumeSerial();
    // Only the low 8 bits name the adapter. Its address is the identifier when
    // the adapter reports one; otherwise the volume serial, least significant
    // byte first, followed by two zero bytes.
    unsigned char address[6];
    if (zelmo::platform::AdapterAddress(static_cast<unsigned char>(lanaNumber), address)) {
        std::memcpy(out, address, sizeof address);
        return true;
    }
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(serial >> (8 * i));
    out[4] = out[5] = 0;
    return true;
}

int ZELMO_API GetLocalHostName(char *name, int size)
{
    if (name == nullptr || size <= 0)
        return 0;
    return zelmo::platform::HostName(name, size) ? 1 : 0;
}

bool ZELMO_API GetLocalIP(char *out)
{
    if (out == nullptr)
        return false;
    char hostName[50];  // a name of 50 characters or more does not fit and fails
    if (GetLocalHostName(hostName, sizeof hostName) != 1)
        return false;
    char text[16];
    if (!zelmo::platform::FirstIPv4Address(hostName, text))
        return false;
    std::memcpy(out, text, std::strlen(text) + 1);
    return true;
}

}  // extern "C"
