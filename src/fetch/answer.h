// The answer a fetch serves, handed to the host's answer callback as a
// browser would see it (zelmo_fetch.h, "Answers").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "zelmo_fetch.h"

namespace zelmo::fetch {

// One call's announcement of its answer: made once at most, from whichever
// step serves first — the transfer before a body's first byte reaches the
// sink, or the fetch before it serves what it stored.
class Announcer {
public:
    Announcer() = default;
    Announcer(ZelmoFetchAnswerCallback callback, void *data, std::size_t index)
        : callback_(callback), data_(data), index_(index)
    {
    }

    // Hands the host the answer whose header block (status line first) is
    // `block`, its current age `age`: hop-by-hop fields removed, Age set.
    // False when the host asked to stop. Once announced, later calls do
    // nothing and return true. Throws std::bad_alloc.
    bool Announce(std::string_view block, std::int64_t age);
    bool Announced() const { return announced_; }

private:
    ZelmoFetchAnswerCallback callback_ = nullptr;
    void *data_ = nullptr;
    std::size_t index_ = 0;
    bool announced_ = false;
};

}  // namespace zelmo::fetch
