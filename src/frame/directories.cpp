// The directory walk behind CheckAndCreateDircotry, shared by the cache and
// the diagnostic log.
#include <cstring>

#include "frame/frame.h"
#include "platform/platform.h"

namespace zelmo::frame {

bool CreateDirectoriesOf(const char *path)
{
    if (path == nullptr)
        return false;
    const std::size_t length = std::strlen(path);
    if (length > kMaxWalkPath)
        return false;
    char walk[kMaxWalkPath + 1] = {};
    std::memcpy(walk, path, length);
    // Single bytes are looked at: every separator byte ends a level.
    for (std::size_t i = 0; i < length; ++i) {
        if (walk[i] != platform::kPathSeparator)
            continue;
        const char after = walk[i + 1];
        walk[i + 1] = '\0';
        // A level that another thread or process made between the look and
        // the creation is there all the same.
        const bool ok = platform::PathExists(walk) || platform::MakeDirectory(walk) || platform::PathExists(walk);
        walk[i + 1] = after;
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace zelmo::frame
