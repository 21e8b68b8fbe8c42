#pragma once

#include "net/cloud/DownloadWorker.h"
#include "net/cloud/UploadQueue.h"

namespace quorvelle::cloud
{
// The front end's ENQUEUE_UPLOAD and ENQUEUE_DOWNLOAD requests, read into jobs and judged.

// Reads the request's keys into a job (missing keys give empty or 0, an empty kind "audio", an
// empty refKind "stem"); the id, status, counters and times keep their defaults.
UploadJob uploadJobFromRequest (const juce::var& request);
// Empty when the job may be queued; otherwise the log line of the refusal.
juce::String uploadRequestRefusal (const UploadJob& job);

DownloadJob downloadJobFromRequest (const juce::var& request);
// Empty when the job may be queued; otherwise the log line of the refusal. An id that becomes a
// path component of the target ("." or "..", or holding "/" or "\\") is refused.
juce::String downloadRequestRefusal (const DownloadJob& job);

// Whether a text may stand as one path component below the storage root.
bool isSafePathComponent (const juce::String& text);
} // namespace quorvelle::cloud
