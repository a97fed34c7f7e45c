// Event log reports, with the event log's place as a parameter.
#pragma once

#include <cstdarg>

#include "platform/platform.h"

namespace zelmo::host {

// The message buffer: the formatted text is cut at 255 characters.
inline constexpr int kEventMessageSize = 256;

// Formats one message and reports it as an event of `type` under `sourceName`
// to the event log at `endpoint` (null: the system's own; see
// platform::OpenEventSource). 0 when the source could not be registered,
// otherwise the result of deregistering it.
int ReportEvent(const char *endpoint, platform::EventType type, const char *sourceName,
                const char *format, va_list args);

}  // namespace zelmo::host
