// The engine's device callback with the load of a large show (EngineLoad.h) on the virtual device's
// manual clock, 48 kHz, 256 frames, stretch bypassed (and live, for comparison). Each iteration
// renders a batch of blocks on a fresh thread with the allocation and lock counter armed around
// every block (fresh: the counter records the first 4096 lock calls of a thread by address).
//
// Counters: mean_frac, p99_frac, max_frac (block time / block period, the whole device callback with
// the virtual device's own work); per block of the whole callback: allocs, frees, locks (blocking
// lock calls), locks_not_infra (outside the transport, the device manager, the engine object, which
// holds JUCE's player, and the virtual device script). The same counted between two probe callbacks
// around the engine's player alone (JUCE's player, the router and the graph): graph_mean_frac,
// graph_p99_frac, graph_allocs, graph_frees, graph_locks, graph_locks_not_transport (outside JUCE's
// transport source, the one lock the graph's own test accepts).

#include "BlockTiming.h"

#include <juce_events/juce_events.h>

#include <optional>
#include <thread>
#include "bench/JuceBenchmarkMain.h"

using namespace quorvelle;

namespace
{
constexpr double rate = 48000.0;
constexpr int block = 256;
constexpr int batch = 100;

// Arms the counter before the engine's player and reads it after (added around it, on the device
// thread).
struct GraphProbe
{
    struct Start final : juce::AudioIODeviceCallback
    {
        explicit Start (GraphProbe& p) : probe (p) {}
        void audioDeviceIOCallbackWithContext (const float* const*, int, float* const* outputs, int numOutputs, int numSamples,
                                               const juce::AudioIODeviceCallbackContext&) override
        {
            for (int c = 0; c < numOutputs; ++c)
                juce::FloatVectorOperations::clear (outputs[c], numSamples);
            probe.counter.emplace();
            probe.start = std::chrono::steady_clock::now();
        }
        void audioDeviceAboutToStart (juce::AudioIODevice*) override {}
        void audioDeviceStopped() override {}
        GraphProbe& probe;
    };
    struct End final : juce::AudioIODeviceCallback
    {
        explicit End (GraphProbe& p) : probe (p) {}
        void audioDeviceIOCallbackWithContext (const float* const*, int, float* const* outputs, int numOutputs, int numSamples,
                                               const juce::AudioIODeviceCallbackContext&) override
        {
            for (int c = 0; c < numOutputs; ++c)
                juce::FloatVectorOperations::clear (outputs[c], numSamples);
            if (! probe.counter.has_value() || ! probe.armed)
                return;
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - probe.start;
            probe.allocations += probe.counter->allocations();
            probe.frees += probe.counter->frees();
            probe.locks += probe.counter->locks();
            probe.notTransport += probe.counter->locksOutside ({ probe.transport });
            probe.counter.reset();
            probe.seconds.push_back (elapsed.count());
        }
        void audioDeviceAboutToStart (juce::AudioIODevice*) override {}
        void audioDeviceStopped() override {}
        GraphProbe& probe;
    };

    Start before { *this };
    End after { *this };
    std::optional<test::AllocationCounter> counter;
    std::chrono::steady_clock::time_point start;
    test::AllocationCounter::AcceptedLocks transport;
    bool armed = false;
    long long allocations = 0, frees = 0, locks = 0, notTransport = 0;
    std::vector<double> seconds;
};

void fractions (benchmark::State& state, const std::vector<double>& seconds, const std::string& prefix)
{
    state.counters[prefix + "mean_frac"] = bench::meanPeriodFraction (seconds, block);
    state.counters[prefix + "p99_frac"] = bench::periodFraction (seconds, 0.99, block);
    state.counters[prefix + "max_frac"] = bench::periodFraction (seconds, 1.0, block);
}

void engineCallback (benchmark::State& state, bool live)
{
    auto& devices = platform::VirtualAudioDevices::instance();
    bench::LoadedVirtualEngine loaded (block);
    if (! bench::deviceOpened (state, loaded))
        return;
    auto& engine = loaded.engine;

    // The probes go around the player. The device manager calls its first callback, then the
    // others from the last to the second: so the start probe, the end probe, then the player (a
    // device change re-adds it last).
    GraphProbe probe;
    probe.transport = test::AllocationCounter::locksOf (engine.getMasterTransport());
    probe.seconds.reserve (20000);
    engine.getDeviceManager().addAudioCallback (&probe.before);
    engine.getDeviceManager().addAudioCallback (&probe.after);
    engine.setDeviceBufferSize (block);

    loaded.load.setLiveStretch (live);
    bench::startLoadedEngine (loaded);
    probe.armed = true;

    std::vector<double> seconds;
    long long allocations = 0, frees = 0, locks = 0, notInfra = 0;
    const auto transport = test::AllocationCounter::locksOf (engine.getMasterTransport());
    const auto manager = test::AllocationCounter::locksOf (engine.getDeviceManager());
    const auto wholeEngine = test::AllocationCounter::locksOf (engine);
    const auto script = test::AllocationCounter::locksOf (devices);

    for (auto _ : state)
    {
        double batchSeconds = 0.0;
        std::thread renderer ([&]
        {
            for (int i = 0; i < batch; ++i)
            {
                const auto elapsed = bench::renderTimedBlock ([&] (const test::AllocationCounter& counter)
                {
                    allocations += counter.allocations();
                    frees += counter.frees();
                    locks += counter.locks();
                    notInfra += counter.locksOutside ({ transport, manager, wholeEngine, script });
                });
                seconds.push_back (elapsed);
                batchSeconds += elapsed;
            }
        });
        renderer.join();
        state.SetIterationTime (batchSeconds);
    }

    probe.armed = false;
    engine.getDeviceManager().removeAudioCallback (&probe.before);
    engine.getDeviceManager().removeAudioCallback (&probe.after);

    const auto blocks = (double) seconds.size();
    fractions (state, seconds, "");
    state.counters["allocs"] = (double) allocations / blocks;
    state.counters["frees"] = (double) frees / blocks;
    state.counters["locks"] = (double) locks / blocks;
    state.counters["locks_not_infra"] = (double) notInfra / blocks;
    const auto graphBlocks = (double) probe.seconds.size();
    fractions (state, probe.seconds, "graph_");
    state.counters["graph_allocs"] = (double) probe.allocations / graphBlocks;
    state.counters["graph_frees"] = (double) probe.frees / graphBlocks;
    state.counters["graph_locks"] = (double) probe.locks / graphBlocks;
    state.counters["graph_locks_not_transport"] = (double) probe.notTransport / graphBlocks;
}
} // namespace

BENCHMARK_CAPTURE (engineCallback, bypassed, false)->UseManualTime()->Iterations (100)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (engineCallback, live_1_1_plus2, true)->UseManualTime()->Iterations (30)->Unit (benchmark::kMillisecond);

int main (int argc, char** argv)
{
    return quorvelle::bench::runWithJuce (argc, argv);
}
