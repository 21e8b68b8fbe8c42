#pragma once

#include "platform/StorageRoot.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <optional>
#include <vector>

namespace quorvelle
{
// The storage-root rows of the bridge that run inline on the message thread: the library file,
// the song folders, the storage-root switch, the disk report and the folder reveal. `root` is the
// storage root in every call.

// "SAVE_LIBRARY": the text with every line break as CR LF, written completely to "library.tmp"
// and then renamed over "library.json". Only when that rename fails is "library.json" written
// directly. Nothing happens for an empty text.
void saveLibrary (const juce::File& root, const juce::String& data);

// "LOAD_LIBRARY": the library's text; "" when no "library.json" exists; nothing (and a log line)
// when it exists but cannot be read whole, so an unreadable library never reads as an empty one.
using WholeFileReader = std::function<bool (const juce::File&, std::vector<std::byte>&)>;
std::optional<juce::String> loadLibrary (const juce::File& root, const WholeFileReader& readWhole);

// A song id that names one folder as it is (not empty, ".", ".." or holding "/" or "\").
bool isPlainSongId (const juce::String& songId);

// "MIGRATE_SONGS_FOLDER": moves legacy song folders into "Songs" and returns
// MIGRATION_SONGS_FOLDER_RESULT.
juce::var migrateSongsFolder (const juce::File& root, const juce::String& requestId, const juce::var& songIds);

// "DELETE_SONG_FILES": the song's folders in both layouts and its files in "stretch_cache".
void deleteSongFiles (const juce::File& root, const juce::String& songId);

// "SET_STORAGE_ROOT" up to the persisted choice: the candidate folder, its check and the write
// of the choice. `root` is empty for "notAbsolute".
struct StorageRootChoice
{
    bool ok = false;
    juce::String status;
    juce::File root;
};
StorageRootChoice chooseStorageRoot (bool useDefault, bool acceptWarning, const juce::String& path);

// STORAGE_ROOT_RESULT.
juce::var makeStorageRootResult (const juce::String& id, bool ok, const juce::String& status, const juce::String& root);

// DISK_FREE_INFO for the request's id.
juce::var makeDiskFreeInfo (const juce::File& root, const juce::String& id);

// "REVEAL_FOLDER": the folder to show (the subfolder below root, else its parent when that is a
// folder), or nothing.
std::optional<juce::File> folderToReveal (const juce::File& root, const juce::String& subfolder);
} // namespace quorvelle
