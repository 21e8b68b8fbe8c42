#pragma once

#include "platform/UpdateLibrary.h"

#include <juce_core/juce_core.h>

#include <optional>
#include <stdexcept>
#include <vector>

namespace quorvelle
{
// One release asset, copied out of the update library.
struct UpdateAsset
{
    juce::String packageId, version, type, fileName, sha1, sha256;
    juce::uint64 size = 0;
    juce::String notesMarkdown, notesHtml;
};

struct UpdateInfo
{
    std::optional<UpdateAsset> targetFullRelease; // required by every call that takes the record
    std::optional<UpdateAsset> baseRelease;
    std::vector<UpdateAsset> deltasToTarget;
    bool isDowngrade = false;
};

// A failed library call, with the library's text.
struct UpdateError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// The program's wrapper around one update-manager handle of the update library: copies the
// library's records, releases what the library hands out, and turns each failure into an
// UpdateError carrying the library's last error text.
//
// Threads: one client per job thread.
class UpdateClient final
{
public:
    // Throws UpdateError when the library refuses the feed. `locator` may be null (the running
    // program's install).
    UpdateClient (const juce::String& feedUrl, const platform::UpdateLibrary& library = platform::systemUpdateLibrary(),
                  const qvu_UpdateLocator* locator = nullptr);
    ~UpdateClient();

    std::optional<UpdateInfo> checkForUpdates();
    void downloadUpdates (const UpdateInfo& info);
    void waitExitThenApplyUpdates (const std::optional<UpdateAsset>& asset, bool silent, bool restart, const juce::StringArray& restartArguments);

    // Copies a library record; throws "Required property TargetFullRelease was null".
    static UpdateInfo fromLibrary (const qvu_UpdateInfo& info);

private:
    [[noreturn]] void throwLastError() const;

    const platform::UpdateLibrary& library;
    qvu_UpdateManagerHandle handle = nullptr;

    JUCE_DECLARE_NON_COPYABLE (UpdateClient)
};
} // namespace quorvelle
