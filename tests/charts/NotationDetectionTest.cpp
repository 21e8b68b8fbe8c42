#include "charts/NotationDetection.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvelle::charts
{
namespace
{
NotationVotes votesOf (const std::string& line)
{
    NotationVotes votes;
    voteLineTokens (line, votes);
    return votes;
}

TEST (NotationDetection, EachTokenVotesForTheFirstNotationItReadsAs)
{
    struct Case
    {
        std::string line;
        int american, latin, nashville, roman;
    };
    const Case cases[] {
        { "[Verse 1]", 0, 0, 0, 0 },
        { "(x2)", 0, 0, 0, 0 },
        { "{c: Chorus}", 0, 0, 0, 0 },
        { "Verse 1", 0, 0, 1, 0 },
        { "Do Re Mi", 0, 3, 0, 0 },
        { "la mi si", 0, 3, 0, 0 },
        { "Dolor", 0, 0, 0, 0 },
        { "IV vi7 ii\xC2\xB0 V/vii", 0, 0, 0, 4 },
        { "VIM7", 0, 0, 0, 1 },
        { "Vx Verse", 0, 0, 0, 0 },
        { "1 b7 5/7 4sus 2nd", 0, 0, 5, 0 },
        { "\xE2\x99\xAD" "7 \xE2\x99\xAD" "VII", 0, 0, 1, 1 },
        { "G D/F# Em love", 3, 0, 0, 0 },
        { "   ", 0, 0, 0, 0 },
        { "IIIIIIIIIIIII", 0, 0, 0, 0 }, // 13 bytes: too long for a numeral
        { "8 9", 0, 0, 0, 0 },
    };
    for (const auto& c : cases)
    {
        const auto v = votesOf (c.line);
        EXPECT_EQ (v.american, c.american) << c.line;
        EXPECT_EQ (v.latin, c.latin) << c.line;
        EXPECT_EQ (v.nashville, c.nashville) << c.line;
        EXPECT_EQ (v.roman, c.roman) << c.line;
        EXPECT_EQ (v.total, c.american + c.latin + c.nashville + c.roman) << c.line;
    }
}

TEST (NotationDetection, WinnerShareAndConfidence)
{
    struct Case
    {
        std::string text;
        ChartNotation notation;
        ChartConfidence confidence;
    };
    const Case cases[] {
        { "", ChartNotation::undecided, ChartConfidence::low },
        { "Dios es amor\ny nada mas", ChartNotation::undecided, ChartConfidence::low },
        // Five American, five Latin: the tie goes to American; 50% is below 80%.
        { "G D Em C A\nDo Re Mi Fa Sol", ChartNotation::american, ChartConfidence::low },
        // American 2, Latin 2, Nashville 3, Roman 3: Nashville, exactly 30%.
        { "G D\nDo Re\n1 4 5\nI IV V", ChartNotation::nashville, ChartConfidence::low },
        // American 2 of 7: below 30%, undecided.
        { "G D\nDo Re\n1 4\nIV", ChartNotation::undecided, ChartConfidence::low },
        // American 8 of 10: 80% is not below 80%.
        { "G D Em C A B F E\n1 4", ChartNotation::american, ChartConfidence::medium },
        { "Key: G\nG D Em C A B F E\n1 4", ChartNotation::american, ChartConfidence::high },
    };
    for (const auto& c : cases)
    {
        const auto d = detectChartNotation (c.text);
        EXPECT_EQ (d.notation, c.notation) << c.text;
        EXPECT_EQ (d.confidence, c.confidence) << c.text;
    }
    EXPECT_EQ (detectChartNotation ("Key: G\nG D Em C A B F E\n1 4").detectedKey, "G");
}

TEST (NotationDetection, KeysNamedInTheText)
{
    const std::pair<std::string, std::optional<std::string>> cases[] {
        { "Key: G", "G" },
        { "key - f#m", "F#" },
        { "Tono: Bb", "Bb" },
        { "Tonalidad: E flat", "Eb" },
        { "Key: C sharp minor", "C#" },
        { "Key: [A](x)", "A" },
        { "Key: `D`", "D" },
        { "Key: G | 120 bpm", "G" },
        { "Tono: D \xE2\x80\xA2 4/4", "D" },
        { "Key: E\xE2\x99\xAD", "Eb" },
        { "Key:\nAm", "A" },
        { "Keyboard: C", std::nullopt },
        { "Key: G (capo 2)", std::nullopt },
        { "Tono: Sol", std::nullopt },
        { "Tonalidade: F#", "F#" },
        { "Lyrics\nTono - Si bemol\nG", "G" }, // the label line gives nothing, the next line does
        { "Key: H\nx", std::nullopt },
        { "key:  c  ", "C" },
        { "Tono: Bbm", "Bb" },
        { "Tono: A Minor", "A" },
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ (findKeyInText (text), expected) << text;
    EXPECT_TRUE (isKeyLabelLine ("Tonalidade: G"));
    EXPECT_TRUE (isKeyLabelLine ("  KEY"));
    EXPECT_FALSE (isKeyLabelLine ("Keys: G"));
    EXPECT_EQ (parseKeyToken ("bb"), "Bb");
    EXPECT_EQ (parseKeyToken ("F \xE2\x99\xAF"), "F"); // 3 characters; the second is a space, not a sign
    EXPECT_EQ (parseKeyToken ("F\xE2\x99\xAF"), "F#");
    EXPECT_EQ (parseKeyToken (""), std::nullopt);
}
} // namespace
} // namespace quorvelle::charts
