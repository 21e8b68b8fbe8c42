// A session server in the test process, with its events collected on the message thread and a
// clock the test may move.
#pragma once

#include "net/session/SessionServer.h"
#include "tests/support/LoopbackClients.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
inline juce::String actionOf (const juce::var& v)
{
    return v.getProperty ("action", {}).toString();
}

// A port nobody listens on right now.
inline int freePort()
{
    juce::StreamingSocket probe;
    probe.createListener (0, "0.0.0.0");
    return probe.getBoundPort();
}

struct SessionServerFixture
{
    explicit SessionServerFixture (bool manualClock = false)
    {
        server.eventSink = [this] (const juce::String&, const juce::var& payload) { events.push_back (payload); };
        if (manualClock)
            server.setClockForTesting ([this] { return clockMs.load(); });
    }

    ~SessionServerFixture()
    {
        server.stop();
        server.eventSink = nullptr; // the server outlives the fields the sink writes to
    }

    // Starts on a free port; the code is the status's token.
    bool start()
    {
        port = freePort();
        server.start (port, "teleprompter");
        if (events.empty() || ! (bool) events.back().getProperty ("running", false))
            return false;
        code = events.back().getProperty ("token", {}).toString().toStdString();
        return true;
    }

    std::optional<juce::var> waitFor (const juce::String& action, const std::function<bool (const juce::var&)>& also = nullptr, int timeoutMs = 10000)
    {
        std::optional<juce::var> found;
        runMessageLoopUntil ([&]
        {
            for (size_t i = seen; i < events.size(); ++i)
                if (actionOf (events[i]) == action && (also == nullptr || also (events[i])))
                {
                    found = events[i];
                    seen = i + 1;
                    return true;
                }
            return false;
        }, timeoutMs);
        return found;
    }

    int count (const juce::String& action) const
    {
        int n = 0;
        for (const auto& e : events)
            n += actionOf (e) == action ? 1 : 0;
        return n;
    }

    std::string get (const std::string& target, const std::string& headers = {}) { return httpExchange (port, getRequest (target, headers)); }

    // A device that upgraded and identified; its id comes from the request event.
    struct Device
    {
        WsTestClient client;
        juce::String id;
    };

    std::unique_ptr<Device> join (const std::string& name = "Phone", const std::string& role = "viewer", const std::string& urlExtras = {})
    {
        auto device = std::make_unique<Device>();
        if (device->client.open (port, "/?token=" + code + urlExtras) != 101)
            return nullptr;
        device->client.send (juce::JSON::toString (makeObject ({ { "type", "IDENTIFY" }, { "name", juce::String (name) }, { "role", juce::String (role) } }), true)
                                 .toStdString());
        const auto request = waitFor ("SESSION_CLIENT_REQUEST");
        if (! request)
            return nullptr;
        device->id = request->getProperty ("clientId", {}).toString();
        return device;
    }

    SessionServer server;
    std::vector<juce::var> events;
    size_t seen = 0;
    std::atomic<double> clockMs { 1.0e6 };
    int port = 0;
    std::string code;
};
} // namespace quorvelle::test
