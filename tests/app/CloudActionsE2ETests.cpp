// The cloud and sign-in actions of the whole program, driven through `--bridge-stdio` against a
// mock back end on 127.0.0.1: answers and their typed twins, refusals, uploads and downloads end
// to end, the queue across restarts and a shutdown mid-upload, and the browser's sign-in redirect.
#include "EndedProgram.h"

#include "tests/net/cloud/MockBackEnd.h"
#include "tests/support/TempFolder.h"
#include "typedbridge/TypedMessages_generated.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int answerMs = 30000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// The typed event of that payload type on one stdout line, decoded into `storage`.
const bridge::FromNativeMessage* typedOf (const juce::var& event, bridge::FromNativePayload type, juce::MemoryOutputStream& storage)
{
    if (actionOf (event) != "TYPED_BRIDGE_V1")
        return nullptr;
    storage.reset();
    if (! juce::Base64::convertFromBase64 (storage, event.getProperty ("data", {}).toString()))
        return nullptr;
    flatbuffers::Verifier verifier (static_cast<const uint8_t*> (storage.getData()), storage.getDataSize());
    if (! verifier.VerifyBuffer<bridge::FromNativeMessage> (nullptr))
        return nullptr;
    const auto* message = flatbuffers::GetRoot<bridge::FromNativeMessage> (storage.getData());
    return message->payload_type() == type ? message : nullptr;
}

juce::var waitFor (ProgramProcess& program, const juce::String& action, size_t from = 0, int timeoutMs = answerMs)
{
    const auto index = program.waitForAction (action, timeoutMs, from);
    return index.has_value() ? program.events()[*index] : juce::var();
}

void configure (ProgramProcess& program, const MockBackEnd& backEnd)
{
    program.send (makeObject ({ { "action", "SET_CLOUD_CONFIG" },
                                { "supabaseUrl", juce::String (backEnd.baseUrl()) },
                                { "anonKey", "key" },
                                { "authToken", "tok" },
                                { "workspaceId", "ignored" } }));
}

juce::var uploadRequest (const juce::File& file)
{
    return makeObject ({ { "action", "ENQUEUE_UPLOAD" }, { "contentHash", "h1" }, { "localPath", file.getFullPathName() },
                         { "sizeBytes", file.getSize() }, { "workspaceId", "ws" }, { "trackId", "t1" }, { "songId", "s1" } });
}

juce::var queueJobs (ProgramProcess& program, const juce::String& id)
{
    const auto from = program.lines().size();
    program.send (makeObject ({ { "action", "GET_UPLOAD_QUEUE" }, { "id", id } }));
    return waitFor (program, "UPLOAD_QUEUE_SNAPSHOT", from)["jobs"];
}
} // namespace

TEST (CloudActionsE2E, QueueAndLocalFileAnswersWithTheirTypedTwins)
{
    TempFolder dir;
    const auto file = dir / "a b.wav";
    ASSERT_TRUE (file.replaceWithText ("12345"));
    EndedProgram program;

    program.send (makeObject ({ { "action", "GET_UPLOAD_QUEUE" }, { "id", "q1" } }));
    const auto snapshotAt = program.waitForAction ("UPLOAD_QUEUE_SNAPSHOT", startupMs);
    ASSERT_TRUE (snapshotAt.has_value()) << program.stderrText();
    EXPECT_EQ (juce::JSON::toString (program.events()[*snapshotAt], true), "{\"action\": \"UPLOAD_QUEUE_SNAPSHOT\", \"id\": \"q1\", \"jobs\": [], \"count\": 0}");
    juce::MemoryOutputStream storage;
    const auto twin = program.waitForEvent ([&] (const juce::var& v) { return typedOf (v, bridge::FromNativePayload::UploadQueueSnapshotEvent, storage) != nullptr; },
                                            answerMs, *snapshotAt);
    ASSERT_TRUE (twin.has_value());
    const auto* typed = typedOf (program.events()[*twin], bridge::FromNativePayload::UploadQueueSnapshotEvent, storage)->payload_as_UploadQueueSnapshotEvent();
    EXPECT_EQ (typed->id()->str(), "q1");
    EXPECT_EQ (typed->count(), 0);
    EXPECT_EQ (juce::JSON::parse (typed->jobs()->str()).size(), 0);

    auto items = juce::Array<juce::var> {
        makeObject ({ { "trackId", "url" }, { "path", juce::URL (file).toString (false) } }),
        makeObject ({ { "trackId", "plain" }, { "path", file.getFullPathName() } }),
        makeObject ({ { "trackId", "folder" }, { "path", dir.folder().getFullPathName() } }),
        makeObject ({ { "trackId", "empty" }, { "path", "" } }),
        makeObject ({ { "trackId", "missing" }, { "path", (dir / "nope.wav").getFullPathName() } }),
    };
    const auto from = program.lines().size();
    program.send (makeObject ({ { "action", "CHECK_LOCAL_FILES" }, { "id", "c1" }, { "items", items } }));
    const auto status = waitFor (program, "LOCAL_FILES_STATUS", from);
    ASSERT_TRUE (status.isObject());
    EXPECT_EQ (juce::JSON::toString (status["items"], true),
               "[{\"trackId\": \"url\", \"exists\": true, \"sizeBytes\": 5}, {\"trackId\": \"plain\", \"exists\": true, \"sizeBytes\": 5}, "
               "{\"trackId\": \"folder\", \"exists\": false, \"sizeBytes\": 0}, {\"trackId\": \"empty\", \"exists\": false, \"sizeBytes\": 0}, "
               "{\"trackId\": \"missing\", \"exists\": false, \"sizeBytes\": 0}]");
    const auto filesTwin = program.waitForEvent ([&] (const juce::var& v) { return typedOf (v, bridge::FromNativePayload::LocalFilesStatusEvent, storage) != nullptr; },
                                                 answerMs, from);
    ASSERT_TRUE (filesTwin.has_value());
    const auto* files = typedOf (program.events()[*filesTwin], bridge::FromNativePayload::LocalFilesStatusEvent, storage)->payload_as_LocalFilesStatusEvent();
    ASSERT_EQ (files->items()->size(), 5u);
    EXPECT_EQ (files->items()->Get (0)->trackId()->str(), "url");
    EXPECT_TRUE (files->items()->Get (0)->exists());
    EXPECT_EQ (files->items()->Get (0)->sizeBytes(), 5);
    EXPECT_FALSE (files->items()->Get (2)->exists());

    // Refusals answer nothing and say why on the log.
    program.send (makeObject ({ { "action", "ENQUEUE_UPLOAD" }, { "contentHash", "h" }, { "localPath", "/x" }, { "workspaceId", "w" },
                                { "kind", "image" }, { "refKind", "song_cover" }, { "songId", "s" } }));
    program.send (makeObject ({ { "action", "ENQUEUE_DOWNLOAD" }, { "audioFileId", "f" }, { "songId", "../.." }, { "trackId", "x" } }));
    EXPECT_TRUE (program.waitForStderr ("[UploadWorker] ENQUEUE_UPLOAD rejected: missing fields (kind=image, refKind=song_cover)", answerMs));
    EXPECT_TRUE (program.waitForStderr ("[DownloadWorker] ENQUEUE_DOWNLOAD rejected: invalid id (kind=audio, refKind=stem)", answerMs));
}

TEST (CloudActionsE2E, UploadAndDownloadEndToEndAndTheQueueSurvivesARestart)
{
    TempFolder dir;
    MockBackEnd backEnd;
    const auto file = dir / "stem.wav";
    ASSERT_TRUE (file.replaceWithText ("stem bytes"));
    backEnd.setStanding ("POST /rest/v1/rpc/claim_audio_file", MockBackEnd::Answer::json (200, R"({"id": "srv-1"})"));
    backEnd.setStanding ("POST /functions/v1/audio-upload", MockBackEnd::Answer::json (200, "{}"));
    backEnd.setStanding ("POST /rest/v1/rpc/complete_audio_upload", MockBackEnd::Answer::json (200, "{}"));
    backEnd.setStanding ("POST /functions/v1/audio-download-url",
                         MockBackEnd::Answer::json (200, "{\"signedUrl\": \"" + backEnd.baseUrl() + "/files/x\"}"));
    backEnd.setStanding ("GET /files/x", MockBackEnd::Answer::bytes ("downloaded bytes"));

    juce::String jobId;
    {
        EndedProgram program;
        configure (program, backEnd);
        program.send (uploadRequest (file));
        const auto complete = waitFor (program, "UPLOAD_COMPLETE", 0, startupMs);
        ASSERT_TRUE (complete.isObject()) << program.stderrText();
        EXPECT_TRUE ((bool) complete["success"]);
        EXPECT_EQ (complete["audioFileId"].toString(), "srv-1");
        jobId = complete["jobId"].toString();
        EXPECT_EQ (backEnd.requestsTo ("/functions/v1/audio-upload")[0].body, "stem bytes");

        program.send (makeObject ({ { "action", "ENQUEUE_DOWNLOAD" }, { "audioFileId", "srv-1" }, { "songId", "s1" }, { "trackId", "t1" } }));
        const auto downloaded = waitFor (program, "DOWNLOAD_COMPLETE");
        ASSERT_TRUE (downloaded.isObject()) << program.stderrText();
        EXPECT_TRUE ((bool) downloaded["success"]) << downloaded["detail"].toString();
        const auto path = downloaded["localUrl"].toString().fromFirstOccurrenceOf ("file://", false, false);
        EXPECT_TRUE (path.endsWith ("/Songs/s1/t1.flac"));
        EXPECT_EQ (juce::File (path).loadFileAsString(), "downloaded bytes");
    }

    EndedProgram again;
    const auto jobs = queueJobs (again, "after");
    ASSERT_EQ (jobs.size(), 1) << again.stderrText();
    EXPECT_EQ (jobs[0]["jobId"].toString(), jobId);
    EXPECT_EQ (jobs[0]["status"].toString(), "DONE");
}

TEST (CloudActionsE2E, ClosingStdinDuringStalledTransfersEndsCleanlyAndTheUploadWaits)
{
    TempFolder dir;
    MockBackEnd backEnd;
    const auto file = dir / "stem.wav";
    ASSERT_TRUE (file.replaceWithText ("stem bytes"));
    MockBackEnd::Answer stall;
    stall.stall = true;
    backEnd.setStanding ("POST /rest/v1/rpc/claim_audio_file", MockBackEnd::Answer::json (200, R"({"id": "srv-1"})"));
    backEnd.setStanding ("POST /functions/v1/audio-upload", stall);
    backEnd.setStanding ("POST /functions/v1/audio-download-url",
                         MockBackEnd::Answer::json (200, "{\"signedUrl\": \"" + backEnd.baseUrl() + "/files/slow\"}"));
    backEnd.setStanding ("GET /files/slow", stall);

    {
        ProgramProcess program;
        ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
        configure (program, backEnd);
        program.send (uploadRequest (file));
        program.send (makeObject ({ { "action", "ENQUEUE_DOWNLOAD" }, { "audioFileId", "f" }, { "songId", "s1" }, { "trackId", "t1" } }));
        ASSERT_TRUE (backEnd.waitForStall (2, answerMs)) << program.stderrText();

        program.closeStdin();
        const auto status = program.waitForExit (40000);
        ASSERT_TRUE (status.has_value()) << "the program must end by itself";
        EXPECT_EQ (*status, 0);
        EXPECT_EQ (program.stderrText().find ("killing thread by force"), std::string::npos) << program.stderrText();
        EXPECT_NE (program.stderrText().find ("[UploadWorker] stopped"), std::string::npos);
        EXPECT_NE (program.stderrText().find ("[DownloadWorker] stopped"), std::string::npos);
        for (const auto& e : program.events())
            EXPECT_NE (actionOf (e), "DOWNLOAD_COMPLETE");
    }

    EndedProgram again;
    const auto jobs = queueJobs (again, "after");
    ASSERT_EQ (jobs.size(), 1) << again.stderrText();
    EXPECT_EQ (jobs[0]["status"].toString(), "PENDING");
    EXPECT_EQ ((int) jobs[0]["attempts"], 0);
}

TEST (CloudActionsE2E, SignInListenerAnswersAndTheBrowserRedirectArrives)
{
    EndedProgram program;
    program.send (makeObject ({ { "action", "START_OAUTH_LISTENER" }, { "id", "o1" } }));
    const auto started = waitFor (program, "OAUTH_LISTENER_STARTED", 0, startupMs);
    ASSERT_TRUE (started.isObject()) << program.stderrText();
    EXPECT_EQ (juce::JSON::toString (started, true), "{\"action\": \"OAUTH_LISTENER_STARTED\", \"id\": \"o1\", \"redirectUri\": \"http://127.0.0.1:53682\"}");
    EXPECT_TRUE (program.waitForStderr ("[OAuth] listener started -> http://127.0.0.1:53682", answerMs));

    // A real browser: the sign-in page of the back end redirects it to the listener.
    const auto chromium = juce::File ("/usr/bin/chromium");
    if (! chromium.existsAsFile())
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    MockBackEnd backEnd;
    MockBackEnd::Answer redirect { 302, "" };
    redirect.location = "http://127.0.0.1:53682/callback?code=a%20b&state=s";
    backEnd.setStanding ("GET /login", redirect);

    TempFolder profile;
    juce::ChildProcess browser;
    ASSERT_TRUE (browser.start (juce::StringArray { chromium.getFullPathName(), "--headless=new", "--no-sandbox", "--disable-gpu",
                                                    "--no-first-run", "--user-data-dir=" + profile.folder().getFullPathName(), "--dump-dom",
                                                    juce::String (backEnd.baseUrl()) + "/login" },
                                juce::ChildProcess::wantStdOut));
    const auto dom = browser.readAllProcessOutput();
    EXPECT_TRUE (dom.contains ("Listo")) << dom;

    const auto callback = waitFor (program, "OAUTH_CALLBACK");
    ASSERT_TRUE (callback.isObject()) << program.stderrText();
    EXPECT_EQ (callback["url"].toString(), "http://127.0.0.1:53682/callback?code=a%20b&state=s");
}

TEST (CloudActionsE2E, NoFreePortAnswersTheSpanishError)
{
    std::vector<std::unique_ptr<juce::StreamingSocket>> held;
    for (const auto port : { 53682, 53683, 53684, 49737, 49738, 51877, 51878 })
    {
        held.push_back (std::make_unique<juce::StreamingSocket>());
        ASSERT_TRUE (held.back()->createListener (port, "127.0.0.1"));
    }
    EndedProgram program;
    program.send (makeObject ({ { "action", "START_OAUTH_LISTENER" } }));
    const auto started = waitFor (program, "OAUTH_LISTENER_STARTED", 0, startupMs);
    ASSERT_TRUE (started.isObject()) << program.stderrText();
    EXPECT_EQ (started["id"].toString(), "");
    EXPECT_EQ (started["error"].toString(), "No se pudo abrir un puerto local para el login.");
    EXPECT_FALSE (started.getDynamicObject()->hasProperty ("redirectUri"));
    EXPECT_TRUE (program.waitForStderr ("[OAuth] FAILED to bind loopback listener", answerMs));
}
} // namespace quorvelle::test
