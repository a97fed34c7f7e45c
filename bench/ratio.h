// Benchmarks that compare Zelmo against a reference measured in the same
// run. Each comparison names two benchmarks doing the same work per
// iteration; the run ends with one ratio line per comparison.
#pragma once

#include <string>

namespace bench {

enum class Goal {
    Faster,   // ratio = reference time / our time; at least `target`
    Cheaper,  // ratio = our time / reference time; at most `target`
};

struct Comparison {
    std::string what;
    std::string ours;
    std::string reference;
    Goal goal;
    double target;
    bool counts = true;  // false: a goal, printed but not failing the run
};

// Registers a comparison; returns true so it can initialise a static.
bool Compare(Comparison comparison);

}  // namespace bench
