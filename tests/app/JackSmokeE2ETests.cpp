// The program on a real JACK server without hardware (jackd's dummy backend, 48 kHz, 256 frames, 8
// playback ports): start-up opens it by default, the device list shows it, the program's first two
// ports are connected to the first two playback ports, it plays silence without a session, and the
// next start with the same HOME takes the fast path over the saved device state.
#include "EndedProgram.h"
#include "ProgramProcess.h"
#include "TypedDeviceEvents.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;
constexpr int toolMs = 20000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// A JACK tool run to its end with the test's environment; its standard output, or nothing when it
// could not start, did not end in time or failed.
std::optional<juce::String> runTool (const juce::StringArray& command)
{
    juce::ChildProcess tool;
    if (! tool.start (command, juce::ChildProcess::wantStdOut))
        return std::nullopt;
    auto output = tool.readAllProcessOutput(); // returns once the tool has closed its output
    if (! tool.waitForProcessToFinish (toolMs))
    {
        tool.kill();
        return std::nullopt;
    }
    if (tool.getExitCode() != 0)
        return std::nullopt;
    return output;
}

// `jackd -d dummy` under a name of its own, stopped by its process id on every path.
class DummyJackServer
{
public:
    explicit DummyJackServer (const juce::File& logFile)
        : name ("quorvelle-smoke-" + juce::String (::getpid())), log (logFile)
    {
        ::setenv ("JACK_NO_AUDIO_RESERVATION", "1", 1);
        ::setenv ("JACK_DEFAULT_SERVER", name.toRawUTF8(), 1);

        const std::string path = "/usr/bin/jackd";
        std::vector<std::string> args { path, "-n", name.toStdString(), "-r", "-d", "dummy", "-r", "48000", "-p", "256", "-P", "8", "-C", "0" };
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back (a.data());
        argv.push_back (nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, 1, log.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2 (&actions, 1, 2);
        pid_t child = -1;
        if (posix_spawn (&child, path.c_str(), &actions, nullptr, argv.data(), environ) == 0)
            pid = child;
        posix_spawn_file_actions_destroy (&actions);
    }

    ~DummyJackServer()
    {
        if (pid > 0)
        {
            ::kill (pid, SIGTERM);
            if (! reaped (10000))
            {
                ::kill (pid, SIGKILL);
                reaped (10000);
            }
        }
        ::unsetenv ("JACK_DEFAULT_SERVER");
    }

    // Waits (bounded) until the server answers.
    bool waitUntilRunning() const
    {
        return pid > 0 && runTool ({ "jack_wait", "-s", name, "-w", "-t", "10" }).has_value();
    }

    juce::String logText() const { return log.loadFileAsString(); }

    const juce::String name;

private:
    bool reaped (int timeoutMs)
    {
        for (const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs; juce::Time::getMillisecondCounter() < end;)
        {
            if (::waitpid (pid, nullptr, WNOHANG) == pid)
                return true;
            juce::Thread::sleep (20);
        }
        return false;
    }

    juce::File log;
    pid_t pid = -1;
};

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
        EXPECT_TRUE (connected (*ports, "quorvelle:out_2", "system:playback_2")) << *ports;

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
} // namespace quorvelle::test
