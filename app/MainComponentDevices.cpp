// The audio device rows of the dispatcher: the device list, the driver, device, rate and buffer
// size changes, and the device's own control panel. The changes are gated until the engine is
// ready and run as posted closures; a rate or size outside its range is refused at once.
#include "app/MainComponent.h"

#include "bridge/DeviceRequests.h"

namespace quorvelle
{
void MainComponent::registerDeviceActions()
{
    dispatchTable.add ("GET_AUDIO_DEVICES", DispatchMode::inlineCall, [this] (const juce::var&) { audioEngine.sendAudioDeviceList(); });

    dispatchTable.add ("SET_AUDIO_DRIVER", DispatchMode::posted, [this] (const juce::var& message)
    {
        audioEngine.setAudioDriver (message.getProperty ("driver", {}).toString());
    });

    dispatchTable.add ("SET_AUDIO_DEVICE", DispatchMode::posted, [this] (const juce::var& message)
    {
        audioEngine.setAudioDevice (message.getProperty ("device", {}).toString());
    });

    dispatchTable.add ("SET_SAMPLE_RATE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto value = message.getProperty ("sampleRate", {});
        if (const auto rate = readRequestedSampleRate (value))
            postToMessageThread ([this, r = *rate] { audioEngine.setDeviceSampleRate (r); });
        else
            audioEngine.debugLog ("[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=" + value.toString());
    });

    dispatchTable.add ("SET_BUFFER_SIZE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto value = message.getProperty ("bufferSize", {});
        if (const auto size = readRequestedBufferSize (value))
            postToMessageThread ([this, s = *size] { audioEngine.setDeviceBufferSize (s); });
        else
            audioEngine.debugLog ("[CFG-FIX] SET_BUFFER_SIZE ignorado: size invalido=" + value.toString());
    });

    dispatchTable.add ("OPEN_ASIO_PANEL", DispatchMode::posted, [this] (const juce::var&) { audioEngine.showDeviceControlPanel(); });
}
} // namespace quorvelle
