#pragma once

#include <cstddef>
#include <initializer_list>

namespace quorvelle::test
{
// Counts the C allocator calls (malloc, calloc, realloc, posix_memalign, aligned_alloc, memalign,
// free) and the blocking lock calls (pthread_mutex_lock, which std::mutex and juce::CriticalSection
// reach, and pthread_rwlock_rdlock/wrlock) that the calling thread makes while an AllocationCounter
// lives on it. operator new and delete reach the allocator calls too. Other threads are never
// counted. A spin lock (juce::SpinLock) is not a call of these and is not counted.
//
// The counting works by replacing these functions in the test executable (AllocationCounter.cpp
// must be linked into it); the replacements forward to the C library.
//
//     AllocationCounter counter;
//     source.getNextAudioBlock (info);
//     EXPECT_EQ (counter.allocations(), 0);
class AllocationCounter
{
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter (const AllocationCounter&) = delete;
    AllocationCounter& operator= (const AllocationCounter&) = delete;

    // malloc, calloc, realloc (also when it shrinks or frees), posix_memalign, aligned_alloc and
    // memalign calls on this thread since construction.
    long long allocations() const;
    // free calls with a non-null pointer on this thread since construction.
    long long frees() const;

    // An object whose own locks a test accepts (by address: the lock lies inside the object).
    struct AcceptedLocks
    {
        const void* object = nullptr;
        std::size_t size = 0;
    };
    template <typename T>
    static AcceptedLocks locksOf (const T& object) { return { &object, sizeof (T) }; }

    // Blocking lock calls on this thread since construction.
    long long locks() const;
    // Those whose lock lies in none of the accepted objects. The first 4096 lock calls of the thread
    // are recorded by address; a call beyond them counts here whatever its address.
    long long locksOutside (std::initializer_list<AcceptedLocks> accepted) const;

private:
    long long allocationsAtStart;
    long long freesAtStart;
    long long locksAtStart;
};
} // namespace quorvelle::test
