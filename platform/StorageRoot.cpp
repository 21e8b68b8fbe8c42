#include "platform/StorageRoot.h"

#include "platform/CheckedWrite.h"
#include "platform/RegularFile.h"
#include "platform/SystemProbes.h"

#include <sys/stat.h>

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

// The two start-up files hold one path or one id: anything longer is not ours.
constexpr std::size_t maxStorageRootConfigBytes = 16 * 1024;
constexpr std::size_t maxDeviceIdFileBytes = 1024;

// The trimmed text of a small regular file that is valid UTF-8; nothing otherwise (a device or a
// FIFO is never opened for reading, a text in another encoding would name another folder).
std::optional<juce::String> readStartupText (const juce::File& file, std::size_t maxBytes)
{
    const auto bytes = platform::readSmallRegularFile (file, maxBytes);
    if (! bytes || ! juce::CharPointer_UTF8::isValidString (bytes->data(), static_cast<int> (bytes->size()))
        || bytes->find ('\0') != std::string::npos)
        return std::nullopt;
    return juce::String::fromUTF8 (bytes->data(), static_cast<int> (bytes->size())).trim();
}

// The configured root's text; empty when there is none or the file is unusable.
juce::String readConfiguredRoot()
{
    return readStartupText (getStorageRootConfigFile(), maxStorageRootConfigBytes).value_or (juce::String());
}

// 36 characters: hexadecimal digits in the groups 8-4-4-4-12, joined by "-".
bool isWellFormedDeviceId (const juce::String& text)
{
    if (text.length() != 36)
        return false;
    for (int i = 0; i < 36; ++i)
    {
        const auto c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : ! (juce::CharacterFunctions::getHexDigitValue (c) >= 0))
            return false;
    }
    return true;
}

// Whether a folder exists or can be made (it is then made: removing it again could race with a
// thread that just started to use it).
bool folderExistsOrCanBeMade (const juce::File& folder)
{
    return folder.isDirectory() || (::mkdir (folder.getFullPathName().toRawUTF8(), 0755) == 0 && folder.isDirectory());
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
    // A Music folder where no folder can be made (the user's folder settings name /proc, say)
    // counts as missing: the root goes where it goes without one. Below a usable Music folder the
    // root is made here when missing.
    const auto root = juce::File::getSpecialLocation (juce::File::userMusicDirectory).getChildFile (rootFolderName);
    if (folderExistsOrCanBeMade (root))
        return root;
    return juce::File ("~/Music").getChildFile (rootFolderName);
}

StorageRootCache& getStorageRootCache()
{
    static StorageRootCache cache;
    return cache;
}

juce::File resolveStorageRoot()
{
    {
        const auto configured = readConfiguredRoot();
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
    return readConfiguredRoot().isNotEmpty();
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

    // A stored id that is not a well-formed id (a device, a FIFO, random bytes) is replaced, as a
    // missing one is.
    auto file = getDeviceIdFile();
    if (const auto stored = readStartupText (file, maxDeviceIdFileBytes); stored && isWellFormedDeviceId (*stored))
    {
        cache.id = *stored;
        return cache.id;
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
