// The device manager's change notifications: device loss, reconnection, and rate changes the
// device makes on its own.
//
// Linux specifics: the JACK device closes itself when its server dies and stays current (not open,
// rate 0); ALSA reports nothing at all when its device goes away (its I/O thread just ends). A
// message-thread watcher therefore checks ALSA and JACK devices and runs the loss path itself.
// The framework also re-opens a default device when the current one vanishes from its type's
// list; the engine treats that fallback as the loss of the device it had chosen.
#include "audio/engine/AudioEngine.h"

namespace quorvelle
{
namespace
{
constexpr int reconnectIntervalMs = 2000;
constexpr int watcherIntervalMs = 1000;
constexpr int jackSelfCloseTicks = 5;

bool isOpen (juce::AudioIODevice* device)
{
    return device != nullptr && device->isOpen();
}

bool isWatchedType (const juce::String& typeName)
{
    return typeName == "ALSA" || typeName == "JACK";
}
} // namespace

void AudioEngine::changeListenerCallback (juce::ChangeBroadcaster* source)
{
    if (source != &deviceManager)
        return;

    debugLog ("[CHANGE-LISTENER] deviceManager broadcast received" + transportStateForLog() + " | currentSongId=" + songIdForLog());

    auto* device = deviceManager.getCurrentAudioDevice();

    // A device that closed itself (JACK after its server died) stays current: close it through the
    // manager, so that a later re-open of the same setup really opens it again.
    if (device != nullptr && ! device->isOpen())
    {
        deviceManager.closeAudioDevice();
        device = nullptr;
    }

    // Another device open than the one the engine opened last: the framework fell back to a default
    // device after ours vanished. Outside an export that is the loss of ours.
    if (device != nullptr && lastDeviceName.isNotEmpty() && device->getName() != lastDeviceName && ! exportClosedDevice.load())
    {
        debugLog ("[CFG-FIX] changeListener: fallback device '" + device->getName() + "' abierto por el sistema en lugar de '" + lastDeviceName
                  + "', cerrado");
        deviceManager.closeAudioDevice();
        device = nullptr;
    }

    if (device != nullptr)
    {
        // JACK changes its active outputs when ports are connected from outside: the router renders
        // to what the device has now.
        router->setDeviceOutputChannels (device->getActiveOutputChannels().countNumberOfSetBits());

        if (deviceLost)
            deviceReconnect (*device, "changeListener");

        rememberEngineDevice (*device);

        const auto rate = device->getCurrentSampleRate();
        if (std::abs (rate - deviceSampleRate.load()) > 1.0)
        {
            debugLog ("[CFG-FIX] changeListener: deviceSR changed " + juce::String (deviceSampleRate.load()) + " -> " + juce::String (rate));
            deviceSampleRate = rate;
            recalcResamplerRatio ("changeListener");
        }

        if (nowMs() >= listSuppressedUntilMs)
            sendAudioDeviceList();
        else
            debugLog (juce::String (juce::CharPointer_UTF8 ("[CFG-FIX] changeListener: lista suprimida (cambio de config en curso \xe2\x80\x94 el setter la emite)")));

        if (isWatchedType (device->getTypeName()) && ! deviceWatcher.isTimerRunning())
        {
            deviceWatcher.callback = [this] { watchDevice(); };
            deviceWatcher.startTimer (watcherIntervalMs);
        }
        return;
    }

    handleDeviceLoss();
}

// The loss side of a notification that finds no device open.
void AudioEngine::handleDeviceLoss()
{
    if (exportClosedDevice.load())
    {
        debugLog (juce::String (juce::CharPointer_UTF8 ("[EXPORT] changeListener: device cerrado por el export \xe2\x80\x94 p\xc3\xa9rdida suprimida")));
        return;
    }

    if (deviceLost)
    {
        attemptDeviceReconnect();
        return;
    }

    // No device was ever open: there is nothing to lose and no name to look for.
    if (lastDeviceName.isEmpty())
        return;

    deviceLost = true;
    debugLog ("[CFG-FIX] changeListener: device LOST ('" + lastDeviceName
              + juce::String (juce::CharPointer_UTF8 ("') \xe2\x80\x94 pausa + reconexi\xc3\xb3n autom\xc3\xa1tica armada")));
    sendEvent (makeObject ({ { "action", "AUDIO_DEVICE_LOST" } }));

    // A pause that keeps the position: the song stays where it was until the front end resumes it.
    // It goes through the engine's pause, so that neither the click nor a count sounds on the device
    // once it is back.
    if (songTransportPlaying() || countInPhase.load() == 1)
    {
        if (songLinks.pause)
            songLinks.pause();
        else
            songLinks.transport->stop();
    }

    reconnectPoller.callback = [this] { attemptDeviceReconnect(); };
    reconnectPoller.startTimer (reconnectIntervalMs);
}

void AudioEngine::attemptDeviceReconnect()
{
    auto* type = deviceManager.getCurrentDeviceTypeObject();
    if (! deviceLost || type == nullptr || lastDeviceName.isEmpty())
        return;

    type->scanForDevices();
    if (! type->getDeviceNames (false).contains (lastDeviceName))
        return;

    auto setup = lastDeviceSetup;
    setup.outputDeviceName = lastDeviceName;
    listSuppressedUntilMs = nowMs() + 800;
    const auto error = deviceManager.setAudioDeviceSetup (setup, true);

    auto* device = deviceManager.getCurrentAudioDevice();
    if (error.isEmpty() && isOpen (device))
    {
        router->setDeviceOutputChannels (device->getActiveOutputChannels().countNumberOfSetBits());
        deviceReconnect (*device, "attemptDeviceReconnect");
        sendAudioDeviceList();
        return;
    }

    debugLog ("[CFG-FIX] reconnect attempt FAILED: " + (error.isNotEmpty() ? error : juce::String ("sin device tras reopen")));
}

void AudioEngine::rememberEngineDevice (const juce::AudioIODevice& device)
{
    lastDeviceName = device.getName();
    lastDeviceSetup = deviceManager.getAudioDeviceSetup();
}

void AudioEngine::deviceReconnect (juce::AudioIODevice& device, const juce::String& via)
{
    deviceLost = false;
    reconnectPoller.stopTimer();
    rememberEngineDevice (device);
    deviceSampleRate = device.getCurrentSampleRate();
    recalcResamplerRatio ("deviceReconnect:" + via);
    if (songLinks.reseat)
        songLinks.reseat();
    saveAudioSettings();
    debugLog ("[CFG-FIX] device RECONNECTED ('" + device.getName() + "') via " + via);
    sendEvent (makeObject ({ { "action", "AUDIO_DEVICE_RECONNECTED" }, { "device", device.getName() } }));
}

// ALSA and JACK only (never the virtual type, whose loss reaches the change listener): a device
// counts as lost when it is not open, not playing, or missing from a rescan of its type.
void AudioEngine::watchDevice()
{
    auto* device = deviceManager.getCurrentAudioDevice();
    if (device == nullptr || ! isWatchedType (device->getTypeName()))
    {
        deviceWatcher.stopTimer();
        return;
    }
    if (deviceLost || exportClosedDevice.load())
        return;

    bool present = device->isOpen() && device->isPlaying();
    if (present)
        if (auto* type = deviceManager.getCurrentDeviceTypeObject())
        {
            type->scanForDevices();
            present = type->getDeviceNames (false).contains (device->getName());
        }
    if (present)
    {
        jackSelfCloseWaits = 0;
        return;
    }

    // A JACK device whose server went away closes itself from the client library's thread, which
    // still uses the device when the rescan already misses it: deleting the device first would
    // pull it from under that thread. The watcher leaves it to close itself (the change message
    // or the next tick then sees it closed), and closes it only after a few seconds of waiting.
    if (device->getTypeName() == "JACK" && device->isOpen() && ++jackSelfCloseWaits <= jackSelfCloseTicks)
        return;
    jackSelfCloseWaits = 0;

    debugLog ("[CFG-FIX] device watcher: '" + device->getName() + "' ya no responde");
    deviceWatcher.stopTimer();
    deviceManager.closeAudioDevice();
    handleDeviceLoss();
}
} // namespace quorvelle
