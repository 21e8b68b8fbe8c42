// The generated fixtures, checked with the reference FLAC decoder.
#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

using namespace quorvelle::test;

TEST (HarnessPeer, FlacFixturesPassTheReferenceDecoder)
{
    TempFolder tmp;
    const auto file = tmp / "sine.flac";
    ASSERT_TRUE (writeAudioFile (file, makeSine (2, 44100, 44100.0, 440.0, 0.5f), 44100.0, FixtureFormat::flac24));

    juce::ChildProcess flac;
    ASSERT_TRUE (flac.start (juce::StringArray { "flac", "-t", "-s", file.getFullPathName() }));
    const auto output = flac.readAllProcessOutput();
    EXPECT_EQ (flac.getExitCode(), 0u) << output;
}
