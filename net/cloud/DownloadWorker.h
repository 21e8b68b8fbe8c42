#pragma once

#include "net/cloud/CloudWorker.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <map>
#include <vector>

namespace quorvelle
{
enum class DownloadJobStatus
{
    Pending = 0,
    Started = 1,
    Downloading = 2,
    Done = 3,
    Failed = 4
};

// One requested file. Held in memory only.
struct DownloadJob
{
    juce::String jobId, audioFileId;
    juce::String kind = "audio", refKind = "stem";
    juce::String songId, trackId, padId, padFileId, indicationId;
    juce::String extension;
    juce::int64 expectedBytes = 0;
    DownloadJobStatus status = DownloadJobStatus::Pending;
    int progress = 0, attempts = 0;
    juce::String lastError;
    juce::int64 createdAt = 0, updatedAt = 0;
};

// Brings files of the cloud back end into the storage root: asks for a signed URL, fetches it
// into a temporary file beside the target and renames that over the target once the whole body
// arrived. Reports DOWNLOAD_PROGRESS and DOWNLOAD_COMPLETE through the sink, posted to the
// message thread. Retries after 2, 4, 8 and 16 s, up to 5 failures.
//
// Threads: the message thread configures, enqueues and destroys it; its own thread
// "CloudSyncDownloadWorker" does the rest. The destructor cancels a running transfer (which then
// reports nothing), so the thread ends well within 15000 ms.
class DownloadWorker final : public cloud::CloudWorker
{
public:
    using StorageRoot = std::function<juce::File()>;

    explicit DownloadWorker (StorageRoot storageRoot, cloud::Clock clock = cloud::systemClock());
    ~DownloadWorker() override;

    void enqueue (DownloadJob job);

    // The ids of `job` that become path components of its target, for its kind and refKind.
    static std::vector<juce::String> pathIdsOf (const DownloadJob& job);
    // The target below `root` for the job, by kind and refKind.
    static juce::File targetFor (const juce::File& root, const DownloadJob& job);

private:
    struct SignedUrl
    {
        juce::String url, mimeType;
    };

    bool processNextJob() override;
    bool takeNextJob (DownloadJob& job);
    void updateJob (const juce::String& jobId, DownloadJobStatus status, int progress, const juce::String& lastError);
    void processJob (DownloadJob job);
    void failJob (const DownloadJob& job, const juce::String& reason);
    bool requestSignedUrl (const DownloadJob& job, SignedUrl& result, juce::String& error);
    bool downloadToLibrary (const juce::String& url, const DownloadJob& job, juce::File& target, juce::String& error);
    void emitProgress (const DownloadJob& job, juce::int64 done, juce::int64 total);
    void emitComplete (const DownloadJob& job, const juce::String& localUrl, bool success, const juce::String& detail);

    const StorageRoot storageRoot;
    juce::CriticalSection jobLock;
    std::map<juce::String, DownloadJob> jobs;

    JUCE_DECLARE_NON_COPYABLE (DownloadWorker)
};
} // namespace quorvelle
