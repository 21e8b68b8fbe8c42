// Reads the text out of a DEBUG_LOG event that the program sent on the typed road.
#pragma once

#include "typedbridge/TypedMessages_generated.h"

#include <juce_core/juce_core.h>

#include <optional>
#include <string>

namespace quorvelle::test
{
// The text of a typed DEBUG_LOG line, or nothing for any other line.
inline std::optional<std::string> typedDebugLog (const juce::var& event)
{
    if (event.getProperty ("action", {}).toString() != "TYPED_BRIDGE_V1")
        return std::nullopt;
    juce::MemoryOutputStream bytes;
    if (! juce::Base64::convertFromBase64 (bytes, event.getProperty ("data", {}).toString()))
        return std::nullopt;
    flatbuffers::Verifier verifier (static_cast<const uint8_t*> (bytes.getData()), bytes.getDataSize());
    if (! verifier.VerifyBuffer<bridge::FromNativeMessage> (nullptr))
        return std::nullopt;
    const auto* message = flatbuffers::GetRoot<bridge::FromNativeMessage> (bytes.getData());
    const auto* log = message->payload_as_DebugLogEvent();
    if (log == nullptr || log->message() == nullptr)
        return std::nullopt;
    return log->message()->str();
}
} // namespace quorvelle::test
