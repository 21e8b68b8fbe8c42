#include "charts/ChartBlocks.h"
#include "charts/ChartFamily.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvelle::charts
{
namespace
{
using Signals = std::vector<std::string>;

TEST (ChartFamilyDetection, RulesInOrderWithTheirSignals)
{
    struct Case
    {
        std::string name, text;
        ChartFamily family;
        ChartConfidence confidence;
        Signals signals;
    };
    const Case cases[] {
        { "soc directive", "{soc}\n[G]Cuan grande", ChartFamily::chordProInline, ChartConfidence::high,
          { "ChordPro inline patterns detected" } },
        { "long directive only", "{start_of_chorus}\nla la", ChartFamily::unknown, ChartConfidence::low,
          { "no recognizable format signals" } },
        { "two inline lines", "[G]Cuan grande [D]es\nTu [Em]fidelidad", ChartFamily::chordProInline,
          ChartConfidence::medium, { "ChordPro inline patterns detected" } },
        { "one inline line", "[G]Cuan grande [D]es", ChartFamily::unknown, ChartConfidence::low,
          { "no recognizable format signals" } },
        { "lone markers and links", "[G]\n[G](x) hola\nhola [G](y)", ChartFamily::unknown, ChartConfidence::low,
          { "no recognizable format signals" } },
        { "brackets over chord lines", "[Coro]\nG   D\nDios es amor", ChartFamily::bracketsChordOverLyric,
          ChartConfidence::high, { "detected bracket section markers", "detected chord-over-lyric pattern" } },
        { "brackets alone", "[Coro]\nDios es amor", ChartFamily::bracketsChordOverLyric, ChartConfidence::medium,
          { "detected bracket section markers" } },
        { "brackets and bars", "[Intro]\n| G | D | % |", ChartFamily::bracketsWithMeasures, ChartConfidence::high,
          { "detected bracket section markers", "measure notation detected" } },
        { "stacked", "G\nD\nEm\nC\nG D", ChartFamily::chordStacked, ChartConfidence::high,
          { "chord-stacked pattern detected" } },
        { "not stacked", "G\nD\nEm\nC\nG D\nC D", ChartFamily::unknown, ChartConfidence::low,
          { "no recognizable format signals" } },
        { "key link wins over brackets", "Tono: [G](https://x)\n[Coro]\nG D\nDios es amor", ChartFamily::cifraclubMarkdown,
          ChartConfidence::high,
          { "detected bracket section markers", "detected chord-over-lyric pattern", "Cifraclub markdown link detected" } },
        { "slashes", "[Coro]\nG /// D ///\nDios", ChartFamily::hispanicAdvanced, ChartConfidence::high,
          { "detected bracket section markers", "hispanic advanced patterns detected" } },
        { "inline colon", "Verso 1: G D Em\nG  D\nDios es amor", ChartFamily::noMarkersInlineWord, ChartConfidence::medium,
          { "detected chord-over-lyric pattern", "inline colon markers detected" } },
        { "chord over lyric only", "G  D\nDios es amor", ChartFamily::minimalMarkers, ChartConfidence::low,
          { "detected chord-over-lyric pattern" } },
        { "caps without chords", "CORO\nDios es amor", ChartFamily::unknown, ChartConfidence::low,
          { "ALL CAPS section markers detected", "no recognizable format signals" } },
        { "caps over chord lines", "CORO\nG  D\nDios es amor", ChartFamily::worshipPlainAllCaps, ChartConfidence::high,
          { "detected chord-over-lyric pattern", "ALL CAPS section markers detected" } },
        { "nothing", "Dios es amor", ChartFamily::unknown, ChartConfidence::low, { "no recognizable format signals" } },
        { "chord shapes heading", "Acordes usados: G D\nG D\nDios", ChartFamily::hispanicAdvanced, ChartConfidence::high,
          { "detected chord-over-lyric pattern", "hispanic advanced patterns detected" } },
    };
    for (const auto& c : cases)
    {
        const auto d = detectChartFamily (c.text);
        EXPECT_EQ (d.family, c.family) << c.name;
        EXPECT_EQ (d.confidence, c.confidence) << c.name;
        EXPECT_EQ (d.signals, c.signals) << c.name;
    }
    EXPECT_EQ (countInlineChordLines ("[G]Cuan grande [D]es\nG D\nTu [Em]fidelidad [x] y [C]"), 2);
}

TEST (ChartBlocks, HeaderLinesAndTheirParts)
{
    struct Case
    {
        std::string line;
        bool header;
        std::string name, rest;
    };
    const Case cases[] {
        { "[Verse 1]", true, "[Verse 1]", "" },
        { "Verse 1:", true, "Verse 1:", "" },
        { "[Chorus] G D", true, "[Chorus]", "G D" },
        { "Intro: G D Em C", true, "Intro:", "G D Em C" },
        { "{c: Coro}", true, "{c: Coro}", "" },
        { "  CORO 2", true, "  CORO 2", "" },
        { "CORO x2", true, "CORO x2", "" },
        { "(Coro)", true, "(Coro)", "" },
        { "-- Coro --", true, "-- Coro --", "" },
        { "== Coro ==", true, "== Coro ==", "" },
        { "**Coro**", true, "**Coro**", "" },
        { "[]", false, "", "" },
        { "{soc}", true, "{soc}", "" },
        { "{start_of_verse: 2}", true, "{start_of_verse: 2}", "" },
        { "{eoc}", false, "", "" },
        { "{title: Gracias}", false, "", "" },
        { "Verso 2a", false, "", "" },
        { "Coro final", false, "", "" },
        { "Coro 2x", false, "", "" },
        { "Intro: Do Sol", false, "", "" },
        { "Dios es amor", false, "", "" },
        { "Verso uno dos tres cuatro", false, "", "" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ (isHeaderLine (c.line), c.header) << c.line;
        if (c.header)
        {
            const auto parts = splitHeaderLine (c.line);
            EXPECT_EQ (parts.name, c.name) << c.line;
            EXPECT_EQ (parts.rest, c.rest) << c.line;
        }
    }
}

TEST (ChartBlocks, SectionInfoOfNames)
{
    struct Case
    {
        std::string name;
        SectionType type;
        std::optional<std::int32_t> number;
        ChartConfidence confidence;
    };
    const Case cases[] {
        { "[Verse 1]", SectionType::verse, 1, ChartConfidence::high },
        { "CORO x2", SectionType::chorus, std::nullopt, ChartConfidence::high },
        { "Coro 2", SectionType::chorus, 2, ChartConfidence::high },
        { "Primera parte", SectionType::verse, 1, ChartConfidence::medium },
        { "Ponte", SectionType::bridge, std::nullopt, ChartConfidence::medium },
        { "Puente", SectionType::bridge, std::nullopt, ChartConfidence::high },
        { "{soc}", SectionType::chorus, std::nullopt, ChartConfidence::high },
        { "{start_of_verse: 2}", SectionType::verse, std::nullopt, ChartConfidence::high },
        { "{c: Coro 2}", SectionType::chorus, 2, ChartConfidence::high },
        { "Pre-coro:", SectionType::preChorus, std::nullopt, ChartConfidence::high },
        { "Verso 99999999999 2", SectionType::verse, 2, ChartConfidence::high },
        { "INTRODUCCI\xC3\x93N", SectionType::custom, std::nullopt, ChartConfidence::low },
        { "Introducci\xC3\xB3n", SectionType::intro, std::nullopt, ChartConfidence::high },
        { "Coro seccion 2", SectionType::chorus, 2, ChartConfidence::high },
        { "Coro secci\xC3\xB3n 2", SectionType::custom, 2, ChartConfidence::low },
        { "Verse second", SectionType::verse, 2, ChartConfidence::high },
        { "Interludio 3", SectionType::interlude, 3, ChartConfidence::high },
        { "Mi parte 3", SectionType::custom, 3, ChartConfidence::low },
        { "Verso X3 4", SectionType::verse, 4, ChartConfidence::high }, // a repeat count is no number
        { "Coro 2X 3", SectionType::custom, 3, ChartConfidence::low },
        { "", SectionType::custom, std::nullopt, ChartConfidence::low },
    };
    for (const auto& c : cases)
    {
        const auto info = sectionInfoForName (c.name);
        EXPECT_EQ (info.type, c.type) << c.name;
        EXPECT_EQ (info.number, c.number) << c.name;
        EXPECT_EQ (info.confidence, c.confidence) << c.name;
    }
}

TEST (ChartBlocks, MetadataLines)
{
    for (const std::string line : { "Key: G", "Tono - Bb", "Capo 2", "BPM 120", "Time signature 3/4", "Title",
                                    "\xE2\x80\xA2 \xE2\x80\xA2 \xE2\x80\xA2", "\xE2\x80\xA2", "  tempo: 72 bpm" })
        EXPECT_TRUE (isMetadataLine (line)) << line;
    for (const std::string line : { "Key of the song", "Keys", "Music by the choir", "\xE2\x80\xA2 G", "", "Dios" })
        EXPECT_FALSE (isMetadataLine (line)) << line;
}

TEST (ChartBlocks, BlocksAreCutAtHeadersAndBlankLinesAndMerged)
{
    struct ExpectedBlock
    {
        std::optional<std::string> name;
        std::vector<std::string> lines;
    };
    struct Case
    {
        std::string text;
        std::vector<ExpectedBlock> blocks;
    };
    const Case cases[] {
        { "", {} },
        { "\n\n", {} },
        { "[Coro]\n\nG D\nDios\n\nla la\n[Verso]\nx", { { "[Coro]", { "G D", "Dios", "la la" } }, { "[Verso]", { "x" } } } },
        { "[Coro]\nG D\n\nla la", { { "[Coro]", { "G D" } }, { std::nullopt, { "la la" } } } },
        { "[Intro]\n[Verse 1]\na\nb", { { "[Intro]", {} }, { "[Verse 1]", { "a", "b" } } } },
        { "a\nKey: G\n  b", { { std::nullopt, { "a", "  b" } } } },
        { "Intro: G D\nEm", { { "Intro:", { "G D", "Em" } } } },
        { "a\n[Coro]", { { std::nullopt, { "a" } }, { "[Coro]", {} } } },
    };
    for (const auto& c : cases)
    {
        const auto blocks = splitChartBlocks (c.text);
        ASSERT_EQ (blocks.size(), c.blocks.size()) << c.text;
        for (std::size_t i = 0; i < blocks.size(); ++i)
        {
            EXPECT_EQ (blocks[i].name, c.blocks[i].name) << c.text;
            EXPECT_EQ (blocks[i].lines, c.blocks[i].lines) << c.text;
        }
    }
}
} // namespace
} // namespace quorvelle::charts
