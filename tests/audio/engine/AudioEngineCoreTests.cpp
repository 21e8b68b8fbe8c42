#include "audio/engine/AudioEngine.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace quorvelle;

namespace
{
// Records every event the engine sends, from any thread.
struct RecordingSink
{
    mutable std::mutex lock;
    std::vector<juce::var> events;

    EventSink make()
    {
        return [this] (const juce::String& name, const juce::var& payload)
        {
            EXPECT_EQ (name, "fromNative");
            const std::scoped_lock sl (lock);
            events.push_back (payload);
        };
    }

    std::vector<juce::String> actions() const
    {
        const std::scoped_lock sl (lock);
        std::vector<juce::String> names;
        for (const auto& event : events)
            names.push_back (event["action"].toString());
        return names;
    }
};

juce::StringArray keysOf (const juce::var& object)
{
    juce::StringArray keys;
    if (auto* dynamic = object.getDynamicObject())
        for (const auto& property : dynamic->getProperties())
            keys.add (property.name.toString());
    return keys;
}
} // namespace

TEST (AudioEngineGraph, SixteenBusesSevenDirectSourcesAndTheMonitorSet)
{
    AudioEngine engine ({}, [] { return juce::File(); });

    const juce::StringArray unpitched { "click", "guide", "drums", "percussion", "loops", "fx" };
    ASSERT_EQ (engine.getGroupBuses().size(), 16u);
    for (const auto& name : busCategoryNames())
    {
        SCOPED_TRACE (name);
        auto* bus = engine.getGroupBus (name);
        ASSERT_NE (bus, nullptr);
        EXPECT_EQ (bus->pitched, ! unpitched.contains (name));
        EXPECT_TRUE (bus->stretch->bypass.load()); // no live stretch until the transport asks
    }

    juce::StringArray buses, directs, monitored;
    engine.getRouter().visitSnapshot ([&] (const RouteSlot* slots, int busCount, int directCount)
    {
        for (int i = 0; i < busCount + directCount; ++i)
        {
            (i < busCount ? buses : directs).add (slots[i].name);
            if (slots[i].monitor)
                monitored.add (slots[i].name);
        }
    });
    EXPECT_EQ (buses.size(), 16);
    directs.sort (false);
    EXPECT_EQ (directs.joinIntoString (","), "countIn,countOverlay,countOverlayClick,countOverlayGuide,cueTap,metronomeTap,pads");
    monitored.sort (false);
    EXPECT_EQ (monitored.joinIntoString (","), "click,countOverlayClick,countOverlayGuide,cueTap,guide,metronomeTap");
}

TEST (AudioEngineGraph, LoadedTrackCountsChannelsAndSamplesOfWhateverItHolds)
{
    AudioEngine::LoadedTrack empty;
    EXPECT_EQ (empty.getNumChannels(), -1);
    EXPECT_EQ (empty.getNumSamples(), -1);

    AudioEngine::LoadedTrack int16;
    int16.int16Channels = std::make_unique<std::vector<Int16ChannelData>> (3);
    (*int16.int16Channels)[0].allocate (1234);
    EXPECT_EQ (int16.getNumChannels(), 3);
    EXPECT_EQ (int16.getNumSamples(), 1234);

    AudioEngine::LoadedTrack noChannels;
    noChannels.int16Channels = std::make_unique<std::vector<Int16ChannelData>>();
    EXPECT_EQ (noChannels.getNumChannels(), 0);
    EXPECT_EQ (noChannels.getNumSamples(), -1);

    AudioEngine::LoadedTrack floats;
    floats.buffer = std::make_unique<juce::AudioBuffer<float>> (2, 99);
    floats.int16Channels = std::make_unique<std::vector<Int16ChannelData>> (5);
    EXPECT_EQ (floats.getNumChannels(), 2);
    EXPECT_EQ (floats.getNumSamples(), 99);
}

TEST (AudioEngineEvents, DebugLogGoesToTheSinkFirstAndPostsDieWithTheEngine)
{
    test::CapturingLogger log;
    {
        AudioEngine silent ({}, [] { return juce::File(); });
        silent.debugLog ("[TEST] without a sink");
        EXPECT_EQ (log.count ("[TEST] without a sink"), 1);
    }

    std::vector<juce::String> order;
    {
        AudioEngine engine ([&] (const juce::String&, const juce::var& payload)
                            {
                                const auto message = payload["message"].toString();
                                order.push_back (payload["action"].toString() + ":" + message + ":" + juce::String (log.count (message)));
                            },
                            [] { return juce::File(); });
        engine.debugLog ("[TEST] with the sink");
        ASSERT_EQ (order.size(), 1u);
        EXPECT_EQ (order[0], "DEBUG_LOG:[TEST] with the sink:0"); // the logger had not seen it yet
        EXPECT_EQ (log.count ("[TEST] with the sink"), 1);

        // Queued while the engine lives, run after it is gone: nothing happens.
        engine.postEvent (makeObject ({ { "action", "LATE" } }));
        engine.postToMessageThread ([&order] { order.push_back ("late work"); });
    }
    test::runMessageLoopFor (50);
    // The destructor's own reset may log through the sink while it runs; nothing queued runs after.
    for (const auto& entry : order)
    {
        EXPECT_NE (entry, "late work");
        EXPECT_FALSE (entry.startsWith ("LATE:")) << entry;
    }
    EXPECT_EQ (order[0], "DEBUG_LOG:[TEST] with the sink:0");
}

TEST (AudioEngineLifecycle, NeverInitialisedEngineOpensNoDeviceAndStopsItsThreads)
{
    AudioEngine engine ({}, [] { return juce::File(); });
    EXPECT_EQ (engine.getDeviceManager().getCurrentAudioDevice(), nullptr);
    EXPECT_FALSE (engine.isInitialiseComplete());
    EXPECT_DOUBLE_EQ (engine.getDeviceSampleRate(), 44100.0);
    // The destructor runs at the end of the scope: it must return with no device touched.
}

TEST (AudioEngineStartup, AssetFoldersAreFoundNineLevelsUpAndPublicWins)
{
    test::TempFolder tmp;
    auto deep = tmp.folder();
    std::vector<juce::File> levels { deep };
    for (int i = 0; i < 10; ++i)
        levels.push_back (levels.back().getChildFile ("l" + juce::String (i)));
    const auto start = levels.back();
    ASSERT_TRUE (start.createDirectory());

    juce::File base;
    // Ten levels above the start: out of reach.
    ASSERT_TRUE (levels[0].getChildFile ("frontend/cues").createDirectory());
    EXPECT_EQ (AudioEngine::findAssetFolder (start, "cues", base), juce::File());

    // Nine levels above: found, with the "frontend" folder as base.
    ASSERT_TRUE (levels[1].getChildFile ("frontend/cues").createDirectory());
    EXPECT_EQ (AudioEngine::findAssetFolder (start, "cues", base), levels[1].getChildFile ("frontend/cues"));
    EXPECT_EQ (base, levels[1].getChildFile ("frontend"));

    // "public" beside "frontend" at the same level is taken first, with no base.
    ASSERT_TRUE (levels[1].getChildFile ("public/cues").createDirectory());
    EXPECT_EQ (AudioEngine::findAssetFolder (start, "cues", base), levels[1].getChildFile ("public/cues"));
    EXPECT_EQ (base, juce::File());
}

TEST (AudioEngineLiveStretch, BypassSwitchesEveryBusAndTheDirectSourceDelayTogether)
{
    AudioEngine engine ({}, [] { return juce::File(); });
    auto& router = engine.getRouter();
    router.prepareToPlay (256, 44100.0);

    const auto render = [&router]
    {
        juce::AudioBuffer<float> out (2, 256);
        router.getNextAudioBlock (juce::AudioSourceChannelInfo (&out, 0, 256));
    };

    engine.setStretchBypass (false);
    render();
    for (const auto& [name, bus] : engine.getGroupBuses())
        EXPECT_FALSE (bus->stretch->bypass.load()) << name;
    // The latency follows the setting in force (ratio 1, no transposition), below the full range's.
    const auto latency = engine.getLiveStretchLatencySamples();
    ASSERT_GT (latency, 0);
    EXPECT_LT (latency, engine.getGroupBuses().begin()->second->stretch->getStretcher().fullRangeLatency());
    // Session and device both at 44.1 kHz: the delay is the stretchers' latency itself.
    EXPECT_EQ (router.getSongLockedDelay(), latency);

    engine.setStretchBypass (true);
    render();
    for (const auto& [name, bus] : engine.getGroupBuses())
        EXPECT_TRUE (bus->stretch->bypass.load()) << name;
    EXPECT_EQ (router.getSongLockedDelay(), 0);
    router.releaseResources();
}

TEST (AudioEngineState, ActiveSongIdIsPublishedWithTheSessionFlagAndCutOnACharacter)
{
    AudioEngine engine ({}, [] { return juce::File(); });
    char out[8] {};
    EXPECT_FALSE (engine.copyActiveSongId (out, sizeof (out)));

    engine.setActiveSongId (juce::String::fromUTF8 ("abc\xc3\xa9\xc3\xa9z")); // 3 + 2 + 2 + 1 bytes
    EXPECT_TRUE (engine.copyActiveSongId (out, sizeof (out)));
    EXPECT_STREQ (out, "abc\xc3\xa9\xc3\xa9"); // 7 bytes fit beside the terminator
    char small[6] {};
    EXPECT_TRUE (engine.copyActiveSongId (small, sizeof (small)));
    EXPECT_STREQ (small, "abc\xc3\xa9"); // the second accent would be cut in half

    engine.setActiveSongId ({});
    EXPECT_FALSE (engine.copyActiveSongId (out, sizeof (out)));
}

TEST (AudioEngineDiagnostics, SnapshotKeysInOrderWithoutADevice)
{
    AudioEngine engine ({}, [] { return juce::File(); });
    const auto state = engine.getNativeStateSnapshot();
    const auto keys = keysOf (state);
    EXPECT_FALSE (keys.contains ("currentBufferSize"));
    EXPECT_FALSE (keys.contains ("deviceName"));
    EXPECT_FALSE (keys.contains ("transcoderRunning"));
    EXPECT_EQ (keys[0], "deviceSampleRate");
    EXPECT_EQ (keys[keys.size() - 1], "osName");

    const auto ids = state["groupBusIds"];
    ASSERT_EQ (ids.size(), 16);
    EXPECT_EQ (ids[0].toString(), "acoustic_gtr");
    EXPECT_EQ (ids[15].toString(), "vocals");
    EXPECT_EQ ((int) state["totalMemoryMb"], juce::SystemStats::getMemorySizeInMegabytes());

    for (const auto& ratio : engine.getBusStretchRatios())
        EXPECT_FLOAT_EQ (ratio.ratio, 1.0f) << ratio.busId;
    const auto usage = engine.getMemoryUsage();
    EXPECT_EQ (usage.tracksBytes + usage.overlayBytes + usage.preloadBytes, 0);
}
