// Click sections on rendered samples: the lengths a start reports, passes that land on their
// boundary (the fixed clock re-aligned at each one), repeats, the loop switch, leaving a Loop section
// through its warning bar, indications, stop and cancel, and the seek and music return at the end.
#include "EngineTransportFixture.h"
#include "audio/graph/AudioThreadLog.h"

#include <algorithm>
#include <map>

namespace quorvelle::test
{
namespace
{
// Split monitoring: the song on output 0, the click and the spoken cues on output 1.
constexpr int musicChannel = 0, clickChannel = 1;

// Eight outputs at one rate, blocks of 441, 512 and 1000 samples.
juce::String defineClickDevice (double deviceRate)
{
    platform::VirtualDeviceInfo info;
    info.name = "Click " + juce::String ((int) deviceRate);
    info.numOutputs = 8;
    info.sampleRates = { deviceRate };
    info.bufferSizes = { 441, 512, 1000 };
    platform::VirtualAudioDevices::instance().addDevice (info);
    return info.name;
}

struct ClickOnset
{
    int64_t sample = 0;
    float value = 0.0f;
};
} // namespace

class EngineClickSections : public EngineTransportTest
{
protected:
    // The click device at `block`, split, with high and low clicks of different levels and the
    // given click levels (dB; -100 silences a kind).
    void openClickOutputs (int block, double deviceRate = 48000.0, std::array<float, 4> levels = { 0.0f, -100.0f, -100.0f, -100.0f })
    {
        ASSERT_TRUE (AssetFolders::writeTone (assets.clicks, "clic_high.wav", rate, 200, 0.8f));
        ASSERT_TRUE (AssetFolders::writeTone (assets.clicks, "clic_low.wav", rate, 200, 0.4f));
        engine.setAssetSearchStartForTesting (assets.temp.folder());
        engine.loadAssetFolders();
        defineClickDevice (deviceRate);
        openDevice ("Click " + juce::String ((int) deviceRate), block, 8);
        engine.setSplitMonitor (true);
        engine.setMetronomeLevels (levels[0], levels[1], levels[2], levels[3]);
        blockSize = block;
    }

    // A song whose drums are a ramp: the sample at song position k is (k + 1) / rampLength.
    void activateRampSong()
    {
        ramp.setSize (2, rampLength);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < rampLength; ++k)
                ramp.setSample (c, k, rampValue (k));
        addStem ("d", "drums", ramp);
        activate (120.0);
    }
    static float rampValue (int64_t k) { return (float) (k + 1) / (float) rampLength; }

    // Plays the ramp song for a few blocks; returns the sample at which the next block starts.
    int64_t playAWhile()
    {
        activateRampSong();
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
        render (20);
        return captured();
    }

    void startFixed (const juce::String& id, int bars, bool repeatOnce = false, double target = -1.0, const juce::var& indications = {},
                     const juce::String& warningId = {}, const juce::String& selfWarningId = {})
    {
        engine.startClickSection (id, "fixed", 120.0, 4, 4, bars, target, indications, warningId, {}, selfWarningId, {}, repeatOnce, false);
    }

    // Renders block by block with a tick after each, `samples` samples at least.
    void renderTicking (int64_t samples)
    {
        const auto until = captured() + samples;
        while (captured() < until)
        {
            render (1);
            engine.timerCallback();
        }
    }

    float sampleAt (int channel, int64_t index) const { return devices().getCaptured (deviceName, channel)[(size_t) index]; }

    std::vector<ClickOnset> clicks (int64_t from = 0) const
    {
        const auto samples = devices().getCaptured (deviceName, clickChannel);
        std::vector<ClickOnset> found;
        for (const auto& onset : findOnsets (samples.data() + from, (int) (samples.size() - (size_t) from)))
            found.push_back ({ from + onset.sample, onset.value });
        return found;
    }

    static juce::var indication (double offsetAt44k, const juce::String& id)
    {
        return makeObject ({ { "offsetSamples", offsetAt44k }, { "indicationId", id } });
    }

    void loadIndication (const juce::String& id, float amplitude)
    {
        const auto file = assets.temp / (id + ".wav");
        ASSERT_TRUE (AssetFolders::writeTone (assets.temp.folder(), id + ".wav", rate, 300, amplitude));
        engine.loadIndicationToRam (id, file.getFullPathName(), {});
    }

    static constexpr int rampLength = 30 * 48000;
    static constexpr int64_t bar = 96000; // 4/4 at 120 bpm and 48 kHz
    juce::AudioBuffer<float> ramp;
    int blockSize = 512;
};

//==============================================================================
TEST_F (EngineClickSections, StartReportsItsLengthsAndInvalidStartsChangeNothing)
{
    openClickOutputs (512);
    activateRampSong();
    const struct { const char* mode; int bars; int64_t total; } starts[] = {
        { "fixed", 3, 3 * bar },
        { "loop", 8, 2 * bar }, // a Loop section is two bars whatever "bars" says
        { "Loop", 8, 8 * bar }, // only "loop" is Loop mode
    };
    for (const auto& c : starts)
    {
        SCOPED_TRACE (c.mode);
        events.clear();
        engine.startClickSection ("e", c.mode, 120.0, 4, 4, c.bars, -1.0, {}, {}, {}, {}, {}, false, false);
        const auto started = findAction ("CLICK_SECTION_STARTED");
        ASSERT_TRUE (started.has_value());
        const auto& e = events[*started];
        EXPECT_EQ (e["entryId"].toString(), "e");
        EXPECT_EQ (e["mode"].toString(), c.mode);
        EXPECT_EQ ((juce::int64) e["samplesPerBar"], bar);
        EXPECT_EQ ((juce::int64) e["totalSamples"], c.total);
        EXPECT_EQ ((juce::int64) e["samplesPerIteration"], c.total);
    }

    // Each invalid start logs its line; the running section ("Loop", 8 bars) stays as it was.
    const struct { double bpm; int numerator, denominator, bars; } invalid[] = {
        { 0.0, 4, 4, 4 }, { 120.0, 0, 4, 4 }, { 120.0, 4, 1, 4 }, { 120.0, 4, 4, 0 }, { std::nan (""), 4, 4, 4 }, { 1.0e-300, 4, 4, 4 },
    };
    for (const auto& c : invalid)
    {
        SCOPED_TRACE (c.bpm);
        events.clear();
        engine.startClickSection ("other", "fixed", c.bpm, c.numerator, c.denominator, c.bars, -1.0, {}, {}, {}, {}, {}, false, false);
        EXPECT_EQ (countDebugLines ("[CLICK-SECTION] startClickSection: invalid args bpm="), 1);
        EXPECT_EQ (countAction ("CLICK_SECTION_STARTED"), 0);
        engine.timerCallback();
        EXPECT_EQ (lastUpdate()["clickSectionEntryId"].toString(), "e");
    }
}

// Each pass's downbeat sounds exactly on its boundary, and every pass plays the same sixteen grid
// points with the same kinds: no doubled downbeat, no lost or shifted click.
struct PassCase
{
    const char* mode;
    int block;
};

class ClickSectionPasses : public EngineClickSections, public testing::WithParamInterface<PassCase>
{
};

TEST_P (ClickSectionPasses, LandOnTheirBoundariesWithTheSameGrid)
{
    const auto [mode, block] = GetParam();
    openClickOutputs (block, 48000.0, { 0.0f, -3.0f, -6.0f, -9.0f });
    const auto start = playAWhile();
    const bool loop = juce::String (mode) == "loop";
    engine.startClickSection ("e", mode, 120.0, 4, 4, 1, -1.0, {}, {}, {}, {}, {}, false, false);
    if (! loop)
        engine.setLoopFixed ("e", true);
    const int64_t pass = loop ? 2 * bar : bar;
    renderTicking (8 * pass + pass / 2);

    std::map<int64_t, std::vector<ClickOnset>> byPass;
    for (const auto& onset : clicks (start))
        byPass[(onset.sample - start) / pass].push_back ({ (onset.sample - start) % pass, onset.value });
    ASSERT_GE (byPass.size(), 9u);
    const auto& first = byPass[0];
    ASSERT_EQ (first.size(), (size_t) (pass / 6000)) << "every sixteenth of the pass sounds once";
    for (int k = 0; k < 8; ++k)
    {
        SCOPED_TRACE (k);
        const auto& onsets = byPass[k];
        ASSERT_EQ (onsets.size(), first.size());
        EXPECT_EQ (onsets[0].sample, 0) << "the downbeat on the boundary";
        for (size_t i = 0; i < onsets.size(); ++i)
        {
            EXPECT_EQ (onsets[i].sample, first[i].sample) << "grid point " << i;
            EXPECT_FLOAT_EQ (onsets[i].value, first[i].value) << "grid point " << i;
        }
    }
    EXPECT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 0) << "the loop switch (or Loop mode) never ends by itself";
    EXPECT_EQ (countAction ("CLICK_SECTION_REPEAT_FIRED"), 0);
    EXPECT_EQ ((juce::int64) lastUpdate()["clickSectionLoopIteration"], loop ? 8 : 0);
}

INSTANTIATE_TEST_SUITE_P (ModesAndBlocks, ClickSectionPasses,
                          testing::Values (PassCase { "fixed", 441 }, PassCase { "fixed", 512 }, PassCase { "fixed", 1000 },
                                           PassCase { "loop", 441 }, PassCase { "loop", 1000 }),
                          [] (const auto& info) { return std::string (info.param.mode) + std::to_string (info.param.block); });

// At 133 bpm and 44.1 kHz a bar is not a whole number of samples: each downbeat still lands within
// `bars` samples of its boundary, and the error does not grow over twenty passes.
TEST_F (EngineClickSections, UnevenBarsDoNotDrift)
{
    openClickOutputs (512, 44100.0);
    const auto start = playAWhile();
    constexpr int bars = 2;
    engine.startClickSection ("e", "fixed", 133.0, 4, 4, bars, -1.0, {}, {}, {}, {}, {}, false, false);
    engine.setLoopFixed ("e", true);
    const auto samplesPerBar = (int64_t) (4.0 * 60.0 / 133.0 * 44100.0);
    const auto pass = bars * samplesPerBar;
    renderTicking (20 * pass + pass / 2);

    const auto onsets = clicks (start);
    for (int k = 0; k <= 20; ++k)
    {
        const auto boundary = start + k * pass;
        const auto near = std::find_if (onsets.begin(), onsets.end(), [&] (const ClickOnset& o) { return o.sample >= boundary - bars; });
        ASSERT_NE (near, onsets.end()) << "pass " << k;
        EXPECT_LE (std::abs (near->sample - boundary), bars) << "pass " << k;
    }
    // Downbeats only (the other kinds are silent): one per bar, none doubled.
    const auto end = start + 20 * pass + samplesPerBar / 2;
    EXPECT_EQ (std::count_if (onsets.begin(), onsets.end(), [&] (const ClickOnset& o) { return o.sample < end; }), 20 * bars + 1);
}

// repeatOnce: one extra pass (one REPEAT_FIRED), then COMPLETE; the song jumps to the target and the
// music comes back from it in the block after the section's last block.
class ClickSectionBlocks : public EngineClickSections, public testing::WithParamInterface<int>
{
};

TEST_P (ClickSectionBlocks, ARepeatThenCompletionSeeksAndRestoresTheMusic)
{
    const int block = GetParam();
    {
        openClickOutputs (block);
        const auto start = playAWhile();
        startFixed ("e", 1, true, 20.0);
        renderTicking (2 * bar + 8000);

        ASSERT_EQ (countAction ("CLICK_SECTION_REPEAT_FIRED"), 1);
        ASSERT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 1);
        EXPECT_LT (*findAction ("CLICK_SECTION_REPEAT_FIRED"), *findAction ("CLICK_SECTION_COMPLETE"));
        EXPECT_EQ (events[*findAction ("CLICK_SECTION_COMPLETE")]["entryId"].toString(), "e");
        EXPECT_TRUE (findDebugLine (juce::String::fromUTF8 ("[CLICK-SECTION] COMPLETE entryId=e seek\xe2\x86\x92" "20.000 [audio-thread-fired]"))
                         .has_value());

        const auto handOff = start + (2 * bar + block - 1) / block * block;
        for (int64_t i = start + 500; i < handOff; i += 997)
            ASSERT_EQ (sampleAt (musicChannel, i), 0.0f) << "music muted under the section, sample " << i;
        for (const int i : { 300, 1000, 3000 })
            EXPECT_NEAR (sampleAt (musicChannel, handOff + i), rampValue (20 * 48000 + i), 1.0e-5f) << "read from the target, offset " << i;
        // The fixed clock is off: what clicks now is the song's own click, whose downbeat at the
        // target (20 s, bar 11) sounds with the music's first block.
        const auto after = clicks (handOff);
        ASSERT_EQ (after.size(), 1u) << "the fixed clock is off after the section";
        EXPECT_NEAR ((double) after[0].sample, (double) handOff, 1.0);
        EXPECT_FALSE (engine.getMetronome().isFixedClockActive());

        engine.timerCallback();
        EXPECT_FALSE (lastUpdate().hasProperty ("clickSectionPhase"));
        whileRendering ([this] { engine.stop(); });
    }
}

// A pass shorter than a block (a bar of 100 samples) still ends: the counter may pass the end of
// the pass and more within one block.
TEST_F (EngineClickSections, APassShorterThanABlockStillEnds)
{
    openClickOutputs (512);
    playAWhile();
    engine.startClickSection ("t", "fixed", 115200.0, 4, 4, 1, -1.0, {}, {}, {}, {}, {}, true, false);
    ASSERT_EQ ((juce::int64) events[*findAction ("CLICK_SECTION_STARTED")]["samplesPerBar"], 100);
    renderTicking (4 * blockSize);
    EXPECT_EQ (countAction ("CLICK_SECTION_REPEAT_FIRED"), 1);
    EXPECT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 1);
    EXPECT_FALSE (engine.getMetronome().isFixedClockActive());
    whileRendering ([this] { engine.stop(); });
}

// Steering a Fixed section: the loop switch off lets the current pass end it; a repeat allowed during
// the extra pass gives yet another. Requests for another entry, or for a Loop section, change nothing.
TEST_F (EngineClickSections, SteeringAFixedSection)
{
    openClickOutputs (512);
    const auto start = playAWhile();
    startFixed ("e", 1, true);
    engine.setLoopFixed ("e", true);
    renderTicking (2 * bar + bar / 2); // two passes: the loop switch spends no repeat
    EXPECT_EQ (countAction ("CLICK_SECTION_REPEAT_FIRED"), 0);

    engine.setLoopFixed ("e", false);
    renderTicking (bar);
    EXPECT_EQ (countAction ("CLICK_SECTION_REPEAT_FIRED"), 1) << "the repeat is used at the next boundary";
    engine.setRepeat ("e", true); // during the extra pass: one more
    engine.setRepeat ("other", false);
    EXPECT_EQ (countDebugLines (juce::String::fromUTF8 ("[CLICK-SECTION] SET_REPEAT skipped \xe2\x80\x94 active=e requested=other")), 1);
    renderTicking (bar);
    EXPECT_EQ (countAction ("CLICK_SECTION_REPEAT_FIRED"), 2);
    EXPECT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 0);
    renderTicking (bar);
    EXPECT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 1);
    EXPECT_TRUE (findDebugLine ("[CLICK-SECTION] COMPLETE entryId=e (no seek target)").has_value());

    // Five passes, each downbeat once and on its boundary.
    std::vector<int64_t> downbeats;
    for (const auto& onset : clicks (start))
        downbeats.push_back (onset.sample - start);
    EXPECT_EQ (downbeats, (std::vector<int64_t> { 0, bar, 2 * bar, 3 * bar, 4 * bar })) << "five one-bar passes, no click at the end";

    engine.startClickSection ("l", "loop", 120.0, 4, 4, 2, -1.0, {}, {}, {}, {}, {}, true, false);
    events.clear();
    engine.setRepeat ("l", true);
    engine.setLoopFixed ("l", true);
    EXPECT_EQ (countDebugLines (juce::String::fromUTF8 ("[CLICK-SECTION] SET_REPEAT ignored \xe2\x80\x94 Loop mode entryId=l")), 1);
    EXPECT_EQ (countDebugLines (juce::String::fromUTF8 ("[CLICK-SECTION] SET_LOOP ignored \xe2\x80\x94 Loop mode entryId=l")), 1);
    whileRendering ([this] { engine.stop(); });
}

// Deactivating a Loop section: the pass ends, one warning bar follows with the announcement at its
// start (PLAYBACK_UPDATE says "exit-warning"), then COMPLETE. Steering during the bar changes nothing.
TEST_F (EngineClickSections, LeavingALoopPlaysOneWarningBar)
{
    openClickOutputs (512);
    loadIndication ("next", 0.6f);
    engine.setMetronomeVolume (-100.0f); // only the spoken cues on the click output
    const auto start = playAWhile();
    engine.startClickSection ("l", "loop", 120.0, 4, 4, 2, -1.0, {}, "next", "Coro", {}, {}, false, false);
    renderTicking (bar);
    engine.deactivateLoop();
    EXPECT_TRUE (findDebugLine (juce::String::fromUTF8 ("[CLICK-SECTION] DEACTIVATE_LOOP entryId=l (Playing \xe2\x86\x92 ExitPending)")).has_value());
    renderTicking (bar + 2 * blockSize);

    ASSERT_EQ (countAction ("CLICK_SECTION_WARNING_START"), 1);
    const auto update = lastUpdate();
    EXPECT_EQ (update["clickSectionPhase"].toString(), "exit-warning");
    EXPECT_EQ (update["clickSectionEntryId"].toString(), "l");
    EXPECT_DOUBLE_EQ ((double) update["clickSectionSec"], (double) update["clickSectionSample"] / 48000.0);
    EXPECT_TRUE (update["isPlaying"]);
    AudioThreadLog::shared().drain();
    EXPECT_EQ (countDebugLines ("[CLICK-WARN] Loop | indId=next tsFired=Y name=Coro"), 1);
    const auto spoken = clicks (start);
    ASSERT_EQ (spoken.size(), 1u) << "one announcement";
    // The cue source renders before the click in each callback: what the click's block triggers
    // sounds from the start of the next block.
    EXPECT_EQ (spoken[0].sample, start + (2 * bar - 1) / blockSize * blockSize + blockSize) << "in the block after the pass end's";

    engine.deactivateLoop();
    engine.reactivateLoop();
    EXPECT_EQ (countDebugLines ("REACTIVATE_LOOP"), 0) << "the warning bar has begun";
    // The state machine has no warning phase: every check during the bar reports a drift.
    whileRendering ([this] { engine.pause(); });
    engine.resume();
    EXPECT_EQ (countDebugLines ("[CLICK-SM-DRIFT] at=pause legacy=ExitWarning sm=ExitPending"), 1);
    EXPECT_EQ (countDebugLines ("[CLICK-SM-DRIFT] at=resume legacy=ExitWarning sm=ExitPending"), 1);
    renderTicking (bar);
    EXPECT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 1);
    EXPECT_EQ (countAction ("CLICK_SECTION_WARNING_START"), 1);
    EXPECT_FALSE (findDebugLine ("[CLICK-SM-DRIFT] at=completeClickSection").has_value());
    whileRendering ([this] { engine.stop(); });
}

// Indications speak in the block that holds their offset, one at offset 0 in the first block (and in
// every later pass, however the boundary splits the block), one at the pass length never.
TEST_P (ClickSectionBlocks, IndicationsSpeakAtTheirOffsetsInEveryPass)
{
    const int block = GetParam();
    {
        openClickOutputs (block);
        loadIndication ("a", 0.3f);
        loadIndication ("b", 0.5f);
        loadIndication ("end", 0.7f);
        engine.setMetronomeVolume (-100.0f);
        const auto start = playAWhile();
        juce::Array<juce::var> list { indication (0.0, "a"), indication (30000.0 * 44100.0 / 48000.0, "b"),
                                      indication ((double) bar * 44100.0 / 48000.0, "end"), juce::var ("not an object") };
        startFixed ("e", 1, false, -1.0, list);
        engine.setLoopFixed ("e", true);
        renderTicking (3 * bar);

        const auto spoken = clicks (start);
        std::vector<int64_t> expected;
        for (int64_t k = 0; k < 3; ++k)
        {
            // Each indication is triggered in the block that holds its offset (a later pass's offset 0
            // in the block that crosses into the pass, or the one that starts it) and sounds from the
            // start of the next block: the cue source renders before the click in each callback.
            const auto boundary = k * bar;
            expected.push_back (start + (boundary % block == 0 ? boundary : (boundary - 1) / block * block) + block);
            expected.push_back (start + (boundary + 30000) / block * block + block);
        }
        std::vector<int64_t> heard;
        for (const auto& onset : spoken)
            heard.push_back (onset.sample);
        EXPECT_EQ (heard, expected);
        for (size_t i = 0; i < spoken.size(); i += 2)
            EXPECT_FLOAT_EQ (spoken[i].value, spoken[0].value) << "\"a\" alone: the indication at the pass length never speaks";

        whileRendering ([this] { engine.stop(); });
    }
}

INSTANTIATE_TEST_SUITE_P (Blocks, ClickSectionBlocks, testing::Values (441, 512, 1000));

// STOP during a section sends no COMPLETE and gives the music back; a section cancelled while stopped
// waits for the next play to give it back; a section started while stopped waits for play.
TEST_F (EngineClickSections, StopAndCancelGiveTheMusicBack)
{
    openClickOutputs (512);
    playAWhile();
    startFixed ("e", 4, false, 5.0);
    renderTicking (4 * blockSize);
    ASSERT_EQ (sampleAt (musicChannel, captured() - 1), 0.0f);
    whileRendering ([this] { engine.stop(); });
    engine.timerCallback();
    EXPECT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 0);
    EXPECT_TRUE (findDebugLine ("[CLICK-SECTION] CANCEL entryId=e").has_value());

    // Started while stopped: nothing advances and the click stays silent until play.
    startFixed ("s", 1);
    render (20);
    engine.timerCallback();
    EXPECT_EQ ((juce::int64) lastUpdate()["clickSectionSample"], 0);
    engine.cancelClickSection();
    const auto from = captured();
    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    render (20);
    EXPECT_NEAR (sampleAt (musicChannel, captured() - 1), rampValue (captured() - 1 - from), 1.0e-5f) << "music back at full level";
    render (200); // a bar: the song's click has its downbeat in it
    EXPECT_FALSE (clicks (from).empty()) << "the song's click plays again (the hold of the stopped start released)";
    whileRendering ([this] { engine.stop(); });
}

// A section started while stopped and released by resume (not play) advances and keeps its click.
TEST_F (EngineClickSections, ResumeReleasesASectionStartedWhilePaused)
{
    openClickOutputs (512);
    playAWhile();
    whileRendering ([this] { engine.pause(); });
    startFixed ("e", 1);
    render (10);
    const auto from = captured();
    engine.resume();
    renderTicking (bar / 2);
    EXPECT_GT ((juce::int64) lastUpdate()["clickSectionSample"], bar / 4);
    const auto heard = clicks (from);
    ASSERT_FALSE (heard.empty());
    EXPECT_EQ (heard[0].sample, from) << "the section's downbeat at the first block after resume";
    whileRendering ([this] { engine.stop(); });
}

// A new next-seek target replaces the old one; requests for another entry or while inactive are skipped.
TEST_F (EngineClickSections, NextSeekTargetSteersTheCompletion)
{
    openClickOutputs (512);
    const auto start = playAWhile();
    startFixed ("e", 1, false, 20.0);
    engine.setNextSeekTarget ("other", 3.0, {}, {});
    engine.setNextSeekTarget ("e", 10.0, "w", "Puente");
    EXPECT_TRUE (findDebugLine ("[CLICK-SECTION] SET_NEXT_SEEK entryId=e").has_value());
    EXPECT_TRUE (findDebugLine (juce::String::fromUTF8 ("[CLICK-SECTION] SET_NEXT_SEEK skipped \xe2\x80\x94 active=e requested=other")).has_value());
    renderTicking (bar + 2 * blockSize);
    ASSERT_EQ (countAction ("CLICK_SECTION_COMPLETE"), 1);
    const auto handOff = start + (bar + blockSize - 1) / blockSize * blockSize;
    EXPECT_NEAR (sampleAt (musicChannel, handOff + 1000), rampValue (10 * 48000 + 1000), 1.0e-5f);

    engine.setNextSeekTarget ("e", 4.0, {}, {});
    EXPECT_TRUE (findDebugLine (juce::String::fromUTF8 ("[CLICK-SECTION] SET_NEXT_SEEK skipped \xe2\x80\x94 phase=Inactive entryId=e")).has_value());
    whileRendering ([this] { engine.stop(); });
}
} // namespace quorvelle::test
