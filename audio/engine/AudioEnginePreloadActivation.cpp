// Activation of the preloaded song: the session in the slot becomes the active song without touching
// the disk (its samples are handed to new loaded tracks, never copied), and the click and cue setup
// that waits while a standalone count speaks.
#include "audio/engine/AudioEngine.h"

#include <cmath>

namespace quorvelle
{
namespace
{
juce::String first8 (const juce::String& id) { return id.substring (0, 8); }
const char* yesNo (bool value) { return value ? "YES" : "NO"; }
const char* yN (bool value) { return value ? "Y" : "N"; }

float linearGain (double dB) { return dB <= -100.0 ? 0.0f : (float) std::pow (10.0, dB / 20.0); }

// The two leading numbers of a time-signature value, when it has them and both are above 0.
bool readTimeSignature (const juce::var& value, int& n, int& d)
{
    const auto* array = value.getArray();
    if (array == nullptr || array->size() < 2)
        return false;
    const auto first = (int) array->getReference (0), second = (int) array->getReference (1);
    if (first <= 0 || second <= 0)
        return false;
    n = first;
    d = second;
    return true;
}

// The beat map's "time" and "beatNum" of every entry, in order.
void readBeatmap (const juce::var& beatmap, std::vector<double>& times, std::vector<int>& numbers)
{
    times.clear();
    numbers.clear();
    if (const auto* beats = beatmap.getArray())
    {
        times.reserve ((size_t) beats->size());
        numbers.reserve ((size_t) beats->size());
        for (const auto& beat : *beats)
        {
            times.push_back ((double) beat.getProperty ("time", 0.0));
            numbers.push_back ((int) beat.getProperty ("beatNum", 0));
        }
    }
}

bool everyChunkLoaded (const ChunkLoadMap& map)
{
    for (int64_t chunk = 0; chunk < map.numChunks; ++chunk)
        if (! map.isLoaded (chunk))
            return false;
    return true;
}
} // namespace

void AudioEngine::activatePreloaded (const juce::String& songId, bool autoPlay, double startPosition, bool fastReset, bool countIn,
                                     const juce::String& countInSectionKey, double countInStartPosition, double countInBpm,
                                     int countInNumerator, int countInDenominator, bool countInRegion, double regionStartPos,
                                     double regionEndPos, bool regionVoiceInt, bool countStrip, double countClickVolumeDb,
                                     bool countClickMuted, double countGuideVolumeDb, bool countGuideMuted, double regionVoiceDelaySec,
                                     double regionVoiceSpanSec)
{
    PreloadActivation request;
    request.songId = songId;
    request.autoPlay = autoPlay;
    request.startPosition = startPosition;
    request.fastReset = fastReset;
    request.countIn = countIn;
    request.countInSectionKey = countInSectionKey;
    request.countInStartPosition = countInStartPosition;
    request.countInBpm = countInBpm;
    request.countInNumerator = countInNumerator;
    request.countInDenominator = countInDenominator;
    request.countInRegion = countInRegion;
    request.regionStartPos = regionStartPos;
    request.regionEndPos = regionEndPos;
    request.regionVoiceInt = regionVoiceInt;
    request.regionVoiceDelaySec = regionVoiceDelaySec;
    request.regionVoiceSpanSec = regionVoiceSpanSec;
    request.countStrip = countStrip;
    request.countClickVolumeDb = countClickVolumeDb;
    request.countClickMuted = countClickMuted;
    request.countGuideVolumeDb = countGuideVolumeDb;
    request.countGuideMuted = countGuideMuted;
    activatePreloadedSong (request);
}

bool AudioEngine::activatePreloadedSong (const PreloadActivation& request)
{
    const auto& songId = request.songId;
    if (preloadedSession == nullptr || preloadedSession->songId != songId)
    {
        juce::Logger::writeToLog ("AudioEngine: activatePreloaded - no matching preload for " + songId);
        debugLog ("[TRACK-AUDIT] !! activatePreloaded FAILED | songId=" + songId + " | preloadedSession="
                  + (preloadedSession != nullptr ? "exists(songId=" + first8 (preloadedSession->songId) + ")" : juce::String ("NULL"))
                  + juce::String::fromUTF8 (" | Song A tracks STILL IN BUSES \xe2\x80\x94 avisando al frontend para recargar normal"));
        sendEvent (makeObject ({ { "action", "ACTIVATE_PRELOADED_FAILED" }, { "songId", songId } }));
        return false;
    }

    // The record stays alive here until the end; the slot lets go of it now.
    auto session = preloadedSession;
    debugLog ("[TRACK-AUDIT] preloadedSession CONSUMED by activatePreloaded | songId=" + first8 (songId));
    preloadedSession.reset();

    const auto ticket = ++loadTicket;
    currentLoadingSongId = songId;
    setActiveSongId (songId);
    audioLeadPadSec = session->audioLeadPadSec;

    // A standalone count that speaks now goes on speaking through the reset (which would drop its
    // flag): the song's click setup then waits for it, and no second count replaces it.
    const bool standaloneCountSpeaking = standaloneCountInActive.load();
    if (request.fastReset)
        resetFast();
    else
        reset();
    setActiveSongId (songId);
    if (standaloneCountSpeaking && countIn != nullptr && countIn->isActive())
        standaloneCountInActive = true;

    // Whatever an earlier activation left waiting belongs to the song that is gone.
    deferredSetupStored = false;
    deferredSetupAfterCount = false;
    deferredSetupPending = false;

    // Click and cue setup: while a standalone count speaks, its click stays until the count ends.
    const bool deferCueSetup = standaloneCountInActive.load();
    const auto* beats = session->beatmapVar.getArray();
    const auto* signature = session->timeSignatureVar.getArray();
    debugLog ("[CLICK-CPP] activatePreloaded METRONOME SETUP | deferCueSetup=" + juce::String (yesNo (deferCueSetup))
              + " | beatmapVar.isArray=" + yN (beats != nullptr) + " | beatmapVar.size=" + juce::String (beats != nullptr ? beats->size() : 0)
              + " | tsVar.isArray=" + yN (signature != nullptr) + " | tsVar.size=" + juce::String (signature != nullptr ? signature->size() : 0)
              + " | currentTS=" + juce::String (numerator) + "/" + juce::String (denominator));
    if (deferCueSetup)
    {
        storeDeferredSetup (*session);
        deferredSetupAfterCount = ! overlapPreActivating();
        deferredStartPosition = std::max (0.0, request.startPosition);
    }
    else
    {
        // The click's tempo ratio starts from this song's tempo, with or without a beat map.
        metronome->setOriginalBpm (session->bpm);
        if (beats != nullptr && ! beats->isEmpty())
        {
            std::vector<double> times;
            std::vector<int> numbers;
            readBeatmap (session->beatmapVar, times, numbers);
            metronome->setBeatmap (times, numbers);
            metronome->seekToTime (0.0);
            debugLog ("[CLICK-CPP] setBeatmap DONE | entries=" + juce::String ((int) times.size()));
            if (cue != nullptr)
                cue->setBeatmap (std::move (times));
        }
        else
        {
            metronome->clearBeatmap();
            if (cue != nullptr)
                cue->setBeatmap ({});
            debugLog ("[CLICK-CPP] clearBeatmap (no beatmap data)");
        }

        if (signature != nullptr && signature->size() > 1)
        {
            int n = 0, d = 0;
            if (readTimeSignature (session->timeSignatureVar, n, d))
            {
                setTimeSignature (n, d);
                debugLog ("[CLICK-CPP] setTimeSignature DONE | " + juce::String (n) + "/" + juce::String (d));
            }
        }
        else
        {
            debugLog (juce::String::fromUTF8 ("[CLICK-CPP] !! NO timeSignature in session \xe2\x80\x94 metronome keeps old TS: ")
                      + juce::String (numerator) + "/" + juce::String (denominator));
        }

        if (cue != nullptr)
        {
            cue->setSections (juce::JSON::toString (session->sectionsVar, true));
            cue->setBpm (session->bpm);
            cue->setOriginalBpm (session->bpm);
            cue->setTimeSignature (numerator, denominator);
            cue->setNextReadPosition (0);
        }
    }

    // The stems: the session's samples move into new loaded tracks.
    std::vector<ComplementFillJob> fills;
    buildPreloadedTracks (*session, fills);
    if (! fills.empty() && trackLoader != nullptr)
    {
        headOnlyLoadRunning = true;
        debugLog ("[F5-FILL] disparando relleno de complemento | jobs=" + juce::String ((int) fills.size()));
        trackLoader->startComplementFill (std::move (fills));
    }

    // Tempo and key. The live-stretch rule decides the stretchers once the stems' state is known.
    originalBpm = session->bpm;
    const bool stretchPath = session->wasPreStretched && session->stretchBpm > 0.0;
    if (stretchPath)
    {
        buffersHaveStftDelay = true;
        metronome->latencyCompensation = true;
        setPitch (0.0f);
        currentSemitones = (float) session->stretchSemitones;
        loadedBpm = session->stretchBpm;
        currentBpm = session->stretchBpm;
        setBpm (session->stretchBpm);
        applyLiveStretchRule();
        metronome->setBpm (session->stretchBpm);
        rearmAfterStftFlip();
        // The count that runs keeps its length: the stems start at their first sample (no delay to trim).
        if (cue != nullptr)
            cue->setBpm (session->stretchBpm);
        debugLog ("[TRANSITION] activatePreloaded STRETCH path | buffersHaveStftDelay=true | stretchBpm=" + juce::String (session->stretchBpm)
                  + " | semi=" + juce::String (session->stretchSemitones));
        juce::Logger::writeToLog (juce::String::fromUTF8 ("activatePreloaded: Pre-stretched session \xe2\x80\x94 bypass active, bpm=")
                                  + juce::String (session->stretchBpm)
                                  + " semi=" + juce::String (session->stretchSemitones));
    }
    else
    {
        buffersHaveStftDelay = false;
        metronome->latencyCompensation = false;
        setPitch (0.0f);
        if (session->wasPreStretched)
            currentSemitones = (float) session->stretchSemitones;
        loadedBpm = session->bpm;
        currentBpm = originalBpm;
        setBpm (originalBpm);
        applyLiveStretchRule();
        rearmAfterStftFlip();
        int n = 0, d = 0;
        const bool hasSignature = signature != nullptr && signature->size() > 1;
        if (hasSignature)
        {
            n = (int) signature->getReference (0);
            d = (int) signature->getReference (1);
        }
        debugLog ("[TRANSITION] activatePreloaded NORMAL path | buffersHaveStftDelay=false | bpm=" + juce::String (session->bpm)
                  + " | wasPreStretched=" + (session->wasPreStretched ? "true" : "false") + " | metroTS=" + juce::String (numerator) + "/"
                  + juce::String (denominator) + " | beatmapLoaded=" + juce::String (beats != nullptr ? beats->size() : 0)
                  + " | tsInSession=" + (hasSignature ? juce::String (n) + "/" + juce::String (d) : juce::String ("NONE")));
    }

    currentSongIdForStretch = songId;
    peaksTicket = ticket;
    numPeaks = session->numBars;
    peakCount = session->numBars;
    songTracks = session->tracksVar;
    songSections = session->sectionsVar;
    songBeatMap = session->beatmapVar;

    // Waveform peaks, from the bytes the preloader fetched where it has them.
    if (peakGenerator == nullptr)
    {
        debugLog (juce::String::fromUTF8 ("[TRANSITION] peakGenerator NULL \xe2\x80\x94 no peaks will be generated!"));
    }
    else
    {
        const auto* given = session->peakTracksVar.getArray();
        const bool usePeakTracks = given != nullptr && ! given->isEmpty();
        const auto& peakInput = usePeakTracks ? session->peakTracksVar : session->tracksVar;
        const int inputSize = peakInput.isArray() ? peakInput.size() : 0;
        debugLog ("[TRANSITION] peakGenerator START | numBars=" + juce::String (session->numBars) + " | cachedBlocks="
                  + juce::String ((int) session->downloads.size()) + " | peakInputSize=" + juce::String (inputSize)
                  + " | usingPeakTracksVar=" + yesNo (usePeakTracks) + " | ticket=" + juce::String (ticket));
        if (inputSize > 0 || ! session->downloads.empty())
            peakGenerator->startFromCache (peakInput, std::move (session->downloads), session->numBars, ticket);
        else
            debugLog (juce::String::fromUTF8 ("[TRANSITION] peakGenerator SKIP \xe2\x80\x94 empty tracksVar & cachedBlocks; relying on JS peakCache"));
    }

    // The song's chain at the session's rate, its click and cues at 0.
    const auto songRate = session->sampleRate;
    installSongChain (songRate);
    metronome->seekToTime (0.0);
    if (cue != nullptr)
        if (const auto cueRate = cue->getSampleRate(); cueRate > 0.0)
            cue->setNextReadPosition ((juce::int64) (transportSecondsForSongTime (0.0) * cueRate));
    sessionSampleRate = songRate;

    // A song of click and pads only runs on its bars plus a 30 s tail.
    int64_t virtualSamples = 0;
    if (tracks.empty() && session->numBars >= 1 && session->bpm > 0.0 && numerator >= 1 && denominator >= 1)
    {
        const double seconds = 4.0 / denominator * 60.0 / session->bpm * numerator * session->numBars;
        const auto length = (int64_t) ((seconds + 30.0) * songRate);
        virtualSamples = length >= 1 ? length : 0;
        debugLog ("[TRANSITION] Click+Pad virtualClock enabled (activatePreloaded) | " + juce::String (seconds, 2) + "s ("
                  + juce::String (session->numBars) + " bars) + " + juce::String (30) + "s tail");
    }
    groupMixer.setVirtualLength (virtualSamples);
    musicMixer.setVirtualLength (virtualSamples);

    musicGain->setGain (1.0f, 0.0f);
    updateGains();
    isSessionReady = true;
    wasPlayingAtLastTick = false;

    juce::String trackList;
    for (const auto& [id, track] : tracks)
        trackList << id << "(" << track->instrumentType << ") ";
    debugLog ("[TRANSITION] activatePreloaded DONE | songId=" + songId + " | trackCount=" + juce::String ((int) tracks.size())
              + " | preloadTrackCount=" + juce::String ((int) session->tracks.size()) + " | tracks=[" + trackList + "]"
              + " | autoPlay=" + (request.autoPlay ? "true" : "false") + " | startPos=" + juce::String (request.startPosition, 3));
    juce::Logger::writeToLog ("AudioEngine: Preloaded session activated for " + songId + ". Tracks: " + juce::String ((int) tracks.size())
                              + ", SampleRate: " + juce::String (songRate));

    if (request.countStrip)
    {
        // The mixer's own setters: -100 dB or less is silence, a level that is not a number is refused.
        setMetronomeVolume ((float) request.countClickVolumeDb);
        setMetronomeMute (request.countClickMuted);
        setGuideVolume ((float) request.countGuideVolumeDb);
        setGuideMute (request.countGuideMuted);
        debugLog ("[COUNT-IN] strip de B aplicado pre-cuenta | click=" + juce::String (request.countClickVolumeDb, 1) + "dB"
                  + (request.countClickMuted ? " (M)" : "") + " | guia=" + juce::String (request.countGuideVolumeDb, 1) + "dB"
                  + (request.countGuideMuted ? " (M)" : ""));
    }

    if (request.countIn && ! standaloneCountInActive.load())
    {
        play (true, true, request.countInStartPosition, request.countInSectionKey, false, request.countInBpm, request.countInNumerator,
              request.countInDenominator, -1.0);
        sendEvent (makeObject ({ { "action", "COUNT_IN_STARTED_BY_NATIVE" }, { "songId", songId } }));
        juce::Logger::writeToLog ("AudioEngine: activatePreloaded count-in started for " + songId);
    }
    else if (request.countInRegion && ! standaloneCountInActive.load() && request.regionStartPos >= 0.0)
    {
        play (false, false, request.regionStartPos, {}, false, -1.0, -1, -1, -1.0);
        if (request.regionVoiceInt && request.countInBpm > 0.0)
            startCountRegionVoice (request.countInBpm, request.countInNumerator, request.countInDenominator, request.regionStartPos,
                                   request.regionEndPos, request.regionVoiceDelaySec, request.regionVoiceSpanSec, false,
                                   request.countInSectionKey, -1.0);
        sendEvent (makeObject ({ { "action", "COUNT_IN_STARTED_BY_NATIVE" }, { "songId", songId } }));
        juce::Logger::writeToLog ("AudioEngine: activatePreloaded region count started for " + songId);
    }

    // Song seconds at the recorded tempo.
    const double length = songRate > 0.0 ? (double) musicMixer.getTotalLength() / songRate : 0.0;
    const double r = getTempoRatio();
    const double delay = songTimeOffset;
    const double audioDuration = r == 1.0 ? length : (delay > 0.0 && length > delay ? (length - delay) * r : length * r);
    sendEvent (makeObject ({ { "action", "SESSION_LOADED" },
                             { "trackCount", (int) tracks.size() },
                             { "sampleRate", songRate },
                             { "audioDuration", audioDuration },
                             { "wasPreloaded", true },
                             { "wasPreStretched", session->wasPreStretched },
                             { "songId", songId } }));

    if (request.startPosition >= 0.0)
    {
        setSongChainPosition (transportSecondsForSongTime (request.startPosition));
        // The click and the cues start where the song starts (unless the count's setup still waits).
        if (! deferCueSetup)
            syncMetronomePosition (request.startPosition);
    }

    if (request.autoPlay)
    {
        playbackGate = true;
        transportRunning = true;
        masterTransport.start();
        juce::Logger::writeToLog ("AudioEngine: activatePreloaded auto-play at pos=" + juce::String (std::max (request.startPosition, 0.0)));
    }
    publishTransportNow();
    return true;
}

void AudioEngine::buildPreloadedTracks (PreloadedSession& session, std::vector<ComplementFillJob>& fills)
{
    for (auto& preloaded : session.tracks)
    {
        if (! preloaded.holdsAudio())
            continue;

        // The loaded track shares the record the session decoded into: nothing is copied, and a
        // complement fill writes into the samples that play.
        auto track = std::make_unique<LoadedTrack> (preloaded.samples);
        track->url = preloaded.url;
        std::unique_ptr<juce::PositionableAudioSource> source;
        if (track->int16Channels != nullptr)
        {
            if (preloaded.isHeadOnly)
                source = std::make_unique<Int16MemoryAudioSource> (track->int16Channels.get(), &track->loadMap, &chunkMissCount);
            else
                source = std::make_unique<Int16MemoryAudioSource> (track->int16Channels.get());
        }
        else
        {
            source = std::make_unique<juce::MemoryAudioSource> (*track->buffer, false, true);
        }

        track->volume = linearGain (preloaded.volumeDb);
        track->instrumentType = preloaded.instrumentType;
        track->skipTranspose = preloaded.skipTranspose;
        track->isPercussive = preloaded.isPercussive;
        track->busOverride = preloaded.busOverride;

        track->bus = resolveTrackBus (preloaded.busOverride, preloaded.instrumentType);
        const bool routed = getGroupBus (track->bus) != nullptr;
        if (! routed)
            track->bus = "aux";
        juce::Logger::writeToLog ("activatePreloaded: Track " + preloaded.trackId + " (" + preloaded.instrumentType + ") -> bus " + track->bus
                                  + (routed ? "" : " (fallback)"));

        if (const auto existing = tracks.find (preloaded.trackId); existing != tracks.end())
        {
            if (auto* oldBus = getGroupBus (existing->second->bus); oldBus != nullptr && existing->second->tap != nullptr)
                oldBus->mixer.removeInputSource (existing->second->tap.get());
            tracks.erase (existing);
        }
        rebuildTrackChain (*track, std::move (source), 0.02f);

        if (preloaded.instrumentType.contains ("GUITAR"))
            debugLog ("[GTR-NATIVE] activatePreloaded id=" + preloaded.trackId + " inst=" + preloaded.instrumentType + " group=" + track->bus
                      + " routed=" + (routed ? "OK" : "AUX-FALLBACK") + " buf=" + juce::String (track->getNumChannels()) + "ch/"
                      + juce::String (track->getNumSamples()) + "smp" + " gain=" + juce::String (track->volume, 3));

        // A head-only stem is completed over its whole length: the window may start after 0, and the
        // decoder skips the chunks that are already there.
        if (preloaded.isHeadOnly && track->int16Channels != nullptr && preloaded.totalSamples > 0 && ! everyChunkLoaded (track->loadMap))
        {
            ComplementFillJob job;
            job.target = track.get();
            job.samples = preloaded.samples;
            job.sourceUrl = preloaded.complementSource;
            job.fromSample = 0;
            job.toSample = preloaded.totalSamples;
            job.padded = ! preloaded.complementFromCache;
            job.markComplete = ! preloaded.complementFromCache;
            fills.push_back (std::move (job));
        }

        tracks[preloaded.trackId] = std::move (track);
    }
}

//==============================================================================
// The deferred click and cue setup.

void AudioEngine::storeDeferredSetup (const PreloadedSession& session)
{
    // The audio thread reads these only after it has taken the flag; it is down while they change.
    deferredSetupPending = false;
    deferredSetupStored = true;
    deferredMetronomeSetup = session.beatmapVar;
    deferredCueSetup = session.sectionsVar;
    deferredCountInSetup = session.timeSignatureVar;
    deferredOriginalBpm = session.bpm;
    readBeatmap (session.beatmapVar, deferredBeatTimes, deferredBeatNumbers);
    deferredTimeSignatureValid = readTimeSignature (session.timeSignatureVar, deferredNumerator, deferredDenominator);
    deferredSetupPending = true;

    juce::Logger::writeToLog ("activatePreloaded: Deferred cue/metronome setup (standalone count-in active)");
    debugLog ("[TRANSITION] activatePreloaded -> setOriginalBpm DEFERRED to audio thread | deferredBpm=" + juce::String (deferredOriginalBpm, 1)
              + " | deferredBeatmap=" + juce::String ((int) deferredBeatTimes.size()) + " | deferredHasTs=" + yN (deferredTimeSignatureValid));
}

void AudioEngine::applyDeferredSetup (double songPosition)
{
    if (! deferredSetupStored)
        return;
    deferredSetupStored = false;
    deferredSetupAfterCount = false;

    if (deferredSetupPending.exchange (false))
    {
        debugLog ("[TRANSITION] deferred metronome FIRING (message thread, FALLBACK path) | bpm=" + juce::String (deferredOriginalBpm, 1)
                  + " | beatmap=" + juce::String ((int) deferredBeatTimes.size()));
        if (! deferredBeatTimes.empty())
        {
            metronome->setOriginalBpm (deferredOriginalBpm);
            metronome->setBeatmap (deferredBeatTimes, deferredBeatNumbers);
            metronome->seekToTime (songPosition);
            if (cue != nullptr)
                cue->setBeatmap (deferredBeatTimes);
        }
        else
        {
            metronome->setOriginalBpm (deferredOriginalBpm);
            metronome->clearBeatmap();
            metronome->seekToTime (songPosition);
            if (cue != nullptr)
                cue->setBeatmap ({});
        }
        juce::Logger::writeToLog ("AudioEngine: Deferred metronome applied from message thread (fallback)");
    }

    if (deferredTimeSignatureValid)
        setTimeSignature (deferredNumerator, deferredDenominator);

    if (cue != nullptr)
    {
        cue->setSections (juce::JSON::toString (deferredCueSetup, true));
        cue->setOriginalBpm (deferredOriginalBpm);
        cue->setBpm (currentBpm.load() > 0.0 ? currentBpm.load() : deferredOriginalBpm);
        cue->setTimeSignature (numerator, denominator);
        const auto rate = cue->getSampleRate();
        cue->setNextReadPosition (rate > 0.0 ? (juce::int64) (transportSecondsForSongTime (songPosition) * rate) : 0);
    }
    juce::Logger::writeToLog ("AudioEngine: Deferred cue setup applied");
}

void AudioEngine::applyDeferredSetupAfterCount()
{
    if (! deferredSetupStored || ! deferredSetupAfterCount)
        return;
    if (transitionSongId.isNotEmpty() || overlapPreActivating() || standaloneCountInActive.load())
        return;
    // The song may have started under the count (autoPlay): the click joins it where it is now.
    const double position = masterTransport.isPlaying() ? computeTickSongTime() : deferredStartPosition;
    debugLog ("[TRANSITION] standalone count ended -> deferred setup applied | pos=" + juce::String (position, 3));
    applyDeferredSetup (position);
}

void AudioEngine::applyPlainDeferredSetupNow (double songPosition)
{
    if (! deferredSetupStored || ! deferredSetupAfterCount)
        return;
    if (! isSessionReady)
    {
        // The song it was kept for is being replaced.
        deferredSetupStored = false;
        deferredSetupAfterCount = false;
        deferredSetupPending = false;
        return;
    }
    applyDeferredSetup (songPosition);
}
} // namespace quorvelle
