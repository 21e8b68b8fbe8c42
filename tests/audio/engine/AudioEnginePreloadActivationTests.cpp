// Activation of a preloaded song on rendered samples (the Virtual device's manual clock, split
// monitoring: the song on output 0, the click and the counts on output 1). Song B is a 16-bit ramp
// (sample i holds i mod 32768), so a gap, a repeat or an offset shows on the output; song A is
// silence.
#include "EngineTransportFixture.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <algorithm>

namespace quorvelle::test
{
namespace
{
constexpr int musicChannel = 0, clickChannel = 1;

float rampAt (int64_t i) { return (float) (i % 32768) / 32768.0f; }

// B's 16-bit channels: two channels of `samples` ramp values.
std::unique_ptr<std::vector<Int16ChannelData>> rampChannels (int64_t samples)
{
    auto channels = std::make_unique<std::vector<Int16ChannelData>> (2);
    for (auto& channel : *channels)
    {
        channel.allocate (samples);
        for (int64_t i = 0; i < samples; ++i)
            channel.samples[(size_t) i] = (int16_t) (i % 32768);
    }
    return channels;
}

// The ramp as a 16-bit WAV file, written from integers so that it decodes back exactly.
bool writeRampWav (const juce::File& file, double rate, int samples)
{
    file.deleteFile();
    juce::WavAudioFormat wav;
    auto stream = file.createOutputStream();
    if (stream == nullptr)
        return false;
    std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (stream.get(), rate, 2, 16, {}, 0));
    if (writer == nullptr)
        return false;
    stream.release();
    std::vector<int> values ((size_t) samples);
    for (int i = 0; i < samples; ++i)
        values[(size_t) i] = (i % 32768) << 16;
    const int* channels[] = { values.data(), values.data(), nullptr };
    return writer->write (channels, samples);
}

juce::var beatmapOf (double firstBeat, double period, double seconds)
{
    juce::Array<juce::var> beats;
    int number = 1;
    for (double t = firstBeat; t < seconds; t += period)
    {
        beats.add (makeObject ({ { "time", t }, { "beatNum", number } }));
        number = number % 4 + 1;
    }
    return beats;
}
} // namespace

class EngineActivation : public EngineTransportTest
{
protected:
    // Song A (one silent stem) ready and still on the count device at `block`, split monitoring.
    void loadSongA (int block)
    {
        defineCountDevice();
        openDevice (countDevice, block, 8);
        engine.setSplitMonitor (true);
        addStem ("a", "drums", silence);
        activate();
    }

    // Song B held in memory: one ramp stem of `seconds` on "drums" at 0 dB (none when 0).
    static std::shared_ptr<AudioEngine::PreloadedSession> rampSession (const juce::String& songId, double seconds)
    {
        auto session = std::make_shared<AudioEngine::PreloadedSession>();
        session->songId = songId;
        session->sampleRate = rate;
        session->bpm = 120.0;
        session->numBars = 64;
        session->timeSignatureVar = juce::JSON::parse ("[4, 4]");
        if (seconds > 0.0)
        {
            AudioEngine::PreloadedTrack track;
            track.trackId = "b";
            track.instrumentType = "DRUMS";
            track.busOverride = "drums";
            track.volumeDb = 0.0f;
            track.samples->int16Channels = rampChannels ((int64_t) (seconds * rate));
            session->tracks.push_back (std::move (track));
        }
        return session;
    }

    AudioEngine::PreloadActivation activation (const juce::String& songId) const
    {
        AudioEngine::PreloadActivation request;
        request.songId = songId;
        return request;
    }

    // The output from `from` on holds B's samples from `songSample` on, for `count` samples.
    void expectRamp (int64_t from, int64_t songSample, int64_t count) const
    {
        const auto out = devices().getCaptured (deviceName, musicChannel);
        ASSERT_GE ((int64_t) out.size(), from + count);
        for (int64_t j = 0; j < count; ++j)
            if (std::abs (out[(size_t) (from + j)] - rampAt (songSample + j)) > 1.0e-6f)
            {
                ADD_FAILURE() << "output " << from + j << " holds " << out[(size_t) (from + j)] << ", B's sample " << songSample + j
                              << " is " << rampAt (songSample + j);
                return;
            }
    }

    void expectSilence (int64_t from, int64_t to) const
    {
        const auto out = devices().getCaptured (deviceName, musicChannel);
        ASSERT_GE ((int64_t) out.size(), to);
        for (auto i = from; i < to; ++i)
            if (out[(size_t) i] != 0.0f)
            {
                ADD_FAILURE() << "output " << i << " holds " << out[(size_t) i];
                return;
            }
    }

    // The output samples at which a sound starts on `channel`.
    std::vector<int64_t> onsetsOf (int channel) const
    {
        const auto samples = devices().getCaptured (deviceName, channel);
        std::vector<int64_t> found;
        for (const auto& onset : findOnsets (samples.data(), (int) samples.size()))
            found.push_back (onset.sample);
        return found;
    }

    void renderSamples (int64_t samples, int block) { render ((int) ((samples + block - 1) / block)); }

    juce::var lastEvent (const juce::String& action) const
    {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (actionOf (*it) == action)
                return *it;
        return {};
    }

    // Runs the message loop, the engine's tick and the device until `condition` holds.
    bool tickUntil (const std::function<bool()>& condition, int timeoutMs = 20000)
    {
        return runMessageLoopUntil ([&]
        {
            devices().renderBlocks (1, deviceName);
            engine.timerCallback();
            return condition();
        }, timeoutMs);
    }

    // Stems of a head-only preload of the ramp file: the window [10 s, 14 s) decoded.
    void preloadHeadOnlyRamp (const juce::File& file)
    {
        ASSERT_TRUE (writeRampWav (file, rate, (int) (20.0 * rate)));
        const auto tracks = juce::JSON::parse ("[{\"id\": \"b\", \"name\": \"b\", \"instrumentType\": \"DRUMS\", \"busOverride\": \"drums\", "
                                               "\"volume\": 0, \"url\": \"file://" + file.getFullPathName() + "\"}]");
        engine.startPreload (tracks, juce::var(), 120.0, juce::var(), 64, "song-b", juce::JSON::parse ("[4, 4]"), 0.0, 0.0, false, juce::var(),
                             -1.0, -1.0, 20.0, true, 10.0, 4.0, 0.0);
        ASSERT_TRUE (runMessageLoopUntil ([this] { return engine.hasPreloadedSession(); }, 30000));
        const auto session = engine.getPreloadedSession();
        ASSERT_EQ (session->tracks.size(), 1u);
        ASSERT_TRUE (session->tracks[0].isHeadOnly);
    }

    juce::AudioBuffer<float> silence { constant (2.0, 0.0f) };
    TempFolder temp;
};

//==============================================================================
TEST_F (EngineActivation, TheSlotsSamplesPlayFromTheStartPositionWithoutACopy)
{
    loadSongA (441);
    for (const int block : { 441, 512 })
    {
        SCOPED_TRACE (block);
        // The second round replaces the first round's song B.
        engine.setDeviceBufferSize (block);
        auto session = rampSession ("song-b", 10.0);
        const auto samples = session->tracks[0].samples;
        const std::weak_ptr<AudioEngine::PreloadedSession> record = session;
        engine.setPreloadedSessionForTesting (std::move (session));
        devices().clearCaptured (deviceName);

        auto request = activation ("song-b");
        request.autoPlay = true;
        request.startPosition = 2.0;
        ASSERT_TRUE (engine.activatePreloadedSong (request));

        const auto loaded = lastEvent ("SESSION_LOADED");
        EXPECT_EQ (keysOf (loaded).joinIntoString (","), "action,trackCount,sampleRate,audioDuration,wasPreloaded,wasPreStretched,songId");
        EXPECT_EQ ((int) loaded["trackCount"], 1);
        EXPECT_EQ ((double) loaded["sampleRate"], rate);
        EXPECT_DOUBLE_EQ ((double) loaded["audioDuration"], 10.0);
        EXPECT_TRUE ((bool) loaded["wasPreloaded"]);
        EXPECT_FALSE ((bool) loaded["wasPreStretched"]);
        EXPECT_EQ (loaded["songId"].toString(), "song-b");

        // The stem plays the very samples the session held; the emptied record is gone with the slot.
        ASSERT_EQ (engine.getLoadedTracks().count ("b"), 1u);
        EXPECT_EQ (engine.getLoadedTracks().at ("b")->samples, samples);
        EXPECT_EQ (engine.getLoadedTracks().count ("a"), 0u);
        EXPECT_FALSE (engine.hasPreloadedSession());
        EXPECT_TRUE (record.expired());
        EXPECT_EQ (engine.getActiveSongId(), "song-b");
        EXPECT_TRUE (engine.getTransportSnapshot().playing);

        // After the stem's 20 ms gain ramp, B from 2 s on, sample for sample.
        renderSamples (40000, block);
        expectRamp (960, (int64_t) (2.0 * rate) + 960, 39000);
    }
}

TEST_F (EngineActivation, AWrongIdFailsAndLeavesSongAAndTheSlot)
{
    const auto slot = playWithAPreloadedSlot();
    ASSERT_FALSE (engine.activatePreloadedSong (activation ("song-x")));

    const auto failed = lastEvent ("ACTIVATE_PRELOADED_FAILED");
    EXPECT_EQ (failed["songId"].toString(), "song-x");
    EXPECT_EQ (countAction ("SESSION_LOADED"), 0);
    EXPECT_EQ (engine.getPreloadedSession(), slot);
    EXPECT_EQ (engine.getActiveSongId(), "song-1");
    EXPECT_EQ (engine.getLoadedTracks().count ("d"), 1u);

    devices().clearCaptured (deviceName);
    render (2);
    EXPECT_NEAR (devices().getCaptured (deviceName, 0)[700], 0.1f, 1.0e-6f) << "song A still sounds";
}

TEST_F (EngineActivation, StemlessSongsRunOnTheirBarsAndUnknownBusesFallBackToAux)
{
    loadSongA (512);

    // 64 bars of 4/4 at 120 bpm plus the 30 s tail, whatever the session rate.
    auto stemless = rampSession ("click-only", 0.0);
    stemless->sampleRate = 44100.0;
    engine.setPreloadedSessionForTesting (stemless);
    stemless.reset();
    ASSERT_TRUE (engine.activatePreloadedSong (activation ("click-only")));
    auto loaded = lastEvent ("SESSION_LOADED");
    EXPECT_EQ ((int) loaded["trackCount"], 0);
    EXPECT_EQ ((double) loaded["sampleRate"], 44100.0);
    EXPECT_DOUBLE_EQ ((double) loaded["audioDuration"], 158.0);

    // A guitar whose bus (from the user's overrides) does not exist plays on "aux".
    engine.setChannelOverrides (juce::JSON::parse ("{\"GUITAR\": \"nowhere\"}"));
    auto guitar = rampSession ("guitar", 1.0);
    guitar->tracks[0].instrumentType = "GUITAR";
    guitar->tracks[0].busOverride = "";
    engine.setPreloadedSessionForTesting (guitar);
    guitar.reset();
    ASSERT_TRUE (engine.activatePreloadedSong (activation ("guitar")));
    ASSERT_EQ (engine.getLoadedTracks().count ("b"), 1u);
    EXPECT_EQ (engine.getLoadedTracks().at ("b")->bus, "aux");
    EXPECT_EQ (engine.getGroupBus ("aux")->mixer.numInputs(), 1);
    const auto line = findDebugLine ("[GTR-NATIVE] activatePreloaded id=b inst=GUITAR group=aux routed=AUX-FALLBACK");
    EXPECT_TRUE (line.has_value());
}

TEST_F (EngineActivation, PreStretchedStemsCarryTheirTempoAndPlainOnesTheSongs)
{
    loadSongA (512);
    // Song A was playing faster live: B's own tempo replaces it.
    engine.setBpm (132.0);

    struct Case
    {
        const char* name;
        bool wasPreStretched;
        double stretchBpm, stretchSemitones;
        double expectedBpm, expectedDuration;
    };
    const Case cases[] = {
        { "pre-stretched to 132 bpm", true, 132.0, 0.0, 132.0, 11.0 },
        { "key only", true, 0.0, 2.0, 120.0, 10.0 },
        { "as recorded", false, 0.0, 0.0, 120.0, 10.0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto session = rampSession (c.name, 10.0);
        session->wasPreStretched = c.wasPreStretched;
        session->stretchBpm = c.stretchBpm;
        session->stretchSemitones = c.stretchSemitones;
        engine.setPreloadedSessionForTesting (session);
        session.reset();
        auto request = activation (c.name);
        request.autoPlay = true;
        ASSERT_TRUE (engine.activatePreloadedSong (request));

        const auto loaded = lastEvent ("SESSION_LOADED");
        EXPECT_EQ ((bool) loaded["wasPreStretched"], c.wasPreStretched);
        EXPECT_NEAR ((double) loaded["audioDuration"], c.expectedDuration, 1.0e-9);
        EXPECT_EQ (engine.getCurrentBpm(), c.expectedBpm);
        EXPECT_TRUE (engine.isStretchBypassed()) << "the stems play as they are";

        // One second of stems played is that many seconds of song at the stems' tempo ratio.
        render ((int) rate / 512);
        engine.timerCallback();
        EXPECT_NEAR ((double) lastUpdate()["time"], (double) (((int) rate / 512) * 512) / rate * c.expectedBpm / 120.0, 0.02);
    }
}

TEST_F (EngineActivation, TheClickFollowsBsBeatMapFromTheStartPosition)
{
    loadCountSamples();
    loadSongA (512);
    engine.setMetronomeVolume (0.0f);

    // Beats every 0.7 s from 0.2 s: from 12 s on they fall at 12.1, 12.8, 13.5 s.
    auto session = rampSession ("song-b", 20.0);
    session->beatmapVar = beatmapOf (0.2, 0.7, 20.0);
    engine.setPreloadedSessionForTesting (session);
    session.reset();
    devices().clearCaptured (deviceName);

    auto request = activation ("song-b");
    request.autoPlay = true;
    request.startPosition = 12.0;
    ASSERT_TRUE (engine.activatePreloadedSong (request));
    render (200);

    const auto clicks = onsetsOf (clickChannel);
    ASSERT_GE (clicks.size(), 3u);
    for (size_t k = 0; k < 3; ++k)
        EXPECT_NEAR ((double) clicks[k], (0.1 + 0.7 * (double) k) * rate, 2.0) << "click " << k;
}

TEST_F (EngineActivation, CountInAndRegionTogetherRunOnlyTheCountInWithBsStrip)
{
    loadCountSamples();
    loadSongA (512);
    engine.setPreloadedSessionForTesting (rampSession ("song-b", 4.0));

    auto request = activation ("song-b");
    request.countIn = true;
    request.countInBpm = 120.0;
    request.countInNumerator = 4;
    request.countInDenominator = 4;
    request.countInRegion = true;
    request.regionStartPos = 1.0;
    request.regionEndPos = 3.0;
    request.regionVoiceInt = true;
    request.countStrip = true;
    request.countClickVolumeDb = -6.0;
    request.countGuideVolumeDb = -3.0;
    request.countGuideMuted = true;
    ASSERT_TRUE (engine.activatePreloadedSong (request));

    EXPECT_EQ (countAction ("COUNT_IN_STARTED_BY_NATIVE"), 1);
    EXPECT_EQ (engine.getCountInPhase(), 1);
    EXPECT_LT (engine.getCountRowsProbeForTesting().countRegionStart, 0.0) << "no region count";

    // B's click and guide levels are set before its count (the stages take them at the next block).
    render (1);
    const auto mixer = engine.getMixerProbeForTesting();
    EXPECT_NEAR (mixer.metronomeVolume, std::pow (10.0f, -6.0f / 20.0f), 1.0e-4f);
    EXPECT_EQ (mixer.guideVolume, 0.0f) << "the guide is muted";
}

TEST_F (EngineActivation, ASetupKeptDuringAStandaloneCountAppliesWhenThatCountEnds)
{
    loadCountSamples();
    loadSongA (512);

    // The count ends by itself (the tick applies the setup), or a pause or a stop ends it.
    enum class End { byItself, pause, stop };
    for (const auto end : { End::byItself, End::pause, End::stop })
    {
        SCOPED_TRACE ((int) end);
        engine.setTimeSignature (4, 4);
        events.clear();
        engine.startStandaloneCountIn (120.0, 4, 4, {}, true, true, -1.0f, -1.0f);
        ASSERT_TRUE (engine.getCountRowsProbeForTesting().standaloneCountInActive);

        auto session = rampSession ("song-b", 10.0);
        session->timeSignatureVar = juce::JSON::parse ("[3, 4]");
        session->beatmapVar = beatmapOf (0.0, 0.5, 10.0);
        engine.setPreloadedSessionForTesting (session);
        session.reset();

        auto request = activation ("song-b");
        request.countIn = true;
        ASSERT_TRUE (engine.activatePreloadedSong (request));
        EXPECT_EQ (countAction ("COUNT_IN_STARTED_BY_NATIVE"), 0) << "the running count is the count";
        EXPECT_TRUE (engine.getCountRowsProbeForTesting().standaloneCountInActive) << "and it goes on";
        EXPECT_EQ (engine.getMixerProbeForTesting().numerator, 4) << "the running count keeps its click";

        if (end == End::byItself)
        {
            render (20);
            engine.timerCallback();
            EXPECT_EQ (engine.getMixerProbeForTesting().numerator, 4) << "not before the count has ended";
            ASSERT_TRUE (tickUntil ([this] { return engine.getMixerProbeForTesting().numerator == 3; }));
            EXPECT_FALSE (engine.getCountRowsProbeForTesting().standaloneCountInActive);
        }
        else
        {
            if (end == End::pause)
                engine.pause();
            else
                engine.stop();
            EXPECT_EQ (engine.getMixerProbeForTesting().numerator, 3);
        }
        EXPECT_EQ (countDebugLines ("deferred metronome FIRING (message thread, FALLBACK path) | bpm=120.0 | beatmap=20"), 1);

        // Once applied, it is gone: the next tick and pause do not apply it again.
        engine.timerCallback();
        engine.pause();
        EXPECT_EQ (countDebugLines ("deferred metronome FIRING"), 1);
    }
}

TEST_F (EngineActivation, AHeadWindowAfterTheStartIsCompletedOverTheWholeStem)
{
    loadSongA (512);
    preloadHeadOnlyRamp (temp / "b.wav");
    ASSERT_TRUE (engine.activatePreloadedSong (activation ("song-b")));

    // The complement fill marks the stem whole once every chunk is decoded.
    ASSERT_TRUE (runMessageLoopUntil ([this] { return engine.getLoadedTracks().at ("b")->isInt16; }, 30000));
    devices().clearCaptured (deviceName);
    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    renderSamples ((int64_t) (15.0 * rate), 512);
    expectRamp (960, 960, (int64_t) (15.0 * rate) - 960);
}

TEST_F (EngineActivation, AHeadOnlyStemIsSilentWhereNothingIsDecoded)
{
    loadSongA (512);
    const auto file = temp / "b.wav";
    preloadHeadOnlyRamp (file);
    // Without its file the complement fill reads nothing: only the window's chunks play.
    ASSERT_TRUE (file.deleteFile());
    ASSERT_TRUE (engine.activatePreloadedSong (activation ("song-b")));
    ASSERT_TRUE (runMessageLoopUntil ([this] { return ! engine.getTrackLoader().isBusy(); }, 30000));

    devices().clearCaptured (deviceName);
    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    renderSamples ((int64_t) (17.0 * rate), 512);

    // The window [10 s, 14 s) lies in chunks 3 to 5 of 131072 samples.
    constexpr int64_t chunk = ChunkLoadMap::defaultChunkSize;
    expectSilence (0, 3 * chunk);
    expectRamp (3 * chunk, 3 * chunk, 3 * chunk);
    expectSilence (6 * chunk, (int64_t) (17.0 * rate));
    EXPECT_GT (engine.getChunkMissCount(), 0);
    EXPECT_FALSE (engine.getLoadedTracks().at ("b")->isInt16);
}
} // namespace quorvelle::test
