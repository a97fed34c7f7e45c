// The counter behind ExitAtRename; the wrappers of the system's rename call
// are in rename_exit_posix.cpp and rename_exit_win32.cpp.
#include "support/rename_exit.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace zelmo::test {
namespace {

std::atomic<int> remaining{0};
std::atomic<bool> exitAfter{false};
std::atomic<int> exitCode{0};
thread_local bool chosen = false;

}  // namespace

void ExitAtRename(int nth, bool afterIt, int code)
{
    exitAfter = afterIt;
    exitCode = code;
    remaining = nth;
}

void CountRename(bool done)
{
    if (!done)
        chosen = remaining > 0 && remaining.fetch_sub(1) == 1;
    if (chosen && done == exitAfter.load()) {
        std::fflush(nullptr);
        std::_Exit(exitCode.load());
    }
}

}  // namespace zelmo::test
