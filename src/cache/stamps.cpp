// What this process remembers of an entry's files by their stamps.
#include "cache/stamps.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>

namespace zelmo::cache {

namespace {

// What this process remembers of files by their stamps, one value per path,
// the oldest forgotten first beyond `capacity` paths.
template <typename Value>
class KeptByStamp {
public:
    explicit KeptByStamp(std::size_t capacity) : capacity_(capacity) {}

    std::optional<Value> Find(const std::string &path, const platform::FileStamp &stamp)
    {
        if (!stamp.found)
            return std::nullopt;
        const std::lock_guard<platform::Lock> hold(lock_);
        const auto it = byPath_.find(path);
        if (it == byPath_.end() || !(it->second.stamp == stamp))
            return std::nullopt;
        return it->second.value;
    }

    void Keep(const std::string &path, const platform::FileStamp &stamp, const Value &value)
    {
        if (!stamp.found || !Settled(stamp, platform::FileClockNow()))
            return;
        const std::lock_guard<platform::Lock> hold(lock_);
        try {
            if (const auto it = byPath_.find(path); it != byPath_.end()) {
                it->second = Kept{stamp, value};
                return;
            }
            order_.push_back(path);
            try {
                byPath_.emplace(path, Kept{stamp, value});
            } catch (...) {
                order_.pop_back();
                throw;
            }
            if (order_.size() > capacity_) {
                byPath_.erase(order_.front());
                order_.pop_front();
            }
        } catch (const std::bad_alloc &) {
            // Not remembered: the next look reads the file again.
        }
    }

private:
    struct Kept {
        platform::FileStamp stamp;
        Value value;
    };
    const std::size_t capacity_;
    platform::Lock lock_;
    std::unordered_map<std::string, Kept> byPath_;
    std::deque<std::string> order_;  // paths, oldest first
};

KeptByStamp<std::uint64_t> &Checks()
{
    static KeptByStamp<std::uint64_t> checks(kKeptChecks);
    return checks;
}

KeptByStamp<std::string> &Texts()
{
    static KeptByStamp<std::string> texts(kKeptTexts);
    return texts;
}

}  // namespace

bool Settled(const platform::FileStamp &stamp, std::int64_t now)
{
    constexpr std::int64_t second = 1'000'000'000;
    const bool fine = stamp.writeTime % second != 0 || stamp.changeTime % second != 0;
    return now - std::max(stamp.changeTime, stamp.writeTime) > (fine ? kSettledFineNs : kSettledNs);
}

bool CheckedBefore(const std::string &path, const platform::FileStamp &stamp, std::uint64_t digest)
{
    const std::optional<std::uint64_t> kept = Checks().Find(path, stamp);
    return kept && *kept == digest;
}

void KeepChecked(const std::string &path, const platform::FileStamp &stamp, std::uint64_t digest)
{
    Checks().Keep(path, stamp, digest);
}

std::optional<std::string> KeptText(const std::string &path, const platform::FileStamp &stamp)
{
    try {
        return Texts().Find(path, stamp);
    } catch (const std::bad_alloc &) {
        return std::nullopt;  // the file is read instead
    }
}

void KeepText(const std::string &path, const platform::FileStamp &stamp, const std::string &text)
{
    if (text.size() <= kKeptTextBytes)
        Texts().Keep(path, stamp, text);
}

}  // namespace zelmo::cache
