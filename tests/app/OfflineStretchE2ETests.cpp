// APPLY_STRETCH and the stretch cache through the whole program on jackd's dummy backend (48 kHz):
// the answers to requests that need no job, a job with its events and its cache file, the stretched
// song played and recorded, the cache read again, and LOAD_SONG taken from the cache.
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
constexpr int eventMs = 30000;
constexpr double rate = 48000.0;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

// The event (JSON or typed) after `from` for which `predicate` holds, in its JSON form.
std::optional<juce::var> waitForSongEvent (ProgramProcess& program, const std::function<bool (const juce::var&)>& predicate, size_t from,
                                           int timeoutMs = eventMs)
{
    const auto asJson = [] (const juce::var& e) { return actionOf (e) == "TYPED_BRIDGE_V1" ? typedSongEvent (e) : e; };
    const auto at = program.waitForEvent ([&] (const juce::var& e) { return predicate (asJson (e)); }, timeoutMs, from);
    if (! at.has_value())
        return std::nullopt;
    return asJson (program.events()[*at]);
}

// Every STRETCH_* event after `from`, as JSON, in arrival order.
std::vector<juce::var> stretchEvents (const ProgramProcess& program, size_t from)
{
    std::vector<juce::var> found;
    const auto all = program.events();
    for (size_t i = from; i < all.size(); ++i)
    {
        const auto e = actionOf (all[i]) == "TYPED_BRIDGE_V1" ? typedSongEvent (all[i]) : all[i];
        if (actionOf (e).startsWith ("STRETCH_"))
            found.push_back (e);
    }
    return found;
}

juce::var stem (const juce::String& id, const juce::File& file, const juce::String& type)
{
    return makeObject ({ { "id", id }, { "name", id }, { "url", "file://" + file.getFullPathName() }, { "instrumentType", type } });
}

// Records the program's two outputs for `seconds` while `play` starts the song; the recording.
juce::AudioBuffer<float> recordWhilePlaying (ProgramProcess& program, const juce::File& file, int seconds, const std::function<void()>& whilePlaying = {})
{
    BackgroundTool recorder = startJackRecorder (file, seconds);
    EXPECT_TRUE (recorder.started);
    EXPECT_TRUE (waitForJackRecorder());
    const auto from = program.lines().size();
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    EXPECT_TRUE (program.waitForEvent ([] (const juce::var& e)
                                       { return actionOf (e) == "PLAYBACK_UPDATE" && (bool) e.getProperty ("isPlaying", false); },
                                       eventMs, from)
                     .has_value());
    if (whilePlaying != nullptr)
        whilePlaying();
    EXPECT_TRUE (recorder.waitForEnd());
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"STOP"})"));
    return readAudioFile (file);
}

// The first sample of channel 0 above `level`, or -1.
int firstAbove (const juce::AudioBuffer<float>& audio, float level)
{
    for (int i = 0; i < audio.getNumSamples(); ++i)
        if (std::abs (audio.getSample (0, i)) > level)
            return i;
    return -1;
}

float peakOf (const juce::AudioBuffer<float>& audio, int from, int n)
{
    return audio.getMagnitude (0, from, std::min (n, audio.getNumSamples() - from));
}
} // namespace

TEST (OfflineStretchE2E, ApplyStretchRendersIntoTheCachePlaysAndTheNextLoadComesFromTheCache)
{
    TempFolder temp;
    DummyJackServer server (temp / "jackd.log", "quorvelle-stretch", true);
    ASSERT_TRUE (server.waitUntilRunning()) << server.logText();

    // 4 s of 440 Hz, then the stem's last tone: 0.5 s of 660 Hz.
    constexpr int stemSamples = 216000;
    auto keysAudio = makeSine (2, stemSamples, rate, 440.0, 0.5f);
    const auto lastTone = makeSine (2, 24000, rate, 660.0, 0.5f);
    for (int c = 0; c < 2; ++c)
        keysAudio.copyFrom (c, stemSamples - 24000, lastTone, c, 0, 24000);
    const auto keysFile = temp / "keys.wav";
    ASSERT_TRUE (writeAudioFile (keysFile, keysAudio, rate, FixtureFormat::wav16));

    EndedProgram program;
    const auto ready = program.waitForAction ("BACKEND_READY", startupMs);
    ASSERT_TRUE (ready.has_value()) << program.stderrText();
    const juce::File root (program.events()[*ready].getProperty ("storageRoot", {}).toString());
    program.send (std::string (R"({"action":"SET_COUNT_IN","enabled":false})"));
    program.send (std::string (R"({"action":"SET_METRONOME_MUTE","muted":true})"));
    program.send (std::string (R"({"action":"SET_GUIDE_MUTE","muted":true})"));

    const auto answerTo = [&] (const std::string& request)
    {
        const auto from = program.lines().size();
        program.send (request);
        return waitForSongEvent (program, [] (const juce::var& e) { return actionOf (e) == "STRETCH_COMPLETE" || actionOf (e) == "STRETCH_REJECTED"; },
                                 from);
    };
    {
        const auto answer = answerTo (R"({"action":"APPLY_STRETCH","bpm":132})");
        ASSERT_TRUE (answer.has_value()) << program.stderrText();
        EXPECT_EQ (answer->getProperty ("reason", {}).toString(), "emptyTracks");
    }

    const auto load = [&] (const juce::String& songId, juce::Array<juce::var> tracks, double stretchSemitones)
    {
        const auto from = program.lines().size();
        program.send (makeObject ({ { "action", "LOAD_SONG" }, { "songId", songId }, { "bpm", 120 }, { "stretchSemitones", stretchSemitones },
                                    { "tracks", tracks } }));
        return waitForSongEvent (program, [&] (const juce::var& e) { return actionOf (e) == "SESSION_LOADED" && e["songId"].toString() == songId; },
                                 from);
    };
    ASSERT_TRUE (load ("stretch-e2e", { stem ("keys", keysFile, "MELODIC") }, 0.0).has_value()) << program.stderrText();

    // Requests answered at once, without a job.
    const auto noJobFrom = program.lines().size();
    const struct { const char* request; const char* action; const char* value; } rows[] = {
        { R"({"action":"APPLY_STRETCH"})", "STRETCH_COMPLETE", "bypass" },
        { R"({"action":"APPLY_STRETCH","semitones":0.0005})", "STRETCH_COMPLETE", "bypass" },
        { R"({"action":"APPLY_STRETCH","bpm":0})", "STRETCH_REJECTED", "invalidArgs" },
        { R"({"action":"APPLY_STRETCH","bpm":-5})", "STRETCH_REJECTED", "invalidArgs" },
        { R"({"action":"APPLY_STRETCH","bpm":250})", "STRETCH_REJECTED", "invalidArgs" },
        { R"({"action":"APPLY_STRETCH","semitones":13})", "STRETCH_REJECTED", "invalidArgs" },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.request);
        const auto answer = answerTo (row.request);
        ASSERT_TRUE (answer.has_value()) << program.stderrText();
        EXPECT_EQ (actionOf (*answer), row.action);
        EXPECT_EQ (answer->getProperty (juce::String (row.action) == "STRETCH_COMPLETE" ? "songId" : "reason", {}).toString(), row.value);
    }
    for (const auto& e : stretchEvents (program, noJobFrom))
        EXPECT_NE (actionOf (e), "STRETCH_STARTED");

    // A job: started, progress from {0, 0} to one {1, 100}, then complete with the song id.
    const auto jobFrom = program.lines().size();
    program.send (std::string (R"({"action":"APPLY_STRETCH","bpm":132,"semitones":2})"));
    ASSERT_TRUE (waitForSongEvent (program, [] (const juce::var& e) { return actionOf (e) == "STRETCH_COMPLETE"; }, jobFrom, 120000).has_value())
        << program.stderrText();
    const auto job = stretchEvents (program, jobFrom);
    ASSERT_GE (job.size(), 4u);
    EXPECT_EQ (actionOf (job.front()), "STRETCH_STARTED");
    EXPECT_EQ (job.front()["songId"].toString(), "stretch-e2e");
    EXPECT_EQ ((int) job.front()["totalTracks"], 1);
    EXPECT_EQ (actionOf (job[1]), "STRETCH_PROGRESS");
    EXPECT_EQ ((int) job[1]["tracksDone"], 0);
    EXPECT_EQ ((int) job[1]["percent"], 0);
    EXPECT_EQ (actionOf (job.back()), "STRETCH_COMPLETE");
    EXPECT_EQ (job.back()["songId"].toString(), "stretch-e2e");
    int finished = 0;
    for (const auto& e : job)
        finished += actionOf (e) == "STRETCH_PROGRESS" && (int) e["tracksDone"] == 1 && (int) e["percent"] == 100 ? 1 : 0;
    EXPECT_EQ (finished, 1);

    // Its cache file: 16-bit, the stem's channels, ceil(216000 / 1.1) samples, the last tone at its end.
    const auto cached = root.getChildFile ("Songs/stretch-e2e/stretched/keys_110000_2000_48000_v4.wav");
    ASSERT_TRUE (cached.existsAsFile());
    EXPECT_FALSE (cached.getSiblingFile (cached.getFileName() + ".tmp").exists());
    EXPECT_EQ (runTool ({ "soxi", "-b", cached.getFullPathName() }).value_or (juce::String()).trim(), "16");
    EXPECT_EQ (runTool ({ "soxi", "-c", cached.getFullPathName() }).value_or (juce::String()).trim(), "2");
    EXPECT_EQ (runTool ({ "soxi", "-s", cached.getFullPathName() }).value_or (juce::String()).trim(), "196364");
    const auto stretched = readAudioFile (cached);
    ASSERT_EQ (stretched.getNumSamples(), 196364);
    EXPECT_GT (stretched.getRMSLevel (0, 196364 - 4800, 4800), 0.2f);
    EXPECT_NEAR (measureFrequency (stretched, 196364 - 9600, 9600, rate), 660.0 * std::pow (2.0, 2.0 / 12.0), 3.0);

    // The stretched song plays; a request while it plays is refused and changes nothing.
    std::optional<juce::var> whilePlaying;
    const auto played = recordWhilePlaying (program, temp / "stretched.wav", 3, [&] { whilePlaying = answerTo (R"({"action":"APPLY_STRETCH","bpm":132})"); });
    ASSERT_TRUE (whilePlaying.has_value());
    EXPECT_EQ (whilePlaying->getProperty ("reason", {}).toString(), "isPlaying");
    const int onset = firstAbove (played, 0.05f);
    ASSERT_GE (onset, 0);
    ASSERT_GT (played.getNumSamples(), onset + 48000);
    EXPECT_NEAR (measureFrequency (played, onset + 4800, 24000, rate), 440.0 * std::pow (2.0, 2.0 / 12.0), 1.0);

    // Back to the song's own tempo and key, then the same request again: read from the cache.
    ASSERT_TRUE (answerTo (R"({"action":"APPLY_STRETCH"})").has_value());
    const auto againFrom = program.lines().size();
    program.send (std::string (R"({"action":"APPLY_STRETCH","bpm":132,"semitones":2})"));
    ASSERT_TRUE (waitForSongEvent (program, [] (const juce::var& e) { return actionOf (e) == "STRETCH_COMPLETE"; }, againFrom, 120000).has_value());
    EXPECT_TRUE (program.waitForStderr ("[STRETCH-PERF] trk=keys cache HIT (disco)", eventMs)) << program.stderrText();

    // LOAD_SONG from the cache, held at 44.1 kHz only: a miss at the device rate, then a hit. The
    // drum stem does not follow the key and comes from its original; the keys, without "volume", at 0 dB.
    const auto cacheRoadKeys = root.getChildFile ("Songs/cached-e2e/stretched/keys_100000_2000_44100_v4.wav");
    ASSERT_TRUE (cacheRoadKeys.getParentDirectory().createDirectory());
    ASSERT_TRUE (writeAudioFile (cacheRoadKeys, makeSine (2, 3 * 44100, 44100.0, 600.0, 0.5f), 44100.0, FixtureFormat::wav16));
    const auto drumsFile = temp / "drums.wav";
    ASSERT_TRUE (writeAudioFile (drumsFile, makeSilence (2, 3 * 48000), rate, FixtureFormat::wav16));
    const auto fromCache = load ("cached-e2e", { stem ("keys", keysFile, "MELODIC"), stem ("drums", drumsFile, "DRUMS") }, 2.0);
    ASSERT_TRUE (fromCache.has_value()) << program.stderrText();
    EXPECT_EQ ((int) (*fromCache)["trackCount"], 2);
    EXPECT_EQ ((double) (*fromCache)["sampleRate"], 44100.0);
    EXPECT_FALSE ((bool) (*fromCache)["wasPreloaded"]);
    EXPECT_TRUE ((bool) (*fromCache)["wasPreStretched"]);
    EXPECT_TRUE (program.waitForStderr ("activateFromStretchCache: MISS @48000 track=keys", eventMs));
    EXPECT_TRUE (program.waitForStderr ("Full HIT for cached-e2e (2 tracks, sr=44100)", eventMs)) << program.stderrText();

    const auto cachePlayed = recordWhilePlaying (program, temp / "cached.wav", 2);
    const int start = firstAbove (cachePlayed, 0.05f);
    ASSERT_GE (start, 0);
    ASSERT_GT (cachePlayed.getNumSamples(), start + 48000);
    EXPECT_NEAR (peakOf (cachePlayed, start + 4800, 24000), 0.5f, 0.03f) << "0 dB, not 6 dB lower";
    EXPECT_NEAR (measureFrequency (cachePlayed, start + 4800, 24000, rate), 600.0, 1.0);

    // A key offset below the threshold is the normal load at the stems' own rate.
    const auto plain = load ("cached-e2e", { stem ("keys", keysFile, "MELODIC"), stem ("drums", drumsFile, "DRUMS") }, 0.0005);
    ASSERT_TRUE (plain.has_value());
    EXPECT_EQ ((double) (*plain)["sampleRate"], rate);
    EXPECT_FALSE ((bool) (*plain)["wasPreStretched"]);
}
} // namespace quorvelle::test
