#include "charts/ChartChords.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace quorvelle::charts
{
namespace
{
// A Nashville or Roman token, the key it is read in and the American chord it gives.
struct TokenInKey
{
    std::string token, key, expected;
};

TEST (ChartChords, LatinNamesToLetters)
{
    const std::pair<std::string, std::string> cases[] {
        { "Do", "C" },         { "rem7", "Dm7" },       { "Sol#m/Si", "G#m/B" }, { "La b", "Ab" },
        { "Fa maj7", "Fmaj7" }, { "Ut", "C" },          { "Ti7", "B7" },         { "Dom/", "Cm" },
        { "X", "X" },          { "", "" },              { "Dolor", "Clor" },     { "R\xC3\x89" "7", "D7" },
        { "R\xC3\xA9" "7", "R\xC3\xA9" "7" },            { "Sol/Fa#", "G/F#" },   { "Mi/G", "E/G" },
        { "SOL", "G" },
    };
    for (const auto& [token, expected] : cases)
        EXPECT_EQ (latinChordToAmerican (token), expected) << token;
    const std::string longToken = "Do" + std::string (63, 'm');
    EXPECT_EQ (latinChordToAmerican (longToken), longToken);
    EXPECT_EQ (latinChordToAmerican (longToken.substr (0, 64)), "C" + std::string (62, 'm'));
}

TEST (ChartChords, NashvilleDegreesInAKey)
{
    const TokenInKey cases[] {
        { "1", "G", "G" },       { "4", "G", "C" },       { "5/7", "G", "D/F#" }, { "6m", "G", "Em" },
        { "b7", "G", "F" },      { "b3", "G", "Bb" },     { "#4", "G", "C#" },    { "2m7/1", "G", "Am7/G" },
        { "8", "G", "8" },       { "b", "G", "b" },       { "1/x", "G", "G/x" },  { "4", "F", "Bb" },
        { "b7/1", "C", "Bb/C" }, { "1/b7", "C", "C/A#" }, { "1", "H", "1" },     { "1", "", "1" },
        { "\xE2\x99\xAD" "7", "C", "Bb" }, { "5/7sus", "G", "D/F#" }, { "1", "Sib", "Bb" }, { "6", "La menor", "F#" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (nashvilleChordToAmerican (c.token, c.key), c.expected) << c.token << " in " << c.key;
}

TEST (ChartChords, RomanNumeralsInAKey)
{
    const TokenInKey cases[] {
        { "I", "C", "C" },       { "vi", "C", "Am" },     { "vi7", "C", "Am7" },  { "V7/VII", "C", "G7/B" },
        { "bVII", "C", "A#" },   { "bVII", "F", "Eb" },   { "ii7", "C", "Dm7" },  { "IV/I", "C", "F/C" },
        { "X", "C", "X" },       { "VII", "C", "B" },     { "iimaj7", "C", "Dmmaj7" }, { "vii\xC2\xB0", "C", "Bm\xC2\xB0" },
        { "vim7", "C", "Am7" },  { "iimin7", "C", "Dmin7" }, { "V/x", "C", "G/x" }, { "V/vii", "C", "G/B" },
        { "I", "", "I" },        { "iii", "H", "iii" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (romanChordToAmerican (c.token, c.key), c.expected) << c.token << " in " << c.key;
}

TEST (ChartChords, ChordsInANotationAndFlatKeys)
{
    EXPECT_TRUE (isChordInNotation ("Sol", ChartNotation::latin, ""));
    EXPECT_FALSE (isChordInNotation ("Sol", ChartNotation::american, ""));
    EXPECT_TRUE (isChordInNotation ("5/7", ChartNotation::nashville, "G"));
    EXPECT_FALSE (isChordInNotation ("5/7", ChartNotation::nashville, ""));
    EXPECT_TRUE (isChordInNotation ("G", ChartNotation::undecided, ""));
    EXPECT_EQ (chordToAmerican ("Sol", ChartNotation::american, "G"), "Sol");
    EXPECT_EQ (toAmericanChord ("Sol7", ChartNotation::latin, ChartKey {}), "G7");
    EXPECT_EQ (toAmericanChord ("5/7", ChartNotation::nashville, ChartKey::fromText ("G")), "D/F#");
    EXPECT_EQ (toAmericanChord ("G", ChartNotation::undecided, ChartKey {}), "G");
    EXPECT_EQ (toAmericanChord ("Sol", ChartNotation::american, ChartKey {}), std::nullopt);
    EXPECT_EQ (toAmericanChord ("5/7", ChartNotation::nashville, ChartKey {}), std::nullopt);
    // A long quality cannot convert into a chord, but a long tail after the bass degree is dropped.
    EXPECT_FALSE (isChordInNotation ("1" + std::string (30, 'm'), ChartNotation::nashville, "C"));
    EXPECT_TRUE (isChordInNotation ("1/1" + std::string (30, 'x'), ChartNotation::nashville, "C"));

    for (const std::string key : { "Bb", "Sib", "Si bemol", "F", "Eb", "Gb" })
        EXPECT_TRUE (isFlatKey (key)) << key;
    for (const std::string key : { "Fm", "Dm", "C", "Fa", "G", "" })
        EXPECT_FALSE (isFlatKey (key)) << key;
    for (const auto& [token, value, length] : { std::tuple<std::string, int, std::size_t> { "b7", -1, 1 },
                                                { "#4", 1, 1 },
                                                { "\xE2\x99\xAD" "VII", -1, 3 },
                                                { "\xE2\x99\xAF" "4", 1, 3 },
                                                { "\xE2\x80\x94", 0, 0 },
                                                { "4", 0, 0 },
                                                { "", 0, 0 } })
    {
        const auto accidental = readLeadingAccidental (token);
        EXPECT_EQ (accidental.value, value) << token;
        EXPECT_EQ (accidental.length, length) << token;
    }
    EXPECT_EQ (pitchClassName (-1, true), "B");
    EXPECT_EQ (pitchClassName (13, false), "C#");
}
} // namespace
} // namespace quorvelle::charts
