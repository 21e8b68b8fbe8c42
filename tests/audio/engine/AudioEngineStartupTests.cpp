#include "audio/engine/AudioEngine.h"
#include "platform/StorageRoot.h"
#include "platform/VirtualAudioDevice.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace quorvelle;

namespace
{
// A system device type that lists nothing, as ALSA and JACK do on a machine without a sound card
// or a running server.
class EmptyDeviceType final : public juce::AudioIODeviceType
{
public:
    explicit EmptyDeviceType (const juce::String& name) : juce::AudioIODeviceType (name) {}
    void scanForDevices() override {}
    juce::StringArray getDeviceNames (bool) const override { return {}; }
    int getDefaultDeviceIndex (bool) const override { return -1; }
    int getIndexOfDevice (juce::AudioIODevice*, bool) const override { return -1; }
    bool hasSeparateInputsAndOutputs() const override { return false; }
    juce::AudioIODevice* createDevice (const juce::String&, const juce::String&) override { return nullptr; }
};

// An engine started on the start-up path with the system types replaced by empty ones; records
// its events from any thread.
struct StartedEngine
{
    std::mutex lock;
    std::vector<juce::var> events;
    AudioEngine engine { [this] (const juce::String&, const juce::var& payload)
                         {
                             const std::scoped_lock sl (lock);
                             events.push_back (payload);
                         },
                         [] { return getStorageRoot(); } };

    StartedEngine()
    {
        auto& manager = engine.getDeviceManager();
        manager.addAudioDeviceType (std::make_unique<EmptyDeviceType> ("ALSA"));
        manager.addAudioDeviceType (std::make_unique<EmptyDeviceType> ("JACK"));
    }

    void start()
    {
        engine.initialise();
        // The deferred save runs on the message thread.
        EXPECT_TRUE (test::runMessageLoopUntil ([this] { return settingsText().contains ("deviceManagerState") || settingsText().contains ("driverType"); }));
        test::runMessageLoopFor (20);
    }

    std::vector<juce::String> actions()
    {
        const std::scoped_lock sl (lock);
        std::vector<juce::String> names;
        for (const auto& event : events)
            names.push_back (event["action"].toString());
        return names;
    }

    juce::var first (const juce::String& action)
    {
        const std::scoped_lock sl (lock);
        for (const auto& event : events)
            if (event["action"].toString() == action)
                return event;
        return {};
    }

    static juce::String settingsText() { return getStorageRoot().getChildFile ("audio-settings.xml").loadFileAsString(); }

    juce::String openDeviceName()
    {
        auto* device = engine.getDeviceManager().getCurrentAudioDevice();
        return device != nullptr ? device->getName() : juce::String();
    }
};

long indexOf (const std::vector<juce::String>& names, const juce::String& name)
{
    const auto found = std::find (names.begin(), names.end(), name);
    return found == names.end() ? -1 : (long) (found - names.begin());
}

struct VirtualDevicesReset
{
    VirtualDevicesReset() { platform::VirtualAudioDevices::instance().reset(); }
    ~VirtualDevicesReset() { platform::VirtualAudioDevices::instance().reset(); }
};
} // namespace

TEST (AudioEngineStartup, WithNothingListedNothingOpensTwiceAndTheVirtualTypeIsNeverSaved)
{
    VirtualDevicesReset reset;
    test::CapturingLogger log;

    for (int start = 0; start < 2; ++start)
    {
        SCOPED_TRACE (start);
        StartedEngine started;
        started.start();

        EXPECT_EQ (started.openDeviceName(), "");
        EXPECT_TRUE (started.engine.isInitialiseComplete());
        EXPECT_EQ (started.engine.getDeviceManager().getCurrentAudioDeviceType(), "ALSA");

        const auto names = started.actions();
        const auto list = indexOf (names, "AUDIO_DEVICES_LIST");
        const auto ready = indexOf (names, "BACKEND_READY");
        ASSERT_GE (list, 0);
        ASSERT_GE (ready, 0);
        EXPECT_LT (list, ready);
        EXPECT_DOUBLE_EQ ((double) started.first ("BACKEND_READY")["deviceSampleRate"], 44100.0);
        EXPECT_EQ ((int) started.first ("BACKEND_READY")["systemMemoryMB"], juce::SystemStats::getMemorySizeInMegabytes());

        EXPECT_FALSE (StartedEngine::settingsText().contains ("Virtual")) << StartedEngine::settingsText();
    }
    EXPECT_EQ (log.count ("FAST PATH: OK"), 0);
}

TEST (AudioEngineStartup, ChosenVirtualDeviceIsReopenedOnTheFastPathAndAGoneDeviceFallsBack)
{
    VirtualDevicesReset reset;
    test::CapturingLogger log;
    {
        StartedEngine first;
        first.start();
        first.engine.setAudioDriver ("Virtual");
        ASSERT_EQ (first.openDeviceName(), "Virtual 2");
        first.engine.saveAudioSettings();
    }
    ASSERT_TRUE (StartedEngine::settingsText().contains ("Virtual 2"));

    {
        StartedEngine second;
        second.start();
        EXPECT_EQ (log.count ("[INIT-FLOW] FAST PATH: OK"), 1) << log.text();
        EXPECT_EQ (second.openDeviceName(), "Virtual 2");
        EXPECT_DOUBLE_EQ ((double) second.first ("BACKEND_READY")["deviceSampleRate"], second.engine.getDeviceSampleRate());
    }

    // The saved device is gone: the manager opens the type's default device, still a fast path.
    const auto settingsFile = getStorageRoot().getChildFile ("audio-settings.xml");
    ASSERT_TRUE (settingsFile.replaceWithText (settingsFile.loadFileAsString().replace ("Virtual 2", "Unplugged Box")));
    {
        StartedEngine third;
        third.start();
        EXPECT_EQ (log.count ("[INIT-FLOW] FAST PATH: OK"), 2) << log.text();
        EXPECT_EQ (third.openDeviceName(), "Virtual 2");
    }

    // Corrupt saved state: the default path runs, and the deferred save rewrites the file.
    {
        StartedEngine fourth;
        fourth.engine.initSettingsFile();
        fourth.engine.getSettingsFile()->setValue ("deviceManagerState", "not a device state {");
        ASSERT_TRUE (fourth.engine.getSettingsFile()->save());
        fourth.start();
        EXPECT_EQ (log.count ("FAST PATH: skipped (parseXML returned null)"), 1) << log.text();
        EXPECT_NE (log.count ("initialiseWithDefaultDevices() done"), 0);
    }
    juce::PropertiesFile::Options options;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    juce::PropertiesFile reread (settingsFile, options);
    const auto state = juce::parseXML (reread.getValue ("deviceManagerState"));
    ASSERT_NE (state, nullptr) << settingsFile.loadFileAsString();
    EXPECT_TRUE (state->hasTagName ("DEVICESETUP"));
}

TEST (AudioEngineStartup, DestructionDuringTheAssetLoadIsSafe)
{
    VirtualDevicesReset reset;
    test::TempFolder tmp;
    const auto cues = tmp.folder().getChildFile ("public/cues");
    const auto clicks = tmp.folder().getChildFile ("public/clicks");
    ASSERT_TRUE (cues.createDirectory());
    ASSERT_TRUE (clicks.createDirectory());
    const auto sine = test::makeSine (1, 22050, 44100.0, 440.0, 0.5f);
    for (const auto* name : { "intro.wav", "verse.wav", "chorus.wav", "bridge.wav", "1.wav", "2.wav", "3.wav", "4.wav" })
        ASSERT_TRUE (test::writeAudioFile (cues.getChildFile (name), sine, 44100.0, test::FixtureFormat::wav16));
    ASSERT_TRUE (test::writeAudioFile (clicks.getChildFile ("click_hi.wav"), sine, 44100.0, test::FixtureFormat::wav16));

    for (int round = 0; round < 3; ++round)
    {
        StartedEngine started;
        started.engine.setAssetSearchStartForTesting (tmp.folder());
        started.engine.initialise();
        // Destroyed at once, while the loader may still be decoding.
    }

    StartedEngine complete;
    complete.engine.setAssetSearchStartForTesting (tmp.folder());
    complete.engine.initialise();
    complete.engine.waitForAssetLoader();
    EXPECT_TRUE (complete.engine.areCueSamplesLoaded());
    EXPECT_GT (complete.engine.getMemoryUsage().cueBytes, 0);
}
