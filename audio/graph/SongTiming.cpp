#include "audio/graph/SongTiming.h"

#include <cmath>

namespace quorvelle
{
namespace timing
{
double songTimeAt (int64_t outputPosition, double sampleRate, double ratio) noexcept
{
    return ((double) outputPosition / sampleRate) * ratio;
}

int64_t outputPositionOf (double songTime, double sampleRate, double ratio) noexcept
{
    return (int64_t) std::trunc (songTime * sampleRate / ratio);
}

int32_t numeratorAt (const std::vector<TimeSignatureMapEntry>& map, bool useMap, int32_t fixedNumerator, double t) noexcept
{
    const auto* entry = useMap ? core::signatureEntryAt (map, t) : nullptr;
    return entry != nullptr ? entry->numerator : fixedNumerator;
}

bool isDownbeat (int32_t beatNumber, int32_t numerator) noexcept
{
    return numerator >= 1 && (beatNumber - 1) % numerator == 0;
}

bool isAccentSuppressed (const std::vector<AccentSuppressRange>& ranges, double t) noexcept
{
    for (const auto& range : ranges)
        if (range.start - 0.001 <= t && t < range.end - 0.001)
            return true;
    return false;
}

CursorPlacement placeBeatCursor (const Beatmap& beatmap, double s, double sampleRate, double ratio) noexcept
{
    CursorPlacement placement;
    placement.songTime = s;

    for (int32_t i = beatmap.size() - 1; i >= 0; --i)
    {
        const auto t = beatmap.beatTimes[(size_t) i];
        if (s - 0.005 > t)
        {
            placement.lastBeatmapIdx = i;
            return placement;
        }
        if (s >= t)
        {
            placement.snapped = true;
            placement.lastBeatmapIdx = i - 1;
            placement.songTime = t;
            if (sampleRate > 0.0)
            {
                placement.outputPosition = (int64_t) std::trunc (t / ratio * sampleRate);
                placement.positionMoved = true;
            }
            return placement;
        }
    }
    return placement;
}

int32_t beatAtTarget (const Beatmap& beatmap, double target) noexcept
{
    const auto size = beatmap.size();
    for (int32_t i = 0; i < size; ++i)
    {
        const auto t = beatmap.beatTimes[(size_t) i];
        if (t > target + 0.01)
            break;
        if (std::abs (t - target) < 0.01)
            return i;
    }
    return -1;
}
} // namespace timing

void SongTimingRecords::replaceBeatmap (Beatmap& incoming) noexcept
{
    std::swap (beatmap, incoming);
    useBeatmap = ! beatmap.beatTimes.empty();
    lastBeatmapIdx = -1;
}

void SongTimingRecords::clearBeatmap() noexcept
{
    beatmap.beatTimes.clear();
    beatmap.beatNumbers.clear();
    useBeatmap = false;
    lastBeatmapIdx = -1;
}

void SongTimingRecords::replaceTimeSignatureMap (std::vector<TimeSignatureMapEntry>& incoming) noexcept
{
    std::swap (timeSignatureMap, incoming);
    useTimeSignatureMap = timeSignatureMap.size() >= 2;
}

bool SongTimingRecords::setTimeSignature (int32_t newNumerator, int32_t newDenominator) noexcept
{
    if (newNumerator == numerator && newDenominator == denominator)
        return false;
    numerator = newNumerator;
    denominator = newDenominator;
    return true;
}

void SongTimingRecords::replaceAccentSuppressRanges (std::vector<AccentSuppressRange>& incoming) noexcept
{
    std::swap (accentSuppressRanges, incoming);
}

int32_t SongTimingRecords::numeratorAt (double t) const noexcept
{
    return timing::numeratorAt (timeSignatureMap, useTimeSignatureMap, numerator, t);
}

bool SongTimingRecords::isAccentedBeat (int32_t beatNumber, double t) const noexcept
{
    return timing::isDownbeat (beatNumber, numeratorAt (t)) && ! timing::isAccentSuppressed (accentSuppressRanges, t);
}
} // namespace quorvelle
