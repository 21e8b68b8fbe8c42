#pragma once

#include "audio/graph/AudioLogLine.h"
#include "audio/graph/ClickSamples.h"
#include "audio/graph/CueSampleBank.h"
#include "audio/graph/CueSchedule.h"
#include "audio/graph/SongTiming.h"
#include "audio/graph/SongTimingUpdate.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_audio_formats/juce_audio_formats.h>
#include <juce_events/juce_events.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace quorvelle
{
// The spoken guide: announces the next section by name shortly before it starts (optionally
// counting the rest of the bar), and plays indications (recorded messages scheduled at song
// positions), cutting an indication at its truncation point with a short fade.
//
// One spin lock guards the render state; the render holds it for its whole block, the other threads
// only to swap in what they prepared before taking it (whole maps and vectors, scalars): nothing
// allocates, converts, logs or frees under it. The decoded banks live under `bankLock`, which the
// audio thread never takes; it also keeps the rate from changing while a bank is converted. Sample
// buffers are shared and immutable. The audio thread never frees: a buffer a voice or the queue lets go of on
// the audio thread is parked, and the message thread releases the parked buffers (a timer of the
// source, and every setter). Lines written on the audio thread travel through the audio-thread log.
class CueAudioSource final : public juce::PositionableAudioSource
{
public:
    struct DecodedSample
    {
        SharedSampleBuffer buffer;
        double fileRate = 0.0;
    };

    struct CueVoice
    {
        SharedSampleBuffer buffer;
        bool playing = false;
        int readPosition = 0;
    };

    struct QueuedCue
    {
        SharedSampleBuffer buffer;
        int64_t startSample = 0;
    };

    using CueSection = quorvelle::CueSection;

    using SectionOverride = quorvelle::SectionOverride;

    struct IndicationMarker
    {
        juce::String markerId;
        juce::String indicationId;
        double playbackPositionSec = 0.0;
        double truncateAtSec = -1.0;
    };

    // The queue of full-bar numbers is a fixed ring; an entry appended to a full ring is left out.
    static constexpr int cueQueueCapacity = 64;

    CueAudioSource();
    ~CueAudioSource() override;

    //==============================================================================
    // juce::PositionableAudioSource
    void prepareToPlay (int samplesPerBlockExpected, double rate) override;
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;
    void setNextReadPosition (juce::int64 newPosition) override;
    juce::int64 getNextReadPosition() const override { return position.load(); }
    juce::int64 getTotalLength() const override { return 0; }
    bool isLooping() const override { return false; }
    void setLooping (bool) override {}

    //==============================================================================
    // Song data (message thread).
    void setBpm (double newBpm);
    void setOriginalBpm (double newOriginalBpm);
    void setTimeSignature (int newNumerator, int newDenominator);
    void setSectionAnnounceFullBar (bool enabled);
    void setBeatmap (std::vector<double> times);
    void setTimeSignatureMap (std::vector<TimeSignatureMapEntry> entries);
    void setSections (const juce::String& json);
    void setSectionOverrides (const juce::String& json);
    void setIndicationSchedule (const juce::var& schedule);
    // The engine's guide state (looping, repeating, the queued jump target's name), stored together.
    void updateGuideState (bool isLooping, bool isRepeating, const juce::String& queuedSectionName);

    // Sample banks.
    void loadCueSamples (const juce::File& cuesFolder, juce::AudioFormatManager& formats, const juce::File& assetRoot);
    bool loadIndication (const juce::String& indicationId, const juce::File& file, juce::AudioFormatManager& formats);
    void unloadIndication (const juce::String& indicationId);
    void clearIndications();

    // The published spoken samples (the count-in source reads them through this).
    const CueSampleBank& getCueSampleBank() const noexcept { return cueSamples; }
    int64_t getMemoryUsage() const;
    juce::String getFilenameForSection (const juce::String& sectionName) const;
    // The first cue section whose name, lower-cased and trimmed, is none of `skipped`; empty when none.
    juce::String getFirstSectionNameExcept (const juce::StringArray& skipped) const;
    double getSampleRate() const noexcept { return currentSampleRate(); }
    juce::String describeKeys() const;

    // Immediate triggers of the click-section logic (audio thread, from the metronome's observer).
    bool triggerIndication (const juce::String& indicationId, const juce::String& markerId);
    bool triggerCueByName (const juce::String& sectionName);

    // The song-to-song hand-off, as the metronome's: staged on the message thread, swapped in on the
    // audio thread without allocating or freeing, taken back on the message thread.
    void stageSongTiming (SongTimingUpdate update) { stagedTiming.stage (std::move (update)); }
    bool applyStagedSongTiming() noexcept;
    bool collectSongTiming() { return stagedTiming.takeBack(); }

    // One-shot start offset: the next rendered block is silent before sample `offset` and the
    // source's timeline starts there.
    void setStartOffset (int offset) noexcept { pendingStartOffset.store (juce::jmax (0, offset)); }

    // Message thread: releases the buffers the audio thread let go of. Returns how many.
    int releaseParkedBuffers();

    //==============================================================================
    // Wiring (set by the engine right after construction).
    std::function<void (const juce::String&)> logCallback;
    const std::atomic<double>* songTimeSource = nullptr;
    const std::atomic<bool>* clickSectionActiveFlag = nullptr;
    const std::atomic<bool>* transportPlayingFlag = nullptr;
    const std::atomic<bool>* countInRunningFlag = nullptr;

    // A reposition of the music chain, in seconds of real time; -1 none.
    std::atomic<double> pendingSeekSeconds { -1.0 };

    // State readers for diagnostics and tests (take the lock).
    int getSectionCursor() const;
    int getMarkerCursor() const;
    bool isIndicationPlaying() const;
    int getQueuedCueCount() const;
    juce::String getCurrentIndicationId() const;

private:
    // A short text stored in place, so that the audio thread can copy and clear it without
    // allocating or freeing.
    struct FixedText
    {
        char text[200] {};
        void set (const juce::String& value) noexcept;
        void clear() noexcept { text[0] = 0; }
        bool isEmpty() const noexcept { return text[0] == 0; }
    };

    class ParkedReleaseTimer;

    // Decides (decideCue), logs each decision in one place and plays the announcement it holds.
    void scheduleCues (int numSamples);
    void logCueDecision (const CueDecision& decision, const CueScheduleInput& input) const noexcept;
    void playCue (const CueDecision& decision, const CueScheduleInput& input) noexcept;
    void queueFullBar (int sectionIndex, double trigger, const char* name);
    // The signature in force at song time t: the map's while it holds 2 entries or more, else the
    // fixed one. (The announcement's own bar-early trigger keeps the fixed signature.)
    struct BarSignature
    {
        int numerator = 4, denominator = 4;
    };
    BarSignature signatureAt (double t) const noexcept;
    void findNextSection();
    void findNextIndication();
    double tempoRatio() const noexcept { return timing::tempoRatio (bpm, originalBpm); }
    double songTime (int64_t p) const noexcept { return sampleRate > 0.0 ? (double) p / sampleRate * tempoRatio() : 0.0; }
    double barLength() const noexcept;
    double effectiveTriggerTime (const CueSection& section) const noexcept;
    void startVoice (CueVoice& voice, const SharedSampleBuffer& buffer) noexcept;
    void stopVoice (CueVoice& voice) noexcept;
    void park (SharedSampleBuffer& buffer) noexcept;
    void clearQueue() noexcept;
    bool pushQueue (const SharedSampleBuffer& buffer, int64_t startSample) noexcept;
    void mixVoice (CueVoice& voice, juce::AudioBuffer<float>& out, int o0, int n) noexcept;
    void mixIndication (juce::AudioBuffer<float>& out, int o0, int n, double blockStart, double blockEnd) noexcept;
    // The bank entry for a section name (the key rule of getFilenameForSection), without allocating;
    // writes the key it found (or the normalised key) into `key`.
    const SharedSampleBuffer* lookUpSection (const char* sectionName, char* key, int keySize, bool log) const noexcept;
    static const SharedSampleBuffer* findKey (const CueSampleMap& map, const char* key) noexcept;

    using IndicationMap = std::map<juce::String, SharedSampleBuffer>;
    double currentSampleRate() const noexcept;
    // Swaps the map in force with `next` under the lock, and stops the indication voice when it plays
    // the id `stopIfPlaying` (null: none). bankLock held.
    void installIndications (IndicationMap& next, const char* stopIfPlaying) noexcept;

    // Loader and message threads only: the decoded files at their own rates.
    std::mutex bankLock;
    std::map<juce::String, DecodedSample> decodedCueSamples;
    std::map<juce::String, DecodedSample> decodedIndications;

    juce::SpinLock lock;

    // Guarded by lock (written under bankLock too, so that its holder may read without lock).
    CueSampleBank cueSamples; // exchanged only under `lock`
    IndicationMap indications;
    std::vector<CueSection> sections;
    int sectionCursor = 0;
    double bpm = 120.0, originalBpm = 120.0;
    int numerator = 4, denominator = 4;
    double sampleRate = 0.0;
    std::atomic<int64_t> position { 0 };
    std::vector<TimeSignatureMapEntry> timeSignatureMap;
    bool useTimeSignatureMap = false;
    CueVoice sectionVoice;
    bool looping = false, repeating = false;
    FixedText queuedSection;
    bool announceFullBar = false;
    std::array<QueuedCue, cueQueueCapacity> cueQueue {};
    int queueHead = 0, queueCount = 0;
    CueVoice queuedVoice;
    std::vector<SectionOverride> overrides;
    std::vector<double> beatTimes;
    std::vector<IndicationMarker> markers;
    int markerCursor = 0;
    CueVoice indicationVoice;
    FixedText currentIndicationId, currentMarkerId;
    double truncateAtSec = -1.0;

    // Buffers let go of under the lock, waiting for the message thread.
    static constexpr int parkCapacity = 256;
    std::array<SharedSampleBuffer, parkCapacity> parked {};
    int parkedCount = 0;

    StagedSongTiming stagedTiming;
    std::atomic<int> pendingStartOffset { 0 };

    SourceLog sourceLog { logCallback };
    std::unique_ptr<ParkedReleaseTimer> releaseTimer;
};
} // namespace quorvelle
