// The small engine operations behind the bridge's count, count-jump and beat-list rows. Message
// thread; the sources they reach take their own locks.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
void AudioEngine::cancelStandaloneCountIn()
{
    // First: a count jump starting on the audio thread now sees this stop and ends itself.
    countStopSequence.fetch_add (1);
    // The source stops first, so the router never sees a running count without its standalone
    // flag (it would take it for the count before the song).
    if (countIn != nullptr)
    {
        countIn->stop();
        countIn->clearRegionOverlay();
    }
    // The stopped count was the primed one, if any; a count jump whose count is stopped gives the
    // music back now, on its landing.
    countJumpPrimed = false;
    const bool jumpEnded = finishCountJump();
    standaloneCountInActive.store (false);
    countInRunning.store (false);
    // Play's own count (or pre-roll) was what spoke: nothing will start the transport now, so play
    // is called off and the engine stands where that play had put the song. A count that ended in
    // the meantime has already started the transport (phase 2) and is left alone.
    // (A count jump counts while the transport runs.)
    auto counting = 1;
    if (! jumpEnded && ! transportRunning.load() && countInPhase.compare_exchange_strong (counting, 0))
        playbackGate = false;
    debugLog ("AudioEngine: Standalone count-in cancelled");
    if (jumpEnded)
        debugLog ("[COUNT-JUMP] count stopped | music resumes at the landing now");
}

void AudioEngine::setCountInLoopsRemaining (int remaining)
{
    if (countIn != nullptr)
        countIn->loopsRemaining.store (remaining);
}

void AudioEngine::updateCountInSection (const juce::String& sectionName)
{
    if (countIn == nullptr || cue == nullptr)
        return;
    if (const auto key = cue->getFilenameForSection (sectionName); key.isNotEmpty())
        countIn->armVoiceSwap (key);
}

void AudioEngine::setBoundaryCountJump (bool active)
{
    boundaryCountJump = active;
    if (! active)
        countJumpPrimed = false;
}

void AudioEngine::setCountJumpTempo (double bpm, int newNumerator, int newDenominator, double truncateSec)
{
    countJumpTempo = { bpm, newNumerator, newDenominator, truncateSec };
    primeCountJump (bpm, newNumerator, newDenominator, truncateSec);
}

void AudioEngine::setCueBeatmap (const std::vector<double>& times)
{
    if (cue != nullptr)
        cue->setBeatmap (times);
}

void AudioEngine::setLiveBeatmap (const std::vector<double>& times, const std::vector<int>& beatNumbers)
{
    if (metronome != nullptr)
    {
        if (times.empty() && beatNumbers.empty())
            metronome->clearBeatmap();
        else
            metronome->setBeatmap (times, std::vector<int32_t> (beatNumbers.begin(), beatNumbers.end()));
    }
    if (cue != nullptr)
        cue->setBeatmap (times);
}

void AudioEngine::setQueuedIsLinearSongMap (bool linear)
{
    queuedIsLinearSongMap.store (linear);
}

void AudioEngine::armPreserveSession()
{
    preserveSessionArmed = true;
}

AudioEngine::CountRowsProbe AudioEngine::getCountRowsProbeForTesting() const
{
    CountRowsProbe probe;
    probe.boundaryCountJump = boundaryCountJump;
    probe.countJumpPrimed = countJumpPrimed;
    probe.queuedIsLinearSongMap = queuedIsLinearSongMap.load();
    probe.preserveSessionArmed = preserveSessionArmed;
    probe.standaloneCountInActive = standaloneCountInActive.load();
    probe.countInRunning = countInRunning.load();
    probe.countJumpTempo = countJumpTempo;
    probe.countJumpActive = countJumpArmed.load();
    probe.countJumpFallbackRequested = countJumpFallbackRequested.load();
    probe.overlayDeferred = regionVoiceRearm.load();
    probe.countJumpLanding = countJumpLanding.load();
    probe.countRegionStart = countRegionStart.load();
    probe.countRegionEnd = countRegionEnd.load();
    return probe;
}

void AudioEngine::setCountFlagsForTesting (bool standaloneActive, bool running, bool primed)
{
    standaloneCountInActive.store (standaloneActive);
    countInRunning.store (running);
    countJumpPrimed = primed;
}
} // namespace quorvelle
