// The song's stems against the engine's click, on rendered samples: a click-train stem on the
// "drums" bus (output 2) and the same stem on the pitched "keys" bus (output 3) against the
// metronome (outputs 0-1) of a 4-output virtual device on its manual clock. Stretchers bypassed; a 44.1 kHz session on a 48 kHz device; live stretch across
// tempo and transposition, straight, after a loop wrap that keeps the stretchers' state and after a
// seek that resets them; and the count-in's last beat against the song's first.
//
// The test drives what the transport's play will drive: it wires a song resampler over the music
// path into the master transport, starts the transport, opens the click's gate, seeks the click
// with the song and starts the count-in, each at a block boundary.
#include "EngineTransportFixture.h"
#include "tests/audio/graph/SpokenAndClickFixtures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace quorvelle::test
{
namespace
{
constexpr double deviceRate = 48000.0;
constexpr int block = 256;
constexpr double songBpm = 240.0;
constexpr double beatSeconds = 60.0 / songBpm;
const char* const deviceName = "Virtual 4";

// One stretcher hop (the analysis interval the stretch source asks for: 30 ms) at the device rate.
constexpr int hop = (int) (0.03 * deviceRate);

// First sample within +-range of `expected` whose magnitude reaches a quarter of that window's peak;
// -1 when the window is silent.
int64_t onsetNear (const std::vector<float>& y, int64_t expected, int range)
{
    const auto from = (size_t) std::max<int64_t> (0, expected - range);
    const auto to = (size_t) std::min<int64_t> ((int64_t) y.size(), expected + range);
    float peak = 0.0f;
    for (size_t i = from; i < to; ++i)
        peak = std::max (peak, std::abs (y[i]));
    if (peak < 1.0e-3f)
        return -1;
    for (size_t i = from; i < to; ++i)
        if (std::abs (y[i]) >= 0.25f * peak)
            return (int64_t) i;
    return -1;
}

// Centre of the 64-sample window of largest energy within +-range of `expected`: where a smeared
// (stretched, transposed) burst has its weight, which its first quarter-peak sample may precede
// by much of the stretcher's window.
int64_t energyPeakNear (const std::vector<float>& y, int64_t expected, int range)
{
    constexpr int window = 64;
    const auto from = std::max<int64_t> (0, expected - range);
    const auto to = std::min<int64_t> ((int64_t) y.size() - window, expected + range);
    double energy = 0.0, best = -1.0;
    int64_t at = -1;
    for (auto i = from; i < from + window && i < (int64_t) y.size(); ++i)
        energy += (double) y[(size_t) i] * y[(size_t) i];
    for (auto i = from; i < to; ++i)
    {
        if (energy > best)
        {
            best = energy;
            at = i + window / 2;
        }
        energy += (double) y[(size_t) (i + window)] * y[(size_t) (i + window)] - (double) y[(size_t) i] * y[(size_t) i];
    }
    return best > 1.0e-6 ? at : -1;
}

struct Spread
{
    int pairs = 0;
    int64_t lowest = 0, highest = 0;
    double mean = 0.0;
};

// Pairs every click onset of `click` in [from, to) with the stem's onset near it in `song` and
// expects them within `tolerance`. Live, the stem's burst is smeared: both are then placed by
// their energy peak.
Spread pairClicksWithStem (const std::vector<float>& click, const std::vector<float>& song, int64_t from, int64_t to, bool smeared,
                           int tolerance, const juce::String& what)
{
    Spread spread;
    spread.lowest = std::numeric_limits<int64_t>::max();
    spread.highest = std::numeric_limits<int64_t>::min();
    double sum = 0.0;
    for (const auto& onset : findOnsets (click.data(), (int) click.size()))
    {
        if (onset.sample < from || onset.sample >= to)
            continue;
        const auto partner = smeared ? energyPeakNear (song, onset.sample, 2 * hop) : onsetNear (song, onset.sample, 2 * hop);
        const auto reference = smeared ? energyPeakNear (click, onset.sample, 200) : (int64_t) onset.sample;
        EXPECT_GE (partner, 0) << what << ": no stem onset near the click at " << onset.sample;
        if (partner < 0)
            continue;
        const auto delta = partner - reference;
        EXPECT_LE (std::abs (delta), tolerance) << what << ": click at " << onset.sample << ", stem at " << partner;
        spread.lowest = std::min (spread.lowest, delta);
        spread.highest = std::max (spread.highest, delta);
        sum += (double) delta;
        ++spread.pairs;
    }
    spread.mean = spread.pairs > 0 ? sum / spread.pairs : 0.0;
    std::printf ("[ALIGN] %s: %d onsets, stem - click in [%lld, %lld] samples, mean %.1f\n", what.toRawUTF8(), spread.pairs,
                 (long long) spread.lowest, (long long) spread.highest, spread.mean);
    return spread;
}

class EngineAlignment : public EngineDeviceTest
{
protected:
    void TearDown() override
    {
        // The test's sources leave the graph before the engine outlives them.
        engine.getDeviceManager().closeAudioDevice();
        engine.getMetronome().transportPlayingFlag = engineGate;
        for (const auto* name : { "drums", "keys" })
            engine.getGroupBus (name)->clearTracks();
        engine.getMasterTransport().setSource (nullptr);
        engine.songLinks.resampler = nullptr;
        EngineDeviceTest::TearDown();
    }

    // The assets, the stem on "drums", the song resampler and transport, the 4-output device at 256
    // frames with "drums" on outputs 2-3, and the click's beat map. Nothing plays yet.
    void setUpSong (double rate)
    {
        sessionRate = rate;

        for (const auto* key : { "clic_high", "clic_low" })
            ASSERT_TRUE (AssetFolders::writeTone (assets.clicks, juce::String (key) + ".wav", deviceRate, 200, 0.5f));
        for (const auto* key : { "1", "2", "3", "4" })
            ASSERT_TRUE (AssetFolders::writeTone (assets.cues, juce::String (key) + ".wav", deviceRate, 2000, 0.3f));
        engine.setAssetSearchStartForTesting (assets.temp.folder());
        engine.loadAssetFolders();
        ASSERT_TRUE (engine.areCueSamplesLoaded());

        // The click's gate is the transport's; the test holds it until play exists.
        auto& metronome = engine.getMetronome();
        engineGate = metronome.transportPlayingFlag;
        metronome.transportPlayingFlag = &playing;

        // A burst on every beat of a 40 s song at the session rate.
        const auto length = (int) (40.0 * sessionRate);
        stem.setSize (2, length);
        stem.clear();
        const auto burst = makeKeyTone (2, 200, sessionRate, 1500.0, 0.6f);
        for (int k = 0;; ++k)
        {
            const auto at = (int) std::llround (k * beatSeconds * sessionRate);
            if (at + burst.getNumSamples() > length)
                break;
            for (int c = 0; c < 2; ++c)
                stem.copyFrom (c, at, burst, c, 0, burst.getNumSamples());
        }
        for (const auto* bus : { "drums", "keys" })
        {
            auto track = std::make_unique<StemTrack>();
            track->source = std::make_unique<juce::MemoryAudioSource> (stem, false);
            track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
            track->tap = std::make_unique<TapAudioSource> (track->gain.get());
            engine.getGroupBus (bus)->mixer.addInputSource (track->tap.get());
            stemTracks.push_back (std::move (track));
        }

        // Song activation, as the transport will do it: the resampler over the music path plays
        // through the master transport, and the engine derives its ratio from the two rates.
        resampler = std::make_unique<ZeroLatencyResamplingSource> (&engine.getMusicPathEnd(), 1.0);
        engine.getMasterTransport().setSource (resampler.get());
        engine.setSessionSampleRate (sessionRate);
        engine.songLinks.resampler = [this] { return resampler.get(); };

        openVirtual();
        engine.setAudioDevice (deviceName);
        engine.ensureOutputChannels (4);
        engine.setDeviceBufferSize (block);
        auto* device = engine.getDeviceManager().getCurrentAudioDevice();
        ASSERT_NE (device, nullptr);
        ASSERT_EQ (device->getName(), deviceName);
        ASSERT_EQ (device->getCurrentBufferSizeSamples(), block);
        ASSERT_EQ (device->getActiveOutputChannels().countNumberOfSetBits(), 4);
        ASSERT_DOUBLE_EQ (resampler->getRatio(), sessionRate == deviceRate ? 1.0 : sessionRate / deviceRate);

        auto& router = engine.getRouter();
        router.setRouting ("drums", 2, false);
        router.setRouting ("keys", 3, false);
        router.sessionSampleRate = sessionRate;
        engine.setActiveSongId ("alignment");

        std::vector<double> beatTimes;
        std::vector<int32_t> beatNumbers;
        for (int k = 0; k < 200; ++k)
        {
            beatTimes.push_back (k * beatSeconds);
            beatNumbers.push_back (k % 4 + 1);
        }
        metronome.setOriginalBpm (songBpm);
        metronome.setBpm (songBpm);
        metronome.setBeatmap (std::move (beatTimes), std::move (beatNumbers));
    }

    // Tempo ratio (input per output, the click follows it) and transposition of the pitched buses.
    void setTempo (float ratio, float semitones)
    {
        tempo = ratio;
        engine.getMetronome().setBpm (songBpm * ratio);
        // The engine's position callback resynchronises the click after a wrap with the tempo ratio
        // the tick publishes: the engine plays at the same ratio (its recorded tempo is 120).
        engine.setTempoForTesting (120.0 * ratio);
        engine.timerCallback();
        for (const auto& [name, bus] : engine.getGroupBuses())
        {
            bus->stretch->rate = ratio;
            bus->stretch->semitones = bus->pitched ? semitones : 0.0f;
        }
    }

    void render (int64_t samples)
    {
        const auto blocks = (int) ((samples + block - 1) / block);
        ASSERT_EQ (devices().renderBlocks (blocks, deviceName), blocks);
    }

    // Renders up to device sample `end` (counted from the start of play).
    void renderUntil (int64_t end) { render (end - captured()); }

    int64_t captured() const { return devices().getNumCapturedSamples (deviceName); }

    // The song's output sample `p` (the loop region's and the stretch output's count) in song seconds.
    double songSecondsAt (int64_t p) const { return (double) p * tempo / sessionRate; }

    void startTransport()
    {
        devices().clearCaptured();
        engine.getMasterTransport().start();
    }

    // Pairs every click onset on output 0 in [from, to) with the stem's onset near it on `output`
    // (2: "drums", 3: the pitched "keys").
    Spread measure (int64_t from, int64_t to, int tolerance, const juce::String& label, int output = 2)
    {
        const auto what = label + (output == 2 ? " drums" : " keys");
        const auto spread = pairClicksWithStem (devices().getCaptured (deviceName, 0), devices().getCaptured (deviceName, output), from, to,
                                                ! engine.isStretchBypassed(), tolerance, what);
        RecordProperty ((what + " spread").toStdString(), (int) (spread.highest - spread.lowest));
        return spread;
    }

    AssetFolders assets;
    double sessionRate = deviceRate;
    float tempo = 1.0f;
    std::atomic<bool> playing { false };
    const std::atomic<bool>* engineGate = nullptr;
    juce::AudioBuffer<float> stem;
    struct StemTrack
    {
        std::unique_ptr<juce::MemoryAudioSource> source;
        std::unique_ptr<SmoothedGainAudioSource> gain;
        std::unique_ptr<TapAudioSource> tap;
    };
    std::vector<std::unique_ptr<StemTrack>> stemTracks;
    std::unique_ptr<ZeroLatencyResamplingSource> resampler;
};

// Beats of output a run needs for `onsets` clicks at the current tempo, in device samples.
int64_t beatsOfOutput (double beats, float tempo) { return (int64_t) std::ceil (beats * beatSeconds / tempo * deviceRate); }
int64_t toBlock (int64_t samples) { return (samples + block - 1) / block * block; }
} // namespace

TEST_F (EngineAlignment, BypassedStemLandsOnTheClickWithinOneSample)
{
    setUpSong (deviceRate);
    ASSERT_FALSE (HasFatalFailure());
    ASSERT_TRUE (engine.isStretchBypassed());

    startTransport();
    playing = true;
    renderUntil (beatsOfOutput (34, 1.0f));

    const auto end = beatsOfOutput (33, 1.0f);
    for (int output : { 2, 3 })
    {
        const auto spread = measure (0, end, 1, "bypassed", output);
        EXPECT_GE (spread.pairs, 32);
        // Nothing else on the stem's output: one burst per click (a click may fall one sample early).
        const auto song = devices().getCaptured (deviceName, output);
        EXPECT_EQ ((int) findOnsets (song.data(), (int) end + 1).size(), spread.pairs);
    }
}

TEST_F (EngineAlignment, SessionAt44100OnA48000DeviceLandsWithinTwoSamples)
{
    setUpSong (44100.0);
    ASSERT_FALSE (HasFatalFailure());

    startTransport();
    playing = true;
    renderUntil (beatsOfOutput (34, 1.0f));

    for (int output : { 2, 3 })
        EXPECT_GE (measure (0, beatsOfOutput (33, 1.0f), 2, "44.1k session on 48k", output).pairs, 32);
}

struct LiveCase
{
    float ratio, semitones;
};

class EngineLiveAlignment : public EngineAlignment, public testing::WithParamInterface<LiveCase>
{
};

// Straight play, a loop wrap that keeps the stretchers' state, then a seek that resets them; the
// click is delayed by the stretchers' latency in the router and seeks with the song.
TEST_P (EngineLiveAlignment, StemFollowsTheClickWithinOneHopStraightAfterAWrapAndAfterASeek)
{
    const auto [ratio, semitones] = GetParam();
    setUpSong (deviceRate);
    ASSERT_FALSE (HasFatalFailure());
    setTempo (ratio, semitones);
    engine.setStretchBypass (false);
    const auto latency = engine.getLiveStretchLatencySamples();
    ASSERT_GT (latency, 0);

    // The loop: from one second of output to the block after 33 beats and the latency.
    const auto loopStart = toBlock ((int64_t) deviceRate);
    const auto loopEnd = toBlock (beatsOfOutput (33, tempo) + latency);
    engine.getLoopRegion().setLoopRegion (loopStart, loopEnd, true);

    const auto label = [&] (const char* part)
    {
        return juce::String (part) + " r" + juce::String (ratio, 2) + " st" + juce::String (semitones, 0);
    };

    startTransport();
    playing = true;
    renderUntil (loopEnd);
    EXPECT_EQ (engine.getRouter().getSongLockedDelay(), latency);
    // Clicks whose search windows reach past the capture are left out (the last beat may land on
    // the capture's last samples, depending on the latency).
    const auto straightEnd = std::min (loopEnd + latency - hop, captured() - 2 * hop);
    for (int output : { 2, 3 })
        EXPECT_GE (measure (0, straightEnd, hop, label ("straight"), output).pairs, 32);

    // The wrap lands on this block's first sample: the stretchers keep their state, the click seeks
    // to the loop start's song time.
    for (const auto& [name, bus] : engine.getGroupBuses())
        bus->stretch->keepStateOnSeek = true;
    engine.getMetronome().seekToTime (songSecondsAt (loopStart));
    const auto afterWrap = loopEnd + latency + hop;
    renderUntil (afterWrap + beatsOfOutput (17, tempo));
    EXPECT_TRUE (engine.getLoopRegion().loopFired.load());
    for (int output : { 2, 3 })
        EXPECT_GE (measure (afterWrap, captured() - hop, hop, label ("after wrap"), output).pairs, 16);

    // A resetting seek to 2.5 s of output, with the loop off.
    engine.getLoopRegion().setLoopRegion (loopStart, loopEnd, false);
    const auto seekAt = captured();
    const auto target = (int64_t) (2.5 * deviceRate);
    engine.getMasterTransport().setPosition ((double) target / deviceRate);
    engine.getMetronome().seekToTime (songSecondsAt (target));
    const auto afterSeek = seekAt + latency + hop;
    renderUntil (afterSeek + beatsOfOutput (17, tempo));
    for (int output : { 2, 3 })
        EXPECT_GE (measure (afterSeek, captured() - hop, hop, label ("after seek"), output).pairs, 16);
}

INSTANTIATE_TEST_SUITE_P (TempoAndPitch, EngineLiveAlignment,
                          testing::Values (LiveCase { 0.8f, 0.0f }, LiveCase { 0.8f, 2.0f }, LiveCase { 0.8f, -12.0f },
                                           LiveCase { 1.0f, 0.0f }, LiveCase { 1.0f, 2.0f }, LiveCase { 1.0f, -12.0f },
                                           LiveCase { 1.25f, 0.0f }, LiveCase { 1.25f, 2.0f }, LiveCase { 1.25f, -12.0f }),
                          [] (const testing::TestParamInfo<LiveCase>& info)
                          {
                              const auto& p = info.param;
                              return "r" + std::to_string ((int) std::lround (p.ratio * 100)) + "_st" + (p.semitones < 0 ? "m" : "p")
                                     + std::to_string ((int) std::abs (p.semitones));
                          });

// The count-in (8 beats at the song's tempo, ending on a block boundary) then the song: its last beat
// and the song's first beat, on the click and on the stem, are one beat apart.
class EngineCountInAlignment : public EngineAlignment, public testing::WithParamInterface<bool>
{
};

TEST_P (EngineCountInAlignment, CountInEndsOneBeatBeforeTheSongsFirstBeat)
{
    const bool live = GetParam();
    setUpSong (deviceRate);
    ASSERT_FALSE (HasFatalFailure());
    if (live)
        engine.setStretchBypass (false);
    const int tolerance = live ? hop : 1;
    const auto beat = (int64_t) (beatSeconds * deviceRate);

    auto& countIn = engine.getCountIn();
    const auto clicks = engine.getMetronome().getSelectedClicks();
    countIn.clickHighRef = clicks.high;
    countIn.clickLowRef = clicks.low;
    countIn.bpm = songBpm;
    countIn.voiceSampleRate = deviceRate;
    countIn.startCountIn ("", true);
    ASSERT_EQ (countIn.getLength(), 8 * beat);
    ASSERT_EQ (countIn.getLength() % block, 0);

    // As play's count path does: the click's gate opens and the count holds it; the router holds the
    // song until the count ends, and the engine's count completion starts the transport and releases
    // the click on the count's end sample.
    playing = true;
    engine.setCountFlagsForTesting (false, true, false);
    devices().clearCaptured();
    renderUntil (countIn.getLength());
    EXPECT_FALSE (countIn.isActive());
    renderUntil (countIn.getLength() + 4 * beat + (live ? engine.getLiveStretchLatencySamples() : 0));

    const auto click = devices().getCaptured (deviceName, 0);
    const auto onsets = findOnsets (click.data(), (int) click.size());
    ASSERT_GE (onsets.size(), 12u);
    // Each count beat sounds from the first sample of the block that holds its event (the count
    // source starts its sounds there), after the router's delay of the count when live.
    const auto countStart = onsets[0].sample;
    for (int i = 1; i < 8; ++i)
        EXPECT_EQ (onsets[(size_t) i].sample, countStart + i * beat / block * block) << "count beat " << i;

    // The song's first beat comes on the count's end, one beat after the count's last beat: on the
    // click exactly, on the stem within the stretcher's tolerance.
    const auto countEnd = countStart + countIn.getLength();
    const auto firstClick = onsets[8].sample;
    EXPECT_NEAR ((double) firstClick, (double) countEnd, 1.0);
    EXPECT_NEAR ((double) (firstClick - (countStart + 7 * beat)), (double) beat, 1.0);

    const auto song = devices().getCaptured (deviceName, 2);
    const auto firstStem = onsetNear (song, firstClick, 2 * hop);
    ASSERT_GE (firstStem, 0);
    EXPECT_NEAR ((double) firstStem, (double) countEnd, tolerance);
    // The song is silent on its outputs until then.
    EXPECT_EQ (onsetNear (song, countStart + 7 * beat, (int) (firstStem - countStart - 7 * beat) - 2 * hop), -1);
    std::printf ("[ALIGN] count-in %s: count %lld..%lld, last count beat sounds at %lld, first click %lld, first stem %lld\n",
                 live ? "live" : "bypassed", (long long) countStart, (long long) countEnd, (long long) onsets[7].sample,
                 (long long) firstClick, (long long) firstStem);
}

INSTANTIATE_TEST_SUITE_P (Stretch, EngineCountInAlignment, testing::Values (false, true),
                          [] (const testing::TestParamInfo<bool>& info) { return info.param ? "Live" : "Bypassed"; });

//==============================================================================
// The whole engine at ratio 1.1 and +2 semitones (SET_BPM 132 on a 120 bpm song, SET_PITCH 2): the
// router delays the click, the cues and the count by the live latency in force, so every click
// lies within one stretcher hop of the bursts on "drums" and on the pitched "bass", straight, after
// a seek and after a count-in; a section's announcement sounds with the song's beat at its trigger.
class EngineLiveStretchAlignment : public EngineTransportTest, public testing::WithParamInterface<int>
{
protected:
    static constexpr int clickOut = 0, drumsOut = 2, bassOut = 3, cueOut = 4, countOut = 6;
    static constexpr double songBeat = 0.5; // 120 bpm
    static constexpr double ratio = 1.1;

    std::vector<float> out (int channel) const { return devices().getCaptured (deviceName, channel); }

    void renderUntil (int64_t samples) { render ((int) ((samples - captured() + blockSize - 1) / blockSize)); }

    // Every click in [from, to) against both stems; at least `pairs` of them.
    void expectClicksOnTheStems (int64_t from, int64_t to, int pairs, const char* what)
    {
        for (const auto& [output, bus] : { std::pair { drumsOut, "drums" }, std::pair { bassOut, "bass" } })
            EXPECT_GE (pairClicksWithStem (out (clickOut), out (output), from, to, true, hop, juce::String (what) + " " + bus).pairs, pairs);
    }

    int blockSize = 512;
};

TEST_P (EngineLiveStretchAlignment, ClickCuesAndCountStayWithTheStems)
{
    blockSize = GetParam();
    ASSERT_TRUE (AssetFolders::writeTone (assets.cues, "coro.wav", rate, 4000, 0.3f));
    loadCountSamples();
    defineCountDevice();
    openDevice (countDevice, blockSize, 8);
    auto& router = engine.getRouter();
    router.setRouting ("metronomeTap", clickOut, false);
    router.setRouting ("drums", drumsOut, false);
    router.setRouting ("bass", bassOut, false);
    router.setRouting ("cueTap", cueOut, false);
    router.setRouting ("countIn", countOut, false);

    juce::AudioBuffer<float> bursts (2, (int) (40.0 * rate));
    bursts.clear();
    const auto burst = makeKeyTone (2, 200, rate, 1500.0, 0.6f);
    for (int k = 0; k * songBeat < 39.0; ++k)
        for (int c = 0; c < 2; ++c)
            bursts.copyFrom (c, (int) (k * songBeat * rate), burst, c, 0, burst.getNumSamples());
    addStem ("d", "drums", bursts);
    addStem ("b", "bass", bursts);
    activate (120.0, 40.0);
    engine.updateCueSections (R"([{"name":"Coro","startTime":8.0,"triggerTime":7.0}])");
    engine.setBpm (132.0);
    engine.setPitch (2.0f);
    ASSERT_FALSE (engine.isStretchBypassed());
    const auto latency = engine.getLiveStretchLatencySamples();
    ASSERT_GT (latency, 2 * hop) << "a click left undelayed would lie outside the tolerance";
    std::printf ("[ALIGN] live latency %d samples, hop %d\n", latency, hop);

    // Straight from the start, through the announcement at 7 s of song.
    const auto outputBeat = songBeat / ratio * rate;
    devices().clearCaptured (deviceName);
    engine.play (false, false, 0.0, {}, false, -1, -1, -1, -1);
    renderUntil ((int64_t) (17 * outputBeat) + 600); // the 18th click made, still inside the delay
    EXPECT_EQ (router.getSongLockedDelay(), latency);
    expectClicksOnTheStems (latency + hop, captured() - 2 * hop, 12, "straight");

    const auto cues = out (cueOut);
    const auto spoken = findOnsets (cues.data(), (int) cues.size());
    ASSERT_EQ (spoken.size(), 1u) << "one announcement";
    const auto expectedCue = (int64_t) std::llround (7.0 / ratio * rate) + latency;
    EXPECT_NEAR ((double) spoken[0].sample, (double) expectedCue, hop) << "the trigger's song time, delayed as the stems are";
    const auto beatAtTrigger = energyPeakNear (out (drumsOut), spoken[0].sample, 2 * hop);
    EXPECT_NEAR ((double) beatAtTrigger, (double) spoken[0].sample, hop) << "the burst of the beat at 7 s";

    // A seek resets the stretchers, which drop the music they held: the click made with it goes
    // too, the click seeks with the song and keeps the delay.
    const auto seekAt = captured();
    engine.seek (20.0); // on a beat
    renderUntil (seekAt + (int64_t) (5.0 * rate));
    EXPECT_EQ (firstSound (clickOut, seekAt), seekAt + latency) << "the first click after the seek is the target's beat";
    expectClicksOnTheStems (seekAt + latency + hop, captured() - 2 * hop, 8, "after seek");

    // A count-in, then the song from its start on the count's end: the count, the click and the
    // stems all come out one latency later.
    whileRendering ([this] { engine.stop(); });
    devices().clearCaptured (deviceName);
    engine.play (true, true, -1.0, {}, false, -1, -1, -1, -1);
    ASSERT_EQ (engine.getCountInPhase(), 1);
    const auto countLength = engine.getCountIn().getLength();
    renderUntil (countLength + (int64_t) (5.0 * rate));
    EXPECT_EQ (engine.getCountInPhase(), 2);
    const auto countHeard = out (countOut);
    const auto countOnsets = findOnsets (countHeard.data(), (int) countHeard.size());
    ASSERT_FALSE (countOnsets.empty());
    EXPECT_NEAR ((double) countOnsets.front().sample, (double) latency, 1.0) << "the count is delayed too";
    const auto clicks = out (clickOut);
    const auto songClicks = findOnsets (clicks.data(), (int) clicks.size());
    ASSERT_FALSE (songClicks.empty());
    EXPECT_EQ (firstSound (clickOut), songClicks.front().sample) << "nothing on the click output before";
    EXPECT_NEAR ((double) songClicks.front().sample, (double) (countLength + latency), 1.0) << "the first click on the count's end";
    EXPECT_NEAR ((double) energyPeakNear (out (drumsOut), countLength + latency, 2 * hop), (double) (countLength + latency), hop)
        << "the song's first beat with it";
    expectClicksOnTheStems (countLength + latency + hop, captured() - 2 * hop, 8, "after count-in");
    whileRendering ([this] { engine.stop(); });
}

INSTANTIATE_TEST_SUITE_P (Blocks, EngineLiveStretchAlignment, testing::Values (441, 512));
} // namespace quorvelle::test
