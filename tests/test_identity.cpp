// Host identity: GetMacAddr, GetLocalHostName, GetLocalIP, called through the
// loaded library as a host calls them (on Windows the load starts WinSock,
// which the host-name and address lookups need).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/host.h"
#include "support/os.h"
#include "zelmo.h"

namespace {

namespace os = zelmo::test::os;
namespace host = zelmo::test::host;

using GetMacAddrFn = bool(ZELMO_API *)(int, unsigned char *);
using GetLocalHostNameFn = int(ZELMO_API *)(char *, int);
using GetLocalIPFn = bool(ZELMO_API *)(char *);

// The library loaded for one test, with its three identity exports.
class Identity : public testing::Test {
protected:
    void SetUp() override
    {
        library_ = os::LoadZelmo();
        ASSERT_NE(library_, nullptr);
        getMacAddr = reinterpret_cast<GetMacAddrFn>(os::FindExport(library_, "GetMacAddr"));
        getLocalHostName = reinterpret_cast<GetLocalHostNameFn>(os::FindExport(library_, "GetLocalHostName"));
        getLocalIP = reinterpret_cast<GetLocalIPFn>(os::FindExport(library_, "GetLocalIP"));
        ASSERT_TRUE(getMacAddr && getLocalHostName && getLocalIP);
    }
    void TearDown() override
    {
        if (library_ != nullptr)
            os::UnloadZelmo(library_);
    }

    // The identifier of adapter `lana` as hexadecimal text; the bytes after the
    // sixth must keep their fill.
    std::string MacText(int lana)
    {
        unsigned char out[8];
        std::memset(out, 0xA5, sizeof out);
        if (!getMacAddr(lana, out))
            return "false";
        if (out[6] != 0xA5 || out[7] != 0xA5)
            return "wrote past six bytes";
        std::string text;
        char hex[3];
        for (int i = 0; i < 6; ++i) {
            std::snprintf(hex, sizeof hex, "%02x", out[i]);
            text += hex;
        }
        return text;
    }

    GetMacAddrFn getMacAddr = nullptr;
    GetLocalHostNameFn getLocalHostName = nullptr;
    GetLocalIPFn getLocalIP = nullptr;

private:
    void *library_ = nullptr;
};

// The volume serial, least significant byte first, then two zero bytes.
std::string SerialIdentifier()
{
    const std::uint32_t serial = host::VolumeSerial();
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x0000", serial & 0xFF, (serial >> 8) & 0xFF,
                  (serial >> 16) & 0xFF, serial >> 24);
    return text;
}

TEST_F(Identity, AdapterWithoutAddressGivesTheVolumeSerial)
{
    // Adapter 255 exists nowhere (NetBIOS adapters are 0..254; no host has 256
    // interfaces); -1 and 511 are the same adapter by their low 8 bits.
    for (int lana : {255, -1, 511})
        EXPECT_EQ(MacText(lana), SerialIdentifier()) << "adapter " << lana;
    EXPECT_FALSE(getMacAddr(0, nullptr));
}

TEST_F(Identity, EveryAdapterNumberGivesSixBytes)
{
    // Whatever adapters this machine has, each number yields six bytes and true.
    for (int lana = 0; lana < 4; ++lana) {
        const std::string text = MacText(lana);
        EXPECT_EQ(text.size(), 12u) << "adapter " << lana << ": " << text;
    }
}

TEST_F(Identity, AdapterNumberSelectsTheInterface)
{
    // Two tap interfaces with known addresses in a network namespace of their
    // own; the loopback interface has no hardware address and is not counted.
    const host::Isolated run = host::RunIsolated(
        {"ip tuntap add tap0 mode tap", "ip link set tap0 address 02:11:22:33:44:55",
         "ip tuntap add tap1 mode tap", "ip link set tap1 address 02:66:77:88:99:aa"},
        [&] {
            std::string found;
            for (int lana : {0, 1, 2, 256, 257, -256}) found += MacText(lana) + " ";
            return found;
        });
    if (!run.skipped.empty())
        GTEST_SKIP() << run.skipped;
    const std::string serial = SerialIdentifier();
    EXPECT_EQ(run.output, "021122334455 0266778899aa " + serial + " 021122334455 0266778899aa 021122334455 ");
}

TEST_F(Identity, HostNameFitsOnlyWithItsNul)
{
    const std::string expected = host::MachineName();
    ASSERT_FALSE(expected.empty());
    const int exact = static_cast<int>(expected.size()) + 1;
    struct Case {
        int size;
        int result;
    };
    for (const Case c : {Case{256, 1}, Case{exact, 1}, Case{exact - 1, 0}, Case{0, 0}, Case{-1, 0}}) {
        char name[256];
        std::memset(name, 'x', sizeof name);
        EXPECT_EQ(getLocalHostName(name, c.size), c.result) << "size " << c.size;
        if (c.result == 1) {
            EXPECT_STREQ(name, expected.c_str());
        }
    }
    EXPECT_EQ(getLocalHostName(nullptr, 256), 0);
}

TEST_F(Identity, LocalIPIsAnAddressOfThisMachine)
{
    // The host name's addresses come from the resolver (here the hosts file);
    // Windows (and wine) answer the machine's own name with the addresses of
    // its interfaces instead. Either way it is an address of this machine.
    std::vector<std::string> addresses = host::IPv4Addresses(host::MachineName());
    for (const std::string &address : host::InterfaceIPv4Addresses()) addresses.push_back(address);
    char out[16];
    std::memset(out, 'x', sizeof out);
    if (addresses.empty()) {
        EXPECT_FALSE(getLocalIP(out));
        EXPECT_EQ(out[0], 'x') << "out is touched only on success";
        return;
    }
    ASSERT_TRUE(getLocalIP(out));
    ASSERT_NE(std::memchr(out, '\0', sizeof out), nullptr);
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), std::string(out)), addresses.end()) << out;
    EXPECT_FALSE(getLocalIP(nullptr));
}

TEST_F(Identity, LocalIPIsTheFirstIPv4AddressOfTheName)
{
    // A host name of our choosing resolved from a hosts file of our own, in
    // private namespaces: the IPv6 line is passed over, the first IPv4 address
    // wins, an unknown name and a name of 50 characters fail.
    struct Case {
        std::string hostName, hosts, expected;
    };
    const std::string longName(50, 'n');
    const Case cases[] = {
        {"zelmo-ip-test", "fd00::7 zelmo-ip-test\n10.1.2.3 zelmo-ip-test\n10.9.8.7 zelmo-ip-test\n", "10.1.2.3"},
        {"zelmo-ip-test", "10.9.8.7 other-name\n", "false"},
        {longName.substr(0, 49), "10.4.4.4 " + longName.substr(0, 49) + "\n", "10.4.4.4"},
        {longName, "10.5.5.5 " + longName + "\n", "false"},
    };
    for (const Case &c : cases) {
        const host::Isolated run = host::RunIsolated(
            {"hostname " + c.hostName, "mount -t tmpfs tmpfs /mnt",
             "printf '" + c.hosts + "' >/mnt/hosts && mount --bind /mnt/hosts /etc/hosts",
             "printf 'hosts: files\\n' >/mnt/nsswitch.conf && mount --bind /mnt/nsswitch.conf /etc/nsswitch.conf"},
            [&] {
                char out[16];
                std::memset(out, 'x', sizeof out);
                if (getLocalIP(out))
                    return std::string(out);
                return std::string(out[0] == 'x' ? "false" : "false, out touched");
            });
        if (!run.skipped.empty())
            GTEST_SKIP() << run.skipped;
        EXPECT_EQ(run.output, c.expected) << c.hostName;
    }
}

}  // namespace
