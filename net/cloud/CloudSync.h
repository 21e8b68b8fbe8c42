#pragma once

#include "platform/EventSink.h"

#include <juce_core/juce_core.h>
#include <juce_events/juce_events.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace quorvelle
{
// One queued upload.
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
    juce::String status = "pending";
    juce::int64 createdAtMs = 0, updatedAtMs = 0;

    // The job with all its fields, "localPathB64" beside "localPath", and the status by name.
    static juce::var toVar (const UploadJob& job);
};

// One queued download.
struct DownloadJob
{
    juce::String jobId, audioFileId;
    juce::String kind = "audio", refKind = "stem";
    juce::String songId, trackId, padId, padFileId, indicationId;
    juce::int64 expectedBytes = 0;
    juce::String status = "pending";
    int progress = 0, attempts = 0;
    juce::int64 createdAtMs = 0, updatedAtMs = 0;
};

// The persistent queue of uploads, kept in "upload-queue.json" in the storage root.
class UploadQueue
{
public:
    explicit UploadQueue (juce::File queueFile);
    ~UploadQueue();

    void enqueue (UploadJob job);
    void setFilePath (const juce::File& file);
    std::vector<UploadJob> snapshot() const;
    juce::File getFilePath() const;

private:
    mutable juce::CriticalSection lock;
    juce::File file;
    std::vector<UploadJob> jobs;
};

// Uploads queued jobs to the cloud back end. Its thread starts once the URL and the token are set.
class UploadWorker
{
public:
    explicit UploadWorker (UploadQueue* queue);
    ~UploadWorker(); // signals the thread, wakes it and stops it within 15000 ms

    // Set once by the owner; called from the worker's thread.
    EventSink eventSink;

    void setConfig (const juce::String& baseUrl, const juce::String& apiKey, const juce::String& authToken, const juce::String& workspaceId);
    void wake();

private:
    class Worker;

    UploadQueue* const queue;
    juce::CriticalSection configLock;
    juce::String baseUrl, apiKey, authToken, workspaceId;
    std::unique_ptr<Worker> worker;
};

// Downloads files from the cloud back end. Its thread is not started by the constructor.
class DownloadWorker
{
public:
    DownloadWorker();
    ~DownloadWorker(); // signals the thread, wakes it and stops it within 15000 ms

    // Set once by the owner; called from the worker's thread.
    EventSink eventSink;

    void enqueue (DownloadJob job);
    void setConfig (const juce::String& baseUrl, const juce::String& apiKey, const juce::String& authToken);

private:
    class Worker;

    juce::CriticalSection lock;
    juce::String baseUrl, apiKey, authToken;
    std::map<juce::String, DownloadJob> jobs;
    std::unique_ptr<Worker> worker;
};

// Receives the browser's sign-in redirect on a loopback port. Nothing listens until started.
class OAuthLoopbackServer
{
public:
    using Callback = std::function<void (const juce::String& redirectUrl)>;

    OAuthLoopbackServer();
    ~OAuthLoopbackServer(); // stops the listener within 2000 ms

    // Listens on the first free port of the fixed list; false when none is free.
    bool start (Callback callback);
    juce::String getRedirectUri() const;

private:
    class Listener;

    void postCallback (const juce::String& target);

    Callback callback;
    int port = 0;
    std::unique_ptr<Listener> listener;
};
} // namespace quorvelle
