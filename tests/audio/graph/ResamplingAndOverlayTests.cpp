#include "GraphTestSources.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/OverlaySampleSource.h"
#include "audio/graph/ZeroLatencyResamplingSource.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace quorvelle;
using namespace quorvelle::test;

TEST (ZeroLatencyResamplingSource, ReadsTheRightInputSampleAtEveryRatio)
{
    // The ramp's sample at input position p is p + 1, so output j must read 1 + j x ratio exactly
    // (linear interpolation of a line), whatever the block sizes, as long as no input is lost or read
    // twice between blocks.
    const struct { double ratio; std::vector<int> blocks; } cases[] = {
        { 44100.0 / 48000.0, { 512 } }, { 48000.0 / 44100.0, { 256, 100, 37 } }, { 1.0002, { 128 } },
        { 0.5, { 64, 333 } }, { 1.5, { 480 } }, { 96000.0 / 44100.0, { 512, 7, 129 } }, { 2.25, { 256 } },
    };

    for (const auto& c : cases)
    {
        RampSource ramp;
        ZeroLatencyResamplingSource resampler (&ramp, c.ratio);
        resampler.prepareToPlay (512, 48000.0);
        EXPECT_DOUBLE_EQ (ramp.preparedRate, c.ratio * 48000.0);

        int64_t written = 0;
        size_t which = 0;
        double worst = 0.0;
        while (written < 8000)
        {
            const int n = c.blocks[which++ % c.blocks.size()];
            juce::AudioBuffer<float> block (2, n + 5);
            resampler.getNextAudioBlock (juce::AudioSourceChannelInfo (&block, 5, n));
            for (int j = 0; j < n; ++j)
            {
                const double expected = 1.0 + (double) (written + j) * c.ratio;
                worst = std::max (worst, std::abs (block.getSample (0, 5 + j) - expected));
                worst = std::max (worst, std::abs (block.getSample (1, 5 + j) + expected));
            }
            written += n;
        }
        EXPECT_LT (worst, 2.0e-3) << "ratio " << c.ratio;

        const auto stats = resampler.takeStats();
        EXPECT_EQ (stats.outputSamples, written);
        EXPECT_NEAR ((double) stats.inputConsumed, std::floor ((double) written * c.ratio), 1.0) << c.ratio;
        // Everything pulled was consumed, except the (at most two) samples carried forward.
        EXPECT_GE (stats.inputPulled, stats.inputConsumed);
        EXPECT_LE (stats.inputPulled - stats.inputConsumed, 2) << c.ratio;
        EXPECT_EQ (ramp.position, stats.inputPulled);
    }
}

TEST (ZeroLatencyResamplingSource, SessionAt44100OnADeviceAt48000)
{
    RampSource ramp (44100);
    ramp.recordPulls = true;
    ZeroLatencyResamplingSource resampler (&ramp, 44100.0 / 48000.0);
    EXPECT_EQ (resampler.getTotalLength(), 48000);
    resampler.prepareToPlay (512, 48000.0);
    ramp.length = 1 << 23;

    renderBlocks (resampler, 2, 512, 1000);
    for (size_t b = 1; b < ramp.pulls.size(); ++b)
        ASSERT_NEAR (ramp.pulls[b], 470, 1) << b;

    const auto stats = resampler.takeStats();
    EXPECT_NEAR ((double) stats.inputConsumed, std::floor (1000 * 512 * 0.91875), 1.0);
    EXPECT_EQ (stats.blocks, 1000);
    EXPECT_EQ (stats.blocksWithoutCarry, 1); // only the first
    EXPECT_EQ (resampler.takeStats().blocks, 0);

    // A seek restarts clean at the converted position; positions count device samples.
    resampler.setNextReadPosition (48000);
    EXPECT_EQ (ramp.position, 44100);
    EXPECT_EQ (resampler.getNextReadPosition(), 48000);
    auto out = renderBlocks (resampler, 2, 64, 1);
    EXPECT_FLOAT_EQ (out.getSample (0, 0), RampSource::valueAt (44100));
    const auto afterSeek = resampler.takeStats();
    EXPECT_EQ (afterSeek.seeks, 1);
    EXPECT_EQ (afterSeek.blocksWithoutCarry, 1);
}

// The transport above converts positions and the length with the device rate: all three count
// output samples. A seek to output p reads the input at p x ratio (between input samples too), and
// the position read back is p plus the outputs rendered since, whatever the blocks.
TEST (ZeroLatencyResamplingSource, PositionsCountOutputSamplesAndASeekLandsBetweenInputSamples)
{
    const struct { double ratio; int64_t seek; std::vector<int> blocks; } cases[] = {
        { 44100.0 / 48000.0, 48000, { 512 } },    // whole input sample
        { 44100.0 / 48000.0, 1001, { 441, 7 } },  // 919.66875: between two
        { 48000.0 / 44100.0, 44100, { 256, 100 } },
        { 48000.0 / 44100.0, 12345, { 512 } },
        { 0.5, 333, { 64 } },
        { 96000.0 / 44100.0, 777, { 129, 512 } }, // above 2: blocks that carry nothing
        { 1.00005, 96000, { 256 } },              // pass-through: one input per output
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (testing::Message() << "ratio " << c.ratio << " seek " << c.seek);
        const bool passes = c.ratio == 1.00005;
        RampSource ramp (1 << 22);
        ZeroLatencyResamplingSource resampler (&ramp, c.ratio);
        resampler.prepareToPlay (512, 48000.0);
        EXPECT_EQ (resampler.getTotalLength(), passes ? 1 << 22 : (int64_t) ((1 << 22) / c.ratio));

        resampler.setNextReadPosition (c.seek);
        EXPECT_EQ (resampler.getNextReadPosition(), c.seek);
        const double inputAtSeek = passes ? (double) c.seek : (double) c.seek * c.ratio;

        int64_t written = 0;
        size_t which = 0;
        while (written < 6000)
        {
            const int n = c.blocks[which++ % c.blocks.size()];
            juce::AudioBuffer<float> block (2, n);
            resampler.getNextAudioBlock (juce::AudioSourceChannelInfo (&block, 0, n));
            for (int j = 0; j < n; ++j)
            {
                const double input = inputAtSeek + (double) (written + j) * (passes ? 1.0 : c.ratio);
                ASSERT_NEAR (block.getSample (0, j), 1.0 + input, 4.0e-3) << "output " << written + j;
            }
            written += n;
            ASSERT_EQ (resampler.getNextReadPosition(), c.seek + written);
        }
    }
}

TEST (ZeroLatencyResamplingSource, RatioWithinOneTenThousandthIsABypass)
{
    RampSource ramp;
    ramp.recordPulls = true;
    ZeroLatencyResamplingSource resampler (&ramp, 1.00005);
    resampler.prepareToPlay (256, 48000.0);
    auto out = renderBlocks (resampler, 2, 256, 4);
    EXPECT_EQ (ramp.pulls, (std::vector<int> { 256, 256, 256, 256 }));
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ (out.getSample (0, i), RampSource::valueAt (i));
    const auto stats = resampler.takeStats();
    EXPECT_EQ (stats.inputPulled, 1024);
    EXPECT_EQ (stats.inputConsumed, 1024);
}

// The device rate can change under a playing song: the new ratio applies from the next block on,
// continuing from the input the previous block stopped at (no sample lost or read twice), also
// out of the pass-through of ratio 1.
TEST (ZeroLatencyResamplingSource, ARatioSetBetweenBlocksAppliesFromTheNextBlock)
{
    const std::vector<double> ratios { 1.0, 44100.0 / 48000.0, 48000.0 / 44100.0, 0.5, 2.0, 1.5 };
    RampSource ramp;
    ZeroLatencyResamplingSource resampler (&ramp, ratios.front());
    resampler.prepareToPlay (256, 48000.0);

    double expected = 1.0; // the ramp's value at the input position of the next output sample
    for (size_t i = 0; i < ratios.size(); ++i)
    {
        SCOPED_TRACE (testing::Message() << "ratio " << ratios[i]);
        resampler.setRatio (ratios[i]);
        EXPECT_DOUBLE_EQ (resampler.getRatio(), ratios[i]);
        for (int b = 0; b < 3; ++b)
        {
            juce::AudioBuffer<float> block (2, 200);
            resampler.getNextAudioBlock (juce::AudioSourceChannelInfo (&block, 0, 200));
            for (int j = 0; j < 200; ++j)
                ASSERT_NEAR (block.getSample (0, j), expected + j * ratios[i], 2.0e-3) << "block " << b << " sample " << j;
            expected += 200 * ratios[i];
        }
    }
}

TEST (ZeroLatencyResamplingSource, ABlockLargerThanPreparedRendersInPiecesWithoutGrowing)
{
    AudioCapturingLogger log;
    RampSource ramp;
    ZeroLatencyResamplingSource resampler (&ramp, 1.5);
    resampler.prepareToPlay (64, 48000.0); // room for ceil(2.25 x 64) + 16 = 160 input samples
    const int capacity = resampler.inputCapacity();
    EXPECT_EQ (capacity, 160);

    juce::AudioBuffer<float> block (2, 2048);
    for (int round = 0; round < 2; ++round)
    {
        resampler.getNextAudioBlock (juce::AudioSourceChannelInfo (&block, 0, 2048));
        for (int j = 0; j < 2048; ++j)
            ASSERT_NEAR (block.getSample (0, j), 1.0 + (round * 2048 + j) * 1.5, 1.0e-2) << j;
    }
    EXPECT_EQ (resampler.inputCapacity(), capacity);

    AudioThreadLog::shared().drain();
    ASSERT_EQ (log.lines().size(), 1u);
    EXPECT_EQ (log.lines()[0], "[F6-OVERRUN] ZeroLatencyResampler.inputBuffer < need (160 < 3072)");

    // A new prepare re-arms the line.
    resampler.prepareToPlay (64, 48000.0);
    resampler.getNextAudioBlock (juce::AudioSourceChannelInfo (&block, 0, 2048));
    AudioThreadLog::shared().drain();
    EXPECT_EQ (log.lines().size(), 2u);
}

TEST (OverlaySampleSource, ConvertsToTheDeviceRateAndFadesItsEdges)
{
    const struct { int length; double sourceRate, deviceRate; int expectedLength, expectedFade; } cases[] = {
        { 48000, 48000.0, 44100.0, 44100, 221 },  // 220.5 rounds away from zero
        { 300, 48000.0, 48000.0, 300, 150 },      // at most half the sample
        { 1000, 44100.0, 44100.5, 1000, 221 },    // within 1 Hz: copied as is
        { 10, 0.0, 48000.0, 10, 5 },
    };

    for (const auto& c : cases)
    {
        juce::AudioBuffer<float> ones (2, c.length);
        juce::FloatVectorOperations::fill (ones.getWritePointer (0), 1.0f, c.length);
        juce::FloatVectorOperations::fill (ones.getWritePointer (1), 0.5f, c.length);
        OverlaySampleSource overlay;
        overlay.loadSample (ones, c.sourceRate, c.deviceRate);
        EXPECT_EQ (overlay.getLength(), c.expectedLength);
        EXPECT_EQ (overlay.getFadeLength(), c.expectedFade);
        EXPECT_TRUE (overlay.isPlaying());
        EXPECT_EQ (overlay.samplesLeft(), c.expectedLength);

        const int n = c.expectedLength, fade = c.expectedFade;
        const auto out = renderBlocks (overlay, 2, 256, n / 256 + 2);
        for (int s = 0; s < n; ++s)
        {
            float expected = 1.0f;
            if (s < fade)
                expected *= (float) s / (float) fade;
            if (s >= n - fade)
                expected *= (float) (n - s) / (float) fade;
            ASSERT_NEAR (out.getSample (0, s), expected, 1.0e-5f) << s << " of " << n;
            ASSERT_NEAR (out.getSample (1, s), expected * 0.5f, 1.0e-5f) << s;
        }
        EXPECT_EQ (out.getMagnitude (0, n, out.getNumSamples() - n), 0.0f);
        EXPECT_FALSE (overlay.isPlaying());
        EXPECT_EQ (overlay.samplesLeft(), 0);
        EXPECT_NEAR (overlay.peak.exchange (0.0f), 1.0f, 1.0e-5f);
    }
}

TEST (OverlaySampleSource, InterpolatesLinearlyAndRestartsOnANewLoad)
{
    juce::AudioBuffer<float> line (1, 4800);
    for (int i = 0; i < 4800; ++i)
        line.setSample (0, i, (float) i / 4800.0f);

    OverlaySampleSource overlay;
    overlay.loadSample (line, 48000.0, 32000.0); // step 1.5
    EXPECT_EQ (overlay.getLength(), 3200);
    auto out = renderBlocks (overlay, 2, 1000, 2);
    for (int j = 200; j < 1800; ++j) // inside the fades: plain interpolation
    {
        ASSERT_NEAR (out.getSample (0, j), (float) (j * 1.5) / 4800.0f, 1.0e-5f) << j;
        ASSERT_EQ (out.getSample (1, j), out.getSample (0, j)); // one channel feeds every output
    }
    EXPECT_EQ (overlay.samplesLeft(), 1200);

    // A load while it plays starts the new sample from its beginning at the next block.
    overlay.loadSample (line, 48000.0, 48000.0);
    EXPECT_EQ (overlay.samplesLeft(), 4800);
    out = renderBlocks (overlay, 1, 1000, 1);
    EXPECT_EQ (out.getSample (0, 0), 0.0f);
    EXPECT_NEAR (out.getSample (0, 500), 500.0f / 4800.0f, 1.0e-6f);

    // An empty buffer stops it.
    overlay.loadSample (juce::AudioBuffer<float>(), 48000.0, 48000.0);
    EXPECT_FALSE (overlay.isPlaying());
    out = renderBlocks (overlay, 2, 256, 1);
    EXPECT_EQ (out.getMagnitude (0, 256), 0.0f);
}
