// The engine on the running JACK server (JACK_DEFAULT_SERVER) through its own start-up, for a given
// time, then the device's xrun count. bench/jack-xruns.sh runs it against jack_simple_client.
//
//     build/bench/audio_engine_EngineJackRun --seconds 60 [--idle | --bypassed | --live]
//
// --idle: no session (the router renders silence); --bypassed: the load of a large show
// (EngineLoad.h) with the stretchers bypassed; --live: the same with live stretch on every bus and
// the router's delay of the direct sources active.

#include "EngineLoad.h"

#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <juce_events/juce_events.h>

#include <chrono>
#include <cstdio>
#include <cstring>

using namespace quorvelle;

int main (int argc, char** argv)
{
    double seconds = 60.0;
    juce::String mode ("idle");
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp (argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof (argv[++i]);
        else if (argv[i][0] == '-' && argv[i][1] == '-')
            mode = juce::String (argv[i] + 2);
    }

    juce::ScopedJuceInitialiser_GUI juce;
    test::TempFolder root;
    AudioEngine engine ({}, [&root] { return root.folder(); });
    std::unique_ptr<bench::EngineLoad> load;
    if (mode != "idle")
        load = std::make_unique<bench::EngineLoad> (engine, 48000.0);

    engine.initialise();
    engine.waitForAssetLoader();
    auto* device = engine.getDeviceManager().getCurrentAudioDevice();
    if (device == nullptr || device->getTypeName() != "JACK")
    {
        std::fprintf (stderr, "no JACK device opened\n");
        return 1;
    }
    if (load != nullptr)
    {
        load->setLiveStretch (mode == "live");
        load->start();
    }

    const auto xrunsAtStart = device->getXRunCount();
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration> (std::chrono::duration<double> (seconds));
    while (std::chrono::steady_clock::now() < end)
        test::runMessageLoopFor (200);

    std::printf ("engine %s: %s at %.0f Hz, %d frames, %.0f s, xruns %d, router max %lld us, delay %d\n", mode.toRawUTF8(),
                 device->getName().toRawUTF8(), device->getCurrentSampleRate(), device->getCurrentBufferSizeSamples(), seconds,
                 device->getXRunCount() - xrunsAtStart, (long long) engine.getRouter().maxCallbackMicros.load(),
                 engine.getRouter().getSongLockedDelay());
    return 0;
}
