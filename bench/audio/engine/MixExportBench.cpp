// The mix export of 16 stereo 4-minute stems at 48 kHz through the whole graph, against the
// reference tools in the same run:
//   WAV: ours against `sox -m -v 1 … -b 16 out.wav` on the same stems as 16-bit WAV files;
//   MP3: ours against `lame -b 320 --cbr -m s -q 2` on sox's mix (skipped when `lame` is absent).
// The 16 stems share one 16-bit noise record in memory, and the 16 files are links to one WAV, so
// both sides read the same bytes 16 times. Counters: seconds, the ratio peer / ours (target ≥ 1)
// and our speed as a multiple of real time.
#include "audio/engine/AudioEngine.h"

#include "platform/VirtualAudioDevice.h"
#include "tests/audio/graph/SongGraphFixture.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include "bench/JuceBenchmarkMain.h"
#include "bench/PeerCommand.h"

#include <chrono>
#include <cstdlib>

using namespace quorvelle;

namespace
{
using bench::Clock;
using bench::runShell;
using bench::secondsSince;

constexpr int numStems = 16;
constexpr double rate = 48000.0;
constexpr double songSeconds = 240.0;

bool haveTool (const char* name) { return std::system ((juce::String ("command -v ") + name + " > /dev/null 2>&1").toRawUTF8()) == 0; }

void mixExport (benchmark::State& state)
{
    const bool mp3 = state.range (0) == 1;
    if (mp3 && ! haveTool ("lame"))
    {
        state.SkipWithError ("lame is not installed: no peer for the MP3 export");
        return;
    }

    test::TempFolder temp;
    const auto folder = temp.folder();
    const auto length = (int64_t) (songSeconds * rate);
    uint32_t seed = 99;
    const auto data = test::makeNoiseStem (length, seed);
    {
        juce::AudioBuffer<float> audio (2, (int) length);
        for (int c = 0; c < 2; ++c)
            for (int64_t i = 0; i < length; ++i)
                audio.setSample (c, (int) i, data[(size_t) c].samples[(size_t) i] / 32768.0f);
        test::writeAudioFile (folder.getChildFile ("stem.wav"), audio, rate, test::FixtureFormat::wav16);
    }
    juce::String inputs;
    for (int i = 0; i < numStems; ++i)
    {
        const auto link = folder.getChildFile ("stem" + juce::String (i) + ".wav");
        folder.getChildFile ("stem.wav").createSymbolicLink (link, true);
        inputs << " -v 1 '" << link.getFullPathName() << "'";
    }

    auto& devices = platform::VirtualAudioDevices::instance();
    devices.reset();
    devices.setCaptureEnabled (false);
    juce::String finalAction;
    AudioEngine engine ([&finalAction] (const juce::String&, const juce::var& e)
                        {
                            const auto action = e.getProperty ("action", {}).toString();
                            if (action == "EXPORT_MIX_COMPLETE" || action == "EXPORT_MIX_ERROR" || action == "EXPORT_MIX_CANCELLED")
                                finalAction = action;
                        },
                        [folder] { return folder.getChildFile ("root"); });
    engine.getDeviceManager().addAudioDeviceType (platform::createVirtualAudioDeviceType());
    engine.initSettingsFile();
    engine.setAudioDriver ("Virtual");
    engine.setDeviceBufferSize (1024);
    engine.setMetronomeMute (true);
    engine.setGuideMute (true);

    const auto& buses = busCategoryNames();
    for (int i = 0; i < numStems; ++i)
    {
        auto track = std::make_unique<AudioEngine::LoadedTrack>();
        track->source = std::make_unique<Int16MemoryAudioSource> (&data);
        track->gain = std::make_unique<SmoothedGainAudioSource> (track->source.get());
        track->tap = std::make_unique<TapAudioSource> (track->gain.get());
        track->busOverride = buses[2 + i % 14];
        engine.addLoadedTrackForTesting ("stem" + juce::String (i), std::move (track));
    }
    engine.activateSongForTesting ("bench", rate, 120.0);

    const auto ours = folder.getChildFile (mp3 ? "ours.mp3" : "ours.wav");
    double oursTotal = 0.0, peerTotal = 0.0;
    int rounds = 0;
    for (auto _ : state)
    {
        finalAction.clear();
        AudioEngine::ExportJob job;
        job.outputPath = ours.getFullPathName();
        job.format = mp3 ? "mp3" : "wav";
        job.sourceEndSec = songSeconds;
        const auto start = Clock::now();
        engine.startExportMix (job);
        if (! test::runMessageLoopUntil ([&] { return finalAction.isNotEmpty(); }, 900000) || finalAction != "EXPORT_MIX_COMPLETE")
        {
            state.SkipWithError ("the export did not complete");
            break;
        }
        oursTotal += secondsSince (start);

        const auto soxMix = folder.getChildFile ("sox.wav").getFullPathName();
        const auto sox = "sox -V1 -m" + inputs + " -b 16 '" + soxMix + "'";
        if (mp3)
        {
            runShell (sox);
            peerTotal += runShell ("lame --quiet -b 320 --cbr -m s -q 2 '" + soxMix + "' '" + folder.getChildFile ("lame.mp3").getFullPathName() + "'");
        }
        else
            peerTotal += runShell (sox);
        ++rounds;
    }
    engine.getDeviceManager().closeAudioDevice();
    if (rounds == 0)
        return;

    state.counters["ours_s"] = oursTotal / rounds;
    state.counters[mp3 ? "lame_s" : "sox_s"] = peerTotal / rounds;
    state.counters["ratio"] = peerTotal / oursTotal;
    state.counters["x_realtime"] = songSeconds * rounds / oursTotal;
    state.SetLabel (mp3 ? "mp3" : "wav");
}
BENCHMARK (mixExport)->DenseRange (0, 1)->Iterations (1)->Unit (benchmark::kSecond)->UseRealTime();
} // namespace

int main (int argc, char** argv) { return quorvelle::bench::runWithJuce (argc, argv); }
