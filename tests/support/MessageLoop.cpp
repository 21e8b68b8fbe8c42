#include "tests/support/MessageLoop.h"

#include <juce_events/juce_events.h>

namespace quorvelle::test
{
bool runMessageLoopUntil (const std::function<bool()>& condition, int timeoutMs)
{
    auto* mm = juce::MessageManager::getInstance();
    const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounterHiRes() >= deadline)
            return condition();

        mm->runDispatchLoopUntil (5);
    }
    return true;
}

void runMessageLoopFor (int milliseconds)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
}
} // namespace quorvelle::test
