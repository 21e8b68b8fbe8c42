#include "net/cloud/CloudWorker.h"

namespace quorvelle::cloud
{
CloudWorker::CloudWorker (const juce::String& threadName, juce::String tag, Clock c)
    : juce::Thread (threadName), clock (std::move (c)), logTag (std::move (tag))
{
}

CloudWorker::~CloudWorker()
{
    stopWorker();
}

void CloudWorker::stopWorker()
{
    signalThreadShouldExit();
    canceller.cancel();
    wakeUp.signal();
    stopThread (15000);
    alive.reset();
}

void CloudWorker::setConfig (const juce::String& baseUrl, const juce::String& apiKey, const juce::String& authToken)
{
    {
        const juce::ScopedLock sl (configLock);
        configuration = { baseUrl, apiKey, authToken };
    }
    if (authToken.isNotEmpty() && baseUrl.isNotEmpty() && ! isThreadRunning())
        startThread (juce::Thread::Priority::normal);
    wakeUp.signal();
}

void CloudWorker::wake()
{
    wakeUp.signal();
}

CloudConfig CloudWorker::config() const
{
    const juce::ScopedLock sl (configLock);
    return configuration;
}

void CloudWorker::run()
{
    juce::Logger::writeToLog (logTag + " started");
    while (! threadShouldExit())
    {
        if (! config().isComplete())
            wakeUp.wait (30000);
        else if (! processNextJob())
            wakeUp.wait (60000);
    }
    juce::Logger::writeToLog (logTag + " stopped");
}

void CloudWorker::post (juce::var event)
{
    postEvent (eventSink, alive, std::move (event));
}
} // namespace quorvelle::cloud
