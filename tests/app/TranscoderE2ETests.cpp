// Imports through the whole program (`--bridge-stdio`), their FLAC files checked with flac,
// metaflac, sox and sha256sum; cancellation behind a job held on a FIFO; a write past a
// file-size limit that the program inherits.
#include "EndedProgram.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 15000;
constexpr int jobMs = 60000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }
juce::String base64 (const juce::String& text) { return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8()); }

juce::var completionFor (ProgramProcess& program, const juce::String& id, int timeoutMs = jobMs)
{
    const auto index = program.waitForEvent ([&] (const juce::var& v)
    { return actionOf (v) == "TRANSCODE_COMPLETE" && v.getProperty ("id", {}).toString() == id; }, timeoutMs);
    return index.has_value() ? program.events()[*index] : juce::var();
}

// The tool's stdout, and its exit status through `status`.
juce::String runTool (const juce::StringArray& command, int* status = nullptr)
{
    juce::ChildProcess process;
    if (! process.start (command, juce::ChildProcess::wantStdOut))
        return "<not started>";
    auto output = process.readAllProcessOutput();
    process.waitForProcessToFinish (60000);
    if (status != nullptr)
        *status = static_cast<int> (process.getExitCode());
    return output;
}

juce::var fromPath (const juce::String& id, const juce::File& source, const juce::String& trackId, const juce::String& subfolder = {})
{
    return makeObject ({ { "action", "SAVE_AND_TRANSCODE_FROM_PATH" }, { "id", id }, { "pathB64", base64 (source.getFullPathName()) }, { "trackId", trackId }, { "subfolder", subfolder } });
}

TEST (StdioTranscoder, ImportsAreCheckedByOutsideTools)
{
    TempFolder sources;
    EndedProgram program;
    ASSERT_TRUE (program.started());
    const auto ready = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (ready.has_value()) << program.stderrText();
    const juce::File root (program.events()[*ready].getProperty ("storageRoot", {}).toString());

    // A 48 kHz import is resampled to 44.1 kHz, 16 bits.
    const auto intro = sources / "Intro Mix B.wav";
    const int n = 48000 * 3 + 123;
    ASSERT_TRUE (writeAudioFile (intro, makeSine (2, n, 48000.0, 1000.0, 0.5f), 48000.0, FixtureFormat::wav16));
    program.send (fromPath ("i1", intro, "t1"));
    const auto done = completionFor (program, "i1");
    ASSERT_TRUE (done.isObject()) << program.stderrText();
    const auto flac = root.getChildFile ("Intro Mix B_t1.flac");
    EXPECT_EQ (done.getProperty ("path", {}).toString(), flac.getFullPathName());
    EXPECT_TRUE (static_cast<bool> (done.getProperty ("transcoded", {})));
    int status = -1;
    runTool ({ "flac", "-t", "-s", flac.getFullPathName() }, &status);
    EXPECT_EQ (status, 0) << "flac -t";
    EXPECT_EQ (runTool ({ "metaflac", "--show-sample-rate", "--show-bps", "--show-channels", "--show-total-samples", flac.getFullPathName() }),
               "44100\n16\n2\n" + juce::String ((juce::int64) n * 44100 / 48000) + "\n");
    EXPECT_EQ (done.getProperty ("contentHash", {}).toString(), runTool ({ "sha256sum", flac.getFullPathName() }).upToFirstOccurrenceOf (" ", false, false));
    EXPECT_EQ (static_cast<juce::int64> (done.getProperty ("sizeBytes", {})), flac.getSize());
    EXPECT_NEAR (static_cast<double> (done.getProperty ("duration", {})), (double) n / 48000.0, 1.0 / 44100.0);

    // A 44.1 kHz 16-bit import sent as Base64 keeps its samples: sox decodes both to the same bytes.
    const auto cd = sources / "cd.wav";
    ASSERT_TRUE (writeAudioFile (cd, makeNoise (2, 44100 * 2 + 7, 0.8f, 3), 44100.0, FixtureFormat::wav16));
    juce::MemoryBlock cdBytes;
    ASSERT_TRUE (cd.loadFileAsData (cdBytes));
    program.send (makeObject ({ { "action", "SAVE_AND_TRANSCODE" }, { "id", "i2" }, { "filename", "cd.wav" }, { "trackId", "t2" }, { "subfolder", "Songs/s1" },
                                { "data", juce::Base64::toBase64 (cdBytes.getData(), cdBytes.getSize()) } }));
    const auto cdDone = completionFor (program, "i2");
    const juce::File cdFlac (cdDone.getProperty ("path", {}).toString());
    EXPECT_EQ (cdFlac, root.getChildFile ("Songs/s1/cd_t2.flac"));
    const auto rawOf = [] (const juce::File& f) { return runTool ({ "sh", "-c", "sox '" + f.getFullPathName() + "' -t raw -e signed -b 16 - | sha256sum" }); };
    EXPECT_EQ (rawOf (cdFlac), rawOf (cd));

    // Bytes no reader opens are kept as they came.
    const auto junk = sources / "memo.m4a";
    ASSERT_TRUE (junk.replaceWithText ("not audio"));
    program.send (fromPath ("i3", junk, "t3"));
    const auto junkDone = completionFor (program, "i3");
    EXPECT_EQ (junkDone.getProperty ("path", {}).toString(), root.getChildFile ("t3_memo.m4a").getFullPathName());
    EXPECT_EQ (junkDone.getProperty ("error", {}).toString(), "Transcode fallback: reader_null (formato no soportado o archivo corrupto)");

    // Names and folders that climb stay below the root.
    program.send (fromPath ("i4", cd, "../../x", "a/../../b"));
    const auto climbing = completionFor (program, "i4");
    const juce::File climbed (climbing.getProperty ("path", {}).toString());
    EXPECT_TRUE (climbed.isAChildOf (root)) << climbed.getFullPathName();
    EXPECT_FALSE (root.getParentDirectory().getChildFile ("b").exists());
    EXPECT_FALSE (root.getParentDirectory().getParentDirectory().getChildFile ("x.flac").exists());

    // A missing source is answered by the bridge itself.
    program.send (makeObject ({ { "action", "SAVE_AND_TRANSCODE_FROM_PATH" }, { "id", "i5" }, { "path", "/no/such.wav" }, { "trackId", "t5" } }));
    EXPECT_EQ (juce::JSON::toString (completionFor (program, "i5"), true),
               "{\"action\": \"TRANSCODE_COMPLETE\", \"id\": \"i5\", \"trackId\": \"t5\", \"transcoded\": false, \"error\": \"Source file not found: /no/such.wav\"}");

    // Three jobs queued behind a job held on a FIFO are cancelled at once.
    const auto fifo = sources / "held.wav";
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0600), 0);
    const int holder = ::open (fifo.getFullPathName().toRawUTF8(), O_RDWR);
    ASSERT_GE (holder, 0);
    program.send (fromPath ("held", fifo, "h"));
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& v) { return actionOf (v) == "TRANSCODE_PROGRESS" && v.getProperty ("id", {}).toString() == "held"; }, jobMs).has_value());
    for (const char* id : { "c1", "c2", "c3" })
        program.send (fromPath (id, cd, id));
    program.send (makeObject ({ { "action", "CANCEL_TRANSCODES" } }));
    for (const char* id : { "c1", "c2", "c3" })
        EXPECT_EQ (completionFor (program, id).getProperty ("error", {}).toString(), "Cancelled") << id;
    EXPECT_TRUE (completionFor (program, "held", 100).isVoid()) << "the held job is still reading";
    ::close (holder);
    EXPECT_EQ (completionFor (program, "held").getProperty ("error", {}).toString(), "Cancelled");
    EXPECT_FALSE (root.getChildFile ("cd_c1.flac").exists());
}

TEST (StdioTranscoder, AFullDiskKeepsTheEarlierFlac)
{
    TempFolder sources;
    const auto root = juce::File::getSpecialLocation (juce::File::userMusicDirectory).getChildFile ("Quorvelle");
    ASSERT_TRUE (root.createDirectory());
    const auto earlier = root.getChildFile ("big_t1.flac");
    ASSERT_TRUE (earlier.replaceWithText ("an earlier import"));
    const auto source = sources / "big.wav";
    ASSERT_TRUE (writeAudioFile (source, makeNoise (2, 44100 * 30, 0.9f, 5), 44100.0, FixtureFormat::wav16)); // about 5 MB of FLAC

    std::unique_ptr<EndedProgram> program;
    {
        rlimit saved {};
        ::getrlimit (RLIMIT_FSIZE, &saved);
        const auto previous = std::signal (SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = 4 << 20;
        ::setrlimit (RLIMIT_FSIZE, &limit);
        program = std::make_unique<EndedProgram>();
        ::setrlimit (RLIMIT_FSIZE, &saved);
        std::signal (SIGXFSZ, previous);
    }
    ASSERT_TRUE (program->waitForAction ("BACKEND_READY", startupMs).has_value()) << program->stderrText();

    program->send (fromPath ("full", source, "t1"));
    const auto done = completionFor (*program, "full");
    EXPECT_EQ (done.getProperty ("error", {}).toString(), "Transcode fallback: write_failed");
    EXPECT_EQ (done.getProperty ("path", {}).toString(), "");
    EXPECT_EQ (earlier.loadFileAsString(), "an earlier import");
    // The engine keeps its settings file in the root beside what the test wrote.
    EXPECT_EQ (root.getNumberOfChildFiles (juce::File::findFiles, "*") - (root.getChildFile ("audio-settings.xml").existsAsFile() ? 1 : 0), 1)
        << "no temporary file is left";
}
} // namespace
} // namespace quorvelle::test
