#include "charts/ChartChords.h"
#include "charts/Transposition.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>

namespace quorvelle::charts
{
namespace
{
const std::array<std::string, 12> sharps { "C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B" };
const std::array<std::string, 12> flats { "C", "Db", "D", "Eb", "E", "F", "Gb", "G", "Ab", "A", "Bb", "B" };
const std::string flatSign = "\xE2\x99\xAD";

int mod12 (int v) { return ((v % 12) + 12) % 12; }

TEST (Transposition, EverySpellingOfEveryKeyMovesByEveryInterval)
{
    for (int root = 0; root < 12; ++root)
    {
        for (const auto* names : { &sharps, &flats })
        {
            const std::string from = (*names)[(std::size_t) root];
            for (int shift = -13; shift <= 13; ++shift)
            {
                const int to = mod12 (root + shift);
                const int bass = mod12 (root + 4);
                const int bassTo = mod12 (bass + shift);
                const std::string chord = from + "m7/" + (*names)[(std::size_t) bass];
                if (shift != 0)
                {
                    EXPECT_EQ (transposeChordSymbol (chord, shift, false),
                               sharps[(std::size_t) to] + "m7/" + sharps[(std::size_t) bassTo])
                        << chord << " by " << shift;
                }
                EXPECT_EQ (transposeChordSymbol (chord, shift, true),
                           flats[(std::size_t) to] + "m7/" + flats[(std::size_t) bassTo])
                    << chord << " by " << shift << " with flats";
            }
        }
    }
}

TEST (Transposition, ChordSymbolCases)
{
    struct Case
    {
        std::string chord;
        int semitones;
        bool preferFlats;
        std::string expected;
    };
    const Case cases[] {
        { "C", 0, false, "C" },
        { "C\xE2\x99\xAF", 0, false, "C\xE2\x99\xAF" }, // unchanged byte for byte
        { "C\xE2\x99\xAF", 0, true, "Db" },
        { "Am7/G", 2, false, "Bm7/A" },
        { "Am7/G", -3, true, "Gbm7/E" },
        { "Hm", 5, false, "Hm" },
        { "C/B#", 2, false, "D" },
        { "B#", 1, false, "B#" },
        { "Am7/G", 14, false, "Bm7/A" },
        { "Am7/G", -10, false, "Bm7/A" },
        { "C7\xE2\x99\xAD" "9", 2, false, "D7b9" },
        { "E#", 0, true, "F" },
        { "Amor", 2, false, "Bmor" },      // any text that splits is moved
        { "C/E/G", 2, false, "D/E/A" },    // earlier slashes stay in the quality
        { "", 3, false, "" },
        { "xyz", 3, false, "xyz" },
        { "C", std::numeric_limits<std::int32_t>::max(), false, "G" },  // 2^31 - 1 = 7 (mod 12)
        { "C", std::numeric_limits<std::int32_t>::min(), false, "E" },  // -2^31 = 4 (mod 12)
    };
    for (const auto& c : cases)
        EXPECT_EQ (transposeChordSymbol (c.chord, c.semitones, c.preferFlats), c.expected)
            << c.chord << " by " << c.semitones;
}

TEST (Transposition, RenderersAcrossAllKeys)
{
    const std::array<std::string, 12> degrees { "1", flatSign + "2", "2", flatSign + "3", "3", "4",
                                                flatSign + "5", "5", flatSign + "6", "6", flatSign + "7", "7" };
    const std::array<std::string, 12> numerals { "I", flatSign + "II", "II", flatSign + "III", "III", "IV",
                                                 flatSign + "V", "V", flatSign + "VI", "VI", flatSign + "VII", "VII" };
    const std::array<std::string, 12> lowerNumerals { "i", flatSign + "ii", "ii", flatSign + "iii", "iii", "iv",
                                                      flatSign + "v", "v", flatSign + "vi", "vi", flatSign + "vii", "vii" };
    for (int key = 0; key < 12; ++key)
    {
        for (int interval = 0; interval < 12; ++interval)
        {
            const auto i = (std::size_t) interval;
            const auto& name = (interval % 2 == 0 ? sharps : flats)[(std::size_t) mod12 (key + interval)];
            const auto& fifth = sharps[(std::size_t) mod12 (key + interval + 7)];
            const auto fifthDegree = (std::size_t) mod12 (interval + 7);
            EXPECT_EQ (renderNashvilleChord (name + "m7/" + fifth, key), degrees[i] + "m7/" + degrees[fifthDegree])
                << name << " in key " << key;
            EXPECT_EQ (renderRomanChord (name + "7/" + fifth, key), numerals[i] + "7/" + numerals[fifthDegree])
                << name << " in key " << key;
            EXPECT_EQ (renderRomanChord (name + "m7", key), lowerNumerals[i] + "7") << name << " in key " << key;
        }
    }
    const std::pair<std::string, std::string> latin[] {
        { "C", "Do" },     { "C#m7/G#", "Do#m7/Sol#" }, { "Bbmaj7", "Sibmaj7" }, { "D", "Re" },  { "Eb", "Mib" },
        { "F#", "Fa#" },   { "G/B", "Sol/Si" },        { "Ab", "Lab" },           { "A", "La" }, { "H", "H" },
        { "C/B#", "Do" },
    };
    for (const auto& [chord, expected] : latin)
        EXPECT_EQ (renderLatinChord (chord), expected) << chord;
}

TEST (Transposition, RomanAndNashvilleQualities)
{
    const std::pair<std::string, std::string> roman[] {
        { "Am7", "vi7" },    { "Dm", "ii" },     { "Ebmin7", flatSign + "iii7" }, { "Bdim", "viidim" }, { "Bm7b5", "vii7b5" },
        { "F\xC2\xB0" "7", "iv\xC2\xB0" "7" }, { "Cmaj7", "Imaj7" }, { "Cmmaj7", "imaj7" }, { "G7/B", "V7/VII" },
        { "Am/C", "vi/I" },
    };
    for (const auto& [chord, expected] : roman)
        EXPECT_EQ (renderRomanChord (chord, 0), expected) << chord;
    EXPECT_EQ (renderNashvilleChord ("Bb", 0), flatSign + "7");
    EXPECT_EQ (renderNashvilleChord ("C/E", 0), "1/3");
    EXPECT_EQ (renderNashvilleChord ("F#m7b5", 0), flatSign + "5m7b5");
    EXPECT_EQ (renderNashvilleChord ("C/H", 0), "1/H");
    EXPECT_EQ (renderNashvilleChord ("Hm", 0), "Hm");
}

TEST (Transposition, ChordLines)
{
    struct Case
    {
        std::string line;
        int semitones;
        ChordLineNotation notation;
        int key;
        std::string expected;
    };
    const Case cases[] {
        { "  Am    F  C/E  ", 2, ChordLineNotation::american, 0, "  Bm    G  D/F#  " },
        { "G  D/F#  Em", 0, ChordLineNotation::nashville, 7, "1  5/7  6m" },
        { "C", 2, ChordLineNotation::roman, 0, flatSign + "VII" },
        { "Am F C G", 0, ChordLineNotation::latin, 0, "Lam Fa Do Sol" },
        { "Am F C G", 2, ChordLineNotation::latin, 0, "Sim Sol Re La" },
        { "Am\tF", 2, ChordLineNotation::american, 0, "Bm\tG" },
        { "Dios es amor", 5, ChordLineNotation::american, 0, "Dios es amor" },
        { "", 3, ChordLineNotation::roman, 0, "" },
        { "[Coro] | G | Cmaj7b9b13b5b9b13b9b9 |", 2, ChordLineNotation::american, 0, "[Coro] | A | Cmaj7b9b13b5b9b13b9b9 |" },
        { "G Em", 0, (ChordLineNotation) 9, 0, "G Em" },
        // Degrees are measured from the moved key (B here), the chords themselves stay.
        { "G  D", -1, ChordLineNotation::nashville, 0, flatSign + "6  " + flatSign + "3" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (transformChordLineText (c.line, c.semitones, c.notation, c.key, false), c.expected) << c.line;
}
} // namespace
} // namespace quorvelle::charts
