// The track loader: a song's stems decoded on a pool of workers into loaded tracks with their
// chains, and the complement fill of head-only stems.
#include "audio/engine/AudioEngine.h"

#include "core/StemRoles.h"

#include <thread>

namespace quorvelle
{
// The state one song load shares with its workers. Each worker writes only its own slots.
struct AudioEngine::TrackLoaderThread::SongLoad
{
    SongLoad (const Request& r, juce::uint64 g) : request (r), generation (g) {}

    const Request& request;
    const juce::uint64 generation;
    int numStems = 0;
    std::atomic<int> next { 0 }, finished { 0 };
    std::atomic<bool> abort { false };
    std::mutex rateLock;
    double songRate = 44100.0;
    bool rateTaken = false;
    // Progress events leave in the order of their "trackIndex".
    std::mutex progressLock;
    std::vector<std::optional<TrackLoadEntry>> slots;
    std::vector<juce::MemoryBlock> fetched;
    std::vector<juce::String> urls;
    std::vector<double> openMs, decodeMs, decodedMiB, finishMs;
    double startMs = juce::Time::getMillisecondCounterHiRes();
};

AudioEngine::TrackLoaderThread::TrackLoaderThread (AudioEngine& engineIn) : EngineWorkerThread ("TrackLoader", engineIn) {}

AudioEngine::TrackLoaderThread::~TrackLoaderThread() { stopWithin (3000); }

int AudioEngine::TrackLoaderThread::workerCount (int items) const
{
    const auto cpus = cpuCountForTesting > 0 ? cpuCountForTesting : juce::SystemStats::getNumCpus();
    return std::min (std::max (items, 1), std::min (std::max (cpus, 1), 8));
}

bool AudioEngine::TrackLoaderThread::runShouldStop (juce::uint64 runGeneration) const noexcept
{
    return threadShouldExit() || generation.load() != runGeneration;
}

void AudioEngine::TrackLoaderThread::submit (Request request)
{
    {
        const std::scoped_lock lock (requestLock);
        pending = std::move (request);
        ++generation; // the run in progress sees it and ends without posting
        busy = true;
    }
    if (! isThreadRunning())
        startThread (juce::Thread::Priority::normal);
    notify();
}

void AudioEngine::TrackLoaderThread::startLoad (const juce::var& tracks, double deviceRate, int ticket, const juce::var& peakTracks)
{
    auto& owner = getEngine();
    Request request;
    request.tracks = tracks;
    request.peakTracks = peakTracks;
    request.sampleRate = deviceRate;
    request.ticket = ticket;
    request.songId = owner.currentLoadingSongId;
    request.leadPadSeconds = owner.audioLeadPadSec;
    submit (std::move (request));
}

void AudioEngine::TrackLoaderThread::startComplementFill (std::vector<ComplementFillJob> jobs)
{
    Request request;
    request.complement = true;
    request.jobs = std::move (jobs);
    request.leadPadSeconds = getEngine().audioLeadPadSec;
    submit (std::move (request));
}

void AudioEngine::TrackLoaderThread::cancelRun()
{
    const std::scoped_lock lock (requestLock);
    pending.reset();
    ++generation;
}

bool AudioEngine::TrackLoaderThread::stopWithin (int timeoutMs)
{
    return stopAfterItsRun (timeoutMs);
}

void AudioEngine::TrackLoaderThread::run()
{
    while (! threadShouldExit())
    {
        std::optional<Request> request;
        juce::uint64 runGeneration = 0;
        {
            const std::scoped_lock lock (requestLock);
            request.swap (pending);
            runGeneration = generation.load();
            if (! request.has_value())
                busy = false;
        }
        if (! request.has_value())
        {
            wait (-1);
            continue;
        }
        if (request->complement)
            runComplementFill (*request, runGeneration);
        else
            runSongLoad (*request, runGeneration);
    }
    busy = false;
}

std::unique_ptr<juce::AudioFormatReader> AudioEngine::TrackLoaderThread::createReader (const juce::String& url, juce::MemoryBlock& fetched)
{
    StemReaderCopy copy;
    copy.prefix = "TrackLoader: ";
    copy.fetchLine = "Downloading: ";
    copy.logLocalDetails = true;
    copy.connectionTimeoutMs = 15000;
    copy.log = [] (const juce::String& line) { juce::Logger::writeToLog (line); };
    copy.shouldStop = [this] { return threadShouldExit(); };
    return openStemReader (getEngine().formatManager, url, copy, &fetched);
}

std::unique_ptr<juce::AudioFormatReader> AudioEngine::TrackLoaderThread::openLocalReader (const juce::String& url)
{
    return ::quorvelle::openLocalReader (getEngine().formatManager, url);
}

//==============================================================================
void AudioEngine::TrackLoaderThread::runSongLoad (const Request& request, juce::uint64 runGeneration)
{
    auto& owner = getEngine();
    auto result = std::make_shared<TrackLoadResult>();
    result->tracksVar = request.tracks;
    result->peakTracksVar = request.peakTracks;

    SongLoad load (request, runGeneration);
    load.numStems = request.tracks.isArray() ? request.tracks.size() : 0;
    load.songRate = request.sampleRate > 0.0 ? request.sampleRate : 44100.0;
    const auto n = (size_t) load.numStems;
    load.slots.resize (n);
    load.fetched.resize (n);
    load.urls.resize (n);
    load.openMs.assign (n, 0.0);
    load.decodeMs.assign (n, 0.0);
    load.decodedMiB.assign (n, 0.0);
    load.finishMs.assign (n, 0.0);

    const auto workers = workerCount (load.numStems);
    {
        std::vector<std::thread> pool;
        for (int i = 0; i < workers; ++i)
            pool.emplace_back ([this, &load] { loadStemWorker (load); });
        for (auto& worker : pool)
            worker.join();
    }

    if (runShouldStop (runGeneration) || load.abort.load())
        return; // the decoded tracks go with `load`

    for (size_t i = 0; i < n; ++i)
    {
        if (load.slots[i].has_value())
            result->tracks.push_back (std::move (*load.slots[i]));
        if (load.fetched[i].getSize() > 0)
            result->downloads.push_back ({ load.urls[i], std::move (load.fetched[i]) });
    }
    result->sampleRate = load.songRate;

    double openTotal = 0, decodeTotal = 0, mib = 0, firstFinish = 0, lastFinish = 0;
    for (size_t i = 0; i < n; ++i)
    {
        openTotal += load.openMs[i];
        decodeTotal += load.decodeMs[i];
        mib += load.decodedMiB[i];
        if (load.finishMs[i] > 0.0)
        {
            firstFinish = firstFinish > 0.0 ? std::min (firstFinish, load.finishMs[i]) : load.finishMs[i];
            lastFinish = std::max (lastFinish, load.finishMs[i]);
        }
    }
    owner.debugLog ("TrackLoader: song " + request.songId.substring (0, 8) + " | stems=" + juce::String (load.numStems)
                    + " | open=" + juce::String (openTotal, 0) + "ms decode=" + juce::String (decodeTotal, 0)
                    + "ms | decoded=" + juce::String (mib, 1) + " MiB");
    owner.debugLog ("TrackLoader: workers=" + juce::String (workers) + " | songRate=" + juce::String (load.songRate)
                    + " | first done=" + juce::String (firstFinish, 0) + "ms last done=" + juce::String (lastFinish, 0) + "ms");

    if (runShouldStop (runGeneration))
        return;
    const auto ticket = request.ticket;
    // A completion that lands during an export waits for the engine to be given back.
    owner.postToMessageThread ([&owner, result, ticket] { owner.runAfterExport ([&owner, result, ticket] { owner.finalizeTrackLoad (result, ticket); }); });
}

void AudioEngine::TrackLoaderThread::reportProgress (SongLoad& load)
{
    auto& owner = getEngine();
    const std::scoped_lock lock (load.progressLock);
    const auto done = load.finished.fetch_add (1);
    if (! owner.eventSink || runShouldStop (load.generation))
        return;
    const auto progress = (int) ((float) (done + 1) / (float) load.numStems * 100.0f);
    owner.postEvent (makeObject ({ { "action", "LOAD_PROGRESS" },
                                   { "songId", load.request.songId },
                                   { "trackIndex", done },
                                   { "totalTracks", load.numStems },
                                   { "progress", progress } }));
}

void AudioEngine::TrackLoaderThread::reportStemFailure (SongLoad& load, const juce::String& id, const juce::String& name,
                                                       const juce::String& url, const juce::String& diag)
{
    auto& owner = getEngine();
    juce::Logger::writeToLog ("TrackLoader: FAILED track " + id + " (" + name + ") url=[" + url + "] " + diag);
    if (owner.eventSink && ! runShouldStop (load.generation))
    {
        const auto utf8 = url.toRawUTF8();
        owner.postEvent (makeObject ({ { "action", "TRACK_LOAD_ERROR" },
                                       { "songId", load.request.songId },
                                       { "trackId", id },
                                       { "trackName", name },
                                       { "url", url },
                                       { "urlB64", juce::Base64::toBase64 (utf8, std::strlen (utf8)) },
                                       { "diag", diag } }));
    }
    reportProgress (load);
}

namespace
{
// "exists=YES size=… path=…" or "exists=NO path=…" for a "file://" url; "reader=null" otherwise.
juce::String openFailureDiag (const juce::String& url)
{
    if (! url.startsWith ("file://"))
        return "reader=null";
    const auto path = url.substring (7);
    const auto file = juce::File::isAbsolutePath (path) ? juce::File (path) : juce::File::getCurrentWorkingDirectory().getChildFile (path);
    if (path.isNotEmpty() && file.existsAsFile())
        return "exists=YES size=" + juce::String (file.getSize()) + " path=" + file.getFullPathName();
    return "exists=NO path=" + file.getFullPathName();
}
} // namespace

void AudioEngine::TrackLoaderThread::loadStemWorker (SongLoad& load)
{
    const auto& request = load.request;
    const StopCheck stop { [this, &load] { return runShouldStop (load.generation); } };

    for (;;)
    {
        const auto i = load.next.fetch_add (1);
        if (i >= load.numStems || stop() || load.abort.load())
            return;
        const auto slot = (size_t) i;

        const auto& stem = request.tracks[i];
        const auto id = stem.getProperty ("id", "").toString();
        const auto url = stem.getProperty ("url", "").toString();
        const auto name = stem.getProperty ("name", "").toString();
        auto instrumentType = stem.getProperty ("instrumentType", "MELODIC").toString();
        if (instrumentType.isEmpty())
            instrumentType = "MELODIC";
        const auto volumeDb = (float) (double) stem.getProperty ("volume", 0.0);
        const bool transposeWithSong = (bool) stem.getProperty ("transposeWithSong", false);
        const auto busOverride = stem.getProperty ("busOverride", "").toString();
        load.urls[slot] = url;

        const auto openStart = juce::Time::getMillisecondCounterHiRes();
        auto reader = createPaddedReader (createReader (url, load.fetched[slot]), request.leadPadSeconds);
        load.openMs[slot] = juce::Time::getMillisecondCounterHiRes() - openStart;

        if (stop())
            return;
        if (reader == nullptr)
        {
            reportStemFailure (load, id, name, url, openFailureDiag (url));
            continue;
        }

        const bool hasAudio = reader->numChannels > 0 && reader->lengthInSamples > 0;
        if (! hasAudio)
            juce::Logger::writeToLog ("TrackLoader: Reader for " + id + " has no audio data");

        double songRate = 0.0;
        {
            const std::scoped_lock lock (load.rateLock);
            if (! load.rateTaken && reader->sampleRate > 0.0)
            {
                load.songRate = reader->sampleRate;
                load.rateTaken = true;
            }
            songRate = load.songRate;
        }

        auto track = std::make_unique<LoadedTrack>();
        track->url = url;

        // Sources of at most 16 integer bits are held as 16-bit samples, the rest as float. A reader
        // without audio becomes a silent stem on either road.
        const bool asInt16 = hasAudio && reader->bitsPerSample >= 1 && reader->bitsPerSample <= 16 && ! reader->usesFloatingPointData;
        const auto decodeStart = juce::Time::getMillisecondCounterHiRes();
        bool decoded = true;
        if (asInt16)
        {
            track->int16Channels = std::make_unique<std::vector<Int16ChannelData>>();
            decoded = readAllToInt16 (reader.get(), *track->int16Channels, stop)
                      && convertSampleRate (*track->int16Channels, reader->sampleRate, songRate, stop);
        }
        else
        {
            const auto channels = std::max (1, (int) reader->numChannels);
            const auto length = hasAudio ? (int) reader->lengthInSamples : 0;
            track->buffer = std::make_unique<juce::AudioBuffer<float>> (channels, length);
            decoded = ! hasAudio
                      || (readAllToFloat (reader.get(), *track->buffer, length, stop)
                          && convertSampleRate (*track->buffer, reader->sampleRate, songRate, stop));
        }
        load.decodeMs[slot] = juce::Time::getMillisecondCounterHiRes() - decodeStart;
        load.decodedMiB[slot] = (double) std::max (0, track->getNumChannels()) * std::max (0, track->getNumSamples())
                                * (asInt16 ? 2.0 : 4.0) / 1048576.0;
        load.finishMs[slot] = juce::Time::getMillisecondCounterHiRes() - load.startMs;
        getEngine().debugLog ("TrackLoader: stem " + juce::String (i + 1) + "/" + juce::String (load.numStems) + " " + name
                              + " | open=" + juce::String (load.openMs[slot], 0) + "ms decode=" + juce::String (load.decodeMs[slot], 0)
                              + "ms | " + juce::String (load.decodedMiB[slot], 1) + " MiB " + (asInt16 ? "int16" : "float32")
                              + " | at " + juce::String (load.finishMs[slot], 0) + "ms");
        reader.reset();

        if (stop())
        {
            load.abort = true;
            return;
        }
        if (! decoded)
        {
            // A read error costs this stem only; the rest of the song still loads.
            reportStemFailure (load, id, name, url, "read FAILED a mitad de decode");
            continue;
        }

        if (asInt16)
        {
            track->isInt16 = true;
            track->source = std::make_unique<Int16MemoryAudioSource> (track->int16Channels.get());
        }
        else
        {
            track->source = std::make_unique<juce::MemoryAudioSource> (*track->buffer, false, true);
        }
        track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
        track->tap = std::make_unique<TapAudioSource> (track->gain.get());
        const float gain = volumeDb > -100.0f ? std::pow (10.0f, volumeDb / 20.0f) : 0.0f;
        track->gain->setGain (gain, 0.02f);
        track->volume = gain;

        track->isPercussive = core::isUnpitchedTrack (instrumentType.toStdString(), name.toStdString());
        track->skipTranspose = track->isPercussive && ! transposeWithSong;
        track->instrumentType = instrumentType;
        track->busOverride = busOverride;

        TrackLoadEntry entry;
        entry.trackId = id;
        entry.instrumentType = instrumentType;
        entry.skipTranspose = track->skipTranspose;
        entry.busOverride = busOverride;
        entry.track = std::move (track);
        load.slots[slot] = std::move (entry);

        reportProgress (load);
    }
}

//==============================================================================
void AudioEngine::TrackLoaderThread::runComplementFill (Request& request, juce::uint64 runGeneration)
{
    const auto numJobs = (int) request.jobs.size();
    if (numJobs == 0)
        return;

    const auto start = juce::Time::getMillisecondCounterHiRes();
    std::atomic<int> next { 0 };
    std::vector<char> filled ((size_t) numJobs, 0); // each worker writes only the jobs it took
    {
        std::vector<std::thread> pool;
        for (int i = 0; i < workerCount (numJobs); ++i)
            pool.emplace_back ([this, &request, &next, &filled, runGeneration] { complementFillWorker (request, next, filled, runGeneration); });
        for (auto& worker : pool)
            worker.join();
    }

    // Marks the stems that are whole now, on the message thread, if they are still loaded.
    std::vector<std::shared_ptr<StemSamples>> completed;
    for (size_t j = 0; j < request.jobs.size(); ++j)
        if (filled[j] != 0 && request.jobs[j].markComplete)
            completed.push_back (request.jobs[j].samples);
    auto& owner = getEngine();
    if (! completed.empty())
        owner.postToMessageThread ([&owner, completed]
        {
            for (auto& [id, track] : owner.tracks)
                for (const auto& samples : completed)
                    if (track->samples == samples)
                        track->isInt16 = true;
        });

    request.jobs.clear();
    owner.debugLog ("[F5-FILL] complemento rellenado | jobs=" + juce::String (numJobs) + " | wall="
                    + juce::String (juce::Time::getMillisecondCounterHiRes() - start, 0) + "ms");
}

void AudioEngine::TrackLoaderThread::complementFillWorker (Request& request, std::atomic<int>& next, std::vector<char>& filled,
                                                          juce::uint64 runGeneration)
{
    const StopCheck stop { [this, runGeneration] { return runShouldStop (runGeneration); } };
    for (;;)
    {
        const auto j = next.fetch_add (1);
        if (j >= (int) request.jobs.size() || stop())
            return;
        auto& job = request.jobs[(size_t) j];
        if (job.samples == nullptr || job.samples->int16Channels == nullptr || job.fromSample >= job.toSample)
            continue;

        auto reader = openLocalReader (job.sourceUrl);
        if (job.padded)
            reader = createPaddedReader (std::move (reader), request.leadPadSeconds);
        if (reader == nullptr)
            continue;

        std::vector<std::vector<int>> scratch ((size_t) reader->numChannels, std::vector<int> ((size_t) stemDecodeChunk));
        if (readRangeToInt16 (reader.get(), *job.samples->int16Channels, scratch, job.fromSample, job.toSample - job.fromSample,
                              &job.samples->loadMap, stop))
            filled[(size_t) j] = 1;
    }
}
} // namespace quorvelle
