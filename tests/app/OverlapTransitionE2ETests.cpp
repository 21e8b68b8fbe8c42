// An overlap transition through the whole program (`--bridge-stdio`) on jackd's dummy backend, heard
// from outside with jack_rec: song A (silence) plays, song B (a 16-bit ramp) is preloaded, and
// SCHEDULE_OVERLAP_TRANSITION plays B's count overlay over A's end and hands off to B where it ends.
#include "DummyJackServer.h"
#include "EndedProgram.h"
#include "JackRecording.h"
#include "ProgramProcess.h"
#include "TypedSongEvents.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;
constexpr double rate = 48000.0;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// A stereo 16-bit WAV stem whose sample i holds value (i), and its track object. (The WAV writer
// scales by 32767: these floats come out as the exact values.)
juce::var stem (const TempFolder& temp, const juce::String& id, double seconds, const std::function<int (int)>& value)
{
    juce::AudioBuffer<float> buffer (2, (int) (seconds * rate));
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            buffer.setSample (c, i, (float) value (i) / 32767.0f);
    const auto file = temp / (id + ".wav");
    EXPECT_TRUE (writeAudioFile (file, buffer, rate, FixtureFormat::wav16));
    return makeObject ({ { "id", id }, { "name", id }, { "url", "file://" + file.getFullPathName() }, { "instrumentType", "DRUMS" } });
}

juce::var songRequest (const juce::String& action, const juce::String& songId, const juce::var& track)
{
    return makeObject ({ { "action", action }, { "songId", songId }, { "bpm", 120 }, { "numBars", 8 },
                         { "timeSignature", juce::Array<juce::var> { 4, 4 } }, { "tracks", juce::Array<juce::var> { track } } });
}
} // namespace

TEST (OverlapTransitionE2E, OverlayDrivenHandOffIsGaplessFromOutside)
{
    TempFolder temp;
    DummyJackServer server (temp / "jackd.log", "quorvelle-overlap", true);
    ASSERT_TRUE (server.waitUntilRunning()) << server.logText();

    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    // The output is the music alone: no count-in, the click and the guide at silence (the hand-off
    // gives them their levels, not a mute).
    program.send (std::string (R"({"action":"SET_COUNT_IN","enabled":false})"));
    program.send (std::string (R"({"action":"UPDATE_METRONOME","volume":-100})"));
    program.send (std::string (R"({"action":"SET_GUIDE_VOLUME","volume":-100})"));

    const auto loadFrom = program.lines().size();
    program.send (songRequest ("LOAD_SONG", "song-a", stem (temp, "a", 20.0, [] (int) { return 0; })));
    ASSERT_TRUE (waitForSongEvent (program, "SESSION_LOADED", "song-a", loadFrom).has_value()) << program.stderrText();

    const auto preloadFrom = program.lines().size();
    program.send (songRequest ("PRELOAD_SONG", "song-b", stem (temp, "b", 6.0, [] (int i) { return i % 32768; })));
    ASSERT_TRUE (waitForSongEvent (program, "PRELOAD_COMPLETE", "song-b", preloadFrom).has_value()) << program.stderrText();

    const auto recording = temp / "out.wav";
    auto recorder = startJackRecorder (recording, 4);
    ASSERT_TRUE (recorder.started);
    ASSERT_TRUE (waitForJackRecorder());

    const auto playFrom = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    ASSERT_TRUE (program.waitForEvent ([] (const juce::var& e)
    {
        return actionOf (e) == "PLAYBACK_UPDATE" && (bool) e.getProperty ("isPlaying", false) && (double) e.getProperty ("time", 0.0) > 0.1;
    }, eventMs, playFrom).has_value());

    // A's end is already behind: the next tick activates B; the overlay (B's 1.0 .. 2.0 s) hands off
    // to B at 2.0 s.
    const auto transitionFrom = program.lines().size();
    program.send (makeObject ({ { "action", "SCHEDULE_OVERLAP_TRANSITION" }, { "songId", "song-b" }, { "startPosition", 2.0 },
                                { "songEndTime", 0.0 }, { "playCountOverlay", true }, { "countOverlayStartSec", 1.0 },
                                { "countOverlayEndSec", 2.0 }, { "overlayDrivesHandoff", true } }));
    ASSERT_TRUE (waitForSongEvent (program, "SESSION_LOADED", "song-b", transitionFrom).has_value()) << program.stderrText();
    ASSERT_TRUE (recorder.waitForEnd());

    // Outside the overlay's 5 ms edge fades, B's ramp runs on without a missing or repeated value:
    // from 240 samples into the overlay (B's sample 48240) to well after the hand-off at 96000.
    const auto recorded = readRecording (recording);
    ASSERT_EQ (recorded.size(), 2u);
    const int fade = 240, first = 48000, handOff = 96000;
    for (int channel = 0; channel < 2; ++channel)
    {
        SCOPED_TRACE (channel);
        const auto& samples = recorded[(size_t) channel];
        const auto value = [&] (size_t k) { return (int) std::lround ((double) samples[k] / 65536.0); };
        // The overlay's fade-in ends on B's sample 48240: the first place that value and the next
        // one stand (the faded samples before it are smaller).
        size_t overlayStart = 0;
        for (size_t k = 1; k + 1 < samples.size() && overlayStart == 0; ++k)
            if (value (k) == (first + fade) % 32768 && value (k + 1) == (first + fade + 1) % 32768)
                overlayStart = k - (size_t) fade;
        ASSERT_GT (overlayStart, 0u) << "the overlay was heard";
        ASSERT_LT (overlayStart + (size_t) (handOff - first + 48000), samples.size()) << "a second of B after the hand-off was recorded";

        size_t mismatches = 0, firstMismatch = 0;
        const auto expect = [&] (size_t k, int bSample)
        {
            if (value (k) != bSample % 32768 && mismatches++ == 0)
                firstMismatch = k;
        };
        for (int j = fade; j < handOff - first - fade; ++j)
            expect (overlayStart + (size_t) j, first + j);
        for (int j = 0; j < 48000; ++j)
            expect (overlayStart + (size_t) (handOff - first + j), handOff + j);
        EXPECT_EQ (mismatches, 0u) << "first at output " << firstMismatch - overlayStart << " after the overlay's start";
        // Inside the fades the ramp is only attenuated.
        for (int j = 0; j < fade; ++j)
        {
            EXPECT_LE (std::abs (value (overlayStart + (size_t) j)), (first + j) % 32768);
            EXPECT_LE (std::abs (value (overlayStart + (size_t) (handOff - first - 1 - j))), (handOff - 1 - j) % 32768);
        }
    }
}
} // namespace quorvelle::test
