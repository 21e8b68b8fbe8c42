// The events an engine sends, recorded from any thread, and a wait for the closures posted so far.
#pragma once

#include "platform/EventSink.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <mutex>
#include <vector>

namespace quorvelle::test
{
class RecordedEvents
{
public:
    EventSink sink()
    {
        return [this] (const juce::String&, const juce::var& payload)
        {
            const std::scoped_lock sl (lock);
            events.push_back (payload);
        };
    }

    std::vector<juce::var> named (const juce::String& action) const
    {
        const std::scoped_lock sl (lock);
        std::vector<juce::var> out;
        for (const auto& e : events)
            if (e.getProperty ("action", {}).toString() == action)
                out.push_back (e);
        return out;
    }

    void clear()
    {
        const std::scoped_lock sl (lock);
        events.clear();
    }

private:
    mutable std::mutex lock;
    std::vector<juce::var> events;
};

// Runs the message loop until every closure posted before this call has run (a marker posted last).
inline void drainPostedMessages()
{
    bool reached = false;
    juce::MessageManager::callAsync ([&reached] { reached = true; });
    ASSERT_TRUE (runMessageLoopUntil ([&] { return reached; }));
}
} // namespace quorvelle::test
