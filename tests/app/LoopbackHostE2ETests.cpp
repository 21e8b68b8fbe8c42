// The program on the loopback front-end host (no --bridge-stdio): HTTP and the page's WebSocket
// on 127.0.0.1, the start URL read from stderr.
#include "LoopbackProgram.h"

#include "platform/FrontEndHost.h"
#include "platform/StorageRoot.h"
#include "tests/support/LoopbackClients.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
using Outcome = platform::wire::WebSocketReader::Outcome;

std::string statusLine (const std::string& answer)
{
    return answer.substr (0, answer.find ("\r\n"));
}

std::string headOf (const std::string& answer)
{
    return answer.substr (0, answer.find ("\r\n\r\n") + 2);
}

std::string bodyOf (const std::string& answer)
{
    const auto end = answer.find ("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr (end + 4);
}

std::string toNative (const juce::var& payload)
{
    return platform::toCompactJson (makeObject ({ { "eventId", "toNative" }, { "payload", payload } }));
}

// The next "fromNative" payload that satisfies `predicate`.
std::optional<juce::var> nextEvent (WsTestClient& page, const std::function<bool (const juce::var&)>& predicate, int timeoutMs = 30000)
{
    const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
    while (juce::Time::getMillisecondCounterHiRes() < deadline)
    {
        const auto text = page.nextText ((int) std::max (1.0, deadline - juce::Time::getMillisecondCounterHiRes()));
        if (! text)
            return std::nullopt;
        const auto message = juce::JSON::parse (juce::String::fromUTF8 (text->c_str()));
        if (message.getProperty ("eventId", {}).toString() == "fromNative" && predicate (message.getProperty ("payload", {})))
            return message.getProperty ("payload", {});
    }
    return std::nullopt;
}

bool isConnected (const juce::var& v)
{
    return v.getProperty ("status", {}).toString() == "CONNECTED";
}
} // namespace

TEST (LoopbackHost, AccessNeedsTheTokenThenTheCookieAndOurHost)
{
    LoopbackProgram program;
    ASSERT_NE (program.port, 0) << program.process.stderrText();
    EXPECT_EQ (program.token.size(), 32u);
    EXPECT_TRUE (juce::String (program.token).containsOnly ("0123456789abcdef"));

    const auto redirect = program.get ("/?token=" + program.token + "&x=1");
    EXPECT_EQ (statusLine (redirect), "HTTP/1.1 303 See Other");
    EXPECT_NE (redirect.find ("\r\nLocation: /?x=1\r\n"), std::string::npos) << redirect;
    EXPECT_NE (redirect.find ("; Path=/; HttpOnly; SameSite=Strict\r\n"), std::string::npos) << redirect;
    EXPECT_NE (redirect.find ("\r\nAccess-Control-Allow-Origin: http://127.0.0.1:5173\r\n"), std::string::npos);
    const auto cookie = program.cookieHeader();
    ASSERT_FALSE (cookie.empty());

    const struct { const char* name; std::string target, headers; std::string reason; } refused[] = {
        { "neither token nor cookie", "/library.json", "", "no token or cookie" },
        { "a wrong cookie", "/library.json", "Cookie: quorvelle_host=0123\r\n", "no token or cookie" },
    };
    for (const auto& r : refused)
    {
        SCOPED_TRACE (r.name);
        EXPECT_EQ (program.get (r.target, r.headers), "HTTP/1.1 403 Forbidden\r\nAccess-Control-Allow-Origin: http://127.0.0.1:5173\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
    EXPECT_EQ (statusLine (httpExchange (program.port, "GET /library.json HTTP/1.1\r\nHost: evil.example:" + std::to_string (program.port) + "\r\n" + cookie + "\r\n")),
               "HTTP/1.1 403 Forbidden");
    EXPECT_EQ (statusLine (httpExchange (program.port, "GET /library.json HTTP/1.1\r\nHost: localhost:" + std::to_string (program.port) + "\r\n" + cookie + "\r\n")),
               "HTTP/1.1 200 OK");
    EXPECT_TRUE (program.process.waitForStderr ("[FrontEndHost] refused: no token or cookie", 5000));
    EXPECT_TRUE (program.process.waitForStderr ("[FrontEndHost] refused: foreign Host", 5000));

    // Upgrades need our own origin (or the development server's), and the cookie or the token.
    const struct { const char* name; std::string headers; int status; } upgrades[] = {
        { "missing Origin", cookie, 403 },
        { "foreign Origin", cookie + "Origin: http://evil.example\r\n", 403 },
        { "no cookie", "Origin: " + program.origin() + "\r\n", 403 },
        { "development origin", cookie + "Origin: http://127.0.0.1:5173\r\n", 101 },
        { "own origin", cookie + "Origin: " + program.origin() + "\r\n", 101 },
    };
    for (const auto& u : upgrades)
    {
        SCOPED_TRACE (u.name);
        WsTestClient page;
        EXPECT_EQ (program.openPage (page, u.headers), u.status) << page.responseHead;
    }
    EXPECT_TRUE (program.process.waitForStderr ("[FrontEndHost] refused: upgrade without Origin", 5000));
}

TEST (LoopbackHost, ResourcesCarryTheirHeaderLines)
{
    const auto images = getStorageRoot();
    ASSERT_TRUE (images.createDirectory());
    ASSERT_TRUE (images.getChildFile ("a b.png").replaceWithText ("png bytes"));

    LoopbackProgram program;
    ASSERT_NE (program.port, 0) << program.process.stderrText();
    const auto cookie = program.cookieHeader();

    const auto library = program.get ("/library.json", cookie);
    EXPECT_EQ (library, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\nAccess-Control-Allow-Origin: http://127.0.0.1:5173\r\nConnection: close\r\n\r\n{}");
    for (const auto* target : { "/localfile/a%20b.png", "/localfile/a+b.png" })
    {
        SCOPED_TRACE (target);
        const auto image = program.get (target, cookie);
        EXPECT_EQ (headOf (image), "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nCache-Control: max-age=3600\r\nContent-Length: 9\r\n"
                                   "Access-Control-Allow-Origin: http://127.0.0.1:5173\r\nConnection: close\r\n");
        EXPECT_EQ (bodyOf (image), "png bytes");
    }
    EXPECT_EQ (headOf (program.get ("/library.json", cookie, "HEAD")), headOf (library));
    EXPECT_EQ (bodyOf (program.get ("/library.json", cookie, "HEAD")), "");
    EXPECT_EQ (statusLine (program.get ("/localfile/../x.png", cookie)), "HTTP/1.1 404 Not Found");
    EXPECT_EQ (statusLine (program.get ("/no-such-file.js", cookie)), "HTTP/1.1 404 Not Found");
    EXPECT_EQ (statusLine (program.get ("/library.json", cookie, "POST")), "HTTP/1.1 405 Method Not Allowed");

    const auto script = program.get ("/__host/bridge.js", cookie);
    EXPECT_NE (script.find ("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE (script.find ("ws://127.0.0.1:" + std::to_string (program.port) + "/__host/ws"), std::string::npos);
}

TEST (LoopbackHost, OnePageAtATimeAndItsMessages)
{
    LoopbackProgram program;
    ASSERT_NE (program.port, 0) << program.process.stderrText();
    const auto cookie = program.cookieHeader();
    const auto headers = cookie + "Origin: " + program.origin() + "\r\n";
    ASSERT_TRUE (program.process.waitForStderr ("audioEngine.initialise() COMPLETE", 45000));

    WsTestClient first;
    ASSERT_EQ (program.openPage (first, headers), 101);
    // What the program sent while no page was connected (BACKEND_READY) is gone; lines the engine
    // logs later (its deferred settings save) may still arrive.
    EXPECT_FALSE (nextEvent (first, [] (const juce::var& v) { return v.getProperty ("action", {}).toString() == "BACKEND_READY"; }, 500));

    const auto coreInvoke = [] (const char* id) {
        return toNative (makeObject ({ { "action", "CORE_INVOKE" }, { "id", id }, { "method", "NO_SUCH_METHOD" }, { "payloadJson", "{}" }, { "messageId", 7 } }));
    };
    const auto responseTo = [] (const char* id) {
        return [id] (const juce::var& v) { return v.getProperty ("action", {}).toString() == "CORE_INVOKE_RESPONSE" && v.getProperty ("id", {}).toString() == id; };
    };
    first.send (toNative (makeObject ({ { "action", "TEST_CONNECTION" } })));
    EXPECT_TRUE (nextEvent (first, isConnected));
    first.send (coreInvoke ("a"));
    EXPECT_TRUE (nextEvent (first, responseTo ("a")));

    // A 70 MB payload passes the host and gets the bridge's own answer.
    const auto big = "\"" + std::string (70 * 1024 * 1024, 'x') + "\"";
    first.send (toNative (makeObject ({ { "action", "CORE_INVOKE" }, { "id", "big" }, { "method", "NO_SUCH_METHOD" }, { "payloadJson", juce::String (big) } })));
    const auto answer = nextEvent (first, [] (const juce::var& v) { return v.getProperty ("id", {}).toString() == "big"; }, 150000);
    ASSERT_TRUE (answer.has_value());
    EXPECT_TRUE (answer->getProperty ("responseJson", {}).toString().contains ("payloadJson too large (bridge limit)"));

    // A second page replaces the first, which is told why.
    WsTestClient second;
    ASSERT_EQ (program.openPage (second, headers), 101);
    // Messages already in flight (the timer's playback updates) may come before the close frame.
    auto closed = first.next();
    while (closed.outcome == Outcome::message)
        closed = first.next();
    EXPECT_EQ (closed.outcome, Outcome::close);
    EXPECT_EQ (closed.payload, std::string ("\x03\xe8replaced", 10));

    // The new page numbers its messages from the start again: the same id is answered once more,
    // and only a repeat within this page is merely acknowledged.
    second.send (coreInvoke ("b"));
    EXPECT_TRUE (nextEvent (second, responseTo ("b")));
    second.send (coreInvoke ("c"));
    second.send (toNative (makeObject ({ { "action", "TEST_CONNECTION" } })));
    const auto after = nextEvent (second, [&] (const juce::var& v) { return isConnected (v) || responseTo ("c") (v); });
    ASSERT_TRUE (after.has_value());
    EXPECT_TRUE (isConnected (*after)) << platform::toCompactJson (*after);
}
} // namespace quorvelle::test
