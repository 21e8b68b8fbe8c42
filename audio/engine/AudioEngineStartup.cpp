#include "audio/engine/AudioEngine.h"

#include "audio/graph/AudioThreadLog.h"
#include "platform/StorageRoot.h"
#include "platform/VirtualAudioDevice.h"

#include <optional>

namespace quorvelle
{
namespace
{
    const char* const virtualTypeName = "Virtual";

    // Holds the message thread from another thread for as long as it lives. On the message thread,
    // or without a message manager, it holds nothing; it also gives up the wait once the lock is
    // aborted (the owner is ending and waits for this thread on the message thread).
    class MessageThreadHold
    {
    public:
        explicit MessageThreadHold (const juce::MessageManager::Lock& l) : lock (l)
        {
            auto* manager = juce::MessageManager::getInstanceWithoutCreating();
            held = manager != nullptr && ! manager->isThisTheMessageThread() && lock.tryEnter();
        }

        ~MessageThreadHold()
        {
            if (held)
                lock.exit();
        }

        MessageThreadHold (const MessageThreadHold&) = delete;
        MessageThreadHold& operator= (const MessageThreadHold&) = delete;

    private:
        const juce::MessageManager::Lock& lock;
        bool held = false;
    };

    juce::String utf8 (const char* text) { return juce::String::fromUTF8 (text); }

    // The type the default path opens on this platform: JACK while a server runs (it lists an
    // output then), else ALSA. Never the virtual type, which is opened only when chosen.
    juce::String defaultDeviceTypeName (juce::AudioDeviceManager& manager)
    {
        for (auto* type : manager.getAvailableDeviceTypes())
            if (type->getTypeName() == "JACK")
            {
                type->scanForDevices();
                if (! type->getDeviceNames (false).isEmpty())
                    return "JACK";
            }
        return "ALSA";
    }

    bool savedStateNamesVirtual (const juce::XmlElement& state)
    {
        return state.hasTagName ("DEVICESETUP") && state.getStringAttribute ("deviceType") == virtualTypeName;
    }
} // namespace

juce::String AudioEngine::transportStateText() const
{
    return " | masterTransportPlaying=" + juce::String (masterTransport.isPlaying() ? "Y" : "N")
           + " | masterTransportPos=" + juce::String (masterTransport.getCurrentPosition(), 3) + "s";
}

void AudioEngine::logStartupStep (const juce::String& step)
{
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - initialiseStartMs) / 1000.0;
    juce::Logger::writeToLog ("[STARTUP-AE " + juce::String (seconds, 3) + "s] " + step);
}

bool AudioEngine::openFromSavedState()
{
    if (settingsFile == nullptr)
    {
        debugLog ("[INIT-FLOW] FAST PATH: skipped (audioSettingsFile null)");
        return false;
    }

    const auto text = settingsFile->getValue ("deviceManagerState");
    if (text.isEmpty())
    {
        debugLog (utf8 ("[INIT-FLOW] FAST PATH: skipped (no deviceManagerState in settings \xe2\x80\x94 first boot post-merge)"));
        return false;
    }

    const auto state = juce::parseXML (text);
    if (state == nullptr)
    {
        debugLog ("[INIT-FLOW] FAST PATH: skipped (parseXML returned null) | xmlSize=" + juce::String (text.length()));
        return false;
    }

    debugLog ("[INIT-FLOW] FAST PATH: ATTEMPT initialise(savedState) | xmlSize=" + juce::String (text.length()));
    const auto error = deviceManager.initialise (0, 2, state.get(), true);

    // The manager falls back to the first type that lists devices, which is the virtual one when
    // nothing else does: that is a failed start, not a choice.
    auto* device = deviceManager.getCurrentAudioDevice();
    if (device != nullptr && device->getTypeName() == virtualTypeName && ! savedStateNamesVirtual (*state))
    {
        deviceManager.closeAudioDevice();
        device = nullptr;
    }

    const bool ok = error.isEmpty() && device != nullptr;
    debugLog ("[INIT-FLOW] FAST PATH: " + juce::String (ok ? "OK" : "FAILED") + (error.isNotEmpty() ? " | error=" + error : juce::String())
              + " | currentDevice=" + (device != nullptr ? device->getName() : juce::String ("null")));
    logStartupStep (ok ? juce::String ("FAST PATH OK") : utf8 ("FAST PATH FAILED \xe2\x80\x94 falling back"));
    return ok;
}

void AudioEngine::openDefaultDevice()
{
    const auto type = defaultDeviceTypeName (deviceManager);
    if (deviceManager.getCurrentAudioDevice() != nullptr)
        deviceManager.closeAudioDevice();
    // Opens the type's default device; with none, the type stays selected and nothing is open.
    deviceManager.setCurrentAudioDeviceType (type, true);
    // When the manager created its types it made the first one that lists devices current (JACK
    // while a server runs and no card is there); switching to the type it already holds opens
    // nothing, so name the type's default device.
    if (auto* current = deviceManager.getCurrentDeviceTypeObject();
        deviceManager.getCurrentAudioDevice() == nullptr && current != nullptr && current->getTypeName() == type)
    {
        if (const auto names = current->getDeviceNames (false); ! names.isEmpty())
        {
            auto setup = deviceManager.getAudioDeviceSetup();
            setup.outputDeviceName = names[juce::jmax (0, current->getDefaultDeviceIndex (false))];
            deviceManager.setAudioDeviceSetup (setup, true);
        }
    }
    logStartupStep ("initialiseWithDefaultDevices() done");

    const bool restored = loadAudioSettings();
    logStartupStep ("loadAudioSettings() done " + utf8 ("\xe2\x80\x94") + " restored=" + (restored ? "true" : "false"));
    if (restored)
        return;

    auto setup = deviceManager.getAudioDeviceSetup();
    setup.bufferSize = 1024;
    setup.sampleRate = 48000.0;
    debugLog ("[INIT-FLOW] initialise(): about to call setAudioDeviceSetup(defaults)" + transportStateText() + " | currentSongId="
              + (currentSongIdForStretch.isNotEmpty() ? currentSongIdForStretch : juce::String ("(none)"))
              + utf8 (" \xe2\x80\x94 this call WILL TRIGGER prepareToPlay on entire chain (METRO RESET)"));
    const auto error = deviceManager.getCurrentAudioDevice() != nullptr ? deviceManager.setAudioDeviceSetup (setup, true) : juce::String();
    logStartupStep ("setAudioDeviceSetup (defaults) done");
    debugLog ("[INIT-FLOW] initialise(): setAudioDeviceSetup RETURNED" + transportStateText() + " | error="
              + (error.isNotEmpty() ? error : juce::String ("none")));
    if (error.isNotEmpty())
        juce::Logger::writeToLog ("AudioEngine: Failed to set audio device setup: " + error);
}

void AudioEngine::initialise()
{
    initialiseStartMs = juce::Time::getMillisecondCounterHiRes();
    if (initialiseHeldForTesting)
        return;

    initialiseRunning = true;
    logStartupStep ("initialise() START");
    debugLog ("[INIT-FLOW] initialise() ENTER on BG thread" + transportStateText() + " | currentSongId="
              + (currentSongIdForStretch.isNotEmpty() ? currentSongIdForStretch : juce::String ("(none)"))
              + " | deviceSampleRate=" + juce::String (getDeviceSampleRate()));

    initSettingsFile();
    logStartupStep ("initSettingsFile() done");

    // The device work holds the message thread: the manager is not safe against its own updates
    // there, and JACK reports every port connection there, after which the manager rewrites the
    // channel set that an open on this thread is still reading (the open then connects only some
    // of its outputs).
    std::optional<MessageThreadHold> hold (std::in_place, deviceStartLock);

    // The system's types (ALSA, JACK) are created while the manager's list is empty; the virtual
    // type joins them afterwards, listed with the drivers and opened only when chosen.
    deviceManager.getAvailableDeviceTypes();
    deviceManager.addAudioDeviceType (platform::createVirtualAudioDeviceType());

    if (openFromSavedState())
    {
        sectionAnnounceFullBar = settingsFile->getBoolValue ("sectionAnnounceFullBar", false);
        cue->setSectionAnnounceFullBar (sectionAnnounceFullBar);
    }
    else
    {
        openDefaultDevice();
    }

    if (auto* device = deviceManager.getCurrentAudioDevice())
    {
        deviceSampleRate = device->getCurrentSampleRate();
        rememberEngineDevice (*device);
        juce::Logger::writeToLog ("AudioEngine: Audio device Configured. SR: " + juce::String (device->getCurrentSampleRate())
                                  + " Hz, Buffer: " + juce::String (device->getCurrentBufferSizeSamples()));
        debugLog ("[SR-DEBUG] initialize: requestedSR=" + juce::String (deviceManager.getAudioDeviceSetup().sampleRate) + " actualSR="
                  + juce::String (device->getCurrentSampleRate()) + " deviceSampleRate=" + juce::String (getDeviceSampleRate())
                  + " device=" + device->getName() + " driver=" + device->getTypeName());
        juce::String rates;
        for (auto rate : device->getAvailableSampleRates())
            rates << rate << " ";
        debugLog ("[SR-DEBUG] initialize: availableRates=[" + rates.trimEnd() + "]");
        router->setDeviceOutputChannels (device->getActiveOutputChannels().countNumberOfSetBits());
        recalcResamplerRatio ("initialise");
    }
    else if (deviceManager.getCurrentAudioDeviceType().isEmpty())
    {
        deviceManager.setCurrentAudioDeviceType ("ALSA", false);
    }

    debugLog ("[INIT-FLOW] initialise(): about to addAudioCallback + addChangeListener" + transportStateText());
    deviceManager.addAudioCallback (&player);
    deviceManager.addChangeListener (this);
    callbackAdded = true;
    hold.reset();
    logStartupStep ("addAudioCallback done");
    debugLog ("[INIT-FLOW] initialise(): addAudioCallback + addChangeListener DONE | masterTransportPlaying="
              + juce::String (masterTransport.isPlaying() ? "Y" : "N")
              + utf8 (" \xe2\x80\x94 ChangeListener can now react to device hot-plug/reinit"));

    startTimer (16);

    sendAudioDeviceList();
    logStartupStep ("sendAudioDeviceList done");
    logStartupStep (utf8 ("initialise() SYNCHRONOUS PART DONE \xe2\x80\x94 launching async cue/click loader"));

    initialiseRunning = false;
    initialiseComplete = true;
    debugLog (utf8 ("[INIT-FLOW] initialise(): BACKEND_READY \xe2\x80\x94 bridge gating released"));
    sendBackendReady();

    postToMessageThread ([this]
    {
        saveAudioSettings();
        debugLog (utf8 ("[INIT-FLOW] saveAudioSettings() done (deferred post-BACKEND_READY) \xe2\x80\x94 FAST PATH armed for next boot"));
    });

    // Joined by the destructor, which signals it first: a quit during start-up never destroys the
    // sources under it.
    assetLoader = std::thread ([this] { loadAssetFolders(); });
}

juce::var AudioEngine::makeBackendReadyEvent() const
{
    const auto root = storageRoot().getFullPathName();
    return makeObject ({
        { "action", "BACKEND_READY" },
        { "deviceSampleRate", getDeviceSampleRate() },
        // MemTotal in MiB, as the system reports it.
        { "systemMemoryMB", juce::SystemStats::getMemorySizeInMegabytes() },
        { "deviceId", getDeviceId() },
        { "schemaHash", "dbaf31540c7226f3" },
        { "storageRoot", root },
        { "storageRootB64", juce::Base64::toBase64 (root.toRawUTF8(), root.getNumBytesAsUTF8()) },
        { "storageRootNeedsChoice", ! hasStorageRootConfig() && ! defaultRootHasLibrary() },
    });
}

void AudioEngine::sendBackendReady()
{
    sendEvent (makeBackendReadyEvent());
}

//==============================================================================
juce::File AudioEngine::findAssetFolder (const juce::File& start, const juce::String& name, juce::File& base)
{
    auto dir = start;
    for (int level = 0; level < 10; ++level)
    {
        if (const auto candidate = dir.getChildFile ("public").getChildFile (name); candidate.isDirectory())
        {
            base = juce::File();
            return candidate;
        }
        if (const auto candidate = dir.getChildFile ("frontend").getChildFile (name); candidate.isDirectory())
        {
            base = dir.getChildFile ("frontend");
            return candidate;
        }
        const auto parent = dir.getParentDirectory();
        if (parent == dir)
            break;
        dir = parent;
    }
    base = juce::File();
    return {};
}

void AudioEngine::loadAssetFolders()
{
    const auto start = juce::Time::getMillisecondCounterHiRes();
    const auto step = [start] (const juce::String& text)
    {
        const auto seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
        juce::Logger::writeToLog ("[STARTUP-BG " + juce::String (seconds, 3) + "s] " + text);
    };
    const auto searchStart = assetSearchStart != juce::File() ? assetSearchStart
                                                               : juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory();

    step ("background loader START");
    juce::File base;
    const auto cues = findAssetFolder (searchStart, "cues", base);
    step ("cues dir search done");
    if (assetLoaderShouldStop)
        return;
    if (cues != juce::File() && cues.isDirectory())
    {
        cue->loadCueSamples (cues, formatManager, base);
        step ("cues loaded from: " + cues.getFullPathName());
        countIn->cueSamplesRef = &cue->getCueSampleBank();
    }
    else
    {
        step ("ERROR - Cues directory NOT FOUND.");
    }
    cueSamplesLoaded = true;

    if (assetLoaderShouldStop)
        return;
    const auto clicks = findAssetFolder (searchStart, "clicks", base);
    step ("clicks dir search done");
    if (clicks != juce::File() && clicks.isDirectory())
    {
        metronome->loadClickSamples (clicks, formatManager, base);
        step ("click samples loaded from: " + clicks.getFullPathName());
    }
    else
    {
        juce::Logger::writeToLog ("AudioEngine: WARNING - Clicks directory NOT FOUND (public/ ni frontend/).");
    }
}

void AudioEngine::waitForAssetLoader()
{
    if (assetLoader.joinable())
        assetLoader.join();
}
} // namespace quorvelle
