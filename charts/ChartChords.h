#pragma once

// Conversion of chart chords written in Latin, Nashville or Roman notation to American letters.

#include <cstddef>
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

// The key of C, read once: the key a chart's lines are tested against when they are read
// without the chart's own key.
const ChartKey& keyOfC();

// Leading accidental of a Nashville or Roman token ('b', '#', or a three-byte sign starting with
// E2 whose third byte is AD for flat or AF for sharp): its value in semitones and its length in
// bytes; both are 0 when there is none.
struct LeadingAccidental
{
    int value = 0;
    std::size_t length = 0;
};
LeadingAccidental readLeadingAccidental (std::string_view token) noexcept;

bool isFlatKey (std::string_view keyText);
// Name of a pitch class (any whole number, wrapped into 0 to 11) with sharps or flats.
std::string pitchClassName (std::int64_t pitch, bool flats);

std::string latinChordToAmerican (std::string_view token);
std::string nashvilleChordToAmerican (std::string_view token, std::string_view keyText);
std::string romanChordToAmerican (std::string_view token, std::string_view keyText);
std::string chordToAmerican (std::string_view token, ChartNotation notation, std::string_view keyText);
bool isChordInNotation (std::string_view token, ChartNotation notation, std::string_view keyText);

// The same operations with the key already read (the importer reads a chart's key once).
std::string chordToAmerican (std::string_view token, ChartNotation notation, const ChartKey& key);
bool isChordInNotation (std::string_view token, ChartNotation notation, const ChartKey& key);

// The token as an American chord symbol when it is a chord in the notation, else nothing. A token
// too long to be a chord is turned down before it is converted (copied).
std::optional<std::string> toAmericanChord (std::string_view token, ChartNotation notation, const ChartKey& key);
} // namespace quorvelle::charts
