#include "SessionServerFixture.h"
#include "platform/FrontEndHost.h"
#include "tests/support/CapturingLogger.h"

using namespace quorvelle;
using namespace quorvelle::test;
using Outcome = platform::wire::WebSocketReader::Outcome;

namespace
{
std::string statusLine (const std::string& answer)
{
    return answer.substr (0, answer.find ("\r\n"));
}

std::string bodyOf (const std::string& answer)
{
    const auto end = answer.find ("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr (end + 4);
}

std::string lowerCase (std::string text)
{
    for (auto& c : text)
        c = (char) std::tolower ((unsigned char) c);
    return text;
}

juce::var parsed (const std::optional<std::string>& text)
{
    return text ? juce::JSON::parse (juce::String::fromUTF8 (text->c_str())) : juce::var();
}
} // namespace

TEST (SessionServer, AdvertisedAddressPrefersTheBestPrivateRange)
{
    const struct { std::vector<const char*> addresses; const char* expected; } cases[] = {
        { { "10.0.0.5", "192.168.1.20" }, "192.168.1.20" },
        { { "192.168.56.1", "172.20.0.3" }, "172.20.0.3" },
        { { "127.0.0.1", "169.254.3.4", "8.8.8.8", "172.32.0.1" }, "127.0.0.1" },
        { { "10.1.1.1", "10.2.2.2" }, "10.1.1.1" }, // a later address of the same score does not replace
        { {}, "127.0.0.1" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.expected);
        juce::Array<juce::IPAddress> addresses;
        for (auto* text : c.addresses)
            addresses.add (juce::IPAddress (text));
        EXPECT_EQ (pickAdvertisedAddress (addresses), c.expected);
    }
}

TEST (SessionServer, AccessCodesUseTheWholeAlphabetAndOnlyIt)
{
    const juce::String alphabet ("ABCDEFGHJKMNPQRSTUVWXYZ23456789");
    std::set<juce::juce_wchar> used;
    for (int i = 0; i < 400; ++i)
    {
        const auto code = SessionServer::generateAccessCode();
        ASSERT_EQ (code.length(), 6);
        for (auto c : code)
        {
            ASSERT_TRUE (alphabet.containsChar (c)) << code;
            used.insert (c);
        }
    }
    EXPECT_EQ (used.size(), 31u);
}

TEST (SessionServer, StartReportsStatusAndRefusedPortsReportStopped)
{
    CapturingLogger log;
    SessionServerFixture f;
    ASSERT_TRUE (f.start());
    const auto status = f.events.back();
    EXPECT_EQ ((int) status.getProperty ("port", {}), f.port);
    EXPECT_EQ (status.getProperty ("ip", {}).toString(), "127.0.0.1"); // only lo in the test's namespace
    EXPECT_EQ (status.getProperty ("mode", {}).toString(), "teleprompter");
    EXPECT_EQ (log.count ("[SessionServer] Listening on 127.0.0.1:" + juce::String (f.port) + " (token issued)"), 1);
    EXPECT_FALSE (log.text().contains (f.code));

    // A restart stops first, then runs with a new code.
    const auto firstCode = f.code;
    const auto before = f.events.size();
    ASSERT_TRUE (f.start());
    ASSERT_EQ (f.events.size(), before + 2);
    EXPECT_FALSE ((bool) f.events[before].getProperty ("running", true));
    EXPECT_NE (f.code, firstCode);

    // A held port, port 0 and a port past 65535 all fail the same way.
    juce::StreamingSocket holder;
    ASSERT_TRUE (holder.createListener (0, "0.0.0.0"));
    for (int port : { holder.getBoundPort(), 0, 70000, -1 })
    {
        SCOPED_TRACE (port);
        f.server.start (port, "x");
        const auto failed = f.events.back();
        EXPECT_EQ (platform::toCompactJson (failed), R"({"action":"SESSION_SERVER_STATUS","running":false,"port":0,"ip":"","mode":"","token":""})");
        EXPECT_EQ (log.count ("[SessionServer] Failed to bind to port " + juce::String (port)), 1);
        EXPECT_FALSE (f.server.isRunning());
    }
}

TEST (SessionServer, PagesAndNotFoundAnswersAreExact)
{
    SessionServerFixture f;
    ASSERT_TRUE (f.start());

    const auto viewer = f.get ("/?token=" + f.code);
    EXPECT_EQ (statusLine (viewer), "HTTP/1.1 200 OK");
    EXPECT_NE (viewer.find ("\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string (bodyOf (viewer).size())
                            + "\r\nConnection: close\r\nCache-Control: no-cache\r\n\r\n"),
               std::string::npos);
    EXPECT_NE (viewer.find ("const TOKEN = \"" + f.code + "\""), std::string::npos);

    // Escaped characters of the code match after decoding.
    std::string escaped;
    for (auto c : f.code)
        escaped += juce::String::formatted ("%%%02X", (int) c).toStdString();
    EXPECT_EQ (statusLine (f.get ("/viewer.html?token=" + escaped)), "HTTP/1.1 200 OK");

    for (const auto& target : { "/?token=" + lowerCase (f.code), std::string ("/viewer.html"), std::string ("/index.html?token=") })
    {
        SCOPED_TRACE (target);
        const auto page = f.get (target);
        EXPECT_EQ (statusLine (page), "HTTP/1.1 401 Unauthorized");
        EXPECT_NE (page.find ("Codigo de acceso requerido"), std::string::npos);
    }

    const auto missing = f.get ("/assets/app.js?token=" + f.code);
    EXPECT_EQ (missing, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ (missing.size(), 64u);
}

TEST (SessionServer, FifteenMismatchesLockEveryoneOutUntilTheClockMovesOn)
{
    CapturingLogger log;
    SessionServerFixture f (true);
    ASSERT_TRUE (f.start());

    // Requests that need no code do not count, so a viewer's assets cannot trip the guard.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ (statusLine (f.get ("/assets/x" + std::to_string (i) + ".js")), "HTTP/1.1 404 Not Found");

    for (int i = 1; i <= 15; ++i)
    {
        SCOPED_TRACE (i);
        const auto answer = i % 2 == 0 ? f.get ("/?token=WRONG1") : f.get ("/", WsTestClient::defaultHeaders());
        EXPECT_EQ (statusLine (answer), "HTTP/1.1 401 Unauthorized"); // the 15th is still answered
    }
    EXPECT_EQ (log.count ("[SessionServer] Token brute-force -> cooldown 30s"), 1);
    EXPECT_EQ (f.get ("/?token=" + f.code), "");
    EXPECT_EQ (f.get ("/style.css"), "");

    f.clockMs = f.clockMs + 30001.0;
    EXPECT_EQ (statusLine (f.get ("/?token=" + f.code)), "HTTP/1.1 200 OK");
    // Still inside the window: one more mismatch locks out again at once.
    EXPECT_EQ (statusLine (f.get ("/?token=BAD")), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ (f.get ("/?token=" + f.code), "");

    // After the window a mismatch starts a new count of one.
    f.clockMs = f.clockMs + 60001.0;
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ (statusLine (f.get ("/?token=BAD")), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ (statusLine (f.get ("/?token=" + f.code)), "HTTP/1.1 200 OK");
}

TEST (SessionServer, HandshakeChecksAndAnswers)
{
    CapturingLogger log;
    SessionServerFixture f;
    ASSERT_TRUE (f.start());
    const auto keyHeader = std::string ("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n");
    const struct { std::string target, headers, answer; } cases[] = {
        { "/", WsTestClient::defaultHeaders(), "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" },
        { "/?token=" + f.code, WsTestClient::defaultHeaders (""), "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" },
        { "/?token=" + f.code, "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n" + keyHeader, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" },
        { "/?token=" + f.code, WsTestClient::defaultHeaders ("8"),
          "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\nContent-Length: 0\r\nConnection: close\r\n\r\n" },
        { "/any/path?token=" + f.code, "upgrade: WebSocket\r\nconnection: keep-alive, upgrade\r\nsec-websocket-version: 13\r\nsec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n",
          "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.headers);
        WsTestClient client;
        client.open (f.port, c.target, c.headers);
        EXPECT_EQ (client.responseHead, c.answer);
    }
    EXPECT_EQ (log.count ("[SessionServer] Rejected WS upgrade (bad/missing token)"), 1);
}

TEST (SessionServer, DevicesIdentifyAreAdmittedAndFollowBroadcasts)
{
    SessionServerFixture f;
    ASSERT_TRUE (f.start());

    WsTestClient phone;
    ASSERT_EQ (phone.open (f.port, "/?token=" + f.code + "&role=controller&name=J+P%C3%A9rez"), 101);
    phone.send (R"({"type":"IDENTIFY","name":""})");
    const auto request = f.waitFor ("SESSION_CLIENT_REQUEST");
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->getProperty ("clientName", {}).toString(), "Dispositivo"); // IDENTIFY's empty name replaces the URL's
    EXPECT_EQ (request->getProperty ("requestedRole", {}).toString(), "controller"); // the URL's role stays without a role key
    const auto id = request->getProperty ("clientId", {}).toString();
    EXPECT_TRUE (juce::Uuid (id).toDashedString() == id && id.length() == 36) << id;

    phone.send (R"({"type":"IDENTIFY","name":"Other","role":"viewer"})"); // ignored
    f.server.broadcast ("not yet admitted");
    f.server.sendToClient (id, "direct");
    EXPECT_EQ (phone.nextText(), "direct");

    f.server.approveClient (id, true);
    EXPECT_EQ (phone.nextText(), R"({"type":"APPROVED","role":"controller"})");
    const auto connected = f.waitFor ("SESSION_CLIENT_CONNECTED");
    ASSERT_TRUE (connected.has_value());
    EXPECT_EQ (platform::toCompactJson (*connected),
               R"({"action":"SESSION_CLIENT_CONNECTED","clientId":")" + id + R"(","clientName":"Dispositivo","clientRole":"controller"})");
    EXPECT_EQ (f.count ("SESSION_CLIENT_REQUEST"), 1);

    f.server.broadcast ("section one");
    EXPECT_EQ (phone.nextText(), "section one");

    // Commands from an admitted controller, whatever their value.
    for (const auto& command : { std::string (R"({"op":"play"})"), std::string (R"("next")"), std::string ("42") })
    {
        SCOPED_TRACE (command);
        phone.send (R"({"type":"COMMAND","commandId":"c1","command":)" + command + "}");
        const auto event = f.waitFor ("SESSION_REMOTE_COMMAND");
        ASSERT_TRUE (event.has_value());
        EXPECT_EQ (platform::toCompactJson (event->getProperty ("command", {})), command);
        EXPECT_EQ (event->getProperty ("clientId", {}).toString(), id);
    }

    // Heartbeats go to admitted devices.
    EXPECT_EQ (phone.nextText (5000, false), R"({"type":"HEARTBEAT"})");
}

TEST (SessionServer, ViewersAndCapitalisedControllersCannotCommand)
{
    SessionServerFixture f;
    ASSERT_TRUE (f.start());
    auto viewer = f.join ("V", "viewer");
    auto capital = f.join ("C", "Controller");
    auto quoted = f.join ("Q", R"(ctl","x":"y)");
    ASSERT_TRUE (viewer && capital && quoted);
    for (auto* device : { viewer.get(), capital.get() })
    {
        f.server.approveClient (device->id, true);
        ASSERT_TRUE (device->client.nextText().has_value());
        device->client.send (R"({"type":"COMMAND","commandId":"x","command":1})");
    }

    // A role with a quote stays one JSON string.
    f.server.approveClient (quoted->id, true);
    const auto approved = parsed (quoted->client.nextText());
    ASSERT_TRUE (approved.isObject());
    EXPECT_EQ (approved.getProperty ("role", {}).toString(), R"(ctl","x":"y)");
    EXPECT_EQ (approved.getDynamicObject()->getProperties().size(), 2);

    // A round trip through both devices: their commands were handled before this answer.
    f.server.sendToClient (viewer->id, "sync");
    EXPECT_EQ (viewer->client.nextText(), "sync");
    runMessageLoopFor (200);
    EXPECT_EQ (f.count ("SESSION_REMOTE_COMMAND"), 0);
}

TEST (SessionServer, ControlFramesAndFragments)
{
    SessionServerFixture f;
    ASSERT_TRUE (f.start());
    WsTestClient device;
    ASSERT_EQ (device.open (f.port, "/?token=" + f.code), 101);

    device.send ("are you there", platform::wire::opcode::ping);
    auto pong = device.next();
    EXPECT_EQ (pong.outcome, Outcome::pong);
    EXPECT_EQ (pong.payload, "are you there");

    device.send (""); // an empty message keeps the link
    static const uint8_t mask[4] = { 1, 2, 3, 4 };
    auto first = platform::wire::encodeFrame (platform::wire::opcode::text, R"({"type":"IDEN)", mask);
    auto middle = platform::wire::encodeFrame (platform::wire::opcode::continuation, R"(TIFY","name":"Fr)", mask);
    first[0] = (char) (first[0] & 0x7f);
    middle[0] = (char) (middle[0] & 0x7f);
    device.sendRaw (first + platform::wire::encodeFrame (platform::wire::opcode::ping, "p", mask) + middle
                    + platform::wire::encodeFrame (platform::wire::opcode::continuation, R"(agments"})", mask));
    EXPECT_EQ (device.next().outcome, Outcome::pong);
    const auto request = f.waitFor ("SESSION_CLIENT_REQUEST");
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->getProperty ("clientName", {}).toString(), "Fragments");
    const auto id = request->getProperty ("clientId", {}).toString();

    // The device's close is echoed after the final flush; then the link ends and is reported.
    f.server.sendToClient (id, "last words");
    EXPECT_EQ (device.nextText(), "last words");
    device.sendRaw (platform::wire::encodeFrame (platform::wire::opcode::close, std::string ("\x03\xe8", 2), mask));
    const auto echoed = device.next();
    EXPECT_EQ (echoed.outcome, Outcome::close);
    EXPECT_EQ (echoed.payload, std::string ("\x03\xe8", 2));
    EXPECT_TRUE (device.waitUntilClosed());
    EXPECT_TRUE (f.waitFor ("SESSION_CLIENT_DISCONNECTED", [&] (const juce::var& v) { return v.getProperty ("clientId", {}).toString() == id; }));
}

TEST (SessionServer, OversizedAndHalfFinishedFramesEndTheLink)
{
    SessionServerFixture f;
    ASSERT_TRUE (f.start());

    WsTestClient big;
    ASSERT_EQ (big.open (f.port, "/?token=" + f.code), 101);
    static const uint8_t mask[4] = { 9, 8, 7, 6 };
    big.sendRaw (platform::wire::encodeFrame (platform::wire::opcode::text, std::string (1048577, 'x'), mask).substr (0, 14));
    const auto closeFrame = big.next();
    EXPECT_EQ (closeFrame.outcome, Outcome::close);
    EXPECT_EQ (closeFrame.payload, std::string ("\x03\xf1", 2)); // 1009
    EXPECT_TRUE (big.waitUntilClosed());

    // The largest allowed message still arrives.
    auto device = f.join();
    ASSERT_TRUE (device);
    device->client.send (R"({"type":"NOTHING","pad":")" + std::string (1048576 - 30, 'y') + "\"}");
    f.server.sendToClient (device->id, "still here");
    EXPECT_EQ (device->client.nextText(), "still here");

    // Half a frame, then silence: the link ends at the frame's time limit (10 s).
    device->client.sendRaw (platform::wire::encodeFrame (platform::wire::opcode::text, "abcdef", mask).substr (0, 5));
    EXPECT_TRUE (device->client.waitUntilClosed (20000));
}

TEST (SessionServer, RefusedAndRemovedDevicesGetTheirMessageThenClose1008)
{
    SessionServerFixture f;
    ASSERT_TRUE (f.start());
    auto refused = f.join ("R");
    auto kicked = f.join ("K");
    ASSERT_TRUE (refused && kicked);

    f.server.approveClient (refused->id, false);
    EXPECT_EQ (refused->client.nextText(), R"({"type":"REJECTED"})");
    auto closeFrame = refused->client.next();
    EXPECT_EQ (closeFrame.outcome, Outcome::close);
    EXPECT_EQ (closeFrame.payload, std::string ("\x03\xf0", 2));
    EXPECT_TRUE (refused->client.waitUntilClosed());
    EXPECT_TRUE (f.waitFor ("SESSION_CLIENT_DISCONNECTED", [&] (const juce::var& v) { return v.getProperty ("clientId", {}).toString() == refused->id; }));
    EXPECT_EQ (f.count ("SESSION_CLIENT_CONNECTED"), 0);

    f.server.approveClient (kicked->id, true);
    EXPECT_TRUE (kicked->client.nextText().has_value());
    f.server.broadcast ("before");
    f.server.kickClient (kicked->id);
    f.server.broadcast ("after the kick"); // may still go out before the link ends: KICKED is the last the device is told
    std::vector<std::string> received;
    while (auto text = kicked->client.nextText())
        received.push_back (*text);
    ASSERT_FALSE (received.empty());
    EXPECT_NE (std::find (received.begin(), received.end(), R"({"type":"KICKED"})"), received.end());
    EXPECT_TRUE (kicked->client.waitUntilClosed());

    // Unknown ids change nothing.
    f.server.approveClient ("no-such-id", true);
    f.server.kickClient ("no-such-id");
    f.server.sendToClient ("no-such-id", "x");
}

TEST (SessionServer, AStalledDeviceKeepsTheSixtyFourNewestMessages)
{
    SessionServerFixture f;
    ASSERT_TRUE (f.start());
    auto device = f.join();
    ASSERT_TRUE (device);
    f.server.approveClient (device->id, true);
    ASSERT_TRUE (device->client.nextText().has_value());

    // Half a frame holds the connection's thread in its read, so nothing is flushed meanwhile.
    static const uint8_t mask[4] = { 1, 1, 1, 1 };
    const auto ping = platform::wire::encodeFrame (platform::wire::opcode::ping, "hold", mask);
    device->client.sendRaw (ping.substr (0, 3));
    runMessageLoopFor (200);
    for (int i = 1; i <= 70; ++i)
        f.server.broadcast ("m" + juce::String (i));
    device->client.sendRaw (ping.substr (3));

    EXPECT_EQ (device->client.next().outcome, Outcome::pong);
    for (int i = 7; i <= 70; ++i)
        ASSERT_EQ (device->client.nextText(), "m" + std::to_string (i));
}

TEST (SessionServer, CapacityRefusesTheNinthPageRequestAndTheSeventeenthDevice)
{
    CapturingLogger log;
    SessionServerFixture f;
    ASSERT_TRUE (f.start());

    // Eight silent connections hold the HTTP phase for about 2 s each.
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        std::vector<std::unique_ptr<juce::StreamingSocket>> silent;
        for (int i = 0; i < 8; ++i)
        {
            silent.push_back (std::make_unique<juce::StreamingSocket>());
            ASSERT_TRUE (silent.back()->connect ("127.0.0.1", f.port, 2000));
        }
        runMessageLoopUntil ([&] { return log.count ("New client connection") >= 8 * (attempt + 1); }, 5000);
        const auto disconnectsBefore = f.count ("SESSION_CLIENT_DISCONNECTED");
        const auto refused = f.get ("/?token=" + f.code);
        runMessageLoopFor (50);
        if (f.count ("SESSION_CLIENT_DISCONNECTED") != disconnectsBefore)
            continue; // one of the eight ended first: the ninth may have been let in
        EXPECT_EQ (refused, "");
        EXPECT_GE (log.count ("[SessionServer] Rejected connection (at capacity)"), 1);
        break;
    }

    // Finished page requests free their places at once.
    const auto allReaped = [&] { return f.count ("SESSION_CLIENT_DISCONNECTED") == log.count ("New client connection"); };
    ASSERT_TRUE (runMessageLoopUntil (allReaped, 10000));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ (statusLine (f.get ("/?token=" + f.code)), "HTTP/1.1 200 OK");
    ASSERT_TRUE (runMessageLoopUntil (allReaped, 10000));

    std::vector<std::unique_ptr<WsTestClient>> devices;
    for (int i = 0; i < 16; ++i)
    {
        devices.push_back (std::make_unique<WsTestClient>());
        ASSERT_EQ (devices.back()->open (f.port, "/?token=" + f.code), 101);
    }
    WsTestClient seventeenth;
    EXPECT_EQ (seventeenth.open (f.port, "/?token=" + f.code), 0);
    EXPECT_EQ (f.get ("/?token=" + f.code), "");
}

TEST (SessionServer, StopEndsEveryThreadWithinItsBounds)
{
    CapturingLogger log;
    SessionServerFixture f;
    ASSERT_TRUE (f.start());
    std::vector<std::unique_ptr<SessionServerFixture::Device>> devices;
    for (int i = 0; i < 16; ++i)
    {
        devices.push_back (f.join ("D" + std::to_string (i)));
        ASSERT_TRUE (devices.back());
        f.server.approveClient (devices.back()->id, true);
    }
    // One device holds its thread in a half-read frame.
    static const uint8_t mask[4] = { 1, 1, 1, 1 };
    devices[3]->client.sendRaw (platform::wire::encodeFrame (platform::wire::opcode::text, "abc", mask).substr (0, 4));

    const auto disconnectsBefore = f.count ("SESSION_CLIENT_DISCONNECTED");
    const auto started = juce::Time::getMillisecondCounterHiRes();
    f.server.stop();
    const auto tookMs = juce::Time::getMillisecondCounterHiRes() - started;
    EXPECT_FALSE (f.events.back().getProperty ("running", true));
    for (auto& device : devices)
        EXPECT_TRUE (device->client.waitUntilClosed());
    runMessageLoopFor (100);
    EXPECT_EQ (f.count ("SESSION_CLIENT_DISCONNECTED"), disconnectsBefore); // a stop reports no device
    EXPECT_FALSE (log.text().containsIgnoreCase ("killing thread")) << tookMs;
}
