// The cache directory as a whole: listing by entry, and the prune.
#include "cache/store.h"

#include <algorithm>
#include <map>

namespace zelmo::cache {
namespace {

constexpr std::size_t kNameLength = 32;

bool IsEntryName(const std::string &file)
{
    if (file.size() < kNameLength)
        return false;
    for (std::size_t i = 0; i < kNameLength; ++i) {
        const char c = file[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool EndsWith(const std::string &s, const char *tail)
{
    const std::size_t n = std::char_traits<char>::length(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

const platform::DirectoryFile *EntryOnDisk::File(const std::string &suffix) const
{
    for (const platform::DirectoryFile &f : files)
        if (f.name.size() == kNameLength + suffix.size() && f.name.compare(kNameLength, suffix.size(), suffix) == 0)
            return &f;
    return nullptr;
}

bool EntryOnDisk::Has(const std::string &suffix) const
{
    return File(suffix) != nullptr;
}

bool ListEntries(const std::string &directory, std::vector<EntryOnDisk> &entries, std::uint64_t *total)
{
    std::vector<platform::DirectoryFile> files;
    if (!platform::ListDirectory(directory, files))
        return !platform::PathExists(directory.c_str());
    std::map<std::string, EntryOnDisk> byName;
    std::uint64_t sum = 0;
    for (platform::DirectoryFile &f : files) {
        if (!IsEntryName(f.name))
            continue;
        EntryOnDisk &e = byName[f.name.substr(0, kNameLength)];
        e.allocated += f.allocated;
        e.lastUseNs = std::max(e.lastUseNs, f.modifiedNs);
        sum += f.allocated;
        e.files.push_back(std::move(f));
    }
    if (total != nullptr)
        *total = sum;
    entries.clear();
    entries.reserve(byName.size());
    for (auto &[name, e] : byName) {
        e.name = name;
        if (e.files.size() == 1 && e.Has("l"))
            continue;
        entries.push_back(std::move(e));
    }
    return true;
}

bool Prune(const std::string &directory, std::uint64_t maxBytes, const std::string &keep, PruneCounts &counts)
{
    std::vector<EntryOnDisk> entries;
    std::uint64_t total = 0;
    if (!ListEntries(directory, entries, &total))
        return false;
    counts = PruneCounts();
    counts.before = total;
    std::sort(entries.begin(), entries.end(), [](const EntryOnDisk &a, const EntryOnDisk &b) {
        return a.lastUseNs != b.lastUseNs ? a.lastUseNs < b.lastUseNs : a.name < b.name;
    });
    for (const EntryOnDisk &e : entries) {
        if (total <= maxBytes || e.name == keep) {
            ++counts.kept;
            continue;
        }
        const std::string base = directory + e.name;
        const std::string lockPath = base + "l";
        platform::FileLock writing;
        platform::UseLock reading;
        std::string why;
        if (writing.Acquire(lockPath.c_str(), 0, why) != platform::FileLock::Result::Held ||
            reading.TryAcquire(lockPath.c_str(), true) != platform::UseLock::Result::Held) {
            ++counts.busy;
            ++counts.kept;
            continue;
        }
        // The header first: from then on the entry counts as missing.
        std::vector<const platform::DirectoryFile *> order;
        for (const char *suffix : {"h", "s", "m", ""})
            if (const platform::DirectoryFile *f = e.File(suffix))
                order.push_back(f);
        for (const platform::DirectoryFile &f : e.files)
            if (std::find(order.begin(), order.end(), &f) == order.end() && f.name != e.name + "l" &&
                !EndsWith(f.name, ".tmp"))
                order.push_back(&f);
        // A header that cannot go (a reader that has it open, on Windows)
        // keeps the whole entry as it is.
        bool whole = true;
        for (const platform::DirectoryFile *f : order) {
            const std::string path = directory + f->name;
            if (platform::DeleteFileAt(path.c_str()) || !platform::PathExists(path.c_str()))
                total -= std::min(total, f->allocated);
            else {
                whole = false;
                if (f == order.front() && (e.Has("h") || e.Has("s")))
                    break;
            }
        }
        if (whole) {
            ++counts.removed;
        } else {
            ++counts.busy;
            ++counts.kept;
        }
    }
    counts.after = total;
    return true;
}

}  // namespace zelmo::cache
