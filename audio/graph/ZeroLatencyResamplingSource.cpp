#include "audio/graph/ZeroLatencyResamplingSource.h"

#include "audio/graph/AudioThreadLog.h"

#include <cmath>

namespace quorvelle
{
ZeroLatencyResamplingSource::ZeroLatencyResamplingSource (juce::PositionableAudioSource* s, double r, int c)
    : source (s), channels (juce::jmax (1, c)), ratio (r)
{
    AudioThreadLog::shared();
}

ZeroLatencyResamplingSource::Stats ZeroLatencyResamplingSource::takeStats() noexcept
{
    Stats stats;
    stats.inputPulled = inputPulled.exchange (0);
    stats.inputConsumed = inputConsumed.exchange (0);
    stats.outputSamples = outputSamples.exchange (0);
    stats.blocks = blocks.exchange (0);
    stats.blocksWithoutCarry = blocksWithoutCarry.exchange (0);
    stats.seeks = seeks.exchange (0);
    return stats;
}

void ZeroLatencyResamplingSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    deviceSampleRate = sampleRate;
    const auto preparedRatio = ratio.load();
    const int block = juce::jmax (1, samplesPerBlockExpected);
    const int size = (int) std::ceil (juce::jmax (2.25, preparedRatio) * block) + 16;
    inputBuffer.setSize (channels, size, false, false, true);
    source->prepareToPlay (size, preparedRatio * sampleRate);
    overrunLogged.store (false);
}

namespace
{
// A ratio not above 0 or within 1e-4 of 1 passes the audio through, one input sample per output.
bool passesThrough (double r) noexcept { return r <= 0.0 || std::abs (r - 1.0) < 1.0e-4; }
} // namespace

void ZeroLatencyResamplingSource::setNextReadPosition (juce::int64 p)
{
    carriedCount = 0;
    seeks.fetch_add (1);
    const auto current = ratio.load();
    if (passesThrough (current))
    {
        phase = 0.0;
        source->setNextReadPosition (p);
        return;
    }
    // The wrapped source moves to the input sample at or before output p; the fraction becomes the
    // phase, so output p reads the input at exactly p x ratio.
    const double input = (double) p * current;
    const auto whole = (juce::int64) std::floor (input);
    phase = input - (double) whole;
    source->setNextReadPosition (whole);
}

juce::int64 ZeroLatencyResamplingSource::getNextReadPosition() const
{
    const auto input = source->getNextReadPosition();
    const auto current = ratio.load();
    if (passesThrough (current))
        return input;
    // The next output reads the input at the wrapped position less the carried samples, plus the phase.
    return (juce::int64) std::llround (((double) (input - carriedCount) + phase) / current);
}

juce::int64 ZeroLatencyResamplingSource::getTotalLength() const
{
    const auto length = source->getTotalLength();
    const auto current = ratio.load();
    return passesThrough (current) ? length : (juce::int64) ((double) length / current);
}

int ZeroLatencyResamplingSource::inputNeeded (int k, double blockRatio) const noexcept
{
    const auto last = (int) std::floor ((k - 1) * blockRatio + phase);
    const auto end = (int) std::floor (k * blockRatio + phase);
    // Above a ratio of 2 a block can pass more input than it interpolates; reading up to its end keeps
    // the next block starting at the right input sample.
    return juce::jmax (last + 2, end);
}

void ZeroLatencyResamplingSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const int n = info.numSamples;
    if (n <= 0)
        return;

    const double blockRatio = ratio.load();

    if (passesThrough (blockRatio))
    {
        source->getNextAudioBlock (info);
        // Nothing is carried, so a later ratio starts interpolating at the source's position.
        carriedCount = 0;
        phase = 0.0;
        inputPulled.fetch_add (n);
        inputConsumed.fetch_add (n);
        outputSamples.fetch_add (n);
        blocks.fetch_add (1);
        return;
    }

    blocks.fetch_add (1);
    if (carriedCount == 0)
        blocksWithoutCarry.fetch_add (1);

    const int capacity = inputBuffer.getNumSamples();
    if (capacity < 4)
    {
        info.clearActiveBufferRegion();
        return;
    }

    if (const int need = inputNeeded (n, blockRatio); need > capacity && ! overrunLogged.exchange (true))
    {
        AudioThreadLog::Record record;
        record.kind = AudioThreadLog::Kind::resamplerOverrun;
        record.ints[0] = capacity;
        record.ints[1] = need;
        AudioThreadLog::shared().push (record);
    }

    // A block that needs more input than the buffer holds is rendered in pieces that fit.
    for (int done = 0; done < n;)
    {
        int k = n - done;
        if (inputNeeded (k, blockRatio) > capacity)
        {
            k = juce::jlimit (1, k, (int) std::floor ((capacity - 2 - phase) / blockRatio));
            while (k > 1 && inputNeeded (k, blockRatio) > capacity)
                --k;
        }
        renderPiece (*info.buffer, info.startSample + done, k, blockRatio);
        done += k;
    }
}

void ZeroLatencyResamplingSource::renderPiece (juce::AudioBuffer<float>& out, int start, int k, double blockRatio)
{
    const int carriedAtEntry = carriedCount;
    const int last = (int) std::floor ((k - 1) * blockRatio + phase);
    const int need = inputNeeded (k, blockRatio);

    for (int c = 0; c < channels; ++c)
        juce::FloatVectorOperations::clear (inputBuffer.getWritePointer (c), need);
    for (int c = 0; c < juce::jmin (2, channels); ++c)
        for (int i = 0; i < carriedCount; ++i)
            inputBuffer.setSample (c, i, carried[c][i]);

    if (need > carriedCount)
    {
        juce::AudioBuffer<float> view (inputBuffer.getArrayOfWritePointers(), channels, carriedCount, need - carriedCount);
        source->getNextAudioBlock (juce::AudioSourceChannelInfo (&view, 0, need - carriedCount));
    }

    const int outChannels = juce::jmin (out.getNumChannels(), channels);
    for (int c = 0; c < outChannels; ++c)
    {
        const auto* in = inputBuffer.getReadPointer (c);
        auto* y = out.getWritePointer (c, start);
        double p = phase;
        for (int j = 0; j < k; ++j)
        {
            const int i = (int) p;
            const auto f = (float) (p - i);
            if (i + 1 < need)
                y[j] = in[i] + (in[i + 1] - in[i]) * f;
            else if (i < need)
                y[j] = in[i];
            else
                y[j] = 0.0f;
            p += blockRatio;
        }
    }

    const double endPosition = k * blockRatio + phase;
    const int o = (int) std::floor (endPosition);
    const int u = juce::jlimit (0, 2, last - o + 2);
    for (int c = 0; c < juce::jmin (2, channels); ++c)
    {
        const auto* in = inputBuffer.getReadPointer (c);
        carried[c][0] = o < need ? in[o] : 0.0f;
        carried[c][1] = o + 1 < need ? in[o + 1] : 0.0f;
    }
    carriedCount = u;
    phase = endPosition - o;

    inputPulled.fetch_add (need - carriedAtEntry);
    inputConsumed.fetch_add (o);
    outputSamples.fetch_add (k);
}
} // namespace quorvelle
