// Discovery, heartbeat and position sync: the link's three datagram flows.
#include "net/redundancy/RedundancyThreads.h"

#include <cerrno>
#include <cmath>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvelle
{
using namespace redundancy;

namespace
{
constexpr int sliceMs = 100;

juce::String portError (const char* prefixUtf8, int port)
{
    return juce::String (juce::CharPointer_UTF8 (prefixUtf8)) + juce::String (port)
           + juce::String (juce::CharPointer_UTF8 ("). \xc2\xbf" "Otra app lo est\xc3\xa1 usando?"));
}

uint32_t elapsedSince (uint32_t startMs)
{
    return juce::Time::getMillisecondCounter() - startMs;
}
} // namespace

bool RedundancyEngine::PeerThread::sleepFor (int milliseconds)
{
    const auto start = juce::Time::getMillisecondCounter();
    for (;;)
    {
        if (shouldStop())
            return false;
        const auto waited = (int) elapsedSince (start);
        if (waited >= milliseconds)
            return true;
        wait (std::min (sliceMs, milliseconds - waited));
    }
}

int RedundancyEngine::PeerThread::waitReadable (juce::DatagramSocket& socket, int milliseconds)
{
    const auto start = juce::Time::getMillisecondCounter();
    for (;;)
    {
        if (shouldStop())
            return -1;
        const auto waited = (int) elapsedSince (start);
        if (waited >= milliseconds)
            return 0;
        const auto ready = socket.waitUntilReady (true, std::min (sliceMs, milliseconds - waited));
        if (ready == 1)
            return 1;
        if (ready < 0 && ! sleepFor (std::min (sliceMs, milliseconds - waited)))
            return -1; // an unusable socket: wait out the slice rather than spin
    }
}

int RedundancyEngine::PeerThread::cycleRole() const
{
    if (shouldStop() || ! owner.enabled.load())
        return -1;
    return owner.peerConnected.load() ? owner.role.load() : (int) solo;
}

bool RedundancyEngine::PeerThread::openStandbyReceiver (juce::DatagramSocket& receiver, int port, const char* errorPrefixUtf8, bool& bound)
{
    bound = owner.role.load() == standby;
    if (! bound || receiver.bindToPort (port))
        return true;
    owner.reportError (portError (errorPrefixUtf8, port));
    return false;
}

//==============================================================================
void RedundancyEngine::DiscoveryThread::run()
{
    juce::DatagramSocket sender (true), receiver;
    if (! receiver.bindToPort (discoveryPort))
    {
        owner.reportError (portError ("No se pudo abrir el puerto de descubrimiento (", discoveryPort));
        return;
    }
    const auto send = [&]
    {
        const auto packet = encodeDiscovery (owner.instanceId, owner.role.load(), owner.auth.load());
        sender.write ("255.255.255.255", discoveryPort, packet.data(), (int) packet.size());
    };

    // At most one datagram per second, however many arrive (the own broadcast comes back too);
    // every datagram received until the cycle's deadline is looked at at once.
    bool sentSincePairing = true;
    uint32_t cycleStart = 0;
    bool sendNow = true;
    uint8_t buffer[datagramReadSize];
    while (! shouldStop())
    {
        if (! owner.enabled.load())
            return;
        if (owner.peerConnected.load())
        {
            if (! sentSincePairing)
            {
                // The peer may not have heard us yet: one datagram with the new role before idling.
                send();
                sentSincePairing = true;
            }
            sleepFor (2000);
            // What arrived while paired is stale: a datagram of the old peer, read after a failover,
            // would pair this side with an instance that has left.
            juce::String ignoredIp;
            int ignoredPort = 0;
            while (receiver.waitUntilReady (true, 0) == 1 && receiver.read (buffer, (int) sizeof buffer, false, ignoredIp, ignoredPort) > 0) {}
            sendNow = true;
            continue;
        }
        if (sendNow || elapsedSince (cycleStart) >= 1000)
        {
            send();
            cycleStart = juce::Time::getMillisecondCounter();
            sendNow = false;
        }
        const auto left = 1000 - (int) elapsedSince (cycleStart);
        if (left <= 0 || waitReadable (receiver, left) != 1)
            continue;
        juce::String senderIp;
        int senderPort = 0;
        const auto size = receiver.read (buffer, (int) sizeof buffer, false, senderIp, senderPort);
        if (size <= 0)
            continue;
        const auto info = decodeDiscovery (buffer, (size_t) size, owner.auth.load());
        if (! info)
            continue;
        const auto foundId = juce::String::fromUTF8 (info->peerId.data(), (int) info->peerId.size());
        if (foundId == owner.instanceId)
            continue;
        owner.onPeerFound (senderIp, foundId, info->role);
        if (owner.peerConnected.load())
            sentSincePairing = false;
    }
}

//==============================================================================
void RedundancyEngine::HeartbeatThread::run()
{
    juce::DatagramSocket sender, receiver;
    bool bound = false;
    if (! openStandbyReceiver (receiver, heartbeatPort, "No se pudo abrir el puerto de latidos (", bound))
        return;
    uint32_t sequence = 0;
    uint8_t buffer[datagramReadSize];
    for (int currentRole; (currentRole = cycleRole()) >= 0;)
    {
        if (currentRole == primary)
        {
            const auto packet = encodeHeartbeat (owner.auth.load(), sequence++, juce::Time::getMillisecondCounter());
            sender.write (owner.copyPeerIp(), heartbeatPort, packet.data(), (int) packet.size());
        }
        else if (currentRole == standby)
        {
            const auto ready = bound ? waitReadable (receiver, 500) : (sleepFor (500) ? 0 : -1);
            if (ready < 0)
                return;
            if (ready == 1)
            {
                juce::String ip;
                int port = 0;
                const auto size = receiver.read (buffer, (int) sizeof buffer, false, ip, port);
                if (size > 0 && isValidHeartbeat (buffer, (size_t) size, owner.auth.load()))
                {
                    const auto now = juce::Time::getMillisecondCounter();
                    const auto last = owner.lastBeatMs.load();
                    const auto interval = last == 0 ? 100 : (int) (int32_t) (now - last);
                    owner.latencyMs = std::max (1, interval);
                    owner.lastBeatMs = now;
                    owner.missedBeats = 0;
                }
            }
            else
            {
                countMissedBeat();
            }
        }
        sleepFor (100);
    }
}

void RedundancyEngine::HeartbeatThread::countMissedBeat()
{
    if (++owner.missedBeats < 6)
        return;
    const auto ip = owner.copyPeerIp();
    const bool alive = ip.isNotEmpty() && probeTcp (ip, controlPort, 800, [this] { return shouldStop(); });
    if (shouldStop())
        return;
    if (alive)
    {
        juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("[Redundancy] Latidos UDP perdidos pero TCP vivo \xe2\x80\x94 NO failover (jitter de red).")));
        owner.missedBeats = 0;
        return;
    }
    juce::Logger::writeToLog (juce::String (juce::CharPointer_UTF8 ("[Redundancy] Heartbeat timeout CONFIRMADO (TCP ca\xc3\xad" "do). Failover.")));
    owner.failover ("heartbeat_lost");
}

//==============================================================================
void RedundancyEngine::PositionSyncThread::run()
{
    juce::DatagramSocket sender, receiver;
    bool bound = false;
    if (! openStandbyReceiver (receiver, positionPort, "No se pudo abrir el puerto de sincronizaci\xc3\xb3n (", bound))
        return;
    uint32_t sequence = 0;
    uint8_t buffer[datagramReadSize];
    for (int currentRole; (currentRole = cycleRole()) >= 0;)
    {
        if (currentRole == primary)
        {
            const auto state = owner.readState();
            const auto packet = encodePosition (owner.auth.load(), sequence++, state.positionSeconds, state.bpm, state.playing);
            sender.write (owner.copyPeerIp(), positionPort, packet.data(), (int) packet.size());
        }
        else if (currentRole == standby && bound)
        {
            const auto ready = waitReadable (receiver, 100);
            if (ready < 0)
                return;
            // The newest position that has arrived. The primary sends at the pace this loop reads,
            // so datagrams queued behind a late cycle would otherwise stay queued: the standby
            // would follow, and seek to, positions that old.
            std::optional<PositionInfo> packet;
            for (bool readable = ready == 1; readable; readable = receiver.waitUntilReady (true, 0) == 1)
            {
                juce::String ip;
                int port = 0;
                const auto size = receiver.read (buffer, (int) sizeof buffer, false, ip, port);
                if (size <= 0)
                    break;
                if (auto decoded = decodePosition (buffer, (size_t) size, owner.auth.load()))
                    packet = decoded;
            }
            if (packet)
            {
                const auto local = owner.readState();
                const auto remote = packet->positionSeconds;
                if (std::abs (local.positionSeconds - remote) > 0.05)
                    owner.post ([seam = owner.seam.get(), remote] { seam->seek (remote); });
                if (packet->playing && ! local.playing)
                    owner.post ([engine = &owner] { engine->followPlay(); });
                else if (! packet->playing && local.playing)
                    owner.post ([seam = owner.seam.get()] { seam->pause(); });
            }
        }
        sleepFor (20);
    }
}

//==============================================================================
bool redundancy::probeTcp (const juce::String& ip, int port, int timeoutMs, const std::function<bool()>& shouldStop)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons ((uint16_t) port);
    if (inet_pton (AF_INET, ip.toRawUTF8(), &address.sin_addr) != 1)
        return false;
    const int handle = socket (AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (handle < 0)
        return false;
    bool connected = connect (handle, reinterpret_cast<sockaddr*> (&address), sizeof address) == 0;
    if (! connected && errno == EINPROGRESS)
    {
        const auto start = juce::Time::getMillisecondCounter();
        for (;;)
        {
            const auto waited = (int) elapsedSince (start);
            if (waited >= timeoutMs || shouldStop())
                break;
            pollfd entry { handle, POLLOUT, 0 };
            if (poll (&entry, 1, std::min (sliceMs, timeoutMs - waited)) > 0)
            {
                int error = 0;
                socklen_t length = sizeof error;
                connected = getsockopt (handle, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
                break;
            }
        }
    }
    ::close (handle);
    return connected;
}

int redundancy::pollReadable (int handle, int milliseconds)
{
    if (handle < 0)
        return -1;
    pollfd entry { handle, POLLIN, 0 };
    const auto result = poll (&entry, 1, std::min (milliseconds, sliceMs));
    if (result < 0)
        return errno == EINTR ? 0 : -1;
    return result > 0 ? 1 : 0;
}
} // namespace quorvelle
