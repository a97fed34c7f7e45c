// What the host-identity and event-log tests need from the operating system,
// per platform (host_posix.cpp, host_win32.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelmo::test::host {

// The serial number of the system volume as the system's own query reports
// it: the file-system id of / (statfs), or drive C: (GetVolumeInformationA).
std::uint32_t VolumeSerial();

// The machine's name from the system's naming service rather than the socket
// library: uname's node name, or the DNS host name of GetComputerNameExA.
std::string MachineName();

// Every IPv4 address `name` resolves to, as dotted-decimal text.
std::vector<std::string> IPv4Addresses(const std::string &name);

// The IPv4 addresses of this machine's network interfaces.
std::vector<std::string> InterfaceIPv4Addresses();

// The result of running code in a child process with private network, mount
// and host-name namespaces. `skipped` says why it could not run (not root,
// namespaces refused, a setup command failed, a platform without them).
struct Isolated {
    std::string skipped;
    std::string output;  // what the body returned
};

// Runs the shell commands `setup` and then `body` in a child process that has
// its own network, mount and host-name namespaces: nothing they change is seen
// outside. The body must not use test assertions; it returns its findings.
Isolated RunIsolated(const std::vector<std::string> &setup, const std::function<std::string()> &body);

// A local socket that receives log messages, at a path of its own: a
// datagram socket, or a stream socket whose messages each end with a NUL.
class LogListener {
public:
    enum class Kind { Datagram, Stream };
    explicit LogListener(const std::string &path, Kind kind = Kind::Datagram);
    ~LogListener();
    LogListener(const LogListener &) = delete;
    LogListener &operator=(const LogListener &) = delete;

    // False where the platform has no local datagram sockets.
    bool available() const { return socket_ >= 0; }
    // The next message, or nothing when none arrives within a few seconds.
    std::optional<std::string> Receive();
    // Whether a message is waiting now.
    bool Pending();

private:
    int socket_ = -1;
    int connection_ = -1;  // the accepted stream connection
    Kind kind_;
    std::string path_;
};

}  // namespace zelmo::test::host
