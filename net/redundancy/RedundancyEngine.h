#pragma once

#include "net/redundancy/RedundancyEngineSeam.h"
#include "platform/EventSink.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>
#include <memory>

namespace quorvelle
{
class AudioEngine;

// Pairs a primary and a standby machine: discovery by broadcast, heartbeats and positions from the
// primary, a TCP control link, failover when the primary goes. The standby plays along muted through
// the router's second master gain.
// Threads: enable, disable, sendManifest, sendSongNack and every posted closure on the message
// thread; discovery ("RedundancyDiscovery", from enable to disable), heartbeat, position sync and
// control (created at each pairing). Workers never touch the engine's controls: they post play,
// pause, seek and gain changes to the message thread. Every wait of a worker ends within 100 ms of
// a stop request, so no stop ever reaches its 2000 ms bound.
class RedundancyEngine
{
public:
    explicit RedundancyEngine (AudioEngine* engine);
    // Over any seam (the tests' recording engine).
    explicit RedundancyEngine (std::unique_ptr<RedundancyEngineSeam> seam);
    ~RedundancyEngine();

    RedundancyEngine (const RedundancyEngine&) = delete;
    RedundancyEngine& operator= (const RedundancyEngine&) = delete;

    // Set once by the owner before enabling; called from the message thread only.
    EventSink eventSink;

    void enable (const juce::String& preference, const juce::String& pin);
    void disable();
    // Any thread. "heartbeat_lost" on a primary changes nothing.
    void failover (const juce::String& reason);
    void sendManifest (const juce::String& manifest);
    void sendSongNack (const juce::String& songId, const juce::String& title);

    bool isEnabled() const { return enabled.load(); }
    int getRole() const { return role.load(); }
    bool isPeerConnected() const { return peerConnected.load(); }
    juce::String getInstanceId() const { return instanceId; } // message thread
    uint32_t getAuth() const { return auth.load(); }

    // The bodies of the mute and follow-play closures, run on the message thread. They mute only
    // while the link is enabled and this side is still the standby: a late closure never silences a
    // machine that has taken over or left the pair.
    void applyRoleMute (bool standby);
    void followPlay();

private:
    class DiscoveryThread;
    class HeartbeatThread;
    class PositionSyncThread;
    class ControlThread;
    class PeerThread;

    void onPeerFound (const juce::String& ip, const juce::String& foundPeerId, int peerRole);
    void stopPeerThreads();
    void reportError (const juce::String& message);
    void postStatus();
    void post (std::function<void()> closure) const;
    void emit (const juce::var& event) const;
    bool sendControlFrame (const juce::String& json);
    void closeControlLink();
    void setGain (float gain);
    juce::String copyPeerIp() const;
    RedundancyEngineSeam::State readState() const { return seam->readState(); }

    std::unique_ptr<RedundancyEngineSeam> seam;
    juce::String instanceId, peerId, peerIp, preference;
    juce::CriticalSection stringLock, threadLock, controlSendLock;
    std::atomic<bool> enabled { false }, peerConnected { false };
    std::atomic<int> role { 0 }, missedBeats { 0 }, latencyMs { 0 };
    std::atomic<uint32_t> lastBeatMs { 0 }, auth { 0 };
    // Raised by every pairing, failover and disable: peer threads of an older pairing end at their
    // next check (failover may run on one of them, so it cannot wait for them).
    std::atomic<uint32_t> pairingEpoch { 0 };
    std::unique_ptr<juce::StreamingSocket> controlSocket; // under controlSendLock
    std::unique_ptr<DiscoveryThread> discoveryThread;
    std::unique_ptr<HeartbeatThread> heartbeatThread;
    std::unique_ptr<PositionSyncThread> positionSyncThread;
    std::unique_ptr<ControlThread> controlThread;
    // Cleared by the destructor: closures still queued on the message thread then do nothing.
    std::shared_ptr<bool> alive = std::make_shared<bool> (true);
};
} // namespace quorvelle
