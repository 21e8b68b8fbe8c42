#include "bridge/FileSaveJobs.h"

#include "bridge/EventSink.h"
#include "bridge/JsonBridge.h"
#include "bridge/PathPair.h"
#include "platform/CheckedWrite.h"
#include "platform/FileHash.h"
#include "platform/PathJoin.h"

#include <juce_cryptography/juce_cryptography.h>

namespace quorvelle
{
namespace
{
    juce::String textOf (const juce::var& message, const char* key)
    {
        return message.getProperty (key, {}).toString();
    }

    // The root as both save jobs use it: created when missing; invalid when it is empty.
    juce::File preparedRoot (const juce::File& root)
    {
        if (root.getFullPathName().isEmpty())
            return {};
        if (! root.isDirectory())
            root.createDirectory();
        return root;
    }

    // The text of folder / name without resolving it (for answers about refused names).
    juce::String joinedText (const juce::File& folder, const juce::String& name)
    {
        return folder.getFullPathName() + "/" + name;
    }

    juce::String fileUrl (const juce::File& file)
    {
        return "file://" + file.getFullPathName();
    }
} // namespace

SaveFileRequest readSaveFileRequest (const juce::var& message)
{
    return { textOf (message, "id"), textOf (message, "filename"), textOf (message, "subfolder"), textOf (message, "data") };
}

SaveFileFromPathRequest readSaveFileFromPathRequest (const juce::var& message)
{
    const auto source = readPathPair (message, bridgeLimits::base64Path, "SAVE_FILE_FROM_PATH.pathB64");
    return { textOf (message, "id"), source.path, textOf (message, "filename"), textOf (message, "subfolder") };
}

FileSavedResult saveFileJob (const SaveFileRequest& request, const juce::File& rootIn)
{
    const auto root = preparedRoot (rootIn);
    if (root == juce::File() || ! root.isDirectory())
        return { request.id, {}, "storage_root_unavailable" };

    const auto folder = request.subfolder.isEmpty() ? root : platform::resolveRelativeUnder (root, request.subfolder, true);
    if (! platform::isPlainFileName (request.filename))
    {
        juce::Logger::writeToLog ("SAVE_FILE: write failed for " + joinedText (folder, request.filename));
        return { request.id, {}, "write_failed" };
    }
    const auto destination = folder.getChildFile (request.filename);

    juce::MemoryBlock bytes;
    if (! decodeBase64 (request.data, bytes))
    {
        juce::Logger::writeToLog ("Failed to decode base64 for file: " + request.filename);
        return { request.id, {}, "base64_decode_failed" };
    }

    bool written = false;
    if (bytes.getSize() == 0)
        written = ! destination.exists() || (destination.existsAsFile() && destination.deleteFile());
    else
        written = platform::replaceFileWithData (destination, bytes.getData(), bytes.getSize());

    if (! written)
    {
        juce::Logger::writeToLog ("SAVE_FILE: write failed for " + destination.getFullPathName());
        return { request.id, {}, "write_failed" };
    }
    return { request.id, destination.getFullPathName(), {} };
}

FileSavedResult saveFileFromPathJob (const SaveFileFromPathRequest& request, const juce::File& rootIn)
{
    const juce::File source = request.path.isEmpty() ? juce::File() : juce::File (request.path);
    if (request.path.isEmpty() || ! source.existsAsFile())
    {
        juce::Logger::writeToLog ("SAVE_FILE_FROM_PATH: source not found " + request.path);
        return { request.id, {}, "source_not_found" };
    }

    const auto root = preparedRoot (rootIn);
    if (root == juce::File())
        return { request.id, {}, "storage_root_unavailable" };

    const auto folder = request.subfolder.isEmpty() ? root : platform::resolveRelativeUnder (root, request.subfolder, true);
    // The destination is replaced only by the moved file itself: never deleted beforehand.
    if (! platform::isPlainFileName (request.filename)
        || ! platform::moveFileReplacing (source, folder.getChildFile (request.filename)))
    {
        juce::Logger::writeToLog ("SAVE_FILE_FROM_PATH: moveFileTo failed for " + request.filename);
        return { request.id, {}, "move_failed" };
    }
    return { request.id, folder.getChildFile (request.filename).getFullPathName(), {} };
}

juce::var makeFileSavedEvent (const FileSavedResult& result)
{
    auto event = makeObject ({ { "action", "FILE_SAVED" }, { "id", result.id }, { "ok", result.error.isEmpty() } });
    auto* object = event.getDynamicObject();
    if (result.error.isNotEmpty())
        object->setProperty ("error", result.error);
    else
    {
        object->setProperty ("path", result.path);
        object->setProperty ("url", "file://" + result.path);
        object->setProperty ("pathB64", base64OfText (result.path));
    }
    return event;
}

//==============================================================================
namespace
{
    ImageSaveResult imageFailure (const juce::String& id, const juce::String& error)
    {
        ImageSaveResult result;
        result.id = id;
        result.error = error;
        return result;
    }

    ImageSaveResult imageSuccess (const juce::String& id, const juce::File& target, const juce::String& hash, juce::int64 size,
                                  const juce::String& mimeType)
    {
        ImageSaveResult result;
        result.id = id;
        result.success = true;
        result.url = fileUrl (target);
        result.contentHash = hash;
        result.sizeBytes = size;
        result.mimeType = mimeType;
        return result;
    }

    juce::File imageFolder (const juce::File& root, const juce::String& subfolder)
    {
        auto dir = subfolder.isEmpty() ? root : platform::resolveRelativeUnder (root, subfolder, true);
        if (! dir.isDirectory())
            dir.createDirectory();
        return dir;
    }
} // namespace

ImageSaveResult saveAndHashImage (const juce::var& message, const juce::File& root)
{
    const auto id = textOf (message, "id");
    const auto data = textOf (message, "data");
    if (exceedsBridgeLimit (data, bridgeLimits::savedFileData, "SAVE_AND_HASH_IMAGE"))
        return imageFailure (id, "payload_too_large");

    juce::MemoryBlock bytes;
    if (! decodeBase64 (data, bytes))
        return imageFailure (id, "base64_decode_failed");

    const auto dir = imageFolder (root, textOf (message, "subfolder"));
    // Illegal characters are dropped from the name; what is left must still name a child.
    const auto name = juce::File::createLegalFileName (textOf (message, "filename"));
    if (! platform::isPlainFileName (name))
        return imageFailure (id, "file_write_failed: " + joinedText (dir, name));

    const auto target = dir.getChildFile (name);
    if (! platform::replaceFileWithData (target, bytes.getData(), bytes.getSize()))
        return imageFailure (id, "file_write_failed: " + target.getFullPathName());

    const auto hash = juce::SHA256 (bytes.getData(), bytes.getSize()).toHexString();
    return imageSuccess (id, target, hash, static_cast<juce::int64> (bytes.getSize()), textOf (message, "mimeType"));
}

ImageSaveResult saveAndHashImageFromPath (const juce::var& message, const juce::File& root)
{
    const auto id = textOf (message, "id");
    const auto sourcePath = readPathPair (message, bridgeLimits::base64Path, "SAVE_AND_HASH_IMAGE_FROM_PATH.pathB64").path;
    const juce::File source = sourcePath.isEmpty() ? juce::File() : juce::File (sourcePath);
    if (sourcePath.isEmpty() || ! source.existsAsFile())
        return imageFailure (id, "source_not_found: " + sourcePath);

    const auto dir = imageFolder (root, textOf (message, "subfolder"));
    const auto name = textOf (message, "filename");
    if (! platform::isPlainFileName (name))
        return imageFailure (id, "move_failed: " + joinedText (dir, name));
    const auto target = dir.getChildFile (name);

    juce::String hash;
    juce::int64 size = 0;
    {
        juce::FileInputStream in (source);
        if (! in.openedOk())
            return imageFailure (id, "read_failed: " + sourcePath);
        size = in.getTotalLength();
        hash = platform::sha256Hex (in);
    }

    if (! platform::moveFileReplacing (source, target))
        return imageFailure (id, "move_failed: " + target.getFullPathName());

    juce::Logger::writeToLog ("SAVE_AND_HASH_IMAGE_FROM_PATH: Saved " + target.getFullPathName());
    return imageSuccess (id, target, hash, size, textOf (message, "mimeType"));
}

juce::var makeImageSaveCompleteEvent (const ImageSaveResult& result)
{
    if (! result.success)
        return makeObject ({ { "action", "IMAGE_SAVE_COMPLETE" }, { "id", result.id }, { "success", false }, { "error", result.error } });
    return makeObject ({ { "action", "IMAGE_SAVE_COMPLETE" },
                         { "id", result.id },
                         { "success", true },
                         { "url", result.url },
                         { "urlB64", base64OfText (result.url) },
                         { "contentHash", result.contentHash },
                         { "sizeBytes", result.sizeBytes },
                         { "mimeType", result.mimeType } });
}

//==============================================================================
BlobStore::~BlobStore()
{
    for (auto& [id, blob] : pending)
    {
        blob.stream.reset();
        blob.file.deleteFile();
    }
}

BlobStore::Outcome BlobStore::fail (const juce::String& id, const juce::String& error)
{
    if (const auto it = pending.find (id); it != pending.end())
    {
        it->second.stream.reset();
        it->second.file.deleteFile();
        pending.erase (it);
    }
    return { Outcome::Kind::error, id, {}, error };
}

BlobStore::Outcome BlobStore::writeChunk (const juce::var& message)
{
    const auto id = textOf (message, "id");
    const auto data = textOf (message, "dataBase64");
    const auto* object = message.getDynamicObject();
    const bool isLast = object != nullptr && object->hasProperty ("isLast") && static_cast<bool> (object->getProperty ("isLast"));

    if (exceedsBridgeLimit (data, bridgeLimits::tempChunk, "WRITE_BLOB_TEMP_CHUNK"))
        return fail (id, "Chunk exceeds bridge size limit");

    auto it = pending.find (id);
    if (it == pending.end())
    {
        // The suffix only ends the name of a file in the temporary folder: one that could reach
        // elsewhere is replaced by the default.
        auto suffix = object != nullptr && object->hasProperty ("suffix") ? object->getProperty ("suffix").toString() : juce::String (".bin");
        if (suffix.containsAnyOf ("/\\") || suffix.contains (".."))
            suffix = ".bin";

        Blob blob;
        blob.file = juce::File::createTempFile (suffix);
        blob.stream = std::make_unique<juce::FileOutputStream> (blob.file, 32768);
        if (! blob.stream->openedOk())
        {
            blob.stream.reset();
            blob.file.deleteFile();
            return { Outcome::Kind::error, id, {}, "Cannot create temp file: " + blob.file.getFullPathName() };
        }
        it = pending.emplace (id, std::move (blob)).first;
    }

    auto& blob = it->second;
    if (data.isNotEmpty())
    {
        juce::MemoryBlock bytes;
        if (! decodeBase64 (data, bytes))
            return fail (id, "Base64 decode failed");
        if (! blob.stream->write (bytes.getData(), bytes.getSize()) || blob.stream->getStatus().failed())
            return fail (id, "Disk write failed");
    }

    if (! isLast)
        return { Outcome::Kind::ack, id, {}, {} };

    // The buffered tail reaches the disk only here: a failed flush is a failed blob, not a
    // complete one.
    blob.stream->flush();
    if (blob.stream->getStatus().failed())
        return fail (id, "Disk write failed");
    blob.stream.reset();

    const auto path = blob.file.getFullPathName();
    pending.erase (it);
    juce::Logger::writeToLog ("WRITE_BLOB_TEMP_CHUNK: blob " + id + " complete -> " + path);
    return { Outcome::Kind::complete, id, path, {} };
}

juce::var BlobStore::makeEvent (const Outcome& outcome)
{
    if (outcome.kind == Outcome::Kind::complete)
        return makeObject ({ { "action", "BLOB_TEMP_COMPLETE" }, { "id", outcome.id }, { "path", outcome.path }, { "pathB64", base64OfText (outcome.path) } });
    return makeObject ({ { "action", "BLOB_TEMP_CHUNK_ACK" }, { "id", outcome.id } });
}
} // namespace quorvelle
