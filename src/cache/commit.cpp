// The commit of a downloaded entry: temporaries renamed into place, the
// header file last.
#include "cache/cache.h"
#include "platform/platform.h"

namespace zelmo::cache {
namespace {

// Puts `temp` in the place of `target`; true when `temp` is gone and
// `target` holds its bytes.
bool Place(const std::string &temp, const std::string &target)
{
    switch (platform::ReplaceFileByRename(temp.c_str(), target.c_str())) {
    case platform::Replaced::Done:
        return true;
    case platform::Replaced::OtherVolume:
        if (!platform::CopyFileOver(temp.c_str(), target.c_str()))
            return false;
        platform::DeleteFileAt(temp.c_str());
        return true;
    case platform::Replaced::Refused:
        break;
    }
    return false;
}

}  // namespace

Committed CommitEntry(const std::string &bodyTemp, const std::string &body, const std::string &headerTemp,
                      const std::string &header)
{
    if (!Place(bodyTemp, body))
        return Committed::Neither;
    return Place(headerTemp, header) ? Committed::Both : Committed::HeaderKept;
}

}  // namespace zelmo::cache
