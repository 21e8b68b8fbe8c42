// The band session server's actions. Start and stop run on a later turn of the message loop;
// admission, removal and messages to devices run at once. None of them is answered directly: the
// server reports through its own events.
#include "app/MainComponent.h"

#include <climits>

namespace quorvelle
{
namespace
{
// "port" as the front end sent it; a number outside int's range reads as 0 (refused by start).
int readPort (const juce::var& message)
{
    const auto* object = message.getDynamicObject();
    if (object == nullptr || ! object->hasProperty ("port"))
        return SessionServer::defaultPort;
    const auto value = object->getProperty ("port");
    if (value.isDouble())
    {
        const auto number = (double) value;
        return (number >= INT_MIN && number <= INT_MAX) ? (int) number : 0;
    }
    return (int) value;
}

juce::String readText (const juce::var& message, const char* key)
{
    return message.getProperty (key, {}).toString();
}

// A message for devices as JSON text (multi-line, CR LF).
juce::String deviceMessage (std::initializer_list<std::pair<const char*, juce::var>> properties)
{
    return juce::JSON::toString (makeObject (properties));
}
} // namespace

void MainComponent::forgetSeenMessageIds()
{
    seenMessageIds.clear();
}

void MainComponent::registerSessionActions()
{
    dispatchTable.add ("SESSION_START_SERVER", DispatchMode::posted, [this] (const juce::var& message)
    {
        const auto* object = message.getDynamicObject();
        const auto mode = object != nullptr && object->hasProperty ("mode") ? readText (message, "mode") : juce::String ("teleprompter");
        sessionServer.start (readPort (message), mode);
    });

    dispatchTable.add ("SESSION_STOP_SERVER", DispatchMode::posted, [this] (const juce::var&) { sessionServer.stop(); });

    dispatchTable.add ("SESSION_APPROVE_CLIENT", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sessionServer.approveClient (readText (message, "clientId"), (bool) message.getProperty ("approved", false));
    });

    dispatchTable.add ("SESSION_KICK_CLIENT", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sessionServer.kickClient (readText (message, "clientId"));
    });

    dispatchTable.add ("SESSION_BROADCAST_SECTION", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sessionServer.broadcast (deviceMessage ({ { "type", "SECTION" }, { "data", message.getProperty ("payload", {}) } }));
    });

    dispatchTable.add ("SESSION_BROADCAST_TRANSPORT", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sessionServer.broadcast (deviceMessage ({ { "type", "TRANSPORT" }, { "data", message.getProperty ("payload", {}) } }));
    });

    dispatchTable.add ("SESSION_BROADCAST_RAW", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sessionServer.broadcast (readText (message, "raw"));
    });

    dispatchTable.add ("SESSION_COMMAND_RESULT", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto error = readText (message, "error");
        auto result = makeObject ({ { "type", "COMMAND_RESULT" },
                                    { "commandId", readText (message, "commandId") },
                                    { "success", (bool) message.getProperty ("success", false) } });
        if (error.isNotEmpty())
            result.getDynamicObject()->setProperty ("error", error);
        sessionServer.sendToClient (readText (message, "clientId"), juce::JSON::toString (result));
    });

    dispatchTable.add ("SESSION_NOTIFY_CLIENT", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto clientId = readText (message, "clientId");
        const auto notifyType = readText (message, "notifyType");
        if (clientId.isNotEmpty() && notifyType.isNotEmpty())
            sessionServer.sendToClient (clientId, deviceMessage ({ { "type", notifyType } }));
    });
}
} // namespace quorvelle
