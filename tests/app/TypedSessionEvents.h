// Reads the session server's and the redundancy link's events, which the program sends on the typed
// road only, back into the JSON objects they were made from.
#pragma once

#include "bridge/EventSink.h"
#include "typedbridge/TypedMessages_generated.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace quorvelle::test
{
inline std::optional<juce::var> typedSessionEvent (const juce::var& line)
{
    if (line.getProperty ("action", {}).toString() != "TYPED_BRIDGE_V1")
        return std::nullopt;
    juce::MemoryOutputStream bytes;
    if (! juce::Base64::convertFromBase64 (bytes, line.getProperty ("data", {}).toString()))
        return std::nullopt;
    flatbuffers::Verifier verifier (static_cast<const uint8_t*> (bytes.getData()), bytes.getDataSize());
    if (! verifier.VerifyBuffer<bridge::FromNativeMessage> (nullptr))
        return std::nullopt;
    const auto* message = flatbuffers::GetRoot<bridge::FromNativeMessage> (bytes.getData());
    const auto text = [] (const flatbuffers::String* s) { return s == nullptr ? juce::String() : juce::String::fromUTF8 (s->c_str(), (int) s->size()); };

    if (const auto* e = message->payload_as_SessionServerStatusEvent())
        return makeObject ({ { "action", "SESSION_SERVER_STATUS" }, { "running", e->running() }, { "port", e->port() },
                             { "ip", text (e->ip()) }, { "mode", text (e->mode()) }, { "token", text (e->token()) } });
    if (const auto* e = message->payload_as_SessionClientRequestEvent())
        return makeObject ({ { "action", "SESSION_CLIENT_REQUEST" }, { "clientId", text (e->clientId()) }, { "clientName", text (e->clientName()) },
                             { "requestedRole", text (e->requestedRole()) } });
    if (const auto* e = message->payload_as_SessionClientConnectedEvent())
        return makeObject ({ { "action", "SESSION_CLIENT_CONNECTED" }, { "clientId", text (e->clientId()) }, { "clientName", text (e->clientName()) },
                             { "clientRole", text (e->clientRole()) } });
    if (const auto* e = message->payload_as_SessionClientDisconnectedEvent())
        return makeObject ({ { "action", "SESSION_CLIENT_DISCONNECTED" }, { "clientId", text (e->clientId()) } });
    if (const auto* e = message->payload_as_SessionRemoteCommandEvent())
        return makeObject ({ { "action", "SESSION_REMOTE_COMMAND" }, { "clientId", text (e->clientId()) }, { "commandId", text (e->commandId()) },
                             { "command", text (e->command()) } });
    if (const auto* e = message->payload_as_RedundancyStatusEvent())
        return makeObject ({ { "action", "REDUNDANCY_STATUS" }, { "role", text (e->role()) }, { "peerConnected", e->peerConnected() },
                             { "peerIp", text (e->peerIp()) }, { "latencyMs", e->latencyMs() } });
    if (const auto* e = message->payload_as_RedundancyFailoverEvent())
        return makeObject ({ { "action", "REDUNDANCY_FAILOVER" }, { "reason", text (e->reason()) } });
    return std::nullopt;
}
} // namespace quorvelle::test
