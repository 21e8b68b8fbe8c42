// "audio-settings.xml": what a save writes (read back by the framework's own reader), what a load
// restores, the carry-over to a new storage root, and the checked replacement of the file.
#include "EngineDeviceFixture.h"

#include "audio/engine/CheckedPropertiesFile.h"
#include "platform/CheckedWrite.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
juce::PropertiesFile::Options xmlOptions()
{
    juce::PropertiesFile::Options options;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.millisecondsBeforeSaving = -1;
    return options;
}

// Writes a settings file the way the framework does, with the given keys.
void writeSettings (const juce::File& file, std::initializer_list<std::pair<const char*, juce::var>> values)
{
    file.getParentDirectory().createDirectory();
    juce::PropertiesFile writer (file, xmlOptions());
    for (const auto& [key, value] : values)
        writer.setValue (key, value);
    ASSERT_TRUE (writer.save());
}

juce::StringArray filesIn (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, false, "*", juce::File::FollowSymlinks::no))
        names.add (f.getFileName());
    names.sort (false);
    return names;
}
} // namespace

// A save writes the device keys; the framework's reader gets them back, the device manager's state
// nested as an element that parses to the state the manager gives.
TEST_F (EngineDeviceTest, SaveWritesTheDeviceKeysInTheFrameworksFormat)
{
    openVirtual();
    engine.setAudioDevice ("Virtual 4");
    engine.setDeviceSampleRate (96000.0);
    events.clear();
    const auto savedLines = log.count ("AudioEngine: Settings saved.");
    engine.saveAudioSettings();

    juce::PropertiesFile reader (settingsPath(), xmlOptions());
    EXPECT_EQ (reader.getValue ("driverType"), "Virtual");
    EXPECT_EQ (reader.getValue ("deviceName"), "Virtual 4");
    EXPECT_EQ (reader.getDoubleValue ("sampleRate"), 96000.0);
    EXPECT_EQ (reader.getIntValue ("bufferSize"), 1024);
    const auto saved = juce::parseXML (reader.getValue ("deviceManagerState"));
    const auto state = engine.getDeviceManager().createStateXml();
    ASSERT_NE (saved, nullptr);
    ASSERT_NE (state, nullptr);
    EXPECT_TRUE (saved->isEquivalentTo (state.get(), false)) << reader.getValue ("deviceManagerState");
    EXPECT_EQ (saved->getStringAttribute ("audioOutputDeviceName"), "Virtual 4");

    const auto file = juce::parseXML (settingsPath());
    ASSERT_NE (file, nullptr);
    EXPECT_EQ (file->getTagName(), "PROPERTIES");
    auto* nested = file->getChildByAttribute ("name", "deviceManagerState");
    ASSERT_NE (nested, nullptr);
    ASSERT_NE (nested->getChildByName ("DEVICESETUP"), nullptr);
    // Nothing is left beside the file.
    EXPECT_EQ (filesIn (settingsPath().getParentDirectory()), juce::StringArray ("audio-settings.xml"));

    const auto line = findDebugLine ("[SETTINGS] saveAudioSettings: ");
    ASSERT_TRUE (line.has_value());
    EXPECT_EQ (events[*line].getProperty ("message", {}).toString(),
               "[SETTINGS] saveAudioSettings: driver=Virtual device=Virtual 4 SR=96000 buf=1024 stateXml="
                   + juce::String (state->toString().length()) + "B");
    EXPECT_EQ (log.count ("AudioEngine: Settings saved."), savedLines + 1);
}

// Without an explicit setup the manager has no state to give: the saved one stays.
TEST_F (EngineDeviceTest, SaveWithoutAnExplicitSetupKeepsTheSavedState)
{
    writeSettings (settingsPath(), { { "deviceManagerState", "<DEVICESETUP deviceType=\"Earlier\"/>" } });
    engine.initSettingsFile();
    engine.saveAudioSettings();

    const auto line = findDebugLine ("[SETTINGS] saveAudioSettings: ");
    ASSERT_TRUE (line.has_value());
    EXPECT_EQ (events[*line].getProperty ("message", {}).toString(), "[SETTINGS] saveAudioSettings: driver=null device=null SR=0 buf=0 stateXml=(null)");
    juce::PropertiesFile reader (settingsPath(), xmlOptions());
    const auto saved = juce::parseXML (reader.getValue ("deviceManagerState"));
    ASSERT_NE (saved, nullptr);
    EXPECT_EQ (saved->getStringAttribute ("deviceType"), "Earlier");
    EXPECT_FALSE (reader.containsKey ("deviceName"));
}

// The plain values restore a device; a missing driver restores nothing, zero or unusable numbers
// keep the type's own values, a device that is gone is an error.
TEST_F (EngineDeviceTest, LoadRestoresThePlainValues)
{
    const struct
    {
        std::vector<std::pair<const char*, juce::var>> values;
        bool restored;
        const char* device; // open afterwards; empty: none
        double rate;
        int bufferSize;
        const char* logged;
    } cases[] = {
        { { { "deviceName", "Virtual 4" }, { "sampleRate", 96000.0 } }, false, "", 0.0, 0, nullptr },
        { { { "driverType", "Virtual" }, { "deviceName", "Virtual 4" }, { "sampleRate", 96000.0 }, { "bufferSize", 256 } }, true, "Virtual 4", 96000.0, 256,
          "AudioEngine: Restoring saved settings" },
        { { { "driverType", "Virtual" }, { "deviceName", "Virtual 8" }, { "sampleRate", 0 }, { "bufferSize", 0 } }, true, "Virtual 8", 44100.0, 512, nullptr },
        { { { "driverType", "Virtual" }, { "deviceName", "Virtual 8" }, { "sampleRate", "1e999" }, { "bufferSize", "lots" } }, true, "Virtual 8", 44100.0, 512, nullptr },
        { { { "driverType", "Virtual" }, { "deviceName", "Gone" }, { "sampleRate", 48000.0 } }, false, "", 0.0, 0,
          "AudioEngine: Failed to restore saved settings: No such device: Gone" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "case " << (&c - cases));
        AudioEngine fresh ({}, [] { return getStorageRoot(); });
        fresh.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
        settingsPath().deleteFile();
        {
            juce::PropertiesFile writer (settingsPath(), xmlOptions());
            for (const auto& [key, value] : c.values)
                writer.setValue (key, value);
            ASSERT_TRUE (writer.save());
        }
        fresh.initSettingsFile();

        EXPECT_EQ (fresh.loadAudioSettings(), c.restored);
        auto* device = fresh.getDeviceManager().getCurrentAudioDevice();
        EXPECT_EQ (device != nullptr ? device->getName() : juce::String(), c.device);
        if (device != nullptr)
        {
            EXPECT_EQ (device->getCurrentSampleRate(), c.rate);
            EXPECT_EQ (device->getCurrentBufferSizeSamples(), c.bufferSize);
        }
        if (c.logged != nullptr)
            EXPECT_EQ (log.count (c.logged), 1) << log.text();
    }
}

// A restore applies the saved full-bar announcement.
TEST_F (EngineDeviceTest, LoadAppliesTheFullBarAnnouncement)
{
    for (const bool saved : { true, false })
    {
        SCOPED_TRACE (saved);
        settingsPath().deleteFile();
        writeSettings (settingsPath(), { { "driverType", "Virtual" }, { "deviceName", "Virtual 2" }, { "sectionAnnounceFullBar", saved } });
        std::optional<bool> applied;
        engine.songLinks.setSectionAnnounceFullBar = [&applied] (bool value) { applied = value; };
        engine.initSettingsFile();
        ASSERT_TRUE (engine.loadAudioSettings());
        EXPECT_EQ (applied, std::optional<bool> (saved));
    }
}

// After the storage root moves, the file follows it when the new root has none; a file already
// there is kept; a folder of that name is left alone (nothing is deleted, nothing copied).
TEST_F (EngineDeviceTest, ReopenCarriesTheFileToTheNewRoot)
{
    TempFolder tmp;
    const auto first = tmp / "first/Quorvelle";
    ASSERT_TRUE (persistStorageRoot (first));
    openVirtual();
    ASSERT_EQ (settingsPath(), first.getChildFile ("audio-settings.xml"));
    ASSERT_TRUE (settingsPath().existsAsFile());

    const auto empty = tmp / "empty/Quorvelle";
    ASSERT_TRUE (persistStorageRoot (empty));
    engine.reopenSettingsFile();
    ASSERT_TRUE (empty.getChildFile ("audio-settings.xml").existsAsFile());
    EXPECT_EQ (engine.getSettingsFile()->getFile(), empty.getChildFile ("audio-settings.xml"));
    EXPECT_EQ (engine.getSettingsFile()->getValue ("deviceName"), "Virtual 2");
    EXPECT_TRUE (first.getChildFile ("audio-settings.xml").existsAsFile());

    const auto taken = tmp / "taken/Quorvelle";
    writeSettings (taken.getChildFile ("audio-settings.xml"), { { "driverType", "JACK" } });
    ASSERT_TRUE (persistStorageRoot (taken));
    engine.reopenSettingsFile();
    EXPECT_EQ (engine.getSettingsFile()->getValue ("driverType"), "JACK");
    EXPECT_FALSE (engine.getSettingsFile()->containsKey ("deviceName"));

    const auto blocked = tmp / "blocked/Quorvelle";
    ASSERT_TRUE (blocked.getChildFile ("audio-settings.xml/keep.txt").create().wasOk());
    ASSERT_TRUE (persistStorageRoot (blocked));
    engine.reopenSettingsFile();
    EXPECT_TRUE (blocked.getChildFile ("audio-settings.xml/keep.txt").existsAsFile());
    EXPECT_EQ (log.count ("exists and is not a file; the settings were not copied there"), 1) << log.text();
    // The folder can be neither read nor replaced: the engine carries on without saved settings.
    engine.saveAudioSettings();
    EXPECT_TRUE (blocked.getChildFile ("audio-settings.xml").isDirectory());
    EXPECT_EQ (devices().renderBlocks (1, "Virtual 2"), 1);
}

// Every save of the settings file replaces it whole: a write that fails leaves the previous file,
// a change not yet saved is written when the file is closed, and the framework reads it back.
TEST (CheckedPropertiesFile, SavesAreCheckedReplacements)
{
    TempFolder tmp;
    const auto path = tmp / "settings.xml";
    juce::PropertiesFile::Options options = xmlOptions();
    options.millisecondsBeforeSaving = 3000;

    {
        CheckedPropertiesFile file (path, options);
        file.setValue ("a", "first");
        file.setValue ("state", "<DEVICESETUP deviceType=\"X\"/>");
        ASSERT_TRUE (file.save());
        EXPECT_FALSE (file.needsToBeSaved());
    }
    juce::MemoryBlock before;
    ASSERT_TRUE (path.loadFileAsData (before));

    {
        CheckedPropertiesFile file (path, options);
        EXPECT_EQ (file.getValue ("a"), "first");
        file.setValue ("a", juce::String::repeatedString ("long ", 200));
        platform::setWriteFailureAtByteForTesting (40);
        EXPECT_FALSE (file.save());
        platform::setWriteFailureAtByteForTesting (-1);
        EXPECT_TRUE (file.needsToBeSaved());
        juce::MemoryBlock after;
        ASSERT_TRUE (path.loadFileAsData (after));
        EXPECT_EQ (after, before);
        EXPECT_EQ (filesIn (tmp.folder()), juce::StringArray ("settings.xml"));

        file.setValue ("a", "second"); // still pending when the file is closed
    }

    juce::PropertiesFile reader (path, xmlOptions());
    EXPECT_EQ (reader.getValue ("a"), "second");
    const auto state = juce::parseXML (reader.getValue ("state"));
    ASSERT_NE (state, nullptr);
    EXPECT_EQ (state->getStringAttribute ("deviceType"), "X");
}
