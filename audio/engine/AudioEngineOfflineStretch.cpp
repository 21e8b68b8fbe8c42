// APPLY_STRETCH: the request and its checks, the bypass back to the unstretched stems, the hand-over
// of a finished offline stretch job, and the rebuilds of a track's unstretched audio and chain.
#include "audio/engine/AudioEngine.h"

#include "audio/loading/OfflineStretch.h"

#include <thread>

namespace quorvelle
{
namespace
{
juce::String first8 (const juce::String& id) { return id.substring (0, 8); }

constexpr float int16Scale = 0.000030517578125f; // 2^-15
} // namespace

OfflineStretchProcessor& AudioEngine::getStretchProcessor()
{
    if (stretchProcessor == nullptr)
    {
        OfflineStretchProcessor::Callbacks callbacks;
        callbacks.log = [this] (const juce::String& line) { debugLog (line); };
        callbacks.progress = [this] (const juce::String& songId, int done, int total, int percent)
        {
            postEvent (makeObject ({ { "action", "STRETCH_PROGRESS" },
                                     { "songId", songId },
                                     { "tracksDone", done },
                                     { "totalTracks", total },
                                     { "percent", percent } }));
        };
        callbacks.finished = [this] (std::shared_ptr<OfflineStretchProcessor::Result> result)
        {
            postToMessageThread ([this, result] { runAfterExport ([this, result] { finalizeStretch (result); }); });
        };
        callbacks.availableMemory = [this] { return availableMemoryForAdmission(); };
        stretchProcessor = std::make_unique<OfflineStretchProcessor> (std::move (callbacks));
    }
    return *stretchProcessor;
}

juce::Thread* AudioEngine::getOfflineStretchThread() const { return stretchProcessor.get(); }

//==============================================================================
void AudioEngine::sendStretchRejected (const juce::String& reason, double bpm, float semitones)
{
    debugLog ("[APPLY-STRETCH-REJECTED] reason=" + reason + " | bpm=" + juce::String (bpm) + " semi=" + juce::String (semitones));
    sendEvent (makeObject ({ { "action", "STRETCH_REJECTED" },
                             { "songId", currentSongIdForStretch },
                             { "bpm", bpm },
                             { "semitones", semitones },
                             { "reason", reason } }));
}

void AudioEngine::sendStretchComplete (const juce::String& songId)
{
    sendEvent (makeObject ({ { "action", "STRETCH_COMPLETE" }, { "songId", songId } }));
}

void AudioEngine::applyStretch (double bpm, float semitones)
{
    cancelExportAndWait();

    if (masterTransport.isPlaying())
        return sendStretchRejected ("isPlaying", bpm, semitones);
    if (tracks.empty())
        return sendStretchRejected ("emptyTracks", bpm, semitones);
    // A tempo of 0 or below, a value that is not finite, or a change beyond the stretcher's range
    // would give a stem of no or endless length, or a cache name out of integer range.
    const double ratio = originalBpm > 0.0 ? bpm / originalBpm : 0.0;
    if (! (bpm > 0.0) || ! isValidStretchRequest (ratio, semitones))
        return sendStretchRejected ("invalidArgs", bpm, semitones);

    const bool unchanged = std::abs (bpm - originalBpm) < 1e-6 && std::abs (semitones) < 0.001f;
    if (! unchanged && ! admitStretchRequest (bpm, semitones, ratio))
        return;

    currentSemitones = semitones;
    logStretchDiagnostics ("BEFORE");
    ++stretchTicket;

    if (unchanged)
        return bypassStretch (bpm, semitones);

    OfflineStretchProcessor::Job job;
    job.songId = currentSongIdForStretch;
    job.ratio = ratio;
    job.semitones = semitones;
    job.ticket = stretchTicket;
    job.sampleRate = sessionSampleRate.load() > 0.0 ? sessionSampleRate.load() : 44100.0;
    job.storageRoot = storageRoot != nullptr ? storageRoot() : juce::File();
    const auto leadPad = audioLeadPadSec;
    const auto rate = job.sampleRate;
    for (const auto& [id, track] : tracks)
    {
        OfflineStretchProcessor::TrackInput input;
        input.trackId = id;
        input.skipTranspose = track->skipTranspose;
        // Once the stems carry a stretch, the unstretched audio comes from the file again.
        input.samples = track->samples;
        input.samplesAreOriginal = ! buffersHaveStftDelay;
        if (track->url.isNotEmpty())
            input.reloadOriginal = [this, url = track->url, leadPad, rate]
            {
                auto* processor = stretchProcessor.get();
                return readUnstretchedAudio (url, leadPad, rate, [processor] { return processor != nullptr && processor->threadShouldExit(); });
            };
        input.weight = std::max (1, track->getNumSamples());
        input.bytes = stretchTrackBytes (track->getNumChannels(), track->getNumSamples());
        job.tracks.push_back (std::move (input));
    }
    getStretchProcessor().startJob (std::move (job));
    sendEvent (makeObject ({ { "action", "STRETCH_STARTED" }, { "songId", currentSongIdForStretch }, { "totalTracks", (int) tracks.size() } }));
}

bool AudioEngine::admitStretchRequest (double bpm, float semitones, double ratio)
{
    std::vector<juce::int64> trackBytes;
    for (const auto& [id, track] : tracks)
        trackBytes.push_back (stretchTrackBytes (track->getNumChannels(), track->getNumSamples()));
    const auto available = availableMemoryForAdmission();
    // The job's pool is sized by the processor's count; before the first job, by the machine's.
    const int hardware = stretchProcessor != nullptr ? stretchProcessor->getHardwareThreads() : (int) std::max (1u, std::thread::hardware_concurrency());
    const auto verdict = admitStretchJobOver (trackBytes, ratio, hardware, available);
    const auto& adm = verdict.admission;
    const auto mb = [] (juce::int64 bytes) { return juce::String (bytesToLogMb (bytes)); };
    if (! adm.admitted)
    {
        debugLog ("[ADMISSION] APPLY_STRETCH rechazado por memoria | peak=" + mb (adm.neededBytes) + "MB avail=" + mb (available) + "MB reserve="
                  + mb (adm.reserveBytes) + "MB (ni con 1 worker)");
        sendStretchRejected ("lowMemory", bpm, semitones);
        return false;
    }
    if (adm.workers < verdict.wantedWorkers)
        debugLog ("[ADMISSION] APPLY_STRETCH degradado por memoria | workers=" + juce::String (adm.workers) + "/" + juce::String (verdict.wantedWorkers)
                  + " peak=" + mb (adm.neededBytes) + "MB avail=" + mb (available) + "MB");
    return true;
}

void AudioEngine::bypassStretch (double bpm, float semitones)
{
    // A running job reads the tracks' samples: it ends first, and a waiting one is dropped.
    if (stretchProcessor != nullptr)
        stretchProcessor->cancelAndWait();

    for (auto& [id, trackPointer] : tracks)
    {
        auto& track = *trackPointer;
        track.stretchedBuffer.reset();
        if (track.isInt16 && track.int16Channels != nullptr && ! track.int16Channels->empty())
        {
            rebuildInt16TrackChain (track);
            track.buffer.reset();
            track.originalBuffer.reset();
        }
        else if (restoreInt16FromDisk (track))
        {
            rebuildInt16TrackChain (track);
            track.buffer.reset();
            track.originalBuffer.reset();
        }
        else
        {
            if (track.originalBuffer == nullptr)
                rebuildOriginalBuffer (track);
            if (track.originalBuffer != nullptr)
            {
                track.buffer = std::move (track.originalBuffer);
                track.int16Channels.reset();
                track.isInt16 = false;
                rebuildFloatTrackChain (track);
            }
        }
    }

    setStretchBypass (true);
    metronome->latencyCompensation = false;
    buffersHaveStftDelay = false;
    setBpm (bpm);
    setPitch (semitones);
    rearmAfterStftFlip();
    applyLiveStretchRule();
    updateGains();
    sendStretchComplete ("bypass");
}

void AudioEngine::finalizeStretch (std::shared_ptr<OfflineStretchProcessor::Result> result)
{
    if (result == nullptr)
        return;
    const auto ticket = result->job.ticket;
    debugLog ("[TRANSITION] finalizeStretch | ticket=" + juce::String (ticket) + " | currentTicket=" + juce::String (stretchTicket)
              + " | match=" + (ticket == stretchTicket ? "YES" : "NO") + " | songId=" + first8 (currentSongIdForStretch));
    if (ticket != stretchTicket)
        return;

    logStretchDiagnostics ("BEFORE_SWAP");
    std::map<juce::String, std::unique_ptr<juce::AudioBuffer<float>>*> outputs;
    for (size_t i = 0; i < result->job.tracks.size() && i < result->outputs.size(); ++i)
        if (result->outputs[i] != nullptr)
            outputs[result->job.tracks[i].trackId] = &result->outputs[i];

    for (auto& [id, trackPointer] : tracks)
    {
        auto& track = *trackPointer;
        if (const auto output = outputs.find (id); output != outputs.end())
            track.stretchedBuffer = std::move (*output->second);
        if (track.stretchedBuffer != nullptr)
        {
            track.buffer = std::move (track.stretchedBuffer);
            track.int16Channels.reset();
            track.isInt16 = false;
        }
        if (track.buffer != nullptr)
            rebuildFloatTrackChain (track);
        track.originalBuffer.reset();
    }

    // The stems now carry the tempo and the key themselves.
    setStretchBypass (true);
    for (auto& [name, bus] : groupBuses)
    {
        bus->stretch->rate = 1.0f;
        bus->stretch->semitones = 0.0f;
    }
    metronome->latencyCompensation = true;
    buffersHaveStftDelay = true;

    currentBpm = result->job.ratio * originalBpm;
    metronome->setBpm (currentBpm.load());
    cue->setBpm (currentBpm.load());
    rearmAfterStftFlip();
    applyLiveStretchRule();
    updateGains();

    logStretchDiagnostics ("AFTER_SWAP");
    sendStretchComplete (currentSongIdForStretch);
}

//==============================================================================
std::unique_ptr<juce::AudioBuffer<float>> AudioEngine::readUnstretchedAudio (const juce::String& url, double leadPadSeconds, double songRate,
                                                                             std::function<bool()> shouldStop)
{
    if (url.isEmpty())
        return nullptr;
    auto reader = createPaddedReader (createReader (url), leadPadSeconds);
    if (reader == nullptr || reader->numChannels < 1 || reader->lengthInSamples < 1 || reader->lengthInSamples > std::numeric_limits<int>::max())
        return nullptr;
    const StopCheck stop { std::move (shouldStop) };
    auto buffer = std::make_unique<juce::AudioBuffer<float>> ((int) reader->numChannels, (int) reader->lengthInSamples);
    if (! readAllToFloat (reader.get(), *buffer, reader->lengthInSamples, stop))
        return nullptr;
    // A stem at another rate than the song's is converted, as the loaders do.
    if (songRate > 0.0 && std::abs (reader->sampleRate - songRate) > 1.0 && ! convertSampleRate (*buffer, reader->sampleRate, songRate, stop))
        return nullptr;
    return buffer;
}

bool AudioEngine::rebuildOriginalBuffer (LoadedTrack& track)
{
    if (track.originalBuffer != nullptr)
        return true;
    if (track.isInt16 && track.int16Channels != nullptr && ! track.int16Channels->empty() && track.int16Channels->front().numSamples > 0)
    {
        const auto& channels = *track.int16Channels;
        const auto length = (int) channels.front().numSamples;
        auto original = std::make_unique<juce::AudioBuffer<float>> ((int) channels.size(), length);
        for (int c = 0; c < (int) channels.size(); ++c)
        {
            auto* to = original->getWritePointer (c);
            const auto n = (int) std::min<int64_t> (channels[(size_t) c].numSamples, length);
            for (int i = 0; i < n; ++i)
                to[i] = (float) channels[(size_t) c].samples[(size_t) i] * int16Scale;
            std::fill (to + n, to + length, 0.0f);
        }
        track.originalBuffer = std::move (original);
        juce::Logger::writeToLog ("AudioEngine: Rebuilt originalBuffer from int16 RAM (no disk read): " + track.url);
        return true;
    }
    auto original = readUnstretchedAudio (track.url, audioLeadPadSec, sessionSampleRate.load(), {});
    if (original == nullptr)
        return false;
    track.originalBuffer = std::move (original);
    juce::Logger::writeToLog ("AudioEngine: Reloaded originalBuffer from disk for: " + track.url);
    return true;
}

bool AudioEngine::restoreInt16FromDisk (LoadedTrack& track)
{
    if (track.url.isEmpty())
        return false;
    auto reader = createPaddedReader (createReader (track.url), audioLeadPadSec);
    if (reader == nullptr || reader->usesFloatingPointData || reader->bitsPerSample < 1 || reader->bitsPerSample > 16
        || reader->lengthInSamples < 1 || reader->numChannels < 1)
        return false;
    // The 16-bit copy plays as it is read: a stem at another rate takes the float road, which converts.
    if (const double rate = sessionSampleRate.load(); rate > 0.0 && std::abs (reader->sampleRate - rate) > 1.0)
        return false;
    auto channels = std::make_unique<std::vector<Int16ChannelData>> ((size_t) reader->numChannels);
    for (auto& channel : *channels)
        channel.allocate (reader->lengthInSamples);
    if (! readAllToInt16 (reader.get(), *channels, (juce::Thread*) nullptr))
        return false;
    track.int16Channels = std::move (channels);
    track.isInt16 = true;
    juce::Logger::writeToLog ("AudioEngine: bypass restored original as int16 from disk: " + track.url);
    return true;
}

void AudioEngine::rebuildInt16TrackChain (LoadedTrack& track)
{
    if (track.int16Channels == nullptr)
        return;
    rebuildTrackChain (track, std::make_unique<Int16MemoryAudioSource> (track.int16Channels.get()));
}

void AudioEngine::rebuildFloatTrackChain (LoadedTrack& track)
{
    auto* audio = track.stretchedBuffer != nullptr ? track.stretchedBuffer.get() : track.buffer.get();
    if (audio == nullptr)
        return;
    rebuildTrackChain (track, std::make_unique<juce::MemoryAudioSource> (*audio, false, true));
}

void AudioEngine::rebuildTrackChain (LoadedTrack& track, std::unique_ptr<juce::PositionableAudioSource> source, float gainRampSeconds)
{
    auto* bus = getGroupBus (track.bus);
    if (bus == nullptr)
        bus = getGroupBus ("aux");
    if (bus == nullptr)
        return;

    const juce::int64 position = track.source != nullptr ? track.source->getNextReadPosition() : 0;
    if (track.tap != nullptr)
        bus->mixer.removeInputSource (track.tap.get());
    track.tap.reset();
    track.gain.reset();
    track.source = std::move (source);
    track.gain = std::make_unique<SmoothedGainAudioSource> (track.source.get());
    if (gainRampSeconds > 0.0f)
        track.gain->setGain (0.0f, 0.0f);
    track.gain->setGain (track.volume, gainRampSeconds);
    track.tap = std::make_unique<TapAudioSource> (track.gain.get());
    bus->mixer.addInputSource (track.tap.get());
    track.source->setNextReadPosition (std::max<juce::int64> (0, std::min (position, track.source->getTotalLength() - 1)));
}
} // namespace quorvelle
