// Preloading the next song and activating it through the whole program (`--bridge-stdio`) on
// jackd's dummy backend: PRELOAD_SONG while a song plays (typed progress and completion),
// ACTIVATE_PRELOADED, a preload refused by its estimate, PRESERVE_SESSION to come back to a song after
// another one, and a song too long to preload whole, preloaded as its head and completed on activation.
#include "DummyJackServer.h"
#include "EndedProgram.h"
#include "ProgramProcess.h"
#include "TypedSongEvents.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;
constexpr double rate = 48000.0;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }


// A stereo 16-bit stem of `seconds` holding a tone.
juce::var stem (const TempFolder& temp, const juce::String& id, double seconds, float frequency)
{
    const auto file = temp / (id + ".wav");
    EXPECT_TRUE (writeAudioFile (file, makeSine (2, (int) (seconds * rate), rate, frequency, 0.25f), rate, FixtureFormat::wav16));
    return makeObject ({ { "id", id }, { "name", id }, { "url", "file://" + file.getFullPathName() }, { "instrumentType", "KEYS" } });
}

juce::var songRequest (const juce::String& action, const juce::String& songId, const juce::Array<juce::var>& tracks)
{
    return makeObject ({ { "action", action }, { "songId", songId }, { "bpm", 120 }, { "numBars", 8 },
                         { "timeSignature", juce::Array<juce::var> { 4, 4 } }, { "tracks", tracks } });
}

// SESSION_LOADED of `songId` from `from` on: its event, its keys checked in their sent order.
juce::var expectPreloadedSession (ProgramProcess& program, const juce::String& songId, int trackCount, size_t from)
{
    const auto at = waitForSongEvent (program, "SESSION_LOADED", songId, from);
    if (! at.has_value())
    {
        ADD_FAILURE() << "no SESSION_LOADED for " << songId << "\n" << program.stderrText();
        return {};
    }
    const auto line = juce::String (program.lines()[*at]);
    int previous = -1;
    for (const auto* key : { "action", "trackCount", "sampleRate", "audioDuration", "wasPreloaded", "wasPreStretched", "songId" })
    {
        const auto next = line.indexOf ("\"" + juce::String (key) + "\"");
        EXPECT_GT (next, previous) << key << " in " << line;
        previous = next;
    }
    const auto event = program.events()[*at];
    EXPECT_TRUE ((bool) event.getProperty ("wasPreloaded", false));
    EXPECT_FALSE ((bool) event.getProperty ("wasPreStretched", true));
    EXPECT_EQ ((int) event.getProperty ("trackCount", -1), trackCount);
    EXPECT_EQ ((double) event.getProperty ("sampleRate", 0.0), rate);
    return event;
}

// A PLAYBACK_UPDATE from `from` on that plays past `seconds`.
bool waitUntilPlayingPast (ProgramProcess& program, double seconds, size_t from)
{
    return program.waitForEvent ([&] (const juce::var& e)
    {
        return actionOf (e) == "PLAYBACK_UPDATE" && (bool) e.getProperty ("isPlaying", false) && (double) e.getProperty ("time", 0.0) > seconds;
    }, eventMs, from).has_value();
}
} // namespace

TEST (PreloadActivationE2E, PreloadActivateSkipPreserveAndHeadOnlyFallback)
{
    TempFolder temp;
    DummyJackServer server (temp / "jackd.log", "quorvelle-preload", true);
    ASSERT_TRUE (server.waitUntilRunning()) << server.logText();

    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    program.send (std::string (R"({"action":"SET_COUNT_IN","enabled":false})"));

    // Song A plays.
    const juce::Array<juce::var> tracksA { stem (temp, "a1", 6.0, 220.0f), stem (temp, "a2", 6.0, 330.0f) };
    auto from = program.lines().size();
    program.send (songRequest ("LOAD_SONG", "song-a", tracksA));
    ASSERT_TRUE (waitForSongEvent (program, "SESSION_LOADED", "song-a", from).has_value()) << program.stderrText();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    ASSERT_TRUE (waitUntilPlayingPast (program, 0.1, from)) << program.stderrText();

    // Preload and activate: while A plays, B's three stems arrive with progress and completion.
    const juce::Array<juce::var> tracksB { stem (temp, "b1", 5.0, 440.0f), stem (temp, "b2", 5.0, 550.0f), stem (temp, "b3", 5.0, 660.0f) };
    from = program.lines().size();
    program.send (songRequest ("PRELOAD_SONG", "song-b", tracksB));
    const auto complete = waitForSongEvent (program, "PRELOAD_COMPLETE", "song-b", from);
    ASSERT_TRUE (complete.has_value()) << program.stderrText();
    const auto completion = songEventsOf (program, "PRELOAD_COMPLETE", from).front();
    EXPECT_EQ ((int) completion.getProperty ("trackCount", -1), 3);
    EXPECT_EQ ((int) completion.getProperty ("sampleRate", -1), 48000);
    std::vector<int> indices, percents;
    for (const auto& p : songEventsOf (program, "PRELOAD_PROGRESS", from))
    {
        indices.push_back ((int) p.getProperty ("trackIndex", -1));
        percents.push_back ((int) p.getProperty ("progress", -1));
    }
    EXPECT_EQ (indices, (std::vector<int> { 0, 1, 2 }));
    EXPECT_EQ (percents, (std::vector<int> { 33, 66, 100 }));

    from = program.lines().size();
    program.send (makeObject ({ { "action", "ACTIVATE_PRELOADED" }, { "songId", "song-b" }, { "autoPlay", true } }));
    const auto sessionB = expectPreloadedSession (program, "song-b", 3, from);
    EXPECT_NEAR ((double) sessionB.getProperty ("audioDuration", 0.0), 5.0, 1.0e-6);
    EXPECT_TRUE (waitUntilPlayingPast (program, 0.2, from)) << "B plays";

    // A skip on any machine: an estimate at the 2^40 cap is refused at once.
    from = program.lines().size();
    auto huge = songRequest ("PRELOAD_SONG", "song-huge", juce::Array<juce::var> { stem (temp, "h1", 0.5, 440.0f) });
    huge.getDynamicObject()->setProperty ("headOnly", true);
    huge.getDynamicObject()->setProperty ("headLengthSec", 1.0e9);
    program.send (huge);
    const auto skipped = waitForSongEvent (program, "PRELOAD_SKIPPED", "song-huge", from);
    ASSERT_TRUE (skipped.has_value()) << program.stderrText();
    EXPECT_EQ ((juce::int64) program.events()[*skipped].getProperty ("estimatedMb", 0), 1048576);

    // Preserve and return: B is kept through the load of A and comes back without a decode.
    from = program.lines().size();
    program.send (std::string (R"({"action":"PRESERVE_SESSION"})"));
    program.send (songRequest ("LOAD_SONG", "song-a", tracksA));
    ASSERT_TRUE (waitForSongEvent (program, "SESSION_LOADED", "song-a", from).has_value()) << program.stderrText();
    EXPECT_TRUE (songEventsOf (program, "PRELOAD_PROGRESS", from).empty());
    from = program.lines().size();
    program.send (makeObject ({ { "action", "ACTIVATE_PRELOADED" }, { "songId", "song-b" }, { "autoPlay", true } }));
    expectPreloadedSession (program, "song-b", 3, from);
    EXPECT_TRUE (songEventsOf (program, "ACTIVATE_PRELOADED_FAILED", from).empty());
    EXPECT_TRUE (waitUntilPlayingPast (program, 0.2, from)) << "B plays again";

    // Head-only fallback: a song too long to decode whole is preloaded as its first 30 s (when the
    // machine has room for that head), and its activation completes the rest in the background.
    from = program.lines().size();
    auto longSong = songRequest ("PRELOAD_SONG", "song-long", juce::Array<juce::var> { stem (temp, "l1", 40.0, 440.0f) });
    longSong.getDynamicObject()->setProperty ("durationSec", 1.0e9);
    program.send (longSong);
    const auto answered = program.waitForEvent ([] (const juce::var& e)
    {
        const auto typed = typedSongEvent (e);
        const auto action = actionOf (e) == "PRELOAD_SKIPPED" ? actionOf (e) : actionOf (typed);
        return (action == "PRELOAD_COMPLETE" || action == "PRELOAD_SKIPPED") && (actionOf (e) == "PRELOAD_SKIPPED" ? e : typed)["songId"] == "song-long";
    }, eventMs, from);
    ASSERT_TRUE (answered.has_value()) << program.stderrText();
    if (actionOf (program.events()[*answered]) == "PRELOAD_SKIPPED")
    {
        std::cout << "[ NOTE     ] not enough free memory for the 30 s head: the fallback was skipped" << std::endl;
    }
    else
    {
        EXPECT_TRUE (program.waitForStderr ("[ADMISSION] PRELOAD degradado a HEAD-ONLY | song=song-lon", eventMs));
        const auto activateFrom = program.lines().size();
        program.send (makeObject ({ { "action", "ACTIVATE_PRELOADED" }, { "songId", "song-long" }, { "autoPlay", true } }));
        const auto sessionLong = expectPreloadedSession (program, "song-long", 1, activateFrom);
        EXPECT_NEAR ((double) sessionLong.getProperty ("audioDuration", 0.0), 40.0, 1.0e-6);
        EXPECT_TRUE (program.waitForStderr ("[F5-FILL] disparando relleno de complemento | jobs=1", eventMs)) << program.stderrText();
        EXPECT_TRUE (program.waitForStderr ("[F5-FILL] complemento rellenado | jobs=1", eventMs)) << program.stderrText();
    }
}
} // namespace quorvelle::test
