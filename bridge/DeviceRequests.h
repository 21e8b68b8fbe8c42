#pragma once

#include <juce_core/juce_core.h>

#include <optional>

namespace quorvelle
{
// The device parameters the front end sends with SET_SAMPLE_RATE and SET_BUFFER_SIZE. Only numbers
// count: text, booleans, objects, NaN and infinities are refused (no value) like a number out of
// range, so nothing but a real request reaches the device.

// "sampleRate": 0 < rate <= 768000 Hz.
std::optional<double> readRequestedSampleRate (const juce::var& value);
// "bufferSize", read as an integer (a fraction is cut off): 1 <= size <= 65536 samples.
std::optional<int> readRequestedBufferSize (const juce::var& value);
} // namespace quorvelle
