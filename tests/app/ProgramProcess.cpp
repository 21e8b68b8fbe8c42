#include "ProgramProcess.h"

#include "platform/FrontEndHost.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvelle::test
{
std::string ProgramProcess::programPath()
{
    const char* dir = std::getenv ("QUORVELLE_BUILD_DIR");
    return std::string (dir != nullptr ? dir : ".") + "/quorvelle";
}

ProgramProcess::ProgramProcess (std::vector<std::string> arguments) : ProgramProcess (std::move (arguments), programPath()) {}

ProgramProcess::ProgramProcess (std::vector<std::string> arguments, const std::string& program)
{
    int in[2], out[2], err[2];
    if (::pipe2 (in, O_CLOEXEC) != 0 || ::pipe2 (out, O_CLOEXEC) != 0 || ::pipe2 (err, O_CLOEXEC) != 0)
        return;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_adddup2 (&actions, in[0], 0);
    posix_spawn_file_actions_adddup2 (&actions, out[1], 1);
    posix_spawn_file_actions_adddup2 (&actions, err[1], 2);

    const auto path = program;
    std::vector<char*> argv { const_cast<char*> (path.c_str()) };
    for (auto& a : arguments)
        argv.push_back (a.data());
    argv.push_back (nullptr);

    pid_t child = -1;
    if (posix_spawn (&child, path.c_str(), &actions, nullptr, argv.data(), environ) == 0)
        pid = child;
    posix_spawn_file_actions_destroy (&actions);

    ::close (in[0]);
    ::close (out[1]);
    ::close (err[1]);
    stdinFd = in[1];
    stdoutFd = out[0];
    stderrFd = err[0];
    outReader = std::thread ([this] { readStdout(); });
    errReader = std::thread ([this] { readStderr(); });
}

ProgramProcess::~ProgramProcess()
{
    if (isRunning())
    {
        ::kill (pid, SIGKILL);
        waitForExit (5000);
    }
    closeStdin();
    if (outReader.joinable())
        outReader.join();
    if (errReader.joinable())
        errReader.join();
    for (int fd : { stdoutFd, stderrFd })
        if (fd >= 0)
            ::close (fd);
}

void ProgramProcess::readStdout()
{
    std::string pending;
    char buffer[1 << 16];
    for (ssize_t n; (n = ::read (stdoutFd, buffer, sizeof (buffer))) > 0;)
    {
        const auto arrivedMs = juce::Time::getMillisecondCounterHiRes();
        pending.append (buffer, (size_t) n);
        size_t start = 0;
        for (auto nl = pending.find ('\n'); nl != std::string::npos; nl = pending.find ('\n', start))
        {
            std::scoped_lock sl (lock);
            outLines.push_back (pending.substr (start, nl - start));
            outTimesMs.push_back (arrivedMs);
            start = nl + 1;
        }
        pending.erase (0, start);
        changed.notify_all();
    }
    std::scoped_lock sl (lock);
    ++readersAtEnd;
    changed.notify_all();
}

void ProgramProcess::readStderr()
{
    char buffer[1 << 16];
    for (ssize_t n; (n = ::read (stderrFd, buffer, sizeof (buffer))) > 0;)
    {
        std::scoped_lock sl (lock);
        errText.append (buffer, (size_t) n);
        changed.notify_all();
    }
    std::scoped_lock sl (lock);
    ++readersAtEnd;
    changed.notify_all();
}

bool ProgramProcess::send (const std::string& line)
{
    if (stdinFd < 0)
        return false;
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size())
    {
        const auto n = ::write (stdinFd, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += (size_t) n;
    }
    return true;
}

bool ProgramProcess::send (const juce::var& payload)
{
    return send (platform::toCompactJson (payload));
}

void ProgramProcess::closeStdin()
{
    if (stdinFd >= 0)
        ::close (stdinFd);
    stdinFd = -1;
}

std::optional<size_t> ProgramProcess::waitForEvent (const std::function<bool (const juce::var&)>& predicate, int timeoutMs, size_t from)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (timeoutMs);
    size_t next = from;
    std::unique_lock ul (lock);
    for (;;)
    {
        while (next < outLines.size())
        {
            const auto line = outLines[next];
            ul.unlock();
            const bool match = predicate (juce::JSON::parse (juce::String::fromUTF8 (line.data(), (int) line.size())));
            ul.lock();
            if (match)
                return next;
            ++next;
        }
        if (changed.wait_until (ul, deadline) == std::cv_status::timeout && next >= outLines.size())
            return std::nullopt;
    }
}

std::optional<size_t> ProgramProcess::waitForAction (const juce::String& action, int timeoutMs, size_t from)
{
    return waitForEvent ([&] (const juce::var& v) { return v.getProperty ("action", {}).toString() == action; }, timeoutMs, from);
}

bool ProgramProcess::waitForStderr (const std::string& fragment, int timeoutMs)
{
    std::unique_lock ul (lock);
    return changed.wait_for (ul, std::chrono::milliseconds (timeoutMs), [&] { return errText.find (fragment) != std::string::npos; });
}

std::vector<std::string> ProgramProcess::lines() const
{
    std::scoped_lock sl (lock);
    return outLines;
}

std::vector<double> ProgramProcess::lineTimesMs() const
{
    std::scoped_lock sl (lock);
    return outTimesMs;
}

std::vector<juce::var> ProgramProcess::events() const
{
    std::vector<juce::var> parsed;
    for (const auto& line : lines())
        parsed.push_back (juce::JSON::parse (juce::String::fromUTF8 (line.data(), (int) line.size())));
    return parsed;
}

std::string ProgramProcess::stderrText() const
{
    std::scoped_lock sl (lock);
    return errText;
}

std::optional<int> ProgramProcess::waitForExit (int timeoutMs)
{
    if (exitStatus.has_value() || pid <= 0)
        return exitStatus;

    const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
    for (;;)
    {
        int status = 0;
        const auto r = ::waitpid (pid, &status, WNOHANG);
        if (r == pid)
        {
            exitStatus = WIFEXITED (status) ? WEXITSTATUS (status) : -1000 - WTERMSIG (status);
            // What the program wrote before it ended is read before the caller looks at it (a
            // child it left running may hold the pipes: then give up after a bound).
            std::unique_lock sl (lock);
            changed.wait_for (sl, std::chrono::seconds (10), [this] { return readersAtEnd >= 2; });
            return exitStatus;
        }
        if (juce::Time::getMillisecondCounterHiRes() >= deadline)
            return std::nullopt;
        juce::Thread::sleep (10);
    }
}

bool ProgramProcess::isRunning()
{
    return pid > 0 && ! waitForExit (0).has_value();
}

void ProgramProcess::signal (int sig)
{
    if (isRunning())
        ::kill (pid, sig);
}
} // namespace quorvelle::test
