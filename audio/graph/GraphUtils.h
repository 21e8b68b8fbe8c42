#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace quorvelle
{
// A stage over one positionable source: releasing, positioning and looping pass straight through.
class PositionableStage : public juce::PositionableAudioSource
{
public:
    explicit PositionableStage (juce::PositionableAudioSource* wrapped) : source (wrapped) {}

    void releaseResources() override { source->releaseResources(); }
    void setNextReadPosition (juce::int64 p) override { source->setNextReadPosition (p); }
    juce::int64 getNextReadPosition() const override { return source->getNextReadPosition(); }
    juce::int64 getTotalLength() const override { return source->getTotalLength(); }
    bool isLooping() const override { return source->isLooping(); }
    void setLooping (bool looping) override { source->setLooping (looping); }

protected:
    juce::PositionableAudioSource* source;
};

// The start of a guide source's block (metronome, spoken cues): clears [o0, o0 + n), then answers
// whether anything may render. Nothing does while the transport is stopped or a count-in speaks.
// A pending one-shot start offset (set after a count-in or an overlay hand-off) is consumed here:
// the region narrows past it, and an offset longer than the block carries over to the next one.
inline bool beginGuideBlock (juce::AudioBuffer<float>& out, int& o0, int& n, const std::atomic<bool>* transportPlaying,
                             const std::atomic<bool>* countInRunning, std::atomic<int>& pendingStartOffset) noexcept
{
    for (int c = 0; c < out.getNumChannels(); ++c)
        out.clear (c, o0, n);

    if (transportPlaying != nullptr && ! transportPlaying->load())
        return false;
    if (countInRunning != nullptr && countInRunning->load())
        return false;

    if (const auto skip = pendingStartOffset.exchange (0); skip > 0)
    {
        if (skip >= n)
        {
            pendingStartOffset.store (skip - n);
            return false;
        }
        o0 += skip;
        n -= skip;
    }
    return true;
}

// One process-wide switch for the periodic diagnostic lines of the audio path. Off at start.
inline std::atomic<bool> verboseDiagnostics { false };

// Raises `peak` to `value` when larger (compare-and-exchange); the level meters take it by exchange.
inline void raisePeak (std::atomic<float>& peak, float value) noexcept
{
    auto current = peak.load (std::memory_order_relaxed);
    while (value > current && ! peak.compare_exchange_weak (current, value, std::memory_order_relaxed))
    {
    }
}

// Largest absolute sample of channels [0, maxChannels) over [start, start + n); 0 for a buffer
// marked clear.
inline float regionPeak (const juce::AudioBuffer<float>& buffer, int start, int n, int maxChannels) noexcept
{
    if (buffer.hasBeenCleared() || n <= 0)
        return 0.0f;

    float peak = 0.0f;
    const int channels = juce::jmin (maxChannels, buffer.getNumChannels());
    for (int c = 0; c < channels; ++c)
    {
        const auto range = juce::FloatVectorOperations::findMinAndMax (buffer.getReadPointer (c, start), n);
        peak = juce::jmax (peak, std::abs (range.getStart()), std::abs (range.getEnd()));
    }
    return peak;
}

// A view of `channels` channels of `buffer` from `start` for `n` samples. Refers to the buffer's
// memory; making it does not allocate (fewer than 32 channels).
inline juce::AudioBuffer<float> bufferView (juce::AudioBuffer<float>& buffer, int channels, int start, int n)
{
    return juce::AudioBuffer<float> (buffer.getArrayOfWritePointers(), juce::jmin (channels, buffer.getNumChannels()), start, n);
}

// Two copies of a state, one published to a single reader thread (the audio thread) and one free for
// the single writer thread. The reader marks the copy it uses for the length of a scope; the writer
// only rewrites the copy that is neither published nor in use, waiting (off the audio thread) for the
// reader to leave it. The reader never waits, never allocates and never frees.
template <typename State>
class PublishedState
{
public:
    // Writer thread. Returns the unpublished copy once the reader has left it.
    State& beginWrite()
    {
        auto* target = spare();
        while (reading.load() == target)
            std::this_thread::yield();
        return *target;
    }

    // Writer thread: makes `state` (from beginWrite) the copy the reader sees from its next scope.
    void publish (State& state) { current.store (&state); }

    // Writer thread: the published copy. The reader may be reading it: touch only its atomics.
    State& published() { return *current.load(); }

    // Reader thread: holds the published copy for the scope's length.
    class ReadScope
    {
    public:
        explicit ReadScope (PublishedState& owner) noexcept : owner (owner)
        {
            State* p;
            do
            {
                p = owner.current.load();
                owner.reading.store (p);
            } while (owner.current.load() != p);
            state = p;
        }
        ~ReadScope() { owner.reading.store (nullptr); }
        ReadScope (const ReadScope&) = delete;
        ReadScope& operator= (const ReadScope&) = delete;

        State& operator*() const noexcept { return *state; }
        State* operator->() const noexcept { return state; }

    private:
        PublishedState& owner;
        State* state = nullptr;
    };

private:
    State* spare() { return current.load() == &first ? &second : &first; }

    State first, second;
    std::atomic<State*> current { &first };
    std::atomic<State*> reading { nullptr };
};
} // namespace quorvelle
