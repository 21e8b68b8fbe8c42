// The waveform peaks of the active song: the generator thread's requests and runs, its stem
// readers, and the hand-back that sends WAVEFORM_UPDATE.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
namespace
{
juce::var toVar (const std::vector<float>& values)
{
    juce::Array<juce::var> list;
    list.ensureStorageAllocated ((int) values.size());
    for (const auto v : values)
        list.add ((double) v);
    return list;
}
} // namespace

void AudioEngine::PeakGeneratorThread::startFromCache (const juce::var& tracks, std::vector<DownloadedSource> cachedBlocks, int numPeaks,
                                                       int ticket)
{
    auto& engine = getEngine();
    engine.debugLog ("[TRANSITION] peakGen::startFromCache ENTER | ticket=" + juce::String (ticket) + " | tracksSize="
                     + juce::String (tracks.size()) + " | cacheSize=" + juce::String ((int) cachedBlocks.size()) + " | numPeaks="
                     + juce::String (numPeaks) + " | threadRunning=" + (isThreadRunning() ? "YES" : "NO"));
    signalThreadShouldExit();
    if (isThreadRunning() && ! waitForThreadToExit (2000))
    {
        engine.debugLog ("[TRANSITION] peakGen QUEUED (thread still busy after 2s) | ticket=" + juce::String (ticket));
        juce::Logger::writeToLog ("PeakGenerator: Thread busy, queuing request (ticket " + juce::String (ticket) + ")");
        pending = { tracks, std::move (cachedBlocks), numPeaks, ticket };
        hasPending = true;
        return;
    }
    current = { tracks, std::move (cachedBlocks), numPeaks, ticket };
    hasPending = false;
    pending = {};
    engine.debugLog ("[TRANSITION] peakGen STARTED thread | ticket=" + juce::String (ticket));
    startThread();
}

void AudioEngine::PeakGeneratorThread::startPending()
{
    if (! hasPending || isThreadRunning())
        return;
    hasPending = false;
    auto request = std::move (pending);
    pending = {};
    startFromCache (request.tracks, std::move (request.cachedBlocks), request.numPeaks, request.ticket);
}

std::unique_ptr<juce::AudioFormatReader> AudioEngine::PeakGeneratorThread::createReader (const juce::String& url)
{
    auto& formats = getEngine().getFormatManager();
    for (const auto& block : current.cachedBlocks)
    {
        if (block.url != url || block.data.isEmpty())
            continue;
        auto copy = std::make_unique<juce::MemoryInputStream> (block.data, true);
        if (std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (std::move (copy))); reader != nullptr)
            return reader;
    }
    StemReaderCopy policy;
    policy.prefix = "PeakReader: ";
    policy.log = [] (const juce::String& line) { juce::Logger::writeToLog (line); };
    policy.shouldStop = [this] { return threadShouldExit(); };
    return openStemReader (formats, url, policy);
}

void AudioEngine::PeakGeneratorThread::run()
{
    auto& engine = getEngine();
    const auto ticket = current.ticket;
    // However the run ends, a request parked behind it starts next.
    const auto startParked = [this, &engine] { engine.postToMessageThread ([this] { startPending(); }); };
    if (threadShouldExit())
    {
        engine.debugLog ("[TRANSITION] peakGen::run ABORTED (shouldExit before generate) | ticket=" + juce::String (ticket));
        return startParked();
    }

    engine.debugLog ("[TRANSITION] generatePeaks START | tracksData.size=" + juce::String (current.tracks.size()) + " | cachedBlocks="
                     + juce::String ((int) current.cachedBlocks.size()) + " | numPeaks=" + juce::String (current.numPeaks) + " | ticket="
                     + juce::String (ticket));
    WaveformPeaks result;
    if (const auto* tracks = current.tracks.getArray(); tracks == nullptr || tracks->isEmpty())
    {
        engine.debugLog (juce::String::fromUTF8 ("[TRANSITION] generatePeaks EMPTY tracksData \xe2\x80\x94 returning 0 peaks"));
    }
    else
    {
        std::vector<WaveformPeakSource> sources;
        int failed = 0, skipped = 0;
        juce::int64 maxLength = 0;
        for (int i = 0; i < tracks->size() && ! threadShouldExit(); ++i)
        {
            const auto& track = tracks->getReference (i);
            const auto type = track.getProperty ("instrumentType", {}).toString();
            if (isExcludedFromWaveformPeaks (type))
            {
                ++skipped;
                continue;
            }
            const auto url = track.getProperty ("url", {}).toString();
            auto opened = createReader (url);
            const bool opens = opened != nullptr;
            auto reader = createPaddedReader (std::move (opened), engine.audioLeadPadSec);
            if (reader != nullptr && reader->lengthInSamples > 0)
            {
                maxLength = std::max (maxLength, reader->lengthInSamples);
                sources.push_back ({ std::move (reader), waveformPeakGain ((double) track.getProperty ("volume", 0.0)) });
                continue;
            }
            engine.debugLog ("[TRANSITION] generatePeaks READER FAILED | idx=" + juce::String (i) + " | type=" + type + " | url="
                             + url.substring (0, 80) + " | reader=" + (opens ? "non-null(0 samples)" : "NULL"));
            ++failed;
        }
        engine.debugLog ("[TRANSITION] generatePeaks readers | ok=" + juce::String ((int) sources.size()) + " | failed=" + juce::String (failed)
                         + " | skippedClickCues=" + juce::String (skipped) + " | maxLength=" + juce::String (maxLength)
                         + " | threadExit=" + (threadShouldExit() ? "YES" : "NO"));
        if (sources.empty() && ! threadShouldExit())
            juce::Logger::writeToLog ("PeakGenerator: WARNING - No valid tracks for waveform generation (all readers failed or empty)");
        if (! sources.empty())
            result = computeWaveformPeaks (sources, current.numPeaks, [this] { return threadShouldExit(); });
    }
    current.cachedBlocks = {};

    if (threadShouldExit())
    {
        engine.debugLog ("[TRANSITION] peakGen::run ABORTED (shouldExit after generate) | ticket=" + juce::String (ticket)
                         + " | peaksGenerated=" + juce::String ((int) result.peaks.size()));
        return startParked();
    }
    engine.debugLog ("[TRANSITION] peakGen::run DONE | ticket=" + juce::String (ticket) + " | peaks=" + juce::String ((int) result.peaks.size())
                     + " | hasPending=" + (hasPending ? "YES" : "NO"));
    engine.postToMessageThread ([this, &engine, result = std::move (result), ticket]
    {
        engine.finalizePeaks (result, ticket);
        startPending();
    });
}

void AudioEngine::finalizePeaks (const WaveformPeaks& peaks, int ticket)
{
    const auto songId = currentSongIdForStretch;
    debugLog ("[TRANSITION] finalizePeaks | ticket=" + juce::String (ticket) + " | currentTicket=" + juce::String (peaksTicket)
              + " | match=" + (ticket == peaksTicket ? "YES" : "NO") + " | peaks=" + juce::String ((int) peaks.peaks.size())
              + " | songId=" + songId);
    if (ticket != peaksTicket)
        return;
    debugLog ("Async Peak Generation Complete. Peaks: " + juce::String ((int) peaks.peaks.size()) + " songId=" + songId);
    sendEvent (makeObject ({ { "action", "WAVEFORM_UPDATE" },
                             { "songId", songId },
                             { "peaks", toVar (peaks.peaks) },
                             { "peaksMin", toVar (peaks.peaksMin) },
                             { "peaksMax", toVar (peaks.peaksMax) } }));
}

void AudioEngine::startSongPeaks (const juce::var& peakTracks, const juce::var& fallbackTracks, std::vector<DownloadedSource> downloads,
                                  int ticket)
{
    if (peakGenerator == nullptr)
        return;
    const auto* given = peakTracks.getArray();
    peakGenerator->startFromCache (given != nullptr && ! given->isEmpty() ? peakTracks : fallbackTracks, std::move (downloads), numPeaks, ticket);
}
} // namespace quorvelle
