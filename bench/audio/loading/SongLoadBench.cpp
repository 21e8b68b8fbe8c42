// A song load from loadSession to SESSION_LOADED for 10 stereo 4-minute stems at 44.1 kHz, as 16-bit
// WAV, 24-bit WAV and FLAC, against the reference decoders on the same files in the same run:
// `sox … -t raw /dev/null` (and `flac -d -c` for FLAC) under `xargs -P <our worker count>`.
// Counters: ratio = peer seconds / our seconds (target ≥ 1), the peak resident size of this
// process against the decoded size (16-bit storage for sources of up to 16 bits, float beyond).
// Run one format per process for a clean peak: --benchmark_filter=songLoad/0 (1, 2).
#include "audio/engine/AudioEngine.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/PeakMemory.h"

#include "bench/JuceBenchmarkMain.h"
#include "bench/PeerCommand.h"

#include <chrono>
#include <cstdlib>

using namespace quorvelle;

namespace
{
using bench::Clock;
using bench::runShell;
using bench::secondsSince;

constexpr int numStems = 10;
constexpr int stemSamples = 44100 * 240;

struct FormatCase
{
    const char* name;
    const char* extension;
    test::FixtureFormat format;
    int bytesPerStoredSample;
};
const FormatCase formatCases[] = { { "wav16", "wav", test::FixtureFormat::wav16, 2 },
                                   { "wav24", "wav", test::FixtureFormat::wav24, 4 },
                                   { "flac16", "flac", test::FixtureFormat::flac16, 2 } };

void songLoad (benchmark::State& state)
{
    const auto& format = formatCases[state.range (0)];
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("quorvelle-song-load-bench").getChildFile (format.name);
    folder.deleteRecursively();
    folder.createDirectory();
    {
        const auto audio = test::makeNoise (2, stemSamples, 0.25f, 3);
        for (int i = 0; i < numStems; ++i)
            test::writeAudioFile (folder.getChildFile ("stem" + juce::String (i) + "." + format.extension), audio, 44100.0, format.format);
    }

    juce::Array<juce::var> stems;
    for (int i = 0; i < numStems; ++i)
    {
        auto* stem = new juce::DynamicObject();
        stem->setProperty ("id", "stem" + juce::String (i));
        stem->setProperty ("url", "file://" + folder.getChildFile ("stem" + juce::String (i) + "." + format.extension).getFullPathName());
        stems.add (juce::var (stem));
    }
    const juce::var tracks (stems);

    int loaded = 0;
    AudioEngine engine ([&loaded] (const juce::String&, const juce::var& e)
                        { loaded += e.getProperty ("action", {}).toString() == "SESSION_LOADED" ? 1 : 0; },
                        [folder] { return folder.getChildFile ("root"); });
    const auto workers = engine.getTrackLoader().workerCount (numStems);

    const auto list = "cd '" + folder.getFullPathName() + "' && ls *." + format.extension + " | xargs -P " + juce::String (workers) + " -I{} ";
    double oursTotal = 0, soxTotal = 0, flacTotal = 0;
    int rounds = 0;
    for (auto _ : state)
    {
        const auto before = loaded;
        const auto start = Clock::now();
        engine.loadSession (tracks, {}, {}, {}, {}, 120.0, 800, "bench", true, 0.0);
        if (! test::runMessageLoopUntil ([&] { return loaded > before; }, 600000))
        {
            state.SkipWithError ("no SESSION_LOADED");
            return;
        }
        oursTotal += secondsSince (start);
        soxTotal += runShell (list + "sox {} -t raw /dev/null");
        if (juce::String (format.extension) == "flac")
            flacTotal += runShell (list + "sh -c 'flac -d -s -c {} > /dev/null'");
        ++rounds;
    }

    const double decodedMiB = (double) numStems * 2 * stemSamples * format.bytesPerStoredSample / 1048576.0;
    state.counters["ours_s"] = oursTotal / rounds;
    state.counters["sox_s"] = soxTotal / rounds;
    state.counters["ratio_sox"] = soxTotal / oursTotal;
    if (flacTotal > 0)
    {
        state.counters["flac_s"] = flacTotal / rounds;
        state.counters["ratio_flac"] = flacTotal / oursTotal;
    }
    state.counters["workers"] = workers;
    state.counters["decoded_MiB"] = decodedMiB;
    state.counters["peak_rss_MiB"] = (double) test::peakResidentMiB();
    state.SetLabel (format.name);
    folder.deleteRecursively();
}
BENCHMARK (songLoad)->DenseRange (0, 2)->Iterations (1)->Unit (benchmark::kSecond)->UseRealTime();
} // namespace

int main (int argc, char** argv) { return quorvelle::bench::runWithJuce (argc, argv); }
