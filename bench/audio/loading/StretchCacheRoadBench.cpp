// Two reads of whole songs, each against a reference tool on the same files in the same run.
//
// cacheRoad: a song of 10 stereo 4-minute stems at 44.1 kHz loaded straight from the stretch cache
// (activateFromStretchCache, which reads every cached stem on the calling thread, the message
// thread in the app), against `sox <file> -t raw /dev/null` over the same cache files, one after
// another (sox_serial_s) and under `xargs -P <our loader's worker count>` (sox_parallel_s).
// Counters: ours_s (the call until SESSION_LOADED), stall_ms_per_stem (the call's time on the
// message thread divided by the stems), read_only_s (the same files read into 16-bit channels on
// one thread, without the engine around them, through a stream reader as the road opens them;
// read_mapped_s the same through a memory-mapped reader), ratio_serial and ratio_parallel (sox
// seconds over ours, above 1: ours is faster).
//
// waveformPeaks/0 (1, 2): 800 peaks over 8 stereo 4-minute stems as 16-bit WAV, FLAC and 320 kbps
// MP3, readers opened and read on one thread, against `sox -m <stems> -n` for WAV and FLAC and
// `ffmpeg -i <stem> -f null -` over each MP3 stem in turn (no target for MP3). Counter: ratio =
// peer seconds over ours.
#include "audio/engine/AudioEngine.h"
#include "audio/loading/Mp3FileWriter.h"
#include "audio/loading/StemReaders.h"
#include "audio/loading/StretchCache.h"
#include "audio/loading/WaveformPeaks.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/MessageLoop.h"

#include "bench/JuceBenchmarkMain.h"

#include <chrono>
#include <cstdlib>

using namespace quorvelle;

namespace
{
using Clock = std::chrono::steady_clock;
double secondsSince (Clock::time_point start) { return std::chrono::duration<double> (Clock::now() - start).count(); }

constexpr double rate = 44100.0;
constexpr int stemSamples = 44100 * 240;

double runShell (const juce::String& command, benchmark::State& state)
{
    const auto start = Clock::now();
    if (std::system (command.toRawUTF8()) != 0)
        state.SkipWithError ("peer command failed");
    return secondsSince (start);
}

juce::File benchFolder (const char* name)
{
    auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile (name);
    folder.deleteRecursively();
    folder.createDirectory();
    return folder;
}

void cacheRoad (benchmark::State& state)
{
    constexpr int numStems = 10;
    constexpr double songBpm = 120.0, stretchBpm = 150.0;
    constexpr float semitones = 2.0f;
    const auto folder = benchFolder ("quorvelle-cache-road-bench");
    const auto root = folder.getChildFile ("root");

    juce::StringArray cacheFiles;
    juce::Array<juce::File> cacheFileList;
    juce::Array<juce::var> stems;
    {
        const auto audio = test::makeNoise (2, stemSamples, 0.25f, 5);
        for (int i = 0; i < numStems; ++i)
        {
            const auto id = "stem" + juce::String (i);
            const auto file = stretchCachePath (root, "bench", id, stretchBpm / songBpm, semitones, rate);
            if (! writeStretchCacheFile (file, id, audio, rate, {}))
            {
                state.SkipWithError ("cache file not written");
                return;
            }
            cacheFiles.add ("'" + file.getFullPathName() + "'");
            cacheFileList.add (file);
            auto* stem = new juce::DynamicObject();
            stem->setProperty ("id", id);
            stem->setProperty ("instrumentType", "MELODIC");
            stem->setProperty ("url", "file://" + folder.getChildFile (id + ".wav").getFullPathName());
            stems.add (juce::var (stem));
        }
    }
    const juce::var tracks (stems);

    int loaded = 0;
    AudioEngine engine ([&loaded] (const juce::String&, const juce::var& e)
                        { loaded += e.getProperty ("action", {}).toString() == "SESSION_LOADED" ? 1 : 0; },
                        [root] { return root; });
    const auto workers = engine.getTrackLoader().workerCount (numStems);
    const auto list = "printf '%s\\n' " + cacheFiles.joinIntoString (" ");

    double oursTotal = 0, stallTotal = 0, readTotal = 0, mappedTotal = 0, serialTotal = 0, parallelTotal = 0;
    int rounds = 0;
    for (auto _ : state)
    {
        const auto before = loaded;
        engine.setPendingLoad (songBpm, tracks);
        const auto start = Clock::now();
        if (! engine.activateFromStretchCache ("bench", stretchBpm, semitones, {}, {}, 8, juce::JSON::parse ("[4, 4]"), true, {}, 0.0))
        {
            state.SkipWithError ("the cache did not activate");
            return;
        }
        stallTotal += secondsSince (start);
        if (! test::runMessageLoopUntil ([&] { return loaded > before; }, 600000))
        {
            state.SkipWithError ("no SESSION_LOADED");
            return;
        }
        oursTotal += secondsSince (start);
        const auto readStart = Clock::now();
        for (const auto& file : cacheFileList)
        {
            juce::WavAudioFormat wav;
            std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (file.createInputStream().release(), true));
            std::vector<Int16ChannelData> channels;
            if (reader == nullptr || ! readAllToInt16 (reader.get(), channels, (juce::Thread*) nullptr))
                state.SkipWithError ("a cache file did not read");
        }
        readTotal += secondsSince (readStart);
        const auto mappedStart = Clock::now();
        for (const auto& file : cacheFileList)
        {
            juce::WavAudioFormat wav;
            std::unique_ptr<juce::MemoryMappedAudioFormatReader> reader (wav.createMemoryMappedReader (file));
            std::vector<Int16ChannelData> channels;
            if (reader == nullptr || ! reader->mapEntireFile() || ! readAllToInt16 (reader.get(), channels, (juce::Thread*) nullptr))
                state.SkipWithError ("a cache file did not map");
        }
        mappedTotal += secondsSince (mappedStart);
        serialTotal += runShell (list + " | xargs -I{} sox {} -t raw /dev/null", state);
        parallelTotal += runShell (list + " | xargs -P " + juce::String (workers) + " -I{} sox {} -t raw /dev/null", state);
        ++rounds;
    }

    state.counters["tracks"] = (double) engine.getLoadedTracks().size();
    state.counters["ours_s"] = oursTotal / rounds;
    state.counters["stall_ms_per_stem"] = 1000.0 * stallTotal / rounds / numStems;
    state.counters["read_only_s"] = readTotal / rounds;
    state.counters["read_mapped_s"] = mappedTotal / rounds;
    state.counters["sox_serial_s"] = serialTotal / rounds;
    state.counters["sox_parallel_s"] = parallelTotal / rounds;
    state.counters["ratio_serial"] = serialTotal / oursTotal;
    state.counters["ratio_parallel"] = parallelTotal / oursTotal;
    state.counters["workers"] = workers;
    folder.deleteRecursively();
}
BENCHMARK (cacheRoad)->Iterations (3)->Unit (benchmark::kSecond)->UseRealTime();

enum class PeakFormat { wav, flac, mp3 };

bool writeMp3 (const juce::File& file, const juce::AudioBuffer<float>& audio)
{
    Mp3FileWriter writer (file, rate, 2, 320);
    constexpr int block = 32768;
    for (int at = 0; at < audio.getNumSamples() && writer.isOpen(); at += block)
        if (! writer.write (audio.getReadPointer (0, at), audio.getReadPointer (1, at), std::min (block, audio.getNumSamples() - at)))
            return false;
    return writer.finish();
}

void waveformPeaks (benchmark::State& state)
{
    constexpr int numStems = 8, numPeaks = 800;
    const auto format = (PeakFormat) state.range (0);
    const char* extension = format == PeakFormat::wav ? "wav" : format == PeakFormat::flac ? "flac" : "mp3";
    const auto folder = benchFolder ("quorvelle-peaks-bench");

    juce::StringArray files;
    for (int i = 0; i < numStems; ++i)
    {
        const auto audio = test::makeNoise (2, stemSamples, 0.25f, 11 + i);
        const auto file = folder.getChildFile ("stem" + juce::String (i) + "." + extension);
        const bool written = format == PeakFormat::mp3 ? writeMp3 (file, audio)
                                                       : test::writeAudioFile (file, audio, rate,
                                                                               format == PeakFormat::wav ? test::FixtureFormat::wav16
                                                                                                         : test::FixtureFormat::flac16);
        if (! written)
        {
            state.SkipWithError ("stem not written");
            return;
        }
        files.add ("'" + file.getFullPathName() + "'");
    }

    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    const auto peer = format == PeakFormat::mp3 ? "for f in " + files.joinIntoString (" ") + "; do ffmpeg -v error -nostdin -i \"$f\" -f null - || exit 1; done"
                                                : "sox -m " + files.joinIntoString (" ") + " -n";
    double oursTotal = 0, peerTotal = 0;
    bool complete = true;
    for (auto _ : state)
    {
        const auto start = Clock::now();
        std::vector<WaveformPeakSource> sources;
        for (int i = 0; i < numStems; ++i)
        {
            WaveformPeakSource source;
            source.reader.reset (formats.createReaderFor (folder.getChildFile ("stem" + juce::String (i) + "." + extension)));
            complete = complete && source.reader != nullptr;
            sources.push_back (std::move (source));
        }
        const auto peaks = computeWaveformPeaks (sources, numPeaks);
        oursTotal += secondsSince (start);
        complete = complete && (int) peaks.peaks.size() == numPeaks;
        peerTotal += runShell (peer, state);
    }
    if (! complete)
        state.SkipWithError ("a stem did not open or the peaks are incomplete");

    const double rounds = (double) state.iterations();
    state.counters["ours_s"] = oursTotal / rounds;
    state.counters["peer_s"] = peerTotal / rounds;
    state.counters["ratio"] = peerTotal / oursTotal;
    state.SetLabel (format == PeakFormat::mp3 ? std::string ("mp3 vs ffmpeg") : std::string (extension) + " vs sox -m");
    folder.deleteRecursively();
}
BENCHMARK (waveformPeaks)->DenseRange (0, 2)->Iterations (2)->Unit (benchmark::kSecond)->UseRealTime();
} // namespace

int main (int argc, char** argv) { return quorvelle::bench::runWithJuce (argc, argv); }
