// Analysis and import costs: fingerprint and loudness of a 20-minute stereo file (reported as
// times real time), and the import of a 10 MB Live set, compressed and as plain XML.
#include "tests/support/Base64Text.h"
#include "core/AbletonImport.h"
#include "core/Fingerprint.h"
#include "core/Loudness.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

using namespace quorvelle::core;

namespace
{
constexpr double kRate = 44100.0;
constexpr double kSeconds = 20.0 * 60.0;

// 20 minutes of interleaved stereo: a melody of tones over noise, so the fingerprint finds peaks.
const std::vector<float>& twentyMinuteStereo()
{
    static const std::vector<float> samples = [] {
        const auto frames = static_cast<std::size_t> (kRate * kSeconds);
        std::vector<float> out (frames * 2);
        std::mt19937 rng (5);
        std::uniform_real_distribution<float> noise (-0.05f, 0.05f);
        double phase = 0.0;
        for (std::size_t i = 0; i < frames; ++i)
        {
            const double frequency = 220.0 * std::pow (2.0, static_cast<double> ((i / 11025) % 24) / 12.0);
            phase += 2.0 * std::numbers::pi * frequency / kRate;
            const auto tone = static_cast<float> (0.3 * std::sin (phase));
            out[2 * i] = tone + noise (rng);
            out[2 * i + 1] = tone + noise (rng);
        }
        return out;
    }();
    return samples;
}

void fingerprintTwentyMinutesStereo (benchmark::State& state)
{
    const auto& stereo = twentyMinuteStereo();
    const std::size_t frames = stereo.size() / 2;
    std::vector<float> mono (frames);
    std::size_t hashes = 0;
    for (auto _ : state)
    {
        for (std::size_t i = 0; i < frames; ++i)
            mono[i] = stereo[2 * i] * 0.5f + stereo[2 * i + 1] * 0.5f;
        const auto print = computeAudioFingerprint (mono.data(), frames, kRate, {});
        hashes = print.hashes.size();
        benchmark::DoNotOptimize (print.hashes.data());
    }
    state.counters["hashes"] = static_cast<double> (hashes);
    state.counters["xRealTime"] = benchmark::Counter (kSeconds * static_cast<double> (state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK (fingerprintTwentyMinutesStereo)->Unit (benchmark::kMillisecond)->UseRealTime()->Iterations (3);

void loudnessTwentyMinutesStereo (benchmark::State& state)
{
    const auto& stereo = twentyMinuteStereo();
    for (auto _ : state)
    {
        const auto lufs = measureIntegratedLoudness (stereo.data(), stereo.size() / 2, 2, kRate);
        benchmark::DoNotOptimize (lufs);
    }
    state.counters["xRealTime"] = benchmark::Counter (kSeconds * static_cast<double> (state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK (loudnessTwentyMinutesStereo)->Unit (benchmark::kMillisecond)->UseRealTime()->Iterations (3);

// About 10 MB of Live-set XML: tempo and signature automation, many tracks and locators.
const std::string& tenMegabyteSet()
{
    static const std::string text = [] {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ableton MajorVersion=\"5\">\n<LiveSet>\n<Tracks>\n";
        int track = 0;
        while (xml.size() < 9'000'000)
        {
            xml += "<AudioTrack Id=\"" + std::to_string (track) + "\"><Name><EffectiveName Value=\"Track " + std::to_string (track)
                   + "\"/></Name><DeviceChain><Mixer><Volume><Manual Value=\"0.85\"/></Volume></Mixer><MainSequencer><Sample>"
                     "<ArrangerAutomation><Events>";
            for (int clip = 0; clip < 40; ++clip)
                xml += "<AudioClip Time=\"" + std::to_string (clip * 16) + "\"><CurrentStart Value=\"" + std::to_string (clip * 16)
                       + "\"/><CurrentEnd Value=\"" + std::to_string (clip * 16 + 16) + "\"/><Name Value=\"Clip\"/></AudioClip>";
            xml += "</Events></ArrangerAutomation></Sample></MainSequencer></DeviceChain></AudioTrack>\n";
            ++track;
        }
        xml += "</Tracks>\n<MasterTrack><DeviceChain><Mixer><Tempo><Manual Value=\"120\"/><ArrangerAutomation><Events>"
               "<FloatEvent Time=\"-63072000\" Value=\"120\"/>";
        for (int i = 0; i < 2000; ++i)
            xml += "<FloatEvent Time=\"" + std::to_string (i * 4) + "\" Value=\"" + std::to_string (100 + (i % 40)) + "\"/>";
        xml += "</Events></ArrangerAutomation></Tempo><TimeSignature><Manual Value=\"201\"/><ArrangerAutomation><Events>"
               "<EnumEvent Time=\"-63072000\" Value=\"201\"/>";
        for (int i = 0; i < 500; ++i)
            xml += "<EnumEvent Time=\"" + std::to_string (i * 16) + "\" Value=\"" + std::to_string (i % 2 == 0 ? 201 : 200) + "\"/>";
        xml += "</Events></ArrangerAutomation></TimeSignature></Mixer></DeviceChain></MasterTrack>\n<Locators><Locators>";
        for (int i = 0; i < 2000; ++i)
            xml += "<Locator Id=\"" + std::to_string (i) + "\"><Time Value=\"" + std::to_string (i * 4) + "\"/><Name Value=\""
                   + (i % 3 == 0 ? "Verse " : i % 3 == 1 ? "Chorus " : "Bridge ") + std::to_string (i) + "\"/></Locator>";
        xml += "</Locators></Locators>\n<ArrangementLength Value=\"8000\"/>\n</LiveSet>\n</Ableton>\n";
        return xml;
    }();
    return text;
}

std::string base64 (const std::vector<uint8_t>& bytes) { return quorvelle::test::encodeBase64 (bytes); }

void liveSetImportCompressed (benchmark::State& state)
{
    const auto& xml = tenMegabyteSet();
    uLongf size = compressBound (xml.size());
    std::vector<uint8_t> zlib (size);
    compress2 (zlib.data(), &size, reinterpret_cast<const Bytef*> (xml.data()), xml.size(), 6);
    zlib.resize (size);
    const Json payload { { "bytesBase64", base64 (zlib) } };
    for (auto _ : state)
    {
        const auto out = parseAbletonFile (payload);
        benchmark::DoNotOptimize (out);
        if (out.at ("sections").size() != 2000)
            state.SkipWithError ("unexpected import");
    }
    state.counters["xmlMB"] = static_cast<double> (xml.size()) / 1e6;
    state.counters["compressedMB"] = static_cast<double> (zlib.size()) / 1e6;
}
BENCHMARK (liveSetImportCompressed)->Unit (benchmark::kMillisecond)->UseRealTime();

void liveSetImportXml (benchmark::State& state)
{
    const Json payload { { "xmlText", tenMegabyteSet() } };
    for (auto _ : state)
    {
        const auto out = parseAbletonXML (payload);
        benchmark::DoNotOptimize (out);
    }
    state.counters["xmlMB"] = static_cast<double> (tenMegabyteSet().size()) / 1e6;
}
BENCHMARK (liveSetImportXml)->Unit (benchmark::kMillisecond)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
