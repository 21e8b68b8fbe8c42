#pragma once

#include "platform/EventSink.h"

#include <juce_core/juce_core.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvelle::test
{
// The real program, started with pipes on stdin, stdout and stderr (it inherits the test's HOME
// and network namespace). Reader threads collect stdout lines and stderr text.
class ProgramProcess
{
public:
    explicit ProgramProcess (std::vector<std::string> arguments = { "--bridge-stdio" });
    // Runs the binary at `program` (an absolute path) instead of the built one.
    ProgramProcess (std::vector<std::string> arguments, const std::string& program);
    ~ProgramProcess(); // kills a program still running

    static std::string programPath();

    bool started() const { return pid > 0; }

    // Writes one line (a newline is appended). False when the program no longer reads.
    bool send (const std::string& line);
    bool send (const juce::var& payload);
    void closeStdin();

    // Waits for a stdout line (from index `from` on) that parses to JSON satisfying `predicate`;
    // returns its index.
    std::optional<size_t> waitForEvent (const std::function<bool (const juce::var&)>& predicate, int timeoutMs, size_t from = 0);
    std::optional<size_t> waitForAction (const juce::String& action, int timeoutMs, size_t from = 0);
    bool waitForStderr (const std::string& fragment, int timeoutMs);

    std::vector<std::string> lines() const;
    std::vector<juce::var> events() const; // every stdout line, parsed
    // When each stdout line arrived (juce::Time::getMillisecondCounterHiRes), one per line of lines().
    std::vector<double> lineTimesMs() const;
    std::string stderrText() const;

    // The exit status, once the program has ended within `timeoutMs`; -1000 - signal when killed.
    std::optional<int> waitForExit (int timeoutMs);
    bool isRunning();
    void signal (int sig);

private:
    void readStdout();
    void readStderr();

    int pid = -1;
    int stdinFd = -1, stdoutFd = -1, stderrFd = -1;
    std::optional<int> exitStatus;
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> outLines;
    std::vector<double> outTimesMs;
    std::string errText;
    std::thread outReader, errReader;
    int readersAtEnd = 0; // under `lock`: readers that reached the end of their stream
};

using quorvelle::makeObject;
} // namespace quorvelle::test
