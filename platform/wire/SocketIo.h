#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <functional>

namespace quorvelle::platform::wire
{
// Checked between waits; true ends the operation at once (a thread's exit signal, a closing flag).
using ShouldStop = std::function<bool()>;

// Sends every byte of a block. JUCE's own write may send part of a buffer (a socket read without
// blocking leaves it non-blocking), so this puts the socket in non-blocking mode and counts partial
// writes as progress. False when `shouldStop` says so, the socket is no longer connected, a write
// fails, or no byte could be sent for `stallTimeoutMs`. Call it on the thread that owns the
// socket's I/O; other threads may only close the socket, which ends the wait.
bool writeAll (juce::StreamingSocket& socket, const void* data, size_t size, const ShouldStop& shouldStop, int stallTimeoutMs = 4000);
bool writeAll (juce::StreamingSocket& socket, const std::string& bytes, const ShouldStop& shouldStop, int stallTimeoutMs = 4000);

enum class ReadResult
{
    complete,
    closed,   // the peer closed, or the read failed
    timedOut, // the bytes did not all arrive within the time limit
    stopped   // `shouldStop` said so
};

// Reads exactly `size` bytes, waiting in slices of at most 50 ms, all of them within `timeoutMs`.
ReadResult readExactly (juce::StreamingSocket& socket, void* destination, size_t size, const ShouldStop& shouldStop, int timeoutMs);

// After a final message: ends the sending side and reads and drops what the peer still sends,
// until it closes or `boundMs` pass. Closing a socket with unread input resets the connection,
// which can destroy the final message before the peer has read it.
void finishAfterClosing (juce::StreamingSocket& socket, int boundMs, const ShouldStop& shouldStop);

// Bytes from the kernel's random source (getrandom). False when it could not deliver them all.
bool fillSecureRandom (void* destination, size_t size);
} // namespace quorvelle::platform::wire
