// The stretch cache on disk: one 16-bit WAV file per stretched stem, named after the song, the
// track, the tempo ratio, the key offset and the rate, under storage root/"Songs"/<song>/"stretched".
// Writers (the offline stretch jobs and the preloader's pre-stretch) go through
// `writeStretchCacheFile`; the bridge's three cache actions go through the functions at the end.
// Threads: any; the folder actions are meant for the message thread (start-up and user requests).
#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

#include <functional>
#include <vector>

namespace quorvelle
{
// A song or track id with the nine characters that file names cannot hold replaced by "_".
juce::String cleanStretchCacheName (const juce::String& id);

// The cache file of one stretched stem under `root`; creates its "stretched" folder.
juce::File stretchCachePath (const juce::File& root, const juce::String& songId, const juce::String& trackId, double ratio, float semitones,
                             double sampleRate);
// The same under the current storage root.
juce::File stretchCachePath (const juce::String& songId, const juce::String& trackId, double ratio, float semitones, double sampleRate);

// Writes `buffer` at `sampleRate` as the cache file `path` (through "<name>.tmp", renamed only once
// complete), then removes the file's older generations and the other cached sets of the track.
// `debugLog` receives the prune line and the failure lines; `preloadWriter` marks the prune line of
// the preloader. False when the cache file could not be written (the audio stays usable from memory).
bool writeStretchCacheFile (const juce::File& path, const juce::String& trackId, const juce::AudioBuffer<float>& buffer, double sampleRate,
                            const std::function<void (const juce::String&)>& debugLog, bool preloadWriter = false);

// Deletes the "_v1", "_v2" and "_v3" generations of a "_v4.wav" cache file and its ".tmp" file.
void removeLegacyStretchCacheFiles (const juce::File& path);
// Deletes the track's other "*_v4.wav" files in the folder of `path`; returns how many.
int pruneStretchCacheSets (const juce::File& path, const juce::String& trackId);

// A cache file counts as present when it exists and is not a folder.
bool isStretchCacheFilePresent (const juce::File& path);

struct StretchCacheEntry
{
    juce::File file;
    juce::int64 modificationMs = 0;
    juce::int64 sizeBytes = 0;
};

struct StretchCacheGcContext
{
    juce::StringArray keepSongIds;
    int deletedFolders = 0;
    std::vector<StretchCacheEntry> entries;
    juce::int64 totalBytes = 0;
};

// One layout of song folders: for each sub-folder of `folder` (in the legacy layout only names of
// 36 characters holding "-") with a "stretched" folder, a kept song's "*.tmp" files are deleted and
// its "*.wav" files listed; any other song's "stretched" folder is deleted and counted.
void collectStretchCacheGarbage (const juce::File& folder, bool legacyLayout, StretchCacheGcContext& context);

// "GC_STRETCH_CACHE": both layouts, the old "stretch_cache" folder, then eviction of the oldest
// kept files while the total exceeds `maxTotalBytes`. Returns the summary line.
juce::String runStretchCacheGc (const juce::File& root, const juce::StringArray& keepSongIds, juce::int64 maxTotalBytes);
// "CLEAR_SONG_STRETCH_CACHE": the song's "stretched" folders in both layouts, the id cleaned as the
// cache names clean it; returns its line. "", "." and ".." clear nothing and give no line.
juce::String clearSongStretchCache (const juce::File& root, const juce::String& songId);
// "CLEAR_STRETCH_CACHE": every "stretched" folder of both layouts and "stretch_cache"; returns its line.
juce::String clearAllStretchCaches (const juce::File& root);
} // namespace quorvelle
