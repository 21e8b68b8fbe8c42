// The program on a real JACK server without hardware (jackd's dummy backend, 48 kHz, 256 frames, 8
// playback ports): start-up opens it by default, the device list shows it, the program's first two
// ports are connected to the first two playback ports, it plays silence without a session, and the
// next start with the same HOME takes the fast path over the saved device state. When the server
// goes away the program reports the loss, and when a server of the same name comes back it
// reconnects to it and plays through its first two playback ports again.
#include "DummyJackServer.h"
#include "EndedProgram.h"
#include "ProgramProcess.h"
#include "TypedDeviceEvents.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <optional>
#include <juce_audio_formats/juce_audio_formats.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// The port lines of `jack_lsp -c`: each port, then its connections indented.
bool connected (const juce::String& lsp, const juce::String& port, const juce::String& to)
{
    juce::StringArray lines;
    lines.addLines (lsp);
    for (int i = 0; i < lines.size(); ++i)
    {
        if (lines[i] != port)
            continue;
        for (int j = i + 1; j < lines.size() && lines[j].startsWithChar (' '); ++j)
            if (lines[j].trim() == to)
                return true;
    }
    return false;
}

std::optional<juce::var> firstDeviceList (const ProgramProcess& program)
{
    for (const auto& line : program.events())
        if (const auto event = typedDeviceEvent (line); actionOf (event) == "AUDIO_DEVICES_LIST")
            return event;
    return std::nullopt;
}

bool bothPortsConnected()
{
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        if (const auto ports = runTool ({ "jack_lsp", "-c" });
            ports.has_value() && connected (*ports, "quorvelle:out_1", "system:playback_1") && connected (*ports, "quorvelle:out_2", "system:playback_2"))
            return true;
        juce::Thread::sleep (100);
    }
    return false;
}

// Waits for a typed DEBUG_LOG line that starts with `start`.
bool waitForLog (ProgramProcess& program, const juce::String& start)
{
    return program.waitForEvent ([&] (const juce::var& line)
    {
        const auto event = typedDeviceEvent (line);
        return actionOf (event) == "DEBUG_LOG" && event.getProperty ("message", {}).toString().startsWith (start);
    }, eventMs).has_value();
}
} // namespace

TEST (JackSmokeE2E, DefaultStartOpensTheServerConnectsTwoPortsPlaysSilenceAndTheNextStartTakesTheFastPath)
{
    TempFolder temp;
    DummyJackServer server (temp / "jackd.log");
    ASSERT_TRUE (server.waitUntilRunning()) << server.logText();

    {
        EndedProgram program;
        const auto readyIndex = program.waitForAction ("BACKEND_READY", startupMs);
        ASSERT_TRUE (readyIndex.has_value()) << program.stderrText();
        EXPECT_EQ ((double) program.events()[*readyIndex].getProperty ("deviceSampleRate", {}), 48000.0);

        const auto list = firstDeviceList (program);
        ASSERT_TRUE (list.has_value());
        EXPECT_EQ (list->getProperty ("currentDriver", {}).toString(), "JACK");
        EXPECT_EQ (list->getProperty ("currentDevice", {}).toString(), "system");
        EXPECT_EQ (juce::JSON::toString (list->getProperty ("sampleRates", {}), true), "[48000.0]");
        EXPECT_EQ (juce::JSON::toString (list->getProperty ("bufferSizes", {}), true), "[256]");
        EXPECT_EQ ((int) list->getProperty ("maxOutputChannels", {}), 8);

        // The engine connects its ports as it opens the device; the check waits (bounded) for the
        // connections to show.
        std::optional<juce::String> ports;
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            ports = runTool ({ "jack_lsp", "-c" });
            if (ports.has_value() && connected (*ports, "quorvelle:out_1", "system:playback_1")
                && connected (*ports, "quorvelle:out_2", "system:playback_2"))
                break;
            juce::Thread::sleep (100);
        }
        ASSERT_TRUE (ports.has_value());
        EXPECT_TRUE (connected (*ports, "quorvelle:out_1", "system:playback_1")) << *ports;
        EXPECT_TRUE (connected (*ports, "quorvelle:out_2", "system:playback_2")) << *ports << program.stderrText() << server.logText();

        // One second of what the program plays without a session: silence.
        const auto recording = temp / "out.wav";
        ASSERT_TRUE (runTool ({ "jack_rec", "-f", recording.getFullPathName(), "-d", "1", "quorvelle:out_1", "quorvelle:out_2" }).has_value());
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (recording));
        ASSERT_NE (reader, nullptr);
        EXPECT_EQ (reader->numChannels, 2u);
        EXPECT_GE (reader->lengthInSamples, 40000);
        juce::AudioBuffer<float> samples ((int) reader->numChannels, (int) reader->lengthInSamples);
        ASSERT_TRUE (reader->read (&samples, 0, samples.getNumSamples(), 0, true, true));
        for (int c = 0; c < samples.getNumChannels(); ++c)
            EXPECT_EQ (samples.getMagnitude (c, 0, samples.getNumSamples()), 0.0f) << "channel " << c;

        // The device state is saved after start-up; the program ends once it is.
        EXPECT_TRUE (waitForLog (program, "[INIT-FLOW] saveAudioSettings() done"));
    }

    EndedProgram second;
    ASSERT_TRUE (second.waitForAction ("BACKEND_READY", startupMs).has_value()) << second.stderrText();
    EXPECT_TRUE (waitForLog (second, "[INIT-FLOW] FAST PATH: OK")) << second.stderrText();
}

TEST (JackSmokeE2E, ALostServerIsReportedAndTheProgramReconnectsWhenItComesBack)
{
    TempFolder temp;
    std::optional<DummyJackServer> server (std::in_place, temp / "jackd.log");
    ASSERT_TRUE (server->waitUntilRunning()) << server->logText();

    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    ASSERT_TRUE (bothPortsConnected());
    ASSERT_TRUE (waitForLog (program, "[INIT-FLOW] saveAudioSettings() done"));

    const auto isLost = [] (const juce::var& line) { return actionOf (typedDeviceEvent (line)) == "AUDIO_DEVICE_LOST"; };
    const auto before = program.events();
    EXPECT_FALSE (std::any_of (before.begin(), before.end(), isLost));
    server.reset();
    const auto lost = program.waitForEvent (isLost, eventMs);
    ASSERT_TRUE (lost.has_value()) << program.stderrText();

    // The same server name again: the reconnect poller finds "system" and opens it.
    server.emplace (temp / "jackd2.log");
    ASSERT_TRUE (server->waitUntilRunning()) << server->logText();
    const auto reconnected = program.waitForEvent ([] (const juce::var& line)
    {
        return actionOf (line) == "AUDIO_DEVICE_RECONNECTED" && line.getProperty ("device", {}).toString() == "system";
    }, eventMs, *lost);
    ASSERT_TRUE (reconnected.has_value()) << program.stderrText();
    EXPECT_TRUE (bothPortsConnected());
    const auto after = program.events();
    EXPECT_EQ (std::count_if (after.begin(), after.end(), isLost), 1) << "one loss, one report";
}
} // namespace quorvelle::test
