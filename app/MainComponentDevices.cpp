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
        audioEngine.cancelExportAndWait();
        audioEngine.setAudioDriver (message.getProperty ("driver", {}).toString());
    });

    dispatchTable.add ("SET_AUDIO_DEVICE", DispatchMode::posted, [this] (const juce::var& message)
    {
        audioEngine.cancelExportAndWait();
        audioEngine.setAudioDevice (message.getProperty ("device", {}).toString());
    });

    // A number in range is posted to the engine; anything else is logged and dropped here.
    const auto checkedSetter = [this] (const char* key, auto read, const char* refusal, auto apply)
    {
        return [this, key, read, refusal, apply] (const juce::var& message)
        {
            const auto value = message.getProperty (key, {});
            if (const auto accepted = read (value))
                postToMessageThread ([this, apply, v = *accepted]
                {
                    audioEngine.cancelExportAndWait();
                    apply (audioEngine, v);
                });
            else
                audioEngine.debugLog (refusal + value.toString());
        };
    };

    dispatchTable.add ("SET_SAMPLE_RATE", DispatchMode::inlineCall,
                       checkedSetter ("sampleRate", readRequestedSampleRate, "[CFG-FIX] SET_SAMPLE_RATE ignorado: rate invalido=",
                                      [] (AudioEngine& engine, double rate) { engine.setDeviceSampleRate (rate); }));

    dispatchTable.add ("SET_BUFFER_SIZE", DispatchMode::inlineCall,
                       checkedSetter ("bufferSize", readRequestedBufferSize, "[CFG-FIX] SET_BUFFER_SIZE ignorado: size invalido=",
                                      [] (AudioEngine& engine, int size) { engine.setDeviceBufferSize (size); }));

    dispatchTable.add ("OPEN_ASIO_PANEL", DispatchMode::posted, [this] (const juce::var&)
    {
        audioEngine.cancelExportAndWait();
        audioEngine.showDeviceControlPanel();
    });
}
} // namespace quorvelle
