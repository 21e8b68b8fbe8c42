#include "platform/wire/SocketIo.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>

namespace quorvelle::platform::wire
{
namespace
{
constexpr int waitSliceMs = 50;

bool stopRequested (const ShouldStop& shouldStop)
{
    return shouldStop != nullptr && shouldStop();
}

void makeNonBlocking (juce::StreamingSocket& socket)
{
    const auto handle = socket.getRawSocketHandle();
    const auto flags = fcntl (handle, F_GETFL, 0);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0)
        fcntl (handle, F_SETFL, flags | O_NONBLOCK);
}
} // namespace

bool writeAll (juce::StreamingSocket& socket, const void* data, size_t size, const ShouldStop& shouldStop, int stallTimeoutMs)
{
    const auto* bytes = static_cast<const char*> (data);
    size_t sent = 0;
    auto lastProgressMs = juce::Time::getMillisecondCounterHiRes();
    if (socket.isConnected())
        makeNonBlocking (socket);

    while (sent < size)
    {
        if (stopRequested (shouldStop) || ! socket.isConnected())
            return false;

        const auto piece = (int) std::min<size_t> (size - sent, (size_t) INT_MAX);
        errno = 0;
        const auto written = socket.write (bytes + sent, piece);
        if (written > 0)
        {
            sent += (size_t) written;
            lastProgressMs = juce::Time::getMillisecondCounterHiRes();
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;

        const auto waitedMs = juce::Time::getMillisecondCounterHiRes() - lastProgressMs;
        if (waitedMs >= stallTimeoutMs)
            return false;
        if (socket.waitUntilReady (false, std::min (waitSliceMs, (int) (stallTimeoutMs - waitedMs) + 1)) < 0)
            return false;
    }
    return true;
}

bool writeAll (juce::StreamingSocket& socket, const std::string& bytes, const ShouldStop& shouldStop, int stallTimeoutMs)
{
    return writeAll (socket, bytes.data(), bytes.size(), shouldStop, stallTimeoutMs);
}

ReadResult readExactly (juce::StreamingSocket& socket, void* destination, size_t size, const ShouldStop& shouldStop, int timeoutMs)
{
    auto* bytes = static_cast<char*> (destination);
    const auto deadlineMs = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
    size_t received = 0;

    while (received < size)
    {
        if (stopRequested (shouldStop))
            return ReadResult::stopped;
        const auto leftMs = deadlineMs - juce::Time::getMillisecondCounterHiRes();
        if (leftMs <= 0)
            return ReadResult::timedOut;

        const auto ready = socket.waitUntilReady (true, std::min (waitSliceMs, (int) leftMs + 1));
        if (ready < 0)
            return ReadResult::closed;
        if (ready == 0)
            continue;

        const auto piece = (int) std::min<size_t> (size - received, (size_t) INT_MAX);
        const auto got = socket.read (bytes + received, piece, false);
        if (got <= 0) // readable, yet nothing: the peer has closed
            return ReadResult::closed;
        received += (size_t) got;
    }
    return ReadResult::complete;
}

void finishAfterClosing (juce::StreamingSocket& socket, int boundMs, const ShouldStop& shouldStop)
{
    if (! socket.isConnected())
        return;
    ::shutdown (socket.getRawSocketHandle(), SHUT_WR);
    const auto deadlineMs = juce::Time::getMillisecondCounterHiRes() + boundMs;
    char buffer[16384];
    while (! stopRequested (shouldStop))
    {
        const auto leftMs = deadlineMs - juce::Time::getMillisecondCounterHiRes();
        if (leftMs <= 0)
            return;
        const auto ready = socket.waitUntilReady (true, std::min (waitSliceMs, (int) leftMs + 1));
        if (ready < 0)
            return;
        if (ready > 0 && socket.read (buffer, (int) sizeof (buffer), false) <= 0)
            return;
    }
}

bool fillSecureRandom (void* destination, size_t size)
{
    auto* bytes = static_cast<char*> (destination);
    size_t filled = 0;
    while (filled < size)
    {
        const auto got = getrandom (bytes + filled, size - filled, 0);
        if (got < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        filled += (size_t) got;
    }
    return true;
}
} // namespace quorvelle::platform::wire
