// POSIX implementation of the platform seam.
#include "platform/platform.h"

#include <sys/stat.h>
#include <time.h>

namespace zelmo::platform {

void StartSockets() {}  // BSD sockets need no start-up
void StopSockets() {}
bool SocketsUsableAtUnload()
{
    return true;
}

FileFacts ProbeFile(const char *path)
{
    FileFacts facts;
    struct stat st;
    if (stat(path, &st) != 0)
        return facts;
    facts.found = true;
    // Only regular files count as files: directories, device nodes, FIFOs
    // and sockets are refused the way a file search refuses a directory.
    facts.directory = !S_ISREG(st.st_mode);
    facts.size = static_cast<std::uint64_t>(st.st_size);
    struct tm local;
    if (localtime_r(&st.st_mtime, &local) != nullptr) {
        const int year = local.tm_year + 1900;
        facts.dosTime = year >= 1980 && year <= 2107;
    }
    return facts;
}

void RunOnce(OnceFlag &flag, void (*function)())
{
    std::call_once(flag, function);
}

}  // namespace zelmo::platform
