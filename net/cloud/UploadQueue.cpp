#include "net/cloud/UploadQueue.h"

#include "platform/CheckedWrite.h"

#include <algorithm>

namespace quorvelle
{
namespace
{
constexpr const char* statusNames[] = { "PENDING", "CLAIMING", "UPLOADING", "COMPLETING", "DONE", "FAILED" };

UploadJobStatus statusFromName (const juce::String& name)
{
    for (int i = 1; i < (int) std::size (statusNames); ++i)
        if (name == statusNames[i])
            return (UploadJobStatus) i;
    return UploadJobStatus::PENDING;
}

bool isInFlight (UploadJobStatus status)
{
    return status == UploadJobStatus::CLAIMING || status == UploadJobStatus::UPLOADING || status == UploadJobStatus::COMPLETING;
}
} // namespace

const char* uploadJobStatusName (UploadJobStatus status)
{
    const auto index = (int) status;
    return index >= 0 && index < (int) std::size (statusNames) ? statusNames[index] : statusNames[0];
}

//==============================================================================
juce::var UploadJob::toVar() const
{
    auto* o = new juce::DynamicObject();
    juce::var v (o);
    o->setProperty ("jobId", jobId);
    o->setProperty ("audioFileId", audioFileId);
    o->setProperty ("contentHash", contentHash);
    o->setProperty ("localPath", localPath);
    o->setProperty ("localPathB64", cloud::base64OfUtf8 (localPath));
    o->setProperty ("sizeBytes", sizeBytes);
    o->setProperty ("sampleRate", sampleRate);
    o->setProperty ("channels", channels);
    o->setProperty ("bitDepth", bitDepth);
    o->setProperty ("duration", duration);
    o->setProperty ("workspaceId", workspaceId);
    o->setProperty ("kind", kind);
    o->setProperty ("refKind", refKind);
    o->setProperty ("trackId", trackId);
    o->setProperty ("songId", songId);
    o->setProperty ("padFileId", padFileId);
    o->setProperty ("padId", padId);
    o->setProperty ("mimeType", mimeType);
    o->setProperty ("imageWidth", imageWidth);
    o->setProperty ("imageHeight", imageHeight);
    o->setProperty ("status", uploadJobStatusName (status));
    o->setProperty ("progress", progress);
    o->setProperty ("attempts", attempts);
    o->setProperty ("lastError", lastError);
    o->setProperty ("createdAt", createdAt);
    o->setProperty ("updatedAt", updatedAt);
    return v;
}

UploadJob UploadJob::fromVar (const juce::var& value)
{
    UploadJob job;
    if (value.getDynamicObject() == nullptr)
        return job;

    const auto text = [&value] (const char* key) { return value.getProperty (key, {}).toString(); };
    const auto int32 = [&value] (const char* key) { return (int) value.getProperty (key, 0); };

    job.jobId = text ("jobId");
    job.audioFileId = text ("audioFileId");
    job.contentHash = text ("contentHash");
    job.localPath = text ("localPath");
    job.sizeBytes = (juce::int64) value.getProperty ("sizeBytes", 0);
    job.sampleRate = (double) value.getProperty ("sampleRate", 0.0);
    job.channels = int32 ("channels");
    job.bitDepth = int32 ("bitDepth");
    job.duration = (double) value.getProperty ("duration", 0.0);
    job.workspaceId = text ("workspaceId");
    job.kind = text ("kind");
    if (job.kind.isEmpty())
        job.kind = "audio";
    job.refKind = text ("refKind");
    if (job.refKind.isEmpty())
        job.refKind = "stem";
    job.trackId = text ("trackId");
    job.songId = text ("songId");
    job.padFileId = text ("padFileId");
    job.padId = text ("padId");
    job.mimeType = text ("mimeType");
    job.imageWidth = int32 ("imageWidth");
    job.imageHeight = int32 ("imageHeight");
    job.status = statusFromName (text ("status"));
    job.progress = int32 ("progress");
    job.attempts = int32 ("attempts");
    job.lastError = text ("lastError");
    job.createdAt = (juce::int64) value.getProperty ("createdAt", 0);
    job.updatedAt = (juce::int64) value.getProperty ("updatedAt", 0);
    return job;
}

//==============================================================================
UploadQueue::UploadQueue (juce::File queueFile, cloud::Clock c) : clock (std::move (c)), file (std::move (queueFile))
{
    load();
    if (const auto removed = sweepDoneJobs(); removed > 0)
        juce::Logger::writeToLog ("[UploadQueue] Boot sweep: removed " + juce::String (removed) + " DONE job(s) >3d old");
}

void UploadQueue::setFilePath (const juce::File& newFile)
{
    const juce::ScopedLock sl (lock);
    file = newFile;
}

juce::File UploadQueue::getFilePath() const
{
    const juce::ScopedLock sl (lock);
    return file;
}

void UploadQueue::load()
{
    const juce::ScopedLock sl (lock);
    jobs.clear();

    if (file == juce::File() || ! file.existsAsFile())
        return;

    const auto text = file.loadFileAsString();
    if (text.isEmpty())
        return;

    const auto parsed = juce::JSON::parse (text);
    if (! parsed.isArray())
    {
        juce::Logger::writeToLog ("[UploadQueue] Corrupted queue file (not array), starting fresh: " + file.getFullPathName());
        keepCorruptCopy();
        return;
    }

    for (const auto& element : *parsed.getArray())
    {
        auto job = UploadJob::fromVar (element);
        if (job.jobId.isNotEmpty())
            jobs[job.jobId] = std::move (job);
    }

    // A job saved mid-way (the program ended during its upload) is taken up again from the start.
    for (auto& [id, job] : jobs)
    {
        if (isInFlight (job.status))
        {
            juce::Logger::writeToLog ("[UploadQueue] " + id + " was " + uploadJobStatusName (job.status) + " when the queue was saved; back to PENDING");
            job.status = UploadJobStatus::PENDING;
        }
    }

    juce::Logger::writeToLog ("[UploadQueue] Loaded " + juce::String ((int) jobs.size()) + " jobs from " + file.getFullPathName());
}

// The next save replaces the unreadable file: keep its bytes beside it first.
void UploadQueue::keepCorruptCopy()
{
    const auto copy = file.getSiblingFile ("upload-queue.corrupt-" + juce::String (clock()) + ".json");
    juce::MemoryBlock bytes;
    juce::String error;
    if (file.loadFileAsData (bytes) && platform::replaceFileWithData (copy, bytes.getData(), bytes.getSize(), &error))
        juce::Logger::writeToLog ("[UploadQueue] Corrupted queue file kept as " + copy.getFullPathName());
    else
        juce::Logger::writeToLog ("[UploadQueue] Could not keep a copy of the corrupted queue file at " + copy.getFullPathName() + ": " + error);
}

std::vector<UploadJob> UploadQueue::ordered() const
{
    std::vector<UploadJob> list;
    list.reserve (jobs.size());
    for (const auto& [id, job] : jobs)
        list.push_back (job);
    std::stable_sort (list.begin(), list.end(), [] (const UploadJob& a, const UploadJob& b) { return a.createdAt < b.createdAt; });
    return list;
}

void UploadQueue::save()
{
    const juce::ScopedLock sl (lock);

    juce::Array<juce::var> array;
    array.ensureStorageAllocated ((int) jobs.size());
    for (const auto& job : ordered())
        array.add (job.toVar());
    const auto text = juce::JSON::toString (juce::var (array), false);

    const auto folder = file.getParentDirectory();
    if (! folder.isDirectory())
        folder.createDirectory();

    const auto stem = file.getFileNameWithoutExtension() + ".tmp";
    auto sibling = file.getSiblingFile (stem + ".json");
    for (int n = 2; sibling.exists(); ++n)
        sibling = file.getSiblingFile (stem + juce::String (n) + ".json");

    if (! platform::replaceFileWithText (sibling, text))
    {
        juce::Logger::writeToLog ("[UploadQueue] Failed to write tmp file " + sibling.getFullPathName());
        return;
    }

    if (! platform::moveFileReplacing (sibling, file))
    {
        juce::Logger::writeToLog ("[UploadQueue] Failed to rename tmp to " + file.getFullPathName());
        sibling.deleteFile();
    }
}

void UploadQueue::enqueue (UploadJob job)
{
    cloud::stampNewJob (job, clock());

    const juce::ScopedLock sl (lock);
    jobs[job.jobId] = std::move (job);
    save();
}

bool UploadQueue::updateStatus (const juce::String& jobId, UploadJobStatus status, int progress, const juce::String& lastError)
{
    bool turnedDone = false;
    {
        const juce::ScopedLock sl (lock);
        const auto it = jobs.find (jobId);
        if (it == jobs.end())
            return false;

        auto& job = it->second;
        turnedDone = status == UploadJobStatus::DONE && job.status != UploadJobStatus::DONE;
        cloud::applyStatusUpdate (job, status, progress, lastError, UploadJobStatus::FAILED, clock());
        save();
    }

    if (turnedDone)
        sweepDoneJobs();
    return true;
}

bool UploadQueue::setRemoteFileId (const juce::String& jobId, const juce::String& serverId)
{
    const juce::ScopedLock sl (lock);
    const auto it = jobs.find (jobId);
    if (it == jobs.end())
        return false;
    it->second.audioFileId = serverId;
    it->second.updatedAt = clock();
    save();
    return true;
}

int UploadQueue::sweepDoneJobs()
{
    const auto now = clock();
    const juce::ScopedLock sl (lock);
    int removed = 0;
    for (auto it = jobs.begin(); it != jobs.end();)
    {
        if (it->second.status == UploadJobStatus::DONE && it->second.updatedAt < now - doneRetentionMs)
        {
            it = jobs.erase (it);
            ++removed;
        }
        else
        {
            ++it;
        }
    }
    if (removed > 0)
        save();
    return removed;
}

std::vector<UploadJob> UploadQueue::snapshot() const
{
    const juce::ScopedLock sl (lock);
    return ordered();
}

std::vector<UploadJob> UploadQueue::jobsWithStatus (UploadJobStatus status) const
{
    const juce::ScopedLock sl (lock);
    auto list = ordered();
    list.erase (std::remove_if (list.begin(), list.end(), [status] (const UploadJob& job) { return job.status != status; }), list.end());
    return list;
}

bool UploadQueue::find (const juce::String& jobId, UploadJob& out) const
{
    const juce::ScopedLock sl (lock);
    const auto it = jobs.find (jobId);
    if (it == jobs.end())
        return false;
    out = it->second;
    return true;
}
} // namespace quorvelle
