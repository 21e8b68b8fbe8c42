// The transport on rendered samples: counts and their hand-off to the song, the song-time mapping,
// the music fades, PLAYBACK_UPDATE and the session reset.
#include "EngineTransportFixture.h"
#include "audio/graph/AudioThreadLog.h"

namespace quorvelle::test
{
TEST_F (EngineTransportTest, PlayWithoutASessionOnlyLogs)
{
    engine.play (true, true, 3.0, "Verse", false, -1, -1, -1, -1);
    EXPECT_TRUE (log.count ("AudioEngine: Cannot play - session not ready (isSessionReady=false, tracks=0)") > 0);
    EXPECT_TRUE (findDebugLine ("Cannot play: session not ready").has_value());
    EXPECT_EQ (engine.getCountInPhase(), 0);
    EXPECT_FALSE (engine.isPlaybackGateOpen());
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
}

TEST_F (EngineTransportTest, CountLengthIsCappedByTheTruncation)
{
    loadCountSamples();
    openDevice ("Virtual 2", 512, 2);
    addStem ("d", "drums", constant (1.0, 0.1f));
    activate (120.0);

    // At 120 bpm in 4/4 the plan lasts two bars: 4 s, 192,000 samples.
    const struct { double truncateSec; int64_t expected; } cases[] = {
        { 1.5, 72000 }, { 3.0, 144000 }, { 10.0, 192000 }, { -1.0, 192000 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.truncateSec);
        engine.play (true, true, -1.0, {}, false, -1, -1, -1, c.truncateSec);
        EXPECT_EQ (engine.getCountInPhase(), 1);
        EXPECT_TRUE (engine.isCountHeld());
        EXPECT_FALSE (engine.getMasterTransport().isPlaying());
        EXPECT_EQ (engine.getCountIn().getLength(), c.expected);
        EXPECT_EQ (countDebugLines ("truncado a"), c.truncateSec > 0.0 ? 1 : 0);
        engine.stop();
        EXPECT_EQ (engine.getCountInPhase(), 0);
        EXPECT_FALSE (engine.isCountHeld());
        events.clear();
    }
}

class CountHandOff : public EngineTransportTest, public testing::WithParamInterface<int>
{
};

TEST_P (CountHandOff, MusicAndClickStartOnTheCountsEndSample)
{
    const int block = GetParam();
    loadCountSamples();
    defineCountDevice();
    openDevice (countDevice, block, 8);
    auto& router = engine.getRouter();
    router.setRouting ("drums", 2, true);
    router.setRouting ("countIn", 4, true);
    addStem ("d", "drums", constant (6.0, 0.25f));
    activate (120.0);

    render (2);
    devices().clearCaptured (countDevice);
    engine.play (true, true, -1.0, {}, false, -1, -1, -1, 1.5); // 72,000 samples: inside a block of either size
    ASSERT_EQ (engine.getCountInPhase(), 1);
    const auto countLength = engine.getCountIn().getLength();
    ASSERT_GT (countLength, 0);
    ASSERT_NE (countLength % block, 0) << "the count must end inside a block";

    render ((int) (countLength / block) + 8);
    EXPECT_EQ (engine.getCountInPhase(), 2);
    EXPECT_TRUE (engine.getMasterTransport().isPlaying());
    EXPECT_GE (firstSound (4), 0) << "the count spoke";
    EXPECT_EQ (firstSound (2), countLength) << "first music sample";
    EXPECT_EQ (firstSound (0, countLength - block), countLength) << "first click";
    AudioThreadLog::shared().drain();
    EXPECT_EQ (countDebugLines ("[COUNT-IN] COMPLETE"), 1);
    EXPECT_EQ (log.count ("AudioEngine: Count-in complete, transport started (audio thread) | transportPos=0.000"), 1);

    whileRendering ([this] { engine.stop(); });
}

INSTANTIATE_TEST_SUITE_P (Blocks, CountHandOff, testing::Values (441, 512));

TEST_F (EngineTransportTest, ACountWithoutCueSamplesStartsPlainly)
{
    openDevice ("Virtual 2", 512, 2);
    addStem ("d", "drums", constant (2.0, 0.1f));
    activate();

    engine.play (true, true, -1.0, {}, false, -1, -1, -1, -1);
    EXPECT_EQ (engine.getCountInPhase(), 2);
    EXPECT_FALSE (engine.isCountHeld());
    EXPECT_TRUE (engine.isPlaybackGateOpen());
    EXPECT_TRUE (engine.getMasterTransport().isPlaying());
    EXPECT_EQ (countDebugLines ("count could not be built"), 1);
    whileRendering ([this] { engine.stop(); });
}

TEST_F (EngineTransportTest, SongTimeMapsThroughTheTempoRatio)
{
    openDevice ("Virtual 2", 512, 2);
    addStem ("d", "drums", constant (60.0, 0.0f));
    activate (100.0);

    const struct { double bpm, songTime, transportSeconds; } cases[] = {
        { 125.0, 30.0, 24.0 }, // r 1.25
        { 100.0, 30.0, 30.0 },
        { 50.0, 10.0, 20.0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.bpm);
        engine.setTempoForTesting (c.bpm);
        engine.seek (c.songTime);
        EXPECT_NEAR (engine.getMasterTransport().getCurrentPosition(), c.transportSeconds, 1.0 / rate);
        EXPECT_NEAR (engine.songTimeForTransportSeconds (engine.getMasterTransport().getCurrentPosition()), c.songTime, 1.0e-3);
        EXPECT_EQ (engine.getCountInPhase(), 0) << "seek leaves the count phase";
    }
}

// The song at its own rate on a device at another: the resampler between the song chain and the
// transport. A seek lands on the song's sample, the output walks the song at session/device samples
// per device sample, positions read back in song seconds and the transport ends with the song.
struct RatePair
{
    double session, device;
};

class SessionAtAnotherRate : public EngineTransportTest, public testing::WithParamInterface<RatePair>
{
protected:
    // The ramp's value at session sample k (exact in float far beyond the song's length).
    static float rampAt (double k) { return (float) (k / 1048576.0); }
};

TEST_P (SessionAtAnotherRate, SeeksPlaysAndEndsInSongTime)
{
    const auto [session, device] = GetParam();
    constexpr double songSeconds = 3.0;
    openDevice ("Virtual 2", 512, 2);
    engine.setDeviceSampleRate (device);
    ASSERT_EQ (engine.getDeviceSampleRate(), device);
    juce::AudioBuffer<float> ramp (2, (int) (songSeconds * session));
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < ramp.getNumSamples(); ++k)
            ramp.setSample (c, k, rampAt (k));
    addStem ("d", "drums", ramp);
    engine.activateSongForTesting ("song-1", session, 120.0, 0.0);
    ASSERT_NE (engine.getSongResampler(), nullptr);
    ASSERT_DOUBLE_EQ (engine.getSongResampler()->getRatio(), session / device);

    const auto& transport = engine.getMasterTransport();
    for (const double start : { 1.0, 0.25 })
    {
        SCOPED_TRACE (testing::Message() << "start " << start);
        devices().clearCaptured ("Virtual 2");
        engine.play (false, false, start, {}, false, -1, -1, -1, -1);
        EXPECT_NEAR (transport.getCurrentPosition(), start, 1.0 / device);
        render (8);

        const auto out = devices().getCaptured ("Virtual 2", 0);
        ASSERT_EQ (out.size(), 8u * 512u);
        for (size_t j = 0; j < out.size(); ++j)
            ASSERT_NEAR (out[j], rampAt (start * session + (double) j * session / device), rampAt (0.1)) << "device sample " << j;

        const auto played = start + (double) out.size() / device;
        EXPECT_NEAR (transport.getCurrentPosition(), played, 1.0 / device);
        engine.timerCallback();
        EXPECT_NEAR ((double) lastUpdate()["time"], played, 1.0 / session);
        whileRendering ([this] { engine.stop(); });
    }

    // From 2 s on, the transport plays the song's last second and stops within a block of its end.
    devices().clearCaptured ("Virtual 2");
    engine.play (false, false, 2.0, {}, false, -1, -1, -1, -1);
    for (int guard = 0; guard < 400 && transport.isPlaying(); ++guard)
        render (1);
    EXPECT_FALSE (transport.isPlaying());
    EXPECT_NEAR ((double) captured(), (songSeconds - 2.0) * device, 512.0);
    EXPECT_NEAR (transport.getLengthInSeconds(), songSeconds, 1.0 / device);
}

INSTANTIATE_TEST_SUITE_P (Rates, SessionAtAnotherRate, testing::Values (RatePair { 44100.0, 48000.0 }, RatePair { 48000.0, 44100.0 }),
                          [] (const testing::TestParamInfo<RatePair>& info)
                          {
                              return "Song" + std::to_string ((int) info.param.session) + "OnDevice" + std::to_string ((int) info.param.device);
                          });

TEST_F (EngineTransportTest, FadeDiagnosticsReportTheEffectiveRamp)
{
    // No device: the music gain applies each target at once, so each row starts from its gain.
    const struct { bool fadeOut; float duration, fromGain, effectiveRamp; double fromDb, toDb; } cases[] = {
        { true, 2.0f, 1.0f, 2.0f, 0.0, -72.0 },
        { false, 2.0f, 0.5f, 1.0f, 20.0 * std::log10 (0.5), 0.0 },
        { true, 0.04f, 0.5f, 0.04f, 20.0 * std::log10 (0.5), -72.0 },
        { false, 2.0f, 0.0f, 2.0f, -100.0, 0.0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << (c.fadeOut ? "out " : "in ") << c.duration << " from " << c.fromGain);
        engine.getMusicGain()->setGain (c.fromGain, 0.0f);
        events.clear();
        engine.emitFadeDiag (c.fadeOut, c.duration);
        ASSERT_EQ (events.size(), 1u);
        const auto& e = events.front();
        EXPECT_EQ (keysOf (e).joinIntoString (","),
                   "action,kind,curve,requestedDuration,effectiveRamp,fromGain,targetGain,fromDb,toDb");
        EXPECT_EQ (e["kind"].toString(), c.fadeOut ? "fadeOut" : "fadeIn");
        EXPECT_EQ (e["curve"].toString(), "cosine-s");
        EXPECT_NEAR ((double) e["effectiveRamp"], c.effectiveRamp, 1.0e-6);
        EXPECT_NEAR ((double) e["fromDb"], c.fromDb, 1.0e-4);
        EXPECT_EQ ((double) e["toDb"], c.toDb);
        EXPECT_EQ ((double) e["targetGain"], c.fadeOut ? 0.0 : 1.0);
        EXPECT_NEAR (engine.getMusicGain()->getPublishedGain(), c.fadeOut ? 0.0f : 1.0f, 1.0e-6f);
    }
}

TEST_F (EngineTransportTest, FadeOutFollowsTheRaisedCosineOnTheOutput)
{
    openDevice ("Virtual 2", 512, 2);
    addStem ("d", "drums", constant (4.0, 0.5f));
    activate();
    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    render (4);

    const auto start = captured();
    engine.emitFadeDiag (true, 0.5f);
    render ((int) (0.6 * rate) / 512 + 2);

    // The stem sounds at 0.5 per channel on both outputs; the gain falls as (1 + cos(pi t / T)) / 2.
    const auto out = devices().getCaptured ("Virtual 2", 0);
    const auto steps = (int64_t) std::floor (0.5 * rate);
    for (const double fraction : { 0.0, 0.25, 0.5, 0.75, 1.0 })
    {
        SCOPED_TRACE (fraction);
        const auto at = start + (int64_t) (fraction * (double) steps);
        const auto expected = 0.5 * (1.0 + std::cos (juce::MathConstants<double>::pi * fraction)) / 2.0;
        EXPECT_NEAR (out[(size_t) at], expected, 2.0e-3);
    }
    EXPECT_EQ (out.back(), 0.0f);
    whileRendering ([this] { engine.stop(); });
}

TEST_F (EngineTransportTest, PlaybackUpdateReportsEachPeakOnce)
{
    openDevice ("Virtual 2", 512, 2);
    auto audio = constant (2.0, 0.0f);
    audio.setSample (0, 1000, 0.5f);
    addStem ("b", "bass", audio);
    activate();

    engine.timerCallback();
    auto update = lastUpdate();
    EXPECT_EQ (keysOf (update).joinIntoString (","), "action,time,isPlaying,peaks,padPeak,metronomePeak,cuePeak,trackPeaks");
    EXPECT_EQ ((double) update["time"], 0.0);
    EXPECT_FALSE ((bool) update["isPlaying"]);

    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    render (4);
    engine.timerCallback();
    update = lastUpdate();
    EXPECT_TRUE ((bool) update["isPlaying"]);
    EXPECT_NEAR ((double) update["time"], 4 * 512 / rate, 1.0e-9);
    ASSERT_EQ (update["peaks"].size(), 16);
    for (int i = 0; i < 16; ++i)
    {
        SCOPED_TRACE (i);
        EXPECT_FLOAT_EQ ((float) update["peaks"][i], i == 5 ? 0.5f : 0.0f);
    }
    EXPECT_FLOAT_EQ ((float) update["trackPeaks"]["b"], 0.5f);

    render (1);
    engine.timerCallback();
    update = lastUpdate();
    EXPECT_FLOAT_EQ ((float) update["peaks"][5], 0.0f) << "reported once";
    EXPECT_FLOAT_EQ ((float) update["trackPeaks"]["b"], 0.0f);
    whileRendering ([this] { engine.stop(); });
}

TEST_F (EngineTransportTest, PlaybackUpdateDuringACountHasTheCountInForm)
{
    loadCountSamples();
    openDevice ("Virtual 2", 512, 2);
    addStem ("d", "drums", constant (4.0, 0.1f));
    activate();
    engine.play (true, true, -1.0, {}, false, -1, -1, -1, -1);
    render (20);

    events.clear();
    engine.timerCallback();
    ASSERT_EQ (events.size(), 1u);
    const auto update = events.front();
    EXPECT_EQ (keysOf (update).joinIntoString (","), "action,time,isPlaying,isCountingIn,countInSec,countInTotalSec,peaks,metronomePeak,cuePeak");
    EXPECT_EQ ((double) update["time"], 0.0);
    EXPECT_TRUE ((bool) update["isPlaying"]);
    EXPECT_NEAR ((double) update["countInSec"], 20 * 512 / rate, 1.0e-9);
    EXPECT_NEAR ((double) update["countInTotalSec"], 4.0, 1.0e-4);
    EXPECT_GT ((double) update["cuePeak"], 0.0) << "the first count voice spoke";
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ ((double) update["peaks"][i], 0.0);
    whileRendering ([this] { engine.stop(); });
}

TEST_F (EngineTransportTest, APausedClickOnlySongKeepsItsTime)
{
    openDevice ("Virtual 2", 512, 2);
    activate (120.0, 30.0); // no stem: the click alone, 30 s long
    engine.play (false, false, 1.0, {}, false, -1, -1, -1, -1);
    render (10);
    whileRendering ([this] { engine.pause(); });
    const auto position = engine.getMasterTransport().getCurrentPosition();
    ASSERT_GT (position, 1.0);

    render (3);
    engine.timerCallback();
    const auto update = lastUpdate();
    EXPECT_FALSE ((bool) update["isPlaying"]);
    EXPECT_NEAR ((double) update["time"], position, 1.0e-9);

    engine.resume();
    EXPECT_EQ (engine.getCountInPhase(), 2);
    render (2);
    engine.timerCallback();
    EXPECT_NEAR ((double) lastUpdate()["time"], position + 2 * 512 / rate, 1.0e-9) << "resume continues";

    whileRendering ([this] { engine.stop(); });
    engine.timerCallback();
    EXPECT_EQ ((double) lastUpdate()["time"], 0.0);
}

TEST_F (EngineTransportTest, ResetEndsTheSessionAndHonoursThePreserveFlagOnce)
{
    const auto owner = playWithAPreloadedSlot();
    engine.armPreserveSessionForTesting();
    const auto ticket = engine.getStretchTicket();

    whileRendering ([this] { engine.reset(); });
    EXPECT_FALSE (engine.isSessionReadyNow());
    EXPECT_EQ (engine.getActiveSongId(), "");
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
    EXPECT_EQ (engine.getGroupBus ("drums")->mixer.numInputs(), 0);
    EXPECT_EQ (engine.getStretchTicket(), ticket + 1);
    EXPECT_TRUE (engine.hasPreloadedSession());
    EXPECT_EQ (owner.use_count(), 2);
    EXPECT_TRUE (findDebugLine ("[TRACK-AUDIT] reset(): preloadedSession PRESERVED").has_value());
    EXPECT_EQ (countAction ("STRETCH_COMPLETE"), 0) << "no stretch ran";

    engine.reset();
    EXPECT_FALSE (engine.hasPreloadedSession());
    EXPECT_EQ (owner.use_count(), 1);
    EXPECT_TRUE (findDebugLine ("[TRACK-AUDIT] reset(): preloadedSession CLEARED").has_value());

    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    EXPECT_FALSE (engine.getMasterTransport().isPlaying()) << "no session after a reset";
}

TEST_F (EngineTransportTest, ResetFastKeepsTheSongIdAndTheSlot)
{
    const auto owner = playWithAPreloadedSlot();

    whileRendering ([this] { engine.resetFast(); });
    EXPECT_FALSE (engine.isSessionReadyNow());
    EXPECT_EQ (engine.getActiveSongId(), "song-1");
    EXPECT_TRUE (engine.hasPreloadedSession());
    EXPECT_EQ (engine.getGroupBus ("drums")->mixer.numInputs(), 0);
    EXPECT_FALSE (engine.getMasterTransport().isPlaying());
}

TEST_F (EngineTransportTest, CancelLoadInvalidatesTheLoadOnly)
{
    engine.setCurrentLoadingSongIdForTesting ("next-song");
    const auto ticket = engine.getLoadTicket();
    engine.cancelLoad();
    EXPECT_EQ (engine.getLoadTicket(), ticket + 1);
    EXPECT_EQ (engine.getCurrentLoadingSongId(), "");
    EXPECT_FALSE (log.count ("Load cancelled") > 0) << "no loader ran";
    EXPECT_EQ (countAction ("STRETCH_COMPLETE"), 0);
}

TEST_F (EngineTransportTest, PlayWhilePlayingIsRefusedUnlessItForcesOrMoves)
{
    openDevice ("Virtual 2", 512, 2);
    addStem ("d", "drums", constant (20.0, 0.1f));
    activate();
    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    render (4);

    engine.play (true, false, -1.0, {}, false, -1, -1, -1, -1);
    EXPECT_TRUE (log.count ("AudioEngine: Already playing or counting in") > 0);
    EXPECT_TRUE (engine.getMasterTransport().isPlaying());
    EXPECT_NEAR (engine.getMasterTransport().getCurrentPosition(), 4 * 512 / rate, 1.0e-9);

    whileRendering ([this] { engine.play (false, false, 5.0, {}, false, -1, -1, -1, -1); });
    EXPECT_TRUE (log.count ("force-stopping stale state") > 0);
    EXPECT_TRUE (engine.getMasterTransport().isPlaying());
    EXPECT_GE (engine.getMasterTransport().getCurrentPosition(), 5.0);
    whileRendering ([this] { engine.stop(); });
    EXPECT_EQ (engine.getMasterTransport().getCurrentPosition(), 0.0);
}
} // namespace quorvelle::test
