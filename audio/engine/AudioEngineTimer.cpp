// The engine's 16 ms tick on the message thread: consumes the audio thread's marks, computes the song
// time and reports PLAYBACK_UPDATE (the normal form, or the count-in form while a count speaks).
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
namespace
{
juce::var zeroPeaks()
{
    juce::Array<juce::var> peaks;
    for (int i = 0; i < 16; ++i)
        peaks.add (0.0);
    return peaks;
}
} // namespace

void AudioEngine::timerCallback()
{
    // 1. The mapping the audio thread's position callbacks use.
    tempoRatio = getTempoRatio();
    songTimeOffset = 0.0;

    // 2.-6. The audio thread's marks.
    if (deviceRateChangedDuringClickSection.exchange (false) && isClickSectionActive())
    {
        debugLog (juce::String::fromUTF8 ("[CLICK-SECTION] Device SR changed mid-flight \xe2\x80\x94 cancelling"));
        cancelClickSection();
    }
    handleClickSectionTickMarks();
    handleCountTickMarks();

    // Per-tick counters of the render.
    router->renderedSamples.exchange (0);
    if (songResampler != nullptr)
        lastResamplerStats = songResampler->takeStats();

    // 7. An export drives the graph itself.
    if (exportRendering.load())
        return;

    // A song activated under a standalone count takes its click setup once that count has ended.
    applyDeferredSetupAfterCount();

    // 8. A count speaks and the transport waits.
    if (countInPhase.load() == 1)
    {
        if (eventSink)
            sendEvent (makeCountInPlaybackUpdate());
        return;
    }

    // 9.-10.
    auto songTime = computeTickSongTime();
    songTimeSeconds.store (songTime);
    logTickDiagnostics (songTime);

    // 11.-12.
    songTime = handleLoopAndBoundaryBranches (songTime);
    if (runOverlapPhases (songTime))
        return;

    // 13.
    if (eventSink)
        sendEvent (makePlaybackUpdate (songTime));
    reportCallbackTiming();
}

double AudioEngine::computeTickSongTime()
{
    // The played position of the first bus (in name order) that holds tracks and has moved.
    double seconds = -1.0;
    lastSongTimeBus.clear();
    lastSongTimePositionSamples = -1;
    const auto rate = sessionSampleRate.load();
    for (const auto& [name, bus] : groupBuses)
    {
        if (bus->mixer.numInputs() == 0)
            continue;
        if (lastSongTimeBus.isEmpty())
            lastSongTimeBus = name;
        const auto position = bus->stretch->getNextReadPosition();
        if (position > 0 && rate > 0.0)
        {
            lastSongTimePositionSamples = position;
            seconds = (double) position / rate;
            break;
        }
    }

    // No bus holding tracks has moved (a click-only song, or the start): the transport's own
    // position whenever it has a source, paused included.
    if (seconds < 0.0)
        seconds = songResampler != nullptr ? masterTransport.getCurrentPosition() : 0.0;

    return songTimeForTransportSeconds (seconds);
}

juce::var AudioEngine::makePlaybackUpdate (double songTime)
{
    auto* object = new juce::DynamicObject();
    juce::var event (object);
    const bool clickSection = isClickSectionActive();
    const bool playing = masterTransport.isPlaying() || handoffPending.load() || (clickSection && playbackGate.load());

    object->setProperty ("action", "PLAYBACK_UPDATE");
    object->setProperty ("time", songTime);
    object->setProperty ("isPlaying", playing);
    if (clickSection)
        addClickSectionFields (*object);

    juce::Array<juce::var> peaks;
    for (const auto& name : busCategoryNames())
    {
        float peak = 0.0f;
        if (! clickSection)
            if (auto* bus = getGroupBus (name); bus != nullptr && bus->tap != nullptr)
                peak = bus->tap->peak.exchange (0.0f);
        peaks.add ((double) peak);
    }
    object->setProperty ("peaks", peaks);
    object->setProperty ("padPeak", padTap != nullptr ? (double) padTap->peak.exchange (0.0f) : 0.0);

    const auto take = [] (std::atomic<float>* peak) { return peak != nullptr ? peak->exchange (0.0f) : 0.0f; };
    const float metronomePeak = juce::jmax (take (metronomeTap != nullptr ? &metronomeTap->peak : nullptr),
                                            (countIn != nullptr ? countIn->takeClickPeak() : 0.0f) * clickBusGain,
                                            take (countOverlayClick != nullptr ? &countOverlayClick->peak : nullptr) * clickBusGain);
    const float cuePeak = juce::jmax (take (cueTap != nullptr ? &cueTap->peak : nullptr),
                                      (countIn != nullptr ? countIn->takeVoicePeak() : 0.0f) * clickBusGain,
                                      take (countOverlayGuide != nullptr ? &countOverlayGuide->peak : nullptr) * guideBusGain);
    object->setProperty ("metronomePeak", (double) metronomePeak);
    object->setProperty ("cuePeak", (double) cuePeak);

    auto* trackPeaks = new juce::DynamicObject();
    for (auto& [id, track] : tracks)
        trackPeaks->setProperty (id, ! clickSection && track->tap != nullptr ? (double) track->tap->peak.exchange (0.0f) : 0.0);
    object->setProperty ("trackPeaks", juce::var (trackPeaks));

    if (useCoreAutomation)
        addAutomationState (*object, songTime);
    return event;
}

juce::var AudioEngine::makeCountInPlaybackUpdate()
{
    auto* object = new juce::DynamicObject();
    juce::var event (object);
    object->setProperty ("action", "PLAYBACK_UPDATE");
    object->setProperty ("time", 0.0);
    object->setProperty ("isPlaying", true);
    object->setProperty ("isCountingIn", true);
    if (countIn != nullptr)
    {
        object->setProperty ("countInSec", countIn->getPositionSeconds());
        object->setProperty ("countInTotalSec", countIn->getLengthSeconds());
    }
    object->setProperty ("peaks", zeroPeaks());
    object->setProperty ("metronomePeak", countIn != nullptr ? (double) countIn->takeClickPeak() : 0.0);
    object->setProperty ("cuePeak", countIn != nullptr ? (double) countIn->takeVoicePeak() : 0.0);
    return event;
}

void AudioEngine::logTickDiagnostics (double songTime)
{
    const auto now = (int64_t) juce::Time::getMillisecondCounter();
    const bool playing = masterTransport.isPlaying();
    const auto transportSeconds = masterTransport.getCurrentPosition();
    const auto r = getTempoRatio();

    if (playing && verboseDiagnostics.load() && now - tickLastLog1000Ms >= 1000)
    {
        tickLastLog1000Ms = now;
        debugLog ("[SYNC-AUDIO] wall=" + juce::String (transportSeconds * r, 3) + " song=" + juce::String (songTime, 3) + " r="
                  + juce::String (r, 4) + " D=" + juce::String (songTimeOffset, 4) + " bus=" + lastSongTimeBus + " raw="
                  + juce::String (lastSongTimePositionSamples));
        if (songResampler != nullptr)
            debugLog ("[SYNC-SENTINEL] dDev=" + juce::String (lastResamplerStats.outputSamples) + " pulled="
                      + juce::String (lastResamplerStats.inputPulled) + " consumed=" + juce::String (lastResamplerStats.inputConsumed)
                      + " metro=" + juce::String ((juce::int64) metronome->getNextReadPosition()) + " raw="
                      + juce::String (lastSongTimePositionSamples));
    }

    if (tickDiagWindowEndMs > 0)
    {
        if (now > tickDiagWindowEndMs)
            tickDiagWindowEndMs = 0;
        else if (lastSongTimePositionSamples >= 0 && verboseDiagnostics.load() && now - tickLastLog200Ms >= 200)
        {
            tickLastLog200Ms = now;
            debugLog ("[STRETCH-DIAG] TICK | bus=" + lastSongTimeBus + " raw=" + juce::String (lastSongTimePositionSamples) + " t="
                      + juce::String (songTime, 3) + " transportPos=" + juce::String (transportSeconds, 3) + " playing="
                      + (playing ? "Y" : "N"));
        }
    }

    if (wasPlayingAtLastTick && ! playing)
    {
        const auto length = masterTransport.getLengthInSeconds();
        const bool atEnd = length > 0.0 && transportSeconds >= length - 0.5;
        const auto line = juce::String (atEnd ? "[AUTOPAUSE]" : "[PLAY-STOPPED]") + " pos=" + juce::String (transportSeconds, 3)
                          + " len=" + juce::String (length, 3) + " r=" + juce::String (r, 4) + " t=" + juce::String (songTime, 3)
                          + " bpm=" + juce::String (currentBpm.load(), 1) + "/" + juce::String (originalBpm, 1);
        juce::Logger::writeToLog (line);
        debugLog (line);
    }
    wasPlayingAtLastTick = playing;
}

void AudioEngine::reportCallbackTiming()
{
    if (! router->reportReady.exchange (false))
        return;
    const bool mismatch = router->clockMismatch.load();
    if (! (mismatch || verboseDiagnostics.load()) || ! router->logCallback)
        return;
    router->logCallback ("[SR-DEBUG] CALLBACK TIMING: measuredSR=" + juce::String (router->measuredSampleRate.load(), 1) + " expectedSR="
                         + juce::String (router->getDeviceSampleRate(), 1) + " drift=" + juce::String (router->driftPercent.load(), 3)
                         + "%" + " avgBlockSize=" + juce::String (router->averageBlockSize.load(), 1) + " callbacks="
                         + juce::String (router->reportCallbacks.load())
                         + (mismatch ? " *** CLOCK MISMATCH *** Device may not be running at reported sample rate!" : ""));
}
} // namespace quorvelle
