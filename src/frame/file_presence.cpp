#include "frame/frame.h"
#include "platform/platform.h"

namespace zelmo {

int IsFilePresent(const char *path)
{
    if (path == nullptr || *path == '\0')
        return -1;
    const platform::FileFacts facts = platform::ProbeFile(path);
    return facts.found && !facts.directory && facts.dosTime ? 1 : -1;
}

}  // namespace zelmo
