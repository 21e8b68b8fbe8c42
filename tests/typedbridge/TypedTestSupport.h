#pragma once

#include "typedbridge/TypedBridge.h"
#include "typedbridge/TypedHandlers.h"
#include "typedbridge/TypedMessages_generated.h"
#include "tests/support/CapturingLogger.h"

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

namespace quorvelle::test
{
namespace fb = quorvelle::bridge;

// A value written with its kind, so that comparisons see key order and value types:
// ints as 3i, 64-bit ints as 3L, doubles as 0.5d, texts quoted, void as null.
inline std::string describe (const juce::var& v)
{
    if (v.isVoid() || v.isUndefined())
        return "null";
    if (v.isBool())
        return (bool) v ? "true" : "false";
    if (v.isInt())
        return std::to_string ((int) v) + "i";
    if (v.isInt64())
        return std::to_string ((juce::int64) v) + "L";
    if (v.isDouble())
    {
        char buf[64];
        std::snprintf (buf, sizeof (buf), "%.17g", (double) v);
        return std::string (buf) + "d";
    }
    if (v.isString())
        return "\"" + v.toString().toStdString() + "\"";
    if (auto* array = v.getArray())
    {
        std::string out = "[";
        for (int i = 0; i < array->size(); ++i)
            out += (i > 0 ? "," : "") + describe (array->getReference (i));
        return out + "]";
    }
    if (auto* object = v.getDynamicObject())
    {
        std::string out = "{";
        bool first = true;
        for (const auto& p : object->getProperties())
        {
            out += (first ? "" : ",") + p.name.toString().toStdString() + ":" + describe (p.value);
            first = false;
        }
        return out + "}";
    }
    return "?";
}

// The Base64 text of a finished buffer, as the front end sends it.
inline std::string toBase64 (const flatbuffers::FlatBufferBuilder& b)
{
    return juce::Base64::toBase64 (b.GetBufferPointer(), b.GetSize()).toStdString();
}

inline std::string toBase64 (const std::vector<uint8_t>& bytes)
{
    return juce::Base64::toBase64 (bytes.data(), bytes.size()).toStdString();
}

// A finished ToNativeMessage holding the payload that `make` builds.
template <typename Make>
std::string inbound (fb::ToNativePayload type, Make make)
{
    flatbuffers::FlatBufferBuilder b;
    const auto payload = make (b);
    b.Finish (fb::CreateToNativeMessage (b, type, payload));
    return toBase64 (b);
}

// A bridge whose handlers are the real ones, with a recording stand-in for the dispatcher.
struct RecordingBridge
{
    TypedBridge bridge { nullptr };
    std::vector<juce::var> requests;
    std::vector<juce::String> debugLines;

    RecordingBridge()
    {
        installTypedHandlers (bridge,
                              [this] (const juce::var& r) { requests.push_back (r); },
                              [this] (const juce::String& line) { debugLines.push_back (line); });
    }

    // The rebuilt requests of one message, each described.
    std::vector<std::string> dispatch (const std::string& base64)
    {
        requests.clear();
        debugLines.clear();
        bridge.dispatchBase64 (base64);
        std::vector<std::string> out;
        for (const auto& r : requests)
            out.push_back (describe (r));
        return out;
    }
};
} // namespace quorvelle::test
