// The device callback's cost in the blocks where something happens, against the steady blocks of the
// same run: the load of a large show (EngineLoad.h: 40 stems on the 16 buses, click, cues, pads) on
// the virtual manual clock at 48 kHz and 256 frames, a loop region wrapping every 2 s for 60 s of
// song, and a count jump (a 480 bpm count of 0.25 s) armed after every third wrap whose hand-off
// block lands the music. Stretch bypassed, and live (the engine's tempo 1.1 and +2 semitones) with
// the stems on all 16 buses and on 10 (a bus without tracks does not run its stretcher).
//
// Counters (fractions of the 5.33 ms block period): steady_p99_frac, wrap_p99_frac, wrap_max_frac,
// handoff_max_frac; wraps and handoffs (blocks seen per run); over_period (blocks longer than the
// period); allocs_event and frees_event (per wrap or hand-off block), allocs_steady (per steady block),
// on the rendering thread.
#include "BlockTiming.h"

#include <thread>
#include "bench/JuceBenchmarkMain.h"

using namespace quorvelle;

namespace
{
constexpr int block = 256;
constexpr double rate = 48000.0;
constexpr int songBlocks = (int) (60.0 * rate / block);

void eventBlocks (benchmark::State& state, bool live, int busCount)
{
    bench::LoadedVirtualEngine loaded (block, busCount);
    if (! bench::deviceOpened (state, loaded))
        return;
    auto& engine = loaded.engine;
    engine.setLoopRegion (0.0, 2.0, true);
    if (live)
    {
        engine.setBpm (132.0);
        engine.setPitch (2.0f);
    }
    bench::startLoadedEngine (loaded);

    auto& loop = engine.getLoopRegion();
    std::vector<double> steady, wraps, handoffs;
    long long eventAllocations = 0, eventFrees = 0, steadyAllocations = 0, overPeriod = 0;
    for (auto _ : state)
    {
        double runSeconds = 0.0;
        std::thread renderer ([&]
        {
            int wrapCount = 0;
            for (int i = 0; i < songBlocks; ++i)
            {
                const bool jumpHolding = engine.getCountRowsProbeForTesting().countJumpActive;
                long long allocations = 0, frees = 0;
                const auto seconds = bench::renderTimedBlock ([&] (const test::AllocationCounter& counter)
                {
                    allocations = counter.allocations();
                    frees = counter.frees();
                });

                const bool wrapped = loop.loopFired.exchange (false);
                const bool handedOff = jumpHolding && ! engine.getCountRowsProbeForTesting().countJumpActive;
                runSeconds += seconds;
                overPeriod += seconds > block / rate ? 1 : 0;
                if (wrapped || handedOff)
                {
                    eventAllocations += allocations;
                    eventFrees += frees;
                    (wrapped ? wraps : handoffs).push_back (seconds);
                }
                else
                {
                    steadyAllocations += allocations;
                    steady.push_back (seconds);
                }

                // After every third wrap: a count jump half a second further on.
                if (wrapped && ++wrapCount % 3 == 0)
                {
                    engine.setCountJumpTempo (480.0, 4, 4, 0.25);
                    engine.setBoundaryCountJump (true);
                    const auto position = engine.getTransportSnapshot().positionSamples;
                    loop.setJump (position + (int64_t) (0.5 * rate), (int64_t) (0.25 * rate), true);
                }
            }
        });
        renderer.join();
        state.SetIterationTime (runSeconds);
    }

    const auto events = (double) std::max<size_t> (1, wraps.size() + handoffs.size());
    state.counters["steady_p99_frac"] = bench::periodFraction (steady, 0.99, block);
    state.counters["wrap_p99_frac"] = bench::periodFraction (wraps, 0.99, block);
    state.counters["wrap_max_frac"] = bench::periodFraction (wraps, 1.0, block);
    state.counters["handoff_max_frac"] = bench::periodFraction (handoffs, 1.0, block);
    state.counters["wraps"] = (double) wraps.size();
    state.counters["handoffs"] = (double) handoffs.size();
    state.counters["over_period"] = (double) overPeriod;
    state.counters["allocs_event"] = (double) eventAllocations / events;
    state.counters["frees_event"] = (double) eventFrees / events;
    state.counters["allocs_steady"] = (double) steadyAllocations / (double) std::max<size_t> (1, steady.size());
}
} // namespace

BENCHMARK_CAPTURE (eventBlocks, bypassed, false, 16)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (eventBlocks, live_1_1_plus2, true, 16)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (eventBlocks, live_1_1_plus2_10_buses, true, 10)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);

int main (int argc, char** argv)
{
    return quorvelle::bench::runWithJuce (argc, argv);
}
