// Render cost of the playback graph per device block: 40 stems in 16 group buses at 48 kHz, with the
// stretch bypassed, with live stretch (ratio 1.1, +2 semitones on the pitched buses), and for a
// 44.1 kHz session on a 48 kHz device through CUSTOM on 8 outputs; against a plain
// juce::MixerAudioSource of the same stems. The liveStretch cases put live stretch on 0, 10 or 16
// buses and render them serially or through the bus render pool (the other cases use the
// automatic worker count, as the engine does). Each case reports the mean and the 99th percentile of
// the block time as a fraction of the block's duration (counters mean_frac and p99_frac).

#include "tests/audio/graph/SongGraphFixture.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <algorithm>
#include <chrono>
#include <string>
#include "bench/JuceBenchmarkMain.h"

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
constexpr int stems = 40;
constexpr double deviceRate = 48000.0;
constexpr double songSeconds = 8.0;

void report (benchmark::State& state, std::vector<double>& seconds, int block, const std::string& prefix = {})
{
    if (seconds.empty())
        return;
    std::sort (seconds.begin(), seconds.end());
    double sum = 0.0;
    for (auto s : seconds)
        sum += s;
    const double blockSeconds = block / deviceRate;
    state.counters[prefix + "mean_frac"] = sum / (double) seconds.size() / blockSeconds;
    state.counters[prefix + "p99_frac"] = seconds[(size_t) ((double) (seconds.size() - 1) * 0.99)] / blockSeconds;
    state.counters[prefix + "max_frac"] = seconds.back() / blockSeconds;
}

template <typename Render>
void timeBlocks (benchmark::State& state, int block, Render&& render)
{
    std::vector<double> seconds;
    seconds.reserve (1 << 16);
    for (auto _ : state)
    {
        const auto start = std::chrono::steady_clock::now();
        render();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime (elapsed.count());
        seconds.push_back (elapsed.count());
    }
    report (state, seconds, block);
}

enum class Case
{
    bypass,
    stretch,
    custom44k
};

void graphRender (benchmark::State& state, Case which)
{
    const int block = (int) state.range (0);
    const double sessionRate = which == Case::custom44k ? 44100.0 : 48000.0;
    SongGraphFixture graph (stems, sessionRate, deviceRate, songSeconds);
    graph.setBypass (which != Case::stretch);
    graph.setStretch (which == Case::stretch ? 1.1f : 1.0f, which == Case::stretch ? 2.0f : 0.0f);
    int outputs = 2;
    if (which == Case::custom44k)
    {
        outputs = 8;
        for (int g = 0; g < 16; ++g)
            graph.router.setRouting (kBusCategoryNames[(size_t) g], (g % 4) * 2, true);
        graph.router.setDeviceOutputChannels (outputs);
    }
    graph.prepare (block, deviceRate);
    // A loop inside the song keeps it playing; its wraps reset every stretcher.
    graph.loop.setLoopRegion (0, (int64_t) (6.0 * sessionRate), true);

    juce::AudioBuffer<float> buffer (outputs, block);
    for (int i = 0; i < 200; ++i)
        graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));

    timeBlocks (state, block, [&] { graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block)); });
}

// The block in which the loop wraps (every group's stretcher restarts: its start pad) and the 8
// blocks after it, where the restarted stretchers do their first full work; args: block, workers.
void wrapBlock (benchmark::State& state)
{
    const int block = (int) state.range (0);
    SongGraphFixture graph (stems, deviceRate, deviceRate, songSeconds);
    graph.pool.setWorkerCount ((int) state.range (1));
    graph.setBypass (false);
    graph.setStretch (1.1f, 2.0f);
    graph.prepare (block, deviceRate);
    juce::AudioBuffer<float> buffer (2, block);
    for (int i = 0; i < 200; ++i)
        graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));

    const auto timed = [&]
    {
        const auto start = std::chrono::steady_clock::now();
        graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        return elapsed.count();
    };

    std::vector<double> seconds, after;
    for (auto _ : state)
    {
        graph.loop.requestSeek (48000); // taken at the start of the next block: a seek of every stretcher
        const double wrap = timed();
        state.SetIterationTime (wrap);
        seconds.push_back (wrap);
        for (int i = 0; i < 8; ++i)
            after.push_back (timed());
    }
    report (state, seconds, block);
    report (state, after, block, "after_");
}

// Live stretch on the first `buses` groups (the others bypassed), rendered serially (0 workers) or
// through the pool with `workers` threads (-1: the automatic count). With 0 live buses the rule
// keeps the pull serial whatever the pool holds.
void liveStretch (benchmark::State& state, int buses, int block, int workers)
{
    SongGraphFixture graph (stems, deviceRate, deviceRate, songSeconds);
    graph.pool.setWorkerCount (workers);
    graph.setStretch (1.1f, 2.0f);
    for (int g = 0; g < 16; ++g)
        graph.groups[g].stretch->bypass = g >= buses;
    graph.prepare (block, deviceRate);
    graph.loop.setLoopRegion (0, (int64_t) (6.0 * deviceRate), true);
    state.counters["workers"] = graph.pool.workerCount();

    juce::AudioBuffer<float> buffer (2, block);
    for (int i = 0; i < 200; ++i)
        graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block));

    timeBlocks (state, block, [&] { graph.router.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block)); });
}

// The same stems through one plain juce::MixerAudioSource, nothing else.
void plainMixer (benchmark::State& state)
{
    const int block = (int) state.range (0);
    SongGraphFixture graph (stems, deviceRate, deviceRate, songSeconds);
    juce::MixerAudioSource mixer;
    std::vector<std::unique_ptr<Int16MemoryAudioSource>> sources;
    for (auto& track : graph.tracks)
    {
        sources.push_back (std::make_unique<Int16MemoryAudioSource> (&track->data));
        sources.back()->setLooping (true);
        mixer.addInputSource (sources.back().get(), false);
    }
    mixer.prepareToPlay (block, deviceRate);
    juce::AudioBuffer<float> buffer (2, block);
    timeBlocks (state, block, [&] { mixer.getNextAudioBlock (juce::AudioSourceChannelInfo (&buffer, 0, block)); });
}
} // namespace

BENCHMARK_CAPTURE (graphRender, bypass, Case::bypass)->Arg (128)->Arg (256)->Arg (512)->UseManualTime()->Iterations (4000);
BENCHMARK_CAPTURE (graphRender, stretch_1_1_plus2, Case::stretch)->Arg (128)->Arg (256)->Arg (512)->UseManualTime()->Iterations (3000);
BENCHMARK_CAPTURE (graphRender, custom_44k1_on_48k_8out, Case::custom44k)->Arg (128)->Arg (256)->Arg (512)->UseManualTime()->Iterations (4000);
BENCHMARK (wrapBlock)->ArgsProduct ({ { 128, 256, 512 }, { 0, -1 } })->UseManualTime()->Iterations (200);
BENCHMARK (plainMixer)->Arg (128)->Arg (256)->Arg (512)->UseManualTime()->Iterations (4000);

int main (int argc, char** argv)
{
    // liveStretch/<buses>/<block>/<workers>: serial and pooled side by side in one run.
    for (int buses : { 0, 10, 16 })
        for (int workers : { 0, 1, 3, 7, -1 })
        {
            const auto name = "liveStretch/" + std::to_string (buses) + "/256/" + std::to_string (workers);
            benchmark::RegisterBenchmark (name.c_str(), [=] (benchmark::State& state) { liveStretch (state, buses, 256, workers); })
                ->UseManualTime()
                ->Iterations (3000);
        }

    return quorvelle::bench::runWithJuce (argc, argv);
}
