// Short-lived threads of the pads (decodes, queue worker, chain clean-ups), counted so that the
// engine's end waits for them: they touch the cache, the read-ahead thread and the format manager.
// Threads: `launch` from any thread; the destructor raises `stopping` and waits for every job.
//
// A job waits until `juce::Thread::launch` has returned before it runs: JUCE 7.0.5's launch
// unlocks the thread object's start lock after the new thread may already have run a short job
// and deleted that object (a use after free that ThreadSanitizer shows for the empty clean-up jobs).
#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
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
        // The job stays reachable here in case no thread can be made; only the running side
        // empties it, so what it owns dies on that side.
        auto held = std::make_shared<std::function<void()>> (std::move (job));
        auto launched = std::make_shared<juce::WaitableEvent> (true);
        const auto run = [this, held]
        {
            (*held)();
            *held = nullptr; // what the job owned dies here, before the count drops
            const std::lock_guard<std::mutex> g (lock);
            --active;
            idle.notify_all();
            // Nothing of this object is touched once the count has dropped and the lock is released.
        };
        if (juce::Thread::launch ([run, launched]
        {
            launched->wait (-1);
            run();
        }))
            launched->signal();
        else
            run(); // no thread to be had: the job still runs, here, and is counted out
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
