#pragma once

#include "tests/support/JuceAssertions.h"

#include <juce_core/juce_core.h>

#include <mutex>
#include <vector>

namespace quorvelle::test
{
// Collects every line written through juce::Logger while it lives, from any thread. It installs
// itself on construction and puts back the logger it replaced on destruction. A JUCE assertion line
// fails the running test.
class CapturingLogger : public juce::Logger
{
public:
    CapturingLogger() : previous (juce::Logger::getCurrentLogger()) { juce::Logger::setCurrentLogger (this); }
    ~CapturingLogger() override { juce::Logger::setCurrentLogger (previous); }
    CapturingLogger (const CapturingLogger&) = delete;
    CapturingLogger& operator= (const CapturingLogger&) = delete;

    // A copy of the lines so far, in the order they were written.
    std::vector<juce::String> lines() const
    {
        std::scoped_lock sl (lock);
        return captured;
    }

    // The number of lines containing `fragment`.
    int count (const juce::String& fragment) const
    {
        std::scoped_lock sl (lock);
        int n = 0;
        for (const auto& line : captured)
            if (line.contains (fragment))
                ++n;
        return n;
    }

    // The lines so far, one per row (for conditions on the whole log and for failure messages).
    juce::String text() const
    {
        std::scoped_lock sl (lock);
        juce::StringArray all;
        for (const auto& line : captured)
            all.add (line);
        return all.joinIntoString ("\n");
    }

protected:
    void logMessage (const juce::String& message) override
    {
        failOnJuceAssertion (message);
        std::scoped_lock sl (lock);
        captured.push_back (message);
    }

private:
    juce::Logger* const previous;
    mutable std::mutex lock;
    std::vector<juce::String> captured;
};
} // namespace quorvelle::test
