#include "net/cloud/CloudRequests.h"

namespace quorvelle::cloud
{
namespace
{
juce::String text (const juce::var& request, const char* key)
{
    return request.getProperty (key, {}).toString();
}

juce::String orDefault (const juce::String& value, const char* fallback)
{
    return value.isEmpty() ? juce::String (fallback) : value;
}
} // namespace

UploadJob uploadJobFromRequest (const juce::var& request)
{
    UploadJob job;
    job.contentHash = text (request, "contentHash");
    job.localPath = text (request, "localPath");
    job.sizeBytes = (juce::int64) request.getProperty ("sizeBytes", 0);
    job.sampleRate = (double) request.getProperty ("sampleRate", 0.0);
    job.channels = (int) request.getProperty ("channels", 0);
    job.bitDepth = (int) request.getProperty ("bitDepth", 0);
    job.duration = (double) request.getProperty ("duration", 0.0);
    job.workspaceId = text (request, "workspaceId");
    job.kind = orDefault (text (request, "kind"), "audio");
    job.refKind = orDefault (text (request, "refKind"), "stem");
    job.trackId = text (request, "trackId");
    job.songId = text (request, "songId");
    job.padFileId = text (request, "padFileId");
    job.padId = text (request, "padId");
    job.mimeType = text (request, "mimeType");
    job.imageWidth = (int) request.getProperty ("imageWidth", 0);
    job.imageHeight = (int) request.getProperty ("imageHeight", 0);
    return job;
}

juce::String uploadRequestRefusal (const UploadJob& job)
{
    const auto& k = job.kind;
    const auto& r = job.refKind;
    const bool referenced = (k == "audio" && r == "stem" && job.trackId.isNotEmpty())
                            || (k == "audio" && r == "pad_file" && job.padFileId.isNotEmpty())
                            || (k == "audio" && r == "song_original" && job.songId.isNotEmpty())
                            || (k == "image" && r == "song_cover" && job.songId.isNotEmpty())
                            || (k == "image" && r == "pad_cover" && job.padId.isNotEmpty());
    const bool complete = job.contentHash.isNotEmpty() && job.localPath.isNotEmpty() && job.workspaceId.isNotEmpty() && referenced
                          && (k != "image" || job.mimeType.isNotEmpty());
    if (! complete)
        return "[UploadWorker] ENQUEUE_UPLOAD rejected: missing fields (kind=" + k + ", refKind=" + r + ")";

    // The MIME type goes out as a header value of the image upload.
    if (hasLineBreak (job.mimeType))
        return "[UploadWorker] ENQUEUE_UPLOAD rejected: invalid mimeType";
    return {};
}

DownloadJob downloadJobFromRequest (const juce::var& request)
{
    DownloadJob job;
    job.audioFileId = text (request, "audioFileId");
    job.expectedBytes = (juce::int64) request.getProperty ("expectedBytes", 0);
    job.kind = orDefault (text (request, "kind"), "audio");
    job.refKind = orDefault (text (request, "refKind"), "stem");
    job.songId = text (request, "songId");
    job.trackId = text (request, "trackId");
    job.padId = text (request, "padId");
    job.padFileId = text (request, "padFileId");
    job.indicationId = text (request, "indicationId");
    return job;
}

bool isSafePathComponent (const juce::String& value)
{
    return value != "." && value != ".." && ! value.containsChar ('/') && ! value.containsChar ('\\');
}

juce::String downloadRequestRefusal (const DownloadJob& job)
{
    const auto& k = job.kind;
    const auto& r = job.refKind;
    const bool referenced = (k == "audio" && r == "stem" && job.songId.isNotEmpty() && job.trackId.isNotEmpty())
                            || (k == "audio" && r == "pad_file" && job.padId.isNotEmpty() && job.padFileId.isNotEmpty())
                            || (k == "audio" && r == "song_original" && job.songId.isNotEmpty())
                            || (k == "audio" && r == "indication" && job.indicationId.isNotEmpty())
                            || (k == "image" && r == "song_cover" && job.songId.isNotEmpty())
                            || (k == "image" && r == "pad_cover" && job.padId.isNotEmpty());
    if (job.audioFileId.isEmpty() || ! referenced)
        return "[DownloadWorker] ENQUEUE_DOWNLOAD rejected: missing fields (kind=" + k + ", refKind=" + r + ")";

    for (const auto& id : DownloadWorker::pathIdsOf (job))
        if (! isSafePathComponent (id))
            return "[DownloadWorker] ENQUEUE_DOWNLOAD rejected: invalid id (kind=" + k + ", refKind=" + r + ")";
    return {};
}
} // namespace quorvelle::cloud
