#include "platform/MidiPorts.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace quorvelle::platform
{
namespace
{
MidiPortInfo toInfo (const juce::MidiDeviceInfo& d) { return { d.identifier, d.name }; }

std::vector<MidiPortInfo> toInfos (const juce::Array<juce::MidiDeviceInfo>& devices)
{
    std::vector<MidiPortInfo> out;
    for (auto& d : devices)
        out.push_back (toInfo (d));
    return out;
}

class JuceOutputPort final : public MidiOutputPort
{
public:
    explicit JuceOutputPort (std::unique_ptr<juce::MidiOutput> o) : out (std::move (o)) {}
    MidiPortInfo getDeviceInfo() const override { return toInfo (out->getDeviceInfo()); }
    void startBackgroundThread() override { out->startBackgroundThread(); }
    // A port whose identifier left the system's list is gone: nothing is sent to it.
    bool sendMessageNow (const juce::MidiMessage& m) override
    {
        const auto identifier = out->getIdentifier();
        for (const auto& device : juce::MidiOutput::getAvailableDevices())
            if (device.identifier == identifier)
            {
                out->sendMessageNow (m);
                return true;
            }
        return false;
    }

private:
    std::unique_ptr<juce::MidiOutput> out;
};

class JuceInputPort final : public MidiInputPort, private juce::MidiInputCallback
{
public:
    JuceInputPort (const juce::String& id, MidiInputHandler* h) : handler (h)
    {
        in = juce::MidiInput::openDevice (id, this);
    }
    bool isOpen() const { return in != nullptr; }
    MidiPortInfo getDeviceInfo() const override { return toInfo (in->getDeviceInfo()); }
    void start() override { in->start(); }
    void stop() override { in->stop(); }

private:
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& m) override
    {
        if (handler != nullptr)
            handler->handleIncomingMidiMessage (this, m);
    }

    MidiInputHandler* handler;
    std::unique_ptr<juce::MidiInput> in;
};

class JuceMidiPortSystem final : public MidiPortSystem
{
public:
    std::vector<MidiPortInfo> getAvailableOutputs() override { return toInfos (juce::MidiOutput::getAvailableDevices()); }
    std::vector<MidiPortInfo> getAvailableInputs() override { return toInfos (juce::MidiInput::getAvailableDevices()); }

    std::unique_ptr<MidiOutputPort> openOutput (const juce::String& id) override
    {
        if (auto o = juce::MidiOutput::openDevice (id))
            return std::make_unique<JuceOutputPort> (std::move (o));
        return nullptr;
    }

    std::unique_ptr<MidiInputPort> openInput (const juce::String& id, MidiInputHandler* handler) override
    {
        auto port = std::make_unique<JuceInputPort> (id, handler);
        if (! port->isOpen())
            return nullptr;
        return port;
    }
};
} // namespace

std::unique_ptr<MidiPortSystem> createJuceMidiPortSystem() { return std::make_unique<JuceMidiPortSystem>(); }

//==============================================================================
class InMemoryInput;

struct InMemoryMidiPortSystem::State
{
    mutable std::mutex lock;
    std::condition_variable wake;
    std::map<juce::String, juce::String> outputs, inputs; // identifier -> name (lists keep identifier order)
    std::map<juce::String, std::vector<std::vector<juce::uint8>>> sent;
    std::mutex deliveryLock; // guards openInputs; held while a message is handed to the inputs
    std::vector<InMemoryInput*> openInputs;
    std::deque<std::pair<juce::String, juce::MidiMessage>> queue;
    int inFlight = 0;
    bool quit = false;
    std::thread deliverer;
};

namespace
{
using State = InMemoryMidiPortSystem::State;

class InMemoryOutput final : public MidiOutputPort
{
public:
    InMemoryOutput (std::shared_ptr<State> s, MidiPortInfo i) : state (std::move (s)), info (std::move (i)) {}
    MidiPortInfo getDeviceInfo() const override { return info; }
    void startBackgroundThread() override {}
    bool sendMessageNow (const juce::MidiMessage& m) override
    {
        std::lock_guard<std::mutex> g (state->lock);
        if (state->outputs.count (info.identifier) == 0)
            return false;
        auto* data = m.getRawData();
        state->sent[info.identifier].emplace_back (data, data + m.getRawDataSize());
        return true;
    }

private:
    std::shared_ptr<State> state;
    MidiPortInfo info;
};
} // namespace

class InMemoryInput final : public MidiInputPort
{
public:
    InMemoryInput (std::shared_ptr<State> s, MidiPortInfo i, MidiInputHandler* h)
        : info (std::move (i)), state (std::move (s)), handler (h)
    {
        std::lock_guard<std::mutex> g (state->deliveryLock);
        state->openInputs.push_back (this);
    }

    ~InMemoryInput() override
    {
        // Delivery runs under this lock, so once removed no callback can still be running.
        std::lock_guard<std::mutex> g (state->deliveryLock);
        auto& v = state->openInputs;
        v.erase (std::remove (v.begin(), v.end(), this), v.end());
    }

    MidiPortInfo getDeviceInfo() const override { return info; }
    void start() override { started.store (true); }
    void stop() override { started.store (false); }

    void deliver (const juce::MidiMessage& m)
    {
        if (started.load() && handler != nullptr)
            handler->handleIncomingMidiMessage (this, m);
    }

    const MidiPortInfo info;

private:
    std::shared_ptr<State> state;
    MidiInputHandler* handler;
    std::atomic<bool> started { false };
};

InMemoryMidiPortSystem::InMemoryMidiPortSystem() : state (std::make_shared<State>())
{
    auto s = state;
    state->deliverer = std::thread ([s] {
        std::unique_lock<std::mutex> lk (s->lock);
        for (;;)
        {
            s->wake.wait (lk, [&] { return s->quit || ! s->queue.empty(); });
            if (s->quit)
                return;
            auto [id, message] = s->queue.front();
            s->queue.pop_front();
            const bool present = s->inputs.count (id) != 0;
            lk.unlock();
            // The handler runs without the state lock, so it may send to outputs from the callback.
            if (present)
            {
                std::lock_guard<std::mutex> g (s->deliveryLock);
                for (auto* in : s->openInputs)
                    if (in->info.identifier == id)
                        in->deliver (message);
            }
            lk.lock();
            --s->inFlight;
            s->wake.notify_all();
        }
    });
}

InMemoryMidiPortSystem::~InMemoryMidiPortSystem()
{
    {
        std::lock_guard<std::mutex> g (state->lock);
        state->quit = true;
    }
    state->wake.notify_all();
    state->deliverer.join();
}

void InMemoryMidiPortSystem::addOutput (const juce::String& id, const juce::String& name)
{
    std::lock_guard<std::mutex> g (state->lock);
    state->outputs[id] = name;
}

void InMemoryMidiPortSystem::addInput (const juce::String& id, const juce::String& name)
{
    std::lock_guard<std::mutex> g (state->lock);
    state->inputs[id] = name;
}

void InMemoryMidiPortSystem::removeOutput (const juce::String& id)
{
    std::lock_guard<std::mutex> g (state->lock);
    state->outputs.erase (id);
}

void InMemoryMidiPortSystem::removeInput (const juce::String& id)
{
    std::lock_guard<std::mutex> g (state->lock);
    state->inputs.erase (id);
}

std::vector<std::vector<juce::uint8>> InMemoryMidiPortSystem::sentTo (const juce::String& id) const
{
    std::lock_guard<std::mutex> g (state->lock);
    auto it = state->sent.find (id);
    return it == state->sent.end() ? std::vector<std::vector<juce::uint8>> {} : it->second;
}

void InMemoryMidiPortSystem::clearSent()
{
    std::lock_guard<std::mutex> g (state->lock);
    state->sent.clear();
}

void InMemoryMidiPortSystem::inject (const juce::String& id, const juce::MidiMessage& message)
{
    {
        std::lock_guard<std::mutex> g (state->lock);
        state->queue.emplace_back (id, message);
        ++state->inFlight;
    }
    state->wake.notify_all();
}

bool InMemoryMidiPortSystem::waitUntilDelivered (int timeoutMs)
{
    std::unique_lock<std::mutex> lk (state->lock);
    return state->wake.wait_for (lk, std::chrono::milliseconds (timeoutMs), [&] { return state->inFlight == 0; });
}

namespace
{
// The ports of one direction (`ports` is the state's outputs or inputs), in identifier order.
std::vector<MidiPortInfo> listPorts (State& state, const std::map<juce::String, juce::String>& ports)
{
    std::lock_guard<std::mutex> g (state.lock);
    std::vector<MidiPortInfo> out;
    for (auto& [id, name] : ports)
        out.push_back ({ id, name });
    return out;
}
} // namespace

std::vector<MidiPortInfo> InMemoryMidiPortSystem::getAvailableOutputs() { return listPorts (*state, state->outputs); }
std::vector<MidiPortInfo> InMemoryMidiPortSystem::getAvailableInputs() { return listPorts (*state, state->inputs); }

std::unique_ptr<MidiOutputPort> InMemoryMidiPortSystem::openOutput (const juce::String& id)
{
    std::lock_guard<std::mutex> g (state->lock);
    auto it = state->outputs.find (id);
    if (it == state->outputs.end())
        return nullptr;
    return std::make_unique<InMemoryOutput> (state, MidiPortInfo { id, it->second });
}

std::unique_ptr<MidiInputPort> InMemoryMidiPortSystem::openInput (const juce::String& id, MidiInputHandler* handler)
{
    MidiPortInfo info;
    {
        std::lock_guard<std::mutex> g (state->lock);
        auto it = state->inputs.find (id);
        if (it == state->inputs.end())
            return nullptr;
        info = { id, it->second };
    }
    return std::make_unique<InMemoryInput> (state, info, handler);
}
} // namespace quorvelle::platform
