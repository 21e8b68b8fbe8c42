#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <initializer_list>
#include <utility>

namespace quorvelle
{
// What every event producer calls, from any thread, as sink ("fromNative", object). The owner of
// the services installs it once, before any of their threads runs.
using EventSink = std::function<void (const juce::String& eventName, const juce::var& payload)>;

// An event or message object with its properties in the given order.
inline juce::var makeObject (std::initializer_list<std::pair<const char*, juce::var>> properties)
{
    auto* object = new juce::DynamicObject();
    juce::var result (object);
    for (const auto& [key, value] : properties)
        object->setProperty (key, value);
    return result;
}
} // namespace quorvelle
