#pragma once

#include "net/cloud/CloudWorker.h"
#include "net/cloud/UploadQueue.h"

#include <juce_core/juce_core.h>

namespace quorvelle
{
// Sends the queue's jobs to the cloud back end, one at a time: a claim by content hash, the
// upload of the file's bytes, and a completion call, with retries after 2, 4, 8 and 16 s.
// Reports UPLOAD_PROGRESS and UPLOAD_COMPLETE through the sink, posted to the message thread.
//
// Threads: the message thread configures, wakes and destroys it; its own thread
// "CloudSyncUploadWorker" (started by the first configuration with a base URL and a token) does
// the rest. The destructor cancels a running transfer, so the thread ends well within 15000 ms;
// the job it cut short goes back to PENDING.
class UploadWorker final : public cloud::CloudWorker
{
public:
    explicit UploadWorker (UploadQueue* queue, cloud::Clock clock = cloud::systemClock());
    ~UploadWorker() override;

    // Larger files are refused: JUCE writes a request body's length as an int.
    static constexpr juce::int64 maxUploadBytes = 0x7fffffff;

private:
    struct ClaimResult
    {
        juce::String serverId, uploadStatus;
    };

    bool processNextJob() override;
    bool takeNextJob (UploadJob& job);
    void processJob (UploadJob job);
    void failJob (const UploadJob& job, const juce::String& reason);
    bool claimFile (const UploadJob& job, ClaimResult& result, juce::String& error);
    bool uploadFile (const UploadJob& job, const juce::String& serverId, juce::String& error);
    bool completeUpload (const UploadJob& job, const juce::String& serverId, juce::String& error);
    void emitProgress (const UploadJob& job, juce::int64 done, juce::int64 total);
    void emitComplete (const UploadJob& job, const juce::String& serverId, bool success, const juce::String& detail);

    UploadQueue* const queue;

    JUCE_DECLARE_NON_COPYABLE (UploadWorker)
};
} // namespace quorvelle
