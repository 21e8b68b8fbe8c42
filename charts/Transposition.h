#pragma once

// Transposition of chord symbols and the rendering of chart lines in American, Latin, Roman and
// Nashville notation.

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvelle::charts
{
// Notation codes of a rendered chord line.
enum class ChordLineNotation : std::uint8_t
{
    american = 0,
    latin = 1,
    roman = 2,
    nashville = 3,
};

// Pitch-class arithmetic in 64 bits, so that any 32-bit offset wraps into 0 to 11 without overflow.
int wrapPitchClass (std::int64_t value) noexcept;

std::string transposeNote (std::string_view name, std::int32_t semitones, bool preferFlats);
std::string transposeChordSymbol (std::string_view chord, std::int32_t semitones, bool preferFlats);
std::string renderLatinChord (std::string_view chord);
std::string renderNashvilleChord (std::string_view chord, std::int32_t key);
std::string renderRomanChord (std::string_view chord, std::int32_t key);
std::string transformChordLineText (std::string_view line, std::int32_t semitones, ChordLineNotation notation,
                                    std::int32_t songKeyIdx, bool preferFlats);
} // namespace quorvelle::charts
