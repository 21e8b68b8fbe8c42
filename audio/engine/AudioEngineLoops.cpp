// Loop region, loop seeks and boundary seeks: the requests (kept in song time, handed to the
// loop-region source in session-rate samples), the position callback the loop-region source runs on
// the audio thread after every wrap, jump and pending seek, and the tick's loop and boundary branches.
#include "audio/engine/AudioEngine.h"

#include <cmath>

namespace quorvelle
{
namespace
{
const char* yesNo (bool value) { return value ? "y" : "n"; }
const juce::String arrow = juce::String::fromUTF8 (" \xe2\x86\x92 ");
} // namespace

//==============================================================================
// Song time and the loop-region source's samples.

int64_t AudioEngine::sessionSampleForSongTime (double songTime) const noexcept
{
    return (int64_t) (transportSecondsForSongTime (songTime) * sessionSampleRate.load());
}

double AudioEngine::songTimeForSessionSeconds (double seconds) const noexcept
{
    return juce::jmax (0.0, songTimeForTransportSeconds (seconds));
}

void AudioEngine::setStretchKeepState (bool keep) noexcept
{
    for (auto& [name, bus] : groupBuses)
        bus->stretch->keepStateOnSeek = keep;
}

void AudioEngine::armStretchKeepStateForLoops() noexcept
{
    if (loopRegionActive.load() || sampleSeekArmed.load())
        setStretchKeepState (true);
}

void AudioEngine::setSongChainPosition (double transportSeconds)
{
    setStretchKeepState (false);
    masterTransport.setPosition (transportSeconds);
    armStretchKeepStateForLoops();
}

//==============================================================================
// Requests (message thread).

void AudioEngine::setLoopRegion (double start, double end, bool active)
{
    {
        const juce::ScopedLock lock (loopRegionLock);
        loopRegionStart = start;
        loopRegionEnd = end;
        loopRegionActive = active;
        if (! active)
            loopRegionFired = false;
        if (loopRegion != nullptr && sessionSampleRate.load() > 0.0)
            loopRegion->setLoopRegion (sessionSampleForSongTime (start), sessionSampleForSongTime (end), active);
    }
    // A wrap keeps the stretchers' state; without a loop or jump the next reposition resets them.
    if (active)
        setStretchKeepState (true);
    else if (! sampleSeekArmed.load())
        setStretchKeepState (false);

    debugLog ("AudioEngine: setLoopRegion [" + juce::String (start, 3) + arrow + juce::String (end, 3) + "] active=" + yesNo (active));
    if (metronome != nullptr)
        metronome->loopEndBoundary = active ? end : -1.0;
}

void AudioEngine::loopSeek (double target)
{
    if (loopSeekPending.exchange (true))
    {
        queuedLoopSeekTime = target;
        loopSeekQueued = true;
        debugLog ("[LOOP-AUDIT] loopSeek QUEUED (in-flight) target=" + juce::String (target, 4) + "s (latest wins)");
        return;
    }

    auto next = target;
    for (int iteration = 0;; ++iteration)
    {
        const auto r = getTempoRatio();
        const auto out = transportSecondsForSongTime (next);
        debugLog ("[LOOP-AUDIT] loopSeek APPLY iter=" + juce::String (iteration) + " | src=" + juce::String (next, 4) + " | out="
                  + juce::String (out, 4) + " | ratio=" + juce::String (r, 4) + " | crossfader=" + (musicCrossfade != nullptr ? "Y" : "N"));

        // The crossfade covers the jump: the stretchers keep their state across it.
        setStretchKeepState (true);
        if (songResampler != nullptr && deviceSampleRate.load() > 0.0)
            masterTransport.setPosition (out);
        syncMetronomePosition (next);
        if (musicCrossfade != nullptr)
            musicCrossfade->trigger();
        if (loopSeekApplyHook)
            loopSeekApplyHook (iteration);

        if (! loopSeekQueued.exchange (false))
            break;
        next = queuedLoopSeekTime;
    }

    // Only an armed loop or jump keeps the mark for its next wrap.
    setStretchKeepState (false);
    armStretchKeepStateForLoops();
    publishTransportNow();
    loopSeekPending = false;
}

void AudioEngine::setBoundarySeek (double triggerTime, double targetPosition, bool active)
{
    const juce::ScopedLock lock (boundarySeekLock);
    boundarySeekTriggerTime = triggerTime;
    boundarySeekTargetPos = targetPosition;
    boundarySeekActive = active;
    boundarySeekFired = false;
    debugLog ("AudioEngine: setBoundarySeek trigger=" + juce::String (triggerTime, 3) + " target=" + juce::String (targetPosition, 3)
              + " active=" + yesNo (active));
}

void AudioEngine::setBoundarySeekSA (double triggerTime, double targetPosition, bool active)
{
    sampleSeekTriggerTime = triggerTime;
    sampleSeekTargetPos = targetPosition;
    sampleSeekArmed = active;
    if (loopRegion != nullptr && sessionSampleRate.load() > 0.0)
        loopRegion->setJump (sessionSampleForSongTime (triggerTime), sessionSampleForSongTime (targetPosition), active);
    if (active)
        setStretchKeepState (true);
    else if (! loopRegionActive.load())
        setStretchKeepState (false);

    debugLog ("AudioEngine: setBoundarySeekSA trigger=" + juce::String (triggerTime, 3) + " target=" + juce::String (targetPosition, 3)
              + " active=" + yesNo (active));
    if (metronome != nullptr)
        metronome->jumpBoundary = active ? triggerTime : -1.0;
}

//==============================================================================
// The position callback (audio thread: atomics and single-word fields only).

void AudioEngine::onTransportPosition (int64_t position, double rate) noexcept
{
    if (! (rate > 0.0))
        return;

    // The stretcher delay is 0: song time is transport time times the ratio the tick published.
    const auto transportSeconds = (double) position / rate;
    const auto songTime = transportSeconds * positionTempoRatio.load();
    onCountPosition (position, songTime);

    if (metronome != nullptr)
    {
        metronome->jumpBoundary = -1.0;
        metronome->pendingSeekSeconds = songTime;
    }
    if (cue != nullptr)
        cue->pendingSeekSeconds = transportSeconds;

    // The wrap used the stretchers' keep-state mark: armed again for the next one.
    armStretchKeepStateForLoops();
}

//==============================================================================
// The tick's branches (message thread).

void AudioEngine::sendLoopAudit (const char* what, int64_t from, int64_t to, double newSongTime, bool withRatio)
{
    const auto rate = sessionSampleRate.load();
    const auto q = rate > 0.0 ? (double) from / rate : 0.0;
    const auto p = rate > 0.0 ? (double) to / rate : 0.0;
    auto line = juce::String (what) + " | src " + juce::String (songTimeForTransportSeconds (q), 4) + arrow + juce::String (newSongTime, 4)
                + " | out " + juce::String (q, 4) + arrow + juce::String (p, 4);
    if (withRatio)
        line << " | ratio=" << juce::String (getTempoRatio(), 4) << " | stftDly=" << juce::String (songTimeOffset, 4);
    debugLog (line);
}

double AudioEngine::handleLoopAndBoundaryBranches (double songTime)
{
    positionTempoRatio = tempoRatio;
    const auto rate = sessionSampleRate.load();
    if (loopRegion == nullptr || ! (rate > 0.0))
        return songTime;

    if (loopRegion->loopFired.exchange (false))
    {
        const auto start = loopRegion->lastLoopStart.load();
        const auto newTime = songTimeForSessionSeconds ((double) start / rate);
        {
            const juce::ScopedLock lock (loopRegionLock);
            loopRegionFired = true;
        }
        sendLoopAudit ("[LOOP-AUDIT] LOOP fired", loopRegion->lastLoopAt.load(), start, newTime, true);
        sendEvent (makeObject ({ { "action", "LOOP_TRIGGERED" }, { "newPosition", newTime } }));
        songTime = newTime;
    }

    if (loopRegion->jumpFired.exchange (false))
    {
        const auto target = loopRegion->lastJumpTarget.load();
        const auto newTime = songTimeForSessionSeconds ((double) target / rate);
        // A jump armed again after this one fired is still to come: its flag, the stretchers'
        // keep-state mark and the click's boundary stay for it.
        const bool another = loopRegion->isJumpArmed();
        if (metronome != nullptr)
            metronome->jumpBoundary = another ? sampleSeekTriggerTime : -1.0;
        sampleSeekArmed = another;
        if (! another && ! loopRegionActive.load())
            setStretchKeepState (false);
        sendLoopAudit ("[LOOP-AUDIT] BOUNDARY-SEEK fired", loopRegion->lastJumpAt.load(), target, newTime, true);
        sendEvent (makeObject ({ { "action", "BOUNDARY_SEEK_TRIGGERED" }, { "newPosition", newTime } }));
        songTime = newTime;
    }

    if (loopRegion->seekDone.exchange (false))
    {
        const auto to = loopRegion->seekTo.load();
        sendLoopAudit ("[LOOP-AUDIT] IMMEDIATE-SEEK fired (click-complete)", loopRegion->seekFrom.load(), to,
                       songTimeForSessionSeconds ((double) to / rate), false);
    }

    if (boundarySeekActive.load() && masterTransport.isPlaying())
    {
        const juce::ScopedLock lock (boundarySeekLock);
        if (! boundarySeekFired && boundarySeekTriggerTime > 0.0 && songTime >= boundarySeekTriggerTime)
        {
            boundarySeekFired = true;
            boundarySeekActive = false;
            songTime = boundarySeekTargetPos;
            loopSeek (songTime);
            sendEvent (makeObject ({ { "action", "BOUNDARY_SEEK_TRIGGERED" }, { "newPosition", songTime } }));
        }
    }
    return songTime;
}
} // namespace quorvelle
