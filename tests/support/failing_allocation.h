// Allocation failure on demand. The test program is linked with the heap
// functions of its static objects (the library's included) wrapped, and it
// replaces operator new; while an AllocationFailure exists, the n-th of
// those allocations (from 1) returns null, or throws std::bad_alloc from
// operator new. Only one may exist at a time, and no other thread should
// allocate meanwhile.
#pragma once

namespace zelmo::test {

class AllocationFailure {
public:
    explicit AllocationFailure(long failAt);
    ~AllocationFailure();
    AllocationFailure(const AllocationFailure &) = delete;
    AllocationFailure &operator=(const AllocationFailure &) = delete;

    // Allocations seen so far, and whether the chosen one was refused.
    long Seen() const;
    bool Refused() const;
};

}  // namespace zelmo::test
