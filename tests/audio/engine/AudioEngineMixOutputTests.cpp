// The mixer and the routing heard on the outputs: each source on an output of its own on the
// Virtual device's manual clock, the mute, solo and click-source rules, the gains, the split monitor
// and a channel override while playing, measured on the captured samples.
#include "EngineTransportFixture.h"

#include "tests/support/MessageLoop.h"

#include <algorithm>

namespace quorvelle::test
{
namespace
{
// Outputs of the mix layout.
constexpr int metronomeOut = 0, bassOut = 2, keysOut = 3, clickStemOut = 4, padOut = 5;
constexpr float bassLevel = 0.1f, keysLevel = 0.2f, clickStemLevel = 0.3f;

juce::var parse (const char* json) { return juce::JSON::parse (juce::String (json)); }

class MixOutputTest : public EngineTransportTest
{
protected:
    // Two stems and a click stem at constant levels, the metronome, and a pad, each routed alone
    // (mono) on "Virtual 8"; the song playing.
    void setUpMix()
    {
        loadCountSamples();
        openDevice ("Virtual 8", 512, 8);
        engine.setBusRouting (parse (R"({"click": {"mode": "MONO", "channels": [0]}, "guide": {"mode": "MONO", "channels": [1]},
                                        "bass": {"mode": "MONO", "channels": [2]}, "keys": {"mode": "MONO", "channels": [3]},
                                        "fx": {"mode": "MONO", "channels": [4]}, "pad": {"mode": "MONO", "channels": [5]}})"));
        ASSERT_FALSE (findAction ("AUDIO_CONFIG_ERROR").has_value());
        addStem ("bass", "bass", constant (60.0, bassLevel)).instrumentType = "BASS";
        // Keys follow their type, so that the type overrides move them.
        auto& keys = addStem ("keys", "keys", constant (60.0, keysLevel));
        keys.instrumentType = "KEYS";
        keys.busOverride = {};
        // A click track of the song, on a bus of its own so that it is heard apart from the metronome.
        addStem ("click", "fx", constant (60.0, clickStemLevel)).instrumentType = "CLICK";
        activate (240.0); // a beat every 12,000 samples

        const auto pad = assets.temp.folder().getChildFile ("pad.wav");
        ASSERT_TRUE (writeAudioFile (pad, makeSine (2, 48000 * 20, rate, 1000.0, 0.5f), rate, FixtureFormat::wav16));
        engine.updatePad (true, pad.getFullPathName(), 0.0f, 0.0f);
        ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("AudioEngine: Pad attached from cache " + pad.getFullPathName()) > 0; }));

        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
        render (4);
    }

    void clearMixer()
    {
        for (const auto* id : { "bass", "keys", "click" })
        {
            engine.setTrackSolo (id, false);
            engine.setTrackMute (id, false);
            engine.setTrackVolume (id, 0.0f);
        }
        engine.setMetronomeSolo (false);
        engine.setMetronomeMute (false);
        engine.setClickSource (true);
        engine.setMasterVolume (0.0f);
    }

    // The largest magnitude per output over 0.3 s (six beats) rendered after the gains settled.
    std::array<float, 8> listen()
    {
        render (8); // the ramps of the gain stages end well within this
        const auto from = (size_t) captured();
        render ((int) (0.3 * rate) / 512 + 1);
        std::array<float, 8> peaks {};
        for (int output = 0; output < 8; ++output)
        {
            const auto samples = devices().getCaptured (deviceName, output);
            for (auto i = from; i < samples.size(); ++i)
                peaks[(size_t) output] = std::max (peaks[(size_t) output], std::abs (samples[i]));
        }
        return peaks;
    }
};

const float silent = 0.0f;
const float sounds = -1.0f; // a source whose level is only checked to be audible

void expectLevel (float measured, float expected, const char* what)
{
    SCOPED_TRACE (what);
    if (expected == sounds)
        EXPECT_GT (measured, 0.01f);
    else if (expected == silent)
        EXPECT_LT (measured, 1.0e-6f);
    else
        EXPECT_NEAR (measured, expected, 1.0e-3f);
}
} // namespace

TEST_F (MixOutputTest, MuteSoloClickSourceAndGainsOnTheOutputs)
{
    setUpMix();
    ASSERT_FALSE (HasFatalFailure());
    const float minus6 = std::pow (10.0f, -6.0f / 20.0f);

    struct Row
    {
        const char* name;
        std::function<void (AudioEngine&)> apply;
        float metronome, bass, keys, clickStem, pad;
    };
    const std::vector<Row> rows {
        { "defaults: the click stem is silent under INT", [] (AudioEngine&) {}, sounds, bassLevel, keysLevel, silent, sounds },
        { "soloed metronome silences the stems and the pad", [] (AudioEngine& e) { e.setMetronomeSolo (true); },
          sounds, silent, silent, silent, silent },
        { "soloed stem silences the metronome and the pad", [] (AudioEngine& e) { e.setTrackSolo ("bass", true); },
          silent, bassLevel, silent, silent, silent },
        { "muted and soloed stem plays", [] (AudioEngine& e) { e.setTrackMute ("bass", true); e.setTrackSolo ("bass", true); },
          silent, bassLevel, silent, silent, silent },
        { "muted stem alone is silent", [] (AudioEngine& e) { e.setTrackMute ("keys", true); },
          sounds, bassLevel, silent, silent, sounds },
        { "click stem soloed under INT: nothing plays", [] (AudioEngine& e) { e.setTrackSolo ("click", true); },
          silent, silent, silent, silent, silent },
        { "click stem under SEQ plays beside the rest", [] (AudioEngine& e) { e.setClickSource (false); },
          sounds, bassLevel, keysLevel, clickStemLevel, sounds },
        { "click stem soloed under SEQ plays alone", [] (AudioEngine& e) { e.setClickSource (false); e.setTrackSolo ("click", true); },
          silent, silent, silent, clickStemLevel, silent },
        { "click stem muted under SEQ", [] (AudioEngine& e) { e.setClickSource (false); e.setTrackMute ("click", true); },
          sounds, bassLevel, keysLevel, silent, sounds },
        { "stem volume and master volume multiply", [] (AudioEngine& e) { e.setTrackVolume ("keys", -6.0f); e.setMasterVolume (-6.0f); },
          sounds, bassLevel * minus6, keysLevel * minus6 * minus6, silent, sounds },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        clearMixer();
        row.apply (engine);
        const auto peaks = listen();
        expectLevel (peaks[metronomeOut], row.metronome, "metronome");
        expectLevel (peaks[bassOut], row.bass, "bass");
        expectLevel (peaks[keysOut], row.keys, "keys");
        expectLevel (peaks[clickStemOut], row.clickStem, "click stem");
        expectLevel (peaks[padOut], row.pad, "pad");
        for (const int other : { 1, 6, 7 })
            expectLevel (peaks[(size_t) other], silent, "an output nothing is routed to");
    }
    whileRendering ([this] { engine.stop(); });
}

// An override that moves a playing stem to another bus: from the next block on it is heard on the
// new bus's output only.
TEST_F (MixOutputTest, AnOverrideWhilePlayingMovesTheStemToItsNewOutput)
{
    setUpMix();
    ASSERT_FALSE (HasFatalFailure());
    auto peaks = listen();
    ASSERT_NEAR (peaks[keysOut], keysLevel, 1.0e-3f);

    engine.setChannelOverrides (parse (R"({"KEYS": "bass"})"));
    const auto from = (size_t) captured();
    render (1);
    const auto bass = devices().getCaptured (deviceName, bassOut);
    const auto keys = devices().getCaptured (deviceName, keysOut);
    EXPECT_NEAR (bass[from], bassLevel + keysLevel, 1.0e-3f) << "first sample of the next block";
    EXPECT_EQ (keys[from], 0.0f);
    peaks = listen();
    EXPECT_NEAR (peaks[bassOut], bassLevel + keysLevel, 1.0e-3f);
    EXPECT_LT (peaks[keysOut], 1.0e-6f);
    whileRendering ([this] { engine.stop(); });
}

// The split monitor on two outputs: the music on the left only, the click and the count on the
// right only; without it both play on both.
TEST_F (EngineTransportTest, SplitMonitorPutsTheMusicLeftAndTheClickRight)
{
    loadCountSamples();
    openDevice ("Virtual 2", 512, 2);
    addStem ("bass", "bass", constant (30.0, bassLevel));
    activate (240.0);
    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);

    // The median of the output over six beats (the music's constant level: the click is short) and
    // the spread around it (the click).
    const auto measure = [this] (int output)
    {
        render (8);
        const auto from = (size_t) captured();
        render (30);
        const auto all = devices().getCaptured (deviceName, output);
        std::vector<float> samples (all.begin() + (std::ptrdiff_t) from, all.end());
        const auto [low, high] = std::minmax_element (samples.begin(), samples.end());
        const auto spread = *high - *low;
        std::nth_element (samples.begin(), samples.begin() + (std::ptrdiff_t) samples.size() / 2, samples.end());
        return std::make_pair (samples[samples.size() / 2], spread);
    };

    const struct { bool split; int output; float music; bool click; } cases[] = {
        { false, 0, bassLevel, true }, { false, 1, bassLevel, true }, { true, 0, bassLevel, false }, { true, 1, 0.0f, true },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "split " << c.split << " output " << c.output);
        engine.setSplitMonitor (c.split);
        const auto [median, spread] = measure (c.output);
        EXPECT_NEAR (median, c.music, 1.0e-4f);
        if (c.click)
            EXPECT_GT (spread, 0.05f);
        else
            EXPECT_LT (spread, 1.0e-6f);
    }
    whileRendering ([this] { engine.stop(); });
}

// The playing interface unplugged and plugged back, with the engine's own song routed beyond the
// first two outputs: the song pauses where it was, nothing sounds after the reconnection until the
// front end resumes, and then the song goes on from that sample on the outputs it was routed to.
class DeviceLossOnOutputs : public EngineTransportTest
{
protected:
    void SetUp() override
    {
        EngineTransportTest::SetUp();
        engine.setMillisecondClockForTesting ([this] { return clockMs; });
        engine.getDeviceManager().addChangeListener (&engine);
    }
    void TearDown() override
    {
        engine.getDeviceManager().removeChangeListener (&engine);
        EngineTransportTest::TearDown();
    }

    int activeOutputs()
    {
        auto* device = engine.getDeviceManager().getCurrentAudioDevice();
        return device != nullptr ? device->getActiveOutputChannels().countNumberOfSetBits() : 0;
    }

    juce::uint32 clockMs = 100000;
};

TEST_F (DeviceLossOnOutputs, UnplugPausesAndReplugResumesWhereTheSongWasOnItsRoutes)
{
    loadCountSamples();
    openDevice ("Virtual 8", 512, 2);
    engine.setBusRouting (parse (R"({"bass": {"mode": "MONO", "channels": [5]}})"));
    ASSERT_EQ (activeOutputs(), 6);
    // A ramp, so that the sample heard tells the song's position: session sample k is k / 2^20.
    juce::AudioBuffer<float> ramp (2, (int) (20 * rate));
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < ramp.getNumSamples(); ++k)
            ramp.setSample (c, k, (float) k / 1048576.0f);
    addStem ("bass", "bass", ramp);
    activate (240.0);
    runMessageLoopFor (50);
    clockMs += 1000;

    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    render (10);
    const int64_t pausedAt = 10 * 512;
    ASSERT_NEAR (devices().getCaptured (deviceName, 5).back(), (float) (pausedAt - 1) / 1048576.0f, 1.0e-6f);
    events.clear();

    devices().unplug (deviceName);
    ASSERT_TRUE (runMessageLoopUntil ([this] { return countAction ("AUDIO_DEVICE_LOST") > 0; }));
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
    engine.timerCallback();
    EXPECT_NEAR ((double) lastUpdate()["time"] * rate, (double) pausedAt, 0.5);

    clockMs += 1000;
    devices().replug (deviceName);
    ASSERT_TRUE (runMessageLoopUntil ([this] { return countAction ("AUDIO_DEVICE_RECONNECTED") > 0; }));
    runMessageLoopFor (50);
    EXPECT_EQ (countAction ("AUDIO_DEVICE_LOST"), 1);
    ASSERT_EQ (currentDeviceName(), deviceName);
    EXPECT_EQ (activeOutputs(), 6) << "the outputs the routing opened";
    EXPECT_EQ (engine.getDeviceSampleRate(), rate) << "the device's own rate, not the fallback's";

    // Paused: the transport's stop could not finish without a device, so the first block back may
    // carry its fade-out; from then on neither the song nor the click sounds on any output, and the
    // song does not move.
    render (1);
    const auto pausedPosition = engine.getMasterTransport().getCurrentPosition();
    EXPECT_NEAR (pausedPosition * rate, (double) pausedAt, 512.0 + 0.5);
    devices().clearCaptured (deviceName);
    render (30); // more than a beat at 240 bpm
    for (int output = 0; output < 8; ++output)
    {
        const auto samples = devices().getCaptured (deviceName, output);
        EXPECT_LT (*std::max_element (samples.begin(), samples.end(), [] (float a, float b) { return std::abs (a) < std::abs (b); }), 1.0e-6f)
            << "output " << output;
    }
    EXPECT_EQ (engine.getMasterTransport().getCurrentPosition(), pausedPosition);

    engine.resume();
    devices().clearCaptured (deviceName);
    render (2);
    const auto resumedAt = std::llround (pausedPosition * rate);
    const auto bass = devices().getCaptured (deviceName, 5);
    ASSERT_EQ (bass.size(), 1024u);
    for (size_t i = 0; i < bass.size(); ++i)
        ASSERT_NEAR (bass[i], (float) (resumedAt + (int64_t) i) / 1048576.0f, 1.0e-6f) << "sample " << i << " after the resume";
    whileRendering ([this] { engine.stop(); });
}
} // namespace quorvelle::test
