// The redundancy link's actions. All run on a later turn of the message loop and none is
// answered: the link reports through its own events.
#include "app/MainComponent.h"

namespace quorvelle
{
namespace
{
juce::String readText (const juce::var& message, const char* key, const juce::String& fallback = {})
{
    const auto* object = message.getDynamicObject();
    return object != nullptr && object->hasProperty (key) ? object->getProperty (key).toString() : fallback;
}
} // namespace

void MainComponent::registerRedundancyActions()
{
    dispatchTable.add ("REDUNDANCY_ENABLE", DispatchMode::posted, [this] (const juce::var& message)
    {
        redundancyEngine.enable (readText (message, "role", "auto"), readText (message, "pin"));
    });

    dispatchTable.add ("REDUNDANCY_DISABLE", DispatchMode::posted, [this] (const juce::var&) { redundancyEngine.disable(); });

    dispatchTable.add ("REDUNDANCY_FORCE_TAKEOVER", DispatchMode::posted, [this] (const juce::var&)
    {
        juce::Logger::writeToLog ("[Redundancy] Manual takeover requested");
        redundancyEngine.failover ("manual");
    });

    // The manifest and the negative acknowledgement share one branch.
    const auto forwardToPeer = [this] (const juce::var& message)
    {
        if (message.getProperty ("action", {}).toString() == "REDUNDANCY_SEND_MANIFEST")
            redundancyEngine.sendManifest (readText (message, "manifest"));
        else
            redundancyEngine.sendSongNack (readText (message, "songId"), readText (message, "title"));
    };
    dispatchTable.add ("REDUNDANCY_SEND_MANIFEST", DispatchMode::posted, forwardToPeer);
    dispatchTable.add ("REDUNDANCY_SONG_NACK", DispatchMode::posted, forwardToPeer);
}
} // namespace quorvelle
