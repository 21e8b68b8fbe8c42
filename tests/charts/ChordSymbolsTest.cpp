#include "charts/ChordSymbols.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvelle::charts
{
namespace
{
TEST (ChordSymbols, ChordSymbolTestAcceptsTheChordGrammarOnly)
{
    const std::pair<std::string, bool> cases[] {
        { "", false },
        { "C", true },
        { "C\xE2\x99\xAFm7", true }, // C♯m7: the sign counts as '#'
        { "Bbmaj7#11", true },
        { "Cm7(b5)/Gb", true },
        { "C7b9#11", true },
        { "Cm7(b5)", true },
        { "Am/G", true },
        { "B#", true },
        { "Cadd9", true },
        { "Csus4", true },
        { "C\xC2\xB0" "7", true }, // C°7
        { "B\xC3\xB8", true },     // Bø
        { "C+", true },
        { "CM7", true },
        { "C6/9", false },
        { "C7b9sus4", false },
        { "h7", false },
        { "H7", false },
        { "c", false },
        { "CMaj7", false },
        { "Cmi7", false },
        { "C/", false },
        { "C/H", false },
        { "Amor", false },
        { "C(b9", false },
        { "Cmaj7(b9)(#11)/E", true },
        { "Cmaj7b9b13b5b9b13b", false },
        { "Cmaj7b9b13b5b9b13b13", true },    // exactly 20 bytes
        { "Cmaj7b9b13b5b9b13b9x", false },   // 20 bytes, not a chord
        { "Cmaj7b9b13b5b9b13b99", true },    // 20 bytes
        { "Cmaj7b9b13b5b9b13b9b9", false },  // 21 bytes, though the grammar would accept it
        { "C\xE2\x99\xAF\xE2\x99\xAF", false }, // two sharps
        { "G\n", false },
    };
    for (const auto& [token, expected] : cases)
        EXPECT_EQ (isChordSymbol (token), expected) << token;
}

TEST (ChordSymbols, LengthLimitIsMeasuredBeforeSignsAreRewritten)
{
    // 8 signs of 3 bytes: 24 bytes as written, 8 after rewriting.
    std::string token = "C";
    for (int i = 0; i < 6; ++i)
        token += "\xE2\x99\xAD" "9";
    ASSERT_GT (token.size(), 20u);
    EXPECT_FALSE (isChordSymbol (token));
    EXPECT_TRUE (isChordSymbol (normalizeAccidentalSigns (token)));
}

TEST (ChordSymbols, MinorQualities)
{
    const std::pair<std::string, bool> cases[] {
        { "", false },     { "m", true },      { "m7", true },     { "mmaj7", true }, { "min7", true },
        { "dim", true },   { "\xC2\xB0" "7", true }, { "\xC3\xB8" "7", true }, { "maj7", false }, { "M7", false },
        { "M", false },    { "7", false },     { "sus4", false },  { "ma", true },
    };
    for (const auto& [quality, expected] : cases)
        EXPECT_EQ (isMinorQuality (quality), expected) << quality;
}

TEST (ChordSymbols, SplitGivesRootQualityAndBass)
{
    struct Case
    {
        std::string chord, root, quality, bass;
        bool ok;
    };
    const Case cases[] {
        { "Am7/G", "A", "m7", "G", true },
        { "C/E/G", "C", "/E", "G", true },
        { "B#m", "", "", "", false },
        { "C/B#", "C", "", "", true },
        { "D\xE2\x99\xADmaj7", "Db", "maj7", "", true },
        { "C/9", "C", "/9", "", true },
        { "Amor", "A", "mor", "", true },
        { "Bb", "Bb", "", "", true },
        { "C/Eb", "C", "", "Eb", true },
        { "H7", "", "", "", false },
        { "", "", "", "", false },
        { "C\nm", "", "", "", false },
        { "C/H", "C", "/H", "", true },
    };
    for (const auto& c : cases)
    {
        const auto parts = splitChordSymbol (c.chord);
        EXPECT_EQ (parts.ok, c.ok) << c.chord;
        EXPECT_EQ (parts.root, c.root) << c.chord;
        EXPECT_EQ (parts.quality, c.quality) << c.chord;
        EXPECT_EQ (parts.bass, c.bass) << c.chord;
    }
}

TEST (ChordSymbols, NoteAndKeyNameTables)
{
    EXPECT_EQ (notePitchClass ("C"), 0);
    EXPECT_EQ (notePitchClass ("Cb"), 11);
    EXPECT_EQ (notePitchClass ("E#"), 5);
    EXPECT_EQ (notePitchClass ("B#"), -1);
    EXPECT_EQ (notePitchClass ("c"), -1);
    EXPECT_EQ (keyNamePitchClass ("B#"), 0);
    EXPECT_EQ (keyNamePitchClass ("Bb"), 10);
    EXPECT_EQ (keyNamePitchClass ("F#"), 6);
    EXPECT_EQ (keyNamePitchClass ("db"), std::nullopt);
}

TEST (ChordSymbols, SongKeysAsPeopleWriteThem)
{
    const std::pair<std::string, std::optional<int>> cases[] {
        { " g ", 7 },          { "La menor", 9 },     { "LA MAYOR", 9 },  { "Sol", 7 },      { "sol#", 8 },
        { "Am", 9 },           { "F# minor", 6 },     { "Db", 1 },        { "Cb", 11 },      { "C# m", std::nullopt },
        { "", std::nullopt },  { "Si bemol", std::nullopt }, { "Dom", 0 }, { "Sib", 10 },    { "Do#m", 1 },
        { "Solb", 6 },         { "Dob", 11 },         { "Mi#", 5 },       { "bb", 10 },      { "BB", 10 },
        { "c", 0 },            { "Bm", 11 },          { "Ebm", 3 },       { "E#", 5 },       { "B#", 0 },
        { "Cmaj7", std::nullopt }, { "H", std::nullopt }, { "A minor", 9 }, { "Amin", 9 },   { "Re menor", 2 },
        { "Bbm", 10 },         { "BBM", 10 },         { "   ", std::nullopt }, { "min", std::nullopt },
        { "F#\tMAJOR", 6 },    { "Sol # m", 8 },
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ (parseSongKeyIndex (text), expected) << "'" << text << "'";
}

TEST (ChordSymbols, TextUtilities)
{
    EXPECT_EQ (trimSpaces ("\t a b \r\n\v\f"), "a b");
    EXPECT_EQ (trimSpaces ("   "), "");
    EXPECT_EQ (trimEndView (" a b \t\r\n\v\f"), " a b");
    EXPECT_EQ (trimEndView ("   "), "");
    EXPECT_EQ (toLowerAscii ("AbC\xC3\x89"), "abc\xC3\x89");
    EXPECT_EQ (toUpperAscii ("aBc\xC3\xA9"), "ABC\xC3\xA9");
    EXPECT_EQ (splitWhitespaceTokens ("  G  D/F#\tEm \n"), (std::vector<std::string> { "G", "D/F#", "Em" }));
    EXPECT_TRUE (splitWhitespaceTokens (" \t ").empty());
}

TEST (ChordSymbols, SeparatorsAndChordLines)
{
    const std::pair<std::string, bool> separators[] {
        { "", false }, { "->", true }, { "\xE2\x80\x94", true }, { "\xE2\x80\x93", true }, { "\xE2\x86\x92", true },
        { "|", true }, { "=", false }, { "\xE2\x80", false }, { "-x", false },
    };
    for (const auto& [token, expected] : separators)
        EXPECT_EQ (isSeparatorToken (token), expected) << token;

    const std::pair<std::string, bool> lines[] {
        { "", false },
        { "    ", false },
        { "\xE2\x86\x92 C \xE2\x86\x92 G", true },
        { "C G love", false },
        { "| C - G |", true },
        { "Am   F   C   G", true },
        { "-- --", false },
        { "  G  D/F#  Em  ", true },
    };
    for (const auto& [line, expected] : lines)
        EXPECT_EQ (isChordLine (line), expected) << line;

    EXPECT_TRUE (hasChordToken ("love G you"));
    EXPECT_FALSE (hasChordToken ("love you"));
    EXPECT_FALSE (hasChordToken ("   "));
}
} // namespace
} // namespace quorvelle::charts
