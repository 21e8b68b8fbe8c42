// Activation of a preloaded song with a fast reset (as an overlap transition's first phase calls it)
// while the previous song plays on the virtual device's real-time clock (48 kHz, 256 frames): 8 and
// 16 stereo 16-bit stems of 10 s and of 4 minutes. The activation hands the decoded samples over
// without copying them, so its time should not follow the stem length. Counters: mean_ms and max_ms
// of one activation against the transition's 400 ms margin (margin_frac = max_ms / 400).
#include "audio/engine/AudioEngine.h"
#include "bench/JuceBenchmarkMain.h"
#include "platform/StorageRoot.h"
#include "platform/VirtualAudioDevice.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

using namespace quorvelle;

namespace
{
constexpr double rate = 48000.0;

std::shared_ptr<StemSamples> stemOf (double seconds)
{
    auto samples = std::make_shared<StemSamples>();
    samples->int16Channels = std::make_unique<std::vector<Int16ChannelData>> (2);
    const auto length = (int64_t) (seconds * rate);
    for (auto& channel : *samples->int16Channels)
    {
        channel.allocate (length);
        for (int64_t i = 0; i < length; ++i)
            channel.samples[(size_t) i] = (int16_t) ((i * 37) % 20000 - 10000);
    }
    return samples;
}

// A session whose `stems` tracks (on the 16 buses in turn) all play `samples`.
std::shared_ptr<AudioEngine::PreloadedSession> sessionOf (const juce::String& songId, int stems, const std::shared_ptr<StemSamples>& samples)
{
    auto session = std::make_shared<AudioEngine::PreloadedSession>();
    session->songId = songId;
    session->sampleRate = rate;
    session->timeSignatureVar = juce::Array<juce::var> { 4, 4 };
    for (int s = 0; s < stems; ++s)
    {
        AudioEngine::PreloadedTrack track;
        track.trackId = "t" + juce::String (s);
        track.busOverride = busCategoryNames()[s % 16];
        track.volumeDb = -6.0f;
        track.samples = samples;
        session->tracks.push_back (std::move (track));
    }
    return session;
}

void BM_ActivatePreloadedWhilePlaying (benchmark::State& state)
{
    const auto stems = (int) state.range (0);
    const auto seconds = (double) state.range (1);

    auto& devices = platform::VirtualAudioDevices::instance();
    devices.reset();
    devices.setCaptureEnabled (false);
    devices.setClock (platform::VirtualAudioDevices::Clock::realTime);
    {
        AudioEngine engine ([] (const juce::String&, const juce::var&) {}, [] { return getStorageRoot(); });
        engine.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
        engine.initSettingsFile();
        engine.setAudioDriver ("Virtual");
        engine.setDeviceBufferSize (256);

        const auto samples = stemOf (seconds);
        engine.setPreloadedSessionForTesting (sessionOf ("warm-up", stems, samples));
        AudioEngine::PreloadActivation request;
        request.songId = "warm-up";
        request.autoPlay = true;
        request.fastReset = true;
        engine.activatePreloadedSong (request);

        double total = 0.0, worst = 0.0;
        int count = 0;
        for (auto _ : state)
        {
            request.songId = "song-" + juce::String (count);
            engine.setPreloadedSessionForTesting (sessionOf (request.songId, stems, samples));
            juce::Thread::sleep (20); // the previous song plays a few blocks
            const auto start = std::chrono::steady_clock::now();
            const bool activated = engine.activatePreloadedSong (request);
            const double ms = std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - start).count();
            if (! activated)
                state.SkipWithError ("activation failed");
            state.SetIterationTime (ms / 1000.0);
            total += ms;
            worst = std::max (worst, ms);
            ++count;
        }
        state.counters["mean_ms"] = count > 0 ? total / count : 0.0;
        state.counters["max_ms"] = worst;
        state.counters["margin_frac"] = worst / 400.0;
        engine.getDeviceManager().closeAudioDevice();
    }
    devices.reset();
}
BENCHMARK (BM_ActivatePreloadedWhilePlaying)
    ->ArgNames ({ "stems", "seconds" })
    ->Args ({ 8, 10 })
    ->Args ({ 16, 10 })
    ->Args ({ 8, 240 })
    ->Args ({ 16, 240 })
    ->UseManualTime()
    ->Unit (benchmark::kMillisecond)
    ->Iterations (30);
} // namespace

int main (int argc, char** argv) { return quorvelle::bench::runWithJuce (argc, argv); }
