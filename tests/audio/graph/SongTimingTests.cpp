#include "audio/graph/SongTiming.h"

#include <gtest/gtest.h>

using namespace quorvelle;

namespace
{
Beatmap makeBeatmap (std::vector<double> times, std::vector<int32_t> numbers)
{
    Beatmap beatmap;
    beatmap.beatTimes = std::move (times);
    beatmap.beatNumbers = std::move (numbers);
    return beatmap;
}
} // namespace

TEST (SongTiming, NumeratorInForceFollowsTheMapOnlyFromTwoEntries)
{
    SongTimingRecords records;
    records.setTimeSignature (5, 4);

    std::vector<TimeSignatureMapEntry> single { { 0.0, 3, 4 } };
    records.replaceTimeSignatureMap (single);
    EXPECT_FALSE (records.useTimeSignatureMap);
    for (double t : { -1.0, 0.0, 50.0 })
        EXPECT_EQ (records.numeratorAt (t), 5) << t;

    std::vector<TimeSignatureMapEntry> two { { 0.0, 4, 4 }, { 10.0, 3, 4 } };
    records.replaceTimeSignatureMap (two);
    EXPECT_TRUE (records.useTimeSignatureMap);
    EXPECT_TRUE (two.size() == 1) << "the old map leaves with the argument";

    const struct { double t; int expected; } cases[] = { { 9.999, 4 }, { 10.0, 3 }, { -1.0, 4 }, { 0.0, 4 }, { 1000.0, 3 } };
    for (const auto& c : cases)
        EXPECT_EQ (records.numeratorAt (c.t), c.expected) << c.t;

    std::vector<TimeSignatureMapEntry> none;
    records.replaceTimeSignatureMap (none);
    EXPECT_EQ (records.numeratorAt (20.0), 5);
}

TEST (SongTiming, DownbeatsByNumberAndNumerator)
{
    const struct { int beat, numerator; bool downbeat; } cases[] = {
        { 1, 3, true }, { 4, 3, true }, { 7, 3, true }, { 2, 3, false }, { 3, 3, false }, { 5, 3, false },
        { 1, 4, true }, { 5, 4, true }, { 9, 4, true }, { 1, 0, false }, { 1, -2, false }, { 0, 4, false },
        // The remainder keeps the dividend's sign: beat -3 under 4 is (-4) % 4 == 0.
        { -3, 4, true }, { -2, 4, false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (timing::isDownbeat (c.beat, c.numerator), c.downbeat) << c.beat << "/" << c.numerator;
}

TEST (SongTiming, AccentSuppressRangesAreShiftedOneMillisecondEarlier)
{
    const struct { AccentSuppressRange range; bool demoted; } cases[] = {
        { { 12.0, 16.0 }, true },
        { { 12.0009, 16.0 }, true },
        { { 8.0, 12.0005 }, false },
        { { 8.0, 12.0011 }, true },
        { { 12.002, 16.0 }, false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (timing::isAccentSuppressed ({ c.range }, 12.0), c.demoted) << c.range.start << ".." << c.range.end;
    EXPECT_FALSE (timing::isAccentSuppressed ({}, 12.0));

    SongTimingRecords records;
    std::vector<AccentSuppressRange> ranges { { 12.0, 16.0 } };
    records.replaceAccentSuppressRanges (ranges);
    EXPECT_FALSE (records.isAccentedBeat (1, 12.0));
    EXPECT_TRUE (records.isAccentedBeat (1, 16.0));
    EXPECT_FALSE (records.isAccentedBeat (2, 16.0));
}

TEST (SongTiming, RepositioningSnapsToABeatAtMostFiveMillisecondsBefore)
{
    const auto beatmap = makeBeatmap ({ 1.0, 1.5, 2.0, 2.5 }, { 1, 2, 3, 4 });
    const double rate = 48000.0, ratio = 1.25;

    auto snapped = timing::placeBeatCursor (beatmap, 2.003, rate, ratio);
    EXPECT_TRUE (snapped.snapped);
    EXPECT_EQ (snapped.lastBeatmapIdx, 1);
    EXPECT_DOUBLE_EQ (snapped.songTime, 2.0);
    ASSERT_TRUE (snapped.positionMoved);
    EXPECT_EQ (snapped.outputPosition, (int64_t) (2.0 / 1.25 * 48000.0));

    auto passed = timing::placeBeatCursor (beatmap, 2.006, rate, ratio);
    EXPECT_FALSE (passed.snapped);
    EXPECT_EQ (passed.lastBeatmapIdx, 2);
    EXPECT_DOUBLE_EQ (passed.songTime, 2.006);

    auto before = timing::placeBeatCursor (beatmap, 0.5, rate, ratio);
    EXPECT_EQ (before.lastBeatmapIdx, -1);
    EXPECT_FALSE (before.snapped);

    auto noRate = timing::placeBeatCursor (beatmap, 2.003, 0.0, ratio);
    EXPECT_TRUE (noRate.snapped);
    EXPECT_EQ (noRate.lastBeatmapIdx, 1);
    EXPECT_FALSE (noRate.positionMoved);
}

TEST (SongTiming, BeatAtTarget)
{
    const auto beatmap = makeBeatmap ({ 0.0, 0.25, 0.5, 0.75, 1.0 }, { 1, 2, 3, 4, 1 });

    const struct { double target; int beat; } cases[] = { { 0.5, 2 }, { 0.509, 2 }, { 0.491, 2 }, { 0.52, -1 }, { 2.0, -1 }, { -0.005, 0 } };
    for (const auto& c : cases)
        EXPECT_EQ (timing::beatAtTarget (beatmap, c.target), c.beat) << c.target;
}

TEST (SongTiming, ConversionsAndRecordReplacement)
{
    EXPECT_DOUBLE_EQ (timing::tempoRatio (132.0, 120.0), 1.1);
    EXPECT_DOUBLE_EQ (timing::tempoRatio (0.0, 120.0), 1.0);
    EXPECT_DOUBLE_EQ (timing::tempoRatio (120.0, -1.0), 1.0);
    EXPECT_DOUBLE_EQ (timing::songTimeAt (96000, 48000.0, 1.1), 2.2);
    EXPECT_EQ (timing::outputPositionOf (2.2, 48000.0, 1.1), 96000);
    EXPECT_EQ (timing::outputPositionOf (-0.00001, 48000.0, 1.0), 0); // toward zero

    SongTimingRecords records;
    records.lastBeatmapIdx = 7;
    auto beatmap = makeBeatmap ({ 0.0, 0.5 }, { 1, 2 });
    records.replaceBeatmap (beatmap);
    EXPECT_TRUE (records.useBeatmap);
    EXPECT_EQ (records.lastBeatmapIdx, -1);
    EXPECT_EQ (records.beatmap.size(), 2);

    records.lastBeatmapIdx = 1;
    records.clearBeatmap();
    EXPECT_FALSE (records.useBeatmap);
    EXPECT_EQ (records.lastBeatmapIdx, -1);
    EXPECT_TRUE (records.beatmap.empty());

    EXPECT_FALSE (records.setTimeSignature (4, 4));
    EXPECT_TRUE (records.setTimeSignature (7, 8));
    EXPECT_EQ (records.numerator, 7);
    EXPECT_EQ (records.denominator, 8);
}
