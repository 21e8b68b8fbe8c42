// The band session server through the whole program: actions on stdin, events decoded from the
// typed lines on stdout, devices over real sockets on 127.0.0.1.
#include "ProgramProcess.h"
#include "TypedSessionEvents.h"

#include "platform/FrontEndHost.h"
#include "tests/support/LoopbackClients.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;

struct Session
{
    explicit Session (ProgramProcess& p) : program (p) {}

    std::optional<juce::var> waitFor (const juce::String& action, const std::function<bool (const juce::var&)>& also = nullptr, int timeoutMs = 15000)
    {
        const auto index = program.waitForEvent ([&] (const juce::var& line)
        {
            const auto event = typedSessionEvent (line);
            return event && event->getProperty ("action", {}).toString() == action && (also == nullptr || also (*event));
        }, timeoutMs, from);
        if (! index)
            return std::nullopt;
        from = *index + 1;
        return typedSessionEvent (program.events()[*index]);
    }

    std::optional<juce::var> start (const juce::var& message = makeObject ({ { "action", "SESSION_START_SERVER" } }))
    {
        program.send (message);
        auto status = waitFor ("SESSION_SERVER_STATUS", nullptr, startupMs);
        if (status && (bool) status->getProperty ("running", false))
        {
            port = (int) status->getProperty ("port", {});
            code = status->getProperty ("token", {}).toString().toStdString();
        }
        return status;
    }

    ProgramProcess& program;
    size_t from = 0;
    int port = 0;
    std::string code;
};

std::string statusLine (const std::string& answer)
{
    return answer.substr (0, answer.find ("\r\n"));
}
} // namespace

TEST (SessionServerProgram, StartRestartAndRefusedPorts)
{
    ProgramProcess program;
    Session session (program);
    const auto status = session.start();
    ASSERT_TRUE (status.has_value()) << program.stderrText();
    EXPECT_TRUE ((bool) status->getProperty ("running", false));
    EXPECT_EQ (session.port, 8765);
    EXPECT_EQ (status->getProperty ("ip", {}).toString(), "127.0.0.1");
    EXPECT_EQ (status->getProperty ("mode", {}).toString(), "teleprompter");
    ASSERT_EQ (session.code.size(), 6u);
    for (auto c : session.code)
        EXPECT_NE (juce::String ("ABCDEFGHJKMNPQRSTUVWXYZ23456789").indexOfChar ((juce::juce_wchar) c), -1);

    const auto firstCode = session.code;
    const auto stopped = session.start (makeObject ({ { "action", "SESSION_START_SERVER" }, { "port", 8765 }, { "mode", "stage" } }));
    ASSERT_TRUE (stopped.has_value());
    EXPECT_FALSE ((bool) stopped->getProperty ("running", true));
    const auto restarted = session.waitFor ("SESSION_SERVER_STATUS");
    ASSERT_TRUE (restarted.has_value());
    EXPECT_TRUE ((bool) restarted->getProperty ("running", false));
    EXPECT_EQ (restarted->getProperty ("mode", {}).toString(), "stage");
    EXPECT_NE (restarted->getProperty ("token", {}).toString().toStdString(), firstCode);

    // The running server holds 8765: a start elsewhere first stops it, so hold a port ourselves.
    juce::StreamingSocket holder;
    ASSERT_TRUE (holder.createListener (0, "0.0.0.0"));
    for (int port : { holder.getBoundPort(), 0, 70000 })
    {
        SCOPED_TRACE (port);
        program.send (makeObject ({ { "action", "SESSION_START_SERVER" }, { "port", port } }));
        const auto failed = session.waitFor ("SESSION_SERVER_STATUS", [] (const juce::var& v) { return v.getProperty ("port", {}).toString() == "0"; });
        ASSERT_TRUE (failed.has_value());
        EXPECT_EQ (platform::toCompactJson (*failed), R"({"action":"SESSION_SERVER_STATUS","running":false,"port":0,"ip":"","mode":"","token":""})");
        EXPECT_TRUE (program.waitForStderr ("[SessionServer] Failed to bind to port " + std::to_string (port), 5000));
    }
    program.send (makeObject ({ { "action", "SESSION_STOP_SERVER" } }));
    const auto stop = session.waitFor ("SESSION_SERVER_STATUS");
    ASSERT_TRUE (stop.has_value());
    EXPECT_FALSE ((bool) stop->getProperty ("running", true));
}

TEST (SessionServerProgram, DevicesJoinFollowAndCommand)
{
    ProgramProcess program;
    Session session (program);
    ASSERT_TRUE (session.start().has_value()) << program.stderrText();
    ASSERT_FALSE (session.code.empty());

    WsTestClient controller, viewer;
    ASSERT_EQ (controller.open (session.port, "/?token=" + session.code), 101);
    controller.send (R"({"type":"IDENTIFY","name":"Ana","role":"controller"})");
    const auto request = session.waitFor ("SESSION_CLIENT_REQUEST");
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->getProperty ("clientName", {}).toString(), "Ana");
    EXPECT_EQ (request->getProperty ("requestedRole", {}).toString(), "controller");
    const auto id = request->getProperty ("clientId", {}).toString();

    ASSERT_EQ (viewer.open (session.port, "/?token=" + session.code + "&name=Luis"), 101);
    viewer.send (R"({"type":"IDENTIFY","name":"Luis"})");
    const auto viewerId = session.waitFor ("SESSION_CLIENT_REQUEST")->getProperty ("clientId", {}).toString();

    // A result reaches a device that is not admitted; an empty error gives no key.
    program.send (makeObject ({ { "action", "SESSION_COMMAND_RESULT" }, { "clientId", id }, { "commandId", "c0" }, { "success", true }, { "error", "" } }));
    const auto result = controller.nextText();
    ASSERT_TRUE (result.has_value());
    EXPECT_NE (result->find ("\r\n"), std::string::npos); // the framework's multi-line JSON
    EXPECT_EQ (platform::toCompactJson (juce::JSON::parse (juce::String::fromUTF8 (result->c_str()))), R"({"type":"COMMAND_RESULT","commandId":"c0","success":true})");

    // Broadcasts skip devices that are not admitted; notifications need both fields.
    program.send (makeObject ({ { "action", "SESSION_BROADCAST_SECTION" }, { "payload", makeObject ({ { "sectionName", "Coro" } }) } }));
    program.send (makeObject ({ { "action", "SESSION_NOTIFY_CLIENT" }, { "clientId", id }, { "notifyType", "" } }));
    program.send (makeObject ({ { "action", "SESSION_APPROVE_CLIENT" }, { "clientId", id }, { "approved", true } }));
    EXPECT_EQ (controller.nextText(), R"({"type":"APPROVED","role":"controller"})");
    const auto connected = session.waitFor ("SESSION_CLIENT_CONNECTED");
    ASSERT_TRUE (connected.has_value());
    EXPECT_EQ (platform::toCompactJson (*connected), R"({"action":"SESSION_CLIENT_CONNECTED","clientId":")" + id.toStdString() + R"(","clientName":"Ana","clientRole":"controller"})");

    const auto section = makeObject ({ { "songTitle", juce::String::fromUTF8 ("Canción") }, { "bpm", 96.5 }, { "nested", juce::Array<juce::var> { 1, "two" } } });
    program.send (makeObject ({ { "action", "SESSION_BROADCAST_SECTION" }, { "payload", section } }));
    program.send (makeObject ({ { "action", "SESSION_BROADCAST_TRANSPORT" }, { "payload", 3 } }));
    program.send (makeObject ({ { "action", "SESSION_BROADCAST_RAW" }, { "raw", "not json {" } }));
    program.send (makeObject ({ { "action", "SESSION_NOTIFY_CLIENT" }, { "clientId", id }, { "notifyType", "PING_ME" } }));
    const auto sectionText = controller.nextText();
    ASSERT_TRUE (sectionText.has_value());
    const auto sectionMessage = juce::JSON::parse (juce::String::fromUTF8 (sectionText->c_str()));
    EXPECT_EQ (sectionMessage.getProperty ("type", {}).toString(), "SECTION");
    for (const auto* key : { "songTitle", "bpm", "nested" })
        EXPECT_EQ (platform::toCompactJson (sectionMessage["data"][key]), platform::toCompactJson (section[key])) << key;
    EXPECT_EQ (platform::toCompactJson (juce::JSON::parse (juce::String::fromUTF8 (controller.nextText()->c_str()))), R"({"type":"TRANSPORT","data":3})");
    EXPECT_EQ (controller.nextText(), "not json {");
    EXPECT_EQ (platform::toCompactJson (juce::JSON::parse (juce::String::fromUTF8 (controller.nextText()->c_str()))), R"({"type":"PING_ME"})");

    controller.send (R"({"type":"COMMAND","commandId":"k9","command":{"op":"seek","to":12.5}})");
    const auto command = session.waitFor ("SESSION_REMOTE_COMMAND");
    ASSERT_TRUE (command.has_value());
    EXPECT_EQ (command->getProperty ("commandId", {}).toString(), "k9");
    EXPECT_EQ (platform::toCompactJson (juce::JSON::parse (command->getProperty ("command", {}).toString())), R"({"op":"seek","to":12.5})");

    // The viewer saw none of it; a vanishing device leaves the program running.
    viewer.close();
    EXPECT_TRUE (session.waitFor ("SESSION_CLIENT_DISCONNECTED", [&] (const juce::var& v) { return v.getProperty ("clientId", {}).toString() == viewerId; }));

    program.send (makeObject ({ { "action", "SESSION_KICK_CLIENT" }, { "clientId", id } }));
    EXPECT_EQ (controller.nextText(), R"({"type":"KICKED"})");
    EXPECT_TRUE (controller.waitUntilClosed());
    EXPECT_TRUE (session.waitFor ("SESSION_CLIENT_DISCONNECTED", [&] (const juce::var& v) { return v.getProperty ("clientId", {}).toString() == id; }));
    EXPECT_TRUE (program.isRunning());
}

// The viewer's files beside the executable: the real binary hard-linked into a temporary tree.
TEST (SessionServerProgram, ServesTheDistFolderBesideTheExecutable)
{
    // Inside the build folder: a hard link cannot cross file systems.
    const auto tree = juce::File (juce::String (ProgramProcess::programPath())).getParentDirectory().getChildFile ("session-dist-" + juce::String (::getpid()));
    struct Cleanup
    {
        juce::File folder;
        ~Cleanup() { folder.deleteRecursively(); }
    } cleanup { tree };
    const auto bin = tree.getChildFile ("app/bin");
    ASSERT_TRUE (bin.createDirectory());
    const auto program = bin.getChildFile ("quorvelle");
    ASSERT_EQ (::link (ProgramProcess::programPath().c_str(), program.getFullPathName().toRawUTF8()), 0) << strerror (errno);

    const auto dist = tree.getChildFile ("app/dist"); // one folder above the executable's
    ASSERT_TRUE (dist.getChildFile ("assets").createDirectory());
    dist.getChildFile ("viewer.html").replaceWithText ("<html>dist viewer</html>");
    dist.getChildFile ("index.html").replaceWithText ("<html>not this one</html>");
    dist.getChildFile ("assets/x.js").replaceWithText ("console.log(1);");
    dist.getChildFile ("style.css").replaceWithText ("body{}");
    dist.getChildFile ("favicon.ico").replaceWithText ("ico");
    ASSERT_TRUE (dist.getChildFile ("folder").createDirectory());
    tree.getChildFile ("secret.txt").replaceWithText ("secret");
    ASSERT_EQ (::symlink (tree.getChildFile ("secret.txt").getFullPathName().toRawUTF8(), dist.getChildFile ("out.txt").getFullPathName().toRawUTF8()), 0);
    std::string big (9 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char) (i % 251);
    ASSERT_TRUE (dist.getChildFile ("big.bin").replaceWithData (big.data(), big.size()));

    ProgramProcess process ({ "--bridge-stdio" }, program.getFullPathName().toStdString());
    Session session (process);
    ASSERT_TRUE (session.start().has_value()) << process.stderrText();
    const auto get = [&] (const std::string& target) { return httpExchange (session.port, getRequest (target)); };

    const struct { std::string target, head; } files[] = {
        { "/assets/x.js", "Content-Type: text/javascript; charset=utf-8\r\nContent-Length: 15\r\nCache-Control: public, max-age=31536000, immutable\r\nConnection: close\r\n\r\nconsole.log(1);" },
        { "/style.css", "Content-Type: text/css; charset=utf-8\r\nContent-Length: 6\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\nbody{}" },
        { "/favicon.ico", "Content-Type: image/x-icon\r\nContent-Length: 3\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\nico" },
        { "/index.html?token=" + session.code, "Content-Type: text/html; charset=utf-8\r\nContent-Length: 24\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n<html>dist viewer</html>" },
    };
    for (const auto& f : files)
    {
        SCOPED_TRACE (f.target);
        EXPECT_EQ (get (f.target), "HTTP/1.1 200 OK\r\n" + f.head);
    }
    for (const auto* target : { "/../secret.txt", "/assets/..x.js", "/folder", "/out.txt", "/missing.js", "//etc/hostname" })
    {
        SCOPED_TRACE (target);
        EXPECT_EQ (get (target), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
    EXPECT_EQ (statusLine (get ("/")), "HTTP/1.1 401 Unauthorized");

    const auto whole = get ("/big.bin");
    const auto bodyStart = whole.find ("\r\n\r\n");
    ASSERT_NE (bodyStart, std::string::npos);
    EXPECT_EQ (whole.size() - bodyStart - 4, big.size());
    EXPECT_TRUE (whole.compare (bodyStart + 4, std::string::npos, big) == 0);
}
} // namespace quorvelle::test
