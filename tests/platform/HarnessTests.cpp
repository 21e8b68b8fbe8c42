// Checks of the test harness itself: isolation of every test process and the generated fixtures.
#include "tests/support/AudioFixtures.h"
#include "tests/support/MessageLoop.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

using namespace quorvelle::test;

TEST (Harness, EveryTestHasItsOwnNetworkAndHome)
{
    // /proc/self/net/dev lists the interfaces of this process's network namespace.
    juce::ChildProcess cat;
    ASSERT_TRUE (cat.start ("cat /proc/self/net/dev"));
    juce::StringArray interfaces;
    for (auto& line : juce::StringArray::fromLines (cat.readAllProcessOutput()))
        if (line.contains (":"))
            interfaces.add (line.upToFirstOccurrenceOf (":", false, false).trim());
    EXPECT_EQ (interfaces.joinIntoString (","), "lo");

    juce::StreamingSocket listener;
    EXPECT_TRUE (listener.createListener (0, "127.0.0.1")) << "loopback is up";

    const auto home = juce::SystemStats::getEnvironmentVariable ("HOME", {});
    EXPECT_TRUE (home.contains ("quorvelle-home.")) << home;
    EXPECT_TRUE (juce::SystemStats::getEnvironmentVariable ("XDG_CONFIG_HOME", {}).startsWith (home));
    EXPECT_EQ (juce::File::getSpecialLocation (juce::File::userMusicDirectory).getFullPathName(), home + "/Music");
}

TEST (Harness, MessageLoopHelperIsBounded)
{
    bool fired = false;
    juce::Timer::callAfterDelay (30, [&] { fired = true; });
    EXPECT_TRUE (runMessageLoopUntil ([&] { return fired; }, 20000));

    const auto start = juce::Time::getMillisecondCounter();
    EXPECT_FALSE (runMessageLoopUntil ([] { return false; }, 100));
    EXPECT_GE (juce::Time::getMillisecondCounter() - start, 100u);
}

TEST (Harness, GeneratedFixturesRoundTripInEveryFormat)
{
    TempFolder tmp;
    const double rate = 48000.0;
    const auto sine = makeSine (2, 4800, rate, 1000.0, 0.5f);
    const auto clicks = makeClickTrain (1, 4800, 480, 2);
    const auto noise = makeNoise (2, 4800, 0.25f, 7);
    const auto silence = makeSilence (2, 100);

    EXPECT_FLOAT_EQ (clicks.getSample (0, 480), 1.0f);
    EXPECT_FLOAT_EQ (clicks.getSample (0, 482), 0.0f);
    EXPECT_EQ (silence.getMagnitude (0, 100), 0.0f);
    EXPECT_NEAR (sine.getRMSLevel (0, 0, 4800), 0.5 / std::sqrt (2.0), 1e-3);
    EXPECT_EQ (makeNoise (2, 4800, 0.25f, 7).getSample (1, 99), noise.getSample (1, 99)) << "reproducible";

    struct Case
    {
        FixtureFormat format;
        const char* name;
        double tolerance;
    };
    for (auto c : { Case { FixtureFormat::wav16, "a.wav", 1.0 / 32768 }, Case { FixtureFormat::wav24, "b.wav", 1.0 / 8388608 },
                    Case { FixtureFormat::flac16, "c.flac", 1.0 / 32768 }, Case { FixtureFormat::flac24, "d.flac", 1.0 / 8388608 } })
    {
        const auto file = tmp / c.name;
        ASSERT_TRUE (writeAudioFile (file, noise, rate, c.format)) << c.name;
        double readRate = 0;
        const auto back = readAudioFile (file, &readRate);
        EXPECT_EQ (readRate, rate);
        ASSERT_EQ (back.getNumChannels(), 2);
        ASSERT_EQ (back.getNumSamples(), noise.getNumSamples());
        double worst = 0;
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < back.getNumSamples(); ++i)
                worst = std::max (worst, (double) std::abs (back.getSample (ch, i) - noise.getSample (ch, i)));
        EXPECT_LE (worst, c.tolerance) << c.name;
    }
}
