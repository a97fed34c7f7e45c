// zelmo host and zelmo eventlog.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "zelmo.h"

namespace cli {
namespace {

int RunHost(const Args &args)
{
    Parsed parsed;
    const std::string error = ParseOptions(args, {{"--adapter", nullptr, true}}, parsed);
    if (!error.empty())
        return UsageError(kHostCommand, error);
    if (!parsed.operands.empty())
        return UsageError(kHostCommand, "unexpected argument '" + parsed.operands[0] + "'");
    int adapter = 0;
    if (parsed.Has("--adapter")) {
        const std::string &text = parsed.Value("--adapter");
        char *end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || value < 0 || value > 255)
            return UsageError(kHostCommand, "the adapter is a number from 0 to 255");
        adapter = static_cast<int>(value);
    }
    unsigned char identifier[6];
    GetMacAddr(adapter, identifier);
    // The volume serial number stands in for an adapter without a hardware
    // address: four bytes and two zero ones (a hardware address ending in
    // two zero bytes reads the same).
    const bool volumeSerial = identifier[4] == 0 && identifier[5] == 0;
    std::printf("identifier: %02x:%02x:%02x:%02x:%02x:%02x%s\n", identifier[0], identifier[1], identifier[2],
                identifier[3], identifier[4], identifier[5],
                volumeSerial ? " (the volume serial number: the adapter has no hardware address)" : "");

    int status = kOk;
    char name[256];
    if (GetLocalHostName(name, sizeof name) == 1) {
        std::printf("host name:  %s\n", name);
    } else {
        std::fprintf(stderr, "zelmo host: the host name is not available\n");
        status = kFailed;
    }
    char ip[16];
    if (GetLocalIP(ip)) {
        std::printf("IPv4:       %s\n", ip);
    } else {
        std::fprintf(stderr, "zelmo host: the host name resolves to no IPv4 address\n");
        status = kFailed;
    }
    return status;
}

int RunEventLog(const Args &given)
{
    Parsed parsed;
    const std::string error = ParseOptions(given, {}, parsed);
    if (!error.empty())
        return UsageError(kEventLogCommand, error);
    const Args &args = parsed.operands;
    if (args.size() < 3)
        return UsageError(kEventLogCommand, "expected a severity, a source and a message");
    int (*report)(const char *, const char *, ...) = nullptr;
    if (args[0] == "error")
        report = EventLogError;
    else if (args[0] == "warning")
        report = EventLogWarning;
    else if (args[0] == "info")
        report = EventLogInformation;
    else
        return UsageError(kEventLogCommand, "expected error, warning or info");
    // The message is passed as an argument, never as the format.
    const std::string message = TextInput(args, 2);
    if (report(args[1].c_str(), "%s", message.c_str()) == 0) {
        std::fprintf(stderr, "zelmo eventlog: the event log cannot be reached\n");
        return kFailed;
    }
    return kOk;
}

}  // namespace

const Command kHostCommand = {
    "host", "this machine's identifier, host name and IPv4 address",
    "usage: zelmo host [--adapter N]\n"
    "Prints the six-byte machine identifier of adapter N (default 0) as\n"
    "hexadecimal bytes separated by colons (GetMacAddr), the host name\n"
    "(GetLocalHostName) and the first IPv4 address the host name resolves to\n"
    "(GetLocalIP). The identifier is the adapter's hardware address, or the\n"
    "system volume's serial number and two zero bytes when the adapter has\n"
    "none, which the line then says. Exit status 1 when the name or\n"
    "the address is not available.\n",
    RunHost};

const Command kEventLogCommand = {
    "eventlog", "report an event to the system log (EventLogError ...)",
    "usage: zelmo eventlog error|warning|info SOURCE MESSAGE...\n"
    "Reports MESSAGE (the remaining arguments joined by spaces, cut at 255\n"
    "characters) as one event of the given severity under the event source\n"
    "SOURCE: the Windows event log, or the local syslog socket /dev/log with\n"
    "SOURCE as the identity. Exit status 1 when the log cannot be reached.\n",
    RunEventLog};

}  // namespace cli
