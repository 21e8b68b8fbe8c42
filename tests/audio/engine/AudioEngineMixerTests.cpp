// The engine's mixer and its click and cue settings: the solo and mute rules on the gain stages'
// targets, the two level rules, refused non-finite values (also on rendered samples), bus levels,
// the order of the two multi-setter messages, the time signature guards and the saved options.
#include "audio/engine/MixerOrders.h"
#include "tests/audio/engine/EngineDeviceFixture.h"

#include <cmath>
#include <limits>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float notANumber = std::numeric_limits<float>::quiet_NaN();

float targetOf (const AudioEngine::LoadedTrack& track) { return track.gain->getRamp().getTargetValue(); }

class MixerTest : public EngineDeviceTest
{
protected:
    AudioEngine::LoadedTrack& stem (const juce::String& id, const juce::String& type = "MELODIC")
    {
        return engine.addTrackForTesting (id, type, nullptr);
    }
};
} // namespace

// One row per mixer situation: the effective gains of two stems, a click stem, the metronome, the
// guide, both pad slots and the count-in's click and voice.
TEST_F (MixerTest, SoloMuteAndSourceRulesOnEveryStage)
{
    struct Row
    {
        const char* name;
        std::function<void (AudioEngine&)> apply;
        float bass, keys, clickStem, metronome, guide, pad1, pad2, countInClick, countInVoice;
    };
    const std::vector<Row> rows {
        { "defaults", [] (AudioEngine&) {}, 1.0f, 1.0f, 0.0f, 0.5f, 1.0f, 0.8f, 0.6f, 0.5f, 1.0f },
        { "soloed metronome silences stems and pads", [] (AudioEngine& e) { e.setMetronomeSolo (true); },
          0.0f, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.0f, 0.5f, 0.0f },
        { "soloed stem silences metronome, guide and pads", [] (AudioEngine& e) { e.setTrackSolo ("bass", true); },
          1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f },
        { "muted and soloed stem plays", [] (AudioEngine& e) { e.setTrackMute ("bass", true); e.setTrackSolo ("bass", true); },
          1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f },
        { "muted stem alone", [] (AudioEngine& e) { e.setTrackMute ("keys", true); },
          1.0f, 0.0f, 0.0f, 0.5f, 1.0f, 0.8f, 0.6f, 0.5f, 1.0f },
        { "click stem soloed under INT stays silent", [] (AudioEngine& e) { e.setTrackSolo ("click", true); },
          0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f },
        { "click stem soloed under SEQ plays; count-in click at 1", [] (AudioEngine& e) { e.setClickSource (false); e.setTrackSolo ("click", true); },
          0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f },
        { "click stem muted under SEQ", [] (AudioEngine& e) { e.setClickSource (false); e.setTrackMute ("click", true); },
          1.0f, 1.0f, 0.0f, 0.5f, 1.0f, 0.8f, 0.6f, 1.0f, 1.0f },
        { "guide under SEQ gives the count-in voice 1", [] (AudioEngine& e) { e.setGuideSource (false); e.setGuideMute (true); e.setMetronomeMute (true); },
          1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.8f, 0.6f, 0.0f, 1.0f },
        { "soloed guide and metronome both play", [] (AudioEngine& e) { e.setGuideSolo (true); e.setMetronomeSolo (true); e.setGuideVolume (-6.0f); },
          0.0f, 0.0f, 0.0f, 0.5f, std::pow (10.0f, -6.0f / 20.0f), 0.0f, 0.0f, 0.5f, std::pow (10.0f, -6.0f / 20.0f) },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        AudioEngine fresh ({}, [] { return juce::File(); });
        auto& bass = fresh.addTrackForTesting ("bass", "BASS", nullptr);
        auto& keys = fresh.addTrackForTesting ("keys", "KEYS", nullptr);
        auto& click = fresh.addTrackForTesting ("click", "CLICK", nullptr);
        fresh.enablePadSlotsForTesting (0.8f, 0.6f);
        fresh.updateGains();
        row.apply (fresh);

        const auto probe = fresh.getMixerProbeForTesting();
        EXPECT_FLOAT_EQ (targetOf (bass), row.bass);
        EXPECT_FLOAT_EQ (targetOf (keys), row.keys);
        EXPECT_FLOAT_EQ (targetOf (click), row.clickStem);
        EXPECT_FLOAT_EQ (probe.metronomeVolume, row.metronome);
        EXPECT_FLOAT_EQ (probe.guideVolume, row.guide);
        EXPECT_FLOAT_EQ (probe.pad1, row.pad1);
        EXPECT_FLOAT_EQ (probe.pad2, row.pad2);
        EXPECT_FLOAT_EQ (probe.countInClick, row.countInClick);
        EXPECT_FLOAT_EQ (probe.countInVoice, row.countInVoice);
    }
}

TEST_F (MixerTest, VolumeAndClickLevelFloorsAndFrequencyClamp)
{
    auto& bass = stem ("bass");
    engine.setTrackVolume ("bass", -100.0f);
    EXPECT_EQ (targetOf (bass), 0.0f);
    engine.setTrackVolume ("bass", -99.9f);
    EXPECT_GT (targetOf (bass), 0.0f);
    engine.setTrackVolume ("bass", 12.0f); // no upper clamp
    EXPECT_NEAR (targetOf (bass), std::pow (10.0f, 0.6f), 1e-5f);
    engine.setTrackVolume ("nobody", 0.0f); // unknown id: nothing
    EXPECT_NEAR (targetOf (bass), std::pow (10.0f, 0.6f), 1e-5f);

    engine.setMetronomeLevels (0.0f, -60.0f, -59.9f, -200.0f);
    auto& metronome = engine.getMetronome();
    EXPECT_EQ (metronome.accentLevel.load(), 1.0f);
    EXPECT_EQ (metronome.quarterLevel.load(), 0.0f);
    EXPECT_GT (metronome.eighthLevel.load(), 0.0f);
    EXPECT_EQ (metronome.sixteenthLevel.load(), 0.0f);
    EXPECT_EQ (engine.getCountIn().clickLevels[1].load(), 0.0f);
    EXPECT_GT (engine.getCountIn().clickLevels[2].load(), 0.0f);

    engine.setPadMasterLowPass (5.0f);
    engine.setPadMasterHighPass (50000.0f);
    EXPECT_EQ (engine.getMixerProbeForTesting().lowPassHz, 20.0f);
    EXPECT_EQ (engine.getMixerProbeForTesting().highPassHz, 20000.0f);
    engine.setPadMasterLowPass (50000.0f);
    engine.setPadMasterHighPass (5.0f);
    EXPECT_EQ (engine.getMixerProbeForTesting().lowPassHz, 20000.0f);
    EXPECT_EQ (engine.getMixerProbeForTesting().highPassHz, 20.0f);
}

// NaN, both infinities and a gain that overflows a float are refused by every setter: the previous
// value stays and a prepared stage keeps rendering finite samples.
TEST_F (MixerTest, NonFiniteValuesAreRefusedAndTheOutputStaysFinite)
{
    juce::AudioBuffer<float> constant (1, 512);
    for (int i = 0; i < constant.getNumSamples(); ++i)
        constant.setSample (0, i, 0.5f);
    juce::MemoryAudioSource memory (constant, false, true);
    auto& bass = engine.addTrackForTesting ("bass", "BASS", &memory);
    bass.gain->prepareToPlay (512, 48000.0);
    engine.setTrackVolume ("bass", -6.0f);
    engine.setMasterVolume (-3.0f);
    engine.setMetronomeVolume (-12.0f);
    engine.setGuideVolume (-9.0f);
    engine.setBusVolume ("click", -4.0f);
    engine.setPadMasterLowPass (8000.0f);
    engine.setPadMasterHighPass (80.0f);
    engine.setMetronomeLevels (-1.0f, -2.0f, -3.0f, -4.0f);
    const auto before = engine.getMixerProbeForTesting();
    const auto trackBefore = targetOf (bass);
    const auto masterBefore = engine.getRouter().masterGain.load();
    const auto accentBefore = engine.getMetronome().accentLevel.load();
    const auto overflowDb = static_cast<float> (juce::var (juce::JSON::parse ("[1e999]"))[0]);

    for (const float bad : { notANumber, inf, -inf, overflowDb, 800.0f })
    {
        SCOPED_TRACE (bad);
        const auto refusals = countDebugLines ("ignored");
        engine.setTrackVolume ("bass", bad);
        engine.setMasterVolume (bad);
        engine.setMetronomeVolume (bad);
        engine.setGuideVolume (bad);
        engine.setBusVolume ("click", bad);
        engine.setPadMasterVolume (bad);
        engine.setMetronomeLevels (bad, bad, bad, bad);
        if (! std::isfinite (bad))
        {
            engine.setPadMasterLowPass (bad);
            engine.setPadMasterHighPass (bad);
        }
        EXPECT_GE (countDebugLines ("ignored") - refusals, 10);

        const auto after = engine.getMixerProbeForTesting();
        EXPECT_EQ (targetOf (bass), trackBefore);
        EXPECT_EQ (engine.getRouter().masterGain.load(), masterBefore);
        EXPECT_EQ (engine.getMetronome().accentLevel.load(), accentBefore);
        EXPECT_EQ (after.metronomeVolume, before.metronomeVolume);
        EXPECT_EQ (after.guideVolume, before.guideVolume);
        EXPECT_EQ (after.metronomeBus, before.metronomeBus);
        EXPECT_EQ (after.clickBusGain, before.clickBusGain);
        EXPECT_EQ (after.padMaster, before.padMaster);
        EXPECT_EQ (after.lowPassHz, 8000.0f);
        EXPECT_EQ (after.highPassHz, 80.0f);
    }

    juce::AudioBuffer<float> out (1, 512);
    for (int block = 0; block < 8; ++block)
        bass.gain->getNextAudioBlock ({ &out, 0, 512 });
    for (int i = 0; i < out.getNumSamples(); ++i)
        ASSERT_TRUE (std::isfinite (out.getSample (0, i)));
    EXPECT_NEAR (out.getSample (0, 511), 0.5f * std::pow (10.0f, -6.0f / 20.0f), 1e-4f);
}

TEST_F (MixerTest, ClickBusMovesTheClickLevelsAndNotTheGuideOnes)
{
    engine.setBusVolume ("click", -6.0f);
    const auto gain = std::pow (10.0f, -6.0f / 20.0f);
    auto probe = engine.getMixerProbeForTesting();
    EXPECT_FLOAT_EQ (probe.metronomeBus, gain);
    EXPECT_FLOAT_EQ (probe.clickBusGain, gain);
    EXPECT_FLOAT_EQ (engine.getRouter().countInGain.load(), gain);
    EXPECT_FLOAT_EQ (probe.guideBus, 1.0f);
    EXPECT_FLOAT_EQ (probe.guideBusGain, 1.0f);
    EXPECT_FLOAT_EQ (engine.getGroupBus ("click")->gain->getRamp().getTargetValue(), gain);

    engine.setBusVolume ("guide", -100.0f);
    probe = engine.getMixerProbeForTesting();
    EXPECT_EQ (probe.guideBus, 0.0f);
    EXPECT_EQ (probe.guideBusGain, 0.0f);
    EXPECT_FLOAT_EQ (engine.getRouter().countInGain.load(), gain);

    engine.setBusVolume ("pad", -100.0f);
    EXPECT_EQ (engine.getMixerProbeForTesting().padBus, 0.0f);
    engine.setBusVolume ("drums", -100.0f);
    EXPECT_EQ (engine.getGroupBus ("drums")->gain->getRamp().getTargetValue(), 0.0f);
    engine.setBusVolume ("Drums", 0.0f); // names are exact
    EXPECT_EQ (engine.getGroupBus ("drums")->gain->getRamp().getTargetValue(), 0.0f);
}

namespace
{
// Writes each setter call as one line.
struct RecordingSetters final : MixerSetters
{
    juce::StringArray calls;
    static juce::String b (bool v) { return v ? "1" : "0"; }
    void setMasterVolume (float dB) override { calls.add ("master " + juce::String (dB)); }
    void setTrackVolume (const juce::String& id, float dB) override { calls.add ("trackVolume " + id + " " + juce::String (dB)); }
    void setTrackMute (const juce::String& id, bool v) override { calls.add ("trackMute " + id + " " + b (v)); }
    void setTrackSolo (const juce::String& id, bool v) override { calls.add ("trackSolo " + id + " " + b (v)); }
    void setGuideVolume (float dB) override { calls.add ("guideVolume " + juce::String (dB)); }
    void setGuideMute (bool v) override { calls.add ("guideMute " + b (v)); }
    void setGuideSolo (bool v) override { calls.add ("guideSolo " + b (v)); }
    void setMetronomeVolume (float dB) override { calls.add ("metronomeVolume " + juce::String (dB)); }
    void setMetronomeSound (const juce::String& s) override { calls.add ("sound " + s); }
    void setMetronomeLevels (float a, float q, float e, float s) override
    {
        calls.add ("levels " + juce::String (a) + " " + juce::String (q) + " " + juce::String (e) + " " + juce::String (s));
    }
    void setMetronomeMute (bool v) override { calls.add ("metronomeMute " + b (v)); }
    void setMetronomeSolo (bool v) override { calls.add ("metronomeSolo " + b (v)); }
    void setBusVolume (const juce::String& id, float dB) override { calls.add ("bus " + id + " " + juce::String (dB)); }
};
} // namespace

TEST (MixerOrders, BatchAndMetronomeMessagesInTheirOrder)
{
    struct Row
    {
        const char* message;
        bool batch;
        juce::StringArray expected;
    };
    const std::vector<Row> rows {
        { R"({"buses":[{"groupId":"bass","volume":-3}],"metronome":{"soloed":true},"guide":{"volume":-2,"muted":true},
              "tracks":[{"id":"a","volume":-1,"soloed":true},{"id":"","volume":-5},{"volume":-5},{"id":"b"}],
              "seqGuideOverrides":[{"id":"c","volume":-4,"muted":true,"soloed":true},{"id":""}],
              "master":{"volume":-7}})",
          true,
          { "master -7", "trackVolume a -1", "trackMute a 0", "trackSolo a 1", "trackVolume b 0", "trackMute b 0", "trackSolo b 0",
            "guideVolume -2", "guideMute 1", "guideSolo 0", "metronomeMute 0", "metronomeSolo 1", "trackVolume c -4",
            "trackMute c 1", "bus bass -3" } },
        { R"({"master":{},"guide":[1],"metronome":"x","tracks":{},"buses":[{"groupId":"pad"}]})", true, { "bus pad 0" } },
        { R"({})", false, { "metronomeVolume 0" } },
        { R"({"volume":-6,"sound":"","quarterVol":-20})", false, { "metronomeVolume -6" } },
        { R"({"volume":-6,"sound":"Wood","accentVol":-1,"eighthVol":-30})", false,
          { "metronomeVolume -6", "sound Wood", "levels -1 0 -30 0" } },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.message);
        RecordingSetters recorder;
        const auto message = juce::JSON::parse (row.message);
        if (row.batch)
            applyBatchMixState (recorder, message);
        else
            applyUpdateMetronome (recorder, message);
        EXPECT_EQ (recorder.calls.joinIntoString (" | "), row.expected.joinIntoString (" | "));
    }
}

TEST_F (MixerTest, TimeSignatureIsRefusedBelowOneAndUnchangedLogsNothing)
{
    EXPECT_FALSE (engine.setTimeSignature (4, 4));
    EXPECT_EQ (countDebugLines ("setTimeSignature"), 0);

    for (const auto& [n, d] : std::vector<std::pair<int, int>> { { 0, 0 }, { 4, 0 }, { 0, 4 }, { -3, 8 } })
    {
        SCOPED_TRACE (juce::String (n) + "/" + juce::String (d));
        EXPECT_FALSE (engine.setTimeSignature (n, d));
        EXPECT_EQ (engine.getMixerProbeForTesting().numerator, 4);
        EXPECT_EQ (engine.getMixerProbeForTesting().denominator, 4);
    }
    EXPECT_EQ (countDebugLines ("[CLICK-CPP] AudioEngine::setTimeSignature 0/"), 0);

    EXPECT_TRUE (engine.setTimeSignature (6, 8));
    EXPECT_TRUE (findDebugLine ("[CLICK-CPP] AudioEngine::setTimeSignature 6/8").has_value());
    EXPECT_EQ (engine.getMixerProbeForTesting().numerator, 6);
    EXPECT_FALSE (engine.setTimeSignature (6, 8));

    engine.setTimeSignatureMap (juce::JSON::parse (R"([{"time":0,"numerator":0,"denominator":4},
        {"time":1.5,"numerator":3,"denominator":4},{"time":9,"numerator":5},{"time":12,"numerator":7,"denominator":8}])"));
    EXPECT_TRUE (findDebugLine ("[CLICK-CPP] setTimeSignatureMap entries=2 first=3/4@1.500s").has_value());
}

TEST_F (MixerTest, AccentRangesTakeOnlyCompleteElements)
{
    struct Row
    {
        const char* json;
        int installed;
    };
    for (const auto& row : std::vector<Row> { { R"({"ranges":[{"start":10,"end":12},{"start":20}]})", 1 },
                                              { R"([{"start":1,"end":2},{"start":3,"end":4}])", 2 },
                                              { R"({"action":"SET_CLICK_ACCENT_SUPPRESS_RANGES"})", 0 },
                                              { "not json", 0 } })
    {
        SCOPED_TRACE (row.json);
        const auto line = "AudioEngine: Click accent suppress ranges updated (" + juce::String (row.installed) + ").";
        const auto before = log.count (line);
        engine.setClickAccentSuppressRanges (row.json);
        EXPECT_EQ (log.count (line), before + 1);
    }
}

TEST_F (MixerTest, CountInAndFullBarAreSavedAtOnce)
{
    engine.initSettingsFile();
    engine.setCountInEnabled (false);
    engine.setSectionAnnounceFullBar (true);
    EXPECT_FALSE (engine.isCountInEnabled());

    juce::PropertiesFile::Options options;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.millisecondsBeforeSaving = -1;
    {
        juce::PropertiesFile reader (settingsPath(), options);
        EXPECT_TRUE (reader.containsKey ("countInEnabled"));
        EXPECT_FALSE (reader.getBoolValue ("countInEnabled", true));
        EXPECT_TRUE (reader.getBoolValue ("sectionAnnounceFullBar", false));
    }
    EXPECT_EQ (log.count ("AudioEngine: Count-in disabled"), 1);
    EXPECT_EQ (log.count ("AudioEngine: Section Announce Full Bar enabled"), 1);

    engine.setCountInEnabled (true);
    juce::PropertiesFile reader (settingsPath(), options);
    EXPECT_TRUE (reader.getBoolValue ("countInEnabled", false));
}
