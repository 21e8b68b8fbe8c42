// Preloads: admission of a PRELOAD_SONG, the preloader thread that decodes the next song's stems
// on a pool of workers, and the hand-off of its session to the slot.
#include "audio/engine/AudioEngine.h"

#include "audio/loading/MemoryAdmission.h"
#include "core/StemRoles.h"
#include "platform/SystemProbes.h"

#include <cmath>
#include <cstring>
#include <thread>

namespace quorvelle
{
namespace
{
juce::String first8 (const juce::String& id) { return id.substring (0, 8); }
juce::String slotId (const std::shared_ptr<AudioEngine::PreloadedSession>& session)
{
    return session != nullptr ? first8 (session->songId) : juce::String ("NULL");
}
} // namespace

bool AudioEngine::PreloadRequest::isStretched() const
{
    return (stretchBpm > 0.0 && std::abs (stretchBpm - bpm) > 0.001) || std::abs (stretchSemitones) > 0.001;
}

//==============================================================================
juce::int64 AudioEngine::availableMemoryForAdmission() const
{
    return memoryProbe != nullptr ? (juce::int64) memoryProbe() : -1;
}

void AudioEngine::sendPreloadSkipped (const juce::String& songId, bool cacheOnly, juce::int64 estimatedBytes, juce::int64 availableBytes,
                                      juce::int64 reserveBytes)
{
    const auto estimatedMb = (juce::int64) bytesToLogMb (estimatedBytes), availableMb = (juce::int64) bytesToLogMb (availableBytes),
               reserveMb = (juce::int64) bytesToLogMb (reserveBytes);
    debugLog ("[ADMISSION] PRELOAD_SKIPPED song=" + first8 (songId) + " | est=" + juce::String (estimatedMb) + "MB avail="
              + juce::String (availableMb) + "MB reserve=" + juce::String (reserveMb) + "MB" + (cacheOnly ? " [cacheOnly]" : ""));
    sendEvent (makeObject ({ { "action", "PRELOAD_SKIPPED" },
                             { "songId", songId },
                             { "cacheOnly", cacheOnly },
                             { "estimatedMb", estimatedMb },
                             { "availableMb", availableMb },
                             { "reserveMb", reserveMb } }));
}

void AudioEngine::startPreload (const juce::var& tracks, const juce::var& sections, double bpm, const juce::var& beatmap, int numBars,
                                const juce::String& songId, const juce::var& timeSignature, double stretchBpm, double stretchSemitones,
                                bool cacheOnly, const juce::var& peakTracks, double countOverlayStartSec, double countOverlayEndSec,
                                double durationSec, bool headOnly, double headStartSec, double headLengthSec, double audioLeadPadSecIn)
{
    if (preloader == nullptr)
        return;
    if (headOnly)
        headOnlyLoadRunning = true;

    // A tempo of 0, below 0 or not finite would make every ratio of this song infinite or NaN.
    if (! (bpm > 0.0) || ! std::isfinite (bpm))
    {
        debugLog ("PRELOAD_SONG: invalid bpm=" + juce::String (bpm) + " in payload, using 120");
        bpm = 120.0;
    }

    PreloadRequest request;
    request.tracksVar = tracks;
    request.peakTracksVar = peakTracks;
    request.sectionsVar = sections;
    request.bpm = bpm;
    request.beatmapVar = beatmap;
    request.numBars = numBars;
    request.deviceSampleRate = deviceSampleRate.load() > 0.0 ? deviceSampleRate.load() : 44100.0;
    request.songId = songId;
    request.timeSignatureVar = timeSignature;
    request.stretchBpm = stretchBpm;
    request.stretchSemitones = stretchSemitones;
    request.cacheOnly = cacheOnly;
    request.countOverlayStartSec = countOverlayStartSec;
    request.countOverlayEndSec = countOverlayEndSec;
    request.headOnly = headOnly;
    request.headStartSec = headStartSec;
    request.headLengthSec = headLengthSec;
    request.audioLeadPadSec = audioLeadPadSecIn;

    PreloadAdmissionInput input;
    input.trackCount = tracks.isArray() ? tracks.size() : 0;
    input.durationSec = durationSec;
    input.bpm = bpm;
    input.stretchBpm = stretchBpm;
    input.stretchSemitones = stretchSemitones;
    input.cacheOnly = cacheOnly;
    input.headOnly = headOnly;
    input.headLengthSec = headLengthSec;
    input.availableBytes = availableMemoryForAdmission();
    input.totalPhysicalBytes = admissionTotalPhysicalBytes (platform::totalPhysicalMemoryBytes());
    input.hardwareThreads = (int) std::thread::hardware_concurrency();
    const auto decision = decidePreloadAdmission (input);
    if (! decision.start)
    {
        sendPreloadSkipped (songId, cacheOnly, decision.estimatedBytes, decision.availableBytes, decision.reserveBytes);
        return;
    }
    if (decision.degradedToHeadOnly)
    {
        headOnlyLoadRunning = true;
        request.headOnly = true;
        request.headStartSec = -1.0;
        request.headLengthSec = admission::headOnlyFallbackSeconds;
        debugLog ("[ADMISSION] PRELOAD degradado a HEAD-ONLY | song=" + first8 (songId) + " | fullEst="
                  + juce::String (bytesToLogMb (decision.estimatedBytes)) + "MB headEst=" + juce::String (bytesToLogMb (decision.headBytes))
                  + "MB avail=" + juce::String (bytesToLogMb (decision.availableBytes))
                  + "MB | head=30s (cuenta+overlap preservados; el resto se rellena al activar)");
    }
    request.stretchWorkers = decision.stretchWorkers;

    juce::Logger::writeToLog ("AudioEngine: Starting preload for song: " + songId
                              + (stretchBpm > 0.0 ? " (with stretch bpm=" + juce::String (stretchBpm) + " semi=" + juce::String (stretchSemitones) + ")"
                                                  : juce::String())
                              + (cacheOnly ? " [cacheOnly]" : ""));
    preloader->startPreload (std::move (request));
}

void AudioEngine::finalizePreload (std::shared_ptr<PreloadedSession> session)
{
    if (session == nullptr)
        return;
    if (session->cacheOnly)
    {
        debugLog ("[TRACK-AUDIT] finalizePreload SKIP (cacheOnly) | songId=" + first8 (session->songId) + " | wasPreStretched="
                  + (session->wasPreStretched ? "true" : "false") + " | preloadedSession stays=" + slotId (preloadedSession));
        juce::Logger::writeToLog ("AudioEngine: Preload (cacheOnly) completed: " + session->songId);
    }
    else
    {
        debugLog ("[TRACK-AUDIT] preloadedSession SET | songId=" + first8 (session->songId) + " | cacheOnly=false | wasPreStretched="
                  + (session->wasPreStretched ? "true" : "false") + " | prevSession=" + slotId (preloadedSession));
        preloadedSession = session;
    }
    juce::Logger::writeToLog ("AudioEngine: Preload complete for song: " + session->songId + " (" + juce::String ((int) session->tracks.size())
                              + " tracks)" + (session->cacheOnly ? " [cacheOnly]" : ""));
    sendEvent (makeObject ({ { "action", "PRELOAD_COMPLETE" },
                             { "songId", session->songId },
                             { "trackCount", (int) session->tracks.size() },
                             { "sampleRate", session->sampleRate } }));
}

//==============================================================================
AudioEngine::PreloadThread::PreloadThread (AudioEngine& engineIn) : EngineWorkerThread ("Preloader", engineIn) {}

AudioEngine::PreloadThread::~PreloadThread() { stopWithin (5000); }

void AudioEngine::PreloadThread::startPreload (PreloadRequest request)
{
    request.stretchWorkers = juce::jlimit (1, 4, request.stretchWorkers);
    {
        const std::scoped_lock lock (requestLock);
        pending = std::move (request);
        ++generation; // the run in progress sees it, ends and posts nothing more
        busy = true;
    }
    if (! isThreadRunning())
        startThread (juce::Thread::Priority::low);
    notify();
}

void AudioEngine::PreloadThread::cancelRun()
{
    const std::scoped_lock lock (requestLock);
    pending.reset();
    ++generation;
}

bool AudioEngine::PreloadThread::stopWithin (int timeoutMs)
{
    cancelRun();
    return stopAfterItsRun (timeoutMs);
}

bool AudioEngine::PreloadThread::runShouldStop (juce::uint64 runGeneration) const noexcept
{
    return threadShouldExit() || generation.load() != runGeneration;
}

void AudioEngine::PreloadThread::run()
{
    while (! threadShouldExit())
    {
        std::optional<PreloadRequest> request;
        juce::uint64 runGeneration = 0;
        {
            const std::scoped_lock lock (requestLock);
            request.swap (pending);
            runGeneration = generation.load();
            if (! request.has_value())
                busy = false;
        }
        if (! request.has_value())
        {
            wait (-1);
            continue;
        }
        runPreload (*request, runGeneration);
    }
    busy = false;
}

void AudioEngine::PreloadThread::postRunEvent (juce::uint64 runGeneration, juce::var payload)
{
    auto& owner = getEngine();
    if (! owner.eventSink || runShouldStop (runGeneration))
        return;
    owner.postToMessageThread ([&owner, runGeneration, payload = std::move (payload)]
    {
        if (owner.preloader != nullptr && owner.preloader->isCurrent (runGeneration))
            owner.sendEvent (payload);
    });
}

std::unique_ptr<juce::AudioFormatReader> AudioEngine::PreloadThread::createReader (const juce::String& url, juce::MemoryBlock& fetched)
{
    StemReaderCopy copy;
    copy.prefix = "Preloader: ";
    copy.fetchLine = "Downloading: ";
    copy.log = [] (const juce::String& line) { juce::Logger::writeToLog (line); };
    copy.shouldStop = [this] { return threadShouldExit(); };
    return openStemReader (getEngine().formatManager, url, copy, &fetched);
}
} // namespace quorvelle
