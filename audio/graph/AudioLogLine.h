#pragma once

#include "audio/graph/AudioThreadLog.h"

#include <juce_core/juce_core.h>

#include <cstdint>
#include <functional>

namespace quorvelle
{
// A log line composed in a fixed buffer on the stack, so that it can be built on the audio thread
// without allocating. Numbers are written the way juce::String writes them: `fixed` like
// juce::String (value, decimals), `plain` like juce::String (value).
class AudioLogLine
{
public:
    static constexpr int capacity = 512;

    AudioLogLine() noexcept { text[0] = 0; }
    explicit AudioLogLine (const char* start) noexcept : AudioLogLine() { *this << start; }

    AudioLogLine& operator<< (const char* piece) noexcept;
    AudioLogLine& operator<< (const juce::String& piece) noexcept { return *this << piece.toRawUTF8(); }
    AudioLogLine& operator<< (int64_t value) noexcept;
    AudioLogLine& operator<< (int value) noexcept { return *this << (int64_t) value; }
    AudioLogLine& fixed (double value, int decimals) noexcept;
    AudioLogLine& plain (double value) noexcept;
    AudioLogLine& yesNo (bool value) noexcept { return *this << (value ? "Y" : "N"); }
    AudioLogLine& quoted (const juce::String& piece) noexcept { return *this << "\"" << piece << "\""; }

    const char* c_str() const noexcept { return text; }
    juce::String toString() const { return juce::String::fromUTF8 (text, used); }

private:
    char text[capacity];
    int used = 0;
};

// Where a source's lines go. A line is written to juce::Logger and/or handed to the source's log
// callback. On the message thread both happen at once; on any other thread (the audio thread above
// all) the line is queued in the shared audio-thread log, which delivers it on the message thread in
// queue order, without allocating or locking on the calling thread.
class SourceLog
{
public:
    // Registers the sink that forwards queued lines to `callback` (read when the line is delivered).
    explicit SourceLog (const std::function<void (const juce::String&)>& callback);
    ~SourceLog();

    SourceLog (const SourceLog&) = delete;
    SourceLog& operator= (const SourceLog&) = delete;

    // juce::Logger only.
    void log (const AudioLogLine& line) const noexcept { deliver (line, true, false); }
    // The callback only (skipped while it is empty).
    void send (const AudioLogLine& line) const noexcept { deliver (line, false, true); }
    // Both, logger first.
    void logAndSend (const AudioLogLine& line) const noexcept { deliver (line, true, true); }

private:
    void deliver (const AudioLogLine& line, bool toLogger, bool toCallback) const noexcept;

    const std::function<void (const juce::String&)>& callback;
    int sinkId = 0;
};
} // namespace quorvelle
