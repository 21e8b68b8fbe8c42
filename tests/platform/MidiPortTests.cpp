#include "platform/MidiPorts.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using namespace quorvelle::platform;

namespace
{
struct RecordingHandler final : MidiInputHandler
{
    std::mutex lock;
    std::vector<std::vector<juce::uint8>> received;
    std::vector<std::thread::id> threads;
    std::vector<juce::String> sources;
    std::function<void (const juce::MidiMessage&)> also;

    void handleIncomingMidiMessage (MidiInputPort* source, const juce::MidiMessage& m) override
    {
        {
            std::lock_guard<std::mutex> g (lock);
            received.emplace_back (m.getRawData(), m.getRawData() + m.getRawDataSize());
            threads.push_back (std::this_thread::get_id());
            sources.push_back (source->getDeviceInfo().identifier);
        }
        if (also)
            also (m);
    }
};
} // namespace

TEST (InMemoryMidi, ListsOpensAndRecordsSentBytes)
{
    InMemoryMidiPortSystem midi;
    midi.addOutput ("out-b", "Synth B");
    midi.addOutput ("out-a", "Synth A");
    midi.addInput ("in-1", "Pedal");

    EXPECT_EQ (midi.getAvailableOutputs(), (std::vector<MidiPortInfo> { { "out-a", "Synth A" }, { "out-b", "Synth B" } }));
    EXPECT_EQ (midi.getAvailableInputs(), (std::vector<MidiPortInfo> { { "in-1", "Pedal" } }));
    EXPECT_EQ (midi.openOutput ("nope"), nullptr);
    EXPECT_EQ (midi.openInput ("nope", nullptr), nullptr);

    auto out = midi.openOutput ("out-a");
    ASSERT_NE (out, nullptr);
    EXPECT_EQ (out->getDeviceInfo().name, "Synth A");
    EXPECT_TRUE (out->sendMessageNow (juce::MidiMessage::controllerEvent (1, 123, 0)));
    EXPECT_TRUE (out->sendMessageNow (juce::MidiMessage::noteOn (10, 36, (juce::uint8) 100)));

    const auto sent = midi.sentTo ("out-a");
    ASSERT_EQ (sent.size(), 2u);
    EXPECT_EQ (sent[0], (std::vector<juce::uint8> { 0xB0, 123, 0 }));
    EXPECT_EQ (sent[1], (std::vector<juce::uint8> { 0x99, 36, 100 }));
    EXPECT_TRUE (midi.sentTo ("out-b").empty());

    // A vanished port leaves the list and refuses sends from handles still open.
    midi.removeOutput ("out-a");
    EXPECT_EQ (midi.getAvailableOutputs().size(), 1u);
    EXPECT_FALSE (out->sendMessageNow (juce::MidiMessage::controllerEvent (1, 7, 64)));
    EXPECT_EQ (midi.sentTo ("out-a").size(), 2u);
    midi.addOutput ("out-a", "Synth A");
    EXPECT_NE (midi.openOutput ("out-a"), nullptr);
}

TEST (InMemoryMidi, InjectedInputArrivesOnAForeignThreadOnlyWhileStarted)
{
    InMemoryMidiPortSystem midi;
    midi.addInput ("in-1", "Pedal");
    midi.addOutput ("thru", "Thru");
    RecordingHandler handler;

    auto in = midi.openInput ("in-1", &handler);
    ASSERT_NE (in, nullptr);

    midi.inject ("in-1", juce::MidiMessage::noteOn (1, 60, (juce::uint8) 90));
    ASSERT_TRUE (midi.waitUntilDelivered());
    EXPECT_TRUE (handler.received.empty()) << "not started yet";

    // The handler may send from the callback (a thru), which must not deadlock.
    auto thru = midi.openOutput ("thru");
    handler.also = [&] (const juce::MidiMessage& m) { thru->sendMessageNow (m); };

    in->start();
    midi.inject ("in-1", juce::MidiMessage::programChange (2, 5));
    midi.inject ("in-1", juce::MidiMessage::noteOff (1, 60));
    ASSERT_TRUE (midi.waitUntilDelivered());
    ASSERT_EQ (handler.received.size(), 2u);
    EXPECT_EQ (handler.received[0], (std::vector<juce::uint8> { 0xC1, 5 }));
    EXPECT_EQ (handler.received[1][0], 0x80);
    EXPECT_NE (handler.threads[0], std::this_thread::get_id());
    EXPECT_EQ (handler.sources[0], "in-1");
    EXPECT_EQ (midi.sentTo ("thru").size(), 2u);

    in->stop();
    midi.inject ("in-1", juce::MidiMessage::noteOn (1, 61, (juce::uint8) 90));
    ASSERT_TRUE (midi.waitUntilDelivered());
    EXPECT_EQ (handler.received.size(), 2u);

    // A removed input delivers nothing, and a closed one is never called again.
    in->start();
    midi.removeInput ("in-1");
    midi.inject ("in-1", juce::MidiMessage::noteOn (1, 62, (juce::uint8) 90));
    ASSERT_TRUE (midi.waitUntilDelivered());
    EXPECT_EQ (handler.received.size(), 2u);

    midi.addInput ("in-1", "Pedal");
    for (int i = 0; i < 200; ++i)
        midi.inject ("in-1", juce::MidiMessage::controllerEvent (1, 1, i % 128));
    in.reset(); // closing while messages are in flight
    ASSERT_TRUE (midi.waitUntilDelivered());
    const auto countAfterClose = handler.received.size();
    midi.inject ("in-1", juce::MidiMessage::noteOn (1, 63, (juce::uint8) 90));
    ASSERT_TRUE (midi.waitUntilDelivered());
    EXPECT_EQ (handler.received.size(), countAfterClose);
}

TEST (JuceMidi, ListsWithoutFailingWhereThereIsNoSequencer)
{
    // Containers have no ALSA sequencer: the lists are empty and opening fails cleanly.
    auto midi = createJuceMidiPortSystem();
    auto outputs = midi->getAvailableOutputs();
    auto inputs = midi->getAvailableInputs();
    for (auto& p : outputs)
        EXPECT_TRUE (p.identifier.isNotEmpty());
    EXPECT_EQ (midi->openOutput ("no-such-port"), nullptr);
    EXPECT_EQ (midi->openInput ("no-such-port", nullptr), nullptr);
    SUCCEED() << outputs.size() << " outputs, " << inputs.size() << " inputs";
}
