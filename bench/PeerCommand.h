#pragma once

// What the benchmarks that race a reference tool share: wall-clock seconds, and a shell command
// timed as a whole.

#include <juce_core/juce_core.h>

#include <chrono>
#include <cstdlib>

namespace quorvelle::bench
{
using Clock = std::chrono::steady_clock;

inline double secondsSince (Clock::time_point start) { return std::chrono::duration<double> (Clock::now() - start).count(); }

// The seconds `command` took through the shell, or -1 when it failed.
inline double runShell (const juce::String& command)
{
    const auto start = Clock::now();
    if (std::system (command.toRawUTF8()) != 0)
        return -1.0;
    return secondsSince (start);
}
} // namespace quorvelle::bench
