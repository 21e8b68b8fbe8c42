#include "audio/graph/GainStages.h"

#include <cmath>
#include <cstring>

namespace quorvelle
{
namespace
{
uint64_t pack (float target, float seconds) noexcept
{
    uint32_t a, b;
    std::memcpy (&a, &target, sizeof a);
    std::memcpy (&b, &seconds, sizeof b);
    return ((uint64_t) a << 32) | b;
}

void unpack (uint64_t packed, float& target, float& seconds) noexcept
{
    const auto a = (uint32_t) (packed >> 32), b = (uint32_t) packed;
    std::memcpy (&target, &a, sizeof a);
    std::memcpy (&seconds, &b, sizeof b);
}

bool isUnity (float gain) noexcept { return std::abs (gain - 1.0f) <= 1.0e-4f; }

// Steps of a ramp of `seconds` at `rate`, the product taken in single precision like the seconds
// themselves: 0.02 s at 48 kHz is 960 steps (in double, 0.02f x 48000 is 959.99998).
int rampSteps (float seconds, double rate) noexcept { return (int) std::floor (seconds * (float) rate); }
} // namespace

//==============================================================================
void PendingGain::post (float target, float seconds) noexcept
{
    if (std::isnan (target) || std::isnan (seconds))
        return; // the empty slot is a NaN pattern; a NaN request is not a gain
    slot.store (pack (target, seconds));
}

bool PendingGain::take (float& target, float& seconds) noexcept
{
    const auto packed = slot.exchange (empty);
    if (packed == empty)
        return false;
    unpack (packed, target, seconds);
    return true;
}

//==============================================================================
LinearGainRamp::LinearGainRamp()
{
    smoother.setCurrentAndTargetValue (1.0f);
}

void LinearGainRamp::setGain (float target, float seconds) noexcept
{
    if (sampleRate.load() <= 0.0)
    {
        smoother.setCurrentAndTargetValue (target);
        return;
    }
    pending.post (target, seconds);
}

void LinearGainRamp::requestRamp (float target, float seconds) noexcept
{
    if (sampleRate.load() <= 0.0)
    {
        smoother.setCurrentAndTargetValue (target);
        return;
    }
    audioPending.post (target, seconds);
}

void LinearGainRamp::apply (float target, float seconds) noexcept
{
    if (std::abs (target - smoother.getTargetValue()) < 1.0e-4f && std::abs (seconds - rampSeconds) < 0.001f)
        return;

    rampSeconds = seconds;
    if (seconds > 0.0f)
    {
        const auto present = smoother.getCurrentValue();
        smoother.reset (rampSteps (seconds, sampleRate.load()));
        smoother.setCurrentAndTargetValue (present);
        smoother.setTargetValue (target);
    }
    else
    {
        smoother.setCurrentAndTargetValue (target);
    }
}

void LinearGainRamp::prepare (double rate) noexcept
{
    const auto present = smoother.getCurrentValue();
    sampleRate.store (rate);
    smoother.reset ((int) std::floor (0.05 * rate));
    smoother.setCurrentAndTargetValue (present);
    rampSeconds = -1.0f;
}

void LinearGainRamp::process (const juce::AudioSourceChannelInfo& info, const std::atomic<bool>* muteFlag) noexcept
{
    float target, seconds;
    if (pending.take (target, seconds))
        apply (target, seconds);
    if (audioPending.take (target, seconds))
        apply (target, seconds);

    auto& buffer = *info.buffer;
    const int channels = buffer.getNumChannels();
    const int n = info.numSamples;

    if ((muteFlag != nullptr && muteFlag->load()) || (smoother.getCurrentValue() < 1.0e-4f && smoother.getTargetValue() < 1.0e-4f))
    {
        info.clearActiveBufferRegion();
        return;
    }

    int i = 0;
    if (smoother.isSmoothing() && ! buffer.hasBeenCleared())
    {
        auto* const* data = buffer.getArrayOfWritePointers();
        for (; i < n && smoother.isSmoothing(); ++i)
        {
            const auto g = smoother.getNextValue();
            for (int c = 0; c < channels; ++c)
                data[c][info.startSample + i] *= g;
        }
    }
    else if (smoother.isSmoothing())
    {
        smoother.skip (n); // silence stays silence; the ramp still runs its course
        return;
    }

    const auto g = smoother.getTargetValue();
    if (i < n && ! isUnity (g))
        for (int c = 0; c < channels; ++c)
            buffer.applyGain (c, info.startSample + i, n - i, g);
}

//==============================================================================
void SmoothedGainAudioSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    source->prepareToPlay (samplesPerBlockExpected, sampleRate);
    ramp.prepare (sampleRate);
}

void SmoothedGainAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    source->getNextAudioBlock (info);
    ramp.process (info, muteFlag);
}

void SimpleSmoothedGainAudioSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    source->prepareToPlay (samplesPerBlockExpected, sampleRate);
    ramp.prepare (sampleRate);
}

void SimpleSmoothedGainAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    source->getNextAudioBlock (info);
    ramp.process (info, nullptr);
}

//==============================================================================
void FilteredAudioSource::updateCoefficients()
{
    const double rate = sampleRate.load();
    if (rate <= 0.0)
        return;

    const double sqrt2 = std::sqrt (2.0);

    const double low = lowPassCutoff.load();
    double k = 1.0 / std::tan (juce::MathConstants<double>::pi * low / rate);
    double c = 1.0 / (1.0 + sqrt2 * k + k * k);
    const juce::IIRCoefficients lowCoefficients (c, 2.0 * c, c, 1.0, 2.0 * c * (1.0 - k * k), c * (1.0 - sqrt2 * k + k * k));

    const double high = highPassCutoff.load();
    k = std::tan (juce::MathConstants<double>::pi * high / rate);
    c = 1.0 / (1.0 + sqrt2 * k + k * k);
    const juce::IIRCoefficients highCoefficients (c, -2.0 * c, c, 1.0, 2.0 * c * (k * k - 1.0), c * (1.0 - sqrt2 * k + k * k));

    lowPass[0].setCoefficients (lowCoefficients);
    highPass[0].setCoefficients (highCoefficients);
    lowPass[1].setCoefficients (lowCoefficients);
    highPass[1].setCoefficients (highCoefficients);
}

void FilteredAudioSource::prepareToPlay (int samplesPerBlockExpected, double rate)
{
    source->prepareToPlay (samplesPerBlockExpected, rate);
    sampleRate.store (rate);
    for (auto& filter : lowPass)
        filter.reset();
    for (auto& filter : highPass)
        filter.reset();
    updateCoefficients();
}

void FilteredAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    source->getNextAudioBlock (info);

    const bool runLow = lowPassCutoff.load() < 19999.0f;
    const bool runHigh = highPassCutoff.load() > 21.0f;
    if (! runLow && ! runHigh)
        return;

    const int channels = juce::jmin (2, info.buffer->getNumChannels());
    for (int c = 0; c < channels; ++c)
    {
        auto* data = info.buffer->getWritePointer (c, info.startSample);
        if (runLow)
            lowPass[c].processSamples (data, info.numSamples);
        if (runHigh)
            highPass[c].processSamples (data, info.numSamples);
    }
}

//==============================================================================
float CosineSmoothedGainAudioSource::gainAt (float t) const noexcept
{
    return fromGain + (toGain - fromGain) * (1.0f - std::cos (juce::MathConstants<float>::pi * t)) * 0.5f;
}

float CosineSmoothedGainAudioSource::currentGain() const noexcept
{
    return gainAt (progress.getCurrentValue());
}

void CosineSmoothedGainAudioSource::setAtOnce (float target) noexcept
{
    fromGain = toGain = target;
    publishedGain.store (target);
    progress.setCurrentAndTargetValue (1.0f);
}

void CosineSmoothedGainAudioSource::setGain (float target, float seconds) noexcept
{
    if (sampleRate.load() <= 0.0)
    {
        setAtOnce (target);
        return;
    }
    messageRequest.post (target, seconds);
}

void CosineSmoothedGainAudioSource::requestRamp (float target, float seconds) noexcept
{
    if (sampleRate.load() <= 0.0)
    {
        setAtOnce (target);
        return;
    }
    audioRequest.post (target, seconds);
}

void CosineSmoothedGainAudioSource::applyGain (float target, float seconds) noexcept
{
    if (std::abs (target - toGain) < 1.0e-4f && std::abs (seconds - rampSeconds) < 0.001f)
        return;

    fromGain = currentGain();
    toGain = target;
    rampSeconds = seconds;

    if (seconds > 0.05f && std::abs (target - fromGain) > 1.0e-4f)
        seconds *= std::abs (target - fromGain);

    if (seconds > 0.0f)
    {
        progress.reset (rampSteps (seconds, sampleRate.load()));
        progress.setCurrentAndTargetValue (0.0f);
        progress.setTargetValue (1.0f); // at once when the ramp has no steps
    }
    else
    {
        fromGain = target;
        progress.setCurrentAndTargetValue (1.0f);
    }
}

void CosineSmoothedGainAudioSource::prepareToPlay (int samplesPerBlockExpected, double rate)
{
    source->prepareToPlay (samplesPerBlockExpected, rate);
    const auto g = currentGain();
    sampleRate.store (rate);
    fromGain = toGain = g;
    progress.reset ((int) std::floor (0.05 * rate));
    progress.setCurrentAndTargetValue (1.0f);
    rampSeconds = -1.0f;
    gainBufferSize = juce::jmax (1, samplesPerBlockExpected);
    gainBuffer.realloc ((size_t) gainBufferSize);
}

void CosineSmoothedGainAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    float target, seconds;
    if (messageRequest.take (target, seconds))
        applyGain (target, seconds);
    if (audioRequest.take (target, seconds))
        applyGain (target, seconds);

    source->getNextAudioBlock (info);

    auto& buffer = *info.buffer;
    const int channels = buffer.getNumChannels();
    const int n = info.numSamples;

    if (! progress.isSmoothing())
    {
        const auto g = toGain;
        publishedGain.store (g);
        if (g <= 1.0e-4f)
            info.clearActiveBufferRegion();
        else if (! isUnity (g))
            for (int c = 0; c < channels; ++c)
                buffer.applyGain (c, info.startSample, n, g);
        return;
    }

    // Ramping: in pieces of at most the prepared block, so a longer pull never overruns gainBuffer.
    for (int done = 0; done < n;)
    {
        const int k = juce::jmin (gainBufferSize, n - done);
        for (int i = 0; i < k; ++i)
            gainBuffer[i] = gainAt (progress.getNextValue());
        if (! buffer.hasBeenCleared())
            for (int c = 0; c < channels; ++c)
                juce::FloatVectorOperations::multiply (buffer.getWritePointer (c, info.startSample + done), gainBuffer.get(), k);
        done += k;
    }
    publishedGain.store (currentGain());
}

//==============================================================================
void MusicCrossfadeSource::prepareToPlay (int samplesPerBlockExpected, double rate)
{
    source->prepareToPlay (samplesPerBlockExpected, rate);
    sampleRate = rate;
    fadeLength = (int) (0.05 * rate);
    const int ringSize = juce::jmax (1, samplesPerBlockExpected + fadeLength);
    history.setSize (2, ringSize);
    tail.setSize (2, ringSize);
    history.clear();
    tail.clear();
    historyWrite = historyFill = 0;
    fadeRemaining = 0;
    crossfadeTrigger.store (false);
}

void MusicCrossfadeSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const int ringSize = history.getNumSamples();
    const int n = info.numSamples;

    if (crossfadeTrigger.exchange (false) && ringSize > 0)
    {
        const int f = juce::jmin (historyFill, ringSize, fadeLength);
        for (int c = 0; c < history.getNumChannels(); ++c)
        {
            const auto* ring = history.getReadPointer (c);
            auto* frozen = tail.getWritePointer (c);
            int index = ((historyWrite - f) % ringSize + ringSize) % ringSize;
            for (int i = 0; i < f; ++i)
            {
                frozen[i] = ring[index];
                if (++index == ringSize)
                    index = 0;
            }
        }
        fadeTotal = f;
        fadePosition = 0;
        fadeRemaining = f;
    }

    source->getNextAudioBlock (info);

    const int channels = juce::jmin (2, info.buffer->getNumChannels());

    if (fadeRemaining > 0 && n > 0)
    {
        const int k = juce::jmin (n, fadeRemaining);
        for (int c = 0; c < channels; ++c)
        {
            auto* out = info.buffer->getWritePointer (c, info.startSample);
            const auto* old = tail.getReadPointer (c);
            for (int i = 0; i < k; ++i)
            {
                const auto x = (double) (i + fadePosition) / (double) fadeTotal * juce::MathConstants<double>::halfPi;
                out[i] = (float) (std::sin (x) * out[i] + std::cos (x) * old[i + fadePosition]);
            }
        }
        fadePosition += k;
        fadeRemaining -= k;
    }

    if (ringSize > 0 && n > 0)
    {
        for (int c = 0; c < channels; ++c)
        {
            const auto* in = info.buffer->getReadPointer (c, info.startSample);
            auto* ring = history.getWritePointer (c);
            // Only the newest ringSize samples can survive a longer block.
            const int skip = juce::jmax (0, n - ringSize);
            int index = (historyWrite + skip) % ringSize;
            for (int i = skip; i < n; ++i)
            {
                ring[index] = in[i];
                if (++index == ringSize)
                    index = 0;
            }
        }
        historyWrite = (historyWrite + n) % ringSize;
        historyFill = juce::jmin (ringSize, historyFill + n);
    }
}
} // namespace quorvelle
