// The pad and MIDI rows through the real program (`--bridge-stdio`): PAD_LOAD_ERROR for a missing
// slot file and for a preload held back until the engine is ready, the typed MIDI port list, and
// one MIDI_BUS_DISCONNECTED per bus however many cues fail.
#include "ProgramProcess.h"
#include "EndedProgram.h"
#include "TypedDeviceEvents.h"

#include "typedbridge/TypedMessages_generated.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;

juce::String actionOf (const juce::var& e) { return e.getProperty ("action", {}).toString(); }

// The device count of a typed MIDI_DEVICES_LIST line; empty for any other line.
std::optional<int> typedMidiDeviceCount (const juce::var& line)
{
    const auto event = typedDeviceEvent (line);
    if (actionOf (event) != "MIDI_DEVICES_LIST")
        return std::nullopt;
    return event["devices"].size();
}

juce::String decodedBase64 (const juce::var& text)
{
    juce::MemoryOutputStream out;
    if (! juce::Base64::convertFromBase64 (out, text.toString()))
        return {};
    return juce::String::fromUTF8 (static_cast<const char*> (out.getData()), (int) out.getDataSize());
}
} // namespace

TEST (PadMidiRowsE2E, PadLoadErrorsMidiListAndBusNotices)
{
    const auto home = juce::File::getSpecialLocation (juce::File::userHomeDirectory);
    const auto unreadable = home.getChildFile ("preload.wav");
    ASSERT_TRUE (unreadable.replaceWithText ("not audio"));
    const auto missing = home.getChildFile (juce::String::fromUTF8 ("canci\xc3\xb3n perdida.wav")).getFullPathName();

    EndedProgram program;
    // Gated: held until the engine is ready, then run.
    program.send (makeObject ({ { "action", "PRELOAD_PAD" }, { "file", unreadable.getFullPathName() } }));
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    program.send (makeObject ({ { "action", "UPDATE_PAD" }, { "enabled", true }, { "file", missing }, { "volume", 0 }, { "fadeTime", 0.5 } }));

    for (const auto& file : { unreadable.getFullPathName(), missing })
    {
        SCOPED_TRACE (file);
        const auto at = program.waitForEvent ([&] (const juce::var& e) { return actionOf (e) == "PAD_LOAD_ERROR" && e["file"].toString() == file; },
                                              eventMs);
        ASSERT_TRUE (at.has_value()) << program.stderrText();
        const auto event = program.events()[*at];
        EXPECT_EQ (decodedBase64 (event["fileB64"]), file);
        EXPECT_EQ (event["reason"].toString(), "No se pudo abrir el archivo del pad");
    }

    // The port list is typed; there is no sequencer here, so it is empty.
    program.send (std::string (R"({"action":"GET_MIDI_DEVICES"})"));
    const auto list = program.waitForEvent ([] (const juce::var& e) { return typedMidiDeviceCount (e).has_value(); }, eventMs);
    ASSERT_TRUE (list.has_value()) << program.stderrText();
    const auto available = *typedMidiDeviceCount (program.events()[*list]);

    program.send (std::string (R"({"action":"SET_MIDI_BUSES","buses":{"loose":{"portId":"","channel":1,"enabled":true},)"
                               R"("ghost":{"portId":"no-such-port","channel":2,"enabled":true}}})"));
    program.send (std::string (R"({"action":"SET_MIDI_MASTER","enabled":true})"));
    for (int i = 0; i < 2; ++i)
        for (const auto* bus : { "loose", "ghost" })
            program.send (makeObject ({ { "action", "SEND_MIDI_CUE_NOW" }, { "busId", juce::String (bus) }, { "messageType", "NOTE_ON" }, { "value", 60 } }));
    // The notices are posted: wait for both, then a list asked for afterwards comes after any
    // duplicate the later cues could have posted.
    for (const auto* bus : { "loose", "ghost" })
        ASSERT_TRUE (program.waitForEvent ([&] (const juce::var& e) { return actionOf (e) == "MIDI_BUS_DISCONNECTED" && e["busId"].toString() == bus; },
                                           eventMs).has_value()) << bus;
    program.send (std::string (R"({"action":"GET_MIDI_DEVICES"})"));
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& e) { return typedMidiDeviceCount (e).has_value(); }, eventMs, *list + 1).has_value());

    std::map<juce::String, juce::StringArray> reasons;
    for (const auto& e : program.events())
        if (actionOf (e) == "MIDI_BUS_DISCONNECTED")
            reasons[e["busId"].toString()].add (e["reason"].toString());
    EXPECT_EQ (reasons["loose"], juce::StringArray ("unassigned"));
    EXPECT_EQ (reasons["ghost"], juce::StringArray ("disconnected"));
    if (! juce::File ("/dev/snd/seq").exists())
        EXPECT_EQ (available, 0);
}
} // namespace quorvelle::test
