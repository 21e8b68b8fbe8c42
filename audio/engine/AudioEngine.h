#pragma once

#include "audio/engine/CheckedPropertiesFile.h"
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
class ZeroLatencyResamplingSource;

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

    //==============================================================================
    // Settings file, device list and device configuration. Message thread, except where noted.
    // -------- begin: settings and devices --------

    // Opens "audio-settings.xml" in the storage root (creating the root), replacing the open file.
    // Start-up thread (from initialise) or message thread.
    void initSettingsFile();
    // Writes the device keys and saves at once (nothing without a settings file).
    void saveAudioSettings();
    // Applies the saved plain values (driver, device, rate, buffer size). Start-up thread, when the
    // saved device state could not be used. True when a saved setup was applied without error.
    bool loadAudioSettings();
    // After the storage root moved: flushes and closes the file, copies it to the new root when
    // nothing is there yet, and opens the new root's file.
    void reopenSettingsFile();

    // Sends AUDIO_DEVICES_LIST with the device manager's state.
    void sendAudioDeviceList();

    // Device changes: each stops a playing song, detaches the graph, applies the change and rolls
    // back on refusal (AUDIO_CONFIG_ERROR), then re-reads the rate, re-derives the resampler ratio,
    // re-attaches the graph, saves and sends AUDIO_DEVICES_LIST.
    void setAudioDriver (const juce::String& driver);
    void setAudioDevice (const juce::String& device);
    void setDeviceSampleRate (double rate);
    void setDeviceBufferSize (int size);
    // Re-opens the device with outputs 0 .. numChannels - 1 when fewer are active; a playing song
    // resumes where it was.
    void ensureOutputChannels (int numChannels);
    // Shows the open device's own control panel (when it has one), then takes the device's rate,
    // re-derives the ratio, saves and sends AUDIO_DEVICES_LIST.
    void showDeviceControlPanel();

    // The song resampler's ratio: session rate / device rate, or exactly 1 within 1 Hz.
    void recalcResamplerRatio (const juce::String& reason);
    void sendAudioConfigError (const juce::String& operation, const juce::String& error);

    double getSessionSampleRate() const { return sessionSampleRate; }
    void setSessionSampleRate (double rate) { sessionSampleRate = rate; }
    CheckedPropertiesFile* getSettingsFile() { return settingsFile.get(); }

    // What the device changes need of the song side. Bound once by the engine where it builds the
    // song transport; each is optional.
    struct SongLinks
    {
        // The song transport (playing state, position).
        juce::AudioTransportSource* transport = nullptr;
        // Stops playback and returns to the start; without it the transport is stopped and rewound.
        std::function<void()> stop;
        // The active song's resampler, null while no song is active.
        std::function<ZeroLatencyResamplingSource*()> resampler;
        // The current song's id, for log lines.
        std::function<juce::String()> songId;
        // Applies the saved full-bar announcement; without it the cue source gets it directly.
        std::function<void (bool)> setSectionAnnounceFullBar;
    };
    SongLinks songLinks;

    // -------- end: settings and devices --------

    // Tests hold readiness themselves: with this set, `initialise` returns at once and the test
    // flips readiness through `markInitialiseCompleteForTesting`.
    void setInitialiseHeldForTesting (bool held) { initialiseHeldForTesting = held; }
    void markInitialiseCompleteForTesting() { initialiseComplete = true; }

private:
    void openDefaultDevice();

    juce::AudioDeviceManager deviceManager;
    juce::AudioSourcePlayer player;
    std::atomic<bool> initialiseComplete { false };
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

    // -------- begin: settings and devices --------
    // Setter frame shared by the four device changes (see the .cpp).
    struct DeviceChange;
    void runDeviceChange (const DeviceChange& change);
    juce::String applyDeviceSetup (const juce::AudioDeviceManager::AudioDeviceSetup& setup);
    void switchDeviceType (const juce::String& typeName);
    bool songTransportPlaying() const;
    juce::String transportStateForLog() const;
    juce::String songIdForLog() const;

    std::unique_ptr<CheckedPropertiesFile> settingsFile;
    // Until this millisecond counter value a device-change notification sends no device list.
    juce::uint32 listSuppressedUntilMs = 0;
    // Name of the device last opened; looked for again after a loss.
    juce::String lastDeviceName;
    // Rate of the open device as last read (written by the start-up thread, read anywhere).
    std::atomic<double> deviceSampleRate { 44100.0 };
    // Rate of the active song's audio.
    double sessionSampleRate = 44100.0;
    // -------- end: settings and devices --------
};
} // namespace quorvelle
