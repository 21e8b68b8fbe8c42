// Output routing, channel overrides and the split monitor on virtual devices; device loss and
// reconnection through the virtual devices' scripted unplug and replug.
#include "EngineDeviceFixture.h"

#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
// A stem as the loader leaves it: a memory source, a gain stage and the tap a group mixer plays.
std::unique_ptr<AudioEngine::LoadedTrack> makeTrack (const juce::String& instrumentType, const juce::String& busOverride = {})
{
    auto track = std::make_unique<AudioEngine::LoadedTrack>();
    track->buffer = std::make_unique<juce::AudioBuffer<float>> (2, 4800);
    track->buffer->clear();
    track->source = std::make_unique<juce::MemoryAudioSource> (*track->buffer, false);
    track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
    track->tap = std::make_unique<TapAudioSource> (track->gain.get());
    track->instrumentType = instrumentType;
    track->busOverride = busOverride;
    return track;
}

juce::var parse (const char* json)
{
    return juce::JSON::parse (juce::String (json));
}

class RoutingTest : public EngineDeviceTest
{
protected:
    std::pair<int, bool> pairOf (const juce::String& bus)
    {
        auto* group = engine.getGroupBus (bus);
        const juce::SpinLock::ScopedLockType sl (group->routeLock);
        return { group->firstChannel, group->stereo };
    }

    int activeOutputs()
    {
        auto* device = engine.getDeviceManager().getCurrentAudioDevice();
        return device != nullptr ? device->getActiveOutputChannels().countNumberOfSetBits() : 0;
    }
};
} // namespace

// The fixed table with its two folds, the per-type overrides (keyed by the folded type, value
// taken as given) and the track's own override (one of the 16 names, case-sensitive).
TEST_F (RoutingTest, InstrumentTypesOverridesAndTrackOverridesPickTheBus)
{
    const struct
    {
        const char* overrides;
        const char* busOverride;
        const char* type;
        const char* bus;
    } cases[] = {
        { "{}", "", "DRUMS", "drums" },
        { "{}", "", "GUITAR_EL_RHYTHM", "electric_gtr" },
        { "{\"GUITAR_EL\": \"aux\"}", "", "GUITAR_EL_RHYTHM", "aux" },
        { "{\"GUITAR_EL_RHYTHM\": \"vocals\"}", "", "GUITAR_EL_RHYTHM", "electric_gtr" },
        { "{}", "", "KEYS_PAD", "keys" },
        { "{}", "", "guitar_ac", "aux" },
        { "{}", "", "MELODIC", "aux" },
        { "{}", "", "SPOKEN_WORD", "vocals" },
        { "{}", "", "BAGPIPES", "brass" },
        { "{}", "", "CUES", "guide" },
        { "{}", "vocals", "DRUMS", "vocals" },
        { "{}", "Vocals", "DRUMS", "drums" },
        { "{\"DRUMS\": \"monitor\"}", "", "DRUMS", "monitor" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.overrides << " " << c.busOverride << " " << c.type);
        engine.setChannelOverrides (parse (c.overrides));
        EXPECT_EQ (engine.resolveTrackBus (c.busOverride, c.type), c.bus);
    }
}

// Loaded tracks move to their new bus when the overrides change (also while a song plays); an
// override naming no group attaches to aux; a payload that is not an object empties the map.
TEST_F (RoutingTest, ChannelOverridesReattachLoadedTracks)
{
    engine.addLoadedTrackForTesting ("a", makeTrack ("GUITAR_EL_LEAD"));
    engine.addLoadedTrackForTesting ("b", makeTrack ("DRUMS", "vocals"));
    engine.addLoadedTrackForTesting ("c", makeTrack ("BASS"));
    auto* bass = engine.getGroupBus ("bass");
    ASSERT_EQ (bass->mixer.numInputs(), 1);
    EXPECT_EQ (engine.getGroupBus ("electric_gtr")->mixer.numInputs(), 1);

    engine.setChannelOverrides (parse (R"({"GUITAR_EL": "keys", "BASS": "monitor", "DRUMS": "fx"})"));
    EXPECT_EQ (log.count ("AudioEngine: Channel overrides updated (3 overrides)"), 1);
    EXPECT_TRUE (findDebugLine ("AudioEngine: Tracks re-routed after channel override change").has_value());
    EXPECT_EQ (engine.getGroupBus ("keys")->mixer.numInputs(), 1);
    EXPECT_EQ (engine.getGroupBus ("electric_gtr")->mixer.numInputs(), 0);
    EXPECT_EQ (engine.getGroupBus ("aux")->mixer.numInputs(), 1);   // "monitor" is no group
    EXPECT_EQ (engine.getGroupBus ("vocals")->mixer.numInputs(), 1); // the track's own override wins
    EXPECT_EQ (engine.getGroupBus ("fx")->mixer.numInputs(), 0);
    EXPECT_EQ (bass->mixer.numInputs(), 0);

    engine.setChannelOverrides (juce::var ("not an object"));
    EXPECT_EQ (log.count ("AudioEngine: Channel overrides updated (0 overrides)"), 1);
    EXPECT_EQ (bass->mixer.numInputs(), 1);
    EXPECT_EQ (engine.getGroupBus ("electric_gtr")->mixer.numInputs(), 1);
    EXPECT_EQ (engine.getGroupBus ("aux")->mixer.numInputs(), 0);
    int total = 0;
    for (const auto& [name, bus] : engine.getGroupBuses())
        total += bus->mixer.numInputs();
    EXPECT_EQ (total, 3);
}

// Each row on a fresh device: refusals change nothing, accepted routes reach the groups, and
// routes beyond two outputs open the outputs they need.
TEST_F (RoutingTest, BusRoutingCountsOutputsAndRefusesInvalidChannels)
{
    const struct
    {
        const char* device;
        const char* routing;
        const char* error; // empty: accepted
        const char* bus;
        int first;
        bool stereo;
        int activeOutputs;
    } cases[] = {
        { "Virtual 4", R"({"drums": {"mode": "MONO", "channels": [5]}})", "Routing requiere 6 canales pero el dispositivo solo tiene 4", "drums", 0, true, 2 },
        { "Virtual 8", R"({"drums": {"mode": "MONO", "channels": [5]}})", "", "drums", 5, false, 6 },
        { "Virtual 8", R"({"bass": {"mode": "STEREO", "channels": [2, 3]}})", "", "bass", 2, true, 4 },
        // A stereo route plays on first and first + 1, whatever the second channel says.
        { "Virtual 2", R"({"bass": {"channels": [3, 0]}})", "Routing requiere 5 canales pero el dispositivo solo tiene 2", "bass", 0, true, 2 },
        { "Virtual 8", R"({"keys": {"channels": [1, 6]}})", "", "keys", 1, true, 7 },
        { "Virtual 2", R"({"keys": {"mode": "MONO", "channels": [1, 40]}})", "", "keys", 1, false, 2 },
        { "Virtual 8", R"({"keys": "stereo"})", "", "keys", 0, true, 2 },
        { "Virtual 8", R"({"drums": {"mode": "MONO", "channels": [-3]}})", "Routing inv\xc3\xa1lido: canal -3 en drums", "drums", 0, true, 2 },
        { "Virtual 8", R"({"bass": {"channels": [0, 1e999]}})", "Routing inv\xc3\xa1lido: canal ", "bass", 0, true, 2 },
        { "Virtual 16", R"({"bass": {"channels": [4294967297]}})", "Routing inv\xc3\xa1lido: canal 4294967297 en bass", "bass", 0, true, 2 },
        { "Virtual 8", R"({"bass": {"channels": ["2"]}})", "Routing inv\xc3\xa1lido: canal 2 en bass", "bass", 0, true, 2 },
    };

    openVirtual();
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << c.device << " " << c.routing);
        // The row's device with its two default outputs.
        auto setup = engine.getDeviceManager().getAudioDeviceSetup();
        setup.outputDeviceName = c.device;
        setup.useDefaultOutputChannels = false;
        setup.outputChannels.clear();
        setup.outputChannels.setRange (0, 2, true);
        ASSERT_EQ (engine.getDeviceManager().setAudioDeviceSetup (setup, true), "");
        ASSERT_EQ (activeOutputs(), 2);
        // Every group starts from a route it would not get from the row.
        engine.setBusRouting (parse (R"({"drums": {"mode": "STEREO", "channels": [0]}, "bass": {}, "keys": {}})"));
        events.clear();

        engine.setBusRouting (parse (c.routing));

        const auto error = findAction ("AUDIO_CONFIG_ERROR");
        if (juce::String (c.error).isEmpty())
        {
            EXPECT_FALSE (error.has_value());
            EXPECT_TRUE (findDebugLine ("AudioEngine: Bus routing updated (16 groups). Max channel: ").has_value());
        }
        else
        {
            ASSERT_TRUE (error.has_value());
            EXPECT_EQ (events[*error].getProperty ("operation", {}).toString(), "setBusRouting");
            EXPECT_TRUE (events[*error].getProperty ("error", {}).toString().startsWith (juce::String::fromUTF8 (c.error)));
            EXPECT_FALSE (findDebugLine ("AudioEngine: Bus routing updated").has_value());
        }
        EXPECT_EQ (pairOf (c.bus), std::make_pair (c.first, c.stereo));
        EXPECT_EQ (activeOutputs(), c.activeOutputs);
    }
}

TEST_F (RoutingTest, ReinitLineAndSplitMonitorFlags)
{
    openVirtual();
    engine.setAudioDevice ("Virtual 8");
    events.clear();
    engine.setBusRouting (parse (R"({"click": {"mode": "MONO", "channels": [7]}})"));
    EXPECT_TRUE (findDebugLine ("[BUS-ROUTING] maxChannelNeeded=8 | availableChannels=8 | willTriggerReinit=Y").has_value());
    EXPECT_EQ (pairOf ("click"), std::make_pair (7, false));
    EXPECT_TRUE (engine.getRouter().needsCustomRouting());

    // The direct sources follow "click", "guide" and "pad" and fall back when those are missing:
    // with every route back on {0, stereo} the router leaves its custom path.
    engine.setBusRouting (parse (R"({"click": {}})"));
    EXPECT_FALSE (engine.getRouter().needsCustomRouting());
    engine.setBusRouting (parse (R"({"click": {"mode": "MONO", "channels": [3]}})"));
    engine.setBusRouting (parse (R"({"drums": {}})"));
    EXPECT_EQ (pairOf ("click"), std::make_pair (3, false)); // the group keeps its route
    engine.setBusRouting (parse (R"({"click": {}})"));
    EXPECT_FALSE (engine.getRouter().needsCustomRouting());

    events.clear();
    engine.setSplitMonitor (true);
    EXPECT_TRUE (engine.getRouter().splitMonitor.load());
    EXPECT_TRUE (findDebugLine ("[SPLIT-MON] setSplitMonitor(ON) ENTER | currentSongId=(none) | masterTransportPlaying=N").has_value());
    EXPECT_TRUE (findDebugLine ("AudioEngine: Split Monitor ON").has_value());
    engine.setSplitMonitor (false);
    EXPECT_FALSE (engine.getRouter().splitMonitor.load());
    EXPECT_EQ (countAction ("AUDIO_DEVICES_LIST"), 0);
}

//==============================================================================
// Device loss. Unplugging the open virtual device makes the framework fall back to another
// device; the engine takes that as the loss of its own.
class DeviceLossTest : public EngineDeviceTest
{
protected:
    void SetUp() override
    {
        EngineDeviceTest::SetUp();
        engine.setMillisecondClockForTesting ([this] { return clockMs; });
        engine.getDeviceManager().addChangeListener (&engine);
    }
    void TearDown() override
    {
        engine.getDeviceManager().removeChangeListener (&engine);
        EngineDeviceTest::TearDown();
    }

    // Lets every notification posted so far arrive.
    void settle() { runMessageLoopFor (50); }

    juce::uint32 clockMs = 100000;
};

TEST_F (DeviceLossTest, UnplugPausesReportsOnceAndReplugReconnects)
{
    openVirtual();
    settle();
    clockMs += 1000;
    SongTransport song;
    engine.songLinks.transport = &song.transport;
    int engineStops = 0;
    engine.songLinks.stop = [&engineStops] { ++engineStops; };
    engine.songLinks.pause = [&song] { song.transport.stop(); };
    song.transport.setPosition (2.0);
    song.transport.start();
    events.clear();

    devices().unplug ("Virtual 2");
    ASSERT_TRUE (runMessageLoopUntil ([this] { return countAction ("AUDIO_DEVICE_LOST") > 0; }));
    settle();

    EXPECT_EQ (countAction ("AUDIO_DEVICE_LOST"), 1);
    EXPECT_TRUE (engine.isDeviceLost());
    EXPECT_TRUE (engine.isReconnectPollerRunning());
    EXPECT_EQ (engine.getDeviceManager().getCurrentAudioDevice(), nullptr); // the fallback is closed
    EXPECT_FALSE (song.transport.isPlaying());
    EXPECT_DOUBLE_EQ (song.transport.getCurrentPosition(), 2.0);
    EXPECT_EQ (engineStops, 0);
    EXPECT_TRUE (findDebugLine ("[CFG-FIX] changeListener: device LOST ('Virtual 2')").has_value());

    // A second notification without a device: an attempt (the device is still gone), no second LOST.
    engine.changeListenerCallback (&engine.getDeviceManager());
    EXPECT_EQ (countAction ("AUDIO_DEVICE_LOST"), 1);
    EXPECT_EQ (countAction ("AUDIO_DEVICE_RECONNECTED"), 0);

    events.clear();
    devices().replug ("Virtual 2");
    ASSERT_TRUE (runMessageLoopUntil ([this] { return countAction ("AUDIO_DEVICE_RECONNECTED") > 0; }));
    settle();
    const auto reconnected = findAction ("AUDIO_DEVICE_RECONNECTED");
    EXPECT_EQ (events[*reconnected].getProperty ("device", {}).toString(), "Virtual 2");
    EXPECT_TRUE (findAction ("AUDIO_DEVICES_LIST", *reconnected).has_value());
    EXPECT_EQ (countAction ("AUDIO_DEVICE_RECONNECTED"), 1);
    EXPECT_FALSE (engine.isDeviceLost());
    EXPECT_FALSE (engine.isReconnectPollerRunning());
    EXPECT_EQ (currentDeviceName(), "Virtual 2");
    EXPECT_FALSE (song.transport.isPlaying());
    EXPECT_DOUBLE_EQ (song.transport.getCurrentPosition(), 2.0);
    // The reopen's own notification came inside its 800 ms window.
    EXPECT_TRUE (findDebugLine ("[CFG-FIX] changeListener: lista suprimida").has_value());
    EXPECT_EQ (devices().renderBlocks (1, "Virtual 2"), 1);
}

TEST_F (DeviceLossTest, AnotherDeviceChosenWhileLostIsReportedAsReconnected)
{
    openVirtual();
    settle();
    devices().unplug ("Virtual 2");
    ASSERT_TRUE (runMessageLoopUntil ([this] { return engine.isDeviceLost(); }));
    settle();
    events.clear();

    engine.setAudioDevice ("Virtual 4");
    ASSERT_TRUE (runMessageLoopUntil ([this] { return countAction ("AUDIO_DEVICE_RECONNECTED") > 0; }));
    settle();
    EXPECT_EQ (events[*findAction ("AUDIO_DEVICE_RECONNECTED")].getProperty ("device", {}).toString(), "Virtual 4");
    EXPECT_FALSE (engine.isReconnectPollerRunning());
    EXPECT_EQ (currentDeviceName(), "Virtual 4");
    EXPECT_EQ (countAction ("AUDIO_DEVICE_LOST"), 0);
}

TEST_F (DeviceLossTest, ANotificationBeforeAnyDeviceOpenedIsNoLoss)
{
    engine.changeListenerCallback (&engine.getDeviceManager());
    EXPECT_EQ (countAction ("AUDIO_DEVICE_LOST"), 0);
    EXPECT_FALSE (engine.isReconnectPollerRunning());
}

TEST_F (DeviceLossTest, AnExportClosedDeviceIsNoLoss)
{
    openVirtual();
    settle();
    events.clear();
    engine.setExportClosedDeviceForTesting (true);
    engine.getDeviceManager().closeAudioDevice();
    engine.changeListenerCallback (&engine.getDeviceManager());
    engine.setExportClosedDeviceForTesting (false);

    EXPECT_EQ (countAction ("AUDIO_DEVICE_LOST"), 0);
    EXPECT_FALSE (engine.isDeviceLost());
    EXPECT_FALSE (engine.isReconnectPollerRunning());
    EXPECT_TRUE (findDebugLine ("[EXPORT] changeListener: device cerrado por el export").has_value());
    EXPECT_EQ (countAction ("AUDIO_DEVICES_LIST"), 0);
}

// A rate the device takes on its own: 0.5 Hz is no change; 44100 -> 48000 is, and lists the
// devices unless a setter opened its 800 ms window just before.
TEST_F (DeviceLossTest, DeviceSideRateChangesFollowTheDevice)
{
    openVirtual();
    settle();
    const struct
    {
        double actualRate;
        bool setterJustRan;
        double expectedRate;
        bool listSent;
    } cases[] = {
        { 48000.5, false, 48000.0, true },
        { 44100.0, false, 44100.0, true },
        { 48000.0, true, 48000.0, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.actualRate);
        clockMs += 1000;
        if (c.setterJustRan)
            engine.setDeviceBufferSize (256);
        settle();
        events.clear();

        // The driver switches the rate under the engine and the manager tells its listeners.
        devices().setActualSampleRate ("Virtual 2", c.actualRate);
        engine.getDeviceManager().closeAudioDevice();
        engine.getDeviceManager().restartLastAudioDevice();
        ASSERT_TRUE (runMessageLoopUntil ([this] { return findDebugLine ("[CHANGE-LISTENER]").has_value(); }));
        settle();

        EXPECT_EQ (engine.getDeviceSampleRate(), c.expectedRate);
        EXPECT_EQ (countAction ("AUDIO_DEVICES_LIST"), c.listSent ? 1 : 0);
        EXPECT_EQ (findDebugLine ("[CFG-FIX] changeListener: lista suprimida").has_value(), ! c.listSent);
        EXPECT_EQ (countAction ("AUDIO_DEVICE_LOST"), 0);
    }
}
