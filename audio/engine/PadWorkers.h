// Short-lived threads of the pads (decodes, queue worker, chain clean-ups), counted so that the
// engine's end waits for them: they touch the cache, the read-ahead thread and the format manager.
// Threads: `launch` from any thread; the destructor raises `stopping` and waits for every job.
#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace quorvelle
{
class PadWorkers final
{
public:
    PadWorkers() = default;
    ~PadWorkers()
    {
        stopping = true;
        std::unique_lock<std::mutex> lk (lock);
        idle.wait (lk, [this] { return active == 0; });
    }

    void launch (std::function<void()> job)
    {
        {
            const std::lock_guard<std::mutex> g (lock);
            ++active;
        }
        juce::Thread::launch ([this, job = std::move (job)]() mutable
        {
            job();
            job = nullptr; // what the job owned dies here, before the count drops
            const std::lock_guard<std::mutex> g (lock);
            --active;
            idle.notify_all();
        });
    }

    // Raised when the engine goes: decodes stop between chunks.
    std::atomic<bool> stopping { false };

private:
    std::mutex lock;
    std::condition_variable idle;
    int active = 0;

    JUCE_DECLARE_NON_COPYABLE (PadWorkers)
};
} // namespace quorvelle
