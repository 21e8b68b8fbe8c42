// Long and malformed inputs: each case must come back with a real answer and without crashing.
// Each case is its own CTest test, bounded by the test's TIMEOUT, so a hang or a search that grows
// with the square of the input fails here; the benchmark shows the times.
#include "charts/ChartImport.h"
#include "charts/ChartMethods.h"
#include "charts/Transposition.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace quorvelle::charts
{
namespace
{
using json = nlohmann::json;

constexpr std::size_t kMegabyte = 1 << 20;

// About 1 MB of lower-case lyric words, without a final space.
std::string lyricMegabyte()
{
    static const std::string words = "dios es amor y gracia sin fin canta conmigo ";
    std::string text;
    text.reserve (kMegabyte + words.size());
    while (text.size() < kMegabyte)
        text += words;
    text.pop_back();
    return text;
}

const std::string& warningsOf (const json& result, std::size_t index)
{
    return result.at ("warnings").at (index).get_ref<const std::string&>();
}

json parse (const std::string& text, const json& options = json::object())
{
    return chartMethodParseChordChart ({ { "rawText", text }, { "options", options } });
}

struct LongCase
{
    std::string name;
    std::function<void()> run;
};

void PrintTo (const LongCase& c, std::ostream* os) { *os << c.name; }

class LongInput : public ::testing::TestWithParam<LongCase>
{
};

TEST_P (LongInput, AnswersWithoutCrashing) { GetParam().run(); }

const LongCase kLongCases[] {
    { "lyricLine",
      [] {
          const auto line = lyricMegabyte();
          const auto result = parse (line);
          ASSERT_EQ (result.at ("blocks").size(), 1u);
          EXPECT_EQ (result.at ("blocks")[0].at ("content")[0].at ("lyric"), line);
          EXPECT_EQ (result.at ("detectedFamily"), "unknown");
      } },
    { "copyrightLine",
      [] {
          const auto result = parse ("\xC2\xA9 2020 " + lyricMegabyte());
          EXPECT_EQ (result.at ("appliedRules"), json::array ({ "strip_watermarks" }));
          EXPECT_EQ (result.at ("warnings"), json::array ({ "Texto vacío." }));
      } },
    { "webAddressLine",
      [] {
          const auto result = parse ("http://" + std::string (kMegabyte, 'x'));
          EXPECT_EQ (result.at ("appliedRules"), json::array ({ "strip_watermarks" }));
          EXPECT_EQ (result.at ("warnings"), json::array ({ "Texto vacío." }));
      } },
    { "webAddressWithWords",
      [] {
          const auto result = parse ("http://" + lyricMegabyte());
          EXPECT_EQ (result.at ("appliedRules"), json::array());
          EXPECT_EQ (result.at ("blocks").size(), 1u);
      } },
    { "keyLinkOpened",
      [] {
          // A metadata line: no blocks; its value names no key.
          const auto result = parse ("Key: [" + lyricMegabyte());
          EXPECT_EQ (result.at ("metadata").at ("sourceKey"), nullptr);
          EXPECT_EQ (result.at ("warnings").back(), "No se detectaron bloques de contenido.");
      } },
    { "keyLinkOfBrackets",
      [] {
          const auto result = parse ("Tono: " + std::string (kMegabyte, '[') + "\n[G]Hola [D]mundo\n");
          EXPECT_EQ (result.at ("metadata").at ("sourceKey"), nullptr);
      } },
    { "braceAndSpaces",
      [] {
          const auto result = parse ("{" + std::string (kMegabyte, ' '));
          ASSERT_EQ (result.at ("blocks").size(), 1u);
          EXPECT_EQ (result.at ("blocks")[0].at ("content")[0].at ("lyric"), "{");
          EXPECT_EQ (result.at ("detectedFamily"), "unknown");
      } },
    { "braceSpacesAndWord",
      [] {
          // The directive search skips the spaces and finds "soc".
          const auto result = parse ("{" + std::string (kMegabyte, ' ') + "soc}\n[G]Hola");
          EXPECT_EQ (result.at ("detectedFamily"), "H_chordpro_inline");
          EXPECT_EQ (result.at ("familyConfidence"), "high");
      } },
    { "inlineBrackets",
      [] {
          // The first line's marker holds all the other brackets, so it is no chord marker: one
          // marker line only, and the chart is not read inline.
          const auto result = parse (std::string (kMegabyte / 2, '[') + "G]x\n[G]Hola\n");
          EXPECT_EQ (result.at ("detectedFamily"), "unknown");
          EXPECT_EQ (result.at ("blocks")[0].at ("content")[1].at ("lyric"), "[G]Hola");
      } },
    { "inlineBracketsInNashville",
      [] {
          // Read inline in Nashville notation: every '[' of the first line is offered the rest of
          // the line up to the one ']' as a chord, and each is turned down without a search
          // through it. Two megabytes, so that a search at each '[' would outlast the timeout.
          const std::string brackets (2 * kMegabyte, '[');
          const auto result = parse ("{soc}\n" + brackets + "x]y\n1 4 5\n1 4 5\n");
          EXPECT_EQ (result.at ("detectedFamily"), "H_chordpro_inline");
          EXPECT_EQ (result.at ("detectedNotation"), "nashville");
          const auto& first = result.at ("blocks")[0].at ("content")[0];
          EXPECT_EQ (first.at ("lyric"), brackets + "x]y");
          EXPECT_EQ (first.at ("chords"), json::array());
      } },
    { "blankLines",
      [] {
          const auto result = parse (std::string (100000, '\n'));
          EXPECT_EQ (warningsOf (result, result.at ("warnings").size() - 1), "No se detectaron bloques de contenido.");
      } },
    { "blankLinesWithKeyLabels",
      [] {
          std::string text;
          for (int i = 0; i < 100000; ++i)
              text += "Key: [G]\n\n";
          const auto result = parse (text);
          EXPECT_EQ (result.at ("detectedFamily"), "H_chordpro_inline");
          // "[G]" without a link target is no key.
          EXPECT_EQ (result.at ("metadata").at ("sourceKey"), nullptr);
      } },
    { "transposeLongChord",
      [] {
          const auto result = chartMethodTransposeChord ({ { "chord", "A" + std::string (kMegabyte, 'x') }, { "semitones", 2 } });
          EXPECT_EQ (result, "B" + std::string (kMegabyte, 'x'));
      } },
    { "transformLongLine",
      [] {
          const auto line = lyricMegabyte() + " G";
          EXPECT_EQ (chartMethodTransformChordLine ({ { "line", line }, { "semitones", 2 } }), lyricMegabyte() + " A");
      } },
    { "songKeyWithSpaces",
      [] {
          EXPECT_EQ (chartMethodGetSongKeyIndex ({ { "songKey", "A" + std::string (kMegabyte, ' ') + "x" } }), 0);
      } },
    { "songKeyOptionOnNashvilleChart",
      [] {
          const auto songKey = "A" + std::string (kMegabyte, ' ') + "x";
          const auto result = parse ("[Verse]\n1   4   5\nDios es amor\n", { { "songKey", songKey } });
          EXPECT_EQ (result.at ("detectedNotation"), "nashville");
          EXPECT_EQ (result.at ("warnings").back(), "Notación Nashville sin tonalidad explícita — se interpretará en " + songKey
                                                       + " (tonalidad de la canción).");
          // The song key names no key, so no degree converts into a chord.
          EXPECT_EQ (result.at ("blocks")[0].at ("content")[0].at ("chords"), json::array());
      } },
};

INSTANTIATE_TEST_SUITE_P (Charts, LongInput, ::testing::ValuesIn (kLongCases),
                          [] (const ::testing::TestParamInfo<LongCase>& info) { return info.param.name; });

TEST (MalformedInput, InvalidUtf8ComesBackWithoutCrashing)
{
    for (const std::string& bytes : { std::string ("\xED\xA0\x80"), std::string ("\xF4\x90\x80\x80"), std::string ("\xFF"),
                                     std::string ("\xE2\x99") })
    {
        const auto chart = parseChordChartText ("[Coro]\nG " + bytes + " D\n" + bytes + "la\n", {});
        EXPECT_FALSE (chart.warnings.empty());
        const auto line = "G " + bytes + " D" + bytes;
        EXPECT_EQ (transformChordLineText (line, 0, ChordLineNotation::american, 0, false), line);
    }
}
} // namespace
} // namespace quorvelle::charts
