// A preload from PRELOAD_SONG to PRELOAD_COMPLETE of 10 stereo 4-minute 16-bit FLAC stems at 48 kHz,
// whole and head-only (a 30 s head), while the engine plays the load of a large show (EngineLoad.h)
// on the virtual device's real-time clock (48 kHz, 256 frames), against the reference decoders on
// the same files in the same run: `flac -d` and `sox` under `xargs -P <the preloader's worker count>`
// (the head-only peers decode the same 30 s).
// Counters:
//   ratio_flac, ratio_sox   peer seconds / our seconds (target ≥ 1);
//   missed_idle, missed_preload   blocks that ended later than one period after their due time
//       (PaceProbe.h), over the same length of playing before the preload and during it;
//   worst_idle_us, worst_preload_us   the longest router render of one block in each phase;
//   peak_rss_MiB   the process's peak resident size during the preload (the peak is cleared just
//       before), rss_growth_MiB that peak less the resident size before the preload, against the
//       admission's estimate: estimate_MiB and growth_frac = growth / (estimate × 1.1) (target ≤ 1);
//       decoded_MiB is the 16-bit size of the whole stems (the estimate reckons with 44.1 kHz).
// Run one mode per process for a clean peak: --benchmark_filter=preload/0 (1).
#include "BlockTiming.h"
#include "PaceProbe.h"

#include "audio/loading/MemoryAdmission.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/PeakMemory.h"

#include "bench/JuceBenchmarkMain.h"
#include "bench/PeerCommand.h"

#include <chrono>
#include <cstdlib>
#include <fstream>

using namespace quorvelle;

namespace
{
using bench::Clock;
using bench::runShell;
using bench::secondsSince;

constexpr int numStems = 10;
constexpr double stemSeconds = 240.0;
constexpr double headSeconds = 30.0;
constexpr int block = 256;
constexpr double rate = bench::LoadedVirtualEngine::rate;

// Clears the process's peak resident size (VmHWM) back to its resident size now.
void clearPeakResident()
{
    std::ofstream ("/proc/self/clear_refs") << "5";
}

struct PhaseFigures
{
    int64_t missed = 0, blocks = 0, worstMicros = 0;
};

// The probe's and the router's figures over `work` (which returns false when it failed).
template <typename Work>
bool measurePhase (bench::PaceProbe& probe, MultiBusRouter& router, PhaseFigures& figures, Work&& work)
{
    const auto missedBefore = probe.missed.load(), blocksBefore = probe.blocks.load();
    router.maxCallbackMicros.store (0);
    const bool done = work();
    figures.missed = probe.missed.load() - missedBefore;
    figures.blocks = probe.blocks.load() - blocksBefore;
    figures.worstMicros = router.maxCallbackMicros.load();
    return done;
}

void preload (benchmark::State& state)
{
    const bool headOnly = state.range (0) == 1;
    const auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("quorvelle-preload-bench");
    folder.deleteRecursively();
    folder.createDirectory();
    {
        const auto audio = test::makeNoise (2, (int) (stemSeconds * rate), 0.25f, 3);
        for (int i = 0; i < numStems; ++i)
            test::writeAudioFile (folder.getChildFile ("stem" + juce::String (i) + ".flac"), audio, rate, test::FixtureFormat::flac16);
    }

    juce::Array<juce::var> stems;
    for (int i = 0; i < numStems; ++i)
    {
        auto* stem = new juce::DynamicObject();
        stem->setProperty ("id", "stem" + juce::String (i));
        stem->setProperty ("url", "file://" + folder.getChildFile ("stem" + juce::String (i) + ".flac").getFullPathName());
        stems.add (juce::var (stem));
    }
    const juce::var tracks (stems);

    int completed = 0;
    juce::String failure;
    auto& devices = platform::VirtualAudioDevices::instance();
    {
        bench::LoadedVirtualEngine loaded (block, 16, [&] (const juce::String&, const juce::var& e)
                                           {
                                               const auto action = e.getProperty ("action", {}).toString();
                                               if (action == "PRELOAD_COMPLETE")
                                                   ++completed;
                                               else if (action.startsWith ("PRELOAD_") && action != "PRELOAD_PROGRESS")
                                                   failure = action;
                                           });
        if (! bench::deviceOpened (state, loaded))
            return;
        auto& engine = loaded.engine;
        auto& router = engine.getRouter();
        loaded.load.start();
        bench::PaceProbe probe (router, block, rate);
        engine.getDeviceManager().addAudioCallback (&probe);
        devices.setClock (platform::VirtualAudioDevices::Clock::realTime);
        test::runMessageLoopFor (1000); // warm up

        const int workers = std::max (1, std::min ({ juce::SystemStats::getNumCpus(), 8, numStems }));
        const auto list = "cd '" + folder.getFullPathName() + "' && ls *.flac | xargs -P " + juce::String (workers) + " -I{} ";
        const auto headSamples = juce::String ((juce::int64) (headSeconds * rate));
        const auto soxCommand = list + "sox {} -t raw /dev/null" + (headOnly ? " trim 0 " + juce::String (headSeconds) : juce::String());
        const auto flacCommand = list + "sh -c 'flac -d -s -c" + (headOnly ? " --until=" + headSamples : juce::String()) + " {} > /dev/null'";

        PreloadAdmissionInput admissionInput;
        admissionInput.trackCount = numStems;
        admissionInput.durationSec = stemSeconds;
        admissionInput.headOnly = headOnly;
        admissionInput.headLengthSec = headSeconds;
        const auto estimateBytes = decidePreloadAdmission (admissionInput).estimatedBytes;

        double ours = 0, flac = 0, sox = 0;
        PhaseFigures idle, during;
        int64_t rssBeforeKb = 0, peakKb = 0;
        for (auto _ : state)
        {
            if (engine.hasPreloadedSession())
                engine.evictPreloadedSession ("bench");
            test::runMessageLoopFor (200);
            const auto before = completed;
            rssBeforeKb = test::processStatusKb ("VmRSS");
            clearPeakResident();
            const auto start = Clock::now();
            const bool done = measurePhase (probe, router, during, [&]
                                            {
                                                engine.startPreload (tracks, {}, 120.0, {}, 800, "next" + juce::String (before), {}, 0.0, 0.0,
                                                                     false, {}, -1.0, -1.0, stemSeconds, headOnly, 0.0, headSeconds, 0.0);
                                                return test::runMessageLoopUntil ([&] { return completed > before || failure.isNotEmpty(); },
                                                                                  600000);
                                            });
            ours = secondsSince (start);
            peakKb = test::processStatusKb ("VmHWM");
            if (! done || completed == before)
            {
                state.SkipWithError (("no PRELOAD_COMPLETE: " + failure).toRawUTF8());
                break;
            }
            // The same length of playing with nothing loading, for the idle figures.
            measurePhase (probe, router, idle, [&]
                          {
                              test::runMessageLoopFor ((int) (ours * 1000.0));
                              return true;
                          });
            flac = runShell (flacCommand);
            sox = runShell (soxCommand);
        }
        devices.setClock (platform::VirtualAudioDevices::Clock::manual);
        engine.getDeviceManager().removeAudioCallback (&probe);

        if (completed > 0)
        {
            const double estimateMiB = (double) estimateBytes / 1048576.0;
            const double growthMiB = (double) (peakKb - rssBeforeKb) / 1024.0;
            state.counters["ours_s"] = ours;
            state.counters["flac_s"] = flac;
            state.counters["sox_s"] = sox;
            state.counters["ratio_flac"] = flac / ours;
            state.counters["ratio_sox"] = sox / ours;
            state.counters["workers"] = workers;
            state.counters["blocks_preload"] = (double) during.blocks;
            state.counters["missed_preload"] = (double) during.missed;
            state.counters["missed_idle"] = (double) idle.missed;
            state.counters["worst_preload_us"] = (double) during.worstMicros;
            state.counters["worst_idle_us"] = (double) idle.worstMicros;
            state.counters["period_us"] = block / rate * 1.0e6;
            state.counters["peak_rss_MiB"] = (double) peakKb / 1024.0;
            state.counters["rss_growth_MiB"] = growthMiB;
            state.counters["estimate_MiB"] = estimateMiB;
            state.counters["decoded_MiB"] = numStems * stemSeconds * rate * 2 * 2 / 1048576.0;
            state.counters["growth_frac"] = growthMiB / (estimateMiB * 1.1);
        }
        state.SetLabel (headOnly ? "head-only" : "full");
    }
    devices.reset();
    folder.deleteRecursively();
}
BENCHMARK (preload)->DenseRange (0, 1)->Iterations (1)->Unit (benchmark::kSecond)->UseRealTime();
} // namespace

int main (int argc, char** argv) { return quorvelle::bench::runWithJuce (argc, argv); }
