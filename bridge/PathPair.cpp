#include "bridge/PathPair.h"

#include "bridge/JsonBridge.h"

namespace quorvelle
{
bool decodeBase64 (const juce::String& text, juce::MemoryBlock& bytes)
{
    juce::MemoryOutputStream decoded (bytes, false);
    return juce::Base64::convertFromBase64 (decoded, text);
}

juce::String base64OfText (const juce::String& text)
{
    return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

RequestPath readPathPair (const juce::var& message, int cap, const char* label)
{
    RequestPath result;
    if (const auto* object = message.getDynamicObject(); object != nullptr && object->hasProperty ("pathB64"))
    {
        const auto encoded = object->getProperty ("pathB64").toString();
        if (cap > 0 && exceedsBridgeLimit (encoded, cap, label))
            result.base64OverCap = true;
        else if (juce::MemoryBlock bytes; decodeBase64 (encoded, bytes) && bytes.getSize() > 0)
        {
            result.path = juce::String::fromUTF8 (static_cast<const char*> (bytes.getData()), static_cast<int> (bytes.getSize()));
            if (result.path.isNotEmpty())
                return result;
        }
    }
    result.path = message.getProperty ("path", {}).toString();
    return result;
}
} // namespace quorvelle
