// Shared pieces of the cloud workers' tests: a clock the test moves, and a sink that records the
// events the workers post to the message thread.
#pragma once

#include "bridge/EventSink.h"
#include "net/cloud/CloudCommon.h"

#include "tests/support/MessageLoop.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <vector>

namespace quorvelle::test
{
struct ManualClock
{
    std::atomic<juce::int64> now { 1'700'000'000'000 };
    cloud::Clock clock()
    {
        return [this] { return now.load(); };
    }
};

// Runs on the message thread only (the workers post there), so it needs no lock.
struct EventRecorder
{
    std::vector<juce::var> events;

    EventSink sink()
    {
        return [this] (const juce::String& name, const juce::var& payload)
        {
            if (name == "fromNative")
                events.push_back (payload);
        };
    }

    std::vector<juce::var> withAction (const juce::String& action) const
    {
        std::vector<juce::var> matching;
        for (const auto& e : events)
            if (e.getProperty ("action", {}).toString() == action)
                matching.push_back (e);
        return matching;
    }

    // Pumps the message loop until `count` events of `action` arrived (bounded).
    bool waitFor (const juce::String& action, size_t count = 1, int timeoutMs = 20000)
    {
        return runMessageLoopUntil ([&] { return withAction (action).size() >= count; }, timeoutMs);
    }
};

inline juce::var parseJson (const std::string& text)
{
    return juce::JSON::parse (juce::String::fromUTF8 (text.data(), (int) text.size()));
}
} // namespace quorvelle::test
