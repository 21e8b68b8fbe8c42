#pragma once

// What the engine's block benchmarks share: the loaded engine (EngineLoad.h) started and warmed up,
// one device block rendered and timed with the allocation and lock counter armed on the rendering
// thread, and block times as fractions of the block period. Only for benchmarks that link the
// allocation counter (tests/support/AllocationCounter.cpp).

#include "EngineLoad.h"

#include "tests/support/AllocationCounter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace quorvelle::bench
{
// False (the benchmark skipped with the reason) when the virtual device did not open as asked.
inline bool deviceOpened (benchmark::State& state, const LoadedVirtualEngine& loaded)
{
    if (! loaded.opened)
        state.SkipWithError ("the virtual device did not open at 48 kHz and the block size asked for");
    return loaded.opened;
}

// Plays the load and renders `warmUpBlocks`.
inline void startLoadedEngine (LoadedVirtualEngine& loaded, int warmUpBlocks = 400)
{
    loaded.load.start();
    platform::VirtualAudioDevices::instance().renderBlocks (warmUpBlocks);
}

// Renders one block on the calling thread and returns its time in seconds; `read` is handed the
// counter armed around it.
template <typename ReadCounter>
double renderTimedBlock (ReadCounter&& read)
{
    test::AllocationCounter counter;
    const auto start = std::chrono::steady_clock::now();
    platform::VirtualAudioDevices::instance().renderBlocks (1);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    read (counter);
    return elapsed.count();
}

// The block time at `fraction` of the sorted times (1: the longest) over the period of `block`
// frames at 48 kHz; 0 without times.
inline double periodFraction (std::vector<double> seconds, double fraction, int block)
{
    if (seconds.empty())
        return 0.0;
    std::sort (seconds.begin(), seconds.end());
    return seconds[(size_t) ((double) (seconds.size() - 1) * fraction)] / (block / LoadedVirtualEngine::rate);
}

inline double meanPeriodFraction (const std::vector<double>& seconds, int block)
{
    double sum = 0.0;
    for (auto s : seconds)
        sum += s;
    return seconds.empty() ? 0.0 : sum / (double) seconds.size() / (block / LoadedVirtualEngine::rate);
}
} // namespace quorvelle::bench
