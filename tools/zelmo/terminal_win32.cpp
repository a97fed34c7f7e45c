#include <windows.h>
#include <oleauto.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>

#include "terminal.h"

namespace cli {

bool StdinIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool StderrIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string SystemErrorText(long code)
{
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

bool StdoutIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
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

void BinaryStdout()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

void BinaryStdin()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

// The BSTR and the text come from the system's allocators.
unsigned BstrLength(ZelmoBstr bstr)
{
    return SysStringLen(bstr);
}

void ReleaseBstr(ZelmoBstr bstr)
{
    SysFreeString(bstr);
}

void ReleaseText(char *text)
{
    LocalFree(text);
}

}  // namespace cli

namespace cli {

std::string UserCacheDirectory(std::string &why)
{
    char path[MAX_PATH + 1];
    const DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        why = length == 0 ? "LOCALAPPDATA is not set" : "LOCALAPPDATA is longer than a path";
        return {};
    }
    return std::string(path, length) + "\\Zelmo";
}

}  // namespace cli
