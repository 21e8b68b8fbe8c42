#include "audio/engine/AudioEngine.h"
#include "audio/graph/CueAudioSource.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

using namespace quorvelle;

// The engine's indication entry points reach its cue source: loading from the given path or the
// id's fallback file, unloading, and clearing.
TEST (AudioEngineIndications, LoadFallbackUnloadAndClear)
{
    test::TempFolder tmp;
    const auto given = tmp / "given.wav";
    const auto fallback = tmp / "indications/intro.wav";
    ASSERT_TRUE (test::writeAudioFile (given, test::makeSine (1, 4410, 44100.0, 440.0, 0.5f), 44100.0, test::FixtureFormat::wav16));
    ASSERT_TRUE (test::writeAudioFile (fallback, test::makeSine (1, 4410, 44100.0, 660.0, 0.5f), 44100.0, test::FixtureFormat::wav16));

    test::CapturingLogger log;

    AudioEngine engine ({}, [&tmp] { return tmp.folder(); });
    auto* cues = engine.getCueSource();
    ASSERT_NE (cues, nullptr);
    cues->prepareToPlay (512, 44100.0);

    engine.loadIndicationToRam ("direct", given.getFullPathName(), {});
    EXPECT_TRUE (cues->triggerIndication ("direct", "m1"));

    engine.loadIndicationToRam ("intro", (tmp / "missing.wav").getFullPathName(), fallback.getFullPathName());
    EXPECT_TRUE (log.text().contains ("Indication load: path not found, using id fallback " + fallback.getFullPathName())) << log.text();
    EXPECT_TRUE (cues->triggerIndication ("intro", "m2"));

    engine.loadIndicationToRam ("none", (tmp / "missing.wav").getFullPathName(), (tmp / "also-missing.wav").getFullPathName());
    EXPECT_TRUE (log.text().contains ("Indication load FAILED (file not found): " + (tmp / "missing.wav").getFullPathName()));
    EXPECT_FALSE (cues->triggerIndication ("none", "m3"));

    engine.unloadIndicationFromRam ("intro");
    EXPECT_FALSE (cues->triggerIndication ("intro", "m2"));
    EXPECT_TRUE (cues->triggerIndication ("direct", "m1"));

    engine.clearIndications();
    EXPECT_FALSE (cues->triggerIndication ("direct", "m1"));
}

// The engine reports through the sink and the storage root it was given.
TEST (AudioEngineIndications, BackendReadyGoesToTheGivenSinkWithTheGivenRoot)
{
    test::TempFolder tmp;
    juce::StringArray events;
    juce::var last;
    AudioEngine engine ([&] (const juce::String& name, const juce::var& payload) { events.add (name); last = payload; },
                        [&tmp] { return tmp / "chosen"; });
    engine.sendBackendReady();
    ASSERT_EQ (events, juce::StringArray ("fromNative"));
    EXPECT_EQ (last["action"].toString(), "BACKEND_READY");
    EXPECT_EQ (last["storageRoot"].toString(), (tmp / "chosen").getFullPathName());
}
