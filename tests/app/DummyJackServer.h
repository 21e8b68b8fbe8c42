// A JACK server without hardware for the end-to-end checks (jackd's dummy backend), under a name
// of its own and stopped by its process id on every path, and the JACK tools the checks run.
#pragma once

#include <juce_core/juce_core.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quorvelle::test
{
inline constexpr int jackToolMs = 20000;

// A JACK tool run to its end with the test's environment; its standard output, or nothing when it
// could not start, did not end in time or failed.
inline std::optional<juce::String> runTool (const juce::StringArray& command)
{
    juce::ChildProcess tool;
    if (! tool.start (command, juce::ChildProcess::wantStdOut))
        return std::nullopt;
    auto output = tool.readAllProcessOutput(); // returns once the tool has closed its output
    if (! tool.waitForProcessToFinish (jackToolMs))
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
    // `synchronous` runs the server in its synchronous mode (-S), in which it waits for its clients
    // instead of dropping periods when the machine is loaded.
    explicit DummyJackServer (const juce::File& logFile, const juce::String& prefix = "quorvelle-smoke", bool synchronous = false)
        : name (prefix + "-" + juce::String (::getpid())), log (logFile)
    {
        ::setenv ("JACK_NO_AUDIO_RESERVATION", "1", 1);
        ::setenv ("JACK_DEFAULT_SERVER", name.toRawUTF8(), 1);

        const std::string path = "/usr/bin/jackd";
        // A long client timeout: on a loaded machine a port connection must not be dropped as late.
        std::vector<std::string> args { path, "-n", name.toStdString(), "-r", "-t", "10000" };
        if (synchronous)
            args.push_back ("-S");
        for (const char* a : { "-d", "dummy", "-r", "48000", "-p", "256", "-P", "8", "-C", "0" })
            args.push_back (a);
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

// A JACK tool that runs in the background until it ends by itself (killed if still running).
class BackgroundTool
{
public:
    explicit BackgroundTool (const juce::StringArray& command) { started = process.start (command, juce::ChildProcess::wantStdOut); }
    ~BackgroundTool()
    {
        if (process.isRunning())
            process.kill();
    }
    bool waitForEnd() { return started && process.waitForProcessToFinish (jackToolMs) && process.getExitCode() == 0; }
    bool started = false;

private:
    juce::ChildProcess process;
};

// Waits (bounded) until `jack_lsp -c` lists something holding `fragment`, such as a client's name.
inline bool waitForJackListing (const juce::String& fragment)
{
    for (int attempt = 0; attempt < 200; ++attempt)
    {
        if (const auto ports = runTool ({ "jack_lsp", "-c" }); ports.has_value() && ports->contains (fragment))
            return true;
        juce::Thread::sleep (50);
    }
    return false;
}
} // namespace quorvelle::test
