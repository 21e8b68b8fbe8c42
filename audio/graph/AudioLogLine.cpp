#include "audio/graph/AudioLogLine.h"

#include "core/Utf8Text.h"

#include <juce_events/juce_events.h>

#include <atomic>

#include <cstdio>
#include <cstring>

namespace quorvelle
{
AudioLogLine& AudioLogLine::operator<< (const char* piece) noexcept
{
    if (piece == nullptr)
        return *this;
    // A piece that does not fit is cut at a character boundary.
    const auto room = (size_t) (capacity - 1 - used);
    const auto length = core::utf8PrefixLength (piece, std::strlen (piece), room);
    std::memcpy (text + used, piece, length);
    used += (int) length;
    text[used] = 0;
    return *this;
}

AudioLogLine& AudioLogLine::operator<< (int64_t value) noexcept
{
    char digits[32];
    std::snprintf (digits, sizeof (digits), "%lld", (long long) value);
    return *this << digits;
}

AudioLogLine& AudioLogLine::fixed (double value, int decimals) noexcept
{
    char digits[64];
    if (decimals > 0)
        std::snprintf (digits, sizeof (digits), "%.*f", decimals, value);
    else
        std::snprintf (digits, sizeof (digits), "%g", value);
    return *this << digits;
}

AudioLogLine& AudioLogLine::plain (double value) noexcept
{
    char digits[64];
    std::snprintf (digits, sizeof (digits), "%g", value);
    return *this << digits;
}

namespace
{
// The message thread, as last seen by a SourceLog made on it. JUCE's own check takes a mutex, which
// the audio thread must not; comparing with this id does not.
std::atomic<juce::Thread::ThreadID> knownMessageThread { nullptr };

bool isKnownMessageThread() noexcept
{
    const auto known = knownMessageThread.load (std::memory_order_relaxed);
    return known != nullptr && known == juce::Thread::getCurrentThreadId();
}
} // namespace

SourceLog::SourceLog (const std::function<void (const juce::String&)>& callbackToUse) : callback (callbackToUse)
{
    if (juce::MessageManager::existsAndIsCurrentThread())
        knownMessageThread.store (juce::Thread::getCurrentThreadId(), std::memory_order_relaxed);

    sinkId = AudioThreadLog::shared().addSink ([this] (const juce::String& line)
                                               {
                                                   if (callback)
                                                       callback (line);
                                               });
}

SourceLog::~SourceLog()
{
    AudioThreadLog::shared().removeSink (sinkId);
}

void SourceLog::deliver (const AudioLogLine& line, bool toLogger, bool toCallback) const noexcept
{
    const bool callbackSet = toCallback && static_cast<bool> (callback);
    if (! toLogger && ! callbackSet)
        return;

    if (isKnownMessageThread())
    {
        const auto text = line.toString();
        if (toLogger)
            juce::Logger::writeToLog (text);
        if (callbackSet)
            callback (text);
        return;
    }

    AudioThreadLog::Record record;
    record.kind = AudioThreadLog::Kind::text;
    record.setName (line.c_str());
    if (toLogger)
    {
        record.sink = AudioThreadLog::loggerSink;
        AudioThreadLog::shared().push (record);
    }
    if (callbackSet)
    {
        record.sink = sinkId;
        AudioThreadLog::shared().push (record);
    }
}
} // namespace quorvelle
