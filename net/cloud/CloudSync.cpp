#include "net/cloud/CloudSync.h"

namespace quorvelle
{
namespace
{
// A worker thread that sleeps until it is woken or told to exit.
class IdleThread : public juce::Thread
{
public:
    using juce::Thread::Thread;
    void run() override
    {
        while (! threadShouldExit())
            wait (-1);
    }
    void stopWithin (int timeoutMs)
    {
        signalThreadShouldExit();
        notify();
        stopThread (timeoutMs);
    }
};
} // namespace

//==============================================================================
juce::var UploadJob::toVar (const UploadJob& job)
{
    auto* o = new juce::DynamicObject();
    juce::var v (o);
    o->setProperty ("jobId", job.jobId);
    o->setProperty ("audioFileId", job.audioFileId);
    o->setProperty ("contentHash", job.contentHash);
    o->setProperty ("localPath", job.localPath);
    o->setProperty ("localPathB64", juce::Base64::toBase64 (job.localPath.toRawUTF8(), job.localPath.getNumBytesAsUTF8()));
    o->setProperty ("sizeBytes", job.sizeBytes);
    o->setProperty ("sampleRate", job.sampleRate);
    o->setProperty ("channels", job.channels);
    o->setProperty ("bitDepth", job.bitDepth);
    o->setProperty ("duration", job.duration);
    o->setProperty ("workspaceId", job.workspaceId);
    o->setProperty ("kind", job.kind);
    o->setProperty ("refKind", job.refKind);
    o->setProperty ("trackId", job.trackId);
    o->setProperty ("songId", job.songId);
    o->setProperty ("padFileId", job.padFileId);
    o->setProperty ("padId", job.padId);
    o->setProperty ("mimeType", job.mimeType);
    o->setProperty ("imageWidth", job.imageWidth);
    o->setProperty ("imageHeight", job.imageHeight);
    o->setProperty ("status", job.status);
    o->setProperty ("createdAtMs", job.createdAtMs);
    o->setProperty ("updatedAtMs", job.updatedAtMs);
    return v;
}

//==============================================================================
UploadQueue::UploadQueue (juce::File queueFile) : file (std::move (queueFile)) {}
UploadQueue::~UploadQueue() = default;

void UploadQueue::enqueue (UploadJob job)
{
    const juce::ScopedLock sl (lock);
    if (job.jobId.isEmpty())
        job.jobId = juce::Uuid().toDashedString();
    const auto now = juce::Time::currentTimeMillis();
    if (job.createdAtMs == 0)
        job.createdAtMs = now;
    job.updatedAtMs = now;

    for (auto& existing : jobs)
    {
        if (existing.jobId == job.jobId)
        {
            existing = std::move (job);
            return;
        }
    }
    jobs.push_back (std::move (job));
}

void UploadQueue::setFilePath (const juce::File& newFile)
{
    const juce::ScopedLock sl (lock);
    file = newFile;
}

std::vector<UploadJob> UploadQueue::snapshot() const
{
    const juce::ScopedLock sl (lock);
    return jobs;
}

juce::File UploadQueue::getFilePath() const
{
    const juce::ScopedLock sl (lock);
    return file;
}

//==============================================================================
class UploadWorker::Worker final : public IdleThread
{
public:
    Worker() : IdleThread ("UploadWorker") {}
};

UploadWorker::UploadWorker (UploadQueue* q) : queue (q), worker (std::make_unique<Worker>()) {}

UploadWorker::~UploadWorker()
{
    worker->stopWithin (15000);
}

void UploadWorker::setConfig (const juce::String& url, const juce::String& key, const juce::String& token, const juce::String& workspace)
{
    {
        const juce::ScopedLock sl (configLock);
        baseUrl = url;
        apiKey = key;
        authToken = token;
        workspaceId = workspace;
    }
    if (url.isNotEmpty() && token.isNotEmpty() && ! worker->isThreadRunning())
        worker->startThread();
    wake();
}

void UploadWorker::wake()
{
    worker->notify();
}

//==============================================================================
class DownloadWorker::Worker final : public IdleThread
{
public:
    Worker() : IdleThread ("DownloadWorker") {}
};

DownloadWorker::DownloadWorker() : worker (std::make_unique<Worker>()) {}

DownloadWorker::~DownloadWorker()
{
    worker->stopWithin (15000);
}

void DownloadWorker::enqueue (DownloadJob job)
{
    const juce::ScopedLock sl (lock);
    if (job.jobId.isEmpty())
        job.jobId = juce::Uuid().toDashedString();
    const auto now = juce::Time::currentTimeMillis();
    job.createdAtMs = now;
    job.updatedAtMs = now;
    job.status = "pending";
    jobs[job.jobId] = std::move (job);
    worker->notify();
}

void DownloadWorker::setConfig (const juce::String& url, const juce::String& key, const juce::String& token)
{
    const juce::ScopedLock sl (lock);
    baseUrl = url;
    apiKey = key;
    authToken = token;
}

//==============================================================================
class OAuthLoopbackServer::Listener final : public IdleThread
{
public:
    Listener() : IdleThread ("OAuthLoopback") {}
};

OAuthLoopbackServer::OAuthLoopbackServer() : listener (std::make_unique<Listener>()) {}

OAuthLoopbackServer::~OAuthLoopbackServer()
{
    listener->stopWithin (2000);
}

bool OAuthLoopbackServer::start (Callback cb)
{
    listener->stopWithin (2000);
    callback = std::move (cb);
    // The loopback listener comes with the sign-in flow; until then no port is taken.
    juce::Logger::writeToLog ("[OAuth] loopback listener not available in this build");
    return false;
}

juce::String OAuthLoopbackServer::getRedirectUri() const
{
    return "http://127.0.0.1:" + juce::String (port);
}

void OAuthLoopbackServer::postCallback (const juce::String& target)
{
    if (! callback)
        return;
    juce::MessageManager::callAsync ([cb = callback, url = getRedirectUri() + target] { cb (url); });
}
} // namespace quorvelle
