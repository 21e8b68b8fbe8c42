#pragma once

// Conversion of chart chords written in Latin, Nashville or Roman notation to American letters.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvelle::charts
{
// Notation of an imported chart.
enum class ChartNotation : std::int32_t
{
    american = 0,
    latin = 1,
    nashville = 2,
    roman = 3,
    undecided = 99,
};

// A key text read once: its pitch class (when it names a key) and whether it writes flats.
struct ChartKey
{
    std::optional<int> pitchClass;
    bool flats = false;
    bool empty = true;

    static ChartKey fromText (std::string_view keyText);
};

bool isFlatKey (std::string_view keyText);
std::string pitchClassName (std::int32_t pitch, bool flats);

std::string latinChordToAmerican (std::string_view token);
std::string nashvilleChordToAmerican (std::string_view token, std::string_view keyText);
std::string romanChordToAmerican (std::string_view token, std::string_view keyText);
std::string chordToAmerican (std::string_view token, ChartNotation notation, std::string_view keyText);
bool isChordInNotation (std::string_view token, ChartNotation notation, std::string_view keyText);

// The same operations with the key already read (the importer reads a chart's key once).
std::string chordToAmerican (std::string_view token, ChartNotation notation, const ChartKey& key);
bool isChordInNotation (std::string_view token, ChartNotation notation, const ChartKey& key);
} // namespace quorvelle::charts
