#pragma once

#include "audio/graph/BusRenderPool.h"
#include "audio/graph/GraphUtils.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
// Mixes its inputs by adding them, like juce::MixerAudioSource, over a work buffer sized at prepare:
// the render never allocates (a pull longer than the prepared block is mixed in pieces). Inputs are
// not owned; a late input is prepared when added.
//
// With a render pool, a pull whose inputs include enough live-stretch chains (BusRenderPool::pays)
// renders them on the pool's threads and sums them in the same order, giving the same samples.
class SourceMixer : public juce::AudioSource
{
public:
    // Channels of the work buffer: the widest block the song chain is rendered into.
    static constexpr int maxChannels = 16;

    // `stretchBypass`: the input's stretch bypass flag when the input is a live-stretch chain (the
    // render pool's rule counts the inputs whose flag is clear).
    void addInputSource (juce::AudioSource* input, const std::atomic<bool>* stretchBypass = nullptr);
    // Releases the input's resources after removing it.
    void removeInputSource (juce::AudioSource* input);
    // Removes every input without releasing it.
    void removeAllInputs();
    // Not owned; set before the device starts, never while it runs.
    void setRenderPool (BusRenderPool* pool) noexcept { renderPool = pool; }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

private:
    int liveStretchInputs() const noexcept; // caller holds lock

    juce::SpinLock lock;
    juce::Array<juce::AudioSource*> inputs;
    juce::Array<const std::atomic<bool>*> bypassFlags; // one per input, null for plain inputs
    BusRenderPool* renderPool = nullptr;
    juce::AudioBuffer<float> work;
    double currentSampleRate = 0.0;
    int blockSize = 0;
};

// A mixer of positionable inputs with a position of its own: with no inputs and a virtual length,
// the position still advances (a song with no music tracks).
class PositionableMixerSource : public juce::PositionableAudioSource
{
public:
    // `stretchBypass` as in SourceMixer::addInputSource.
    void addInputSource (juce::PositionableAudioSource* source, const std::atomic<bool>* stretchBypass = nullptr);
    // Renders the inputs through `pool` when it pays (see SourceMixer); before the device starts.
    void setRenderPool (BusRenderPool* pool) noexcept { mixer.setRenderPool (pool); }
    void removeInputSource (juce::PositionableAudioSource* source);
    // Empties the inputs (freeing the list's storage) and removes every input from the mixer.
    void clearInputs();
    void setVirtualLength (int64_t samples) noexcept { virtualLength.store (samples); }
    int numInputs() const;

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 newPosition) override;
    juce::int64 getNextReadPosition() const override;
    juce::int64 getTotalLength() const override;
    bool isLooping() const override { return false; }
    void setLooping (bool) override {}

    // Guards `inputs`, `ownPosition` and the mixer's input changes.
    mutable juce::SpinLock inputLock;

private:
    SourceMixer mixer;
    juce::Array<juce::PositionableAudioSource*> inputs;
    int64_t ownPosition = 0;
    std::atomic<int64_t> virtualLength { 0 };
};

// The loop region and the one-shot jump of the song chain, both cut on the exact sample, and the
// pending seek taken at the start of the next block.
class LoopRegionSource : public juce::PositionableAudioSource
{
public:
    explicit LoopRegionSource (juce::PositionableAudioSource* source);

    void setLoopRegion (int64_t start, int64_t end, bool active);
    void setJump (int64_t trigger, int64_t target, bool armed);
    void requestSeek (int64_t position) noexcept;
    // Any thread: a jump is armed and has not fired.
    bool isJumpArmed() const noexcept { return jumpToken.load() != 0; }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override { source->releaseResources(); }
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 p) override { source->setNextReadPosition (p); }
    juce::int64 getNextReadPosition() const override { return source->getNextReadPosition(); }
    juce::int64 getTotalLength() const override { return source->getTotalLength(); }
    bool isLooping() const override { return false; }
    void setLooping (bool) override {}

    // Called on the audio thread with "JUMP-split", "JUMP-late", "LOOP-split" or "LOOP-late".
    std::function<void (const char*)> onEvent;
    // Called on the audio thread after every wrap, jump and pending seek: (new position, sampleRate).
    std::function<void (int64_t, double)> onPositionJump;

    // Reports for the engine timer (taken by exchange).
    std::atomic<bool> loopFired { false };
    std::atomic<int64_t> lastLoopStart { 0 }, lastLoopAt { 0 };
    std::atomic<bool> jumpFired { false };
    std::atomic<int64_t> lastJumpTarget { 0 }, lastJumpAt { 0 };
    std::atomic<bool> seekDone { false };
    std::atomic<int64_t> seekFrom { 0 }, seekTo { 0 };

    juce::SpinLock regionLock;

private:
    struct Region
    {
        int64_t loopStart = 0, loopEnd = 0;
        bool loopActive = false;
        int64_t jumpTrigger = 0, jumpTarget = 0;
        uint32_t jumpToken = 0; // 0: not armed
    };
    // A consistent copy of the settings without a lock (retried while a writer is mid-way).
    Region readRegion() noexcept;
    Region lastRead;
    void moveTo (int64_t position);

    juce::PositionableAudioSource* source;

    // Settings, written under regionLock with an odd `sequence` while the write is in progress.
    std::atomic<uint32_t> sequence { 0 };
    std::atomic<int64_t> loopStart { 0 }, loopEnd { 0 };
    std::atomic<bool> loopActive { false };
    std::atomic<int64_t> jumpTrigger { 0 }, jumpTarget { 0 };
    // The armed jump's token; the render clears it only if it is still the one it fired.
    std::atomic<uint32_t> jumpToken { 0 };
    uint32_t lastToken = 0;

    std::atomic<bool> pendingSeek { false };
    std::atomic<int64_t> pendingSeekPosition { 0 };

    double sampleRate = 48000.0;
};

// Passes its source through and keeps a copy of what passed in this device block (the router resets
// it at the start of each block), for the router's custom routing and the split monitor.
class TapAudioSource : public PositionableStage
{
public:
    explicit TapAudioSource (juce::PositionableAudioSource* source) : PositionableStage (source) {}

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    // Audio thread: the router's reset at the start of a device block. (The counts are atomics: the
    // router resets them on every block, also while the message thread prepares a stopped song's
    // chain again.)
    void resetCapture() noexcept
    {
        captured.store (0, std::memory_order_relaxed);
        writePosition.store (0, std::memory_order_relaxed);
    }
    int getCaptured() const noexcept { return captured.load (std::memory_order_relaxed); }
    const juce::AudioBuffer<float>& getCapture() const noexcept { return capture; }

    std::atomic<float> peak { 0.0f };

private:
    juce::AudioBuffer<float> capture;
    std::atomic<int> captured { 0 }, writePosition { 0 };
};

// Passes a plain source through and keeps its peak (the pads' level).
class SimpleTapAudioSource : public juce::AudioSource
{
public:
    explicit SimpleTapAudioSource (juce::AudioSource* source) : source (source) {}

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override { source->prepareToPlay (samplesPerBlockExpected, sampleRate); }
    void releaseResources() override { source->releaseResources(); }
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    std::atomic<float> peak { 0.0f };

private:
    juce::AudioSource* source;
};

// The split monitor: channel 0 becomes the mono music without the monitor groups, channel 1 the
// monitor groups (click and guide) alone.
class SplitRouterSource : public PositionableStage
{
public:
    explicit SplitRouterSource (juce::PositionableAudioSource* source);

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    // Filled by the engine while the graph is built (not while rendering).
    std::vector<TapAudioSource*> monitorTaps;
    std::atomic<bool> splitActive { false };

private:
    juce::AudioBuffer<float> monitorBuffer;
    std::atomic<bool> overrunLogged { false };
};

// One channel of a track in 16-bit memory.
struct Int16ChannelData
{
    std::unique_ptr<int16_t[]> samples;
    int64_t numSamples = 0;

    // Replaces the samples by a new array of n values (none for n = 0).
    void allocate (int64_t n);
};

// Which 131072-sample chunks of a track are decoded; the loaders set bits while the track plays.
struct ChunkLoadMap
{
    static constexpr int64_t defaultChunkSize = 131072;

    std::unique_ptr<std::atomic<uint64_t>[]> bits;
    int64_t chunkSize = defaultChunkSize;
    int64_t totalSamples = 0;
    int64_t numChunks = 0;

    void reset (int64_t n);
    void markLoaded (int64_t chunk) noexcept;
    bool isLoaded (int64_t chunk) const noexcept;
};

// Plays a track held as 16-bit samples. Spans that touch a chunk not decoded yet play as silence and
// are counted, never stale data.
class Int16MemoryAudioSource : public juce::PositionableAudioSource
{
public:
    Int16MemoryAudioSource (const std::vector<Int16ChannelData>* channels, ChunkLoadMap* chunkMap = nullptr,
                            std::atomic<int64_t>* missCounter = nullptr);

    void prepareToPlay (int, double) override {}
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 p) override;
    juce::int64 getNextReadPosition() const override { return position.load(); }
    juce::int64 getTotalLength() const override { return length; }
    bool isLooping() const override { return looping.load(); }
    void setLooping (bool shouldLoop) override { looping.store (shouldLoop); }

private:
    const std::vector<Int16ChannelData>* channels;
    ChunkLoadMap* chunkMap;
    std::atomic<int64_t>* missCounter;
    std::atomic<int64_t> position { 0 };
    int64_t length = 0;
    std::atomic<bool> looping { false };
};
} // namespace quorvelle
