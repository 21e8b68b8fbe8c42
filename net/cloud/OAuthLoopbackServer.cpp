#include "net/cloud/OAuthLoopbackServer.h"

#include "platform/wire/HttpRequest.h"

#include <juce_events/juce_events.h>

namespace quorvelle
{
namespace
{
const char* const successPage =
    "<!DOCTYPE html><html lang=\"es\"><head><meta charset=\"utf-8\"><title>Quorvelle</title>"
    "<link rel=\"icon\" type=\"image/png\" href=\"data:image/png;base64,"
    "iVBORw0KGgoAAAANSUhEUgAAACAAAAAgCAYAAABzenr0AAAAO0lEQVR42u3WqREAIAwAwfgMFdEdRWNJEQieWXF+5UVmWycLAACA6wF9zK0AAAAAAAAA3gc4IgCA7wEFw+IYW5GQGNoAAAAASUVORK5CYII=\">"
    "<style>html,body{height:100%;margin:0}body{display:flex;align-items:center;justify-content:center;background:#0b0b0d;"
    "color:#e6e6e6;font-family:system-ui,-apple-system,\"Segoe UI\",Roboto,sans-serif;text-align:center}</style></head>"
    "<body><main><h1>Listo</h1><p>Ya puedes cerrar esta pesta&ntilde;a y volver a Quorvelle.</p></main></body></html>";

const char* const notFoundPage = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body></body></html>";
} // namespace

OAuthLoopbackServer::OAuthLoopbackServer() : juce::Thread ("OAuthLoopback") {}

OAuthLoopbackServer::~OAuthLoopbackServer()
{
    stop();
}

bool OAuthLoopbackServer::start (Callback cb)
{
    stop();
    callback = std::move (cb);

    listener = std::make_unique<juce::StreamingSocket>();
    port = 0;
    for (const auto candidate : ports)
    {
        if (listener->createListener (candidate, "127.0.0.1"))
        {
            port = candidate;
            break;
        }
    }

    if (port == 0)
    {
        listener.reset();
        return false;
    }
    startThread (juce::Thread::Priority::low);
    return true;
}

void OAuthLoopbackServer::stop()
{
    signalThreadShouldExit();
    if (listener != nullptr)
        listener->close();
    stopThread (2000);
    listener.reset();
    port = 0;
}

juce::String OAuthLoopbackServer::getRedirectUri() const
{
    return "http://127.0.0.1:" + juce::String (port);
}

void OAuthLoopbackServer::run()
{
    const auto startMs = juce::Time::getMillisecondCounter();
    while (! threadShouldExit())
    {
        if (juce::Time::getMillisecondCounter() - startMs > listenMs)
            return;
        if (listener == nullptr || listener->waitUntilReady (true, 500) <= 0)
            continue;

        std::unique_ptr<juce::StreamingSocket> connection (listener->waitForNextConnection());
        if (connection == nullptr)
            continue;

        const auto target = juce::String::fromUTF8 (platform::wire::parseRequestHead (readRequest (*connection)).target.c_str());
        if (target.contains ("code=") || target.contains ("error="))
        {
            sendResponse (*connection, true);
            connection->close();
            juce::Logger::writeToLog ("[OAuth] loopback captured callback (" + juce::String (target.contains ("error=") ? "error" : "code") + ")");
            postCallback (getRedirectUri() + target);
            return;
        }

        sendResponse (*connection, false);
        connection->close();
    }
}

std::string OAuthLoopbackServer::readRequest (juce::StreamingSocket& connection)
{
    // Passes of up to 200 ms, at most 20; whatever arrived (possibly nothing) is the request.
    const platform::wire::RequestReadLimits limits { 20, 200, 2047, 8192 };
    return platform::wire::readRequestHead (connection, limits, [this] { return threadShouldExit(); }).value_or (std::string());
}

void OAuthLoopbackServer::sendResponse (juce::StreamingSocket& connection, bool success)
{
    const juce::String body (success ? successPage : notFoundPage);
    const auto head = juce::String (success ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
                      + juce::String ((int) body.getNumBytesAsUTF8()) + "\r\nConnection: close\r\n\r\n";
    connection.write (head.toRawUTF8(), (int) head.getNumBytesAsUTF8());
    connection.write (body.toRawUTF8(), (int) body.getNumBytesAsUTF8());
}

void OAuthLoopbackServer::postCallback (const juce::String& url)
{
    if (! callback)
        return;
    juce::MessageManager::callAsync ([cb = callback, url] { cb (url); });
}
} // namespace quorvelle
