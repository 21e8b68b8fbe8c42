// The engine's settings file "audio-settings.xml" in the storage root: the device manager's saved
// state (for an exact reopening at the next start), the same choice as plain values, and the
// full-bar announcement option.
#include "audio/engine/AudioEngine.h"

#include "audio/graph/CueAudioSource.h"
#include "platform/CheckedWrite.h"
#include "platform/StorageRoot.h"

namespace quorvelle
{
namespace
{
const char* const settingsFileName = "audio-settings.xml";

juce::File settingsRoot()
{
    auto root = getStorageRoot();
    if (root.getFullPathName().isNotEmpty() && ! root.isDirectory())
        root.createDirectory(); // a root that cannot be created leaves a file that neither reads nor saves
    return root;
}
} // namespace

void AudioEngine::initSettingsFile()
{
    const auto root = settingsRoot();

    juce::PropertiesFile::Options options;
    options.applicationName = "Quorvelle";
    options.filenameSuffix = ".xml";
    options.folderName = root.getFullPathName();
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.millisecondsBeforeSaving = 3000;
    options.commonToAllUsers = false;
    options.ignoreCaseOfKeyNames = false;
    options.doNotSave = false;
    options.processLock = nullptr;

    settingsFile = std::make_unique<CheckedPropertiesFile> (root.getChildFile (settingsFileName), options);
}

void AudioEngine::saveAudioSettings()
{
    if (settingsFile == nullptr)
        return;

    const auto typeName = deviceManager.getCurrentAudioDeviceType();
    if (typeName.isNotEmpty())
        settingsFile->setValue ("driverType", typeName);

    auto* device = deviceManager.getCurrentAudioDevice();
    if (device != nullptr)
        settingsFile->setValue ("deviceName", device->getName());

    const auto setup = deviceManager.getAudioDeviceSetup();
    settingsFile->setValue ("sampleRate", setup.sampleRate);
    settingsFile->setValue ("bufferSize", setup.bufferSize);

    juce::String stateText;
    if (const auto state = deviceManager.createStateXml())
    {
        stateText = state->toString();
        settingsFile->setValue ("deviceManagerState", stateText);
    }

    {
        const juce::ScopedLock sl (settingsFile->getLock());
        settingsFile->saveIfNeeded();
    }

    juce::Logger::writeToLog ("AudioEngine: Settings saved.");
    debugLog ("[SETTINGS] saveAudioSettings: driver=" + (typeName.isNotEmpty() ? typeName : juce::String ("null"))
              + " device=" + (device != nullptr ? device->getName() : juce::String ("null")) + " SR=" + juce::String (setup.sampleRate)
              + " buf=" + juce::String (setup.bufferSize)
              + " stateXml=" + (stateText.isNotEmpty() ? juce::String (stateText.length()) + "B" : juce::String ("(null)")));
}

bool AudioEngine::loadAudioSettings()
{
    if (settingsFile == nullptr)
        return false;

    const auto driver = settingsFile->getValue ("driverType");
    const auto deviceName = settingsFile->getValue ("deviceName");
    const auto rate = settingsFile->getDoubleValue ("sampleRate", 0.0);
    const auto bufferSize = settingsFile->getIntValue ("bufferSize", 0);

    if (driver.isEmpty())
        return false;

    juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("AudioEngine: Restoring saved settings \xe2\x80\x94 Driver: ")) + driver
                              + " Device: " + deviceName + " SR: " + juce::String (rate) + " Buffer: " + juce::String (bufferSize));

    switchDeviceType (driver);

    auto setup = deviceManager.getAudioDeviceSetup();
    if (deviceName.isNotEmpty())
        setup.outputDeviceName = deviceName;
    // A rate that is not a positive number keeps the type's current one.
    if (rate > 0.0 && std::isfinite (rate))
        setup.sampleRate = rate;
    if (bufferSize > 0)
        setup.bufferSize = bufferSize;

    debugLog ("[INIT-FLOW] loadAudioSettings(): about to call setAudioDeviceSetup(restored)" + transportStateForLog()
              + " | currentSongId=" + songIdForLog()
              + juce::String (juce::CharPointer_UTF8 (" \xe2\x80\x94 this call WILL TRIGGER prepareToPlay on entire chain (METRO RESET)")));
    const auto error = deviceManager.setAudioDeviceSetup (setup, true);
    debugLog ("[INIT-FLOW] loadAudioSettings(): setAudioDeviceSetup RETURNED" + transportStateForLog()
              + " | error=" + (error.isNotEmpty() ? error : juce::String ("none")));

    if (error.isNotEmpty())
    {
        juce::Logger::writeToLog ("AudioEngine: Failed to restore saved settings: " + error);
        return false;
    }

    const bool fullBar = settingsFile->getBoolValue ("sectionAnnounceFullBar", false);
    if (songLinks.setSectionAnnounceFullBar)
        songLinks.setSectionAnnounceFullBar (fullBar);
    else if (cue != nullptr)
        cue->setSectionAnnounceFullBar (fullBar);
    return true;
}

void AudioEngine::reopenSettingsFile()
{
    juce::File old;
    if (settingsFile != nullptr)
    {
        settingsFile->saveIfNeeded();
        old = settingsFile->getFile();
        settingsFile.reset();
    }

    const auto target = settingsRoot().getChildFile (settingsFileName);

    if (old != juce::File() && old.existsAsFile() && old != target && ! target.existsAsFile())
    {
        if (target.exists())
        {
            // Something other than a file has the name (a folder): it is not ours to remove.
            juce::Logger::writeToLog ("[SETTINGS] reopenSettingsFile: " + target.getFullPathName()
                                      + " exists and is not a file; the settings were not copied there");
        }
        else
        {
            juce::MemoryBlock bytes;
            juce::String error;
            if (! old.loadFileAsData (bytes) || ! platform::replaceFileWithData (target, bytes.getData(), bytes.getSize(), &error))
                juce::Logger::writeToLog ("[SETTINGS] reopenSettingsFile: could not copy " + old.getFullPathName() + " to "
                                          + target.getFullPathName() + (error.isNotEmpty() ? ": " + error : juce::String()));
        }
    }

    initSettingsFile();
}
} // namespace quorvelle
