// Writing an entry (see editor.h).
#include "cache/editor.h"

#include <cstdio>

#include "cache/entry.h"
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

std::string PerCallName(const std::string &path)
{
    char token[17];
    std::snprintf(token, sizeof token, "%016llx", static_cast<unsigned long long>(platform::RandomBits()));
    return path + "." + token + ".part";
}

}  // namespace

Editor::Editor(EntryFiles files, Names names, bool shared) : files_(std::move(files)), names_(names), shared_(shared)
{
    const std::string *targets[3] = {&files_.body, &files_.header, &files_.meta};
    for (std::size_t i = 0; i < 3; ++i)
        if (!targets[i]->empty())
            temps_[i] = names_ == Names::Download ? *targets[i] + ".tmp" : PerCallName(*targets[i]);
}

Editor::~Editor()
{
    if (!done_ && names_ == Names::PerCall)
        Abort();
}

platform::File Editor::Create(Part part)
{
    const std::string &path = temps_[Index(part)];
    if (path.empty())
        return nullptr;
    placed_[Index(part)] = false;
    made_[Index(part)] = true;  // also when the open fails: a half-made file is deleted all the same
    // A fixed name may hold an earlier call's leftover; a per-call name
    // holds nothing, and the exclusive create refuses anything there.
    if (names_ == Names::Download)
        platform::DeleteFileAt(path.c_str());
    return platform::File(platform::CreateNewFile(path.c_str(), shared_));
}

bool Editor::Write(Part part, std::string_view text)
{
    return platform::WriteAndClose(Create(part), text);
}

platform::File Editor::AppendToPartial()
{
    return platform::File(platform::OpenToAppend(files_.partialBody.c_str()));
}

void Editor::BodyAside(const std::string &path)
{
    if (Made(Part::Body))
        platform::DeleteFileAt(temps_[Index(Part::Body)].c_str());
    aside_ = path;
    temps_[Index(Part::Body)] = PerCallName(path);
    made_[Index(Part::Body)] = false;
    placed_[Index(Part::Body)] = false;
}

bool Editor::PlaceAside()
{
    return !aside_.empty() && Put(Part::Body, aside_);
}

Committed Editor::Commit(bool fromPartial)
{
    platform::RemoveFromItsName(files_.body.c_str());
    if (!(fromPartial ? Place(files_.partialBody, files_.body) : Put(Part::Body, files_.body)))
        return Committed::Neither;
    if (!Put(Part::Header, files_.header))
        return Committed::HeaderKept;
    return !Made(Part::Meta) || Put(Part::Meta, files_.meta) ? Committed::Both : Committed::MetaKept;
}

bool Editor::Refresh()
{
    return (!Made(Part::Meta) || Put(Part::Meta, files_.meta)) && Put(Part::Header, files_.header);
}

bool Editor::CommitHeader()
{
    return Put(Part::Header, files_.header);
}

bool Editor::CommitPartial()
{
    const bool kept = DropPartial(files_) && Put(Part::Body, files_.partialBody) &&
                      Put(Part::Header, files_.partialHeader) && Put(Part::Meta, files_.partialMeta);
    if (!kept)
        DropPartial(files_);
    return kept;
}

bool Editor::Put(Part part, const std::string &target)
{
    return placed_[Index(part)] = Place(Temporary(part), target);
}

void Editor::Abort()
{
    done_ = true;
    for (std::size_t i = 0; i < 3; ++i)
        if (!temps_[i].empty() && !placed_[i] && (made_[i] || names_ == Names::Download))
            platform::DeleteFileAt(temps_[i].c_str());
}

}  // namespace zelmo::cache
