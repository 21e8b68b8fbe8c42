#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <optional>
#include <string>

namespace quorvelle::platform
{
// Reading files whose path comes from outside (a request, a file in the user's folders). Opening a
// FIFO blocks until some writer appears and a device never ends, so only regular files are read.
// Any thread.

// True when the path (links followed) names a regular file.
bool isRegularFile (const juce::File& file);

// The whole content of a regular file of at most `maxBytes` bytes; nothing for a missing file, a
// file of another kind, a larger file or a failed read. The open never blocks (a FIFO put in place
// after a check is refused too).
std::optional<std::string> readSmallRegularFile (const juce::File& file, std::size_t maxBytes);
} // namespace quorvelle::platform
