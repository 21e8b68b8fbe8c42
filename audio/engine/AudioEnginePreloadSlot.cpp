// The preloaded slot: cancelling a preload, evicting the preloaded song, and the count-overlay
// mix of a window of a preloaded session.
#include "audio/engine/AudioEngine.h"

#include <cmath>

namespace quorvelle
{
namespace
{
juce::String slotId8 (const std::shared_ptr<AudioEngine::PreloadedSession>& session)
{
    return session != nullptr ? session->songId.substring (0, 8) : juce::String ("NULL");
}
} // namespace

juce::String AudioEngine::getPreloadedSongId() const
{
    return preloadedSession != nullptr ? preloadedSession->songId : juce::String();
}

void AudioEngine::cancelPreload()
{
    if (preloader == nullptr || ! preloader->isBusy())
    {
        debugLog ("[TRACK-AUDIT] cancelPreload NO-OP (preloader not running) | kept session=" + slotId8 (preloadedSession));
        return;
    }
    preloader->cancelRun();
    juce::Logger::writeToLog ("AudioEngine: Preload cancelled.");
    debugLog ("[TRACK-AUDIT] preloadedSession CLEARED by cancelPreload | was=" + slotId8 (preloadedSession));
    preloadedSession.reset();
}

void AudioEngine::evictPreloadedSession (const juce::String& reason)
{
    if (preserveSessionArmed)
    {
        debugLog ("[TRACK-AUDIT] evictPreloadedSession SKIP (preserve flag armado) | reason=" + reason);
        return;
    }
    if (preloader != nullptr && preloader->isBusy())
        preloader->cancelRun();
    if (preloadedSession == nullptr)
        return;

    const auto songId = preloadedSession->songId;
    debugLog ("[TRACK-AUDIT] preloadedSession EVICTED | song=" + songId.substring (0, 8) + " | reason=" + reason);
    preloadedSession.reset();
    sendEvent (makeObject ({ { "action", "PRELOAD_EVICTED" }, { "songId", songId }, { "reason", reason } }));
}

std::unique_ptr<juce::AudioBuffer<float>> AudioEngine::buildCountOverlayBuffer (const PreloadedSession& session, double startSec,
                                                                               double endSec, OverlayKind kind)
{
    if (! (endSec > 0.0) || session.tracks.empty())
        return nullptr;

    const bool stretchedTempo = session.wasPreStretched && session.stretchBpm > 0.0 && std::abs (session.stretchBpm - session.bpm) > 0.001;
    const double q = stretchedTempo ? session.stretchBpm / session.bpm : 1.0;
    const double rate = session.sampleRate;
    const auto first = (juce::int64) (std::max (startSec, 0.0) * rate / q);
    const auto length = (juce::int64) (rate * endSec / q) - first;
    // Windows of 120 s or more are refused.
    if (length <= 0 || length >= (juce::int64) (rate * 120.0))
        return nullptr;

    auto buffer = std::make_unique<juce::AudioBuffer<float>> (2, (int) length);
    buffer->clear();
    bool used = false;
    for (const auto& track : session.tracks)
    {
        const bool isClick = track.instrumentType == "CLICK", isCues = track.instrumentType == "CUES";
        const bool selected = kind == OverlayKind::click ? isClick : kind == OverlayKind::guide ? isCues : ! isClick && ! isCues;
        if (! selected)
            continue;
        const float level = track.overlayVolumeDb > -900.0f ? track.overlayVolumeDb : track.volumeDb;
        if (level <= -60.0f)
            continue;
        used = true;
        const float gain = std::pow (10.0f, level / 20.0f);

        const auto& samples = *track.samples;
        int channels = 0;
        juce::int64 trackLength = 0;
        if (samples.buffer != nullptr)
        {
            channels = samples.buffer->getNumChannels();
            trackLength = samples.buffer->getNumSamples();
        }
        else if (samples.int16Channels != nullptr && ! samples.int16Channels->empty())
        {
            channels = (int) samples.int16Channels->size();
            trackLength = samples.int16Channels->front().numSamples;
        }
        if (channels == 0 || trackLength == 0 || first >= trackLength)
            continue;

        const auto n = (int) std::min (trackLength - first, length);
        for (int out = 0; out < 2; ++out)
        {
            const int source = std::min (out, channels - 1);
            auto* dest = buffer->getWritePointer (out);
            if (samples.buffer != nullptr)
            {
                buffer->addFrom (out, 0, *samples.buffer, source, (int) first, n, gain);
            }
            else
            {
                const auto* in = (*samples.int16Channels)[(size_t) source].samples.get() + first;
                const float scale = gain / 32768.0f;
                for (int i = 0; i < n; ++i)
                    dest[i] += (float) in[i] * scale;
            }
        }
    }
    return used ? std::move (buffer) : nullptr;
}
} // namespace quorvelle
