#pragma once

#include "app/UpdateClient.h"

#include <functional>

namespace quorvelle
{
// The release feed: QUORVELLE_UPDATE_FEED from the environment when set, else the feed this build
// was configured with (empty by default: the check then fails silently).
juce::String releaseFeedUrl();

using UpdateAvailableCallback = std::function<void (const juce::String& version)>;

// Checks the feed; when a newer release exists, posts `callback` with its version to the message
// thread. Every failure ends the job silently. `locator` names another install (tests).
void checkForUpdatesJob (const juce::String& feedUrl, const UpdateAvailableCallback& callback,
                         const platform::UpdateLibrary& library = platform::systemUpdateLibrary(), const qvu_UpdateLocator* locator = nullptr);

// Checks, downloads and hands the update to the updater, which applies it once this process has
// ended and restarts the program; then posts `quit` to the message thread. Every failure ends the
// job silently, with the program running unchanged.
void applyUpdatesJob (const juce::String& feedUrl, const std::function<void()>& quit,
                      const platform::UpdateLibrary& library = platform::systemUpdateLibrary(), const qvu_UpdateLocator* locator = nullptr);

// The two jobs on threads of their own.
void checkForUpdatesAsync (const juce::String& feedUrl, UpdateAvailableCallback callback);
void applyUpdatesAsync (const juce::String& feedUrl, std::function<void()> quit);
} // namespace quorvelle
