// The device list and the device changes: driver type, output device, sample rate and buffer size
// (each rolled back when the device manager refuses it), more output channels for routing, the
// device's own control panel, and the song resampler's ratio that follows the device rate.
#include "audio/engine/AudioEngine.h"

#include "audio/graph/ZeroLatencyResamplingSource.h"

#include <cmath>

namespace quorvelle
{
namespace
{
using DeviceSetup = juce::AudioDeviceManager::AudioDeviceSetup;

juce::String joinRates (const juce::Array<double>& rates)
{
    juce::StringArray texts;
    for (auto rate : rates)
        texts.add (juce::String (rate));
    return texts.joinIntoString (" ");
}

juce::String nameOrEmpty (juce::AudioIODevice* device) { return device != nullptr ? device->getName() : juce::String(); }
} // namespace

// One device change: how it is applied and what it logs. The frame around it is the same for all four.
struct AudioEngine::DeviceChange
{
    juce::String operation;   // the engine operation, also the AUDIO_CONFIG_ERROR operation
    juce::String errorPrefix; // log line before the device manager's error text
    bool followsRate = true;  // re-reads the device rate and the resampler ratio afterwards
    std::function<juce::String()> apply;
    // Puts the backup back; returns false when there is nothing to roll back to. Empty: the backup
    // setup is applied again.
    std::function<bool (const DeviceSetup& backup, const juce::String& backupType, juce::String& error)> rollback;
    std::function<juce::String()> rollbackLine; // the text before the result
    std::function<void (juce::AudioIODevice&)> report; // success line and diagnostics, device open
};

//==============================================================================
bool AudioEngine::songTransportPlaying() const
{
    return songLinks.transport != nullptr && songLinks.transport->isPlaying();
}

juce::String AudioEngine::transportStateForLog() const
{
    const auto* transport = songLinks.transport;
    return " | masterTransportPlaying=" + juce::String (songTransportPlaying() ? "Y" : "N") + " | masterTransportPos="
           + juce::String (transport != nullptr ? transport->getCurrentPosition() : 0.0, 3) + "s";
}

juce::String AudioEngine::songIdForLog() const
{
    const auto id = songLinks.songId ? songLinks.songId() : juce::String();
    return id.isNotEmpty() ? id : juce::String ("(none)");
}

juce::String AudioEngine::applyDeviceSetup (const DeviceSetup& setup)
{
    auto error = deviceManager.setAudioDeviceSetup (setup, true);
    // The device the engine chose; a notification that later finds another one open is a fallback.
    if (auto* device = deviceManager.getCurrentAudioDevice(); device != nullptr && device->isOpen())
        rememberEngineDevice (*device);
    return error;
}

// The framework closes an open device itself when the type changes, then waits 1.5 s for Windows
// drivers to settle; closing it first skips the wait. A name the manager does not list changes nothing.
void AudioEngine::switchDeviceType (const juce::String& typeName)
{
    if (typeName == deviceManager.getCurrentAudioDeviceType())
        return;

    for (auto* type : deviceManager.getAvailableDeviceTypes())
    {
        if (type->getTypeName() == typeName)
        {
            deviceManager.closeAudioDevice();
            deviceManager.setCurrentAudioDeviceType (typeName, true);
            return;
        }
    }
}

//==============================================================================
void AudioEngine::sendAudioConfigError (const juce::String& operation, const juce::String& error)
{
    if (eventSink)
        eventSink ("fromNative", makeObject ({ { "action", "AUDIO_CONFIG_ERROR" }, { "operation", operation }, { "error", error } }));
}

void AudioEngine::sendAudioDeviceList()
{
    auto* event = new juce::DynamicObject();
    const juce::var payload (event);
    event->setProperty ("action", "AUDIO_DEVICES_LIST");

    const auto& types = deviceManager.getAvailableDeviceTypes();
    juce::Array<juce::var> drivers;
    juce::AudioIODeviceType* current = nullptr;
    for (auto* type : types)
    {
        drivers.add (type->getTypeName());
        if (current == nullptr && type->getTypeName() == deviceManager.getCurrentAudioDeviceType())
            current = type;
    }
    if (current == nullptr && ! types.isEmpty())
        current = types.getFirst();

    juce::Array<juce::var> devices;
    if (current != nullptr)
        for (const auto& name : current->getDeviceNames (false))
            devices.add (name);

    auto* device = deviceManager.getCurrentAudioDevice();
    juce::Array<juce::var> rates, sizes;
    if (device != nullptr)
    {
        for (auto rate : device->getAvailableSampleRates())
            rates.add (rate);
        for (auto size : device->getAvailableBufferSizes())
            sizes.add (size);
    }

    const auto setup = deviceManager.getAudioDeviceSetup();
    event->setProperty ("drivers", drivers);
    event->setProperty ("currentDriver", current != nullptr ? current->getTypeName() : juce::String());
    event->setProperty ("devices", devices);
    event->setProperty ("currentDevice", nameOrEmpty (device));
    event->setProperty ("sampleRates", rates);
    event->setProperty ("bufferSizes", sizes);
    event->setProperty ("currentSampleRate", setup.sampleRate);
    event->setProperty ("currentBufferSize", setup.bufferSize);

    const auto actualRate = device != nullptr ? device->getCurrentSampleRate() : 0.0;
    if (device != nullptr && std::abs (setup.sampleRate - actualRate) > 1.0)
        debugLog ("[SR-DEBUG] *** MISMATCH *** sendAudioDeviceList: UI will show " + juce::String (setup.sampleRate)
                  + " Hz but device ACTUALLY runs at " + juce::String (actualRate) + " Hz!" + " deviceSampleRate=" + juce::String (deviceSampleRate.load()));
    debugLog ("[SR-DEBUG] sendAudioDeviceList: setupSR=" + juce::String (setup.sampleRate) + " deviceActualSR=" + juce::String (actualRate)
              + " engineDeviceSR=" + juce::String (deviceSampleRate.load()) + " sessionSR=" + juce::String (sessionSampleRate));

    event->setProperty ("maxOutputChannels", device != nullptr ? device->getOutputChannelNames().size() : 2);

    if (eventSink)
        eventSink ("fromNative", payload);
}

//==============================================================================
void AudioEngine::recalcResamplerRatio (const juce::String& reason)
{
    auto* resampler = songLinks.resampler ? songLinks.resampler() : nullptr;
    const auto deviceRate = deviceSampleRate.load();
    if (resampler == nullptr || ! (sessionSampleRate > 0.0) || ! (deviceRate > 0.0))
        return;

    // Rates within 1 Hz are the same rate: the resampler then passes the audio through.
    const double ratio = std::abs (sessionSampleRate - deviceRate) > 1.0 ? sessionSampleRate / deviceRate : 1.0;
    resampler->setRatio (ratio);

    debugLog ("[CFG-FIX] recalcResamplerRatio from=" + reason + " sessionSR=" + juce::String (sessionSampleRate) + " deviceSR="
              + juce::String (deviceRate) + " ratio=" + juce::String (ratio, 6));
}

void AudioEngine::runDeviceChange (const DeviceChange& change)
{
    if (songTransportPlaying())
    {
        if (songLinks.stop)
            songLinks.stop();
        else
        {
            songLinks.transport->stop();
            songLinks.transport->setPosition (0.0);
        }
    }

    deviceManager.removeAudioCallback (&player);
    const auto backup = deviceManager.getAudioDeviceSetup();
    const auto backupType = deviceManager.getCurrentAudioDeviceType();
    listSuppressedUntilMs = nowMs() + 800;

    if (const auto error = change.apply(); error.isNotEmpty())
    {
        juce::Logger::writeToLog (change.errorPrefix + error);
        sendAudioConfigError (change.operation, error);

        juce::String rollbackError;
        bool rolledBack = true;
        if (change.rollback)
            rolledBack = change.rollback (backup, backupType, rollbackError);
        else
            rollbackError = applyDeviceSetup (backup);

        if (rolledBack)
        {
            const bool ok = rollbackError.isEmpty() && deviceManager.getCurrentAudioDevice() != nullptr;
            debugLog (change.rollbackLine() + (ok ? juce::String ("OK") : "FAILED: " + rollbackError));
        }
    }

    if (auto* device = deviceManager.getCurrentAudioDevice())
    {
        if (change.followsRate)
            deviceSampleRate = device->getCurrentSampleRate();
        change.report (*device);
    }

    if (change.followsRate)
        recalcResamplerRatio (change.operation);

    deviceManager.addAudioCallback (&player);

    if (deviceManager.getCurrentAudioDevice() != nullptr)
        saveAudioSettings();

    sendAudioDeviceList();
}

void AudioEngine::setAudioDriver (const juce::String& driver)
{
    if (deviceManager.getCurrentDeviceTypeObject() != nullptr && deviceManager.getCurrentAudioDeviceType() == driver)
    {
        sendAudioDeviceList();
        return;
    }

    juce::String oldType;
    DeviceChange change;
    change.operation = "setAudioDriver";
    change.errorPrefix = "AudioEngine: Driver switch error: ";
    change.apply = [this, &driver]
    {
        switchDeviceType (driver);
        auto setup = deviceManager.getAudioDeviceSetup();
        setup.sampleRate = 48000.0;
        setup.bufferSize = 1024;

        // When the type's default device could not be opened by the switch, the setup names none,
        // and applying it would report success with nothing open: name the default device again,
        // so that a refusal is reported and rolled back.
        if (auto* type = deviceManager.getCurrentDeviceTypeObject(); type != nullptr && setup.outputDeviceName.isEmpty())
        {
            const auto names = type->getDeviceNames (false);
            setup.outputDeviceName = names[juce::jmax (0, type->getDefaultDeviceIndex (false))];
        }
        return applyDeviceSetup (setup);
    };
    change.rollback = [this, &oldType] (const DeviceSetup& backup, const juce::String& backupType, juce::String& error)
    {
        oldType = backupType;
        if (backupType.isEmpty())
            return false;
        switchDeviceType (backupType);
        error = applyDeviceSetup (backup);
        return true;
    };
    change.rollbackLine = [&oldType] { return "[CFG-FIX] setAudioDriver ROLLBACK a '" + oldType + "' -> "; };
    change.report = [this, &driver] (juce::AudioIODevice& device)
    {
        const auto rate = device.getCurrentSampleRate();
        juce::Logger::writeToLog ("AudioEngine: Switched to driver: " + driver + " Device: " + device.getName() + " SR: " + juce::String (rate));
        debugLog ("[SR-DEBUG] setAudioDriver: requestedSR=48000 actualSR=" + juce::String (rate) + " deviceSampleRate="
                  + juce::String (deviceSampleRate.load()) + " device=" + device.getName() + " driver=" + driver);
        debugLog ("[SR-DEBUG] setAudioDriver: availableRates=[" + joinRates (device.getAvailableSampleRates()) + "]");
        const bool active = songLinks.resampler && songLinks.resampler() != nullptr;
        debugLog ("[SR-DEBUG] setAudioDriver: sessionSR=" + juce::String (sessionSampleRate) + " resamplerRatio=" + (active ? "active" : "null"));
    };
    runDeviceChange (change);
}

void AudioEngine::setAudioDevice (const juce::String& deviceName)
{
    // The framework takes a setup without a device name as "close the device" and reports success.
    if (deviceName.isEmpty())
    {
        const juce::String error ("No such device: ");
        juce::Logger::writeToLog ("AudioEngine: Device switch error: " + error);
        sendAudioConfigError ("setAudioDevice", error);
        sendAudioDeviceList();
        return;
    }

    double requestedRate = 0.0;
    DeviceChange change;
    change.operation = "setAudioDevice";
    change.errorPrefix = "AudioEngine: Device switch error: ";
    change.apply = [this, &deviceName, &requestedRate]
    {
        auto setup = deviceManager.getAudioDeviceSetup();
        setup.outputDeviceName = deviceName;
        requestedRate = setup.sampleRate;
        return applyDeviceSetup (setup);
    };
    change.rollbackLine = [] { return juce::String ("[CFG-FIX] setAudioDevice ROLLBACK -> "); };
    change.report = [this, &requestedRate] (juce::AudioIODevice& device)
    {
        juce::Logger::writeToLog ("AudioEngine: Switched to device: " + device.getName());
        debugLog ("[SR-DEBUG] setAudioDevice: requestedSR=" + juce::String (requestedRate) + " actualSR=" + juce::String (device.getCurrentSampleRate())
                  + " deviceSampleRate=" + juce::String (deviceSampleRate.load()) + " device=" + device.getName());
        debugLog ("[SR-DEBUG] setAudioDevice: availableRates=[" + joinRates (device.getAvailableSampleRates()) + "]");
    };
    runDeviceChange (change);
}

void AudioEngine::setDeviceSampleRate (double rate)
{
    DeviceChange change;
    change.operation = "setDeviceSampleRate";
    change.errorPrefix = "AudioEngine: Sample rate change error: ";
    change.apply = [this, rate]
    {
        auto setup = deviceManager.getAudioDeviceSetup();
        setup.sampleRate = rate;
        return applyDeviceSetup (setup);
    };
    change.rollbackLine = [] { return juce::String ("[CFG-FIX] setDeviceSampleRate ROLLBACK -> "); };
    change.report = [this, rate] (juce::AudioIODevice& device)
    {
        const auto actual = device.getCurrentSampleRate();
        juce::Logger::writeToLog ("AudioEngine: Sample rate changed to: " + juce::String (actual));
        debugLog ("[SR-DEBUG] setDeviceSampleRate: requestedSR=" + juce::String (rate) + " actualSR=" + juce::String (actual) + " deviceSampleRate="
                  + juce::String (deviceSampleRate.load()) + " sessionSR=" + juce::String (sessionSampleRate)
                  + " mismatch=" + (std::abs (rate - actual) > 1.0 ? "YES!" : "no"));
    };
    runDeviceChange (change);
}

void AudioEngine::setDeviceBufferSize (int size)
{
    DeviceChange change;
    change.operation = "setDeviceBufferSize";
    change.errorPrefix = "AudioEngine: Buffer size change error: ";
    change.followsRate = false;
    change.apply = [this, size]
    {
        auto setup = deviceManager.getAudioDeviceSetup();
        setup.bufferSize = size;
        return applyDeviceSetup (setup);
    };
    change.rollbackLine = [] { return juce::String ("[CFG-FIX] setDeviceBufferSize ROLLBACK -> "); };
    change.report = [] (juce::AudioIODevice& device)
    {
        juce::Logger::writeToLog ("AudioEngine: Buffer size changed to: " + juce::String (device.getCurrentBufferSizeSamples()));
    };
    runDeviceChange (change);
}

//==============================================================================
void AudioEngine::ensureOutputChannels (int numChannels)
{
    if (auto* device = deviceManager.getCurrentAudioDevice())
    {
        const auto active = device->getActiveOutputChannels().getHighestBit() + 1;
        if (active >= numChannels)
        {
            debugLog ("[DEVICE-REINIT] ensureOutputChannels(" + juce::String (numChannels) + juce::String (juce::CharPointer_UTF8 (") SKIP \xe2\x80\x94 device ya tiene "))
                      + juce::String (active) + " canales activos (sin stop/start)");
            return;
        }
    }

    auto* transport = songLinks.transport;
    const bool wasPlaying = songTransportPlaying();
    // getCurrentPosition is 0 while the transport has no positive rate.
    const double savedPos = wasPlaying ? transport->getCurrentPosition() : -1.0;

    debugLog ("[DEVICE-REINIT] ensureOutputChannels(" + juce::String (numChannels) + ") ENTER | wasPlaying=" + (wasPlaying ? "Y" : "N")
              + " | savedPos=" + juce::String (savedPos, 3) + " | currentSongId=" + songIdForLog()
              + juce::String (juce::CharPointer_UTF8 (" \xe2\x80\x94 will call setAudioDeviceSetup \xe2\x86\x92 triggers prepareToPlay on ALL sources")));

    if (wasPlaying)
        transport->stop();

    deviceManager.removeAudioCallback (&player);

    auto setup = deviceManager.getAudioDeviceSetup();
    setup.outputChannels.clear();
    setup.outputChannels.setRange (0, juce::jmax (0, numChannels), true);
    setup.useDefaultOutputChannels = false;

    if (const auto error = applyDeviceSetup (setup); error.isNotEmpty())
    {
        juce::Logger::writeToLog ("AudioEngine: Multi-channel config error: " + error);
        sendAudioConfigError ("ensureOutputChannels", error);
    }
    else if (auto* device = deviceManager.getCurrentAudioDevice())
    {
        deviceSampleRate = device->getCurrentSampleRate();
        juce::Logger::writeToLog ("AudioEngine: Configured " + juce::String (numChannels) + " output channels. Device: " + device->getName());
    }

    recalcResamplerRatio ("ensureOutputChannels");
    deviceManager.addAudioCallback (&player);

    if (wasPlaying && savedPos >= 0.0)
    {
        transport->setPosition (savedPos); // only moves while the transport has a positive rate
        transport->start();
        debugLog ("[CFG-FIX] ensureOutputChannels resumed playback at " + juce::String (savedPos, 3) + "s");
    }

    debugLog ("[DEVICE-REINIT] ensureOutputChannels EXIT | wasPlaying-resync=" + juce::String (wasPlaying ? "Y" : "N")
              + " | metronome state likely RESET (currentSamplePosition=0); needs setNextReadPosition to resync");
}

void AudioEngine::showDeviceControlPanel()
{
    auto* device = deviceManager.getCurrentAudioDevice();
    if (device == nullptr || ! device->hasControlPanel())
        return;

    device->showControlPanel(); // returns when the panel closes

    if (auto* after = deviceManager.getCurrentAudioDevice())
        deviceSampleRate = after->getCurrentSampleRate();
    recalcResamplerRatio ("openAsioControlPanel");
    saveAudioSettings();
    sendAudioDeviceList();
}
} // namespace quorvelle
