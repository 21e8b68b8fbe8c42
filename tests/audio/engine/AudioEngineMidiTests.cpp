// The engine's MIDI on in-memory ports: the bytes of raw and cue messages, buses and their ports,
// the disconnected notices (also for a port that vanishes), the held cue markers, and the inputs'
// filter and hand-off to the message thread.
#include "audio/engine/AudioEngine.h"
#include "platform/StorageRoot.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"
#include "tests/audio/engine/RecordedEvents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
using Bytes = std::vector<juce::uint8>;

// Installs in-memory ports for the engine built right after it.
struct InstalledPorts
{
    InstalledPorts() { AudioEngine::useMidiPortSystemForNextEngine (ports); }
    std::shared_ptr<platform::InMemoryMidiPortSystem> ports = std::make_shared<platform::InMemoryMidiPortSystem>();
};

class MidiTest : public testing::Test
{
protected:
    MidiTest()
    {
        midi.ports->addOutput ("out-a", "Synth A");
        midi.ports->addOutput ("out-b", "Synth B");
        midi.ports->addInput ("in-a", "Keys");
    }

    platform::InMemoryMidiPortSystem& ports() { return *midi.ports; }

    // One enabled bus per (busId, portId, channel).
    static juce::var buses (std::initializer_list<std::tuple<const char*, const char*, int, bool>> rows)
    {
        auto* object = new juce::DynamicObject();
        for (const auto& [busId, portId, channel, enabled] : rows)
            object->setProperty (busId, makeObject ({ { "portId", juce::String (portId) }, { "channel", channel }, { "enabled", enabled } }));
        return juce::var (object);
    }



    CapturingLogger log;
    InstalledPorts midi;
    RecordedEvents recorded;
    std::unique_ptr<AudioEngine> engine = std::make_unique<AudioEngine> (
        recorded.sink(),
        [] { return getStorageRoot(); });
};
} // namespace

TEST_F (MidiTest, MessageBytesByTypeChannelAndMaster)
{
    struct Row
    {
        const char* name;
        std::function<void (AudioEngine&)> send;
        std::vector<Bytes> expected;
        bool master = true;
    };
    const std::vector<Row> rows {
        { "pc on channel 0 goes to channel 1, value masked", [] (AudioEngine& e) { e.sendMidiMessage (0, "pc", 130, 0); }, { { 0xC0, 0x02 } } },
        { "cc on channel 17 goes to 16, both values masked", [] (AudioEngine& e) { e.sendMidiMessage (17, "cc", 200, 300); }, { { 0xBF, 0x48, 0x2C } } },
        { "upper-case CC is not a raw type", [] (AudioEngine& e) { e.sendMidiMessage (1, "CC", 1, 1); }, {} },
        { "unknown raw type", [] (AudioEngine& e) { e.sendMidiMessage (1, "note", 1, 1); }, {} },
        { "cue note on, velocity above 127", [] (AudioEngine& e) { e.sendMidiCueNow ("drums", "NOTE_ON", 60, 200); }, { { 0x92, 60, 127 } } },
        { "cue note on, negative velocity", [] (AudioEngine& e) { e.sendMidiCueNow ("drums", "NOTE_ON", 60, -5); }, { { 0x92, 60, 0 } } },
        { "cue note off masks its note", [] (AudioEngine& e) { e.sendMidiCueNow ("drums", "NOTE_OFF", 188, 64); }, { { 0x82, 60, 64 } } },
        { "cue control change masks its value", [] (AudioEngine& e) { e.sendMidiCueNow ("drums", "CC", 7, 300); }, { { 0xB2, 7, 0x2C } } },
        { "cue program change has two bytes", [] (AudioEngine& e) { e.sendMidiCueNow ("drums", "PC", 5, 99); }, { { 0xC2, 5 } } },
        { "unknown cue type", [] (AudioEngine& e) { e.sendMidiCueNow ("drums", "SYSEX", 5, 99); }, {} },
        { "unknown bus", [] (AudioEngine& e) { e.sendMidiCueNow ("nobody", "PC", 5, 0); }, {} },
        { "master off sends nothing", [] (AudioEngine& e) { e.sendMidiMessage (1, "pc", 1, 0); e.sendMidiCueNow ("drums", "PC", 1, 0); }, {}, false },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.name);
        engine->setMidiBuses (buses ({ { "drums", "out-a", 3, true } }));
        engine->setMidiMaster (row.master);
        ports().clearSent();
        row.send (*engine);
        EXPECT_EQ (ports().sentTo ("out-a"), row.expected);
    }
    drainPostedMessages();
    EXPECT_TRUE (recorded.named ("MIDI_BUS_DISCONNECTED").empty());
}

TEST_F (MidiTest, MasterOffSendsAllNotesOffOnEveryChannelOfEveryOpenPort)
{
    engine->setMidiBuses (buses ({ { "drums", "out-a", 1, true }, { "keys", "out-b", 2, true } }));
    engine->setMidiMaster (false); // also when it was already off

    for (const auto* port : { "out-a", "out-b" })
    {
        SCOPED_TRACE (port);
        const auto sent = ports().sentTo (port);
        ASSERT_EQ (sent.size(), 16u);
        for (int n = 0; n < 16; ++n)
            EXPECT_EQ (sent[(size_t) n], (Bytes { (juce::uint8) (0xB0 | n), 123, 0 }));
    }
}

TEST_F (MidiTest, PortsOpenOncePerPortAndCloseWhenNoEnabledBusWantsThem)
{
    engine->setMidiBuses (buses ({ { "drums", "out-a", 1, true }, { "bass", "out-a", 2, true } }));
    EXPECT_EQ (log.count ("AudioEngine: Opened MIDI Port Synth A"), 1);

    // Disabling one of the two keeps the port open; the bus the payload leaves out keeps its fields.
    engine->setMidiBuses (buses ({ { "drums", "out-a", 1, false } }));
    EXPECT_EQ (log.count ("AudioEngine: Closed unused MIDI Port"), 1) << "no enabled bus of this payload wants out-a";
    engine->setMidiBuses (buses ({ { "drums", "out-a", 1, false }, { "bass", "out-a", 2, true } }));
    EXPECT_EQ (log.count ("AudioEngine: Opened MIDI Port Synth A"), 2);
    engine->setMidiBuses (buses ({ { "drums", "out-a", 1, false }, { "bass", "out-a", 2, true } }));
    EXPECT_EQ (log.count ("AudioEngine: Opened MIDI Port Synth A"), 2) << "an open port is not opened again";
    EXPECT_EQ (log.count ("AudioEngine: Closed unused MIDI Port"), 1);

    engine->setMidiMaster (true);
    ports().clearSent();
    engine->sendMidiCueNow ("bass", "PC", 1, 0);
    engine->sendMidiCueNow ("drums", "PC", 1, 0); // disabled: nothing
    EXPECT_EQ (ports().sentTo ("out-a"), (std::vector<Bytes> { { 0xC1, 1 } }));

    // A raw message goes to every open port, whatever bus it serves.
    engine->setMidiBuses (buses ({ { "bass", "out-a", 2, true }, { "keys", "out-b", 2, true } }));
    ports().clearSent();
    engine->sendMidiMessage (5, "pc", 9, 0);
    EXPECT_EQ (ports().sentTo ("out-a"), (std::vector<Bytes> { { 0xC4, 9 } }));
    EXPECT_EQ (ports().sentTo ("out-b"), (std::vector<Bytes> { { 0xC4, 9 } }));
}

TEST_F (MidiTest, DisconnectedNoticesComeOncePerBusUntilTheBusesAreSentAgain)
{
    engine->setMidiBuses (buses ({ { "loose", "", 1, true }, { "ghost", "no-such-port", 1, true }, { "live", "out-a", 1, true } }));
    engine->setMidiMaster (true);

    for (int i = 0; i < 2; ++i)
        for (const auto* bus : { "loose", "ghost", "live" })
            engine->sendMidiCueNow (bus, "NOTE_ON", 60, 100);

    // The vanished port: its first failing send closes it and reports the bus once.
    ports().removeOutput ("out-a");
    for (int i = 0; i < 2; ++i)
        engine->sendMidiCueNow ("live", "NOTE_ON", 60, 100);
    engine->sendMidiMessage (1, "pc", 1, 0); // the port is closed: nothing is attempted
    EXPECT_EQ (log.count ("AudioEngine: Closed vanished MIDI Port out-a"), 1);

    drainPostedMessages();
    std::map<juce::String, juce::StringArray> reasons;
    for (const auto& e : recorded.named ("MIDI_BUS_DISCONNECTED"))
        reasons[e["busId"].toString()].add (e["reason"].toString());
    EXPECT_EQ (reasons["loose"], juce::StringArray ("unassigned"));
    EXPECT_EQ (reasons["ghost"], juce::StringArray ("disconnected"));
    EXPECT_EQ (reasons["live"], juce::StringArray ("disconnected"));

    // New buses: the next failing cue reports again.
    engine->setMidiBuses (buses ({ { "loose", "", 1, true } }));
    engine->sendMidiCueNow ("loose", "NOTE_ON", 60, 100);
    engine->sendMidiCueNow ("loose", "NOTE_ON", 60, 100);
    drainPostedMessages();
    EXPECT_EQ (recorded.named ("MIDI_BUS_DISCONNECTED").size(), 4u);
}

TEST_F (MidiTest, CueMarkersAreHeldSortedAndNeverSent)
{
    engine->setMidiBuses (buses ({ { "drums", "out-a", 1, true } }));
    engine->setMidiMaster (true);
    ports().clearSent();

    juce::Array<juce::var> cues;
    for (double time : { 30.0, 10.0, 20.0 })
        cues.add (makeObject ({ { "id", "c" + juce::String (time) }, { "time", time }, { "busId", "drums" }, { "messageType", "PC" } }));
    cues.add (5); // not an object: skipped
    engine->updateMidiCues (cues);

    const auto held = engine->getMidiCues();
    ASSERT_EQ (held.size(), 3u);
    EXPECT_EQ (held[0].time, 10.0);
    EXPECT_EQ (held[1].time, 20.0);
    EXPECT_EQ (held[2].time, 30.0);
    EXPECT_EQ (held[0].value, 0);
    EXPECT_FALSE (held[0].disableOnLoop);
    EXPECT_EQ (log.count ("AudioEngine: Loaded 3 Marcadores MIDI"), 1);
    EXPECT_TRUE (ports().sentTo ("out-a").empty());

    engine->updateMidiCues (juce::var (juce::Array<juce::var>()));
    EXPECT_TRUE (engine->getMidiCues().empty());
}

TEST_F (MidiTest, DeviceListsNameEveryPortInTheSystemsOrder)
{
    engine->sendMidiDevicesList();
    engine->sendMidiInputDevicesList();
    const auto outputs = recorded.named ("MIDI_DEVICES_LIST");
    const auto inputs = recorded.named ("MIDI_INPUT_DEVICES_LIST");
    ASSERT_EQ (outputs.size(), 1u);
    ASSERT_EQ (inputs.size(), 1u);
    ASSERT_EQ (outputs[0]["devices"].size(), 2);
    EXPECT_EQ (outputs[0]["devices"][0]["id"].toString(), "out-a");
    EXPECT_EQ (outputs[0]["devices"][1]["name"].toString(), "Synth B");
    ASSERT_EQ (inputs[0]["devices"].size(), 1);
    EXPECT_EQ (inputs[0]["devices"][0]["name"].toString(), "Keys");
}

//==============================================================================
TEST_F (MidiTest, InputFilterForwardsFourKindsAsTheyCame)
{
    engine->enableMidiInput ("in-a");
    struct Row
    {
        Bytes bytes;
        bool forwarded;
    };
    const std::vector<Row> rows {
        { { 0x83, 60, 0 }, true },   { { 0x9F, 60, 100 }, true }, { { 0x90, 61, 0 }, true }, // velocity 0 stays a note on
        { { 0xB4, 7, 99 }, true },   { { 0xC5, 0x10 }, true },   { { 0xA0, 60, 10 }, false },
        { { 0xD2, 40 }, false },     { { 0xE0, 0, 64 }, false },  { { 0xF8 }, false },
        { { 0xFE }, false },         { { 0xFA }, false },         { { 0xF0, 0x7E, 0xF7 }, false },
    };
    std::vector<const Row*> expected;
    for (const auto& row : rows)
    {
        ports().inject ("in-a", juce::MidiMessage (row.bytes.data(), (int) row.bytes.size()));
        if (row.forwarded)
            expected.push_back (&row);
    }
    ASSERT_TRUE (ports().waitUntilDelivered());
    drainPostedMessages();

    const auto got = recorded.named ("MIDI_INPUT_MESSAGE");
    ASSERT_EQ (got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
    {
        SCOPED_TRACE (i);
        const auto& bytes = expected[i]->bytes;
        EXPECT_EQ (got[i]["deviceId"].toString(), "in-a");
        EXPECT_EQ ((int) got[i]["status"], bytes[0]);
        EXPECT_EQ ((int) got[i]["data1"], bytes[1]);
        EXPECT_EQ ((int) got[i]["data2"], bytes.size() > 2 ? bytes[2] : 0);
    }
}

TEST_F (MidiTest, InputsOpenOnceCloseOnDisableAndBurstsKeepTheirOrder)
{
    engine->enableMidiInput ("in-a");
    engine->enableMidiInput ("in-a");
    engine->enableMidiInput ("not-there");
    EXPECT_EQ (log.count ("AudioEngine: Opened MIDI Input Keys"), 1);

    engine->disableMidiInput ("never-enabled");
    EXPECT_EQ (log.count ("AudioEngine: Closed MIDI Input"), 0);

    constexpr int burst = 10000;
    for (int i = 0; i < burst; ++i)
        ports().inject ("in-a", juce::MidiMessage::controllerEvent (1, (i / 128) % 128, i % 128));
    ASSERT_TRUE (ports().waitUntilDelivered (60000));
    drainPostedMessages();
    const auto got = recorded.named ("MIDI_INPUT_MESSAGE");
    ASSERT_EQ ((int) got.size(), burst);
    for (int i = 0; i < burst; ++i)
        if ((int) got[(size_t) i]["data1"] != (i / 128) % 128 || (int) got[(size_t) i]["data2"] != i % 128)
            FAIL() << "message " << i << " out of order";

    engine->disableMidiInput ("in-a");
    EXPECT_EQ (log.count ("AudioEngine: Closed MIDI Input in-a"), 1);
    ports().inject ("in-a", juce::MidiMessage::controllerEvent (1, 1, 1));
    ASSERT_TRUE (ports().waitUntilDelivered());
    drainPostedMessages();
    EXPECT_EQ ((int) recorded.named ("MIDI_INPUT_MESSAGE").size(), burst);
}

// Messages keep coming while the message thread sends the ones queued so far: each batch is taken
// whole, none is lost or reordered between batches, and a lone message after a quiet moment still
// gets its own delivery.
TEST_F (MidiTest, InputQueuedWhileEarlierMessagesAreSentArrivesWholeAndInOrder)
{
    engine->enableMidiInput ("in-a");
    constexpr int burst = 5000;
    std::thread injector ([&]
    {
        for (int i = 0; i < burst; ++i)
        {
            ports().inject ("in-a", juce::MidiMessage::controllerEvent (1, (i / 128) % 128, i % 128));
            if (i % 64 == 63)
                ports().waitUntilDelivered(); // the driver's side pauses now and then, so batches vary
        }
    });
    const bool all = runMessageLoopUntil ([&] { return (int) recorded.named ("MIDI_INPUT_MESSAGE").size() >= burst; }, 60000);
    injector.join();
    ASSERT_TRUE (all) << recorded.named ("MIDI_INPUT_MESSAGE").size() << " of " << burst;
    const auto got = recorded.named ("MIDI_INPUT_MESSAGE");
    ASSERT_EQ ((int) got.size(), burst);
    for (int i = 0; i < burst; ++i)
        if ((int) got[(size_t) i]["data1"] != (i / 128) % 128 || (int) got[(size_t) i]["data2"] != i % 128)
            FAIL() << "message " << i << " out of order";

    for (int lone = 1; lone <= 3; ++lone)
    {
        ports().inject ("in-a", juce::MidiMessage::noteOn (2, 60 + lone, (juce::uint8) 0));
        ASSERT_TRUE (runMessageLoopUntil ([&] { return (int) recorded.named ("MIDI_INPUT_MESSAGE").size() == burst + lone; })) << "lone " << lone;
        const auto last = recorded.named ("MIDI_INPUT_MESSAGE").back();
        EXPECT_EQ ((int) last["status"], 0x91);
        EXPECT_EQ ((int) last["data1"], 60 + lone);
        EXPECT_EQ (last["deviceId"].toString(), "in-a");
    }
}

TEST_F (MidiTest, InputArrivingWhileTheEngineIsDestroyedIsDroppedSafely)
{
    engine->enableMidiInput ("in-a");
    std::atomic<bool> stop { false };
    std::thread injector ([&]
    {
        for (int sent = 0; sent < 100000 && ! stop.load(); ++sent)
            ports().inject ("in-a", juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100));
    });
    ASSERT_TRUE (runMessageLoopUntil ([&] { return ! recorded.named ("MIDI_INPUT_MESSAGE").empty(); }));

    engine.reset(); // closures still queued find the engine gone
    const auto countAtDestruction = recorded.named ("MIDI_INPUT_MESSAGE").size();
    stop = true;
    injector.join();
    ASSERT_TRUE (ports().waitUntilDelivered (60000));
    drainPostedMessages();
    EXPECT_EQ (recorded.named ("MIDI_INPUT_MESSAGE").size(), countAtDestruction);
}
