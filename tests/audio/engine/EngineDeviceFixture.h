// An engine whose only device types are "Virtual" (manual clock) and "Refusing" (one device that
// never opens), with a sink that records every event in order.
#pragma once

#include "audio/engine/AudioEngine.h"
#include "platform/StorageRoot.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/support/CapturingLogger.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvelle::test
{
// A device type whose one device cannot be created: the device manager then reports its
// "Can't open the audio device!" text.
class RefusingDeviceType final : public juce::AudioIODeviceType
{
public:
    RefusingDeviceType() : juce::AudioIODeviceType ("Refusing") {}
    void scanForDevices() override {}
    juce::StringArray getDeviceNames (bool wantInputNames) const override
    {
        return wantInputNames ? juce::StringArray() : juce::StringArray ("Broken");
    }
    int getDefaultDeviceIndex (bool forInput) const override { return forInput ? -1 : 0; }
    int getIndexOfDevice (juce::AudioIODevice*, bool) const override { return -1; }
    bool hasSeparateInputsAndOutputs() const override { return false; }
    juce::AudioIODevice* createDevice (const juce::String&, const juce::String&) override { return nullptr; }
};

// A song transport over ten seconds of silence at 48 kHz, prepared, so positions convert to seconds.
// Nothing pulls it: its stop() waits out its full second for a block that never comes.
struct SongTransport
{
    SongTransport()
    {
        transport.setSource (&memory, 0, nullptr, 48000.0);
        transport.prepareToPlay (512, 48000.0);
    }
    ~SongTransport() { transport.setSource (nullptr); }

    juce::AudioBuffer<float> audio { 2, 480000 };
    juce::MemoryAudioSource memory { audio, false };
    juce::AudioTransportSource transport;
};

class EngineDeviceTest : public testing::Test
{
protected:
    using Devices = platform::VirtualAudioDevices;

    static Devices& devices() { return Devices::instance(); }

    void SetUp() override
    {
        devices().reset();
        settingsPath().deleteRecursively();

        // Added before the manager lists its types, so it creates no system types beside them.
        auto& manager = engine.getDeviceManager();
        manager.addAudioDeviceType (platform::createVirtualAudioDeviceType());
        manager.addAudioDeviceType (std::make_unique<RefusingDeviceType>());

    }

    void TearDown() override { devices().reset(); }

    // The settings file in the storage root, the Virtual type chosen (its first device, "Virtual 2",
    // at 48000 Hz and 1024 samples), and the events so far forgotten.
    void openVirtual()
    {
        engine.initSettingsFile();
        engine.setAudioDriver ("Virtual");
        ASSERT_EQ (currentDeviceName(), "Virtual 2");
        ASSERT_EQ (engine.getDeviceSampleRate(), 48000.0);
        events.clear();
    }

    static juce::File settingsPath() { return getStorageRoot().getChildFile ("audio-settings.xml"); }

    juce::String currentDeviceName()
    {
        auto* device = engine.getDeviceManager().getCurrentAudioDevice();
        return device != nullptr ? device->getName() : juce::String();
    }

    static juce::String actionOf (const juce::var& event) { return event.getProperty ("action", {}).toString(); }

    // The index of the first event from `from` on that satisfies `predicate`.
    std::optional<size_t> find (const std::function<bool (const juce::var&)>& predicate, size_t from = 0) const
    {
        for (size_t i = from; i < events.size(); ++i)
            if (predicate (events[i]))
                return i;
        return std::nullopt;
    }

    std::optional<size_t> findAction (const juce::String& action, size_t from = 0) const
    {
        return find ([&] (const juce::var& e) { return actionOf (e) == action; }, from);
    }

    std::optional<size_t> findDebugLine (const juce::String& prefix, size_t from = 0) const
    {
        return find ([&] (const juce::var& e)
        {
            return actionOf (e) == "DEBUG_LOG" && e.getProperty ("message", {}).toString().startsWith (prefix);
        }, from);
    }

    int countAction (const juce::String& action) const
    {
        int n = 0;
        for (const auto& e : events)
            n += actionOf (e) == action ? 1 : 0;
        return n;
    }

    int countDebugLines (const juce::String& fragment) const
    {
        int n = 0;
        for (const auto& e : events)
            n += actionOf (e) == "DEBUG_LOG" && e.getProperty ("message", {}).toString().contains (fragment) ? 1 : 0;
        return n;
    }

    // The last AUDIO_DEVICES_LIST sent.
    juce::var lastList() const
    {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (actionOf (*it) == "AUDIO_DEVICES_LIST")
                return *it;
        return {};
    }

    CapturingLogger log;
    // Written from any thread (a worker's log line); read by the test once the workers are quiet.
    std::mutex eventsLock;
    std::vector<juce::var> events;
    AudioEngine engine { [this] (const juce::String&, const juce::var& payload)
                         {
                             const std::scoped_lock sl (eventsLock);
                             events.push_back (payload);
                         },
                         [] { return getStorageRoot(); } };
};
} // namespace quorvelle::test
