#include "net/session/SessionServer.h"

namespace quorvelle
{
class SessionServer::AcceptThread final : public juce::Thread
{
public:
    AcceptThread() : juce::Thread ("SessionServerAccept") {}
    void run() override
    {
        while (! threadShouldExit())
            wait (-1);
    }
};

SessionServer::SessionServer() : acceptThread (std::make_unique<AcceptThread>()) {}

SessionServer::~SessionServer()
{
    stop();
}

bool SessionServer::isRunning() const
{
    return acceptThread->isThreadRunning();
}

void SessionServer::sendStatus (bool running)
{
    if (! eventSink)
        return;

    eventSink ("fromNative", makeObject ({ { "action", "SESSION_SERVER_STATUS" },
                                           { "running", running },
                                           { "port", port },
                                           { "ip", juce::String() },
                                           { "mode", mode },
                                           { "token", running ? accessCode : juce::String() } }));
}

void SessionServer::start (int newPort, const juce::String& newMode)
{
    stop();
    port = newPort;
    mode = newMode;
    // The listener comes with the session server itself; until then a start reports what a
    // failed bind reports: not running.
    juce::Logger::writeToLog ("[SessionServer] cannot listen on port " + juce::String (port) + ": server not available in this build");
    sendStatus (false);
}

void SessionServer::stop()
{
    if (! acceptThread->isThreadRunning())
        return;

    acceptThread->signalThreadShouldExit();
    acceptThread->notify();
    acceptThread->stopThread (2000);
    accessCode.clear();
    sendStatus (false);
}

void SessionServer::approveClient (const juce::String&, bool) {}
void SessionServer::broadcast (const juce::String&) {}
void SessionServer::kickClient (const juce::String&) {}
void SessionServer::sendToClient (const juce::String&, const juce::String&) {}
} // namespace quorvelle
