#pragma once

#include "platform/EventSink.h"
#include "net/cloud/CloudCommon.h"
#include "net/cloud/CloudHttp.h"

#include <juce_core/juce_core.h>

#include <memory>

namespace quorvelle::cloud
{
// What the upload and download workers share: the thread and its loop, the configuration, the
// wake-up event, the cancellation of a running transfer and the posting of events.
//
// Threads: the message thread configures, wakes and destroys; the worker's own thread (started by
// the first configuration with a base URL and a token) runs the loop. A derived destructor must
// call `stopWorker` first: it cancels the running transfer, so the thread ends within its bound.
class CloudWorker : public juce::Thread
{
public:
    ~CloudWorker() override;

    // Installed by the owner before the thread starts.
    EventSink eventSink;

    // Stores the three (empty ones included); starts the thread when the token and the base URL
    // are set and it is not running; wakes it.
    void setConfig (const juce::String& baseUrl, const juce::String& apiKey, const juce::String& authToken);
    void wake();

    // Idle in 30000 ms waits while token, base URL or key is missing; otherwise one due job at a
    // time, and 60000 ms waits while there is none.
    void run() final;

protected:
    CloudWorker (const juce::String& threadName, juce::String logTag, Clock clock);

    void stopWorker();
    CloudConfig config() const;
    // Takes the next due job and processes it; false when there was none.
    virtual bool processNextJob() = 0;
    // Hands the event to the sink on the message thread; nothing without a sink.
    void post (juce::var event);

    const Clock clock;
    TransferCanceller canceller;

private:
    const juce::String logTag;
    mutable juce::CriticalSection configLock;
    CloudConfig configuration;
    juce::WaitableEvent wakeUp;
    std::shared_ptr<int> alive = std::make_shared<int> (0);
};
} // namespace quorvelle::cloud
