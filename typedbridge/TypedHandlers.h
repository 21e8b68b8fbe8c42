#pragma once

#include "typedbridge/TypedBridge.h"

namespace quorvelle
{
// Fills all 107 slots of `bridge`. Slots 0 to 105 rebuild the JSON action that each typed message
// stands for and hand it to `handleBridgeMessage` (without a "messageId", unless the front end put
// one into an action that travels as JSON text); slot 106 builds the unknown-type line and hands it
// to `debugLog`.
void installTypedHandlers (TypedBridge& bridge,
                           std::function<void (const juce::var& request)> handleBridgeMessage,
                           std::function<void (const juce::String& line)> debugLog);

// The unknown-type line for a payload type without a case.
juce::String unknownPayloadTypeLine (int type);
} // namespace quorvelle
