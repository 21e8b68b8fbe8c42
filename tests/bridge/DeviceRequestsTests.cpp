// The numbers SET_SAMPLE_RATE and SET_BUFFER_SIZE accept before anything reaches the device.
#include "bridge/DeviceRequests.h"

#include <gtest/gtest.h>

#include <limits>

using namespace quorvelle;

TEST (DeviceRequests, SampleRateMustBeANumberInRange)
{
    const auto nan = std::numeric_limits<double>::quiet_NaN();
    const auto inf = std::numeric_limits<double>::infinity();
    const struct { juce::var value; std::optional<double> expected; } cases[] = {
        { 48000, 48000.0 }, { 44100.5, 44100.5 }, { 768000, 768000.0 }, { (juce::int64) 96000, 96000.0 }, { 1.0e-3, 1.0e-3 },
        { 0, {} }, { 0.0, {} }, { -1, {} }, { 768000.001, {} }, { 768001, {} }, { nan, {} }, { inf, {} }, { -inf, {} },
        { "48000", {} }, { "abc", {} }, { true, {} }, { juce::var(), {} }, { juce::var (juce::Array<juce::var> { 48000 }), {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.value.toString().toStdString());
        EXPECT_EQ (readRequestedSampleRate (c.value), c.expected);
    }
}

TEST (DeviceRequests, BufferSizeMustBeANumberInRange)
{
    const struct { juce::var value; std::optional<int> expected; } cases[] = {
        { 1, 1 }, { 512, 512 }, { 65536, 65536 }, { 512.9, 512 }, { 65536.5, 65536 },
        { 0, {} }, { 0.5, {} }, { -1, {} }, { 65537, {} }, { (juce::int64) 1 << 40, {} }, { 1.0e300, {} },
        { std::numeric_limits<double>::infinity(), {} }, { std::numeric_limits<double>::quiet_NaN(), {} },
        { "512", {} }, { false, {} }, { juce::var(), {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.value.toString().toStdString());
        EXPECT_EQ (readRequestedBufferSize (c.value), c.expected);
    }
}
