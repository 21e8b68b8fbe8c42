#pragma once

#include "platform/EventSink.h"

#include <juce_core/juce_core.h>

#include <memory>

namespace quorvelle
{
// The band session server: HTTP and WebSocket for band members' devices on the local network,
// guarded by an access code. Does not listen until started.
class SessionServer
{
public:
    SessionServer();
    ~SessionServer(); // stops the server: accept thread stopped within 2000 ms

    // Set once by the owner; called from the server's threads.
    EventSink eventSink;

    void start (int port, const juce::String& mode);
    void stop();
    void approveClient (const juce::String& clientId, bool approved);
    void broadcast (const juce::String& text);
    void kickClient (const juce::String& clientId);
    void sendToClient (const juce::String& clientId, const juce::String& text);

    bool isRunning() const;

private:
    class AcceptThread;

    void sendStatus (bool running);

    std::unique_ptr<AcceptThread> acceptThread;
    int port = 8765;
    juce::String mode, accessCode;
};
} // namespace quorvelle
