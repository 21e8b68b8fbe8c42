#include "audio/graph/AudioThreadLog.h"

#include <cstring>

namespace quorvelle
{
void AudioThreadLog::Record::setName (const char* text) noexcept
{
    nameBytes = 0;
    nameShortened = false;
    if (text == nullptr)
        return;

    const auto length = std::strlen (text);
    auto count = length;
    if (count > (size_t) maxNameBytes)
    {
        count = (size_t) maxNameBytes;
        // Do not split a multi-byte character: back up over continuation bytes.
        while (count > 0 && (static_cast<unsigned char> (text[count]) & 0xc0) == 0x80)
            --count;
        nameShortened = true;
    }
    std::memcpy (name, text, count);
    nameBytes = (uint16_t) count;
}

struct AudioThreadLog::Drainer : juce::Timer
{
    explicit Drainer (AudioThreadLog& owner) : owner (owner) {}
    void timerCallback() override { owner.drain(); }
    AudioThreadLog& owner;
};

AudioThreadLog::AudioThreadLog (int capacity)
{
    size_t size = 2;
    while (size < (size_t) juce::jmax (2, capacity))
        size <<= 1;

    cells.reset (new Cell[size]);
    mask = size - 1;
    for (size_t i = 0; i < size; ++i)
        cells[i].sequence.store (i, std::memory_order_relaxed);
}

AudioThreadLog::~AudioThreadLog() = default;

AudioThreadLog& AudioThreadLog::shared()
{
    static AudioThreadLog log;
    return log;
}

bool AudioThreadLog::push (const Record& record) noexcept
{
    auto position = enqueuePosition.load (std::memory_order_relaxed);
    Cell* cell = nullptr;

    for (;;)
    {
        cell = &cells[position & mask];
        const auto sequence = cell->sequence.load (std::memory_order_acquire);
        const auto difference = (intptr_t) sequence - (intptr_t) position;

        if (difference == 0)
        {
            if (enqueuePosition.compare_exchange_weak (position, position + 1, std::memory_order_relaxed))
                break;
        }
        else if (difference < 0)
        {
            dropped.fetch_add (1, std::memory_order_relaxed);
            totalDropped.fetch_add (1, std::memory_order_relaxed);
            return false;
        }
        else
        {
            position = enqueuePosition.load (std::memory_order_relaxed);
        }
    }

    cell->record = record;
    cell->sequence.store (position + 1, std::memory_order_release);
    return true;
}

bool AudioThreadLog::pop (Record& record) noexcept
{
    auto position = dequeuePosition.load (std::memory_order_relaxed);
    Cell* cell = nullptr;

    for (;;)
    {
        cell = &cells[position & mask];
        const auto sequence = cell->sequence.load (std::memory_order_acquire);
        const auto difference = (intptr_t) sequence - (intptr_t) (position + 1);

        if (difference == 0)
        {
            if (dequeuePosition.compare_exchange_weak (position, position + 1, std::memory_order_relaxed))
                break;
        }
        else if (difference < 0)
        {
            return false;
        }
        else
        {
            position = dequeuePosition.load (std::memory_order_relaxed);
        }
    }

    record = cell->record;
    cell->sequence.store (position + mask + 1, std::memory_order_release);
    return true;
}

juce::String AudioThreadLog::format (const Record& r)
{
    const auto name = juce::String::fromUTF8 (r.name, (int) r.nameBytes);

    switch (r.kind)
    {
        case Kind::handoff:
            return "[HANDOFF] completedAt=" + juce::String (r.ints[0]) + " n=" + juce::String (r.ints[1])
                   + " tSamples=" + juce::String (r.ints[1] - r.ints[0]);

        case Kind::postPauseDiag:
            return "[POST-PAUSE-DIAG] cb#" + juce::String (r.ints[0]) + " path=" + name + " tPlaying=N"
                   + " outputPeak=" + juce::String (r.reals[0], 6) + " masterGain=" + juce::String (r.reals[1], 3);

        case Kind::resamplerOverrun:
            return "[F6-OVERRUN] ZeroLatencyResampler.inputBuffer < need (" + juce::String (r.ints[0]) + " < "
                   + juce::String (r.ints[1]) + ")";

        case Kind::splitMonitorOverrun:
            return "[F6-OVERRUN] SplitRouterSource.monitorBuffer < block (" + juce::String (r.ints[0]) + " < "
                   + juce::String (r.ints[1]) + ")";

        case Kind::text:
            break;
    }
    return name;
}

int AudioThreadLog::drain()
{
    int delivered = 0;
    Record record;

    while (pop (record))
    {
        const auto line = format (record);
        if (record.nameShortened)
            shortened.fetch_add (1, std::memory_order_relaxed);

        std::function<void (const juce::String&)> sink;
        if (record.sink != loggerSink)
        {
            const std::lock_guard<std::mutex> lock (sinksMutex);
            if (auto found = sinks.find (record.sink); found != sinks.end())
                sink = found->second;
        }

        if (sink)
            sink (line);
        else
            juce::Logger::writeToLog (line);
        ++delivered;
    }

    if (const auto lost = dropped.exchange (0); lost > 0)
        juce::Logger::writeToLog ("[AUDIO-LOG] dropped " + juce::String (lost) + " lines (queue full)");
    if (const auto cut = shortened.exchange (0); cut > 0)
        juce::Logger::writeToLog ("[AUDIO-LOG] " + juce::String (cut) + " lines had a name longer than "
                                  + juce::String (maxNameBytes) + " bytes, shortened");
    return delivered;
}

int AudioThreadLog::addSink (std::function<void (const juce::String&)> sink)
{
    const std::lock_guard<std::mutex> lock (sinksMutex);
    const int id = nextSinkId++;
    sinks[id] = std::move (sink);
    return id;
}

void AudioThreadLog::removeSink (int sinkId)
{
    const std::lock_guard<std::mutex> lock (sinksMutex);
    sinks.erase (sinkId);
}

void AudioThreadLog::startDrainTimer (int intervalMs)
{
    if (drainer == nullptr)
        drainer = std::make_unique<Drainer> (*this);
    drainer->startTimer (intervalMs);
}

void AudioThreadLog::stopDrainTimer()
{
    if (drainer != nullptr)
        drainer->stopTimer();
}
} // namespace quorvelle
