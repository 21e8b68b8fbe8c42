// A song through the whole program on jackd's dummy backend (48 kHz, 256 frames): LOAD_SONG with a
// 16-bit WAV, a 24-bit WAV, a FLAC and a missing stem, the progress and error events, SESSION_LOADED,
// then PLAY, PAUSE, RESUME and STOP as PLAYBACK_UPDATE shows them, and the audio the program plays,
// recorded from its JACK ports, against the sum of the stems.
#include "DummyJackServer.h"
#include "JackRecording.h"
#include "EndedProgram.h"
#include "ProgramProcess.h"
#include "TypedSongEvents.h"

#include "tests/support/AudioFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include <cmath>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 20000;
constexpr double rate = 48000.0;
constexpr int stemSamples = 8 * 48000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// The 16-bit values of the three stems, per channel. Stem 0 holds a ramp on its left channel, so a
// dropped or repeated sample changes the sum; every stem starts with a value that is not zero.
int stemValue (int stem, int channel, int i)
{
    switch (stem)
    {
        case 0: return channel == 0 ? ((i % 2000) - 1000) * 3 : 1500 - (i % 1500);
        case 1: return channel == 0 ? ((i * 7) % 1001) - 500 : ((i / 3) % 400) - 900;
        default: return channel == 0 ? (i % 3 == 0 ? 700 : -300) : ((i / 10) % 50) * 20 - 500;
    }
}

int stemSum (int channel, int i)
{
    return stemValue (0, channel, i) + stemValue (1, channel, i) + stemValue (2, channel, i);
}

juce::File writeStem (const TempFolder& temp, int stem, const juce::String& name, FixtureFormat format)
{
    juce::AudioBuffer<float> buffer (2, stemSamples);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < stemSamples; ++i)
            buffer.setSample (c, i, (float) stemValue (stem, c, i) / 32768.0f);
    const auto file = temp / name;
    EXPECT_TRUE (writeAudioFile (file, buffer, rate, format));
    return file;
}

juce::var stemObject (const juce::String& id, const juce::String& url, const juce::String& type)
{
    return makeObject ({ { "id", id }, { "name", id }, { "url", url }, { "instrumentType", type } });
}


// The next PLAYBACK_UPDATE after `from` that satisfies `predicate`; its index.
std::optional<size_t> waitForUpdate (ProgramProcess& program, const std::function<bool (const juce::var&)>& predicate, size_t from)
{
    return program.waitForEvent ([&] (const juce::var& e) { return actionOf (e) == "PLAYBACK_UPDATE" && predicate (e); }, eventMs, from);
}

double timeOf (const juce::var& update) { return (double) update.getProperty ("time", -1.0); }
bool playingOf (const juce::var& update) { return (bool) update.getProperty ("isPlaying", false); }

// The recording's channels as 16-bit values, each from its first sample that is not zero on (where
// the song starts; a channel that stays silent is empty). Empty when the file cannot be read.
std::vector<std::vector<int>> songFromRecording (const juce::File& file)
{
    auto channels = readRecording (file);
    for (auto& samples : channels)
    {
        const auto first = std::find_if (samples.begin(), samples.end(), [] (int s) { return s != 0; });
        samples.erase (samples.begin(), first);
        for (auto& s : samples)
            s = (int) std::lround ((double) s / 65536.0);
    }
    return channels;
}
} // namespace

TEST (SongPlaybackE2E, MainRoadLoadsPlaysPausesResumesStopsAndSoundsAsTheSumOfTheStems)
{
    TempFolder temp;
    DummyJackServer server (temp / "jackd.log", "quorvelle-song", true);
    ASSERT_TRUE (server.waitUntilRunning()) << server.logText();

    const auto wav16 = writeStem (temp, 0, "a.wav", FixtureFormat::wav16);
    const auto wav24 = writeStem (temp, 1, "b.wav", FixtureFormat::wav24);
    const auto flac = writeStem (temp, 2, "c.flac", FixtureFormat::flac16);
    const auto missing = temp / "missing.wav";

    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    // No count-in and no click or spoken cue over the music: the output is the stems alone.
    program.send (std::string (R"({"action":"SET_COUNT_IN","enabled":false})"));
    program.send (std::string (R"({"action":"SET_METRONOME_MUTE","muted":true})"));
    program.send (std::string (R"({"action":"SET_GUIDE_MUTE","muted":true})"));

    const auto loadFrom = program.lines().size();
    juce::Array<juce::var> tracks { stemObject ("a", wav16.getFullPathName(), "BASS"),
                                    stemObject ("b", "file://" + wav24.getFullPathName(), "PIANO"),
                                    stemObject ("c", flac.getFullPathName(), "DRUMS"),
                                    stemObject ("d", "file://" + missing.getFullPathName(), "KEYS") };
    program.send (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "song-main-road" }, { "name", "Main road" }, { "bpm", 120 },
                                { "tracks", tracks } }));

    const auto loaded = program.waitForAction ("SESSION_LOADED", eventMs, loadFrom);
    ASSERT_TRUE (loaded.has_value()) << program.stderrText();

    // SESSION_LOADED's keys, in their order, from the line as sent.
    const auto loadedLine = juce::String (program.lines()[*loaded]);
    const juce::StringArray keys { "\"action\"", "\"trackCount\"", "\"sampleRate\"", "\"audioDuration\"", "\"songId\"" };
    int at = -1;
    for (const auto& key : keys)
    {
        const auto next = loadedLine.indexOf (key);
        EXPECT_GT (next, at) << key << " in " << loadedLine;
        at = next;
    }
    const auto session = program.events()[*loaded];
    EXPECT_EQ ((int) session.getProperty ("trackCount", {}), 3);
    EXPECT_EQ ((double) session.getProperty ("sampleRate", {}), rate);
    EXPECT_NEAR ((double) session.getProperty ("audioDuration", {}), stemSamples / rate, 1.0e-6);
    EXPECT_EQ (session.getProperty ("songId", {}).toString(), "song-main-road");

    // Every stem counts in the progress, the missing one too, and only the missing one fails.
    const auto progress = songEventsOf (program, "LOAD_PROGRESS", loadFrom);
    ASSERT_EQ (progress.size(), 4u) << program.stderrText();
    std::vector<int> indices, percents;
    for (const auto& p : progress)
    {
        indices.push_back ((int) p.getProperty ("trackIndex", -1));
        percents.push_back ((int) p.getProperty ("progress", -1));
    }
    std::sort (indices.begin(), indices.end());
    EXPECT_EQ (indices, (std::vector<int> { 0, 1, 2, 3 }));
    EXPECT_EQ (percents, (std::vector<int> { 25, 50, 75, 100 }));

    const auto errors = songEventsOf (program, "TRACK_LOAD_ERROR", loadFrom);
    ASSERT_EQ (errors.size(), 1u);
    EXPECT_EQ (errors[0].getProperty ("trackId", {}).toString(), "d");
    EXPECT_TRUE (errors[0].getProperty ("diag", {}).toString().contains ("exists=NO path=" + missing.getFullPathName()))
        << errors[0].getProperty ("diag", {}).toString();

    // The recorder runs before the song starts, so its file holds the song's first sample.
    const auto recording = temp / "out.wav";
    BackgroundTool recorder = startJackRecorder (recording, 4);
    ASSERT_TRUE (recorder.started);
    ASSERT_TRUE (waitForJackRecorder());

    // PLAY: the time rises while isPlaying is true.
    const auto playFrom = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    const auto firstPlaying = waitForUpdate (program, [] (const juce::var& u) { return playingOf (u) && timeOf (u) > 0.0; }, playFrom);
    ASSERT_TRUE (firstPlaying.has_value()) << program.stderrText();
    const auto firstTime = timeOf (program.events()[*firstPlaying]);
    const auto later = waitForUpdate (program, [&] (const juce::var& u) { return playingOf (u) && timeOf (u) > firstTime + 0.2; }, *firstPlaying + 1);
    ASSERT_TRUE (later.has_value());

    ASSERT_TRUE (recorder.waitForEnd());

    // PAUSE: two updates in a row with one time and isPlaying false.
    const auto pauseFrom = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PAUSE"})"));
    const auto paused = waitForUpdate (program, [] (const juce::var& u) { return ! playingOf (u); }, pauseFrom);
    ASSERT_TRUE (paused.has_value());
    const auto pausedTime = timeOf (program.events()[*paused]);
    EXPECT_GT (pausedTime, 0.0);
    const auto pausedAgain = waitForUpdate (program, [] (const juce::var&) { return true; }, *paused + 1);
    ASSERT_TRUE (pausedAgain.has_value());
    EXPECT_FALSE (playingOf (program.events()[*pausedAgain]));
    EXPECT_EQ (timeOf (program.events()[*pausedAgain]), pausedTime);

    // RESUME continues from the paused time.
    const auto resumeFrom = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"RESUME"})"));
    const auto resumed = waitForUpdate (program, [] (const juce::var& u) { return playingOf (u); }, resumeFrom);
    ASSERT_TRUE (resumed.has_value());
    EXPECT_GE (timeOf (program.events()[*resumed]), pausedTime);
    EXPECT_LT (timeOf (program.events()[*resumed]), pausedTime + 1.0);

    // STOP: back at 0.
    const auto stopFrom = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"STOP"})"));
    const auto stopped = waitForUpdate (program, [] (const juce::var& u) { return ! playingOf (u) && timeOf (u) == 0.0; }, stopFrom);
    EXPECT_TRUE (stopped.has_value());

    // The audio: from the first sample that is not zero on, each sample is the sum of the stems'
    // 16-bit values (the 24-bit stem holds 16-bit values shifted left by 8).
    const auto recorded = songFromRecording (recording);
    ASSERT_EQ (recorded.size(), 2u);
    for (int channel = 0; channel < 2; ++channel)
    {
        SCOPED_TRACE (channel);
        const auto& samples = recorded[(size_t) channel];
        const auto count = std::min (samples.size(), (size_t) stemSamples);
        ASSERT_GT (count, (size_t) rate) << "less than a second of the song was recorded";
        size_t mismatches = 0, firstMismatch = count;
        for (size_t i = 0; i < count; ++i)
        {
            if (samples[i] != stemSum (channel, (int) i))
            {
                ++mismatches;
                firstMismatch = std::min (firstMismatch, i);
            }
        }
        EXPECT_EQ (mismatches, 0u) << "first at " << firstMismatch;
    }
}
// A click section through the whole program: STARTED, one REPEAT_FIRED for "repeatOnce", then
// COMPLETE, with PLAYBACK_UPDATE reporting the section while it runs.
TEST (SongPlaybackE2E, ClickSectionStartsRepeatsOnceAndCompletes)
{
    TempFolder temp;
    DummyJackServer server (temp / "jackd.log", "quorvelle-click", true);
    ASSERT_TRUE (server.waitUntilRunning()) << server.logText();
    const auto stem = writeStem (temp, 0, "a.wav", FixtureFormat::wav16);

    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    program.send (std::string (R"({"action":"SET_COUNT_IN","enabled":false})"));
    const auto loadFrom = program.lines().size();
    program.send (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "song-click" }, { "name", "Click" }, { "bpm", 120 },
                                { "tracks", juce::Array<juce::var> { stemObject ("a", stem.getFullPathName(), "BASS") } } }));
    ASSERT_TRUE (program.waitForAction ("SESSION_LOADED", eventMs, loadFrom).has_value()) << program.stderrText();

    const auto playFrom = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    ASSERT_TRUE (waitForUpdate (program, [] (const juce::var& u) { return playingOf (u) && timeOf (u) > 0.0; }, playFrom).has_value());

    // One bar of 0.5 s per pass, played twice.
    const auto from = program.lines().size();
    program.send (std::string (R"({"action":"START_CLICK_SECTION","entryId":"e","mode":"fixed","bpm":480,"numerator":4,)"
                               R"("denominator":4,"bars":1,"repeatOnce":true,"nextSeekTarget":1.0})"));
    const auto running = waitForUpdate (program, [] (const juce::var& u) { return u.getProperty ("clickSectionPhase", {}).toString() == "playing"; },
                                        from);
    ASSERT_TRUE (running.has_value()) << program.stderrText();
    EXPECT_EQ (program.events()[*running].getProperty ("clickSectionEntryId", {}).toString(), "e");

    const auto isClickEvent = [] (const juce::var& e)
    {
        return typedSongEvent (e).getProperty ("action", {}).toString().startsWith ("CLICK_SECTION_");
    };
    ASSERT_TRUE (program.waitForEvent ([&] (const juce::var& e) { return actionOf (typedSongEvent (e)) == "CLICK_SECTION_COMPLETE"; },
                                       eventMs, from)
                     .has_value())
        << program.stderrText();
    juce::StringArray sequence;
    const auto all = program.events();
    for (size_t i = from; i < all.size(); ++i)
        if (isClickEvent (all[i]))
        {
            const auto typed = typedSongEvent (all[i]);
            sequence.add (actionOf (typed) + ":" + typed.getProperty ("entryId", {}).toString());
        }
    EXPECT_EQ (sequence.joinIntoString (","), "CLICK_SECTION_STARTED:e,CLICK_SECTION_REPEAT_FIRED:e,CLICK_SECTION_COMPLETE:e");
    const auto started = songEventsOf (program, "CLICK_SECTION_STARTED", from);
    ASSERT_EQ (started.size(), 1u);
    EXPECT_EQ ((juce::int64) started[0].getProperty ("samplesPerBar", {}), 24000);
}

// A loop region through the whole program: each wrap sends LOOP_TRIGGERED (typed) with the loop's
// start, and the PLAYBACK_UPDATE of that tick reports the same time; the recorded output of a stem
// whose samples name their position goes on from the loop's start sample at every wrap, with no gap.
TEST (SongPlaybackE2E, LoopRegionWrapsOnItsStartSampleAndReportsIt)
{
    TempFolder temp;
    DummyJackServer server (temp / "jackd.log", "quorvelle-loop", true);
    ASSERT_TRUE (server.waitUntilRunning()) << server.logText();

    // Sample i holds (i mod 30000) - 15000: unique over the 24,000 samples of the loop.
    constexpr int64_t loopStart = 48000, loopEnd = 72000;
    const auto valueAt = [] (int64_t i) { return (int) (i % 30000) - 15000; };
    juce::AudioBuffer<float> ramp (2, stemSamples);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < stemSamples; ++i)
            ramp.setSample (c, i, (float) valueAt (i) / 32768.0f);
    const auto stem = temp / "ramp.wav";
    ASSERT_TRUE (writeAudioFile (stem, ramp, rate, FixtureFormat::wav16));

    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();
    program.send (std::string (R"({"action":"SET_COUNT_IN","enabled":false})"));
    program.send (std::string (R"({"action":"SET_METRONOME_MUTE","muted":true})"));
    program.send (std::string (R"({"action":"SET_GUIDE_MUTE","muted":true})"));
    const auto loadFrom = program.lines().size();
    program.send (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "song-loop" }, { "name", "Loop" }, { "bpm", 120 },
                                { "tracks", juce::Array<juce::var> { stemObject ("a", stem.getFullPathName(), "BASS") } } }));
    ASSERT_TRUE (program.waitForAction ("SESSION_LOADED", eventMs, loadFrom).has_value()) << program.stderrText();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"SET_LOOP_REGION","start":1.0,"end":1.5,"active":true})"));

    const auto recording = temp / "loop.wav";
    BackgroundTool recorder = startJackRecorder (recording, 4);
    ASSERT_TRUE (recorder.started);
    ASSERT_TRUE (waitForJackRecorder());

    const auto playFrom = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    ASSERT_TRUE (recorder.waitForEnd());
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"STOP"})"));

    // Every LOOP_TRIGGERED names the loop's start, and the next PLAYBACK_UPDATE (the same tick's)
    // reports that time; the song time never leaves the loop once it has wrapped.
    const auto all = program.events();
    int loops = 0;
    bool wrapped = false;
    for (size_t i = playFrom; i < all.size(); ++i)
    {
        if (actionOf (typedSongEvent (all[i])) == "LOOP_TRIGGERED")
        {
            ++loops;
            wrapped = true;
            EXPECT_EQ ((double) typedSongEvent (all[i]).getProperty ("newPosition", -1.0), 1.0);
            const auto next = std::find_if (all.begin() + (std::ptrdiff_t) i + 1, all.end(),
                                            [] (const juce::var& e) { return actionOf (e) == "PLAYBACK_UPDATE"; });
            ASSERT_NE (next, all.end());
            EXPECT_EQ (timeOf (*next), 1.0) << "the tick that saw the wrap";
        }
        else if (wrapped && actionOf (all[i]) == "PLAYBACK_UPDATE" && playingOf (all[i]))
        {
            EXPECT_GE (timeOf (all[i]), 1.0);
            EXPECT_LE (timeOf (all[i]), 1.5);
        }
    }
    EXPECT_GE (loops, 3) << program.stderrText();

    // The output walks the stem from its first sample and goes back to the loop's start sample on
    // the sample after the loop's last one, every time.
    const auto recorded = songFromRecording (recording);
    ASSERT_EQ (recorded.size(), 2u);
    for (int channel = 0; channel < 2; ++channel)
    {
        SCOPED_TRACE (channel);
        const auto& samples = recorded[(size_t) channel];
        ASSERT_GT (samples.size(), (size_t) (loopEnd + 3 * (loopEnd - loopStart))) << "three wraps recorded";
        int64_t position = 0, mismatches = 0, firstMismatch = -1, wraps = 0;
        for (size_t i = 0; i < samples.size(); ++i)
        {
            if (position == loopEnd)
            {
                position = loopStart;
                ++wraps;
            }
            if (samples[i] != valueAt (position))
            {
                if (firstMismatch < 0)
                    firstMismatch = (int64_t) i;
                ++mismatches;
            }
            ++position;
        }
        EXPECT_EQ (mismatches, 0) << "first at output sample " << firstMismatch;
        EXPECT_GE (wraps, 3);
    }
}
} // namespace quorvelle::test
