// LOAD_SONG straight from the stretch cache: when every stem of the requested tempo and key is
// cached (at the device rate, 44.1 kHz or 48 kHz), the session is built from those files.
#include "audio/engine/AudioEngine.h"

#include "audio/loading/OfflineStretch.h"
#include "audio/loading/StretchCache.h"
#include "core/StemRoles.h"

namespace quorvelle
{
namespace
{
struct CachedStem
{
    juce::String trackId, instrumentType, file, url, busOverride;
    float volumeDb = 0.0f;
    bool skipTranspose = false, percussive = false, unchanged = false;
};

// The local file a "file://" url or an absolute path names; empty otherwise.
juce::String localOriginal (const juce::String& url)
{
    const auto path = url.startsWith ("file://") ? url.substring (7) : url;
    return juce::File::isAbsolutePath (path) ? path : juce::String();
}
} // namespace

bool AudioEngine::activateFromStretchCache (const juce::String& songId, double stretchBpm, double stretchSemitones, const juce::var& sections,
                                            const juce::var& beatmap, int numBarsIn, const juce::var& timeSignature, bool skipPeaksIn,
                                            const juce::var& peakTracks, double leadPadSeconds)
{
    cancelExportAndWait();

    if (songId.isEmpty())
    {
        debugLog ("activateFromStretchCache: SKIP (empty songId)");
        return false;
    }
    const double pendingBpm = loadedBpm;
    if (! (pendingBpm > 0.0))
    {
        debugLog ("activateFromStretchCache: SKIP (pendingBpm=" + juce::String (pendingBpm) + ")");
        return false;
    }
    audioLeadPadSec = leadPadSeconds > 0.0 ? leadPadSeconds : 0.0;
    const auto* pending = songTracks.getArray();
    if (pending == nullptr || pending->isEmpty())
    {
        debugLog ("activateFromStretchCache: SKIP (no pending tracks)");
        return false;
    }

    const double ratio = stretchBpm > 0.0 ? stretchBpm / pendingBpm : 1.0;
    const auto semitones = (float) stretchSemitones;
    // Values the stretcher cannot render would also be no cache name: the normal load follows.
    if (! isValidStretchRequest (ratio, semitones))
    {
        debugLog ("activateFromStretchCache: SKIP (invalidArgs) ratio=" + juce::String (ratio) + " semi=" + juce::String (semitones));
        songTracks = juce::var();
        return false;
    }
    const double deviceRate = deviceSampleRate.load() > 0.0 ? deviceSampleRate.load() : 44100.0;
    debugLog ("activateFromStretchCache: checking " + songId + " bpmRatio=" + juce::String (ratio) + " semi=" + juce::String (semitones)
              + " deviceSR=" + juce::String (deviceRate) + " tracks=" + juce::String (pending->size()));

    const auto root = storageRoot != nullptr ? storageRoot() : juce::File();
    std::vector<CachedStem> stems;
    double matchedRate = 0.0;
    const double candidates[] = { deviceRate, 44100.0, 48000.0 };
    for (size_t c = 0; c < std::size (candidates) && matchedRate <= 0.0; ++c)
    {
        const double rate = candidates[c];
        const bool logMisses = c == 0;
        stems.clear();
        bool complete = true;
        for (const auto& track : *pending)
        {
            CachedStem stem;
            stem.trackId = track.getProperty ("id", {}).toString();
            stem.instrumentType = track.getProperty ("instrumentType", {}).toString();
            if (stem.instrumentType.isEmpty())
                stem.instrumentType = "MELODIC";
            // A stem without "volume" plays at 0 dB, as on the other load roads.
            stem.volumeDb = (float) (double) track.getProperty ("volume", 0.0);
            stem.url = track.getProperty ("url", {}).toString();
            stem.busOverride = track.getProperty ("busOverride", {}).toString();
            stem.percussive = core::isUnpitchedTrack (stem.instrumentType.toStdString(), track.getProperty ("name", {}).toString().toStdString());
            stem.skipTranspose = stem.percussive && ! (bool) track.getProperty ("transposeWithSong", false);
            const float trackSemitones = stem.skipTranspose ? 0.0f : semitones;

            juce::File file;
            if (std::abs (ratio - 1.0) < 1e-9 && std::abs (trackSemitones) < 0.001f)
            {
                stem.unchanged = true;
                if (const auto path = localOriginal (stem.url); path.isNotEmpty())
                    file = juce::File (path);
                if (file == juce::File() || ! file.existsAsFile())
                {
                    if (logMisses)
                        debugLog ("activateFromStretchCache: MISS (original de track no-op ilegible) track=" + stem.trackId);
                    complete = false;
                    break;
                }
            }
            else
            {
                file = stretchCachePath (root, songId, stem.trackId, ratio, trackSemitones, rate);
                if (! isStretchCacheFilePresent (file))
                {
                    if (logMisses)
                        debugLog ("activateFromStretchCache: MISS @" + juce::String ((int) rate) + " track=" + stem.trackId);
                    complete = false;
                    break;
                }
            }
            stem.file = file.getFullPathName();
            stems.push_back (std::move (stem));
        }
        if (complete)
            matchedRate = rate;
    }
    songTracks = juce::var();

    if (matchedRate <= 0.0)
    {
        debugLog ("activateFromStretchCache: no cache found at any sample rate");
        return false;
    }
    if (std::all_of (stems.begin(), stems.end(), [] (const CachedStem& s) { return s.unchanged; }))
    {
        debugLog (juce::String::fromUTF8 ("activateFromStretchCache: todos los tracks son no-op \xe2\x86\x92 carga normal"));
        return false;
    }
    debugLog ("activateFromStretchCache: Full HIT for " + songId + " (" + juce::String ((int) stems.size()) + " tracks, sr="
              + juce::String (matchedRate) + ")");

    // From here on the old song is gone.
    const auto ticket = ++loadTicket;
    currentLoadingSongId = songId;
    reset();
    setActiveSongId (songId);

    if (const auto* signature = timeSignature.getArray(); signature != nullptr && signature->size() > 1
                                                           && (double) signature->getReference (0) > 0.0
                                                           && (double) signature->getReference (1) > 0.0)
        setTimeSignature ((int) signature->getReference (0), (int) signature->getReference (1));

    metronome->setOriginalBpm (pendingBpm);
    if (const auto* beats = beatmap.getArray(); beats != nullptr && ! beats->isEmpty())
    {
        std::vector<double> times;
        std::vector<int32_t> numbers;
        for (const auto& beat : *beats)
        {
            times.push_back ((double) beat.getProperty ("time", 0.0));
            numbers.push_back ((int) beat.getProperty ("beatNum", 0));
        }
        metronome->setBeatmap (times, numbers);
        metronome->setBpm (stretchBpm);
    }
    else
    {
        metronome->clearBeatmap();
    }
    if (cue != nullptr)
    {
        cue->setSections (juce::JSON::toString (sections, true));
        cue->setBpm (stretchBpm);
        cue->setOriginalBpm (pendingBpm);
        cue->setTimeSignature (numerator, denominator);
        cue->setNextReadPosition (0);
    }

    for (const auto& stem : stems)
    {
        std::unique_ptr<juce::AudioFormatReader> reader;
        if (stem.unchanged)
        {
            reader = createPaddedReader (std::unique_ptr<juce::AudioFormatReader> (formatManager.createReaderFor (juce::File (stem.file))),
                                         audioLeadPadSec);
        }
        else
        {
            juce::WavAudioFormat wav;
            reader.reset (wav.createReaderFor (juce::File (stem.file).createInputStream().release(), true));
        }
        if (reader == nullptr || reader->lengthInSamples < 1 || reader->numChannels < 1 || reader->lengthInSamples > std::numeric_limits<int>::max())
        {
            debugLog ("activateFromStretchCache: FAILED to open/read (or empty): " + stem.file);
            continue;
        }

        auto track = std::make_unique<LoadedTrack>();
        // The 16-bit channels hold stretched audio: the track is not marked as a 16-bit original.
        std::unique_ptr<juce::PositionableAudioSource> source;
        if (! reader->usesFloatingPointData && reader->bitsPerSample >= 1 && reader->bitsPerSample <= 16)
        {
            auto channels = std::make_unique<std::vector<Int16ChannelData>>();
            if (readAllToInt16 (reader.get(), *channels, (juce::Thread*) nullptr))
            {
                track->int16Channels = std::move (channels);
                source = std::make_unique<Int16MemoryAudioSource> (track->int16Channels.get());
            }
        }
        if (source == nullptr)
        {
            track->buffer = std::make_unique<juce::AudioBuffer<float>> ((int) reader->numChannels, (int) reader->lengthInSamples);
            if (! readAllToFloat (reader.get(), *track->buffer, reader->lengthInSamples, (juce::Thread*) nullptr))
            {
                debugLog ("activateFromStretchCache: FAILED to open/read (or empty): " + stem.file);
                continue;
            }
            source = std::make_unique<juce::MemoryAudioSource> (*track->buffer, false, true);
        }

        track->instrumentType = stem.instrumentType;
        track->skipTranspose = stem.skipTranspose;
        track->isPercussive = stem.percussive;
        track->url = stem.url;
        track->busOverride = stem.busOverride;
        track->volume = stem.volumeDb > -100.0f ? std::pow (10.0f, stem.volumeDb / 20.0f) : 0.0f;
        track->bus = resolveTrackBus (stem.busOverride, stem.instrumentType);
        if (getGroupBus (track->bus) == nullptr)
            track->bus = "aux";
        rebuildTrackChain (*track, std::move (source), 0.02f);

        if (const auto existing = tracks.find (stem.trackId); existing != tracks.end())
            if (auto* oldBus = getGroupBus (existing->second->bus); oldBus != nullptr && existing->second->tap != nullptr)
                oldBus->mixer.removeInputSource (existing->second->tap.get());
        tracks[stem.trackId] = std::move (track);
    }

    originalBpm = pendingBpm;
    currentBpm = stretchBpm > 0.0 ? stretchBpm : pendingBpm;
    currentSemitones = semitones;
    setPitch (0.0f);
    setBpm (currentBpm.load());
    setStretchBypass (true);
    metronome->latencyCompensation = true;
    buffersHaveStftDelay = true;
    rearmAfterStftFlip();
    applyLiveStretchRule();
    currentSongIdForStretch = songId;
    peaksTicket = ticket;

    numPeaks = numBarsIn;
    if (! skipPeaksIn)
    {
        juce::Array<juce::var> fromFiles;
        for (const auto& stem : stems)
            fromFiles.add (makeObject ({ { "url", stem.file }, { "instrumentType", stem.instrumentType }, { "volume", stem.volumeDb } }));
        startSongPeaks (peakTracks, fromFiles, {}, ticket);
    }

    installSongChain (matchedRate);
    syncMetronomePosition (0.0);
    sessionSampleRate = matchedRate;
    isSessionReady = true;
    // The reset silenced the click: the gains are set again as on the other load roads.
    updateGains();

    double firstLength = 0.0;
    if (! tracks.empty())
        firstLength = std::max (0, tracks.begin()->second->getNumSamples());
    const double audioDuration = ratio * firstLength / matchedRate;
    postEvent (makeObject ({ { "action", "SESSION_LOADED" },
                             { "trackCount", (int) tracks.size() },
                             { "sampleRate", matchedRate },
                             { "audioDuration", audioDuration },
                             { "songId", songId },
                             { "wasPreloaded", false },
                             { "wasPreStretched", true } }));
    debugLog ("activateFromStretchCache: Session ready (disk cache) for " + songId);
    return true;
}
} // namespace quorvelle
