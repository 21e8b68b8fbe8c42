// The download worker against the mock back end: where each kind of file lands, the skip rule,
// progress reports, every way a fetch can fail (and that a failure never spoils a previous file
// or leaves one behind), ids that would leave the storage root, and a shutdown mid-transfer.
#include "net/cloud/DownloadWorker.h"

#include "CloudTestSupport.h"
#include "MockBackEnd.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
const std::string audioUrl = "POST /functions/v1/audio-download-url";
const std::string imageUrl = "POST /functions/v1/image-download-url";

struct DownloadRig
{
    TempFolder dir;
    juce::File root = dir / "root";
    ManualClock time;
    MockBackEnd backEnd;
    EventRecorder recorder;
    DownloadWorker worker { [this] { return root; }, time.clock() };

    DownloadRig()
    {
        root.createDirectory();
        worker.eventSink = recorder.sink();
        worker.setConfig (backEnd.baseUrl(), "key", "tok");
    }

    std::string fileUrl (const std::string& name) const { return backEnd.baseUrl() + "/files/" + name; }

    // The signed-URL call answers with a URL of the mock's file server, which serves `body`.
    void serve (const std::string& route, const std::string& name, MockBackEnd::Answer file, const std::string& mimeType = {})
    {
        backEnd.script (route, MockBackEnd::Answer::json (200, "{\"signedUrl\": \"" + fileUrl (name) + "\", \"mimeType\": \"" + mimeType + "\"}"));
        backEnd.setStanding ("GET /files/" + name, std::move (file));
    }

    juce::var fetch (const juce::String& json)
    {
        const auto before = recorder.withAction ("DOWNLOAD_COMPLETE").size();
        DownloadJob job;
        const auto request = juce::JSON::parse (json);
        job.audioFileId = "f1";
        job.kind = request.getProperty ("kind", "audio").toString();
        job.refKind = request.getProperty ("refKind", "stem").toString();
        job.songId = request.getProperty ("songId", {}).toString();
        job.trackId = request.getProperty ("trackId", {}).toString();
        job.padId = request.getProperty ("padId", {}).toString();
        job.padFileId = request.getProperty ("padFileId", {}).toString();
        job.indicationId = request.getProperty ("indicationId", {}).toString();
        job.expectedBytes = (juce::int64) request.getProperty ("expectedBytes", 0);
        worker.enqueue (job);
        if (! recorder.waitFor ("DOWNLOAD_COMPLETE", before + 1))
            return {};
        return recorder.withAction ("DOWNLOAD_COMPLETE").back();
    }

    juce::StringArray filesBelow (const juce::File& folder) const
    {
        juce::StringArray names;
        for (const auto& f : folder.findChildFiles (juce::File::findFiles, true, "*", juce::File::FollowSymlinks::no))
            names.add (f.getRelativePathFrom (dir.folder()));
        names.sort (false);
        return names;
    }
};
} // namespace

TEST (DownloadWorker, EachKindLandsInItsPlace)
{
    const struct { const char* request; const std::string* route; const char* mime; const char* target; } cases[] = {
        { R"({"songId": "s1", "trackId": "t1"})", &audioUrl, "", "Songs/s1/t1.flac" },
        { R"({"refKind": "pad_file", "padId": "p1", "padFileId": "pf"})", &audioUrl, "", "Pads/p1/pf.flac" },
        { R"({"refKind": "song_original", "songId": "s1"})", &audioUrl, "", "Songs/s1/original.flac" },
        { R"({"refKind": "indication", "indicationId": "in1"})", &audioUrl, "", "indications/in1.wav" },
        { R"({"kind": "image", "refKind": "song_cover", "songId": "s1"})", &imageUrl, "image/webp", "Covers/s1/cover.webp" },
        { R"({"kind": "image", "refKind": "song_cover", "songId": "s2"})", &imageUrl, "image/jpeg", "Covers/s2/cover.jpg" },
        { R"({"kind": "image", "refKind": "song_cover", "songId": "s3"})", &imageUrl, "", "Covers/s3/cover.jpg" },
        { R"({"kind": "image", "refKind": "pad_cover", "padId": "p1", "songId": "s9"})", &imageUrl, "image/png", "Covers/p1/cover.png" },
    };
    DownloadRig rig;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.request);
        const std::string body = std::string ("bytes of ") + c.target;
        rig.serve (*c.route, c.target, MockBackEnd::Answer::bytes (body), c.mime);
        const auto done = rig.fetch (c.request);
        ASSERT_TRUE (done.isObject());
        const auto target = rig.root.getChildFile (c.target);
        EXPECT_TRUE ((bool) done["success"]) << done["detail"].toString();
        EXPECT_EQ (target.loadFileAsString(), juce::String (body));
        EXPECT_EQ (done["localUrl"].toString(), "file://" + target.getFullPathName());
        EXPECT_EQ (done["localUrlB64"].toString(), cloud::base64OfUtf8 ("file://" + target.getFullPathName()));
    }

    // The signed-URL request names the file by the key of its kind; the GET carries no credentials.
    const auto requests = rig.backEnd.requests();
    EXPECT_EQ (requests[0].body, R"({"audioFileId": "f1"})");
    EXPECT_GE (requests[0].headerIndex ("Authorization: Bearer tok"), 0);
    EXPECT_EQ (rig.backEnd.requestsTo ("/functions/v1/image-download-url")[0].body, R"({"imageFileId": "f1"})");
    for (const auto& r : requests)
    {
        if (r.method == "GET")
        {
            EXPECT_FALSE (r.hasHeader ("Authorization") || r.hasHeader ("apikey")) << r.path;
        }
    }
    const auto done = rig.recorder.withAction ("DOWNLOAD_COMPLETE")[0];
    EXPECT_EQ (juce::JSON::toString (done, true).upToFirstOccurrenceOf ("\"localUrl\"", false, false),
               "{\"action\": \"DOWNLOAD_COMPLETE\", \"jobId\": \"" + done["jobId"].toString()
                   + "\", \"audioFileId\": \"f1\", \"kind\": \"audio\", \"refKind\": \"stem\", \"songId\": \"s1\", \"trackId\": \"t1\", "
                     "\"padId\": \"\", \"padFileId\": \"\", \"indicationId\": \"\", ");
}

TEST (DownloadWorker, FileOfTheExpectedSizeIsNotFetchedAgain)
{
    DownloadRig rig;
    const auto target = rig.root.getChildFile ("Songs/s1/t1.flac");
    ASSERT_TRUE (target.create());
    ASSERT_TRUE (target.replaceWithText ("12345"));
    rig.serve (audioUrl, "a", MockBackEnd::Answer::bytes ("new body"));

    CapturingLogger log;
    const auto done = rig.fetch (R"({"songId": "s1", "trackId": "t1", "expectedBytes": 5})");
    EXPECT_TRUE ((bool) done["success"]);
    EXPECT_TRUE (rig.backEnd.requestsTo ("/files/a").empty());
    const auto progress = rig.recorder.withAction ("DOWNLOAD_PROGRESS");
    ASSERT_EQ (progress.size(), 1u);
    EXPECT_EQ ((int) progress[0]["progress"], 100);
    EXPECT_EQ (log.count ("ya presente (5 bytes) -> skip re-descarga"), 1) << log.text();
    EXPECT_EQ (target.loadFileAsString(), "12345");

    // Size unknown: always fetched again, the old content replaced, never extended.
    rig.serve (audioUrl, "a", MockBackEnd::Answer::bytes ("new body"));
    const auto again = rig.fetch (R"({"songId": "s1", "trackId": "t1", "expectedBytes": 0})");
    EXPECT_TRUE ((bool) again["success"]);
    EXPECT_EQ (target.loadFileAsString(), "new body");
    const auto all = rig.recorder.withAction ("DOWNLOAD_PROGRESS");
    ASSERT_EQ (all.size(), 3u);
    EXPECT_EQ ((juce::int64) all[1]["totalBytes"], 0);
    EXPECT_EQ ((int) all[1]["progress"], 0);
    EXPECT_EQ ((juce::int64) all[2]["bytesDownloaded"], 8);
    EXPECT_EQ ((int) all[2]["progress"], 100);
}

TEST (DownloadWorker, ProgressComesEveryQuarterMebibyte)
{
    DownloadRig rig;
    std::string body (1 << 20, 'x');
    rig.serve (audioUrl, "big", MockBackEnd::Answer::bytes (body));
    const auto done = rig.fetch (R"({"songId": "s1", "trackId": "t1", "expectedBytes": 1048576})");
    EXPECT_TRUE ((bool) done["success"]);

    std::vector<juce::int64> reported;
    for (const auto& p : rig.recorder.withAction ("DOWNLOAD_PROGRESS"))
        reported.push_back ((juce::int64) p["bytesDownloaded"]);
    const std::vector<juce::int64> expected { 0, 262144, 524288, 786432, 1048576, 1048576 };
    EXPECT_EQ (reported, expected);
    EXPECT_EQ (rig.root.getChildFile ("Songs/s1/t1.flac").getSize(), 1 << 20);
}

TEST (DownloadWorker, FailuresReportTheirStepAndSpoilNothing)
{
    using A = MockBackEnd::Answer;
    A cut = A::bytes (std::string (200000, 'n'));
    cut.cutAfter = 100000;
    const struct
    {
        const char* name;
        A signedUrl;
        A file;
        const char* detail;
    } cases[] = {
        { "only downloadUrl", A::json (200, R"({"downloadUrl": "URL"})"), A::bytes ("fresh"), "" },
        { "no url", A::json (200, R"({"mimeType": "audio/flac"})"), {}, "signed_url_failed: no_download_url_in_response" },
        { "array of nothing", A::json (200, R"([])"), {}, "signed_url_failed: no_download_url_in_response" },
        { "403", A::json (403, R"({"error":"denied"})"), {}, "signed_url_failed: HTTP 403: {\"error\": \"denied\"}" },
        { "file 404", A::json (200, R"({"signedUrl": "URL"})"), A::json (404, "gone"), "download_failed: HTTP 404" },
        { "empty body", A::json (200, R"({"signedUrl": "URL"})"), A::bytes (""), "download_failed: empty_response_body" },
        { "cut body", A::json (200, R"({"signedUrl": "URL"})"), cut, "download_failed: incomplete_body" },
        { "file url", A::json (200, R"({"signedUrl": "file:///etc/hostname"})"), {}, "signed_url_failed: unsupported_url_scheme" },
        { "ftp url", A::json (200, R"({"signedUrl": "ftp://127.0.0.1/x"})"), {}, "signed_url_failed: unsupported_url_scheme" },
    };

    for (const auto& c : cases)
    {
        for (const bool previousFile : { false, true })
        {
            SCOPED_TRACE (juce::String (c.name) + (previousFile ? " over a previous file" : ""));
            DownloadRig rig;
            auto signedUrl = c.signedUrl;
            const auto at = signedUrl.body.find ("URL");
            if (at != std::string::npos)
                signedUrl.body.replace (at, 3, rig.fileUrl ("f"));
            rig.backEnd.script (audioUrl, signedUrl);
            rig.backEnd.setStanding ("GET /files/f", c.file);
            const auto target = rig.root.getChildFile ("Songs/s1/t1.flac");
            if (previousFile)
            {
                ASSERT_TRUE (target.create() && target.replaceWithText ("previous"));
            }

            const auto done = rig.fetch (R"({"songId": "s1", "trackId": "t1", "expectedBytes": 7})");
            ASSERT_TRUE (done.isObject());
            const bool success = juce::String (c.detail).isEmpty();
            EXPECT_EQ ((bool) done["success"], success);
            EXPECT_EQ (done["detail"].toString(), juce::String (c.detail));
            if (success)
            {
                EXPECT_EQ (target.loadFileAsString(), "fresh");
                continue;
            }
            EXPECT_EQ (done["localUrl"].toString(), "");
            EXPECT_EQ (target.existsAsFile(), previousFile);
            if (previousFile)
            {
                EXPECT_EQ (target.loadFileAsString(), "previous");
            }
            EXPECT_EQ (rig.filesBelow (rig.root).joinIntoString (","), previousFile ? "root/Songs/s1/t1.flac" : "") << "no temporary file left";
        }
    }
}

TEST (DownloadWorker, FailedJobsRetryByTheBackOff)
{
    DownloadRig rig;
    rig.backEnd.setStanding (audioUrl, MockBackEnd::Answer::json (500, "{}"));
    rig.fetch (R"({"songId": "s1", "trackId": "t1"})");
    for (int attempt = 2; attempt <= 5; ++attempt)
    {
        rig.time.now += ((juce::int64) 1 << (attempt - 1)) * 1000;
        rig.worker.setConfig (rig.backEnd.baseUrl(), "key", "tok"); // wakes it
        ASSERT_TRUE (rig.recorder.waitFor ("DOWNLOAD_COMPLETE", (size_t) attempt));
    }
    rig.time.now += 1'000'000;
    rig.worker.setConfig (rig.backEnd.baseUrl(), "key", "tok");
    runMessageLoopFor (300);
    EXPECT_EQ (rig.backEnd.requests().size(), 5u);
}

TEST (DownloadWorker, IdsThatLeaveTheRootWriteNothing)
{
    DownloadRig rig;
    for (const auto* request : { R"({"songId": "..", "trackId": "escape"})", R"({"songId": "a/b", "trackId": "t"})",
                                 R"({"refKind": "indication", "indicationId": "../../escape"})" })
    {
        SCOPED_TRACE (request);
        rig.serve (audioUrl, "x", MockBackEnd::Answer::bytes ("evil"));
        const auto done = rig.fetch (request);
        EXPECT_FALSE ((bool) done["success"]);
        EXPECT_EQ (done["detail"].toString(), "download_failed: invalid_target_path");
    }
    EXPECT_EQ (rig.filesBelow (rig.dir.folder()).joinIntoString (","), "");
}

TEST (DownloadWorker, ShutdownDuringAStalledDownloadReportsNoSuccess)
{
    CapturingLogger log;
    TempFolder dir;
    MockBackEnd backEnd;
    EventRecorder recorder;
    MockBackEnd::Answer stall;
    stall.stall = true;
    backEnd.script (audioUrl, MockBackEnd::Answer::json (200, "{\"signedUrl\": \"" + backEnd.baseUrl() + "/files/slow\"}"));
    backEnd.setStanding ("GET /files/slow", stall);
    {
        auto worker = std::make_unique<DownloadWorker> ([&dir] { return dir.folder(); });
        worker->eventSink = recorder.sink();
        worker->setConfig (backEnd.baseUrl(), "key", "tok");
        DownloadJob job;
        job.audioFileId = "f";
        job.songId = "s";
        job.trackId = "t";
        worker->enqueue (job);
        ASSERT_TRUE (backEnd.waitForStall());
        worker.reset();
    }
    EXPECT_EQ (log.count ("[DownloadWorker] stopped"), 1) << log.text();
    runMessageLoopFor (100);
    EXPECT_TRUE (recorder.withAction ("DOWNLOAD_COMPLETE").empty());
    EXPECT_FALSE (dir.folder().getChildFile ("Songs/s/t.flac").exists());
}
} // namespace quorvelle::test
