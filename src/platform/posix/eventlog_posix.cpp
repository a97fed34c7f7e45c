// POSIX event log: one RFC 3164 message per event, "<PRI>TIMESTAMP IDENT: MSG",
// sent to the local syslog socket. Registering a source connects to the
// socket, so a log that cannot be reached fails the registration, which
// syslog(3) could not report.
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace zelmo::platform {
namespace {

struct SyslogSource {
    int socket;
    bool stream;  // a stream socket frames each message with a NUL
    std::string ident;
};

int Connect(const sockaddr_un &address, int type)
{
    const int s = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int error = errno;
        close(s);
        errno = error;
        return -1;
    }
    return s;
}

int Severity(EventType type)
{
    switch (type) {
    case EventType::Error: return LOG_ERR;
    case EventType::Warning: return LOG_WARNING;
    case EventType::Information: break;
    }
    return LOG_INFO;
}

// "Mmm dd hh:mm:ss" in local time, the day padded with a blank; the month
// names are fixed, whatever the host's locale.
std::string Timestamp()
{
    static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr)
        return "Jan  1 00:00:00";
    char text[32];
    std::snprintf(text, sizeof text, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon % 12],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

}  // namespace

EventSource OpenEventSource(const char *endpoint, const char *sourceName)
{
    const char *path = endpoint != nullptr ? endpoint : "/dev/log";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return nullptr;
    std::strcpy(address.sun_path, path);
    bool stream = false;
    int s = Connect(address, SOCK_DGRAM);
    if (s < 0 && errno == EPROTOTYPE) {  // some log daemons listen on a stream socket
        s = Connect(address, SOCK_STREAM);
        stream = true;
    }
    if (s < 0)
        return nullptr;
    try {
        return new SyslogSource{s, stream, sourceName};
    } catch (const std::bad_alloc &) {
        close(s);
        return nullptr;
    }
}

void ReportEventMessage(EventSource handle, EventType type, const char *message)
{
    const auto *source = static_cast<const SyslogSource *>(handle);
    try {
        // GCC 12 warns (-Wrestrict) about the memcpy inside "literal" + string&&, a
        // false positive (GCC bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        std::string line = "<" + std::to_string(LOG_USER | Severity(type)) + ">" + Timestamp() +
                           " " + source->ident + ": " + message;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        if (source->stream)
            line.push_back('\0');
        send(source->socket, line.data(), line.size(), MSG_NOSIGNAL);
    } catch (const std::bad_alloc &) {
        // a report that cannot be built is lost, as a failed report is
    }
}

int CloseEventSource(EventSource handle)
{
    auto *source = static_cast<SyslogSource *>(handle);
    const bool closed = close(source->socket) == 0;
    delete source;
    return closed ? 1 : 0;
}

}  // namespace zelmo::platform
