#pragma once

// The engine with the load of a large show, on whatever device it has: 40 stems of 16-bit noise on
// the 16 buses (a loop keeps them playing), the click on a beat map, spoken cues over sections, the
// pad chain (no slot playing), the song resampler over the music path into the master transport.
// The transport's play does not exist yet, so the load opens the click's and the cues' gates
// itself. Shared by the callback benchmark, the soak and the JACK run.

#include "audio/engine/AudioEngine.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/audio/graph/SongGraphFixture.h"
#include "tests/audio/graph/SpokenAndClickFixtures.h"
#include "tests/support/TempFolder.h"

#include <atomic>
#include <memory>
#include <vector>

namespace quorvelle::bench
{
class EngineLoad
{
public:
    static constexpr int stems = 40;
    static constexpr double songSeconds = 8.0;
    static constexpr double loopSeconds = 6.0;

    // Attaches everything to `engine` before its device opens (the device prepares it); the stems go
    // round the first `busCount` buses in category order.
    EngineLoad (AudioEngine& e, double sessionRate, int busCount = 16) : engine (e)
    {
        for (const auto* key : { "clic_high", "clic_low" })
            test::AssetFolders::writeTone (assets.clicks, juce::String (key) + ".wav", 44100.0, 300, 0.5f);
        for (const auto* key : { "1", "2", "3", "4", "coro", "puente", "cuenta_inicial" })
            test::AssetFolders::writeTone (assets.cues, juce::String (key) + ".wav", 44100.0, 2000, 0.3f);
        engine.setAssetSearchStartForTesting (assets.temp.folder());
        engine.loadAssetFolders();

        auto& metronome = engine.getMetronome();
        auto& cue = *engine.getCueSource();
        engineMetronomeGate = metronome.transportPlayingFlag;
        engineCueGate = cue.transportPlayingFlag;
        metronome.transportPlayingFlag = &playing;
        cue.transportPlayingFlag = &playing;

        std::vector<double> beatTimes;
        std::vector<int32_t> beatNumbers;
        for (int k = 0; k < 2000; ++k)
        {
            beatTimes.push_back (k * 0.5);
            beatNumbers.push_back (k % 4 + 1);
        }
        metronome.setOriginalBpm (120.0);
        metronome.setBpm (120.0);
        metronome.setBeatmap (std::move (beatTimes), std::move (beatNumbers));
        cue.setOriginalBpm (120.0);
        cue.setBpm (120.0);
        cue.setSections (R"([{"name":"Coro","startTime":1.0},{"name":"Puente","startTime":3.0}])");

        const auto length = (int64_t) (songSeconds * sessionRate);
        uint32_t seed = 12345;
        const auto& names = busCategoryNames();
        for (int s = 0; s < stems; ++s)
        {
            auto track = std::make_unique<Track>();
            track->data = test::makeNoiseStem (length, seed);
            track->source = std::make_unique<Int16MemoryAudioSource> (&track->data);
            track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
            track->tap = std::make_unique<TapAudioSource> (track->gain.get());
            engine.getGroupBus (names[s % juce::jlimit (1, 16, busCount)])->mixer.addInputSource (track->tap.get());
            tracks.push_back (std::move (track));
        }

        resampler = std::make_unique<ZeroLatencyResamplingSource> (&engine.getMusicPathEnd(), 1.0);
        engine.getMasterTransport().setSource (resampler.get());
        engine.setSessionSampleRate (sessionRate);
        engine.songLinks.resampler = [this] { return resampler.get(); };
        engine.getRouter().sessionSampleRate = sessionRate;
        engine.getLoopRegion().setLoopRegion (0, (int64_t) (loopSeconds * sessionRate), true);
        engine.setActiveSongId ("load");
    }

    ~EngineLoad()
    {
        engine.getDeviceManager().closeAudioDevice();
        engine.getMetronome().transportPlayingFlag = engineMetronomeGate;
        engine.getCueSource()->transportPlayingFlag = engineCueGate;
        for (const auto& [name, bus] : engine.getGroupBuses())
            bus->clearTracks();
        engine.getMasterTransport().setSource (nullptr);
        engine.songLinks.resampler = nullptr;
    }

    // Live stretch on every bus (ratio 1.1, +2 semitones on the pitched ones) with the router's
    // delay of the direct sources, or bypassed. After the device opened (the latency follows its rate).
    void setLiveStretch (bool live)
    {
        for (const auto& [name, bus] : engine.getGroupBuses())
        {
            bus->stretch->rate = live ? 1.1f : 1.0f;
            bus->stretch->semitones = live && bus->pitched ? 2.0f : 0.0f;
        }
        engine.setStretchBypass (! live);
    }

    void start()
    {
        engine.getMasterTransport().start();
        playing = true;
    }

    std::atomic<bool> playing { false };

private:
    struct Track
    {
        std::vector<Int16ChannelData> data;
        std::unique_ptr<Int16MemoryAudioSource> source;
        std::unique_ptr<SmoothedGainAudioSource> gain;
        std::unique_ptr<TapAudioSource> tap;
    };

    AudioEngine& engine;
    test::AssetFolders assets;
    std::vector<std::unique_ptr<Track>> tracks;
    std::unique_ptr<ZeroLatencyResamplingSource> resampler;
    const std::atomic<bool>* engineMetronomeGate = nullptr;
    const std::atomic<bool>* engineCueGate = nullptr;
};

// An engine whose only device type is the virtual one, with the load attached (its stems on
// `busCount` buses) and the first virtual device open at 48 kHz and `block` frames, capture off (it
// grows without bound). The engine's events go to `sink` (none when empty).
struct LoadedVirtualEngine
{
    static constexpr double rate = 48000.0;

    explicit LoadedVirtualEngine (int block, int busCount = 16, EventSink sink = {})
        : engine (std::move (sink), [this] { return root.folder(); }), load (engine, rate, busCount)
    {
        auto& devices = platform::VirtualAudioDevices::instance();
        devices.reset();
        devices.setCaptureEnabled (false);
        engine.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
        engine.initSettingsFile();
        engine.setAudioDriver ("Virtual");
        engine.setDeviceBufferSize (block);
        auto* device = engine.getDeviceManager().getCurrentAudioDevice();
        opened = device != nullptr && device->getCurrentBufferSizeSamples() == block && device->getCurrentSampleRate() == rate;
    }

    test::TempFolder root;
    AudioEngine engine;
    EngineLoad load;
    bool opened = false;
};
} // namespace quorvelle::bench
