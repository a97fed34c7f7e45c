#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/gcc_warnings.h"
#include "support/host.h"

namespace zelmo::test::host {

std::uint32_t VolumeSerial()
{
    struct statfs facts;
    if (statfs("/", &facts) != 0)
        return 0;
    std::uint32_t low;
    std::memcpy(&low, &facts.f_fsid, sizeof low);  // the first of its two words
    return low;
}

std::string MachineName()
{
    struct utsname names;
    return uname(&names) == 0 ? names.nodename : "";
}

std::vector<std::string> IPv4Addresses(const std::string &name)
{
    std::vector<std::string> found;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0)
        return found;
    for (const addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
        char text[INET_ADDRSTRLEN];
        const auto *ip = reinterpret_cast<const sockaddr_in *>(entry->ai_addr);
        if (inet_ntop(AF_INET, &ip->sin_addr, text, sizeof text) != nullptr)
            found.emplace_back(text);
    }
    freeaddrinfo(list);
    return found;
}

std::vector<std::string> InterfaceIPv4Addresses()
{
    std::vector<std::string> found;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        const auto *ip = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &ip->sin_addr, text, sizeof text) != nullptr)
            found.emplace_back(text);
    }
    freeifaddrs(list);
    return found;
}

namespace {

void WriteAll(int fd, const std::string &text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// In the child: returns "S" + reason when it cannot run, "O" + the body's output.
std::string RunChild(const std::vector<std::string> &setup, const std::function<std::string()> &body)
{
    if (geteuid() != 0)
        return "Snamespaces need root";
    if (unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) != 0)
        return std::string("Sunshare refused: ") + std::strerror(errno);
    // Mounts made here must not propagate to the rest of the system.
    if (std::system("mount --make-rprivate / 2>/dev/null") != 0)
        return "Scannot make the mount namespace private";
    for (const std::string &command : setup) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
            return "Ssetup failed: " + command;
    }
    ZELMO_RESTRICT_FALSE_POSITIVE_BEGIN
    return "O" + body();
    ZELMO_RESTRICT_FALSE_POSITIVE_END
}

}  // namespace

Isolated RunIsolated(const std::vector<std::string> &setup, const std::function<std::string()> &body)
{
    int channel[2];
    if (pipe(channel) != 0)
        return {"no pipe", ""};
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return {"fork failed", ""};
    if (child == 0) {
        close(channel[0]);
        WriteAll(channel[1], RunChild(setup, body));
        _exit(0);
    }
    close(channel[1]);
    std::string reply;
    char chunk[512];
    for (ssize_t n; (n = read(channel[0], chunk, sizeof chunk)) > 0;) reply.append(chunk, static_cast<std::size_t>(n));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (reply.empty())  // the body crashed: a failure to report, not a reason to skip
        return {"", "<the child process ended without a result, status " + std::to_string(status) + ">"};
    if (reply[0] == 'S')
        return {reply.substr(1), ""};
    return {"", reply.substr(1)};
}

LogListener::LogListener(const std::string &path, Kind kind) : kind_(kind), path_(path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    socket_ = socket(AF_UNIX, (kind == Kind::Stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (socket_ < 0)
        return;
    if (bind(socket_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        (kind == Kind::Stream && listen(socket_, 4) != 0)) {
        close(socket_);
        socket_ = -1;
    }
}

LogListener::~LogListener()
{
    if (connection_ >= 0)
        close(connection_);
    if (socket_ >= 0) {
        close(socket_);
        unlink(path_.c_str());
    }
}

namespace {

bool Readable(int fd, int milliseconds)
{
    pollfd wait{fd, POLLIN, 0};
    return fd >= 0 && poll(&wait, 1, milliseconds) == 1;
}

}  // namespace

std::optional<std::string> LogListener::Receive()
{
    if (kind_ == Kind::Datagram) {
        if (!Readable(socket_, 5000))
            return std::nullopt;
        char message[65536];
        const ssize_t n = recv(socket_, message, sizeof message, 0);
        if (n < 0)
            return std::nullopt;
        return std::string(message, static_cast<std::size_t>(n));
    }
    if (connection_ < 0) {
        if (!Readable(socket_, 5000))
            return std::nullopt;
        connection_ = accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    std::string message;
    char c;
    while (Readable(connection_, 5000) && recv(connection_, &c, 1, 0) == 1) {
        if (c == '\0')
            return message;
        message.push_back(c);
    }
    return std::nullopt;  // cut short: no NUL ended the message
}

bool LogListener::Pending()
{
    return Readable(kind_ == Kind::Stream && connection_ >= 0 ? connection_ : socket_, 0);
}

}  // namespace zelmo::test::host
