// The parts of the zelmo host that differ per platform (terminal_posix.cpp,
// terminal_win32.cpp): the terminal, binary standard streams, the release
// of the library's BSTR conversion results and the user's cache directory.
#pragma once

#include <string>

#include "zelmo.h"

namespace cli {

// Whether standard input is an interactive terminal.
bool StdinIsTerminal();
// Whether standard error is an interactive terminal (for progress bars).
bool StderrIsTerminal();
// Whether standard output is an interactive terminal.
bool StdoutIsTerminal();
// The system's text for an error code of its socket or file calls.
std::string SystemErrorText(long code);
// Prints `prompt` to standard error and reads one line without echo.
std::string ReadHidden(const char *prompt);
// Makes standard output pass bytes unchanged (no line-end translation).
void BinaryStdout();
// Makes standard input pass bytes unchanged (no line-end translation).
void BinaryStdin();

// The UTF-16 code units of a BSTR, its terminator excluded (SysStringLen).
unsigned BstrLength(ZelmoBstr bstr);
// Releases what PszToBstr returned (SysFreeString).
void ReleaseBstr(ZelmoBstr bstr);
// Releases what PszFromBstr returned (LocalFree).
void ReleaseText(char *text);

// The user's own cache directory for the tool's downloads: on POSIX
// $XDG_CACHE_HOME/zelmo (an absolute $XDG_CACHE_HOME only), else
// $HOME/.cache/zelmo; on Windows %LOCALAPPDATA%\Zelmo. Empty, with the
// reason in `why`, when the system names none.
std::string UserCacheDirectory(std::string &why);

}  // namespace cli
