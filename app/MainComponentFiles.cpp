// The file rows of the dispatcher: the save jobs, the images and the blobs, the library and the
// storage-root rows, the imports, the disk report, the folder reveal and the two pickers.
#include "app/MainComponent.h"

#include "bridge/FileSaveJobs.h"
#include "bridge/LibraryActions.h"
#include "bridge/PathPair.h"
#include "platform/Dialogs.h"
#include "platform/Opener.h"
#include "platform/StorageRoot.h"

namespace quorvelle
{
namespace
{
    juce::String textOf (const juce::var& message, const char* key) { return message.getProperty (key, {}).toString(); }

    // A text field that has a default: the key's presence decides, so a present empty text is used.
    juce::String textOr (const juce::var& message, const char* key, const juce::String& fallback)
    {
        const auto* object = message.getDynamicObject();
        return object != nullptr && object->hasProperty (key) ? object->getProperty (key).toString() : fallback;
    }

    bool flagOr (const juce::var& message, const char* key, bool fallback)
    {
        const auto* object = message.getDynamicObject();
        return object != nullptr && object->hasProperty (key) ? static_cast<bool> (object->getProperty (key)) : fallback;
    }

    juce::var textList (const juce::StringArray& texts, bool asBase64)
    {
        juce::Array<juce::var> list;
        for (const auto& text : texts)
            list.add (asBase64 ? base64OfText (text) : text);
        return list;
    }
} // namespace

void MainComponent::registerFileActions()
{
    // FILE_SAVED goes out directly as JSON and, on success, as its typed twin. The poster drops
    // a result that arrives once shutdown has begun.
    const auto postFileSaved = [this, post = makePoster()] (FileSavedResult result)
    {
        post ([this, result]
        {
            sendDirect (makeFileSavedEvent (result));
            if (result.error.isEmpty())
            {
                typedBridge->sendFileSaved (result.id.toStdString(), result.path.toStdString(), ("file://" + result.path).toStdString());
                juce::Logger::writeToLog ("Saved file: " + result.path);
            }
            else
                juce::Logger::writeToLog ("SAVE_FILE failed (" + result.error + ") id=" + result.id);
        });
    };

    dispatchTable.add ("SAVE_FILE", DispatchMode::inlineCall, [postFileSaved] (const juce::var& message)
    {
        auto request = readSaveFileRequest (message);
        if (exceedsBridgeLimit (request.data, bridgeLimits::savedFileData, "SAVE_FILE"))
        {
            postFileSaved ({ request.id, {}, "payload_too_large" });
            return;
        }
        juce::Thread::launch ([postFileSaved, request = std::move (request)] { postFileSaved (saveFileJob (request, getStorageRoot())); });
    });

    dispatchTable.add ("SAVE_FILE_FROM_PATH", DispatchMode::job, [postFileSaved] (const juce::var& message)
    {
        postFileSaved (saveFileFromPathJob (readSaveFileFromPathRequest (message), getStorageRoot()));
    });

    const auto sendImageResult = [this] (const ImageSaveResult& result)
    {
        sendDirect (makeImageSaveCompleteEvent (result));
        typedBridge->sendImageSaveComplete (result.id.toStdString(), result.success, result.url.toStdString(), result.contentHash.toStdString(),
                                            result.sizeBytes, result.mimeType.toStdString(), result.error.toStdString());
    };
    dispatchTable.add ("SAVE_AND_HASH_IMAGE", DispatchMode::inlineCall, [sendImageResult] (const juce::var& message)
    {
        sendImageResult (saveAndHashImage (message, getStorageRoot()));
    });
    dispatchTable.add ("SAVE_AND_HASH_IMAGE_FROM_PATH", DispatchMode::inlineCall, [sendImageResult] (const juce::var& message)
    {
        sendImageResult (saveAndHashImageFromPath (message, getStorageRoot()));
    });

    // The store lives with the table's handlers: open blobs are closed and deleted with them.
    dispatchTable.add ("WRITE_BLOB_TEMP_CHUNK", DispatchMode::inlineCall, [this, blobs = std::make_shared<BlobStore>()] (const juce::var& message)
    {
        const auto outcome = blobs->writeChunk (message);
        if (outcome.kind != BlobStore::Outcome::Kind::error)
        {
            emitFromNative ("fromNative", BlobStore::makeEvent (outcome));
            return;
        }
        emitFromNative ("fromNative", makeObject ({ { "action", "BLOB_TEMP_ERROR" }, { "id", outcome.id }, { "error", outcome.error } }));
        juce::Logger::writeToLog ("WRITE_BLOB_TEMP_CHUNK error: " + outcome.error);
    });

    //==========================================================================
    // Imports: the transcoder answers with its own events.
    dispatchTable.add ("SAVE_AND_TRANSCODE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto data = textOf (message, "data");
        if (exceedsBridgeLimit (data, bridgeLimits::transcodeData, "SAVE_AND_TRANSCODE"))
            return;
        const auto filename = textOf (message, "filename"), trackId = textOf (message, "trackId");
        audioEngine.enqueueTranscode (textOf (message, "id"), trackId, textOf (message, "subfolder"), filename, data);
        juce::Logger::writeToLog ("SAVE_AND_TRANSCODE: Enqueued " + filename + " as " + trackId + ".flac");
    });

    dispatchTable.add ("SAVE_AND_TRANSCODE_FROM_PATH", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto source = readPathPair (message, bridgeLimits::base64Path, "SAVE_AND_TRANSCODE_FROM_PATH.pathB64");
        if (source.base64OverCap)
            return;
        const auto id = textOf (message, "id"), trackId = textOf (message, "trackId");
        const juce::File sourceFile = source.path.isEmpty() ? juce::File() : juce::File (source.path);
        const auto filename = textOr (message, "filename", sourceFile.getFileName());
        // The request names the flag "deleteSourceAfterRead"; "deleteSourceAfter" is read when it is absent.
        const bool deleteSource = flagOr (message, "deleteSourceAfterRead", flagOr (message, "deleteSourceAfter", false));

        if (source.path.isEmpty() || ! sourceFile.existsAsFile())
        {
            emitFromNative ("fromNative", makeObject ({ { "action", "TRANSCODE_COMPLETE" },
                                                        { "id", id },
                                                        { "trackId", trackId },
                                                        { "transcoded", false },
                                                        { "error", "Source file not found: " + source.path } }));
            juce::Logger::writeToLog ("SAVE_AND_TRANSCODE_FROM_PATH: file not found " + source.path);
            return;
        }
        audioEngine.enqueueTranscodeFromPath (id, trackId, textOf (message, "subfolder"), filename, source.path, deleteSource);
        juce::Logger::writeToLog ("SAVE_AND_TRANSCODE_FROM_PATH: Enqueued (streaming) " + filename + " as " + trackId + ".flac"
                                  + (deleteSource ? " [temp source]" : ""));
    });

    dispatchTable.add ("CANCEL_TRANSCODES", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        audioEngine.cancelTranscodes();
        juce::Logger::writeToLog ("CANCEL_TRANSCODES: Drained transcode queue and flagged in-flight jobs");
    });

    //==========================================================================
    dispatchTable.add ("SAVE_LIBRARY", DispatchMode::inlineCall, [] (const juce::var& message)
    {
        saveLibrary (getStorageRoot(), textOf (message, "data"));
    });

    dispatchTable.add ("LOAD_LIBRARY", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        if (const auto library = loadLibrary (getStorageRoot(), &MainComponent::readFileCapped))
            sendDirect (makeObject ({ { "action", "LIBRARY_DATA" }, { "data", *library } }));
    });

    dispatchTable.add ("MIGRATE_SONGS_FOLDER", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sendDirect (migrateSongsFolder (getStorageRoot(), textOr (message, "requestId", {}), message.getProperty ("songIds", {})));
    });

    dispatchTable.add ("DELETE_SONG_FILES", DispatchMode::inlineCall, [] (const juce::var& message)
    {
        deleteSongFiles (getStorageRoot(), textOf (message, "songId"));
    });

    dispatchTable.add ("SET_STORAGE_ROOT", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto id = textOf (message, "id");
        const auto choice = chooseStorageRoot (flagOr (message, "useDefault", false), flagOr (message, "acceptWarning", false),
                                               readPathPair (message).path);
        if (! choice.ok)
        {
            sendDirect (makeStorageRootResult (id, false, choice.status, choice.root.getFullPathName()));
            return;
        }

        // The engine's settings file and the cloud upload queue follow the root.
        audioEngine.reopenSettingsFile();
        uploadQueue.setFilePath (getStorageRoot().getChildFile ("upload-queue.json"));

        juce::Logger::writeToLog ("[STORAGE-ROOT] raiz elegida y persistida: " + choice.root.getFullPathName());
        sendDirect (makeStorageRootResult (id, true, "ok", choice.root.getFullPathName()));
    });

    dispatchTable.add ("GET_DISK_FREE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sendDirect (makeDiskFreeInfo (getStorageRoot(), textOf (message, "id")));
    });

    dispatchTable.add ("REVEAL_FOLDER", DispatchMode::inlineCall, [] (const juce::var& message)
    {
        if (const auto folder = folderToReveal (getStorageRoot(), textOf (message, "subfolder")))
            platform::openWithDesktop (folder->getFullPathName());
    });

    //==========================================================================
    // The pickers block their own job thread until the dialog closes.
    dispatchTable.add ("CHOOSE_STORAGE_DIRECTORY", DispatchMode::job, [this, post = makePoster()] (const juce::var& message)
    {
        const auto id = textOf (message, "id");
        auto title = textOf (message, "title");
        if (title.isEmpty())
            title = juce::String::fromUTF8 ("Elegir la carpeta para tu m\xc3\xbasica de Quorvelle");

        const auto pick = platform::pickFolderWithDialog (title);
        const auto folder = pick.paths.isEmpty() ? juce::String() : pick.paths[0];
        post ([this, id, folder]
        {
            sendDirect (makeObject ({ { "action", "STORAGE_DIRECTORY_CHOSEN" },
                                      { "id", id },
                                      { "path", folder },
                                      { "pathB64", folder.isEmpty() ? juce::String() : base64OfText (folder) },
                                      { "cancelled", folder.isEmpty() } }));
        });
    });

    dispatchTable.add ("OPEN_AUDIO_FILE_PICKER", DispatchMode::job, [this, post = makePoster()] (const juce::var& message)
    {
        const auto id = textOf (message, "id");
        const bool folderMode = textOr (message, "mode", "files") == "folder";
        const auto pick = platform::pickWithFileDialog (textOr (message, "title", "Seleccionar archivos"),
                                                        textOr (message, "filters", "*.wav;*.flac;*.mp3;*.aac;*.m4a;*.ogg;*.wma;*.aiff"),
                                                        folderMode, flagOr (message, "multiple", true));
        post ([this, id, pick, folderMode]
        {
            emitFromNative ("fromNative", makeObject ({ { "action", "AUDIO_FILE_PICKER_RESULT" },
                                                        { "id", id },
                                                        { "paths", textList (pick.paths, false) },
                                                        { "pathsB64", textList (pick.paths, true) },
                                                        { "cancelled", pick.paths.isEmpty() } }));
            juce::Logger::writeToLog ("OPEN_AUDIO_FILE_PICKER (win32 " + juce::String (folderMode ? "folder" : "files") + "): "
                                      + juce::String (pick.paths.size()) + " path(s) shown=" + (pick.shown ? "Y" : "N"));
        });
    });
}
} // namespace quorvelle
