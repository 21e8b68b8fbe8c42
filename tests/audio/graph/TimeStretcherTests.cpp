#include "audio/graph/TimeStretcher.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace
{
using quorvelle::TimeStretcher;
using quorvelle::test::AllocationCounter;

constexpr double rate = 44100.0;
constexpr int liveBlock = 5292;
constexpr int liveInterval = 1323;
const int offlineBlock = (int) (0.12f * (float) rate);
const int offlineInterval = (int) (0.03f * (float) rate);
constexpr int channels = 2;
constexpr float sentinel = std::numeric_limits<float>::quiet_NaN();

// Reproducible noise by sample index, so long inputs are made on the fly.
float noiseAt (std::int64_t i, int channel)
{
    auto x = (std::uint64_t) (i * 2 + channel) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return (float) ((double) (x >> 11) / (double) (1ull << 53) * 2.0 - 1.0);
}

// Feeds a stretcher the way the stretch source does: per call n output samples and
// m = (int) (n * (float) ratio + carry) input samples, the fraction carried. The input comes from
// `signal (index, channel)`, the output goes to `sink (firstIndex, channel pointers, count)`.
// Returns false at the first call that did not write exactly n samples.
template <typename Signal, typename Sink>
bool streamLive (TimeStretcher& stretcher, double ratio, int callSize, std::int64_t inputSamples, Signal&& signal, Sink&& sink)
{
    std::vector<std::vector<float>> in ((size_t) channels), out ((size_t) channels);
    const int guard = 16;
    for (int c = 0; c < channels; ++c)
    {
        in[(size_t) c].resize ((size_t) (callSize * 4 + 16));
        out[(size_t) c].resize ((size_t) (callSize + guard));
    }
    const float* inPointers[channels];
    float* outPointers[channels];

    double carry = 0.0;
    std::int64_t consumed = 0;
    std::int64_t produced = 0;
    while (consumed < inputSamples)
    {
        const double x = (double) ((float) callSize * (float) ratio) + carry;
        const int m = (int) x;
        carry = x - m;
        for (int c = 0; c < channels; ++c)
        {
            for (int i = 0; i < m; ++i)
                in[(size_t) c][(size_t) i] = signal (consumed + i, c);
            std::fill (out[(size_t) c].begin(), out[(size_t) c].end(), sentinel);
            inPointers[c] = in[(size_t) c].data();
            outPointers[c] = out[(size_t) c].data();
        }
        stretcher.process (inPointers, m, outPointers, callSize);
        for (int c = 0; c < channels; ++c)
        {
            const auto& o = out[(size_t) c];
            if (std::any_of (o.begin(), o.begin() + callSize, [] (float v) { return std::isnan (v); })
                || std::any_of (o.begin() + callSize, o.end(), [] (float v) { return ! std::isnan (v); }))
                return false;
        }
        sink (produced, outPointers, callSize, consumed, m);
        consumed += m;
        produced += callSize;
    }
    return true;
}

// Delay of a click train in `output` (samples from `firstIndex` on), against the clicks' expected
// places `expected` (output positions without latency): the lag within +-searchRange that best
// lines up the smoothed energy. Returns the delay, i.e. the latency plus that lag.
int clickTrainDelay (const std::vector<float>& output, std::int64_t firstIndex, const std::vector<double>& expected,
                     int latency, int searchRange)
{
    std::vector<double> energy (output.size() + 1, 0.0);
    for (size_t i = 0; i < output.size(); ++i)
        energy[i + 1] = energy[i] + (double) output[i] * output[i];
    const int smooth = 64;
    auto smoothed = [&] (std::int64_t at) {
        const std::int64_t a = std::clamp<std::int64_t> (at - firstIndex - smooth / 2, 0, (std::int64_t) output.size());
        const std::int64_t b = std::clamp<std::int64_t> (at - firstIndex + smooth / 2, 0, (std::int64_t) output.size());
        return energy[(size_t) b] - energy[(size_t) a];
    };
    int bestLag = 0;
    double best = -1.0;
    for (int lag = -searchRange; lag <= searchRange; ++lag)
    {
        double score = 0.0;
        for (double e : expected)
            score += smoothed ((std::int64_t) std::llround (e) + latency + lag);
        if (score > best)
        {
            best = score;
            bestLag = lag;
        }
    }
    return latency + bestLag;
}

// ---------------------------------------------------------------------------------------------
// Ratio x transposition x call size, live: exact output counts, fixed delay, no inserted silence.

struct TableCase
{
    double ratio;
    float semitones;
    int callSize;
    double seconds; // of input
    bool settingLatency = false; // the latency the setting needs instead of the full range's
};

std::string tableName (const testing::TestParamInfo<TableCase>& info)
{
    const auto& p = info.param;
    auto text = "r" + std::to_string ((int) std::lround (p.ratio * 100)) + "_st" + (p.semitones < 0 ? "m" : "p")
                + std::to_string ((int) std::abs (p.semitones)) + "_n" + std::to_string (p.callSize) + "_"
                + std::to_string ((int) p.seconds) + "s";
    return p.settingLatency ? text + "_settingLatency" : text;
}

class LiveStretchTable : public testing::TestWithParam<TableCase>
{
};

TEST_P (LiveStretchTable, ExactCountsFixedDelayAndNoInsertedSilence)
{
    const auto p = GetParam();
    TimeStretcher stretcher (TimeStretcher::Engine::live);
    stretcher.configure (channels, liveBlock, liveInterval, rate);
    stretcher.setTransposeSemitones (p.semitones);
    if (p.settingLatency)
    {
        stretcher.setLatency (stretcher.latencyFor (p.ratio, p.semitones));
        EXPECT_LE (stretcher.inputLatency() + stretcher.outputLatency(), stretcher.fullRangeLatency());
    }
    stretcher.reset();
    const int latency = stretcher.inputLatency() + stretcher.outputLatency();

    const std::int64_t inputSamples = (std::int64_t) (p.seconds * rate);
    const int period = (int) (rate / 2); // a click every half second of input
    auto signal = [&] (std::int64_t i, int c) { return 0.05f * noiseAt (i, c) + (i % period == period / 2 ? 1.0f : 0.0f); };

    // Output windows kept for the delay measurement: the first and the last 20 clicks.
    const int clicks = 20;
    std::vector<double> headClicks, tailClicks, allClicks;
    const std::int64_t tailStart = inputSamples - (std::int64_t) (clicks + 2) * period;
    std::vector<float> head, tail;
    std::int64_t headFirst = 0, tailFirst = -1;
    const auto headLength = (std::int64_t) latency + (std::int64_t) ((clicks + 2) * period / p.ratio);

    std::int64_t silentRun = 0, firstSilence = -1, nanCount = 0, subnormalCount = 0;
    const bool exact = streamLive (stretcher, p.ratio, p.callSize, inputSamples, signal,
                                   [&] (std::int64_t first, float* const* out, int n, std::int64_t inFirst, int m) {
                                       // Expected output places (without latency) of the clicks in this call's input.
                                       std::int64_t k = inFirst - ((inFirst - period / 2) % period + period) % period;
                                       for (k += k < inFirst ? period : 0; k < inFirst + m; k += period)
                                       {
                                           const double at = (double) first + (double) (k - inFirst) * n / m;
                                           if (headClicks.size() < (size_t) clicks)
                                               headClicks.push_back (at);
                                           if (k >= tailStart)
                                               tailClicks.push_back (at);
                                       }
                                       for (int i = 0; i < n; ++i)
                                       {
                                           const std::int64_t y = first + i;
                                           bool silent = true;
                                           float mono = 0.0f;
                                           for (int c = 0; c < channels; ++c)
                                           {
                                               const float v = out[c][i];
                                               nanCount += std::isnan (v) ? 1 : 0;
                                               subnormalCount += std::fpclassify (v) == FP_SUBNORMAL ? 1 : 0;
                                               silent = silent && std::abs (v) < 1.0e-6f;
                                               mono += v * v;
                                           }
                                           silentRun = (silent && y >= latency) ? silentRun + 1 : 0;
                                           if (silentRun == 64 && firstSilence < 0)
                                               firstSilence = y - 63;
                                           if (y < headLength)
                                               head.push_back (std::sqrt (mono));
                                           if (y >= (std::int64_t) (tailStart / p.ratio) - latency)
                                           {
                                               if (tailFirst < 0)
                                                   tailFirst = y;
                                               tail.push_back (std::sqrt (mono));
                                           }
                                       }
                                   });

    EXPECT_TRUE (exact) << "a call did not write exactly its output count";
    EXPECT_EQ (nanCount, 0);
    EXPECT_EQ (subnormalCount, 0);
    EXPECT_EQ (firstSilence, -1) << "silence inserted at output sample " << firstSilence << " (latency " << latency << ")";

    ASSERT_EQ (headClicks.size(), (size_t) clicks);
    const int headDelay = clickTrainDelay (head, headFirst, headClicks, latency, 3 * liveInterval);
    EXPECT_LE (std::abs (headDelay - latency), liveInterval) << "delay after reset " << headDelay << ", reported " << latency;

    // Keep only the tail clicks whose output was fully captured.
    std::vector<double> capturedTail;
    for (double at : tailClicks)
        if (at + latency - 3 * liveInterval >= (double) tailFirst && at + latency + 3 * liveInterval < (double) (tailFirst + (std::int64_t) tail.size()))
            capturedTail.push_back (at);
    ASSERT_GE (capturedTail.size(), (size_t) clicks / 2);
    const int tailDelay = clickTrainDelay (tail, tailFirst, capturedTail, latency, 3 * liveInterval);
    EXPECT_LE (std::abs (tailDelay - latency), liveInterval)
        << "delay after " << p.seconds << " s " << tailDelay << ", reported " << latency;
}

std::vector<TableCase> fullTable (bool settingLatency)
{
    std::vector<TableCase> cases;
    for (double ratio : { 0.5, 0.8, 1.0, 1.1, 1.25, 2.0 })
        for (float semitones : settingLatency ? std::vector<float> { 0.0f, 2.0f, 6.0f, -6.0f, 12.0f, -12.0f }
                                              : std::vector<float> { 0.0f, 2.0f, 12.0f, -12.0f })
            for (int callSize : { 64, 128, 512, 1024 })
                cases.push_back ({ ratio, semitones, callSize, 20.0, settingLatency });
    return cases;
}

// Every combination over 20 s of input, and one combination per ratio over 10 minutes (together
// they still cover every transposition and call size), which is what the CPU allows.
INSTANTIATE_TEST_SUITE_P (Table, LiveStretchTable, testing::ValuesIn (fullTable (false)), tableName);
// The same at the latency each setting needs (the engine's choice while live stretch is on).
INSTANTIATE_TEST_SUITE_P (SettingLatency, LiveStretchTable, testing::ValuesIn (fullTable (true)), tableName);
INSTANTIATE_TEST_SUITE_P (TenMinutes, LiveStretchTable,
                          testing::Values (TableCase { 0.5, 12.0f, 1024, 600.0 }, TableCase { 0.8, -12.0f, 64, 600.0 },
                                           TableCase { 1.0, 0.0f, 128, 600.0 }, TableCase { 1.1, 2.0f, 512, 600.0 },
                                           TableCase { 1.25, -12.0f, 1024, 600.0 }, TableCase { 2.0, 12.0f, 128, 600.0 }),
                          tableName);

// ---------------------------------------------------------------------------------------------
// Impulse placement at ratio 1.25.

// Onset of the burst nearest `expected`: the first sample within +-range whose magnitude reaches a
// quarter of the window's peak.
double onsetNear (const std::vector<float>& y, double expected, int range)
{
    const auto from = (size_t) std::max (0.0, expected - range);
    const auto to = std::min (y.size(), (size_t) std::max (0.0, expected + range));
    float peak = 0.0f;
    for (size_t i = from; i < to; ++i)
        peak = std::max (peak, std::abs (y[i]));
    for (size_t i = from; i < to; ++i)
        if (std::abs (y[i]) >= 0.25f * peak)
            return (double) i;
    return -1.0;
}

TEST (TimeStretcher, ImpulsesLandOnTheirStretchedPlacesAtRatio125)
{
    const double ratio = 1.25;
    const int period = 4410;
    const int impulses = 200;
    TimeStretcher stretcher (TimeStretcher::Engine::live);
    stretcher.configure (channels, liveBlock, liveInterval, rate);
    const int latency = stretcher.inputLatency() + stretcher.outputLatency();

    std::vector<float> output;
    const bool exact = streamLive (stretcher, ratio, 512, (std::int64_t) (impulses + 2) * period,
                                   [&] (std::int64_t i, int) { return i % period == 0 ? 1.0f : 0.0f; },
                                   [&] (std::int64_t, float* const* out, int n, std::int64_t, int) {
                                       output.insert (output.end(), out[0], out[0] + n);
                                   });
    ASSERT_TRUE (exact);
    const std::vector<float> aligned (output.begin() + latency, output.end());

    double sumK = 0, sumY = 0, sumKK = 0, sumKY = 0;
    int found = 0;
    for (int k = 1; k < impulses; ++k)
    {
        const double expected = k * period / ratio;
        const double onset = onsetNear (aligned, expected, liveInterval * 2);
        ASSERT_GE (onset, 0.0);
        EXPECT_LE (std::abs (onset - expected), liveInterval) << "impulse " << k;
        sumK += k;
        sumY += onset;
        sumKK += (double) k * k;
        sumKY += k * onset;
        ++found;
    }
    const double slope = (found * sumKY - sumK * sumY) / (found * sumKK - sumK * sumK);
    EXPECT_NEAR (slope / period, 1.0 / ratio, 0.0005 / ratio);
}

// ---------------------------------------------------------------------------------------------
// Offline: prime with the input latency, process, trim both latencies, then flush.

struct OfflineCase
{
    double ratio;
    float semitones;
    int chunk;
};

class OfflineSequence : public testing::TestWithParam<OfflineCase>
{
};

TEST_P (OfflineSequence, StartsAtSampleZeroAndFlushReachesTheFullLength)
{
    const auto p = GetParam();
    const int period = 22050;
    const std::int64_t length = 10 * (std::int64_t) rate + 1234;
    const std::int64_t lateImpulse = length - (std::int64_t) (0.05 * rate); // in the last 100 ms
    std::vector<std::vector<float>> input ((size_t) channels, std::vector<float> ((size_t) length, 0.0f));
    std::vector<std::int64_t> impulses;
    for (std::int64_t i = 0; i < length - period / 2; i += period)
        impulses.push_back (i);
    impulses.push_back (lateImpulse);
    for (auto& ch : input)
        for (auto i : impulses)
            ch[(size_t) i] = 1.0f;

    TimeStretcher stretcher (TimeStretcher::Engine::offline);
    stretcher.configure (channels, offlineBlock, offlineInterval, rate);
    if (std::abs (p.semitones) > 0.001f)
        stretcher.setTransposeSemitones (p.semitones);

    const auto total = (std::int64_t) std::ceil ((double) length / p.ratio);
    std::vector<std::vector<float>> output ((size_t) channels, std::vector<float> ((size_t) total, 0.0f));
    const int iL = stretcher.inputLatency();
    const int oL = stretcher.outputLatency();

    std::vector<float> zeros ((size_t) iL, 0.0f);
    const float* primeIn[channels] = { zeros.data(), zeros.data() };
    stretcher.process (primeIn, iL, nullptr, 0);

    std::int64_t consumed = 0, written = 0;
    while (consumed < length)
    {
        const int in = (int) std::min<std::int64_t> (length - consumed, p.chunk);
        const int out = (int) std::min<std::int64_t> (total - written, (std::int64_t) std::ceil (in / p.ratio));
        if (out < 1)
            break;
        const float* ins[channels] = { input[0].data() + consumed, input[1].data() + consumed };
        float* outs[channels] = { output[0].data() + written, output[1].data() + written };
        stretcher.process (ins, in, outs, out);
        consumed += in;
        written += out;
    }
    ASSERT_EQ (written, total);

    const int trim = iL + oL;
    std::vector<float> result (output[0].begin() + trim, output[0].end());
    std::vector<float> flushed ((size_t) trim + 100, sentinel), second ((size_t) trim + 100, sentinel);
    float* flushOut[channels] = { flushed.data(), second.data() };
    int fromFlush = 0;
    for (int got; (got = stretcher.flush (flushOut, 1000)) > 0;)
    {
        result.insert (result.end(), flushed.begin(), flushed.begin() + got);
        fromFlush += got;
    }
    EXPECT_EQ ((std::int64_t) result.size(), total) << "flush gave " << fromFlush;
    EXPECT_TRUE (std::none_of (result.begin(), result.end(), [] (float v) { return std::isnan (v) || std::fpclassify (v) == FP_SUBNORMAL; }));

    for (auto i : impulses)
    {
        const double expected = (double) i / p.ratio;
        const auto from = (size_t) std::max (0.0, expected - 2 * offlineInterval);
        const auto to = std::min (result.size(), (size_t) (expected + 2 * offlineInterval));
        const auto peak = std::max_element (result.begin() + (long) from, result.begin() + (long) to,
                                            [] (float a, float b) { return std::abs (a) < std::abs (b); });
        EXPECT_LE (std::abs ((double) (peak - result.begin()) - expected), offlineInterval) << "impulse at input " << i;
    }
}

INSTANTIATE_TEST_SUITE_P (Ratios, OfflineSequence,
                          testing::Values (OfflineCase { 1.25, 0.0f, 32768 }, OfflineCase { 1.25, 2.0f, 1024 },
                                           OfflineCase { 0.5, -12.0f, 32768 }, OfflineCase { 2.0, 12.0f, 1024 },
                                           OfflineCase { 0.8, 0.0f, 1024 }, OfflineCase { 1.1, 2.0f, 32768 }),
                          [] (const testing::TestParamInfo<OfflineCase>& info) {
                              return "r" + std::to_string ((int) std::lround (info.param.ratio * 100)) + "_st"
                                     + (info.param.semitones < 0 ? "m" : "p") + std::to_string ((int) std::abs (info.param.semitones))
                                     + "_chunk" + std::to_string (info.param.chunk);
                          });

// ---------------------------------------------------------------------------------------------
// Transposition: 440 Hz up 2 semitones is 493.9 Hz.

struct PitchCase
{
    TimeStretcher::Engine engine;
    double ratio;
};

class TransposedSine : public testing::TestWithParam<PitchCase>
{
};

// Frequency from the zero crossings (linearly interpolated) of `y`.
double measuredFrequency (const std::vector<float>& y)
{
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (size_t i = 1; i < y.size(); ++i)
        if (y[i - 1] < 0.0f && y[i] >= 0.0f)
        {
            const double at = (double) (i - 1) + y[i - 1] / (y[i - 1] - y[i]);
            if (first < 0.0)
                first = at;
            last = at;
            ++crossings;
        }
    return crossings > 1 ? (crossings - 1) * rate / (last - first) : 0.0;
}

TEST_P (TransposedSine, Measures4939HzAtPlus2Semitones)
{
    const auto p = GetParam();
    TimeStretcher stretcher (p.engine);
    stretcher.configure (channels, liveBlock, liveInterval, rate);
    stretcher.setTransposeSemitones (2.0f);
    const int latency = stretcher.inputLatency() + stretcher.outputLatency();

    std::vector<float> output;
    ASSERT_TRUE (streamLive (stretcher, p.ratio, 512, (std::int64_t) (4.0 * rate * p.ratio) + latency,
                             [] (std::int64_t i, int) { return 0.5f * (float) std::sin (2.0 * M_PI * 440.0 * (double) i / rate); },
                             [&] (std::int64_t, float* const* out, int n, std::int64_t, int) { output.insert (output.end(), out[0], out[0] + n); }));
    // 2 s, starting half a second after the latency.
    const auto from = (size_t) (latency + rate / 2);
    ASSERT_GT (output.size(), from + (size_t) (2 * rate));
    const std::vector<float> measured (output.begin() + (long) from, output.begin() + (long) (from + (size_t) (2 * rate)));
    EXPECT_NEAR (measuredFrequency (measured), 440.0 * std::pow (2.0, 2.0 / 12.0), 1.0);
}

INSTANTIATE_TEST_SUITE_P (Engines, TransposedSine,
                          testing::Values (PitchCase { TimeStretcher::Engine::live, 1.0 }, PitchCase { TimeStretcher::Engine::live, 1.1 },
                                           PitchCase { TimeStretcher::Engine::offline, 1.0 }, PitchCase { TimeStretcher::Engine::offline, 1.1 }),
                          [] (const testing::TestParamInfo<PitchCase>& info) {
                              return std::string (info.param.engine == TimeStretcher::Engine::live ? "live" : "offline") + "_r"
                                     + std::to_string ((int) std::lround (info.param.ratio * 100));
                          });

// ---------------------------------------------------------------------------------------------
// Silence, and the decay after a signal.

class EachEngine : public testing::TestWithParam<TimeStretcher::Engine>
{
};

TEST_P (EachEngine, SilenceInGivesSilenceOut)
{
    TimeStretcher stretcher (GetParam());
    stretcher.configure (channels, liveBlock, liveInterval, rate);
    stretcher.setTransposeSemitones (2.0f);
    std::int64_t nonZero = 0;
    ASSERT_TRUE (streamLive (stretcher, 1.1, 512, (std::int64_t) (3 * rate), [] (std::int64_t, int) { return 0.0f; },
                             [&] (std::int64_t, float* const* out, int n, std::int64_t, int) {
                                 for (int c = 0; c < channels; ++c)
                                     nonZero += std::count_if (out[c], out[c] + n, [] (float v) { return v != 0.0f; });
                             }));
    std::vector<float> a (4096, sentinel), b (4096, sentinel);
    float* outs[channels] = { a.data(), b.data() };
    for (int got; (got = stretcher.flush (outs, 4096)) > 0;)
        nonZero += std::count_if (a.begin(), a.begin() + got, [] (float v) { return v != 0.0f; })
                   + std::count_if (b.begin(), b.begin() + got, [] (float v) { return v != 0.0f; });
    EXPECT_EQ (nonZero, 0);
}

TEST_P (EachEngine, DecayAfterASignalHasNoSubnormalsOrNaN)
{
    TimeStretcher stretcher (GetParam());
    stretcher.configure (channels, liveBlock, liveInterval, rate);
    stretcher.setTransposeSemitones (-12.0f);
    const auto signalEnd = (std::int64_t) rate;
    std::int64_t bad = 0, tailNonZero = 0;
    ASSERT_TRUE (streamLive (stretcher, 0.8, 256, 8 * (std::int64_t) rate,
                             [&] (std::int64_t i, int c) { return i < signalEnd ? 0.8f * noiseAt (i, c) : 0.0f; },
                             [&] (std::int64_t first, float* const* out, int n, std::int64_t, int) {
                                 for (int c = 0; c < channels; ++c)
                                     for (int i = 0; i < n; ++i)
                                     {
                                         bad += (std::isnan (out[c][i]) || std::fpclassify (out[c][i]) == FP_SUBNORMAL) ? 1 : 0;
                                         tailNonZero += (first + i > 2 * signalEnd && out[c][i] != 0.0f) ? 1 : 0;
                                     }
                             }));
    EXPECT_EQ (bad, 0);
    // The signal's own tail has died away well before the end.
    EXPECT_EQ (tailNonZero, 0);
}

INSTANTIATE_TEST_SUITE_P (Engines, EachEngine, testing::Values (TimeStretcher::Engine::live, TimeStretcher::Engine::offline),
                          [] (const testing::TestParamInfo<TimeStretcher::Engine>& info) {
                              return std::string (info.param == TimeStretcher::Engine::live ? "live" : "offline");
                          });

// ---------------------------------------------------------------------------------------------
// The audio thread's calls allocate nothing.

TEST (AllocationCounter, CountsThisThreadOnly)
{
    AllocationCounter counter;
    auto* made = new std::vector<int> (100);
    delete made;
    EXPECT_EQ (counter.allocations(), 2);
    EXPECT_EQ (counter.frees(), 2);

    // Starting a thread allocates a little on this thread; the thread's own 1000 allocations must
    // not show up here.
    std::thread other ([] {
        for (int i = 0; i < 1000; ++i)
            delete new int (i);
    });
    other.join();
    EXPECT_LT (counter.allocations(), 2 + 100);
}

TEST_P (EachEngine, ProcessResetAndTranspositionAllocateNothing)
{
    TimeStretcher stretcher (GetParam());
    stretcher.configure (channels, liveBlock, liveInterval, rate);

    const int maxCall = 4096;
    std::vector<std::vector<float>> in ((size_t) channels, std::vector<float> ((size_t) maxCall * 3)), out ((size_t) channels, std::vector<float> ((size_t) maxCall));
    for (int c = 0; c < channels; ++c)
        for (size_t i = 0; i < in[(size_t) c].size(); ++i)
            in[(size_t) c][i] = 0.3f * noiseAt ((std::int64_t) i, c);
    const float* ins[channels] = { in[0].data(), in[1].data() };
    float* outs[channels] = { out[0].data(), out[1].data() };

    long long allocations = 0, frees = 0;
    for (float semitones : { 0.0f, 2.0f, 12.0f, -12.0f, -3.5f, 0.0f })
        for (double ratio : { 1.0, 0.5, 2.0, 1.1, 0.8, 1.25 })
            for (int callSize : { 64, 512, 1024, maxCall })
            {
                AllocationCounter counter;
                stretcher.setTransposeSemitones (semitones);
                stretcher.reset();
                stretcher.process (ins, 300, nullptr, 0); // priming
                double carry = 0.0;
                for (int k = 0; k < 12; ++k)
                {
                    const double x = callSize * ratio * (1.0 + 0.01 * (k % 3)) + carry;
                    const int m = (int) x;
                    carry = x - m;
                    stretcher.process (ins, m, outs, callSize);
                    if (k == 6)
                        stretcher.setTransposeSemitones (semitones + 1.0f);
                }
                stretcher.process (ins, 0, outs, callSize);
                stretcher.process (ins, callSize, outs, 0);
                allocations += counter.allocations();
                frees += counter.frees();
            }
    EXPECT_EQ (allocations, 0);
    EXPECT_EQ (frees, 0);
}
} // namespace
