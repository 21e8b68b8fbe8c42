#pragma once

#include "audio/graph/BusRenderPool.h"
#include "audio/graph/ChainSources.h"
#include "audio/graph/CountIn.h"
#include "audio/graph/DirectSourceDelay.h"
#include "audio/graph/GraphUtils.h"
#include "audio/graph/OverlaySampleSource.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace quorvelle
{
struct BusRoute
{
    juce::AudioSource* source = nullptr; // not owned; a bus route holds its group's tap
    int32_t firstChannel = 0;
    bool stereo = true;
    bool monitor = false;
    float gain = 1.0f; // direct sources only
};

// The audio thread's view of one route.
struct RouteSlot
{
    juce::String name;
    int32_t firstChannel = 0;
    bool stereo = true;
    TapAudioSource* tap = nullptr;
    juce::AudioSource* source = nullptr;
    bool monitor = false;
    float gain = 1.0f;
    bool isCountIn = false; // name is "countIn"
    int delayLane = -1;     // song-locked sources: their lane in the router's delay
};

// The state of one output channel's linear resampler.
struct SrcState
{
    double phase = 0.0;
    float carry = 0.0f;
    bool hasCarry = false;
};

// The device's audio source: mixes the song chain, the group buses and the direct sources (metronome,
// cues, pads, count-in, count overlays) into the device outputs, on one of three paths per block
// (SPLIT, FAST, CUSTOM), and hands off from a count or an overlay to the song on the exact sample.
//
// The message thread changes routes under `routerLock` and republishes the whole route snapshot; the
// audio thread reads the published snapshot without a lock. A snapshot the audio thread may still be
// reading is never rewritten, and nothing is freed on the audio thread.
class MultiBusRouter : public juce::AudioSource
{
public:
    static constexpr int maxSlots = 32;
    static constexpr int maxOutputs = 16;

    MultiBusRouter();
    ~MultiBusRouter() override;

    // Message thread; each republishes the snapshot.
    void addBus (const juce::String& name, TapAudioSource* tap);
    void addDirectSource (const juce::String& name, juce::AudioSource* source);
    void setMonitor (const juce::String& name, bool monitor);
    void setRouting (const juce::String& name, int firstChannel, bool stereo);
    void setDirectGain (const juce::String& name, float gain);

    // Delays the song-locked direct sources (click, cues, count-in, count overlays) by `samples`
    // at the device rate, from the next block start (any thread). The rings hold up to
    // `maxSongLockedDelaySeconds`, sized at prepare.
    void setSongLockedDelay (int samples) noexcept { songLockedDelay.setDelay (samples); }
    int getSongLockedDelay() const noexcept { return songLockedDelay.getAppliedDelay(); }
    // Any thread: drops what the delay holds (at the next block start).
    void clearSongLockedDelay() noexcept { songLockedDelay.clear(); }
    std::atomic<double> maxSongLockedDelaySeconds { 0.5 };

    bool needsCustomRouting() const noexcept { return customRouting.load(); }

    // The device's active output count (the engine sets it whenever a device opens). The player may
    // hand the router more channels than that (max(inputs, outputs)); the paths and channel bounds
    // follow this count. 0: the block's channel count.
    void setDeviceOutputChannels (int count) noexcept { deviceOutputChannels.store (count); }

    void prepareToPlay (int samplesPerBlockExpected, double sampleRate) override;
    void releaseResources() override;
    void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override;

    // Linear interpolation of m input samples into n output samples at ratio r, continuing from state.
    static void resampleLinear (const float* x, int m, float* y, int n, double r, SrcState& state) noexcept;

    // Bindings (not owned; null until set; set before the device starts).
    juce::AudioSource* mainSource = nullptr;
    juce::AudioTransportSource* transport = nullptr; // read only for its playing state
    CountInState* countInState = nullptr;
    // True while a session is in the graph (the engine's session id is not empty).
    const std::atomic<bool>* sessionPresent = nullptr;
    std::atomic<bool>* standaloneCountActive = nullptr;
    std::atomic<bool>* countJumpArmed = nullptr;
    std::atomic<bool>* handoffArmed = nullptr;
    std::atomic<bool>* overlayDrivesHandoff = nullptr;
    std::atomic<bool>* autoStartRaised = nullptr;
    std::atomic<double>* handoffStampMs = nullptr;
    // The pool the song chain's bus mixer renders through: started at prepareToPlay (the device
    // starts) unless offline, stopped at releaseResources (the device stops) and before a prepare.
    BusRenderPool* renderPool = nullptr;

    // Set before the device starts and never reassigned while it runs. Lines logged while rendering
    // reach logCallback on the message thread, through the audio-thread log. The two hand-off
    // callbacks run on the audio thread at the exact sample (they start transports and seek): what
    // runs inside them must neither allocate nor block (the router tests arm the allocation and lock
    // counter around them).
    std::function<void (const juce::String&)> logCallback;
    std::function<void()> handoffCallback;   // audio thread, at a song-to-song hand-off
    // Stored just before `handoffCallback`: the offset in the block where the next song starts (the
    // overlay's samples left, or the standalone count's end offset; 0 at a block start).
    std::atomic<int32_t> handoffOffset { 0 };
    std::function<void()> countJumpCallback; // audio thread, when an armed standalone count ends
    std::function<void()> blockRenderedCallback; // audio thread, after every block

    // Settings.
    std::atomic<bool> splitMonitor { false };
    std::atomic<bool> offline { false };
    std::atomic<float> masterGain { 1.0f }, standbyGain { 1.0f };
    std::atomic<float> countInGain { 1.0f };
    std::atomic<double> sessionSampleRate { 0.0 };
    double getDeviceSampleRate() const noexcept { return deviceSampleRate; }

    // Diagnostics.
    std::atomic<int64_t> renderedSamples { 0 };
    std::atomic<int64_t> lastCallbackMicros { 0 };
    std::atomic<int64_t> maxCallbackMicros { 0 };
    std::atomic<double> measuredSampleRate { 0.0 }, driftPercent { 0.0 }, averageBlockSize { 0.0 };
    std::atomic<int32_t> reportCallbacks { 0 };
    std::atomic<bool> clockMismatch { false };
    std::atomic<bool> reportReady { false };

    // Audio-thread view of the routes, for tests and diagnostics on the audio thread.
    template <typename Visit>
    void visitSnapshot (Visit&& visit)
    {
        const PublishedState<Snapshot>::ReadScope snapshot (snapshots);
        visit (snapshot->slots, snapshot->busCount, snapshot->directCount);
    }

private:
    struct Snapshot
    {
        RouteSlot slots[maxSlots];
        int busCount = 0, directCount = 0;
        CountInInterface* countInSource = nullptr;
        OverlaySampleSource* handoffOverlay = nullptr;
        int countInDelayLane = -1;
    };

    enum class Path { split, fast, custom };

    void rebuildRouteSnapshot(); // caller holds routerLock
    std::vector<juce::AudioSource*> directSources() const; // takes routerLock
    void updateRateMonitor (int n);
    // Steps of one piece of a block; no path when the silence gate holds.
    std::optional<Path> renderPiece (juce::AudioBuffer<float>& dest, int n);
    Path choosePath (int channels) const noexcept;
    // SPLIT and FAST: the song in stereo from `songStart` on, then each direct source (rendered into
    // directScratch) mixed in.
    void renderSongStereo (juce::AudioBuffer<float>& dest, int n, int songStart);
    void mixStereo (juce::AudioBuffer<float>& dest, int n, Path path, float gain, bool monitor) noexcept;
    // CUSTOM: the song drives the bus taps, each bus goes to its outputs (resampled when the session
    // rate is not the device's), then the count-in and the direct sources to theirs.
    void renderSongForTaps (int n, int songStart);
    void routeBuses (const Snapshot& snapshot, juce::AudioBuffer<float>& dest, int n, int songStart);
    void routeCountIn (const Snapshot& snapshot, juce::AudioBuffer<float>& dest, int n);
    void routeDirectSources (const Snapshot& snapshot, juce::AudioBuffer<float>& dest, int n);
    int processHandoff (const Snapshot& snapshot, int n, bool& fired, bool& countInRendered);
    void renderDirect (const RouteSlot& slot, int n);
    void logPostPauseDiag (const juce::AudioBuffer<float>& dest, int start, int n, Path path);

    static void routeAdd (const juce::AudioBuffer<float>& from, int n, juce::AudioBuffer<float>& dest, int destStart,
                          int firstChannel, bool stereo, int destChannels) noexcept;

    juce::SpinLock routerLock;
    std::map<juce::String, BusRoute> buses, directs;
    std::atomic<bool> customRouting { false };
    PublishedState<Snapshot> snapshots;

    std::atomic<int> deviceOutputChannels { 0 };
    double deviceSampleRate = 0.0;

    juce::AudioBuffer<float> mainScratch, directScratch, workBuffer;
    DirectSourceDelay songLockedDelay;
    SrcState srcStates[maxOutputs];
    int lastSrcInputCount = 0;
    bool overlayHandedOff = false;

    int postPauseCallbacks = 0;
    double lastCallbackMs = 0.0, accumulatedMs = 0.0;
    int64_t accumulatedSamples = 0;
    int32_t accumulatedCallbacks = 0;
    double expectedSampleRate = 0.0;

    int logSink = 0;
};
} // namespace quorvelle
