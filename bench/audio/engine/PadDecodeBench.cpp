// Pad decoding through the engine's pad cache (request, decode on the worker, answer on the message
// thread) against the command-line decoders on the same files in the same run: `flac -d -c` for
// FLAC, `sox <file> -t raw /dev/null` for WAV 16 and 24 bit and Ogg Vorbis, and ffmpeg to raw PCM
// for MP3 (Debian's sox has no MP3 reader). Rates are MB/s of decoded 16-bit stereo PCM (the same
// figure for every decoder), best of three runs each.
#include "audio/engine/AudioEngine.h"
#include "bench/JuceBenchmarkMain.h"
#include "platform/StorageRoot.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/MessageLoop.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

using namespace quorvelle;

namespace
{
using Clock = std::chrono::steady_clock;
double secondsSince (Clock::time_point start) { return std::chrono::duration<double> (Clock::now() - start).count(); }

constexpr double seconds = 120.0;
constexpr double rate = 48000.0;
const double pcmMegabytes = seconds * rate * 2 * 2 / 1048576.0;

juce::File folder()
{
    static const auto dir = []
    {
        auto d = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("quorvelle-pad-bench");
        d.createDirectory();
        return d;
    }();
    return dir;
}

// The fixture files, made once: a sine with some noise so that the lossy encoders have work.
juce::File fixture (const juce::String& kind)
{
    const auto wav16 = folder().getChildFile ("pad16.wav");
    if (! wav16.existsAsFile())
    {
        auto audio = test::makeSine (2, (int) (seconds * rate), rate, 440.0, 0.4f);
        const auto noise = test::makeNoise (2, audio.getNumSamples(), 0.05f);
        for (int c = 0; c < 2; ++c)
            audio.addFrom (c, 0, noise, c, 0, audio.getNumSamples());
        test::writeAudioFile (wav16, audio, rate, test::FixtureFormat::wav16);
        test::writeAudioFile (folder().getChildFile ("pad24.wav"), audio, rate, test::FixtureFormat::wav24);
        test::writeAudioFile (folder().getChildFile ("pad.flac"), audio, rate, test::FixtureFormat::flac16);
        const auto in = wav16.getFullPathName().quoted();
        std::system (("sox " + in + " " + folder().getChildFile ("pad.ogg").getFullPathName().quoted() + " 2>/dev/null").toRawUTF8());
        std::system (("ffmpeg -loglevel error -y -i " + in + " -c:a libmp3lame -b:a 192k " + folder().getChildFile ("pad.mp3").getFullPathName().quoted())
                         .toRawUTF8());
    }
    return folder().getChildFile (kind);
}

void padDecode (benchmark::State& state, const char* file, const char* peerCommand)
{
    const auto path = fixture (file);
    if (! path.existsAsFile())
    {
        state.SkipWithError ("fixture could not be made");
        return;
    }
    AudioEngine engine ({}, [] { return getStorageRoot(); });
    engine.setPadRamThresholdForTesting ((juce::int64) 1 << 40);

    double ours = 1e9, peer = 1e9;
    for (auto _ : state)
    {
        for (int run = 0; run < 3; ++run)
        {
            bool answered = false;
            std::shared_ptr<AudioEngine::LoadedPad> pad;
            const auto start = Clock::now();
            engine.requestPadDecode (path.getFullPathName(), [&] (std::shared_ptr<AudioEngine::LoadedPad> p) { pad = p; answered = true; }, false);
            test::runMessageLoopUntil ([&] { return answered; }, 120000);
            ours = std::min (ours, secondsSince (start));
            if (pad == nullptr)
                state.SkipWithError ("decode failed");
            engine.releasePad (path.getFullPathName());

            const auto command = juce::String (peerCommand).replace ("{}", path.getFullPathName().quoted());
            const auto peerStart = Clock::now();
            if (std::system (command.toRawUTF8()) != 0)
                state.SkipWithError ("peer decoder failed");
            peer = std::min (peer, secondsSince (peerStart));
        }
        state.SetIterationTime (ours);
    }
    state.counters["ours_MBps"] = pcmMegabytes / ours;
    state.counters["peer_MBps"] = pcmMegabytes / peer;
    state.counters["ratio"] = peer / ours;
}

const char* soxRaw = "sox {} -t raw /dev/null";
const char* flacDecode = "flac -d -s -c {} > /dev/null";
const char* ffmpegRaw = "ffmpeg -loglevel error -i {} -f s16le -y /dev/null";
} // namespace

BENCHMARK_CAPTURE (padDecode, wav16_vs_sox, "pad16.wav", soxRaw)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (padDecode, wav24_vs_sox, "pad24.wav", soxRaw)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (padDecode, flac_vs_flac, "pad.flac", flacDecode)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (padDecode, ogg_vs_sox, "pad.ogg", soxRaw)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);
BENCHMARK_CAPTURE (padDecode, mp3_vs_ffmpeg, "pad.mp3", ffmpegRaw)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);

int main (int argc, char** argv) { return bench::runWithJuce (argc, argv); }
