// The engine's automation records: what `setAutomationCues` stores from each payload, and what the
// tick reports of them in PLAYBACK_UPDATE.
#include "audio/engine/AudioEngine.h"
#include "EngineTransportFixture.h"

#include <gtest/gtest.h>

namespace quorvelle
{
namespace
{
using core::Json;

// The four records in one comparable text: cues with their actions, base state, overrides and
// the song map.
std::string describeRecords (const AudioEngine& engine)
{
    const auto value = [] (const core::AutomationValue& v) -> std::string
    {
        if (const auto* d = std::get_if<double> (&v)) return std::to_string (*d);
        if (const auto* b = std::get_if<bool> (&v)) return *b ? "true" : "false";
        return "'" + std::get<std::string> (v) + "'";
    };

    std::string out = "cues:";
    for (const auto& cue : engine.getAutomationCues())
    {
        out += "[" + cue.id + "@" + std::to_string (cue.time) + "/" + std::to_string (cue.transitionBeats);
        for (const auto& a : cue.actions)
            out += " " + a.targetId + "." + a.control + "=" + value (a.value);
        out += "]";
    }
    out += " base:";
    for (const auto& [key, v] : engine.getAutomationBaseState())
        out += "[" + key + "=" + value (v) + "]";
    out += " overrides:";
    for (const auto& o : engine.getAutomationOverrides())
        out += "[" + o.targetId + "." + o.control + "]";
    const auto& map = engine.getAutomationSongMap();
    out += " map:" + std::string (map.active ? "on" : "off") + "," + std::to_string (map.index);
    for (const auto& e : map.entries)
        out += "[" + e.sectionId + " " + std::to_string (e.trimStart) + "-" + std::to_string (e.trimEnd) + "]";
    for (const auto& s : map.sections)
        out += "{" + s.id + " " + std::to_string (s.startTime) + "+" + std::to_string (s.duration) + "}";
    return out;
}

const char* const fullPayload = R"({
  "cues": [ { "id": "c1", "time": 1.5, "transitionBeats": 2,
              "actions": [ { "targetId": "t1", "control": "volume", "value": 0.5 },
                           { "targetId": "t2", "control": "mute", "value": true } ] },
            { "id": "c2", "time": 4, "actions": [ { "targetId": "fx", "control": "preset", "value": "Hall" } ] } ],
  "baseState": { "t1:volume": 1, "t2:mute": false },
  "overrides": [ { "targetId": "t1", "control": "volume" } ],
  "songMap": { "active": true, "index": 1, "entries": [ { "sectionId": "s1", "trimStart": 0.5, "trimEnd": 8 } ],
               "sections": [ { "id": "s1", "startTime": 0, "duration": 10 } ] } })";

const std::string fullRecords =
    "cues:[c1@1.500000/2.000000 t1.volume=0.500000 t2.mute=true][c2@4.000000/0.000000 fx.preset='Hall']"
    " base:[t1:volume=1.000000][t2:mute=false] overrides:[t1.volume]"
    " map:on,1[s1 0.500000-8.000000]{s1 0.000000+10.000000}";

const std::string emptyRecords = "cues: base: overrides: map:off,-1";

TEST (AudioEngineAutomation, StartsEmptyWithCoreAutomationOff)
{
    AudioEngine engine ({}, [] { return juce::File(); });
    EXPECT_EQ (describeRecords (engine), emptyRecords);
    EXPECT_FALSE (engine.isUsingCoreAutomation());
}

TEST (AudioEngineAutomation, EachPayloadReplacesAllFourRecords)
{
    struct Case
    {
        const char* payload;
        std::string expected;
    };
    // Each case starts from the full records: a member that is missing, of another type, or a
    // payload that is not an object, leaves that record empty rather than keeping the old one.
    const std::vector<Case> cases {
        { fullPayload, fullRecords },
        { "{}", emptyRecords },
        { R"({"cues": [{"id": "only", "time": 2}]})", "cues:[only@2.000000/0.000000] base: overrides: map:off,-1" },
        { R"({"baseState": {"m:volume": 0.25}, "songMap": {"index": 3}})", "cues: base:[m:volume=0.250000] overrides: map:off,3" },
        { R"({"cues": {"id": "x"}, "baseState": [1], "overrides": "t1", "songMap": []})", emptyRecords },
        { "[1, 2]", emptyRecords },
        { "null", emptyRecords },
        { "7", emptyRecords },
    };

    for (const auto& c : cases)
    {
        AudioEngine engine ({}, [] { return juce::File(); });
        engine.setAutomationCues (Json::parse (fullPayload));
        engine.setAutomationCues (Json::parse (c.payload));
        EXPECT_EQ (describeRecords (engine), c.expected) << c.payload;
    }
}
//==============================================================================
// The tick's "coreAutomationState": the records resolved at the tick's song time, as JSON text.
class AutomationTick : public test::EngineTransportTest
{
protected:
    juce::var tickUpdate()
    {
        events.clear();
        engine.timerCallback();
        return lastUpdate();
    }
};

TEST_F (AutomationTick, NormalUpdatesCarryTheResolvedStateWhileOnAndNeverTheCountInForm)
{
    struct Case
    {
        const char* what;
        const char* payload;
        bool on;
        const char* expected; // null: the key is absent
    };
    const Case cases[] = {
        { "off", R"({"baseState": {"a:volume": 1}})", false, nullptr },
        { "on, no cues: the base state", R"({"baseState": {"a:volume": 1, "b:mute": false}})", true, R"({"a:volume":1.0,"b:mute":false})" },
        { "a cue passed at song time 0", R"({"cues": [{"id": "c", "time": 0, "actions": [{"targetId": "a", "control": "volume", "value": 0.5}]}],
                                            "baseState": {"a:volume": 1}})", true, R"({"a:volume":0.5})" },
        { "an override removes its key", R"({"cues": [{"id": "c", "time": 0, "actions": [{"targetId": "a", "control": "volume", "value": 0.5}]}],
                                            "baseState": {"a:volume": 1, "b:mute": true}, "overrides": [{"targetId": "a", "control": "volume"}]})",
          true, R"({"b:mute":true})" },
        { "empty records", "{}", true, "{}" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        engine.setAutomationCues (Json::parse (c.payload));
        engine.setUseCoreAutomation (c.on);
        const auto update = tickUpdate();
        ASSERT_EQ (actionOf (update), "PLAYBACK_UPDATE");
        if (c.expected == nullptr)
        {
            EXPECT_FALSE (update.hasProperty ("coreAutomationState"));
            continue;
        }
        const auto state = update.getProperty ("coreAutomationState", {});
        EXPECT_TRUE (state.isString()) << "text, not a nested object";
        EXPECT_EQ (state.toString(), juce::String (c.expected));
    }

    // While a count speaks the tick sends the count-in form: never with the state.
    loadCountSamples();
    openDevice ("Virtual 2", 512, 2);
    addStem ("d", "drums", constant (2.0, 0.1f));
    activate();
    engine.setAutomationCues (Json::parse (R"({"baseState": {"a:volume": 1}})"));
    engine.setUseCoreAutomation (true);
    engine.play (true, true, -1.0, {}, false, -1, -1, -1, -1);
    ASSERT_EQ (engine.getCountInPhase(), 1);
    const auto counting = tickUpdate();
    EXPECT_TRUE ((bool) counting.getProperty ("isCountingIn", false));
    EXPECT_FALSE (counting.hasProperty ("coreAutomationState"));
}
} // namespace
} // namespace quorvelle
