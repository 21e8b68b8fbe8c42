// The analysis jobs' output files, checked with outside tools: sox, flac and sha256sum.
#include "bridge/AnalysisJobs.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

using namespace quorvelle;
using namespace quorvelle::test;

namespace
{
juce::String run (const juce::StringArray& command, int* exitCode = nullptr)
{
    juce::ChildProcess process;
    EXPECT_TRUE (process.start (command, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr)) << command.joinIntoString (" ");
    const auto output = process.readAllProcessOutput();
    process.waitForProcessToFinish (30000);
    if (exitCode != nullptr)
        *exitCode = static_cast<int> (process.getExitCode());
    return output;
}
} // namespace

TEST (AnalysisJobsPeer, MonoWavIsWhatSoxReads)
{
    TempFolder dir;
    const auto stem = dir / "stem.wav";
    ASSERT_TRUE (writeAudioFile (stem, makeNoise (2, 48000 * 2, 0.3f), 48000.0, FixtureFormat::wav24));
    const auto out = dir / "mix.wav";
    const auto result = mixStemsForBpmJob ({ "m", out.getFullPathName(), { stem.getFullPathName() } }, basicFormatReaders());
    ASSERT_TRUE (static_cast<bool> (result.getProperty ("ok", false)));

    EXPECT_EQ (run ({ "sox", "--i", "-c", out.getFullPathName() }).trim(), "1");
    EXPECT_EQ (run ({ "sox", "--i", "-r", out.getFullPathName() }).trim(), "48000");
    EXPECT_EQ (run ({ "sox", "--i", "-b", out.getFullPathName() }).trim(), "16");
    EXPECT_EQ (run ({ "sox", "--i", "-s", out.getFullPathName() }).trim(), "96000");
}

TEST (AnalysisJobsPeer, SubtractionFlacPassesFlacTestAndItsHashMatches)
{
    TempFolder dir;
    const auto mix = dir / "mix.wav";
    const auto stem = dir / "stem.wav";
    ASSERT_TRUE (writeAudioFile (mix, makeNoise (2, 48000 * 3, 0.5f), 48000.0, FixtureFormat::wav16));
    ASSERT_TRUE (writeAudioFile (stem, makeSine (1, 48000 * 3, 48000.0, 330.0, 0.2f), 48000.0, FixtureFormat::flac16));

    SubtractJobRequest request;
    request.id = "s";
    request.originalPath = mix.getFullPathName();
    request.stemPaths = { stem.getFullPathName() };
    request.trackId = "t1";
    request.subfolder = "Songs/abc";
    request.filename = "song.wav";
    const auto result = subtractStemsJob (request, dir / "root", basicFormatReaders());
    ASSERT_TRUE (static_cast<bool> (result.getProperty ("ok", false))) << result.getProperty ("error", {}).toString();
    const auto path = result.getProperty ("path", {}).toString();

    int exitCode = -1;
    const auto flacOutput = run ({ "flac", "-t", path }, &exitCode);
    EXPECT_EQ (exitCode, 0) << flacOutput;
    EXPECT_EQ (run ({ "sha256sum", path }).upToFirstOccurrenceOf (" ", false, false), result.getProperty ("contentHash", {}).toString());
    EXPECT_EQ (static_cast<int> (result.getProperty ("sampleRate", 0)), 44100);
    EXPECT_EQ (static_cast<int> (result.getProperty ("channels", 0)), 2);
    EXPECT_EQ (static_cast<int> (result.getProperty ("bitDepth", 0)), 16);
    EXPECT_NEAR (static_cast<double> (result.getProperty ("durationSeconds", 0.0)), 3.0, 1e-4);
}
