#pragma once

#include "bridge/EventSink.h"
#include "core/Automation.h"

#include <juce_audio_devices/juce_audio_devices.h>
#include <juce_audio_utils/juce_audio_utils.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
class TranscoderThread;
struct TranscodeJob;

// The audio engine: owns the device manager and the player that renders the audio graph, and
// reports to the front end through its EventSink. Constructed with the main component; opens no
// device until `initialise`, which runs once on the start-up thread.
class AudioEngine
{
public:
    // The spoken-cue source of the graph (defined with the audio sources).
    class CueAudioSource;

    AudioEngine();
    ~AudioEngine();

    AudioEngine (const AudioEngine&) = delete;
    AudioEngine& operator= (const AudioEngine&) = delete;

    // Set once by the owner before the start-up thread runs; called from any thread.
    EventSink eventSink;
    // Available physical memory in bytes, or -1 when the query fails. Installed by the owner.
    std::function<juce::int64()> queryAvailablePhysicalMemory;

    // Writes the line to the log and, when the sink is set, sends it as DEBUG_LOG through it on
    // the calling thread.
    void debugLog (const juce::String& line);

    // Start-up thread, once: opens an audio device (JACK when a server runs, else ALSA's default;
    // none is fine), attaches the player, marks the engine ready (which opens the bridge's gate)
    // and sends BACKEND_READY. Never waits on the message thread.
    void initialise();

    bool isInitialiseComplete() const { return initialiseComplete.load(); }
    double getDeviceSampleRate() const { return deviceSampleRate.load(); }

    // Sends BACKEND_READY through the sink, when it is set.
    void sendBackendReady();
    // The BACKEND_READY object; the bridge sends the same again on FRONTEND_READY.
    juce::var makeBackendReadyEvent() const;

    // Writes "[STARTUP-AE <seconds>s] <step>" to the log.
    void logStartupStep (const juce::String& step);

    juce::AudioDeviceManager& getDeviceManager() { return deviceManager; }

    // Automation, message thread only. `setAutomationCues` reads "cues", "baseState", "overrides"
    // and "songMap" from the payload with the core's readers (a missing member, or a payload that
    // is not an object, reads as empty) and replaces all four stored records; the engine tick
    // evaluates them while core automation is on.
    void setAutomationCues (const core::Json& payload);
    void setUseCoreAutomation (bool enabled) { useCoreAutomation = enabled; }
    bool isUsingCoreAutomation() const { return useCoreAutomation; }

    const std::vector<core::AutomationCue>& getAutomationCues() const { return automationCues; }
    const std::vector<core::AutomationOverride>& getAutomationOverrides() const { return automationOverrides; }
    const core::AutomationState& getAutomationBaseState() const { return automationBaseState; }
    const core::AutomationSongMap& getAutomationSongMap() const { return automationSongMap; }

    // Indications: recorded messages that the cue source speaks at song positions. Message thread;
    // loading decodes and converts on the calling thread.
    void loadIndicationToRam (const juce::String& indicationId, const juce::String& filePath, const juce::String& fallbackPath);
    void unloadIndicationFromRam (const juce::String& indicationId);
    void clearIndications();
    void setIndicationSchedule (const juce::var& schedule);
    CueAudioSource* getCueSource() { return cueSource.get(); }

    // Imports (message thread): the transcoder is created by the first job and converts into
    // FLAC below the storage root; its events go through the sink. Cancelling drains the queue
    // and flags the running jobs.
    void enqueueTranscode (const juce::String& id, const juce::String& trackId, const juce::String& subfolder, const juce::String& filename,
                           const juce::String& base64Data);
    void enqueueTranscodeFromPath (const juce::String& id, const juce::String& trackId, const juce::String& subfolder, const juce::String& filename,
                                   const juce::String& sourcePath, bool deleteSourceAfterRead);
    void cancelTranscodes();

    // Tests hold readiness themselves: with this set, `initialise` returns at once and the test
    // flips readiness through `markInitialiseCompleteForTesting`.
    void setInitialiseHeldForTesting (bool held) { initialiseHeldForTesting = held; }
    void markInitialiseCompleteForTesting() { initialiseComplete = true; }

private:
    void openDefaultDevice();

    juce::AudioDeviceManager deviceManager;
    juce::AudioSourcePlayer player;
    std::atomic<bool> initialiseComplete { false };
    std::atomic<double> deviceSampleRate { 44100.0 };
    juce::String lastDeviceName;
    double initialiseStartMs = 0.0;
    bool callbackAdded = false;
    bool initialiseHeldForTesting = false;

    bool useCoreAutomation = false;
    std::vector<core::AutomationCue> automationCues;
    std::vector<core::AutomationOverride> automationOverrides;
    core::AutomationState automationBaseState;
    core::AutomationSongMap automationSongMap;

    juce::AudioFormatManager formatManager;
    std::unique_ptr<CueAudioSource> cueSource;
    std::unique_ptr<TranscoderThread> transcoder;
    void enqueueTranscodeJob (TranscodeJob job);
};
} // namespace quorvelle
