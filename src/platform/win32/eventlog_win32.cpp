// Win32 event log: RegisterEventSourceA, ReportEventA, DeregisterEventSource.
#include <winsock2.h>
#include <windows.h>

#include "platform/platform.h"

namespace zelmo::platform {

EventSource OpenEventSource(const char *endpoint, const char *sourceName)
{
    return RegisterEventSourceA(endpoint, sourceName);
}

void ReportEventMessage(EventSource source, EventType type, const char *message)
{
    const char *strings[1] = {message};
    ReportEventA(source, static_cast<WORD>(type), 0, 0, nullptr, 1, 0, strings, nullptr);
}

int CloseEventSource(EventSource source)
{
    return DeregisterEventSource(source);
}

}  // namespace zelmo::platform
