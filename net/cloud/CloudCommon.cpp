#include "net/cloud/CloudCommon.h"

#include <juce_events/juce_events.h>

namespace quorvelle::cloud
{
Clock systemClock()
{
    return [] { return juce::Time::currentTimeMillis(); };
}

juce::String base64OfUtf8 (const juce::String& text)
{
    return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

bool hasLineBreak (const juce::String& text)
{
    return text.containsChar ('\r') || text.containsChar ('\n');
}

int percentOf (juce::int64 done, juce::int64 total)
{
    if (total <= 0)
        return 0;
    return (int) juce::jlimit<juce::int64> (0, 100, done * 100 / total);
}

bool isRetryDue (int attempts, juce::int64 updatedAt, juce::int64 now)
{
    const auto clamped = (juce::int64) juce::jmax (0, attempts);
    if (clamped >= maxAttempts)
        return false;
    return now - updatedAt >= (((juce::int64) 1) << clamped) * 1000;
}

void postEvent (const EventSink& sink, std::weak_ptr<int> alive, juce::var event)
{
    if (! sink)
        return;
    juce::MessageManager::callAsync ([sink, alive = std::move (alive), event = std::move (event)]
    {
        if (alive.lock() != nullptr)
            sink ("fromNative", event);
    });
}
} // namespace quorvelle::cloud
