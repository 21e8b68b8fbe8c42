#pragma once

#include "typedbridge/TypedBridge.h"

#include <juce_core/juce_core.h>

namespace quorvelle
{
// The 32 events that reach the front end only as typed messages.
bool isTypedOnlyEvent (const juce::String& action);
// The 8 events sent first as JSON and then typed.
bool isJsonThenTypedEvent (const juce::String& action);

// Converts the event object's fields into the arguments of the action's typed sender and calls it.
// Returns false (and sends nothing) for an action outside the 40 typed names.
bool sendTypedEvent (TypedBridge& typedBridge, const juce::String& action, const juce::var& event);
} // namespace quorvelle
