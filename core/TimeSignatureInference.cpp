#include "core/TimeSignatureInference.h"

#include <algorithm>
#include <map>

namespace quorvelle::core
{
namespace
{
    int32_t denominatorFor (int32_t numerator)
    {
        return (numerator == 6 || numerator == 7 || numerator == 12) ? 8 : 4;
    }

    std::vector<std::size_t> downbeatPositions (const std::vector<BeatmapEntry>& beats)
    {
        std::vector<std::size_t> positions;
        for (std::size_t i = 0; i < beats.size(); ++i)
            if (beats[i].beatNum == 1)
                positions.push_back (i);
        return positions;
    }

    int32_t gapBetween (std::size_t from, std::size_t to)
    {
        return static_cast<int32_t> (std::min<std::size_t> (to - from, 2147483647u));
    }
} // namespace

TimeSignature inferTimeSignatureFromBeatmap (const std::vector<BeatmapEntry>& beats)
{
    if (beats.empty())
        return {};

    const auto downbeats = downbeatPositions (beats);
    if (downbeats.size() >= 2)
    {
        std::map<int32_t, std::size_t> counts;
        for (std::size_t k = 1; k < downbeats.size(); ++k)
            ++counts[gapBetween (downbeats[k - 1], downbeats[k])];

        // Ascending gaps: the first gap with the highest count is the smallest among equals.
        int32_t best = 0;
        std::size_t bestCount = 0;
        for (const auto& [gap, count] : counts)
            if (count > bestCount)
            {
                best = gap;
                bestCount = count;
            }
        return { best, denominatorFor (best) };
    }

    int32_t largest = 1;
    for (const auto& b : beats)
        largest = std::max (largest, b.beatNum);
    return { largest, denominatorFor (largest) };
}

std::vector<TimeSignatureMapEntry> inferTimeSignatureMap (const std::vector<BeatmapEntry>& beats)
{
    if (beats.empty())
        return { TimeSignatureMapEntry { 0.0, 4, 4 } };

    const auto downbeats = downbeatPositions (beats);
    if (downbeats.size() < 2)
    {
        const auto sig = inferTimeSignatureFromBeatmap (beats);
        return { TimeSignatureMapEntry { 0.0, sig.numerator, sig.denominator } };
    }

    std::vector<TimeSignatureMapEntry> map;
    std::optional<int32_t> lastRecorded;
    const auto pairs = downbeats.size() - 1;

    for (std::size_t k = 1; k <= pairs; ++k)
    {
        const auto gap = gapBetween (downbeats[k - 1], downbeats[k]);
        if (lastRecorded == gap)
            continue;

        const bool first = k == 1;
        const bool last = k == pairs;
        const bool confirmed = ! last && gapBetween (downbeats[k], downbeats[k + 1]) == gap;
        if (first || last || confirmed)
        {
            map.push_back ({ beats[downbeats[k - 1]].time, gap, denominatorFor (gap) });
            lastRecorded = gap;
        }
    }
    return map;
}

Json detectTimeSignatureFromBeatmap (const Json& payload)
{
    return timeSignatureToJson (inferTimeSignatureFromBeatmap (readBeatmap (memberOrNull (payload, "beatmap"))));
}

Json detectTimeSignatureMapFromBeatmap (const Json& payload)
{
    return writeTimeSignatureMap (inferTimeSignatureMap (readBeatmap (memberOrNull (payload, "beatmap"))));
}
} // namespace quorvelle::core
