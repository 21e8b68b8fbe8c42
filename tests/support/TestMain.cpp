// Shared main for every test program: a JUCE GUI initialiser (message manager on this thread),
// then GoogleTest.
#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <csignal>

int main (int argc, char** argv)
{
    std::signal (SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juceInit;
    return RUN_ALL_TESTS();
}
