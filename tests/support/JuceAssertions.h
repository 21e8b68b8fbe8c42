#pragma once

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

namespace quorvelle::test
{
// Trees built with JUCE_LOG_ASSERTIONS write every failed jassert to juce::Logger as "JUCE Assertion
// failure in <file>:<line>". The test loggers pass each line here: such a line fails the running test.
inline void failOnJuceAssertion (const juce::String& line)
{
    if (! line.contains ("JUCE Assertion failure"))
        return;
    if (::testing::UnitTest::GetInstance()->current_test_info() != nullptr)
        ADD_FAILURE() << line;
    else
        std::cerr << "outside any test: " << line << std::endl;
}
} // namespace quorvelle::test
