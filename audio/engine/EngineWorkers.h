#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle
{
class AudioEngine;

// A worker thread of the engine: named, owned by the engine, created with it and started by the
// operation that first gives it work. Its body sleeps until it is woken or told to exit, so a
// bounded stop never has to kill it.
class EngineWorkerThread : public juce::Thread
{
public:
    EngineWorkerThread (const juce::String& threadName, AudioEngine& ownerIn) : juce::Thread (threadName), owner (ownerIn) {}

    AudioEngine& getEngine() noexcept { return owner; }

    void run() override
    {
        while (! threadShouldExit())
            wait (-1);
    }

    // Tells the thread to exit, wakes it and waits up to `timeoutMs` for it.
    bool stopWithin (int timeoutMs)
    {
        signalThreadShouldExit();
        notify();
        return stopThread (timeoutMs);
    }

protected:
    // Tells the thread to exit and waits up to `timeoutMs`; a thread still ending a run after that
    // is waited for, never killed, since its stem workers would go on writing into freed memory.
    bool stopAfterItsRun (int timeoutMs)
    {
        signalThreadShouldExit();
        notify();
        if (waitForThreadToExit (timeoutMs))
            return true;
        juce::Logger::writeToLog (getThreadName() + ": still ending its run after " + juce::String (timeoutMs) + " ms; waiting");
        return waitForThreadToExit (-1);
    }

private:
    AudioEngine& owner;
};
} // namespace quorvelle
