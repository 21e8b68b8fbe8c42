// The whole program driven through `--bridge-stdio`, as scripts and the front end's tests do.
#include "ProgramProcess.h"
#include "TypedDebugLog.h"

#include <gtest/gtest.h>

#include <csignal>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

bool isAck (const juce::var& v, int id)
{
    return actionOf (v) == "MESSAGE_ACK" && v.getProperty ("messageId", {}).isInt() && (int) v.getProperty ("messageId", {}) == id;
}

bool isConnected (const juce::var& v) { return v.getProperty ("status", {}).toString() == "CONNECTED"; }

juce::var coreInvoke (const juce::String& id, const juce::String& payloadJson, juce::var messageId = {})
{
    auto message = makeObject ({ { "action", "CORE_INVOKE" }, { "id", id }, { "method", "NO_SUCH_METHOD" }, { "payloadJson", payloadJson } });
    if (! messageId.isVoid())
        message.getDynamicObject()->setProperty ("messageId", messageId);
    return message;
}

std::optional<juce::var> responseFor (ProgramProcess& program, const juce::String& id, int timeoutMs)
{
    const auto index = program.waitForEvent ([&] (const juce::var& v)
    { return actionOf (v) == "CORE_INVOKE_RESPONSE" && v.getProperty ("id", {}).toString() == id; }, timeoutMs);
    if (! index.has_value())
        return std::nullopt;
    return juce::JSON::parse (program.events()[*index].getProperty ("responseJson", {}).toString());
}

// Sends TEST_CONNECTION and waits for its answer: every earlier line has been handled by then.
std::optional<size_t> roundTrip (ProgramProcess& program, int timeoutMs = 30000)
{
    const auto before = program.lines().size();
    program.send (makeObject ({ { "action", "TEST_CONNECTION" } }));
    return program.waitForEvent (isConnected, timeoutMs, before);
}

TEST (StdioProgram, TestConnectionAnswersConnected)
{
    ProgramProcess program;
    ASSERT_TRUE (program.started());
    program.send (makeObject ({ { "action", "TEST_CONNECTION" }, { "messageId", 5 } }));
    const auto index = program.waitForEvent (isConnected, startupMs);
    ASSERT_TRUE (index.has_value()) << program.stderrText();

    const auto answer = program.events()[*index];
    EXPECT_FALSE (answer.getDynamicObject()->hasProperty ("action"));
    EXPECT_NEAR ((double) answer.getProperty ("serverTime", {}), (double) juce::Time::currentTimeMillis(), 60000.0);

    program.send (coreInvoke ("marker", "{}"));
    ASSERT_TRUE (responseFor (program, "marker", 10000).has_value());
    for (const auto& v : program.events())
        EXPECT_FALSE (isAck (v, 5));

    // Nothing but JSON lines reaches stdout; log lines go to stderr.
    for (const auto& line : program.lines())
        EXPECT_TRUE (juce::JSON::parse (juce::String::fromUTF8 (line.c_str())).isObject()) << line.substr (0, 80);
    // The log line travels on stderr, read by its own thread: wait for it.
    EXPECT_TRUE (program.waitForStderr ("Received Frontend Action: TEST_CONNECTION", 20000)) << program.stderrText();
}

TEST (StdioProgram, BackendReadyCarriesItsFields)
{
    ProgramProcess program;
    const auto index = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (index.has_value()) << program.stderrText();
    const auto ready = program.events()[*index];

    EXPECT_GT ((double) ready.getProperty ("deviceSampleRate", {}), 0.0);
    EXPECT_GT ((int) ready.getProperty ("systemMemoryMB", {}), 0);
    EXPECT_EQ (ready.getProperty ("deviceId", {}).toString().length(), 36);
    EXPECT_EQ (ready.getProperty ("schemaHash", {}).toString(), "dbaf31540c7226f3");
    const auto root = ready.getProperty ("storageRoot", {}).toString();
    EXPECT_TRUE (root.startsWith (juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName())) << root;
    juce::MemoryOutputStream decoded;
    ASSERT_TRUE (juce::Base64::convertFromBase64 (decoded, ready.getProperty ("storageRootB64", {}).toString()));
    EXPECT_EQ (decoded.toUTF8(), root);
    EXPECT_TRUE ((bool) ready.getProperty ("storageRootNeedsChoice", {}));
}

TEST (StdioProgram, RepeatedMessageIdRunsOnce)
{
    ProgramProcess program;
    ASSERT_TRUE (roundTrip (program, startupMs).has_value()) << program.stderrText();

    program.send (coreInvoke ("first", "{}", "12"));
    program.send (coreInvoke ("second", "{}", 12));
    ASSERT_TRUE (roundTrip (program).has_value());

    int acks = 0, responses = 0;
    juce::String answeredId;
    for (const auto& v : program.events())
    {
        acks += isAck (v, 12) ? 1 : 0;
        if (actionOf (v) == "CORE_INVOKE_RESPONSE")
        {
            ++responses;
            answeredId = v.getProperty ("id", {}).toString();
        }
    }
    EXPECT_EQ (acks, 2);
    EXPECT_EQ (responses, 1);
    EXPECT_EQ (answeredId, "first");
}

TEST (StdioProgram, BadCorePayloadAnswersOnceAndTheBridgeGoesOn)
{
    ProgramProcess program;
    program.send (coreInvoke ("bad", "{this is not json"));
    const auto response = responseFor (program, "bad", startupMs);
    ASSERT_TRUE (response.has_value()) << program.stderrText();
    EXPECT_FALSE ((bool) response->getProperty ("ok", true));
    EXPECT_TRUE (response->getProperty ("error", {}).toString().startsWith ("payloadJson parse error: "));

    // A line that is not JSON at all is skipped with a log line.
    program.send (std::string ("this line is not json"));
    ASSERT_TRUE (roundTrip (program).has_value());
    EXPECT_TRUE (program.waitForStderr ("[STDIO-BRIDGE] line is not valid JSON", 20000));

    int responses = 0;
    for (const auto& v : program.events())
        responses += actionOf (v) == "CORE_INVOKE_RESPONSE" ? 1 : 0;
    EXPECT_EQ (responses, 1);
}

TEST (StdioProgram, TypedDataOverTheCapIsDroppedWithItsLogLine)
{
    ProgramProcess program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    // The start-up thread's last log line may follow BACKEND_READY; nothing is sent after it.
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& v)
    {
        const auto text = typedDebugLog (v);
        return text.has_value() && text->rfind ("[INIT-FLOW] BG thread DONE", 0) == 0;
    }, startupMs).has_value()) << program.stderrText();

    const auto before = program.lines().size();
    program.send ("{\"action\":\"TYPED_BRIDGE_V1\",\"messageId\":77,\"data\":\"" + std::string (67'108'865, 'A') + "\"}");
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& v) { return isAck (v, 77); }, 60000, before).has_value());
    ASSERT_TRUE (roundTrip (program, 60000).has_value());
    EXPECT_TRUE (program.waitForStderr ("[BRIDGE-LIMIT] payload rechazado: TYPED_BRIDGE_V1 len=67108865 cap=67108864\n", 30000));

    // The engine's timer reports the playback state on every tick; nothing else may follow the line.
    const auto events = program.events();
    for (size_t i = before; i < events.size(); ++i)
        EXPECT_TRUE (isAck (events[i], 77) || isConnected (events[i]) || actionOf (events[i]) == "PLAYBACK_UPDATE")
            << program.lines()[i].substr (0, 120);
    EXPECT_EQ (program.stderrText().find ("[TypedBridge]"), std::string::npos);

    // Exactly at the cap the data goes on to the typed bridge.
    program.send ("{\"action\":\"TYPED_BRIDGE_V1\",\"data\":\"" + std::string (67'108'864, 'A') + "\"}");
    ASSERT_TRUE (roundTrip (program, 60000).has_value());
    EXPECT_TRUE (program.waitForStderr ("[TypedBridge]", 30000));
    EXPECT_EQ (program.stderrText().find ("len=67108864 "), std::string::npos);
}

TEST (StdioProgram, CorePayloadCapIsInclusive)
{
    ProgramProcess program;
    // One character over the cap: refused without parsing.
    program.send (coreInvoke ("over", juce::String::repeatedString ("a", 67'108'865)));
    auto response = responseFor (program, "over", startupMs);
    ASSERT_TRUE (response.has_value()) << program.stderrText();
    EXPECT_FALSE ((bool) response->getProperty ("ok", true));
    EXPECT_EQ (response->getProperty ("error", {}).toString(), "payloadJson too large (bridge limit)");
    EXPECT_TRUE (program.waitForStderr ("[BRIDGE-LIMIT] payload rechazado: CORE_INVOKE len=67108865 cap=67108864", 30000));

    // Exactly at the cap: a JSON text that is parsed and reaches the core.
    program.send (coreInvoke ("at", "\"" + juce::String::repeatedString ("a", 67'108'862) + "\""));
    response = responseFor (program, "at", 60000);
    ASSERT_TRUE (response.has_value());
    EXPECT_EQ (response->getProperty ("error", {}).toString(), "unknown method: NO_SUCH_METHOD");
}

TEST (StdioProgram, QuitFallsBackAfterThreeSecondsWithoutAnAnswer)
{
    ProgramProcess program;
    ASSERT_TRUE (roundTrip (program, startupMs).has_value()) << program.stderrText();

    // The fallback timer starts when the program reads the request: before the test reads the ACK.
    const auto sentAt = juce::Time::getMillisecondCounterHiRes();
    program.send (makeObject ({ { "action", "WINDOW_CLOSE" }, { "messageId", 1 } }));
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& v) { return isAck (v, 1); }, 20000).has_value());

    const auto status = program.waitForExit (30000);
    ASSERT_TRUE (status.has_value());
    EXPECT_EQ (*status, 0);
    EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - sentAt, 2500.0) << "ended before the fallback";
    EXPECT_NE (program.stderrText().find ("APP_QUIT_REQUEST: no frontend response in 3s, quitting"), std::string::npos);
}

TEST (StdioProgram, QuitHoldWaitsForConfirmation)
{
    ProgramProcess program;
    ASSERT_TRUE (roundTrip (program, startupMs).has_value()) << program.stderrText();

    program.send (makeObject ({ { "action", "WINDOW_CLOSE" } }));
    program.send (makeObject ({ { "action", "APP_QUIT_HOLD" } }));
    ASSERT_TRUE (roundTrip (program).has_value());

    EXPECT_FALSE (program.waitForExit (4000).has_value());
    EXPECT_EQ (program.stderrText().find ("APP_QUIT_REQUEST: no frontend response"), std::string::npos);

    program.send (makeObject ({ { "action", "APP_QUIT_CONFIRMED" } }));
    const auto status = program.waitForExit (30000);
    ASSERT_TRUE (status.has_value());
    EXPECT_EQ (*status, 0);
    EXPECT_NE (program.stderrText().find ("APP_QUIT_CONFIRMED: frontend cleared close, quitting"), std::string::npos);
    EXPECT_EQ (program.stderrText().find ("APP_QUIT_REQUEST: no frontend response"), std::string::npos);
}

TEST (StdioProgram, CancelledHoldLeavesTheNextCloseAWorkingFallback)
{
    ProgramProcess program;
    ASSERT_TRUE (roundTrip (program, startupMs).has_value()) << program.stderrText();

    program.send (makeObject ({ { "action", "WINDOW_CLOSE" } }));
    program.send (makeObject ({ { "action", "APP_QUIT_HOLD" } }));
    program.send (makeObject ({ { "action", "APP_QUIT_CANCELLED" } }));
    ASSERT_TRUE (roundTrip (program).has_value());

    // The first request's fallback fires into a settled state and does nothing.
    EXPECT_FALSE (program.waitForExit (3500).has_value());

    program.send (makeObject ({ { "action", "WINDOW_CLOSE" } }));
    const auto status = program.waitForExit (30000);
    ASSERT_TRUE (status.has_value());
    EXPECT_EQ (*status, 0);
    EXPECT_NE (program.stderrText().find ("APP_QUIT_REQUEST: no frontend response in 3s, quitting"), std::string::npos);
}

TEST (StdioProgram, EndOfInputQuitsAfterAnsweringWhatWasRead)
{
    ProgramProcess program;
    program.send (makeObject ({ { "action", "TEST_CONNECTION" } }));
    program.send (coreInvoke ("last", "{}"));
    program.closeStdin();

    const auto status = program.waitForExit (45000);
    ASSERT_TRUE (status.has_value()) << program.stderrText();
    EXPECT_EQ (*status, 0);
    EXPECT_TRUE (program.waitForEvent (isConnected, 10000).has_value());
    EXPECT_TRUE (responseFor (program, "last", 10000).has_value());
}

TEST (StdioProgram, TerminationSignalQuits)
{
    for (int sig : { SIGTERM, SIGINT })
    {
        ProgramProcess program;
        ASSERT_TRUE (roundTrip (program, startupMs).has_value()) << program.stderrText();
        program.signal (sig);
        const auto status = program.waitForExit (30000);
        ASSERT_TRUE (status.has_value()) << sig;
        EXPECT_EQ (*status, 0) << sig;
    }
}

TEST (StdioProgram, SecondLaunchHandsOverAndExits)
{
    ProgramProcess first;
    ASSERT_TRUE (first.waitForAction ("BACKEND_READY", startupMs).has_value()) << first.stderrText();

    ProgramProcess second;
    const auto status = second.waitForExit (10000);
    ASSERT_TRUE (status.has_value()) << second.stderrText();
    EXPECT_EQ (*status, 0);
    EXPECT_TRUE (second.lines().empty());
    EXPECT_NE (second.stderrText().find ("already running"), std::string::npos);

    EXPECT_TRUE (first.isRunning());
    EXPECT_TRUE (roundTrip (first).has_value());
}
} // namespace
} // namespace quorvelle::test
