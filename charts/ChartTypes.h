#pragma once

// The records of an imported chord chart.

#include "charts/ChartChords.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvelle::charts
{
enum class ChartConfidence : std::int32_t
{
    high = 0,
    medium = 1,
    low = 2,
};

// Layout family of a chart.
enum class ChartFamily : std::int32_t
{
    bracketsChordOverLyric = 0, // A
    noMarkersInlineWord = 1,    // B1
    minimalMarkers = 2,         // B2
    cifraclubMarkdown = 3,      // C
    worshipPlainAllCaps = 4,    // D
    hispanicAdvanced = 5,       // E
    bracketsWithMeasures = 6,   // F
    chordStacked = 7,           // G
    chordProInline = 8,         // H
    unknown = 99,
};

enum class SectionType : std::int32_t
{
    intro = 0,
    verse = 1,
    preChorus = 2,
    chorus = 3,
    postChorus = 4,
    bridge = 5,
    instrumental = 6,
    interlude = 7,
    solo = 8,
    outro = 9,
    custom = 99,
};

// A chord placed over a lyric: the column where it stands and its American symbol.
struct ChartChord
{
    std::int32_t column = 0;
    std::string chord;

    bool operator== (const ChartChord&) const = default;
};

struct ChartContentLine
{
    std::vector<ChartChord> chords;
    std::string lyric;

    bool operator== (const ChartContentLine&) const = default;
};

struct ChordChartBlock
{
    std::string id;
    std::string detectedName;
    SectionType detectedType = SectionType::custom;
    std::optional<std::int32_t> detectedNumber;
    ChartConfidence confidence = ChartConfidence::low;
    std::vector<ChartContentLine> content;
    std::optional<std::string> performanceNote;
};

struct ChartMetadata
{
    std::optional<std::string> title;
    std::optional<std::string> artist;
    std::optional<std::string> sourceKey;
    std::optional<std::int32_t> bpm;
    std::optional<std::pair<std::int32_t, std::int32_t>> timeSignature;
    std::optional<std::string> capo;
};

struct ChordChartOptions
{
    std::string songKey;
    ChartNotation displayNotation = ChartNotation::american;
    bool enableHealing = true;
    bool strictSectionVocabulary = false;
};

struct ChordChartResult
{
    ChartFamily detectedFamily = ChartFamily::unknown;
    ChartNotation detectedNotation = ChartNotation::undecided;
    ChartConfidence familyConfidence = ChartConfidence::medium;
    ChartConfidence notationConfidence = ChartConfidence::medium;
    ChartMetadata metadata;
    std::vector<ChordChartBlock> blocks;
    std::vector<std::string> warnings;
    std::vector<std::string> appliedRules;
};
} // namespace quorvelle::charts
