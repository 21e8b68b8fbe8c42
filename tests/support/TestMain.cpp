// Shared main for every test program: a JUCE GUI initialiser (message manager on this thread), a
// logger that writes to stderr and fails the running test on a JUCE assertion line, then GoogleTest.
#include "tests/support/JuceAssertions.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <csignal>
#include <iostream>

namespace
{
class TestLogger final : public juce::Logger
{
    void logMessage (const juce::String& message) override
    {
        std::cerr << message << std::endl;
        quorvelle::test::failOnJuceAssertion (message);
    }
};
} // namespace

int main (int argc, char** argv)
{
    std::signal (SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juceInit;
    TestLogger logger;
    juce::Logger::setCurrentLogger (&logger);
    const auto result = RUN_ALL_TESTS();
    juce::Logger::setCurrentLogger (nullptr);
    return result;
}
