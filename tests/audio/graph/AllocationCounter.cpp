#include "tests/audio/graph/AllocationCounter.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>

// glibc's own entry points, which the replacements below forward to.
extern "C"
{
void* __libc_malloc (std::size_t);
void* __libc_calloc (std::size_t, std::size_t);
void* __libc_realloc (void*, std::size_t);
void __libc_free (void*);
void* __libc_memalign (std::size_t, std::size_t);
}

namespace
{
// Plain thread-locals of the executable: static TLS, usable from inside the allocator without
// allocating.
thread_local int armedDepth = 0;
thread_local long long allocationCount = 0;
thread_local long long freeCount = 0;

inline void countAllocation()
{
    if (armedDepth > 0)
        ++allocationCount;
}

inline void countFree (void* p)
{
    if (armedDepth > 0 && p != nullptr)
        ++freeCount;
}

bool isPowerOfTwo (std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }
} // namespace

extern "C"
{
void* malloc (std::size_t size)
{
    countAllocation();
    return __libc_malloc (size);
}

void* calloc (std::size_t count, std::size_t size)
{
    countAllocation();
    return __libc_calloc (count, size);
}

void* realloc (void* p, std::size_t size)
{
    countAllocation();
    return __libc_realloc (p, size);
}

void free (void* p)
{
    countFree (p);
    __libc_free (p);
}

int posix_memalign (void** out, std::size_t alignment, std::size_t size)
{
    countAllocation();
    if (! isPowerOfTwo (alignment) || alignment % sizeof (void*) != 0)
        return EINVAL;
    void* p = __libc_memalign (alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

void* aligned_alloc (std::size_t alignment, std::size_t size)
{
    countAllocation();
    return __libc_memalign (alignment, size);
}

void* memalign (std::size_t alignment, std::size_t size)
{
    countAllocation();
    return __libc_memalign (alignment, size);
}
}

namespace quorvelle::test
{
AllocationCounter::AllocationCounter() : allocationsAtStart (allocationCount), freesAtStart (freeCount)
{
    ++armedDepth;
}

AllocationCounter::~AllocationCounter() { --armedDepth; }

long long AllocationCounter::allocations() const { return allocationCount - allocationsAtStart; }
long long AllocationCounter::frees() const { return freeCount - freesAtStart; }
} // namespace quorvelle::test
