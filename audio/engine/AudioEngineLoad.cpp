// The song load: the engine's reader copy, LOAD_SONG's session set-up and the completion that
// builds the loaded stems into the graph and answers SESSION_LOADED.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
std::unique_ptr<juce::AudioFormatReader> AudioEngine::createReader (const juce::String& url)
{
    StemReaderCopy copy;
    copy.prefix = "createReader: ";
    copy.fetchLine = "Attempting to open: ";
    copy.log = [this] (const juce::String& line) { debugLog (line); };
    return openStemReader (formatManager, url, copy);
}

void AudioEngine::setPendingLoad (double bpm, const juce::var& tracksVar)
{
    loadedBpm = bpm;
    songTracks = tracksVar;
}

namespace
{
bool isPositiveInt (const juce::var& v) { return (v.isInt() || v.isInt64()) && (juce::int64) v > 0; }
} // namespace

void AudioEngine::loadSession (const juce::var& tracksVar, const juce::var& sections, const juce::var& beatmap,
                               const juce::var& timeSignature, const juce::var& peakTracks, double bpm, int numBars,
                               const juce::String& songId, bool skipPeaksIn, double leadPadSeconds)
{
    currentLoadingSongId = songId;
    audioLeadPadSec = leadPadSeconds > 0.0 ? leadPadSeconds : 0.0;
    clearFailedPadFiles();
    const auto ticket = ++loadTicket;
    reset();

    // A LOAD_SONG carries no time-signature map: an earlier song's map is dropped.
    metronome->setTimeSignatureMap ({});
    cue->setTimeSignatureMap ({});

    if (const auto* signature = timeSignature.getArray(); signature != nullptr && signature->size() > 1
                                                           && isPositiveInt (signature->getReference (0))
                                                           && isPositiveInt (signature->getReference (1)))
        setTimeSignature ((int) signature->getReference (0), (int) signature->getReference (1));

    if (const auto* beats = beatmap.getArray(); beats != nullptr && ! beats->isEmpty())
    {
        std::vector<double> times;
        std::vector<int32_t> numbers;
        times.reserve ((size_t) beats->size());
        numbers.reserve ((size_t) beats->size());
        for (const auto& beat : *beats)
        {
            times.push_back ((double) beat.getProperty ("time", 0.0));
            numbers.push_back ((int) beat.getProperty ("beatNum", 0));
        }
        metronome->setOriginalBpm (bpm);
        metronome->setBeatmap (times, numbers);
        cue->setBeatmap (times);
        debugLog ("AudioEngine: Loaded beatmap with " + juce::String ((int) times.size()) + " entries" + " | metroTS="
                  + juce::String (numerator) + "/" + juce::String (denominator));
    }
    else
    {
        metronome->clearBeatmap();
        cue->setBeatmap ({});
    }

    cue->setSections (juce::JSON::toString (sections, true));
    cue->setBpm (bpm);
    cue->setOriginalBpm (bpm);
    cue->setTimeSignature (numerator, denominator);
    cue->setNextReadPosition (0);

    if (! tracksVar.isArray())
    {
        juce::Logger::writeToLog ("AudioEngine: loadSession - tracks is not an array");
        sendEvent (makeObject ({ { "action", "SESSION_LOADED" },
                                 { "trackCount", 0 },
                                 { "sampleRate", deviceSampleRate.load() },
                                 { "audioDuration", 0.0 },
                                 { "songId", currentLoadingSongId } }));
        return;
    }

    juce::Logger::writeToLog ("AudioEngine: Starting async load of " + juce::String (tracksVar.size()) + " tracks...");
    loadStartMs = juce::Time::getMillisecondCounterHiRes();
    loadedBpm = bpm;
    numPeaks = numBars;
    skipPeaks = skipPeaksIn;
    songTracks = tracksVar;
    songBeatMap = beatmap;
    songSections = sections;
    peakCount = numBars;
    trackLoader->startLoad (tracksVar, deviceSampleRate.load(), ticket, peakTracks);
}

//==============================================================================
void AudioEngine::installSongChain (double songRate)
{
    const auto deviceRate = deviceSampleRate.load();
    router->sessionSampleRate = songRate;
    groupMixer.prepareToPlay (1024, songRate);
    musicCrossfade->prepareToPlay (1024, songRate);
    musicGain->prepareToPlay (1024, songRate);
    musicMixer.prepareToPlay (1024, songRate);
    splitRouter->prepareToPlay (1024, songRate);

    // A fresh song resampler; the transport lets go of the old one before it is destroyed.
    const double ratio = songRate > 0.0 && deviceRate > 0.0 && std::abs (songRate - deviceRate) > 1.0 ? songRate / deviceRate : 1.0;
    auto resampler = std::make_unique<ZeroLatencyResamplingSource> (splitRouter.get(), ratio, 2);
    resampler->prepareToPlay (1024, deviceRate);
    masterTransport.setSource (resampler.get()); // no read-ahead, no rate correction, no listener
    songResampler = std::move (resampler);
    if (player.getCurrentSource() != router.get())
        player.setSource (router.get());

    if (masterTransport.getLengthInSeconds() >= 0.0)
        setSongChainPosition (0.0);
}

void AudioEngine::finalizeTrackLoad (std::shared_ptr<TrackLoadResult> result, int ticket)
{
    if (result == nullptr)
        return;
    if (ticket != loadTicket)
    {
        juce::Logger::writeToLog ("finalizeTrackLoad: ABORTING - superseded (ticket " + juce::String (ticket) + " vs "
                                  + juce::String (loadTicket) + ")");
        return;
    }
    const auto completionStart = juce::Time::getMillisecondCounterHiRes();

    for (auto& entry : result->tracks)
    {
        auto& track = *entry.track;
        track.bus = resolveTrackBus (entry.busOverride, entry.instrumentType);
        auto* bus = getGroupBus (track.bus);
        const bool routed = bus != nullptr;
        if (! routed)
        {
            track.bus = "aux";
            bus = getGroupBus ("aux");
        }

        // A stem id met twice: the later stem replaces the earlier, whose chain leaves its mixer
        // before it is destroyed.
        if (const auto existing = tracks.find (entry.trackId); existing != tracks.end())
        {
            if (auto* oldBus = getGroupBus (existing->second->bus); oldBus != nullptr && existing->second->tap != nullptr)
                oldBus->mixer.removeInputSource (existing->second->tap.get());
            juce::Logger::writeToLog ("finalizeTrackLoad: Track " + entry.trackId + " appears again; the earlier stem is replaced");
            tracks.erase (existing);
        }

        if (bus != nullptr && track.tap != nullptr)
            bus->mixer.addInputSource (track.tap.get());
        juce::Logger::writeToLog ("finalizeTrackLoad: Track " + entry.trackId + " (" + entry.instrumentType + ") "
                                  + juce::String (juce::CharPointer_UTF8 ("\xe2\x86\x92")) + " bus " + track.bus
                                  + (routed ? "" : " (fallback)"));
        if (entry.instrumentType.startsWith ("GUITAR"))
            debugLog ("[TRACK-AUDIT] " + entry.trackId + " type=" + entry.instrumentType + " group=" + track.bus
                      + (routed ? " routed" : " fallback") + " ch=" + juce::String (track.getNumChannels())
                      + " samples=" + juce::String (track.getNumSamples()) + " gain=" + juce::String (track.volume, 3));

        tracks[entry.trackId] = std::move (entry.track);
    }

    // Tempo and pitch back to the song's own (setBpm re-arms the loop requests in samples of these
    // stems); the live-stretch rule then lets the stretchers pass the stems through.
    metronome->latencyCompensation = false;
    buffersHaveStftDelay = false;
    setPitch (0.0f);
    currentSemitones = 0.0f;
    if (loadedBpm > 0.0)
        originalBpm = loadedBpm;
    currentBpm = originalBpm;
    setBpm (originalBpm);
    applyLiveStretchRule();

    currentSongIdForStretch = currentLoadingSongId;
    setActiveSongId (currentLoadingSongId);
    peaksTicket = ticket;

    if (skipPeaks)
    {
        juce::Logger::writeToLog ("finalizeTrackLoad: Skipping peak generation (frontend has cached peaks)");
    }
    else
    {
        juce::Logger::writeToLog ("finalizeTrackLoad: Starting ASYNC background waveform generation...");
        startSongPeaks (result->peakTracksVar, result->tracksVar, std::move (result->downloads), ticket);
    }
    skipPeaks = false;

    const auto songRate = result->sampleRate;
    const auto deviceRate = deviceSampleRate.load();
    installSongChain (songRate);
    metronome->seekToTime (0.0);
    cue->setNextReadPosition (0);
    sessionSampleRate = songRate;

    // A song with no stems runs on its bars (plus a 30 s tail) so the click and the pads play.
    int64_t virtualSamples = 0;
    const auto bpmNow = currentBpm.load();
    if (tracks.empty() && numPeaks > 0 && bpmNow > 0.0 && numerator > 0 && denominator > 0)
    {
        const double seconds = (4.0 / denominator) * (60.0 / bpmNow) * numerator * numPeaks;
        const auto samples = (int64_t) ((seconds + 30.0) * songRate);
        virtualSamples = samples > 0 ? samples : 0;
        juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("AudioEngine: Click+Pad virtual clock enabled \xe2\x80\x94 "))
                                  + juce::String (numPeaks) + " bars = " + juce::String (seconds, 2) + "s ("
                                  + juce::String (virtualSamples) + " samples, +30s tail)");
        debugLog ("CLICKPAD virtualClock: " + juce::String (seconds, 2) + "s (" + juce::String (numPeaks) + " bars @"
                  + juce::String (bpmNow, 1) + " BPM) +30s tail");
    }
    groupMixer.setVirtualLength (virtualSamples);
    musicMixer.setVirtualLength (virtualSamples);

    if (auto* device = deviceManager.getCurrentAudioDevice(); device != nullptr && std::abs (device->getCurrentSampleRate() - deviceRate) > 1.0)
        debugLog ("[SR-DEBUG] *** WARNING *** deviceSampleRate(" + juce::String (deviceRate) + ") != actualDeviceSR("
                  + juce::String (device->getCurrentSampleRate()) + juce::String (juce::CharPointer_UTF8 (") \xe2\x80\x94 resampler ratio may be WRONG!")));

    juce::Logger::writeToLog ("AudioEngine: Async Session Loaded. File sample rate: " + juce::String (songRate) + " Hz, Device: "
                              + juce::String (deviceRate) + " Hz, Tracks: " + juce::String ((int) tracks.size()));

    musicGain->setGain (1.0f, 0.0f);
    updateGains();
    isSessionReady = true;

    if (loadStartMs > 0.0)
    {
        const auto now = juce::Time::getMillisecondCounterHiRes();
        debugLog ("AudioEngine: song load took " + juce::String ((now - loadStartMs) / 1000.0, 2) + "s (completion "
                  + juce::String (now - completionStart, 1) + "ms)");
        loadStartMs = 0.0;
    }

    // Song seconds at the recorded tempo; a plain load has no stretcher delay and ratio 1.
    const double playedSeconds = songRate > 0.0 ? (double) musicMixer.getTotalLength() / songRate : 0.0;
    const double tempoFactor = originalBpm > 0.0 ? currentBpm.load() / originalBpm : 1.0;
    const double audioDuration = tempoFactor == 1.0 ? playedSeconds : playedSeconds * tempoFactor;

    sendEvent (makeObject ({ { "action", "SESSION_LOADED" },
                             { "trackCount", (int) tracks.size() },
                             { "sampleRate", songRate },
                             { "audioDuration", audioDuration },
                             { "songId", currentLoadingSongId } }));
}
} // namespace quorvelle
