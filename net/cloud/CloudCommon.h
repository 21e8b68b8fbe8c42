#pragma once

#include "platform/EventSink.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

namespace quorvelle::cloud
{
// Milliseconds since 1970-01-01 UTC. The queue's sweep and the workers' back-off read it through
// this seam, so tests can move time on without waiting.
using Clock = std::function<juce::int64()>;
Clock systemClock();

// Base64 (standard alphabet, padded) of the text's UTF-8 bytes.
juce::String base64OfUtf8 (const juce::String& text);

// True when the text holds a CR or LF: such a value would split into extra header lines.
bool hasLineBreak (const juce::String& text);

// done x 100 / total (integer division), 0..100; 0 when total is 0 or less.
int percentOf (juce::int64 done, juce::int64 total);

// The retry rule of both workers: fewer than 5 failures and 2^attempts seconds since the last one.
// Computed in 64 bits, with attempts clamped to 0 and above.
bool isRetryDue (int attempts, juce::int64 updatedAt, juce::int64 now);

constexpr int maxAttempts = 5;

// What both queues do to a job they take in: a new random id when it has none, the first time
// when it has none, and `now` as its last change.
template <typename Job>
void stampNewJob (Job& job, juce::int64 now)
{
    if (job.jobId.isEmpty())
        job.jobId = juce::Uuid().toDashedString();
    if (job.createdAt == 0)
        job.createdAt = now;
    job.updatedAt = now;
}

// The status update both job records share: progress >= 0 is stored capped at 100 (negative
// keeps it), a non-empty error is stored, `failed` adds an attempt, and the time is `now`.
template <typename Job, typename Status>
void applyStatusUpdate (Job& job, Status status, int progress, const juce::String& lastError, Status failed, juce::int64 now)
{
    job.status = status;
    if (progress >= 0)
        job.progress = juce::jmin (progress, 100);
    if (lastError.isNotEmpty())
        job.lastError = lastError;
    if (status == failed)
        ++job.attempts;
    job.updatedAt = now;
}

// Hands `event` to `sink` on the message thread, unless the worker that `alive` belongs to is gone
// by then. The closure holds a copy of the sink, never the worker.
void postEvent (const EventSink& sink, std::weak_ptr<int> alive, juce::var event);
} // namespace quorvelle::cloud
