// Field readers shared by the dispatcher's rows: an absent key gives the empty text, 0 or false.
#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle::row_fields
{
inline juce::String text (const juce::var& message, const char* key) { return message.getProperty (key, {}).toString(); }
inline float number (const juce::var& message, const char* key) { return static_cast<float> (message.getProperty (key, 0.0)); }
inline bool flag (const juce::var& message, const char* key) { return static_cast<bool> (message.getProperty (key, false)); }

// Reads one request's fields. A field with a default is read with the value's own conversion only
// when the request has the key; a "number" field also needs the value to be a number.
struct RequestFields
{
    const juce::var& request;

    bool has (const char* key) const
    {
        const auto* object = request.getDynamicObject();
        return object != nullptr && object->hasProperty (key);
    }
    juce::var value (const char* key) const { return request.getProperty (key, {}); }
    juce::String text (const char* key, const juce::String& fallback = {}) const { return has (key) ? value (key).toString() : fallback; }
    double real (const char* key, double fallback = 0.0) const { return has (key) ? static_cast<double> (value (key)) : fallback; }
    int integer (const char* key, int fallback = 0) const { return has (key) ? static_cast<int> (value (key)) : fallback; }
    bool flag (const char* key, bool fallback = false) const { return has (key) ? static_cast<bool> (value (key)) : fallback; }
    double number (const char* key, double fallback) const
    {
        const auto v = value (key);
        return has (key) && (v.isInt() || v.isInt64() || v.isDouble()) ? static_cast<double> (v) : fallback;
    }
};
} // namespace quorvelle::row_fields
