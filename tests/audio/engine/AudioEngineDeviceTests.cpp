// Device changes on virtual devices (manual clock): refusal and rollback, the resampler ratio, the
// song transport around a change, more outputs for routing, the control panel, the device list.
#include "EngineDeviceFixture.h"

#include "audio/graph/ZeroLatencyResamplingSource.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
std::vector<double> doubles (const juce::var& array)
{
    std::vector<double> values;
    if (auto* a = array.getArray())
        for (const auto& v : *a)
            values.push_back ((double) v);
    return values;
}
} // namespace

// A refused change: the error line, AUDIO_CONFIG_ERROR, the rollback line ending in OK, then the
// list of what is open, which is the configuration from before; the settings follow it.
TEST_F (EngineDeviceTest, RefusedChangesReportRollBackAndListTheRestoredDevice)
{
    openVirtual();

    const struct
    {
        const char* operation;
        std::function<void (AudioEngine&)> change;
        std::function<void()> script;
        const char* errorStart;
        const char* errorPrefix;
        const char* rollbackLine;
    } cases[] = {
        { "setAudioDevice", [] (AudioEngine& e) { e.setAudioDevice ("Virtual 8"); },
          [] { devices().refuseNextOpen ("Virtual 8", "Virtual 8 is busy"); }, "Virtual 8 is busy",
          "AudioEngine: Device switch error: ", "[CFG-FIX] setAudioDevice ROLLBACK -> OK" },
        { "setAudioDevice", [] (AudioEngine& e) { e.setAudioDevice ("Nowhere"); }, [] {}, "No such device: Nowhere",
          "AudioEngine: Device switch error: ", "[CFG-FIX] setAudioDevice ROLLBACK -> OK" },
        { "setDeviceSampleRate", [] (AudioEngine& e) { e.setDeviceSampleRate (96000.0); },
          [] { devices().refuseNextOpen ("Virtual 2", "rate refused"); }, "rate refused",
          "AudioEngine: Sample rate change error: ", "[CFG-FIX] setDeviceSampleRate ROLLBACK -> OK" },
        { "setDeviceBufferSize", [] (AudioEngine& e) { e.setDeviceBufferSize (256); },
          [] { devices().refuseNextOpen ("Virtual 2", "size refused"); }, "size refused",
          "AudioEngine: Buffer size change error: ", "[CFG-FIX] setDeviceBufferSize ROLLBACK -> OK" },
        { "setAudioDriver", [] (AudioEngine& e) { e.setAudioDriver ("Refusing"); }, [] {}, "Can't open the audio device!",
          "AudioEngine: Driver switch error: ", "[CFG-FIX] setAudioDriver ROLLBACK a 'Virtual' -> OK" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "case " << (&c - cases) << " " << c.operation);
        events.clear();
        c.script();
        c.change (engine);

        const auto error = findAction ("AUDIO_CONFIG_ERROR");
        ASSERT_TRUE (error.has_value());
        EXPECT_EQ (events[*error].getProperty ("operation", {}).toString(), c.operation);
        const auto errorText = events[*error].getProperty ("error", {}).toString();
        EXPECT_TRUE (errorText.startsWith (c.errorStart)) << errorText;
        EXPECT_EQ (log.count (c.errorPrefix + errorText), 1) << log.text();

        const auto rollback = findDebugLine (c.rollbackLine, *error);
        ASSERT_TRUE (rollback.has_value());
        EXPECT_EQ (events[*rollback].getProperty ("message", {}).toString(), c.rollbackLine);
        const auto list = findAction ("AUDIO_DEVICES_LIST", *rollback);
        ASSERT_TRUE (list.has_value());
        EXPECT_EQ (countAction ("AUDIO_DEVICES_LIST"), 1);

        EXPECT_EQ (events[*list].getProperty ("currentDriver", {}).toString(), "Virtual");
        EXPECT_EQ (events[*list].getProperty ("currentDevice", {}).toString(), "Virtual 2");
        EXPECT_EQ ((double) events[*list].getProperty ("currentSampleRate", {}), 48000.0);
        EXPECT_EQ ((int) events[*list].getProperty ("currentBufferSize", {}), 1024);
        EXPECT_EQ (engine.getDeviceSampleRate(), 48000.0);
        EXPECT_EQ (engine.getSettingsFile()->getValue ("deviceName"), "Virtual 2");
        EXPECT_EQ (engine.getSettingsFile()->getIntValue ("bufferSize"), 1024);

        // The graph is attached again: the device renders.
        EXPECT_EQ (devices().renderBlocks (2, "Virtual 2"), 2);
    }
}

// When the rollback is refused too, nothing is open afterwards: the list says so, the settings
// are not written and the engine keeps the last rate it read.
TEST_F (EngineDeviceTest, ARefusedRollbackSavesNothingAndListsNoDevice)
{
    openVirtual();
    juce::MemoryBlock savedBefore;
    ASSERT_TRUE (settingsPath().loadFileAsData (savedBefore));

    devices().refuseNextOpen ("Virtual 8", "first refusal");
    devices().refuseNextOpen ("Virtual 2", "second refusal");
    engine.setAudioDevice ("Virtual 8");

    const auto rollback = findDebugLine ("[CFG-FIX] setAudioDevice ROLLBACK -> ");
    ASSERT_TRUE (rollback.has_value());
    EXPECT_EQ (events[*rollback].getProperty ("message", {}).toString(), "[CFG-FIX] setAudioDevice ROLLBACK -> FAILED: second refusal");
    EXPECT_EQ (countDebugLines ("[SETTINGS]"), 0);
    juce::MemoryBlock savedAfter;
    ASSERT_TRUE (settingsPath().loadFileAsData (savedAfter));
    EXPECT_EQ (savedAfter, savedBefore);

    const auto list = lastList();
    EXPECT_EQ (list.getProperty ("currentDevice", {}).toString(), "");
    EXPECT_TRUE (doubles (list.getProperty ("sampleRates", {})).empty());
    EXPECT_EQ ((int) list.getProperty ("maxOutputChannels", {}), 2);
    EXPECT_EQ (engine.getDeviceSampleRate(), 48000.0);
    EXPECT_EQ (currentDeviceName(), "");

    // The next change opens a device again.
    engine.setAudioDevice ("Virtual 4");
    EXPECT_EQ (currentDeviceName(), "Virtual 4");
    EXPECT_EQ (lastList().getProperty ("currentDevice", {}).toString(), "Virtual 4");
}

// The device manager takes a setup without a device name as "close the device" and calls that a
// success; the engine refuses the name before touching anything.
TEST_F (EngineDeviceTest, AnEmptyDeviceNameIsRefusedAndTheDeviceKeepsRunning)
{
    openVirtual();
    SongTransport song;
    song.transport.start();
    int stops = 0;
    engine.songLinks.transport = &song.transport;
    engine.songLinks.stop = [&stops] { ++stops; };

    engine.setAudioDevice ("");

    ASSERT_EQ (events.size(), 2u + (size_t) countAction ("DEBUG_LOG"));
    const auto error = findAction ("AUDIO_CONFIG_ERROR");
    ASSERT_TRUE (error.has_value());
    EXPECT_EQ (events[*error].getProperty ("operation", {}).toString(), "setAudioDevice");
    EXPECT_EQ (events[*error].getProperty ("error", {}).toString(), "No such device: ");
    const auto list = findAction ("AUDIO_DEVICES_LIST", *error);
    ASSERT_TRUE (list.has_value());
    EXPECT_EQ (events[*list].getProperty ("currentDevice", {}).toString(), "Virtual 2");

    EXPECT_EQ (stops, 0);
    EXPECT_TRUE (song.transport.isPlaying());
    EXPECT_EQ (currentDeviceName(), "Virtual 2");
    EXPECT_EQ (devices().renderBlocks (1, "Virtual 2"), 1);
}

// ratio = session rate / device rate, exactly 1 when the two are within 1 Hz; set on the song's
// resampler by the changes that can move the device rate, logged with six decimals.
TEST_F (EngineDeviceTest, ResamplerRatioFollowsTheDeviceRate)
{
    openVirtual();
    juce::MemoryAudioSource silence (*new juce::AudioBuffer<float> (2, 4800), true);
    ZeroLatencyResamplingSource resampler (&silence, 1.0);
    engine.songLinks.resampler = [&resampler] { return &resampler; };

    const struct
    {
        double sessionRate;
        double deviceRunsAt; // 0: as asked
        double asked;
        double expectedRatio;
        const char* logged;
    } cases[] = {
        { 48000.0, 0.0, 44100.0, 48000.0 / 44100.0, "ratio=1.088435" },
        { 48000.0, 48000.5, 48000.0, 1.0, "ratio=1.000000" },
        { 48001.0, 0.0, 96000.0, 48001.0 / 96000.0, "ratio=0.500010" },
        { 48001.0, 0.0, 48000.0, 1.0, "ratio=1.000000" }, // exactly 1 Hz apart
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "case " << (&c - cases));
        engine.setSessionSampleRate (c.sessionRate);
        devices().setActualSampleRate ("Virtual 2", c.deviceRunsAt);
        resampler.setRatio (0.25);
        events.clear();

        engine.setDeviceSampleRate (c.asked);

        EXPECT_EQ (resampler.getRatio(), c.expectedRatio);
        const auto line = findDebugLine ("[CFG-FIX] recalcResamplerRatio from=setDeviceSampleRate");
        ASSERT_TRUE (line.has_value());
        EXPECT_TRUE (events[*line].getProperty ("message", {}).toString().endsWith (c.logged)) << events[*line].getProperty ("message", {}).toString();
        EXPECT_EQ (countDebugLines ("recalcResamplerRatio"), 1);
    }

    // A buffer size change leaves the rate and the ratio alone.
    resampler.setRatio (0.25);
    events.clear();
    engine.setDeviceBufferSize (256);
    EXPECT_EQ (engine.getDeviceManager().getCurrentAudioDevice()->getCurrentBufferSizeSamples(), 256);
    EXPECT_EQ (resampler.getRatio(), 0.25);
    EXPECT_EQ (countDebugLines ("recalcResamplerRatio"), 0);

    // Without an active song there is nothing to set and nothing is logged.
    engine.songLinks.resampler = [] { return static_cast<ZeroLatencyResamplingSource*> (nullptr); };
    events.clear();
    engine.setDeviceSampleRate (44100.0);
    EXPECT_EQ (engine.getDeviceSampleRate(), 44100.0);
    EXPECT_EQ (countDebugLines ("recalcResamplerRatio"), 0);
}

// A change stops a playing song (through the engine's stop, or by stopping and rewinding the
// transport) and leaves a paused one where it is; naming the current driver only sends the list.
TEST_F (EngineDeviceTest, AChangeStopsAPlayingSongAndLeavesAPausedOne)
{
    openVirtual();
    SongTransport song;
    engine.songLinks.transport = &song.transport;

    const struct
    {
        bool playing;
        bool withStopLink;
        int expectedStops;
        double expectedPosition;
    } cases[] = {
        { true, true, 1, 2.0 },   // the engine's stop does the rest
        { true, false, 0, 0.0 },  // stopped and back to the start
        { false, true, 0, 2.0 },  // paused: untouched
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "case " << (&c - cases));
        int stops = 0;
        engine.songLinks.stop = c.withStopLink ? std::function<void()> ([&] { ++stops; song.transport.stop(); }) : std::function<void()>();
        song.transport.setPosition (2.0);
        if (c.playing)
            song.transport.start();

        engine.setDeviceBufferSize (c.playing ? 256 : 512);

        EXPECT_EQ (stops, c.expectedStops);
        EXPECT_FALSE (song.transport.isPlaying());
        EXPECT_DOUBLE_EQ (song.transport.getCurrentPosition(), c.expectedPosition);
    }

    song.transport.start();
    events.clear();
    engine.setAudioDriver ("Virtual");
    EXPECT_TRUE (song.transport.isPlaying());
    ASSERT_EQ (events.size(), 1u + (size_t) countAction ("DEBUG_LOG"));
    EXPECT_EQ (countAction ("AUDIO_DEVICES_LIST"), 1);
}

// Routing that needs more outputs re-opens the device with them and resumes a playing song where
// it was; when enough outputs are active already, one SKIP line and nothing else happens.
TEST_F (EngineDeviceTest, EnsureOutputChannelsReopensAndResumesOrSkips)
{
    openVirtual();
    engine.setAudioDevice ("Virtual 8");
    ASSERT_EQ (engine.getDeviceManager().getCurrentAudioDevice()->getActiveOutputChannels().countNumberOfSetBits(), 2);
    SongTransport song;
    engine.songLinks.transport = &song.transport;
    int engineStops = 0;
    engine.songLinks.stop = [&engineStops] { ++engineStops; };
    song.transport.setPosition (1.5);
    song.transport.start();
    events.clear();

    engine.ensureOutputChannels (4);

    auto* device = engine.getDeviceManager().getCurrentAudioDevice();
    ASSERT_NE (device, nullptr);
    EXPECT_EQ (device->getName(), "Virtual 8");
    EXPECT_EQ (device->getActiveOutputChannels().toInteger(), 0b1111);
    EXPECT_TRUE (song.transport.isPlaying());
    EXPECT_DOUBLE_EQ (song.transport.getCurrentPosition(), 1.5);
    EXPECT_EQ (engineStops, 0);
    EXPECT_EQ (log.count ("AudioEngine: Configured 4 output channels. Device: Virtual 8"), 1);
    EXPECT_TRUE (findDebugLine ("[CFG-FIX] ensureOutputChannels resumed playback at 1.500s").has_value());
    EXPECT_TRUE (findDebugLine ("[DEVICE-REINIT] ensureOutputChannels EXIT | wasPlaying-resync=Y").has_value());
    // Neither a save nor a list.
    EXPECT_EQ (countAction ("AUDIO_DEVICES_LIST"), 0);
    EXPECT_EQ (countDebugLines ("[SETTINGS]"), 0);
    EXPECT_EQ (devices().renderBlocks (1, "Virtual 8"), 1);

    events.clear();
    engine.ensureOutputChannels (4);
    ASSERT_EQ (events.size(), 1u);
    EXPECT_EQ (events[0].getProperty ("message", {}).toString(),
               juce::String (juce::CharPointer_UTF8 ("[DEVICE-REINIT] ensureOutputChannels(4) SKIP \xe2\x80\x94 device ya tiene 4 canales activos (sin stop/start)")));
    EXPECT_TRUE (song.transport.isPlaying());
}

// The device's own panel may switch its rate: afterwards the engine reads the rate, sets the
// ratio, saves and lists. A device without a panel sends nothing.
TEST_F (EngineDeviceTest, ControlPanelRefreshTakesTheRateThePanelLeft)
{
    openVirtual();
    engine.showDeviceControlPanel();
    EXPECT_TRUE (events.empty());
    EXPECT_EQ (devices().getControlPanelShows ("Virtual 2"), 0);

    juce::MemoryAudioSource silence (*new juce::AudioBuffer<float> (2, 4800), true);
    ZeroLatencyResamplingSource resampler (&silence, 1.0);
    engine.songLinks.resampler = [&resampler] { return &resampler; };
    engine.setSessionSampleRate (48000.0);
    devices().setControlPanel ("Virtual 2", 44100.0);

    engine.showDeviceControlPanel();

    EXPECT_EQ (devices().getControlPanelShows ("Virtual 2"), 1);
    EXPECT_EQ (engine.getDeviceSampleRate(), 44100.0);
    EXPECT_EQ (resampler.getRatio(), 48000.0 / 44100.0);
    EXPECT_TRUE (findDebugLine ("[CFG-FIX] recalcResamplerRatio from=openAsioControlPanel").has_value());
    EXPECT_EQ (engine.getSettingsFile()->getDoubleValue ("sampleRate"), 44100.0);
    const auto list = findAction ("AUDIO_DEVICES_LIST");
    ASSERT_TRUE (list.has_value());
    EXPECT_EQ ((double) events[*list].getProperty ("currentSampleRate", {}), 44100.0);
}

// The list with and without an open device; its diagnostic line goes first.
TEST_F (EngineDeviceTest, DeviceListReportsTheManagersState)
{
    engine.sendAudioDeviceList();
    ASSERT_EQ (events.size(), 2u);
    EXPECT_TRUE (events[0].getProperty ("message", {}).toString().startsWith ("[SR-DEBUG] sendAudioDeviceList: setupSR="));
    EXPECT_TRUE (events[0].getProperty ("message", {}).toString().contains ("deviceActualSR=0"));
    auto list = events[1];
    const auto keys = [] (const juce::var& v)
    {
        juce::StringArray names;
        for (const auto& p : v.getDynamicObject()->getProperties())
            names.add (p.name.toString());
        return names.joinIntoString (",");
    };
    EXPECT_EQ (keys (list), "action,drivers,currentDriver,devices,currentDevice,sampleRates,bufferSizes,currentSampleRate,"
                            "currentBufferSize,maxOutputChannels");
    EXPECT_EQ (juce::JSON::toString (list.getProperty ("drivers", {}), true), "[\"Virtual\", \"Refusing\"]");
    EXPECT_EQ (list.getProperty ("currentDriver", {}).toString(), "Virtual");
    EXPECT_EQ (juce::JSON::toString (list.getProperty ("devices", {}), true), "[\"Virtual 2\", \"Virtual 4\", \"Virtual 8\", \"Virtual 16\"]");
    EXPECT_EQ (list.getProperty ("currentDevice", {}).toString(), "");
    EXPECT_TRUE (doubles (list.getProperty ("sampleRates", {})).empty());
    EXPECT_TRUE (doubles (list.getProperty ("bufferSizes", {})).empty());
    EXPECT_EQ ((int) list.getProperty ("maxOutputChannels", {}), 2);

    openVirtual();
    engine.setAudioDevice ("Virtual 16");
    list = lastList();
    EXPECT_EQ (list.getProperty ("currentDevice", {}).toString(), "Virtual 16");
    EXPECT_EQ (doubles (list.getProperty ("sampleRates", {})), (std::vector<double> { 44100.0, 48000.0, 96000.0 }));
    EXPECT_EQ (doubles (list.getProperty ("bufferSizes", {})), (std::vector<double> { 64, 128, 256, 512, 1024, 2048 }));
    EXPECT_EQ ((double) list.getProperty ("currentSampleRate", {}), 48000.0);
    EXPECT_EQ ((int) list.getProperty ("currentBufferSize", {}), 1024);
    EXPECT_EQ ((int) list.getProperty ("maxOutputChannels", {}), 16);
}

// A driver name the device manager does not list keeps the type; the switch's 48000 Hz and 1024
// samples go to the device already open, and the outcome is reported as any change.
TEST_F (EngineDeviceTest, AnUnknownDriverKeepsTheTypeAndItsDevice)
{
    openVirtual();
    engine.setDeviceSampleRate (44100.0);
    engine.setDeviceBufferSize (256);
    events.clear();

    engine.setAudioDriver ("ASIO");

    EXPECT_EQ (countAction ("AUDIO_CONFIG_ERROR"), 0);
    EXPECT_EQ (engine.getDeviceManager().getCurrentAudioDeviceType(), "Virtual");
    const auto list = lastList();
    EXPECT_EQ (list.getProperty ("currentDriver", {}).toString(), "Virtual");
    EXPECT_EQ (list.getProperty ("currentDevice", {}).toString(), "Virtual 2");
    EXPECT_EQ ((double) list.getProperty ("currentSampleRate", {}), 48000.0);
    EXPECT_EQ ((int) list.getProperty ("currentBufferSize", {}), 1024);
    EXPECT_EQ (engine.getDeviceSampleRate(), 48000.0);
    EXPECT_EQ (log.count ("AudioEngine: Switched to driver: ASIO Device: Virtual 2 SR: 48000"), 1) << log.text();
}
