#include "net/cloud/DownloadWorker.h"

#include "net/cloud/CloudRequests.h"
#include "platform/CheckedWrite.h"

#include <algorithm>

namespace quorvelle
{
using namespace cloud;

namespace
{
juce::String extensionForMimeType (const juce::String& mimeType)
{
    if (mimeType == "image/png") return "png";
    if (mimeType == "image/webp") return "webp";
    if (mimeType == "image/gif") return "gif";
    return "jpg";
}

bool isHttpUrl (const juce::String& url)
{
    return url.startsWithIgnoreCase ("http://") || url.startsWithIgnoreCase ("https://");
}
} // namespace

DownloadWorker::DownloadWorker (StorageRoot root, Clock c)
    : CloudWorker ("CloudSyncDownloadWorker", "[DownloadWorker]", std::move (c)), storageRoot (std::move (root))
{
}

DownloadWorker::~DownloadWorker()
{
    stopWorker();
}

bool DownloadWorker::processNextJob()
{
    DownloadJob job;
    if (! takeNextJob (job))
        return false;
    processJob (job);
    return true;
}

void DownloadWorker::enqueue (DownloadJob job)
{
    stampNewJob (job, clock());
    job.status = DownloadJobStatus::Pending;
    {
        const juce::ScopedLock sl (jobLock);
        jobs[job.jobId] = std::move (job);
    }
    wake();
}

std::vector<juce::String> DownloadWorker::pathIdsOf (const DownloadJob& job)
{
    if (job.kind == "image")
        return { job.refKind == "pad_cover" ? job.padId : job.songId };
    if (job.refKind == "pad_file")
        return { job.padId, job.padFileId };
    if (job.refKind == "song_original")
        return { job.songId };
    if (job.refKind == "indication")
        return { job.indicationId };
    return { job.songId, job.trackId };
}

juce::File DownloadWorker::targetFor (const juce::File& root, const DownloadJob& job)
{
    if (job.kind == "image")
    {
        const auto cover = "cover." + (job.extension.isEmpty() ? juce::String ("jpg") : job.extension);
        return root.getChildFile ("Covers").getChildFile (job.refKind == "pad_cover" ? job.padId : job.songId).getChildFile (cover);
    }
    if (job.refKind == "pad_file")
        return root.getChildFile ("Pads").getChildFile (job.padId).getChildFile (job.padFileId + ".flac");
    if (job.refKind == "song_original")
        return root.getChildFile ("Songs").getChildFile (job.songId).getChildFile ("original.flac");
    if (job.refKind == "indication")
        return root.getChildFile ("indications").getChildFile (job.indicationId + ".wav");
    return root.getChildFile ("Songs").getChildFile (job.songId).getChildFile (job.trackId + ".flac");
}

bool DownloadWorker::takeNextJob (DownloadJob& job)
{
    const juce::ScopedLock sl (jobLock);
    const auto now = clock();

    std::vector<const DownloadJob*> ordered;
    for (const auto& [id, candidate] : jobs)
        ordered.push_back (&candidate);
    std::stable_sort (ordered.begin(), ordered.end(), [] (const DownloadJob* a, const DownloadJob* b) { return a->createdAt < b->createdAt; });

    for (const auto* candidate : ordered)
        if (candidate->status == DownloadJobStatus::Pending)
            return (job = *candidate, true);
    for (const auto* candidate : ordered)
        if (candidate->status == DownloadJobStatus::Failed && isRetryDue (candidate->attempts, candidate->updatedAt, now))
            return (job = *candidate, true);
    return false;
}

void DownloadWorker::updateJob (const juce::String& jobId, DownloadJobStatus status, int progress, const juce::String& lastError)
{
    const juce::ScopedLock sl (jobLock);
    const auto it = jobs.find (jobId);
    if (it == jobs.end())
        return;
    applyStatusUpdate (it->second, status, progress, lastError, DownloadJobStatus::Failed, clock());
}

void DownloadWorker::processJob (DownloadJob job)
{
    juce::Logger::writeToLog ("[DownloadWorker] processing " + job.jobId + " (kind=" + job.kind + ", refKind=" + job.refKind
                              + ", attempt=" + juce::String (job.attempts + 1) + ")");
    updateJob (job.jobId, DownloadJobStatus::Started, -1, {});

    // A transfer cut by shutdown reports nothing: the job is dropped with the worker.
    const auto stepFailed = [this, &job] (const juce::String& reason)
    {
        if (threadShouldExit())
            juce::Logger::writeToLog ("[DownloadWorker] " + job.jobId + " interrupted by shutdown");
        else
            failJob (job, reason);
    };

    SignedUrl signedUrl;
    juce::String error;
    if (! requestSignedUrl (job, signedUrl, error))
        return stepFailed ("signed_url_failed: " + error);

    if (job.kind == "image")
        job.extension = extensionForMimeType (signedUrl.mimeType);

    updateJob (job.jobId, DownloadJobStatus::Downloading, 0, {});
    juce::File target;
    if (! downloadToLibrary (signedUrl.url, job, target, error))
        return stepFailed ("download_failed: " + error);

    const auto path = target.getFullPathName();
    updateJob (job.jobId, DownloadJobStatus::Done, 100, {});
    emitComplete (job, "file://" + path, true, {});
    juce::Logger::writeToLog ("[DownloadWorker] " + job.jobId + " downloaded to " + path);

    const juce::ScopedLock sl (jobLock);
    jobs.erase (job.jobId);
}

void DownloadWorker::failJob (const DownloadJob& job, const juce::String& reason)
{
    updateJob (job.jobId, DownloadJobStatus::Failed, -1, reason);
    DownloadJob current;
    {
        const juce::ScopedLock sl (jobLock);
        if (const auto it = jobs.find (job.jobId); it != jobs.end())
            current = it->second;
    }
    current.jobId = job.jobId;
    emitComplete (current, {}, false, reason);
    juce::Logger::writeToLog ("[DownloadWorker] " + job.jobId + " FAILED: " + reason);
}

bool DownloadWorker::requestSignedUrl (const DownloadJob& job, SignedUrl& result, juce::String& error)
{
    const bool image = job.kind == "image";
    const auto body = makeObject ({ { image ? "imageFileId" : "audioFileId", job.audioFileId } });
    const auto cfg = config();
    JsonAnswer answer;
    if (! postJsonExpectingSuccess (cfg, cfg.baseUrl + "/functions/v1" + (image ? "/image-download-url" : "/audio-download-url"), body, answer, error,
                                    canceller))
        return false;

    const auto field = [&answer] (const char* key) { return answer.body.getDynamicObject() != nullptr ? answer.body.getProperty (key, {}).toString() : juce::String(); };
    result.url = field ("signedUrl");
    if (result.url.isEmpty())
        result.url = field ("downloadUrl");
    result.mimeType = field ("mimeType");

    if (result.url.isEmpty())
    {
        error = "no_download_url_in_response";
        return false;
    }
    // JUCE reads "file:" URLs from the disk and curl speaks many protocols: only the web's two.
    if (! isHttpUrl (result.url))
    {
        error = "unsupported_url_scheme";
        return false;
    }
    return true;
}

bool DownloadWorker::downloadToLibrary (const juce::String& url, const DownloadJob& job, juce::File& target, juce::String& error)
{
    const auto root = storageRoot();
    target = targetFor (root, job);
    for (const auto& id : pathIdsOf (job))
    {
        if (! isSafePathComponent (id) || ! target.isAChildOf (root))
        {
            error = "invalid_target_path";
            return false;
        }
    }

    const auto folder = target.getParentDirectory();
    if (! folder.isDirectory())
        folder.createDirectory();

    if (job.expectedBytes > 0 && target.existsAsFile() && target.getSize() == job.expectedBytes)
    {
        const auto size = target.getSize();
        juce::Logger::writeToLog ("[DownloadWorker] " + job.jobId + " ya presente (" + juce::String (size) + " bytes) -> skip re-descarga");
        emitProgress (job, size, size);
        return true;
    }

    emitProgress (job, 0, job.expectedBytes);

    juce::int64 count = 0;
    bool complete = false;
    const bool answered = runRequest (juce::URL (url), false, {}, 300000, canceller, [&] (juce::WebInputStream& stream)
    {
        const auto status = stream.getStatusCode();
        if (status < 200 || status > 299)
        {
            error = "HTTP " + juce::String (status);
            return;
        }

        // The body goes to a temporary file beside the target; the target changes only when the
        // whole body arrived, so a failed fetch leaves a previous file whole.
        platform::CheckedReplacement replacement (target);
        if (! replacement.isOpen())
        {
            error = "cannot_open_output_file: " + target.getFullPathName();
            return;
        }

        {
            // JUCE keeps what curl delivered in one buffer and moves the rest down after every read
            // smaller than it: reads of several MiB drain it whole. The bytes are then handled in
            // 64 KiB blocks, as a stream read block by block would give them.
            constexpr int readBytes = 4 << 20, blockBytes = 65536;
            auto out = replacement.createStream();
            juce::HeapBlock<char> buffer (readBytes);
            for (;;)
            {
                const auto got = stream.read (buffer.get(), readBytes);
                if (got <= 0 || threadShouldExit())
                    break;
                for (int offset = 0; offset < got; offset += blockBytes)
                {
                    const auto block = juce::jmin (blockBytes, got - offset);
                    out->write (buffer.get() + offset, (size_t) block);
                    count += block;
                    if (job.expectedBytes > 0 && count % 262144 < 65536)
                    {
                        updateJob (job.jobId, DownloadJobStatus::Downloading, percentOf (count, job.expectedBytes), {});
                        emitProgress (job, count, job.expectedBytes);
                    }
                }
            }
        }

        if (count == 0)
        {
            replacement.abandon();
            error = stream.isError() ? juce::String ("incomplete_body") : juce::String ("empty_response_body");
            return;
        }

        // Complete: curl saw no error, and the count matches Content-Length when one was sent.
        const auto length = stream.getTotalLength();
        if (threadShouldExit() || stream.isError() || (length >= 0 && length != count))
        {
            replacement.abandon();
            error = "incomplete_body";
            return;
        }

        if (! replacement.commit (count))
        {
            error = "write_failed: " + replacement.errorText();
            return;
        }
        complete = true;
    });

    if (! answered)
    {
        error = "r2_connection_failed";
        return false;
    }
    if (! complete)
        return false;

    emitProgress (job, count, count);
    return true;
}

void DownloadWorker::emitProgress (const DownloadJob& job, juce::int64 done, juce::int64 total)
{
    post (makeObject ({ { "action", "DOWNLOAD_PROGRESS" },
                                               { "jobId", job.jobId },
                                               { "bytesDownloaded", done },
                                               { "totalBytes", total },
                                               { "progress", percentOf (done, total) } }));
}

void DownloadWorker::emitComplete (const DownloadJob& job, const juce::String& localUrl, bool success, const juce::String& detail)
{
    post (makeObject ({ { "action", "DOWNLOAD_COMPLETE" },
                                               { "jobId", job.jobId },
                                               { "audioFileId", job.audioFileId },
                                               { "kind", job.kind },
                                               { "refKind", job.refKind },
                                               { "songId", job.songId },
                                               { "trackId", job.trackId },
                                               { "padId", job.padId },
                                               { "padFileId", job.padFileId },
                                               { "indicationId", job.indicationId },
                                               { "localUrl", localUrl },
                                               { "localUrlB64", localUrl.isEmpty() ? juce::String() : base64OfUtf8 (localUrl) },
                                               { "success", success },
                                               { "detail", detail } }));
}
} // namespace quorvelle
