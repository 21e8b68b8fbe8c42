// The pre-stretch of a preload: the stems of a song that is to play at another tempo or key are
// rendered offline (or read from the stretch cache) on the preloader thread and a few workers, so
// that the song starts from buffers that already carry the change. Also the preloader's two other
// uses of the cache: a cache-only request whose cache is complete, and the served-from-cache test.
#include "audio/engine/AudioEngine.h"

#include "audio/loading/OfflineStretch.h"
#include "audio/loading/StretchCache.h"
#include "core/StemRoles.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace quorvelle
{
namespace
{
juce::String first8 (const juce::String& id) { return id.substring (0, 8); }

double millisecondsNow() { return juce::Time::getMillisecondCounterHiRes(); }
} // namespace

double AudioEngine::PreloadRequest::stretchRatio() const
{
    return stretchBpm > 0.0 && std::abs (stretchBpm - bpm) > 0.001 ? stretchBpm / bpm : 1.0;
}

juce::File AudioEngine::PreloadThread::stretchCacheFileOf (const PreloadRequest& request, const juce::String& trackId, bool skipTranspose,
                                                           double rate)
{
    auto& owner = getEngine();
    if (owner.storageRoot == nullptr)
        return {};
    const auto semitones = skipTranspose ? 0.0f : (float) request.stretchSemitones;
    return stretchCachePath (owner.storageRoot(), request.songId, trackId, request.stretchRatio(), semitones, rate);
}

bool AudioEngine::PreloadThread::finishFromCompleteCache (const std::shared_ptr<PreloadedSession>& session, const PreloadRequest& request,
                                                          juce::uint64 runGeneration)
{
    const auto* tracks = request.tracksVar.getArray();
    if (! request.cacheOnly || ! request.isStretched() || tracks == nullptr || tracks->isEmpty() || runShouldStop (runGeneration))
        return false;

    const double deviceRate = request.deviceSampleRate > 0.0 ? request.deviceSampleRate : 44100.0;
    for (const double rate : { deviceRate, 44100.0, 48000.0 })
    {
        const bool complete = std::all_of (tracks->begin(), tracks->end(), [&] (const juce::var& track)
        {
            auto instrumentType = track.getProperty ("instrumentType", "MELODIC").toString();
            if (instrumentType.isEmpty())
                instrumentType = "MELODIC";
            const auto name = track.getProperty ("name", "").toString();
            const bool skipTranspose = core::isUnpitchedTrack (instrumentType.toStdString(), name.toStdString())
                                       && ! (bool) track.getProperty ("transposeWithSong", false);
            return isStretchCacheFilePresent (stretchCacheFileOf (request, track.getProperty ("id", "").toString(), skipTranspose, rate));
        });
        if (! complete)
            continue;

        auto& owner = getEngine();
        session->stretchBpm = request.stretchBpm;
        session->stretchSemitones = request.stretchSemitones;
        session->wasPreStretched = true;
        session->cacheOnly = true;
        owner.debugLog ("[OFFLINE-STRETCH] preload SKIP (cache complete) song=" + first8 (request.songId) + " tracks=" + juce::String (tracks->size()));
        owner.postToMessageThread ([&owner, runGeneration, session]
        {
            if (owner.preloader != nullptr && owner.preloader->isCurrent (runGeneration))
                owner.finalizePreload (session);
        });
        return true;
    }
    return false;
}

//==============================================================================
// What the workers of one pre-stretch share. Each worker writes only the tracks it took.
struct AudioEngine::PreloadThread::StretchPhase
{
    StretchPhase (PreloadedSession& s, const PreloadRequest& r, juce::uint64 g) : session (s), request (r), generation (g) {}

    PreloadedSession& session;
    const PreloadRequest& request;
    const juce::uint64 generation;
    double ratio = 1.0;
    float semitones = 0.0f;
    std::atomic<int> next { 0 }, finished { 0 }, noop { 0 }, hits { 0 }, rendered { 0 };
    std::vector<juce::int64> weights, counted;
    juce::int64 totalWeight = 0;
    std::atomic<juce::int64> doneWeight { 0 };
    // Shared without a lock: a lost update only changes the pacing of the reports.
    std::atomic<double> lastReportMs { 0.0 };
};

bool AudioEngine::PreloadThread::preStretch (PreloadedSession& session, const PreloadRequest& request, juce::uint64 runGeneration)
{
    auto& owner = getEngine();
    StretchPhase phase (session, request, runGeneration);
    phase.ratio = request.stretchRatio();
    phase.semitones = (float) request.stretchSemitones;
    const auto n = session.tracks.size();

    juce::Logger::writeToLog ("Preloader: Applying pre-stretch bpmRatio=" + juce::String (phase.ratio) + " semitones="
                              + juce::String (request.stretchSemitones));
    owner.debugLog ("[PRELOAD-PERF] stretch phase START | song=" + first8 (request.songId) + " tracks=" + juce::String ((int) n) + " r="
                    + juce::String (phase.ratio, 4) + " st=" + juce::String (request.stretchSemitones, 2));
    const auto started = millisecondsNow();

    for (const auto& track : session.tracks)
    {
        const auto& samples = *track.samples;
        juce::int64 weight = 1;
        if (samples.buffer != nullptr)
            weight = samples.buffer->getNumSamples();
        else if (samples.int16Channels != nullptr && ! samples.int16Channels->empty())
            weight = samples.int16Channels->front().numSamples;
        phase.weights.push_back (std::max<juce::int64> (weight, 1));
        phase.totalWeight += phase.weights.back();
    }
    phase.counted.assign (n, 0);
    phase.lastReportMs = started;

    const int hardware = stretchHardwareThreads > 0 ? stretchHardwareThreads : (int) std::thread::hardware_concurrency();
    const int workers = std::clamp (hardware - 2, 1, std::clamp (request.stretchWorkers, 1, 4));
    {
        std::vector<std::thread> extra;
        for (int w = 1; w < workers; ++w)
            extra.emplace_back ([this, &phase] { preStretchWorker (phase); });
        preStretchWorker (phase);
        for (auto& worker : extra)
            worker.join();
    }
    if (runShouldStop (runGeneration))
        return false;

    owner.debugLog ("[PRELOAD-PERF] stretch phase DONE | song=" + first8 (request.songId) + " tracks=" + juce::String ((int) n) + " (hits="
                    + juce::String (phase.hits.load()) + " noop=" + juce::String (phase.noop.load()) + " procesados="
                    + juce::String (phase.rendered.load()) + ") wall=" + juce::String ((millisecondsNow() - started) / 1000.0, 1)
                    + "s | workers=" + juce::String (workers));

    session.stretchBpm = request.stretchBpm;
    session.stretchSemitones = request.stretchSemitones;
    session.wasPreStretched = true;
    session.cacheOnly = request.cacheOnly;
    juce::Logger::writeToLog ("Preloader: Pre-stretch complete for " + request.songId + (request.cacheOnly ? " (cacheOnly)" : ""));
    return true;
}

void AudioEngine::PreloadThread::preStretchWorker (StretchPhase& phase)
{
    const juce::ScopedNoDenormals noDenormals;
    auto& owner = getEngine();
    const auto& request = phase.request;
    const double rate = phase.session.sampleRate;
    const StopCheck stop { [this, &phase] { return runShouldStop (phase.generation); } };
    const auto log = [&owner] (const juce::String& line) { owner.debugLog (line); };

    for (;;)
    {
        if (stop())
            return;
        const auto i = (size_t) phase.next.fetch_add (1);
        if (i >= phase.session.tracks.size())
            return;
        auto& track = phase.session.tracks[i];
        auto& samples = *track.samples;
        const auto id8 = first8 (track.trackId);
        const float st = track.skipTranspose ? 0.0f : phase.semitones;
        const auto trackStart = millisecondsNow();

        if (std::abs (phase.ratio - 1.0) < 1e-9 && std::abs (st) < 0.001f)
        {
            ++phase.noop;
            owner.debugLog ("[PRELOAD-PERF] trk=" + id8 + juce::String::fromUTF8 (" NO-OP (r=1, st=0) \xe2\x86\x92 buffer original sin procesar"));
        }
        else
        {
            const auto cacheFile = stretchCacheFileOf (request, track.trackId, track.skipTranspose, rate);
            bool hit = false;
            if (cacheFile != juce::File() && isStretchCacheFilePresent (cacheFile))
            {
                juce::WavAudioFormat wav;
                std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (cacheFile.createInputStream().release(), true));
                if (reader != nullptr && reader->lengthInSamples > 0 && reader->numChannels > 0)
                {
                    const auto length = (juce::int64) reader->lengthInSamples;
                    if (! reader->usesFloatingPointData && reader->bitsPerSample >= 1 && reader->bitsPerSample <= 16)
                    {
                        auto channels = std::make_unique<std::vector<Int16ChannelData>> ((size_t) reader->numChannels);
                        for (auto& channel : *channels)
                            channel.allocate (length);
                        bool read = false;
                        const bool head = track.servedFromCache;
                        if (head)
                        {
                            // Only the window a count and the transition play; the rest is filled at activation.
                            ChunkLoadMap map;
                            map.reset (length);
                            const auto window = headWindow (request, rate, phase.ratio, length);
                            std::vector<std::vector<int>> scratch;
                            read = window.end <= window.start
                                   || readRangeToInt16 (reader.get(), *channels, scratch, window.start, window.end - window.start, &map, stop);
                            if (read)
                            {
                                samples.loadMap = std::move (map);
                                track.isHeadOnly = true;
                                track.headEndSample = window.end;
                                track.totalSamples = length;
                                track.complementSource = cacheFile.getFullPathName();
                                track.complementFromCache = true;
                            }
                        }
                        else
                        {
                            read = readAllToInt16 (reader.get(), *channels, stop);
                        }
                        if (read)
                        {
                            samples.int16Channels = std::move (channels);
                            samples.buffer.reset();
                            hit = true;
                            owner.debugLog ("[PRELOAD-PERF] trk=" + id8 + (head ? " cache HIT (disco, int16, HEAD)" : " cache HIT (disco, int16)")
                                            + " | read=" + juce::String (juce::roundToInt (millisecondsNow() - trackStart)) + "ms");
                            juce::Logger::writeToLog ("Preloader: Loaded stretched cache (int16) for " + track.trackId);
                        }
                    }
                    if (! hit && length <= std::numeric_limits<int>::max())
                    {
                        auto buffer = std::make_unique<juce::AudioBuffer<float>> ((int) reader->numChannels, (int) length);
                        if (readAllToFloat (reader.get(), *buffer, length, stop))
                        {
                            samples.buffer = std::move (buffer);
                            hit = true;
                            owner.debugLog ("[PRELOAD-PERF] trk=" + id8 + " cache HIT (disco) | read="
                                            + juce::String (juce::roundToInt (millisecondsNow() - trackStart)) + "ms");
                            juce::Logger::writeToLog ("Preloader: Loaded stretched cache for " + track.trackId);
                        }
                    }
                }
            }
            if (hit)
            {
                ++phase.hits;
            }
            else if (samples.buffer != nullptr)
            {
                const auto& source = *samples.buffer;
                const auto inLength = (juce::int64) source.getNumSamples();
                const auto outLength = (juce::int64) std::llround ((double) inLength / phase.ratio);
                if (outLength >= 1)
                {
                    OfflineStretchSettings settings;
                    settings.ratio = phase.ratio;
                    settings.semitones = st;
                    settings.sampleRate = rate;
                    settings.blockSamples = 1024;
                    settings.outputLength = outLength;
                    OfflineStretchReport report;
                    auto result = renderOfflineStretch (source, settings, stop,
                                                        [this, &phase, i] (double fraction) { advanceStretchProgress (phase, i, fraction); }, &report);
                    if (stop())
                        return; // the run ends without a result: the work of this stem is dropped
                    if (result.has_value())
                    {
                        ++phase.rendered;
                        const double seconds = (millisecondsNow() - trackStart) / 1000.0;
                        const double megabytes = (double) inLength * source.getNumChannels() * 4.0 / 1048576.0;
                        const int trim = report.inputLatency + report.outputLatency;
                        owner.debugLog ("[OFFLINE-STRETCH] preload trk=" + id8 + " r=" + juce::String (phase.ratio, 4) + " st=" + juce::String (st, 2)
                                        + " iL=" + juce::String (report.inputLatency) + " oL=" + juce::String (report.outputLatency)
                                        + " trim=" + (trim > 0 ? "Y" : "N") + " len=" + juce::String (result->getNumSamples()) + " | took="
                                        + juce::String (seconds, 2) + "s (" + juce::String (seconds > 0.0 ? megabytes / seconds : 0.0, 1)
                                        + " MB/s, " + juce::String (megabytes, 1) + "MB)");
                        if (cacheFile != juce::File())
                            writeStretchCacheFile (cacheFile, track.trackId, *result, rate, log, true);
                        juce::Logger::writeToLog ("Preloader: Processed and cached stretch for " + track.trackId);
                        samples.buffer = std::make_unique<juce::AudioBuffer<float>> (std::move (*result));
                    }
                }
            }
            // A stem served from the cache whose file has gone since is left without audio.
        }

        advanceStretchProgress (phase, i, 1.0);
        ++phase.finished;
        phase.lastReportMs = millisecondsNow();
        reportStretchProgress (phase);
    }
}

void AudioEngine::PreloadThread::advanceStretchProgress (StretchPhase& phase, size_t track, double fraction)
{
    const auto weight = phase.weights[track];
    const auto target = (juce::int64) ((double) weight * std::clamp (fraction, 0.0, 1.0));
    if (target <= phase.counted[track])
        return;
    phase.doneWeight += target - phase.counted[track];
    phase.counted[track] = target;
    const auto now = millisecondsNow();
    if (now - phase.lastReportMs.load() < 150.0)
        return;
    phase.lastReportMs = now;
    reportStretchProgress (phase);
}

void AudioEngine::PreloadThread::reportStretchProgress (StretchPhase& phase)
{
    const int percent = phase.totalWeight >= 1 ? (int) (phase.doneWeight.load() * 100 / phase.totalWeight) : 0;
    postRunEvent (phase.generation, makeObject ({ { "action", "PRELOAD_STRETCH_PROGRESS" },
                                                  { "songId", phase.request.songId },
                                                  { "done", phase.finished.load() },
                                                  { "total", (int) phase.session.tracks.size() },
                                                  { "percent", percent } }));
}
} // namespace quorvelle
