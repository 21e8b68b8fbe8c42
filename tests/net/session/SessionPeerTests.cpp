// The session server against outside peers: npm ws devices and headless Chromium showing the
// built-in pages. The peers' npm packages come from scripts/setup-peer.sh.
#include "platform/FrontEndHost.h"
#include "platform/Opener.h"
#include "tests/app/ProgramProcess.h"
#include "tests/app/TypedSessionEvents.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
juce::File sourceFile (const juce::String& relative)
{
    const char* root = std::getenv ("QUORVELLE_SOURCE_DIR");
    return juce::File (juce::String (root != nullptr ? root : ".")).getChildFile (relative);
}

// The program with its session server started, and the events it sends read back.
struct RunningServer
{
    RunningServer()
    {
        program.send (makeObject ({ { "action", "SESSION_START_SERVER" } }));
        const auto status = waitFor ("SESSION_SERVER_STATUS", 45000);
        if (status && (bool) status->getProperty ("running", false))
        {
            port = (int) status->getProperty ("port", {});
            code = status->getProperty ("token", {}).toString().toStdString();
        }
    }

    std::optional<juce::var> waitFor (const juce::String& action, int timeoutMs = 20000)
    {
        const auto index = program.waitForEvent ([&] (const juce::var& line)
        {
            const auto event = typedSessionEvent (line);
            return event && event->getProperty ("action", {}).toString() == action;
        }, timeoutMs, from);
        if (! index)
            return std::nullopt;
        from = *index + 1;
        return typedSessionEvent (program.events()[*index]);
    }

    ProgramProcess program;
    size_t from = 0;
    int port = 0;
    std::string code;
};

// A peer script under node; its stdout lines are JSON reports.
std::unique_ptr<ProgramProcess> startPeer (const juce::String& script, std::vector<std::string> arguments)
{
    const auto node = platform::findExecutableInPath ("node");
    EXPECT_TRUE (node.existsAsFile()) << "node is not installed (scripts/setup.sh)";
    EXPECT_TRUE (sourceFile ("tests/webpeer/node_modules/ws").isDirectory()) << "npm ws is missing (scripts/setup-peer.sh)";
    arguments.insert (arguments.begin(), sourceFile ("tests/net/session/peer/" + script).getFullPathName().toStdString());
    return std::make_unique<ProgramProcess> (arguments, node.getFullPathName().toStdString());
}

// Waits for the report of `step` (or an error report) and returns it.
juce::var reportOf (ProgramProcess& peer, const juce::String& step, int timeoutMs = 60000)
{
    const auto index = peer.waitForEvent ([&] (const juce::var& v)
    {
        const auto s = v.getProperty ("step", {}).toString();
        return s == step || s == "error";
    }, timeoutMs);
    if (! index)
        return {};
    return peer.events()[*index];
}

juce::String text (const juce::var& report, const char* key)
{
    return report.getProperty (key, {}).toString();
}
} // namespace

TEST (SessionServerPeers, ChordTextFunctionsOfTheShippedPage)
{
    auto peer = startPeer ("chord-text.test.js", { sourceFile ("net/session/pages/chord-viewer.html").getFullPathName().toStdString() });
    const auto status = peer->waitForExit (30000);
    ASSERT_TRUE (status.has_value());
    EXPECT_EQ (*status, 0) << peer->stderrText();
    for (const auto& line : peer->lines())
        EXPECT_EQ (line.rfind ("ok ", 0), 0u) << line;
}

TEST (SessionServerPeers, WsDevicesHandshakeCommandPingCapacityAndClose)
{
    RunningServer server;
    ASSERT_NE (server.port, 0) << server.program.stderrText();
    auto peer = startPeer ("devices.ws.js", { std::to_string (server.port), server.code });

    ASSERT_EQ (text (reportOf (*peer, "identified"), "step"), "identified") << peer->stderrText();
    const auto request = server.waitFor ("SESSION_CLIENT_REQUEST");
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->getProperty ("requestedRole", {}).toString(), "controller");
    const auto id = request->getProperty ("clientId", {}).toString();
    server.program.send (makeObject ({ { "action", "SESSION_APPROVE_CLIENT" }, { "clientId", id }, { "approved", true } }));
    EXPECT_EQ (text (reportOf (*peer, "approved"), "text"), R"({"type":"APPROVED","role":"controller"})");

    const auto command = server.waitFor ("SESSION_REMOTE_COMMAND");
    ASSERT_TRUE (command.has_value());
    server.program.send (makeObject ({ { "action", "SESSION_COMMAND_RESULT" }, { "clientId", id }, { "commandId", "n1" }, { "success", false }, { "error", "busy" } }));
    server.program.send (makeObject ({ { "action", "SESSION_BROADCAST_SECTION" }, { "payload", makeObject ({ { "chordLyrics", juce::String::repeatedString ("Am7 G/B ", 9000) } }) } }));
    const auto answers = reportOf (*peer, "answers");
    EXPECT_EQ (platform::toCompactJson (answers.getProperty ("result", {})), R"({"type":"COMMAND_RESULT","commandId":"n1","success":false,"error":"busy"})");
    EXPECT_GT ((int) answers.getProperty ("sectionBytes", 0), 72000); // the 64-bit length form
    EXPECT_EQ (text (answers, "sectionType"), "SECTION");

    EXPECT_EQ (text (reportOf (*peer, "pong"), "payload"), "hello");
    const auto capacity = reportOf (*peer, "capacity");
    EXPECT_EQ ((int) capacity.getProperty ("open", 0), 16) << platform::toCompactJson (capacity);
    EXPECT_NE (text (capacity, "seventeenth"), "opened");

    peer->send (std::string ("go"));
    EXPECT_EQ ((int) reportOf (*peer, "closed").getProperty ("code", 0), 1000) << peer->stderrText();
    EXPECT_EQ (peer->waitForExit (20000), std::optional<int> (0));
}

TEST (SessionServerPeers, BuiltInPagesInChromium)
{
    RunningServer server;
    ASSERT_NE (server.port, 0) << server.program.stderrText();
    auto peer = startPeer ("viewer.chromium.js", { std::to_string (server.port), server.code });

    const auto access = reportOf (*peer, "accessPage");
    ASSERT_EQ (text (access, "step"), "accessPage") << platform::toCompactJson (access) << peer->stderrText();
    EXPECT_EQ (text (access, "title"), juce::String::fromUTF8 ("Quorvelle — Codigo requerido"));
    EXPECT_EQ (text (access, "lang"), "es");
    EXPECT_TRUE (text (access, "text").contains ("Pide el codigo de acceso de 6 caracteres al dispositivo host de Quorvelle."));
    EXPECT_EQ ((int) access.getProperty ("scripts", -1), 0);

    const auto connected = reportOf (*peer, "connected");
    ASSERT_EQ (text (connected, "step"), "connected") << platform::toCompactJson (connected);
    EXPECT_TRUE (text (connected, "waiting").contains ("Esperando datos de la sesion..."));
    EXPECT_EQ (text (connected, "dot"), "rgb(16, 185, 129)");
    const auto request = server.waitFor ("SESSION_CLIENT_REQUEST");
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->getProperty ("clientName", {}).toString(), "WebViewer");
    EXPECT_EQ (request->getProperty ("requestedRole", {}).toString(), "viewer");
    const auto id = request->getProperty ("clientId", {}).toString();

    server.program.send (makeObject ({ { "action", "SESSION_APPROVE_CLIENT" }, { "clientId", id }, { "approved", true } }));
    const auto chords = juce::String::fromUTF8 ("Am7 | G/B C\nAm7 hola \xe2\x81\xa0" "suave\xe2\x81\xa1\n<b>no</b>");
    server.program.send (makeObject ({ { "action", "SESSION_BROADCAST_SECTION" },
                                       { "payload", makeObject ({ { "songTitle", juce::String::fromUTF8 ("Canción") }, { "songKey", "Am" }, { "bpm", 96.4 },
                                                                  { "sectionName", "Coro" }, { "sectionType", "chorus" }, { "sectionColor", "#ff0000" },
                                                                  { "sectionNotes", "Suave" }, { "chordLyrics", chords },
                                                                  { "nextSectionName", "Puente" }, { "nextChordLyrics", "F G" } }) } }));
    peer->send (std::string ("section"));
    const auto section = reportOf (*peer, "section");
    ASSERT_EQ (text (section, "step"), "section") << platform::toCompactJson (section);
    EXPECT_EQ (text (section, "title"), juce::String::fromUTF8 ("Canción"));
    EXPECT_EQ (text (section, "name"), "CORO");
    EXPECT_EQ (text (section, "type"), "chorus");
    EXPECT_EQ (text (section, "badge"), "rgb(255, 0, 0)");
    EXPECT_EQ (text (section, "notes"), "Suave");
    EXPECT_TRUE ((bool) section.getProperty ("notesShown", false));
    EXPECT_EQ (text (section, "key"), "Key: Am");
    EXPECT_EQ (text (section, "bpm"), "96");
    EXPECT_EQ ((int) section.getProperty ("chordLines", 0), 1);
    EXPECT_EQ (platform::toCompactJson (section.getProperty ("lyricChords", {})), R"(["Am7"])");
    EXPECT_EQ (platform::toCompactJson (section.getProperty ("indications", {})), R"(["suave"])");
    EXPECT_TRUE ((bool) section.getProperty ("markupAsText", false));
    EXPECT_EQ (text (section, "next"), "Siguiente: Puente");
    EXPECT_TRUE ((bool) section.getProperty ("waitingHidden", false));

    server.program.send (makeObject ({ { "action", "SESSION_BROADCAST_TRANSPORT" }, { "payload", makeObject ({ { "songTitle", "Otra" }, { "bpm", 120.6 } }) } }));
    peer->send (std::string ("transport"));
    EXPECT_EQ (text (reportOf (*peer, "transport"), "title"), "Otra");

    server.program.send (makeObject ({ { "action", "SESSION_KICK_CLIENT" }, { "clientId", id } }));
    peer->send (std::string ("kicked"));
    EXPECT_EQ (text (reportOf (*peer, "kicked"), "dot"), "rgb(239, 68, 68)");

    // About 3 s later the page asks again.
    const auto again = server.waitFor ("SESSION_CLIENT_REQUEST");
    ASSERT_TRUE (again.has_value());
    EXPECT_NE (again->getProperty ("clientId", {}).toString(), id);
    peer->send (std::string ("done"));
    const auto done = reportOf (*peer, "done");
    EXPECT_EQ (platform::toCompactJson (done.getProperty ("errors", {})), "[]");
    EXPECT_EQ (peer->waitForExit (20000), std::optional<int> (0)) << peer->stderrText();
}

TEST (SessionServerPeers, AnAdmittedViewerThatHearsNothingReconnects)
{
    auto peer = startPeer ("watchdog.chromium.js", { sourceFile ("net/session/pages/chord-viewer.html").getFullPathName().toStdString() });
    const auto done = reportOf (*peer, "done", 90000);
    ASSERT_EQ (text (done, "step"), "done") << platform::toCompactJson (done) << peer->stderrText();
    EXPECT_EQ (text (done, "firstUrl"), "/?name=WebViewer&role=viewer&token=ABC234");
    EXPECT_GE ((int) done.getProperty ("closedAfterMs", 0), 8000);
    EXPECT_GE ((int) done.getProperty ("reconnectedAfterMs", 0), 2900);
    EXPECT_EQ (platform::toCompactJson (done.getProperty ("errors", {})), "[]");
}
} // namespace quorvelle::test
