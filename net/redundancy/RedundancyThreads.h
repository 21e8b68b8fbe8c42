#pragma once

// The redundancy engine's worker threads (private to net/redundancy).
#include "net/redundancy/RedundancyEngine.h"
#include "net/redundancy/RedundancyWire.h"

namespace quorvelle
{
// A worker of the engine. Its waits are cut into slices of at most 100 ms, so a stop request, or a
// newer pairing epoch, ends them promptly.
class RedundancyEngine::PeerThread : public juce::Thread
{
public:
    // A thread of one pairing (`tiedToPairing`) also stops when the engine's epoch moves past `epoch`.
    PeerThread (const juce::String& name, RedundancyEngine& owner, uint32_t epoch, bool tiedToPairing = true)
        : juce::Thread (name), owner (owner), epoch (epoch), tiedToPairing (tiedToPairing) {}

protected:
    bool shouldStop() const { return threadShouldExit() || (tiedToPairing && owner.pairingEpoch.load() != epoch); }
    // Sleeps `milliseconds` unless told to stop; false when told to stop.
    bool sleepFor (int milliseconds);
    // 1 when the socket became readable within `milliseconds`, 0 when not, -1 when told to stop.
    int waitReadable (juce::DatagramSocket& socket, int milliseconds);
    // The role this cycle acts in (solo while unpaired); -1 when the thread should end.
    int cycleRole() const;
    // Binds the receiver to `port` when this side is the standby now (`bound`); false, with the
    // error reported, when that fails.
    bool openStandbyReceiver (juce::DatagramSocket& receiver, int port, const char* errorPrefixUtf8, bool& bound);

    RedundancyEngine& owner;
    const uint32_t epoch;
    const bool tiedToPairing;
};

class RedundancyEngine::DiscoveryThread final : public PeerThread
{
public:
    explicit DiscoveryThread (RedundancyEngine& owner) : PeerThread ("RedundancyDiscovery", owner, 0, false) {}
    ~DiscoveryThread() override { stopThread (2000); }
    void run() override;
};

class RedundancyEngine::HeartbeatThread final : public PeerThread
{
public:
    HeartbeatThread (RedundancyEngine& owner, uint32_t epoch) : PeerThread ("RedundancyHeartbeat", owner, epoch) {}
    ~HeartbeatThread() override { stopThread (2000); }
    void run() override;

private:
    void countMissedBeat();
};

class RedundancyEngine::PositionSyncThread final : public PeerThread
{
public:
    PositionSyncThread (RedundancyEngine& owner, uint32_t epoch) : PeerThread ("RedundancyPosSync", owner, epoch) {}
    ~PositionSyncThread() override { stopThread (2000); }
    void run() override;
};

class RedundancyEngine::ControlThread final : public PeerThread
{
public:
    ControlThread (RedundancyEngine& owner, uint32_t epoch, bool isPrimary) : PeerThread ("RedundancyControl", owner, epoch), isPrimary (isPrimary) {}
    ~ControlThread() override { stopThread (2000); }
    void run() override;

private:
    void runPrimary();
    void runStandby();
    // Reads the link until it ends or this thread stops; `servingPrimary` also announces song changes.
    void serveLink (juce::StreamingSocket& socket, bool servingPrimary);
    void sendSongSync();
    bool readFrames (juce::StreamingSocket& socket);
    void handleControlMessage (const juce::String& text);
    std::unique_ptr<juce::StreamingSocket> connectToPrimary();

    redundancy::FrameDecoder receiveBuffer;
    const bool isPrimary;
};

namespace redundancy
{
// Whether a TCP connection to ip:port opens within `timeoutMs`; closed again at once. Polls in
// slices of at most 100 ms and gives up (false) as soon as `shouldStop` holds.
bool probeTcp (const juce::String& ip, int port, int timeoutMs, const std::function<bool()>& shouldStop);
// Waits in slices of at most 100 ms for input on a raw socket handle, without JUCE's read lock (so
// writers on other threads can still wait for room). 1 readable or closed, 0 none, -1 error.
int pollReadable (int handle, int milliseconds);
} // namespace redundancy
} // namespace quorvelle
