#include "support/failing_allocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/os.h"

// Plain atomics rather than thread-local state, and the system's thread id:
// on Windows thread-local storage and the threads library's thread record
// are themselves allocated with malloc on a thread's first use.
namespace {

std::atomic<long> failAt{0};  // 0: not armed
std::atomic<long> seen{0};
std::atomic<bool> refused{false};
std::atomic<unsigned long> armedBy{0};  // only this thread's allocations count

}  // namespace

bool zelmo::test::RefuseThisAllocation()
{
    if (failAt.load(std::memory_order_relaxed) == 0 || os::CurrentThreadId() != armedBy.load())
        return false;
    if (seen.fetch_add(1, std::memory_order_relaxed) + 1 != failAt.load(std::memory_order_relaxed))
        return false;
    refused.store(true, std::memory_order_relaxed);
    return true;
}

extern "C" {

void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *memory, std::size_t size);

void *__wrap_malloc(std::size_t size)
{
    return zelmo::test::RefuseThisAllocation() ? nullptr : __real_malloc(size);
}

void *__wrap_calloc(std::size_t count, std::size_t size)
{
    return zelmo::test::RefuseThisAllocation() ? nullptr : __real_calloc(count, size);
}

void *__wrap_realloc(void *memory, std::size_t size)
{
    return zelmo::test::RefuseThisAllocation() ? nullptr : __real_realloc(memory, size);
}

}  // extern "C"

namespace zelmo::test {

AllocationFailure::AllocationFailure(long n)
{
    seen = 0;
    refused = false;
    armedBy = os::CurrentThreadId();
    failAt = n;
}

AllocationFailure::~AllocationFailure()
{
    failAt = 0;
}

long AllocationFailure::Seen() const
{
    return seen;
}

bool AllocationFailure::Refused() const
{
    return refused;
}

}  // namespace zelmo::test

#if defined(__SANITIZE_THREAD__)
#define ZELMO_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZELMO_TEST_TSAN 1
#endif
#endif

// operator new through the wrapped malloc, so that the standard library's
// containers inside the library fail as well. ThreadSanitizer's runtime
// brings its own operator new and cannot share it; that build runs no
// out-of-memory tests.
#ifndef ZELMO_TEST_TSAN
void *operator new(std::size_t size)
{
    if (void *p = std::malloc(size > 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void *operator new[](std::size_t size)
{
    return operator new(size);
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return std::malloc(size > 0 ? size : 1);
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return std::malloc(size > 0 ? size : 1);
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}

#endif  // ZELMO_TEST_TSAN
