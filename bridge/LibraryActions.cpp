#include "bridge/LibraryActions.h"

#include "bridge/EventSink.h"
#include "bridge/PathPair.h"
#include "platform/CheckedWrite.h"
#include "platform/PathJoin.h"
#include "platform/SystemProbes.h"

#include <cstdio>
#include <cstring>

namespace quorvelle
{
namespace
{
    // Every line break ("\r\n", or "\n" alone) as "\r\n", in UTF-8 without a byte-order mark.
    std::string withCrLf (const juce::String& text)
    {
        const auto* utf8 = text.toRawUTF8();
        const auto length = std::strlen (utf8);
        std::string out;
        out.reserve (length + length / 16);
        for (size_t i = 0; i < length; ++i)
        {
            if (utf8[i] == '\r' && i + 1 < length && utf8[i + 1] == '\n')
                continue;
            if (utf8[i] == '\n')
                out += "\r\n";
            else
                out += utf8[i];
        }
        return out;
    }

    juce::var songIdList (const juce::StringArray& ids)
    {
        juce::Array<juce::var> list;
        for (const auto& id : ids)
            list.add (id);
        return list;
    }
} // namespace

void saveLibrary (const juce::File& root, const juce::String& data)
{
    if (data.isEmpty())
        return;

    const auto target = root.getChildFile ("library.json");
    target.getParentDirectory().createDirectory();
    const auto bytes = withCrLf (data);

    platform::CheckedReplacement replacement (target, "library.tmp");
    if (replacement.isOpen())
    {
        auto stream = replacement.createStream();
        stream->write (bytes.data(), bytes.size());
        stream.reset();
        if (replacement.commit())
            return;
    }
    juce::Logger::writeToLog ("SAVE_LIBRARY: " + replacement.errorText());

    // The temporary copy was complete: only its rename failed, so the library is written in place.
    if (replacement.failedAtRename())
    {
        juce::FileOutputStream out (target);
        if (out.openedOk() && out.setPosition (0) && out.truncate().wasOk())
        {
            out.write (bytes.data(), bytes.size());
            out.flush();
        }
        root.getChildFile ("library.tmp").deleteFile();
    }
}

std::optional<juce::String> loadLibrary (const juce::File& root, const WholeFileReader& readWhole)
{
    const auto library = root.getChildFile ("library.json");
    if (! library.exists())
        return juce::String();

    std::vector<std::byte> bytes;
    if (! library.existsAsFile() || ! readWhole (library, bytes))
    {
        juce::Logger::writeToLog ("LOAD_LIBRARY: cannot read " + library.getFullPathName() + " whole; no library sent");
        return std::nullopt;
    }
    return juce::String::fromUTF8 (reinterpret_cast<const char*> (bytes.data()), static_cast<int> (bytes.size()));
}

bool isPlainSongId (const juce::String& songId)
{
    return songId.isNotEmpty() && songId != "." && songId != ".." && ! songId.containsAnyOf ("/\\");
}

juce::var migrateSongsFolder (const juce::File& root, const juce::String& requestId, const juce::var& songIds)
{
    const auto requestFailure = [&requestId] (const juce::String& error, const juce::String* errorMessage)
    {
        auto result = makeObject ({ { "action", "MIGRATION_SONGS_FOLDER_RESULT" }, { "requestId", requestId }, { "error", error } });
        if (errorMessage != nullptr)
            result.getDynamicObject()->setProperty ("errorMessage", *errorMessage);
        result.getDynamicObject()->setProperty ("moved", juce::Array<juce::var>());
        result.getDynamicObject()->setProperty ("failed", juce::Array<juce::var>());
        return result;
    };

    const auto* ids = songIds.getArray();
    if (ids == nullptr)
        return requestFailure ("songIds_array_missing", nullptr);

    const auto songs = root.getChildFile ("Songs");
    if (! songs.isDirectory())
        if (const auto created = songs.createDirectory(); created.failed() || ! songs.isDirectory())
        {
            const auto message = created.failed() ? created.getErrorMessage() : juce::String ("not a folder");
            return requestFailure ("cannot_create_songs_folder", &message);
        }

    juce::StringArray moved;
    juce::Array<juce::var> failed;
    for (const auto& element : *ids)
    {
        const auto id = element.toString();
        if (id.isEmpty())
            continue;
        if (! isPlainSongId (id))
        {
            failed.add (makeObject ({ { "songId", id }, { "error", "invalid_song_id" } }));
            continue;
        }

        const auto legacy = root.getChildFile (id);
        const auto target = songs.getChildFile (id);
        if (target.exists() && ! legacy.isDirectory())
            moved.add (id);
        else if (target.exists())
            failed.add (makeObject ({ { "songId", id }, { "error", "both_locations_exist" } }));
        else if (! legacy.isDirectory())
            moved.add (id);
        else if (std::rename (legacy.getFullPathName().toRawUTF8(), target.getFullPathName().toRawUTF8()) == 0)
        {
            moved.add (id);
            juce::Logger::writeToLog ("MIGRATE_SONGS_FOLDER: moved " + id);
        }
        else
        {
            failed.add (makeObject ({ { "songId", id },
                                      { "error", "move_failed" },
                                      { "source", legacy.getFullPathName() },
                                      { "destination", target.getFullPathName() } }));
            juce::Logger::writeToLog ("MIGRATE_SONGS_FOLDER: FAILED " + id + " (" + legacy.getFullPathName()
                                      + juce::String::fromUTF8 (" \xe2\x86\x92 ") + target.getFullPathName() + ")");
        }
    }

    return makeObject ({ { "action", "MIGRATION_SONGS_FOLDER_RESULT" },
                         { "requestId", requestId },
                         { "moved", songIdList (moved) },
                         { "failed", failed } });
}

void deleteSongFiles (const juce::File& root, const juce::String& songId)
{
    if (songId.isEmpty())
        return;
    if (! isPlainSongId (songId))
    {
        juce::Logger::writeToLog ("DELETE_SONG_FILES: refused song id " + songId.quoted());
        return;
    }

    if (const auto folder = root.getChildFile ("Songs").getChildFile (songId); folder.exists())
    {
        folder.deleteRecursively();
        juce::Logger::writeToLog ("DELETE_SONG_FILES: Deleted song folder " + folder.getFullPathName());
    }
    if (const auto legacy = root.getChildFile (songId); legacy.exists())
    {
        legacy.deleteRecursively();
        juce::Logger::writeToLog ("DELETE_SONG_FILES: Deleted legacy song folder " + legacy.getFullPathName());
    }
    // The id is a literal prefix: "*" or "?" in it match only themselves.
    if (const auto cache = root.getChildFile ("stretch_cache"); cache.isDirectory())
        for (const auto& file : cache.findChildFiles (juce::File::findFiles, false, "*"))
            if (file.getFileName().startsWith (songId + "_"))
                file.deleteFile();
}

StorageRootChoice chooseStorageRoot (bool useDefault, bool acceptWarning, const juce::String& path)
{
    juce::File candidate;
    if (useDefault)
        candidate = getDefaultStorageRoot();
    else
    {
        if (! path.startsWithChar ('/'))
            return { false, storageRootStatusName (StorageRootStatus::notAbsolute), {} };
        const juce::File given (path);
        candidate = given.getFileName() == "Quorvelle" ? given : given.getChildFile ("Quorvelle");
    }

    const auto status = validateStorageRoot (candidate);
    if (status != StorageRootStatus::ok && status != StorageRootStatus::syncedFolderWarning)
        return { false, storageRootStatusName (status), candidate };
    if (status == StorageRootStatus::syncedFolderWarning && ! acceptWarning)
        return { false, storageRootStatusName (status), candidate };

    if (! persistStorageRoot (candidate))
        return { false, "persistFailed", candidate };
    return { true, "ok", candidate };
}

juce::var makeStorageRootResult (const juce::String& id, bool ok, const juce::String& status, const juce::String& root)
{
    return makeObject ({ { "action", "STORAGE_ROOT_RESULT" },
                         { "id", id },
                         { "ok", ok },
                         { "status", status },
                         { "root", root },
                         { "rootB64", root.isEmpty() ? juce::String() : base64OfText (root) } });
}

juce::var makeDiskFreeInfo (const juce::File& root, const juce::String& id)
{
    const auto folder = root.isDirectory() ? root : root.getParentDirectory();
    const auto drive = platform::driveInfoFor (folder);
    const auto path = folder.getFullPathName();
    auto event = makeObject ({ { "action", "DISK_FREE_INFO" },
                               { "id", id },
                               { "path", path },
                               { "pathB64", base64OfText (path) },
                               { "bytesFree", std::max<juce::int64> (0, drive.freeBytes) },
                               { "bytesTotal", std::max<juce::int64> (0, drive.totalBytes) } });

    if (const auto reports = root.getChildFile ("bug-reports"); reports.isDirectory())
    {
        int count = 0;
        juce::int64 bytes = 0;
        for (const auto& file : reports.findChildFiles (juce::File::findFiles, false, "*.json"))
        {
            ++count;
            bytes += file.getSize();
        }
        event.getDynamicObject()->setProperty ("bugReportCount", count);
        event.getDynamicObject()->setProperty ("bugReportBytes", bytes);
    }
    return event;
}

std::optional<juce::File> folderToReveal (const juce::File& root, const juce::String& subfolder)
{
    const auto target = subfolder.isEmpty() ? root : platform::resolveRelativeUnder (root, subfolder, false);
    if (target.isDirectory())
        return target;
    if (target.getParentDirectory().isDirectory())
        return target.getParentDirectory();
    return std::nullopt;
}
} // namespace quorvelle
