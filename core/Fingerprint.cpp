#include "core/Fingerprint.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <numbers>

namespace quorvelle::core
{
namespace
{
    constexpr int kBins = kFingerprintFrameLength / 2; // 512
    constexpr int kFrameNeighbourhood = 4;
    constexpr int kBinNeighbourhood = 7;

    // Float array aligned to 32 bytes, allocated once per call.
    struct AlignedFloats
    {
        explicit AlignedFloats (std::size_t n)
            : data (static_cast<float*> (::operator new (n * sizeof (float), std::align_val_t { 32 }))), size (n)
        {
            std::fill (data, data + size, 0.0f);
        }
        ~AlignedFloats() { ::operator delete (data, std::align_val_t { 32 }); }
        AlignedFloats (const AlignedFloats&) = delete;
        AlignedFloats& operator= (const AlignedFloats&) = delete;

        float* data;
        std::size_t size;
    };

    bool peakOrder (const SpectralPeak& a, const SpectralPeak& b)
    {
        return a.frame != b.frame ? a.frame < b.frame : a.bin < b.bin;
    }
} // namespace

uint32_t makeFingerprintHash (int32_t anchorBin, int32_t targetBin, int32_t delta)
{
    return ((static_cast<uint32_t> (anchorBin) & 0x1FFu) << 17) | ((static_cast<uint32_t> (targetBin) & 0x1FFu) << 8)
           | (static_cast<uint32_t> (delta) & 0xFFu);
}

void fftInPlace (float* real, float* imag, std::size_t n)
{
    if (n < 2)
        return;

    // Bit-reversal permutation.
    for (std::size_t i = 1, j = 0; i < n; ++i)
    {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
        {
            std::swap (real[i], real[j]);
            std::swap (imag[i], imag[j]);
        }
    }

    for (std::size_t length = 2; length <= n; length <<= 1)
    {
        const double angle = -2.0 * std::numbers::pi / static_cast<double> (length);
        const auto stepRe = static_cast<float> (std::cos (angle));
        const auto stepIm = static_cast<float> (std::sin (angle));
        const std::size_t half = length / 2;

        for (std::size_t start = 0; start < n; start += length)
        {
            float wRe = 1.0f;
            float wIm = 0.0f;
            for (std::size_t k = 0; k < half; ++k)
            {
                const std::size_t a = start + k;
                const std::size_t b = a + half;
                const float vRe = real[b] * wRe - imag[b] * wIm;
                const float vIm = real[b] * wIm + imag[b] * wRe;
                real[b] = real[a] - vRe;
                imag[b] = imag[a] - vIm;
                real[a] += vRe;
                imag[a] += vIm;

                const float nextRe = wRe * stepRe - wIm * stepIm;
                wIm = wRe * stepIm + wIm * stepRe;
                wRe = nextRe;
            }
        }
    }
}

std::vector<float> resampleTo11025 (const float* samples, std::size_t count, double sampleRate)
{
    std::vector<float> out;
    if (samples == nullptr || count == 0 || ! (sampleRate > 0.0))
        return out;

    if (sampleRate == kFingerprintRate)
        return std::vector<float> (samples, samples + count);

    const double step = sampleRate / kFingerprintRate;
    const double length = static_cast<double> (count) / step;
    if (! (length >= 1.0))
        return out;

    // A vanishing rate would give an infinite length, which no size type can hold.
    if (! std::isfinite (length))
        return out;

    out.resize (static_cast<std::size_t> (length));
    const std::size_t last = count - 1;
    for (std::size_t i = 0; i < out.size(); ++i)
    {
        const double p = static_cast<double> (i) * step;
        auto j = static_cast<std::size_t> (p);
        const auto t = static_cast<float> (p - static_cast<double> (j));
        j = std::min (j, last);
        out[i] = (1.0f - t) * samples[j] + t * samples[std::min (j + 1, last)];
    }
    return out;
}

std::vector<SpectralPeak> findCandidatePeaks (const float* x, std::size_t count)
{
    std::vector<SpectralPeak> peaks;
    if (x == nullptr || count < static_cast<std::size_t> (kFingerprintFrameLength))
        return peaks;

    AlignedFloats window (kFingerprintFrameLength);
    for (int i = 0; i < kFingerprintFrameLength; ++i)
        window.data[i] = 0.5f
                         - 0.5f
                               * static_cast<float> (std::cos (2.0 * std::numbers::pi * static_cast<double> (i)
                                                               / static_cast<double> (kFingerprintFrameLength - 1)));

    AlignedFloats re (kFingerprintFrameLength);
    AlignedFloats im (kFingerprintFrameLength);
    std::vector<float> s (kBins, 0.0f);

    const std::size_t frames = (count - kFingerprintFrameLength) / kFingerprintHop + 1;
    for (std::size_t f = 0; f < frames; ++f)
    {
        const float* frame = x + f * kFingerprintHop;
        for (int i = 0; i < kFingerprintFrameLength; ++i)
        {
            re.data[i] = window.data[i] * frame[i];
            im.data[i] = 0.0f;
        }
        fftInPlace (re.data, im.data, kFingerprintFrameLength);

        double sum = 0.0;
        for (int k = 1; k < kBins; ++k)
        {
            s[static_cast<std::size_t> (k)] = std::log (re.data[k] * re.data[k] + im.data[k] * im.data[k] + 1e-12f);
            sum += s[static_cast<std::size_t> (k)];
        }
        const float threshold = static_cast<float> (sum / static_cast<double> (kBins - 1)) + 2.0f;

        for (int k = 2; k <= kBins - 2; ++k)
        {
            const auto v = s[static_cast<std::size_t> (k)];
            if (v > threshold && v > s[static_cast<std::size_t> (k - 1)] && v >= s[static_cast<std::size_t> (k + 1)])
                peaks.push_back ({ static_cast<int32_t> (f), k, v });
        }
    }
    return peaks;
}

std::vector<SpectralPeak> suppressWeakerNeighbours (const std::vector<SpectralPeak>& candidates)
{
    // Candidates come in frame order, bins ascending within a frame. Index where each frame's run
    // starts, so only the 9 neighbouring frames are searched, each by binary search on the bin.
    std::vector<SpectralPeak> sorted = candidates;
    if (! std::is_sorted (sorted.begin(), sorted.end(), peakOrder))
        std::stable_sort (sorted.begin(), sorted.end(), peakOrder);

    auto strongerNeighbour = [&] (const SpectralPeak& p) {
        const int64_t firstFrame = static_cast<int64_t> (p.frame) - kFrameNeighbourhood;
        const int64_t lastFrame = static_cast<int64_t> (p.frame) + kFrameNeighbourhood;
        auto it = std::lower_bound (sorted.begin(), sorted.end(), firstFrame,
                                    [] (const SpectralPeak& q, int64_t frame) { return q.frame < frame; });
        for (; it != sorted.end() && it->frame <= lastFrame; ++it)
        {
            if (std::abs (static_cast<int64_t> (it->bin) - p.bin) <= kBinNeighbourhood && it->strength > p.strength)
                return true;
        }
        return false;
    };

    std::vector<SpectralPeak> kept;
    kept.reserve (candidates.size());
    for (const auto& p : candidates)
        if (! strongerNeighbour (p))
            kept.push_back (p);
    return kept;
}

std::vector<SpectralPeak> selectBandPeaks (const std::vector<SpectralPeak>& peaks, int32_t peaksPerBand)
{
    const auto limit = static_cast<std::size_t> (std::max (peaksPerBand, 0));
    std::vector<SpectralPeak> selected;
    selected.reserve (peaks.size());

    std::size_t begin = 0;
    while (begin < peaks.size())
    {
        const int32_t band = peaks[begin].frame / kFingerprintFramesPerBand;
        std::size_t end = begin;
        while (end < peaks.size() && peaks[end].frame / kFingerprintFramesPerBand == band)
            ++end;

        if (end - begin > limit)
        {
            std::vector<SpectralPeak> group (peaks.begin() + static_cast<std::ptrdiff_t> (begin),
                                             peaks.begin() + static_cast<std::ptrdiff_t> (end));
            std::sort (group.begin(), group.end(),
                       [] (const SpectralPeak& a, const SpectralPeak& b) { return a.strength > b.strength; });
            group.resize (limit);
            std::sort (group.begin(), group.end(), peakOrder);
            selected.insert (selected.end(), group.begin(), group.end());
        }
        else
        {
            selected.insert (selected.end(), peaks.begin() + static_cast<std::ptrdiff_t> (begin),
                             peaks.begin() + static_cast<std::ptrdiff_t> (end));
        }
        begin = end;
    }
    return selected;
}

std::vector<FingerprintHash> pairPeaks (const std::vector<SpectralPeak>& peaks, const FingerprintParams& params)
{
    std::vector<FingerprintHash> hashes;
    if (params.fanOut <= 0)
        return hashes;

    for (std::size_t a = 0; a < peaks.size(); ++a)
    {
        const auto& anchor = peaks[a];
        int32_t made = 0;
        for (std::size_t t = a + 1; t < peaks.size() && made < params.fanOut; ++t)
        {
            const int64_t delta = static_cast<int64_t> (peaks[t].frame) - anchor.frame;
            if (delta < params.minDeltaFrames)
                continue;
            if (delta > params.maxDeltaFrames)
                break;
            hashes.push_back ({ makeFingerprintHash (anchor.bin, peaks[t].bin, static_cast<int32_t> (delta)),
                                static_cast<float> (anchor.frame) * kFingerprintFrameSeconds });
            ++made;
        }
    }
    return hashes;
}

AudioFingerprint computeAudioFingerprint (const float* samples, std::size_t count, double sampleRate,
                                          const FingerprintParams& params)
{
    AudioFingerprint result;
    if (samples == nullptr || count == 0 || ! (sampleRate > 0.0))
        return result;

    result.duration = static_cast<double> (count) / sampleRate;

    const auto resampled = resampleTo11025 (samples, count, sampleRate);
    if (resampled.size() < static_cast<std::size_t> (kFingerprintFrameLength))
        return result;

    const auto candidates = findCandidatePeaks (resampled.data(), resampled.size());
    const auto survivors = suppressWeakerNeighbours (candidates);
    const auto selected = selectBandPeaks (survivors, params.peaksPerBand);
    result.hashes = pairPeaks (selected, params);
    return result;
}
} // namespace quorvelle::core
