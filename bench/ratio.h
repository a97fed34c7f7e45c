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

// A line printed after the ratios: a figure a benchmark derived from its
// own measurements (calls per round trip, connections opened).
void Note(std::string line);

// A fault that fails the run (exit status 1) whatever the ratios say: a
// measuring setup that does not behave as it must, for instance. Printed
// after the ratios.
void Fail(std::string why);

}  // namespace bench
