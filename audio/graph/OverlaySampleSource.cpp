#include "audio/graph/OverlaySampleSource.h"

#include <cmath>

namespace quorvelle
{
void OverlaySampleSource::loadSample (const juce::AudioBuffer<float>& buffer, double a, double b)
{
    takes.published().playing.store (false);

    if (buffer.getNumChannels() == 0 || buffer.getNumSamples() == 0)
        return;

    auto& take = takes.beginWrite();
    take.playing.store (false);

    const int length = buffer.getNumSamples();
    int n = length;

    if (a <= 0.0 || b <= 0.0 || std::abs (a - b) < 1.0)
    {
        take.sample.makeCopyOf (buffer);
    }
    else
    {
        const double step = a / b;
        n = (int) std::ceil (length / step);
        take.sample.setSize (buffer.getNumChannels(), n);
        for (int c = 0; c < buffer.getNumChannels(); ++c)
        {
            const auto* x = buffer.getReadPointer (c);
            auto* y = take.sample.getWritePointer (c);
            double p = 0.0;
            for (int j = 0; j < n; ++j)
            {
                const int i = juce::jmin ((int) p, length - 1);
                const int next = juce::jmin (i + 1, length - 1);
                y[j] = x[i] + (x[next] - x[i]) * (float) (p - i);
                p += step;
            }
        }
    }

    take.fadeLength = juce::jmax (0, juce::jmin ((int) std::lround (juce::jmax (b, 1.0) * 0.005), n / 2));
    take.position.store (0);
    takes.publish (take);
    take.playing.store (true);
}

bool OverlaySampleSource::isPlaying() noexcept
{
    const PublishedState<Take>::ReadScope take (takes);
    return take->playing.load();
}

int OverlaySampleSource::samplesLeft() noexcept
{
    const PublishedState<Take>::ReadScope take (takes);
    if (! take->playing.load())
        return 0;
    return juce::jmax (0, take->sample.getNumSamples() - take->position.load());
}

int OverlaySampleSource::getLength() noexcept
{
    const PublishedState<Take>::ReadScope take (takes);
    return take->sample.getNumSamples();
}

int64_t OverlaySampleSource::getSampleBytes() noexcept
{
    const PublishedState<Take>::ReadScope take (takes);
    return (int64_t) take->sample.getNumChannels() * take->sample.getNumSamples() * (int64_t) sizeof (float);
}

int OverlaySampleSource::getFadeLength() noexcept
{
    const PublishedState<Take>::ReadScope take (takes);
    return take->fadeLength;
}

void OverlaySampleSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    info.clearActiveBufferRegion();

    const PublishedState<Take>::ReadScope take (takes);
    if (! take->playing.load())
        return;

    const auto& sample = take->sample;
    const int length = sample.getNumSamples();
    const int position = take->position.load();
    const int k = juce::jmax (0, juce::jmin (length - position, info.numSamples));

    if (k > 0 && sample.getNumChannels() > 0 && ! sample.hasBeenCleared())
    {
        const int fade = take->fadeLength;
        float largest = 0.0f;

        for (int c = 0; c < info.buffer->getNumChannels(); ++c)
        {
            const auto* in = sample.getReadPointer (juce::jmin (c, sample.getNumChannels() - 1), position);
            auto* out = info.buffer->getWritePointer (c, info.startSample);
            juce::FloatVectorOperations::copy (out, in, k);

            if (fade > 0)
            {
                for (int s = position; s < juce::jmin (position + k, fade); ++s)
                    out[s - position] *= (float) s / (float) fade;
                for (int s = juce::jmax (position, length - fade); s < position + k; ++s)
                    out[s - position] *= (float) (length - s) / (float) fade;
            }

            const auto range = juce::FloatVectorOperations::findMinAndMax (out, k);
            largest = juce::jmax (largest, std::abs (range.getStart()), std::abs (range.getEnd()));
        }
        raisePeak (peak, largest);
    }

    take->position.store (position + k);
    if (position + k >= length)
        take->playing.store (false);
}
} // namespace quorvelle
