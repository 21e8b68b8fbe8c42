#include "audio/graph/DirectSourceDelay.h"

namespace quorvelle
{
int DirectSourceDelay::laneFor (const juce::String& name)
{
    static const char* const songLocked[numLanes] = { "metronomeTap", "cueTap", "countIn", "countOverlay", "countOverlayClick", "countOverlayGuide" };
    for (int lane = 0; lane < numLanes; ++lane)
        if (name == songLocked[lane])
            return lane;
    return -1;
}

void DirectSourceDelay::prepare (int maxDelaySamples, int maxBlockSamples)
{
    capacity = juce::jmax (0, maxDelaySamples);
    ringLength = capacity > 0 ? capacity + juce::jmax (1, maxBlockSamples) : 0;
    rings.setSize (2 * numLanes, juce::jmax (1, ringLength), false, true, false);
    rings.clear();
    writePositions.fill (0);
    applied.store (juce::jmin (requested.load(), capacity));
}

void DirectSourceDelay::release()
{
    rings.setSize (0, 0);
    ringLength = capacity = 0;
    applied.store (0);
}

void DirectSourceDelay::beginBlock() noexcept
{
    const auto wanted = juce::jmin (requested.load (std::memory_order_relaxed), capacity);
    const bool emptied = clearRequested.exchange (false);
    if (wanted == applied.load (std::memory_order_relaxed) && ! emptied)
        return;
    applied.store (wanted, std::memory_order_relaxed);
    rings.clear();
    writePositions.fill (0);
}

void DirectSourceDelay::process (int lane, juce::AudioBuffer<float>& buffer, int n) noexcept
{
    const auto delay = applied.load (std::memory_order_relaxed);
    if (delay <= 0 || lane < 0 || lane >= numLanes || ringLength <= 0 || n > ringLength - capacity)
        return;

    auto& write = writePositions[(size_t) lane];
    for (int channel = 0; channel < 2; ++channel)
    {
        auto* ring = rings.getWritePointer (2 * lane + channel);
        auto* samples = buffer.getWritePointer (juce::jmin (channel, buffer.getNumChannels() - 1));
        // In first (the ring holds delay + block samples), then out from `delay` behind.
        for (int i = 0; i < n; ++i)
            ring[(write + i) % ringLength] = samples[i];
        auto read = write - delay;
        if (read < 0)
            read += ringLength;
        for (int i = 0; i < n; ++i)
            samples[i] = ring[(read + i) % ringLength];
        if (buffer.getNumChannels() < 2)
            break;
    }
    write = (write + n) % ringLength;
}
} // namespace quorvelle
