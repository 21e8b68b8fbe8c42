#include "net/session/SessionServer.h"

#include "net/session/SessionPages.h"
#include "platform/FrontEndHost.h"
#include "platform/ReaderThreads.h"
#include "platform/wire/HttpRequest.h"
#include "platform/wire/WebSocket.h"

#include <climits>
#include <cstdlib>
#include <mutex>

namespace quorvelle
{
namespace wire = platform::wire;

namespace
{
constexpr double guardWindowMs = 60000.0, lockOutMs = 30000.0;
constexpr int guardThreshold = 15;
constexpr size_t maxMessageBytes = 1048576;
constexpr int frameCompletionMs = 10000;
constexpr int connectionStopMs = 1000, acceptStopMs = 2000;
constexpr size_t maxQueuedMessages = 64;
constexpr int closeDrainMs = 1000;

std::atomic<int> connectionCounter { 0 };

juce::String dispositivoWhenEmpty (const juce::String& name)
{
    return name.isEmpty() ? juce::String ("Dispositivo") : name;
}

std::string answerHead (std::string_view statusLine, std::initializer_list<std::string> headerLines)
{
    std::string head (statusLine);
    head += "\r\n";
    for (const auto& line : headerLines)
        head += line + "\r\n";
    return head + "\r\n";
}

bool isProtectedPath (const std::string& path)
{
    return path.empty() || path == "/" || path == "/viewer.html" || path == "/index.html";
}

juce::String cacheRuleFor (const juce::String& relativePath, const juce::String& extension)
{
    if (extension == ".html")
        return "no-store";
    if (relativePath.startsWith ("assets/"))
        return "public, max-age=31536000, immutable";
    return "no-cache";
}

// The canonical, symlink-free form of a path; empty when it does not exist.
std::string resolvedPath (const juce::File& file)
{
    char* resolved = ::realpath (file.getFullPathName().toRawUTF8(), nullptr);
    if (resolved == nullptr)
        return {};
    std::string result (resolved);
    std::free (resolved);
    return result;
}
} // namespace

//==============================================================================
// One accepted TCP connection: its HTTP request, then, when upgraded, its WebSocket link.
class SessionServer::ClientConnection final : public juce::Thread
{
public:
    ClientConnection (SessionServer& owner, std::unique_ptr<juce::StreamingSocket> accepted, std::string code)
        : juce::Thread ("WSClient_" + juce::String (++connectionCounter)),
          server (owner),
          socket (std::move (accepted)),
          clientId (juce::Uuid().toDashedString()),
          expectedCode (std::move (code))
    {
    }

    ~ClientConnection() override
    {
        signalThreadShouldExit();
        closeSocket();
        platform::awaitThreadEnd (*this, connectionStopMs, "[SessionServer]");
    }

    void run() override;

    // Any thread. Keeps the 64 newest messages.
    void enqueue (const juce::String& text)
    {
        {
            const juce::ScopedLock lock (outgoingLock);
            outgoing.push_back (text.toStdString());
            while (outgoing.size() > maxQueuedMessages)
                outgoing.erase (outgoing.begin());
        }
        wakePipe.wake(); // the connection's thread sends it now rather than after its wait
    }

    // Any thread: ends the connection's waits; the thread then finishes by itself.
    void closeSocket()
    {
        const std::lock_guard<std::mutex> guard (closeLock);
        socket->close();
    }

    juce::String getName() const
    {
        const juce::ScopedLock lock (identityLock);
        return name;
    }

    juce::String getRole() const
    {
        const juce::ScopedLock lock (identityLock);
        return role;
    }

    SessionServer& server;
    const std::unique_ptr<juce::StreamingSocket> socket;
    const juce::String clientId;
    std::atomic<bool> connected { true }, approved { false }, closing { false }, upgraded { false };

private:
    bool handleHttp();
    bool answerUpgrade (const wire::HttpRequest& request, bool codeMatches);
    bool serveDistFile (const std::string& path);
    void sendAccessCodePage();
    void sendEmbeddedChordPage (const std::string& code);
    bool send (const std::string& bytes) { return wire::writeAll (*socket, bytes, stopCheck()); }
    bool sendFrame (int opcode, std::string_view payload);
    bool flushQueue();
    void handleClientMessage (const std::string& text);
    // Waits up to 50 ms for the device's data; false when none came, or a message was queued.
    bool waitForInput()
    {
        short revents = 0;
        const auto waited = wakePipe.waitForReadable (socket->getRawSocketHandle(), revents, 50);
        if (waited == platform::WakePipe::Wait::woken)
            wakePipe.clearWakes();
        return waited == platform::WakePipe::Wait::failed || (waited == platform::WakePipe::Wait::ready && revents != 0);
    }
    void setIdentity (std::optional<juce::String> newName, std::optional<juce::String> newRole);

    wire::ShouldStop stopCheck()
    {
        return [this] { return threadShouldExit() || ! connected.load(); };
    }

    const std::string expectedCode;
    bool identified = false;
    juce::String name, role { "viewer" };
    juce::CriticalSection identityLock, outgoingLock;
    std::vector<std::string> outgoing;
    std::mutex closeLock;
    platform::WakePipe wakePipe;
};

void SessionServer::ClientConnection::setIdentity (std::optional<juce::String> newName, std::optional<juce::String> newRole)
{
    const juce::ScopedLock lock (identityLock);
    if (newName)
        name = *newName;
    if (newRole)
        role = *newRole;
}

//==============================================================================
// HTTP phase.
bool SessionServer::ClientConnection::handleHttp()
{
    const auto text = wire::readRequestHead (*socket, {}, stopCheck());
    if (! text || text->empty())
        return false;

    const auto request = wire::parseRequestHead (*text);
    const auto nameParameter = wire::queryParameter (request.query, "name");
    const auto roleParameter = wire::queryParameter (request.query, "role");
    setIdentity (nameParameter ? std::optional (juce::String::fromUTF8 (wire::urlDecode (*nameParameter, true).c_str())) : std::nullopt,
                 roleParameter ? std::optional (juce::String::fromUTF8 (roleParameter->c_str())) : std::nullopt);
    const auto presented = wire::urlDecode (wire::queryParameter (request.query, "token").value_or (""), true);
    const bool codeMatches = wire::constantTimeEquals (presented, expectedCode);

    if (server.isLockedOut())
        return false;

    const auto key = request.header ("Sec-WebSocket-Key");
    const bool isUpgrade = key.has_value() && ! key->empty();
    // Only what needs the code counts toward the lock-out, so a viewer's assets cannot trip it.
    if (! codeMatches && (isUpgrade || isProtectedPath (request.path)))
        server.countMismatch();

    if (isUpgrade)
        return answerUpgrade (request, codeMatches);

    if (isProtectedPath (request.path))
    {
        if (! codeMatches)
            sendAccessCodePage();
        else if (! serveDistFile ("/viewer.html"))
            sendEmbeddedChordPage (presented);
        return false;
    }

    if (! serveDistFile (request.path))
        send (wire::emptyAnswer ("HTTP/1.1 404 Not Found"));
    return false;
}

bool SessionServer::ClientConnection::answerUpgrade (const wire::HttpRequest& request, bool codeMatches)
{
    if (! codeMatches)
    {
        send (wire::emptyAnswer ("HTTP/1.1 401 Unauthorized"));
        juce::Logger::writeToLog ("[SessionServer] Rejected WS upgrade (bad/missing token)");
        return false;
    }
    if (const auto refusal = wire::refuseHandshake (request))
    {
        send (*refusal);
        return false;
    }
    // Counted as a device before the device can see the answer, so a connection accepted right
    // after it meets the capacity it really has.
    upgraded = true;
    return send (wire::acceptHandshake (request));
}

bool SessionServer::ClientConnection::serveDistFile (const std::string& path)
{
    const auto dist = findDistFolder();
    if (! dist || ! dist->isDirectory())
        return false;

    const auto notFound = [this]
    {
        send (wire::emptyAnswer ("HTTP/1.1 404 Not Found"));
        return true;
    };

    auto relative = juce::String::fromUTF8 ((! path.empty() && path[0] == '/' ? path.substr (1) : path).c_str());
    if (relative.isEmpty())
        relative = "viewer.html";
    if (relative.contains (".."))
        return notFound();

    const auto file = dist->getChildFile (relative);
    const auto root = resolvedPath (*dist);
    const auto resolved = resolvedPath (file);
    if (root.empty() || resolved.size() <= root.size() + 1 || resolved.compare (0, root.size() + 1, root + "/") != 0)
        return notFound();

    const juce::File target (juce::String::fromUTF8 (resolved.c_str()));
    juce::MemoryBlock body;
    if (! target.existsAsFile() || ! target.loadFileAsData (body) || (juce::int64) body.getSize() != target.getSize())
        return notFound();

    const auto extension = file.getFileExtension().toLowerCase();
    const auto head = answerHead ("HTTP/1.1 200 OK", { "Content-Type: " + mimeTypeForExtension (extension).toStdString(),
                                                        "Content-Length: " + std::to_string (body.getSize()),
                                                        "Cache-Control: " + cacheRuleFor (relative, extension).toStdString(),
                                                        "Connection: close" });
    if (send (head) && body.getSize() > 0)
        wire::writeAll (*socket, body.getData(), body.getSize(), stopCheck());
    return true;
}

void SessionServer::ClientConnection::sendAccessCodePage()
{
    const auto page = sessionpages::accessCodePage();
    send (answerHead ("HTTP/1.1 401 Unauthorized", { "Content-Type: text/html; charset=utf-8", "Content-Length: " + std::to_string (page.size()),
                                                      "Connection: close", "Cache-Control: no-cache" })
          + std::string (page));
}

void SessionServer::ClientConnection::sendEmbeddedChordPage (const std::string& code)
{
    const auto page = sessionpages::chordViewerPage (code);
    send (answerHead ("HTTP/1.1 200 OK", { "Content-Type: text/html; charset=utf-8", "Content-Length: " + std::to_string (page.size()),
                                            "Connection: close", "Cache-Control: no-cache" })
          + page);
}

//==============================================================================
// WebSocket phase.
bool SessionServer::ClientConnection::sendFrame (int opcode, std::string_view payload)
{
    if (! connected.load())
        return false;
    return send (wire::encodeFrame (opcode, payload));
}

bool SessionServer::ClientConnection::flushQueue()
{
    std::vector<std::string> taken;
    {
        const juce::ScopedLock lock (outgoingLock);
        taken.swap (outgoing);
    }
    for (const auto& message : taken)
        if (! sendFrame (wire::opcode::text, message))
            return false;
    return true;
}

void SessionServer::ClientConnection::handleClientMessage (const std::string& text)
{
    const auto parsed = platform::parseJsonLine (text.data(), text.size());
    if (! parsed || ! parsed->isObject())
        return;

    const auto& message = *parsed;
    const auto type = message.getProperty ("type", {}).toString();
    if (type == "IDENTIFY" && ! identified)
    {
        identified = true;
        const bool hasRole = message.getDynamicObject()->hasProperty ("role");
        setIdentity (message.getProperty ("name", {}).toString(),
                     hasRole ? std::optional (message.getProperty ("role", {}).toString()) : std::nullopt);
        postEvent (server.eventSink, makeObject ({ { "action", "SESSION_CLIENT_REQUEST" },
                                                   { "clientId", clientId },
                                                   { "clientName", dispositivoWhenEmpty (getName()) },
                                                   { "requestedRole", getRole() } }));
    }
    else if (type == "COMMAND" && approved.load() && getRole() == "controller")
    {
        postEvent (server.eventSink, makeObject ({ { "action", "SESSION_REMOTE_COMMAND" },
                                                   { "clientId", clientId },
                                                   { "commandId", message.getProperty ("commandId", {}).toString() },
                                                   { "command", message.getProperty ("command", {}) } }));
    }
}

void SessionServer::ClientConnection::run()
{
    if (! handleHttp())
    {
        connected = false;
        closeSocket();
        return;
    }

    wire::WebSocketReader reader (*socket, maxMessageBytes, frameCompletionMs);
    std::optional<std::string> closeToSend;
    while (! threadShouldExit() && connected.load())
    {
        if (! flushQueue() || closing.load() || ! socket->isConnected())
            break;

        if (! waitForInput())
            continue;

        std::string payload;
        const auto outcome = reader.readNext (payload, stopCheck());
        using Outcome = wire::WebSocketReader::Outcome;
        if (outcome == Outcome::message)
            handleClientMessage (payload); // an empty message is valid, and ignored
        else if (outcome == Outcome::ping)
        {
            if (! sendFrame (wire::opcode::pong, payload))
                break;
        }
        else if (wire::endsLink (outcome))
        {
            closeToSend = wire::closeFrameAnswering (outcome, payload); // sent after the final flush
            break;
        }
    }

    flushQueue();
    if (closing.load() && ! closeToSend)
        closeToSend = wire::encodeCloseFrame (wire::closeCode::policyViolation);
    if (closeToSend && send (*closeToSend))
        wire::finishAfterClosing (*socket, closeDrainMs, stopCheck());
    connected = false;
    closeSocket();
}

//==============================================================================
SessionServer::SessionServer() : juce::Thread ("SessionServerAccept") {}

SessionServer::~SessionServer()
{
    stop();
}

void SessionServer::setClockForTesting (Clock newClock)
{
    clock = std::move (newClock);
}

double SessionServer::now() const
{
    return clock ? clock() : juce::Time::getMillisecondCounterHiRes();
}

void SessionServer::postEvent (EventSink sink, juce::var payload)
{
    if (! sink)
        return;
    juce::MessageManager::callAsync ([sink = std::move (sink), payload = std::move (payload)] { sink ("fromNative", payload); });
}

juce::String SessionServer::generateAccessCode()
{
    static constexpr char alphabet[] = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";
    constexpr int alphabetSize = 31, acceptedBelow = 248; // 8 * 31: values from 248 up would bias the draw
    juce::String code;
    while (code.length() < 6)
    {
        uint8_t byte = 0;
        if (! wire::fillSecureRandom (&byte, 1))
            return {};
        if (byte < acceptedBelow)
            code += juce::String::charToString ((juce::juce_wchar) alphabet[byte % alphabetSize]);
    }
    return code;
}

void SessionServer::sendStatus (bool isRunningNow, const juce::String& address)
{
    if (! eventSink)
        return;
    eventSink ("fromNative", makeObject ({ { "action", "SESSION_SERVER_STATUS" },
                                           { "running", isRunningNow },
                                           { "port", isRunningNow ? port : 0 },
                                           { "ip", isRunningNow ? address : juce::String() },
                                           { "mode", isRunningNow ? mode : juce::String() },
                                           { "token", isRunningNow ? accessCode : juce::String() } }));
}

void SessionServer::start (int newPort, const juce::String& newMode)
{
    if (running.load())
        stop();

    port = newPort;
    mode = newMode;
    accessCode = generateAccessCode();

    // Port 0 would bind an ephemeral port the status could not report; JUCE refuses the rest.
    auto socket = std::make_unique<juce::StreamingSocket>();
    const bool listening = port > 0 && port <= 65535 && accessCode.isNotEmpty() && socket->createListener (port, "0.0.0.0");
    if (! listening)
    {
        juce::Logger::writeToLog ("[SessionServer] Failed to bind to port " + juce::String (port));
        accessCode.clear();
        sendStatus (false, {});
        return;
    }

    listener = std::move (socket);
    running = true;
    lastHeartbeatMs = juce::Time::getMillisecondCounter();
    startThread();
    const auto address = pickAdvertisedAddress();
    sendStatus (true, address);
    juce::Logger::writeToLog ("[SessionServer] Listening on " + address + ":" + juce::String (port) + " (token issued)");
}

void SessionServer::endEveryConnection()
{
    const juce::ScopedLock lock (clientsLock);
    for (auto& client : clients)
    {
        client->signalThreadShouldExit();
        client->closeSocket();
    }
}

void SessionServer::stop()
{
    running = false;
    signalThreadShouldExit();
    endEveryConnection();
    if (listener != nullptr)
        listener->close();
    notify();
    platform::awaitThreadEnd (*this, acceptStopMs, "[SessionServer]");

    // The accept thread has ended: no connection can be added any more.
    std::vector<std::unique_ptr<ClientConnection>> ended;
    endEveryConnection();
    {
        const juce::ScopedLock lock (clientsLock);
        ended.swap (clients);
    }
    ended.clear(); // every thread was signalled and its socket closed, so each ends at once

    listener.reset();
    accessCode.clear();
    sendStatus (false, {});
    juce::Logger::writeToLog ("[SessionServer] Stopped");
}

void SessionServer::reapEndedConnections()
{
    const juce::ScopedLock lock (clientsLock);
    if (! running.load()) // a stop ends the rest without events
        return;
    for (auto i = (int) clients.size() - 1; i >= 0; --i)
    {
        auto& client = clients[(size_t) i];
        if (client->isThreadRunning() || client->connected.load())
            continue;
        postEvent (eventSink, makeObject ({ { "action", "SESSION_CLIENT_DISCONNECTED" }, { "clientId", client->clientId } }));
        clients.erase (clients.begin() + i);
    }
}

void SessionServer::run()
{
    const auto code = accessCode.toStdString();
    while (! threadShouldExit() && running.load())
    {
        if (listener != nullptr && listener->isConnected() && listener->waitUntilReady (true, 500) > 0)
        {
            std::unique_ptr<juce::StreamingSocket> accepted (listener->waitForNextConnection());
            if (accepted != nullptr && ! threadShouldExit())
            {
                // Ended connections are reaped first, so they never count against the capacity.
                reapEndedConnections();
                const juce::ScopedLock lock (clientsLock);
                int upgradedCount = 0, inHttpCount = 0;
                for (const auto& client : clients)
                    ++(client->upgraded.load() ? upgradedCount : inHttpCount);

                if (upgradedCount >= maxUpgraded || inHttpCount >= maxInHttp)
                {
                    accepted->close();
                    juce::Logger::writeToLog ("[SessionServer] Rejected connection (at capacity)");
                }
                else
                {
                    clients.push_back (std::make_unique<ClientConnection> (*this, std::move (accepted), code));
                    clients.back()->startThread();
                    juce::Logger::writeToLog ("[SessionServer] New client connection: " + clients.back()->clientId);
                }
            }
        }
        else if (listener == nullptr || ! listener->isConnected())
            wait (500);

        reapEndedConnections();

        const auto nowMs = juce::Time::getMillisecondCounter();
        if (nowMs - lastHeartbeatMs > 1999)
        {
            lastHeartbeatMs = nowMs;
            const juce::ScopedLock lock (clientsLock);
            for (auto& client : clients)
                if (client->approved.load())
                    client->enqueue ("{\"type\":\"HEARTBEAT\"}");
        }
    }
}

//==============================================================================
bool SessionServer::isLockedOut() const
{
    return cooldownUntilMs.load() > now();
}

void SessionServer::countMismatch()
{
    const auto nowMs = now();
    const auto windowStart = wrongTokenWindowStartMs.load();
    if (windowStart == 0.0 || nowMs - windowStart > guardWindowMs)
    {
        wrongTokenWindowStartMs = nowMs;
        wrongTokenCount = 1;
        return;
    }
    if (++wrongTokenCount >= guardThreshold)
    {
        cooldownUntilMs = nowMs + lockOutMs;
        juce::Logger::writeToLog ("[SessionServer] Token brute-force -> cooldown 30s");
    }
}

//==============================================================================
void SessionServer::approveClient (const juce::String& clientId, bool approved)
{
    juce::String name, role;
    {
        const juce::ScopedLock lock (clientsLock);
        auto found = std::find_if (clients.begin(), clients.end(), [&] (const auto& c) { return c->clientId == clientId; });
        if (found == clients.end())
            return;
        auto& client = **found;
        if (! approved)
        {
            client.enqueue ("{\"type\":\"REJECTED\"}");
            client.closing = true;
            return;
        }
        client.approved = true;
        role = client.getRole();
        name = dispositivoWhenEmpty (client.getName());
        // The role is the device's own text: written as a JSON string, so no quote can break out.
        client.enqueue ("{\"type\":\"APPROVED\",\"role\":" + juce::JSON::toString (juce::var (role), true) + "}");
    }
    postEvent (eventSink, makeObject ({ { "action", "SESSION_CLIENT_CONNECTED" }, { "clientId", clientId }, { "clientName", name }, { "clientRole", role } }));
}

void SessionServer::kickClient (const juce::String& clientId)
{
    const juce::ScopedLock lock (clientsLock);
    for (auto it = clients.rbegin(); it != clients.rend(); ++it)
        if ((*it)->clientId == clientId)
        {
            (*it)->enqueue ("{\"type\":\"KICKED\"}");
            (*it)->closing = true;
            return;
        }
}

void SessionServer::broadcast (const juce::String& text)
{
    const juce::ScopedLock lock (clientsLock);
    for (auto& client : clients)
        if (client->approved.load())
            client->enqueue (text);
}

void SessionServer::sendToClient (const juce::String& clientId, const juce::String& text)
{
    const juce::ScopedLock lock (clientsLock);
    for (auto& client : clients)
        if (client->clientId == clientId)
        {
            client->enqueue (text);
            return;
        }
}

//==============================================================================
juce::String pickAdvertisedAddress()
{
    juce::Array<juce::IPAddress> addresses;
    juce::IPAddress::findAllAddresses (addresses, false);
    return pickAdvertisedAddress (addresses);
}

juce::String pickAdvertisedAddress (const juce::Array<juce::IPAddress>& addresses)
{
    juce::String best = "127.0.0.1";
    int bestScore = 0;
    for (const auto& address : addresses)
    {
        if (address.isIPv6)
            continue;
        const auto a = address.address[0], b = address.address[1], c = address.address[2];
        int score = 0;
        if (a == 192 && b == 168)
            score = c == 56 ? 10 : 100;
        else if (a == 10)
            score = 80;
        else if (a == 172 && b >= 16 && b <= 31)
            score = 50;
        if (score > bestScore)
        {
            bestScore = score;
            best = address.toString();
        }
    }
    return best;
}

juce::String mimeTypeForExtension (const juce::String& extension)
{
    static const std::pair<const char*, const char*> types[] = {
        { ".html", "text/html; charset=utf-8" },  { ".js", "text/javascript; charset=utf-8" },   { ".mjs", "text/javascript; charset=utf-8" },
        { ".css", "text/css; charset=utf-8" },    { ".json", "application/json; charset=utf-8" }, { ".map", "application/json; charset=utf-8" },
        { ".svg", "image/svg+xml" },              { ".png", "image/png" },                         { ".jpg", "image/jpeg" },
        { ".jpeg", "image/jpeg" },                { ".webp", "image/webp" },                       { ".ico", "image/x-icon" },
        { ".woff2", "font/woff2" },               { ".woff", "font/woff" },
    };
    for (const auto& [known, type] : types)
        if (extension == known)
            return type;
    return "application/octet-stream";
}

std::optional<juce::File> findDistFolder()
{
    static std::once_flag searched;
    static std::optional<juce::File> found;
    std::call_once (searched, []
    {
        auto folder = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory();
        for (int level = 0; level <= 5; ++level, folder = folder.getParentDirectory())
            if (folder.getChildFile ("dist/viewer.html").existsAsFile())
            {
                found = folder.getChildFile ("dist");
                return;
            }
    });
    return found;
}
} // namespace quorvelle
