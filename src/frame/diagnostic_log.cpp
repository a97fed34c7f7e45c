#include "frame/diagnostic_log.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

#include "frame/frame.h"
#include "platform/platform.h"

namespace zelmo {
namespace {

constexpr std::size_t kBufferSize = 4096;  // each buffer: at most 4095 units and the NUL
constexpr std::size_t kHeaderSize = 1024;
constexpr wchar_t kWideSep = static_cast<wchar_t>(platform::kPathSeparator);
constexpr wchar_t kOpenError[] = L"Open log file error! Do not write log information.";

// Process-wide, constant-initialised: they exist before any loader hook runs.
// The lock serialises every recorded message, the opening of the file
// included, and is re-entrant for the thread that holds it.
constinit platform::RecursiveLock logLock;
constinit DiagnosticLogFile logFile;
constinit frame::DebugOutputFn debugOutput = platform::DebugOutput;

// Buffers used only with the log lock held.
char message[kBufferSize];
wchar_t wideMessage[kBufferSize];

}  // namespace

void DiagnosticLogFile::Open()
{
    std::wstring path = platform::ExecutablePathWide();
    debugOutput(path.c_str());

    // The executable's name keeps its final dot ("host.exe" logs to
    // "host.Assert.log"); a name without a dot gets one ("host" logs to
    // "host.Assert.log"). Dots in directory names do not count.
    std::wstring name;
    const std::size_t sep = path.rfind(kWideSep);
    if (sep != std::wstring::npos) {
        name = path.substr(sep + 1);
        const std::size_t dot = name.rfind(L'.');
        name = dot != std::wstring::npos ? name.substr(0, dot + 1) : name + L'.';
        name += L"Assert.log";
        path.erase(sep + 1);
    } else {
        path.clear();  // no directory to put the log in: relative to the current one
    }
    path += L"Log";
    path += kWideSep;
    path += name;
    debugOutput(path.c_str());

    // Directories are made with the narrow calls; a path the walk refuses
    // (4096 bytes or more) leaves the open below to fail.
    const std::string narrow = platform::NarrowPath(path);
    frame::CreateDirectoriesOf(narrow.c_str());

    file_ = platform::OpenTextForWriting(path);

    const platform::CalendarTime now = platform::LocalTime();
    wchar_t header[kHeaderSize] = {};
    std::swprintf(header, kHeaderSize, L"%d Year %d Month %d Day %d Hour %d Min %d Sec", now.year,
                  now.month, now.day, now.hour, now.minute, now.second);
    if (file_ != nullptr) {
        platform::WriteLogLine(file_, platform::TickCount(), header);
        std::fflush(file_);
    } else {
        debugOutput(kOpenError);
    }
}

void DiagnosticLogFile::Close()
{
    if (file_ == nullptr)
        return;
    std::fflush(file_);
    std::fclose(file_);
    file_ = nullptr;
}

void WriteDiagnosticLog(int level, const char *format, ...)
{
    if (level != kRecordedLevel)
        return;
    std::lock_guard<platform::RecursiveLock> hold(logLock);

    int formatted = 0;  // a null format records an empty message
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        formatted = std::vsnprintf(message, kBufferSize, format, args);
        va_end(args);
    }
    std::size_t length = formatted < 0 ? 0 : static_cast<std::size_t>(formatted);
    if (length > kBufferSize - 1)
        length = kBufferSize - 1;  // cut to the buffer
    message[length] = '\0';
    length = std::strlen(message);  // a NUL inside ends the text, as in any C string
    if (std::memchr(message, '\n', length) == nullptr) {
        if (length == kBufferSize - 1)
            --length;  // a full buffer gives up its last byte to the line feed
        message[length++] = '\n';
        message[length] = '\0';
    }
    platform::WidenLogText(message, length, wideMessage);

    if (logFile.file() == nullptr)
        logFile.Open();
    if (std::FILE *file = logFile.file()) {
        platform::WriteLogLine(file, platform::TickCount(), wideMessage);
        std::fflush(file);
    }
    debugOutput(wideMessage);
}

namespace frame {

void CloseDiagnosticLog(bool processEnding)
{
    if (processEnding) {
        logFile.Close();
        return;
    }
    std::lock_guard<platform::RecursiveLock> hold(logLock);
    logFile.Close();
}

DebugOutputFn SetDebugOutput(DebugOutputFn output)
{
    std::lock_guard<platform::RecursiveLock> hold(logLock);
    const DebugOutputFn previous = debugOutput;
    debugOutput = output != nullptr ? output : platform::DebugOutput;
    return previous;
}

}  // namespace frame
}  // namespace zelmo
