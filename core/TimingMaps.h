#pragma once

#include "core/CoreJson.h"
#include "core/TimingTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvelle::core
{
// A tempo point: position in quarter-note beats, quarter notes per minute.
struct TempoPoint
{
    double time = 0.0;
    double bpm = 0.0;
};

struct BeatmapEntry
{
    double time = 0.0; // seconds
    int32_t beatNum = 1; // 1 = downbeat
    bool isPhantom = false;
};

struct ImportedSection
{
    std::string name;
    std::string type;
    double startTime = 0.0;
    double duration = 0.0;
};

// Longest song a beat map is built for; a longer duration is clamped to it.
inline constexpr double kMaxBeatmapDurationSeconds = 86400.0;
// Most beats a beat map holds, whatever the tempo and the duration: a three-hour set of eighth
// notes at 200 bpm has 72,000. The map ends at this beat.
inline constexpr std::size_t kMaxBeatmapBeats = 250000;

std::vector<TempoPoint> readTempoMap (const Json& json);
Json writeTempoMap (const std::vector<TempoPoint>& points);

std::vector<BeatmapEntry> readBeatmap (const Json& json);
Json writeBeatmapEntry (const BeatmapEntry& entry);
Json writeBeatmap (const std::vector<BeatmapEntry>& beats);

// [n, d] (elements truncated to int32; a non-number element other than a boolean throws the JSON
// library's type error), {"numerator", "denominator"}, or 4/4 for anything else.
TimeSignature readTimeSignature (const Json& json);
Json timeSignatureToJson (const TimeSignature& signature);

std::vector<TimeSignatureMapEntry> readTimeSignatureMap (const Json& json);
Json writeTimeSignatureMap (const std::vector<TimeSignatureMapEntry>& map);

Json writeSectionList (const std::vector<ImportedSection>& sections);

// Seconds at quarter-note position `beat`, walking the points in the given order: constant tempo
// between points less than 0.5 bpm apart, else a tempo that changes linearly with the position.
// Points whose time or bpm is not finite, or whose bpm is not positive, are left out.
double beatToSeconds (double beat, const std::vector<TempoPoint>& points);
// beatToSeconds of each position, in the same order; one walk over the points when they are in
// ascending time order (as an import's sorted map is), so many positions cost no more than one.
std::vector<double> beatsToSeconds (const std::vector<double>& beats, const std::vector<TempoPoint>& points);

// Every beat from 0 up to (not including) `duration` seconds, at most kMaxBeatmapBeats.
std::vector<BeatmapEntry> buildBeatmapFromTempoMap (const std::vector<TempoPoint>& points, double duration,
                                                    const TimeSignature& signature,
                                                    const std::vector<TimeSignatureMapEntry>& map);

// Core methods.
Json calculatePreciseTime (const Json& payload);
Json tempoMapToBeatmap (const Json& payload);
} // namespace quorvelle::core
