// How closely a standby follows its primary's position. A real standby program (in a second
// namespace, across a veth pair) plays a song on the Virtual device's real-time clock and follows,
// in turn:
//   1. a Node fake primary (tests/net/redundancy/peer) that sends exact positions, running on in
//      real time from 0, as the reference;
//   2. a real primary program playing the same song on its own Virtual device.
// Each side's position is sampled at 10 Hz over the window: the latest PLAYBACK_UPDATE time (the
// fake: the latest position it sent), carried on to the sampling instant by the time since the line
// arrived. Reports |standby - primary| (p50, p99, max), the mean difference, the seeks the standby
// logged per minute, and the ratio of the p99s. Run through scripts/test-launcher.sh (own network
// namespace):
//
//   QUORVELLE_BUILD_DIR=$PWD/build scripts/test-launcher.sh build/bench/net_redundancy_position_bench [window s, default 60]
#include "tests/net/redundancy/NamespacedProgram.h"
#include "tests/net/redundancy/PeerNamespace.h"
#include "tests/support/AudioFixtures.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>

using namespace quorvelle::test;

namespace
{
constexpr int waitMs = 45000;
constexpr double sampleRate = 48000.0;
constexpr const char* seekLine = "[STRETCH-DIAG] SEEK_PRE";
constexpr const char* connectedLine = "[Redundancy] Control: connected to primary TCP";

double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

[[noreturn]] void fail (const std::string& what, const ProgramProcess* program = nullptr)
{
    std::cerr << "failed: " << what << std::endl;
    if (program != nullptr)
        std::cerr << program->stderrText() << std::endl;
    std::exit (1);
}

int countOf (const std::string& text, const std::string& fragment)
{
    int n = 0;
    for (auto at = text.find (fragment); at != std::string::npos; at = text.find (fragment, at + 1))
        ++n;
    return n;
}

// Bounded polling for one more occurrence of a stderr fragment than `before`.
bool waitForAnotherStderr (const ProgramProcess& program, const std::string& fragment, int before)
{
    for (const auto start = nowMs(); nowMs() - start < waitMs; juce::Thread::sleep (20))
        if (countOf (program.stderrText(), fragment) > before)
            return true;
    return false;
}

// Sends an action and waits for the next occurrence of a stderr fragment it leads to.
bool sendAndWaitForStderr (ProgramProcess& program, const juce::var& action, const std::string& fragment)
{
    const auto before = countOf (program.stderrText(), fragment);
    program.send (action);
    return waitForAnotherStderr (program, fragment, before);
}

void guardNamespaces (const PeerNamespace& ns)
{
    juce::String listing;
    if (! PeerNamespace::holdsOnlyTestLinks ({}, listing) || ! PeerNamespace::holdsOnlyTestLinks (ns.netPath(), listing))
        fail ("guard: unexpected interfaces\n" + listing.toStdString());
}

// Driver, no count-in, the song loaded: ready to play in step with another program.
void prepare (NamespacedProgram& side, const juce::File& stem, double songSeconds)
{
    auto& p = *side.process;
    if (! p.waitForAction ("BACKEND_READY", waitMs))
        fail ("BACKEND_READY", &p);
    p.send (actionObject ("SET_AUDIO_DRIVER", { { "driver", "Virtual" } }));
    p.send (actionObject ("SET_COUNT_IN", { { "enabled", false } }));
    const auto from = p.lines().size();
    juce::Array<juce::var> tracks { makeObject ({ { "id", "a" }, { "name", "a" }, { "url", stem.getFullPathName() }, { "instrumentType", "BASS" } }) };
    p.send (actionObject ("LOAD_SONG", { { "songId", "follow-song" }, { "name", "Follow" }, { "bpm", 120 }, { "tracks", tracks } }));
    const auto loaded = p.waitForAction ("SESSION_LOADED", waitMs, from);
    if (! loaded)
        fail ("SESSION_LOADED", &p);
    const auto session = p.events()[*loaded];
    if ((double) session["sampleRate"] != sampleRate || std::abs ((double) session["audioDuration"] - songSeconds) > 0.01)
        fail ("unexpected session " + juce::JSON::toString (session, true).toStdString(), &p);
}

// A position reading: when the line arrived, and the position it gave.
struct Reading
{
    double atMs, seconds;
};

std::vector<Reading> readings (const ProgramProcess& p, const std::function<std::optional<double> (const juce::var&)>& positionOf)
{
    const auto events = p.events();
    const auto times = p.lineTimesMs();
    std::vector<Reading> found;
    for (size_t i = 0; i < std::min (events.size(), times.size()); ++i)
        if (const auto seconds = positionOf (events[i]))
            found.push_back ({ times[i], *seconds });
    return found;
}

std::optional<double> playingTime (const juce::var& e)
{
    if (e["action"].toString() != "PLAYBACK_UPDATE" || ! (bool) e["isPlaying"])
        return std::nullopt;
    return (double) e["time"];
}

std::optional<double> sentPosition (const juce::var& e)
{
    if (e["ev"].toString() != "positionSent")
        return std::nullopt;
    return (double) e["position"];
}

// The position at `atMs`: the latest reading before it, carried on in real time. None when no
// reading came within the last 250 ms (the side was not playing).
std::optional<double> positionAt (const std::vector<Reading>& series, double atMs)
{
    const auto after = std::upper_bound (series.begin(), series.end(), atMs, [] (double t, const Reading& r) { return t < r.atMs; });
    if (after == series.begin())
        return std::nullopt;
    const auto& last = *std::prev (after);
    if (atMs - last.atMs > 250.0)
        return std::nullopt;
    return last.seconds + (atMs - last.atMs) / 1000.0;
}

struct Figures
{
    int samples = 0, missing = 0;
    double p50 = 0, p99 = 0, max = 0, mean = 0, seeksPerMinute = 0;
};

// Plays the window out, then compares the two series at 10 Hz over it.
Figures measure (const ProgramProcess& standby, const ProgramProcess& reference,
                 const std::function<std::optional<double> (const juce::var&)>& referencePosition, double windowSeconds)
{
    const auto seeksBefore = countOf (standby.stderrText(), seekLine);
    const auto start = nowMs();
    juce::Thread::sleep ((int) (windowSeconds * 1000.0) + 300); // the measured stretch of playing
    const auto seeks = countOf (standby.stderrText(), seekLine) - seeksBefore;

    const auto ours = readings (standby, playingTime);
    const auto theirs = readings (reference, referencePosition);
    Figures f;
    std::vector<double> magnitudes;
    double sum = 0.0;
    for (int k = 0; k < (int) std::lround (windowSeconds * 10.0); ++k)
    {
        const auto at = start + 100.0 * k;
        const auto a = positionAt (ours, at), b = positionAt (theirs, at);
        if (! a || ! b)
        {
            ++f.missing;
            continue;
        }
        magnitudes.push_back (std::abs (*a - *b));
        sum += *a - *b;
    }
    f.samples = (int) magnitudes.size();
    f.seeksPerMinute = seeks * 60.0 / windowSeconds;
    if (magnitudes.empty())
        return f;
    std::sort (magnitudes.begin(), magnitudes.end());
    const auto at = [&] (double q) { return magnitudes[std::min (magnitudes.size() - 1, (size_t) std::ceil (q * (double) magnitudes.size()) - 1)]; };
    f.p50 = at (0.50);
    f.p99 = at (0.99);
    f.max = magnitudes.back();
    f.mean = sum / (double) magnitudes.size();
    return f;
}

// Waits until the standby plays past `seconds` (it starts from the song's start and seeks to the
// primary's position), then lets it settle.
void waitUntilFollowing (ProgramProcess& standby, size_t from, double seconds)
{
    if (! standby.waitForEvent ([&] (const juce::var& e) { const auto t = playingTime (e); return t && *t > seconds; }, waitMs, from))
        fail ("the standby does not play", &standby);
    juce::Thread::sleep (2000);
}

void print (const char* name, const Figures& f)
{
    std::printf ("%-24s %7d %7d %9.1f %9.1f %9.1f %9.1f %10.1f\n", name, f.samples, f.missing, f.p50 * 1000.0, f.p99 * 1000.0,
                 f.max * 1000.0, f.mean * 1000.0, f.seeksPerMinute);
}
} // namespace

int main (int argc, char** argv)
{
    std::signal (SIGPIPE, SIG_IGN);
    const double windowSeconds = argc > 1 ? std::max (5.0, std::atof (argv[1])) : 60.0;
    const double songSeconds = windowSeconds + 30.0;

    PeerNamespace ns;
    if (! ns.ready())
        fail (ns.failure().toStdString());

    auto stem = juce::File::createTempFile (".wav");
    if (! writeAudioFile (stem, makeSine (2, (int) (songSeconds * sampleRate), sampleRate, 220.0, 0.1f), sampleRate, FixtureFormat::wav16))
        fail ("cannot write the stem");

    NamespacedProgram standby (ns.netPath());
    prepare (standby, stem, songSeconds);
    auto& follower = *standby.process;

    // 1. The fake primary, here, with exact positions.
    Figures fake;
    {
        guardNamespaces (ns);
        ProgramProcess peer ({ QUORVELLE_REDUNDANCY_PEER }, "/usr/bin/node");
        const auto peerEvent = [&] (const char* ev) { return peer.waitForEvent ([ev] (const juce::var& e) { return e["ev"].toString() == ev; }, waitMs); };
        if (! peerEvent ("ready"))
            fail ("the fake peer did not start");
        peer.send (makeObject ({ { "cmd", "peer" }, { "ip", PeerNamespace::thereAddress } }));
        peer.send (makeObject ({ { "cmd", "listen" } }));
        if (! peerEvent ("listening"))
            fail ("the fake peer does not listen");
        peer.send (makeObject ({ { "cmd", "discover" }, { "id", "fake-primary" }, { "role", 1 }, { "everyMs", 1000 } }));
        peer.send (makeObject ({ { "cmd", "beats" } }));
        if (! sendAndWaitForStderr (follower, actionObject ("REDUNDANCY_ENABLE", { { "role", "standby" } }), connectedLine))
            fail ("the standby did not connect to the fake", &follower);
        const auto from = follower.lines().size();
        peer.send (makeObject ({ { "cmd", "positions" }, { "position", 0.0 }, { "moving", true }, { "playing", true }, { "report", true } }));
        waitUntilFollowing (follower, from, 1.0);
        fake = measure (follower, peer, sentPosition, windowSeconds);

        for (const char* c : { "stopPositions", "stopBeats", "stopDiscover" })
            peer.send (makeObject ({ { "cmd", c } }));
        if (! sendAndWaitForStderr (follower, actionObject ("REDUNDANCY_DISABLE"), "[Redundancy] Disabled"))
            fail ("the standby did not disable", &follower);
        follower.send (actionObject ("TRANSPORT_CONTROL", { { "command", "STOP" } }));
        peer.closeStdin();
        if (! peer.waitForExit (waitMs))
            fail ("the fake peer did not end");
    }

    // 2. A real primary program, here.
    NamespacedProgram primary ({});
    prepare (primary, stem, songSeconds);
    guardNamespaces (ns);
    primary.process->send (actionObject ("REDUNDANCY_ENABLE", { { "role", "primary" } }));
    if (! sendAndWaitForStderr (follower, actionObject ("REDUNDANCY_ENABLE", { { "role", "standby" } }), connectedLine))
        fail ("the standby did not connect to the primary", &follower);
    const auto from = follower.lines().size();
    primary.process->send (actionObject ("TRANSPORT_CONTROL", { { "command", "PLAY" } }));
    waitUntilFollowing (follower, from, 1.0);
    const auto real = measure (follower, *primary.process, playingTime, windowSeconds);
    primary.process->send (actionObject ("REDUNDANCY_DISABLE"));
    follower.send (actionObject ("REDUNDANCY_DISABLE"));

    std::printf ("window %.0f s, positions sampled at 10 Hz, |standby - primary| in ms\n", windowSeconds);
    std::printf ("%-24s %7s %7s %9s %9s %9s %9s %10s\n", "primary", "samples", "missing", "p50", "p99", "max", "mean", "seeks/min");
    print ("Node fake (exact)", fake);
    print ("real program", real);
    if (fake.p99 > 0.0)
        std::printf ("p99 ratio real/fake: %.2f (target <= 1.2)\n", real.p99 / fake.p99);
    stem.deleteFile();
    return 0;
}
