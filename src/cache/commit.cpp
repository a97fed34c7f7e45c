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
    // The old body goes first: a rename over an existing file makes some
    // file systems (ext4's replace-by-rename heuristic) write the new file's
    // data out before the rename returns, which costs a large body tens of
    // milliseconds. Meanwhile the entry has no body file and counts as
    // incomplete; its header still is the old one, so no state on the way
    // has a header calling a torn or foreign body complete. The old body
    // leaves its name even while a reader still has it open.
    platform::RemoveFromItsName(body.c_str());
    if (!Place(bodyTemp, body))
        return Committed::Neither;
    return Place(headerTemp, header) ? Committed::Both : Committed::HeaderKept;
}

Committed CommitEntry(const std::string &bodyTemp, const std::string &body, const std::string &metaTemp,
                      const std::string &meta, const std::string &headerTemp, const std::string &header)
{
    platform::RemoveFromItsName(body.c_str());
    if (!Place(bodyTemp, body))
        return Committed::Neither;
    if (!Place(metaTemp, meta))
        return Committed::HeaderKept;
    return Place(headerTemp, header) ? Committed::Both : Committed::HeaderKept;
}

bool RefreshEntry(const std::string &metaTemp, const std::string &meta, const std::string &headerTemp,
                  const std::string &header)
{
    return Place(metaTemp, meta) && Place(headerTemp, header);
}

bool DropEntry(const EntryFiles &files)
{
    bool ok = true;
    for (const std::string *path : {&files.header, &files.meta, &files.body})
        if (platform::PathExists(path->c_str()) && !platform::DeleteFileAt(path->c_str()))
            ok = false;
    return ok;
}

}  // namespace zelmo::cache
