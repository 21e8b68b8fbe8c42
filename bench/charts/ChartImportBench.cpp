// Import throughput on a corpus of generated charts of every layout family and notation, and the
// time of each long input that the importer and the chord methods must survive.
#include "charts/ChartImport.h"
#include "charts/ChartMethods.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

namespace
{
using namespace quorvelle::charts;
using json = nlohmann::json;

constexpr std::size_t kMegabyte = 1 << 20;

struct Generator
{
    std::mt19937 rng { 7 };

    template <typename T>
    const T& pick (const std::vector<T>& items)
    {
        return items[std::uniform_int_distribution<std::size_t> (0, items.size() - 1) (rng)];
    }

    int between (int low, int high) { return std::uniform_int_distribution<int> (low, high) (rng); }

    std::string lyric()
    {
        static const std::vector<std::string> words { "dios", "es", "amor", "grande", "tu", "fidelidad", "santo", "señor",
                                                      "cielo", "gracia", "canta", "conmigo", "por", "siempre", "eres",
                                                      "rey", "luz", "camino", "verdad", "vida" };
        std::string line = pick (words);
        line[0] = char (line[0] - 32);
        for (int n = between (2, 7); n > 0; --n)
            line += " " + pick (words);
        return line;
    }

    // A chord line with chords at increasing columns in the given notation's names.
    std::string chordLine (const std::vector<std::string>& chords)
    {
        std::string line;
        for (int n = between (2, 4); n > 0; --n)
        {
            if (! line.empty())
                line += std::string ((std::size_t) between (2, 8), ' ');
            line += pick (chords);
        }
        return line;
    }

    std::string chart (int index)
    {
        static const std::vector<std::string> american { "G", "D", "Em", "C", "Am7", "D/F#", "Cmaj7", "Bm", "F#m7b5", "Esus4" };
        static const std::vector<std::string> latin { "Sol", "Re", "Mim", "Do", "Lam7", "Re/Fa#", "Sim", "Fa" };
        static const std::vector<std::string> nashville { "1", "4", "5", "6m", "2m7", "5/7", "b7", "4sus" };
        static const std::vector<std::string> roman { "I", "IV", "V", "vi", "ii7", "V/VII", "bVII", "iii" };
        static const std::vector<std::string> sections { "[Verso 1]", "[Coro]", "[Puente]", "[Intro]", "[Verse 2]", "[Chorus]" };
        std::string text;
        const auto pairs = [&] (const std::vector<std::string>& chords, int count) {
            for (int i = 0; i < count; ++i)
                text += chordLine (chords) + "\n" + lyric() + "\n";
        };
        switch (index % 12)
        {
            case 0: // A
            case 1:
                for (int s = between (2, 4); s > 0; --s)
                {
                    text += pick (sections) + "\n";
                    pairs (american, between (2, 4));
                    text += "\n";
                }
                break;
            case 2: // B1
                text += "Verso 1: " + chordLine (american) + "\n";
                pairs (american, 4);
                break;
            case 3: // B2
                pairs (american, between (4, 8));
                break;
            case 4: // C
                text += "Tono: [G](https://example.com/tono)\n\n[Coro]\n";
                pairs (american, 4);
                break;
            case 5: // D
                text += "VERSO 1\n";
                pairs (american, 3);
                text += "\nCORO\n";
                pairs (american, 3);
                break;
            case 6: // E and F
                text += "[Intro]\n| G | D | % | Em |\nG /// D ///\n\n[Coro]\n";
                pairs (american, 3);
                break;
            case 7: // G
                text += "[Intro]\nG\nD\nEm\nC\n";
                break;
            case 8: // H
                text += "{soc}\n";
                for (int i = 0; i < 6; ++i)
                    text += "[" + pick (american) + "]" + lyric() + " [" + pick (american) + "]" + lyric() + "\n";
                text += "{eoc}\n";
                break;
            case 9: // Latin with a key line, watermarks and look-alike characters
                text += "Tono: G\r\n\r\n[Verso]\r\n";
                for (int i = 0; i < 4; ++i)
                    text += chordLine (latin) + "\xC2\xA0\r\n" + lyric() + "\r\n";
                text += "CCLI Song # 1234567\r\n\xC2\xA9 2020 Songs\r\n";
                break;
            case 10: // Nashville and Roman without a key
                text += "[Verse 1]\n";
                pairs (index % 24 < 12 ? nashville : roman, 4);
                break;
            default: // glued chords and lyrics only
                text += "[Coro]\nGglory Cto Dyou\nAmigo Dven Ctu\n\n" + lyric() + "\n" + lyric() + "\n";
                break;
        }
        return text;
    }
};

const std::vector<std::string>& corpus()
{
    static const std::vector<std::string> charts = [] {
        Generator g;
        std::vector<std::string> out;
        for (int i = 0; i < 1000; ++i)
            out.push_back (g.chart (i));
        return out;
    }();
    return charts;
}

std::size_t corpusBytes()
{
    std::size_t bytes = 0;
    for (const auto& chart : corpus())
        bytes += chart.size();
    return bytes;
}

void BM_ParseCorpusOf1000Charts (benchmark::State& state)
{
    const auto& charts = corpus();
    const auto bytes = corpusBytes();
    for (auto _ : state)
        for (const auto& chart : charts)
            benchmark::DoNotOptimize (parseChordChartText (chart, {}));
    state.SetBytesProcessed ((std::int64_t) (bytes * state.iterations()));
    state.counters["charts"] = (double) charts.size();
    state.counters["corpusBytes"] = (double) bytes;
}
BENCHMARK (BM_ParseCorpusOf1000Charts)->Unit (benchmark::kMillisecond);

void BM_ParseCorpusThroughMethod (benchmark::State& state)
{
    const auto& charts = corpus();
    const auto bytes = corpusBytes();
    for (auto _ : state)
        for (const auto& chart : charts)
            benchmark::DoNotOptimize (chartMethodParseChordChart ({ { "rawText", chart } }).dump());
    state.SetBytesProcessed ((std::int64_t) (bytes * state.iterations()));
}
BENCHMARK (BM_ParseCorpusThroughMethod)->Unit (benchmark::kMillisecond);

std::string lyricMegabyte()
{
    static const std::string words = "dios es amor y gracia sin fin canta conmigo ";
    std::string text;
    while (text.size() < kMegabyte)
        text += words;
    text.pop_back();
    return text;
}

// One long input, timed through the method that receives it.
void runLong (benchmark::State& state, json (*method) (const json&), const json& payload)
{
    for (auto _ : state)
        benchmark::DoNotOptimize (method (payload));
}

const std::string kSpacedKey = "A" + std::string (kMegabyte, ' ') + "x";

BENCHMARK_CAPTURE (runLong, lyricLine1MB, chartMethodParseChordChart, json { { "rawText", lyricMegabyte() } })->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, copyrightLine1MB, chartMethodParseChordChart, json { { "rawText", "\xC2\xA9 2020 " + lyricMegabyte() } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, webAddress1MB, chartMethodParseChordChart, json { { "rawText", "http://" + std::string (kMegabyte, 'x') } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, keyLinkOpened1MB, chartMethodParseChordChart, json { { "rawText", "Key: [" + lyricMegabyte() } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, braceAndSpaces1MB, chartMethodParseChordChart, json { { "rawText", "{" + std::string (kMegabyte, ' ') } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, inlineBracketsInNashville1MB, chartMethodParseChordChart,
                   json { { "rawText", "{soc}\n" + std::string (kMegabyte, '[') + "x]y\n1 4 5\n1 4 5\n" } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, blankLines100000, chartMethodParseChordChart, json { { "rawText", std::string (100000, '\n') } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, transposeChord1MB, chartMethodTransposeChord,
                   json { { "chord", "A" + std::string (kMegabyte, 'x') }, { "semitones", 2 } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, transformChordLine1MB, chartMethodTransformChordLine, json { { "line", lyricMegabyte() }, { "semitones", 2 } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, getSongKeyIndexSpaced1MB, chartMethodGetSongKeyIndex, json { { "songKey", kSpacedKey } })
    ->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (runLong, nashvilleSongKeySpaced1MB, chartMethodParseChordChart,
                   json { { "rawText", "[Verse]\n1   4   5\nDios es amor\n" }, { "options", { { "songKey", kSpacedKey } } } })
    ->Unit (benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
