// Password prompt of the zelmo host, per platform (terminal_posix.cpp,
// terminal_win32.cpp).
#pragma once

#include <string>

namespace cli {

// Whether standard input is an interactive terminal.
bool StdinIsTerminal();
// Prints `prompt` to standard error and reads one line without echo.
std::string ReadHidden(const char *prompt);
// Makes standard output pass bytes unchanged (no line-end translation).
void BinaryStdout();

}  // namespace cli
