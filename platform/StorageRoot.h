#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle
{
// Result of checking a folder the user proposes as storage root; the names are what the bridge reports.
enum class StorageRootStatus
{
    ok = 0,
    syncedFolderWarning = 1,
    notAbsolute = 2,
    networkDrive = 3,
    removableDrive = 4,
    notCreatable = 5,
    notWritable = 6
};

const char* storageRootStatusName (StorageRootStatus);

// The application-data folder "Quorvelle" (XDG config home).
juce::File getApplicationDataFolder();
juce::File getStorageRootConfigFile();
juce::File getDefaultStorageRoot();
juce::File getDeviceIdFile();

struct StorageRootCache
{
    juce::CriticalSection lock;
    juce::File root;
    bool resolved = false;
};

StorageRootCache& getStorageRootCache();

// The start-up files ("storage-root", "device-id") are read only when they are small regular files
// holding UTF-8; anything else counts as no file (a device id that is not a well-formed UUID is
// replaced). A default root that cannot be made below the Music folder moves to ~/Music.
juce::File resolveStorageRoot();
juce::File getStorageRoot();
bool hasStorageRootConfig();
bool defaultRootHasLibrary();
// The proposed folder as the text the user gave (a relative text must stay relative to be refused).
StorageRootStatus validateStorageRoot (const juce::String& proposedPath);
StorageRootStatus validateStorageRoot (const juce::File& proposed);
bool persistStorageRoot (const juce::File& folder);
juce::String getDeviceId();

// Forgets both process-wide caches, so a test can start from an unresolved state.
void resetHostIdentityCachesForTesting();
} // namespace quorvelle
