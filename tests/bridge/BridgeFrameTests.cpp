// The bridge frame in-process: acknowledgement and deduplication, the engine gate, the dispatch
// modes, event routing and the quit handshake's request side, on a recording front-end host.
#include "BridgeTestSupport.h"

#include "bridge/JsonBridge.h"
#include "bridge/TypedEventMapping.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quorvelle::test
{
namespace
{
class BridgeFrame : public MainComponentFixture
{
protected:

    std::vector<platform::RecordingFrontEndHost::Event> withAction (const juce::String& action) const
    {
        std::vector<platform::RecordingFrontEndHost::Event> found;
        for (auto& e : host.events())
            if (e.payload.getProperty ("action", {}).toString() == action)
                found.push_back (e);
        return found;
    }

    int acksFor (int messageId) const
    {
        int n = 0;
        for (auto& e : withAction ("MESSAGE_ACK"))
            if (e.payload.getProperty ("messageId", {}).isInt() && (int) e.payload.getProperty ("messageId", {}) == messageId)
                ++n;
        return n;
    }

    // Registers an inline action that counts its runs.
    std::shared_ptr<int> countingAction (const juce::String& name)
    {
        auto runs = std::make_shared<int> (0);
        component->getDispatchTable().add (name, DispatchMode::inlineCall, [runs] (const juce::var&) { ++*runs; });
        return runs;
    }
};

TEST_F (BridgeFrame, TestConnectionAnswersWithoutActionOrAcknowledgement)
{
    make();
    deliver (makeObject ({ { "action", "TEST_CONNECTION" }, { "messageId", 4 } }));

    const auto events = host.events();
    ASSERT_EQ (events.size(), 1u);
    EXPECT_EQ (events[0].name, "fromNative");
    EXPECT_EQ (events[0].payload.getProperty ("status", {}).toString(), "CONNECTED");
    EXPECT_TRUE (events[0].payload.getProperty ("serverTime", {}).isDouble());
    EXPECT_NEAR ((double) events[0].payload.getProperty ("serverTime", {}), (double) juce::Time::currentTimeMillis(), 5000.0);
    EXPECT_FALSE (events[0].payload.getDynamicObject()->hasProperty ("action"));
    EXPECT_EQ (logger.count ("Received Frontend Action: TEST_CONNECTION"), 1);
}

TEST_F (BridgeFrame, NonObjectPayloadsAreIgnoredSilently)
{
    make();
    auto runs = countingAction ("");
    for (const auto& payload : { juce::var ("TEST_CONNECTION"), juce::var (12), parseJson ("[{\"action\":\"TEST_CONNECTION\"}]"), juce::var() })
        deliver (payload);

    EXPECT_TRUE (host.events().empty());
    EXPECT_EQ (*runs, 0);
    EXPECT_EQ (logger.count ("Received Frontend Action"), 0);
}

TEST_F (BridgeFrame, MessageIdForms)
{
    make();
    struct Case { juce::var id; int expectedAck; };
    // Text is parsed, numbers truncated; -1 and absence take no part.
    const std::vector<Case> cases { { 0, 0 }, { "12", 12 }, { 30.9, 30 }, { -1, -1 }, { juce::var(), -1 } };
    auto runs = countingAction ("PING_ACTION");

    for (const auto& c : cases)
    {
        host.clearEvents();
        auto message = makeObject ({ { "action", "PING_ACTION" } });
        if (! c.id.isVoid())
            message.getDynamicObject()->setProperty ("messageId", c.id);
        deliver (message);

        const auto acks = withAction ("MESSAGE_ACK");
        if (c.expectedAck < 0)
            EXPECT_TRUE (acks.empty()) << c.id.toString();
        else
        {
            ASSERT_EQ (acks.size(), 1u) << c.id.toString();
            EXPECT_TRUE (acks[0].payload.getProperty ("messageId", {}).isInt());
            EXPECT_EQ ((int) acks[0].payload.getProperty ("messageId", {}), c.expectedAck);
        }
    }
    EXPECT_EQ (*runs, 5);

    // Repeats of 0 and of 12 (now as a number) are acknowledged and not run; repeats without an id run.
    host.clearEvents();
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", 0 } }));
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", 12 } }));
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", -1 } }));
    EXPECT_EQ (*runs, 6);
    EXPECT_EQ (acksFor (0), 1);
    EXPECT_EQ (acksFor (12), 1);
    EXPECT_EQ (withAction ("MESSAGE_ACK").size(), 2u);
}

TEST_F (BridgeFrame, DeduplicationKeepsTheHundredLargestIds)
{
    make();
    auto runs = countingAction ("PING_ACTION");
    for (int id = 1000; id < 1100; ++id)
        deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", id } }));
    ASSERT_EQ (*runs, 100);

    // Smaller than every remembered id: run, and forgotten at once, so a repeat runs again.
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", 5 } }));
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", 5 } }));
    EXPECT_EQ (*runs, 102);
    EXPECT_EQ (acksFor (5), 2);

    // A new larger id pushes out the smallest (1000), which then runs again; 1001 is still known.
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", 5000 } }));
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", 1000 } }));
    deliver (makeObject ({ { "action", "PING_ACTION" }, { "messageId", 1001 } }));
    EXPECT_EQ (*runs, 104);
}

TEST_F (BridgeFrame, UnknownActionOnlyAcknowledged)
{
    make();
    deliver (makeObject ({ { "action", "NO_SUCH_ACTION" }, { "messageId", 9 } }));
    deliver (makeObject ({ { "messageId", 10 } }));
    runMessageLoopFor (30);

    const auto events = host.events();
    ASSERT_EQ (events.size(), 2u);
    EXPECT_EQ (acksFor (9), 1);
    EXPECT_EQ (acksFor (10), 1);
}

TEST_F (BridgeFrame, GateHoldsTypedMessageUntilReadyThenRunsItOnce)
{
    make (false);
    deliver (makeObject ({ { "action", "TYPED_BRIDGE_V1" }, { "messageId", 7 }, { "data", "QUJD" } }));
    EXPECT_EQ (acksFor (7), 1);
    EXPECT_TRUE (typed->dispatched.empty());

    // An ungated action runs at once meanwhile.
    auto runs = countingAction ("PING_ACTION");
    deliver (makeObject ({ { "action", "PING_ACTION" } }));
    EXPECT_EQ (*runs, 1);

    runMessageLoopFor (300);
    EXPECT_TRUE (typed->dispatched.empty());
    EXPECT_EQ (logger.count ("[BRIDGE-GATE] DEFERRING action=TYPED_BRIDGE_V1"), 1);
    EXPECT_EQ (logger.count ("deferidos=1"), 1);

    component->getAudioEngine().markInitialiseCompleteForTesting();
    ASSERT_TRUE (runMessageLoopUntil ([this] { return ! typed->dispatched.empty(); }, 20000));
    runMessageLoopFor (200);

    ASSERT_EQ (typed->dispatched.size(), 1u);
    EXPECT_EQ (typed->dispatched[0], "QUJD");
    EXPECT_EQ (acksFor (7), 1);
    EXPECT_EQ (logger.count ("[BRIDGE-GATE] gate liberado"), 1);
    EXPECT_EQ (logger.count ("DEFERRING"), 1);
}

TEST_F (BridgeFrame, GatedActionsList)
{
    for (auto* gated : { "LOAD_SONG", "TRANSPORT_CONTROL", "EXPORT_MIX", "TYPED_BRIDGE_V1", "SET_CLICK_SECTION_NEXT_SEEK_TARGET", "OPEN_ASIO_PANEL" })
        EXPECT_TRUE (isEngineGatedAction (gated)) << gated;
    for (auto* open : { "CORE_INVOKE", "FRONTEND_READY", "load_song", "LOAD_SONG ", "", "SET_MASTER_VOLUME" })
        EXPECT_FALSE (isEngineGatedAction (open)) << open;
}

TEST_F (BridgeFrame, DispatchModes)
{
    make();
    std::atomic<bool> inlineRan { false }, postedRan { false }, jobRan { false };
    std::atomic<bool> postedOnMessageThread { false }, jobOnMessageThread { true };
    auto& table = component->getDispatchTable();
    table.add ("MODE_INLINE", DispatchMode::inlineCall, [&] (const juce::var&) { inlineRan = true; });
    table.add ("MODE_POSTED", DispatchMode::posted, [&] (const juce::var&)
    {
        postedOnMessageThread = juce::MessageManager::getInstance()->isThisTheMessageThread();
        postedRan = true;
    });
    table.add ("MODE_JOB", DispatchMode::job, [&] (const juce::var& message)
    {
        jobOnMessageThread = juce::MessageManager::getInstance()->isThisTheMessageThread();
        jobRan = message.getProperty ("value", {}).toString() == "copied";
    });

    deliver (makeObject ({ { "action", "MODE_INLINE" } }));
    EXPECT_TRUE (inlineRan);

    deliver (makeObject ({ { "action", "MODE_POSTED" } }));
    EXPECT_FALSE (postedRan);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return postedRan.load(); }, 20000));
    EXPECT_TRUE (postedOnMessageThread);

    deliver (makeObject ({ { "action", "MODE_JOB" }, { "value", "copied" } }));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return jobRan.load(); }, 20000));
    EXPECT_FALSE (jobOnMessageThread);
}

TEST_F (BridgeFrame, NothingPostedRunsAfterTheComponentIsGone)
{
    make();
    std::atomic<int> postedRuns { 0 };
    component->getDispatchTable().add ("MODE_POSTED", DispatchMode::posted, [&] (const juce::var&) { ++postedRuns; });
    deliver (makeObject ({ { "action", "MODE_POSTED" } }));

    // A worker's event and a job's poster, both pending when the component goes.
    std::thread worker ([this] { component->sendEvent ("fromNative", makeObject ({ { "action", "PLAYBACK_UPDATE" } })); });
    worker.join();
    auto poster = component->makePoster();

    component.reset();
    std::atomic<bool> lateWorkRan { false };
    poster ([&] { lateWorkRan = true; });
    runMessageLoopFor (200);

    EXPECT_EQ (postedRuns.load(), 0);
    EXPECT_FALSE (lateWorkRan);
    EXPECT_TRUE (withAction ("PLAYBACK_UPDATE").empty());
}

TEST_F (BridgeFrame, SendEventFromAWorkerArrivesLaterOnTheMessageThread)
{
    make();
    std::thread worker ([this] { component->sendEvent ("fromNative", makeObject ({ { "action", "PLAYBACK_UPDATE" }, { "n", 1 } })); });
    worker.join();
    EXPECT_TRUE (host.events().empty());
    ASSERT_TRUE (runMessageLoopUntil ([this] { return ! host.events().empty(); }, 20000));

    component->sendEvent ("fromNative", makeObject ({ { "action", "PLAYBACK_UPDATE" }, { "n", 2 } }));
    const auto events = withAction ("PLAYBACK_UPDATE");
    ASSERT_EQ (events.size(), 2u);
    EXPECT_EQ ((int) events[1].payload.getProperty ("n", {}), 2);
}

TEST_F (BridgeFrame, EmitFromNativeRouting)
{
    make();
    struct Case
    {
        juce::String eventName;
        juce::var payload;
        std::vector<juce::String> expected; // host timeline: "name:action" for JSON, "TYPED:<sender>" for typed
    };
    const std::vector<Case> cases {
        { "fromNative", makeObject ({ { "action", "PLAYBACK_UPDATE" } }), { "fromNative:PLAYBACK_UPDATE" } },
        { "fromNative", makeObject ({ { "action", "BACKEND_READY" } }), { "fromNative:BACKEND_READY" } },
        { "fromNative", makeObject ({ { "action", "DEBUG_LOG" }, { "message", "hi" } }), { "fromNative:TYPED:sendDebugLog" } },
        { "fromNative", makeObject ({ { "action", "WAVEFORM_UPDATE" }, { "songId", "s" } }),
          { "fromNative:WAVEFORM_UPDATE", "fromNative:TYPED:sendWaveformUpdate" } },
        { "fromNative", makeObject ({ { "action", "SESSION_LOADED" } }), { "fromNative:SESSION_LOADED", "fromNative:TYPED:sendSessionLoaded" } },
        { "otherEvent", makeObject ({ { "action", "DEBUG_LOG" }, { "message", "hi" } }), { "otherEvent:DEBUG_LOG" } },
        { "fromNative", makeObject ({ { "action", "debug_log" } }), { "fromNative:debug_log" } },
        { "fromNative", makeObject ({ { "status", "x" } }), { "fromNative:" } },
        { "fromNative", juce::var ("DEBUG_LOG"), { "fromNative:" } },
        { "fromNative", juce::var (3), { "fromNative:" } },
        { "fromNative", parseJson ("[{\"action\":\"DEBUG_LOG\"}]"), { "fromNative:" } },
    };

    for (const auto& c : cases)
    {
        host.clearEvents();
        component->emitFromNative (c.eventName, c.payload);
        std::vector<juce::String> timeline;
        for (auto& e : host.events())
            timeline.push_back (e.name + ":" + e.payload.getProperty ("action", {}).toString());
        EXPECT_EQ (timeline, c.expected) << c.eventName << " " << juce::JSON::toString (c.payload, true);
    }

    // Payloads that are not objects travel unchanged.
    host.clearEvents();
    component->emitFromNative ("fromNative", juce::var (3));
    ASSERT_EQ (host.events().size(), 1u);
    EXPECT_EQ ((int) host.events()[0].payload, 3);
}

TEST_F (BridgeFrame, InvisibleFrontEndGetsNothingOnAnyRoute)
{
    make();
    host.setVisible (false);
    component->emitFromNative ("fromNative", makeObject ({ { "action", "PLAYBACK_UPDATE" } }));
    component->emitFromNative ("fromNative", makeObject ({ { "action", "WAVEFORM_UPDATE" } }));
    component->notifyUpdateAvailable ("");
    deliver (makeObject ({ { "action", "TEST_CONNECTION" } }));
    host.setVisible (true);
    runMessageLoopFor (30);
    EXPECT_TRUE (host.events().empty());

    component->notifyUpdateAvailable ("");
    const auto updates = withAction ("UPDATE_AVAILABLE");
    ASSERT_EQ (updates.size(), 1u);
    EXPECT_TRUE (updates[0].payload.getDynamicObject()->hasProperty ("version"));
    EXPECT_EQ (updates[0].payload.getProperty ("version", {}).toString(), "");
}

TEST_F (BridgeFrame, QuitRequestIsSentOnce)
{
    make();
    deliver (makeObject ({ { "action", "WINDOW_CLOSE" }, { "messageId", 1 } }));
    deliver (makeObject ({ { "action", "WINDOW_CLOSE" }, { "messageId", 2 } }));
    component->requestQuit();
    EXPECT_TRUE (component->isQuitRequested());
    EXPECT_EQ (std::count (typed->calls.begin(), typed->calls.end(), "sendAppQuitRequest"), 1);

    deliver (makeObject ({ { "action", "APP_QUIT_HOLD" } }));
    EXPECT_TRUE (component->isQuitOnHold());
    deliver (makeObject ({ { "action", "APP_QUIT_CANCELLED" } }));
    EXPECT_FALSE (component->isQuitRequested());
    EXPECT_FALSE (component->isQuitOnHold());

    // A fresh request after the cancel asks the front end again.
    component->requestQuit();
    EXPECT_EQ (std::count (typed->calls.begin(), typed->calls.end(), "sendAppQuitRequest"), 2);
    EXPECT_EQ (logger.count ("APP_QUIT_HOLD: frontend is showing a quit dialog, waiting"), 1);
    EXPECT_EQ (logger.count ("APP_QUIT_CANCELLED: frontend vetoed close, staying open"), 1);
}

TEST_F (BridgeFrame, FrontendReadyResendsBackendReadyOnlyOnceReady)
{
    make (false);
    deliver (makeObject ({ { "action", "FRONTEND_READY" } }));
    EXPECT_TRUE (withAction ("BACKEND_READY").empty());
    EXPECT_EQ (logger.count ("[FRONTEND-READY] received from JS | initialiseComplete=N"), 1);

    component->getAudioEngine().markInitialiseCompleteForTesting();
    deliver (makeObject ({ { "action", "FRONTEND_READY" } }));
    deliver (makeObject ({ { "action", "FRONTEND_READY" } }));
    const auto ready = withAction ("BACKEND_READY");
    ASSERT_EQ (ready.size(), 2u);

    const auto& event = ready[0].payload;
    const juce::StringArray keys { "action", "deviceSampleRate", "systemMemoryMB", "deviceId", "schemaHash", "storageRoot", "storageRootB64",
                                   "storageRootNeedsChoice" };
    juce::StringArray actualKeys;
    for (auto& p : event.getDynamicObject()->getProperties())
        actualKeys.add (p.name.toString());
    EXPECT_EQ (actualKeys, keys);
    EXPECT_EQ (event.getProperty ("schemaHash", {}).toString(), "dbaf31540c7226f3");
    EXPECT_EQ ((double) event.getProperty ("deviceSampleRate", {}), 44100.0);
    const auto root = event.getProperty ("storageRoot", {}).toString();
    juce::MemoryOutputStream decoded;
    ASSERT_TRUE (juce::Base64::convertFromBase64 (decoded, event.getProperty ("storageRootB64", {}).toString()));
    EXPECT_EQ (decoded.toUTF8(), root);
    EXPECT_EQ (logger.count ("[FRONTEND-READY] re-emitted BACKEND_READY"), 2);
}

TEST_F (BridgeFrame, ExceedsBridgeLimitCountsCharactersNotBytes)
{
    const auto accented = juce::String (juce::CharPointer_UTF8 ("\xc3\xa9\xc3\xa9\xc3\xa9")); // three characters, six bytes
    EXPECT_FALSE (exceedsBridgeLimit (accented, 3, "TEST_LABEL"));
    EXPECT_TRUE (exceedsBridgeLimit (accented, 2, "TEST_LABEL"));
    EXPECT_EQ (logger.count ("[BRIDGE-LIMIT] payload rechazado: TEST_LABEL len=3 cap=2"), 1);
    EXPECT_EQ (logger.count ("[BRIDGE-LIMIT]"), 1);
}

TEST_F (BridgeFrame, CoreInvokeAnswersEveryRequestOnce)
{
    make();
    struct Case { juce::String payloadJson; juce::String errorPrefix; };
    const std::vector<Case> cases {
        { "", "payloadJson parse error: " },
        { "{\"a\": ", "payloadJson parse error: " },
        { "{} // comment", "payloadJson parse error: " },
        { "{}", "unknown method: NO_SUCH_METHOD" },
    };
    for (const auto& c : cases)
    {
        host.clearEvents();
        deliver (makeObject ({ { "action", "CORE_INVOKE" }, { "id", "req" }, { "method", "NO_SUCH_METHOD" }, { "payloadJson", c.payloadJson } }));
        const auto responses = withAction ("CORE_INVOKE_RESPONSE");
        ASSERT_EQ (responses.size(), 1u) << c.payloadJson;
        EXPECT_EQ (responses[0].payload.getProperty ("id", {}).toString(), "req");
        const auto response = parseJson (responses[0].payload.getProperty ("responseJson", {}).toString());
        EXPECT_FALSE ((bool) response.getProperty ("ok", true)) << c.payloadJson;
        EXPECT_TRUE (response.getProperty ("error", {}).toString().startsWith (c.errorPrefix))
            << response.getProperty ("error", {}).toString();
    }
}
} // namespace
} // namespace quorvelle::test
