// The upload queue's file: its form, what a load makes of bad or odd files, and that a failed
// write or rename never costs the file that was there.
#include "net/cloud/UploadQueue.h"
#include "platform/CheckedWrite.h"

#include "CloudTestSupport.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace quorvelle::test
{
namespace
{
constexpr juce::int64 t0 = 1'700'000'000'000;

UploadJob stemJob (const juce::String& path = "/music/a.wav")
{
    UploadJob job;
    job.contentHash = "hash";
    job.localPath = path;
    job.workspaceId = "ws";
    job.trackId = "t1";
    return job;
}

juce::var readArray (const juce::File& file)
{
    return juce::JSON::parse (file.loadFileAsString());
}

juce::String fromBase64 (const juce::String& text)
{
    juce::MemoryOutputStream decoded;
    return juce::Base64::convertFromBase64 (decoded, text) ? decoded.toUTF8() : juce::String ("<not base64>");
}

juce::StringArray siblingsOf (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& entry : folder.findChildFiles (juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles, false))
        names.add (entry.getFileName());
    names.sort (false);
    return names;
}
} // namespace

TEST (UploadQueue, FileHoldsEveryJobWithItsKeysInOrder)
{
    TempFolder dir;
    ManualClock time;
    const auto file = dir / "upload-queue.json";
    const auto path = juce::String (juce::CharPointer_UTF8 ("/música/canción 1.wav"));
    {
        UploadQueue queue (file, time.clock());
        queue.enqueue (stemJob (path));
    }

    const auto text = file.loadFileAsString();
    EXPECT_TRUE (text.contains ("\n")) << "indented, multi-line";
    const auto array = readArray (file);
    ASSERT_TRUE (array.isArray());
    ASSERT_EQ (array.size(), 1);

    auto* object = array[0].getDynamicObject();
    ASSERT_NE (object, nullptr);
    juce::StringArray keys;
    for (const auto& property : object->getProperties())
        keys.add (property.name.toString());
    EXPECT_EQ (keys.joinIntoString (","),
               "jobId,audioFileId,contentHash,localPath,localPathB64,sizeBytes,sampleRate,channels,bitDepth,duration,workspaceId,kind,"
               "refKind,trackId,songId,padFileId,padId,mimeType,imageWidth,imageHeight,status,progress,attempts,lastError,createdAt,updatedAt");
    EXPECT_EQ (array[0]["localPath"].toString(), path);
    EXPECT_EQ (fromBase64 (array[0]["localPathB64"].toString()), path);
    EXPECT_EQ (array[0]["status"].toString(), "PENDING");
    EXPECT_EQ ((juce::int64) array[0]["createdAt"], t0);
    EXPECT_TRUE (juce::Uuid (array[0]["jobId"].toString()).toDashedString() == array[0]["jobId"].toString());

    // A restart reads the same job back.
    UploadQueue again (file, time.clock());
    const auto jobs = again.snapshot();
    ASSERT_EQ (jobs.size(), 1u);
    EXPECT_EQ (jobs[0].localPath, path);
    EXPECT_EQ (jobs[0].trackId, "t1");
}

TEST (UploadQueue, UnreadableFileStartsEmptyAndIsKeptAside)
{
    const char* cases[] = { "{\"jobId\": \"x\"}", "this is not json [", "\"a string\"" };
    for (const auto* content : cases)
    {
        SCOPED_TRACE (content);
        TempFolder dir;
        ManualClock time;
        const auto file = dir / "upload-queue.json";
        ASSERT_TRUE (file.replaceWithText (content));
        CapturingLogger log;

        UploadQueue queue (file, time.clock());
        EXPECT_TRUE (queue.snapshot().empty());
        EXPECT_EQ (log.count ("[UploadQueue] Corrupted queue file (not array), starting fresh: " + file.getFullPathName()), 1) << log.text();

        const auto copy = dir / ("upload-queue.corrupt-" + juce::String (t0) + ".json");
        EXPECT_EQ (copy.loadFileAsString(), content);
        EXPECT_EQ (log.count ("[UploadQueue] Corrupted queue file kept as " + copy.getFullPathName()), 1) << log.text();

        queue.enqueue (stemJob());
        EXPECT_EQ (readArray (file).size(), 1);
        EXPECT_EQ (copy.loadFileAsString(), content) << "the copy survives the next save";
    }
}

TEST (UploadQueue, LoadKeepsTheLastOfEachIdAndResetsStatuses)
{
    TempFolder dir;
    ManualClock time;
    const auto file = dir / "upload-queue.json";
    ASSERT_TRUE (file.replaceWithText (R"([
        {"jobId": "a", "localPath": "first"},
        {"jobId": "a", "localPath": "second", "status": "FAILED", "attempts": 2, "lastError": "x"},
        {"jobId": "lower", "status": "done"},
        {"jobId": "number", "status": 4},
        {"jobId": "claiming", "status": "CLAIMING", "attempts": 3},
        {"jobId": "uploading", "status": "UPLOADING"},
        {"jobId": "completing", "status": "COMPLETING"},
        {"jobId": "finished", "status": "DONE", "updatedAt": 1700000000000},
        {"localPath": "no id"},
        42,
        {"jobId": 7, "kind": "", "refKind": ""}
    ])"));
    CapturingLogger log;

    UploadQueue queue (file, time.clock());
    EXPECT_EQ (log.count ("[UploadQueue] Loaded 8 jobs from " + file.getFullPathName()), 1) << log.text();

    UploadJob job;
    ASSERT_TRUE (queue.find ("a", job));
    EXPECT_EQ (job.localPath, "second");
    EXPECT_EQ (job.status, UploadJobStatus::FAILED);
    EXPECT_EQ (job.attempts, 2);

    const struct { const char* id; UploadJobStatus status; int attempts; } expected[] = {
        { "lower", UploadJobStatus::PENDING, 0 },     { "number", UploadJobStatus::PENDING, 0 },
        { "claiming", UploadJobStatus::PENDING, 3 },  { "uploading", UploadJobStatus::PENDING, 0 },
        { "completing", UploadJobStatus::PENDING, 0 }, { "finished", UploadJobStatus::DONE, 0 },
    };
    for (const auto& c : expected)
    {
        SCOPED_TRACE (c.id);
        ASSERT_TRUE (queue.find (c.id, job));
        EXPECT_EQ (job.status, c.status);
        EXPECT_EQ (job.attempts, c.attempts);
    }
    EXPECT_EQ (log.count ("[UploadQueue] claiming was CLAIMING when the queue was saved; back to PENDING"), 1) << log.text();

    ASSERT_TRUE (queue.find ("7", job)) << "a number id reads as its text";
    EXPECT_EQ (job.kind, "audio");
    EXPECT_EQ (job.refKind, "stem");
}

TEST (UploadQueue, DuplicateIdsLoadAsOneJob)
{
    TempFolder dir;
    ManualClock time;
    const auto file = dir / "upload-queue.json";
    ASSERT_TRUE (file.replaceWithText (R"([{"jobId": "a", "songId": "one"}, {"jobId": "a", "songId": "two"}])"));
    CapturingLogger log;
    UploadQueue queue (file, time.clock());
    ASSERT_EQ (queue.snapshot().size(), 1u);
    EXPECT_EQ (queue.snapshot()[0].songId, "two");
    EXPECT_EQ (log.count ("[UploadQueue] Loaded 1 jobs from "), 1) << log.text();
}

TEST (UploadQueue, DoneJobsGoAfterThreeDaysToTheMillisecond)
{
    TempFolder dir;
    ManualClock time;
    const auto file = dir / "upload-queue.json";
    const auto limit = t0 - UploadQueue::doneRetentionMs;
    ASSERT_TRUE (file.replaceWithText ("[{\"jobId\": \"exact\", \"status\": \"DONE\", \"updatedAt\": " + juce::String (limit)
                                       + "}, {\"jobId\": \"older\", \"status\": \"DONE\", \"updatedAt\": " + juce::String (limit - 1)
                                       + "}, {\"jobId\": \"failed\", \"status\": \"FAILED\", \"updatedAt\": 0}]"));
    CapturingLogger log;
    UploadQueue queue (file, time.clock());

    UploadJob job;
    EXPECT_TRUE (queue.find ("exact", job));
    EXPECT_FALSE (queue.find ("older", job));
    EXPECT_TRUE (queue.find ("failed", job));
    EXPECT_EQ (log.count ("[UploadQueue] Boot sweep: removed 1 DONE job(s) >3d old"), 1) << log.text();
    EXPECT_EQ (readArray (file).size(), 2) << "the sweep saved";

    // A job newly turned DONE sweeps the others that are now too old.
    time.now += 1;
    queue.enqueue (stemJob());
    const auto id = queue.snapshot().back().jobId;
    EXPECT_TRUE (queue.updateStatus (id, UploadJobStatus::DONE, 100, {}));
    EXPECT_FALSE (queue.find ("exact", job));
    EXPECT_TRUE (queue.find (id, job));
}

TEST (UploadQueue, StatusUpdatesKeepOrReplaceProgressAndError)
{
    TempFolder dir;
    ManualClock time;
    UploadQueue queue (dir / "upload-queue.json", time.clock());
    queue.enqueue (stemJob());
    const auto id = queue.snapshot()[0].jobId;
    UploadJob job;

    EXPECT_TRUE (queue.updateStatus (id, UploadJobStatus::UPLOADING, 40, {}));
    EXPECT_TRUE (queue.updateStatus (id, UploadJobStatus::UPLOADING, -1, {}));
    ASSERT_TRUE (queue.find (id, job));
    EXPECT_EQ (job.progress, 40);

    EXPECT_TRUE (queue.updateStatus (id, UploadJobStatus::UPLOADING, 250, {}));
    ASSERT_TRUE (queue.find (id, job));
    EXPECT_EQ (job.progress, 100);

    EXPECT_TRUE (queue.updateStatus (id, UploadJobStatus::FAILED, -1, "claim_failed: x"));
    time.now += 5;
    EXPECT_TRUE (queue.updateStatus (id, UploadJobStatus::FAILED, -1, {}));
    ASSERT_TRUE (queue.find (id, job));
    EXPECT_EQ (job.attempts, 2);
    EXPECT_EQ (job.lastError, "claim_failed: x");
    EXPECT_EQ (job.updatedAt, t0 + 5);

    EXPECT_TRUE (queue.updateStatus (id, UploadJobStatus::DONE, 100, {}));
    ASSERT_TRUE (queue.find (id, job));
    EXPECT_EQ (job.lastError, "claim_failed: x") << "never cleared";

    EXPECT_FALSE (queue.updateStatus ("nobody", UploadJobStatus::DONE, 100, {}));
    EXPECT_FALSE (queue.setRemoteFileId ("nobody", "x"));
    EXPECT_TRUE (queue.setRemoteFileId (id, "server-1"));
    EXPECT_EQ (readArray (dir / "upload-queue.json")[0]["audioFileId"].toString(), "server-1");
}

TEST (UploadQueue, ListsRunOldestFirstAndEqualRequestsGetTwoIds)
{
    TempFolder dir;
    ManualClock time;
    UploadQueue queue (dir / "upload-queue.json", time.clock());
    time.now = t0 + 10;
    queue.enqueue (stemJob ("/b"));
    time.now = t0;
    queue.enqueue (stemJob ("/a"));
    queue.enqueue (stemJob ("/a"));

    const auto jobs = queue.jobsWithStatus (UploadJobStatus::PENDING);
    ASSERT_EQ (jobs.size(), 3u);
    EXPECT_NE (jobs[0].jobId, jobs[1].jobId);
    EXPECT_EQ (jobs[0].localPath, "/a");
    EXPECT_EQ (jobs[1].localPath, "/a");
    EXPECT_LT (jobs[0].jobId, jobs[1].jobId) << "equal times go by id";
    EXPECT_EQ (jobs[2].localPath, "/b");
    EXPECT_TRUE (queue.jobsWithStatus (UploadJobStatus::DONE).empty());
}

TEST (UploadQueue, LeftoverSiblingIsPassedOverAndKept)
{
    TempFolder dir;
    ManualClock time;
    const auto leftover = dir / "upload-queue.tmp.json";
    ASSERT_TRUE (leftover.replaceWithText ("leftover"));
    UploadQueue queue (dir / "upload-queue.json", time.clock());
    queue.enqueue (stemJob());

    EXPECT_EQ (leftover.loadFileAsString(), "leftover");
    EXPECT_EQ (readArray (dir / "upload-queue.json").size(), 1);
    EXPECT_EQ (siblingsOf (dir.folder()).joinIntoString (","), "upload-queue.json,upload-queue.tmp.json") << "tmp2 was renamed away";
}

TEST (UploadQueue, NewFilePathTakesEveryJobAndLeavesTheOldFile)
{
    TempFolder dir;
    ManualClock time;
    const auto oldFile = dir / "old/upload-queue.json";
    const auto newFile = dir / "new/upload-queue.json";
    UploadQueue queue (oldFile, time.clock());
    queue.enqueue (stemJob ("/1"));
    queue.enqueue (stemJob ("/2"));
    const auto oldText = oldFile.loadFileAsString();
    ASSERT_TRUE (newFile.create());
    ASSERT_TRUE (newFile.replaceWithText ("[{\"jobId\": \"stranger\"}]"));

    queue.setFilePath (newFile);
    EXPECT_EQ (queue.getFilePath(), newFile);
    EXPECT_EQ (newFile.loadFileAsString(), "[{\"jobId\": \"stranger\"}]") << "no save, no load yet";
    queue.enqueue (stemJob ("/3"));

    const auto written = readArray (newFile);
    ASSERT_EQ (written.size(), 3);
    for (const auto& job : *written.getArray())
        EXPECT_NE (job["jobId"].toString(), "stranger");
    EXPECT_EQ (oldFile.loadFileAsString(), oldText);
}

TEST (UploadQueue, FailedWriteOrRenameKeepsTheOldFileAndLeavesNoSibling)
{
    TempFolder dir;
    ManualClock time;
    const auto file = dir / "upload-queue.json";
    UploadQueue queue (file, time.clock());
    queue.enqueue (stemJob ("/first"));
    const auto before = file.loadFileAsString();
    CapturingLogger log;

    {
        SCOPED_TRACE ("a write that fails part-way");
        platform::setWriteFailureAtByteForTesting (100);
        queue.enqueue (stemJob ("/second"));
        platform::setWriteFailureAtByteForTesting (-1);
        EXPECT_EQ (file.loadFileAsString(), before);
        EXPECT_EQ (log.count ("[UploadQueue] Failed to write tmp file " + (dir / "upload-queue.tmp.json").getFullPathName()), 1) << log.text();
        EXPECT_EQ (queue.snapshot().size(), 2u) << "memory keeps the job";
    }
    {
        SCOPED_TRACE ("a file size limit (RLIMIT_FSIZE)");
        rlimit saved {};
        ASSERT_EQ (getrlimit (RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal (SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = (rlim_t) before.length() / 2;
        ASSERT_EQ (setrlimit (RLIMIT_FSIZE, &small), 0);
        queue.enqueue (stemJob ("/third"));
        setrlimit (RLIMIT_FSIZE, &saved);
        std::signal (SIGXFSZ, previousHandler);
        EXPECT_EQ (file.loadFileAsString(), before);
        EXPECT_EQ (log.count ("[UploadQueue] Failed to write tmp file"), 2) << log.text();
    }
    EXPECT_EQ (siblingsOf (dir.folder()).joinIntoString (","), "upload-queue.json");

    {
        SCOPED_TRACE ("a rename onto a folder that is not empty");
        const auto blocked = dir / "blocked/upload-queue.json";
        ASSERT_TRUE (blocked.getChildFile ("inside.txt").create());
        queue.setFilePath (blocked);
        queue.enqueue (stemJob ("/fourth"));
        EXPECT_TRUE (blocked.isDirectory());
        EXPECT_TRUE (blocked.getChildFile ("inside.txt").existsAsFile());
        EXPECT_EQ (log.count ("[UploadQueue] Failed to rename tmp to " + blocked.getFullPathName()), 1) << log.text();
        EXPECT_EQ (siblingsOf (blocked.getParentDirectory()).joinIntoString (","), "upload-queue.json");
    }

    // The next good save writes everything.
    queue.setFilePath (file);
    queue.enqueue (stemJob ("/fifth"));
    EXPECT_EQ (readArray (file).size(), 5);
}

TEST (UploadQueue, FolderOrEmptyFileLoadsEmptyWithoutAWord)
{
    TempFolder dir;
    ManualClock time;
    ASSERT_TRUE ((dir / "folder/upload-queue.json").createDirectory());
    ASSERT_TRUE ((dir / "empty/upload-queue.json").create());
    CapturingLogger log;
    for (const auto* path : { "folder/upload-queue.json", "empty/upload-queue.json", "missing/upload-queue.json" })
    {
        SCOPED_TRACE (path);
        UploadQueue queue (dir / path, time.clock());
        EXPECT_TRUE (queue.snapshot().empty());
    }
    EXPECT_EQ (log.count ("[UploadQueue]"), 0) << log.text();
}
} // namespace quorvelle::test
