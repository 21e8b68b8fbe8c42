// FLAC import of 8 stereo 44.1 kHz 16-bit WAVs (60 s each) with the transcoder's own worker
// count (hardware threads - 1), against `flac -5` on the same files under `xargs -P (hw - 1)`,
// both timed in the same run. Counters: ours_s, flac_s and speed_ratio = flac_s / ours_s
// (above 1: the transcoder is faster).
#include "audio/loading/Transcoder.h"

#include "tests/support/AudioFixtures.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace quorvelle;

namespace
{
constexpr int files = 8;
constexpr int seconds = 60;

// Music-like material (a few partials and a little noise) that FLAC compresses as it would songs.
juce::AudioBuffer<float> material (int index)
{
    const int samples = 44100 * seconds;
    juce::AudioBuffer<float> buffer (2, samples);
    juce::Random random (index);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < samples; ++i)
        {
            const double t = i / 44100.0;
            buffer.setSample (c, i, (float) (0.3 * std::sin (2.0 * M_PI * (110.0 + 20 * index) * t + c) + 0.15 * std::sin (2.0 * M_PI * 660.0 * t)
                                             + 0.05 * (random.nextFloat() - 0.5f)));
        }
    return buffer;
}

void flacImport (benchmark::State& state)
{
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("quorvelle-transcode-bench");
    folder.deleteRecursively();
    const auto sources = folder.getChildFile ("sources"), ours = folder.getChildFile ("ours"), theirs = folder.getChildFile ("flac");
    sources.createDirectory();
    theirs.createDirectory();
    for (int i = 0; i < files; ++i)
        test::writeAudioFile (sources.getChildFile ("stem" + juce::String (i) + ".wav"), material (i), 44100.0, test::FixtureFormat::wav16);

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::atomic<int> completed { 0 };
    TranscoderThread transcoder (formats, [&ours] { return ours; }, [&completed] (const juce::var& event)
    {
        if (event.getProperty ("action", {}).toString() == "TRANSCODE_COMPLETE")
            ++completed;
    });

    const auto workers = std::max (1u, std::thread::hardware_concurrency() - 1u);
    const auto command = "cd '" + sources.getFullPathName() + "' && ls *.wav | xargs -P " + juce::String (workers)
                         + " -I{} flac -5 -s -f -o '" + theirs.getFullPathName() + "/{}.flac' {}";

    double oursTotal = 0, flacTotal = 0;
    for (auto _ : state)
    {
        completed = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < files; ++i)
        {
            TranscodeJob job;
            job.id = juce::String (i);
            job.trackId = "t" + juce::String (i);
            job.filename = "stem" + juce::String (i) + ".wav";
            job.sourcePath = sources.getChildFile (job.filename).getFullPathName();
            transcoder.enqueue (std::move (job));
        }
        while (completed.load() < files)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        const auto middle = std::chrono::steady_clock::now();
        if (std::system (command.toRawUTF8()) != 0)
            state.SkipWithError ("flac failed");
        const auto end = std::chrono::steady_clock::now();

        const double oursSeconds = std::chrono::duration<double> (middle - start).count();
        oursTotal += oursSeconds;
        flacTotal += std::chrono::duration<double> (end - middle).count();
        state.SetIterationTime (oursSeconds);
    }
    state.counters["ours_s"] = oursTotal / (double) state.iterations();
    state.counters["flac_s"] = flacTotal / (double) state.iterations();
    state.counters["speed_ratio"] = flacTotal / oursTotal;
    folder.deleteRecursively();
}
} // namespace

BENCHMARK (flacImport)->UseManualTime()->Iterations (3)->Unit (benchmark::kMillisecond);
BENCHMARK_MAIN();
