#include "audio/loading/StretchCache.h"

#include "platform/CheckedWrite.h"
#include "platform/StorageRoot.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>
#include <cmath>

namespace quorvelle
{
namespace
{
bool isLegacySongFolderName (const juce::String& name)
{
    return name.length() == 36 && name.containsChar ('-');
}

// The song folders of one layout that hold a "stretched" folder.
template <typename Visit>
void forEachStretchedFolder (const juce::File& folder, bool legacyLayout, Visit&& visit)
{
    if (! folder.isDirectory())
        return;
    for (const auto& song : folder.findChildFiles (juce::File::findDirectories, false, "*"))
    {
        if (legacyLayout && ! isLegacySongFolderName (song.getFileName()))
            continue;
        if (const auto stretched = song.getChildFile ("stretched"); stretched.isDirectory())
            visit (song.getFileName(), stretched);
    }
}

bool holdsWholeBuffer (const juce::File& file, const juce::AudioBuffer<float>& buffer)
{
    juce::WavAudioFormat wav;
    const std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (file.createInputStream().release(), true));
    return reader != nullptr && reader->lengthInSamples == buffer.getNumSamples() && (int) reader->numChannels == buffer.getNumChannels();
}

bool deleteFolder (const juce::File& folder)
{
    return folder.isDirectory() && folder.deleteRecursively();
}
} // namespace

juce::String cleanStretchCacheName (const juce::String& id)
{
    auto clean = id;
    for (const auto c : juce::String ("/\\:*?\"<>|"))
        clean = clean.replaceCharacter (c, '_');
    return clean;
}

juce::File stretchCachePath (const juce::File& root, const juce::String& songId, const juce::String& trackId, double ratio, float semitones,
                             double sampleRate)
{
    // Halves round to even (the default rounding mode); the key offset is scaled in single precision.
    const auto ratioPart = (juce::int64) std::nearbyint (ratio * 100000.0);
    const auto keyPart = (juce::int64) std::nearbyint (semitones * 1000.0f);
    const auto folder = root.getChildFile ("Songs").getChildFile (cleanStretchCacheName (songId)).getChildFile ("stretched");
    if (! folder.isDirectory())
        folder.createDirectory();
    return folder.getChildFile (cleanStretchCacheName (trackId) + "_" + juce::String (ratioPart) + "_" + juce::String (keyPart) + "_"
                                + juce::String ((juce::int64) sampleRate) + "_v4.wav");
}

juce::File stretchCachePath (const juce::String& songId, const juce::String& trackId, double ratio, float semitones, double sampleRate)
{
    return stretchCachePath (getStorageRoot(), songId, trackId, ratio, semitones, sampleRate);
}

bool writeStretchCacheFile (const juce::File& path, const juce::String& trackId, const juce::AudioBuffer<float>& buffer, double sampleRate,
                            const std::function<void (const juce::String&)>& debugLog, bool preloadWriter)
{
    const auto log = [&] (const juce::String& line)
    {
        if (debugLog != nullptr)
            debugLog (line);
    };

    platform::CheckedReplacement replacement (path, path.getFileName() + ".tmp");
    bool written = false;
    if (replacement.isOpen())
    {
        juce::WavAudioFormat wav;
        const auto layout = juce::AudioChannelSet::canonicalChannelSet (buffer.getNumChannels());
        std::unique_ptr<juce::OutputStream> stream = replacement.createStream();
        auto* rawStream = stream.get();
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (rawStream, sampleRate, layout, 16, {}, 0));
        if (writer != nullptr)
        {
            stream.release(); // the writer owns it now
            written = writer->writeFromAudioSampleBuffer (buffer, 0, buffer.getNumSamples());
            writer.reset(); // finishes the header
            // The writer ignores a failed write while finishing: the file must read back whole.
            written = written && ! replacement.hasFailed() && holdsWholeBuffer (replacement.getTemporaryFile(), buffer);
        }
    }

    if (! written)
    {
        replacement.abandon();
        log ("[STRETCH-CACHE] WRITE FAILED (createOutputStream/writer) " + juce::String::fromUTF8 ("\xe2\x86\x92") + " sin cach"
             + juce::String::fromUTF8 ("\xc3\xa9") + " en disco | " + path.getFullPathName());
        return false;
    }
    if (! replacement.commit())
    {
        const auto at = replacement.failedAtRename() ? "moveFileTo" : "createOutputStream/writer";
        log ("[STRETCH-CACHE] WRITE FAILED (" + juce::String (at) + ") " + juce::String::fromUTF8 ("\xe2\x86\x92") + " sin cach"
             + juce::String::fromUTF8 ("\xc3\xa9") + " en disco | " + path.getFullPathName());
        return false;
    }

    removeLegacyStretchCacheFiles (path);
    if (const auto pruned = pruneStretchCacheSets (path, trackId); pruned >= 1)
        log ("[STRETCH-PRUNE] " + juce::String (preloadWriter ? "preload " : "") + "trk=" + trackId.substring (0, 16) + " borrados "
             + juce::String (pruned) + " set(s) viejo(s)");
    return true;
}

void removeLegacyStretchCacheFiles (const juce::File& path)
{
    const auto name = path.getFileName();
    if (! name.endsWith ("_v4.wav"))
        return;
    const auto stem = name.dropLastCharacters (7);
    for (const auto* older : { "_v1.wav", "_v2.wav", "_v3.wav" })
        path.getSiblingFile (stem + older).deleteFile();
    path.getSiblingFile (name + ".tmp").deleteFile();
}

int pruneStretchCacheSets (const juce::File& path, const juce::String& trackId)
{
    const auto prefix = cleanStretchCacheName (trackId) + "_";
    int deleted = 0;
    for (const auto& file : path.getParentDirectory().findChildFiles (juce::File::findFiles, false, "*_v4.wav"))
    {
        if (file.getFileName().equalsIgnoreCase (path.getFileName()) || ! file.getFileName().startsWith (prefix))
            continue;
        if (file.deleteFile())
            ++deleted;
    }
    return deleted;
}

bool isStretchCacheFilePresent (const juce::File& path)
{
    return path.exists() && ! path.isDirectory();
}

void collectStretchCacheGarbage (const juce::File& folder, bool legacyLayout, StretchCacheGcContext& context)
{
    forEachStretchedFolder (folder, legacyLayout, [&] (const juce::String& songId, const juce::File& stretched)
    {
        if (! context.keepSongIds.contains (songId))
        {
            if (stretched.deleteRecursively())
                ++context.deletedFolders;
            return;
        }
        for (const auto& wav : stretched.findChildFiles (juce::File::findFiles, false, "*.wav"))
        {
            const auto size = std::max<juce::int64> (0, wav.getSize());
            context.entries.push_back ({ wav, wav.getLastModificationTime().toMilliseconds(), size });
            context.totalBytes += size;
        }
        for (const auto& tmp : stretched.findChildFiles (juce::File::findFiles, false, "*.tmp"))
            tmp.deleteFile();
    });
}

juce::String runStretchCacheGc (const juce::File& root, const juce::StringArray& keepSongIds, juce::int64 maxTotalBytes)
{
    StretchCacheGcContext context;
    context.keepSongIds = keepSongIds;
    collectStretchCacheGarbage (root.getChildFile ("Songs"), false, context);
    collectStretchCacheGarbage (root, true, context);
    if (deleteFolder (root.getChildFile ("stretch_cache")))
        ++context.deletedFolders;

    int evicted = 0;
    if (context.totalBytes > maxTotalBytes)
    {
        std::stable_sort (context.entries.begin(), context.entries.end(),
                          [] (const StretchCacheEntry& a, const StretchCacheEntry& b) { return a.modificationMs < b.modificationMs; });
        for (const auto& entry : context.entries)
        {
            if (context.totalBytes <= maxTotalBytes)
                break;
            if (entry.file.deleteFile())
            {
                context.totalBytes -= entry.sizeBytes;
                ++evicted;
            }
        }
    }

    return "[STRETCH-GC] boot GC | hu" + juce::String::fromUTF8 ("\xc3\xa9") + "rfanos=" + juce::String (context.deletedFolders)
           + " | evictados por tope=" + juce::String (evicted) + " | en uso=" + juce::String ((double) context.totalBytes / 1048576.0, 1)
           + "MB / tope=" + juce::String ((juce::int64) std::llround ((double) maxTotalBytes / 1048576.0)) + "MB | conservadas=" + juce::String (keepSongIds.size())
           + " canci" + juce::String::fromUTF8 ("\xc3\xb3") + "n(es) con pref activa";
}

juce::String clearSongStretchCache (const juce::File& root, const juce::String& songId)
{
    // Cleaned as the writers clean it, so the id names one folder where they put its files.
    const auto folder = cleanStretchCacheName (songId);
    if (folder.isEmpty() || folder == "." || folder == "..")
        return {};
    root.getChildFile ("Songs").getChildFile (folder).getChildFile ("stretched").deleteRecursively();
    root.getChildFile (folder).getChildFile ("stretched").deleteRecursively();
    return "[STRETCH-GC] cach" + juce::String::fromUTF8 ("\xc3\xa9") + " de canci" + juce::String::fromUTF8 ("\xc3\xb3")
           + "n borrado | song=" + songId.substring (0, 8);
}

juce::String clearAllStretchCaches (const juce::File& root)
{
    int deleted = 0;
    const auto clear = [&] (const juce::String&, const juce::File& stretched)
    {
        if (stretched.deleteRecursively())
            ++deleted;
    };
    forEachStretchedFolder (root.getChildFile ("Songs"), false, clear);
    forEachStretchedFolder (root, true, clear);
    if (deleteFolder (root.getChildFile ("stretch_cache")))
        ++deleted;
    return "[STRETCH-CLEAR] borradas " + juce::String (deleted) + " carpeta(s) stretched/ en disco";
}
} // namespace quorvelle
