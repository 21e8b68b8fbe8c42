#include "platform/StorageRoot.h"

#include "platform/CheckedWrite.h"
#include "platform/SystemProbes.h"

namespace quorvelle
{
namespace
{
const juce::String rootFolderName { "Quorvelle" };

// Paths are POSIX here: absolute means a leading "/", the last component is the text after the last "/".
bool isAbsolutePath (const juce::String& p) { return p.startsWithChar ('/'); }

juce::String lastComponent (const juce::String& p) { return p.fromLastOccurrenceOf ("/", false, false); }

struct DeviceIdCache
{
    juce::CriticalSection lock;
    juce::String id;
};

DeviceIdCache& getDeviceIdCache()
{
    static DeviceIdCache cache;
    return cache;
}

bool canWriteInto (const juce::File& folder)
{
    return folder.isDirectory() && folder.hasWriteAccess();
}
} // namespace

const char* storageRootStatusName (StorageRootStatus s)
{
    switch (s)
    {
        case StorageRootStatus::ok:                  return "ok";
        case StorageRootStatus::syncedFolderWarning: return "syncedFolderWarning";
        case StorageRootStatus::notAbsolute:         return "notAbsolute";
        case StorageRootStatus::networkDrive:        return "networkDrive";
        case StorageRootStatus::removableDrive:      return "removableDrive";
        case StorageRootStatus::notCreatable:        return "notCreatable";
        case StorageRootStatus::notWritable:         return "notWritable";
    }
    return "ok";
}

juce::File getApplicationDataFolder()
{
    return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory).getChildFile (rootFolderName);
}

juce::File getStorageRootConfigFile() { return getApplicationDataFolder().getChildFile ("storage-root"); }

juce::File getDeviceIdFile() { return getApplicationDataFolder().getChildFile ("device-id"); }

juce::File getDefaultStorageRoot()
{
    return juce::File::getSpecialLocation (juce::File::userMusicDirectory).getChildFile (rootFolderName);
}

StorageRootCache& getStorageRootCache()
{
    static StorageRootCache cache;
    return cache;
}

juce::File resolveStorageRoot()
{
    auto configFile = getStorageRootConfigFile();
    if (configFile.existsAsFile())
    {
        auto configured = configFile.loadFileAsString().trim();
        if (configured.isNotEmpty() && isAbsolutePath (configured) && lastComponent (configured) == rootFolderName)
        {
            juce::File folder (configured);
            bool accepted = false;
            if (folder.isDirectory())
                accepted = canWriteInto (folder);
            else if (folder.createDirectory().wasOk())
                accepted = canWriteInto (folder);

            if (accepted)
                return folder;

            juce::Logger::writeToLog ("[STORAGE-ROOT] config apunta a raiz inaccesible (" + configured
                                      + ") -> fallback al default");
        }
    }
    return getDefaultStorageRoot();
}

juce::File getStorageRoot()
{
    auto& cache = getStorageRootCache();
    const juce::ScopedLock sl (cache.lock);
    if (! cache.resolved)
    {
        cache.root = resolveStorageRoot();
        cache.resolved = true;
    }
    return cache.root;
}

bool hasStorageRootConfig()
{
    auto configFile = getStorageRootConfigFile();
    return configFile.existsAsFile() && configFile.loadFileAsString().trim().isNotEmpty();
}

bool defaultRootHasLibrary()
{
    auto root = getDefaultStorageRoot();
    return root.getChildFile ("library.json").existsAsFile()
        || root.getChildFile ("Songs").isDirectory()
        || root.getChildFile ("Pads").isDirectory();
}

StorageRootStatus validateStorageRoot (const juce::File& proposed)
{
    return validateStorageRoot (proposed.getFullPathName());
}

StorageRootStatus validateStorageRoot (const juce::String& path)
{
    if (! isAbsolutePath (path))
        return StorageRootStatus::notAbsolute;

    if (path.startsWith ("//"))
        return StorageRootStatus::networkDrive;

    juce::File folder (path);
    const auto drive = platform::driveInfoFor (folder);
    if (drive.type == platform::DriveType::removable || drive.type == platform::DriveType::optical)
        return StorageRootStatus::removableDrive;
    if (drive.type == platform::DriveType::network)
        return StorageRootStatus::networkDrive;

    if (! folder.isDirectory())
        if (! folder.createDirectory().wasOk() || ! folder.isDirectory())
            return StorageRootStatus::notCreatable;

    auto probe = folder.getChildFile (".quorvelle-write-test");
    if (! platform::replaceFileWithText (probe, "ok") || ! probe.existsAsFile())
        return StorageRootStatus::notWritable;
    probe.deleteFile();

    const auto lower = path.toLowerCase();
    for (auto* marker : { "onedrive", "dropbox", "google drive", "googledrive", "icloud" })
        if (lower.contains (marker))
            return StorageRootStatus::syncedFolderWarning;

    for (auto* variable : { "OneDrive", "OneDriveConsumer", "OneDriveCommercial" })
    {
        auto value = juce::SystemStats::getEnvironmentVariable (variable, {});
        if (value.isNotEmpty() && lower.startsWith (value.toLowerCase()))
            return StorageRootStatus::syncedFolderWarning;
    }

    return StorageRootStatus::ok;
}

bool persistStorageRoot (const juce::File& folder)
{
    const auto path = folder.getFullPathName();
    if (lastComponent (path) != rootFolderName)
        return false;

    getApplicationDataFolder().createDirectory();
    if (! platform::replaceFileWithText (getStorageRootConfigFile(), path))
        return false;

    auto& cache = getStorageRootCache();
    const juce::ScopedLock sl (cache.lock);
    cache.root = folder;
    cache.resolved = true;
    return true;
}

juce::String getDeviceId()
{
    auto& cache = getDeviceIdCache();
    const juce::ScopedLock sl (cache.lock);
    if (cache.id.isNotEmpty())
        return cache.id;

    auto file = getDeviceIdFile();
    if (file.existsAsFile())
    {
        auto stored = file.loadFileAsString().trim();
        if (stored.isNotEmpty())
        {
            cache.id = stored;
            return cache.id;
        }
    }

    auto id = juce::Uuid().toDashedString();
    getApplicationDataFolder().createDirectory();
    platform::replaceFileWithText (file, id); // on failure the id still holds for this process
    cache.id = id;
    return cache.id;
}

void resetHostIdentityCachesForTesting()
{
    {
        auto& cache = getStorageRootCache();
        const juce::ScopedLock sl (cache.lock);
        cache.root = juce::File();
        cache.resolved = false;
    }
    auto& ids = getDeviceIdCache();
    const juce::ScopedLock sl (ids.lock);
    ids.id.clear();
}
} // namespace quorvelle
