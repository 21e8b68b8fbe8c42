// MIDI outputs: the port lists, the front end's buses, the master switch, raw messages to every open
// port, cue messages to one bus, and the song's cue markers (held, never played here). Message
// thread, each operation under `midiLock`; the disconnected notice is posted, never sent under it.
#include "audio/engine/AudioEngine.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace quorvelle
{
namespace
{
std::mutex nextPortsLock;
std::shared_ptr<platform::MidiPortSystem> nextPorts;

// The low nibble of a status byte: channels below 1 send on channel 1, above 16 on 16.
int channelNibble (int channel) { return juce::jlimit (0, 15, channel - 1); }

juce::var deviceList (const juce::String& action, const std::vector<platform::MidiPortInfo>& ports)
{
    juce::Array<juce::var> devices;
    for (const auto& port : ports)
        devices.add (makeObject ({ { "id", port.identifier }, { "name", port.name } }));
    return makeObject ({ { "action", action }, { "devices", devices } });
}

// The bytes of a cue message on `channel`; empty for a type that is not one of the four.
std::optional<juce::MidiMessage> cueMessage (const juce::String& type, int channel, int value, int velocity)
{
    const auto status = [channel] (int high) { return high | channelNibble (channel); };
    const int data1 = value & 0x7F;
    if (type == "NOTE_ON")
        return juce::MidiMessage (status (0x90), data1, juce::jlimit (0, 127, velocity));
    if (type == "NOTE_OFF")
        return juce::MidiMessage (status (0x80), data1, juce::jlimit (0, 127, velocity));
    if (type == "CC")
        return juce::MidiMessage (status (0xB0), data1, velocity & 0x7F);
    if (type == "PC")
        return juce::MidiMessage (status (0xC0), data1);
    return std::nullopt;
}
} // namespace

void AudioEngine::useMidiPortSystemForNextEngine (std::shared_ptr<platform::MidiPortSystem> ports)
{
    const std::lock_guard<std::mutex> guard (nextPortsLock);
    nextPorts = std::move (ports);
}

std::shared_ptr<platform::MidiPortSystem> AudioEngine::takeMidiPortSystem()
{
    {
        const std::lock_guard<std::mutex> guard (nextPortsLock);
        if (nextPorts != nullptr)
            return std::exchange (nextPorts, nullptr);
    }
    return platform::createJuceMidiPortSystem();
}

//==============================================================================
void AudioEngine::sendMidiDevicesList() { sendEvent (deviceList ("MIDI_DEVICES_LIST", midiPorts->getAvailableOutputs())); }
void AudioEngine::sendMidiInputDevicesList() { sendEvent (deviceList ("MIDI_INPUT_DEVICES_LIST", midiPorts->getAvailableInputs())); }

void AudioEngine::setMidiBuses (const juce::var& buses)
{
    auto* object = buses.getDynamicObject();
    if (object == nullptr || buses.isArray())
        return;

    const juce::ScopedLock lock (midiLock);
    notifiedDisconnectedBuses.clear();

    std::set<juce::String> wanted;
    for (const auto& property : object->getProperties())
    {
        if (! property.value.isObject())
            continue;
        const auto busId = property.name.toString();
        auto& bus = midiBuses[busId];
        bus.busId = busId;
        bus.portId = property.value.getProperty ("portId", {}).toString();
        bus.channel = static_cast<int> (property.value.getProperty ("channel", 0));
        bus.enabled = static_cast<bool> (property.value.getProperty ("enabled", false));
        if (bus.enabled && bus.portId.isNotEmpty())
            wanted.insert (bus.portId);
    }

    const auto available = midiPorts->getAvailableOutputs();
    for (const auto& portId : wanted)
    {
        if (midiOutputs.count (portId) != 0)
            continue;
        const auto found = std::find_if (available.begin(), available.end(), [&] (const auto& p) { return p.identifier == portId; });
        if (found == available.end())
            continue;
        if (auto port = midiPorts->openOutput (portId))
        {
            port->startBackgroundThread();
            midiOutputs[portId] = std::move (port);
            juce::Logger::writeToLog ("AudioEngine: Opened MIDI Port " + found->name);
        }
    }

    for (auto it = midiOutputs.begin(); it != midiOutputs.end();)
    {
        if (wanted.count (it->first) != 0)
        {
            ++it;
            continue;
        }
        juce::Logger::writeToLog ("AudioEngine: Closed unused MIDI Port " + it->first);
        it = midiOutputs.erase (it);
    }
}

void AudioEngine::setMidiMaster (bool enabled)
{
    const juce::ScopedLock lock (midiLock);
    midiMasterEnabled = enabled;
    if (enabled)
        return;

    // All Notes Off on every channel of every open port; a port that is gone is skipped.
    for (auto& [portId, port] : midiOutputs)
        for (int n = 0; n < 16; ++n)
            if (! port->sendMessageNow (juce::MidiMessage (0xB0 | n, 123, 0)))
                break;
}

void AudioEngine::sendMidiMessage (int channel, const juce::String& type, int value, int subValue)
{
    const juce::ScopedLock lock (midiLock);
    if (! midiMasterEnabled)
        return;

    std::optional<juce::MidiMessage> message;
    if (type == "pc")
        message = juce::MidiMessage (0xC0 | channelNibble (channel), value & 0x7F);
    else if (type == "cc")
        message = juce::MidiMessage (0xB0 | channelNibble (channel), value & 0x7F, subValue & 0x7F);
    if (! message)
        return;

    // Every open port, whatever bus it serves; a port that is gone refuses the send and is skipped.
    for (auto& [portId, port] : midiOutputs)
        port->sendMessageNow (*message);
}

void AudioEngine::sendMidiCueNow (const juce::String& busId, const juce::String& messageType, int value, int velocity)
{
    const juce::ScopedLock lock (midiLock);
    const auto bus = midiBuses.find (busId);
    if (! midiMasterEnabled || bus == midiBuses.end() || ! bus->second.enabled)
        return;

    const auto& portId = bus->second.portId;
    const auto port = midiOutputs.find (portId);
    if (port == midiOutputs.end())
    {
        notifyMidiBusDisconnected (busId, portId.isEmpty() ? "unassigned" : "disconnected");
        return;
    }

    const auto message = cueMessage (messageType, bus->second.channel, value, velocity);
    if (message && ! port->second->sendMessageNow (*message))
    {
        // The port vanished: it is closed, and the bus reports until the front end re-sends its buses.
        juce::Logger::writeToLog ("AudioEngine: Closed vanished MIDI Port " + portId);
        midiOutputs.erase (port);
        notifyMidiBusDisconnected (busId, "disconnected");
    }
}

void AudioEngine::notifyMidiBusDisconnected (const juce::String& busId, const juce::String& reason)
{
    if (! notifiedDisconnectedBuses.insert (busId.toStdString()).second)
        return;
    if (eventSink)
        postEvent (makeObject ({ { "action", "MIDI_BUS_DISCONNECTED" }, { "busId", busId }, { "reason", reason } }));
}

//==============================================================================
void AudioEngine::updateMidiCues (const juce::var& cues)
{
    const juce::ScopedLock lock (midiLock);
    midiCues.clear();

    if (const auto* items = cues.getArray())
        for (const auto& item : *items)
        {
            if (! item.isObject())
                continue;
            MidiMarker marker;
            marker.id = item.getProperty ("id", {}).toString();
            marker.time = static_cast<double> (item.getProperty ("time", 0.0));
            marker.busId = item.getProperty ("busId", {}).toString();
            marker.messageType = item.getProperty ("messageType", {}).toString();
            marker.value = static_cast<int> (item.getProperty ("value", 0));
            marker.velocity = static_cast<int> (item.getProperty ("velocity", 0));
            marker.disableOnLoop = static_cast<bool> (item.getProperty ("disableOnLoop", false));
            midiCues.push_back (std::move (marker));
        }

    std::stable_sort (midiCues.begin(), midiCues.end(), [] (const auto& a, const auto& b) { return a.time < b.time; });
    juce::Logger::writeToLog ("AudioEngine: Loaded " + juce::String ((int) midiCues.size()) + " Marcadores MIDI");
}

std::vector<AudioEngine::MidiMarker> AudioEngine::getMidiCues() const
{
    const juce::ScopedLock lock (midiLock);
    return midiCues;
}
} // namespace quorvelle
