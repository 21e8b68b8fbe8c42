#include "charts/ChartImport.h"
#include "charts/ChartMethods.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace quorvelle::charts
{
namespace
{
using json = nlohmann::json;
namespace fs = std::filesystem;

fs::path fixtureFolder()
{
    if (const char* source = std::getenv ("QUORVELLE_SOURCE_DIR"))
        return fs::path (source) / "tests" / "fixtures" / "charts";
    return fs::path (QUORVELLE_CHART_FIXTURES);
}

std::string readFile (const fs::path& path)
{
    std::ifstream in (path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Blocks in the fixtures' compact form: content lines as [[[column, chord], ...], lyric].
json compactBlocks (const json& blocks)
{
    json out = json::array();
    for (const auto& block : blocks)
    {
        json content = json::array();
        for (const auto& line : block.at ("content"))
        {
            json chords = json::array();
            for (const auto& chord : line.at ("chords"))
                chords.push_back (json::array ({ chord.at ("column"), chord.at ("chord") }));
            content.push_back (json::array ({ chords, line.at ("lyric") }));
        }
        out.push_back ({ { "id", block.at ("id") },
                         { "detectedName", block.at ("detectedName") },
                         { "detectedType", block.at ("detectedType") },
                         { "detectedNumber", block.at ("detectedNumber") },
                         { "confidence", block.at ("confidence") },
                         { "content", content } });
    }
    return out;
}

TEST (ChartImport, FixturesGiveTheirExpectedResults)
{
    std::set<std::string> families, notations;
    int fixtures = 0;
    for (const auto& entry : fs::directory_iterator (fixtureFolder()))
    {
        const auto path = entry.path();
        const std::string file = path.filename().string();
        const std::string suffix = ".expected.json";
        if (file.size() <= suffix.size() || file.compare (file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const auto stem = file.substr (0, file.size() - suffix.size());
        const auto text = readFile (path.parent_path() / (stem + ".txt"));
        ASSERT_FALSE (text.empty()) << stem;
        const auto expected = json::parse (readFile (path));
        ++fixtures;
        for (const auto& c : expected.at ("cases"))
        {
            SCOPED_TRACE (stem + " with options " + c.at ("options").dump());
            const auto result = chartMethodParseChordChart ({ { "rawText", text }, { "options", c.at ("options") } });
            const auto& e = c.at ("expect");
            for (const char* key : { "detectedFamily", "familyConfidence", "detectedNotation", "notationConfidence",
                                     "warnings", "appliedRules" })
                EXPECT_EQ (result.at (key), e.at (key)) << key;
            EXPECT_EQ (compactBlocks (result.at ("blocks")), e.at ("blocks"));
            const json metadata { { "title", nullptr }, { "artist", nullptr }, { "sourceKey", e.at ("sourceKey") },
                                  { "bpm", nullptr },   { "timeSignature", nullptr }, { "capo", nullptr } };
            EXPECT_EQ (result.at ("metadata"), metadata);
            for (const auto& block : result.at ("blocks"))
                EXPECT_TRUE (block.at ("performanceNote").is_null());
            families.insert (e.at ("detectedFamily").get<std::string>());
            notations.insert (e.at ("detectedNotation").get<std::string>());
        }
    }
    EXPECT_GE (fixtures, 1);
    // Every layout family and every notation has a fixture.
    EXPECT_EQ (families, (std::set<std::string> { "A_brackets_chord_over_lyric", "B1_no_markers_inline_word",
                                                  "B2_minimal_markers", "C_cifraclub_markdown", "D_worship_plain_allcaps",
                                                  "E_hispanic_advanced", "F_brackets_with_measures", "G_chord_stacked",
                                                  "H_chordpro_inline", "unknown" }));
    EXPECT_EQ (notations, (std::set<std::string> { "american", "latin", "nashville", "roman" }));
}

TEST (ChartImport, EmptyAndBlankTexts)
{
    const auto empty = parseChordChartText ("", {});
    EXPECT_EQ (empty.warnings, std::vector<std::string> { "Texto vacío." });
    EXPECT_TRUE (empty.appliedRules.empty());
    EXPECT_EQ (empty.detectedFamily, ChartFamily::unknown);
    EXPECT_EQ (empty.detectedNotation, ChartNotation::undecided);
    EXPECT_EQ (empty.familyConfidence, ChartConfidence::medium);
    EXPECT_EQ (empty.notationConfidence, ChartConfidence::medium);
    EXPECT_TRUE (empty.blocks.empty());

    const auto spaces = parseChordChartText ("    ", {});
    EXPECT_EQ (spaces.warnings, std::vector<std::string> { "Texto vacío." });
    EXPECT_EQ (spaces.appliedRules, std::vector<std::string> { "trim_trailing_whitespace_per_line" });

    const auto feeds = parseChordChartText ("\n\n\n", {});
    ASSERT_FALSE (feeds.warnings.empty());
    EXPECT_EQ (feeds.warnings.back(), "No se detectaron bloques de contenido.");
    EXPECT_EQ (feeds.detectedNotation, ChartNotation::american);
}

TEST (ChartImport, BlockNumbersKeepTheirGaps)
{
    // The empty [Intro] uses up blk_1; the header at the end gives no block and no warning.
    const auto r = parseChordChartText ("[Intro]\n[Verse 1]\nG  D\nDios\n\nla la\n\n[Coro]\n", {});
    ASSERT_EQ (r.blocks.size(), 2u);
    EXPECT_EQ (r.blocks[0].id, "blk_2");
    EXPECT_EQ (r.blocks[0].detectedName, "[Verse 1]");
    EXPECT_EQ (r.blocks[1].id, "blk_3");
    EXPECT_EQ (r.warnings.back(), "Bloque blk_3 sin marcador explícito.");
}

TEST (ChartImport, ContentLinesPairChordsWithTheLyricBelow)
{
    const std::vector<std::string> lines { "G       D", "Dios es amor", "Em", "C  G", "la la", "sin acordes", "otra" };
    const auto content = buildBlockContent (lines, ChartNotation::american, "", ChartFamily::minimalMarkers);
    const std::vector<ChartContentLine> expected {
        { { { 0, "G" }, { 8, "D" } }, "Dios es amor" },
        { { { 0, "Em" } }, "" },
        { { { 0, "C" }, { 3, "G" } }, "la la" },
        { {}, "sin acordes" },
        { {}, "otra" },
    };
    EXPECT_EQ (content, expected);

    // Outside family H, inline markers are plain lyric text; inside it, plain chord lines are.
    EXPECT_EQ (buildBlockContent ({ "[G]Hola" }, ChartNotation::american, "", ChartFamily::bracketsChordOverLyric),
               (std::vector<ChartContentLine> { { {}, "[G]Hola" } }));
    EXPECT_EQ (buildBlockContent ({ "G D Em" }, ChartNotation::american, "", ChartFamily::chordProInline),
               (std::vector<ChartContentLine> { { {}, "G D Em" } }));
    // Columns are bytes in chord-over-lyric lines (a separator is skipped but keeps its place).
    EXPECT_EQ (extractChordPositions ("\xC3\x89 | G", ChartNotation::american, ""),
               (std::vector<ChartChord> { { 5, "G" } }));
}

TEST (ChartImport, InlineChordsCountCharacters)
{
    const std::pair<std::string, ChartContentLine> cases[] {
        { "[D]Señor [A]mío", { { { 0, "D" }, { 6, "A" } }, "Señor mío" } },
        { "[Intro] [G]Hola", { { { 8, "G" } }, "[Intro] Hola" } },
        { "[]x[G]", { { { 3, "G" } }, "[]x" } },
        { "[G", { {}, "[G" } },
        { "", { {}, "" } },
        { "[[G]x", { { { 1, "G" } }, "[x" } },
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ (parseInlineChordLine (line, ChartNotation::american, ""), expected) << line;
    EXPECT_EQ (parseInlineChordLine ("[Do]Hola [Sol]", ChartNotation::latin, ""),
               (ChartContentLine { { { 0, "C" }, { 5, "G" } }, "Hola " }));
    EXPECT_EQ (parseInlineChordLine ("[5]Hola", ChartNotation::nashville, "G"), (ChartContentLine { { { 0, "D" } }, "Hola" }));
}

TEST (ChartImport, LatinChordLinesConvertToLetters)
{
    EXPECT_TRUE (isChordLineInNotation ("Do  Sol", ChartNotation::latin));
    EXPECT_FALSE (isChordLineInNotation ("Do  Sol  amor", ChartNotation::latin));
    EXPECT_FALSE (isChordLineInNotation ("", ChartNotation::latin));
    EXPECT_TRUE (isChordLineInNotation ("| 1 - 4 |", ChartNotation::nashville));
    EXPECT_EQ (makeContentLine ("Do  Sol", "Dios es amor", ChartNotation::latin, ""),
               (ChartContentLine { { { 0, "C" }, { 4, "G" } }, "Dios es amor" }));
    EXPECT_EQ (makeContentLine ("", "solo letra", ChartNotation::american, ""), (ChartContentLine { {}, "solo letra" }));
}

TEST (ChartImport, LatinChordLinesSurviveTheHealing)
{
    const auto r = parseChordChartText ("[Verso]\nFa  Lam  Fa  Sol\nDios es amor\n", {});
    EXPECT_TRUE (r.appliedRules.empty());
    EXPECT_EQ (r.detectedNotation, ChartNotation::latin);
    ASSERT_EQ (r.blocks.size(), 1u);
    EXPECT_EQ (r.blocks[0].content,
               (std::vector<ChartContentLine> { { { { 0, "F" }, { 4, "Am" }, { 9, "F" }, { 13, "G" } }, "Dios es amor" } }));
}

TEST (ChartImport, DisplayOptionsChangeNothing)
{
    const std::string text = "[Coro]\nG  D\nDios es amor\nTitle: Gracias\nCapo 2\n";
    const auto plain = chordChartResultToJson (parseChordChartText (text, {}));
    ChordChartOptions display;
    display.displayNotation = ChartNotation::roman;
    display.strictSectionVocabulary = true;
    EXPECT_EQ (chordChartResultToJson (parseChordChartText (text, display)), plain);
    EXPECT_TRUE (plain.at ("metadata").at ("title").is_null());
    EXPECT_TRUE (plain.at ("metadata").at ("capo").is_null());
}
} // namespace
} // namespace quorvelle::charts
