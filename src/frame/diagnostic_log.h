// The library's internal diagnostic log: one line per recorded message in
// "Log/<executable name>.Assert.log" beside the host executable, each prefixed
// with a millisecond tick count, and the message echoed to the debugger
// output. Only messages of level kRecordedLevel are recorded.
#pragma once

#include <cstdio>

namespace zelmo {

inline constexpr int kRecordedLevel = 10;

// printf-style; a message longer than 4095 bytes is cut to that length. A
// message without any line feed gets one at its end.
void WriteDiagnosticLog(int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Holder of the log file: null until the first recorded message opens it,
// then open until unload.
class DiagnosticLogFile {
public:
    constexpr DiagnosticLogFile() = default;
    ~DiagnosticLogFile() { Close(); }
    DiagnosticLogFile(const DiagnosticLogFile &) = delete;
    DiagnosticLogFile &operator=(const DiagnosticLogFile &) = delete;

    // Creates the log directory if needed, opens (empties) the file and writes
    // the header line; the holder stays null when the file cannot be opened.
    // Called with the log lock held.
    void Open();
    // Flushes and closes the file if it is open.
    void Close();

    std::FILE *file() const { return file_; }

private:
    std::FILE *file_ = nullptr;
};

namespace frame {

// Flushes and closes the log file at unload, with the log lock held unless
// the whole process is ending.
void CloseDiagnosticLog(bool processEnding = false);

// Where debugger output goes; tests replace it to see what the log sends.
// Returns the previous destination.
using DebugOutputFn = void (*)(const wchar_t *text);
DebugOutputFn SetDebugOutput(DebugOutputFn output);

}  // namespace frame
}  // namespace zelmo
