// Cost of the time stretcher: per block on the audio thread (live engine, and the offline engine for
// comparison), and the throughput of an offline render against real time.
#include "audio/graph/TimeStretcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace
{
using quorvelle::TimeStretcher;

constexpr double rate = 48000.0;
constexpr int channels = 2;

std::vector<float> musicLike (int samples, int channel)
{
    std::vector<float> v ((size_t) samples);
    for (int i = 0; i < samples; ++i)
    {
        const double t = i / rate;
        v[(size_t) i] = (float) (0.3 * std::sin (2.0 * M_PI * 220.0 * t + channel) + 0.2 * std::sin (2.0 * M_PI * 331.0 * t)
                                 + 0.1 * std::sin (2.0 * M_PI * 1237.0 * t) * (i % 24000 < 2000 ? 1.0 : 0.2));
    }
    return v;
}

void configureAsTheSourceDoes (TimeStretcher& stretcher)
{
    stretcher.configure (channels, (int) (0.12f * (float) rate), (int) (0.03f * (float) rate), rate);
}

// One block of the stretch source: n output samples at ratio 1.1 and +2 semitones, the input
// pattern carried as the source does. Reports the block's cost as a fraction of its duration.
void perBlock (benchmark::State& state, TimeStretcher::Engine engine)
{
    const int block = (int) state.range (0);
    const double ratio = 1.1;
    TimeStretcher stretcher (engine);
    configureAsTheSourceDoes (stretcher);
    stretcher.setTransposeSemitones (2.0f);

    const int inputLength = 1 << 20;
    const auto left = musicLike (inputLength, 0), right = musicLike (inputLength, 1);
    std::vector<float> outLeft ((size_t) block), outRight ((size_t) block);
    float* outs[channels] = { outLeft.data(), outRight.data() };

    double carry = 0.0;
    int position = 0;
    auto oneBlock = [&] {
        const double x = (double) ((float) block * (float) ratio) + carry;
        const int m = (int) x;
        carry = x - m;
        if (position + m > inputLength)
            position = 0;
        const float* ins[channels] = { left.data() + position, right.data() + position };
        stretcher.process (ins, m, outs, block);
        position += m;
    };
    for (int i = 0; i < 200; ++i) // past the start
        oneBlock();

    for (auto _ : state)
    {
        oneBlock();
        benchmark::DoNotOptimize (outLeft.data());
    }
    const double blockSeconds = block / rate;
    state.counters["blockFraction"] = benchmark::Counter ((double) state.iterations() * blockSeconds,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_LiveBlock (benchmark::State& state) { perBlock (state, TimeStretcher::Engine::live); }
void BM_OfflineEngineBlock (benchmark::State& state) { perBlock (state, TimeStretcher::Engine::offline); }
BENCHMARK (BM_LiveBlock)->Arg (128)->Arg (256)->Arg (512)->Unit (benchmark::kMicrosecond);
BENCHMARK (BM_OfflineEngineBlock)->Arg (128)->Arg (256)->Arg (512)->Unit (benchmark::kMicrosecond);

// The wrap of a loop: reset, then the first block (start pad included).
void BM_LiveResetAndFirstBlock (benchmark::State& state)
{
    const int block = 256;
    TimeStretcher stretcher (TimeStretcher::Engine::live);
    configureAsTheSourceDoes (stretcher);
    stretcher.setTransposeSemitones (2.0f);
    const auto left = musicLike (4096, 0), right = musicLike (4096, 1);
    std::vector<float> outLeft ((size_t) block), outRight ((size_t) block);
    float* outs[channels] = { outLeft.data(), outRight.data() };
    const float* ins[channels] = { left.data(), right.data() };
    for (auto _ : state)
    {
        stretcher.reset();
        stretcher.process (ins, 282, outs, block);
        benchmark::DoNotOptimize (outLeft.data());
    }
    state.counters["blockFraction"] = benchmark::Counter (block / rate * (double) state.iterations(),
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK (BM_LiveResetAndFirstBlock)->Unit (benchmark::kMicrosecond);

// An offline render of 30 s of stereo, by the prime-process-trim sequence in 32768-sample chunks,
// then flushed. `realtimeFactor` is seconds of audio rendered per second of CPU.
void offlineRender (benchmark::State& state, TimeStretcher::Engine engine)
{
    const double ratio = 1.25;
    const int length = (int) (30 * rate);
    const auto left = musicLike (length, 0), right = musicLike (length, 1);
    const auto total = (int) std::ceil (length / ratio);
    std::vector<float> outLeft ((size_t) total + 65536), outRight ((size_t) total + 65536);

    for (auto _ : state)
    {
        TimeStretcher stretcher (engine);
        configureAsTheSourceDoes (stretcher);
        stretcher.setTransposeSemitones (2.0f);
        std::vector<float> zeros ((size_t) stretcher.inputLatency(), 0.0f);
        const float* prime[channels] = { zeros.data(), zeros.data() };
        stretcher.process (prime, stretcher.inputLatency(), nullptr, 0);
        int consumed = 0, written = 0;
        while (consumed < length)
        {
            const int in = std::min (length - consumed, 32768);
            const int out = std::min (total - written, (int) std::ceil (in / ratio));
            const float* ins[channels] = { left.data() + consumed, right.data() + consumed };
            float* outs[channels] = { outLeft.data() + written, outRight.data() + written };
            stretcher.process (ins, in, outs, out);
            consumed += in;
            written += out;
        }
        float* tail[channels] = { outLeft.data() + written, outRight.data() + written };
        while (stretcher.flush (tail, 65536) > 0)
        {
        }
        benchmark::DoNotOptimize (outLeft.data());
    }
    state.counters["realtimeFactor"] = benchmark::Counter (30.0 * (double) state.iterations(), benchmark::Counter::kIsRate);
}

void BM_OfflineRenderFinerEngine (benchmark::State& state) { offlineRender (state, TimeStretcher::Engine::offline); }
void BM_OfflineRenderFasterEngine (benchmark::State& state) { offlineRender (state, TimeStretcher::Engine::live); }
BENCHMARK (BM_OfflineRenderFinerEngine)->Unit (benchmark::kMillisecond)->Iterations (3);
BENCHMARK (BM_OfflineRenderFasterEngine)->Unit (benchmark::kMillisecond)->Iterations (3);
} // namespace

BENCHMARK_MAIN();
