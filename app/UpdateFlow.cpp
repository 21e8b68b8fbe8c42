#include "app/UpdateFlow.h"

#include <juce_events/juce_events.h>

#ifndef QUORVELLE_UPDATE_FEED
 #define QUORVELLE_UPDATE_FEED ""
#endif

namespace quorvelle
{
juce::String releaseFeedUrl()
{
    const auto fromEnvironment = juce::SystemStats::getEnvironmentVariable ("QUORVELLE_UPDATE_FEED", {});
    return fromEnvironment.isNotEmpty() ? fromEnvironment : juce::String::fromUTF8 (QUORVELLE_UPDATE_FEED);
}

void checkForUpdatesJob (const juce::String& feedUrl, const UpdateAvailableCallback& callback, const platform::UpdateLibrary& library,
                         const qvu_UpdateLocator* locator)
{
    try
    {
        UpdateClient client (feedUrl, library, locator);
        const auto update = client.checkForUpdates();
        if (update.has_value() && update->targetFullRelease.has_value())
            juce::MessageManager::callAsync ([callback, version = update->targetFullRelease->version] { callback (version); });
    }
    catch (const std::exception&)
    {
        // No event and no log line: the front end only sees that no UPDATE_AVAILABLE comes.
    }
}

void applyUpdatesJob (const juce::String& feedUrl, const std::function<void()>& quit, const platform::UpdateLibrary& library,
                      const qvu_UpdateLocator* locator)
{
    try
    {
        UpdateClient client (feedUrl, library, locator);
        const auto update = client.checkForUpdates();
        if (! update.has_value())
            return;
        client.downloadUpdates (*update);
        client.waitExitThenApplyUpdates (update->targetFullRelease, false, true, {});
        juce::MessageManager::callAsync (quit);
    }
    catch (const std::exception&)
    {
        // The program keeps running unchanged.
    }
}

void checkForUpdatesAsync (const juce::String& feedUrl, UpdateAvailableCallback callback)
{
    juce::Thread::launch ([feedUrl, callback = std::move (callback)] { checkForUpdatesJob (feedUrl, callback); });
}

void applyUpdatesAsync (const juce::String& feedUrl, std::function<void()> quit)
{
    juce::Thread::launch ([feedUrl, quit = std::move (quit)] { applyUpdatesJob (feedUrl, quit); });
}
} // namespace quorvelle
