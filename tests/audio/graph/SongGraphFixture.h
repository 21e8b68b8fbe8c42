#pragma once

// The playback graph as the engine builds it, with generated stems: tracks of 16-bit noise through
// their gains and taps into the 16 group chains (mixer, stretch, gain, tap), the music path (mixer,
// crossfade, fader, mixer, loop region, split monitor, resampler, transport) and the router with
// its direct sources. Shared by the no-allocation test and the render benchmark.

#include "GraphTestSources.h"

#include "audio/graph/BusRenderPool.h"
#include "audio/graph/ChainSources.h"
#include "audio/graph/GainStages.h"
#include "audio/graph/GroupBus.h"
#include "audio/graph/MultiBusRouter.h"
#include "audio/graph/OverlaySampleSource.h"
#include "audio/graph/SongTiming.h"
#include "audio/graph/ZeroLatencyResamplingSource.h"

#include <memory>
#include <vector>

namespace quorvelle::test
{
// Two channels of 16-bit noise (an eighth of full scale), `length` samples each, continuing the
// generator in `seed`.
inline std::vector<Int16ChannelData> makeNoiseStem (int64_t length, uint32_t& seed)
{
    std::vector<Int16ChannelData> data (2);
    for (auto& channel : data)
    {
        channel.allocate (length);
        for (int64_t i = 0; i < length; ++i)
        {
            seed = seed * 1664525u + 1013904223u;
            channel.samples[(size_t) i] = (int16_t) ((int32_t) (seed >> 16) - 32768) / 8;
        }
    }
    return data;
}

struct SongGraphFixture : RouterFlags
{
    struct Track
    {
        std::vector<Int16ChannelData> data;
        std::unique_ptr<Int16MemoryAudioSource> source;
        std::unique_ptr<SmoothedGainAudioSource> gain;
        std::unique_ptr<TapAudioSource> tap;
    };

    std::vector<std::unique_ptr<Track>> tracks;
    GroupBus groups[16];

    PositionableMixerSource music;
    MusicCrossfadeSource crossfade { &music };
    CosineSmoothedGainAudioSource fader { &crossfade };
    PositionableMixerSource master;
    LoopRegionSource loop { &master };
    SplitRouterSource split { &loop };
    std::unique_ptr<ZeroLatencyResamplingSource> resampler;
    juce::AudioTransportSource transport;

    ConstantSource clickLevel { 0.01f, 0.01f }, cueLevel { 0.02f, 0.02f }, padLevel { 0.03f, 0.03f };
    TapAudioSource metronomeTap { &clickLevel }, cueTap { &cueLevel };
    SimpleSmoothedGainAudioSource padGain { &padLevel };
    FilteredAudioSource padFilter { &padGain };
    SimpleTapAudioSource pads { &padFilter };
    OverlaySampleSource overlay, overlayClick, overlayGuide;

    // The group chains render through it while live stretch is on (the automatic worker count
    // unless a test sets another before `prepare`).
    BusRenderPool pool;
    MultiBusRouter router;

    // stems spread over the 16 groups; seconds of audio at sessionRate.
    SongGraphFixture (int stems, double sessionRate, double deviceRate, double seconds)
    {
        const auto length = (int64_t) (seconds * sessionRate);
        uint32_t seed = 12345;
        for (int s = 0; s < stems; ++s)
        {
            auto track = std::make_unique<Track>();
            track->data = makeNoiseStem (length, seed);
            track->source = std::make_unique<Int16MemoryAudioSource> (&track->data);
            track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
            track->tap = std::make_unique<TapAudioSource> (track->gain.get());
            tracks.push_back (std::move (track));
        }

        for (int g = 0; g < 16; ++g)
        {
            const juce::String name (kBusCategoryNames[(size_t) g]);
            const bool pitched = ! (name == "click" || name == "guide" || name == "drums" || name == "percussion" || name == "loops" || name == "fx");
            groups[g].createChain (name, pitched);
            music.addInputSource (groups[g].tap.get(), &groups[g].stretch->bypass);
        }
        for (int s = 0; s < stems; ++s)
            groups[s % 16].mixer.addInputSource (tracks[(size_t) s]->tap.get());

        master.addInputSource (&fader);
        split.monitorTaps = { groups[0].tap.get(), groups[1].tap.get() };
        resampler = std::make_unique<ZeroLatencyResamplingSource> (&split, std::abs (sessionRate - deviceRate) < 1.0 ? 1.0 : sessionRate / deviceRate);
        transport.setSource (resampler.get());

        router.mainSource = &transport;
        router.transport = &transport;
        music.setRenderPool (&pool);
        router.renderPool = &pool;
        bind (router);
        router.sessionSampleRate = sessionRate;
        for (auto& group : groups)
            router.addBus (group.name, group.tap.get());
        router.setMonitor ("click", true);
        router.setMonitor ("guide", true);
        router.addDirectSource ("metronomeTap", &metronomeTap);
        router.setMonitor ("metronomeTap", true);
        router.addDirectSource ("cueTap", &cueTap);
        router.setMonitor ("cueTap", true);
        router.addDirectSource ("pads", &pads);
        router.addDirectSource ("countIn", &countIn);
        router.addDirectSource ("countOverlay", &overlay);
        router.addDirectSource ("countOverlayClick", &overlayClick);
        router.setMonitor ("countOverlayClick", true);
        router.addDirectSource ("countOverlayGuide", &overlayGuide);
        router.setMonitor ("countOverlayGuide", true);
    }

    ~SongGraphFixture() { transport.setSource (nullptr); }

    void prepare (int block, double rate)
    {
        router.prepareToPlay (block, rate);
        transport.start();
    }

    void setStretch (float rate, float semitones)
    {
        for (auto& group : groups)
        {
            group.stretch->rate = rate;
            group.stretch->semitones = group.pitched ? semitones : 0.0f;
        }
    }

    void setBypass (bool bypass)
    {
        for (auto& group : groups)
            group.stretch->bypass = bypass;
    }
};
} // namespace quorvelle::test
