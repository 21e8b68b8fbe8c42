#include "audio/graph/TimeStretcher.h"

#include <juce_audio_basics/juce_audio_basics.h>
#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

// How it works
//
// Rubber Band only stretches time here (its pitch scale stays 1: its own resampler builds tables on
// the heap whenever it starts after a reset or its ratio changes). A transposition by a factor p
// stretches by p more, and a windowed-sinc resampler after Rubber Band reads p of its samples per
// output sample.
//
// Input sample s (counted from the first call that asks for output) reaches the output at
// D + O(s), where O(s) is the output the caller had asked for when it handed over s, and D the
// fixed latency. The output comes from a FIFO that starts with D samples of silence. Rubber Band's
// time ratio follows the caller's input/output ratio, smoothed from the running totals; a servo
// bends it so that the output the input fed so far will become matches the output asked for. That
// keeps the FIFO level, and so the delay, bounded.

namespace quorvelle
{
namespace
{
using RubberBand::RubberBandStretcher;

// Ratios (input samples per output sample) and transpositions the fixed latency covers.
constexpr double lowestRatio = 0.5;
constexpr double highestRatio = 2.0;
constexpr float semitoneLimit = 12.0f;

// The servo bends the time ratio by at most this fraction, and closes the gap between the mapped
// and the requested output with this time constant.
constexpr double servoRange = 0.05;
constexpr double servoSeconds = 0.25;
// Rubber Band hands its output over in hops: a setting's latency keeps this fraction of its window
// (at the setting's ratio) above the bound below, which measurements over ratios 0.5..2, +-12
// semitones and calls of 64..1024 samples showed it needs.
constexpr double hopSlack = 0.2;
// Smallest relative change of the time ratio passed on to Rubber Band.
constexpr double ratioResolution = 1.0e-3;
// Time constant (seconds of output) of the smoothing of the requested ratio.
constexpr double ratioSmoothingSeconds = 0.1;

// One internal step handles at most this much output and input; larger calls are cut into steps in
// proportion, so the buffers stay small whatever the caller's block.
constexpr int stepOutput = 1024;
constexpr int stepInput = 2304;

// Resampler: taps on each side of the centre, and kernel phases per input sample.
constexpr int halfTaps = 16;
constexpr int taps = 2 * halfTaps;
constexpr int phases = 256;

constexpr int ringSize = 65536; // Rubber Band output waiting for the resampler (a power of 2)
constexpr juce::int64 ringMask = ringSize - 1;
constexpr int fifoHeadroom = 16384; // output FIFO room above the fixed latency

double pitchFactor (float semitones) { return std::pow (2.0, (double) semitones / 12.0); }
} // namespace

struct TimeStretcher::Impl
{
    explicit Impl (Engine e) : engine (e) {}

    Engine engine;
    int numChannels = 0;
    double sampleRate = 0.0;
    std::unique_ptr<RubberBandStretcher> stretcher;

    int latencyIn = 0;
    int latencyOut = 0;
    int totalLatency = 0;
    int fullLatency = 0; // the full range's; the FIFO holds it
    int window = 0;
    int startDelay = 0;

    // The latency of a setting, in output samples: the window of input Rubber Band holds (shrunk or
    // grown by the ratio and the servo's bend), its start delay and the resampler's look-ahead (in
    // Rubber Band samples, so divided by the transposition), plus one step of output. `slack`: the
    // fraction of the window added for Rubber Band's hops.
    int latencyFor (double ratio, double pitchFactorValue, double slack) const
    {
        const double slowest = (1.0 + servoRange + slack) / ratio;
        return (int) std::ceil (window * slowest + (startDelay + halfTaps) / pitchFactorValue) + stepOutput;
    }

    // Rubber Band output for the resampler: ring coordinates count from the start; the resampler's
    // next output is centred on ring coordinate `readPosition`.
    std::vector<float> ring;
    juce::int64 ringWrite = 0;
    double readPosition = 0.0;

    // Resampler kernel for the current transposition: (phases + 1) rows of `taps` weights.
    std::vector<float> kernel;
    double pitch = 1.0;

    // Output FIFO; read and write counts only grow.
    std::vector<float> fifo;
    int fifoSize = 0;
    juce::int64 fifoRead = 0;
    juce::int64 fifoWrite = 0;

    // The last primed samples (input given before the first output), used as the start pad.
    std::vector<float> prime;
    int primeSize = 0;
    juce::int64 primed = 0;

    std::vector<float> scratch;
    int scratchSize = 0;
    std::vector<float> silence;
    std::vector<const float*> inPointers;
    std::vector<float*> outPointers;

    bool started = false;
    bool finished = false;
    int flushLeft = 0;
    juce::int64 startDelayLeft = 0; // Rubber Band output before the first input sample
    juce::int64 owedOutput = 0;     // output already stood in for by silence after an underrun

    double smoothedIn = 0.0;
    double smoothedOut = 0.0;
    double ratio = 1.0;            // smoothed input per output asked for by the caller
    double mappedInput = 0.0;      // Rubber Band output the input fed so far maps to
    juce::int64 resampled = 0;     // resampler output since the start, owed output included
    juce::int64 requestedOutput = 0;
    double appliedTimeRatio = 1.0; // as set on Rubber Band (transposition included)

    float* channelRing (int c) { return ring.data() + (size_t) c * ringSize; }
    float* channelFifo (int c) { return fifo.data() + (size_t) c * (size_t) fifoSize; }
    float* channelPrime (int c) { return prime.data() + (size_t) c * (size_t) primeSize; }
    float* channelScratch (int c) { return scratch.data() + (size_t) c * (size_t) scratchSize; }
    int fifoLevel() const { return (int) (fifoWrite - fifoRead); }

    static int options (Engine engine, int blockSamples, double rate)
    {
        int o = RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever
                | (engine == Engine::live ? RubberBandStretcher::OptionEngineFaster : RubberBandStretcher::OptionEngineFiner);

        // Rubber Band picks its own window; the requested block only chooses its class.
        const double seconds = rate > 0.0 ? blockSamples / rate : 0.0;
        if (seconds > 0.0 && seconds < 0.06)
            o |= RubberBandStretcher::OptionWindowShort;
        else if (seconds > 0.18)
            o |= RubberBandStretcher::OptionWindowLong;
        return o;
    }

    // Windowed sinc, cut off below the lower of the two Nyquist frequencies; every row sums to 1.
    void buildKernel()
    {
        const double cutoff = pitch > 1.0 ? 0.95 / pitch : 1.0;
        for (int row = 0; row <= phases; ++row)
        {
            const double fraction = (double) row / phases;
            float* weights = kernel.data() + (size_t) row * taps;
            double sum = 0.0;
            for (int t = 0; t < taps; ++t)
            {
                const double distance = fraction + (halfTaps - 1) - t; // centre minus tap position
                const double x = juce::MathConstants<double>::pi * cutoff * distance;
                const double sinc = std::abs (x) < 1.0e-9 ? 1.0 : std::sin (x) / x;
                const double w = distance / halfTaps;
                const double blackman = std::abs (w) >= 1.0 ? 0.0
                                                             : 0.42 + 0.5 * std::cos (juce::MathConstants<double>::pi * w)
                                                                   + 0.08 * std::cos (2.0 * juce::MathConstants<double>::pi * w);
                weights[t] = (float) (cutoff * sinc * blackman);
                sum += weights[t];
            }
            for (int t = 0; t < taps; ++t)
                weights[t] = (float) (weights[t] / sum);
        }
    }

    void setTimeRatio (double timeRatio)
    {
        // Rubber Band's faster engine rounds its hops afresh at every change of ratio: changing it
        // every few samples makes it drift, so small changes wait until they add up.
        if (std::abs (timeRatio / appliedTimeRatio - 1.0) > ratioResolution)
        {
            stretcher->setTimeRatio (timeRatio);
            appliedTimeRatio = timeRatio;
        }
    }

    // Output not yet resampled, in output samples, for everything fed so far.
    double pendingOutput() const { return ((double) halfTaps + mappedInput - readPosition) / pitch; }

    // The time ratio for the next step: the smoothed ratio, bent so that the output the input fed so
    // far will become catches up with the output asked for.
    void steer()
    {
        const double behind = (double) requestedOutput - ((double) resampled + pendingOutput());
        const double bend = std::clamp (behind / (servoSeconds * sampleRate), -servoRange, servoRange);
        setTimeRatio (pitch * (1.0 + bend) / ratio);
    }

    void feed (const float* const* inputs, int offset, int count)
    {
        for (int c = 0; c < numChannels; ++c)
            inPointers[(size_t) c] = inputs[c] + offset;
        stretcher->process (inPointers.data(), (size_t) count, false);
        mappedInput += appliedTimeRatio * count;
    }

    void writeRing (const float* const* source, int count)
    {
        for (int done = 0; done < count;)
        {
            const int at = (int) (ringWrite & ringMask);
            const int n = std::min (count - done, ringSize - at);
            for (int c = 0; c < numChannels; ++c)
                std::memcpy (channelRing (c) + at, source[c] + done, sizeof (float) * (size_t) n);
            ringWrite += n;
            done += n;
        }
    }

    // Rubber Band's output into the ring, as far as it fits.
    bool pullStretcher()
    {
        bool moved = false;
        for (;;)
        {
            const int available = stretcher->available();
            const juce::int64 oldest = (juce::int64) std::floor (readPosition) - halfTaps;
            const int space = ringSize - (int) (ringWrite - oldest);
            if (available <= 0 || space <= 0)
                return moved;
            const int n = std::min ({ available, space, scratchSize });
            for (int c = 0; c < numChannels; ++c)
                outPointers[(size_t) c] = channelScratch (c);
            const int got = (int) stretcher->retrieve (outPointers.data(), (size_t) n);
            if (got <= 0)
                return moved;
            moved = true;
            const int skip = (int) std::min<juce::int64> (startDelayLeft, got);
            startDelayLeft -= skip;
            if (got > skip)
            {
                for (int c = 0; c < numChannels; ++c)
                    inPointers[(size_t) c] = channelScratch (c) + skip;
                writeRing (inPointers.data(), got - skip);
            }
        }
    }

    // Resamples what the ring holds into the FIFO, as far as it fits.
    bool resample()
    {
        bool moved = false;
        while (fifoLevel() < fifoSize)
        {
            const double floorPosition = std::floor (readPosition);
            const auto centre = (juce::int64) floorPosition;
            if (centre + halfTaps >= ringWrite)
                break;

            const double phase = (readPosition - floorPosition) * phases;
            const int row = std::min ((int) phase, phases - 1);
            const auto mix = (float) (phase - row);
            const float* lower = kernel.data() + (size_t) row * taps;
            const float* upper = lower + taps;
            const juce::int64 first = centre - (halfTaps - 1);

            if (owedOutput > 0)
                --owedOutput;
            else
            {
                const int at = (int) (fifoWrite % fifoSize);
                for (int c = 0; c < numChannels; ++c)
                {
                    const float* source = channelRing (c);
                    float sum = 0.0f;
                    for (int t = 0; t < taps; ++t)
                    {
                        const float weight = lower[t] + (upper[t] - lower[t]) * mix;
                        sum += weight * source[(first + t) & ringMask];
                    }
                    channelFifo (c)[at] = sum;
                }
                ++fifoWrite;
            }
            ++resampled;
            readPosition += pitch;
            moved = true;
        }
        return moved;
    }

    void pump()
    {
        for (;;)
        {
            const bool pulled = pullStretcher();
            const bool made = resample();
            if (! pulled && ! made)
                return;
        }
    }

    // After the last input: silence pushes out what Rubber Band still holds (its real-time mode
    // hands over nothing more after a final call in the finer engine).
    void feedSilence()
    {
        for (int c = 0; c < numChannels; ++c)
            inPointers[(size_t) c] = silence.data();
        stretcher->process (inPointers.data(), (size_t) stepInput, false);
        mappedInput += appliedTimeRatio * stepInput;
        pump();
    }

    // Copies `count` samples from the FIFO; a shortfall is written as silence and the output it
    // stood for is skipped when it arrives, so the delay stays the same.
    void pop (float* const* outputs, int offset, int count)
    {
        const int fromFifo = std::min (count, fifoLevel());
        for (int done = 0; done < fromFifo;)
        {
            const int at = (int) (fifoRead % fifoSize);
            const int n = std::min (fromFifo - done, fifoSize - at);
            for (int c = 0; c < numChannels; ++c)
                std::memcpy (outputs[c] + offset + done, channelFifo (c) + at, sizeof (float) * (size_t) n);
            fifoRead += n;
            done += n;
        }
        if (fromFifo < count)
        {
            for (int c = 0; c < numChannels; ++c)
                std::fill (outputs[c] + offset + fromFifo, outputs[c] + offset + count, 0.0f);
            owedOutput += count - fromFifo;
        }
    }

    void keepPrimed (const float* const* inputs, int count)
    {
        // Only the last primeSize samples can reach the start pad.
        const int skip = std::max (0, count - primeSize);
        primed += skip;
        for (int i = skip; i < count;)
        {
            const int at = (int) (primed % primeSize);
            const int n = std::min (count - i, primeSize - at);
            for (int c = 0; c < numChannels; ++c)
                std::memcpy (channelPrime (c) + at, inputs[c] + i, sizeof (float) * (size_t) n);
            i += n;
            primed += n;
        }
    }

    void start (int inCount, int outCount)
    {
        if (inCount > 0 && outCount > 0)
            ratio = std::clamp ((double) inCount / outCount, lowestRatio, highestRatio);
        smoothedIn = smoothedOut = 0.0;
        mappedInput = 0.0;
        resampled = 0;
        requestedOutput = 0;
        owedOutput = 0;
        setTimeRatio (pitch / ratio);

        // The start pad: the primed input when there was some, silence before it.
        const int pad = std::min ((int) stretcher->getPreferredStartPad(), primeSize);
        const int fromPrime = (int) std::min<juce::int64> (primed, pad);
        for (int c = 0; c < numChannels; ++c)
        {
            float* dest = channelScratch (c);
            std::fill (dest, dest + (pad - fromPrime), 0.0f);
            for (int i = 0; i < fromPrime; ++i)
                dest[pad - fromPrime + i] = channelPrime (c)[(primed - fromPrime + i) % primeSize];
            inPointers[(size_t) c] = dest;
        }
        startDelayLeft = (juce::int64) stretcher->getStartDelay();
        if (pad > 0)
            stretcher->process (inPointers.data(), (size_t) pad, false);

        // The resampler sees silence before the first sample.
        for (int c = 0; c < numChannels; ++c)
            std::fill (channelRing (c), channelRing (c) + halfTaps, 0.0f);
        ringWrite = halfTaps;
        readPosition = halfTaps;

        // The fixed delay: the FIFO starts with that much silence.
        for (int c = 0; c < numChannels; ++c)
            std::fill (channelFifo (c), channelFifo (c) + totalLatency, 0.0f);
        fifoRead = 0;
        fifoWrite = totalLatency;
        started = true;
    }

    void followRatio (int inCount, int outCount)
    {
        const double decay = std::exp (-(double) outCount / (ratioSmoothingSeconds * sampleRate));
        smoothedIn = smoothedIn * decay + inCount;
        smoothedOut = smoothedOut * decay + outCount;
        if (smoothedIn > 0.0 && smoothedOut > 0.0)
            ratio = std::clamp (smoothedIn / smoothedOut, lowestRatio, highestRatio);
    }

    void step (const float* const* inputs, int inOffset, int inCount, float* const* outputs, int outOffset, int outCount)
    {
        steer();
        if (inCount > 0)
            feed (inputs, inOffset, inCount);
        pump();
        if (outCount > 0)
        {
            pop (outputs, outOffset, outCount);
            requestedOutput += outCount;
            pump();
        }
    }
};

TimeStretcher::TimeStretcher (Engine engine) : impl (std::make_unique<Impl> (engine)) {}
TimeStretcher::~TimeStretcher() = default;

void TimeStretcher::configure (int channels, int blockSamples, int intervalSamples, double sampleRate)
{
    juce::ignoreUnused (intervalSamples); // Rubber Band derives its hop from its window and the ratio

    auto& s = *impl;
    s.numChannels = std::max (1, channels);
    s.sampleRate = sampleRate > 0.0 ? sampleRate : 44100.0;
    s.stretcher = std::make_unique<RubberBandStretcher> ((size_t) std::lround (s.sampleRate), (size_t) s.numChannels,
                                                         Impl::options (s.engine, blockSamples, s.sampleRate));
    s.inPointers.assign ((size_t) s.numChannels, nullptr);
    s.outPointers.assign ((size_t) s.numChannels, nullptr);

    const double lowestPitch = pitchFactor (-semitoneLimit);
    const double highestPitch = pitchFactor (semitoneLimit);
    const double shortestTimeRatio = lowestPitch * (1.0 - servoRange) / highestRatio;
    const double longestTimeRatio = highestPitch * (1.0 + servoRange) / lowestRatio;

    const int pad = (int) s.stretcher->getPreferredStartPad();
    const int startDelay = (int) s.stretcher->getStartDelay();
    s.window = std::max ((int) s.stretcher->getSamplesRequired(), 2 * pad);
    s.stretcher->setMaxProcessSize ((size_t) std::max (stepInput, pad));

    s.primeSize = std::max (1, pad);
    s.prime.assign ((size_t) s.numChannels * (size_t) s.primeSize, 0.0f);
    s.scratchSize = std::max ({ stepInput, pad, s.window, 8192 });
    s.scratch.assign ((size_t) s.numChannels * (size_t) s.scratchSize, 0.0f);
    s.silence.assign ((size_t) stepInput, 0.0f);
    s.ring.assign ((size_t) s.numChannels * ringSize, 0.0f);
    s.kernel.assign ((size_t) (phases + 1) * taps, 0.0f);
    s.buildKernel();

    // The full range's latency: the slowest ratio at the lowest transposition.
    s.startDelay = startDelay;
    s.fullLatency = s.latencyFor (lowestRatio, lowestPitch, 0.0);
    s.totalLatency = s.fullLatency;
    s.latencyIn = pad;
    s.latencyOut = s.totalLatency - s.latencyIn;
    s.fifoSize = s.fullLatency + fifoHeadroom;
    s.fifo.assign ((size_t) s.numChannels * (size_t) s.fifoSize, 0.0f);

    // Run the extreme time ratios once, so that Rubber Band has sized its buffers for them and
    // nothing grows later on the audio thread.
    for (int c = 0; c < s.numChannels; ++c)
        s.inPointers[(size_t) c] = s.channelScratch (c);
    for (double timeRatio : { shortestTimeRatio, longestTimeRatio, 1.0 })
    {
        s.stretcher->reset();
        s.stretcher->setTimeRatio (timeRatio);
        for (int i = 0; i < 8; ++i)
        {
            s.stretcher->process (s.inPointers.data(), (size_t) stepInput, false);
            for (int available; (available = s.stretcher->available()) > 0;)
            {
                for (int c = 0; c < s.numChannels; ++c)
                    s.outPointers[(size_t) c] = s.channelScratch (c);
                s.stretcher->retrieve (s.outPointers.data(), (size_t) std::min (available, s.scratchSize));
            }
        }
    }
    std::fill (s.scratch.begin(), s.scratch.end(), 0.0f);
    s.appliedTimeRatio = 1.0;
    s.ratio = 1.0;
    reset();
}

void TimeStretcher::reset()
{
    auto& s = *impl;
    if (s.stretcher == nullptr)
        return;
    s.stretcher->reset();
    s.started = false;
    s.finished = false;
    s.flushLeft = 0;
    s.primed = 0;
    s.fifoRead = s.fifoWrite = 0;
    s.ringWrite = 0;
    s.readPosition = 0.0;
}

void TimeStretcher::setTransposeSemitones (float semitones, float tonalityLimit)
{
    // There is no tonality limit here: every transposition is plain.
    juce::ignoreUnused (tonalityLimit);
    auto& s = *impl;
    const double pitch = pitchFactor (std::clamp (semitones, -semitoneLimit, semitoneLimit));
    if (pitch == s.pitch)
        return;
    s.pitch = pitch;
    if (! s.kernel.empty())
        s.buildKernel();
}

void TimeStretcher::process (const float* const* inputs, int inCount, float* const* outputs, int outCount)
{
    auto& s = *impl;
    inCount = std::max (0, inCount);
    outCount = std::max (0, outCount);
    if (s.stretcher == nullptr || s.finished)
    {
        for (int c = 0; c < s.numChannels && outCount > 0; ++c)
            std::fill (outputs[c], outputs[c] + outCount, 0.0f);
        return;
    }

    const juce::ScopedNoDenormals noDenormals;

    if (! s.started)
    {
        if (outCount == 0)
        {
            s.keepPrimed (inputs, inCount);
            return;
        }
        s.start (inCount, outCount);
    }

    s.followRatio (inCount, outCount);

    // Cut the call into steps that share input and output in proportion.
    const int steps = std::max ({ 1, (outCount + stepOutput - 1) / stepOutput, (inCount + stepInput - 1) / stepInput });
    int inDone = 0;
    int outDone = 0;
    for (int k = 1; k <= steps; ++k)
    {
        const int inEnd = (int) ((juce::int64) inCount * k / steps);
        const int outEnd = (int) ((juce::int64) outCount * k / steps);
        s.step (inputs, inDone, inEnd - inDone, outputs, outDone, outEnd - outDone);
        inDone = inEnd;
        outDone = outEnd;
    }
}

int TimeStretcher::flush (float* const* outputs, int outCount)
{
    auto& s = *impl;
    if (s.stretcher == nullptr || ! s.started)
        return 0;

    const juce::ScopedNoDenormals noDenormals;

    if (! s.finished)
    {
        s.finished = true;
        s.flushLeft = s.totalLatency;
    }

    int written = 0;
    const int wanted = std::min (std::max (0, outCount), s.flushLeft);
    while (written < wanted)
    {
        if (s.fifoLevel() == 0)
            s.feedSilence();
        const int n = std::min (wanted - written, s.fifoLevel());
        s.pop (outputs, written, n);
        written += n;
    }
    s.flushLeft -= written;
    return written;
}

int TimeStretcher::latencyFor (double ratio, float semitones) const
{
    const auto& s = *impl;
    const double pitch = pitchFactor (std::clamp (semitones, -semitoneLimit, semitoneLimit));
    return std::min (s.fullLatency, s.latencyFor (std::clamp (ratio, lowestRatio, highestRatio), pitch, hopSlack));
}

int TimeStretcher::fullRangeLatency() const { return impl->fullLatency; }

void TimeStretcher::setLatency (int samples)
{
    auto& s = *impl;
    s.totalLatency = std::clamp (samples, s.latencyIn, s.fullLatency);
    s.latencyOut = s.totalLatency - s.latencyIn;
}

int TimeStretcher::inputLatency() const { return impl->latencyIn; }
int TimeStretcher::outputLatency() const { return impl->latencyOut; }
int TimeStretcher::channels() const { return impl->numChannels; }
} // namespace quorvelle
