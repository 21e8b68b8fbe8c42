// The mix export's render thread and the engine state it takes over. Included by the engine's
// own files only.
#pragma once

#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
// What the message thread saved when it took the engine over for an export, and the render's
// result, which the message thread reports after the give-back.
struct AudioEngine::ExportTakeover
{
    int job = 0;
    bool exportRendering = false, playbackGate = false, splitMonitor = false;
    double transportSeconds = 0.0;
    double loopStart = 0.0, loopEnd = 0.0;
    bool loopActive = false;
    bool deviceWasOpen = false;
    double rate = 44100.0;
    int block = 512;
    int latency = 0; // samples at the render rate that everything lags while live stretch is on
};

// "ExportMix": renders one job through the engine's graph while the device is closed, writes it
// to a temporary file beside the output path and renames it over the path only when the file is
// complete. Touches no device and no engine flag the message thread restores; reports progress
// through posted events and its end by posting `AudioEngine::finishExport`.
// Threads: `startJob` on the message thread; `run` on its own thread; the result is read by the
// message thread after the thread has ended.
class AudioEngine::OfflineMixRenderer final : public juce::Thread
{
public:
    enum class Outcome
    {
        completed,
        cancelled,
        failed
    };

    explicit OfflineMixRenderer (AudioEngine& owner);
    ~OfflineMixRenderer() override;

    // False when a job waits or renders. Otherwise stores the job, clears the cancel flag and
    // starts the thread.
    bool startJob (ExportJob job, const ExportTakeover& format);
    void run() override;

    std::atomic<bool> cancelRequested { false };
    Outcome getOutcome() const { return outcome; }
    juce::String getErrorText() const { return errorText; }
    juce::String getOutputPath() const { return outputPath; }

    class Writer;

private:
    void render (const ExportJob& job);
    void renderPrelude (const ExportJob::Prelude& prelude);
    void renderSpan (double start, double end, const juce::String& nextSectionName);
    // Renders `samples` more samples plus the latency, whose first samples are dropped.
    void renderAndWrite (int64_t samples, const std::function<bool()>& more);
    bool shouldStop() const { return cancelRequested.load() || threadShouldExit(); }
    void reportProgress (bool force);

    AudioEngine& engine;
    juce::SpinLock slotLock;
    ExportJob slot;
    bool jobPending = false;

    // The render's own state (render thread while it runs).
    ExportTakeover format;
    std::unique_ptr<Writer> writer;
    juce::AudioBuffer<float> work;
    int64_t renderedTotal = 0, lastReported = 0, total = 0, maxSamples = 0, progressInterval = 0;
    double ratio = 1.0, delay = 0.0;
    Outcome outcome = Outcome::completed;
    juce::String errorText, outputPath;
};
} // namespace quorvelle
