// Ending the active session (reset, and the fast variant of a song-to-song change) and cancelling a
// song load that is still running.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
namespace
{
bool isRunning (const juce::Thread* thread) { return thread != nullptr && thread->isThreadRunning(); }

void signal (juce::Thread* thread)
{
    if (thread != nullptr)
    {
        thread->signalThreadShouldExit();
        thread->notify();
    }
}

juce::String first8 (const juce::String& id) { return id.substring (0, 8); }

// The track loader's thread outlives its runs: a reset ends the run, never the thread.
bool waitUntilLoaderIdle (AudioEngine::TrackLoaderThread& loader, int timeoutMs)
{
    for (const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs; loader.isBusy();)
    {
        if (juce::Time::getMillisecondCounter() >= end)
            return false;
        juce::Thread::sleep (1);
    }
    return true;
}
} // namespace

void AudioEngine::stopSongChain()
{
    // The transport lets go of the chain first; only then is the chain taken apart. The tracks'
    // taps leave their bus mixers before the tracks are destroyed.
    stop();
    masterTransport.setSource (nullptr);
    songResampler.reset();
    for (auto& [name, bus] : groupBuses)
        bus->clearTracks();
    tracks.clear();
    publishTransportNow();
}

void AudioEngine::signalWorkersForReset (const juce::String& caller, int retryMs)
{
    if (trackLoader != nullptr)
        trackLoader->cancelRun();
    signal (peakGenerator.get());
    if (preloader != nullptr)
        preloader->cancelRun();

    // A head-only activation leaves the loader writing into the tracks this reset frees.
    if (headOnlyLoadRunning && trackLoader != nullptr && ! waitUntilLoaderIdle (*trackLoader, 3000))
    {
        debugLog ("[TRACK-AUDIT] " + caller + juce::String::fromUTF8 (": trackLoader wait EXPIRED (3s) \xe2\x80\x94 retry ")
                  + juce::String (retryMs / 1000) + "s (guard UAF)");
        waitUntilLoaderIdle (*trackLoader, retryMs);
    }
}

void AudioEngine::reset()
{
    debugLog ("[TRANSITION] reset() ENTER | buffersHaveStftDelay=" + juce::String (buffersHaveStftDelay ? "true" : "false")
              + " | songId=" + first8 (currentSongIdForStretch));

    isSessionReady = false;
    setActiveSongId ({});
    ++stretchTicket;
    const auto started = juce::Time::getMillisecondCounterHiRes();
    auto* stretcher = getOfflineStretchThread();
    const bool stretcherRunning = isRunning (stretcher);
    const bool peaksRunning = isRunning (peakGenerator.get());
    const bool wasPlaying = masterTransport.isPlaying();

    if (stretcherRunning)
    {
        signal (stretcher);
        stretcher->waitForThreadToExit (2000);
        sendEvent (makeObject ({ { "action", "STRETCH_COMPLETE" }, { "songId", "cancelled" } }));
    }

    signalWorkersForReset ("reset()", 10000);
    if (peaksRunning)
        peakGenerator->waitForThreadToExit (2000);

    debugLog ("[TRACK-AUDIT] reset() thread waits done | elapsed=" + juce::String (juce::Time::getMillisecondCounterHiRes() - started, 1)
              + "ms | stretcher=" + (stretcherRunning ? "RUNNING" : "idle") + " | peakGen=" + (peaksRunning ? "RUNNING" : "idle")
              + (wasPlaying ? " | Song A was STILL PLAYING during this wait!" : juce::String::fromUTF8 (" | (cold load \xe2\x80\x94 no playback during wait)")));

    stopSongChain();

    resetPadSlot (1);
    resetPadSlot (2);

    if (metronomeVolumeGain != nullptr)
        metronomeVolumeGain->setGain (0.0f, 0.02f);

    const auto preloadedId = preloadedSession != nullptr ? first8 (getPreloadedSongId()) : juce::String ("NULL");
    if (preserveSessionArmed)
    {
        preserveSessionArmed = false;
        debugLog ("[TRACK-AUDIT] reset(): preloadedSession PRESERVED (preservePreloadedSession flag) | songId=" + preloadedId);
    }
    else
    {
        debugLog ("[TRACK-AUDIT] reset(): preloadedSession CLEARED | was=" + preloadedId);
        preloadedSession.reset();
    }
    juce::Logger::writeToLog ("AudioEngine: Session Reset.");
}

void AudioEngine::resetFast()
{
    isSessionReady = false;
    ++stretchTicket;

    signal (getOfflineStretchThread());
    signalWorkersForReset ("resetFast()", 5000);

    stopSongChain();
}

void AudioEngine::cancelLoad()
{
    ++loadTicket;
    if (trackLoader != nullptr && trackLoader->isBusy())
    {
        trackLoader->cancelRun();
        juce::Logger::writeToLog ("AudioEngine: Load cancelled (trackLoader).");
    }
    if (isRunning (peakGenerator.get()))
        signal (peakGenerator.get());
    if (auto* stretcher = getOfflineStretchThread(); isRunning (stretcher))
    {
        signal (stretcher);
        sendEvent (makeObject ({ { "action", "STRETCH_COMPLETE" }, { "songId", "cancelled" } }));
    }
    currentLoadingSongId.clear();
}
} // namespace quorvelle
