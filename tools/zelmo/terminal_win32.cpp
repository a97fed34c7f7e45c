#include <windows.h>

#include <cstdio>
#include <iostream>

#include "terminal.h"

namespace cli {

bool StdinIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::string ReadHidden(const char *prompt)
{
    std::fputs(prompt, stderr);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    const bool console = GetConsoleMode(input, &saved) != 0;
    if (console)
        SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::string line;
    std::getline(std::cin, line);
    if (console)
        SetConsoleMode(input, saved);
    std::fputs("\n", stderr);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace cli

#include <fcntl.h>
#include <io.h>

namespace cli {

void BinaryStdout()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace cli
