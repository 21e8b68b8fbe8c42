#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <cstdint>
#include <functional>

namespace quorvelle
{
// The count-in's state shared by the engine, the count-in source and the router.
struct CountInState
{
    std::atomic<bool> counting { false };
    // -1 while no end is pending; else the offset, in the block that ended the count, where it ended.
    // Whoever takes it exchanges it with -1.
    std::atomic<int32_t> completedAtSample { -1 };
    // Called by the router on the audio thread when a count before the song ends (starts the song).
    std::function<void()> onComplete;
    // Stored by the router just before `onComplete`: the offset in the block where the song starts.
    std::atomic<int32_t> completionOffset { 0 };
};

// What the router needs of the count-in source: it renders it itself (getNextAudioBlock), asks
// whether a count is active and whether the region voice overlay plays. The count-in source derives
// from it; the router recognises it when it is added as the direct source "countIn".
class CountInInterface : public juce::AudioSource
{
public:
    // Audio thread.
    virtual bool isActive() const = 0;
    virtual bool isRegionOverlayActive() const = 0;
};
} // namespace quorvelle
