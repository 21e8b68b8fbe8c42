// Costs of the core paths that run on the message thread: a beat map from a dense tempo map,
// automation on every 16 ms tick, and decoding a large Base64 payload.
#include "core/Automation.h"
#include "core/CoreJson.h"
#include "core/CoreService.h"
#include "core/TimingMaps.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

using namespace quorvelle::core;

namespace
{
// 20,000 tempo points spread over a 60-minute song, tempos between 60 and 180 bpm with many
// steps and ramps.
Json denseTempoPayload()
{
    std::mt19937 rng (1);
    std::uniform_real_distribution<double> tempo (60.0, 180.0);
    Json points = Json::array();
    // About 6,000 quarter notes in 60 minutes at ~100 bpm: a point every 0.3 beats.
    for (int i = 0; i < 20000; ++i)
        points.push_back ({ { "time", i * 0.3 }, { "bpm", tempo (rng) } });
    return { { "tempoMap", points }, { "duration", 3600.0 }, { "timeSignature", { 4, 4 } } };
}

void tempoMapToBeatmap20kPoints (benchmark::State& state)
{
    const auto payload = denseTempoPayload();
    std::size_t beats = 0;
    for (auto _ : state)
    {
        auto response = invokeCoreMethod ("tempoMapToBeatmap", payload);
        beats = response["result"].size();
        benchmark::DoNotOptimize (response);
    }
    state.counters["beats"] = static_cast<double> (beats);
}
BENCHMARK (tempoMapToBeatmap20kPoints)->Unit (benchmark::kMillisecond);

struct AutomationFixture
{
    std::vector<AutomationCue> cues;
    AutomationState base;
    std::vector<AutomationOverride> overrides;
    AutomationSongMap songMap;

    AutomationFixture()
    {
        // 40 sections of 90 s; 200 song-map entries cycling through them; 5,000 cues sorted by
        // time over the hour, on 64 targets and four controls, a third of them ramps.
        std::mt19937 rng (2);
        std::uniform_real_distribution<double> unit (0.0, 1.0);
        const char* controls[] = { "volume", "hpf", "lpf", "mute" };

        Json sections = Json::array();
        for (int s = 0; s < 40; ++s)
            sections.push_back ({ { "id", "sec" + std::to_string (s) }, { "startTime", s * 90.0 }, { "duration", 90.0 } });
        Json entries = Json::array();
        for (int e = 0; e < 200; ++e)
            entries.push_back ({ { "sectionId", "sec" + std::to_string ((e * 7) % 40) }, { "trimStart", 0.5 }, { "trimEnd", 0.5 } });
        songMap = readAutomationSongMap ({ { "active", true }, { "index", 199 }, { "entries", entries }, { "sections", sections } });

        Json cueJson = Json::array();
        for (int c = 0; c < 5000; ++c)
        {
            const auto target = "t" + std::to_string (c % 64);
            const auto* control = controls[c % 4];
            cueJson.push_back ({ { "id", "c" + std::to_string (c) },
                                 { "time", c * (3600.0 / 5000.0) },
                                 { "transitionBeats", c % 3 == 0 ? 4.0 : 0.0 },
                                 { "actions", Json::array ({ { { "targetId", target }, { "control", control },
                                                               { "value", unit (rng) * -24.0 } } }) } });
        }
        cues = readAutomationCues (cueJson);

        Json baseJson = Json::object();
        for (int t = 0; t < 64; ++t)
            for (const auto* control : controls)
                baseJson["t" + std::to_string (t) + ":" + control] = 0.0;
        base = readAutomationBaseState (baseJson);
        overrides = readAutomationOverrides (Json::parse (R"([{"targetId": "t1", "control": "volume"}])"));
    }
};

void evaluateAutomationTick (benchmark::State& state)
{
    const AutomationFixture f;
    if (state.range (0) == 0)
        const_cast<AutomationSongMap&> (f.songMap).active = false;
    for (auto _ : state)
    {
        const auto result = evaluateAutomation (f.cues, 1800.0, 120.0, f.base, f.overrides, f.songMap);
        auto text = automationStateToJson (result).dump();
        benchmark::DoNotOptimize (text);
    }
}
BENCHMARK (evaluateAutomationTick)->Arg (1)->Arg (0)->ArgName ("songMap")->Unit (benchmark::kMicrosecond);

void decodeBase64_64MB (benchmark::State& state)
{
    std::mt19937 rng (3);
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text (64u * 1024 * 1024, 'A');
    for (auto& c : text)
        c = alphabet[rng() % 64];
    for (auto _ : state)
    {
        auto bytes = decodeBase64 (text);
        benchmark::DoNotOptimize (bytes.data());
    }
    state.SetBytesProcessed (static_cast<int64_t> (state.iterations()) * static_cast<int64_t> (text.size()));
}
BENCHMARK (decodeBase64_64MB)->Unit (benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
