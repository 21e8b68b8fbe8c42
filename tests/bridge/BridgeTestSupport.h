#pragma once

#include "app/MainComponent.h"
#include "platform/EventSink.h"
#include "platform/FrontEndHost.h"
#include "typedbridge/TypedBridge.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

namespace quorvelle::test
{
// A typed bridge that records the sender calls it receives, each as "name|arg|arg...". Each call
// also leaves a {"action": "TYPED:<name>"} marker with the host, so the test sees the order of
// the JSON and typed legs on one timeline (and the host's visibility rule applies to it).
class RecordingTypedBridge final : public TypedBridge
{
public:
    using TypedBridge::TypedBridge;

    std::vector<std::string> calls;
    std::vector<std::string> dispatched;

    void record (const std::string& call)
    {
        calls.push_back (call);
        auto* marker = new juce::DynamicObject();
        juce::var payload (marker);
        marker->setProperty ("action", juce::String ("TYPED:") + juce::String (call).upToFirstOccurrenceOf ("|", false, false));
        if (browser != nullptr)
            browser->emitEventIfVisible ("fromNative", payload);
    }

    static std::string s (double d) { return juce::String (d).toStdString(); }
    static std::string s (int64_t i) { return std::to_string (i); }
    static std::string s (int32_t i) { return std::to_string (i); }
    static std::string s (bool b) { return b ? "true" : "false"; }

    void dispatchBase64 (const std::string& data) override { dispatched.push_back (data); }
    void sendAppQuitRequest() override { record ("sendAppQuitRequest"); }
    void sendDebugLog (const std::string& m) override { record ("sendDebugLog|" + m); }
    void sendWaveformUpdate (const std::string& songId, const std::vector<float>& peaks, const std::vector<float>& peaksMin,
                             const std::vector<float>& peaksMax) override
    {
        std::string text = "sendWaveformUpdate|" + songId + "|";
        for (auto f : peaks) text += s ((double) f) + ",";
        text += "|" + std::to_string (peaksMin.size()) + "|" + std::to_string (peaksMax.size());
        record (text);
    }
    void sendAudioDevicesList (const AudioDevicesListInfo& a) override
    {
        std::string text = "sendAudioDevicesList|";
        for (auto d : a.sampleRates) text += s (d) + ",";
        text += "|" + std::to_string (a.bufferSizes.size()) + "|" + s (a.maxOutputChannels) + "|" + a.currentDriver;
        record (text);
    }
    void sendTranscodeComplete (const std::string& id, const std::string&, const std::string&, const std::string&, bool, const std::string&,
                                const std::string&, bool hasHash, const std::string& hash, int64_t sizeBytes, double, int32_t, int32_t,
                                double) override
    {
        record ("sendTranscodeComplete|" + id + "|" + s (hasHash) + "|" + hash + "|" + s (sizeBytes));
    }
    void sendUploadComplete (const std::string& jobId, const std::string&, bool, const std::string&, bool hasRefKind, const std::string& refKind,
                             const std::string&, const std::string&, const std::string&, const std::string&) override
    {
        record ("sendUploadComplete|" + jobId + "|" + s (hasRefKind) + "|" + refKind);
    }
    void sendDownloadComplete (const std::string& jobId, const std::string&, const std::string&, const std::string& refKind, const std::string&,
                               const std::string&, const std::string&, const std::string&, const std::string&, bool success,
                               const std::string&) override
    {
        record ("sendDownloadComplete|" + jobId + "|" + refKind + "|" + s (success));
    }
    void sendLoadProgress (const std::string& songId, int32_t trackIndex, int32_t totalTracks, int32_t progress) override
    {
        record ("sendLoadProgress|" + songId + "|" + s (trackIndex) + "|" + s (totalTracks) + "|" + s (progress));
    }
    void sendClickSectionStarted (const std::string& entryId, const std::string& mode, int64_t total, int64_t perIteration, int64_t perBar) override
    {
        record ("sendClickSectionStarted|" + entryId + "|" + mode + "|" + s (total) + "|" + s (perIteration) + "|" + s (perBar));
    }
    void sendMidiDevicesList (const std::vector<MidiDeviceEntry>& devices) override
    {
        std::string text = "sendMidiDevicesList|";
        for (auto& d : devices) text += "[" + d.id + ":" + d.name + "]";
        record (text);
    }
    void sendMidiInputDevicesList (const std::vector<MidiDeviceEntry>& devices) override
    {
        record ("sendMidiInputDevicesList|" + std::to_string (devices.size()));
    }
    void sendSessionRemoteCommand (const std::string& clientId, const std::string& commandId, const std::string& command) override
    {
        record ("sendSessionRemoteCommand|" + clientId + "|" + commandId + "|" + command);
    }
    void sendFileSaved (const std::string& id, const std::string& path, const std::string& url) override
    {
        record ("sendFileSaved|" + id + "|" + path + "|" + url);
    }
    void sendImageSaveComplete (const std::string& id, bool success, const std::string& url, const std::string& contentHash, int64_t sizeBytes,
                                const std::string& mimeType, const std::string& error) override
    {
        record ("sendImageSaveComplete|" + id + "|" + s (success) + "|" + url + "|" + contentHash + "|" + s (sizeBytes) + "|" + mimeType + "|" + error);
    }
    void sendExportMixComplete (const std::string& filePath) override { record ("sendExportMixComplete|" + filePath); }
    void sendExportMixError (const std::string& message) override { record ("sendExportMixError|" + message); }
    void sendExportMixCancelled() override { record ("sendExportMixCancelled"); }
    void sendAudioDeviceLost() override { record ("sendAudioDeviceLost"); }
    void sendSessionLoaded (const std::string& songId, double duration, int32_t rate, int32_t count, const std::string& error, bool pre,
                            bool stretched) override
    {
        record ("sendSessionLoaded|" + songId + "|" + s (duration) + "|" + s (rate) + "|" + s (count) + "|" + error + "|" + s (pre) + "|"
                + s (stretched));
    }
};

inline juce::var parseJson (const juce::String& text)
{
    return juce::JSON::parse (text);
}
// A main component on a recording front-end host with a recording typed bridge. `make` builds it
// with readiness held by the test (flipped at once when `engineReady`), then forgets what start-up
// sent, so each case sees only its own events.
class MainComponentFixture : public ::testing::Test
{
protected:
    void make (bool engineReady = true)
    {
        MainComponent::Options options;
        options.holdEngineReadiness = true;
        options.frontendFolder = temp / "frontend";
        options.engineOperations = engineOperations;
        options.makeTypedBridge = [this] (platform::FrontEndHost* browser)
        {
            auto bridge = std::make_unique<RecordingTypedBridge> (browser);
            typed = bridge.get();
            return bridge;
        };
        component = std::make_unique<MainComponent> (host, options);
        component->waitForStartupThread();
        if (engineReady)
            component->getAudioEngine().markInitialiseCompleteForTesting();
        // The start-up thread's lines reach the typed bridge through the message loop: the last one
        // must have arrived before the record is cleared.
        runMessageLoopUntil ([this]
        {
            for (const auto& call : typed->calls)
                if (call.find ("BG thread DONE") != std::string::npos)
                    return true;
            return false;
        });
        host.clearEvents();
        typed->calls.clear();
    }

    void deliver (const juce::var& message) { host.deliverToNative (message); }

    // Set before `make` to have the engine rows call it instead of the component's engine.
    EngineOperations* engineOperations = nullptr;
    TempFolder temp;
    CapturingLogger logger;
    platform::RecordingFrontEndHost host;
    RecordingTypedBridge* typed = nullptr;
    std::unique_ptr<MainComponent> component;
};

} // namespace quorvelle::test
