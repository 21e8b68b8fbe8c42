// One run of the preloader: the stems decoded on a pool of workers into a preloaded session, the
// count-overlay premix, and the session posted to the message thread.
#include "audio/engine/AudioEngine.h"

#include "audio/graph/GraphUtils.h"
#include "audio/loading/OfflineStretch.h"
#include "audio/loading/StretchCache.h"
#include "core/StemRoles.h"
#include "platform/CheckedWrite.h"

#include <cmath>
#include <cstring>
#include <thread>

namespace quorvelle
{
namespace
{
juce::String first8 (const juce::String& id) { return id.substring (0, 8); }

// `buffer` as a 16-bit WAV file at `rate`, replacing `file` only once it is complete.
bool writeWav16 (const juce::File& file, const juce::AudioBuffer<float>& buffer, double rate)
{
    platform::CheckedReplacement replacement (file);
    if (! replacement.isOpen())
        return false;
    juce::WavAudioFormat wav;
    auto stream = replacement.createStream();
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), rate, juce::AudioChannelSet::canonicalChannelSet (buffer.getNumChannels()), 16, {}, 0));
    if (writer == nullptr)
        return false;
    stream.release(); // the writer owns it now
    const bool written = writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
    writer.reset();
    return written && replacement.commit();
}
} // namespace

AudioEngine::PreloadThread::HeadWindow AudioEngine::PreloadThread::headWindow (const PreloadRequest& request, double rate, double ratio,
                                                                                juce::int64 length)
{
    rate = rate > 0.0 ? rate : 44100.0;
    ratio = ratio > 0.0 ? ratio : 1.0;
    double start = std::max (request.headStartSec, 0.0);
    double end = start + (request.headLengthSec > 0.0 ? request.headLengthSec : 4.0);
    if (request.countOverlayEndSec > 0.0)
    {
        start = std::min (std::max (request.countOverlayStartSec, 0.0), start);
        end = std::max (request.countOverlayEndSec, end);
    }
    HeadWindow window;
    window.start = std::max<juce::int64> ((juce::int64) (start * rate / ratio), 0);
    window.end = std::min ((juce::int64) (end * rate / ratio + 0.5), length);
    if (window.end <= window.start)
        window.end = std::min (window.start + (juce::int64) (4.0 * rate / ratio), length);
    return window;
}

// The state one run shares with its stem workers. Each worker writes only the slots it took.
struct AudioEngine::PreloadThread::Run
{
    Run (const PreloadRequest& r, juce::uint64 g) : request (r), generation (g) {}

    const PreloadRequest& request;
    const juce::uint64 generation;
    int numStems = 0;
    std::atomic<int> next { 0 }, finished { 0 };
    std::atomic<bool> failed { false };
    std::mutex rateLock;
    double sessionRate = 44100.0;
    bool rateTaken = false;
    // Progress events leave in the order of their "trackIndex".
    std::mutex progressLock;
    std::vector<std::optional<PreloadedTrack>> slots;
    std::vector<juce::MemoryBlock> fetched;
    std::vector<juce::String> urls;
    std::vector<double> openMs, readMs, decodedMb;
};

void AudioEngine::PreloadThread::runPreload (const PreloadRequest& request, juce::uint64 runGeneration)
{
    auto& owner = getEngine();
    if (runShouldStop (runGeneration))
        return;
    const auto startMs = juce::Time::getMillisecondCounterHiRes();

    auto session = std::make_shared<PreloadedSession>();
    session->songId = request.songId;
    session->bpm = request.bpm;
    session->audioLeadPadSec = request.audioLeadPadSec;
    session->sectionsVar = request.sectionsVar;
    session->beatmapVar = request.beatmapVar;
    session->numBars = request.numBars;
    session->cacheOnly = request.cacheOnly;
    session->tracksVar = request.tracksVar;
    session->peakTracksVar = request.peakTracksVar;
    session->timeSignatureVar = request.timeSignatureVar;
    // Tempo and key changes the stretcher cannot render (or values that are not finite) end here.
    if (! isValidStretchRequest (request.stretchRatio(), request.stretchSemitones))
    {
        owner.debugLog ("Preloader: stretch out of range for " + first8 (request.songId) + " | bpm=" + juce::String (request.bpm)
                        + " stretchBpm=" + juce::String (request.stretchBpm) + " semi=" + juce::String (request.stretchSemitones));
        postRunEvent (runGeneration, makeObject ({ { "action", "PRELOAD_FAILED" }, { "songId", request.songId }, { "reason", "invalidArgs" } }));
        return;
    }
    if (finishFromCompleteCache (session, request, runGeneration))
        return;

    Run run (request, runGeneration);
    run.numStems = request.tracksVar.isArray() ? request.tracksVar.size() : 0;
    run.sessionRate = request.deviceSampleRate > 0.0 ? request.deviceSampleRate : 44100.0;
    const auto n = (size_t) run.numStems;
    run.slots.resize (n);
    run.fetched.resize (n);
    run.urls.resize (n);
    run.openMs.assign (n, 0.0);
    run.readMs.assign (n, 0.0);
    run.decodedMb.assign (n, 0.0);

    const auto workers = std::max (1, std::min ({ juce::SystemStats::getNumCpus(), 8, run.numStems }));
    {
        std::vector<std::thread> pool;
        for (int i = 0; i < workers; ++i)
            pool.emplace_back ([this, &run] { preloadStemWorker (run); });
        for (auto& worker : pool)
            worker.join();
    }

    if (runShouldStop (runGeneration))
        return;
    if (run.failed.load())
    {
        postRunEvent (runGeneration, makeObject ({ { "action", "PRELOAD_FAILED" }, { "songId", request.songId }, { "reason", "read-failed" } }));
        return;
    }

    double sumOpen = 0.0, sumRead = 0.0, sumMb = 0.0;
    for (size_t i = 0; i < n; ++i)
    {
        if (run.slots[i].has_value())
        {
            session->tracks.push_back (std::move (*run.slots[i]));
            sumOpen += run.openMs[i];
            sumRead += run.readMs[i];
            sumMb += run.decodedMb[i];
        }
        if (run.fetched[i].getSize() > 0)
            session->downloads.push_back ({ run.urls[i], std::move (run.fetched[i]) });
    }
    session->sampleRate = run.sessionRate;

    owner.debugLog ("[PRELOAD-TIMING] TOTAL song=" + first8 (request.songId) + " stems=" + juce::String ((int) session->tracks.size())
                    + " total=" + juce::String (juce::Time::getMillisecondCounterHiRes() - startMs, 1) + "ms sumOpen=" + juce::String (sumOpen, 1)
                    + "ms sumRead=" + juce::String (sumRead, 1) + "ms pcm=" + juce::String (sumMb, 1) + "MB workers=" + juce::String (workers)
                    + " sr=" + juce::String ((int) session->sampleRate));

    if (! runShouldStop (runGeneration) && request.isStretched() && ! session->tracks.empty() && ! preStretch (*session, request, runGeneration))
        return;

    if (! runShouldStop (runGeneration) && request.countOverlayEndSec > 0.0 && ! session->tracks.empty())
        buildPremix (*session, request);

    if (runShouldStop (runGeneration))
        return;
    owner.postToMessageThread ([&owner, runGeneration, session]
    {
        if (owner.preloader != nullptr && owner.preloader->isCurrent (runGeneration))
            owner.finalizePreload (session);
    });
}

void AudioEngine::PreloadThread::preloadStemWorker (Run& run)
{
    auto& owner = getEngine();
    const auto& request = run.request;
    const StopCheck stop { [this, &run] { return runShouldStop (run.generation); } };
    const bool stretched = request.isStretched();

    for (;;)
    {
        const auto i = run.next.fetch_add (1);
        if (i >= run.numStems || stop() || run.failed.load())
            return;
        const auto slot = (size_t) i;

        const auto& stem = request.tracksVar[i];
        const auto id = stem.getProperty ("id", "").toString();
        const auto url = stem.getProperty ("url", "").toString();
        const auto name = stem.getProperty ("name", "").toString();
        auto instrumentType = stem.getProperty ("instrumentType", "MELODIC").toString();
        if (instrumentType.isEmpty())
            instrumentType = "MELODIC";
        const bool transposeWithSong = (bool) stem.getProperty ("transposeWithSong", false);
        run.urls[slot] = url;

        const auto trackError = [&] (const juce::String& diag)
        {
            const auto utf8 = url.toRawUTF8();
            postRunEvent (run.generation, makeObject ({ { "action", "TRACK_LOAD_ERROR" },
                                                        { "songId", request.songId },
                                                        { "trackId", id },
                                                        { "trackName", name },
                                                        { "url", url },
                                                        { "urlB64", juce::Base64::toBase64 (utf8, std::strlen (utf8)) },
                                                        { "diag", diag } }));
        };

        const auto openStart = juce::Time::getMillisecondCounterHiRes();
        auto reader = createPaddedReader (createReader (url, run.fetched[slot]), request.audioLeadPadSec);
        run.openMs[slot] = juce::Time::getMillisecondCounterHiRes() - openStart;
        if (stop())
            return;
        if (reader == nullptr)
        {
            trackError ("preload: reader=null (archivo faltante o ilegible)");
            continue;
        }

        double sessionRate = 0.0;
        {
            const std::scoped_lock lock (run.rateLock);
            if (! run.rateTaken && reader->sampleRate > 0.0)
            {
                run.sessionRate = reader->sampleRate;
                run.rateTaken = true;
            }
            sessionRate = run.sessionRate;
        }

        PreloadedTrack track;
        track.trackId = id;
        track.instrumentType = instrumentType;
        track.volumeDb = (float) (double) stem.getProperty ("volume", 0.0);
        if (stem.hasProperty ("overlayVolumeDb"))
            track.overlayVolumeDb = (float) (double) stem.getProperty ("overlayVolumeDb", -999.0);
        track.busOverride = stem.getProperty ("busOverride", "").toString();
        track.url = url;
        track.isPercussive = core::isUnpitchedTrack (instrumentType.toStdString(), name.toStdString());
        track.skipTranspose = track.isPercussive && ! transposeWithSong;

        // A stem at another rate than the session is converted to it, as the song load does, and is
        // decoded whole: a chunk map in file samples would not fit the converted stem.
        const bool hasAudio = reader->numChannels > 0 && reader->lengthInSamples > 0;
        const bool offRate = hasAudio && reader->sampleRate > 0.0 && std::abs (reader->sampleRate - sessionRate) > 0.5;
        const bool asInt16 = hasAudio && ! stretched && ! offRate && ! reader->usesFloatingPointData && reader->bitsPerSample >= 1
                             && reader->bitsPerSample <= 16;
        const auto length = hasAudio ? (juce::int64) reader->lengthInSamples : 0;
        auto& samples = *track.samples;

        const auto readStart = juce::Time::getMillisecondCounterHiRes();
        bool decoded = true;
        // A head-only stretched stem whose stretched file is cached is read from there by the pre-stretch.
        track.servedFromCache = hasAudio && request.headOnly && stretched
                                && isStretchCacheFilePresent (stretchCacheFileOf (request, id, track.skipTranspose, reader->sampleRate));
        if (track.servedFromCache)
            decoded = true; // nothing to decode here
        else if (asInt16 && request.headOnly)
        {
            const auto window = headWindow (request, reader->sampleRate, 1.0, length);
            samples.int16Channels = std::make_unique<std::vector<Int16ChannelData>> ((size_t) reader->numChannels);
            for (auto& channel : *samples.int16Channels)
                channel.allocate (length);
            samples.loadMap.reset (length);
            std::vector<std::vector<int>> scratch;
            if (window.end > window.start)
                decoded = readRangeToInt16 (reader.get(), *samples.int16Channels, scratch, window.start, window.end - window.start,
                                            &samples.loadMap, stop);
            track.isHeadOnly = true;
            track.headEndSample = window.end;
            track.totalSamples = length;
            track.complementSource = url;
            track.complementFromCache = false;
        }
        else if (asInt16)
        {
            samples.int16Channels = std::make_unique<std::vector<Int16ChannelData>>();
            decoded = readAllToInt16 (reader.get(), *samples.int16Channels, stop);
        }
        else
        {
            samples.buffer = std::make_unique<juce::AudioBuffer<float>> (std::max (1, (int) reader->numChannels), (int) length);
            decoded = ! hasAudio
                      || (readAllToFloat (reader.get(), *samples.buffer, length, stop)
                          && (! offRate || convertSampleRate (*samples.buffer, reader->sampleRate, sessionRate, stop)));
        }
        run.readMs[slot] = juce::Time::getMillisecondCounterHiRes() - readStart;
        run.decodedMb[slot] = (double) length * (double) reader->numChannels * (asInt16 ? 2.0 : 4.0) / 1048576.0;
        owner.debugLog ("[PRELOAD-TIMING] stem " + juce::String (i + 1) + "/" + juce::String (run.numStems) + " \"" + name + "\" open="
                        + juce::String (run.openMs[slot], 1) + "ms read=" + juce::String (run.readMs[slot], 1) + "ms pcm="
                        + juce::String (run.decodedMb[slot], 2) + "MB fmt=" + (asInt16 ? "int16" : "float32"));
        reader.reset();

        if (! decoded)
        {
            if (! stop())
                trackError ("preload: read FAILED a mitad de decode");
            run.failed = true;
            return;
        }
        if (stop())
        {
            run.failed = true;
            return;
        }

        run.slots[slot] = std::move (track);
        const std::scoped_lock lock (run.progressLock);
        const auto done = run.finished.fetch_add (1);
        postRunEvent (run.generation, makeObject ({ { "action", "PRELOAD_PROGRESS" },
                                                    { "songId", request.songId },
                                                    { "trackIndex", done },
                                                    { "totalTracks", run.numStems },
                                                    { "progress", (int) ((float) (done + 1) / (float) run.numStems * 100.0f) } }));
    }
}

void AudioEngine::PreloadThread::buildPremix (PreloadedSession& session, const PreloadRequest& request)
{
    auto& owner = getEngine();
    const auto id8 = first8 (session.songId);
    const auto region = juce::String (request.countOverlayStartSec, 2) + ".." + juce::String (request.countOverlayEndSec, 2);
    auto premix = buildCountOverlayBuffer (session, request.countOverlayStartSec, request.countOverlayEndSec, OverlayKind::music);
    if (premix == nullptr)
    {
        owner.debugLog ("[COUNT-OVERLAY] SKIP song=" + id8 + juce::String::fromUTF8 (" \xe2\x80\x94 buildCountOverlayBuffer returned null (region=[")
                        + region + "]s)");
        return;
    }

    const auto length = premix->getNumSamples();
    double peak = 0.0, sumSquares = 0.0;
    for (int c = 0; c < premix->getNumChannels(); ++c)
        for (int s = 0; s < length; ++s)
        {
            const double v = premix->getSample (c, s);
            peak = std::max (peak, std::abs (v));
            sumSquares += v * v;
        }
    const auto rms = std::sqrt (sumSquares / (double) std::max (1, premix->getNumChannels() * length));
    owner.debugLog ("[COUNT-OVERLAY] pre-mixed song=" + id8 + " region=[" + region + "]s samples=" + juce::String (length) + " dur="
                    + juce::String ((double) length / session.sampleRate, 2) + "s tracks=" + juce::String ((int) session.tracks.size())
                    + " peak=" + juce::String (peak, 4) + " rms=" + juce::String (rms, 4));

    if (verboseDiagnostics.load())
    {
        // The song id names a file: it must stay a single legal name inside "_debug".
        const auto name = juce::File::createLegalFileName (session.songId);
        if (name.isNotEmpty() && name != "." && name != "..")
        {
            const auto folder = owner.storageRoot().getChildFile ("_debug");
            folder.createDirectory();
            const auto file = folder.getChildFile ("countoverlay_" + name + ".wav");
            if (writeWav16 (file, *premix, session.sampleRate))
                owner.debugLog (juce::String::fromUTF8 ("[COUNT-OVERLAY] dumped WAV \xe2\x86\x92 ") + file.getFullPathName());
        }
    }

    session.premix = std::move (premix);
    session.premixStartSec = request.countOverlayStartSec;
    session.premixEndSec = request.countOverlayEndSec;
}
} // namespace quorvelle
