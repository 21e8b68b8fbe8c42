// The engine over a recording seam, against a scripted peer (tests/net/redundancy/peer) in a second
// network namespace joined to the test's own by a veth pair.
#include "net/redundancy/RedundancyEngine.h"
#include "net/redundancy/RedundancyWire.h"
#include "tests/app/ProgramProcess.h"
#include "tests/net/redundancy/PeerNamespace.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/MessageLoop.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace quorvelle::test
{
namespace
{
constexpr int waitMs = 20000;

// Records every call; the state it reports is set by the test.
class RecordingSeam final : public RedundancyEngineSeam
{
public:
    State readState() const override
    {
        std::scoped_lock sl (lock);
        State state;
        std::strncpy (state.songId.data(), songId.c_str(), state.songId.size() - 1);
        state.bpm = bpm;
        state.positionSeconds = position;
        state.playing = playing;
        return state;
    }
    bool setOutputGain (float gain) override { record ("gain " + juce::String (gain)); lastGain = gain; return true; }
    void play() override { record ("play"); }
    void pause() override { record ("pause"); }
    void seek (double seconds) override { record ("seek " + juce::String (seconds, 3)); }

    void setState (std::string id, double seconds, bool isPlaying, double tempo = 120.0)
    {
        std::scoped_lock sl (lock);
        songId = std::move (id);
        position = seconds;
        playing = isPlaying;
        bpm = tempo;
    }
    juce::StringArray calls() const { std::scoped_lock sl (lock); return recorded; }
    float gain() const { return lastGain.load(); }

private:
    void record (const juce::String& call) { std::scoped_lock sl (lock); recorded.add (call); }
    mutable std::mutex lock;
    juce::StringArray recorded;
    std::string songId;
    double position = 0.0, bpm = 120.0;
    bool playing = false;
    std::atomic<float> lastGain { 1.0f };
};

// The engine under test with its events collected on the message thread.
struct Side
{
    Side()
    {
        auto owned = std::make_unique<RecordingSeam>();
        seam = owned.get();
        engine = std::make_unique<RedundancyEngine> (std::move (owned));
        engine->eventSink = [this] (const juce::String&, const juce::var& event) { events.push_back (event); };
    }
    ~Side() { engine.reset(); }

    // The first event at or after `from` with this action (and, when given, this field value).
    std::optional<size_t> waitFor (const juce::String& action, size_t from = 0, const char* key = nullptr, const juce::var& value = {})
    {
        std::optional<size_t> found;
        runMessageLoopUntil ([&]
        {
            for (auto i = from; i < events.size(); ++i)
                if (events[i]["action"].toString() == action && (key == nullptr || events[i][key] == value))
                    return (found = i).has_value();
            return false;
        }, waitMs);
        return found;
    }
    int countOf (const juce::String& action) const
    {
        return (int) std::count_if (events.begin(), events.end(), [&] (const juce::var& e) { return e["action"].toString() == action; });
    }

    RecordingSeam* seam = nullptr;
    std::unique_ptr<RedundancyEngine> engine;
    std::vector<juce::var> events;
};

// The scripted peer, run inside the second namespace.
struct FakePeer
{
    FakePeer (const PeerNamespace& ns, bool asStandby) : process (arguments (ns, asStandby), "/usr/bin/nsenter") {}
    static std::vector<std::string> arguments (const PeerNamespace& ns, bool asStandby)
    {
        std::vector<std::string> args { "--net=" + ns.netPath(), "node", QUORVELLE_REDUNDANCY_PEER };
        if (asStandby)
            args.push_back ("--standby");
        return args;
    }
    bool command (juce::var c) { return process.send (c); }
    std::optional<size_t> waitFor (const juce::String& ev, size_t from = 0, const std::function<bool (const juce::var&)>& also = {})
    {
        return process.waitForEvent ([&] (const juce::var& e) { return e["ev"].toString() == ev && (! also || also (e)); }, waitMs, from);
    }
    size_t size() const { return process.lines().size(); }
    std::vector<juce::var> events() const { return process.events(); }
    ProgramProcess process;
};

juce::var cmd (std::initializer_list<std::pair<const char*, juce::var>> properties) { return makeObject (properties); }

// Binds a port without SO_REUSEADDR, so that the engine's own bind (with it) fails.
struct HeldPort
{
    HeldPort (int type, int port)
    {
        handle = ::socket (AF_INET, type, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons ((uint16_t) port);
        bound = ::bind (handle, reinterpret_cast<sockaddr*> (&address), sizeof address) == 0 && (type != SOCK_STREAM || ::listen (handle, 4) == 0);
    }
    ~HeldPort() { ::close (handle); }
    int handle = -1;
    bool bound = false;
};

class RedundancyEngineNamespace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (ns.ready()) << ns.failure();
        juce::String listing;
        // The guard: broadcasts never leave the namespaces this test made.
        ASSERT_TRUE (PeerNamespace::holdsOnlyTestLinks ({}, listing)) << listing;
        ASSERT_TRUE (PeerNamespace::holdsOnlyTestLinks (ns.netPath(), listing)) << listing;
    }

    // Starts the peer and announces it with `role` every second.
    std::unique_ptr<FakePeer> startPeer (bool asStandby, int role, uint32_t auth = 0)
    {
        auto peer = std::make_unique<FakePeer> (ns, asStandby);
        EXPECT_TRUE (peer->waitFor ("ready").has_value());
        peer->command (cmd ({ { "cmd", "peer" }, { "ip", PeerNamespace::hereAddress } }));
        peer->command (cmd ({ { "cmd", "discover" }, { "id", "fake-peer" }, { "role", role }, { "auth", (juce::int64) auth }, { "everyMs", 1000 } }));
        return peer;
    }

    PeerNamespace ns;
    CapturingLogger log;
};

bool isDiscoveryFrom (const juce::var& e, const juce::String& id) { return e["ev"].toString() == "discovery" && e["id"].toString() == id; }
} // namespace

TEST_F (RedundancyEngineNamespace, EnableDisableAndManualTakeoverWhileAlone)
{
    Side side;
    side.engine->disable();
    side.engine->enable ("auto", {});
    const auto id = side.engine->getInstanceId();
    EXPECT_EQ (id.length(), 36);
    EXPECT_EQ (side.engine->getAuth(), 0u);
    EXPECT_EQ (log.count ("[Redundancy] Enabled. Instance: " + id + " Preference: auto Auth: (sin PIN)"), 1);

    side.engine->enable ("primary", "1234");
    EXPECT_EQ (side.engine->getInstanceId(), id);
    EXPECT_EQ (side.engine->getAuth(), 0u);
    runMessageLoopFor (50);
    EXPECT_TRUE (side.events.empty()) << "neither enable nor a disable while disabled sends an event";

    juce::Logger::writeToLog ("[Redundancy] Manual takeover requested");
    side.engine->failover ("manual");
    const auto failover = side.waitFor ("REDUNDANCY_FAILOVER", 0, "reason", "manual");
    const auto status = side.waitFor ("REDUNDANCY_STATUS");
    ASSERT_TRUE (failover && status);
    EXPECT_LT (*failover, *status);
    EXPECT_EQ (side.events[*status]["role"].toString(), "primary");
    EXPECT_FALSE ((bool) side.events[*status]["peerConnected"]);
    EXPECT_EQ (side.seam->gain(), 1.0f);

    const auto before = side.events.size();
    side.engine->disable();
    const auto solo = side.waitFor ("REDUNDANCY_STATUS", before);
    ASSERT_TRUE (solo);
    EXPECT_EQ (side.events[*solo]["role"].toString(), "solo");
    EXPECT_EQ (side.events[*solo]["peerIp"].toString(), "");
    EXPECT_EQ (side.countOf ("REDUNDANCY_STATUS"), 2);
    EXPECT_EQ (side.seam->calls().strings.getLast(), "gain 1");
    EXPECT_EQ (log.count ("[Redundancy] Disabled"), 1);

    side.engine->enable ("auto", "1234");
    EXPECT_NE (side.engine->getInstanceId(), id) << "every enable makes a new instance id";
    EXPECT_EQ (side.engine->getAuth(), redundancy::authFromPin ("1234"));
    side.engine->disable();
}

TEST_F (RedundancyEngineNamespace, EachBusyPortReportsItsError)
{
    const juce::String tail = juce::String (juce::CharPointer_UTF8 ("). \xc2\xbfOtra app lo est\xc3\xa1 usando?"));
    const struct { const char* name; int type, port; int peerRole; juce::String message; } cases[] = {
        { "discovery", SOCK_DGRAM, 8770, -1, "No se pudo abrir el puerto de descubrimiento (8770" + tail },
        { "heartbeat as standby", SOCK_DGRAM, 8773, 1, "No se pudo abrir el puerto de latidos (8773" + tail },
        { "position as standby", SOCK_DGRAM, 8772, 1, juce::String (juce::CharPointer_UTF8 ("No se pudo abrir el puerto de sincronizaci\xc3\xb3n (8772")) + tail },
        { "control as primary", SOCK_STREAM, 8771, 2, "No se pudo abrir el puerto de control (8771" + tail },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        HeldPort held (c.type, c.port);
        ASSERT_TRUE (held.bound);
        auto peer = c.peerRole >= 0 ? startPeer (false, c.peerRole) : nullptr;
        Side side;
        side.engine->enable ("auto", {});
        const auto error = side.waitFor ("REDUNDANCY_ERROR");
        ASSERT_TRUE (error);
        EXPECT_EQ (side.events[*error]["message"].toString(), c.message);
        EXPECT_EQ (log.count ("[Redundancy] ERROR FATAL: " + c.message), 1);
        side.engine->disable();
    }
}

TEST_F (RedundancyEngineNamespace, FollowsAFakePrimaryAndTakesOverWhenItGoes)
{
    auto peer = startPeer (false, redundancy::primary);
    peer->command (cmd ({ { "cmd", "listen" } }));
    ASSERT_TRUE (peer->waitFor ("listening"));
    Side side;
    side.seam->setState ({}, 10.0, false);
    side.engine->enable ("auto", {});

    const auto paired = side.waitFor ("REDUNDANCY_STATUS", 0, "role", "standby");
    ASSERT_TRUE (paired);
    EXPECT_TRUE ((bool) side.events[*paired]["peerConnected"]);
    EXPECT_EQ (side.events[*paired]["peerIp"].toString(), PeerNamespace::thereAddress);
    EXPECT_EQ (log.count ("[Redundancy] Peer found: 198.18.0.2 Role: STANDBY"), 1);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return side.seam->calls().contains ("gain 0"); }, waitMs));
    EXPECT_EQ (side.seam->gain(), 0.0f);

    // The standby connects the control link; what the primary sends arrives as events.
    ASSERT_TRUE (peer->waitFor ("accepted"));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("[Redundancy] Control: connected to primary TCP") == 1; }, waitMs));
    peer->command (cmd ({ { "cmd", "send" }, { "text", R"({"type":"SONG_SYNC","token":0,"songId":"s1","bpm":98.5,"position":3.25,"isPlaying":true})" } }));
    peer->command (cmd ({ { "cmd", "send" }, { "text", R"({"type":"MANIFEST","token":0,"manifest":"m"})" } }));
    const auto sync = side.waitFor ("REDUNDANCY_SONG_SYNC");
    ASSERT_TRUE (sync);
    EXPECT_EQ (side.events[*sync]["songId"].toString(), "s1");
    EXPECT_EQ ((double) side.events[*sync]["bpm"], 98.5);
    EXPECT_EQ ((double) side.events[*sync]["position"], 3.25);
    EXPECT_TRUE ((bool) side.events[*sync]["isPlaying"]);
    EXPECT_TRUE (side.waitFor ("REDUNDANCY_MANIFEST_RECEIVED", *sync, "manifest", "m"));

    // Positions 0.04 s off move nothing; 0.06 s off seeks; a playing primary starts us, muted.
    peer->command (cmd ({ { "cmd", "positions" }, { "position", 10.04 }, { "count", 5 } }));
    peer->command (cmd ({ { "cmd", "positions" }, { "position", 10.06 }, { "count", 1 } }));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return side.seam->calls().joinIntoString (",").contains ("seek"); }, waitMs));
    for (const auto& call : side.seam->calls())
        if (call.startsWith ("seek"))
        {
            EXPECT_EQ (call, "seek 10.060");
            break;
        }
    peer->command (cmd ({ { "cmd", "positions" }, { "position", 10.0 }, { "playing", true }, { "count", 1 } }));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return side.seam->calls().contains ("play"); }, waitMs));
    const auto calls = side.seam->calls();
    const auto playAt = calls.indexOf ("play");
    ASSERT_LT (playAt + 1, calls.size());
    EXPECT_EQ (calls[playAt + 1], "gain 0") << "muted again after following play";

    // Beats with another auth (one a second) do not reset the count: the probe comes, and with the
    // listener up it vetoes the failover.
    peer->command (cmd ({ { "cmd", "beats" }, { "auth", 99 }, { "everyMs", 1000 } }));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("NO failover (jitter de red).") >= 1; }, waitMs)) << log.text();
    EXPECT_EQ (side.countOf ("REDUNDANCY_FAILOVER"), 0);

    // Good beats, then silence and no listener: the standby takes over and searches as primary.
    peer->command (cmd ({ { "cmd", "beats" }, { "auth", 0 } }));
    runMessageLoopFor (500);
    peer->command (cmd ({ { "cmd", "stopBeats" } }));
    peer->command (cmd ({ { "cmd", "stopDiscover" } }));
    peer->command (cmd ({ { "cmd", "closeListener" } }));
    const auto failover = side.waitFor ("REDUNDANCY_FAILOVER", 0, "reason", "heartbeat_lost");
    ASSERT_TRUE (failover);
    const auto promoted = side.waitFor ("REDUNDANCY_STATUS", *failover, "role", "primary");
    ASSERT_TRUE (promoted);
    EXPECT_FALSE ((bool) side.events[*promoted]["peerConnected"]);
    EXPECT_GE ((int) side.events[*promoted]["latencyMs"], 1) << "good beats were accepted";
    EXPECT_EQ (side.seam->gain(), 1.0f);
    EXPECT_EQ (log.count ("[Redundancy] Heartbeat timeout CONFIRMADO"), 1);
    const auto mark = peer->size();
    const auto id = side.engine->getInstanceId();
    EXPECT_TRUE (peer->waitFor ("discovery", mark, [&] (const juce::var& e) { return isDiscoveryFrom (e, id) && e["role"] == juce::var (1); }));

    // Closures posted before the takeover but run after it leave the output audible.
    side.engine->followPlay();
    side.engine->applyRoleMute (true);
    EXPECT_EQ (side.seam->gain(), 1.0f);
    side.engine->disable();
    side.engine->applyRoleMute (true);
    EXPECT_EQ (side.seam->gain(), 1.0f);
}

TEST_F (RedundancyEngineNamespace, AStandbyFollowsTheNewestOfQueuedPositions)
{
    auto peer = startPeer (false, redundancy::primary);
    peer->command (cmd ({ { "cmd", "listen" } }));
    Side side;
    side.seam->setState ({}, 20.0, false);
    side.engine->enable ("auto", {});
    ASSERT_TRUE (side.waitFor ("REDUNDANCY_STATUS", 0, "role", "standby"));
    ASSERT_TRUE (peer->waitFor ("accepted"));
    peer->command (cmd ({ { "cmd", "beats" }, { "auth", 0 } }));

    // A late cycle finds a queue of old positions, then the current one, then one last mark: the
    // standby seeks to the mark, and to the old position at most while the queue is still arriving.
    peer->command (cmd ({ { "cmd", "positions" }, { "position", 5.0 }, { "count", 100 } }));
    peer->command (cmd ({ { "cmd", "positions" }, { "position", 20.0 }, { "count", 1 } }));
    peer->command (cmd ({ { "cmd", "positions" }, { "position", 30.0 }, { "count", 1 } }));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return side.seam->calls().contains ("seek 30.000"); }, waitMs)) << side.seam->calls().joinIntoString (",");
    const auto calls = side.seam->calls();
    const auto stale = std::count_if (calls.begin(), calls.end(), [] (const juce::String& c) { return c == "seek 5.000"; });
    EXPECT_LE (stale, 10) << "seeks to a position 100 datagrams old";
    side.engine->disable();
}

TEST_F (RedundancyEngineNamespace, ShutdownFromTheFakePrimaryPromotesAtOnce)
{
    auto peer = startPeer (false, redundancy::primary);
    peer->command (cmd ({ { "cmd", "listen" } }));
    Side side;
    side.engine->enable ("auto", {});
    ASSERT_TRUE (peer->waitFor ("accepted"));
    peer->command (cmd ({ { "cmd", "beats" }, { "auth", 0 } }));
    peer->command (cmd ({ { "cmd", "send" }, { "text", R"({"type":"SHUTDOWN","token":0})" } }));
    const auto failover = side.waitFor ("REDUNDANCY_FAILOVER");
    ASSERT_TRUE (failover);
    EXPECT_EQ (side.events[*failover]["reason"].toString(), "peer_shutdown");
    EXPECT_EQ (log.count ("[Redundancy] Control: peer sent graceful SHUTDOWN"), 1);
    runMessageLoopUntil ([&] { return side.seam->gain() == 1.0f; }, waitMs);
    EXPECT_EQ (side.seam->gain(), 1.0f);
}

TEST_F (RedundancyEngineNamespace, LeadsAFakeStandby)
{
    auto peer = startPeer (true, redundancy::standby);
    Side side;
    side.seam->setState ("song-a", 2.5, false, 99.999);
    side.engine->enable ("auto", {});
    ASSERT_TRUE (side.waitFor ("REDUNDANCY_STATUS", 0, "role", "primary"));
    EXPECT_EQ (log.count ("[Redundancy] Peer found: 198.18.0.2 Role: PRIMARY"), 1);

    // Heartbeats and positions, byte for byte.
    const auto beat = peer->waitFor ("beat");
    ASSERT_TRUE (beat);
    const auto beatHex = peer->events()[*beat]["hex"].toString();
    EXPECT_EQ (beatHex.substring (0, 24), "42485651" "00000000" "00000000") << "magic, auth, first sequence number";
    const auto position = peer->waitFor ("position");
    ASSERT_TRUE (position);
    const auto expected = redundancy::encodePosition (0, 0, 2.5, 99.999, false);
    EXPECT_EQ (peer->events()[*position]["hex"].toString(), juce::String::toHexString (expected.data(), (int) expected.size(), 0));
    const auto nextBeat = peer->waitFor ("beat", *beat + 1);
    ASSERT_TRUE (nextBeat);
    EXPECT_EQ (peer->events()[*nextBeat]["hex"].toString().substring (16, 24), "01000000");

    // The link: SONG_SYNC at once, again on a song change, not on unloading.
    peer->command (cmd ({ { "cmd", "connect" } }));
    const auto first = peer->waitFor ("frame");
    ASSERT_TRUE (first);
    const auto firstSync = juce::JSON::parse (peer->events()[*first]["text"].toString());
    EXPECT_EQ (firstSync["type"].toString(), "SONG_SYNC");
    EXPECT_EQ (firstSync["songId"].toString(), "song-a");
    EXPECT_EQ ((double) firstSync["bpm"], 99.999);
    side.seam->setState ("song-b", 0.0, false);
    const auto second = peer->waitFor ("frame", *first + 1);
    ASSERT_TRUE (second);
    EXPECT_EQ (juce::JSON::parse (peer->events()[*second]["text"].toString())["songId"].toString(), "song-b");
    side.seam->setState ({}, 0.0, false);
    ASSERT_TRUE (runMessageLoopUntil ([&] { return log.count ("sent SONG_SYNC for song-b") == 1; }, waitMs));
    runMessageLoopFor (300); // several of the link's checks with no song
    side.engine->sendManifest ("after unloading");
    const auto third = peer->waitFor ("frame", *second + 1);
    ASSERT_TRUE (third);
    const auto manifest = juce::JSON::parse (peer->events()[*third]["text"].toString());
    EXPECT_EQ (manifest["type"].toString(), "MANIFEST") << "unloading sent nothing before it";
    EXPECT_EQ (manifest["manifest"].toString(), "after unloading");
    side.engine->sendSongNack ("song-x", juce::String::fromUTF8 ("Canci\xc3\xb3n"));
    const auto fourth = peer->waitFor ("frame", *third + 1);
    ASSERT_TRUE (fourth);
    const auto songNack = juce::JSON::parse (peer->events()[*fourth]["text"].toString());
    EXPECT_EQ (songNack["type"].toString(), "SONG_NACK");
    EXPECT_EQ (songNack["songId"].toString(), "song-x");
    EXPECT_EQ (songNack["title"].toString(), juce::String::fromUTF8 ("Canci\xc3\xb3n"));

    // The standby's messages reach the front end.
    peer->command (cmd ({ { "cmd", "send" }, { "text", R"({"type":"MANIFEST","token":0,"manifest":"theirs"})" } }));
    peer->command (cmd ({ { "cmd", "send" }, { "text", R"({"type":"SONG_NACK","token":0,"songId":"x","title":"T"})" } }));
    ASSERT_TRUE (side.waitFor ("REDUNDANCY_MANIFEST_RECEIVED", 0, "manifest", "theirs"));
    const auto nack = side.waitFor ("REDUNDANCY_SONG_NACK_RECEIVED");
    ASSERT_TRUE (nack);
    EXPECT_EQ (side.events[*nack]["title"].toString(), "T");

    // One discovery datagram with our new role right after pairing, none after it while paired.
    const auto ourPrimaryDatagrams = [&]
    {
        const auto all = peer->events();
        return std::count_if (all.begin(), all.end(), [&] (const juce::var& e) { return isDiscoveryFrom (e, side.engine->getInstanceId()) && e["role"] == juce::var (1); });
    };
    EXPECT_EQ (ourPrimaryDatagrams(), 1);

    // Its SHUTDOWN: we report it and search again.
    peer->command (cmd ({ { "cmd", "stopDiscover" } }));
    peer->command (cmd ({ { "cmd", "send" }, { "text", R"({"type":"SHUTDOWN","token":0})" } }));
    ASSERT_TRUE (side.waitFor ("REDUNDANCY_FAILOVER", 0, "reason", "peer_shutdown"));
    ASSERT_TRUE (runMessageLoopUntil ([&] { return ourPrimaryDatagrams() >= 2; }, waitMs));
    side.engine->disable();
}

TEST_F (RedundancyEngineNamespace, AFloodOfForeignDatagramsDoesNotSpeedUpDiscovery)
{
    auto peer = std::make_unique<FakePeer> (ns, false);
    ASSERT_TRUE (peer->waitFor ("ready"));
    Side side;
    side.engine->enable ("auto", "pin");
    const auto id = side.engine->getInstanceId();
    const auto ours = [&] (const juce::var& e) { return isDiscoveryFrom (e, id); };
    ASSERT_TRUE (peer->waitFor ("discovery", 0, ours));
    peer->command (cmd ({ { "cmd", "flood" }, { "id", "stranger" }, { "auth", 1 }, { "count", 1000 } }));
    const auto flooded = peer->waitFor ("flooded");
    ASSERT_TRUE (flooded);
    runMessageLoopFor (3000); // the window in which our datagrams are counted
    const auto all = peer->events();
    const auto sent = std::count_if (all.begin() + (long) *flooded, all.end(), ours);
    EXPECT_GE (sent, 1);
    EXPECT_LE (sent, 6);
    EXPECT_FALSE (side.engine->isPeerConnected());
    side.engine->disable();
}
} // namespace quorvelle::test
