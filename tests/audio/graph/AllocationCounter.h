#pragma once

namespace quorvelle::test
{
// Counts the C allocator calls (malloc, calloc, realloc, posix_memalign, aligned_alloc, memalign,
// free) that the calling thread makes while an AllocationCounter lives on it. operator new and
// delete reach these too. Other threads are never counted.
//
// The counting works by replacing the malloc family in the test executable (AllocationCounter.cpp
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

private:
    long long allocationsAtStart;
    long long freesAtStart;
};
} // namespace quorvelle::test
