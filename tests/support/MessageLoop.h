#pragma once

#include <functional>

namespace quorvelle::test
{
// Runs the JUCE message loop until `condition` holds or `timeoutMs` passes.
// Returns whether the condition held. The condition is checked between short turns of the loop.
bool runMessageLoopUntil (const std::function<bool()>& condition, int timeoutMs = 20000);

// Runs the message loop for a fixed time (to let queued messages drain).
void runMessageLoopFor (int milliseconds);
} // namespace quorvelle::test
