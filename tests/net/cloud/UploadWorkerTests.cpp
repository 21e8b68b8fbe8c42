// The upload worker against the mock back end: the three calls and their exact form, how each
// kind of answer ends a job, retries through the clock seam, and a shutdown mid-transfer.
#include "net/cloud/UploadWorker.h"

#include "CloudTestSupport.h"
#include "MockBackEnd.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
const std::string claimAudio = "POST /rest/v1/rpc/claim_audio_file";
const std::string claimImage = "POST /rest/v1/rpc/claim_image_file";
const std::string uploadAudio = "POST /functions/v1/audio-upload";
const std::string uploadImage = "POST /functions/v1/image-upload";
const std::string completeAudio = "POST /rest/v1/rpc/complete_audio_upload";
const std::string completeImage = "POST /rest/v1/rpc/complete_image_upload";

// A queue, a worker wired to a recorder, a mock back end and a local file to upload.
struct UploadRig
{
    TempFolder dir;
    ManualClock time;
    MockBackEnd backEnd;
    EventRecorder recorder;
    UploadQueue queue { dir / "upload-queue.json", time.clock() };
    UploadWorker worker { &queue, time.clock() };
    juce::File file = dir / "stem.wav";

    UploadRig()
    {
        file.replaceWithText ("RIFF-some-audio-bytes");
        worker.eventSink = recorder.sink();
    }

    void configure (const juce::String& token = "tok", const juce::String& key = "key")
    {
        worker.setConfig (backEnd.baseUrl(), key, token);
    }

    juce::String enqueueAudio (const juce::String& workspace = "ws-1")
    {
        UploadJob job;
        job.contentHash = "hash-1";
        job.localPath = file.getFullPathName();
        job.sizeBytes = file.getSize();
        job.sampleRate = 44100.9;
        job.channels = 2;
        job.bitDepth = 24;
        job.duration = 3.5;
        job.workspaceId = workspace;
        job.trackId = "t1";
        job.songId = "s1";
        queue.enqueue (job);
        worker.wake();
        return queue.snapshot().back().jobId;
    }

    UploadJob job (const juce::String& id)
    {
        UploadJob found;
        queue.find (id, found);
        return found;
    }
};

void standardAnswers (MockBackEnd& backEnd, const std::string& claim, const std::string& upload, const std::string& complete)
{
    backEnd.setStanding (claim, MockBackEnd::Answer::json (200, R"([{"id": "srv-1", "upload_status": "pending"}])"));
    backEnd.setStanding (upload, MockBackEnd::Answer::json (200, R"({"ok": true})"));
    backEnd.setStanding (complete, MockBackEnd::Answer::json (200, "null"));
}
} // namespace

TEST (UploadWorker, NoThreadBeforeConfigurationAndIdleWithoutKey)
{
    UploadRig rig;
    EXPECT_FALSE (rig.worker.isThreadRunning());
    rig.worker.setConfig (rig.backEnd.baseUrl(), "key", "");
    EXPECT_FALSE (rig.worker.isThreadRunning()) << "no token, no thread";

    standardAnswers (rig.backEnd, claimAudio, uploadAudio, completeAudio);
    rig.configure ("tok", "");
    EXPECT_TRUE (rig.worker.isThreadRunning());
    const auto id = rig.enqueueAudio();
    runMessageLoopFor (300);
    EXPECT_TRUE (rig.backEnd.requests().empty()) << "no key: the worker idles";

    rig.configure();
    ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE"));
    EXPECT_EQ (rig.job (id).status, UploadJobStatus::DONE);
}

TEST (UploadWorker, AudioJobMakesThreeCallsInTheirExactForm)
{
    UploadRig rig;
    standardAnswers (rig.backEnd, claimAudio, uploadAudio, completeAudio);
    rig.configure();
    const auto id = rig.enqueueAudio();
    ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE"));

    const auto requests = rig.backEnd.requests();
    ASSERT_EQ (requests.size(), 3u);
    const auto& claim = requests[0];
    const auto& upload = requests[1];
    const auto& complete = requests[2];
    EXPECT_EQ (claim.method + " " + claim.path, claimAudio);
    EXPECT_EQ (upload.method + " " + upload.path, uploadAudio);
    EXPECT_EQ (complete.method + " " + complete.path, completeAudio);

    for (const auto* r : { &claim, &complete })
    {
        const int a = r->headerIndex ("Authorization: Bearer tok"), k = r->headerIndex ("apikey: key"),
                  c = r->headerIndex ("Content-Type: application/json"), x = r->headerIndex ("Accept: application/json");
        EXPECT_TRUE (a >= 0 && a < k && k < c && c < x) << r->path;
    }
    EXPECT_EQ (claim.body, R"({"p_content_hash": "hash-1", "p_size_bytes": 21, "p_duration": 3.5, "p_sample_rate": 44100, )"
                           R"("p_bit_depth": 24, "p_channels": 2, "p_workspace_id": "ws-1"})");
    EXPECT_EQ (complete.body, R"({"p_audio_file_id": "srv-1"})");

    const int a = upload.headerIndex ("Authorization: Bearer tok"), k = upload.headerIndex ("apikey: key"),
              f = upload.headerIndex ("X-Audio-File-Id: srv-1"), c = upload.headerIndex ("Content-Type: application/octet-stream");
    EXPECT_TRUE (a >= 0 && a < k && k < f && f < c);
    EXPECT_EQ (upload.body, "RIFF-some-audio-bytes");

    const auto progress = rig.recorder.withAction ("UPLOAD_PROGRESS");
    ASSERT_EQ (progress.size(), 2u);
    EXPECT_EQ ((int) progress[0]["progress"], 0);
    EXPECT_EQ ((juce::int64) progress[0]["totalBytes"], 21);
    EXPECT_EQ ((int) progress[1]["progress"], 100);
    EXPECT_EQ ((juce::int64) progress[1]["bytesUploaded"], 21);

    const auto done = rig.recorder.withAction ("UPLOAD_COMPLETE")[0];
    EXPECT_EQ (juce::JSON::toString (done, true),
               "{\"action\": \"UPLOAD_COMPLETE\", \"jobId\": \"" + id + "\", \"audioFileId\": \"srv-1\", \"success\": true, \"detail\": \"\", "
               "\"refKind\": \"stem\", \"trackId\": \"t1\", \"songId\": \"s1\", \"padFileId\": \"\", \"padId\": \"\"}");
    const auto job = rig.job (id);
    EXPECT_EQ (job.status, UploadJobStatus::DONE);
    EXPECT_EQ (job.progress, 100);
    EXPECT_EQ (job.audioFileId, "srv-1");
}

TEST (UploadWorker, ImageJobSendsItsMimeTypeAndNoWorkspace)
{
    UploadRig rig;
    standardAnswers (rig.backEnd, claimImage, uploadImage, completeImage);
    rig.configure();
    UploadJob job;
    job.contentHash = "img";
    job.localPath = rig.file.getFullPathName();
    job.sizeBytes = 21;
    job.workspaceId = "ws-1";
    job.kind = "image";
    job.refKind = "song_cover";
    job.songId = "s1";
    job.mimeType = "image/webp";
    job.imageWidth = 640;
    rig.queue.enqueue (job);
    rig.worker.wake();
    ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE"));

    const auto requests = rig.backEnd.requests();
    ASSERT_EQ (requests.size(), 3u);
    EXPECT_EQ (requests[0].body, R"({"p_content_hash": "img", "p_mime_type": "image/webp", "p_size_bytes": 21, "p_width": 640})");
    EXPECT_EQ (requests[1].header ("Content-Type"), "image/webp");
    EXPECT_GE (requests[1].headerIndex ("X-Image-File-Id: srv-1"), 0);
    EXPECT_EQ (requests[2].body, R"({"p_image_file_id": "srv-1"})");
    EXPECT_TRUE ((bool) rig.recorder.withAction ("UPLOAD_COMPLETE")[0]["success"]);
}

TEST (UploadWorker, EachAnswerEndsTheJobAsItShould)
{
    using A = MockBackEnd::Answer;
    const struct
    {
        const char* name;
        A claim, upload;
        bool deleteFile;
        bool success;
        juce::String detail;
        size_t calls;
    } cases[] = {
        { "already held", A::json (200, R"([{"id": "srv-9", "upload_status": "uploaded"}])"), {}, false, true, "deduped", 1 },
        { "empty array", A::json (200, "[]"), {}, false, false, "claim_failed: unexpected_response_shape", 1 },
        { "bare string", A::json (200, "\"hello\""), {}, false, false, "claim_failed: unexpected_response_shape", 1 },
        { "not json", A::json (200, "<html>oops"), {}, false, false, "claim_failed: unexpected_response_shape", 1 },
        { "401 empty", A::json (401, ""), {}, false, false, "claim_failed: HTTP 401: null", 1 },
        { "claim 409", A::json (409, R"({"message":"taken"})"), {}, false, false, "claim_failed: HTTP 409: {\"message\": \"taken\"}", 1 },
        { "no id", A::json (200, R"({"upload_status": "pending"})"), {}, false, false, "claim_failed: no_audio_file_id_in_response", 1 },
        { "id with a line break", A::json (200, R"({"id": "a\r\nX-Evil: 1"})"), {}, false, false, "claim_failed: no_audio_file_id_in_response", 1 },
        { "upload 204", A::json (200, R"({"id": "srv-1"})"), A::json (204, ""), false, true, "", 3 },
        { "upload 409", A::json (200, R"({"id": "srv-1"})"), A::json (409, "conflict: as sent"), false, false, "edge_upload_failed: HTTP 409: conflict: as sent", 2 },
        { "file deleted", A::json (200, R"({"id": "srv-1"})"), {}, true, false, "", 1 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        UploadRig rig;
        rig.backEnd.script (claimAudio, c.claim);
        rig.backEnd.setStanding (uploadAudio, c.upload);
        rig.backEnd.setStanding (completeAudio, A::json (200, "{}"));
        if (c.deleteFile)
            rig.file.deleteFile();
        rig.configure();
        const auto id = rig.enqueueAudio();
        ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE"));

        const auto done = rig.recorder.withAction ("UPLOAD_COMPLETE")[0];
        const auto detail = c.deleteFile ? "edge_upload_failed: local_file_missing: " + rig.file.getFullPathName() : c.detail;
        EXPECT_EQ ((bool) done["success"], c.success);
        EXPECT_EQ (done["detail"].toString(), detail);
        EXPECT_EQ (rig.backEnd.requests().size(), c.calls);

        const auto job = rig.job (id);
        EXPECT_EQ (job.status, c.success ? UploadJobStatus::DONE : UploadJobStatus::FAILED);
        EXPECT_EQ (job.attempts, c.success ? 0 : 1);
        if (! c.success)
        {
            EXPECT_EQ (job.lastError, detail);
            EXPECT_EQ (done["audioFileId"].toString(), "");
        }
    }
}

TEST (UploadWorker, BrokenCredentialsCountAsMissing)
{
    for (const auto& [token, key] : { std::pair<juce::String, juce::String> { "tok\r\nX-Evil: 1", "key" }, { "tok", "key\nX" } })
    {
        SCOPED_TRACE (token + "|" + key);
        UploadRig rig;
        rig.configure (token, key);
        const auto id = rig.enqueueAudio();
        ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE"));
        EXPECT_EQ (rig.job (id).lastError, "claim_failed: missing_auth");
        EXPECT_TRUE (rig.backEnd.requests().empty());
    }
}

TEST (UploadWorker, RetriesFollowTheBackOffUpToFiveFailuresAndPendingGoesFirst)
{
    UploadRig rig;
    rig.backEnd.setStanding (claimAudio, MockBackEnd::Answer::json (500, R"({"e": 1})"));
    rig.configure();
    const auto failing = rig.enqueueAudio();
    ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE", 1));
    EXPECT_EQ (rig.job (failing).attempts, 1);

    // Not yet due: a wake-up takes nothing.
    rig.time.now += 1999;
    rig.worker.wake();
    runMessageLoopFor (300);
    EXPECT_EQ (rig.backEnd.requests().size(), 1u);

    // Due, but a PENDING job goes first.
    rig.time.now += 1;
    rig.backEnd.script (claimAudio, MockBackEnd::Answer::json (200, R"({"id": "srv-2", "upload_status": "uploaded"})"));
    const auto fresh = rig.enqueueAudio ("ws-2");
    ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE", 3));
    const auto completes = rig.recorder.withAction ("UPLOAD_COMPLETE");
    EXPECT_EQ (completes[1]["jobId"].toString(), fresh);
    EXPECT_EQ (completes[2]["jobId"].toString(), failing);
    EXPECT_EQ (rig.job (failing).attempts, 2);

    for (int attempt = 3; attempt <= 5; ++attempt)
    {
        rig.time.now += ((juce::int64) 1 << (attempt - 1)) * 1000;
        rig.worker.wake();
        ASSERT_TRUE (rig.recorder.waitFor ("UPLOAD_COMPLETE", (size_t) attempt + 1));
        EXPECT_EQ (rig.job (failing).attempts, attempt);
    }

    rig.time.now += 1'000'000;
    rig.worker.wake();
    runMessageLoopFor (300);
    EXPECT_EQ (rig.recorder.withAction ("UPLOAD_COMPLETE").size(), 6u) << "five failures: never taken again";
    EXPECT_EQ (rig.job (failing).status, UploadJobStatus::FAILED);
}

TEST (UploadWorker, ShutdownDuringAStalledUploadPutsTheJobBack)
{
    CapturingLogger log;
    TempFolder dir;
    MockBackEnd backEnd;
    EventRecorder recorder;
    const auto file = dir / "stem.wav";
    ASSERT_TRUE (file.replaceWithText ("bytes"));
    backEnd.setStanding (claimAudio, MockBackEnd::Answer::json (200, R"({"id": "srv-1"})"));
    MockBackEnd::Answer stall;
    stall.stall = true;
    backEnd.setStanding (uploadAudio, stall);

    juce::String id;
    {
        UploadQueue queue (dir / "upload-queue.json");
        auto worker = std::make_unique<UploadWorker> (&queue);
        worker->eventSink = recorder.sink();
        worker->setConfig (backEnd.baseUrl(), "key", "tok");
        UploadJob job;
        job.contentHash = "h";
        job.localPath = file.getFullPathName();
        job.workspaceId = "w";
        job.trackId = "t";
        queue.enqueue (job);
        id = queue.snapshot()[0].jobId;
        worker->wake();
        ASSERT_TRUE (backEnd.waitForStall());

        // A thread that overran the bound would be killed before it logs that it stopped.
        worker.reset();
        EXPECT_EQ (log.count ("[UploadWorker] stopped"), 1) << log.text();
        EXPECT_EQ (log.count ("[UploadWorker] " + id + " interrupted by shutdown; back to PENDING"), 1) << log.text();
    }

    UploadQueue reloaded (dir / "upload-queue.json");
    UploadJob job;
    ASSERT_TRUE (reloaded.find (id, job));
    EXPECT_EQ (job.status, UploadJobStatus::PENDING);
    EXPECT_EQ (job.attempts, 0);
    runMessageLoopFor (100);
    EXPECT_TRUE (recorder.withAction ("UPLOAD_COMPLETE").empty());
}
} // namespace quorvelle::test
