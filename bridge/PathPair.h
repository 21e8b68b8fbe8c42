#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle
{
// A request's path by the path-pair rule: "pathB64" when present, decoded as standard Base64 and
// read as UTF-8; when it is absent, not valid Base64 or decodes to an empty text, the plain
// "path". With `cap` > 0 a "pathB64" longer than `cap` characters is refused through
// `exceedsBridgeLimit` (logged under `label`) and `base64OverCap` says so; the caller decides
// whether "path" is then read (`path` holds it) or the request is dropped.
struct RequestPath
{
    juce::String path;
    bool base64OverCap = false;
};
RequestPath readPathPair (const juce::var& message, int cap = 0, const char* label = "");

// Standard Base64 with "=" padding (JUCE's decoder: the 64 alphabet characters in groups of
// four; line breaks, spaces and a length that is not a multiple of four fail; "" is no bytes).
bool decodeBase64 (const juce::String& text, juce::MemoryBlock& bytes);

// The Base64 form of a text's UTF-8 bytes (the "B64" twin of a path in events).
juce::String base64OfText (const juce::String& text);
} // namespace quorvelle
