#include "tests/support/AllocationCounter.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

// glibc's own entry points, which the replacements below forward to.
extern "C"
{
void* __libc_malloc (std::size_t);
void* __libc_calloc (std::size_t, std::size_t);
void* __libc_realloc (void*, std::size_t);
void __libc_free (void*);
void* __libc_memalign (std::size_t, std::size_t);
// The C library's lock functions under their internal names (versioned only as compat symbols, so
// bound by version here).
int realMutexLock (pthread_mutex_t*);
int realRwlockRdlock (pthread_rwlock_t*);
int realRwlockWrlock (pthread_rwlock_t*);
__asm__ (".symver realMutexLock, __pthread_mutex_lock@GLIBC_2.2.5");
__asm__ (".symver realRwlockRdlock, __pthread_rwlock_rdlock@GLIBC_2.2.5");
__asm__ (".symver realRwlockWrlock, __pthread_rwlock_wrlock@GLIBC_2.2.5");
}

namespace
{
// Plain thread-locals of the executable: static TLS, usable from inside the allocator without
// allocating.
thread_local int armedDepth = 0;
thread_local long long allocationCount = 0;
thread_local long long freeCount = 0;

// Lock calls while armed, the first of them by address.
constexpr long long recordedLocks = 4096;
thread_local long long lockCount = 0;
thread_local const void* lockAddresses[recordedLocks];

inline void countLock (const void* lock)
{
    if (armedDepth <= 0)
        return;
    if (lockCount < recordedLocks)
        lockAddresses[lockCount] = lock;
    ++lockCount;
}

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

int pthread_mutex_lock (pthread_mutex_t* mutex)
{
    countLock (mutex);
    return realMutexLock (mutex);
}

int pthread_rwlock_rdlock (pthread_rwlock_t* lock)
{
    countLock (lock);
    return realRwlockRdlock (lock);
}

int pthread_rwlock_wrlock (pthread_rwlock_t* lock)
{
    countLock (lock);
    return realRwlockWrlock (lock);
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
AllocationCounter::AllocationCounter()
    : allocationsAtStart (allocationCount), freesAtStart (freeCount), locksAtStart (lockCount)
{
    ++armedDepth;
}

AllocationCounter::~AllocationCounter() { --armedDepth; }

long long AllocationCounter::allocations() const { return allocationCount - allocationsAtStart; }
long long AllocationCounter::frees() const { return freeCount - freesAtStart; }
long long AllocationCounter::locks() const { return lockCount - locksAtStart; }

long long AllocationCounter::locksOutside (std::initializer_list<AcceptedLocks> accepted) const
{
    long long outside = 0;
    for (auto i = locksAtStart; i < lockCount; ++i)
    {
        if (i >= recordedLocks)
        {
            ++outside;
            continue;
        }
        const auto* address = static_cast<const char*> (lockAddresses[i]);
        bool inside = false;
        for (const auto& object : accepted)
        {
            const auto* begin = static_cast<const char*> (object.object);
            inside = inside || (address >= begin && address < begin + object.size);
        }
        if (! inside)
            ++outside;
    }
    return outside;
}
} // namespace quorvelle::test
