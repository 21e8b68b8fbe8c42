// The MIDI rows of the dispatcher: port lists, buses, the master switch, raw and cue messages, the
// song's cue markers and the inputs. All inline; none of them waits for the engine.
#include "app/MainComponent.h"
#include "app/RowFields.h"

namespace quorvelle
{
void MainComponent::registerMidiActions()
{
    using namespace row_fields;
    const auto integer = [] (const juce::var& message, const char* key) { return static_cast<int> (message.getProperty (key, 0)); };
    const auto inlineRow = [this] (const char* action, std::function<void (const juce::var&)> work)
    {
        dispatchTable.add (action, DispatchMode::inlineCall, std::move (work));
    };

    inlineRow ("GET_MIDI_DEVICES", [this] (const juce::var&) { audioEngine.sendMidiDevicesList(); });
    inlineRow ("GET_MIDI_INPUT_DEVICES", [this] (const juce::var&) { audioEngine.sendMidiInputDevicesList(); });
    inlineRow ("SET_MIDI_MASTER", [this] (const juce::var& m) { audioEngine.setMidiMaster (static_cast<bool> (m.getProperty ("enabled", false))); });
    inlineRow ("SET_MIDI_BUSES", [this] (const juce::var& m)
    {
        if (m.hasProperty ("buses"))
            audioEngine.setMidiBuses (m["buses"]);
    });
    inlineRow ("UPDATE_MIDI_CUES", [this] (const juce::var& m)
    {
        if (m.hasProperty ("cues"))
            audioEngine.updateMidiCues (m["cues"]);
    });
    inlineRow ("ENABLE_MIDI_INPUT", [=, this] (const juce::var& m) { audioEngine.enableMidiInput (text (m, "deviceId")); });
    inlineRow ("DISABLE_MIDI_INPUT", [=, this] (const juce::var& m) { audioEngine.disableMidiInput (text (m, "deviceId")); });
    inlineRow ("SEND_MIDI_MESSAGE", [=, this] (const juce::var& m)
    {
        audioEngine.sendMidiMessage (integer (m, "channel"), text (m, "type"), integer (m, "value"), integer (m, "subValue"));
    });
    inlineRow ("SEND_MIDI_CUE_NOW", [=, this] (const juce::var& m)
    {
        audioEngine.sendMidiCueNow (text (m, "busId"), text (m, "messageType"), integer (m, "value"), integer (m, "velocity"));
    });
}
} // namespace quorvelle
