// Reported only, no target: (1) the transcoder's resampling import of 48 kHz sources against
// `sox -r 44100 -b 16 | flac -5` and `ffmpeg -ar 44100 -sample_fmt s16 -c:a flac`, each with the
// SNR of a resampled 1 kHz sine (a least-squares fit of a 1 kHz sine removed, the rest counted
// as noise, the first and last 0.1 s left out); (2) the dialogs' folder scan over 10,000 files
// against `find -type f`.
#include "audio/loading/Transcoder.h"
#include "platform/Dialogs.h"

#include "tests/support/AudioFixtures.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

using namespace quorvelle;

namespace
{
using Clock = std::chrono::steady_clock;

double secondsSince (Clock::time_point start) { return std::chrono::duration<double> (Clock::now() - start).count(); }

// SNR in dB of the first channel of a 44.1 kHz file that should hold a 1 kHz sine.
double sineSnr (const juce::File& file)
{
    double rate = 0;
    const auto audio = test::readAudioFile (file, &rate);
    if (audio.getNumSamples() == 0 || rate <= 0)
        return 0;
    const int from = (int) (rate * 0.1), to = audio.getNumSamples() - (int) (rate * 0.1);
    double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
    for (int i = from; i < to; ++i)
    {
        const double s = std::sin (2.0 * M_PI * 1000.0 * i / rate), c = std::cos (2.0 * M_PI * 1000.0 * i / rate);
        const double x = audio.getSample (0, i);
        ss += s * s, sc += s * c, cc += c * c, xs += x * s, xc += x * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
    double signal = 0, noise = 0;
    for (int i = from; i < to; ++i)
    {
        const double fit = a * std::sin (2.0 * M_PI * 1000.0 * i / rate) + b * std::cos (2.0 * M_PI * 1000.0 * i / rate);
        const double r = audio.getSample (0, i) - fit;
        signal += fit * fit, noise += r * r;
    }
    return 10.0 * std::log10 (signal / std::max (noise, 1e-30));
}

void resampleImport (benchmark::State& state)
{
    constexpr int files = 8;
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("quorvelle-resample-bench");
    folder.deleteRecursively();
    const auto sources = folder.getChildFile ("sources"), ours = folder.getChildFile ("ours"), sox = folder.getChildFile ("sox"), ffmpeg = folder.getChildFile ("ffmpeg");
    for (const auto& f : { sources, sox, ffmpeg })
        f.createDirectory();
    for (int i = 0; i < files; ++i)
        test::writeAudioFile (sources.getChildFile ("s" + juce::String (i) + ".wav"), test::makeSine (2, 48000 * 30, 48000.0, 1000.0, 0.5f), 48000.0,
                              test::FixtureFormat::wav16);

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::atomic<int> completed { 0 };
    TranscoderThread transcoder (formats, [&ours] { return ours; }, [&completed] (const juce::var& event)
    {
        if (event.getProperty ("action", {}).toString() == "TRANSCODE_COMPLETE")
            ++completed;
    });

    const auto workers = juce::String (std::max (1u, std::thread::hardware_concurrency() - 1u));
    const auto inSources = "cd '" + sources.getFullPathName() + "' && ls *.wav | xargs -P " + workers + " -I{} ";
    const auto soxCommand = inSources + "sh -c \"sox {} -r 44100 -b 16 -t wav - | flac -5 -s -f -o '" + sox.getFullPathName() + "/{}.flac' -\"";
    const auto ffmpegCommand = inSources + "ffmpeg -loglevel error -y -i {} -ar 44100 -sample_fmt s16 -c:a flac '" + ffmpeg.getFullPathName() + "/{}.flac'";

    double oursTotal = 0, soxTotal = 0, ffmpegTotal = 0;
    for (auto _ : state)
    {
        completed = 0;
        auto start = Clock::now();
        for (int i = 0; i < files; ++i)
        {
            TranscodeJob job;
            job.id = job.trackId = juce::String (i);
            job.filename = "s" + juce::String (i) + ".wav";
            job.sourcePath = sources.getChildFile (job.filename).getFullPathName();
            transcoder.enqueue (std::move (job));
        }
        while (completed.load() < files)
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        const double oursSeconds = secondsSince (start);
        oursTotal += oursSeconds;
        start = Clock::now();
        if (std::system (soxCommand.toRawUTF8()) != 0)
            state.SkipWithError ("sox | flac failed");
        soxTotal += secondsSince (start);
        start = Clock::now();
        if (std::system (ffmpegCommand.toRawUTF8()) != 0)
            state.SkipWithError ("ffmpeg failed");
        ffmpegTotal += secondsSince (start);
        state.SetIterationTime (oursSeconds);
    }
    const double n = (double) state.iterations();
    state.counters["ours_s"] = oursTotal / n;
    state.counters["sox_flac_s"] = soxTotal / n;
    state.counters["ffmpeg_s"] = ffmpegTotal / n;
    state.counters["ours_snr_db"] = sineSnr (ours.getChildFile ("s0_0.flac"));
    state.counters["sox_snr_db"] = sineSnr (sox.getChildFile ("s0.wav.flac"));
    state.counters["ffmpeg_snr_db"] = sineSnr (ffmpeg.getChildFile ("s0.wav.flac"));
    folder.deleteRecursively();
}

void folderScan (benchmark::State& state)
{
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("quorvelle-scan-bench");
    folder.deleteRecursively();
    for (int d = 0; d < 100; ++d)
    {
        const auto sub = folder.getChildFile ("album" + juce::String (d) + "/disc");
        sub.createDirectory();
        for (int f = 0; f < 100; ++f)
            sub.getChildFile ("track" + juce::String (f) + (f % 2 == 0 ? ".wav" : ".txt")).create();
    }
    const auto findCommand = "find '" + folder.getFullPathName() + "' -type f > /dev/null";

    double oursTotal = 0, findTotal = 0;
    size_t found = 0;
    for (auto _ : state)
    {
        auto start = Clock::now();
        juce::StringArray paths;
        platform::collectFilesWithExtensions (folder, { ".wav" }, paths);
        const double oursSeconds = secondsSince (start);
        found = (size_t) paths.size();
        oursTotal += oursSeconds;
        start = Clock::now();
        if (std::system (findCommand.toRawUTF8()) != 0)
            state.SkipWithError ("find failed");
        findTotal += secondsSince (start);
        state.SetIterationTime (oursSeconds);
    }
    state.counters["ours_s"] = oursTotal / (double) state.iterations();
    state.counters["find_s"] = findTotal / (double) state.iterations();
    state.counters["files_found"] = (double) found;
    folder.deleteRecursively();
}
} // namespace

BENCHMARK (resampleImport)->UseManualTime()->Iterations (2)->Unit (benchmark::kMillisecond);
BENCHMARK (folderScan)->UseManualTime()->Iterations (5)->Unit (benchmark::kMillisecond);
BENCHMARK_MAIN();
