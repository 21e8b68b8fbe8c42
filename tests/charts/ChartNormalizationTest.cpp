#include "charts/ChartNormalization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvelle::charts
{
namespace
{
using Rules = std::vector<std::string>;

TEST (ChartNormalization, EachPassCleansItsCharactersAndReportsItself)
{
    struct Case
    {
        std::string text, expected;
        Rules rules;
    };
    const Case cases[] {
        { "", "", {} },
        { "G D\nDios es amor\n", "G D\nDios es amor\n", {} },
        { "a\r\nb\rc", "a\nb\nc", { "normalize_line_endings" } },
        { "G\xE2\x80\x8B D\xEF\xBB\xBF", "G D", { "strip_zero_width_chars" } },
        { "\xE2\x80\xAE" "G\xE2\x81\xA6", "G", { "strip_bidi_overrides" } },
        { "ale\xC2\xADluya", "aleluya", { "strip_soft_hyphens" } },
        { "cancio\xCC\x81n", "canci\xC3\xB3n", { "normalize_unicode_nfc_lite" } },
        { "I\xCC\x80 O\xCC\x88", "I\xCC\x80 O\xCC\x88", {} }, // pairs outside the table stay decomposed
        { "\xE9", "\xC3\xA9", {} },                             // a lone byte is re-encoded, not a change
        { "canci\xF3n", "canci\xC3\xB3n", {} },
        { "\xEF\xBC\xA7\xE3\x80\x80" "D", "G D", { "normalize_fullwidth_to_ascii" } },
        { "G\xC2\xA0" "D\xE2\x80\xAF" "Em", "G D Em", { "normalize_nbsp_to_space" } },
        { "\xD0\xA1 \xCE\x91m", "C Am", { "normalize_homoglyphs" } },
        { "G D\nCCLI Song # 123\nla", "G D\n\nla", { "strip_watermarks" } },
        { "aaaGaaaaDaaEm\nDios", "   G    D  Em\nDios", { "strip_invisible_filler" } },
        { "G D  \t\nDios \n", "G D\nDios\n", { "trim_trailing_whitespace_per_line" } },
        { "   ", "", { "trim_trailing_whitespace_per_line" } },
        // A stray 0xAD is a soft hyphen and a stray 0xA0 a no-break space.
        { "G\xAD" "D\xA0" "E", "GD E", { "strip_soft_hyphens", "normalize_nbsp_to_space" } },
        // Several passes, listed in pass order.
        { "\xD0\xA1\r\n\xEF\xBC\xA7 ", "C\nG", { "normalize_line_endings", "normalize_fullwidth_to_ascii", "normalize_homoglyphs",
                                               "trim_trailing_whitespace_per_line" } },
    };
    for (const auto& c : cases)
    {
        const auto result = normalizeChartText (c.text);
        EXPECT_EQ (result.text, c.expected) << c.text;
        EXPECT_EQ (result.rules, c.rules) << c.text;
    }
}

TEST (ChartNormalization, WatermarkLines)
{
    const std::pair<std::string, bool> lines[] {
        { "CCLI Song # 123", true },
        { "ccli song #7", true },
        { "(CCLI Song # 123)", true },
        { "  Licencia CCLI Song #99  ", true },
        { "\xC2\xA9 2020 Hillside Music", true },
        { "Copyright \xC2\xA9 Someone", true },
        { "All rights reserved.", true },
        { "ALL RIGHTS RESERVED", true },
        { "https://example.com/chart", true },
        { "www.example.com", true },
        { "Visit https://example.com", false },
        { "CCLI Song # abc", false },
        { "x (CCLI Song # 1)", false },
        { "G D Em", false },
        { "", false },
    };
    for (const auto& [line, expected] : lines)
        EXPECT_EQ (isWatermarkLine (line), expected) << line;

    // The emptied line stays a line.
    EXPECT_EQ (stripWatermarkLines ("G\nwww.x.com\nDios").text, "G\n\nDios");
}

TEST (ChartNormalization, FillerLetters)
{
    EXPECT_EQ (replaceFillerA ("aaaGaaaaDaaEm"), "   G    D  Em");
    EXPECT_EQ (replaceFillerA ("aG aD"), " G  D");
    EXPECT_EQ (replaceFillerA ("Gadd9 aD"), "Gadd9  D");
    EXPECT_TRUE (isFillerChordLine ("aG aD"));
    EXPECT_FALSE (isFillerChordLine ("casa"));
    EXPECT_FALSE (isFillerChordLine ("aGlory aDios"));

    const std::pair<std::string, std::string> cases[] {
        { "aaaa", "" }, { "a a a", "" }, { "aa", "aa" }, { "casa", "casa" }, { "aG aD\naaa\nla", " G  D\n\nla" },
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ (stripInvisibleFiller (text).text, expected) << text;
    EXPECT_FALSE (stripInvisibleFiller ("aa\ncasa").changed);
}

TEST (ChartNormalization, TrailingBlanksKeepEveryLineFeed)
{
    const auto result = trimTrailingWhitespacePerLine (" G \t\n\n  Em  \n");
    EXPECT_EQ (result.text, " G\n\n  Em\n");
    EXPECT_TRUE (result.changed);
    EXPECT_FALSE (trimTrailingWhitespacePerLine ("  G\n").changed);
}
} // namespace
} // namespace quorvelle::charts
