// What ENQUEUE_UPLOAD and ENQUEUE_DOWNLOAD accept, and the line a refusal logs.
#include "net/cloud/CloudRequests.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
juce::var request (const juce::String& json)
{
    return juce::JSON::parse (json);
}
} // namespace

TEST (CloudRequests, UploadAcceptanceTable)
{
    const juce::String base = R"("contentHash": "h", "localPath": "/a.wav", "workspaceId": "w")";
    const auto missing = [] (const char* kind, const char* refKind)
    { return "[UploadWorker] ENQUEUE_UPLOAD rejected: missing fields (kind=" + juce::String (kind) + ", refKind=" + refKind + ")"; };

    const struct { juce::String json; juce::String refusal; } cases[] = {
        { "{" + base + R"(, "trackId": "t"})", {} }, // no kind or refKind: audio stem
        { "{" + base + R"(, "kind": "audio", "refKind": "stem", "trackId": "t"})", {} },
        { "{" + base + R"(, "kind": "audio", "refKind": "stem", "songId": "s"})", missing ("audio", "stem") },
        { "{" + base + R"(, "refKind": "pad_file", "padFileId": "p"})", {} },
        { "{" + base + R"(, "refKind": "pad_file", "padId": "p"})", missing ("audio", "pad_file") },
        { "{" + base + R"(, "refKind": "song_original", "songId": "s"})", {} },
        { "{" + base + R"(, "kind": "image", "refKind": "song_cover", "songId": "s", "mimeType": "image/png"})", {} },
        { "{" + base + R"(, "kind": "image", "refKind": "song_cover", "songId": "s"})", missing ("image", "song_cover") },
        { "{" + base + R"(, "kind": "image", "refKind": "pad_cover", "padId": "p", "mimeType": "image/png"})", {} },
        { "{" + base + R"(, "kind": "image", "refKind": "stem", "trackId": "t", "mimeType": "image/png"})", missing ("image", "stem") },
        { "{" + base + R"(, "kind": "video", "trackId": "t"})", missing ("video", "stem") },
        { R"({"contentHash": "h", "localPath": "/a.wav", "trackId": "t"})", missing ("audio", "stem") },
        { R"({"contentHash": "h", "workspaceId": "w", "trackId": "t"})", missing ("audio", "stem") },
        { R"({"localPath": "/a.wav", "workspaceId": "w", "trackId": "t"})", missing ("audio", "stem") },
        { "{" + base + R"(, "kind": "image", "refKind": "song_cover", "songId": "s", "mimeType": "image/png\r\nX-Evil: 1"})",
          "[UploadWorker] ENQUEUE_UPLOAD rejected: invalid mimeType" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.json);
        const auto job = cloud::uploadJobFromRequest (request (c.json));
        EXPECT_EQ (cloud::uploadRequestRefusal (job), c.refusal);
    }
}

TEST (CloudRequests, UploadRequestFieldsAndDefaults)
{
    const auto job = cloud::uploadJobFromRequest (request (R"({"contentHash": "h", "localPath": "/a", "sizeBytes": 5000000000,
        "sampleRate": 44100.5, "channels": 2, "bitDepth": 24, "duration": 3.25, "workspaceId": "w", "kind": "", "refKind": "",
        "trackId": "t", "imageWidth": 7, "jobId": "mine", "status": "DONE", "attempts": 3, "createdAt": 5})"));
    EXPECT_EQ (job.sizeBytes, 5000000000LL);
    EXPECT_DOUBLE_EQ (job.sampleRate, 44100.5);
    EXPECT_EQ (job.channels, 2);
    EXPECT_EQ (job.bitDepth, 24);
    EXPECT_DOUBLE_EQ (job.duration, 3.25);
    EXPECT_EQ (job.kind, "audio");
    EXPECT_EQ (job.refKind, "stem");
    EXPECT_EQ (job.imageWidth, 7);
    EXPECT_TRUE (job.jobId.isEmpty()) << "id, status, counters and times are never read";
    EXPECT_EQ (job.status, UploadJobStatus::PENDING);
    EXPECT_EQ (job.attempts, 0);
    EXPECT_EQ (job.createdAt, 0);
}

TEST (CloudRequests, DownloadAcceptanceTable)
{
    const auto missing = [] (const char* kind, const char* refKind)
    { return "[DownloadWorker] ENQUEUE_DOWNLOAD rejected: missing fields (kind=" + juce::String (kind) + ", refKind=" + refKind + ")"; };
    const auto invalid = [] (const char* kind, const char* refKind)
    { return "[DownloadWorker] ENQUEUE_DOWNLOAD rejected: invalid id (kind=" + juce::String (kind) + ", refKind=" + refKind + ")"; };

    const struct { juce::String json; juce::String refusal; } cases[] = {
        { R"({"audioFileId": "f", "songId": "s", "trackId": "t"})", {} }, // no kind or refKind: audio stem
        { R"({"audioFileId": "f", "kind": "audio", "refKind": "stem", "trackId": "t"})", missing ("audio", "stem") },
        { R"({"audioFileId": "f", "refKind": "pad_file", "padId": "p", "padFileId": "q"})", {} },
        { R"({"audioFileId": "f", "refKind": "pad_file", "padId": "p"})", missing ("audio", "pad_file") },
        { R"({"audioFileId": "f", "refKind": "song_original", "songId": "s"})", {} },
        { R"({"audioFileId": "f", "refKind": "indication", "indicationId": "i"})", {} },
        { R"({"refKind": "indication", "indicationId": "i"})", missing ("audio", "indication") },
        { R"({"audioFileId": "f", "kind": "image", "refKind": "song_cover", "songId": "s"})", {} },
        { R"({"audioFileId": "f", "kind": "image", "refKind": "pad_cover", "padId": "p"})", {} },
        { R"({"audioFileId": "f", "kind": "image", "refKind": "pad_cover", "songId": "s"})", missing ("image", "pad_cover") },
        { R"({"audioFileId": "f", "songId": "..", "trackId": "t"})", invalid ("audio", "stem") },
        { R"({"audioFileId": "f", "songId": "s", "trackId": "a/b"})", invalid ("audio", "stem") },
        { R"({"audioFileId": "f", "songId": "s", "trackId": "a\\b"})", invalid ("audio", "stem") },
        { R"({"audioFileId": "f", "refKind": "pad_file", "padId": ".", "padFileId": "q"})", invalid ("audio", "pad_file") },
        { R"({"audioFileId": "f", "refKind": "indication", "indicationId": "../../x"})", invalid ("audio", "indication") },
        { R"({"audioFileId": "f", "kind": "image", "refKind": "pad_cover", "padId": "..", "songId": "s"})", invalid ("image", "pad_cover") },
        // Only the ids that become path components count.
        { R"({"audioFileId": "f", "kind": "image", "refKind": "song_cover", "songId": "s", "padId": ".."})", {} },
        { R"({"audioFileId": "f", "refKind": "song_original", "songId": "s", "trackId": "../x"})", {} },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.json);
        const auto job = cloud::downloadJobFromRequest (request (c.json));
        EXPECT_EQ (cloud::downloadRequestRefusal (job), c.refusal);
    }
}
} // namespace quorvelle::test
