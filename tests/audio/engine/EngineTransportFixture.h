// A playable song on the Virtual device's manual clock: stems built in memory and attached to their
// buses, the song made active (resampler, transport, session rate, tempo), optional cue and click
// samples for counts. Renders on the test thread; operations that stop a playing transport run while
// a stepping thread renders (the transport's stop waits for a block).
#pragma once

#include "EngineDeviceFixture.h"
#include "tests/audio/graph/SpokenAndClickFixtures.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace quorvelle::test
{
// A device that takes odd block sizes, eight outputs: click on 0-1, "drums" on 2-3, count on 4-5.
inline const char* const countDevice = "Count 8";

inline void defineCountDevice()
{
    platform::VirtualDeviceInfo info;
    info.name = countDevice;
    info.numOutputs = 8;
    info.sampleRates = { 48000.0 };
    info.bufferSizes = { 441, 512 };
    platform::VirtualAudioDevices::instance().addDevice (info);
}

class EngineTransportTest : public EngineDeviceTest
{
protected:
    static constexpr double rate = 48000.0;

    void TearDown() override
    {
        engine.getDeviceManager().closeAudioDevice();
        EngineDeviceTest::TearDown();
    }

    // Clicks and spoken counts for the count-in (a count cannot be built without them).
    void loadCountSamples()
    {
        for (const auto* key : { "clic_high", "clic_low" })
            ASSERT_TRUE (AssetFolders::writeTone (assets.clicks, juce::String (key) + ".wav", rate, 200, 0.5f));
        for (const auto* key : { "1", "2", "3", "4" })
            ASSERT_TRUE (AssetFolders::writeTone (assets.cues, juce::String (key) + ".wav", rate, 2000, 0.3f));
        engine.setAssetSearchStartForTesting (assets.temp.folder());
        engine.loadAssetFolders();
        ASSERT_TRUE (engine.areCueSamplesLoaded());
    }

    // `name` ("Virtual 2/4/8") at `blockSize`, all its outputs active.
    void openDevice (const juce::String& name, int blockSize, int outputs)
    {
        deviceName = name;
        openVirtual();
        engine.setAudioDevice (name);
        engine.ensureOutputChannels (outputs);
        engine.setDeviceBufferSize (blockSize);
        auto* device = engine.getDeviceManager().getCurrentAudioDevice();
        ASSERT_NE (device, nullptr);
        ASSERT_EQ (device->getCurrentBufferSizeSamples(), blockSize);
        events.clear();
    }

    // A stereo stem of `audio` on `bus`.
    AudioEngine::LoadedTrack& addStem (const juce::String& id, const juce::String& bus, const juce::AudioBuffer<float>& audio)
    {
        auto track = std::make_unique<AudioEngine::LoadedTrack>();
        track->source = std::make_unique<juce::MemoryAudioSource> (const_cast<juce::AudioBuffer<float>&> (audio), true);
        track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
        track->tap = std::make_unique<TapAudioSource> (track->gain.get());
        track->busOverride = bus;
        auto& stored = *track;
        engine.addLoadedTrackForTesting (id, std::move (track));
        return stored;
    }

    static juce::AudioBuffer<float> constant (double seconds, float value)
    {
        juce::AudioBuffer<float> audio (2, (int) (seconds * rate));
        for (int c = 0; c < 2; ++c)
            juce::FloatVectorOperations::fill (audio.getWritePointer (c), value, audio.getNumSamples());
        return audio;
    }

    void activate (double bpm = 120.0, double lengthSeconds = 0.0) { engine.activateSongForTesting ("song-1", rate, bpm, lengthSeconds); }

    void render (int blocks) { ASSERT_EQ (devices().renderBlocks (blocks, deviceName), blocks); }

    int64_t captured() const { return devices().getNumCapturedSamples (deviceName); }

    // The first captured sample of `channel` from `from` on whose magnitude exceeds `threshold`; -1 none.
    int64_t firstSound (int channel, int64_t from = 0, float threshold = 1.0e-6f) const
    {
        const auto samples = devices().getCaptured (deviceName, channel);
        for (auto i = (size_t) std::max<int64_t> (0, from); i < samples.size(); ++i)
            if (std::abs (samples[i]) > threshold)
                return (int64_t) i;
        return -1;
    }

    // The largest magnitude captured on `channel` over [from, to).
    float peak (int channel, int64_t from, int64_t to) const
    {
        const auto samples = devices().getCaptured (deviceName, channel);
        float largest = 0.0f;
        for (auto i = (size_t) std::max<int64_t> (from, 0); i < std::min<size_t> ((size_t) to, samples.size()); ++i)
            largest = std::max (largest, std::abs (samples[i]));
        return largest;
    }

    // Runs `operation` here while a stepping thread renders blocks until it has returned.
    void whileRendering (const std::function<void()>& operation)
    {
        std::atomic<bool> done { false };
        std::thread stepper ([&]
        {
            while (! done.load())
                devices().renderBlocks (1, deviceName);
        });
        operation();
        done = true;
        stepper.join();
    }

    // The last PLAYBACK_UPDATE sent.
    juce::var lastUpdate() const
    {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (actionOf (*it) == "PLAYBACK_UPDATE")
                return *it;
        return {};
    }

    static juce::StringArray keysOf (const juce::var& event)
    {
        juce::StringArray keys;
        if (auto* object = event.getDynamicObject())
            for (const auto& property : object->getProperties())
                keys.add (property.name.toString());
        return keys;
    }

    // A song playing a few blocks on "Virtual 2", and a record in the preloaded slot. The returned
    // owner's count shows whether the engine still holds it.
    std::shared_ptr<AudioEngine::PreloadedSession> playWithAPreloadedSlot()
    {
        openDevice ("Virtual 2", 512, 2);
        addStem ("d", "drums", constant (2.0, 0.1f));
        activate();
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
        render (3);
        auto owner = std::make_shared<AudioEngine::PreloadedSession>();
        owner->songId = "song-2";
        engine.setPreloadedSessionForTesting (owner);
        return owner;
    }

    // A song in the preloaded slot: `seconds` of a stereo 16-bit ramp on the drums at the device rate
    // (sample i holds i mod 32768, so a gap, a repeat or a shift shows on the exact sample), 120 bpm,
    // 4/4, with a beat every `beatSpacing` seconds from 0 when it is above 0.
    std::shared_ptr<AudioEngine::PreloadedSession> preloadRampSong (const juce::String& songId, double seconds, double beatSpacing = 0.0)
    {
        auto session = std::make_shared<AudioEngine::PreloadedSession>();
        session->songId = songId;
        session->sampleRate = rate;
        session->bpm = 120.0;
        session->numBars = 8;
        session->timeSignatureVar = juce::Array<juce::var> { 4, 4 };
        if (beatSpacing > 0.0)
        {
            juce::Array<juce::var> beats;
            for (int i = 0; i * beatSpacing < seconds; ++i)
            {
                auto* beat = new juce::DynamicObject();
                beat->setProperty ("time", i * beatSpacing);
                beat->setProperty ("beatNum", i % 4 + 1);
                beats.add (juce::var (beat));
            }
            session->beatmapVar = beats;
        }

        AudioEngine::PreloadedTrack track;
        track.trackId = "b";
        track.instrumentType = "DRUMS";
        track.busOverride = "drums";
        track.volumeDb = 0.0f;
        const auto length = (int64_t) (seconds * rate);
        track.totalSamples = length;
        track.samples->int16Channels = std::make_unique<std::vector<Int16ChannelData>> (2);
        for (auto& channel : *track.samples->int16Channels)
        {
            channel.allocate (length);
            for (int64_t i = 0; i < length; ++i)
                channel.samples[(size_t) i] = (int16_t) (i % 32768);
        }
        session->tracks.push_back (std::move (track));
        engine.setPreloadedSessionForTesting (session);
        return session;
    }

    AssetFolders assets;
    juce::String deviceName { "Virtual 2" };
};
} // namespace quorvelle::test
