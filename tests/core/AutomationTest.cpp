#include "core/Automation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace quorvelle::core;

namespace
{
std::vector<AutomationCue> cues (const char* json) { return readAutomationCues (Json::parse (json)); }
AutomationState base (const char* json) { return readAutomationBaseState (Json::parse (json)); }
AutomationSongMap songMap (const char* json) { return readAutomationSongMap (Json::parse (json)); }

Json evaluate (const std::vector<AutomationCue>& c, double time, double bpm, const AutomationState& b,
               const std::vector<AutomationOverride>& overrides = {}, const AutomationSongMap& map = {})
{
    return automationStateToJson (evaluateAutomation (c, time, bpm, b, overrides, map));
}

// One cue at 10 s ramping over 4 beats (2 s at 120 bpm).
const char* const rampCue = R"([{"id": "c1", "time": 10, "transitionBeats": 4,
                                  "actions": [{"targetId": "t", "control": "volume", "value": -12}]}])";
} // namespace

TEST (CoreAutomation, VolumeRampOverTime)
{
    const auto c = cues (rampCue);
    const auto b = base (R"({"t:volume": 0})");
    struct Case { double time; double expected; };
    const Case cases[] = { { 9.0, 0.0 }, { 10.0, 0.0 }, { 11.0, -6.0 }, { 11.5, -9.0 }, { 12.0, -12.0 }, { 100.0, -12.0 } };
    for (const auto& k : cases)
        EXPECT_EQ (evaluate (c, k.time, 120.0, b)["t:volume"], Json (k.expected)) << k.time;
}

TEST (CoreAutomation, RampStartValues)
{
    struct Case { const char* control; const char* baseState; double expectedMidway; };
    // Halfway through a ramp to 0: from the base number, else 20 (hpf), 20000 (lpf), 0 (others).
    const Case cases[] = { { "hpf", "{}", 10.0 }, { "lpf", "{}", 10000.0 }, { "volume", "{}", 0.0 },
                           { "volume", R"({"t:volume": 8})", 4.0 }, { "hpf", R"({"t:hpf": "text"})", 10.0 } };
    for (const auto& k : cases)
    {
        Json cue = Json::parse (rampCue);
        cue[0]["actions"][0]["control"] = k.control;
        cue[0]["actions"][0]["value"] = 0;
        const auto state = evaluate (readAutomationCues (cue), 11.0, 120.0, base (k.baseState));
        EXPECT_EQ (state[std::string ("t:") + k.control], Json (k.expectedMidway)) << k.control << " " << k.baseState;
    }
}

TEST (CoreAutomation, SecondRampStartsFromTheFirstRampsNumberAtThisMoment)
{
    // First ramp 0 -> -12 over 2 s from 10 s; second ramp at 11 s to 0 over 2 s, from the -6 the
    // first reached at time 12 (when evaluated at 12 the first is complete: -12).
    const auto c = cues (R"([
        {"time": 10, "transitionBeats": 4, "actions": [{"targetId": "t", "control": "volume", "value": -12}]},
        {"time": 11, "transitionBeats": 4, "actions": [{"targetId": "t", "control": "volume", "value": 0}]}])");
    const auto b = base (R"({"t:volume": 0})");
    // At 12: first ramp ended (-12); second ramp halfway from -12 to 0.
    EXPECT_EQ (evaluate (c, 12.0, 120.0, b)["t:volume"], Json (-6.0));
    // At 11: first ramp at -6; second ramp starts from -6 at progress 0.
    EXPECT_EQ (evaluate (c, 11.0, 120.0, b)["t:volume"], Json (-6.0));
}

TEST (CoreAutomation, StepsStringsOverridesAndControlCase)
{
    const auto c = cues (R"([
        {"time": 1, "actions": [{"targetId": "t", "control": "volume", "value": -3}, {"targetId": "t", "control": "mute", "value": true}]},
        {"time": 2, "transitionBeats": 4, "actions": [{"targetId": "s", "control": "lpf", "value": "off"}]},
        {"time": 3, "transitionBeats": 4, "actions": [{"targetId": "u", "control": "Volume", "value": -9}]},
        {"time": 4, "actions": [{"targetId": "o", "control": "volume", "value": -1}]}])");
    const auto b = base (R"({"s:lpf": 500, "o:volume": 0, "x:name": "keep"})");
    const std::vector<AutomationOverride> overrides { { "o", "volume" }, { "none", "x" } };

    const auto during = evaluate (c, 3.5, 120.0, b, overrides);
    EXPECT_EQ (during, Json::parse (R"({"s:lpf": 500.0, "t:mute": true, "t:volume": -3.0, "u:Volume": -9.0, "x:name": "keep"})"));

    const auto after = evaluate (c, 10.0, 120.0, b, overrides);
    EXPECT_EQ (after["s:lpf"], "off"); // the string holds once the ramp has ended
    EXPECT_FALSE (after.contains ("o:volume"));

    // bpm 0 or below: the base state as it is, overridden keys included.
    for (const double bpm : { 0.0, -120.0 })
        EXPECT_EQ (evaluate (c, 10.0, bpm, b, overrides), Json::parse (R"({"s:lpf": 500.0, "o:volume": 0.0, "x:name": "keep"})"));
}

TEST (CoreAutomation, WalkWithoutSongMapStopsAtTheFirstLaterCue)
{
    const auto c = cues (R"([
        {"time": 5, "actions": [{"targetId": "a", "control": "x", "value": 1}]},
        {"time": 1, "actions": [{"targetId": "b", "control": "x", "value": 1}]}])");
    EXPECT_EQ (evaluate (c, 3.0, 120.0, {}), Json::object());
    EXPECT_EQ (evaluate (c, 5.0, 120.0, {}), Json::parse (R"({"a:x": 1.0, "b:x": 1.0})"));
}

TEST (CoreAutomation, SongMapPassesUpToTheCurrentEntry)
{
    // Section S [0, 10) with a step at 2 and a counter cue at 8; section T [10, 20) with a step at 12.
    const auto c = cues (R"([
        {"time": 2, "actions": [{"targetId": "a", "control": "x", "value": "S"}]},
        {"time": 8, "actions": [{"targetId": "a", "control": "n", "value": 1}]},
        {"time": 12, "actions": [{"targetId": "a", "control": "x", "value": "T"}]}])");
    const char* sections = R"("sections": [{"id": "S", "startTime": 0, "duration": 10}, {"id": "T", "startTime": 10, "duration": 10}])";

    struct Case { std::string map; double time; const char* expected; };
    const Case cases[] = {
        { R"({"active": true, "index": 5, "entries": [{"sectionId": "S"}, {"sectionId": "T"}, {"sectionId": "S"}], )" + std::string (sections) + "}",
          5.0, R"({"a:n": 1.0, "a:x": "S"})" },   // index clamped to the last entry, whose horizon is 5
        { R"({"active": true, "index": -1, "entries": [{"sectionId": "T"}, {"sectionId": "S"}], )" + std::string (sections) + "}",
          15.0, R"({"a:x": "T"})" },               // -1 evaluates entry 0 only
        { R"({"active": true, "index": 1, "entries": [{"sectionId": "S", "trimEnd": 3}, {"sectionId": "missing"}], )" + std::string (sections) + "}",
          100.0, R"({"a:x": "S"})" },              // trims cut the cue at 8; an unknown section adds nothing
        { R"({"active": true, "index": 1, "entries": [{"sectionId": "S", "trimStart": 6, "trimEnd": 4}, {"sectionId": "T"}], )" + std::string (sections) + "}",
          11.0, R"({})" },                         // an empty window adds nothing; 12 is past the horizon
        { R"({"active": false, "index": 1, "entries": [{"sectionId": "T"}], )" + std::string (sections) + "}",
          9.0, R"({"a:n": 1.0, "a:x": "S"})" },   // inactive: the plain walk
    };
    for (const auto& k : cases)
        EXPECT_EQ (evaluate (c, k.time, 120.0, {}, {}, songMap (k.map.c_str())), Json::parse (k.expected)) << k.map;
}

TEST (CoreAutomation, RampNearTheEndOfAnEarlierPassIsTakenAtThatWindowEnd)
{
    // A ramp at 9 s over 2 s in section S [0, 10): the pass ends at 10, halfway (-6). The next pass
    // of S, now at 9.5 s, starts that ramp from -6 and is a quarter through it: -6 + (-12 + 6) / 4.
    const auto c = cues (R"([{"time": 9, "transitionBeats": 4, "actions": [{"targetId": "t", "control": "volume", "value": -12}]}])");
    const auto map = songMap (R"({"active": true, "index": 1, "entries": [{"sectionId": "S"}, {"sectionId": "S"}],
                                  "sections": [{"id": "S", "startTime": 0, "duration": 10}]})");
    EXPECT_EQ (evaluate (c, 9.5, 120.0, base (R"({"t:volume": 0})"), {}, map)["t:volume"], Json (-7.5));
}

TEST (CoreAutomation, ReadersAcceptAnyJson)
{
    const auto c = cues (R"([3, {"time": "1", "actions": [null, {"targetId": "a", "control": "c", "value": [1]}]}])");
    ASSERT_EQ (c.size(), 2u);
    EXPECT_EQ (c[0].time, 0.0);
    ASSERT_EQ (c[1].actions.size(), 2u);
    EXPECT_EQ (c[1].actions[1].value, AutomationValue (0.0));
    EXPECT_TRUE (readAutomationCues (Json::parse ("{}")).empty());
    EXPECT_EQ (readAutomationOverrides (Json::parse (R"([1, {"targetId": "t"}])")).size(), 2u);
    const auto map = readAutomationSongMap (Json::parse ("[]"));
    EXPECT_FALSE (map.active);
    EXPECT_EQ (map.index, -1);
    EXPECT_EQ (readAutomationValue (Json::parse ("7")), AutomationValue (7.0));
    EXPECT_EQ (readAutomationValue (Json::parse ("false")), AutomationValue (false));
    EXPECT_EQ (readAutomationValue (Json::parse ("null")), AutomationValue (0.0));
    EXPECT_EQ (automationStateToJson (base (R"({"z": 0, "a": "s", "m": true})")).dump(), R"({"a":"s","m":true,"z":0.0})");
}

namespace
{
// The song-map walk scanning the whole cue list for every pass.
AutomationState fullScanSongMap (const std::vector<AutomationCue>& cues, double time, double bpm, const AutomationState& baseState,
                                 const AutomationSongMap& map)
{
    AutomationState state = baseState;
    AutomationNumbers numbers;
    for (const auto& [key, value] : baseState)
        if (const auto* n = std::get_if<double> (&value))
            numbers[key] = *n;
    const auto last = std::clamp<int64_t> (map.index, 0, static_cast<int64_t> (map.entries.size()) - 1);
    for (int64_t i = 0; i <= last; ++i)
    {
        const auto& e = map.entries[static_cast<std::size_t> (i)];
        const auto s = std::find_if (map.sections.begin(), map.sections.end(), [&] (const AutomationSection& x) { return x.id == e.sectionId; });
        if (s == map.sections.end())
            continue;
        const double ws = s->startTime + e.trimStart;
        const double we = s->startTime + s->duration - e.trimEnd;
        if (ws >= we)
            continue;
        const double horizon = i < last ? we : std::min (we, time);
        for (const auto& c : cues)
            if (ws <= c.time && c.time <= horizon)
                applyAutomationCue (c, horizon, 60.0 / bpm, baseState, state, numbers);
    }
    return state;
}
} // namespace

TEST (CoreAutomation, SongMapWalkMatchesAFullScan)
{
    std::mt19937 rng (99);
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    const char* controls[] = { "volume", "hpf", "lpf", "mute" };

    for (int round = 0; round < 300; ++round)
    {
        AutomationSongMap map;
        map.active = true;
        for (int s = 0; s < 6; ++s)
            map.sections.push_back ({ "s" + std::to_string (s), s * 10.0, 10.0 });
        const int entryCount = 1 + static_cast<int> (unit (rng) * 8);
        for (int e = 0; e < entryCount; ++e)
            map.entries.push_back ({ "s" + std::to_string (static_cast<int> (unit (rng) * 7)), std::floor (unit (rng) * 3), std::floor (unit (rng) * 3) });
        map.index = static_cast<int32_t> (unit (rng) * 10) - 1;

        std::vector<AutomationCue> cues;
        const int cueCount = static_cast<int> (unit (rng) * 40);
        for (int c = 0; c < cueCount; ++c)
        {
            AutomationCue cue;
            cue.time = std::floor (unit (rng) * 120.0) * 0.5; // a grid, so that ties and window edges occur
            cue.transitionBeats = unit (rng) < 0.5 ? std::floor (unit (rng) * 8) : 0.0;
            cue.actions.push_back ({ "t" + std::to_string (static_cast<int> (unit (rng) * 3)), controls[static_cast<int> (unit (rng) * 4)],
                                     AutomationValue (std::floor (unit (rng) * 48) - 24.0) });
            cues.push_back (std::move (cue));
        }
        const double shape = unit (rng);
        if (shape < 0.6)
            std::stable_sort (cues.begin(), cues.end(), [] (const AutomationCue& a, const AutomationCue& b) { return a.time < b.time; });
        else if (shape < 0.8 && ! cues.empty())
        {
            std::stable_sort (cues.begin(), cues.end(), [] (const AutomationCue& a, const AutomationCue& b) { return a.time < b.time; });
            cues[static_cast<std::size_t> (unit (rng) * static_cast<double> (cues.size()))].time = std::nan ("");
        }

        const auto base = readAutomationBaseState (Json::parse (R"({"t0:volume": -3, "t1:hpf": 100, "t2:mute": false})"));
        const double time = unit (rng) * 60.0;
        const auto actual = evaluateAutomation (cues, time, 120.0, base, {}, map);
        ASSERT_EQ (automationStateToJson (actual), automationStateToJson (fullScanSongMap (cues, time, 120.0, base, map))) << "round " << round;
    }
}
