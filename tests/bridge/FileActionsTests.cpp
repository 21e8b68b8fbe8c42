// The file rows of the dispatcher on a recording front-end host: the save jobs, the images, the
// blobs, the library, the song folders, the storage-root switch, the disk report and the folder
// reveal. Each case checks the answer and what is on disk afterwards.
#include "BridgeTestSupport.h"

#include "bridge/LibraryActions.h"
#include "platform/CheckedWrite.h"
#include "platform/Opener.h"
#include "platform/StorageRoot.h"

#include <juce_cryptography/juce_cryptography.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quorvelle::test
{
namespace
{
juce::String base64 (const juce::String& text) { return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8()); }

juce::String fromBase64 (const juce::String& text)
{
    juce::MemoryOutputStream out;
    return juce::Base64::convertFromBase64 (out, text) ? out.toUTF8() : juce::String ("<not base64>");
}

juce::String sha256 (const juce::String& text) { return juce::SHA256 (text.toRawUTF8(), text.getNumBytesAsUTF8()).toHexString(); }

// Files whose names start with "." (the checked write's temporaries) or end in ".tmp".
juce::StringArray leftoverTemporaries (const juce::File& folder)
{
    juce::StringArray found;
    for (const auto& f : folder.findChildFiles (juce::File::findFiles, true, "*", juce::File::FollowSymlinks::no))
        if (f.getFileName().startsWith (".") || f.getFileName().endsWith (".tmp"))
            found.add (f.getFullPathName());
    return found;
}

class FileActions : public MainComponentFixture
{
protected:
    void SetUp() override
    {
        make (true);
        root = getStorageRoot();
        ASSERT_TRUE (root.createDirectory());
    }
    void TearDown() override
    {
        platform::setWriteFailureAtByteForTesting (-1);
        platform::setOpenerForTesting (nullptr);
    }

    std::vector<juce::var> jsonEvents (const juce::String& action) const
    {
        std::vector<juce::var> found;
        for (const auto& e : host.events())
            if (e.payload.getProperty ("action", {}).toString() == action)
                found.push_back (e.payload);
        return found;
    }

    // The first JSON event `action` for `id`, once it has arrived.
    juce::var answer (const juce::String& action, const juce::String& id)
    {
        juce::var found;
        runMessageLoopUntil ([&]
        {
            for (const auto& e : jsonEvents (action))
                if (e.getProperty ("id", {}).toString() == id)
                    return (found = e), true;
            return false;
        }, 20000);
        return found;
    }

    juce::var saveFile (const juce::String& id, const juce::String& filename, const juce::String& subfolder, const juce::String& data)
    {
        deliver (makeObject ({ { "action", "SAVE_FILE" }, { "id", id }, { "filename", filename }, { "subfolder", subfolder }, { "data", data } }));
        return answer ("FILE_SAVED", id);
    }

    juce::File root;
};

TEST_F (FileActions, SaveFileWritesReplacesDeletesAndRefuses)
{
    const auto existing = root.getChildFile ("keep.json");
    ASSERT_TRUE (existing.replaceWithText ("old"));
    const auto outside = root.getParentDirectory();

    const struct { const char* filename; const char* subfolder; juce::String data; const char* error; const char* expectedFile; const char* content; } cases[] = {
        { "a.json", "Songs/abc", base64 ("hello"), "", "Songs/abc/a.json", "hello" },
        { "b.json", "", base64 ("root level"), "", "b.json", "root level" },
        { "keep.json", "", base64 ("new"), "", "keep.json", "new" },
        { "keep.json", "", "", "", nullptr, nullptr }, // empty data deletes
        { "gone.json", "", "", "", nullptr, nullptr }, // deleting what never existed succeeds
        { "c.json", "", "aGVs\nbG8=", "base64_decode_failed", nullptr, nullptr },
        { "c.json", "", "abc", "base64_decode_failed", nullptr, nullptr },
        { "..", "", base64 ("x"), "write_failed", nullptr, nullptr },
        { ".", "", base64 ("x"), "write_failed", nullptr, nullptr },
        { "", "", base64 ("x"), "write_failed", nullptr, nullptr },
        { "../escape.json", "", base64 ("x"), "write_failed", nullptr, nullptr },
        { "..\\escape.json", "", base64 ("x"), "write_failed", nullptr, nullptr },
        { "d.json", "../../up", base64 ("inside"), "", "up/d.json", "inside" },
        { "$(touch x).json", "", base64 ("odd"), "", "$(touch x).json", "odd" },
    };
    int index = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.filename) + " in " + c.subfolder);
        const auto id = "s" + juce::String (index++);
        const auto event = saveFile (id, c.filename, c.subfolder, c.data);
        ASSERT_TRUE (event.isObject());
        EXPECT_EQ (static_cast<bool> (event.getProperty ("ok", {})), juce::String (c.error).isEmpty());
        EXPECT_EQ (event.getProperty ("error", {}).toString(), c.error);
        if (juce::String (c.error).isEmpty())
        {
            const auto path = event.getProperty ("path", {}).toString();
            EXPECT_EQ (event.getProperty ("url", {}).toString(), "file://" + path);
            EXPECT_EQ (fromBase64 (event.getProperty ("pathB64", {}).toString()), path);
            if (c.expectedFile != nullptr)
            {
                EXPECT_EQ (path, root.getChildFile (c.expectedFile).getFullPathName());
                EXPECT_EQ (juce::File (path).loadFileAsString(), c.content);
            }
            else
                EXPECT_FALSE (juce::File (path).exists());
        }
        else
            EXPECT_FALSE (event.hasProperty ("path"));
    }

    EXPECT_FALSE (existing.exists());
    EXPECT_FALSE (outside.getChildFile ("escape.json").exists());
    EXPECT_FALSE (outside.getChildFile ("up").exists());
    EXPECT_TRUE (leftoverTemporaries (root).isEmpty()) << leftoverTemporaries (root).joinIntoString ("\n");

    // Successes reach the typed bridge too, failures only as JSON; every request is answered once.
    int typedSaves = 0;
    for (const auto& call : typed->calls)
        typedSaves += juce::String (call).startsWith ("sendFileSaved|") ? 1 : 0;
    EXPECT_EQ (typedSaves, 7);
    EXPECT_EQ (jsonEvents ("FILE_SAVED").size(), std::size (cases));
    EXPECT_TRUE (std::find (typed->calls.begin(), typed->calls.end(),
                            "sendFileSaved|s0|" + root.getChildFile ("Songs/abc/a.json").getFullPathName().toStdString() + "|file://"
                                + root.getChildFile ("Songs/abc/a.json").getFullPathName().toStdString())
                 != typed->calls.end());
}

TEST_F (FileActions, AnUnusableStorageRootIsReported)
{
    // A root below a regular file can be neither found nor created.
    const auto blocker = temp / "blocker";
    ASSERT_TRUE (blocker.replaceWithText ("a file"));
    {
        auto& cache = getStorageRootCache();
        const juce::ScopedLock sl (cache.lock);
        cache.root = blocker.getChildFile ("Quorvelle");
        cache.resolved = true;
    }
    EXPECT_EQ (saveFile ("u1", "a.json", "", base64 ("x")).getProperty ("error", {}).toString(), "storage_root_unavailable");

    // The move job does not check the root: its move fails instead, and the source stays.
    const auto source = temp / "source.bin";
    ASSERT_TRUE (source.replaceWithText ("kept"));
    deliver (makeObject ({ { "action", "SAVE_FILE_FROM_PATH" }, { "id", "u2" }, { "path", source.getFullPathName() }, { "filename", "a.bin" } }));
    EXPECT_EQ (answer ("FILE_SAVED", "u2").getProperty ("error", {}).toString(), "move_failed");
    EXPECT_EQ (source.loadFileAsString(), "kept");
}

TEST_F (FileActions, OverCapDataIsRefusedWithoutAJob)
{
    const juce::String data = juce::String::repeatedString ("A", 16'777'217);
    deliver (makeObject ({ { "action", "SAVE_FILE" }, { "id", "big" }, { "filename", "big.bin" }, { "subfolder", "" }, { "data", data } }));
    const auto event = answer ("FILE_SAVED", "big");
    EXPECT_EQ (event.getProperty ("error", {}).toString(), "payload_too_large");
    EXPECT_EQ (logger.count ("[BRIDGE-LIMIT] payload rechazado: SAVE_FILE len=16777217 cap=16777216"), 1);
    EXPECT_FALSE (root.getChildFile ("big.bin").exists());

    deliver (makeObject ({ { "action", "SAVE_AND_HASH_IMAGE" }, { "id", "bigimg" }, { "filename", "big.png" }, { "data", data } }));
    EXPECT_EQ (answer ("IMAGE_SAVE_COMPLETE", "bigimg").getProperty ("error", {}).toString(), "payload_too_large");
    EXPECT_FALSE (root.getChildFile ("big.png").exists());
}

TEST_F (FileActions, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary)
{
    const auto target = root.getChildFile ("song.json");
    ASSERT_TRUE (target.replaceWithText ("the earlier content"));
    platform::setWriteFailureAtByteForTesting (10);

    const auto event = saveFile ("w", "song.json", "", base64 (juce::String::repeatedString ("new content ", 100)));
    EXPECT_EQ (event.getProperty ("error", {}).toString(), "write_failed");
    EXPECT_EQ (target.loadFileAsString(), "the earlier content");
    EXPECT_TRUE (leftoverTemporaries (root).isEmpty());
    EXPECT_EQ (logger.count ("SAVE_FILE: write failed for " + target.getFullPathName()), 1);
    EXPECT_EQ (logger.count ("SAVE_FILE failed (write_failed) id=w"), 1);

    // The image save and the library go through the same checked write.
    deliver (makeObject ({ { "action", "SAVE_AND_HASH_IMAGE" }, { "id", "img" }, { "filename", "song.json" }, { "data", base64 (juce::String::repeatedString ("x", 100)) } }));
    EXPECT_EQ (answer ("IMAGE_SAVE_COMPLETE", "img").getProperty ("error", {}).toString(), "file_write_failed: " + target.getFullPathName());
    EXPECT_EQ (target.loadFileAsString(), "the earlier content");

    const auto library = root.getChildFile ("library.json");
    ASSERT_TRUE (library.replaceWithText ("{\"songs\": 12}"));
    deliver (makeObject ({ { "action", "SAVE_LIBRARY" }, { "data", juce::String::repeatedString ("{\"songs\": []}\n", 10) } }));
    EXPECT_EQ (library.loadFileAsString(), "{\"songs\": 12}");
    EXPECT_TRUE (leftoverTemporaries (root).isEmpty());
}

TEST_F (FileActions, SaveFileFromPathMovesIntoPlace)
{
    TempFolder sources;
    const auto writeSource = [&] (const juce::String& name, const juce::String& text)
    {
        const auto f = sources / name;
        f.replaceWithText (text);
        return f;
    };
    const auto request = [&] (const juce::String& id, const juce::var& path, const juce::String& filename, const juce::String& subfolder,
                              const juce::var& pathB64 = {})
    {
        auto message = makeObject ({ { "action", "SAVE_FILE_FROM_PATH" }, { "id", id }, { "filename", filename }, { "subfolder", subfolder } });
        if (! path.isVoid())
            message.getDynamicObject()->setProperty ("path", path);
        if (! pathB64.isVoid())
            message.getDynamicObject()->setProperty ("pathB64", pathB64);
        deliver (message);
        return answer ("FILE_SAVED", id);
    };

    // A plain move, by "pathB64" (a non-ASCII name), replacing an earlier destination.
    const auto destination = root.getChildFile ("att/cover.bin");
    ASSERT_TRUE (destination.create().wasOk());
    ASSERT_TRUE (destination.replaceWithText ("old"));
    const auto source = writeSource (juce::String::fromUTF8 ("canci\xc3\xb3n.bin"), "moved bytes");
    auto event = request ("m1", "/nowhere", "cover.bin", "att", base64 (source.getFullPathName()));
    EXPECT_TRUE (static_cast<bool> (event.getProperty ("ok", {})));
    EXPECT_EQ (destination.loadFileAsString(), "moved bytes");
    EXPECT_FALSE (source.exists());

    // "pathB64" that is not Base64, or over its cap, falls back to "path".
    const auto second = writeSource ("second.bin", "2");
    EXPECT_TRUE (static_cast<bool> (request ("m2", second.getFullPathName(), "second.bin", "", "%%%").getProperty ("ok", {})));
    const auto third = writeSource ("third.bin", "3");
    EXPECT_TRUE (static_cast<bool> (request ("m3", third.getFullPathName(), "third.bin", "", juce::String::repeatedString ("QUFB", 2049)).getProperty ("ok", {})));
    EXPECT_EQ (logger.count ("[BRIDGE-LIMIT] payload rechazado: SAVE_FILE_FROM_PATH.pathB64 len=8196 cap=8192"), 1);

    // The source itself as destination: nothing to do.
    const auto inPlace = root.getChildFile ("inplace.bin");
    inPlace.replaceWithText ("stay");
    event = request ("m4", inPlace.getFullPathName(), "inplace.bin", "");
    EXPECT_TRUE (static_cast<bool> (event.getProperty ("ok", {})));
    EXPECT_EQ (inPlace.loadFileAsString(), "stay");

    // Refusals leave the source where it was.
    const auto kept = writeSource ("kept.bin", "kept");
    const struct { juce::var path; const char* filename; const char* error; } refusals[] = {
        { juce::var(), "x.bin", "source_not_found" },
        { (sources / "missing.bin").getFullPathName(), "x.bin", "source_not_found" },
        { sources.folder().getFullPathName(), "x.bin", "source_not_found" }, // a folder
        { kept.getFullPathName(), "..", "move_failed" },
        { kept.getFullPathName(), "../x.bin", "move_failed" },
        { kept.getFullPathName(), "", "move_failed" },
        { kept.getFullPathName(), "att", "move_failed" }, // a folder is in the way
    };
    int index = 0;
    for (const auto& r : refusals)
    {
        SCOPED_TRACE (r.path.toString() + " -> " + r.filename);
        event = request ("r" + juce::String (index++), r.path, r.filename, "");
        EXPECT_EQ (event.getProperty ("error", {}).toString(), r.error);
    }
    EXPECT_EQ (kept.loadFileAsString(), "kept");
    EXPECT_TRUE (root.getChildFile ("att").isDirectory());
    EXPECT_FALSE (root.getParentDirectory().getChildFile ("x.bin").exists());
}

TEST_F (FileActions, SaveFileFromPathCrossesFileSystems)
{
    const juce::File shm ("/dev/shm");
    struct stat shmInfo {}, rootInfo {};
    if (::stat ("/dev/shm", &shmInfo) != 0 || ::stat (root.getFullPathName().toRawUTF8(), &rootInfo) != 0 || shmInfo.st_dev == rootInfo.st_dev)
        GTEST_SKIP() << "/dev/shm is not on another file system than the storage root here";

    const auto source = shm.getChildFile ("quorvelle-move-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()));
    ASSERT_TRUE (source.replaceWithText ("across"));
    const auto destination = root.getChildFile ("across.bin");
    ASSERT_TRUE (destination.replaceWithText ("before"));
    deliver (makeObject ({ { "action", "SAVE_FILE_FROM_PATH" }, { "id", "x" }, { "path", source.getFullPathName() }, { "filename", "across.bin" } }));
    EXPECT_TRUE (static_cast<bool> (answer ("FILE_SAVED", "x").getProperty ("ok", {})));
    EXPECT_EQ (destination.loadFileAsString(), "across");
    EXPECT_FALSE (source.exists());
    EXPECT_TRUE (leftoverTemporaries (root).isEmpty());
}

TEST_F (FileActions, ImagesAreStoredAndHashed)
{
    const auto image = [&] (const juce::String& id, const juce::String& filename, const juce::String& subfolder, const juce::String& data)
    {
        deliver (makeObject ({ { "action", "SAVE_AND_HASH_IMAGE" }, { "id", id }, { "filename", filename }, { "subfolder", subfolder }, { "data", data }, { "mimeType", "image/png" } }));
        return answer ("IMAGE_SAVE_COMPLETE", id);
    };

    auto event = image ("i1", "cover:art.png", "covers", base64 ("PNGDATA"));
    const auto stored = root.getChildFile ("covers/coverart.png");
    EXPECT_TRUE (static_cast<bool> (event.getProperty ("success", {})));
    EXPECT_EQ (event.getProperty ("url", {}).toString(), "file://" + stored.getFullPathName());
    EXPECT_EQ (fromBase64 (event.getProperty ("urlB64", {}).toString()), "file://" + stored.getFullPathName());
    EXPECT_EQ (event.getProperty ("contentHash", {}).toString(), sha256 ("PNGDATA"));
    EXPECT_EQ (static_cast<juce::int64> (event.getProperty ("sizeBytes", {})), 7);
    EXPECT_EQ (event.getProperty ("mimeType", {}).toString(), "image/png");
    EXPECT_EQ (stored.loadFileAsString(), "PNGDATA");
    EXPECT_EQ (typed->calls.back(), "sendImageSaveComplete|i1|true|file://" + stored.getFullPathName().toStdString() + "|" + sha256 ("PNGDATA").toStdString() + "|7|image/png|");

    // Zero bytes: an empty file with the hash of nothing.
    event = image ("i2", "empty.png", "", "");
    EXPECT_TRUE (static_cast<bool> (event.getProperty ("success", {})));
    EXPECT_EQ (event.getProperty ("contentHash", {}).toString(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_TRUE (root.getChildFile ("empty.png").existsAsFile());
    EXPECT_EQ (root.getChildFile ("empty.png").getSize(), 0);

    event = image ("i3", "..", "a/../..", base64 ("x"));
    EXPECT_EQ (event.getProperty ("error", {}).toString(), "file_write_failed: " + root.getFullPathName() + "/a/..");
    EXPECT_EQ (typed->calls.back(), "sendImageSaveComplete|i3|false|||0||file_write_failed: " + root.getFullPathName().toStdString() + "/a/..");
    EXPECT_EQ (image ("i4", "x.png", "", "not base64!").getProperty ("error", {}).toString(), "base64_decode_failed");
    EXPECT_EQ (image ("i5", "../../up.png", "", base64 ("x")).getProperty ("url", {}).toString(), "file://" + root.getChildFile ("....up.png").getFullPathName());
    EXPECT_FALSE (root.getParentDirectory().getParentDirectory().getChildFile ("up.png").exists());
}

TEST_F (FileActions, ImagesFromAPathKeepTheirNameAndMove)
{
    TempFolder sources;
    const auto fromPath = [&] (const juce::String& id, const juce::String& path, const juce::String& filename, const juce::String& subfolder)
    {
        deliver (makeObject ({ { "action", "SAVE_AND_HASH_IMAGE_FROM_PATH" }, { "id", id }, { "path", path }, { "filename", filename }, { "subfolder", subfolder }, { "mimeType", "image/jpeg" } }));
        return answer ("IMAGE_SAVE_COMPLETE", id);
    };

    const auto source = sources / "upload.tmp";
    source.replaceWithText ("JPEGBYTES");
    auto event = fromPath ("p1", source.getFullPathName(), "a:b.jpg", "covers");
    const auto stored = root.getChildFile ("covers/a:b.jpg");
    EXPECT_TRUE (static_cast<bool> (event.getProperty ("success", {})));
    EXPECT_EQ (event.getProperty ("url", {}).toString(), "file://" + stored.getFullPathName());
    EXPECT_EQ (event.getProperty ("contentHash", {}).toString(), sha256 ("JPEGBYTES"));
    EXPECT_EQ (static_cast<juce::int64> (event.getProperty ("sizeBytes", {})), 9);
    EXPECT_EQ (stored.loadFileAsString(), "JPEGBYTES");
    EXPECT_FALSE (source.exists());
    EXPECT_EQ (logger.count ("SAVE_AND_HASH_IMAGE_FROM_PATH: Saved " + stored.getFullPathName()), 1);

    const auto missing = (sources / "missing.jpg").getFullPathName();
    EXPECT_EQ (fromPath ("p2", missing, "x.jpg", "").getProperty ("error", {}).toString(), "source_not_found: " + missing);

    // Hostile names are refused and the source stays; a climbing subfolder stays below the root.
    source.replaceWithText ("again");
    EXPECT_EQ (fromPath ("p3", source.getFullPathName(), "..", "").getProperty ("error", {}).toString(), "move_failed: " + root.getFullPathName() + "/..");
    EXPECT_EQ (fromPath ("p4", source.getFullPathName(), "../x.jpg", "").getProperty ("error", {}).toString(), "move_failed: " + root.getFullPathName() + "/../x.jpg");
    EXPECT_TRUE (source.existsAsFile());
    event = fromPath ("p5", source.getFullPathName(), "y.jpg", "a/../../b");
    EXPECT_EQ (event.getProperty ("url", {}).toString(), "file://" + root.getChildFile ("a/b/y.jpg").getFullPathName());
}

TEST_F (FileActions, BlobChunksAssembleIntoATemporaryFile)
{
    const auto chunk = [&] (const juce::String& id, const juce::String& data, bool isLast, const juce::var& suffix = {})
    {
        auto message = makeObject ({ { "action", "WRITE_BLOB_TEMP_CHUNK" }, { "id", id }, { "dataBase64", data }, { "isLast", isLast } });
        if (! suffix.isVoid())
            message.getDynamicObject()->setProperty ("suffix", suffix);
        deliver (message);
    };

    chunk ("b1", base64 ("one "), false, ".wav");
    chunk ("b1", base64 ("two "), false);
    chunk ("b1", base64 ("three"), true);
    EXPECT_EQ (jsonEvents ("BLOB_TEMP_CHUNK_ACK").size(), 2u);
    const auto complete = jsonEvents ("BLOB_TEMP_COMPLETE");
    ASSERT_EQ (complete.size(), 1u);
    const juce::File assembled (complete[0].getProperty ("path", {}).toString());
    EXPECT_EQ (fromBase64 (complete[0].getProperty ("pathB64", {}).toString()), assembled.getFullPathName());
    EXPECT_EQ (assembled.loadFileAsString(), "one two three");
    EXPECT_EQ (assembled.getFileExtension(), ".wav");
    EXPECT_TRUE (assembled.isAChildOf (juce::File::getSpecialLocation (juce::File::tempDirectory)));
    assembled.deleteFile();

    // Bad Base64 in the middle ends the blob and deletes its file; the next chunk starts afresh.
    host.clearEvents();
    chunk ("b2", base64 ("lost"), false);
    chunk ("b2", "@@@@", false);
    auto errors = jsonEvents ("BLOB_TEMP_ERROR");
    ASSERT_EQ (errors.size(), 1u);
    EXPECT_EQ (errors[0].getProperty ("error", {}).toString(), "Base64 decode failed");
    EXPECT_EQ (logger.count ("WRITE_BLOB_TEMP_CHUNK error: Base64 decode failed"), 1);
    chunk ("b2", base64 ("fresh"), true, "/../../evil");
    const juce::File fresh (jsonEvents ("BLOB_TEMP_COMPLETE")[0].getProperty ("path", {}).toString());
    EXPECT_EQ (fresh.loadFileAsString(), "fresh");
    EXPECT_EQ (fresh.getFileExtension(), ".bin") << "a suffix that could leave the folder becomes the default";
    EXPECT_TRUE (fresh.isAChildOf (juce::File::getSpecialLocation (juce::File::tempDirectory)));
    fresh.deleteFile();

    // An over-cap chunk ends its blob.
    host.clearEvents();
    chunk ("b3", base64 ("part"), false);
    chunk ("b3", juce::String::repeatedString ("A", 4'194'305), false);
    errors = jsonEvents ("BLOB_TEMP_ERROR");
    ASSERT_EQ (errors.size(), 1u);
    EXPECT_EQ (errors[0].getProperty ("error", {}).toString(), "Chunk exceeds bridge size limit");

    // A blob still open when the component goes is deleted with it.
    host.clearEvents();
    const auto before = juce::File::getSpecialLocation (juce::File::tempDirectory).findChildFiles (juce::File::findFiles, false, "*.open");
    chunk ("b4", base64 ("unfinished"), false, ".open");
    const auto during = juce::File::getSpecialLocation (juce::File::tempDirectory).findChildFiles (juce::File::findFiles, false, "*.open");
    ASSERT_EQ (during.size(), before.size() + 1);
    component.reset();
    EXPECT_EQ (juce::File::getSpecialLocation (juce::File::tempDirectory).findChildFiles (juce::File::findFiles, false, "*.open").size(), before.size());
}

TEST_F (FileActions, LibraryIsSavedWithCrLfAndLoadedOnlyWhenReadableWhole)
{
    const auto library = root.getChildFile ("library.json");
    deliver (makeObject ({ { "action", "LOAD_LIBRARY" } }));
    auto data = jsonEvents ("LIBRARY_DATA");
    ASSERT_EQ (data.size(), 1u);
    EXPECT_EQ (data[0].getProperty ("data", {}).toString(), "");

    deliver (makeObject ({ { "action", "SAVE_LIBRARY" }, { "data", juce::String::fromUTF8 ("{\n\"t\": \"canci\xc3\xb3n\"\r\n}\n") } }));
    juce::MemoryBlock bytes;
    ASSERT_TRUE (library.loadFileAsData (bytes));
    EXPECT_EQ (bytes.toString(), juce::String::fromUTF8 ("{\r\n\"t\": \"canci\xc3\xb3n\"\r\n}\r\n"));
    EXPECT_FALSE (root.getChildFile ("library.tmp").exists());

    const auto savedSize = bytes.getSize();
    deliver (makeObject ({ { "action", "SAVE_LIBRARY" }, { "data", "" } }));
    EXPECT_EQ (library.getSize(), (juce::int64) savedSize) << "an empty text leaves the file as it is";

    host.clearEvents();
    deliver (makeObject ({ { "action", "LOAD_LIBRARY" } }));
    data = jsonEvents ("LIBRARY_DATA");
    ASSERT_EQ (data.size(), 1u);
    EXPECT_EQ (data[0].getProperty ("data", {}).toString(), juce::String::fromUTF8 ("{\r\n\"t\": \"canci\xc3\xb3n\"\r\n}\r\n"));

    // A library that cannot be read whole is not an empty one: nothing is sent.
    EXPECT_FALSE (loadLibrary (root, [] (const juce::File&, std::vector<std::byte>& b) { b.resize (3); return false; }).has_value());
    EXPECT_EQ (logger.count ("LOAD_LIBRARY: cannot read " + library.getFullPathName()), 1);
    ASSERT_EQ (::truncate (library.getFullPathName().toRawUTF8(), MainComponent::resourceSizeCap + 1), 0); // over the read cap
    host.clearEvents();
    deliver (makeObject ({ { "action", "LOAD_LIBRARY" } }));
    EXPECT_TRUE (jsonEvents ("LIBRARY_DATA").empty());
}

TEST_F (FileActions, MigrateMovesLegacyFoldersAndRefusesOddIds)
{
    const juce::String legacyOnly = "11111111-1111-1111-1111-111111111111", both = "22222222-2222-2222-2222-222222222222",
                       current = "33333333-3333-3333-3333-333333333333", neither = "44444444-4444-4444-4444-444444444444";
    root.getChildFile (legacyOnly + "/track.flac").create();
    root.getChildFile (both + "/a").create();
    root.getChildFile ("Songs/" + both + "/b").create();
    root.getChildFile ("Songs/" + current + "/c").create();

    juce::Array<juce::var> ids { legacyOnly, both, current, neither, "", "..", "a/b", "." };
    deliver (makeObject ({ { "action", "MIGRATE_SONGS_FOLDER" }, { "requestId", "r1" }, { "songIds", ids } }));
    auto results = jsonEvents ("MIGRATION_SONGS_FOLDER_RESULT");
    ASSERT_EQ (results.size(), 1u);
    EXPECT_EQ (juce::JSON::toString (results[0], true),
               juce::JSON::toString (parseJson ("{\"action\": \"MIGRATION_SONGS_FOLDER_RESULT\", \"requestId\": \"r1\", \"moved\": [\"" + legacyOnly + "\", \"" + current + "\", \"" + neither
                                                + "\"], \"failed\": [{\"songId\": \"" + both + "\", \"error\": \"both_locations_exist\"}, {\"songId\": \"..\", \"error\": \"invalid_song_id\"}, "
                                                  "{\"songId\": \"a/b\", \"error\": \"invalid_song_id\"}, {\"songId\": \".\", \"error\": \"invalid_song_id\"}]}"),
                                     true));
    EXPECT_TRUE (root.getChildFile ("Songs/" + legacyOnly + "/track.flac").existsAsFile());
    EXPECT_FALSE (root.getChildFile (legacyOnly).exists());
    EXPECT_TRUE (root.getChildFile (both + "/a").existsAsFile());

    host.clearEvents();
    deliver (makeObject ({ { "action", "MIGRATE_SONGS_FOLDER" }, { "songIds", "not an array" } }));
    results = jsonEvents ("MIGRATION_SONGS_FOLDER_RESULT");
    ASSERT_EQ (results.size(), 1u);
    EXPECT_EQ (juce::JSON::toString (results[0], true),
               "{\"action\": \"MIGRATION_SONGS_FOLDER_RESULT\", \"requestId\": \"\", \"error\": \"songIds_array_missing\", \"moved\": [], \"failed\": []}");
}

TEST_F (FileActions, DeleteSongFilesStaysInsideTheSongsFolders)
{
    const juce::String id = "55555555-5555-5555-5555-555555555555";
    root.getChildFile ("Songs/" + id + "/x").create();
    root.getChildFile (id + "/y").create();
    root.getChildFile ("stretch_cache/" + id + "_1.wav").create();
    root.getChildFile ("stretch_cache/" + id + "x_2.wav").create();
    root.getChildFile ("stretch_cache/other_3.wav").create();
    root.getChildFile ("Songs/keep/z").create();
    root.getChildFile ("library.json").replaceWithText ("{}");

    for (const char* hostile : { "..", ".", "../Songs", "Songs/keep", "*" })
    {
        SCOPED_TRACE (hostile);
        deliver (makeObject ({ { "action", "DELETE_SONG_FILES" }, { "songId", hostile } }));
    }
    EXPECT_TRUE (root.getChildFile ("Songs/keep/z").existsAsFile());
    EXPECT_TRUE (root.getChildFile ("library.json").existsAsFile());
    EXPECT_EQ (root.getChildFile ("stretch_cache").getNumberOfChildFiles (juce::File::findFiles), 3);

    deliver (makeObject ({ { "action", "DELETE_SONG_FILES" }, { "songId", id } }));
    EXPECT_FALSE (root.getChildFile ("Songs/" + id).exists());
    EXPECT_FALSE (root.getChildFile (id).exists());
    EXPECT_FALSE (root.getChildFile ("stretch_cache/" + id + "_1.wav").exists());
    EXPECT_TRUE (root.getChildFile ("stretch_cache/" + id + "x_2.wav").exists());
    EXPECT_TRUE (root.getChildFile ("stretch_cache/other_3.wav").exists());
    EXPECT_EQ (logger.count ("DELETE_SONG_FILES: Deleted song folder " + root.getChildFile ("Songs/" + id).getFullPathName()), 1);
    EXPECT_EQ (logger.count ("DELETE_SONG_FILES: Deleted legacy song folder " + root.getChildFile (id).getFullPathName()), 1);
}

TEST_F (FileActions, StorageRootSwitch)
{
    const auto result = [&] (const juce::String&) { return jsonEvents ("STORAGE_ROOT_RESULT").back(); };
    const auto set = [&] (const juce::String& id, const juce::String& path, bool acceptWarning)
    {
        deliver (makeObject ({ { "action", "SET_STORAGE_ROOT" }, { "id", id }, { "pathB64", base64 (path) }, { "acceptWarning", acceptWarning } }));
        return result (id);
    };

    auto event = set ("a", temp.folder().getChildFile ("Music").getFullPathName(), false);
    const auto chosen = temp.folder().getChildFile ("Music/Quorvelle");
    EXPECT_EQ (juce::JSON::toString (event, true),
               juce::JSON::toString (makeObject ({ { "action", "STORAGE_ROOT_RESULT" }, { "id", "a" }, { "ok", true }, { "status", "ok" },
                                                   { "root", chosen.getFullPathName() }, { "rootB64", base64 (chosen.getFullPathName()) } }),
                                     true));
    EXPECT_EQ (getStorageRoot(), chosen);
    EXPECT_EQ (getStorageRootConfigFile().loadFileAsString(), chosen.getFullPathName());
    EXPECT_EQ (logger.count ("[STORAGE-ROOT] raiz elegida y persistida: " + chosen.getFullPathName()), 1);

    // Already ending in "Quorvelle": used as it is.
    const auto direct = temp.folder().getChildFile ("Other/Quorvelle");
    EXPECT_EQ (set ("b", direct.getFullPathName(), false).getProperty ("root", {}).toString(), direct.getFullPathName());
    EXPECT_EQ (getStorageRoot(), direct);

    for (const char* relative : { "relative/Music", "", "~/Music" })
    {
        SCOPED_TRACE (relative);
        deliver (makeObject ({ { "action", "SET_STORAGE_ROOT" }, { "id", "c" }, { "path", relative } }));
        EXPECT_EQ (juce::JSON::toString (result ("c"), true),
                   "{\"action\": \"STORAGE_ROOT_RESULT\", \"id\": \"c\", \"ok\": false, \"status\": \"notAbsolute\", \"root\": \"\", \"rootB64\": \"\"}");
    }
    EXPECT_EQ (getStorageRoot(), direct);

    const auto synced = temp.folder().getChildFile ("Dropbox");
    event = set ("d", synced.getFullPathName(), false);
    EXPECT_FALSE (static_cast<bool> (event.getProperty ("ok", {})));
    EXPECT_EQ (event.getProperty ("status", {}).toString(), "syncedFolderWarning");
    EXPECT_EQ (event.getProperty ("root", {}).toString(), synced.getChildFile ("Quorvelle").getFullPathName());
    EXPECT_EQ (getStorageRoot(), direct);

    event = set ("e", synced.getFullPathName(), true);
    EXPECT_EQ (event.getProperty ("status", {}).toString(), "ok");
    EXPECT_EQ (getStorageRoot(), synced.getChildFile ("Quorvelle"));
}

TEST_F (FileActions, DiskReportNamesBugReportsOnlyWhenTheirFolderExists)
{
    deliver (makeObject ({ { "action", "GET_DISK_FREE" }, { "id", "d1" } }));
    auto info = jsonEvents ("DISK_FREE_INFO").back();
    EXPECT_EQ (info.getProperty ("path", {}).toString(), root.getFullPathName());
    EXPECT_EQ (fromBase64 (info.getProperty ("pathB64", {}).toString()), root.getFullPathName());
    EXPECT_GT (static_cast<juce::int64> (info.getProperty ("bytesTotal", {})), 0);
    EXPECT_GE (static_cast<juce::int64> (info.getProperty ("bytesTotal", {})), static_cast<juce::int64> (info.getProperty ("bytesFree", {})));
    EXPECT_FALSE (info.hasProperty ("bugReportCount"));
    EXPECT_FALSE (info.hasProperty ("bugReportBytes"));

    ASSERT_TRUE (root.getChildFile ("bug-reports").createDirectory());
    root.getChildFile ("bug-reports/one.json").replaceWithText ("12345");
    root.getChildFile ("bug-reports/two.json").replaceWithText ("123");
    root.getChildFile ("bug-reports/notes.txt").replaceWithText ("ignored");
    deliver (makeObject ({ { "action", "GET_DISK_FREE" }, { "id", "d2" } }));
    info = jsonEvents ("DISK_FREE_INFO").back();
    EXPECT_EQ (static_cast<int> (info.getProperty ("bugReportCount", {})), 2);
    EXPECT_EQ (static_cast<juce::int64> (info.getProperty ("bugReportBytes", {})), 8);
}

TEST_F (FileActions, RevealFolderHandsTheNameOverAsOneArgument)
{
    std::vector<juce::StringArray> opened;
    platform::setOpenerForTesting ([&opened] (const juce::StringArray& arguments) { opened.push_back (arguments); return true; });

    const auto odd = root.getChildFile ("$(touch x)");
    ASSERT_TRUE (odd.createDirectory());
    deliver (makeObject ({ { "action", "REVEAL_FOLDER" }, { "subfolder", "$(touch x)" } }));
    deliver (makeObject ({ { "action", "REVEAL_FOLDER" }, { "subfolder", "$(touch x)/not yet" } })); // the parent is shown
    deliver (makeObject ({ { "action", "REVEAL_FOLDER" }, { "subfolder", "../.." } }));                // the root itself
    deliver (makeObject ({ { "action", "REVEAL_FOLDER" }, { "subfolder", "a/b/c" } }));                // nothing to show
    ASSERT_EQ (opened.size(), 3u);
    EXPECT_EQ (opened[0].joinIntoString ("|"), "xdg-open|" + odd.getFullPathName());
    EXPECT_EQ (opened[1].joinIntoString ("|"), "xdg-open|" + odd.getFullPathName());
    EXPECT_EQ (opened[2].joinIntoString ("|"), "xdg-open|" + root.getFullPathName());
    EXPECT_FALSE (root.getChildFile ("x").exists());
    EXPECT_FALSE (root.getChildFile ("a").exists()) << "reveal creates nothing";
}
} // namespace
} // namespace quorvelle::test
