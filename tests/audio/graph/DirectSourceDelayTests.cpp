#include "audio/graph/DirectSourceDelay.h"
#include "audio/graph/MultiBusRouter.h"

#include <gtest/gtest.h>

using namespace quorvelle;

namespace
{
// One impulse at `at` in a stream rendered in blocks of `block` through one lane.
std::vector<float> renderImpulse (DirectSourceDelay& delay, int lane, int at, int total, int block)
{
    std::vector<float> out;
    juce::AudioBuffer<float> buffer (2, block);
    for (int start = 0; start < total; start += block)
    {
        const int n = std::min (block, total - start);
        buffer.clear();
        if (at >= start && at < start + n)
            for (int c = 0; c < 2; ++c)
                buffer.setSample (c, at - start, 1.0f);
        delay.beginBlock();
        delay.process (lane, buffer, n);
        for (int i = 0; i < n; ++i)
            out.push_back (buffer.getSample (1, i));
    }
    return out;
}

int peakAt (const std::vector<float>& samples)
{
    return (int) (std::max_element (samples.begin(), samples.end()) - samples.begin());
}
} // namespace

TEST (DirectSourceDelay, ImpulseComesOutExactlyTheDelayLaterAcrossBlocks)
{
    const struct { int delay, block, at; } cases[] = {
        { 0, 256, 100 }, { 1, 256, 100 }, { 7405, 256, 300 }, { 255, 256, 255 }, { 8060, 64, 1 }, { 1000, 441, 440 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "delay " << c.delay << " block " << c.block);
        DirectSourceDelay delay;
        delay.prepare (24000, c.block);
        delay.setDelay (c.delay);
        const auto out = renderImpulse (delay, 2, c.at, c.at + c.delay + 3 * c.block, c.block);
        EXPECT_EQ (peakAt (out), c.at + c.delay);
        EXPECT_FLOAT_EQ (out[(size_t) (c.at + c.delay)], 1.0f);
    }
}

TEST (DirectSourceDelay, LanesAreTheSongLockedSourcesAndADelayBeyondCapacityIsClamped)
{
    for (const auto* name : { "metronomeTap", "cueTap", "countIn", "countOverlay", "countOverlayClick", "countOverlayGuide" })
        EXPECT_GE (DirectSourceDelay::laneFor (name), 0) << name;
    EXPECT_EQ (DirectSourceDelay::laneFor ("pads"), -1);

    DirectSourceDelay delay;
    delay.prepare (500, 128);
    delay.setDelay (100000);
    delay.beginBlock();
    EXPECT_EQ (delay.getAppliedDelay(), 500);
    const auto out = renderImpulse (delay, 0, 10, 1000, 128);
    EXPECT_EQ (peakAt (out), 510);

    // A new length starts clean at a block boundary: an impulse still inside the ring is dropped.
    DirectSourceDelay fresh;
    fresh.prepare (500, 128);
    fresh.setDelay (400);
    const auto before = renderImpulse (fresh, 0, 10, 256, 128); // due at 410, not out yet
    EXPECT_EQ (std::count_if (before.begin(), before.end(), [] (float v) { return v != 0.0f; }), 0);
    fresh.setDelay (50);
    const auto after = renderImpulse (fresh, 0, -1, 1024, 128);
    EXPECT_EQ (std::count_if (after.begin(), after.end(), [] (float v) { return v != 0.0f; }), 0);
}

TEST (DirectSourceDelay, RouterDelaysTheClickButNotThePads)
{
    struct Impulse : juce::AudioSource
    {
        int64_t position = 0;
        int64_t at = 0;
        void prepareToPlay (int, double) override {}
        void releaseResources() override {}
        void getNextAudioBlock (const juce::AudioSourceChannelInfo& info) override
        {
            info.clearActiveBufferRegion();
            if (at >= position && at < position + info.numSamples)
                for (int c = 0; c < info.buffer->getNumChannels(); ++c)
                    info.buffer->setSample (c, info.startSample + (int) (at - position), 1.0f);
            position += info.numSamples;
        }
    } click, pad;
    click.at = 40;
    pad.at = 40;

    MultiBusRouter router;
    router.addDirectSource ("metronomeTap", &click);
    router.addDirectSource ("pads", &pad);
    router.setRouting ("pads", 2, true);
    router.setDeviceOutputChannels (4);
    router.prepareToPlay (128, 48000.0);
    router.setSongLockedDelay (300);

    std::vector<float> clickOut, padOut;
    juce::AudioBuffer<float> buffer (4, 128);
    for (int block = 0; block < 5; ++block)
    {
        router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, 128));
        for (int i = 0; i < 128; ++i)
        {
            clickOut.push_back (buffer.getSample (0, i));
            padOut.push_back (buffer.getSample (2, i));
        }
    }
    router.releaseResources();
    EXPECT_EQ (peakAt (clickOut), 340);
    EXPECT_EQ (peakAt (padOut), 40);
}
