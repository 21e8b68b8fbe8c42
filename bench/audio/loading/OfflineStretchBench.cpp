// Offline stretch of 8 stereo 44.1 kHz stems (240 s each; QUORVELLE_STRETCH_BENCH_SECONDS sets
// another length) at ratio 1.25 and +2 semitones.
//
// offlineStretchJob: the processor's job over the 8 stems (its own worker count), against
// `rubberband -3 -t 0.8 -p 2` and `sox … tempo 1.25 pitch 200` on the same files under
// `xargs -P <the job's workers>`, all in the same run. Counters: ours_x, rubberband_x and sox_x
// (audio seconds per wall second), vs_rubberband and vs_sox (ours_x over theirs, above 1: ours is
// faster), exact_length (1 when every output has ceil(len / 1.25) samples), peak_rss_mb against
// admission_mb (the job admission's count for the song and its workers, plus the sources).
//
// oneStemEngines: one stem on one thread, the adapter's render against a direct Rubber Band loop
// with the same engine (adapter_overhead = adapter time / direct time - 1) and the faster engine's
// direct loop (faster_x).
#include "audio/loading/MemoryAdmission.h"
#include "audio/loading/OfflineStretch.h"

#include "tests/support/AudioFixtures.h"

#include <benchmark/benchmark.h>
#include <rubberband/RubberBandStretcher.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sys/resource.h>
#include <thread>

using namespace quorvelle;

namespace
{
constexpr int stems = 8;
constexpr double rate = 44100.0;
constexpr double ratio = 1.25;
constexpr float semitones = 2.0f;

int stemSeconds()
{
    const char* text = std::getenv ("QUORVELLE_STRETCH_BENCH_SECONDS");
    const int seconds = text != nullptr ? std::atoi (text) : 0;
    return seconds > 0 ? seconds : 240;
}

// Music-like material: a few partials, a slow tremolo and a little noise.
juce::AudioBuffer<float> material (int index, int samples)
{
    juce::AudioBuffer<float> buffer (2, samples);
    juce::Random random (index);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < samples; ++i)
        {
            const double t = i / rate;
            const double tremolo = 0.75 + 0.25 * std::sin (2.0 * M_PI * 3.0 * t);
            buffer.setSample (c, i, (float) (tremolo * (0.3 * std::sin (2.0 * M_PI * (110.0 + 20 * index) * t + c)
                                                        + 0.15 * std::sin (2.0 * M_PI * 660.0 * t))
                                             + 0.05 * (random.nextFloat() - 0.5f)));
        }
    return buffer;
}

double secondsSince (std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
}

double runCommand (const juce::String& command, benchmark::State& state)
{
    const auto start = std::chrono::steady_clock::now();
    if (std::system (command.toRawUTF8()) != 0)
        state.SkipWithError ("peer command failed");
    return secondsSince (start);
}

struct Sources
{
    juce::File folder;
    std::vector<std::shared_ptr<StemSamples>> stems;
    int samples = 0;
};

Sources& sources()
{
    static Sources s = []
    {
        Sources made;
        made.folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("quorvelle-stretch-bench");
        made.folder.deleteRecursively();
        made.folder.getChildFile ("in").createDirectory();
        made.samples = (int) (stemSeconds() * rate);
        for (int i = 0; i < stems; ++i)
        {
            auto samples = std::make_shared<StemSamples>();
            samples->buffer = std::make_unique<juce::AudioBuffer<float>> (material (i, made.samples));
            test::writeAudioFile (made.folder.getChildFile ("in/stem" + juce::String (i) + ".wav"), *samples->buffer, rate, test::FixtureFormat::wav16);
            made.stems.push_back (std::move (samples));
        }
        return made;
    }();
    return s;
}

double peakRssMb()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return (double) usage.ru_maxrss / 1024.0;
}

void offlineStretchJob (benchmark::State& state)
{
    auto& in = sources();
    const auto expectedLength = stretchedLength (in.samples, ratio);
    std::mutex lock;
    std::condition_variable done;
    std::shared_ptr<OfflineStretchProcessor::Result> result;
    OfflineStretchProcessor::Callbacks callbacks;
    int workers = 0;
    callbacks.log = [&workers] (const juce::String& line)
    {
        if (line.contains ("JOB DONE"))
            workers = line.fromLastOccurrenceOf ("workers=", false, false).getIntValue();
    };
    callbacks.finished = [&] (std::shared_ptr<OfflineStretchProcessor::Result> r)
    {
        const std::scoped_lock held (lock);
        result = std::move (r);
        done.notify_all();
    };
    OfflineStretchProcessor processor (std::move (callbacks));

    const auto out = in.folder.getChildFile ("out");
    double ours = 0, rubberband = 0, sox = 0;
    bool exact = true;
    for (auto _ : state)
    {
        OfflineStretchProcessor::Job job;
        job.songId = "bench";
        job.ratio = ratio;
        job.semitones = semitones;
        job.sampleRate = rate;
        for (int i = 0; i < stems; ++i)
        {
            OfflineStretchProcessor::TrackInput track;
            track.trackId = "stem" + juce::String (i);
            track.samples = in.stems[(size_t) i];
            track.samplesAreOriginal = true;
            track.weight = in.samples;
            track.bytes = stretchTrackBytes (2, in.samples);
            job.tracks.push_back (std::move (track));
        }
        result.reset();
        const auto start = std::chrono::steady_clock::now();
        processor.startJob (std::move (job));
        {
            std::unique_lock held (lock);
            done.wait (held, [&] { return result != nullptr; });
        }
        const double oursSeconds = secondsSince (start);
        ours += oursSeconds;
        for (const auto& output : result->outputs)
            exact = exact && output != nullptr && output->getNumSamples() == expectedLength;
        result.reset();

        out.deleteRecursively();
        out.createDirectory();
        const auto parallel = "cd '" + in.folder.getChildFile ("in").getFullPathName() + "' && ls *.wav | xargs -P " + juce::String (workers) + " -I{} ";
        rubberband += runCommand (parallel + "rubberband -q -3 -t 0.8 -p 2 {} '" + out.getFullPathName() + "/rb-{}' > /dev/null", state);
        sox += runCommand (parallel + "sox {} '" + out.getFullPathName() + "/sox-{}' tempo 1.25 pitch 200 > /dev/null", state);
        state.SetIterationTime (oursSeconds);
    }

    const double audio = stems * (double) in.samples / rate * (double) state.iterations();
    state.counters["ours_x"] = audio / ours;
    state.counters["rubberband_x"] = audio / rubberband;
    state.counters["sox_x"] = audio / sox;
    state.counters["vs_rubberband"] = rubberband / ours;
    state.counters["vs_sox"] = sox / ours;
    state.counters["workers"] = workers;
    state.counters["exact_length"] = exact ? 1 : 0;
    state.counters["peak_rss_mb"] = peakRssMb();
    const auto trackBytes = stretchTrackBytes (2, in.samples);
    const auto admission = admitStretchJob (trackBytes * stems, trackBytes, std::max (workers, 1), 1.0 / ratio, -1);
    state.counters["admission_mb"] = (double) (admission.neededBytes + trackBytes * stems) / 1048576.0;
    out.deleteRecursively();
}

// A direct Rubber Band loop over one stem in blocks of 32768 samples, as the adapter feeds it.
double directRubberBand (const juce::AudioBuffer<float>& source, bool finer)
{
    using RubberBand::RubberBandStretcher;
    const int options = RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever
                        | (finer ? RubberBandStretcher::OptionEngineFiner : RubberBandStretcher::OptionEngineFaster);
    const auto start = std::chrono::steady_clock::now();
    RubberBandStretcher stretcher ((size_t) rate, 2, options, 1.0 / ratio, std::pow (2.0, semitones / 12.0));
    const int block = 32768;
    stretcher.setMaxProcessSize ((size_t) block);
    std::vector<float> scratch0 (65536), scratch1 (65536);
    float* outs[] = { scratch0.data(), scratch1.data() };
    juce::int64 produced = 0;
    for (int at = 0; at < source.getNumSamples(); at += block)
    {
        const int n = std::min (block, source.getNumSamples() - at);
        const float* ins[] = { source.getReadPointer (0, at), source.getReadPointer (1, at) };
        stretcher.process (ins, (size_t) n, at + n >= source.getNumSamples());
        for (int available; (available = stretcher.available()) > 0;)
            produced += (juce::int64) stretcher.retrieve (outs, (size_t) std::min (available, 65536));
    }
    benchmark::DoNotOptimize (produced);
    return secondsSince (start);
}

void oneStemEngines (benchmark::State& state)
{
    const auto& stem = *sources().stems.front()->buffer;
    OfflineStretchSettings settings;
    settings.ratio = ratio;
    settings.semitones = semitones;
    settings.sampleRate = rate;
    double adapter = 0, direct = 0, faster = 0;
    for (auto _ : state)
    {
        const auto start = std::chrono::steady_clock::now();
        auto rendered = renderOfflineStretch (stem, settings);
        const double adapterSeconds = secondsSince (start);
        benchmark::DoNotOptimize (rendered);
        adapter += adapterSeconds;
        direct += directRubberBand (stem, true);
        faster += directRubberBand (stem, false);
        state.SetIterationTime (adapterSeconds);
    }
    const double audio = stem.getNumSamples() / rate * (double) state.iterations();
    state.counters["adapter_x"] = audio / adapter;
    state.counters["direct_x"] = audio / direct;
    state.counters["faster_x"] = audio / faster;
    state.counters["adapter_overhead"] = adapter / direct - 1.0;
}
} // namespace

BENCHMARK (offlineStretchJob)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);
BENCHMARK (oneStemEngines)->UseManualTime()->Iterations (2)->Unit (benchmark::kMillisecond);
BENCHMARK_MAIN();
