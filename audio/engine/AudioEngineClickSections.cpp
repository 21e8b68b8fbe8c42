// Click sections: the music muted under a fixed-tempo click with spoken indications, an announcement
// one bar before the end and a jump to the next target. The message thread starts and steers a
// section; the metronome's block observer advances it on the audio thread; the tick reports it.
//
// Everything the audio thread reads and the message thread writes either is an atomic or changes
// only while the message thread holds the metronome's lock (the audio thread holds it for the whole
// metronome block, block observer included), so the advance never sees half of a change.
#include "audio/engine/AudioEngine.h"

#include "audio/graph/AudioLogLine.h"
#include "audio/graph/AudioThreadLog.h"

#include <algorithm>
#include <cmath>

namespace quorvelle
{
namespace
{
constexpr int inactivePhase = 0, playingPhase = 1, exitPendingPhase = 2, exitWarningPhase = 3;
using SpinLock = juce::SpinLock::ScopedLockType;

juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }
juce::String yesNo (bool value) { return value ? "Y" : "N"; }

const char* engineDriftName (int phase)
{
    switch (phase)
    {
        case playingPhase: return "Playing";
        case exitPendingPhase: return "ExitPending";
        case exitWarningPhase: return "ExitWarning";
        default: return "Inactive";
    }
}

const char* machineDriftName (int phase)
{
    switch (phase)
    {
        case inactivePhase: return "Inactive";
        case playingPhase: return "Playing";
        case exitPendingPhase: return "ExitPending";
        case exitWarningPhase: return "ExitWarning";
        default: return "Unknown";
    }
}

const char* updatePhaseName (int phase)
{
    switch (phase)
    {
        case playingPhase: return "playing";
        case exitPendingPhase: return "exit-pending";
        case exitWarningPhase: return "exit-warning";
        default: return "inactive";
    }
}
} // namespace

//==============================================================================
// Message thread: start and steering.

int64_t AudioEngine::clickSectionSeekSampleFor (double target) const noexcept
{
    const auto rate = sessionSampleRate.load();
    if (! (target >= 0.0) || ! (rate > 0.0))
        return -1;
    const auto position = transportSecondsForSongTime (target) * rate;
    return std::isfinite (position) && position < 9.0e18 ? (int64_t) std::trunc (position) : -1;
}

void AudioEngine::startClickSection (const juce::String& entryId, const juce::String& mode, double bpm, int newNumerator, int newDenominator,
                                     int bars, double nextSeekTarget, const juce::var& indications, const juce::String& warningIndicationId,
                                     const juce::String& warningSectionName, const juce::String& warningSelfIndicationId,
                                     const juce::String& warningSelfSectionName, bool repeatOnce, bool suppressFirstFire)
{
    auto& cs = clickSection;
    // The lengths below are taken at the rate in force: a rate change reported before this start
    // does not concern the new section.
    deviceRateChangedDuringClickSection = false;
    const double sr = metronome != nullptr ? metronome->getSampleRate() : 0.0;
    const bool loop = mode == "loop";
    const int barsPerPass = loop ? 2 : bars;

    // A bar shorter than one sample, or a pass too long to count, is refused like the other invalid
    // values: such a section would never reach its end.
    const double barLength = sr > 0.0 && bpm > 0.0 && newDenominator >= 2 ? 4.0 / newDenominator * 60.0 / bpm * newNumerator * sr : 0.0;
    const bool countable = std::isfinite (barLength) && barLength >= 1.0 && barLength * (double) juce::jmax (1, barsPerPass) < 9.0e18;
    if (! (sr > 0.0) || ! (bpm > 0.0) || newNumerator <= 0 || newDenominator < 2 || bars <= 0 || ! countable)
    {
        debugLog ("[CLICK-SECTION] startClickSection: invalid args bpm=" + juce::String (bpm) + " ts=" + juce::String (newNumerator) + "/"
                  + juce::String (newDenominator) + " bars=" + juce::String (bars) + " effSR=" + juce::String (sr));
        return;
    }

    const auto samplesPerBar = (int64_t) std::trunc (barLength);
    const auto totalSamples = (int64_t) barsPerPass * samplesPerBar;

    auto texts = std::make_unique<ClickSectionTexts>();
    if (const auto* list = indications.getArray())
    {
        for (const auto& element : *list)
        {
            if (element.getDynamicObject() == nullptr)
                continue;
            const auto offset = std::trunc ((double) element.getProperty ("offsetSamples", 0.0) * sr / 44100.0);
            const auto id = element.getProperty ("indicationId", {}).toString();
            if (offset >= 0.0 && offset < (double) totalSamples && id.isNotEmpty())
                texts->indications.push_back ({ (int64_t) offset, id, element.getProperty ("markerId", {}).toString() });
        }
    }
    std::stable_sort (texts->indications.begin(), texts->indications.end(),
                      [] (const ClickSectionIndication& a, const ClickSectionIndication& b) { return a.offsetSamples < b.offsetSamples; });
    texts->warningIndicationId = warningIndicationId;
    texts->warningSectionName = warningSectionName;
    texts->warningSelfIndicationId = warningSelfIndicationId;
    texts->warningSelfSectionName = warningSelfSectionName;

    {
        const SpinLock lock (cs.clickSectionLock);
        cs.clickSectionEntryId = entryId;
        cs.clickSectionIsLoop = loop;
        cs.clickSectionNextSeekTarget = nextSeekTarget;
    }
    debugLog ("[CLICK-WARN] startClickSection | next=ind=" + warningIndicationId + " name=" + warningSectionName
              + " | self=ind=" + warningSelfIndicationId + " name=" + warningSelfSectionName);

    const int repeat = repeatOnce && ! loop ? 1 : 0;
    const bool transportPlays = masterTransport.isPlaying();
    const auto seekSample = clickSectionSeekSampleFor (nextSeekTarget);

    // The clock, the section counter and the texts change together: a section started over a
    // running one never advances the new counter on the old clock or the other way round.
    std::unique_ptr<const ClickSectionTexts> previous (std::move (texts));
    metronome->setFixedClockAnd (true, bpm, newNumerator, newDenominator, totalSamples, suppressFirstFire, [&]
    {
        std::swap (cs.texts, previous);
        cs.clickSectionIndicationCursor = 0;
        cs.clickSectionWarningFired = false;
        cs.loopMode = loop;
        cs.clickSectionTotalSamples = totalSamples;
        cs.clickSectionSamplesPerIteration = totalSamples;
        cs.clickSectionSamplesPerBar = samplesPerBar;
        cs.ticksPerPass = (int64_t) barsPerPass * newNumerator * 4;
        cs.clickSectionSample = 0;
        cs.clickSectionCompletePending = false;
        cs.clickSectionWarningPending = false;
        cs.clickSectionRepeatFiredPending = false;
        cs.clickSectionLoopIteration = 0;
        cs.clickSectionRepeatRemaining = repeat;
        // A new section does not inherit the loop switch of the one it replaces.
        cs.clickSectionLoopFixed = false;
        cs.clickSectionTransportRunning = transportPlays;
        cs.restoreMusicOnComplete = transportPlays;
        cs.clickSectionAudioCompleted = false;
        cs.clickSectionSeekSample = seekSample;
        // A clock-off request that a finished section left unconsumed (its transport paused) would
        // end this clock at its first block.
        metronome->fixedClockStopRequest = false;
        cs.clickSectionPhase = playingPhase;
    });
    previous.reset();

    if (musicGain != nullptr)
        musicGain->setGain (0.0f, 0.005f);
    clickClockArmed = true;
    cueClickSectionFlag = true;

    playbackGate = true;
    if (! transportPlays)
    {
        // The click waits for play: the count hold keeps the metronome silent until then.
        countInRunning = true;
        cs.holdsCount = true;
    }

    if (eventSink)
        sendEvent (makeObject ({ { "action", "CLICK_SECTION_STARTED" },
                                 { "entryId", entryId },
                                 { "mode", mode },
                                 { "totalSamples", (juce::int64) totalSamples },
                                 { "samplesPerIteration", (juce::int64) totalSamples },
                                 { "samplesPerBar", (juce::int64) samplesPerBar } }));

    debugLog ("[CLICK-SECTION] START entryId=" + entryId + " mode=" + mode + " bpm=" + juce::String (bpm, 1) + " ts="
              + juce::String (newNumerator) + "/" + juce::String (newDenominator) + " bars=" + juce::String (bars)
              + " spb=" + juce::String (samplesPerBar) + " spi=" + juce::String (totalSamples)
              + " warn=" + (warningIndicationId.isNotEmpty() ? warningIndicationId : juce::String ("(none)"))
              + " repeat=" + yesNo (repeat > 0) + " seek=" + juce::String (nextSeekTarget, 3));

    ClickSectionStartArgs args;
    args.entryId = entryId.toStdString();
    args.mode = loop ? ClickSectionMode::Loop : ClickSectionMode::Fixed;
    args.totalSamples = (uint64_t) totalSamples;
    args.samplesPerBar = (uint64_t) samplesPerBar;
    args.samplesPerIteration = (uint64_t) totalSamples;
    args.loopFixed = false;
    args.repeat = repeat;
    args.running = transportPlays;
    clickSectionMachine.start (args);
    checkClickSectionDrift ("start");
}

// A repeat or loop switch applies to the running Fixed section it names; otherwise it logs why not.
bool AudioEngine::steersFixedSection (const char* row, const juce::String& entryId)
{
    auto& cs = clickSection;
    juce::String active;
    bool loop;
    {
        const SpinLock lock (cs.clickSectionLock);
        active = cs.clickSectionEntryId;
        loop = cs.clickSectionIsLoop;
    }
    if (! isClickSectionActive() || entryId != active)
    {
        debugLog ("[CLICK-SECTION] " + juce::String (row) + utf8 (" skipped \xe2\x80\x94 active=") + active + " requested=" + entryId);
        return false;
    }
    if (loop)
    {
        debugLog ("[CLICK-SECTION] " + juce::String (row) + utf8 (" ignored \xe2\x80\x94 Loop mode entryId=") + entryId);
        return false;
    }
    return true;
}

void AudioEngine::setRepeat (const juce::String& entryId, bool repeat)
{
    auto& cs = clickSection;
    if (! steersFixedSection ("SET_REPEAT", entryId))
        return;
    cs.clickSectionRepeatRemaining = repeat ? 1 : 0;
    debugLog ("[CLICK-SECTION] SET_REPEAT entryId=" + entryId + " value=" + yesNo (repeat));
    clickSectionMachine.setRepeat (repeat ? 1u : 0u);
    checkClickSectionDrift ("setRepeat");
}

void AudioEngine::setLoopFixed (const juce::String& entryId, bool enabled)
{
    auto& cs = clickSection;
    if (! steersFixedSection ("SET_LOOP", entryId))
        return;
    cs.clickSectionLoopFixed = enabled;
    debugLog ("[CLICK-SECTION] SET_LOOP entryId=" + entryId + " value=" + yesNo (enabled));
    clickSectionMachine.setLoopFixed (enabled);
    checkClickSectionDrift ("setLoopFixed");
}

void AudioEngine::setNextSeekTarget (const juce::String& entryId, double target, const juce::String& warningIndicationId,
                                     const juce::String& warningSectionName)
{
    auto& cs = clickSection;
    juce::String active;
    double oldTarget = -1.0;
    bool matches = false;
    const bool activeNow = isClickSectionActive();
    {
        const SpinLock lock (cs.clickSectionLock);
        active = cs.clickSectionEntryId;
        matches = activeNow && entryId == active;
        if (matches)
        {
            oldTarget = cs.clickSectionNextSeekTarget;
            cs.clickSectionNextSeekTarget = target;
        }
    }
    if (! activeNow)
    {
        debugLog (utf8 ("[CLICK-SECTION] SET_NEXT_SEEK skipped \xe2\x80\x94 phase=Inactive entryId=") + entryId);
        return;
    }
    if (! matches)
    {
        debugLog (utf8 ("[CLICK-SECTION] SET_NEXT_SEEK skipped \xe2\x80\x94 active=") + active + " requested=" + entryId);
        return;
    }

    // Only the message thread replaces the texts, so it reads them here without the lock.
    auto fresh = std::make_unique<ClickSectionTexts> (cs.texts != nullptr ? *cs.texts : ClickSectionTexts {});
    const auto oldName = fresh->warningSectionName;
    fresh->warningIndicationId = warningIndicationId;
    fresh->warningSectionName = warningSectionName;
    const auto seekSample = clickSectionSeekSampleFor (target);

    std::unique_ptr<const ClickSectionTexts> previous (std::move (fresh));
    {
        const SpinLock lock (metronome->stateLock);
        std::swap (cs.texts, previous);
        cs.clickSectionSeekSample = seekSample;
    }
    previous.reset();

    debugLog ("[CLICK-SECTION] SET_NEXT_SEEK entryId=" + entryId + " target=" + juce::String (oldTarget, 3) + utf8 ("\xe2\x86\x92")
              + juce::String (target, 3) + " name=" + oldName + utf8 ("\xe2\x86\x92") + warningSectionName
              + " | atomicSample=" + juce::String (seekSample));
}

void AudioEngine::deactivateLoop()
{
    auto& cs = clickSection;
    juce::String id;
    bool loop;
    {
        const SpinLock lock (cs.clickSectionLock);
        id = cs.clickSectionEntryId;
        loop = cs.clickSectionIsLoop;
    }
    if (! loop)
        return;
    bool changed = false;
    {
        const SpinLock lock (metronome->stateLock);
        if (cs.clickSectionPhase.load() == playingPhase)
        {
            cs.clickSectionPhase = exitPendingPhase;
            changed = true;
        }
    }
    if (! changed)
        return;
    debugLog ("[CLICK-SECTION] DEACTIVATE_LOOP entryId=" + id + utf8 (" (Playing \xe2\x86\x92 ExitPending)"));
    clickSectionMachine.deactivateLoop();
    checkClickSectionDrift ("deactivateLoop");
}

void AudioEngine::reactivateLoop()
{
    auto& cs = clickSection;
    bool changed = false;
    {
        const SpinLock lock (metronome->stateLock);
        if (cs.clickSectionPhase.load() == exitPendingPhase)
        {
            cs.clickSectionPhase = playingPhase;
            changed = true;
        }
    }
    if (! changed)
        return;
    juce::String id;
    {
        const SpinLock lock (cs.clickSectionLock);
        id = cs.clickSectionEntryId;
    }
    debugLog ("[CLICK-SECTION] REACTIVATE_LOOP entryId=" + id + utf8 (" (ExitPending \xe2\x86\x92 Playing)"));
    clickSectionMachine.reactivateLoop();
    checkClickSectionDrift ("reactivateLoop");
}

void AudioEngine::setClickSectionRunning (bool running)
{
    auto& cs = clickSection;
    cs.clickSectionTransportRunning = running;
    cs.restoreMusicOnComplete = running;
    if (running)
        releaseClickSectionCountHold();
}

void AudioEngine::releaseClickSectionCountHold()
{
    if (clickSection.holdsCount)
    {
        clickSection.holdsCount = false;
        countInRunning = false;
    }
}

//==============================================================================
// Both ends of a section: completion and cancel.

juce::String AudioEngine::clearClickSectionState (bool turnClockOff)
{
    auto& cs = clickSection;
    juce::String id;
    {
        const SpinLock lock (cs.clickSectionLock);
        id = cs.clickSectionEntryId;
        cs.clickSectionEntryId.clear();
        cs.clickSectionIsLoop = false;
    }

    std::unique_ptr<const ClickSectionTexts> previous;
    const auto clearAudioState = [&]
    {
        previous = std::move (cs.texts);
        cs.clickSectionIndicationCursor = 0;
        cs.clickSectionWarningFired = false;
        cs.clickSectionPhase = inactivePhase;
        cs.clickSectionSample = 0;
        cs.clickSectionCompletePending = false;
        cs.clickSectionWarningPending = false;
        cs.clickSectionLoopIteration = 0;
        cs.clickSectionRepeatRemaining = 0;
        cs.clickSectionRepeatFiredPending = false;
        cs.clickSectionLoopFixed = false;
    };
    if (turnClockOff)
    {
        metronome->setFixedClockAnd (false, 0.0, 0, 0, 0, false, clearAudioState);
    }
    else
    {
        const SpinLock lock (metronome->stateLock);
        clearAudioState();
    }
    previous.reset();
    cueClickSectionFlag = false;
    releaseClickSectionCountHold();
    return id;
}

void AudioEngine::cancelClickSection()
{
    auto& cs = clickSection;
    if (! isClickSectionActive())
        return;
    const auto id = clearClickSectionState (true);

    if (musicGain != nullptr)
    {
        if (cs.clickSectionTransportRunning.load())
            musicGain->setGain (1.0f, 0.005f);
        else
            musicMutedByClickSectionCancel = true;
    }
    playbackGate = cs.clickSectionTransportRunning.load();
    cs.clickSectionTransportRunning = false;
    cs.clickSectionAudioCompleted = false;
    cs.restoreMusicOnComplete = false;
    cs.clickSectionSeekSample = -1;

    debugLog ("[CLICK-SECTION] CANCEL entryId=" + id);
    clickSectionMachine.cancel();
    checkClickSectionDrift ("cancel");
}

void AudioEngine::completeClickSection()
{
    auto& cs = clickSection;
    if (! isClickSectionActive())
        return;
    double target;
    {
        const SpinLock lock (cs.clickSectionLock);
        target = cs.clickSectionNextSeekTarget;
    }
    const auto id = clearClickSectionState (false);

    juce::String suffix;
    if (cs.clickSectionAudioCompleted.exchange (false))
    {
        suffix = " [audio-thread-fired]";
    }
    else
    {
        metronome->setFixedClock (false, 0.0, 0, 0, 0, false);
        if (target >= 0.0)
        {
            quietSeek = true;
            seek (target);
            quietSeek = false;
        }
        if (cs.clickSectionTransportRunning.load() && musicGain != nullptr)
            musicGain->setGain (1.0f, 0.005f);
        suffix = " [msg-thread-fallback]";
    }

    debugLog ("[CLICK-SECTION] COMPLETE entryId=" + id
              + (target >= 0.0 ? utf8 (" seek\xe2\x86\x92") + juce::String (target, 3) : juce::String (" (no seek target)")) + suffix);

    playbackGate = cs.clickSectionTransportRunning.load();
    cs.clickSectionTransportRunning = false;
    cs.restoreMusicOnComplete = false;
    cs.clickSectionSeekSample = -1;

    if (eventSink)
        sendEvent (makeObject ({ { "action", "CLICK_SECTION_COMPLETE" }, { "entryId", id } }));
    clickSectionMachine.reset();
    checkClickSectionDrift ("completeClickSection");
}

void AudioEngine::startClickSectionWarning()
{
    juce::String id;
    {
        const SpinLock lock (clickSection.clickSectionLock);
        id = clickSection.clickSectionEntryId;
    }
    if (eventSink)
        sendEvent (makeObject ({ { "action", "CLICK_SECTION_WARNING_START" }, { "entryId", id } }));
    debugLog ("[CLICK-SECTION] WARNING_START entryId=" + id);
}

//==============================================================================
// The tick's branches and PLAYBACK_UPDATE.

void AudioEngine::handleClickSectionTickMarks()
{
    auto& cs = clickSection;
    if (cs.clickSectionWarningPending.exchange (false))
        startClickSectionWarning();
    if (cs.clickSectionCompletePending.exchange (false))
        completeClickSection();
    if (cs.clickSectionRepeatFiredPending.exchange (false))
    {
        juce::String id;
        {
            const SpinLock lock (cs.clickSectionLock);
            id = cs.clickSectionEntryId;
        }
        if (id.isNotEmpty() && eventSink)
            sendEvent (makeObject ({ { "action", "CLICK_SECTION_REPEAT_FIRED" }, { "entryId", id } }));
        debugLog ("[CLICK-SECTION] REPEAT_FIRED entryId=" + id);
    }
}

void AudioEngine::checkClickSectionDrift (const juce::String& tag)
{
    auto engine = clickSection.clickSectionPhase.load();
    if (engine < playingPhase || engine > exitWarningPhase)
        engine = inactivePhase;
    const auto machine = (int) clickSectionMachine.peekSnapshot().phase;
    if (engine != machine)
        debugLog ("[CLICK-SM-DRIFT] at=" + tag + " legacy=" + engineDriftName (engine) + " sm=" + machineDriftName (machine));
}

void AudioEngine::addClickSectionFields (juce::DynamicObject& object)
{
    auto& cs = clickSection;
    juce::String id;
    {
        const SpinLock lock (cs.clickSectionLock);
        id = cs.clickSectionEntryId;
    }
    const auto sample = cs.clickSectionSample.load();
    const auto rate = metronome != nullptr ? metronome->getSampleRate() : 0.0;
    object.setProperty ("clickSectionEntryId", id);
    object.setProperty ("clickSectionSample", (juce::int64) sample);
    object.setProperty ("clickSectionSec", rate > 0.0 ? (double) sample / rate : 0.0);
    object.setProperty ("clickSectionPhase", updatePhaseName (cs.clickSectionPhase.load()));
    object.setProperty ("clickSectionLoopIteration", (juce::int64) cs.clickSectionLoopIteration.load());
}

//==============================================================================
// Audio thread: the advance after every metronome block (the metronome's lock is held).

void AudioEngine::sendAudioThreadLine (const char* line) noexcept
{
    AudioThreadLog::Record record;
    record.sink = countInLogSink;
    record.setName (line);
    AudioThreadLog::shared().push (record);
}

void AudioEngine::speakClickSectionIndications (const ClickSectionTexts& texts, int64_t from, int64_t to) noexcept
{
    if (cue == nullptr)
        return;
    auto& cursor = clickSection.clickSectionIndicationCursor;
    const auto& list = texts.indications;
    for (; cursor < (int) list.size() && list[(size_t) cursor].offsetSamples < to; ++cursor)
    {
        const auto& indication = list[(size_t) cursor];
        if (indication.offsetSamples >= from)
            cue->triggerIndication (indication.indicationId, indication.markerId);
    }
}

void AudioEngine::announceFixedPassEnd (const ClickSectionTexts& texts) noexcept
{
    auto& cs = clickSection;
    const bool self = cs.clickSectionRepeatRemaining.load() > 0 || cs.clickSectionLoopFixed.load();
    const auto& id = self ? texts.warningSelfIndicationId : texts.warningIndicationId;
    const auto& name = self ? texts.warningSelfSectionName : texts.warningSectionName;
    if (cue == nullptr || (id.isEmpty() && name.isEmpty()))
        return;
    const bool fired = id.isNotEmpty() && cue->triggerIndication (id, juce::String());
    if (! fired && name.isNotEmpty())
        cue->triggerCueByName (name);
    AudioLogLine line ("[CLICK-WARN] Fixed | path=");
    line << (self ? "self(repeat)" : "next") << " ind=" << id << " tsFired=" << (fired ? "Y" : "N") << " name=" << name;
    sendAudioThreadLine (line.c_str());
    cs.clickSectionWarningFired = true;
}

void AudioEngine::announceLoopExit (const ClickSectionTexts& texts) noexcept
{
    const auto& id = texts.warningIndicationId;
    const auto& name = texts.warningSectionName;
    if (cue == nullptr || (id.isEmpty() && name.isEmpty()))
        return;
    const bool fired = id.isNotEmpty() && cue->triggerIndication (id, juce::String());
    if (! fired && name.isNotEmpty())
        cue->triggerCueByName (name);
    AudioLogLine line ("[CLICK-WARN] Loop | indId=");
    line << id << " tsFired=" << (fired ? "Y" : "N") << " name=" << name;
    sendAudioThreadLine (line.c_str());
    clickSection.clickSectionWarningFired = true;
}

void AudioEngine::realignFixedClock (int64_t overshoot, int64_t limit) noexcept
{
    // The crossing block played the old grid to its end. The new bar's first grid point is the old
    // grid's point `ticksPerPass`: it sounded there at its grid position (the clock then moves on
    // from the overshoot without sounding it again), or it still lies ahead (a pass that is not a
    // whole number of samples, or a limit that held it back) and is owed to the next block's start.
    auto& clock = *metronome;
    const auto firstOfNewBar = clickSection.ticksPerPass.load();
    const bool sounded = clock.fixedLastTick >= firstOfNewBar;
    clock.fixedLastTick = sounded ? clock.fixedLastTick - firstOfNewBar : -1;
    clock.fixedDownbeatOwed = ! sounded && overshoot > 0;
    clock.fixedElapsedSamples.store (overshoot);
    clock.fixedLimitSamples = limit;
}

void AudioEngine::completeClickSectionFromAudio() noexcept
{
    auto& cs = clickSection;
    cs.clickSectionAudioCompleted = true;
    if (const auto target = cs.clickSectionSeekSample.load(); target >= 0 && loopRegion != nullptr)
    {
        // An immediate seek resets the stretchers (it does not continue a wrap).
        for (auto& [name, bus] : groupBuses)
            if (bus->stretch != nullptr)
                bus->stretch->keepStateOnSeek = false;
        loopRegion->requestSeek (target);
    }
    metronome->fixedClockStopRequest = true;
    if (cs.restoreMusicOnComplete.load() && musicGain != nullptr)
        musicGain->requestRamp (1.0f, 0.005f);
}

void AudioEngine::advanceClickSection (int numSamples) noexcept
{
    auto& cs = clickSection;
    const auto phase = cs.clickSectionPhase.load();
    if (phase == inactivePhase || numSamples <= 0)
        return;

    const int64_t old = cs.clickSectionSample.fetch_add (numSamples);
    const int64_t f = old + numSamples;
    const auto total = cs.clickSectionTotalSamples.load();
    const auto perPass = cs.clickSectionSamplesPerIteration.load();
    const auto perBar = cs.clickSectionSamplesPerBar.load();
    const auto* texts = cs.texts.get();

    if (phase == playingPhase)
    {
        if (texts != nullptr)
            speakClickSectionIndications (*texts, old, f);

        int64_t overshoot = -1;
        if (cs.loopMode.load())
        {
            if (perPass > 0 && f >= perPass)
            {
                overshoot = f - perPass;
                cs.clickSectionLoopIteration.fetch_add (1);
            }
        }
        else
        {
            if (texts != nullptr && ! cs.clickSectionWarningFired && perPass > 0 && perBar > 0 && old < perPass - perBar
                && perPass - perBar <= f)
                announceFixedPassEnd (*texts);

            // f - total may still hold a whole pass when a block is longer than the pass: the end is
            // taken as soon as the counter reaches it, once.
            if (total <= f && ! cs.clickSectionAudioCompleted.load())
            {
                const bool loopFixed = cs.clickSectionLoopFixed.load();
                if (! loopFixed && cs.clickSectionRepeatRemaining.load() < 1)
                {
                    completeClickSectionFromAudio();
                    cs.clickSectionCompletePending = true;
                    return;
                }
                if (! loopFixed)
                {
                    cs.clickSectionRepeatRemaining.fetch_sub (1);
                    cs.clickSectionRepeatFiredPending = true;
                }
                overshoot = f - total;
                cs.clickSectionWarningFired = false;
            }
        }

        if (overshoot >= 0)
        {
            cs.clickSectionSample = overshoot;
            cs.clickSectionIndicationCursor = 0;
            realignFixedClock (overshoot, 0);
            // The new pass's indications that fall inside this block's overshoot speak now: the next
            // block starts past them.
            if (texts != nullptr)
                speakClickSectionIndications (*texts, 0, overshoot);
        }

        // The limit for the next block: none while another pass follows this one (its downbeat
        // sounds at the boundary), the pass length when this pass ends the section.
        const bool anotherPass = cs.loopMode.load() || cs.clickSectionLoopFixed.load() || cs.clickSectionRepeatRemaining.load() > 0;
        metronome->fixedLimitSamples = anotherPass ? 0 : total;
        return;
    }

    if (phase == exitPendingPhase)
    {
        if (perPass > 0 && f >= perPass)
        {
            const auto overshoot = f - perPass;
            cs.clickSectionSample = overshoot;
            realignFixedClock (overshoot, perBar);
            cs.clickSectionPhase = exitWarningPhase;
            cs.clickSectionWarningPending = true;
            if (texts != nullptr)
            {
                cs.clickSectionIndicationCursor = (int) texts->indications.size();
                if (! cs.clickSectionWarningFired)
                    announceLoopExit (*texts);
            }
            return;
        }
        metronome->fixedLimitSamples = 0; // the warning bar follows this pass
        return;
    }

    if (phase == exitWarningPhase && perBar > 0 && perBar <= f && ! cs.clickSectionAudioCompleted.load())
    {
        completeClickSectionFromAudio();
        cs.clickSectionCompletePending = true;
    }
}
} // namespace quorvelle
