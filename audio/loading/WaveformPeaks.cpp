#include "audio/loading/WaveformPeaks.h"

#include <algorithm>
#include <cmath>

namespace quorvelle
{
float waveformPeakGain (double volumeDb)
{
    const auto db = (float) volumeDb;
    return db > -100.0f ? std::pow (10.0f, db / 20.0f) : 0.0f;
}

bool isExcludedFromWaveformPeaks (const juce::String& instrumentType) { return instrumentType == "CLICK" || instrumentType == "CUES"; }

WaveformPeaks computeWaveformPeaks (std::vector<WaveformPeakSource>& sources, int numPeaks, const std::function<bool()>& shouldStop)
{
    const auto stopped = [&] { return shouldStop != nullptr && shouldStop(); };
    juce::int64 maxLength = 0;
    for (const auto& source : sources)
        if (source.reader != nullptr)
            maxLength = std::max (maxLength, source.reader->lengthInSamples);
    if (maxLength < 1 || numPeaks < 1)
        return {};

    const auto size = std::max<juce::int64> (1, maxLength / numPeaks);
    const auto stride = (int) std::clamp<juce::int64> (size / 30, 1, 50);
    std::vector<float> loudness ((size_t) numPeaks, 0.0f), minimum ((size_t) numPeaks, 0.0f), maximum ((size_t) numPeaks, 0.0f);
    juce::AudioBuffer<float> mix (2, (int) size), scratch (2, (int) size);
    float loudest = 0.0f, widest = 0.0f;

    for (int b = 0; b < numPeaks; ++b)
    {
        if (stopped())
            return {};
        const auto start = size * b;
        const auto length = (int) (std::min (maxLength, start + size) - start);
        if (length <= 0)
            continue;

        mix.clear();
        for (auto& source : sources)
        {
            auto* reader = source.reader.get();
            if (reader == nullptr || reader->lengthInSamples <= start)
                continue;
            const auto n = (int) std::min<juce::int64> (reader->lengthInSamples - start, length);
            const bool stereo = reader->numChannels > 1;
            scratch.clear();
            reader->read (&scratch, 0, n, start, true, stereo);
            mix.addFrom (0, 0, scratch, 0, 0, n, source.gain);
            mix.addFrom (1, 0, scratch, stereo ? 1 : 0, 0, n, source.gain);
        }

        const auto* left = mix.getReadPointer (0);
        const auto* right = mix.getReadPointer (1);
        double sumSquares = 0.0;
        int points = 0;
        float maxAbs = 0.0f, low = 0.0f, high = 0.0f;
        for (int i = 0; i < length; i += stride)
        {
            const float x = (left[i] + right[i]) * 0.5f;
            sumSquares += (double) x * x;
            maxAbs = std::max (maxAbs, std::abs (x));
            low = std::min (low, x);
            high = std::max (high, x);
            ++points;
        }
        loudness[(size_t) b] = std::max (0.85f * maxAbs, (float) std::sqrt (sumSquares / points));
        minimum[(size_t) b] = low;
        maximum[(size_t) b] = high;
        loudest = std::max (loudest, loudness[(size_t) b]);
        widest = std::max (widest, std::max (std::abs (low), high));
    }

    WaveformPeaks result;
    result.peaks.resize ((size_t) numPeaks, 0.04f);
    result.peaksMin.resize ((size_t) numPeaks, 0.0f);
    result.peaksMax.resize ((size_t) numPeaks, 0.0f);
    if (loudest > 0.0f && widest > 0.0f)
        for (size_t b = 0; b < (size_t) numPeaks; ++b)
        {
            result.peaks[b] = std::min (loudness[b] / loudest, 1.0f);
            result.peaksMin[b] = std::clamp (minimum[b] / widest, -1.0f, 0.0f);
            result.peaksMax[b] = std::clamp (maximum[b] / widest, 0.0f, 1.0f);
        }
    return result;
}
} // namespace quorvelle
