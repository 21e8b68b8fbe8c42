#pragma once

#include "audio/graph/AudioLogLine.h"
#include "audio/graph/ClickSamples.h"
#include "audio/graph/SongTiming.h"
#include "audio/graph/SongTimingUpdate.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace quorvelle
{
// The click track. Each block it decides which clicks fall into the block and where, starts a
// one-shot voice for each and mixes the voices' click samples in. It follows the fixed clock of a
// click section when one is armed, else the song's beat map, else a constant tempo.
//
// Threads: the audio thread renders (and applies a staged song timing at a hand-off); the message
// thread calls the setters; the thread that starts the device calls prepareToPlay; the start-up
// loader thread loads the click bank. `stateLock` guards the state; the render holds it for the
// whole block, setters only for swaps and scalar stores: whatever allocates, converts, logs or frees
// happens before or after it. The click bank itself (decoded files, their conversion, the sound
// name) is kept under `bankLock`, which the audio thread never takes; only the selected pair
// crosses into the render state.
class MetronomeAudioSource : public juce::PositionableAudioSource
{
public:
    enum ClickKind { accentClick = 0, quarterClick = 1, eighthClick = 2, sixteenthClick = 3 };

    // One voice per click kind.
    struct ClickVoice
    {
        int32_t remaining = 0;    // samples still to play; 0 = silent
        int32_t length = 0;       // the sample's length when started
        int32_t readPosition = 0; // next sample to read
        bool useHigh = false;     // plays highClick, else lowClick
        float gain = 1.0f;
    };

    // The selected pair, shared with the count-in source when a count starts.
    struct ClickPair
    {
        SharedSampleBuffer high, low;
    };

    MetronomeAudioSource();
    ~MetronomeAudioSource() override;

    //==============================================================================
    // juce::PositionableAudioSource
    void prepareToPlay (int samplesPerBlockExpected, double rate) override;
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 newPosition) override;
    juce::int64 getNextReadPosition() const override { return currentSamplePosition.load(); }
    juce::int64 getTotalLength() const override { return 0; }
    bool isLooping() const override { return false; }
    void setLooping (bool) override {}

    //==============================================================================
    // Song timing (message thread; each copies its input before the lock and logs after it).
    void setBeatmap (std::vector<double> beatTimes, std::vector<int32_t> beatNumbers);
    void clearBeatmap();
    void setTimeSignature (int32_t numerator, int32_t denominator);
    void setTimeSignatureMap (std::vector<TimeSignatureMapEntry> entries);
    void setAccentSuppressRanges (std::vector<AccentSuppressRange> ranges);

    // Tempo and position (any thread).
    void setBpm (double newBpm);
    void setOriginalBpm (double newOriginalBpm);
    void seekToTime (double songTime);

    // Click sections (message thread).
    void setFixedClock (bool enabled, double bpm, int32_t numerator, int32_t denominator, int64_t limitSamples,
                        bool suppressFirstOnDownbeat);
    // As setFixedClock, then `alsoLocked` runs under the same hold of the lock: state that the block
    // observer reads changes in step with the clock (no block sees one without the other).
    template <typename Fn>
    void setFixedClockAnd (bool enabled, double newBpm, int32_t newNumerator, int32_t newDenominator, int64_t limitSamples,
                           bool suppressFirstOnDownbeat, Fn&& alsoLocked)
    {
        const juce::SpinLock::ScopedLockType lock (stateLock);
        applyFixedClock (enabled, newBpm, newNumerator, newDenominator, limitSamples, suppressFirstOnDownbeat);
        alsoLocked();
    }

    // The song-to-song hand-off: the message thread stages song B's timing, the audio thread swaps it
    // in (applyStagedSongTiming: no allocation, no free; the lines go through the audio-thread log),
    // and the message thread frees what came back (collectSongTiming).
    void stageSongTiming (SongTimingUpdate update) { stagedTiming.stage (std::move (update)); }
    bool applyStagedSongTiming() noexcept;
    bool collectSongTiming() { return stagedTiming.takeBack(); }

    // One-shot start offset: the next rendered block is silent before sample `offset` and starts the
    // timeline there, without advancing for the skipped part (the song starts inside that block).
    void setStartOffset (int offset) noexcept { pendingStartOffset.store (juce::jmax (0, offset)); }

    // Latency compensation. While the flag is on, the click grid runs `latencyOffsetSamples` (samples
    // at `latencyOffsetRate`, the session rate; the device rate when not above 0) behind the
    // position. An offset of 0 changes nothing.
    std::atomic<bool> latencyCompensation { false };
    std::atomic<int> latencyOffsetSamples { 0 };
    std::atomic<double> latencyOffsetRate { 0.0 };

    //==============================================================================
    // The click bank (ClickSamples.cpp).
    void loadClickSamples (const juce::File& clicksFolder, juce::AudioFormatManager& formats, const juce::File& assetRoot);
    // Stores the lower-cased name and reselects (the engine's sound change).
    void setSound (const juce::String& name);
    // The selected high and low clicks, taken under the lock.
    ClickPair getSelectedClicks() const;

    //==============================================================================
    // Wiring, set by the engine right after construction.
    std::function<void (const juce::String&)> logCallback;
    std::function<void (int)> blockObserver; // audio thread, stateLock held, after every rendered block
    std::atomic<bool>* deviceRateChangedFlag = nullptr;
    const std::atomic<bool>* transportPlayingFlag = nullptr;
    const std::atomic<bool>* countInRunningFlag = nullptr;

    // Written by the engine without the lock.
    std::atomic<double> pendingSeekSeconds { -1.0 };
    std::atomic<bool> pendingSeekIsJump { false };
    std::atomic<bool> suppressNextDownbeat { false };
    std::atomic<double> loopEndBoundary { -1.0 };
    std::atomic<double> jumpBoundary { -1.0 };
    std::atomic<bool> fixedClockStopRequest { false };
    std::atomic<bool> suppressFirstFixedAccent { false };
    std::atomic<float> accentLevel { 1.0f }, quarterLevel { 0.708f }, eighthLevel { 0.0f }, sixteenthLevel { 0.0f };

    // The fixed clock. The block observer may rewrite the elapsed count (negative included) and the
    // limit: it runs with stateLock held.
    std::atomic<int64_t> fixedElapsedSamples { 0 };
    int64_t fixedLimitSamples = 0;
    // The grid point the fixed clock last sounded (counted from its position 0, -1 before the first),
    // and a downbeat owed to the next block: the observer that moves the clock to a new bar sets it
    // when the bar's first grid point was not sounded yet and lies before the next block; it sounds at
    // that block's start. Both under stateLock.
    int64_t fixedLastTick = -1;
    bool fixedDownbeatOwed = false;

    juce::SpinLock stateLock;

    //==============================================================================
    // State readers for the engine's diagnostics and the tests (take the lock).
    double getSampleRate() const;
    double getBpm() const;
    int32_t getLastBeatmapIdx() const;
    bool isFixedClockActive() const;
    double getTickPhase() const;

private:
    void applyFixedClock (bool enabled, double newBpm, int32_t newNumerator, int32_t newDenominator, int64_t limitSamples,
                          bool suppressFirstOnDownbeat); // stateLock held
    void renderBlock (juce::AudioBuffer<float>& buffer, int o0, int n);
    void renderFixedClock (juce::AudioBuffer<float>& buffer, int o0, int n, const float* levels, int64_t delay);
    void renderBeatmap (juce::AudioBuffer<float>& buffer, int o0, int n, const float* levels, int64_t delay);
    void renderConstantTempo (juce::AudioBuffer<float>& buffer, int o0, int n, const float* levels, int64_t delay);
    void fireTick (juce::AudioBuffer<float>& buffer, int o0, int n, int64_t tickIndex, int32_t barNumerator, int offset,
                   const float* levels, bool fixedClock);
    void fireClick (juce::AudioBuffer<float>& buffer, int o0, int n, int voice, int offset, bool high, float gain);
    void renderClickVoice (juce::AudioBuffer<float>& buffer, int o0, int n, int voice, int offset) noexcept;
    void silenceVoices() noexcept;
    void placeCursor (double songTime); // stateLock held
    double tempoRatio() const noexcept { return timing::tempoRatio (bpm, originalBpm); }
    double songTimeOf (int64_t position) const noexcept;
    int64_t latencyDelaySamples() const noexcept;
    static ResampledClickMap convertClickSamples (const ClickSampleMap& bank, double rate);

    // The bank converted to a rate and the sound's pair picked from it, built under bankLock only.
    struct PreparedClicks
    {
        ResampledClickMap converted;
        ClickPair selected;
    };
    PreparedClicks prepareClicks (double rate) const; // bankLock held
    static ClickPair pickClicks (const ResampledClickMap& converted, const juce::String& sound);
    // Swaps the prepared clicks in; `prepared` leaves with the previous ones. stateLock and bankLock held.
    void installClicks (PreparedClicks& prepared) noexcept;

    // Guarded by stateLock.
    double bpm = 120.0, originalBpm = 120.0;
    double sampleRate = 0.0;
    std::atomic<int64_t> currentSamplePosition { 0 }; // written under the lock, read without it
    double tickPhase = 0.0;
    // The constant-tempo clock's phase at an output position (stateLock held).
    double constantTempoPhaseAt (int64_t position) const noexcept;
    SongTimingRecords timing;
    bool fixedClockActive = false;
    double fixedBpm = 120.0;
    int32_t fixedNumerator = 4, fixedDenominator = 4;
    std::array<ClickVoice, 4> voices {};

    // The last truncation at a boundary: one line per boundary crossed (cleared by a reposition).
    double boundaryLogTime = 0.0, boundaryLogBlockEnd = 0.0;
    bool boundaryLogIsLoop = false;
    bool boundaryLogPending = false;

    // The click pair the render plays (guarded by stateLock).
    SharedSampleBuffer highClick, lowClick;

    // The click bank: loader and message threads only, under bankLock.
    std::mutex bankLock;
    ClickSampleMap clickSamples;
    ResampledClickMap resampledClicks;
    juce::String sound { "estandar" };

    StagedSongTiming stagedTiming;
    std::atomic<int> pendingStartOffset { 0 };

    // Diagnostics only.
    int64_t silentBlocks = 0;
    double loggedBpm = -1.0, loggedOriginalBpm = -1.0;
    bool firstBlock = true;

    SourceLog sourceLog { logCallback };
};
} // namespace quorvelle
