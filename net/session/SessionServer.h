#pragma once

#include "platform/EventSink.h"

#include <juce_core/juce_core.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quorvelle
{
// The band session server: HTTP and WebSocket on one TCP port of every IPv4 interface, for band
// members' devices, guarded by a six-character access code. Devices fetch a page, join over
// WebSocket, ask to be admitted and then receive what the front end broadcasts; admitted
// controllers may send commands. Idle until started.
//
// Threads: the message thread starts, stops, admits, removes and queues messages; the accept
// thread ("SessionServerAccept") accepts, reaps ended connections and sends heartbeats; each
// connection has its own thread ("WSClient_<n>") that does all of its socket's I/O.
// Locks: `clientsLock`, then a connection's own locks; a connection's thread never takes
// `clientsLock`. Stop ends every connection thread within 1000 ms and the accept thread within
// 2000 ms, by closing their sockets and signalling them.
class SessionServer final : public juce::Thread
{
public:
    class ClientConnection;

    // The high-resolution millisecond clock of the access-code guard (tests pass their own).
    using Clock = std::function<double()>;

    SessionServer();
    ~SessionServer() override; // stops the server

    // Installed once by the owner before the first start; called on the message thread for the
    // status, and posted to it for every other event. An empty sink drops events.
    EventSink eventSink;

    void start (int port, const juce::String& mode);
    void stop();
    void approveClient (const juce::String& clientId, bool approved);
    void kickClient (const juce::String& clientId);
    void broadcast (const juce::String& text);
    void sendToClient (const juce::String& clientId, const juce::String& text);

    bool isRunning() const { return running.load(); }

    // Hands an event to the message thread; the closure keeps its own copy of the sink.
    static void postEvent (EventSink sink, juce::var payload);

    // Six characters of "ABCDEFGHJKMNPQRSTUVWXYZ23456789" from the kernel's random source. Empty
    // when that source fails.
    static juce::String generateAccessCode();

    void setClockForTesting (Clock clock);

    void run() override; // the accept loop

    static constexpr int defaultPort = 8765;
    static constexpr int maxUpgraded = 16, maxInHttp = 8;

private:
    friend class ClientConnection;

    void sendStatus (bool isRunning, const juce::String& address);
    void reapEndedConnections();
    void endEveryConnection();
    // The access-code guard: true while a lock-out lasts; a mismatch may start one.
    bool isLockedOut() const;
    void countMismatch();
    double now() const;

    std::unique_ptr<juce::StreamingSocket> listener;
    std::vector<std::unique_ptr<ClientConnection>> clients;
    juce::CriticalSection clientsLock;
    std::atomic<bool> running { false };
    int port = defaultPort;
    juce::String mode;
    juce::String accessCode;
    juce::uint32 lastHeartbeatMs = 0;
    std::atomic<int> wrongTokenCount { 0 };
    std::atomic<double> wrongTokenWindowStartMs { 0.0 };
    std::atomic<double> cooldownUntilMs { 0.0 };
    Clock clock;
};

// The IPv4 address to show the operator: the best-scored private LAN address (192.168/16 above
// 10/8 above 172.16/12; 192.168.56/24, a host-only network, scores low), else "127.0.0.1".
juce::String pickAdvertisedAddress();
juce::String pickAdvertisedAddress (const juce::Array<juce::IPAddress>& addresses);

// The Content-Type of a dist file by its extension (with its dot, lower case).
juce::String mimeTypeForExtension (const juce::String& extension);

// The "dist" folder holding a viewer.html beside the executable or up to five folders above it;
// searched once per process.
std::optional<juce::File> findDistFolder();
} // namespace quorvelle
