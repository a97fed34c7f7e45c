// EventLogError, EventLogWarning, EventLogInformation: one formatted message
// per call, reported under a source that is registered for that call only.
#include "host/eventlog.h"

#include <cstdio>

#include "zelmo.h"

namespace zelmo::host {

int ReportEvent(const char *endpoint, platform::EventType type, const char *sourceName,
                const char *format, va_list args)
try {
    if (sourceName == nullptr || format == nullptr)
        return 0;
    // Formatted first, on every call, also when the registration then fails.
    char message[kEventMessageSize];
    if (std::vsnprintf(message, sizeof message, format, args) < 0)
        message[0] = '\0';
    platform::EventSource source = platform::OpenEventSource(endpoint, sourceName);
    if (source == nullptr)
        return 0;
    platform::ReportEventMessage(source, type, message);
    return platform::CloseEventSource(source);
} catch (...) {
    return 0;  // nothing past the source's opening throws, so nothing is left open
}

}  // namespace zelmo::host

namespace {

int Report(zelmo::platform::EventType type, const char *sourceName, const char *format,
           va_list args)
{
    return zelmo::host::ReportEvent(nullptr, type, sourceName, format, args);
}

}  // namespace

extern "C" {

int ZELMO_CDECL EventLogError(const char *sourceName, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = Report(zelmo::platform::EventType::Error, sourceName, format, args);
    va_end(args);
    return result;
}

int ZELMO_CDECL EventLogWarning(const char *sourceName, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = Report(zelmo::platform::EventType::Warning, sourceName, format, args);
    va_end(args);
    return result;
}

int ZELMO_CDECL EventLogInformation(const char *sourceName, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = Report(zelmo::platform::EventType::Information, sourceName, format, args);
    va_end(args);
    return result;
}

}  // extern "C"
