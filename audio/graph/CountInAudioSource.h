#pragma once

#include "audio/graph/AudioLogLine.h"
#include "audio/graph/ClickSamples.h"
#include "audio/graph/CountIn.h"
#include "audio/graph/CueSampleBank.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
// Speaks and clicks the count that leads into a song or a section, reports the count's end at the
// exact sample through CountInState, and plays a region voice overlay (spoken cues at fixed sample
// positions over a region of the song).
//
// The message thread (or the export thread) builds each count and overlay off the audio path and
// swaps it in under `renderLock`, which the render holds for its whole block: a rebuild therefore
// lands between two blocks, never inside one. Sounds are shared immutable buffers (the cue bank's
// and the metronome's), held by the installed count; the render keeps plain pointers into it and
// never takes or drops a reference.
class CountInAudioSource : public CountInInterface
{
public:
    struct CountInEvent
    {
        juce::String key;     // spoken sample key; empty for a subdivision click
        int64_t samplePos = 0; // output samples from the count's start
        bool downbeat = false;
        int32_t clickKind = -1; // -1 spoken beat, 2 eighth, 3 sixteenth
    };

    struct ActiveVoice
    {
        const juce::AudioBuffer<float>* buffer = nullptr;
        double position = 0.0;
        bool isVoice = false;
        float gain = 1.0f;
    };

    struct RegionVoiceEvent
    {
        juce::String key;
        int64_t samplePos = 0; // samples from the overlay's start
    };

    // Room for this many playing entries (and as many region voices). A sound started while all
    // play takes the place of the one that started first.
    static constexpr int maxActiveVoices = 32;

    CountInAudioSource();
    ~CountInAudioSource() override;

    //==============================================================================
    // Wiring (set by the engine).
    std::function<void (const juce::String&)> logCallback;
    CountInState* countInState = nullptr;
    const CueSampleBank* cueSamplesRef = nullptr;
    // The metronome's selected clicks, taken under its lock when a count starts (message thread).
    SharedSampleBuffer clickHighRef, clickLowRef;
    std::function<void()> onRegionOverlayComplete;

    // Musical setting, written by the engine before a start (message thread).
    double bpm = 120.0;
    int32_t numerator = 4, denominator = 4;
    double voiceSampleRate = 44100.0;

    // Settings read by the render.
    std::atomic<int32_t> loopsRemaining { 0 };
    std::atomic<bool> renderClicks { true }, renderVoice { true };
    std::array<std::atomic<float>, 4> clickLevels { 1.0f, 0.708f, 0.0f, 0.0f };
    std::atomic<float> clickGain { 1.0f }, voiceGain { 1.0f };
    std::atomic<float> clickGainOverride { -1.0f }, voiceGainOverride { -1.0f };
    std::atomic<float> voicePeak { 0.0f }, clickPeak { 0.0f };
    // Raised by the render each time a looping count wraps into another pass; the engine's timer
    // takes it by exchange.
    std::atomic<bool> repeatFired { false };

    // A prepared count (started with start = false) begins when the engine sets these, in this
    // order: countInState's flags, then `active`.
    std::atomic<bool> active { false };

    //==============================================================================
    // False when refused (no rate, tempo or cue samples): nothing changed.
    bool startCountIn (const juce::String& sectionKey, bool start);
    void startCountInPreRoll (const juce::String& sectionKey);
    void stop();
    void setRegionVoiceOverlay (const std::vector<RegionVoiceEvent>& voices, int64_t endSample, bool startNow);
    // The engine ends a running overlay itself (stop, pause, export).
    void clearRegionOverlay();
    // Any thread, no lock: when an overlay with voices is installed, it plays again from its first
    // voice (the position resets at the next rendered block).
    void restartRegionOverlay() noexcept;
    // The rate the count renders at and the rate of its voice samples (message thread); the speed
    // ratio is voiceRate / outputRate, 1 when either is not positive.
    void setRates (double outputRate, double voiceRate);
    bool armVoiceSwap (const juce::String& key);
    void trimLength (int64_t samples);
    void truncateAt (double seconds);
    double getPositionSeconds() const;
    double getLengthSeconds() const;
    int64_t getLength() const;
    std::vector<CountInEvent> getEvents() const; // a copy, for the engine's diagnostics and tests
    float takeVoicePeak() noexcept { return voicePeak.exchange (0.0f); }
    float takeClickPeak() noexcept { return clickPeak.exchange (0.0f); }

    //==============================================================================
    void prepareToPlay (int samplesPerBlockExpected, double rate) override;
    void releaseResources() override {}
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    bool isActive() const override { return active.load(); }
    bool isRegionOverlayActive() const override { return regionOverlayActive.load(); }

private:
    // One built count: its events, the sound of each and the buffers they live in.
    struct CountPlan
    {
        std::vector<CountInEvent> events;
        std::vector<const juce::AudioBuffer<float>*> eventVoices; // the event's own voice, or null
        int64_t length = 0;
        std::shared_ptr<const CueSampleMap> cues;
        SharedSampleBuffer clickHigh, clickLow, cuentaInicialVoice;
    };

    struct RegionPlan
    {
        std::vector<RegionVoiceEvent> voices;
        std::vector<const juce::AudioBuffer<float>*> buffers;
        std::shared_ptr<const CueSampleMap> cues;
    };

    struct VoiceList
    {
        std::array<ActiveVoice, maxActiveVoices> entries {};
        int count = 0;
        void add (const ActiveVoice& voice) noexcept;
        void clear() noexcept { count = 0; }
        void removeSpoken() noexcept;
    };

    std::unique_ptr<CountPlan> buildCount (const juce::String& sectionKey, bool preRoll, bool& valid);
    void buildVoiceEvents (CountPlan& plan, const juce::String& sectionKey);
    void buildPreRollEvents (CountPlan& plan, const juce::String& sectionKey);
    void buildClickEvents (CountPlan& plan);
    void resolveVoiceSamples (CountPlan& plan);
    void installCount (std::unique_ptr<CountPlan>& plan, bool preRoll, bool start, const juce::String& sectionKey);
    void note (const juce::String& line) const;

    void renderCount (juce::AudioBuffer<float>& buffer, int o0, int n);
    void renderRegion (juce::AudioBuffer<float>& buffer, int o0, int n);
    float mixVoice (ActiveVoice& voice, juce::AudioBuffer<float>& buffer, int o0, int n, float startGain, float endGain) noexcept;

    juce::SpinLock renderLock; // held by the render for the whole block, by the others only for swaps

    // Guarded by renderLock.
    double outputSampleRate = 48000.0;
    double speedRatio = 1.0;
    std::unique_ptr<CountPlan> plan;
    int32_t nextEvent = 0;
    int64_t position = 0, length = 0;
    VoiceList activeVoices;
    bool announcementPassed = false;
    SharedSampleBuffer swapVoice;
    std::vector<SharedSampleBuffer> earlierSwapVoices; // kept until the next start or stop
    float lastClickGain = 1.0f, lastVoiceGain = 1.0f;

    std::unique_ptr<RegionPlan> region;
    VoiceList activeRegionVoices;
    int32_t regionNext = 0;
    int64_t regionPosition = 0, regionEnd = 0;
    std::atomic<bool> regionOverlayActive { false };
    std::atomic<bool> regionHasVoices { false }, regionRestartRequested { false };
    bool armRegionAfterCount = false;

    SourceLog sourceLog { logCallback };
};
} // namespace quorvelle
