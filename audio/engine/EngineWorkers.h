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

private:
    AudioEngine& owner;
};
} // namespace quorvelle
