#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <functional>
#include <memory>
#include <vector>

namespace quorvelle::platform
{
struct MidiPortInfo
{
    juce::String identifier;
    juce::String name;
    bool operator== (const MidiPortInfo& o) const { return identifier == o.identifier && name == o.name; }
};

class MidiInputPort;

// Receives every message of an open input, on the port's own (foreign) thread.
class MidiInputHandler
{
public:
    virtual ~MidiInputHandler() = default;
    virtual void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& message) = 0;
};

class MidiOutputPort
{
public:
    virtual ~MidiOutputPort() = default;
    virtual MidiPortInfo getDeviceInfo() const = 0;
    virtual void startBackgroundThread() = 0;
    // Sends at once; returns false when the port is gone.
    virtual bool sendMessageNow (const juce::MidiMessage& message) = 0;
};

class MidiInputPort
{
public:
    virtual ~MidiInputPort() = default;
    virtual MidiPortInfo getDeviceInfo() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
};

// The machine's MIDI ports: listing, opening, sending and receiving.
class MidiPortSystem
{
public:
    virtual ~MidiPortSystem() = default;
    virtual std::vector<MidiPortInfo> getAvailableOutputs() = 0;
    virtual std::vector<MidiPortInfo> getAvailableInputs() = 0;
    // nullptr when the port does not exist or cannot be opened.
    virtual std::unique_ptr<MidiOutputPort> openOutput (const juce::String& identifier) = 0;
    virtual std::unique_ptr<MidiInputPort> openInput (const juce::String& identifier, MidiInputHandler* handler) = 0;
};

// The real ports, through JUCE (ALSA sequencer here; empty lists where there is none).
std::unique_ptr<MidiPortSystem> createJuceMidiPortSystem();

// Ports that live in memory: tests add and remove them, read what was sent, and inject input,
// which is delivered from the system's own thread like a driver would.
class InMemoryMidiPortSystem final : public MidiPortSystem
{
public:
    InMemoryMidiPortSystem();
    ~InMemoryMidiPortSystem() override;

    void addOutput (const juce::String& identifier, const juce::String& name);
    void addInput (const juce::String& identifier, const juce::String& name);
    // A removed port vanishes from the lists; ports already open stop working (sends fail, no input).
    void removeOutput (const juce::String& identifier);
    void removeInput (const juce::String& identifier);

    // Every message sent to the output, in order, as raw bytes.
    std::vector<std::vector<juce::uint8>> sentTo (const juce::String& identifier) const;
    void clearSent();

    // Queues the bytes for delivery to every started input opened on `identifier`; returns at once.
    void inject (const juce::String& identifier, const juce::MidiMessage& message);
    // Waits until every injected message has been delivered (or the bound passed); true when drained.
    bool waitUntilDelivered (int timeoutMs = 2000);

    std::vector<MidiPortInfo> getAvailableOutputs() override;
    std::vector<MidiPortInfo> getAvailableInputs() override;
    std::unique_ptr<MidiOutputPort> openOutput (const juce::String& identifier) override;
    std::unique_ptr<MidiInputPort> openInput (const juce::String& identifier, MidiInputHandler* handler) override;

    struct State;

private:
    std::shared_ptr<State> state;
};
} // namespace quorvelle::platform
