#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <array>
#include <atomic>

namespace quorvelle
{
// Delays the song-locked direct sources (click, cues, count-in, count overlays) by one common
// length, so they reach the outputs together with music that a live stretcher holds back.
//
// Threads: `prepare` and `setDelay` on the message thread; `beginBlock` and `process` on the audio
// thread. The rings are sized at prepare for the largest delay; a new length takes effect at the
// next block start, where the rings are cleared. No allocation or lock on the audio thread.
class DirectSourceDelay final
{
public:
    static constexpr int numLanes = 6;

    // Lane of a direct source by its router name, or -1 when it is not song-locked.
    static int laneFor (const juce::String& directSourceName);

    void prepare (int maxDelaySamples, int maxBlockSamples);
    void release();

    // Any thread. Clamped to the prepared capacity at the next block start.
    void setDelay (int samples) noexcept { requested.store (juce::jmax (0, samples)); }
    int getAppliedDelay() const noexcept { return applied.load(); }
    // Any thread: the rings are emptied at the next block start (what they held belonged to music
    // that a reposition has dropped).
    void clear() noexcept { clearRequested.store (true); }
    int getCapacity() const noexcept { return capacity; }

    // Audio thread, once per block before any lane is processed.
    void beginBlock() noexcept;
    // Audio thread: replaces the first `n` samples of `buffer`'s two channels with the lane's
    // output `delay` samples earlier.
    void process (int lane, juce::AudioBuffer<float>& buffer, int n) noexcept;

private:
    juce::AudioBuffer<float> rings; // two channels per lane
    std::array<int, numLanes> writePositions {};
    int ringLength = 0, capacity = 0;
    std::atomic<int> requested { 0 }, applied { 0 };
    std::atomic<bool> clearRequested { false };
};
} // namespace quorvelle
