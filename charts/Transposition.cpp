#include "charts/Transposition.h"

#include "charts/ChartChords.h"
#include "charts/ChordSymbols.h"

#include <array>

namespace quorvelle::charts
{
namespace
{
constexpr std::array<std::string_view, 12> kNashvilleDegrees { "1", "\xE2\x99\xAD" "2", "2", "\xE2\x99\xAD" "3",
                                                               "3", "4", "\xE2\x99\xAD" "5", "5",
                                                               "\xE2\x99\xAD" "6", "6", "\xE2\x99\xAD" "7", "7" };
constexpr std::array<std::string_view, 12> kRomanNumerals { "I",   "\xE2\x99\xAD" "II", "II", "\xE2\x99\xAD" "III",
                                                            "III", "IV", "\xE2\x99\xAD" "V", "V",
                                                            "\xE2\x99\xAD" "VI", "VI", "\xE2\x99\xAD" "VII", "VII" };

std::string_view latinName (char letter)
{
    switch (letter)
    {
        case 'C': return "Do";
        case 'D': return "Re";
        case 'E': return "Mi";
        case 'F': return "Fa";
        case 'G': return "Sol";
        case 'A': return "La";
        case 'B': return "Si";
        default: return {};
    }
}

// A note name of a split chord: its Latin letter name followed by its accidental.
std::string latinNote (const std::string& note) { return std::string (latinName (note[0])) + note.substr (1); }

int degreeIndex (const std::string& note, std::int32_t key)
{
    return wrapPitchClass (std::int64_t (notePitchClass (note)) - key);
}

// The chord with its root and bass note each written by `noteText`, its quality kept between them;
// a text that is no chord stays as written.
template <typename NoteText>
std::string rewriteChordNotes (std::string_view chord, NoteText&& noteText)
{
    const auto s = splitChordSymbol (chord);
    if (! s.ok)
        return std::string (chord);
    std::string out = noteText (s.root) + s.quality;
    if (! s.bass.empty())
        out += "/" + noteText (s.bass);
    return out;
}
} // namespace

int wrapPitchClass (std::int64_t value) noexcept
{
    const auto r = value % 12;
    return int (r < 0 ? r + 12 : r);
}

std::string transposeNote (std::string_view name, std::int32_t semitones, bool preferFlats)
{
    const int p = notePitchClass (name);
    if (p < 0)
        return std::string (name);
    return pitchClassName (std::int64_t (p) + semitones, preferFlats);
}

std::string transposeChordSymbol (std::string_view chord, std::int32_t semitones, bool preferFlats)
{
    if (semitones == 0 && ! preferFlats)
        return std::string (chord);
    return rewriteChordNotes (chord, [&] (const std::string& note) {
        return transposeNote (note, semitones, preferFlats);
    });
}

std::string renderLatinChord (std::string_view chord) { return rewriteChordNotes (chord, latinNote); }

std::string renderNashvilleChord (std::string_view chord, std::int32_t key)
{
    return rewriteChordNotes (chord, [key] (const std::string& note) {
        return std::string (kNashvilleDegrees[(std::size_t) degreeIndex (note, key)]);
    });
}

std::string renderRomanChord (std::string_view chord, std::int32_t key)
{
    const auto s = splitChordSymbol (chord);
    if (! s.ok)
        return std::string (chord);
    std::string numeral (kRomanNumerals[(std::size_t) degreeIndex (s.root, key)]);
    std::string quality = s.quality;
    if (isMinorQuality (quality))
    {
        numeral = toLowerAscii (numeral);
        if (startsWith (quality, "min"))
            quality.erase (0, 3);
        else if (startsWith (quality, "m"))
            quality.erase (0, 1);
    }
    std::string out = numeral + quality;
    if (! s.bass.empty())
        out += "/" + std::string (kRomanNumerals[(std::size_t) degreeIndex (s.bass, key)]);
    return out;
}

std::string transformChordLineText (std::string_view line, std::int32_t semitones, ChordLineNotation notation,
                                    std::int32_t songKeyIdx, bool preferFlats)
{
    const bool usesKey = notation == ChordLineNotation::roman || notation == ChordLineNotation::nashville;
    const int key = usesKey ? wrapPitchClass (std::int64_t (songKeyIdx) + semitones) : 0;

    std::string out;
    out.reserve (line.size());
    std::size_t i = 0;
    while (i < line.size())
    {
        if (isSpaceByte (line[i]))
        {
            out += line[i++];
            continue;
        }
        const std::size_t start = i;
        while (i < line.size() && ! isSpaceByte (line[i]))
            ++i;
        const auto token = line.substr (start, i - start);
        if (! isChordSymbol (token))
        {
            out += token;
            continue;
        }
        switch (notation)
        {
            case ChordLineNotation::latin: out += renderLatinChord (transposeChordSymbol (token, semitones, preferFlats)); break;
            case ChordLineNotation::roman: out += renderRomanChord (token, key); break;
            case ChordLineNotation::nashville: out += renderNashvilleChord (token, key); break;
            case ChordLineNotation::american: out += transposeChordSymbol (token, semitones, preferFlats); break;
            default: out += token; break;
        }
    }
    return out;
}
} // namespace quorvelle::charts
