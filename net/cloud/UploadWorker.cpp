#include "net/cloud/UploadWorker.h"

#include <new>

namespace quorvelle
{
using namespace cloud;

namespace
{
// The whole file in one block sized up front (`File::loadFileAsData` grows its block as it reads,
// copying it again and again). False when it cannot be opened or does not read back whole.
bool readWholeFile (const juce::File& file, juce::MemoryBlock& bytes)
{
    juce::FileInputStream in (file);
    if (! in.openedOk())
        return false;
    const auto size = in.getTotalLength();
    try
    {
        bytes.setSize ((size_t) juce::jmax<juce::int64> (0, size));
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    juce::int64 done = 0;
    while (done < size)
    {
        const auto got = in.read (static_cast<char*> (bytes.getData()) + done, (int) juce::jmin<juce::int64> (size - done, 1 << 30));
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}
} // namespace

UploadWorker::UploadWorker (UploadQueue* q, Clock c) : CloudWorker ("CloudSyncUploadWorker", "[UploadWorker]", std::move (c)), queue (q) {}

UploadWorker::~UploadWorker()
{
    stopWorker();
}

bool UploadWorker::processNextJob()
{
    UploadJob job;
    if (! takeNextJob (job))
        return false;
    processJob (job);
    return true;
}

bool UploadWorker::takeNextJob (UploadJob& job)
{
    const auto pending = queue->jobsWithStatus (UploadJobStatus::PENDING);
    if (! pending.empty())
    {
        job = pending.front();
        return true;
    }

    const auto now = clock();
    for (const auto& failed : queue->jobsWithStatus (UploadJobStatus::FAILED))
    {
        if (isRetryDue (failed.attempts, failed.updatedAt, now))
        {
            job = failed;
            return true;
        }
    }
    return false;
}

void UploadWorker::processJob (UploadJob job)
{
    juce::Logger::writeToLog ("[UploadWorker] processing " + job.jobId + " (kind=" + job.kind + ", refKind=" + job.refKind
                              + ", attempt=" + juce::String (job.attempts + 1) + ")");
    queue->updateStatus (job.jobId, UploadJobStatus::CLAIMING, -1, {});

    // A step that fails because the owner is shutting down is no failure of the job: it goes
    // back to PENDING, attempts unchanged, and is taken up at the next start.
    const auto stepFailed = [this, &job] (const juce::String& reason)
    {
        if (threadShouldExit())
        {
            queue->updateStatus (job.jobId, UploadJobStatus::PENDING, -1, {});
            juce::Logger::writeToLog ("[UploadWorker] " + job.jobId + " interrupted by shutdown; back to PENDING");
            return;
        }
        failJob (job, reason);
    };

    ClaimResult claim;
    juce::String error;
    if (! claimFile (job, claim, error))
        return stepFailed ("claim_failed: " + error);
    job.audioFileId = claim.serverId;

    if (claim.uploadStatus == "uploaded")
    {
        queue->updateStatus (job.jobId, UploadJobStatus::DONE, 100, {});
        emitComplete (job, claim.serverId, true, "deduped");
        return;
    }

    queue->updateStatus (job.jobId, UploadJobStatus::UPLOADING, 0, {});
    if (! uploadFile (job, claim.serverId, error))
        return stepFailed ("edge_upload_failed: " + error);

    queue->updateStatus (job.jobId, UploadJobStatus::COMPLETING, 100, {});
    if (! completeUpload (job, claim.serverId, error))
        return stepFailed ("complete_failed: " + error);

    queue->updateStatus (job.jobId, UploadJobStatus::DONE, 100, {});
    emitComplete (job, claim.serverId, true, {});
    juce::Logger::writeToLog ("[UploadWorker] " + job.jobId + " uploaded successfully");
}

void UploadWorker::failJob (const UploadJob& job, const juce::String& reason)
{
    queue->updateStatus (job.jobId, UploadJobStatus::FAILED, -1, reason);
    emitComplete (job, {}, false, reason);
    juce::Logger::writeToLog ("[UploadWorker] " + job.jobId + " FAILED: " + reason);
}

bool UploadWorker::claimFile (const UploadJob& job, ClaimResult& result, juce::String& error)
{
    const bool image = job.kind == "image";
    auto* body = new juce::DynamicObject();
    const juce::var bodyVar (body);
    body->setProperty ("p_content_hash", job.contentHash);
    if (image)
    {
        body->setProperty ("p_mime_type", job.mimeType);
        body->setProperty ("p_size_bytes", job.sizeBytes);
        if (job.imageWidth > 0)
            body->setProperty ("p_width", job.imageWidth);
        if (job.imageHeight > 0)
            body->setProperty ("p_height", job.imageHeight);
    }
    else
    {
        body->setProperty ("p_size_bytes", job.sizeBytes);
        body->setProperty ("p_duration", job.duration);
        body->setProperty ("p_sample_rate", job.sampleRate > 0 ? (juce::int64) job.sampleRate : (juce::int64) 0);
        body->setProperty ("p_bit_depth", juce::jmax (0, job.bitDepth));
        body->setProperty ("p_channels", juce::jmax (0, job.channels));
        if (job.workspaceId.isNotEmpty())
            body->setProperty ("p_workspace_id", job.workspaceId);
    }

    const auto cfg = config();
    JsonAnswer answer;
    if (! postJsonExpectingSuccess (cfg, cfg.baseUrl + "/rest/v1" + (image ? "/rpc/claim_image_file" : "/rpc/claim_audio_file"), bodyVar, answer, error, canceller))
        return false;
    if (answer.body.getDynamicObject() == nullptr)
    {
        error = "unexpected_response_shape";
        return false;
    }

    result.serverId = answer.body.getProperty ("id", {}).toString();
    result.uploadStatus = answer.body.getProperty ("upload_status", {}).toString();
    // The id goes out as a header value of the upload: one with a line break counts as none.
    if (result.serverId.isEmpty() || hasLineBreak (result.serverId))
    {
        error = image ? "no_image_file_id_in_response" : "no_audio_file_id_in_response";
        return false;
    }
    queue->setRemoteFileId (job.jobId, result.serverId);
    return true;
}

bool UploadWorker::uploadFile (const UploadJob& job, const juce::String& serverId, juce::String& error)
{
    const bool image = job.kind == "image";
    const juce::File file (juce::File::isAbsolutePath (job.localPath) ? juce::File (job.localPath) : juce::File());
    if (job.localPath.isEmpty() || ! file.existsAsFile())
    {
        error = "local_file_missing: " + job.localPath;
        return false;
    }
    if (file.getSize() > maxUploadBytes)
    {
        error = "local_file_too_large";
        return false;
    }

    juce::URL target;
    juce::int64 bytesRead = 0;
    {
        juce::MemoryBlock bytes;
        if (! readWholeFile (file, bytes))
        {
            error = "local_file_unreadable";
            return false;
        }
        bytesRead = (juce::int64) bytes.getSize();
        target = juce::URL (config().baseUrl + "/functions/v1" + (image ? "/image-upload" : "/audio-upload")).withPOSTData (bytes);
    }

    emitProgress (job, 0, bytesRead);

    const auto cfg = config();
    if (! cfg.hasUsableAuth())
    {
        error = "missing_auth";
        return false;
    }
    const auto headers = cfg.authHeaders()
                         + (image ? "X-Image-File-Id: " + serverId + "\r\nContent-Type: " + job.mimeType + "\r\n"
                                  : "X-Audio-File-Id: " + serverId + "\r\nContent-Type: application/octet-stream\r\n");

    int status = 0;
    juce::String answerText;
    if (! runRequest (std::move (target), true, headers, 300000, canceller, [&] (juce::WebInputStream& stream)
    {
        status = stream.getStatusCode();
        answerText = readAnswerText (stream);
    }))
    {
        error = "edge_connection_failed";
        return false;
    }

    if (status < 200 || status > 299)
    {
        error = "HTTP " + juce::String (status) + ": " + answerText;
        return false;
    }

    const auto size = file.getSize();
    emitProgress (job, size, size);
    return true;
}

bool UploadWorker::completeUpload (const UploadJob& job, const juce::String& serverId, juce::String& error)
{
    const bool image = job.kind == "image";
    const auto body = makeObject ({ { image ? "p_image_file_id" : "p_audio_file_id", serverId } });
    const auto cfg = config();
    JsonAnswer answer;
    return postJsonExpectingSuccess (cfg, cfg.baseUrl + "/rest/v1" + (image ? "/rpc/complete_image_upload" : "/rpc/complete_audio_upload"), body,
                                     answer, error, canceller);
}

void UploadWorker::emitProgress (const UploadJob& job, juce::int64 done, juce::int64 total)
{
    if (! eventSink)
        return;
    const auto percent = percentOf (done, total);
    queue->updateStatus (job.jobId, UploadJobStatus::UPLOADING, percent, {});
    post (makeObject ({ { "action", "UPLOAD_PROGRESS" },
                        { "jobId", job.jobId },
                        { "bytesUploaded", done },
                        { "totalBytes", total },
                        { "progress", percent } }));
}

void UploadWorker::emitComplete (const UploadJob& job, const juce::String& serverId, bool success, const juce::String& detail)
{
    if (! eventSink)
        return;
    auto event = makeObject ({ { "action", "UPLOAD_COMPLETE" },
                               { "jobId", job.jobId },
                               { "audioFileId", serverId },
                               { "success", success },
                               { "detail", detail } });
    UploadJob current;
    if (queue->find (job.jobId, current))
    {
        auto* o = event.getDynamicObject();
        o->setProperty ("refKind", current.refKind);
        o->setProperty ("trackId", current.trackId);
        o->setProperty ("songId", current.songId);
        o->setProperty ("padFileId", current.padFileId);
        o->setProperty ("padId", current.padId);
    }
    post (std::move (event));
}
} // namespace quorvelle
