#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace quorvelle
{
// The log of the audio thread. A source that must log while rendering queues a record (the line's
// kind, its numbers and the UTF-8 bytes of its name) in one preallocated lock-free ring; the message
// thread drains the ring, formats each line and hands it to its sink, in the order the lines were
// queued. Queuing neither allocates nor locks. A full ring drops the line and counts it; the next
// drain reports how many were dropped.
class AudioThreadLog
{
public:
    enum class Kind : uint16_t
    {
        handoff,             // ints: completedAt, n
        postPauseDiag,       // ints: callback count; reals: output peak, master gain; name: path
        resamplerOverrun,    // ints: buffer size, need
        splitMonitorOverrun, // ints: buffer size, block
        text                 // name: the whole line
    };

    // Where a line goes: `loggerSink` is juce::Logger::writeToLog; others are registered callbacks.
    static constexpr int loggerSink = 0;
    static constexpr int maxNumbers = 4;
    static constexpr int maxNameBytes = 512; // room for a whole composed line (AudioLogLine)

    struct Record
    {
        Kind kind = Kind::text;
        int32_t sink = loggerSink;
        int64_t ints[maxNumbers] {};
        double reals[maxNumbers] {};
        uint16_t nameBytes = 0;
        bool nameShortened = false;
        char name[maxNameBytes] {};

        // Copies the UTF-8 bytes of `text` (a null-terminated string); a longer name keeps its first
        // bytes (cut on a character boundary) and is reported by the drain.
        void setName (const char* text) noexcept;
    };

    explicit AudioThreadLog (int capacity = 1024);
    ~AudioThreadLog();

    // The process's ring. Made on first use: call it once off the audio thread (the sources that log
    // do so in their constructors).
    static AudioThreadLog& shared();

    // Any thread, lock-free, no allocation. Returns false when the ring was full (the line is
    // counted as dropped).
    bool push (const Record& record) noexcept;

    // Message thread: formats and delivers every queued line in order, then reports dropped and
    // shortened lines to juce::Logger. Returns the number of lines delivered.
    int drain();

    // Message thread. A sink receives formatted lines during `drain`. Lines queued for a sink that
    // was removed go to juce::Logger.
    int addSink (std::function<void (const juce::String&)> sink);
    void removeSink (int sinkId);

    // Drains on the message thread every `intervalMs`.
    void startDrainTimer (int intervalMs);
    void stopDrainTimer();

    int64_t droppedLines() const noexcept { return totalDropped.load(); }

    static juce::String format (const Record& record);

private:
    struct Cell
    {
        std::atomic<size_t> sequence { 0 };
        Record record;
    };

    bool pop (Record& record) noexcept;

    std::unique_ptr<Cell[]> cells;
    size_t mask = 0;
    std::atomic<size_t> enqueuePosition { 0 }, dequeuePosition { 0 };
    std::atomic<int64_t> dropped { 0 }, totalDropped { 0 }, shortened { 0 };

    std::mutex sinksMutex;
    std::map<int, std::function<void (const juce::String&)>> sinks;
    int nextSinkId = 1;

    struct Drainer;
    std::unique_ptr<Drainer> drainer;
};
} // namespace quorvelle
