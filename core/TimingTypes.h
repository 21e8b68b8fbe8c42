#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Timing types shared by the song logic core and the audio graph: plain values, no JSON, no JUCE.
namespace quorvelle::core
{
struct TimeSignature
{
    int32_t numerator = 4;
    int32_t denominator = 4;

    bool operator== (const TimeSignature&) const = default;
};

struct TimeSignatureMapEntry
{
    double time = 0.0; // seconds of song time at which the signature starts
    int32_t numerator = 4;
    int32_t denominator = 4;
};

// The entry in force at `time`: the last one at or before it, the first one before the first entry,
// nullptr for an empty map. The map is in ascending time (nothing here sorts it). No allocation.
inline const TimeSignatureMapEntry* signatureEntryAt (const std::vector<TimeSignatureMapEntry>& map, double time) noexcept
{
    if (map.empty())
        return nullptr;

    std::size_t low = 0, high = map.size();
    while (low < high)
    {
        const auto mid = low + (high - low) / 2;
        if (map[mid].time <= time)
            low = mid + 1;
        else
            high = mid;
    }
    return &map[low == 0 ? 0 : low - 1];
}

// The signature in force at `time`; `fallback` for an empty map.
inline TimeSignature lookupTimeSignature (double time, const std::vector<TimeSignatureMapEntry>& map,
                                          const TimeSignature& fallback) noexcept
{
    const auto* entry = signatureEntryAt (map, time);
    return entry != nullptr ? TimeSignature { entry->numerator, entry->denominator } : fallback;
}

// Playback tempo over original tempo: bpm / originalBpm when both are above 0, else 1.
inline double tempoRatio (double bpm, double originalBpm) noexcept
{
    return (bpm > 0.0 && originalBpm > 0.0) ? bpm / originalBpm : 1.0;
}
} // namespace quorvelle::core
