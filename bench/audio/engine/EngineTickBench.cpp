// The engine's 16 ms tick with 16 playing stems (one per bus): song time, peaks of every bus and
// track, PLAYBACK_UPDATE built and handed to a sink. Between ticks the Virtual device renders 768
// samples (16 ms at 48 kHz) on its manual clock. Reported as fractions of the 16 ms period; with core
// automation on (5,000 cues, a song map of 200 entries) and off, in the same run.
#include "bench/JuceBenchmarkMain.h"
#include "audio/engine/AudioEngine.h"
#include "platform/StorageRoot.h"
#include "platform/VirtualAudioDevice.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace quorvelle::bench
{
// 5,000 cues of two actions over 300 s and an active song map of 200 sections.
static core::Json largeAutomation()
{
    auto cues = core::Json::array();
    for (int i = 0; i < 5000; ++i)
        cues.push_back ({ { "id", "cue-" + std::to_string (i) },
                          { "time", i * 0.06 },
                          { "transitionBeats", i % 3 },
                          { "actions", core::Json::array ({ { { "targetId", "track-" + std::to_string (i % 40) }, { "control", "volume" }, { "value", (i % 10) / 10.0 } },
                                                            { { "targetId", "fx-" + std::to_string (i % 8) }, { "control", "mix" }, { "value", (i % 7) / 7.0 } } }) } });
    auto entries = core::Json::array(), sections = core::Json::array(), base = core::Json::object();
    for (int i = 0; i < 200; ++i)
    {
        entries.push_back ({ { "sectionId", "s" + std::to_string (i) }, { "trimStart", 0.0 }, { "trimEnd", 1.5 } });
        sections.push_back ({ { "id", "s" + std::to_string (i) }, { "startTime", i * 1.5 }, { "duration", 1.5 } });
    }
    for (int i = 0; i < 40; ++i)
        base["track-" + std::to_string (i) + ":volume"] = 1.0;
    return { { "cues", cues }, { "baseState", base }, { "songMap", { { "active", true }, { "index", 150 }, { "entries", entries }, { "sections", sections } } } };
}

static void engineTick (benchmark::State& state, bool automation)
{
    auto& devices = platform::VirtualAudioDevices::instance();
    devices.reset();
    int sent = 0;
    AudioEngine engine ([&sent] (const juce::String&, const juce::var&) { ++sent; }, [] { return getStorageRoot(); });
    engine.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
    engine.initSettingsFile();
    engine.setAudioDriver ("Virtual");
    engine.setDeviceBufferSize (256);

    juce::AudioBuffer<float> noise (2, 48000 * 30);
    juce::Random random (7);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < noise.getNumSamples(); ++i)
            noise.setSample (c, i, random.nextFloat() * 0.2f - 0.1f);
    for (const auto& bus : busCategoryNames())
    {
        auto track = std::make_unique<AudioEngine::LoadedTrack>();
        track->source = std::make_unique<juce::MemoryAudioSource> (noise, false);
        track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
        track->tap = std::make_unique<TapAudioSource> (track->gain.get());
        track->busOverride = bus;
        engine.addLoadedTrackForTesting ("stem-" + bus, std::move (track));
    }
    engine.activateSongForTesting ("bench", 48000.0, 120.0);
    if (automation)
    {
        engine.setAutomationCues (largeAutomation());
        engine.setUseCoreAutomation (true);
    }
    engine.play (false, false, -1.0, {}, false, -1, -1, -1, -1);

    constexpr double period = 0.016;
    std::vector<double> seconds;
    for (auto _ : state)
    {
        devices.renderBlocks (3);
        const auto start = std::chrono::steady_clock::now();
        engine.timerCallback();
        seconds.push_back (std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count());
    }

    // The transport's stop waits for a block: render while it runs.
    std::atomic<bool> done { false };
    std::thread stepper ([&] { while (! done.load()) devices.renderBlocks (1); });
    engine.stop();
    done = true;
    stepper.join();
    engine.getDeviceManager().closeAudioDevice();

    double sum = 0.0;
    for (auto s : seconds)
        sum += s;
    std::sort (seconds.begin(), seconds.end());
    state.counters["tick_p99_frac"] = seconds.empty() ? 0.0 : seconds[(size_t) ((double) (seconds.size() - 1) * 0.99)] / period;
    state.counters["tick_mean_frac"] = seconds.empty() ? 0.0 : sum / (double) seconds.size() / period;
    state.counters["tick_max_frac"] = seconds.empty() ? 0.0 : *std::max_element (seconds.begin(), seconds.end()) / period;
    state.counters["updates"] = (double) sent;
}
BENCHMARK_CAPTURE (engineTick, automation_off, false)->Iterations (2000)->Unit (benchmark::kMicrosecond);
BENCHMARK_CAPTURE (engineTick, automation_on, true)->Iterations (2000)->Unit (benchmark::kMicrosecond);
} // namespace quorvelle::bench

int main (int argc, char** argv) { return quorvelle::bench::runWithJuce (argc, argv); }
