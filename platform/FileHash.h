#pragma once

#include <juce_core/juce_core.h>
#include <juce_cryptography/juce_cryptography.h>

namespace quorvelle::platform
{
// SHA-256 of what is left of `in`, as 64 lower-case hexadecimal digits. JUCE's hasher asks for
// 64 bytes at a time, so the stream is read through a 64 KiB buffer.
inline juce::String sha256Hex (juce::InputStream& in)
{
    juce::BufferedInputStream buffered (in, 1 << 16);
    return juce::SHA256 (buffered).toHexString();
}
} // namespace quorvelle::platform
