#pragma once

// Pieces shared by the threads that wait on a descriptor and hand what they read to the message
// thread (the stdio host's reader, the single-instance listener).

#include <juce_events/juce_events.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace quorvelle::platform
{
// A pipe that wakes a thread blocked in waitForReadable. When the pipe cannot be made, the wait
// gives up every 100 ms instead, so the thread still sees threadShouldExit() soon enough.
class WakePipe
{
public:
    enum class Wait
    {
        ready,       // the descriptor has events (or, without a pipe, the 100 ms ran out)
        woken,       // wake() was called
        interrupted, // a signal cut the wait short; wait again
        failed
    };

    WakePipe()
    {
        if (::pipe2 (fds, O_CLOEXEC) != 0)
            fds[0] = fds[1] = -1;
    }

    ~WakePipe()
    {
        for (auto fd : fds)
            if (fd >= 0)
                ::close (fd);
    }

    WakePipe (const WakePipe&) = delete;
    WakePipe& operator= (const WakePipe&) = delete;

    void wake()
    {
        if (fds[1] >= 0)
        {
            const char byte = 1;
            [[maybe_unused]] auto written = ::write (fds[1], &byte, 1);
        }
    }

    // Waits until `fd` is readable or hung up, or wake() is called, for at most `timeoutMs` (-1:
    // no limit). On `ready`, `revents` holds the descriptor's events (0 when the time ran out).
    Wait waitForReadable (int fd, short& revents, int timeoutMs = -1) const
    {
        const bool piped = fds[0] >= 0;
        pollfd polled[2] = { { fd, POLLIN, 0 }, { fds[0], POLLIN, 0 } };
        const auto limit = piped ? timeoutMs : (timeoutMs < 0 ? 100 : std::min (timeoutMs, 100));
        if (::poll (polled, piped ? 2 : 1, limit) < 0)
            return errno == EINTR ? Wait::interrupted : Wait::failed;
        if ((polled[1].revents & POLLIN) != 0)
            return Wait::woken;
        revents = polled[0].revents;
        return Wait::ready;
    }

    // Empties the pipe after a wake, for a thread that goes on waiting on it.
    void clearWakes() const
    {
        pollfd polled { fds[0], POLLIN, 0 };
        char buffer[64];
        while (fds[0] >= 0 && ::poll (&polled, 1, 0) > 0 && (polled.revents & POLLIN) != 0 && ::read (fds[0], buffer, sizeof (buffer)) > 0)
        {
        }
    }

private:
    int fds[2] { -1, -1 };
};

// Waits for a thread that was told to exit (and whose waits were ended) within `boundMs`. JUCE
// ends an overrunning thread by force; that must never happen, so it is logged, with `logPrefix`,
// where it would.
inline void awaitThreadEnd (juce::Thread& thread, int boundMs, const juce::String& logPrefix)
{
    if (! thread.waitForThreadToExit (boundMs))
        juce::Logger::writeToLog (logPrefix + " " + thread.getThreadName() + " did not end within " + juce::String (boundMs) + " ms: killing thread by force");
    thread.stopThread (1);
}

// Posts to the message thread a call, with `args`, of the callback that `member` of the shared
// state holds when the call runs. The state is held weakly, so a call still queued when its owner
// has gone does nothing. The callback is copied under the state's `lock` and called outside it.
template <typename Shared, typename Callback, typename... Args>
void postSharedCallback (std::weak_ptr<Shared> state, Callback Shared::*member, Args... args)
{
    juce::MessageManager::callAsync ([weak = std::move (state), member, ... args = std::move (args)]
    {
        if (auto s = weak.lock())
        {
            Callback callback;
            {
                std::scoped_lock sl (s->lock);
                callback = (*s).*member;
            }
            if (callback)
                callback (args...);
        }
    });
}
} // namespace quorvelle::platform
