#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "terminal.h"

namespace cli {

bool StdinIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

std::string SystemErrorText(long code)
{
    return std::strerror(static_cast<int>(code));
}

bool StdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

std::string ReadHidden(const char *prompt)
{
    std::fputs(prompt, stderr);
    termios saved{};
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return line;
}

// POSIX streams never translate line ends.
void BinaryStdout() {}
void BinaryStdin() {}

// The library itself provides the BSTR and local memory functions here.
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
    // The XDG base directory rules: a relative $XDG_CACHE_HOME is ignored.
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/zelmo";
    const char *home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd *user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') {
        why = "neither XDG_CACHE_HOME nor HOME is set, and the user has no home directory";
        return {};
    }
    return std::string(home) + "/.cache/zelmo";
}

}  // namespace cli
