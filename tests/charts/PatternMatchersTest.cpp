// Each hand-written matcher against std::regex with the pattern it stands for, on many short
// random texts built from the pieces that matter to that pattern (std::regex is safe on short
// texts; only long ones overflow its recursion).
#include "charts/ChartPatterns.h"
#include "charts/ChordSymbols.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace quorvelle::charts
{
namespace
{
constexpr int kRandomTexts = 20000;

std::string randomText (const std::vector<std::string>& units, int maxUnits, std::mt19937& rng)
{
    std::uniform_int_distribution<int> count (0, maxUnits);
    std::uniform_int_distribution<std::size_t> pick (0, units.size() - 1);
    std::string text;
    for (int n = count (rng); n > 0; --n)
        text += units[pick (rng)];
    return text;
}

// One to three random edits: insert a unit, delete a byte, or replace a byte by a unit.
std::string mutate (std::string text, const std::vector<std::string>& units, std::mt19937& rng)
{
    std::uniform_int_distribution<int> edits (1, 3);
    std::uniform_int_distribution<int> kind (0, 2);
    std::uniform_int_distribution<std::size_t> pick (0, units.size() - 1);
    for (int n = edits (rng); n > 0; --n)
    {
        const auto at = std::uniform_int_distribution<std::size_t> (0, text.size()) (rng);
        switch (kind (rng))
        {
            case 0: text.insert (at, units[pick (rng)]); break;
            case 1:
                if (at < text.size())
                    text.erase (at, 1);
                break;
            default:
                if (at < text.size())
                    text.replace (at, 1, units[pick (rng)]);
                break;
        }
    }
    return text;
}

std::regex ecma (const std::string& pattern, bool ignoreCase = false)
{
    auto flags = std::regex::ECMAScript;
    if (ignoreCase)
        flags |= std::regex::icase;
    return std::regex (pattern, flags);
}

// Runs `check` on the hand-picked texts and on random texts from `units`. `check` compares both
// matchers and returns the regular expression's answer; the random texts must give both answers
// many times, so that the comparison covers matching and failing texts alike.
void forTexts (const std::vector<std::string>& picked, const std::vector<std::string>& units, int maxUnits,
               const std::function<bool (const std::string&)>& check)
{
    for (const auto& text : picked)
        check (text);
    std::mt19937 rng (20240611);
    int matched = 0;
    for (int i = 0; i < kRandomTexts; ++i)
    {
        // Half the texts are free sequences of units, half are small edits of a hand-picked text
        // (near misses of texts that match).
        const auto text = (i % 2 == 0 || picked.empty()) ? randomText (units, maxUnits, rng)
                                                          : mutate (picked[(std::size_t) i / 2 % picked.size()], units, rng);
        matched += check (text) ? 1 : 0;
    }
    EXPECT_GE (matched, 20);
    EXPECT_GE (kRandomTexts - matched, 20);
}

std::string show (const std::string& text)
{
    std::string out;
    for (unsigned char c : text)
    {
        if (c >= 0x20 && c < 0x7F)
            out += char (c);
        else
        {
            char buf[8];
            std::snprintf (buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return "'" + out + "'";
}

TEST (PatternMatchers, ChordSymbolGrammar)
{
    const auto re = ecma ("^[A-G][#b]?(?:maj|min|m|dim|aug|sus|add|\xC2\xB0|\xC3\xB8|\\+|M)?(?:\\d{0,2})"
                          "(?:(?:maj|min|m|dim|aug|sus|add|\xC2\xB0|\xC3\xB8|\\+|M)?\\d{0,2})*(?:[#b]\\d{1,2})*"
                          "(?:\\([#b]?\\d{1,2}\\))*(?:/[A-G][#b]?)?$");
    forTexts ({ "C", "Cm7(b5)/Gb", "C6/9", "Bbmaj7#11", "C7b9sus4", "Cb5", "Cbb5", "C(#11)(b9)", "C7b913" },
              { "A", "C", "G", "H", "#", "b", "maj", "min", "m", "dim", "aug", "sus", "add", "\xC2\xB0", "\xC3\xB8",
                "+", "M", "1", "9", "13", "(", ")", "/", "a", "j", "\n", "x" },
              9, [&] (const std::string& text) {
                  const bool expected = std::regex_match (text, re);
                  EXPECT_EQ (patterns::matchChordSymbol (text), expected) << show (text);
                  return expected;
              });
}

TEST (PatternMatchers, MinorQuality)
{
    const auto re = ecma ("^(m(?!aj)|min|dim|\xC2\xB0|\xC3\xB8)");
    forTexts ({ "maj7", "mmaj7", "ma", "m", "" }, { "m", "a", "j", "i", "n", "d", "\xC2\xB0", "\xC3\xB8", "7", "M", "\n" }, 5,
              [&] (const std::string& text) {
                  const bool expected = std::regex_search (text, re);
                  EXPECT_EQ (patterns::matchMinorQuality (text), expected) << show (text);
                  return expected;
              });
}

TEST (PatternMatchers, ChordSplit)
{
    const auto re = ecma ("^([A-G][#b]?)(.*?)(?:/([A-G][#b]?))?$");
    forTexts ({ "C/E/G", "C/9", "Cb/Eb", "C/", "Bb" }, { "A", "C", "G", "H", "#", "b", "/", "m", "7", "\n", "\r", "x" }, 7,
              [&] (const std::string& text) {
                  std::smatch m;
                  const bool matched = std::regex_match (text, m, re);
                  const auto mine = patterns::matchChordSplit (text);
                  EXPECT_EQ (mine.matched, matched) << show (text);
                  if (matched && mine.matched)
                  {
                      EXPECT_EQ (std::string (mine.root), m[1].str()) << show (text);
                      EXPECT_EQ (std::string (mine.quality), m[2].str()) << show (text);
                      EXPECT_EQ (std::string (mine.bass), m[3].matched ? m[3].str() : std::string()) << show (text);
                  }
                  return matched;
              });
}

TEST (PatternMatchers, SongKeyModeWord)
{
    const auto re = ecma ("\\s*(mayor|major|menor|minor|maj|min)$", true);
    forTexts ({ "La menor", "A  MINOR", "Amin", "min", "x mayor y" },
              { " ", "\t", "\n", "mayor", "MAJOR", "menor", "Minor", "maj", "MIN", "A", "m", "x", "or", "in" }, 5,
              [&] (const std::string& text) {
                  const auto expected = std::regex_replace (text, re, "");
                  EXPECT_EQ (std::string (patterns::stripSongKeyModeWord (text)), expected) << show (text);
                  return expected != text;
              });
}

TEST (PatternMatchers, KeyLetter)
{
    const auto re = ecma ("^([A-G])([#B]?)([M]?)$");
    forTexts ({ "BBM", "B#", "H" }, { "A", "G", "H", "#", "B", "M", "m", " ", "\n" }, 4, [&] (const std::string& text) {
        const bool expected = std::regex_match (text, re);
        EXPECT_EQ (patterns::matchKeyLetter (text), expected) << show (text);
        return expected;
    });
}

TEST (PatternMatchers, MarkdownLinkText)
{
    const auto re = ecma ("\\[([^\\]]+)\\]\\([^)]*\\)");
    forTexts ({ "[G](x)", "[](x) [A]()", "[[G](x)", "[G] (x)" }, { "[", "]", "(", ")", "G", "x", " ", "\n" }, 10,
              [&] (const std::string& text) {
                  std::smatch m;
                  const bool found = std::regex_search (text, m, re);
                  const auto mine = patterns::findMarkdownLinkText (text);
                  EXPECT_EQ (mine.has_value(), found) << show (text);
                  if (found && mine)
                  {
                      EXPECT_EQ (std::string (*mine), m[1].str()) << show (text);
                  }
                  return found;
              });
}

TEST (PatternMatchers, KeyTokenWords)
{
    const auto mode = ecma ("\\s+(major|minor|mayor|menor|maj|min|m)\\s*$", true);
    const auto flat = ecma ("\\bflat\\b|\\bbemol\\b", true);
    const auto sharp = ecma ("\\bsharp\\b|\\bsostenido\\b", true);
    const auto accidental = ecma ("\\s+(sharp|flat|sostenido|bemol)\\s*$", true);
    forTexts ({ "A minor", "Am", "E flat", "C sharp minor", "flat", "x_flat", "flat1" },
              { " ", "\t", "\n", "m", "M", "maj", "minor", "A", "#", "x", "flat", "FLAT", "bemol", "sharp", "Sostenido",
                "_", "1", "\xC3\xA9", "-" },
              6, [&] (const std::string& text) {
                  const auto withoutMode = std::regex_replace (text, mode, "");
                  const auto withoutAccidental = std::regex_replace (text, accidental, "");
                  const bool hasFlat = std::regex_search (text, flat);
                  EXPECT_EQ (std::string (patterns::stripKeyModeWord (text)), withoutMode) << show (text);
                  EXPECT_EQ (patterns::hasFlatWord (text), hasFlat) << show (text);
                  EXPECT_EQ (patterns::hasSharpWord (text), std::regex_search (text, sharp)) << show (text);
                  EXPECT_EQ (std::string (patterns::stripAccidentalWord (text)), withoutAccidental) << show (text);
                  return withoutMode != text || withoutAccidental != text || hasFlat;
              });
}

TEST (PatternMatchers, WatermarkLines)
{
    struct Pattern
    {
        std::string regex;
        bool ignoreCase;
        std::vector<std::string> picked, units;
    };
    const Pattern table[] {
        { "^\\s*\\(?[^()]*?\\bCCLI\\s+song\\s+#\\s*\\d+\\s*\\)?\\s*$", true,
          { "CCLI Song # 123", "(ccli song #1)", " x (CCLI song # 1)", "xCCLI song # 1", "(a CCLI Song #7 )" },
          { " ", "(", ")", "CCLI", "ccli", "song", "Song", "#", "12", "x", "\t", "\r", "\n", "a", "_" } },
        { "^\\s*\xC2\xA9\\s*\\d+.*$", false, { "\xC2\xA9 2020 Songs", "\xC2\xA9" "2020\r" },
          { " ", "\xC2\xA9", "2020", "x", "\r", "\n", "\t" } },
        { "^\\s*Copyright\\s+\xC2\xA9.*$", true, { "Copyright \xC2\xA9 2020", "copyright\xC2\xA9" },
          { " ", "Copyright", "COPYRIGHT", "\xC2\xA9", "x", "\r", "\n" } },
        { "^\\s*All\\s+rights\\s+reserved\\.?\\s*$", true, { "All rights reserved.", "ALL  RIGHTS RESERVED" },
          { " ", "All", "rights", "reserved", ".", "x", "\t", "\n" } },
        { "^\\s*https?://[^\\s]+\\s*$", false, { "https://x.y/z", "see http://x" },
          { " ", "http", "https", "s", "://", "x", "/", "\t", "\n" } },
        { "^\\s*www\\.[^\\s]+\\s*$", false, { "www.x.com", "www." }, { " ", "www", ".", "x", "\t", "\n" } },
    };
    for (int index = 1; index <= 6; ++index)
    {
        const auto& pattern = table[index - 1];
        const auto re = ecma (pattern.regex, pattern.ignoreCase);
        forTexts (pattern.picked, pattern.units, 9, [&] (const std::string& text) {
            const bool expected = std::regex_match (text, re);
            EXPECT_EQ (patterns::matchWatermark (index, text), expected) << "pattern " << index << " " << show (text);
            return expected;
        });
    }
}

TEST (PatternMatchers, ChordProDirective)
{
    const auto re = ecma ("\\{\\s*(c|comment|soc|sov|sob|eoc|eov|eob|start_of_|end_of_)\\b", true);
    forTexts ({ "{soc}", "{start_of_chorus}", "{ c: x}", "{\n comment}", "{cx" },
              { "{", " ", "\n", "c", "C", "omment", "soc", "EOC", "start_of_", "end_of_", "x", "_", "}", "1", ":" }, 7,
              [&] (const std::string& text) {
                  const bool expected = std::regex_search (text, re);
                  EXPECT_EQ (patterns::searchChordProDirective (text), expected) << show (text);
                  return expected;
              });
}

TEST (PatternMatchers, KeyLink)
{
    const auto re = ecma ("(?:^|\\n)\\s*(?:Tono|Tonalidad|Tonalidade|Key|KEY)\\s*[:\\-]\\s*\\[[^\\]]+\\]\\([^)]+\\)", true);
    forTexts ({ "Tono: [G](x)", "x\n  key - [A](b)", "Tonalidade:[G](x)", "Key: [G]()", "a Key: [G](x)" },
              { "\n", " ", "Key", "tono", "Tonalidad", "e", ":", "-", "[", "]", "(", ")", "G", "x" }, 12,
              [&] (const std::string& text) {
                  const bool expected = std::regex_search (text, re);
                  EXPECT_EQ (patterns::searchKeyLink (text), expected) << show (text);
                  return expected;
              });
}
} // namespace
} // namespace quorvelle::charts
