// Soak: the engine with the load of a large show (EngineLoad.h, stretch bypassed) on the virtual
// device's real-time clock (48 kHz, 256 frames) for N minutes, counting missed blocks.
//
//     build/bench/audio_engine_EngineSoak [--minutes N] [--live]
//
// The probe (PaceProbe.h) counts the missed blocks and the router overruns.

#include "EngineLoad.h"
#include "PaceProbe.h"

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

    bench::PaceProbe probe (engine.getRouter(), block, rate);
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
