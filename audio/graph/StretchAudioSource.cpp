#include "audio/graph/StretchAudioSource.h"

#include <cmath>

namespace quorvelle
{
StretchAudioSource::StretchAudioSource (juce::PositionableAudioSource* s) : source (s)
{
    stretcher.configure (2, 5292, 1323, 44100.0);
}

void StretchAudioSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    source->prepareToPlay (samplesPerBlockExpected, sampleRate);

    if (sampleRate != configuredRate)
    {
        const double r = (double) (float) sampleRate;
        stretcher.configure (2, (int) (0.12 * r), (int) (0.03 * r), r);
        configuredRate = sampleRate;
        // A new processor starts untransposed and at the full range's latency: keep the
        // transposition and the latency already applied.
        stretcher.setTransposeSemitones (appliedSemitones, 0.0f);
        appliedLatency = -1;
    }
    applyLatency (requestedLatency.load());
    stretcher.reset();

    const int block = juce::jmax (1, samplesPerBlockExpected);
    inputBuffer.setSize (2, 8 * block + 8192, false, false, true);
    inputBuffer.clear();
    // The position stays: a device change re-prepares the chain under a song that keeps its place,
    // and the wrapped source keeps its own.
}

void StretchAudioSource::setNextReadPosition (juce::int64 p)
{
    outputPosition.store (p);
    if (bypass.load())
    {
        source->setNextReadPosition (p);
        return;
    }

    source->setNextReadPosition ((juce::int64) ((double) p * (double) rate.load()));
    if (! keepStateOnSeek.exchange (false))
    {
        stretcher.reset();
        inputCarry = 0.0;
    }
}

int StretchAudioSource::latencySamples() const noexcept
{
    const int requested = requestedLatency.load();
    const int full = stretcher.fullRangeLatency();
    return requested < 0 ? full : juce::jlimit (stretcher.inputLatency(), full, requested);
}

void StretchAudioSource::applyLatency (int samples)
{
    if (samples == appliedLatency)
        return;
    stretcher.setLatency (samples < 0 ? stretcher.fullRangeLatency() : samples);
    appliedLatency = samples;
}

juce::int64 StretchAudioSource::getTotalLength() const
{
    const auto length = source->getTotalLength();
    if (bypass.load())
        return length;
    const auto r = rate.load();
    return r == 0.0f ? 0 : (juce::int64) ((double) length / (double) r);
}

void StretchAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const int n = info.numSamples;
    if (n < 1)
        return;

    if (bypass.load())
    {
        source->getNextAudioBlock (info);
        outputPosition.fetch_add (n);
        return;
    }

    // A new latency takes effect from a fresh start of the stretcher (set only while paused).
    if (const auto latency = requestedLatency.load(); latency != appliedLatency)
    {
        applyLatency (latency);
        stretcher.reset();
        inputCarry = 0.0;
    }

    if (const auto wanted = semitones.load(); std::abs (wanted - appliedSemitones) > 0.001f)
    {
        stretcher.setTransposeSemitones (wanted, 0.0f);
        appliedSemitones = wanted;
    }

    const float product = (float) n * rate.load();
    const double x = (double) product + inputCarry;
    int m = x > 0.0 ? (int) x : 0;
    inputCarry = x > 0.0 ? x - m : 0.0;
    // The pull never exceeds the input buffer sized at prepare (8 x block + 8192 samples).
    m = juce::jmin (m, inputBuffer.getNumSamples());

    if (m > 0)
    {
        juce::AudioBuffer<float> input (inputBuffer.getArrayOfWritePointers(), 2, m);
        input.clear();
        source->getNextAudioBlock (juce::AudioSourceChannelInfo (&input, 0, m));
    }

    const float* inputs[2] = { inputBuffer.getReadPointer (0), inputBuffer.getReadPointer (1) };
    // The group chain renders in stereo; a one-channel block receives the stretcher's second channel.
    const int last = info.buffer->getNumChannels() - 1;
    float* outputs[2] = { info.buffer->getWritePointer (0, info.startSample),
                          info.buffer->getWritePointer (juce::jmin (1, last), info.startSample) };
    stretcher.process (inputs, m, outputs, n);

    outputPosition.fetch_add (n);
}
} // namespace quorvelle
