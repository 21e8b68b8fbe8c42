// The preloaded slot: cancelling a preload, evicting the preloaded song, and the count-overlay
// mix of a window of a preloaded session.
#include "audio/engine/AudioEngine.h"

#include "audio/loading/StretchCache.h"

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

void AudioEngine::preserveActiveAsPreload()
{
    if (currentSongIdForStretch.isEmpty())
    {
        juce::Logger::writeToLog ("preserveActiveAsPreload: nothing to preserve (no active session)");
        return;
    }
    if (preloader != nullptr && preloader->isBusy())
    {
        preloader->cancelRun();
        for (const auto end = juce::Time::getMillisecondCounter() + 1000; preloader->isBusy() && juce::Time::getMillisecondCounter() < end;)
            juce::Thread::sleep (1);
    }

    auto session = std::make_shared<PreloadedSession>();
    session->songId = currentSongIdForStretch;
    session->sampleRate = sessionSampleRate;
    session->bpm = originalBpm;
    session->audioLeadPadSec = audioLeadPadSec;

    bool anySolo = metronomeSolo || guideSolo;
    for (const auto& [id, track] : tracks)
        anySolo = anySolo || track->solo;

    const auto bpmNow = currentBpm.load();
    const double ratio = bpmNow > 0.0 && originalBpm > 0.0 ? bpmNow / originalBpm : 1.0;
    for (const auto& [id, loaded] : tracks)
    {
        auto& track = *loaded;
        PreloadedTrack record;
        record.trackId = id;
        record.instrumentType = track.instrumentType;
        record.url = track.url;
        record.skipTranspose = track.skipTranspose;
        record.isPercussive = track.isPercussive;
        record.busOverride = track.busOverride;
        record.volumeDb = track.volume > 0.0f ? std::max (20.0f * std::log10 (track.volume), -100.0f) : -100.0f;
        const bool audible = track.solo || (! anySolo && ! track.mute);
        record.overlayVolumeDb = audible ? record.volumeDb : -100.0f;

        // The chains keep playing the samples they share with the record; an original (unstretched)
        // buffer is not played and moves into a record of its own.
        if (track.originalBuffer != nullptr)
            record.samples->buffer = std::move (track.originalBuffer);
        else if (track.buffer != nullptr || track.int16Channels != nullptr)
            record.samples = track.samples;
        if (! record.holdsAudio())
            continue;

        if (record.samples->buffer == nullptr && record.samples->loadMap.numChunks > 0 && ! track.isInt16)
        {
            record.isHeadOnly = true;
            record.headEndSample = 0;
            record.totalSamples = record.samples->int16Channels->empty() ? 0 : record.samples->int16Channels->front().numSamples;
            record.complementFromCache = buffersHaveStftDelay;
            record.complementSource = buffersHaveStftDelay
                                          ? stretchCachePath (storageRoot(), currentSongIdForStretch, id, ratio,
                                                              record.skipTranspose ? 0.0f : currentSemitones, sessionSampleRate)
                                                .getFullPathName()
                                          : track.url;
        }
        session->tracks.push_back (std::move (record));
    }

    if (buffersHaveStftDelay)
    {
        session->stretchBpm = bpmNow;
        session->stretchSemitones = currentSemitones;
        session->wasPreStretched = true;
    }
    session->tracksVar = songTracks;
    session->sectionsVar = songSections;
    session->beatmapVar = songBeatMap;
    session->numBars = numPeaks;
    session->timeSignatureVar = juce::Array<juce::var> { numerator, denominator };

    debugLog ("[TRACK-AUDIT] preloadedSession REPLACED by preserveActiveAsPreload | newSongId=" + session->songId.substring (0, 8)
              + " | prevSession=" + slotId8 (preloadedSession));
    preloadedSession = session;
    preserveSessionArmed = true;
    juce::Logger::writeToLog ("preserveActiveAsPreload: preserved " + juce::String ((int) session->tracks.size()) + " tracks for song "
                              + session->songId + " (wasPreStretched=" + juce::String (session->wasPreStretched ? 1 : 0)
                              + ", tracksVar=" + juce::String (songTracks.isArray() ? songTracks.size() : 0)
                              + ", numBars=" + juce::String (session->numBars) + ")");
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
