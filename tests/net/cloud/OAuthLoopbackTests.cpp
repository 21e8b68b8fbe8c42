// The sign-in listener on its fixed loopback ports: port choice, the pages it answers with, the
// one redirect it hands on, and restarts.
#include "platform/wire/HttpRequest.h"
#include "net/cloud/OAuthLoopbackServer.h"

#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
// Sends `request` (possibly nothing) and reads the answer until the listener closes.
std::string talk (int port, const std::string& request)
{
    const int fd = ::socket (AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    address.sin_port = htons ((uint16_t) port);
    if (::connect (fd, (sockaddr*) &address, sizeof (address)) != 0)
    {
        ::close (fd);
        return "<no connection>";
    }
    if (! request.empty())
        ::send (fd, request.data(), request.size(), MSG_NOSIGNAL);
    else
        ::shutdown (fd, SHUT_WR);
    std::string answer;
    char buffer[4096];
    for (;;)
    {
        const auto got = ::recv (fd, buffer, sizeof (buffer), 0);
        if (got <= 0)
            break;
        answer.append (buffer, (size_t) got);
    }
    ::close (fd);
    return answer;
}

std::string get (int port, const std::string& target)
{
    return talk (port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

std::string bodyOf (const std::string& answer)
{
    const auto at = answer.find ("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr (at + 4);
}

struct CallbackRecorder
{
    std::vector<juce::String> urls;
    OAuthLoopbackServer::Callback callback()
    {
        return [this] (const juce::String& url) { urls.push_back (url); };
    }
};
} // namespace

TEST (OAuthLoopback, TakesTheFirstFreePortOfItsList)
{
    OAuthLoopbackServer server;
    CallbackRecorder recorder;
    ASSERT_TRUE (server.start (recorder.callback()));
    EXPECT_EQ (server.getRedirectUri(), "http://127.0.0.1:53682");
    EXPECT_TRUE (server.isThreadRunning());
    server.stop();
    EXPECT_FALSE (server.isThreadRunning());

    std::vector<std::unique_ptr<juce::StreamingSocket>> held;
    const auto hold = [&held] (int port)
    {
        held.push_back (std::make_unique<juce::StreamingSocket>());
        return held.back()->createListener (port, "127.0.0.1");
    };
    ASSERT_TRUE (hold (53682));
    ASSERT_TRUE (server.start (recorder.callback()));
    EXPECT_EQ (server.getRedirectUri(), "http://127.0.0.1:53683");
    server.stop();

    for (const auto port : OAuthLoopbackServer::ports)
    {
        if (port != 53682)
        {
            ASSERT_TRUE (hold (port)) << port;
        }
    }
    EXPECT_FALSE (server.start (recorder.callback()));
    EXPECT_FALSE (server.isThreadRunning());
}

TEST (OAuthLoopback, StrayRequestsGet404AndTheRedirectIsHandedOnOnce)
{
    CapturingLogger log;
    OAuthLoopbackServer server;
    CallbackRecorder recorder;
    ASSERT_TRUE (server.start (recorder.callback()));

    for (const auto* stray : { "GET /favicon.ico HTTP/1.1\r\nHost: x\r\n\r\n", "", "garbage-without-space\r\n\r\n" })
    {
        SCOPED_TRACE (stray);
        const auto answer = talk (53682, stray);
        EXPECT_EQ (answer.rfind ("HTTP/1.1 404 Not Found\r\n", 0), 0u) << answer;
        EXPECT_NE (answer.find ("Content-Length: 76\r\n"), std::string::npos);
        EXPECT_EQ (bodyOf (answer).size(), 76u);
    }

    const auto answer = get (53682, "/callback?code=a%20b&state=s");
    EXPECT_EQ (answer.rfind ("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ", 0), 0u) << answer;
    EXPECT_NE (answer.find ("Connection: close\r\n\r\n"), std::string::npos);
    EXPECT_NE (bodyOf (answer).find ("<h1>Listo</h1>"), std::string::npos);
    EXPECT_NE (bodyOf (answer).find ("pesta&ntilde;a"), std::string::npos);
    EXPECT_NE (bodyOf (answer).find ("data:image/png;base64,"), std::string::npos);

    ASSERT_TRUE (runMessageLoopUntil ([&] { return ! recorder.urls.empty(); }));
    EXPECT_EQ (recorder.urls, std::vector<juce::String> { "http://127.0.0.1:53682/callback?code=a%20b&state=s" });
    EXPECT_EQ (log.count ("[OAuth] loopback captured callback (code)"), 1) << log.text();
    ASSERT_TRUE (runMessageLoopUntil ([&] { return ! server.isThreadRunning(); })) << "one redirect ends the listener";
    EXPECT_EQ (server.getRedirectUri(), "http://127.0.0.1:53682") << "the port stays bound";
    runMessageLoopFor (100);
    EXPECT_EQ (recorder.urls.size(), 1u);
}

TEST (OAuthLoopback, ErrorAnywhereInTheTargetIsLoggedAsError)
{
    CapturingLogger log;
    OAuthLoopbackServer server;
    CallbackRecorder recorder;
    ASSERT_TRUE (server.start (recorder.callback()));
    get (53682, "/cb?code=x&error=access_denied");
    ASSERT_TRUE (runMessageLoopUntil ([&] { return ! recorder.urls.empty(); }));
    EXPECT_EQ (log.count ("[OAuth] loopback captured callback (error)"), 1) << log.text();
    EXPECT_EQ (recorder.urls[0], "http://127.0.0.1:53682/cb?code=x&error=access_denied");
}

TEST (OAuthLoopback, ASecondStartReplacesTheFirstListener)
{
    OAuthLoopbackServer server;
    CallbackRecorder first, second;
    ASSERT_TRUE (server.start (first.callback()));
    ASSERT_TRUE (server.start (second.callback()));
    EXPECT_EQ (server.getRedirectUri(), "http://127.0.0.1:53682");
    get (53682, "/?code=1");
    ASSERT_TRUE (runMessageLoopUntil ([&] { return ! second.urls.empty(); }));
    EXPECT_TRUE (first.urls.empty());

    // After a capture the next start listens again.
    ASSERT_TRUE (server.start (first.callback()));
    get (53682, "/?code=2");
    ASSERT_TRUE (runMessageLoopUntil ([&] { return ! first.urls.empty(); }));
    EXPECT_EQ (first.urls[0], "http://127.0.0.1:53682/?code=2");
}

TEST (OAuthLoopback, RequestTargetIsTheSecondWordOfTheFirstLine)
{
    const struct { const char* request; const char* target; } cases[] = {
        { "GET /a?code=1 HTTP/1.1\r\nHost: x\r\n\r\n", "/a?code=1" },
        { "GET /only-two-words\r\n\r\n", "/only-two-words" },
        { "NOSPACE\r\n\r\n", "" },
        { "", "" },
        { "GET  HTTP/1.1\r\n", "" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.request);
        EXPECT_EQ (platform::wire::parseRequestHead (c.request).target, std::string (c.target));
    }
}
} // namespace quorvelle::test
