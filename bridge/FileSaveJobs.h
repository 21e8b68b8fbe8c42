#pragma once

#include <juce_core/juce_core.h>

#include <map>
#include <memory>

namespace quorvelle
{
// The file actions that bring the front end's bytes onto disk below the storage root: the two
// save jobs ("SAVE_FILE", "SAVE_FILE_FROM_PATH"), the two image saves and the blob chunks.
// Every replacement goes through the checked write: a failure leaves the earlier file as it was.
// Names that would leave their folder ("..", "/", "\") are refused.

struct SaveFileRequest
{
    juce::String id, filename, subfolder, data;
};

struct SaveFileFromPathRequest
{
    juce::String id, path, filename, subfolder;
};

// What FILE_SAVED reports: the destination's full path on success, else the error code.
struct FileSavedResult
{
    juce::String id, path, error;
};

SaveFileRequest readSaveFileRequest (const juce::var& message);
SaveFileFromPathRequest readSaveFileFromPathRequest (const juce::var& message);

// Job bodies (a job thread). `root` is the storage root.
FileSavedResult saveFileJob (const SaveFileRequest& request, const juce::File& root);
FileSavedResult saveFileFromPathJob (const SaveFileFromPathRequest& request, const juce::File& root);

// {"action": "FILE_SAVED", id, ok, error | path, url, pathB64}.
juce::var makeFileSavedEvent (const FileSavedResult& result);

//==============================================================================
struct ImageSaveResult
{
    juce::String id;
    bool success = false;
    juce::String url, contentHash, mimeType, error;
    juce::int64 sizeBytes = 0;
};

// "SAVE_AND_HASH_IMAGE" and "SAVE_AND_HASH_IMAGE_FROM_PATH" (message thread).
ImageSaveResult saveAndHashImage (const juce::var& message, const juce::File& root);
ImageSaveResult saveAndHashImageFromPath (const juce::var& message, const juce::File& root);

// IMAGE_SAVE_COMPLETE, JSON form.
juce::var makeImageSaveCompleteEvent (const ImageSaveResult& result);

//==============================================================================
// The blobs being assembled from "WRITE_BLOB_TEMP_CHUNK", each a temporary file with an open
// stream. Message thread only. Blobs still open when the store is destroyed are closed and
// their files deleted.
class BlobStore final
{
public:
    BlobStore() = default;
    ~BlobStore();

    struct Outcome
    {
        enum class Kind { ack, complete, error } kind = Kind::ack;
        juce::String id, path, error;
    };

    Outcome writeChunk (const juce::var& message);

    // BLOB_TEMP_CHUNK_ACK or BLOB_TEMP_COMPLETE (errors go through the error event of the owner).
    static juce::var makeEvent (const Outcome& outcome);

private:
    struct Blob
    {
        juce::File file;
        std::unique_ptr<juce::FileOutputStream> stream;
    };

    Outcome fail (const juce::String& id, const juce::String& error);

    std::map<juce::String, Blob> pending;

    JUCE_DECLARE_NON_COPYABLE (BlobStore)
};
} // namespace quorvelle
