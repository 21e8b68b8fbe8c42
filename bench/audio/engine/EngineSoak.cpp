// Soak: the engine with the load of a large show (EngineLoad.h, stretch bypassed) on the virtual
// device's real-time clock (48 kHz, 256 frames) for N minutes, counting missed blocks.
//
//     build/bench/audio_engine_EngineSoak [--minutes N] [--live]
//
// A probe callback, registered after the engine's player, stamps the end of every block. A block is
// missed when it ends later than one period after its due time on the ideal pace (the pace is then
// re-anchored at that block, so one stall counts the blocks it delayed). Separately, `overruns` counts
// the blocks whose router render alone took longer than the period: on hardware each is an xrun
// whatever the scheduler did.

#include "EngineLoad.h"

#include "platform/VirtualAudioDevice.h"
#include "tests/support/MessageLoop.h"

#include <juce_events/juce_events.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace quorvelle;

namespace
{
constexpr double rate = 48000.0;
constexpr int block = 256;

class PaceProbe final : public juce::AudioIODeviceCallback
{
public:
    explicit PaceProbe (MultiBusRouter& r) : router (r) {}

    void audioDeviceIOCallbackWithContext (const float* const*, int, float* const* outputs, int numOutputs, int numSamples,
                                           const juce::AudioIODeviceCallbackContext&) override
    {
        for (int c = 0; c < numOutputs; ++c)
            if (outputs[c] != nullptr)
                std::memset (outputs[c], 0, sizeof (float) * (size_t) numSamples);

        const auto now = std::chrono::steady_clock::now();
        const auto index = blocks.fetch_add (1);
        if (index == 0)
            anchor = now;
        const auto due = anchor + std::chrono::duration_cast<std::chrono::steady_clock::duration> (
                                      std::chrono::duration<double> ((double) (index - anchorIndex + 1) * period));
        if (now > due)
        {
            missed.fetch_add (1);
            anchor = now;
            anchorIndex = index;
        }
        if ((double) router.lastCallbackMicros.load() > period * 1.0e6)
            overruns.fetch_add (1);
    }
    void audioDeviceAboutToStart (juce::AudioIODevice*) override {}
    void audioDeviceStopped() override {}

    std::atomic<int64_t> blocks { 0 }, missed { 0 }, overruns { 0 };

private:
    MultiBusRouter& router;
    const double period = block / rate;
    std::chrono::steady_clock::time_point anchor;
    int64_t anchorIndex = 0;
};
} // namespace

int main (int argc, char** argv)
{
    double minutes = 1.0;
    bool live = false;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp (argv[i], "--minutes") == 0 && i + 1 < argc)
            minutes = std::atof (argv[++i]);
        else if (std::strcmp (argv[i], "--live") == 0)
            live = true;
    }

    juce::ScopedJuceInitialiser_GUI juce;
    auto& devices = platform::VirtualAudioDevices::instance();
    bench::LoadedVirtualEngine loaded (block);
    if (! loaded.opened)
    {
        std::fprintf (stderr, "the virtual device did not open at 48 kHz and 256 frames\n");
        return 1;
    }
    auto& engine = loaded.engine;
    auto& load = loaded.load;
    load.setLiveStretch (live);
    load.start();

    PaceProbe probe (engine.getRouter());
    engine.getDeviceManager().addAudioCallback (&probe);
    devices.setClock (platform::VirtualAudioDevices::Clock::realTime);

    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration> (std::chrono::duration<double> (minutes * 60.0));
    while (std::chrono::steady_clock::now() < end)
    {
        // The message loop drains the audio-thread log and runs posted work meanwhile.
        test::runMessageLoopFor (200);
    }
    devices.setClock (platform::VirtualAudioDevices::Clock::manual);
    engine.getDeviceManager().removeAudioCallback (&probe);

    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const auto expected = (int64_t) (elapsed.count() * rate / block);
    std::printf ("soak %s: %.1f s, blocks %lld (pace %lld), missed %lld, router overruns %lld, router max %lld us (period %.0f us)\n",
                 live ? "live" : "bypassed", elapsed.count(), (long long) probe.blocks.load(), (long long) expected,
                 (long long) probe.missed.load(), (long long) probe.overruns.load(),
                 (long long) engine.getRouter().maxCallbackMicros.load(), block / rate * 1.0e6);
    return 0;
}
