// Offline time-stretch and key change of whole stems: the render of one buffer, and the processor
// thread that renders every stem of a song on a pool of workers, through the stretch cache.
//
// Threads: `renderOfflineStretch` runs on any thread. The processor's requests (`startJob`,
// `cancelAndWait`) come from the message thread; its thread and workers call the callbacks given
// at construction, which must post to the message thread themselves.
#pragma once

#include "audio/loading/MemoryAdmission.h"
#include "audio/loading/StemSamples.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quorvelle
{
// The range the stretcher guarantees: finite values, ratio 0.5..2 and |semitones| <= 12.
bool isValidStretchRequest (double ratio, double semitones);

// Length of a stem of `length` samples played at `ratio`: ceil(length / ratio).
juce::int64 stretchedLength (juce::int64 length, double ratio);

// Bytes one stem takes as float samples: max(channels, 1) × samples × 4.
juce::int64 stretchTrackBytes (int channels, juce::int64 samples);

// The memory admission of a stretch job over stems of `trackBytes`: the workers wanted are
// min(tracks, hardware threads − 1) (at least 1), the stretched audio counted at 1 / `ratio` of
// the song's length, `availableBytes` −1 when unknown.
struct StretchJobAdmission
{
    MemoryAdmission admission;
    int wantedWorkers = 1;
};
StretchJobAdmission admitStretchJobOver (const std::vector<juce::int64>& trackBytes, double ratio, int hardwareThreads, juce::int64 availableBytes);

struct OfflineStretchSettings
{
    double ratio = 1.0;       // playback speed: > 1 is faster and shorter
    float semitones = 0.0f;   // key offset; |semitones| <= 0.001 is no transposition
    double sampleRate = 44100.0;
    int blockSamples = 32768; // input samples per stretcher call (and between stop checks)
    juce::int64 outputLength = 0; // samples of the result; 0: stretchedLength(len, ratio)
};

// What a render reports for its log line.
struct OfflineStretchReport
{
    int inputLatency = 0, outputLatency = 0;
};

// Renders `source` (every channel) at the settings' ratio and key with the offline engine: primed
// with the stretcher's input latency, processed in blocks, flushed, and trimmed by the latency, so
// that the result has exactly the settings' output length (by default stretchedLength(len, ratio))
// and its sample 0 is the source's sample 0. `progress` receives the fraction of the input used; `shouldStop` is asked before each
// block and ends the render with no result. A source without samples or channels gives no result.
std::optional<juce::AudioBuffer<float>> renderOfflineStretch (const juce::AudioBuffer<float>& source, const OfflineStretchSettings& settings,
                                                              const std::function<bool()>& shouldStop = {},
                                                              const std::function<void (double)>& progress = {},
                                                              OfflineStretchReport* report = nullptr);

// Renders every stem of a song, one job at a time, on the thread "OfflineStretch" and workers of
// its own. A job that arrives while another runs waits; a newer one replaces a waiting one. The
// thread ends after an idle period and the next job starts it again.
class OfflineStretchProcessor final : public juce::Thread
{
public:
    // One stem of a job, built on the message thread when the job starts; the workers read only it.
    struct TrackInput
    {
        juce::String trackId;
        bool skipTranspose = false;
        // The samples that play while they are still the unstretched stem (float or 16-bit).
        std::shared_ptr<StemSamples> samples;
        bool samplesAreOriginal = false;
        // Reads the unstretched stem again (from its file) when the samples are not it; may be empty.
        std::function<std::unique_ptr<juce::AudioBuffer<float>>()> reloadOriginal;
        juce::int64 weight = 1;
        juce::int64 bytes = 0; // the stem as float samples, for the memory admission
    };

    struct Job
    {
        juce::String songId;
        double ratio = 1.0;
        float semitones = 0.0f;
        int ticket = 0;
        double sampleRate = 44100.0;
        juce::File storageRoot; // the cache's root; empty: no cache
        std::vector<TrackInput> tracks;
    };

    // A finished job: one output per track (null when the track has none).
    struct Result
    {
        Job job;
        std::vector<std::unique_ptr<juce::AudioBuffer<float>>> outputs;
    };

    struct Callbacks
    {
        std::function<void (const juce::String&)> log;
        // (song id, tracks done, total tracks, percent)
        std::function<void (const juce::String&, int, int, int)> progress;
        // Called on the processor's thread with a job that ran to its end.
        std::function<void (std::shared_ptr<Result>)> finished;
        // Free physical memory in bytes, -1 when unknown (also when empty).
        std::function<juce::int64()> availableMemory;
    };

    explicit OfflineStretchProcessor (Callbacks callbacks);
    ~OfflineStretchProcessor() override;

    // Stores `job` as the waiting one (replacing a waiting job) and wakes or starts the thread.
    void startJob (Job job);
    // Drops a waiting job, stops the running one (within one block) and waits for the thread.
    void cancelAndWait();
    // Waits for the thread to end (it ends when asked to exit or when idle). Interruptible: no kill.
    void waitForExit();

    // The hardware-thread count the worker pool is sized by (the seam's, else the machine's).
    int getHardwareThreads() const;

    // Seams: the hardware-thread count (0: the machine's), the idle period, and hooks a test uses to
    // hold a worker before a track and the thread at its decision to end.
    int hardwareThreads = 0;
    int idleTimeoutMs = 5000;
    std::function<void (const juce::String& trackId)> beforeTrackHook;
    std::function<void()> exitDecisionHook;

    void run() override;

private:
    struct RunState;
    void runJob (Job job);
    void stretchWorker (RunState& state);
    std::unique_ptr<juce::AudioBuffer<float>> stretchTrack (RunState& state, const TrackInput& input, bool& failed,
                                                            const std::function<void (double)>& progress);
    void reportProgress (RunState& state, bool force);
    void log (const juce::String& line) const;

    Callbacks callbacks;
    juce::SpinLock pendingLock;
    Job pendingJob;
    bool hasPendingJob = false;
    bool exiting = true; // the thread has decided to end (or never started); under pendingLock
};
} // namespace quorvelle
