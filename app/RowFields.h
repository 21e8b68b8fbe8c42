// Field readers shared by the dispatcher's rows: an absent key gives the empty text, 0 or false.
#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle::row_fields
{
inline juce::String text (const juce::var& message, const char* key) { return message.getProperty (key, {}).toString(); }
inline float number (const juce::var& message, const char* key) { return static_cast<float> (message.getProperty (key, 0.0)); }
inline bool flag (const juce::var& message, const char* key) { return static_cast<bool> (message.getProperty (key, false)); }
} // namespace quorvelle::row_fields
