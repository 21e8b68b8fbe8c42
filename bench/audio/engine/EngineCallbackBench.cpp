// The engine's device callback with the load of a large show (EngineLoad.h) on the virtual device's
// manual clock, 48 kHz, 256 frames, stretch bypassed (and live, for comparison). Each iteration
// renders a batch of blocks on a fresh thread with the allocation and lock counter armed around
// every block (fresh: the counter records the first 4096 lock calls of a thread by address).
//
// Counters: mean_frac, p99_frac, max_frac (block time / block period); per block: allocs, frees,
// locks (all blocking lock calls), locks_not_transport (outside JUCE's transport source, the one
// lock the graph's own test accepts), locks_not_infra (outside the transport, the device manager,
// the engine object, which holds JUCE's player, and the virtual device script).

#include "EngineLoad.h"

#include "platform/VirtualAudioDevice.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/TempFolder.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace quorvelle;

namespace
{
constexpr double rate = 48000.0;
constexpr int block = 256;
constexpr int batch = 100;

void engineCallback (benchmark::State& state, bool live)
{
    auto& devices = platform::VirtualAudioDevices::instance();
    devices.reset();
    devices.setCaptureEnabled (false);

    test::TempFolder root;
    AudioEngine engine ({}, [&root] { return root.folder(); });
    engine.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
    bench::EngineLoad load (engine, rate);
    engine.initSettingsFile();
    engine.setAudioDriver ("Virtual");
    engine.setDeviceBufferSize (block);
    auto* device = engine.getDeviceManager().getCurrentAudioDevice();
    if (device == nullptr || device->getCurrentBufferSizeSamples() != block || device->getCurrentSampleRate() != rate)
    {
        state.SkipWithError ("the virtual device did not open at 48 kHz and 256 frames");
        return;
    }
    load.setLiveStretch (live);
    load.start();
    devices.renderBlocks (400);

    std::vector<double> seconds;
    long long allocations = 0, frees = 0, locks = 0, notTransport = 0, notInfra = 0;
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
                test::AllocationCounter counter;
                const auto start = std::chrono::steady_clock::now();
                devices.renderBlocks (1);
                const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
                allocations += counter.allocations();
                frees += counter.frees();
                locks += counter.locks();
                notTransport += counter.locksOutside ({ transport });
                notInfra += counter.locksOutside ({ transport, manager, wholeEngine, script });
                seconds.push_back (elapsed.count());
                batchSeconds += elapsed.count();
            }
        });
        renderer.join();
        state.SetIterationTime (batchSeconds);
    }

    std::sort (seconds.begin(), seconds.end());
    double sum = 0.0;
    for (auto s : seconds)
        sum += s;
    const double period = block / rate;
    const auto blocks = (double) seconds.size();
    state.counters["mean_frac"] = sum / blocks / period;
    state.counters["p99_frac"] = seconds[(size_t) ((blocks - 1) * 0.99)] / period;
    state.counters["max_frac"] = seconds.back() / period;
    state.counters["allocs"] = (double) allocations / blocks;
    state.counters["frees"] = (double) frees / blocks;
    state.counters["locks"] = (double) locks / blocks;
    state.counters["locks_not_transport"] = (double) notTransport / blocks;
    state.counters["locks_not_infra"] = (double) notInfra / blocks;
    state.counters["router_max_us"] = (double) engine.getRouter().maxCallbackMicros.load();
}
} // namespace

BENCHMARK_CAPTURE (engineCallback, bypassed, false)->UseManualTime()->Iterations (100)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (engineCallback, live_1_1_plus2, true)->UseManualTime()->Iterations (30)->Unit (benchmark::kMillisecond);

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    benchmark::Initialize (&argc, argv);
    if (benchmark::ReportUnrecognizedArguments (argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
