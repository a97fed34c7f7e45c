// Event log reports: EventLogError, EventLogWarning, EventLogInformation. On
// POSIX the events are received on a local datagram socket the test owns; on
// Windows the system's event log keeps them where a test cannot read them
// back (wine's event log only traces them), so there the results are checked.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "host/eventlog.h"
#include "support/files.h"
#include "support/gcc_warnings.h"
#include "support/host.h"
#include "zelmo.h"

namespace {

using zelmo::platform::EventType;
using zelmo::test::TempDir;
namespace host = zelmo::test::host;

int Report(const char *endpoint, EventType type, const char *source, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = zelmo::host::ReportEvent(endpoint, type, source, format, args);
    va_end(args);
    return result;
}

// A listener in a fresh directory; the endpoint to report to is its socket
// where the platform has one, otherwise the local computer's event log.
struct Log {
    TempDir dir;
    std::string path = (dir.path() / "log").string();
    host::LogListener listener{path};
    const char *endpoint() const { return listener.available() ? path.c_str() : nullptr; }
};

// "<PRI>Mmm dd hh:mm:ss IDENT: MSG" split into priority, identity and message.
struct Syslog {
    std::string priority, ident, message;
    bool timestamped = false;
};

Syslog Parse(const std::string &datagram)
{
    Syslog parsed;
    const std::size_t close = datagram.find('>');
    if (datagram.empty() || datagram[0] != '<' || close == std::string::npos)
        return parsed;
    parsed.priority = datagram.substr(1, close - 1);
    const std::string stamp = datagram.substr(close + 1, 16);  // "Dec  8 13:02:22 "
    parsed.timestamped = stamp.size() == 16 && stamp[3] == ' ' && stamp[6] == ' ' && stamp[9] == ':' &&
                         stamp[12] == ':' && stamp[15] == ' ';
    const std::string rest = datagram.substr(close + 17);
    const std::size_t colon = rest.find(": ");
    if (colon == std::string::npos)
        return parsed;
    parsed.ident = rest.substr(0, colon);
    parsed.message = rest.substr(colon + 2);
    return parsed;
}

TEST(EventLog, ReportsUnderTheSourceWithItsSeverity)
{
    Log log;
    struct Case {
        EventType type;
        const char *priority;  // user facility (8) plus the syslog severity
    };
    for (const Case c : {Case{EventType::Error, "11"}, Case{EventType::Warning, "12"},
                         Case{EventType::Information, "14"}}) {
        EXPECT_NE(Report(log.endpoint(), c.type, "ZelmoTest", "disk %s at %d%%", "C:", 97), 0);
        if (!log.listener.available())
            continue;
        const auto datagram = log.listener.Receive();
        ASSERT_TRUE(datagram.has_value());
        const Syslog event = Parse(*datagram);
        EXPECT_EQ(event.priority, c.priority) << *datagram;
        EXPECT_TRUE(event.timestamped) << *datagram;
        EXPECT_EQ(event.ident, "ZelmoTest");
        EXPECT_EQ(event.message, "disk C: at 97%");
    }
}

// GCC places its warning for "[" + longer.substr(...) at the test's end.
ZELMO_RESTRICT_FALSE_POSITIVE_BEGIN
TEST(EventLog, MessageIsCutAt255Characters)
{
    Log log;
    const std::string exact(255, 'e'), longer = std::string(254, 'l') + "xyz";
    struct Case {
        const char *format;
        std::string argument, expected;
    };
    const Case cases[] = {
        {"%s", exact, exact},                        // exactly 255: whole
        {"%s", longer, longer.substr(0, 255)},       // 257: cut
        {"%s%s", exact + exact, exact},              // far longer: cut, nothing overruns
        {"[%.300s]", longer, "[" + longer.substr(0, 254)},
    };
    for (const Case &c : cases) {
        EXPECT_NE(Report(log.endpoint(), EventType::Warning, "ZelmoTest", c.format, c.argument.c_str(),
                         c.argument.c_str()),
                  0);
        if (!log.listener.available())
            continue;
        const auto datagram = log.listener.Receive();
        ASSERT_TRUE(datagram.has_value());
        EXPECT_EQ(Parse(*datagram).message, c.expected) << c.format;
    }
}
ZELMO_RESTRICT_FALSE_POSITIVE_END

TEST(EventLog, EachCallRegistersItsOwnSource)
{
    Log log;
    if (!log.listener.available())
        GTEST_SKIP() << "the registrations cannot be observed on the system's event log";
    EXPECT_NE(Report(log.endpoint(), EventType::Information, "First", "one"), 0);
    EXPECT_NE(Report(log.endpoint(), EventType::Information, "Second", "two"), 0);
    const auto first = log.listener.Receive(), second = log.listener.Receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(Parse(*first).ident + " " + Parse(*first).message, "First one");
    EXPECT_EQ(Parse(*second).ident + " " + Parse(*second).message, "Second two");
    EXPECT_FALSE(log.listener.Pending()) << "one event per call";
}

TEST(EventLog, StreamSocketLogGetsNulEndedMessages)
{
    // Some log daemons listen on a stream socket; each message then ends with a NUL.
    TempDir dir;
    const std::string path = (dir.path() / "log").string();
    host::LogListener listener(path, host::LogListener::Kind::Stream);
    if (!listener.available())
        GTEST_SKIP() << "Windows reports to its own event log, not to a socket";
    ASSERT_NE(Report(path.c_str(), EventType::Warning, "ZelmoTest", "over %s", "stream"), 0);
    const auto message = listener.Receive();
    ASSERT_TRUE(message.has_value()) << "the message ends with a NUL";
    const Syslog event = Parse(*message);
    EXPECT_EQ(event.priority + " " + event.ident + ": " + event.message, "12 ZelmoTest: over stream");
}

TEST(EventLog, UnreachableLogFailsTheRegistration)
{
    Log log;
    if (!log.listener.available())
        GTEST_SKIP() << "Windows refuses a source on a server it cannot reach, but wine's "
                        "RegisterEventSource accepts any server";
    const std::string missing = (log.dir.path() / "no-socket").string();
    EXPECT_EQ(Report(missing.c_str(), EventType::Error, "ZelmoTest", "lost %d", 1), 0);
    TempDir plain;
    const std::string file = plain.Write("not-a-socket", "x");
    EXPECT_EQ(Report(file.c_str(), EventType::Error, "ZelmoTest", "lost %d", 2), 0);
    EXPECT_FALSE(log.listener.Pending());
}

TEST(EventLog, NullSourceOrFormatFails)
{
    Log log;
    EXPECT_EQ(EventLogError(nullptr, "text"), 0);
    EXPECT_EQ(EventLogWarning("ZelmoTest", nullptr), 0);
    EXPECT_EQ(Report(log.endpoint(), EventType::Information, nullptr, "text"), 0);
    EXPECT_FALSE(log.listener.Pending());
}

TEST(EventLog, ExportsReportToTheSystemLog)
{
    // On POSIX the system log is /dev/log: a private mount namespace gives the
    // test its own /dev, first without a log socket, then with one.
    const host::Isolated run = host::RunIsolated(
        {"mount -t tmpfs tmpfs /mnt", "mkdir /mnt/dev", "mount --rbind /dev /mnt/dev", "mount -t tmpfs tmpfs /dev",
         "for n in null zero urandom; do touch /dev/$n && mount --bind /mnt/dev/$n /dev/$n || exit 1; done"},
        [] {
            std::string found = std::to_string(EventLogError("Zelmo", "no log")) + "|";
            host::LogListener log("/dev/log");
            const int results[] = {EventLogError("ZelmoE", "%s %d", "error", 1),
                                   EventLogWarning("ZelmoW", "%s %d", "warning", 2),
                                   EventLogInformation("ZelmoI", "%s %d", "information", 3)};
            for (int result : results) {
                const auto datagram = log.Receive();
                const Syslog event = Parse(datagram.value_or(""));
                found += std::to_string(result != 0) + " <" + event.priority + ">" + event.ident + ": " +
                         event.message + "|";
            }
            return found;
        });
    if (run.skipped.empty()) {
        EXPECT_EQ(run.output, "0|1 <11>ZelmoE: error 1|1 <12>ZelmoW: warning 2|1 <14>ZelmoI: information 3|");
        return;
    }
    if (Log().listener.available())
        GTEST_SKIP() << run.skipped;
    // Windows: the local computer's event log takes each of the three.
    EXPECT_NE(EventLogError("ZelmoTest", "%s %d", "error", 1), 0);
    EXPECT_NE(EventLogWarning("ZelmoTest", "%s %d", "warning", 2), 0);
    EXPECT_NE(EventLogInformation("ZelmoTest", "%s %d", "information", 3), 0);
}

}  // namespace
