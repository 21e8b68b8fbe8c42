#pragma once

#include "core/TimingTypes.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>
#include <vector>

namespace quorvelle
{
// The song's timing as the audio sources hold it. Song time is seconds from the start of the song at
// its original tempo; output positions count output samples at the device rate and playback tempo.

// The 16 group buses, in their fixed order.
inline constexpr std::array<const char*, 16> kBusCategoryNames {
    "click", "guide", "drums", "percussion", "loops", "bass", "piano", "keys",
    "electric_gtr", "acoustic_gtr", "strings", "brass", "pad", "vocals", "fx", "aux"
};

// A song's beats: the song time of each (ascending; nothing sorts them) and its number in the bar
// (1 = first beat of a bar). An index beyond either sequence is no beat. Empty = no beat map.
struct Beatmap
{
    std::vector<double> beatTimes;
    std::vector<int32_t> beatNumbers;

    // Beats present in both sequences.
    int32_t size() const noexcept { return (int32_t) std::min (beatTimes.size(), beatNumbers.size()); }
    bool empty() const noexcept { return beatTimes.empty(); }
};

// The signature map's entries (the click reads only the numerator).
using TimeSignatureMapEntry = core::TimeSignatureMapEntry;

struct AccentSuppressRange
{
    double start = 0.0;
    double end = 0.0;
};

struct CueSection
{
    juce::String name;
    juce::String type;
    double startTime = 0.0;
    double triggerTime = 0.0;
};

namespace timing
{
// bpm / originalBpm when both are above 0, else 1.
using core::tempoRatio;

// (p / sampleRate) x tempoRatio. Needs sampleRate above 0.
double songTimeAt (int64_t outputPosition, double sampleRate, double tempoRatio) noexcept;

// trunc(t x sampleRate / tempoRatio), toward zero. Needs sampleRate above 0.
int64_t outputPositionOf (double songTime, double sampleRate, double tempoRatio) noexcept;

// The numerator in force at song time t: the fixed numerator when the map is not in use or empty,
// else the last entry whose time is at most t (the first entry before it).
int32_t numeratorAt (const std::vector<TimeSignatureMapEntry>& map, bool useMap, int32_t fixedNumerator, double t) noexcept;

// Beat number b is a downbeat under numerator N when N >= 1 and (b - 1) % N == 0 (C++ remainder,
// sign of the dividend).
bool isDownbeat (int32_t beatNumber, int32_t numerator) noexcept;

// Some range has start - 0.001 <= t < end - 0.001.
bool isAccentSuppressed (const std::vector<AccentSuppressRange>& ranges, double t) noexcept;

// Repositioning the beat cursor to song time s. `lastBeatmapIdx` is the last beat already passed (-1
// none). When a beat lies at most 5 ms before s the position snaps to it: the beat sounds at offset 0
// of the next block and the cursor rests on the beat before it.
struct CursorPlacement
{
    int32_t lastBeatmapIdx = -1;
    bool snapped = false;
    double songTime = 0.0;     // s, or the snapped beat's time
    int64_t outputPosition = 0; // the snapped beat's output position (when snapped and the rate is known)
    bool positionMoved = false; // outputPosition is valid
};
CursorPlacement placeBeatCursor (const Beatmap& beatmap, double s, double sampleRate, double tempoRatio) noexcept;

// The first beat within 10 ms of target, scanning up from beat 0 while t(i) <= target + 0.01; -1 none.
int32_t beatAtTarget (const Beatmap& beatmap, double target) noexcept;
} // namespace timing

// The timing records of one source that follows the song (the metronome, the cue source), with the
// cursor and the in-use flags. The holder replaces a record whole under its own lock, from a copy made
// before taking it: the replace functions swap, so the old storage leaves with the argument, after the
// lock is released.
struct SongTimingRecords
{
    Beatmap beatmap;
    bool useBeatmap = false;
    int32_t lastBeatmapIdx = -1;

    std::vector<TimeSignatureMapEntry> timeSignatureMap;
    bool useTimeSignatureMap = false; // the map holds at least 2 entries

    int32_t numerator = 4;
    int32_t denominator = 4;

    std::vector<AccentSuppressRange> accentSuppressRanges;

    void replaceBeatmap (Beatmap& incoming) noexcept;
    void clearBeatmap() noexcept;
    void replaceTimeSignatureMap (std::vector<TimeSignatureMapEntry>& incoming) noexcept;
    // Returns whether anything changed.
    bool setTimeSignature (int32_t newNumerator, int32_t newDenominator) noexcept;
    void replaceAccentSuppressRanges (std::vector<AccentSuppressRange>& incoming) noexcept;

    int32_t numeratorAt (double t) const noexcept;
    // A downbeat by number and numerator at t, and not demoted by an accent-suppress range.
    bool isAccentedBeat (int32_t beatNumber, double t) const noexcept;
};
} // namespace quorvelle
