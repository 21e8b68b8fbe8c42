// Stop, pause and reset from the message thread while the device renders on its real-time clock
// (run under ThreadSanitizer as race cases): the chain is taken apart only after the transport has
// let go of it, and every flag the audio thread reads is an atomic.
#include "EngineTransportFixture.h"

#include <chrono>

namespace quorvelle::test
{
namespace
{
// Waits until `condition` holds, for at most 20 s; true when it held.
bool waitFor (const std::function<bool()>& condition)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds (20);
    while (! condition())
    {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::yield();
    }
    return true;
}
} // namespace

class EngineTransportRace : public EngineTransportTest
{
protected:
    void startRealTime()
    {
        openDevice ("Virtual 2", 256, 2);
        devices().setClock (platform::VirtualAudioDevices::Clock::realTime);
    }

    // A song with one stem, playing, and a few blocks rendered by the device's own thread.
    void playSong()
    {
        addStem ("d", "drums", constant (5.0, 0.1f));
        activate();
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > from + 4; }));
    }
};

TEST_F (EngineTransportRace, ResetWhilePlaying)
{
    startRealTime();
    for (int round = 0; round < 5; ++round)
    {
        SCOPED_TRACE (round);
        playSong();
        engine.timerCallback();
        engine.reset();
        EXPECT_FALSE (engine.getMasterTransport().isPlaying());
        EXPECT_EQ (engine.getGroupBus ("drums")->mixer.numInputs(), 0);
        EXPECT_EQ (engine.getActiveSongId(), "");
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) > from + 2; })) << "the device renders on";
    }
}

TEST_F (EngineTransportRace, StopPauseAndResumeWhilePlaying)
{
    startRealTime();
    playSong();
    for (int round = 0; round < 10; ++round)
    {
        SCOPED_TRACE (round);
        engine.pause();
        EXPECT_FALSE (engine.getMasterTransport().isPlaying());
        engine.timerCallback();
        engine.resume();
        EXPECT_TRUE (engine.getMasterTransport().isPlaying());
        engine.seek (0.5 * round);
        engine.emitFadeDiag (round % 2 == 0, 0.1f);
        engine.timerCallback();
        engine.stop();
        EXPECT_EQ (engine.getMasterTransport().getCurrentPosition(), 0.0);
        engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);
    }
    engine.resetFast();
    EXPECT_EQ (engine.getActiveSongId(), "song-1");
}
// STOP_COUNT_IN on the message thread while the audio thread starts a count jump, speaks its count
// or ends it: in every order the jump ends once, the music is given back and the count flags clear.
TEST_F (EngineTransportRace, CountStopDuringACountJump)
{
    loadCountSamples();
    startRealTime();
    playSong();
    for (int round = 0; round < 12; ++round)
    {
        SCOPED_TRACE (round);
        engine.setCountJumpTempo (480.0, 4, 4, 0.25 * (1 + round % 4)); // counts of 0.25 s to 1 s
        ASSERT_TRUE (engine.getCountRowsProbeForTesting().countJumpPrimed);
        engine.setBoundaryCountJump (true);
        const auto position = engine.getTransportSnapshot().positionSamples;
        engine.getLoopRegion().setJump (position + 256 * (round % 3), 48000, true);

        // Stop as the count starts, during it, or around its end.
        ASSERT_TRUE (waitFor ([&] { return ! engine.getCountRowsProbeForTesting().boundaryCountJump; })) << "the jump fired";
        const auto from = devices().getBlocksRendered (deviceName);
        ASSERT_TRUE (waitFor ([&] { return devices().getBlocksRendered (deviceName) >= from + (juce::int64) (round % 4) * 15; }));
        engine.cancelStandaloneCountIn();
        engine.timerCallback();

        const auto probe = engine.getCountRowsProbeForTesting();
        EXPECT_FALSE (probe.countJumpActive);
        EXPECT_FALSE (probe.countInRunning);
        EXPECT_FALSE (probe.standaloneCountInActive);
        EXPECT_FALSE (probe.countJumpPrimed) << "the stopped count is gone";
        EXPECT_EQ (engine.getCountInPhase(), 2);
        EXPECT_TRUE (waitFor ([&] { return engine.getMusicGain()->getPublishedGain() > 0.999f; })) << "the music is back";
    }
}
} // namespace quorvelle::test
