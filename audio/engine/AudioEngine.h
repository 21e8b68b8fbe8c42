#pragma once

#include "audio/graph/CueAudioSource.h"
#include "core/Automation.h"
#include "platform/EventSink.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
// The audio engine: owns the device manager, the player it attaches to the device, the automation
// records and the graph's cue source; reports to the front end through the event sink it is given.
// Constructed with the main component; opens no device until `initialise`, which runs once on the
// start-up thread. No source is attached to the player yet, so an open device plays silence.
class AudioEngine final
{
public:
    // The spoken-cue source of the graph.
    using CueAudioSource = quorvelle::CueAudioSource;

    // `sink` is called from any thread (an empty sink drops the events); `storageRoot` answers the
    // storage root in force whenever BACKEND_READY is built.
    AudioEngine (EventSink sink, std::function<juce::File()> storageRoot);
    ~AudioEngine();

    AudioEngine (const AudioEngine&) = delete;
    AudioEngine& operator= (const AudioEngine&) = delete;

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
    // is not an object, reads as empty) and replaces all four stored records. They are stored
    // only: nothing evaluates them yet.
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

    // Tests hold readiness themselves: with this set, `initialise` returns at once and the test
    // flips readiness through `markInitialiseCompleteForTesting`.
    void setInitialiseHeldForTesting (bool held) { initialiseHeldForTesting = held; }
    void markInitialiseCompleteForTesting() { initialiseComplete = true; }

private:
    void openDefaultDevice();

    const EventSink eventSink;
    const std::function<juce::File()> storageRoot;

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
};
} // namespace quorvelle
