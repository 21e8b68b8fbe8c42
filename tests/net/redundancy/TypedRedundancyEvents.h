// Reads the link's status and failover events, which the program sends on the typed road only,
// back into the JSON objects they were made from.
#pragma once

#include "platform/EventSink.h"
#include "typedbridge/TypedMessages_generated.h"

#include <juce_core/juce_core.h>

#include <optional>

namespace quorvelle::test
{
inline std::optional<juce::var> typedRedundancyEvent (const juce::var& line)
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
    if (const auto* e = message->payload_as_RedundancyStatusEvent())
        return makeObject ({ { "action", "REDUNDANCY_STATUS" }, { "role", text (e->role()) }, { "peerConnected", e->peerConnected() },
                             { "peerIp", text (e->peerIp()) }, { "latencyMs", e->latencyMs() } });
    if (const auto* e = message->payload_as_RedundancyFailoverEvent())
        return makeObject ({ { "action", "REDUNDANCY_FAILOVER" }, { "reason", text (e->reason()) } });
    return std::nullopt;
}
} // namespace quorvelle::test
