#include "net/redundancy/RedundancyEngine.h"

#include "net/redundancy/RedundancyThreads.h"

#include <juce_events/juce_events.h>

namespace quorvelle
{
using namespace redundancy;

namespace
{
juce::String roleName (int role)
{
    return role == primary ? "primary" : role == standby ? "standby" : "solo";
}
} // namespace

RedundancyEngine::RedundancyEngine (std::unique_ptr<RedundancyEngineSeam> engineSeam) : seam (std::move (engineSeam)) {}

RedundancyEngine::~RedundancyEngine()
{
    disable();
    *alive = false;
    discoveryThread.reset();
    const juce::ScopedLock tl (threadLock);
    stopPeerThreads();
}

void RedundancyEngine::enable (const juce::String& newPreference, const juce::String& pin)
{
    if (enabled.load())
        return;
    enabled = true;
    preference = newPreference;
    auth = authFromPin (pin);
    instanceId = juce::Uuid().toDashedString();
    juce::Logger::writeToLog ("[Redundancy] Enabled. Instance: " + instanceId + " Preference: " + preference
                              + " Auth: " + (pin.isNotEmpty() ? "PIN" : "(sin PIN)"));
    discoveryThread.reset();
    discoveryThread = std::make_unique<DiscoveryThread> (*this);
    discoveryThread->startThread (juce::Thread::Priority::normal);
}

void RedundancyEngine::disable()
{
    if (! enabled.load())
        return;
    sendControlFrame (shutdownMessage (auth.load()));
    enabled = false;
    ++pairingEpoch;
    if (discoveryThread != nullptr)
    {
        discoveryThread->signalThreadShouldExit();
        discoveryThread->notify();
        discoveryThread->stopThread (2000);
        discoveryThread.reset();
    }
    {
        const juce::ScopedLock tl (threadLock);
        stopPeerThreads();
    }
    role = solo;
    peerConnected = false;
    {
        const juce::ScopedLock sl (stringLock);
        peerIp = {};
        peerId = {};
    }
    setGain (1.0f);
    postStatus();
    juce::Logger::writeToLog ("[Redundancy] Disabled");
}

void RedundancyEngine::onPeerFound (const juce::String& ip, const juce::String& foundPeerId, int peerRole)
{
    if (peerConnected.load())
        return;
    {
        const juce::ScopedLock sl (stringLock);
        peerIp = ip;
        peerId = foundPeerId;
    }
    peerConnected = true;
    const auto newRole = electRole (preference, role.load(), peerRole, instanceId, foundPeerId);
    role = newRole;
    juce::Logger::writeToLog ("[Redundancy] Peer found: " + ip + " Role: " + (newRole == primary ? "PRIMARY" : "STANDBY"));

    // The new pairing's threads count missed beats from now.
    lastBeatMs = juce::Time::getMillisecondCounter();
    missedBeats = 0;
    {
        const juce::ScopedLock tl (threadLock);
        stopPeerThreads();
        const auto epoch = ++pairingEpoch;
        heartbeatThread = std::make_unique<HeartbeatThread> (*this, epoch);
        heartbeatThread->startThread (juce::Thread::Priority::high);
        positionSyncThread = std::make_unique<PositionSyncThread> (*this, epoch);
        positionSyncThread->startThread (juce::Thread::Priority::high);
        controlThread = std::make_unique<ControlThread> (*this, epoch, newRole == primary);
        controlThread->startThread (juce::Thread::Priority::normal);
    }
    const bool standbyFlag = newRole == standby;
    post ([this, standbyFlag] { applyRoleMute (standbyFlag); });
    postStatus();
}

void RedundancyEngine::stopPeerThreads()
{
    const std::initializer_list<juce::Thread*> threads { heartbeatThread.get(), positionSyncThread.get(), controlThread.get() };
    for (auto* thread : threads)
        if (thread != nullptr)
        {
            thread->signalThreadShouldExit();
            thread->notify();
        }
    for (auto* thread : threads)
        if (thread != nullptr)
            thread->stopThread (2000);
    heartbeatThread.reset();
    positionSyncThread.reset();
    controlThread.reset();
    const juce::ScopedLock sl (controlSendLock);
    controlSocket.reset();
}

void RedundancyEngine::failover (const juce::String& reason)
{
    if (role.load() == primary && reason == "heartbeat_lost")
        return;
    role = primary;
    juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("[Redundancy] FAILOVER \xe2\x80\x94 Promoting to PRIMARY (reason: ")) + reason + ")");
    auto sink = eventSink;
    post ([this, sink, reason]
    {
        setGain (1.0f);
        if (sink)
            sink ("fromNative", makeObject ({ { "action", "REDUNDANCY_FAILOVER" }, { "reason", reason } }));
    });
    peerConnected = false;
    {
        const juce::ScopedLock sl (stringLock);
        peerIp = {};
        peerId = {};
    }
    // The peer threads see the new epoch at their next check; the control link stays open.
    ++pairingEpoch;
    postStatus();
}

void RedundancyEngine::applyRoleMute (bool standbyFlag)
{
    setGain (standbyFlag && enabled.load() && role.load() == standby ? 0.0f : 1.0f);
}

void RedundancyEngine::followPlay()
{
    seam->play();
    if (enabled.load() && role.load() == standby)
        setGain (0.0f);
}

void RedundancyEngine::setGain (float gain)
{
    seam->setOutputGain (gain);
}

void RedundancyEngine::reportError (const juce::String& message)
{
    juce::Logger::writeToLog ("[Redundancy] ERROR FATAL: " + message);
    if (eventSink)
        emit (makeObject ({ { "action", "REDUNDANCY_ERROR" }, { "message", message } }));
}

void RedundancyEngine::postStatus()
{
    if (! eventSink)
        return;
    emit (makeObject ({ { "action", "REDUNDANCY_STATUS" },
                        { "role", roleName (role.load()) },
                        { "peerConnected", peerConnected.load() },
                        { "peerIp", copyPeerIp() },
                        { "latencyMs", latencyMs.load() } }));
}

// Posts the event with a copy of the sink taken now.
void RedundancyEngine::emit (const juce::var& event) const
{
    auto sink = eventSink;
    post ([sink, event] { sink ("fromNative", event); });
}

void RedundancyEngine::post (std::function<void()> closure) const
{
    juce::MessageManager::callAsync ([token = alive, closure = std::move (closure)]
    {
        if (*token)
            closure();
    });
}

juce::String RedundancyEngine::copyPeerIp() const
{
    const juce::ScopedLock sl (stringLock);
    return peerIp;
}

//==============================================================================
void RedundancyEngine::sendManifest (const juce::String& manifest)
{
    sendControlFrame (manifestMessage (auth.load(), manifest));
}

void RedundancyEngine::sendSongNack (const juce::String& songId, const juce::String& title)
{
    sendControlFrame (songNackMessage (auth.load(), songId, title));
}
} // namespace quorvelle
