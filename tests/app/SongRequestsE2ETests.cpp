// Song and transport requests through the whole program (`--bridge-stdio`), without an audio
// device: a bad tempo, a song without stems, PLAY before any song, FADE_OUT's report, two loads in
// one write, and CANCEL_LOAD while a stem's download hangs on a listener of the test.
#include "EndedProgram.h"
#include "ProgramProcess.h"

#include <gtest/gtest.h>

#include <juce_core/juce_core.h>

#include <atomic>
#include <thread>

namespace quorvelle::test
{
namespace
{
constexpr int startupMs = 45000;
constexpr int eventMs = 30000;

juce::String actionOf (const juce::var& v) { return v.getProperty ("action", {}).toString(); }

std::vector<juce::var> eventsOf (const ProgramProcess& program, const juce::String& action, size_t from)
{
    std::vector<juce::var> found;
    const auto all = program.events();
    for (size_t i = from; i < all.size(); ++i)
        if (actionOf (all[i]) == action)
            found.push_back (all[i]);
    return found;
}

std::string line (const juce::var& payload) { return juce::JSON::toString (payload, true).toStdString(); }

// Keys of a JSON line in the order they appear; true when `keys` come in that order.
bool keysInOrder (const juce::String& text, const juce::StringArray& keys)
{
    int at = -1;
    for (const auto& key : keys)
    {
        const auto next = text.indexOf ("\"" + key + "\"");
        if (next <= at)
            return false;
        at = next;
    }
    return true;
}

// A listener on 127.0.0.1 that accepts connections and never answers; counts what it accepted.
class SilentListener
{
public:
    SilentListener()
    {
        socket.createListener (0, "127.0.0.1");
        thread = std::thread ([this]
        {
            while (! stopping)
            {
                if (socket.waitUntilReady (true, 50) == 1)
                    if (std::unique_ptr<juce::StreamingSocket> client (socket.waitForNextConnection()); client != nullptr)
                    {
                        ++accepted;
                        held.push_back (std::move (client));
                    }
            }
        });
    }
    ~SilentListener()
    {
        stopping = true;
        thread.join();
    }
    int port() const { return socket.getBoundPort(); }
    std::atomic<int> accepted { 0 };

private:
    juce::StreamingSocket socket;
    std::vector<std::unique_ptr<juce::StreamingSocket>> held;
    std::atomic<bool> stopping { false };
    std::thread thread;
};
} // namespace

TEST (SongRequestsE2E, TempoEmptySongPlayBeforeLoadFadeTwoLoadsAndCancel)
{
    EndedProgram program;
    ASSERT_TRUE (program.waitForAction ("BACKEND_READY", startupMs).has_value()) << program.stderrText();

    // PLAY before any song.
    program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"PLAY"})"));
    EXPECT_TRUE (program.waitForStderr ("AudioEngine: Cannot play - session not ready (isSessionReady=false, tracks=0)", eventMs))
        << program.stderrText();

    // A song without stems: 32 bars at 120 bpm in 4/4 are 64 s, plus the 30 s tail; "bpm" 0 is
    // replaced by 120 with its line.
    {
        const auto from = program.lines().size();
        program.send (line (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "no-stems" }, { "bpm", 0 }, { "numBars", 32 },
                                          { "timeSignature", juce::Array<juce::var> { 4, 4 } }, { "tracks", juce::Array<juce::var>() } })));
        const auto loaded = program.waitForAction ("SESSION_LOADED", eventMs, from);
        ASSERT_TRUE (loaded.has_value()) << program.stderrText();
        const auto session = program.events()[*loaded];
        EXPECT_EQ ((int) session.getProperty ("trackCount", {}), 0);
        EXPECT_DOUBLE_EQ ((double) session.getProperty ("audioDuration", {}), 94.0);
        EXPECT_TRUE (program.waitForStderr ("LOAD_SONG: invalid bpm=0 in payload, using 120", eventMs));
    }

    // FADE_OUT over 2 s from full level: its report, keys in order.
    {
        const auto from = program.lines().size();
        program.send (std::string (R"({"action":"TRANSPORT_CONTROL","command":"FADE_OUT","duration":2})"));
        const auto fade = program.waitForAction ("FADE_DIAG", eventMs, from);
        ASSERT_TRUE (fade.has_value()) << program.stderrText();
        const auto event = program.events()[*fade];
        EXPECT_TRUE (keysInOrder (program.lines()[*fade],
                                  { "action", "kind", "curve", "requestedDuration", "effectiveRamp", "fromGain", "targetGain", "fromDb", "toDb" }))
            << program.lines()[*fade];
        EXPECT_EQ (event.getProperty ("kind", {}).toString(), "fadeOut");
        EXPECT_DOUBLE_EQ ((double) event.getProperty ("effectiveRamp", {}), 2.0);
        EXPECT_DOUBLE_EQ ((double) event.getProperty ("fromDb", {}), 0.0);
        EXPECT_DOUBLE_EQ ((double) event.getProperty ("toDb", {}), -72.0);
    }

    // Two loads in one write: only the second answers.
    {
        const auto from = program.lines().size();
        program.send (line (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "first" }, { "tracks", juce::Array<juce::var>() } })) + "\n"
                      + line (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "second" }, { "tracks", juce::Array<juce::var>() } })));
        ASSERT_TRUE (program.waitForAction ("SESSION_LOADED", eventMs, from).has_value());
        // A third, marked load shows that everything before it has been answered.
        program.send (line (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "marker" }, { "tracks", juce::Array<juce::var>() } })));
        ASSERT_TRUE (program.waitForEvent ([] (const juce::var& e)
                                           { return actionOf (e) == "SESSION_LOADED" && e.getProperty ("songId", {}).toString() == "marker"; },
                                           eventMs, from).has_value());
        const auto answers = eventsOf (program, "SESSION_LOADED", from);
        ASSERT_EQ (answers.size(), 2u);
        EXPECT_EQ (answers[0].getProperty ("songId", {}).toString(), "second");
    }

    // CANCEL_LOAD while a stem's download hangs: the load ends without an answer, and the next load
    // gets the only SESSION_LOADED.
    {
        SilentListener listener;
        const auto from = program.lines().size();
        const auto url = "http://127.0.0.1:" + juce::String (listener.port()) + "/stem.wav";
        program.send (line (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "hanging" },
                                          { "tracks", juce::Array<juce::var> { makeObject ({ { "id", "s" }, { "url", url } }) } } })));
        for (int i = 0; i < 400 && listener.accepted == 0; ++i)
            juce::Thread::sleep (25);
        ASSERT_EQ (listener.accepted.load(), 1) << program.stderrText();

        program.send (std::string (R"({"action":"CANCEL_LOAD"})"));
        EXPECT_TRUE (program.waitForStderr ("AudioEngine: Load cancelled (trackLoader).", eventMs)) << program.stderrText();
        program.send (line (makeObject ({ { "action", "LOAD_SONG" }, { "songId", "after-cancel" }, { "tracks", juce::Array<juce::var>() } })));
        ASSERT_TRUE (program.waitForAction ("SESSION_LOADED", eventMs, from).has_value()) << program.stderrText();
        const auto answers = eventsOf (program, "SESSION_LOADED", from);
        ASSERT_EQ (answers.size(), 1u);
        EXPECT_EQ (answers[0].getProperty ("songId", {}).toString(), "after-cancel");
    }
}
} // namespace quorvelle::test
