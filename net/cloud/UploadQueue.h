#pragma once

#include "net/cloud/CloudCommon.h"

#include <juce_core/juce_core.h>

#include <map>
#include <vector>

namespace quorvelle
{
enum class UploadJobStatus
{
    PENDING = 0,
    CLAIMING = 1,
    UPLOADING = 2,
    COMPLETING = 3,
    DONE = 4,
    FAILED = 5
};

const char* uploadJobStatusName (UploadJobStatus);

// One upload of one local file, as the queue file and GET_UPLOAD_QUEUE show it.
struct UploadJob
{
    juce::String jobId, audioFileId, contentHash, localPath;
    juce::int64 sizeBytes = 0;
    double sampleRate = 0.0;
    int channels = 0, bitDepth = 0;
    double duration = 0.0;
    juce::String workspaceId;
    juce::String kind = "audio", refKind = "stem";
    juce::String trackId, songId, padFileId, padId, mimeType;
    int imageWidth = 0, imageHeight = 0;
    UploadJobStatus status = UploadJobStatus::PENDING;
    int progress = 0, attempts = 0;
    juce::String lastError;
    juce::int64 createdAt = 0, updatedAt = 0;

    // The object of the queue file: 26 keys in field order, "localPathB64" after "localPath",
    // the status by name.
    juce::var toVar() const;
    // Reads one object of the queue file; anything but an object gives a default job.
    static UploadJob fromVar (const juce::var& value);
};

// The persistent list of uploads, kept in one JSON file (normally storage root /
// "upload-queue.json"). Every change rewrites the whole file through a sibling file that is
// written in full and checked before it is renamed over the queue file.
//
// Threads: any. One re-entrant lock serialises every operation, the file write included; lists
// are returned as copies, oldest first (by createdAt, then jobId).
class UploadQueue final
{
public:
    // Loads the file and sweeps DONE jobs older than three days.
    explicit UploadQueue (juce::File queueFile, cloud::Clock clock = cloud::systemClock());

    // Replaces the file path; no load, no save. The next save writes every job there.
    void setFilePath (const juce::File& newFile);
    juce::File getFilePath() const;

    void enqueue (UploadJob job);
    // progress < 0 keeps it, above 100 stores 100; an empty lastError keeps it; FAILED adds an
    // attempt. False when there is no such job.
    bool updateStatus (const juce::String& jobId, UploadJobStatus status, int progress, const juce::String& lastError);
    bool setRemoteFileId (const juce::String& jobId, const juce::String& serverId);
    int sweepDoneJobs();

    std::vector<UploadJob> snapshot() const;
    std::vector<UploadJob> jobsWithStatus (UploadJobStatus status) const;
    // A copy of one job; false when the queue no longer has it.
    bool find (const juce::String& jobId, UploadJob& out) const;

    static constexpr juce::int64 doneRetentionMs = 259'200'000;

private:
    void load();
    void save();
    void keepCorruptCopy();
    std::vector<UploadJob> ordered() const;

    const cloud::Clock clock;
    mutable juce::CriticalSection lock;
    juce::File file;
    std::map<juce::String, UploadJob> jobs;

    JUCE_DECLARE_NON_COPYABLE (UploadQueue)
};
} // namespace quorvelle
