#pragma once

#include "audio/engine/CheckedPropertiesFile.h"
#include "audio/engine/EngineOperations.h"
#include "audio/engine/EngineWorkers.h"
#include "audio/engine/PadWorkers.h"
#include "audio/graph/BusRenderPool.h"
#include "audio/graph/ChainSources.h"
#include "audio/graph/CountIn.h"
#include "audio/graph/CountInAudioSource.h"
#include "audio/graph/CueAudioSource.h"
#include "audio/graph/GainStages.h"
#include "audio/graph/GroupBus.h"
#include "audio/graph/MetronomeAudioSource.h"
#include "audio/graph/MultiBusRouter.h"
#include "audio/graph/OverlaySampleSource.h"
#include "audio/graph/SongTransportSource.h"
#include "audio/graph/ZeroLatencyResamplingSource.h"
#include "audio/loading/OfflineStretch.h"
#include "audio/loading/WaveformPeaks.h"
#include "audio/loading/StemReaders.h"
#include "audio/loading/StemSamples.h"
#include "audio/transport/ClickSectionStateMachine.h"
#include "platform/EventSink.h"
#include "platform/MidiPorts.h"
#include "core/Automation.h"

#include <juce_audio_devices/juce_audio_devices.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_set>
#include <vector>

namespace quorvelle
{
class TranscoderThread;
struct TranscodeJob;

// The audio engine: owns the device manager, the player and the whole playback graph (16 group
// buses, the music path, click, guide, pads, count-in and overlays, all feeding the router), and
// reports to the front end through its EventSink.
//
// Threads: constructed and destroyed on the message thread; `initialise` runs once on the start-up
// thread; every other operation runs on the message thread. The audio thread pulls the graph and
// runs the callbacks the constructor installs; those callbacks only store atomics and raise
// requests (no allocation, no lock). Closures the engine posts carry a liveness token and are
// dropped once the engine is gone.
// Owns: every graph object, the workers, the settings file and the asset loader thread.
class AudioEngine final : public EngineOperations,
                          public juce::Timer,
                          public platform::MidiInputHandler,
                          public juce::ChangeListener
{
public:
    // The spoken-cue source of the graph, under the name the engine's callers use.
    using CueAudioSource = ::quorvelle::CueAudioSource;

    // One loaded stem. Made empty by the loaders; owned by `tracks` or by a preloaded session.
    struct LoadedTrack
    {
        LoadedTrack() = default;
        // A track that plays samples decoded elsewhere (a preloaded stem), without copying them.
        explicit LoadedTrack (std::shared_ptr<StemSamples> decoded) : samples (std::move (decoded)) {}

        // The samples that play, one record shared with a complement fill still writing into them;
        // `buffer`, `int16Channels` and `loadMap` are its members under their own names.
        const std::shared_ptr<StemSamples> samples { std::make_shared<StemSamples>() };
        std::unique_ptr<juce::AudioBuffer<float>>& buffer { samples->buffer };
        std::unique_ptr<juce::AudioBuffer<float>> originalBuffer, stretchedBuffer;
        std::unique_ptr<std::vector<Int16ChannelData>>& int16Channels { samples->int16Channels };
        bool isInt16 = false;
        ChunkLoadMap& loadMap { samples->loadMap };
        std::unique_ptr<juce::PositionableAudioSource> source;
        std::unique_ptr<SmoothedGainAudioSource> gain;
        std::unique_ptr<TapAudioSource> tap;
        float volume = 1.0f;
        bool mute = false, solo = false;
        juce::String instrumentType { "MELODIC" };
        bool skipTranspose = false;
        bool isPercussive = false;
        juce::String busOverride, bus, url;
        float lastLoggedGain = -999.0f, lastLoggedDb = -999.0f;

        // The float buffer's channel count; else the number of 16-bit channels; else -1.
        int getNumChannels() const;
        // The float buffer's length; else the first 16-bit channel's (-1 with no channel); else -1.
        int getNumSamples() const;
    };

    // Encoded bytes of a stem fetched over HTTP, kept for the waveform peaks.
    struct DownloadedSource
    {
        juce::String url;
        juce::MemoryBlock data;
    };
    // Computes a song's waveform peaks ("PeakGenerator", AudioEnginePeaks.cpp): one request per
    // start; a new request stops a running one, and waits in one pending slot when that takes more
    // than 2000 ms. The parked request starts as soon as the busy generation has ended.
    class PeakGeneratorThread : public EngineWorkerThread
    {
    public:
        explicit PeakGeneratorThread (AudioEngine& engine) : EngineWorkerThread ("PeakGenerator", engine) {}
        // Message thread.
        void startFromCache (const juce::var& tracks, std::vector<DownloadedSource> cachedBlocks, int numPeaks, int ticket);
        void run() override;

    private:
        struct Request
        {
            juce::var tracks;
            std::vector<DownloadedSource> cachedBlocks;
            int numPeaks = 800, ticket = 0;
        };
        std::unique_ptr<juce::AudioFormatReader> createReader (const juce::String& url);
        void startPending();
        Request current, pending;
        bool hasPending = false;
    };
    // One stem that loaded: its id, type and bus override with the owned record.
    struct TrackLoadEntry
    {
        juce::String trackId, instrumentType;
        std::unique_ptr<LoadedTrack> track;
        bool skipTranspose = false;
        juce::String busOverride;
    };
    // What a song load hands to finalizeTrackLoad: the stems that loaded in request order.
    struct TrackLoadResult
    {
        std::vector<TrackLoadEntry> tracks;
        double sampleRate = 44100.0;
        std::vector<DownloadedSource> downloads;
        juce::var tracksVar, peakTracksVar;
    };
    // The rest of a head-only stem, decoded into its 16-bit samples while it plays. The job holds
    // the samples it writes; the record is looked up again on the message thread to be marked.
    struct ComplementFillJob
    {
        LoadedTrack* target = nullptr;
        std::shared_ptr<StemSamples> samples;
        juce::String sourceUrl;
        juce::int64 fromSample = 0, toSample = 0;
        bool markComplete = false, padded = false;
    };

    // Decodes a song's stems on a pool of workers ("TrackLoader"), or completes head-only stems.
    // Threads: requests come from the message thread and return at once; the thread outlives its
    // runs and takes the latest request once the run in progress has seen that it is replaced (per
    // stem, per decode chunk, per fetched piece). A replaced or cancelled run posts nothing. The
    // thread is never killed: stopping waits until the run has ended.
    class TrackLoaderThread : public EngineWorkerThread
    {
    public:
        explicit TrackLoaderThread (AudioEngine& engine);
        ~TrackLoaderThread() override;

        void startLoad (const juce::var& tracks, double deviceRate, int ticket, const juce::var& peakTracks);
        void startComplementFill (std::vector<ComplementFillJob> jobs);
        // Ends the run in progress; it posts nothing. Returns at once.
        void cancelRun();
        // Ends the run and the thread: waits `timeoutMs`, then logs and keeps waiting.
        bool stopWithin (int timeoutMs);
        // True while a run is in progress or a request waits.
        bool isBusy() const noexcept { return busy.load(); }

        // The loader's copy of the reader policy: 15 s to connect, the fetched bytes moved into
        // `fetched` and read in place.
        std::unique_ptr<juce::AudioFormatReader> createReader (const juce::String& url, juce::MemoryBlock& fetched);
        std::unique_ptr<juce::AudioFormatReader> openLocalReader (const juce::String& url);

        // min(max(items, 1), cpus, 8); `cpus` 0: the machine's logical CPUs (or the test's).
        int workerCount (int items) const;
        void setCpuCountForTesting (int cpus) { cpuCountForTesting = cpus; }

        void run() override;

    private:
        struct Request
        {
            bool complement = false;
            juce::var tracks, peakTracks;
            double sampleRate = 44100.0, leadPadSeconds = 0.0;
            int ticket = 0;
            juce::String songId;
            std::vector<ComplementFillJob> jobs;
        };
        struct SongLoad;
        void submit (Request request);
        bool runShouldStop (juce::uint64 generation) const noexcept;
        void runSongLoad (const Request& request, juce::uint64 generation);
        void loadStemWorker (SongLoad& load);
        void reportStemFailure (SongLoad& load, const juce::String& id, const juce::String& name, const juce::String& url,
                                const juce::String& diag);
        void reportProgress (SongLoad& load);
        void runComplementFill (Request& request, juce::uint64 generation);
        void complementFillWorker (Request& request, std::atomic<int>& next, std::vector<char>& filled, juce::uint64 generation);

        std::mutex requestLock;
        std::optional<Request> pending;
        std::atomic<juce::uint64> generation { 0 };
        std::atomic<bool> busy { false };
        int cpuCountForTesting = 0;
    };
    void finalizeTrackLoad (std::shared_ptr<TrackLoadResult> result, int ticket);
    TrackLoaderThread& getTrackLoader() { return *trackLoader; }
    int getLoadTicket() const { return loadTicket; }
    // The song resampler in force (null before the first load), for tests and diagnostics.
    ZeroLatencyResamplingSource* getSongResampler() const { return songResampler.get(); }
    const std::map<juce::String, std::unique_ptr<LoadedTrack>>& getLoadedTracks() const { return tracks; }
    // One stem of a preloaded session. Its samples are held through the shared sample record
    // (`samples->buffer` float, `samples->int16Channels` 16-bit, `samples->loadMap` the decoded
    // chunks of a head-only stem), so chains that play them and the session let go in any order.
    struct PreloadedTrack
    {
        juce::String trackId, instrumentType;
        std::shared_ptr<StemSamples> samples { std::make_shared<StemSamples>() };
        float volumeDb = -6.0f;
        float overlayVolumeDb = -999.0f; // -999: not given
        bool skipTranspose = false, isPercussive = false;
        juce::String busOverride, url;
        bool isHeadOnly = false;
        juce::int64 headEndSample = 0, totalSamples = 0;
        // Where the rest of a head-only stem is read from at activation.
        juce::String complementSource;
        bool complementFromCache = false, servedFromCache = false;

        bool holdsAudio() const { return samples->buffer != nullptr || samples->int16Channels != nullptr; }
    };
    // The next song held in memory, made only with std::make_shared. Filled by its producer, then
    // read and changed only on the message thread.
    struct PreloadedSession
    {
        std::vector<PreloadedTrack> tracks;
        double sampleRate = 44100.0;
        juce::String songId;
        double audioLeadPadSec = 0.0;
        std::vector<DownloadedSource> downloads;
        juce::var tracksVar, sectionsVar, beatmapVar, peakTracksVar;
        double bpm = 120.0;
        int numBars = 800;
        juce::var timeSignatureVar;
        double stretchBpm = 0.0, stretchSemitones = 0.0;
        bool wasPreStretched = false, cacheOnly = false;
        // The count overlay's music over [premixStartSec, premixEndSec) of this song, stereo.
        std::unique_ptr<juce::AudioBuffer<float>> premix;
        double premixStartSec = -1.0, premixEndSec = -1.0;
    };

    // What a PRELOAD_SONG asks of the preloader once admitted.
    struct PreloadRequest
    {
        juce::var tracksVar, peakTracksVar, sectionsVar;
        double bpm = 120.0;
        juce::var beatmapVar;
        int numBars = 800;
        double deviceSampleRate = 44100.0;
        juce::String songId;
        juce::var timeSignatureVar;
        double stretchBpm = 0.0, stretchSemitones = 0.0;
        bool cacheOnly = false;
        double countOverlayStartSec = -1.0, countOverlayEndSec = -1.0;
        bool headOnly = false;
        double headStartSec = -1.0, headLengthSec = 4.0;
        int stretchWorkers = 4;
        double audioLeadPadSec = 0.0;

        bool isStretched() const;
        // stretchBpm / bpm when the tempo changes (stretchBpm above 0 and more than 0.001 away), else 1.
        double stretchRatio() const;
    };

    // Decodes the next song's stems on a pool of workers ("Preloader", low priority) into a
    // preloaded session and hands it to `finalizePreload`.
    // Threads: requests come from the message thread and return at once; a new request or a cancel
    // ends the run in progress, which then posts nothing more (its posted events and result are
    // dropped when they arrive). The thread outlives its runs and is never killed: the engine's
    // destructor waits for the run to end.
    class PreloadThread : public EngineWorkerThread
    {
    public:
        explicit PreloadThread (AudioEngine& engine);
        ~PreloadThread() override;

        // Replaces the pending request (workers limited to 1..4) and starts it once the run in
        // progress has ended.
        void startPreload (PreloadRequest request);
        // Ends the run in progress and drops a waiting request. Returns at once.
        void cancelRun();
        // Ends the run and the thread: waits `timeoutMs`, then logs and keeps waiting.
        bool stopWithin (int timeoutMs);
        bool isBusy() const noexcept { return busy.load(); }
        // True while the run that `generation` names is still the one wanted.
        bool isCurrent (juce::uint64 runGeneration) const noexcept { return generation.load() == runGeneration; }

        std::unique_ptr<juce::AudioFormatReader> createReader (const juce::String& url, juce::MemoryBlock& fetched);

        void run() override;

        // Seam: the hardware-thread count the pre-stretch sizes its pool by (0: the machine's).
        int stretchHardwareThreads = 0;

    private:
        struct Run;
        // The decoded window [start, end) of a head-only stem of `length` samples at `rate` (44100
        // when unknown), in a timeline `ratio` times faster than the recording (1: the stem itself).
        struct HeadWindow
        {
            juce::int64 start = 0, end = 0;
        };
        static HeadWindow headWindow (const PreloadRequest& request, double rate, double ratio, juce::int64 length);
        bool runShouldStop (juce::uint64 runGeneration) const noexcept;
        void runPreload (const PreloadRequest& request, juce::uint64 runGeneration);
        void preloadStemWorker (Run& run);
        void buildPremix (PreloadedSession& session, const PreloadRequest& request);
        // The pre-stretch of a stretched request (AudioEnginePreStretch.cpp): the session's stems
        // rendered to its tempo and key, or read from the stretch cache. False when the run was
        // told to end meanwhile.
        struct StretchPhase;
        bool preStretch (PreloadedSession& session, const PreloadRequest& request, juce::uint64 runGeneration);
        void preStretchWorker (StretchPhase& phase);
        void advanceStretchProgress (StretchPhase& phase, size_t track, double fraction);
        void reportStretchProgress (StretchPhase& phase);
        // A cache-only request whose stretch cache is complete at one candidate rate: finalized at
        // once without decoding. False when no rate is complete.
        bool finishFromCompleteCache (const std::shared_ptr<PreloadedSession>& session, const PreloadRequest& request, juce::uint64 runGeneration);
        // The stretch cache file of a stem of the request at `rate` (its key offset 0 when it does
        // not follow the key).
        juce::File stretchCacheFileOf (const PreloadRequest& request, const juce::String& trackId, bool skipTranspose, double rate);
        // Posts `payload` to the message thread; sent there only while this run is still wanted.
        void postRunEvent (juce::uint64 runGeneration, juce::var payload);

        std::mutex requestLock;
        std::optional<PreloadRequest> pending;
        std::atomic<juce::uint64> generation { 0 };
        std::atomic<bool> busy { false };
    };
    // Which tracks of a session a count-overlay buffer mixes.
    enum class OverlayKind { music = 0, click = 1, guide = 2 };
    // A stereo mix of [startSec, endSec) of the session's tracks of `kind` at the session rate, or
    // null when the window is empty, 120 s or longer, or no track of that kind sounds in it.
    static std::unique_ptr<juce::AudioBuffer<float>> buildCountOverlayBuffer (const PreloadedSession& session, double startSec,
                                                                              double endSec, OverlayKind kind);
    // Message thread: a cache-only session is reported and dropped, any other fills the slot.
    void finalizePreload (std::shared_ptr<PreloadedSession> session);
    PreloadThread& getPreloader() { return *preloader; }
    std::shared_ptr<const PreloadedSession> getPreloadedSession() const { return preloadedSession; }
    bool isHeadOnlyLoadFlagSet() const noexcept { return headOnlyLoadRunning; }
    struct LoadedPad;
    struct PadStream;

    // Bytes of sample storage held by the engine, by owner (diagnostics).
    struct EngineMemoryUsage
    {
        juce::int64 tracksBytes = 0, tracksOrigBytes = 0, padsBytes = 0, padRingBytes = 0, preloadBytes = 0,
                transcoderBytes = 0, cueBytes = 0, overlayBytes = 0;
    };

    struct BusStretchRatio
    {
        juce::String busId;
        float ratio = 1.0f;
    };

    // `sink` carries every event, called from any thread (an empty sink drops them); `storageRoot`
    // answers the storage root in force (the settings file and BACKEND_READY use it).
    AudioEngine (EventSink sink, std::function<juce::File()> storageRoot);
    ~AudioEngine() override;

    //==============================================================================
    // Available physical memory in bytes; all bits set when the query fails. Installed by the
    // owner right after construction.
    std::function<juce::uint64()> memoryProbe;

    //==============================================================================
    // Events and log.
    // Sends DEBUG_LOG {message} through the sink (when set) on the calling thread, then writes the
    // line to the logger. Not for the audio thread: the graph's lines go through AudioThreadLog.
    void debugLog (const juce::String& line) override;
    // Sends `payload` through the sink on the calling thread (when set).
    void sendEvent (const juce::var& payload);
    // Posts `payload` to the message thread; it is sent there while the engine still exists.
    void postEvent (const juce::var& payload);
    // Posts `work` to the message thread; it runs only while the engine still exists.
    void postToMessageThread (std::function<void()> work) const;

    //==============================================================================
    // Start-up.
    void initialise();
    bool isInitialiseComplete() const { return initialiseComplete.load(); }
    // Lets a start-up that waits for the message thread go on without it; the owner calls it on
    // the message thread before it waits for the start-up thread to end.
    void releaseStartupWait() const noexcept { deviceStartLock.abort(); }
    double getDeviceSampleRate() const { return deviceSampleRate.load(); }
    void sendBackendReady();
    juce::var makeBackendReadyEvent() const;
    void logStartupStep (const juce::String& step);
    // Loads the cue and click samples; runs on the asset loader thread and stops between folders
    // when the engine is being destroyed.
    void loadAssetFolders();

    // The asset folder `name` under "public" or "frontend" in `start` or one of its nine ancestors.
    // `base` receives the "frontend" folder when the hit is under it, else an empty path.
    static juce::File findAssetFolder (const juce::File& start, const juce::String& name, juce::File& base);

    //==============================================================================
    // Graph access (message thread).
    juce::AudioDeviceManager& getDeviceManager() { return deviceManager; }
    juce::AudioFormatManager& getFormatManager() { return formatManager; }
    MultiBusRouter& getRouter() { return *router; }
    MetronomeAudioSource& getMetronome() { return *metronome; }
    CueAudioSource* getCueSource() { return cue.get(); }
    CountInAudioSource& getCountIn() { return *countIn; }
    GroupBus* getGroupBus (const juce::String& name);
    const std::map<juce::String, std::unique_ptr<GroupBus>>& getGroupBuses() const { return groupBuses; }
    juce::AudioTransportSource& getMasterTransport() { return masterTransport; }
    // The music path's end (the song resampler's input at activation) and its loop region.
    juce::PositionableAudioSource& getMusicPathEnd() { return *splitRouter; }
    LoopRegionSource& getLoopRegion() { return *loopRegion; }

    // Switches the 16 buses' live stretchers off (`bypass`) or on, together with the router's delay
    // of the song-locked direct sources by the stretchers' latency in force. The one writer of the
    // buses' bypass.
    void setStretchBypass (bool bypass);
    bool isStretchBypassed() const noexcept { return stretchBypassed; }
    // The live stretchers' common latency at the session rate, in samples (the largest of the 16).
    int getLiveStretchLatencySamples() const;
    // Live stretch is on while the stems are not offline-stretched and the tempo ratio is not 1 or a
    // pitched bus has semitones: calls `setStretchBypass` accordingly. Every load, activation, stretch
    // completion and tempo or pitch change ends with it.
    void applyLiveStretchRule();
    // After the stems or the tempo changed (a load, an activation, an offline stretch, SET_BPM): the
    // armed loop region and sample-accurate boundary seek, kept in song time, are armed again in
    // samples of the stems now playing.
    void rearmAfterStftFlip();

    // The active song, published with the router's session flag. Other threads read the id
    // through `copyActiveSongId` (under a spin lock); the audio thread try-locks.
    void setActiveSongId (const juce::String& songId);
    juce::String getActiveSongId() const { return activeSongId; }
    // Copies the id into `out` (NUL-terminated, cut at a character boundary); false when it could
    // not be read now (`tryOnly` and the lock busy) or no song is active.
    bool copyActiveSongId (char* out, size_t capacity, bool tryOnly = false) const noexcept;

    // Automation, message thread only.
    void setAutomationCues (const core::Json& payload);
    void setUseCoreAutomation (bool enabled) { useCoreAutomation = enabled; }
    bool isUsingCoreAutomation() const { return useCoreAutomation; }
    const std::vector<core::AutomationCue>& getAutomationCues() const { return automationCues; }
    const std::vector<core::AutomationOverride>& getAutomationOverrides() const { return automationOverrides; }
    const core::AutomationState& getAutomationBaseState() const { return automationBaseState; }
    const core::AutomationSongMap& getAutomationSongMap() const { return automationSongMap; }

    // Indications: recorded messages that the cue source speaks at song positions. Message thread.
    void loadIndicationToRam (const juce::String& indicationId, const juce::String& filePath, const juce::String& fallbackPath) override;
    void unloadIndicationFromRam (const juce::String& indicationId) override;
    void clearIndications() override;
    void setIndicationSchedule (const juce::var& schedule) override;

    //==============================================================================
    // The bridge's operations (see EngineOperations). Message thread.
    double getCurrentBpm() const override { return currentBpm.load(); }

    // Transport.
    void play (bool fromStart, bool forceCountIn, double startPosition, const juce::String& sectionKey, bool sectionPreRoll,
               double countInBpm, int countInNumerator, int countInDenominator, double countInTruncateSec) override;
    void stop() override;
    void pause() override;
    void resume() override;
    void seek (double positionSeconds) override;
    void emitFadeDiag (bool fadeOut, float durationSeconds) override;
    void fullReset() override;
    // Ends the active session: workers signalled, transport stopped, tracks destroyed, pads by
    // their continue flags, the preloaded session unless preserved. `resetFast` keeps the active
    // song id and the preloaded slot for a song-to-song activation.
    void reset();
    void resetFast();
    // One pad slot (1 or 2) at a reset: kept playing, faded out or silenced by its flags.
    void resetPadSlot (int slot);
    // Forgets the pad files that failed to decode (a new song may bring them back).
    void clearFailedPadFiles();

    // The transport as other threads see it (the redundancy link's workers): stored once per
    // audio block and wherever the message thread starts, stops or moves the transport.
    struct TransportSnapshot
    {
        int64_t positionSamples = 0;
        double sampleRate = 0.0;
        bool playing = false;
        double bpm = 120.0;
    };
    TransportSnapshot getTransportSnapshot() const noexcept
    {
        return { publishedPositionSamples.load(), publishedSampleRate.load(), publishedPlaying.load(), currentBpm.load() };
    }
    // Stores the transport's state for `getTransportSnapshot`. Any thread; no lock, no allocation.
    void publishTransportState (int64_t positionSamples, double sampleRate, bool playing) noexcept
    {
        publishedPositionSamples.store (positionSamples);
        publishedSampleRate.store (sampleRate);
        publishedPlaying.store (playing);
    }

    // Readers of stems. The engine's copy of the reader policy (pads, rebuilds of original
    // buffers): fetched bytes are copied into the reader. Any thread; the caller owns the reader.
    using PaddedAudioFormatReader = ::quorvelle::PaddedAudioFormatReader;
    std::unique_ptr<juce::AudioFormatReader> createReader (const juce::String& url);
    // ---- Transport, timer and reset (AudioEngineTransport.cpp, AudioEngineTimer.cpp, AudioEngineReset.cpp) ----
    // Song time is seconds of the song at its recorded tempo; the transport runs in transport time:
    // songTime / tempoRatio + songTimeOffset (the stretcher delay, 0 while the stems carry none).
    double getTempoRatio() const noexcept;
    double transportSecondsForSongTime (double songTime) const noexcept;
    double songTimeForTransportSeconds (double seconds) const noexcept;
    // Moves the click to a song time and the cue source to its transport position.
    void syncMetronomePosition (double songTime);
    // One debug line of the transport's timing ("[STRETCH-DIAG] " + tag); changes nothing.
    void logStretchDiagnostics (const juce::String& tag);
    int getCountInPhase() const noexcept { return countInPhase.load(); }
    bool isCountHeld() const noexcept { return countInRunning.load(); }
    bool isPlaybackGateOpen() const noexcept { return playbackGate.load(); }
    bool isSessionReadyNow() const noexcept { return isSessionReady; }
    double getPendingStartPosition() const noexcept { return pendingSeekSeconds; }
    const ClickSectionStateMachine& getClickSectionMachine() const noexcept { return clickSectionMachine; }
    CosineSmoothedGainAudioSource* getMusicGain() noexcept { return musicGain.get(); }
    int getStretchTicket() const noexcept { return stretchTicket; }
    float getCurrentSemitones() const noexcept { return currentSemitones; }
    juce::String getCurrentLoadingSongId() const { return currentLoadingSongId; }
    bool hasPreloadedSession() const noexcept { return preloadedSession != nullptr; }

    // Tests, until the song load builds sessions: turns the stems attached to the buses into the
    // active song (the song resampler over the music path plays through the master transport) at
    // `sessionRate` and `bpm`, ready to play; a song without stems lasts `lengthSeconds`.
    void activateSongForTesting (const juce::String& songId, double sessionRate, double bpm, double lengthSeconds = 0.0);
    void setTempoForTesting (double bpm) { currentBpm = bpm; }
    void setCurrentLoadingSongIdForTesting (const juce::String& songId) { currentLoadingSongId = songId; }
    void setPreloadedSessionForTesting (std::shared_ptr<PreloadedSession> session) { preloadedSession = std::move (session); }
    void armPreserveSessionForTesting() { preserveSessionArmed = true; }
    // ---- end of transport, timer and reset ----

    // Song load.
    void loadSession (const juce::var& tracks, const juce::var& sections, const juce::var& beatmap, const juce::var& timeSignature,
                      const juce::var& peakTracks, double bpm, int numBars, const juce::String& songId, bool skipPeaks,
                      double audioLeadPadSec) override;
    void cancelLoad() override;
    void setPendingLoad (double bpm, const juce::var& tracks) override;
    void updateMidiCues (const juce::var& cues) override;
    bool activateFromStretchCache (const juce::String& songId, double stretchBpm, double stretchSemitones, const juce::var& sections,
                                   const juce::var& beatmap, int numBars, const juce::var& timeSignature, bool skipPeaks,
                                   const juce::var& peakTracks, double audioLeadPadSec) override;
    void applyStretch (double bpm, float semitones) override;

    // Preload, activation and overlap transitions.
    void startPreload (const juce::var& tracks, const juce::var& sections, double bpm, const juce::var& beatmap, int numBars,
                       const juce::String& songId, const juce::var& timeSignature, double stretchBpm, double stretchSemitones,
                       bool cacheOnly, const juce::var& peakTracks, double countOverlayStartSec, double countOverlayEndSec,
                       double durationSec, bool headOnly, double headStartSec, double headLengthSec, double audioLeadPadSec) override;
    void activatePreloaded (const juce::String& songId, bool autoPlay, double startPosition, bool fastReset, bool countIn,
                            const juce::String& countInSectionKey, double countInStartPosition, double countInBpm,
                            int countInNumerator, int countInDenominator, bool countInRegion, double regionStartPos,
                            double regionEndPos, bool regionVoiceInt, bool countStrip, double countClickVolumeDb,
                            bool countClickMuted, double countGuideVolumeDb, bool countGuideMuted, double regionVoiceDelaySec,
                            double regionVoiceSpanSec) override;
    void evictPreloadedSession (const juce::String& reason) override;
    void cancelPreload() override;
    void preserveActiveAsPreload() override;
    juce::String getPreloadedSongId() const override;
    void armPreserveSession() override;
    void scheduleOverlapTransition (const juce::String& songId, double startPosition, double songEndTime, bool fadeIn,
                                    double fadeDuration, bool startImmediately) override;
    void startCountOverlay (double countOverlayStartSec, double countOverlayEndSec, bool overlayDrivesHandoff) override;
    void cancelOverlapTransition() override;
    void setQueuedIsLinearSongMap (bool linear) override;

    // Loops and seeks, tempo and key.
    void loopSeek (double positionSeconds) override;
    void setLoopRegion (double start, double end, bool active) override;
    void setBoundarySeek (double triggerTime, double targetPosition, bool active) override;
    void setBoundarySeekSA (double triggerTime, double targetPosition, bool active) override;
    void setBpm (double bpm) override;
    void setPitch (float semitones) override;
    void transposeOverride (const juce::String& trackId, bool force) override;

    // Click sections.
    void startClickSection (const juce::String& entryId, const juce::String& mode, double bpm, int numerator, int denominator, int bars,
                            double nextSeekTarget, const juce::var& indications, const juce::String& warningIndicationId,
                            const juce::String& warningSectionName, const juce::String& warningSelfIndicationId,
                            const juce::String& warningSelfSectionName, bool repeatOnce, bool suppressFirstFire) override;
    void cancelClickSection() override;
    void deactivateLoop() override;
    void reactivateLoop() override;
    void setRepeat (const juce::String& entryId, bool repeat) override;
    void setLoopFixed (const juce::String& entryId, bool enabled) override;
    void setNextSeekTarget (const juce::String& entryId, double target, const juce::String& warningIndicationId,
                            const juce::String& warningSectionName) override;

    // Counts and count jumps.
    void startStandaloneCountIn (double bpm, int numerator, int denominator, const juce::String& sectionKey, bool renderClicks,
                                 bool renderVoice, float clickGain, float voiceGain) override;
    void startCountRegionVoice (double bpm, int numerator, int denominator, double regionStartSec, double regionEndSec,
                                double voiceDelaySec, double voiceSpanSec, bool armAfterCountIn, const juce::String& sectionKey,
                                double sampleRate) override;
    void cancelStandaloneCountIn() override;
    void setCountInLoopsRemaining (int remaining) override;
    void updateCountInSection (const juce::String& sectionName) override;
    void setBoundaryCountJump (bool active) override;
    void setCountJumpTempo (double bpm, int numerator, int denominator, double truncateSec) override;
    void updateCountJumpSeekTarget (double timeSeconds) override;
    // Pre-builds the count of a boundary count-jump target; deferred while a count runs.
    void primeCountJump (double bpm, int numerator, int denominator, double truncateSec);
    // Audio thread, from the loop-region source's position callback, with the new position and its
    // song time: starts an armed count jump (landing on `position`), then speaks the count-voice
    // overlay again when the song time lands in its window. Atomics only.
    void onCountPosition (int64_t position, double songTime) noexcept;

    // Beat lists of the click and cue sources.
    void setCueBeatmap (const std::vector<double>& times) override;
    void setLiveBeatmap (const std::vector<double>& times, const std::vector<int>& beatNumbers) override;

    // The count-jump and transition state the count rows write, as the tests read it back.
    struct CountJumpTempo
    {
        double bpm = 0.0;
        int numerator = 0, denominator = 0;
        double truncateSec = 0.0;
    };
    struct CountRowsProbe
    {
        bool boundaryCountJump = false, countJumpPrimed = false, queuedIsLinearSongMap = false, preserveSessionArmed = false;
        bool standaloneCountInActive = false, countInRunning = false;
        CountJumpTempo countJumpTempo;
        bool countJumpActive = false, countJumpFallbackRequested = false, overlayDeferred = false;
        int64_t countJumpLanding = -1;
        double countRegionStart = -1.0, countRegionEnd = -1.0;
    };
    CountRowsProbe getCountRowsProbeForTesting() const;
    // Raises the count flags and the primed flag as a running count and a primed jump leave them.
    void setCountFlagsForTesting (bool standaloneActive, bool running, bool primed);

    // Export guard. `cancelExportAndWait` comes first in every command that changes the graph, the
    // device or the transport: a running export is cancelled, waited for and given back (its
    // EXPORT_MIX_CANCELLED sent) before it returns. `runAfterExport` runs `work` at once, or, while an
    // export runs, right after the engine is given back and before the export's final event.
    void cancelExportAndWait() override;
    void runAfterExport (std::function<void()> work) override;

    //==============================================================================
    // Mix export (AudioEngineExport.cpp): the song rendered offline through the graph into a 16-bit
    // WAV or a 320 kbps MP3 file. The render thread ("ExportMix") only renders and writes; the
    // message thread closes and reopens the device, saves and restores the engine state and sends
    // the final event.
    struct ExportJob
    {
        struct Step
        {
            double sourceStart = 0.0, sourceEnd = 0.0, durationSec = 0.0;
            juce::String sectionName;
        };
        struct Prelude
        {
            bool enabled = false;
            double bpm = 0.0;
            int numerator = 0, denominator = 0;
            juce::String sectionKey;
            bool renderClicks = true, renderVoice = true;
            double truncateSec = 0.0;
        };
        struct RegionVoice
        {
            bool enabled = false;
            double bpm = 0.0;
            int numerator = 0, denominator = 0;
            double regionStartSec = 0.0, regionEndSec = 0.0, voiceDelaySec = 0.0, voiceSpanSec = 0.0;
            juce::String sectionKey;
        };

        juce::String songId, outputPath, format;
        double sourceStartSec = 0.0, sourceEndSec = 0.0;
        std::vector<Step> renderPlan;
        Prelude prelude;
        RegionVoice regionVoice;
    };
    class OfflineMixRenderer;

    // Message thread. A job that arrives while another is in flight is dropped with a log line.
    void startExportMix (ExportJob job);
    // Message thread: asks the render to stop; its end is reported as EXPORT_MIX_CANCELLED.
    void cancelExportMix();
    // True from an accepted job until the engine has been given back.
    bool isExportInFlight() const noexcept { return exportTakeover != nullptr; }
    // Tests: runs on the render thread after every written block, with the render's cancel flag.
    std::function<void (const std::atomic<bool>& cancelRequested)> exportBlockHookForTesting;

    //==============================================================================
    // Settings file, device list and device configuration. Message thread, except where noted.

    // Opens "audio-settings.xml" in the storage root (creating the root), replacing the open file.
    // Start-up thread (from initialise) or message thread.
    void initSettingsFile();
    // Writes the device keys and saves at once (nothing without a settings file).
    void saveAudioSettings();
    // Applies the saved plain values (driver, device, rate, buffer size). Start-up thread, when the
    // saved device state could not be used. True when a saved setup was applied without error.
    bool loadAudioSettings();
    // After the storage root moved: flushes and closes the file, copies it to the new root when
    // nothing is there yet, and opens the new root's file.
    void reopenSettingsFile();

    // Sends AUDIO_DEVICES_LIST with the device manager's state.
    void sendAudioDeviceList();

    // Device changes: each stops a playing song, detaches the graph, applies the change and rolls
    // back on refusal (AUDIO_CONFIG_ERROR), then re-reads the rate, re-derives the resampler ratio,
    // re-attaches the graph, saves and sends AUDIO_DEVICES_LIST.
    void setAudioDriver (const juce::String& driver);
    void setAudioDevice (const juce::String& device);
    void setDeviceSampleRate (double rate);
    void setDeviceBufferSize (int size);
    // Re-opens the device with outputs 0 .. numChannels - 1 when fewer are active; a playing song
    // resumes where it was.
    void ensureOutputChannels (int numChannels);
    // Shows the open device's own control panel (when it has one), then takes the device's rate,
    // re-derives the ratio, saves and sends AUDIO_DEVICES_LIST.
    void showDeviceControlPanel();

    // The song resampler's ratio: session rate / device rate, or exactly 1 within 1 Hz.
    void recalcResamplerRatio (const juce::String& reason);
    void sendAudioConfigError (const juce::String& operation, const juce::String& error);

    double getSessionSampleRate() const { return sessionSampleRate; }
    void setSessionSampleRate (double rate) { sessionSampleRate = rate; }
    CheckedPropertiesFile* getSettingsFile() { return settingsFile.get(); }

    // What the device changes need of the song side, bound by the constructor.
    struct SongLinks
    {
        // The song transport (playing state, position).
        juce::AudioTransportSource* transport = nullptr;
        // Stops playback and returns to the start; without it the transport is stopped and rewound.
        std::function<void()> stop;
        // Pauses playback where it is (the click and a count too); without it the transport is stopped.
        std::function<void()> pause;
        // Puts the song's sources back on the paused transport's position after a device re-prepared
        // them (some rewind on prepare); optional.
        std::function<void()> reseat;
        // The active song's resampler, null while no song is active.
        std::function<ZeroLatencyResamplingSource*()> resampler;
        // The current song's id, for log lines.
        std::function<juce::String()> songId;
        // Applies the saved full-bar announcement; without it the cue source gets it directly.
        std::function<void (bool)> setSectionAnnounceFullBar;
    };
    SongLinks songLinks;

    //==============================================================================
    // Imports (message thread): the transcoder is created by the first job and converts into
    // FLAC below the storage root; its events go through the sink. Cancelling drains the queue
    // and flags the running jobs.
    void enqueueTranscode (const juce::String& id, const juce::String& trackId, const juce::String& subfolder, const juce::String& filename,
                           const juce::String& base64Data);
    void enqueueTranscodeFromPath (const juce::String& id, const juce::String& trackId, const juce::String& subfolder, const juce::String& filename,
                                   const juce::String& sourcePath, bool deleteSourceAfterRead);
    void cancelTranscodes();

    //==============================================================================
    // Diagnostics.
    std::vector<BusStretchRatio> getBusStretchRatios() const;
    juce::var getNativeStateSnapshot();
    EngineMemoryUsage getMemoryUsage() const;

    //==============================================================================
    // Hand-off callbacks the router runs on the audio thread (installed by the constructor).
    void onCountJumpEnd() noexcept;
    void onOverlapAutoStart() noexcept;
    void onCountInComplete() noexcept;
    void onTransportPosition (int64_t newPosition, double sampleRate) noexcept;

    //==============================================================================
    // Base classes.
    void timerCallback() override;
    // The MIDI driver's thread: filters the message and posts MIDI_INPUT_MESSAGE; takes no lock.
    void handleIncomingMidiMessage (platform::MidiInputPort* source, const juce::MidiMessage& message) override;
    void changeListenerCallback (juce::ChangeBroadcaster*) override;

    //==============================================================================
    // Output routing, split monitor, channel overrides; device loss and reconnection.
    // Message thread.

    // The bus a track of this instrument type feeds: the user's per-type override, else the fixed
    // table ("aux" for unknown types).
    juce::String getBusForInstrument (const juce::String& instrumentType) const;
    // The track's own override when it is one of the 16 bus names, else getBusForInstrument.
    juce::String resolveTrackBus (const juce::String& busOverride, const juce::String& instrumentType) const;
    // Replaces the per-type overrides and re-attaches every loaded track to its bus.
    void setChannelOverrides (const juce::var& overrides);
    // Routes buses and direct sources to device outputs; refuses the whole routing (AUDIO_CONFIG_ERROR
    // "setBusRouting") when a channel is invalid or the device has too few outputs.
    void setBusRouting (const juce::var& routing);
    void setSplitMonitor (bool enabled);

    // Called by the reconnect poller every 2000 ms while the device is lost.
    void attemptDeviceReconnect();
    bool isDeviceLost() const { return deviceLost; }
    bool isReconnectPollerRunning() const { return reconnectPoller.isTimerRunning(); }

    // A message-thread timer that calls one function.
    class ReconnectPollerTimer final : public juce::Timer
    {
    public:
        ~ReconnectPollerTimer() override
        {
            callback = nullptr;
            stopTimer();
        }
        void timerCallback() override
        {
            if (callback)
                callback();
        }
        std::function<void()> callback;
    };

    // Tests: the millisecond counter the suppression window reads (default: the framework's).
    void setMillisecondClockForTesting (std::function<juce::uint32()> clock) { millisecondClock = std::move (clock); }
    // Tests: stores a track as loaded and attaches its tap to its bus's mixer.
    void addLoadedTrackForTesting (const juce::String& id, std::unique_ptr<LoadedTrack> track);
    // Tests: the export's flag, as the mix exporter raises it around an offline render.
    void setExportClosedDeviceForTesting (bool closed) { exportClosedDevice = closed; }

private:
    void deviceReconnect (juce::AudioIODevice& device, const juce::String& via);
    void handleDeviceLoss();
    void watchDevice();
    juce::uint32 nowMs() const { return millisecondClock ? millisecondClock() : juce::Time::getMillisecondCounter(); }
    void attachTrackToBus (LoadedTrack& track);
    std::function<juce::uint32()> millisecondClock;
    ReconnectPollerTimer reconnectPoller;
    // ALSA and JACK devices that stop without telling the manager are found by this watcher.
    ReconnectPollerTimer deviceWatcher;
    int jackSelfCloseWaits = 0; // watcher ticks spent waiting for a gone JACK device to close itself

public:
    // End of routing and device loss.
    //==============================================================================
    // ---- Mixer, click and cue settings (message thread) ----
    // Volumes are decibels: 10^(dB/20), and -100 dB or less is silence. A value that is not finite,
    // or whose gain overflows, is logged and ignored (the previous value stays). No upper clamp.
    void setTrackVolume (const juce::String& trackId, float dB) override;
    void setTrackMute (const juce::String& trackId, bool muted) override;
    void setTrackSolo (const juce::String& trackId, bool soloed) override;
    void setMetronomeVolume (float dB) override;
    // The four subdivision click levels (-60 dB or less is silence), for the metronome and the count-in.
    void setMetronomeLevels (float accentDb, float quarterDb, float eighthDb, float sixteenthDb) override;
    void setMetronomeSound (const juce::String& soundName) override;
    void setMetronomeMute (bool muted) override;
    void setMetronomeSolo (bool soloed) override;
    void setClickSource (bool internal);
    void setGuideSource (bool internal);
    void setGuideVolume (float dB) override;
    void setGuideMute (bool muted) override;
    void setGuideSolo (bool soloed) override;
    void setBusVolume (const juce::String& busName, float dB) override;
    void setMasterVolume (float dB) override;
    void setPadMasterVolume (float dB);
    // Cut-offs are clamped to 20..20000 Hz.
    void setPadMasterLowPass (float hz);
    void setPadMasterHighPass (float hz);
    // Turns the mixer state into the gain stages' targets.
    void updateGains();

    // False when unchanged, or refused (numerator or denominator below 1).
    bool setTimeSignature (int newNumerator, int newDenominator) override;
    // An array of {time, numerator, denominator}; entries below 1 are dropped.
    void setTimeSignatureMap (const juce::var& map) override;
    // Both saved at once to the settings file (when open).
    void setCountInEnabled (bool enabled) override;
    void setSectionAnnounceFullBar (bool enabled) override;
    bool isCountInEnabled() const { return countInEnabled; }
    void updateGuideState (bool looping, bool repeating, const juce::String& queuedSection);
    // JSON texts: an object with "ranges" or a bare array of {start, end}.
    void setClickAccentSuppressRanges (const juce::String& json) override;
    void updateSectionAnnouncementOverrides (const juce::String& json) override;
    void updateCueSections (const juce::String& json) override;

    // What the mixer tests read back: the targets of the stages and the plain levels.
    struct MixerProbe
    {
        float metronomeVolume = 0, metronomeBus = 0, guideVolume = 0, guideBus = 0, padMaster = 0, padBus = 0;
        float pad1 = 0, pad2 = 0, countInClick = 0, countInVoice = 0, clickBusGain = 0, guideBusGain = 0;
        float lowPassHz = 0, highPassHz = 0;
        int numerator = 0, denominator = 0;
    };
    MixerProbe getMixerProbeForTesting() const;
    // A stem with a gain stage over `source` (not owned), attached to no bus.
    LoadedTrack& addTrackForTesting (const juce::String& trackId, const juce::String& instrumentType, juce::PositionableAudioSource* source);
    void enablePadSlotsForTesting (float base1, float base2);
    // ---- end of mixer, click and cue settings ----

    //==============================================================================
    // Pads: decoding and the cache (any decode runs on a worker; every request is answered once,
    // on the message thread), and the two slots with their fades and crossfades (message thread).
    // One decoded pad file, shared by the cache, the requester and the slots' chains.
    struct LoadedPad
    {
        juce::String file;
        bool streaming = false;
        double sampleRate = 44100.0;
        int numChannels = 2;
        std::atomic<int> useCount { 0 };
        std::unique_ptr<juce::AudioBuffer<float>> floatBuffer;
        std::unique_ptr<std::vector<Int16ChannelData>> int16Channels;
        // Streaming: declared so that the buffering source goes first, the reader last.
        std::unique_ptr<juce::AudioFormatReader> reader;
        std::unique_ptr<juce::AudioFormatReaderSource> readerSource;
        std::unique_ptr<juce::BufferingAudioSource> bufferingSource;
    };
    // A slot's playing chain apart from its gain stage; torn down from the resampler back.
    struct PadStream
    {
        std::shared_ptr<LoadedPad> pad;
        juce::String file;
        std::unique_ptr<juce::AudioFormatReader> reader;
        std::unique_ptr<juce::AudioFormatReaderSource> readerSource;
        std::unique_ptr<juce::BufferingAudioSource> bufferingSource;
        std::unique_ptr<juce::PositionableAudioSource> memorySource;
        std::unique_ptr<juce::ResamplingAudioSource> resampler;
    };
    using PadCallback = std::function<void (std::shared_ptr<LoadedPad>)>;

    void setPerformanceLevel (const juce::String& level);
    void requestPadDecode (const juce::String& file, PadCallback callback, bool queued);
    void releasePad (const juce::String& file);
    void releaseAllPads();
    void forgetFailedPadFile (const juce::String& file);
    bool openPadStream (PadStream& chain, const juce::String& file);
    void updatePad (bool enabled, const juce::String& file, float volumeDb, float fadeSeconds);
    void updatePad2 (bool enabled, const juce::String& file, float volumeDb, float fadeSeconds);
    void setContinuePad (bool pad1, bool pad2);
    // The pad step of the full reset: both slots silenced and emptied at once, the cache kept.
    void silencePadsForFullReset();

    // Tests and diagnostics.
    void setPadRamThresholdForTesting (juce::int64 bytes) { padRamThresholdBytes = bytes; }
    juce::int64 getPadRamThresholdBytes() const { return padRamThresholdBytes.load(); }
    std::shared_ptr<LoadedPad> findCachedPad (const juce::String& file) const;
    int getPadCacheSize() const;
    bool isPadFileFailed (const juce::String& file) const { return failedPadFiles.count (file) != 0; }
    // The slot's (1 or 2) playing chain's and fading chain's gain stages, null when absent.
    const SimpleSmoothedGainAudioSource* getPadGainForTesting (int slot, bool fading) const;
    // The slot's playing or fading chain, null when absent.
    std::shared_ptr<const PadStream> getPadStreamForTesting (int slot, bool fading) const;
    // ---- end of pads ----

    //==============================================================================
    // MIDI outputs, buses, cues and inputs (message thread). Every operation holds `midiLock`
    // throughout; the disconnected notice and the input messages are posted.
    struct MidiBus
    {
        juce::String busId, portId; // an empty portId: unassigned
        int channel = 0;            // 1-16 as the front end sends it
        bool enabled = false;
    };
    struct MidiMarker
    {
        juce::String id;
        double time = 0.0;
        juce::String busId, messageType;
        int value = 0, velocity = 0;
        bool disableOnLoop = false;
    };
    void sendMidiDevicesList();
    void setMidiBuses (const juce::var& buses);
    void setMidiMaster (bool enabled);
    void sendMidiMessage (int channel, const juce::String& type, int value, int subValue);
    void sendMidiCueNow (const juce::String& busId, const juce::String& messageType, int value, int velocity);
    void notifyMidiBusDisconnected (const juce::String& busId, const juce::String& reason);
    void sendMidiInputDevicesList();
    void enableMidiInput (const juce::String& deviceId);
    void disableMidiInput (const juce::String& deviceId);
    // The ports the next engine constructed takes (tests); without one it takes the system's.
    static void useMidiPortSystemForNextEngine (std::shared_ptr<platform::MidiPortSystem> ports);
    std::vector<MidiMarker> getMidiCues() const;
    // ---- end of MIDI ----

    // Tests hold readiness themselves: with this set, `initialise` returns at once and the test
    // flips readiness through `markInitialiseCompleteForTesting`.
    void setInitialiseHeldForTesting (bool held) { initialiseHeldForTesting = held; }
    void markInitialiseCompleteForTesting() { initialiseComplete = true; }
    // Where `initialise` looks for the asset folders (default: the executable's folder).
    void setAssetSearchStartForTesting (const juce::File& folder) { assetSearchStart = folder; }
    // Joins the asset loader (tests wait for the samples).
    void waitForAssetLoader();
    bool areCueSamplesLoaded() const { return cueSamplesLoaded.load(); }

private:
    struct Liveness
    {
    };

    const EventSink eventSink;
    const std::function<juce::File()> storageRoot;

    void buildGraph();
    juce::String transportStateText() const;
    bool openFromSavedState();
    void openDefaultDevice();

    // Setter frame shared by the four device changes (see the .cpp).
    struct DeviceChange;
    void runDeviceChange (const DeviceChange& change);
    juce::String applyDeviceSetup (const juce::AudioDeviceManager::AudioDeviceSetup& setup);
    void switchDeviceType (const juce::String& typeName);
    bool songTransportPlaying() const;
    juce::String transportStateForLog() const;
    juce::String songIdForLog() const;

    //==============================================================================
    // Readiness, host hooks and MIDI state.
    std::atomic<bool> initialiseComplete { false };
    std::atomic<bool> initialiseRunning { false }; // the start-up thread owns the device manager
    juce::MessageManager::Lock deviceStartLock;    // held by the start-up thread while it opens the device
    // Tick bookkeeping (transport and loading).
    int64_t tickCount = 0, lastTickMs = 0, tickNextDueMs = std::numeric_limits<int64_t>::max(), tickLoadedChunks = 0;
    double tickLastPosition = 0.0;
    bool progressiveLoadRunning = false, headOnlyLoadRunning = false;
    std::atomic<double> songTimeSeconds { 0.0 };
    double tickLastSongTime = 0.0;
    juce::CriticalSection midiLock;
    bool midiMasterEnabled = false;
    // The ports come from this system; the inputs are closed in the destructor before it goes.
    std::shared_ptr<platform::MidiPortSystem> midiPorts { takeMidiPortSystem() };
    static std::shared_ptr<platform::MidiPortSystem> takeMidiPortSystem();
    std::map<juce::String, std::unique_ptr<platform::MidiOutputPort>> midiOutputs;
    double midiMarkerScanTime = -1.0;
    std::unordered_set<std::string> notifiedDisconnectedBuses;
    std::map<juce::String, std::unique_ptr<platform::MidiInputPort>> midiInputs;
    std::map<juce::String, MidiBus> midiBuses;
    std::vector<MidiMarker> midiCues;

    // Device state, managers and threads.
    std::atomic<bool> cueSamplesLoaded { false };
    juce::uint32 listSuppressedUntilMs = 0;
    bool deviceLost = false;
    std::atomic<bool> exportClosedDevice { false };
    juce::String lastDeviceName;
    juce::AudioDeviceManager deviceManager;
    juce::AudioFormatManager formatManager;
    juce::AudioSourcePlayer player;
    juce::TimeSliceThread masterReadAhead { "Master Read Ahead" };
    juce::TimeSliceThread padReadAhead { "Pad Read Ahead" };
    std::unique_ptr<CheckedPropertiesFile> settingsFile;

    // Music path and song.
    std::map<juce::String, std::unique_ptr<GroupBus>> groupBuses;
    PositionableMixerSource groupMixer;
    PositionableMixerSource musicMixer;
    std::unique_ptr<MusicCrossfadeSource> musicCrossfade;
    std::unique_ptr<CosineSmoothedGainAudioSource> musicGain;
    SongTransportSource masterTransport;
    double originalBpm = 120.0;
    std::atomic<double> currentBpm { 120.0 };
    float currentSemitones = 0.0f;
    std::map<juce::String, std::unique_ptr<LoadedTrack>> tracks;
    juce::String currentLoadingSongId;
    juce::String activeSongId;
    std::atomic<double> deviceSampleRate { 44100.0 };
    std::atomic<double> sessionSampleRate { 44100.0 };

    // Seek, loop and boundary state.
    std::atomic<bool> loopSeekPending { false }, loopSeekQueued { false };
    double queuedLoopSeekTime = 0.0;
    juce::CriticalSection loopRegionLock;
    double loopRegionStart = 0.0, loopRegionEnd = 0.0;
    std::atomic<bool> loopRegionActive { false };
    bool loopRegionFired = false;
    juce::CriticalSection boundarySeekLock;
    double boundarySeekTriggerTime = 0.0, boundarySeekTargetPos = 0.0;
    std::atomic<bool> boundarySeekActive { false };
    bool boundarySeekFired = false;
    double sampleSeekTriggerTime = 0.0, sampleSeekTargetPos = 0.0;
    std::atomic<bool> sampleSeekArmed { false };

    // Pads.
    std::shared_ptr<PadStream> pad1Stream, pad1FadingStream, pad2Stream, pad2FadingStream;
    std::unique_ptr<SimpleSmoothedGainAudioSource> pad1Gain, pad1FadingGain, pad2Gain, pad2FadingGain;
    SourceMixer padMixer;
    std::unique_ptr<FilteredAudioSource> padFilter;
    std::map<juce::String, std::shared_ptr<LoadedPad>> padCache;
    juce::CriticalSection padCacheLock;
    std::map<juce::String, int> pendingPadDecodes;
    bool continuePad1 = false, continuePad2 = false;

    // Metronome, cue and count-in chains, mixer state.
    std::unique_ptr<MetronomeAudioSource> metronome;
    std::unique_ptr<SmoothedGainAudioSource> metronomeVolumeGain;
    std::unique_ptr<SmoothedGainAudioSource> metronomeBusGain;
    float clickBusGain = 1.0f, guideBusGain = 1.0f;
    bool isSessionReady = false;
    bool wasPlayingAtLastTick = false;
    int64_t tickDiagWindowEndMs = 0, tickLastLog200Ms = 0, tickLastLog1000Ms = 0, tickStampMs = 0, tickStampSample = 0;
    bool tickStampsValid = false;
    bool pad1Enabled = false, pad2Enabled = false;
    bool metronomeMute = false, metronomeSolo = false;
    bool clickSourceInternal = true, guideSourceInternal = true;
    std::unique_ptr<CueAudioSource> cue;
    std::unique_ptr<SmoothedGainAudioSource> cueVolumeGain;
    std::unique_ptr<SmoothedGainAudioSource> cueBusGain;
    bool guideMute = false, guideSolo = false;
    float guideGain = 1.0f;
    std::unique_ptr<CountInAudioSource> countIn;
    std::unique_ptr<OverlaySampleSource> countOverlay, countOverlayClick, countOverlayGuide;
    CountInState countInState;
    std::atomic<int> countInPhase { 0 };
    std::atomic<bool> countInRunning { false };
    bool countInEnabled = true;
    bool sectionAnnounceFullBar = false;
    std::atomic<int64_t> padRamThresholdBytes { 104857600 };

    // Overlap transitions.
    juce::String transitionSongId;
    double transitionStartSeconds = 0.0, transitionEndSeconds = 0.0;
    bool transitionFadeIn = false;
    double transitionFadeSeconds = 5.0;
    // The transition phases; the router reads the hand-off flags.
    std::atomic<bool> transitionScheduled { false }, transitionArmed { false }, overlayPlaying { false },
        handoffPending { false }, handoffDone { false }, transitionAutoStartRaised { false }, transitionFinished { false };
    double transitionFadeApplied = 5.0;
    std::array<std::atomic<double>, 5> handoffStamps {};
    bool transitionPreloadArmed = false;
    juce::var deferredMetronomeSetup, deferredCueSetup, deferredCountInSetup;
    double deferredOriginalBpm = 120.0;
    std::vector<double> deferredBeatTimes;
    std::vector<int> deferredBeatNumbers;
    int deferredNumerator = 4, deferredDenominator = 4;
    bool deferredTimeSignatureValid = false;
    std::atomic<bool> deferredSetupPending { false };
    bool latencyCompensation = false;
    double pendingSeekSeconds = -1.0;
    int numerator = 4, denominator = 4;
    float pad1BaseGain = 1.0f, pad2BaseGain = 1.0f;
    float metronomeGain = 0.5f;

    // Graph ends, routing and pad state.
    std::unique_ptr<TapAudioSource> metronomeTap, cueTap;
    std::unique_ptr<LoopRegionSource> loopRegion;
    std::unique_ptr<SplitRouterSource> splitRouter;
    std::unique_ptr<ZeroLatencyResamplingSource> songResampler;
    std::unique_ptr<MultiBusRouter> router;
    std::unique_ptr<SimpleSmoothedGainAudioSource> padMasterGain;
    std::unique_ptr<SimpleSmoothedGainAudioSource> padBusGain;
    std::unique_ptr<SimpleTapAudioSource> padTap;
    std::map<juce::String, juce::String> channelOverrides;
    juce::String pad1RequestedFile, pad2RequestedFile;
    std::set<juce::String> failedPadFiles;
    struct PadPreloadRequest
    {
        juce::String file;
        std::function<void (std::shared_ptr<LoadedPad>)> completion;
    };
    std::deque<PadPreloadRequest> padPreloadQueue;
    bool padPreloadRunning = false;
    struct PadLastUpdate
    {
        bool enabled = false;
        juce::String file;
        float volumeDb = -100.0f;
        float fadeSeconds = -1.0f;
    };
    PadLastUpdate pad1Last, pad2Last;
    double audioLeadPadSec = 0.0;

    // Workers and sessions.
    std::unique_ptr<TranscoderThread> transcoder;
    void enqueueTranscodeJob (TranscodeJob job);
    std::unique_ptr<PeakGeneratorThread> peakGenerator;
    std::unique_ptr<TrackLoaderThread> trackLoader;
    std::unique_ptr<PreloadThread> preloader;
    std::shared_ptr<PreloadedSession> preloadedSession;
    bool preserveSessionArmed = false;
    int peaksTicket = 0, loadTicket = 0, stretchTicket = 0;
    double loadedBpm = 120.0;
    double loadStartMs = 0.0;
    juce::String currentSongIdForStretch;
    int numPeaks = 800;
    bool skipPeaks = false;
    juce::var songTracks, songExtraData, songBeatMap, songStretchCacheData, songTimeSignatureMap;
    int peakCount = 800;

    // Click sections and automation.
    std::atomic<bool> clickClockArmed { false };
    std::atomic<double> countRegionStart { -1.0 }, countRegionEnd { -1.0 };
    std::atomic<bool> startArmed { false };
    std::atomic<bool> pendingStart { false };
    std::atomic<bool> startSeekPending { false };
    std::atomic<int64_t> startSeekSample { -1 };
    std::atomic<bool> regionVoiceRearm { false };
    int64_t tickAutomationLastMs = 0, tickAutomationIndex = 0, tickAutomationSection = 0;
    bool tickAutomationArmed = false, tickAutomationFired = false, tickAutomationLogged = false;
    bool useCoreAutomation = false;
    std::vector<core::AutomationCue> automationCues;
    std::vector<core::AutomationOverride> automationOverrides;
    core::AutomationState automationBaseState;
    core::AutomationSongMap automationSongMap;
    std::atomic<bool> cueClickSectionFlag { false };
    int64_t clickWarningSample = -1;
    bool clickWarningRaised = false, clickWarningHandled = false;
    bool quietSeek = false;
    std::atomic<bool> deviceRateChangedDuringClickSection { false };
    double tempoRatio = 1.0;
    double songTimeOffset = 0.0;

    // The state the router and the redundancy link read.
    std::atomic<bool> playbackGate { false };
    std::atomic<bool> sessionPresent { false };
    std::atomic<bool> standaloneCountInActive { false };
    // The count jump holds the music (the router watches it and ends the jump when its count ends).
    std::atomic<bool> countJumpArmed { false };
    // Count jumps at a boundary (the bridge's rows set them; the primed flag is set by primeCountJump)
    // and the transition's queued-is-linear flag. The next wrap, jump or seek of the loop-region
    // source takes `boundaryCountJump` (the arm) and the primed count on the audio thread.
    std::atomic<bool> boundaryCountJump { false }, countJumpPrimed { false };
    CountJumpTempo countJumpTempo;
    // The sample the music resumes from when the jump's count ends (-1: where it has run to), and
    // the audio thread's request for a count when none was primed.
    std::atomic<int64_t> countJumpLanding { -1 };
    std::atomic<bool> countJumpFallbackRequested { false };
    // The count-in completion starts the transport only while open: a standalone count closes it,
    // play's count path opens it. A standalone count's delayed release acts only while no later
    // count has taken over (the generation has not moved).
    std::atomic<bool> countInCompletionOpen { true };
    std::atomic<uint32_t> countGeneration { 0 };
    std::atomic<bool> queuedIsLinearSongMap { false };
    bool buffersHaveStftDelay = false;
    std::atomic<bool> exportRendering { false };
    std::atomic<int64_t> publishedPositionSamples { 0 };
    std::atomic<double> publishedSampleRate { 0.0 };
    std::atomic<bool> publishedPlaying { false };
    mutable juce::SpinLock activeSongIdLock;
    std::array<char, 256> activeSongIdBuffer {};

    bool stretchBypassed = true;

    // Transport, timer and reset (private part).
    ClickSectionStateMachine clickSectionMachine;
    std::atomic<bool> transportRunning { false }; // the engine started the master transport and has not stopped it
    bool musicMutedByClickSectionCancel = false;
    int64_t lastSongTimePositionSamples = -1; // raw position behind the last tick's song time (diagnostics)
    juce::String lastSongTimeBus;
    ZeroLatencyResamplingSource::Stats lastResamplerStats;
    int countInLogSink = 0; // the audio-thread log's sink that forwards to debugLog
    bool startPlainTransport (double songTime);
    void resumeClickSection (const juce::String& tag);
    // Signals the loader, peak and preload workers; a head-only load's loader is waited for
    // (3000 ms, then `retryMs`) because it writes into the tracks about to be freed.
    void signalWorkersForReset (const juce::String& caller, int retryMs);
    void clearCountJumpState();
    // Counts (AudioEngineCounts.cpp).
    // A new count takes over the count-in source: the primed count is gone; returns its generation.
    uint32_t takeOverCountIn (bool completionStartsTransport);
    void setCountParameters (double bpm, int numerator, int denominator, double outputRate);
    bool beginStandaloneCount (double bpm, int numerator, int denominator, const juce::String& sectionKey, bool renderClicks,
                               bool renderVoice, float clickGain, float voiceGain);
    void releaseStandaloneCountLater (uint32_t generation, int delayMs);
    juce::String countJumpSection() const;
    void startArmedCountJump (int64_t landing) noexcept;
    void runCountJumpFallback();
    // Ends an active count jump: the music back on its landing, the count phase 2. False when no
    // jump was active (the other thread ended it). Any thread.
    bool finishCountJump() noexcept;
    bool countJumpHoldsMusic() const noexcept { return countJumpArmed.load() || countJumpFallbackRequested.load(); }
    void clearOverlapState();
    void publishTransportNow();
    void onAudioBlockRendered() noexcept;
    double computeTickSongTime();
    juce::var makePlaybackUpdate (double songTime);
    juce::var makeCountInPlaybackUpdate();
    void logTickDiagnostics (double songTime);
    void reportCallbackTiming();
    void stopSongChain();
    // Hooks of the work other parts build (click sections, loops and boundary seeks, counts, overlap
    // phases, automation, offline stretch). Each does nothing until that work lands.
    bool isClickSectionActive() const noexcept { return clickSection.clickSectionPhase.load() != 0; }
    void setClickSectionRunning (bool running);
    void checkClickSectionDrift (const juce::String& tag);
    void handleClickSectionTickMarks();
    bool steersFixedSection (const char* row, const juce::String& entryId);
    void handleCountTickMarks();
    double handleLoopAndBoundaryBranches (double songTime);
    bool runOverlapPhases (double songTime);
    void addClickSectionFields (juce::DynamicObject& object);
    void addAutomationState (juce::DynamicObject& update, double songTime);
    juce::Thread* getOfflineStretchThread() const;
    bool overlapPreActivating() const noexcept { return transitionPreloadArmed; }

    // Preloads (AudioEnginePreload.cpp).
    void sendPreloadSkipped (const juce::String& songId, bool cacheOnly, juce::int64 estimatedBytes, juce::int64 availableBytes,
                             juce::int64 reserveBytes);
    juce::int64 availableMemoryForAdmission() const;
    // The active song's "sections" as loaded, kept for a preserved session.
    juce::var songSections;


    // Loops, boundary seeks and live tempo and pitch (AudioEngineLoops.cpp, AudioEngineLiveStretch.cpp).
    // The tempo ratio the position callback maps with (stored by the tick and every tempo change).
    std::atomic<double> positionTempoRatio { 1.0 };
    std::function<void (int)> loopSeekApplyHook;
    // A song time as a sample of the loop-region source (session rate), truncated; and back.
    int64_t sessionSampleForSongTime (double songTime) const noexcept;
    double songTimeForSessionSeconds (double seconds) const noexcept;
    // The stretchers' one-shot keep-state mark on every bus: armed while a loop or a sample-accurate
    // jump is armed (a wrap must not reset them), cleared before a reposition that must.
    void setStretchKeepState (bool keep) noexcept;
    void armStretchKeepStateForLoops() noexcept;
    // Positions the master transport (seconds) as a reposition: the stretchers reset there, and an
    // armed loop or jump keeps their state for its next wrap again.
    void setSongChainPosition (double transportSeconds);
    // While stopped or paused: the song chain, click and cues moved to `songTime` in the mapping in force.
    void repositionKeepingSongTime (double songTime);
    void sendLoopAudit (const char* what, int64_t from, int64_t to, double newSongTime, bool withRatio);

public:
    // Tests: runs inside every iteration of a loop seek's apply (with the iteration), so that a test
    // can ask for more loop seeks while one is applied.
    void setLoopSeekApplyHookForTesting (std::function<void (int)> hook) { loopSeekApplyHook = std::move (hook); }

private:
    // Start-up.
    double initialiseStartMs = 0.0;
    bool callbackAdded = false;
    bool initialiseHeldForTesting = false;
    juce::File assetSearchStart;
    std::thread assetLoader;
    std::atomic<bool> assetLoaderShouldStop { false };

    std::shared_ptr<Liveness> liveness { std::make_shared<Liveness>() };

    // The device the engine chose, reopened as it was after a loss (its rate and outputs, not those of
    // the fallback the framework opened meanwhile).
    void rememberEngineDevice (const juce::AudioIODevice& device);
    juce::AudioDeviceManager::AudioDeviceSetup lastDeviceSetup;
    // Mix export (AudioEngineExport.cpp): the renderer, the state it took over, the work queued
    // behind it and the job numbers that keep a finished export's late progress out.
    struct ExportTakeover;
    std::unique_ptr<OfflineMixRenderer> exportRenderer;
    std::unique_ptr<ExportTakeover> exportTakeover;
    std::vector<std::function<void()>> workAfterExport;
    std::atomic<int> exportJobsStarted { 0 }, exportJobsEnded { 0 };
    void takeOverForExport (ExportTakeover& saved);
    void giveBackAfterExport (const ExportTakeover& saved);
    void finishExport (int job);
    void shutDownExport();
    int exportLatencySamples() const;
    // Parallel rendering of the group buses: the router starts and stops it with the device.
    BusRenderPool renderPool;

    // Pads (see AudioEnginePads.cpp and AudioEnginePadSlots.cpp).
    struct PadSlot;
    PadSlot padSlot (int slot);
    void decodePad (const juce::String& file, const PadCallback& callback);
    void runPadDecodeQueue();
    void answerPad (const PadCallback& callback, std::shared_ptr<LoadedPad> pad);
    void sendPadLoadError (const juce::String& file, const juce::String& reason);
    juce::int64 residentPadBytes() const;
    void addPadMemoryUsage (EngineMemoryUsage& usage) const;
    void updatePadSlot (int slot, bool enabled, const juce::String& file, float volumeDb, float fadeSeconds);
    void attachPadSlot (int slot, const juce::String& file, float fade, bool crossfade, std::shared_ptr<LoadedPad> pad);
    bool retireFadingPad (int slot);
    void finishPadSlotCrossfade (int slot);
    void scheduleOldPadCleanup (std::unique_ptr<SimpleSmoothedGainAudioSource> gain, std::shared_ptr<PadStream> chain);
    void cleanupFadingPadSlotAfterReset (int slot);
    bool padSoloSilence() const;
    // Posts pad work from any thread (a copy of the token that no one writes, unlike `liveness`;
    // the MIDI input drain, posted from the driver's threads, takes it too).
    void postPadWork (std::function<void()> work) const;
    const std::weak_ptr<Liveness> padToken { liveness };
    // Click sections (AudioEngineClickSections.cpp).
    struct ClickSectionIndication
    {
        int64_t offsetSamples = 0; // from the start of a pass, at the metronome's rate
        juce::String indicationId, markerId;
    };
    // What the audio thread speaks during a section. Never changed once built: the message thread
    // swaps in a new one under the metronome's lock (which the audio thread holds while it reads) and
    // frees the old one after releasing it.
    struct ClickSectionTexts
    {
        std::vector<ClickSectionIndication> indications; // sorted by offset
        juce::String warningIndicationId, warningSectionName, warningSelfIndicationId, warningSelfSectionName;
    };
    struct ClickSectionRecord
    {
        // The message thread's view, under the lock.
        juce::SpinLock clickSectionLock;
        juce::String clickSectionEntryId;
        bool clickSectionIsLoop = false;
        double clickSectionNextSeekTarget = -1.0;
        // Read by the audio thread. Phase: 0 Inactive, 1 Playing, 2 ExitPending, 3 ExitWarning.
        std::atomic<int> clickSectionPhase { 0 };
        std::atomic<bool> loopMode { false };
        std::atomic<int64_t> clickSectionTotalSamples { 0 }, clickSectionSamplesPerIteration { 0 }, clickSectionSamplesPerBar { 0 };
        std::atomic<int64_t> clickSectionSample { 0 }, clickSectionLoopIteration { 0 };
        std::atomic<bool> clickSectionCompletePending { false }, clickSectionWarningPending { false },
            clickSectionRepeatFiredPending { false };
        std::atomic<int64_t> clickSectionSeekSample { -1 };
        std::atomic<int> clickSectionRepeatRemaining { 0 };
        std::atomic<bool> clickSectionLoopFixed { false };
        std::atomic<bool> clickSectionTransportRunning { false }, restoreMusicOnComplete { false }, clickSectionAudioCompleted { false };
        // The grid points of one pass (bars per pass x numerator x 4).
        std::atomic<int64_t> ticksPerPass { 0 };
        // The audio thread's own; the message thread writes them only under the metronome's lock.
        std::unique_ptr<const ClickSectionTexts> texts;
        int clickSectionIndicationCursor = 0;
        bool clickSectionWarningFired = false;
        // Message thread: the section set the count hold (started while stopped) and releases it.
        bool holdsCount = false;
    };
    ClickSectionRecord clickSection;
    // Metronome block observer: advances the section (audio thread, the metronome's lock held).
    void advanceClickSection (int numSamples) noexcept;
    void completeClickSectionFromAudio() noexcept;
    void completeClickSection();
    void startClickSectionWarning();
    // Ends the section's state (both ends: completion and cancel); returns the entry id it had.
    juce::String clearClickSectionState (bool turnClockOff);
    void releaseClickSectionCountHold();
    void speakClickSectionIndications (const ClickSectionTexts& texts, int64_t from, int64_t to) noexcept;
    void announceFixedPassEnd (const ClickSectionTexts& texts) noexcept;
    void announceLoopExit (const ClickSectionTexts& texts) noexcept;
    void realignFixedClock (int64_t overshoot, int64_t limit) noexcept;
    int64_t clickSectionSeekSampleFor (double target) const noexcept;
    void sendAudioThreadLine (const char* line) noexcept;

    // Last of the pad members: its end waits for the pad threads before anything they touch goes.
    PadWorkers padWorkers;

    // Offline stretch (AudioEngineOfflineStretch.cpp). The processor is made by the first job and
    // kept; it goes first when the engine goes, waiting for its workers.
public:
    // The processor, made on first use (tests hold its workers through its hooks).
    OfflineStretchProcessor& getStretchProcessor();
    // The stem at `url` unstretched as float samples at `songRate`, its lead pad included. Any thread.
    std::unique_ptr<juce::AudioBuffer<float>> readUnstretchedAudio (const juce::String& url, double leadPadSeconds, double songRate,
                                                                    std::function<bool()> shouldStop);
private:
    void sendStretchRejected (const juce::String& reason, double bpm, float semitones);
    void sendStretchComplete (const juce::String& songId);
    void bypassStretch (double bpm, float semitones);
    // The memory admission of a job at `ratio`: false after rejecting it with "lowMemory".
    bool admitStretchRequest (double bpm, float semitones, double ratio);
    void finalizeStretch (std::shared_ptr<OfflineStretchProcessor::Result> result);
    bool rebuildOriginalBuffer (LoadedTrack& track);
    bool restoreInt16FromDisk (LoadedTrack& track);
    void rebuildInt16TrackChain (LoadedTrack& track);
    void rebuildFloatTrackChain (LoadedTrack& track);
    void rebuildTrackChain (LoadedTrack& track, std::unique_ptr<juce::PositionableAudioSource> source, float gainRampSeconds = 0.0f);
    // The song's playback chain at `songRate` (mixers prepared, a new song resampler, transport at 0).
    void installSongChain (double songRate);
    // The peaks of a generation, on the message thread: WAVEFORM_UPDATE when `ticket` is current.
    void finalizePeaks (const WaveformPeaks& peaks, int ticket);
    // Starts the peaks of the song just made active, unless the front end has them.
    void startSongPeaks (const juce::var& peakTracks, const juce::var& fallbackTracks, std::vector<DownloadedSource> downloads, int ticket);
    std::unique_ptr<OfflineStretchProcessor> stretchProcessor;

    // Activation of a preloaded song (AudioEnginePreloadActivation.cpp).
public:
    // One activation: ACTIVATE_PRELOADED's fields, or a transition's first phase (a fast reset and
    // nothing else: the defaults).
    struct PreloadActivation
    {
        juce::String songId;
        bool autoPlay = false;
        double startPosition = -1.0;
        bool fastReset = false;
        bool countIn = false;
        juce::String countInSectionKey;
        double countInStartPosition = -1.0, countInBpm = -1.0;
        int countInNumerator = -1, countInDenominator = -1;
        bool countInRegion = false;
        double regionStartPos = -1.0, regionEndPos = -1.0;
        bool regionVoiceInt = false;
        double regionVoiceDelaySec = 0.0, regionVoiceSpanSec = -1.0;
        bool countStrip = false;
        double countClickVolumeDb = 0.0;
        bool countClickMuted = false;
        double countGuideVolumeDb = 0.0;
        bool countGuideMuted = false;
    };
    // Makes the preloaded song the active one. False (ACTIVATE_PRELOADED_FAILED sent, nothing
    // changed) when the slot does not hold `songId`.
    bool activatePreloadedSong (const PreloadActivation& request);
    // Spans of head-only stems played as silence because their chunk was not decoded yet.
    int64_t getChunkMissCount() const noexcept { return chunkMissCount.load(); }

private:
    // The click and cue setup an activation under a standalone count keeps for later (the deferred
    // members above hold it: `deferredMetronomeSetup` the beat map, `deferredCueSetup` the sections,
    // `deferredCountInSetup` the time signature). `deferredSetupStored` is the message thread's
    // pending flag; `deferredSetupAfterCount` marks a setup stored outside a transition, which the
    // tick applies once the count has ended (at `deferredStartPosition` while the song is still).
    bool deferredSetupStored = false, deferredSetupAfterCount = false;
    double deferredStartPosition = 0.0;
    std::atomic<int64_t> chunkMissCount { 0 };
    void storeDeferredSetup (const PreloadedSession& session);
    // Applies what is left of a stored setup (message thread); the click goes to `songPosition`.
    void applyDeferredSetup (double songPosition);
    // The tick's step: a plain activation's setup once its count has ended.
    void applyDeferredSetupAfterCount();
    // Pause and stop: a plain activation's setup applies at once (the count it waited for ends).
    void applyPlainDeferredSetupNow (double songPosition);
    void buildPreloadedTracks (PreloadedSession& session, std::vector<ComplementFillJob>& fills);


    // Overlap transitions (AudioEngineOverlap.cpp). The transition flags: `overlayPlaying` the count
    // overlay's end starts B, `handoffPending` B waits for the hand-off, `handoffDone` the hand-off
    // happened (the router reads these three); `transitionScheduled` B starts at the first phase,
    // `transitionArmed` B was activated for this transition, `transitionFinished` the first phase's
    // copy of the fade-in. `transitionPreloadArmed` is the pre-activation mark. `handoffStamps`, ms:
    // hand-off (the router), first phase, callback entry, callback end, and the one-second dump due.
    // What the hand-off applies on the audio thread, set by the first phase before it arms: B's
    // start position for the click, and the click and guide levels (-1: left as they are).
    std::atomic<double> handoffSeekSeconds { 0.0 };
    std::atomic<float> handoffClickGain { -1.0f }, handoffGuideGain { -1.0f };
    void runFirstOverlapPhase();
    void abortFirstOverlapPhase();
    void runThirdOverlapPhase();
    // Message thread: B's deferred click and cue timing staged on the metronome and the cue source.
    void stageDeferredSongTiming();
    // Starts B at `offset` in the block: its click and cue timing, levels, gate and transport.
    void handOffToSongB (int offset) noexcept;
    void silenceCountOverlays();
public:
    // One debug line of the transport, the music gain, the buses and the tracks with their gains.
    void dumpOverlapAudio (const juce::String& tag);

private:
    // Count stops against count-jump starts: every STOP_COUNT_IN moves the sequence first, and a
    // jump whose start saw it move ends itself on the audio thread (the stop may have run before the
    // jump's count was switched on).
    std::atomic<uint32_t> countStopSequence { 0 };
    void endCountJumpStartedDuringAStop() noexcept;
    // MIDI input delivery (AudioEngineMidiInput.cpp): the driver's threads queue the forwarded
    // messages; one posted drain at a time sends them, in order, on the message thread.
    struct MidiInputMessage
    {
        juce::String deviceId;
        int status = 0, data1 = 0, data2 = 0;
    };
    void drainMidiInput();
    std::mutex midiInputQueueLock;
    std::vector<MidiInputMessage> midiInputQueue; // under midiInputQueueLock
    bool midiInputDrainPosted = false;            // under midiInputQueueLock

    JUCE_DECLARE_NON_COPYABLE (AudioEngine)
};

// The 16 bus categories in their fixed order.
const juce::StringArray& busCategoryNames();
} // namespace quorvelle
