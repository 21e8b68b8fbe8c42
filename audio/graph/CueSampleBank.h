#pragma once

#include "audio/graph/ClickSamples.h"

#include <map>
#include <memory>

namespace quorvelle
{
// Spoken cue samples by key, each converted to the device rate.
using CueSampleMap = std::map<juce::String, SharedSampleBuffer>;

// The published spoken-sample bank: a whole map replaced at once. Readers off the audio thread take
// a snapshot (a reference to the map in force), which stays valid and unchanged however often the
// bank is replaced afterwards; the replaced map is freed by whoever lets go of it last, never the
// audio thread.
class CueSampleBank
{
public:
    std::shared_ptr<const CueSampleMap> snapshot() const
    {
        const juce::SpinLock::ScopedLockType lock (mutex);
        return current;
    }

    // Installs `next` and hands back the previous map, for the caller to release after its locks.
    std::shared_ptr<const CueSampleMap> exchange (std::shared_ptr<const CueSampleMap> next)
    {
        const juce::SpinLock::ScopedLockType lock (mutex);
        std::swap (current, next);
        return next;
    }

    // The map without taking a reference: only for a reader that holds a lock under which every
    // exchange of this bank happens (the cue source's scheduler).
    const CueSampleMap& peek() const noexcept
    {
        static const CueSampleMap none;
        return current != nullptr ? *current : none;
    }

private:
    mutable juce::SpinLock mutex;
    std::shared_ptr<const CueSampleMap> current = std::make_shared<const CueSampleMap>();
};
} // namespace quorvelle
