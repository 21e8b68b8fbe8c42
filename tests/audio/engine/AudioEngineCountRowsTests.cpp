// The engine bodies behind the count and count-jump rows: what they leave in the engine and its
// count-in source.
#include "audio/engine/AudioEngine.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

using namespace quorvelle;

// Stopping a standalone count clears both count flags, stops the source and its region overlay,
// and says so; a count loop setting reaches the source.
TEST (AudioEngineCountRows, StoppingAStandaloneCountClearsItsFlagsAndSource)
{
    test::TempFolder tmp;
    test::CapturingLogger log;
    AudioEngine engine ({}, [&tmp] { return tmp.folder(); });
    auto& countIn = engine.getCountIn();

    engine.setCountInLoopsRemaining (-1);
    EXPECT_EQ (countIn.loopsRemaining.load(), -1);

    engine.setCountFlagsForTesting (true, true, false);
    countIn.active.store (true);
    countIn.setRegionVoiceOverlay ({ { "uno", 0 } }, 48000, true);
    ASSERT_TRUE (countIn.isRegionOverlayActive());

    engine.cancelStandaloneCountIn();

    const auto probe = engine.getCountRowsProbeForTesting();
    EXPECT_FALSE (probe.standaloneCountInActive);
    EXPECT_FALSE (probe.countInRunning);
    EXPECT_FALSE (countIn.isActive());
    EXPECT_FALSE (countIn.isRegionOverlayActive());
    EXPECT_EQ (log.count ("AudioEngine: Standalone count-in cancelled"), 1);
}

// Switching the boundary count jump off also drops a primed count; switching it on keeps it.
TEST (AudioEngineCountRows, BoundaryCountJumpAndItsPrimedCount)
{
    const struct
    {
        bool primedBefore, active, primedAfter;
    } cases[] = {
        { true, false, false },
        { true, true, true },
        { false, true, false },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "primed " << c.primedBefore << " active " << c.active);
        test::TempFolder tmp;
        AudioEngine engine ({}, [&tmp] { return tmp.folder(); });
        engine.setCountFlagsForTesting (false, false, c.primedBefore);
        engine.setBoundaryCountJump (c.active);
        const auto probe = engine.getCountRowsProbeForTesting();
        EXPECT_EQ (probe.boundaryCountJump, c.active);
        EXPECT_EQ (probe.countJumpPrimed, c.primedAfter);
    }
}

// The count-jump tempo, the queued-is-linear flag and the preserve flag are kept as given.
TEST (AudioEngineCountRows, TempoRecordAndFlagsAreStored)
{
    test::TempFolder tmp;
    AudioEngine engine ({}, [&tmp] { return tmp.folder(); });
    EXPECT_FALSE (engine.getCountRowsProbeForTesting().preserveSessionArmed);

    engine.setCountJumpTempo (138.5, 6, 8, 1.25);
    engine.setQueuedIsLinearSongMap (true);
    engine.armPreserveSession();

    const auto probe = engine.getCountRowsProbeForTesting();
    EXPECT_DOUBLE_EQ (probe.countJumpTempo.bpm, 138.5);
    EXPECT_EQ (probe.countJumpTempo.numerator, 6);
    EXPECT_EQ (probe.countJumpTempo.denominator, 8);
    EXPECT_DOUBLE_EQ (probe.countJumpTempo.truncateSec, 1.25);
    EXPECT_TRUE (probe.queuedIsLinearSongMap);
    EXPECT_TRUE (probe.preserveSessionArmed);
}
