#pragma once

#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>
#include <vector>

namespace quorvelle
{
// One imported file waiting to become a 44,100 Hz 16-bit FLAC file below the storage root.
struct TranscodeJob
{
    juce::String id;
    juce::String trackId;
    juce::String subfolder;      // "/" or "\" separated, below the storage root
    juce::String filename;       // the imported file's name with its extension
    juce::MemoryBlock rawData;   // decoded bytes of a Base64 job
    juce::String base64;         // the Base64 text of a Base64 job; emptied once decoded
    juce::String sourcePath;     // the source file of a path job; empty for Base64 jobs
    bool deleteSourceAfter = false;
};

// What the transcoder reports about a written file; numbers are 0 where the file gives none.
struct AudioFileInfo
{
    juce::String contentHash; // SHA-256, 64 lower-case hex digits; empty when unreadable
    juce::int64 sizeBytes = 0;
    double sampleRate = 0.0;
    int channels = 0;
    int bitDepth = 0;
    double duration = 0.0;
};

// Size, hash and audio format of a file; nothing for a path that names no file.
AudioFileInfo describeAudioFile (const juce::File& file, juce::AudioFormatManager& formats);

// The import queue ("TranscoderDispatcher"): swaps the queue into a batch and converts it on
// max(1, hardware threads - 1) workers, the dispatcher among them. Every job reports
// TRANSCODE_PROGRESS and ends with one TRANSCODE_COMPLETE: a FLAC file, a raw copy of the
// imported bytes when it cannot be decoded or written, or a cancellation. Targets are replaced
// only by complete, verified files (the checked write); a failure leaves an earlier file as it was.
//
// Threads: `enqueue` and `cancelAll` on the message thread; the dispatcher and its workers on
// their own. Events are built on the workers and handed to `sink`, which must be callable from
// any thread. Owns: the queue (under a spin lock) and its threads; the destructor stops them
// within 5000 ms, dropping queued jobs without events.
class TranscoderThread final : public juce::Thread
{
public:
    using Sink = std::function<void (const juce::var& event)>;

    // `formats` and the callables outlive the thread.
    TranscoderThread (juce::AudioFormatManager& formats, std::function<juce::File()> storageRoot, Sink sink);
    ~TranscoderThread() override;

    void enqueue (TranscodeJob job);
    // Takes every queued job out and reports each "Cancelled"; running jobs stop at their next
    // step. Jobs taken before the dispatcher next finds the queue empty are cancelled too.
    void cancelAll();

    // Base64 text and raw bytes of the batch in work.
    juce::int64 getPendingBytes() const { return pendingBytes.load(); }

    void run() override;

private:
    void transcodeWorker();
    void transcode (TranscodeJob& job);
    void saveRawFallback (TranscodeJob& job, const juce::String& reason);
    juce::File resolveTargetFolder (const TranscodeJob& job);
    bool stopRequested() const;
    void reportCancelled (const TranscodeJob& job);
    void sendProgress (const TranscodeJob& job, int progress, const juce::String& message);
    void sendComplete (const TranscodeJob& job, const juce::String& path, bool transcoded, const juce::String& outputFormat,
                       const juce::String& error, const AudioFileInfo& info);

    juce::AudioFormatManager& formats;
    const std::function<juce::File()> storageRoot;
    const Sink sink;

    juce::SpinLock queueLock;
    std::vector<TranscodeJob> queue;
    std::atomic<bool> cancelRequested { false };
    std::atomic<juce::int64> pendingBytes { 0 };
    juce::CriticalSection folderLock;
    juce::WaitableEvent wake;

    std::vector<TranscodeJob> batch;  // the dispatcher's; workers touch only their own element
    std::atomic<size_t> nextIndex { 0 };

    JUCE_DECLARE_NON_COPYABLE (TranscoderThread)
};
} // namespace quorvelle
