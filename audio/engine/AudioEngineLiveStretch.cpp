// Live tempo and pitch: SET_BPM and SET_PITCH on the buses' real-time stretchers (only while stopped
// or paused), the rule that switches live stretch on and off, the per-track transposition switch and
// the re-arming of the loop requests in samples of the stems that play.
#include "audio/engine/AudioEngine.h"

#include <cmath>

namespace quorvelle
{
namespace
{
// The range the live stretchers hold their latency for.
constexpr double minimumRatio = 0.5, maximumRatio = 2.0;
constexpr float maximumSemitones = 12.0f;
} // namespace

void AudioEngine::applyLiveStretchRule()
{
    bool transposed = false;
    for (const auto& [name, bus] : groupBuses)
        transposed = transposed || (bus->pitched && std::abs (bus->stretch->semitones.load()) > 0.001f);

    const auto r = getTempoRatio();
    positionTempoRatio = r;
    // Offline-stretched stems carry the tempo and key themselves.
    const bool live = ! buffersHaveStftDelay && (r != 1.0 || transposed);
    // Called on every change, not only on a flip: the direct sources' delay follows the latency in force.
    setStretchBypass (! live);
}

void AudioEngine::repositionKeepingSongTime (double songTime)
{
    setSongChainPosition (transportSecondsForSongTime (songTime));
    syncMetronomePosition (songTime);
    publishTransportNow();
}

void AudioEngine::setBpm (double bpm)
{
    if (masterTransport.isPlaying())
        return;
    if (! std::isfinite (bpm))
    {
        debugLog ("AudioEngine: setBpm ignored: the tempo is not a finite number");
        return;
    }
    if (bpm <= 0.0)
        return;
    if (originalBpm > 0.0)
    {
        const auto clamped = juce::jlimit (minimumRatio * originalBpm, maximumRatio * originalBpm, bpm);
        if (clamped != bpm)
        {
            debugLog ("AudioEngine: setBpm " + juce::String (bpm) + " clamped to " + juce::String (clamped) + " (ratio "
                      + juce::String (minimumRatio, 1) + ".." + juce::String (maximumRatio, 1) + " of " + juce::String (originalBpm) + ")");
            bpm = clamped;
        }
    }

    // The song time before the change is where the song stays.
    const bool keepSongTime = isSessionReady;
    const auto songTime = keepSongTime ? computeTickSongTime() : 0.0;

    currentBpm = bpm;
    if (metronome != nullptr)
        metronome->setBpm (bpm);
    if (cue != nullptr)
        cue->setBpm (bpm);
    debugLog ("AudioEngine: setBpm " + juce::String (bpm) + " (Orig: " + juce::String (originalBpm) + ") -> Ratio: "
              + juce::String (originalBpm > 0.0 ? bpm / originalBpm : 0.0));

    const auto ratio = originalBpm > 0.0 ? (float) (bpm / originalBpm) : 0.0f;
    if (ratio > 0.0f && std::isfinite (ratio))
        for (auto& [name, bus] : groupBuses)
            bus->stretch->rate = ratio;

    applyLiveStretchRule();
    if (keepSongTime)
        repositionKeepingSongTime (songTime);
    rearmAfterStftFlip();
}

void AudioEngine::setPitch (float semitones)
{
    if (masterTransport.isPlaying())
        return;
    if (! std::isfinite (semitones))
    {
        debugLog ("AudioEngine: setPitch ignored: the transposition is not a finite number");
        return;
    }
    if (std::abs (semitones) > maximumSemitones)
    {
        const auto clamped = juce::jlimit (-maximumSemitones, maximumSemitones, semitones);
        debugLog ("AudioEngine: setPitch " + juce::String (semitones) + " clamped to " + juce::String (clamped));
        semitones = clamped;
    }

    debugLog ("AudioEngine: setPitch " + juce::String (semitones));
    const bool wasBypassed = stretchBypassed;
    const auto songTime = isSessionReady ? computeTickSongTime() : 0.0;
    for (auto& [name, bus] : groupBuses)
        bus->stretch->semitones = bus->pitched ? semitones : 0.0f;

    applyLiveStretchRule();
    // Switching the stretchers in or out moves where the stems are read: start them afresh there.
    if (isSessionReady && wasBypassed != stretchBypassed)
        repositionKeepingSongTime (songTime);
}

void AudioEngine::transposeOverride (const juce::String& trackId, bool force)
{
    const auto found = tracks.find (trackId);
    if (found == tracks.end())
        return;
    auto& track = *found->second;
    track.skipTranspose = track.isPercussive && ! force;
    debugLog ("[STRETCH] transposeOverride " + trackId + " force=" + (force ? "true" : "false")
              + juce::String::fromUTF8 (" \xe2\x86\x92 isPercussive=") + (track.skipTranspose ? "true" : "false"));
}

void AudioEngine::rearmAfterStftFlip()
{
    const auto rate = sessionSampleRate.load();
    if (loopRegion == nullptr || ! (rate > 0.0))
        return;

    if (loopRegionActive.load())
    {
        double start = 0.0, end = 0.0;
        {
            const juce::ScopedLock lock (loopRegionLock);
            start = loopRegionStart;
            end = loopRegionEnd;
        }
        loopRegion->setLoopRegion (sessionSampleForSongTime (start), sessionSampleForSongTime (end), true);
        debugLog (juce::String::fromUTF8 ("AudioEngine: re-armed loop region after STFT flip \xe2\x80\x94 stftDelay=")
                  + juce::String (songTimeOffset, 4));
    }

    if (sampleSeekArmed.load())
    {
        loopRegion->setJump (sessionSampleForSongTime (sampleSeekTriggerTime), sessionSampleForSongTime (sampleSeekTargetPos), true);
        debugLog ("AudioEngine: re-armed sample-accurate boundary seek after STFT flip");
    }
    armStretchKeepStateForLoops();
}
} // namespace quorvelle
