// Counts that do not start the transport: the standalone count-in, the count-voice overlay of a
// region and the count jump (a count spoken at a sample-accurate jump while the music waits, which
// resumes on its landing sample when the count ends). Message thread, except the audio-thread
// entries noted below.
#include "audio/engine/AudioEngine.h"

#include "core/CountIn.h"

#include <cmath>

namespace quorvelle
{
namespace
{
juce::String noDecimals (double value) { return juce::String::formatted ("%.0f", value); }

juce::String timeSignatureText (int numerator, int denominator) { return juce::String (numerator) + "/" + juce::String (denominator); }

bool isCountNumber (const juce::String& label) { return label.isNotEmpty() && label.containsOnly ("0123456789"); }
} // namespace

//==============================================================================
// Shared set-up of a count.

uint32_t AudioEngine::takeOverCountIn (bool completionStartsTransport)
{
    // Whatever count was built for a jump, or spoken on its own, is replaced by this one: an
    // earlier standalone count's pending release no longer applies.
    countJumpPrimed = false;
    if (completionStartsTransport)
        standaloneCountInActive = false;
    countInCompletionOpen = completionStartsTransport;
    return countGeneration.fetch_add (1) + 1;
}

void AudioEngine::setCountParameters (double bpm, int newNumerator, int newDenominator, double outputRate)
{
    const auto metronomeRate = metronome != nullptr ? metronome->getSampleRate() : 0.0;
    const auto voiceRate = metronomeRate > 0.0 ? metronomeRate : deviceSampleRate.load();
    countIn->bpm = bpm;
    countIn->numerator = newNumerator;
    countIn->denominator = newDenominator;
    countIn->setRates (outputRate, voiceRate);
    debugLog ("[COUNT-IN] standalone setParams | bpm=" + juce::String (bpm, 1) + " | deviceSR=" + juce::String (outputRate)
              + " | bufferSR=" + juce::String (voiceRate) + " | speedRatio="
              + juce::String (outputRate > 0.0 && voiceRate > 0.0 ? voiceRate / outputRate : 1.0, 4) + " (1.0 = pitch correcto)");
    if (metronome != nullptr)
    {
        countIn->clickLevels[2].store (metronome->eighthLevel.load());
        countIn->clickLevels[3].store (metronome->sixteenthLevel.load());
        const auto clicks = metronome->getSelectedClicks();
        countIn->clickHighRef = clicks.high;
        countIn->clickLowRef = clicks.low;
    }
}

juce::String AudioEngine::countJumpSection() const
{
    return cue != nullptr ? cue->getFirstSectionNameExcept ({ "cuenta inicial", "cuenta_inicial" }) : juce::String();
}

//==============================================================================
// The standalone count-in.

void AudioEngine::startStandaloneCountIn (double bpm, int newNumerator, int newDenominator, const juce::String& sectionKey,
                                          bool renderClicks, bool renderVoice, float clickGain, float voiceGain)
{
    beginStandaloneCount (bpm, newNumerator, newDenominator, sectionKey, renderClicks, renderVoice, clickGain, voiceGain);
}

bool AudioEngine::beginStandaloneCount (double bpm, int newNumerator, int newDenominator, const juce::String& sectionKey,
                                        bool renderClicks, bool renderVoice, float clickGain, float voiceGain)
{
    if (countIn == nullptr || cue == nullptr)
        return false;
    if (! (bpm > 0.0) || newNumerator < 1 || newDenominator < 1)
    {
        debugLog ("[COUNT-IN] ABORTED: invalid musical metadata bpm=" + noDecimals (bpm) + " ts=" + timeSignatureText (newNumerator, newDenominator));
        return false;
    }

    auto key = cue->getFilenameForSection (sectionKey);
    if (key.isEmpty())
        key = "1";
    const auto outputRate = deviceSampleRate.load();
    setCountParameters (bpm, newNumerator, newDenominator, outputRate);

    // This count must not start the transport: the completion stays shut until its release.
    const auto generation = takeOverCountIn (false);
    standaloneCountInActive = true;
    if (! countIn->startCountIn (key, true))
    {
        standaloneCountInActive = false;
        return false;
    }
    countIn->renderClicks = renderClicks;
    countIn->renderVoice = renderVoice;
    countIn->clickGainOverride = clickGain;
    countIn->voiceGainOverride = voiceGain;

    const auto lengthSeconds = outputRate > 0.0 ? (double) countIn->getLength() / outputRate : 0.0;
    releaseStandaloneCountLater (generation, 200 + (int) (lengthSeconds * 1000.0));

    debugLog ("AudioEngine: Standalone count-in started at BPM " + noDecimals (bpm) + " (" + timeSignatureText (newNumerator, newDenominator)
              + ") section: " + sectionKey);
    return true;
}

void AudioEngine::releaseStandaloneCountLater (uint32_t generation, int delayMs)
{
    juce::Timer::callAfterDelay (delayMs, [this, generation, weak = std::weak_ptr<Liveness> (liveness)]
    {
        if (weak.lock() == nullptr || countGeneration.load() != generation)
            return; // a later count owns the flags now
        // A count that repeats, or a device that renders late, is still speaking: look again.
        if (countIn != nullptr && countIn->isActive())
        {
            releaseStandaloneCountLater (generation, 200);
            return;
        }
        standaloneCountInActive = false;
        countInCompletionOpen = true;
    });
}

//==============================================================================
// The count-voice overlay of a region.

void AudioEngine::startCountRegionVoice (double bpm, int newNumerator, int newDenominator, double regionStartSec, double regionEndSec,
                                         double voiceDelaySec, double voiceSpanSec, bool armAfterCountIn, const juce::String& sectionKey,
                                         double sampleRate)
{
    const auto outputRate = sampleRate > 0.0 ? sampleRate : deviceSampleRate.load();
    if (countIn == nullptr || ! (outputRate > 0.0) || ! (bpm > 0.0))
        return;

    countRegionStart = regionStartSec;
    countRegionEnd = regionEndSec;

    const auto announcement = cue != nullptr && sectionKey.isNotEmpty() ? cue->getFilenameForSection (sectionKey) : juce::String();
    const auto pattern = core::buildCountInPattern (bpm, newNumerator, newDenominator, announcement.toStdString());

    std::vector<CountInAudioSource::RegionVoiceEvent> voices;
    for (const auto& beat : pattern.beats)
    {
        const auto label = juce::String::fromUTF8 (beat.label.c_str());
        if (label.isEmpty())
            continue;
        const auto at = voiceDelaySec + beat.time;
        const bool spoken = isCountNumber (label) || label == announcement;
        if (spoken && at >= -0.05 && (voiceSpanSec <= 0.0 || at < voiceSpanSec - 0.0001))
            voices.push_back ({ label, (int64_t) std::llround (std::max (at, 0.0) * outputRate) });
    }

    auto end = std::max (pattern.totalDuration + voiceDelaySec, 0.0);
    if (voiceSpanSec > 0.0 && voiceSpanSec < end)
        end = voiceSpanSec;

    const auto metronomeRate = metronome != nullptr ? metronome->getSampleRate() : 0.0;
    const auto sessionRate = sessionSampleRate.load();
    countIn->bpm = bpm;
    countIn->numerator = newNumerator;
    countIn->denominator = newDenominator;
    countIn->setRates (outputRate, metronomeRate > 0.0 ? metronomeRate : (sessionRate > 0.0 ? sessionRate : outputRate));
    countIn->setRegionVoiceOverlay (voices, (int64_t) std::llround (end * outputRate), ! armAfterCountIn);

    debugLog ("[COUNT-VOICE] region voice overlay (designed) | voices=" + juce::String ((int) voices.size()) + " | bpm=" + juce::String (bpm, 1)
              + " | ts=" + timeSignatureText (newNumerator, newDenominator) + " | totalSec=" + juce::String (pattern.totalDuration, 3)
              + " | delaySec=" + juce::String (voiceDelaySec, 3) + " | spanSec=" + juce::String (voiceSpanSec, 3) + " | announce=\""
              + announcement + "\"" + (armAfterCountIn ? " | ARMADO (activa en handoff del frente C2)" : ""));
}

//==============================================================================
// The count jump.

void AudioEngine::primeCountJump (double bpm, int newNumerator, int newDenominator, double truncateSec)
{
    if (countIn == nullptr || cue == nullptr)
        return;
    if (! (bpm > 0.0) || newNumerator <= 0 || newDenominator <= 0)
    {
        debugLog ("[COUNT-JUMP] prime ABORTED: invalid musical metadata bpm=" + noDecimals (bpm) + " ts="
                  + timeSignatureText (newNumerator, newDenominator));
        return;
    }
    // Building replaces the source's count: never under one that speaks.
    if (countInPhase.load() == 1 || countIn->isActive())
    {
        debugLog (juce::String::fromUTF8 ("[COUNT-JUMP] prime DEFERRED: conteo activo (fallback cubrir\xc3\xa1 si el boundary llega antes)"));
        return;
    }

    const auto section = countJumpSection();
    auto key = cue->getFilenameForSection (section);
    if (key.isEmpty())
        key = "1";
    const auto outputRate = deviceSampleRate.load();
    setCountParameters (bpm, newNumerator, newDenominator, outputRate);
    // Without cue samples or a rate no count is built: nothing is primed, and the jump counts
    // through the fallback (which hands off at once when it cannot count either).
    if (! countIn->startCountIn (key, false))
        return;
    countIn->renderClicks = true;
    countIn->renderVoice = true;
    countIn->loopsRemaining = 0;

    if (truncateSec > 0.0)
    {
        countIn->truncateAt (truncateSec);
        debugLog (juce::String::fromUTF8 ("[COUNT-JUMP] C2 frente sint\xc3\xa9tico: primed truncado a ") + juce::String (truncateSec, 3)
                  + juce::String::fromUTF8 ("s (landing \xe2\x86\x92 regi\xc3\xb3n)"));
    }
    countJumpPrimed = true;
    debugLog ("[COUNT-JUMP] PRIMED (pre-built) | section=\"" + section + "\" | bpm=" + juce::String (bpm, 1) + " ts="
              + timeSignatureText (newNumerator, newDenominator));
}

void AudioEngine::onCountPosition (int64_t position, double songTime) noexcept
{
    startArmedCountJump (position);

    const auto start = countRegionStart.load(), end = countRegionEnd.load();
    if (countIn == nullptr || ! (start >= 0.0 && end > start) || songTime < start - 0.05 || songTime >= end)
        return;
    if (countJumpHoldsMusic())
        regionVoiceRearm = true; // the jump's hand-off speaks them
    else
        countIn->restartRegionOverlay();
}

void AudioEngine::startArmedCountJump (int64_t landing) noexcept
{
    // Audio thread: atomics and the pending requests of the gain stage only. The stop sequence is
    // read before the arm is taken: a stop that follows the take is seen below.
    const auto stopsBefore = countStopSequence.load();
    if (! boundaryCountJump.exchange (false))
        return;

    countInRunning = true;
    if (musicGain != nullptr)
        musicGain->requestRamp (0.0f, 0.005f);
    countJumpLanding = landing;

    if (countJumpPrimed.exchange (false) && countIn != nullptr)
    {
        // The primed count starts now; the router ends the jump when it has ended. The count is
        // live before the router may look at the jump.
        countInState.completedAtSample.store (-1);
        countInState.counting.store (true);
        countIn->active.store (true);
        standaloneCountInActive = true;
        countInPhase = 1;
        countJumpArmed = true;
    }
    else
    {
        countJumpFallbackRequested = true;
    }

    if (countStopSequence.load() != stopsBefore)
        endCountJumpStartedDuringAStop();
}

void AudioEngine::endCountJumpStartedDuringAStop() noexcept
{
    // STOP_COUNT_IN ran while this jump started: the count it stopped may be the one switched on
    // above (a source without a count that would never end), and the flags it cleared may have been
    // set again since. The count stays silent and the music comes back on the landing.
    countInState.counting.store (false);
    if (countIn != nullptr)
        countIn->active.store (false);
    standaloneCountInActive = false;
    countJumpPrimed = false;
    finishCountJump();
    countInRunning = false;
}

void AudioEngine::runCountJumpFallback()
{
    const auto bpm = countJumpTempo.bpm > 0.0 ? countJumpTempo.bpm : currentBpm.load();
    const auto jumpNumerator = countJumpTempo.numerator >= 1 ? countJumpTempo.numerator : numerator;
    const auto jumpDenominator = countJumpTempo.denominator >= 1 ? countJumpTempo.denominator : denominator;
    const auto section = countJumpSection();
    debugLog (juce::String::fromUTF8 ("[COUNT-JUMP] FALLBACK standalone (prime no alcanz\xc3\xb3) | section=\"") + section + "\" | bpm="
              + juce::String (bpm, 1));

    if (! beginStandaloneCount (bpm, jumpNumerator, jumpDenominator, section, true, true, -1.0f, -1.0f))
    {
        // No count can speak: the music must not wait for one.
        if (finishCountJump())
            debugLog ("[COUNT-JUMP] count could not be built (no cue samples or invalid values) | music resumes at the landing now");
        return;
    }
    if (countJumpTempo.truncateSec > 0.0)
        countIn->truncateAt (countJumpTempo.truncateSec);
    countInPhase = 1;
    countJumpPrimed = false;
    // The jump is handed to the router only now that its count speaks.
    countJumpArmed = true;
    countJumpFallbackRequested = false;
}

bool AudioEngine::finishCountJump() noexcept
{
    const bool wasActive = countJumpArmed.exchange (false);
    const bool wasWaiting = countJumpFallbackRequested.exchange (false);
    if (! wasActive && ! wasWaiting)
        return false;

    countInRunning = false;
    const auto landing = countJumpLanding.exchange (-1);
    if (landing >= 0 && loopRegion != nullptr)
    {
        // The landing is a reposition: the stretchers start afresh there.
        for (auto& [name, bus] : groupBuses)
            bus->stretch->keepStateOnSeek = false;
        loopRegion->requestSeek (landing);
    }
    if (musicGain != nullptr)
        musicGain->requestRamp (1.0f, 0.005f);
    if (regionVoiceRearm.exchange (false) && countIn != nullptr)
        countIn->restartRegionOverlay();
    countInPhase = 2;
    return true;
}

void AudioEngine::onCountJumpEnd() noexcept
{
    finishCountJump();
}

void AudioEngine::updateCountJumpSeekTarget (double timeSeconds)
{
    const auto rate = sessionSampleRate.load();
    if (! countJumpHoldsMusic() || ! (rate > 0.0))
        return;
    // A negative time keeps the music where it has run to.
    const auto landing = timeSeconds < 0.0 ? (int64_t) -1 : (int64_t) ((timeSeconds / getTempoRatio() + songTimeOffset) * rate);
    countJumpLanding = landing;
    debugLog ("AudioEngine: updateCountJumpSeekTarget -> " + juce::String (timeSeconds, 3) + "s (sample=" + juce::String (landing) + ")");
}

//==============================================================================
// The tick's count branches.

void AudioEngine::handleCountTickMarks()
{
    if (countJumpFallbackRequested.load() && ! countJumpArmed.load())
        runCountJumpFallback();

    if (countIn != nullptr && countIn->repeatFired.exchange (false))
    {
        debugLog ("[COUNT-IN] REPEAT_FIRED (wrap)");
        sendEvent (makeObject ({ { "action", "COUNT_IN_REPEAT_FIRED" } }));
    }
}
} // namespace quorvelle
