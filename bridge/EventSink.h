#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace quorvelle
{
// What every event producer calls, from any thread, as sink ("fromNative", object). The owner of
// the services installs it once, before any of their threads runs.
using EventSink = std::function<void (const juce::String& eventName, const juce::var& payload)>;
} // namespace quorvelle
