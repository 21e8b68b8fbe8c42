// A gate a test closes in front of another thread: the thread calls `pass()` and waits there while
// the gate is closed; the test sees it arrive (`waitUntilReached`) and lets it through (`open`).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quorvelle::test
{
class ThreadGate
{
public:
    explicit ThreadGate (bool closed = true) : isClosed (closed) {}

    void pass()
    {
        std::unique_lock lock (mutex);
        ++arrivals;
        changed.notify_all();
        changed.wait (lock, [this] { return ! isClosed; });
    }
    void open()
    {
        const std::scoped_lock lock (mutex);
        isClosed = false;
        changed.notify_all();
    }
    void close()
    {
        const std::scoped_lock lock (mutex);
        isClosed = true;
    }
    // True once `pass` was called at least `count` times (bounded wait).
    bool waitUntilReached (int count = 1, int timeoutMs = 20000)
    {
        std::unique_lock lock (mutex);
        return changed.wait_for (lock, std::chrono::milliseconds (timeoutMs), [&] { return arrivals >= count; });
    }
    int reached()
    {
        const std::scoped_lock lock (mutex);
        return arrivals;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool isClosed;
    int arrivals = 0;
};
} // namespace quorvelle::test
