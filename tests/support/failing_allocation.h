// Allocation failure on demand. The test program is linked with the heap
// functions of its static objects (the library's included) wrapped, and on
// Windows the import slots of SysAllocStringLen and LocalAlloc too; it
// replaces operator new (except under ThreadSanitizer). While an
// AllocationFailure exists, the n-th of those allocations (from 1) made by
// the thread that created it returns null, or throws std::bad_alloc from
// operator new; other threads (a loopback server's) allocate as usual. Only
// one may exist at a time.
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

// Counts one allocation; true when it is the one to refuse. For the wrappers
// of allocators beyond the C heap (failing_allocation_win32.cpp).
bool RefuseThisAllocation();

}  // namespace zelmo::test
