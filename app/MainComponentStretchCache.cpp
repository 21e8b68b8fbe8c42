// The stretch cache rows: start-up garbage collection, one song's cache, every cache. All inline
// on the message thread; each answers with one debug line and no event.
#include "app/MainComponent.h"

#include "audio/loading/StretchCache.h"
#include "platform/StorageRoot.h"

#include <cmath>
#include <limits>

namespace quorvelle
{
namespace
{
constexpr juce::int64 defaultStretchCacheCap = 2147483648LL;

// "maxTotalBytes" truncated to 64 bits; a value that is not a finite number keeps the default.
juce::int64 readCap (const juce::var& message)
{
    const auto* object = message.getDynamicObject();
    if (object == nullptr || ! object->hasProperty ("maxTotalBytes"))
        return defaultStretchCacheCap;
    const auto value = (double) object->getProperty ("maxTotalBytes");
    if (! std::isfinite (value))
        return defaultStretchCacheCap;
    if (value >= 9.2e18)
        return std::numeric_limits<juce::int64>::max();
    if (value <= -9.2e18)
        return std::numeric_limits<juce::int64>::min();
    return (juce::int64) value;
}

juce::StringArray readKeepIds (const juce::var& message)
{
    juce::StringArray ids;
    if (const auto* list = message.getProperty ("keepSongIds", {}).getArray())
        for (const auto& id : *list)
            ids.add (id.toString());
    return ids;
}
} // namespace

void MainComponent::registerStretchCacheActions()
{
    dispatchTable.add ("GC_STRETCH_CACHE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        audioEngine.debugLog (runStretchCacheGc (getStorageRoot(), readKeepIds (message), readCap (message)));
    });

    dispatchTable.add ("CLEAR_SONG_STRETCH_CACHE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        if (const auto line = clearSongStretchCache (getStorageRoot(), message.getProperty ("songId", {}).toString()); line.isNotEmpty())
            audioEngine.debugLog (line);
    });

    dispatchTable.add ("CLEAR_STRETCH_CACHE", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        audioEngine.debugLog (clearAllStretchCaches (getStorageRoot()));
    });
}
} // namespace quorvelle
