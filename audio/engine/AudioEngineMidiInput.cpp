// MIDI inputs: the list, opening and closing under `midiLock` (message thread), and the filter on
// the driver's thread, which only queues the message. One drain at a time is posted with the
// engine's liveness token and sends every queued message in order on the message thread, so a
// burst costs one posted closure per batch, not one per message.
#include "audio/engine/AudioEngine.h"

#include <algorithm>
#include <utility>

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
// the liveness token go, and a drain that runs later finds the token gone and does nothing.
void AudioEngine::handleIncomingMidiMessage (platform::MidiInputPort* source, const juce::MidiMessage& message)
{
    if (! eventSink)
        return;

    const auto* bytes = message.getRawData();
    const int size = message.getRawDataSize();
    if (size < 1 || ! isForwardedStatus (bytes[0]))
        return;

    {
        const std::lock_guard<std::mutex> g (midiInputQueueLock);
        midiInputQueue.push_back ({ source != nullptr ? source->getDeviceInfo().identifier : juce::String(), (int) bytes[0],
                                    size > 1 ? (int) bytes[1] : 0, size > 2 ? (int) bytes[2] : 0 });
        if (std::exchange (midiInputDrainPosted, true))
            return; // the posted drain has not taken the queue yet: it sends this one too
    }

    const bool posted = juce::MessageManager::callAsync ([weak = padToken, this]
    {
        if (weak.lock() != nullptr)
            drainMidiInput();
    });
    if (! posted)
    {
        const std::lock_guard<std::mutex> g (midiInputQueueLock);
        midiInputDrainPosted = false; // no message loop: the next message tries again
    }
}

// Message thread: takes the whole queue (a message that comes meanwhile posts the next drain) and
// sends it in order; the batch's storage goes back to the queue for the next burst.
void AudioEngine::drainMidiInput()
{
    std::vector<MidiInputMessage> batch;
    {
        const std::lock_guard<std::mutex> g (midiInputQueueLock);
        batch.swap (midiInputQueue);
        midiInputDrainPosted = false;
    }

    for (const auto& m : batch)
        sendEvent (makeObject ({ { "action", "MIDI_INPUT_MESSAGE" },
                                 { "deviceId", m.deviceId },
                                 { "status", m.status },
                                 { "data1", m.data1 },
                                 { "data2", m.data2 } }));

    batch.clear();
    const std::lock_guard<std::mutex> g (midiInputQueueLock);
    if (midiInputQueue.empty() && midiInputQueue.capacity() < batch.capacity())
        midiInputQueue.swap (batch);
}
} // namespace quorvelle
