// The analysis and automation rows of the dispatcher, and the sign-in callback event, on a
// recording front-end host: what each stores, logs and sends.
#include "BridgeTestSupport.h"

#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
class AnalysisActions : public MainComponentFixture
{
protected:
    AudioEngine& engine() { return component->getAudioEngine(); }

    // The events sent as JSON (the recording typed bridge leaves "TYPED:" markers beside them).
    std::vector<juce::var> jsonEvents() const
    {
        std::vector<juce::var> found;
        for (const auto& e : host.events())
            if (! e.payload.getProperty ("action", {}).toString().startsWith ("TYPED:"))
                found.push_back (e.payload);
        return found;
    }

    juce::var automationCues (const juce::String& payloadJson)
    {
        return makeObject ({ { "action", "SET_AUTOMATION_CUES" }, { "payloadJson", payloadJson } });
    }
};

TEST_F (AnalysisActions, AutomationCuesAreReplacedByValidJsonAndKeptOnAParseError)
{
    make (true);
    deliver (automationCues (R"({"cues": [{"id": "c1", "time": 1.5, "actions": [{"targetId": "t1", "control": "volume", "value": 0.5}]}],
                                "baseState": {"t1:volume": 1}, "overrides": [{"targetId": "t2", "control": "mute"}],
                                "songMap": {"active": true, "index": 0, "entries": [{"sectionId": "s1"}]}})"));
    ASSERT_EQ (engine().getAutomationCues().size(), 1u);
    EXPECT_EQ (engine().getAutomationCues()[0].id, "c1");
    EXPECT_EQ (engine().getAutomationBaseState().size(), 1u);
    ASSERT_EQ (engine().getAutomationOverrides().size(), 1u);
    EXPECT_EQ (engine().getAutomationOverrides()[0].control, "mute");
    EXPECT_TRUE (engine().getAutomationSongMap().active);
    EXPECT_TRUE (jsonEvents().empty()) << "stored silently";
    EXPECT_TRUE (typed->calls.empty());

    // Text that is not JSON (an empty one included) changes nothing and logs the parser's own
    // message, also to the front end as DEBUG_LOG.
    for (const juce::String bad : { "", "{\"cues\": [", "not json", "{} {}", "{/* no comments */}" })
    {
        typed->calls.clear();
        std::string parserMessage;
        try
        {
            const auto parsed = core::Json::parse (bad.toStdString(), nullptr, true, false);
            ADD_FAILURE() << bad << " parsed as " << parsed.dump();
        }
        catch (const core::Json::exception& e)
        {
            parserMessage = e.what();
        }
        ASSERT_FALSE (parserMessage.empty()) << bad;

        deliver (automationCues (bad));
        const auto line = "[AUTO-CORE] payloadJson parse error: " + parserMessage;
        EXPECT_EQ (logger.count (juce::String (line)), 1) << bad;
        EXPECT_EQ (typed->calls, std::vector<std::string> { "sendDebugLog|" + line }) << bad;
        ASSERT_EQ (engine().getAutomationCues().size(), 1u) << bad;
        EXPECT_EQ (engine().getAutomationCues()[0].id, "c1");
        EXPECT_EQ (engine().getAutomationBaseState().size(), 1u);
        EXPECT_EQ (engine().getAutomationOverrides().size(), 1u);
        EXPECT_TRUE (engine().getAutomationSongMap().active);
    }

    // A valid payload replaces all four records, also those it does not name.
    deliver (automationCues (R"({"cues": [{"id": "c2"}, {"id": "c3"}]})"));
    ASSERT_EQ (engine().getAutomationCues().size(), 2u);
    EXPECT_EQ (engine().getAutomationCues()[1].id, "c3");
    EXPECT_TRUE (engine().getAutomationBaseState().empty());
    EXPECT_TRUE (engine().getAutomationOverrides().empty());
    EXPECT_FALSE (engine().getAutomationSongMap().active);
    EXPECT_EQ (engine().getAutomationSongMap().index, -1);
    EXPECT_TRUE (jsonEvents().empty());
}

TEST_F (AnalysisActions, UseCoreAutomationIsOnOnlyForEnabledTrue)
{
    make (true);
    struct Case
    {
        juce::var message;
        bool expected;
    };
    // From on, each case says where the flag ends; a missing "enabled" switches it off.
    const std::vector<Case> cases {
        { makeObject ({ { "action", "SET_USE_CORE_AUTOMATION" }, { "enabled", true } }), true },
        { makeObject ({ { "action", "SET_USE_CORE_AUTOMATION" }, { "enabled", false } }), false },
        { makeObject ({ { "action", "SET_USE_CORE_AUTOMATION" } }), false },
    };

    for (const auto& c : cases)
    {
        engine().setUseCoreAutomation (true);
        typed->calls.clear();
        deliver (c.message);
        const auto line = std::string ("[AUTO-CORE] useCoreAutomation=") + (c.expected ? "ON" : "OFF");
        EXPECT_EQ (engine().isUsingCoreAutomation(), c.expected) << juce::JSON::toString (c.message, true);
        EXPECT_EQ (typed->calls, std::vector<std::string> { "sendDebugLog|" + line });
    }
    EXPECT_EQ (logger.count ("[AUTO-CORE] useCoreAutomation=ON"), 1);
    EXPECT_EQ (logger.count ("[AUTO-CORE] useCoreAutomation=OFF"), 2);
    EXPECT_TRUE (jsonEvents().empty()) << "the debug line goes typed only";
}

TEST_F (AnalysisActions, OAuthCallbackTravelsAsJsonWithTheUrlUnchanged)
{
    make (true);
    const juce::String url = "http://127.0.0.1:53682/callback?code=a%20b&state=s";
    component->emitOAuthCallback (url);

    const auto events = host.events();
    ASSERT_EQ (events.size(), 1u);
    EXPECT_EQ (events[0].name, "fromNative");
    EXPECT_EQ (juce::JSON::toString (events[0].payload, true),
               R"({"action": "OAUTH_CALLBACK", "url": "http://127.0.0.1:53682/callback?code=a%20b&state=s"})");
    EXPECT_TRUE (typed->calls.empty());

    // The routed path drops it while the front end is not visible.
    host.clearEvents();
    host.setVisible (false);
    component->emitOAuthCallback (url);
    host.setVisible (true);
    EXPECT_TRUE (host.events().empty());
}

TEST_F (AnalysisActions, JobsRunWhileTheEngineStartsAndAnswerDirectlyWithTheirIds)
{
    make (false); // the gate stays closed throughout
    deliver (makeObject ({ { "action", "FINGERPRINT_AUDIO_FILE" }, { "id", 7 }, { "path", (temp / "missing.wav").getFullPathName() } }));
    deliver (makeObject ({ { "action", "MEASURE_GROUP_LOUDNESS" }, { "groupId", "g" }, { "paths", "not an array" } }));
    deliver (makeObject ({ { "action", "MIX_STEMS_FOR_BPM" }, { "id", "mix" }, { "outPath", (temp / "out.wav").getFullPathName() } }));
    deliver (makeObject ({ { "action", "SUBTRACT_STEMS" }, { "id", "sub" }, { "messageId", 3 } }));

    const auto results = [this]
    {
        std::vector<juce::var> found;
        for (const auto& e : host.events())
            if (e.payload.getProperty ("action", {}).toString() != "MESSAGE_ACK")
                found.push_back (e.payload);
        return found;
    };
    ASSERT_TRUE (runMessageLoopUntil ([&] { return results().size() >= 4; }, 20000)) << results().size();

    // Order of arrival is the order the jobs finish: compare them by action.
    std::map<juce::String, juce::String> byAction;
    for (const auto& r : results())
    {
        auto* o = r.getDynamicObject();
        ASSERT_NE (o, nullptr);
        ASSERT_GE (o->getProperties().size(), 3);
        EXPECT_EQ (o->getProperties().getName (0).toString(), "action");
        EXPECT_EQ (o->getProperties().getName (1).toString(), "id");
        byAction[r.getProperty ("action", {}).toString()] = juce::JSON::toString (r, true);
    }
    EXPECT_EQ (byAction["FINGERPRINT_AUDIO_RESULT"], R"({"action": "FINGERPRINT_AUDIO_RESULT", "id": "7", "ok": false, "error": "file_not_found"})");
    EXPECT_EQ (byAction["LOUDNESS_RESULT"],
               R"({"action": "LOUDNESS_RESULT", "id": "", "groupId": "g", "ok": true, "valid": false, "loudnessLufs": 0.0, "decoded": 0})");
    EXPECT_TRUE (byAction["MIX_FOR_BPM_COMPLETE"].startsWith (R"({"action": "MIX_FOR_BPM_COMPLETE", "id": "mix", "ok": false,)"))
        << byAction["MIX_FOR_BPM_COMPLETE"];
    EXPECT_TRUE (byAction["SUBTRACT_COMPLETE"].startsWith (R"({"action": "SUBTRACT_COMPLETE", "id": "sub", "ok": false,)"))
        << byAction["SUBTRACT_COMPLETE"];

    EXPECT_EQ (results().size(), 4u);
    EXPECT_TRUE (typed->calls.empty()) << "results are never typed";
    EXPECT_EQ (logger.count ("[BRIDGE-GATE]"), 0);
    EXPECT_FALSE (engine().isInitialiseComplete());
}
} // namespace
} // namespace quorvelle::test
