// MIDI inputs: the list, opening and closing under `midiLock` (message thread), and the filter on
// the driver's thread, which only builds the event and posts it with the engine's liveness token.
#include "audio/engine/AudioEngine.h"

#include <algorithm>

namespace quorvelle
{
namespace
{
// Note off, note on, control change and program change; everything else stays out.
bool isForwardedStatus (int status)
{
    return (status >= 0x80 && status <= 0x9F) || (status >= 0xB0 && status <= 0xCF);
}
} // namespace

void AudioEngine::enableMidiInput (const juce::String& deviceId)
{
    const juce::ScopedLock lock (midiLock);
    if (midiInputs.count (deviceId) != 0)
        return;

    const auto available = midiPorts->getAvailableInputs();
    const auto found = std::find_if (available.begin(), available.end(), [&] (const auto& p) { return p.identifier == deviceId; });
    if (found == available.end())
        return;

    auto input = midiPorts->openInput (deviceId, this);
    if (input == nullptr)
    {
        juce::Logger::writeToLog ("AudioEngine: Failed to open MIDI Input " + found->name);
        return;
    }
    input->start();
    midiInputs[deviceId] = std::move (input);
    juce::Logger::writeToLog ("AudioEngine: Opened MIDI Input " + found->name);
}

void AudioEngine::disableMidiInput (const juce::String& deviceId)
{
    const juce::ScopedLock lock (midiLock);
    const auto held = midiInputs.find (deviceId);
    if (held == midiInputs.end())
        return;

    held->second->stop();
    juce::Logger::writeToLog ("AudioEngine: Closed MIDI Input " + deviceId);
    midiInputs.erase (held);
}

// The driver's thread. Inputs are closed (and their callbacks over) before the destructor lets
// the liveness token go, and a closure that runs later finds the token gone and does nothing.
void AudioEngine::handleIncomingMidiMessage (platform::MidiInputPort* source, const juce::MidiMessage& message)
{
    if (! eventSink)
        return;

    const auto* bytes = message.getRawData();
    const int size = message.getRawDataSize();
    if (size < 1 || ! isForwardedStatus (bytes[0]))
        return;

    postEvent (makeObject ({ { "action", "MIDI_INPUT_MESSAGE" },
                             { "deviceId", source != nullptr ? source->getDeviceInfo().identifier : juce::String() },
                             { "status", (int) bytes[0] },
                             { "data1", size > 1 ? (int) bytes[1] : 0 },
                             { "data2", size > 2 ? (int) bytes[2] : 0 } }));
}
} // namespace quorvelle
