#include "charts/ChordHealing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvelle::charts
{
namespace
{
const std::vector<std::string> healed { "heal_chord_stuck_to_lyric" };

TEST (ChordHealing, GluedLinesBecomeChordOverLyric)
{
    struct Case
    {
        std::string text, expected;
        bool heals;
    };
    const Case cases[] {
        { "Gglory Cto Dyou", "G     C  D\nglory to you", true },
        { "Cmaj7love Dyou", "Cmaj7 D\nlove you", true },
        { "Amigo Dven", "Am  D\nigo ven", true },
        { "Amor Dios Gracia", "Amor Dios Gracia", false },
        { "Aleluya Eamor", "Aleluya Eamor", false },
        { "Am7love G7x", "Am7  G7\nlove x", true },
        { "Gglory\tCto Dyou", "G     C  D\nglory\tto you", true },
        { "Cmaj7sus4Gloria Dyou", "Cmaj7sus4 D\nGloria you", true },
        { "", "", false },
        // Untouched lines around a healed one keep their place, and a final line feed survives.
        { "CORO FINAL\n\nGglory Cto Dyou\n", "CORO FINAL\n\nG     C  D\nglory to you\n", true },
        // A glued chord that is longer than the lyric before it: the next chord follows after one space.
        { "Cmaj7a Dbe", "Cmaj7 Db\na e", true },
    };
    for (const auto& c : cases)
    {
        const auto result = healChordStuckToLyric (c.text, ChartNotation::american);
        EXPECT_EQ (result.text, c.expected) << c.text;
        EXPECT_EQ (result.rules, c.heals ? healed : std::vector<std::string> {}) << c.text;
    }
}

TEST (ChordHealing, ChartsWithTwoChordLinesAreLeftAlone)
{
    const std::string text = "G  D\nDios es amor\nGglory Cto Dyou\nEm C\nla la";
    const auto result = healChordStuckToLyric (text, ChartNotation::american);
    EXPECT_EQ (result.text, text);
    EXPECT_TRUE (result.rules.empty());
    // One chord line is not enough to block the healing.
    EXPECT_TRUE (shouldHealText ("G  D\nGglory Cto Dyou", ChartNotation::american));
}

TEST (ChordHealing, LatinChordLinesAreNotGluedLyrics)
{
    // Fa reads as F glued to "a"; a line of Latin chords must stay as written.
    const std::string text = "[Verso]\nFa  Lam  Fa  Sol\nDios es amor";
    const auto result = healChordStuckToLyric (text, ChartNotation::american);
    EXPECT_EQ (result.text, text);
    EXPECT_TRUE (result.rules.empty());
    EXPECT_EQ (healLine ("Fa  Lam  Fa  Sol", ChartNotation::american), "Fa  Lam  Fa  Sol");
    // Glued American chords beside it are still healed.
    EXPECT_EQ (healChordStuckToLyric ("Fa  Lam  Fa  Sol\nGglory Cto Dyou", ChartNotation::american).text,
               "Fa  Lam  Fa  Sol\nG     C  D\nglory to you");
}

TEST (ChordHealing, ChordPrefixes)
{
    struct Case
    {
        std::string token;
        std::optional<std::pair<std::string, std::string>> expected;
    };
    const Case cases[] {
        { "Am7love", std::pair<std::string, std::string> { "Am7", "love" } },
        { "Am7", std::nullopt },   // already a chord
        { "G7x", std::pair<std::string, std::string> { "G7", "x" } },
        { "Amor", std::nullopt },  // a stop word
        { "AMOR", std::nullopt },  // stop words ignore ASCII case
        { "Cmaj7sus4Gloria", std::pair<std::string, std::string> { "Cmaj7sus4", "Gloria" } },
        { "G", std::nullopt },
        { "Hello", std::nullopt },
        { "C\xC3\xA1", std::nullopt }, // the rest must start with an ASCII letter
        // Only prefixes of up to 10 bytes are tried: the 11-byte chord Cmaj7sus413 is not.
        { "Cmaj7sus413Gloria", std::pair<std::string, std::string> { "Cmaj7", "sus413Gloria" } },
    };
    for (const auto& c : cases)
    {
        const auto g = splitChordPrefix (c.token, ChartNotation::american, "C");
        ASSERT_EQ (g.has_value(), c.expected.has_value()) << c.token;
        if (g)
        {
            EXPECT_EQ (g->chordPrefix, c.expected->first) << c.token;
            EXPECT_EQ (g->lyricRest, c.expected->second) << c.token;
        }
    }
    EXPECT_TRUE (splitChordPrefix ("5go", ChartNotation::nashville, "C").has_value());
    EXPECT_TRUE (splitChordPrefix ("Solmente", ChartNotation::latin, "C").has_value());
    EXPECT_FALSE (splitChordPrefix ("Gglory", ChartNotation::latin, "C").has_value());
}

TEST (ChordHealing, LineHelpers)
{
    EXPECT_TRUE (isMostlyUpperCase ("CORO FINAL"));
    EXPECT_TRUE (isMostlyUpperCase ("VERSE 2 x"));  // 5 of 6 letters
    EXPECT_FALSE (isMostlyUpperCase ("Coro"));
    EXPECT_FALSE (isMostlyUpperCase ("123"));
    EXPECT_TRUE (isBlankText (""));
    EXPECT_TRUE (isBlankText (" \t"));
    EXPECT_FALSE (isBlankText (" a"));
    const auto tokens = tokensWithPositions ("  G  Em\tC");
    ASSERT_EQ (tokens.size(), 3u);
    EXPECT_EQ (tokens[1].text, "Em");
    EXPECT_EQ (tokens[1].position, 5u);
    EXPECT_EQ (tokens[2].position, 8u);
}
} // namespace
} // namespace quorvelle::charts
