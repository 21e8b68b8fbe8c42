// Advice to the kernel for the large sample blocks a pad decode fills in one go.
// Threads: any; called on a block nobody else sees yet.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
 #include <sys/mman.h>
#endif

namespace quorvelle
{
// Asks for transparent huge pages over the whole 2 MiB pages inside [data, data + bytes), before
// the block is first written. A fresh block is otherwise filled one 4 KiB page fault at a time:
// 120 s of float stereo at 48 kHz is 46 MB and about 11,000 faults, most of a 24-bit pad decode on
// a virtual machine. Only a hint: where the kernel has no huge page to give, nothing changes.
inline void adviseHugePages (void* data, std::size_t bytes) noexcept
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t hugePage = (std::uintptr_t) 2 << 20;
    const auto start = (std::uintptr_t) data;
    const auto begin = (start + hugePage - 1) & ~(hugePage - 1);
    const auto end = (start + bytes) & ~(hugePage - 1);
    if (end > begin)
        madvise ((void*) begin, end - begin, MADV_HUGEPAGE);
#else
    (void) data;
    (void) bytes;
#endif
}
} // namespace quorvelle
