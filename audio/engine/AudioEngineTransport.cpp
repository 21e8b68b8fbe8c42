// The transport: play (plain, with a count-in or a section pre-roll), pause, resume, stop, seek, the
// music fades and the full reset; the song-time mapping; the count-in completion on the audio thread.
#include "audio/engine/AudioEngine.h"

#include "audio/graph/AudioLogLine.h"

#include <cmath>

namespace quorvelle
{
namespace
{
const char* yesNo (bool value) { return value ? "y" : "n"; }
} // namespace

//==============================================================================
// Song time and transport time.

double AudioEngine::getTempoRatio() const noexcept
{
    const auto current = currentBpm.load();
    return current > 0.0 && originalBpm > 0.0 ? current / originalBpm : 1.0;
}

double AudioEngine::transportSecondsForSongTime (double songTime) const noexcept
{
    return songTime / getTempoRatio() + songTimeOffset;
}

double AudioEngine::songTimeForTransportSeconds (double seconds) const noexcept
{
    const auto r = getTempoRatio();
    if (songTimeOffset > 0.0 && seconds > songTimeOffset)
        return (seconds - songTimeOffset) * r;
    return r == 1.0 ? seconds : seconds * r;
}

void AudioEngine::syncMetronomePosition (double songTime)
{
    if (metronome != nullptr)
        metronome->seekToTime (songTime);
    if (cue != nullptr)
        if (const auto rate = cue->getSampleRate(); rate > 0.0)
            cue->setNextReadPosition ((juce::int64) (transportSecondsForSongTime (songTime) * rate));
}

void AudioEngine::publishTransportNow() { onAudioBlockRendered(); }

void AudioEngine::onAudioBlockRendered() noexcept
{
    // The song chain's played position at the session rate (the buses' stretchers count it).
    // Lock-free: one atomic load per value.
    int64_t position = 0;
    if (! groupBuses.empty())
        position = groupBuses.begin()->second->stretch->getNextReadPosition();
    publishTransportState (position, sessionSampleRate.load(), transportRunning.load());
}

void AudioEngine::logStretchDiagnostics (const juce::String& tag)
{
    const auto rate = masterTransport.getCurrentPosition();
    debugLog ("[STRETCH-DIAG] " + tag + " | sessionSR=" + juce::String (sessionSampleRate.load()) + " | ratio="
              + juce::String (getTempoRatio(), 4) + " | originalBpm=" + juce::String (originalBpm, 2) + " | currentBpm="
              + juce::String (currentBpm.load(), 2) + " | D=" + juce::String (songTimeOffset, 4) + " | stftDelay="
              + (buffersHaveStftDelay ? "Y" : "N") + " | transportLen=" + juce::String (masterTransport.getLengthInSeconds(), 3)
              + " | transportPos=" + juce::String (rate, 3));
}

//==============================================================================
// Play.

void AudioEngine::resumeClickSection (const juce::String& tag)
{
    if (isClickSectionActive())
    {
        setClickSectionRunning (true);
    }
    else if (musicMutedByClickSectionCancel)
    {
        musicGain->setGain (1.0f, 0.005f);
        musicMutedByClickSectionCancel = false;
    }
    clickSectionMachine.resume();
    checkClickSectionDrift (tag);
}

bool AudioEngine::startPlainTransport (double songTime)
{
    setSongChainPosition (transportSecondsForSongTime (songTime));
    syncMetronomePosition (songTime);
    pendingSeekSeconds = -1.0;
    playbackGate = true;
    transportRunning = true;
    masterTransport.start();
    countInPhase = 2;
    publishTransportNow();

    const bool playing = masterTransport.isPlaying();
    juce::Logger::writeToLog ("AudioEngine: Play command executed. Is playing: " + juce::String (playing ? "true" : "false"));
    debugLog ("Play command executed. Is playing: " + juce::String (playing ? "true" : "false"));
    if (! playing)
    {
        juce::Logger::writeToLog ("AudioEngine: WARNING - start() was called but transport is not playing. Source may not be prepared yet.");
        debugLog ("WARNING: Transport did not start. May need to wait for audio thread to prepare.");
    }
    return playing;
}

void AudioEngine::play (bool fromStart, bool forceCountIn, double startPosition, const juce::String& sectionKey, bool sectionPreRoll,
                        double countInBpm, int countInNumerator, int countInDenominator, double countInTruncateSec)
{
    if (! isSessionReady)
    {
        juce::Logger::writeToLog ("AudioEngine: Cannot play - session not ready (isSessionReady=false, tracks=" + juce::String ((int) tracks.size())
                                  + ")");
        debugLog ("Cannot play: session not ready");
        return;
    }

    resumeClickSection ("play");

    if (masterTransport.isPlaying() || countInPhase.load() == 1)
    {
        if (! (forceCountIn || startPosition >= 0.0))
        {
            juce::Logger::writeToLog ("AudioEngine: Already playing or counting in");
            return;
        }
        juce::Logger::writeToLog (juce::String::fromUTF8 ("AudioEngine: Transition play \xe2\x80\x94 force-stopping stale state"));
        stop();
    }

    const bool sourcesExist = countIn != nullptr && cue != nullptr;
    const bool runCountIn = fromStart && (countInEnabled || forceCountIn) && sourcesExist;
    const bool runPreRoll = ! runCountIn && sectionPreRoll && sourcesExist;
    countInRunning = runCountIn || runPreRoll;

    pendingSeekSeconds = startPosition;
    debugLog ("[PLAY] pos=" + juce::String (startPosition, 3) + " bpm=" + juce::String (currentBpm.load(), 1) + " fromStart="
              + yesNo (fromStart) + " preRoll=" + yesNo (sectionPreRoll) + " section=" + sectionKey);
    if (metronome != nullptr)
        debugLog ("[PLAY-METRO-STATE] metronomePos=" + juce::String ((juce::int64) metronome->getNextReadPosition())
                  + " transportPos=" + juce::String (masterTransport.getCurrentPosition(), 3));

    if (! runCountIn && ! runPreRoll)
    {
        startPlainTransport (juce::jmax (pendingSeekSeconds, 0.0));
        return;
    }

    const auto r = getTempoRatio();
    juce::String key, sectionUsed;
    const double startSongTime = pendingSeekSeconds;
    if (runCountIn)
    {
        sectionUsed = sectionKey;
        if (sectionUsed.isEmpty())
            sectionUsed = cue->getFirstSectionNameExcept ({ "cuenta inicial", "cuenta_inicial" });
        key = cue->getFilenameForSection (sectionUsed.isNotEmpty() ? sectionUsed : juce::String ("1"));
        // The count speaks before the start position: the stretcher delay is not added here.
        setSongChainPosition (juce::jmax (startSongTime, 0.0) / r);
        syncMetronomePosition (juce::jmax (startSongTime, 0.0));
    }
    else
    {
        sectionUsed = sectionKey;
        key = sectionKey.isNotEmpty() ? cue->getFilenameForSection (sectionKey) : juce::String();
        if (startSongTime >= 0.0)
        {
            setSongChainPosition (startSongTime / r);
            syncMetronomePosition (startSongTime);
        }
    }
    if (key.isEmpty())
        key = "1";

    // Count parameters.
    pendingSeekSeconds = -1.0;
    const auto deviceRate = deviceSampleRate.load();
    const auto sessionRate = sessionSampleRate.load();
    const auto metronomeRate = metronome != nullptr ? metronome->getSampleRate() : 0.0;
    countIn->bpm = countInBpm > 0.0 ? countInBpm : currentBpm.load();
    countIn->numerator = countInNumerator >= 1 ? countInNumerator : numerator;
    countIn->denominator = countInDenominator >= 1 ? countInDenominator : denominator;
    countIn->voiceSampleRate = metronomeRate > 0.0 ? metronomeRate : (sessionRate > 0.0 ? sessionRate : deviceRate);
    if (metronome != nullptr)
    {
        countIn->clickLevels[2].store (metronome->eighthLevel.load());
        countIn->clickLevels[3].store (metronome->sixteenthLevel.load());
    }
    countInRunning = true;
    playbackGate = true;
    takeOverCountIn (true);

    if (runCountIn)
        countIn->startCountIn (key, true);
    else
        countIn->startCountInPreRoll (key);

    // No cue samples or no rate: the source built no count and nothing would ever start the
    // transport. Start it plainly instead.
    if (! countIn->isActive())
    {
        debugLog ("[COUNT-IN] count could not be built (no cue samples or no rate) | plain start");
        countInRunning = false;
        startPlainTransport (juce::jmax (startSongTime, 0.0));
        return;
    }

    if (runCountIn)
    {
        debugLog ("[COUNT-IN] section=" + sectionUsed + " events=" + juce::String ((int) countIn->getEvents().size()) + " length="
                  + juce::String (countIn->getLengthSeconds(), 3) + "s");
        if (countInTruncateSec > 0.0)
        {
            countIn->truncateAt (countInTruncateSec);
            debugLog (juce::String::fromUTF8 ("[COUNT-IN] C2 frente sint\xc3\xa9tico: truncado a ") + juce::String (countInTruncateSec, 3)
                      + juce::String::fromUTF8 ("s (handoff \xe2\x86\x92 regi\xc3\xb3n)"));
        }
        countInPhase = 1;
        juce::Logger::writeToLog ("AudioEngine: Count-in started for section: " + key);
    }
    else
    {
        debugLog ("[PRE-ROLL] section=" + sectionKey + " start=" + juce::String (startSongTime, 3) + " events="
                  + juce::String ((int) countIn->getEvents().size()) + " length=" + juce::String (countIn->getLengthSeconds(), 3) + "s");
        countInPhase = 1;
        juce::Logger::writeToLog ("AudioEngine: Section pre-roll started for: " + key);
    }
    publishTransportNow();
}

void AudioEngine::onCountInComplete() noexcept
{
    // Audio thread, inside the router's block: the song, the click and the cues all start on the
    // count's end sample of this block. A standalone count never starts the transport.
    if (! countInCompletionOpen.load())
        return;
    const int offset = countInState.completionOffset.load();
    if (metronome != nullptr)
        metronome->setStartOffset (offset);
    if (cue != nullptr)
        cue->setStartOffset (offset);

    countInRunning = false;
    transportRunning = true;
    masterTransport.start();
    countInPhase = 2;

    // The transport's position in seconds, without its lock: the played position of the chain.
    const auto rate = sessionSampleRate.load();
    const auto position = groupBuses.empty() ? 0 : groupBuses.begin()->second->stretch->getNextReadPosition();
    const double t = rate > 0.0 ? (double) position / rate : 0.0;

    AudioLogLine logged ("AudioEngine: Count-in complete, transport started (audio thread) | transportPos=");
    logged.fixed (t, 3);
    AudioThreadLog::Record record;
    record.setName (logged.c_str());
    AudioThreadLog::shared().push (record);

    AudioLogLine sent ("[COUNT-IN] COMPLETE \xe2\x86\x92 transport started at ");
    sent.fixed (t, 3) << "s";
    record.sink = countInLogSink;
    record.setName (sent.c_str());
    AudioThreadLog::shared().push (record);
}

//==============================================================================
// Pause, resume, stop, seek.

void AudioEngine::clearCountJumpState()
{
    countJumpArmed = false;
    startArmed = false;
    pendingStart = false;
    startSeekPending = false;
    startSeekSample = -1;
    regionVoiceRearm = false;
    boundaryCountJump = false;
    countJumpPrimed = false;
    countJumpFallbackRequested = false;
    countJumpLanding = -1;
}

void AudioEngine::clearOverlapState()
{
    transitionSongId.clear();
    transitionScheduled = false;
    transitionArmed = false;
    handoffPending = false;
    overlayPlaying = false;
    transitionAutoStartRaised = false;
    transitionFinished = false;
    transitionPreloadArmed = false;
    for (auto* overlay : { countOverlay.get(), countOverlayClick.get(), countOverlayGuide.get() })
        if (overlay != nullptr)
            overlay->loadSample ({}, 0.0, 0.0);
}

void AudioEngine::pause()
{
    applyPlainDeferredSetupNow (computeTickSongTime());
    const bool standaloneWasActive = standaloneCountInActive.exchange (false);
    if (standaloneWasActive && countIn != nullptr)
        countIn->stop();

    const bool phase1Done = transitionArmed.load();
    if (standaloneWasActive || transitionSongId.isNotEmpty() || phase1Done || handoffPending.load() || overlayPlaying.load())
    {
        // B paused before its fade-in began: it plays at full level when resumed.
        if (phase1Done && transitionFinished.load() && musicGain != nullptr)
            musicGain->setGain (1.0f, 0.02f);
        // B stays loaded and paused with its click and cue setup; before B was activated the setup
        // belongs to nobody.
        if (phase1Done)
            applyDeferredSetup (handoffDone.load() ? computeTickSongTime() : handoffSeekSeconds.load());
        else
            deferredSetupPending = false;
        clearOverlapState();
        handoffDone = false;
        debugLog ("[TRANSITION] pause mid-transition -> count/overlay cancelled"
                  + juce::String (phase1Done ? " | B armed & paused (transition committed)" : ""));
    }

    if (countIn != nullptr)
    {
        if (countInPhase.load() == 1)
            countIn->stop();
        countIn->clearRegionOverlay();
    }

    countInPhase = 0;
    countInRunning = false;
    if (countJumpHoldsMusic() && musicGain != nullptr)
        musicGain->requestRamp (1.0f, 0.005f);
    clearCountJumpState();

    playbackGate = false;
    if (isClickSectionActive())
        setClickSectionRunning (false);
    clickSectionMachine.pause();
    checkClickSectionDrift ("pause");

    transportRunning = false;
    masterTransport.stop();
    publishTransportNow();
    juce::Logger::writeToLog ("AudioEngine: Pause called (position preserved)");
    debugLog ("Pause called (position preserved)");
}

void AudioEngine::resume()
{
    if (masterTransport.isPlaying())
        return;

    playbackGate = true;
    resumeClickSection ("resume");

    logStretchDiagnostics ("RESUME_PRE");
    transportRunning = true;
    masterTransport.start();
    countInPhase = 2;
    logStretchDiagnostics ("RESUME_POST");
    tickDiagWindowEndMs = (int64_t) juce::Time::getMillisecondCounter() + 5000;
    publishTransportNow();
    juce::Logger::writeToLog ("AudioEngine: Resume called");
    debugLog ("Resume called");
}

void AudioEngine::stop()
{
    playbackGate = false;
    setClickSectionRunning (false);
    cancelClickSection();

    if (! overlapPreActivating())
    {
        applyPlainDeferredSetupNow (0.0);
        standaloneCountInActive = false;
        clearOverlapState();
        deferredSetupPending = false;
        handoffDone = false;
        if (countIn != nullptr)
        {
            if (countInPhase.load() == 1)
                countIn->stop();
            countIn->clearRegionOverlay();
        }
        countRegionStart = -1.0;
        countRegionEnd = -1.0;
        countInPhase = 0;
        countInRunning = false;
        clearCountJumpState();
    }

    pendingSeekSeconds = -1.0;
    transportRunning = false;
    masterTransport.stop();
    // The stretchers start afresh and drop the music they held: the click, cues and count delayed
    // with it go too (a stop followed by a play sounded the old clicks first).
    router->clearSongLockedDelay();
    setSongChainPosition (0.0);
    syncMetronomePosition (0.0);
    if (musicGain != nullptr)
        musicGain->setGain (1.0f, 0.02f);
    musicMutedByClickSectionCancel = false;

    clickSectionMachine.reset();
    checkClickSectionDrift ("stop");
    publishTransportNow();
    juce::Logger::writeToLog ("AudioEngine: Stop called (Position Reset)");
    debugLog ("Stop called (Position Reset)");
}

void AudioEngine::seek (double songTime)
{
    if (! quietSeek)
        logStretchDiagnostics ("SEEK_PRE tgt=" + juce::String (songTime, 3));
    router->clearSongLockedDelay(); // as at a stop: what the delay holds belongs to the music dropped
    setSongChainPosition (transportSecondsForSongTime (songTime));
    syncMetronomePosition (songTime);
    if (! quietSeek)
        logStretchDiagnostics ("SEEK_POST tgt=" + juce::String (songTime, 3));
    publishTransportNow();

    if (metronome == nullptr)
        return;
    // Beat alignment around the target at the click's tempo.
    const auto bpm = metronome->getBpm();
    if (! (bpm > 0.0))
        return;
    const auto beat = 60.0 / bpm * getTempoRatio();
    const auto index = (int64_t) std::ceil (songTime / beat - 1.0e-9);
    const auto next = (double) index * beat;
    const auto beatInBar = (int) (index % juce::jmax (1, numerator)) + 1;
    debugLog ("[METRO-SEEK] srcTime=" + juce::String (metronome->getNextReadPosition()) + " seek=" + juce::String (songTime, 3)
              + " nextBeat=" + juce::String (index) + "@" + juce::String (next, 3) + " in " + juce::String ((next - songTime) * 1000.0, 1)
              + "ms beat=" + juce::String (beatInBar) + (beatInBar == 1 ? " (DOWNBEAT)" : ""));
    const auto previous = next - beat;
    const auto behind = (songTime - previous) * 1000.0;
    debugLog ("[METRO-SEEK] prevBeat[" + juce::String (index - 1) + "]@" + juce::String (previous, 3) + " behind="
              + juce::String (behind, 1) + "ms" + (behind < 1.0 && index > 0 ? juce::String::fromUTF8 (" \xe2\x9a\xa0 CLOSE \xe2\x80\x94 may skip beat1") : ""));
}

//==============================================================================
// Fades and the full reset.

void AudioEngine::emitFadeDiag (bool fadeOut, float durationSeconds)
{
    if (musicGain == nullptr)
        return;

    const float target = fadeOut ? 0.0f : 1.0f;
    const float from = musicGain->getPublishedGain();
    const float distance = std::abs (target - from);
    const float effective = durationSeconds > 0.05f && distance > 0.0001f ? durationSeconds * distance : durationSeconds;

    if (eventSink)
    {
        const auto fromDb = juce::jmax (-120.0, 20.0 * std::log10 (juce::jmax ((double) from, 0.00001)));
        sendEvent (makeObject ({ { "action", "FADE_DIAG" },
                                 { "kind", fadeOut ? "fadeOut" : "fadeIn" },
                                 { "curve", "cosine-s" },
                                 { "requestedDuration", (double) durationSeconds },
                                 { "effectiveRamp", (double) effective },
                                 { "fromGain", (double) from },
                                 { "targetGain", (double) target },
                                 { "fromDb", fromDb },
                                 { "toDb", fadeOut ? -72.0 : 0.0 } }));
    }
    musicGain->setGain (target, durationSeconds);
}

void AudioEngine::fullReset()
{
    stop();
    for (auto* slot : { &pad1Gain, &pad2Gain })
        if (*slot != nullptr)
            (*slot)->setGain (0.0f, 0.02f);
    {
        // Chains leave the mixer before they are destroyed.
        for (auto* slot : { &pad1Gain, &pad1FadingGain, &pad2Gain, &pad2FadingGain })
            if (*slot != nullptr)
            {
                padMixer.removeInputSource (slot->get());
                slot->reset();
            }
    }
    pad1Stream.reset();
    pad1FadingStream.reset();
    pad2Stream.reset();
    pad2FadingStream.reset();
    pad1RequestedFile.clear();
    pad2RequestedFile.clear();
    pad1BaseGain = pad2BaseGain = 1.0f;
    pad1Last = {};
    pad2Last = {};
    if (padBusGain != nullptr)
        padBusGain->setGain (1.0f, 0.02f);
    if (metronomeVolumeGain != nullptr)
        metronomeVolumeGain->setGain (0.0f, 0.02f);
    metronomeMute = false;
    metronomeSolo = false;
    juce::Logger::writeToLog (juce::String::fromUTF8 ("AudioEngine: fullReset \xe2\x80\x94 all sources silenced"));
    debugLog (juce::String::fromUTF8 ("fullReset \xe2\x80\x94 all sources silenced"));
}

//==============================================================================
void AudioEngine::activateSongForTesting (const juce::String& songId, double sessionRate, double bpm, double lengthSeconds)
{
    masterTransport.setSource (nullptr);
    groupMixer.setVirtualLength ((int64_t) (lengthSeconds * sessionRate));
    musicMixer.setVirtualLength ((int64_t) (lengthSeconds * sessionRate));
    const auto device = deviceSampleRate.load();
    const double ratio = sessionRate > 0.0 && device > 0.0 && std::abs (sessionRate - device) > 1.0 ? sessionRate / device : 1.0;
    songResampler = std::make_unique<ZeroLatencyResamplingSource> (splitRouter.get(), ratio);
    masterTransport.setSource (songResampler.get());
    sessionSampleRate = sessionRate;
    router->sessionSampleRate = sessionRate;
    originalBpm = bpm;
    currentBpm = bpm;
    metronome->setOriginalBpm (bpm);
    metronome->setBpm (bpm);
    cue->setOriginalBpm (bpm);
    cue->setBpm (bpm);
    setActiveSongId (songId);
    isSessionReady = true;
}
} // namespace quorvelle
