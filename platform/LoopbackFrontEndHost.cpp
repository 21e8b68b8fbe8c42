#include "platform/LoopbackFrontEndHost.h"

#include "platform/ReaderThreads.h"
#include "platform/wire/HttpRequest.h"
#include "platform/wire/WebSocket.h"

#include <cstdio>
#include <deque>
#include <list>

namespace quorvelle::platform
{
namespace wire = platform::wire;

namespace
{
constexpr int maxConnections = 64;
constexpr int providerWaitMs = 30000;
constexpr int frameCompletionMs = 60000;
constexpr int threadStopMs = 2000;
constexpr const char* cookieName = "quorvelle_host";
constexpr const char* allowOriginLine = "Access-Control-Allow-Origin: http://127.0.0.1:5173";

std::string randomHex (size_t bytes)
{
    std::vector<uint8_t> random (bytes);
    if (! wire::fillSecureRandom (random.data(), random.size()))
        return {};
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (auto b : random)
        text += { digits[b >> 4], digits[b & 15] };
    return text;
}

// The value of cookie `name` in a Cookie header ("a=1; b=2").
std::optional<std::string> cookieValue (const wire::HttpRequest& request, std::string_view name)
{
    const auto header = request.header ("Cookie");
    if (! header)
        return std::nullopt;
    std::string_view rest (*header);
    std::optional<std::string> found;
    while (! rest.empty())
    {
        const auto semicolon = rest.find (';');
        auto part = rest.substr (0, semicolon);
        while (! part.empty() && part.front() == ' ')
            part.remove_prefix (1);
        if (part.size() > name.size() && part.substr (0, name.size()) == name && part[name.size()] == '=')
            found = std::string (part.substr (name.size() + 1));
        if (semicolon == std::string_view::npos)
            break;
        rest.remove_prefix (semicolon + 1);
    }
    return found;
}

// The query without its "token=" parameters.
std::string queryWithoutToken (const std::string& query)
{
    std::string kept;
    std::string_view rest (query);
    while (! rest.empty())
    {
        const auto amp = rest.find ('&');
        const auto part = rest.substr (0, amp);
        if (! part.empty() && part.substr (0, 6) != "token=" && part != "token")
            kept += (kept.empty() ? "" : "&") + std::string (part);
        if (amp == std::string_view::npos)
            break;
        rest.remove_prefix (amp + 1);
    }
    return kept;
}

// Puts the bridge script first in the page's head (or first in the page when it has none).
std::string withBridgeScript (std::string html)
{
    static const std::string tag = "<script src=\"/__host/bridge.js\"></script>";
    std::string lower (html.size(), '\0');
    std::transform (html.begin(), html.end(), lower.begin(), [] (char c) { return (char) std::tolower ((unsigned char) c); });
    for (size_t at = lower.find ("<head"); at != std::string::npos; at = lower.find ("<head", at + 5))
    {
        const auto next = at + 5 < lower.size() ? lower[at + 5] : '\0';
        if (next != '>' && next != ' ' && next != '\t' && next != '\r' && next != '\n')
            continue;
        const auto close = lower.find ('>', at);
        if (close == std::string::npos)
            break;
        html.insert (close + 1, tag);
        return html;
    }
    return tag + html;
}

std::string bridgeScript (int port)
{
    return R"JS((function () {
  'use strict';
  if (window.__JUCE__ && window.__JUCE__.backend) return;
  var socketUrl = 'ws://127.0.0.1:)JS" + std::to_string (port) + R"JS(/__host/ws';
  var listeners = new Map();
  var nextListener = 1;
  var waiting = [];
  var socket = null;

  function deliver(eventId, payload) {
    var byId = listeners.get(eventId);
    if (!byId) return;
    Array.from(byId.values()).forEach(function (fn) {
      try { fn(payload); } catch (error) { console.error(error); }
    });
  }

  function connect() {
    var next = new WebSocket(socketUrl);
    socket = next;
    next.onopen = function () {
      var queued = waiting;
      waiting = [];
      queued.forEach(function (text) { next.send(text); });
    };
    next.onmessage = function (event) {
      var message;
      try { message = JSON.parse(event.data); } catch (error) { return; }
      if (message && typeof message.eventId === 'string') deliver(message.eventId, message.payload);
    };
    next.onclose = function (event) {
      if (socket === next) socket = null;
      // A newer page took over: this one stays quiet instead of taking it back.
      if (event.code === 1000 && event.reason === 'replaced') return;
      setTimeout(connect, 1000);
    };
  }

  function postMessage(text) {
    if (socket && socket.readyState === 1) socket.send(text);
    else waiting.push(text);
  }

  window.__JUCE__ = {
    initialisationData: {},
    postMessage: postMessage,
    backend: {
      addEventListener: function (eventId, fn) {
        if (!listeners.has(eventId)) listeners.set(eventId, new Map());
        var n = nextListener++;
        listeners.get(eventId).set(n, fn);
        return [eventId, n];
      },
      removeEventListener: function (token) {
        var byId = listeners.get(token[0]);
        if (byId) byId.delete(token[1]);
      },
      emitEvent: function (eventId, payload) {
        postMessage(JSON.stringify({ eventId: eventId, payload: payload }));
      }
    }
  };
  connect();
})();
)JS";
}
} // namespace

//==============================================================================
// What the host's threads share with it; closures posted to the message thread keep it alive.
struct LoopbackFrontEndHost::State
{
    int port = 0;
    std::string token, cookie;

    std::mutex lock; // guards everything below
    ResourceProvider provider;
    ToNativeListener listener;
    std::function<void()> newPageListener;
    Connection* page = nullptr; // the connected page, if any

    juce::String origin() const { return "http://127.0.0.1:" + juce::String (port); }
};

//==============================================================================
// One accepted connection: one HTTP request, or, once upgraded, a page's WebSocket link.
class LoopbackFrontEndHost::Connection final : public juce::Thread
{
public:
    Connection (std::shared_ptr<State> s, std::unique_ptr<juce::StreamingSocket> accepted)
        : juce::Thread ("FrontEndHostConnection"), state (std::move (s)), socket (std::move (accepted))
    {
    }

    ~Connection() override
    {
        endNow();
        awaitThreadEnd (*this, threadStopMs, "[FrontEndHost]");
    }

    void run() override;

    // Any thread: ends the connection's waits.
    void endNow()
    {
        signalThreadShouldExit();
        const std::lock_guard<std::mutex> guard (closeLock);
        socket->close();
    }

    // Called under the state's lock.
    void enqueue (std::string text)
    {
        {
            const std::lock_guard<std::mutex> guard (outgoingLock);
            queuedBytes += text.size();
            outgoing.push_back (std::move (text));
            if (queuedBytes > outgoingCapBytes)
                overflowed = true;
        }
        wakePipe.wake();
    }

    void replace()
    {
        replaced = true;
        wakePipe.wake();
    }

    std::atomic<bool> finished { false };

private:
    bool handleRequest();
    void refuse (const juce::String& reason)
    {
        juce::Logger::writeToLog ("[FrontEndHost] refused: " + reason);
        send (wire::emptyAnswer ("HTTP/1.1 403 Forbidden", { allowOriginLine }));
    }
    void answerResource (const wire::HttpRequest& request);
    void runPage();
    bool flush();
    void deliver (const std::string& text);
    bool send (const std::string& bytes) { return wire::writeAll (*socket, bytes, stopCheck()); }
    wire::ShouldStop stopCheck()
    {
        return [this] { return threadShouldExit(); };
    }

    std::shared_ptr<State> state;
    const std::unique_ptr<juce::StreamingSocket> socket;
    std::mutex closeLock, outgoingLock;
    std::deque<std::string> outgoing;
    size_t queuedBytes = 0;
    std::atomic<bool> replaced { false }, overflowed { false };
    WakePipe wakePipe;
};

void LoopbackFrontEndHost::Connection::run()
{
    if (handleRequest())
        runPage();
    {
        const std::lock_guard<std::mutex> guard (closeLock);
        socket->close();
    }
    finished = true;
}

bool LoopbackFrontEndHost::Connection::handleRequest()
{
    const auto head = wire::readRequestHead (*socket, { 50, 200, 16384, 65536 }, stopCheck());
    if (! head || head->empty())
        return false;
    const auto request = wire::parseRequestHead (*head);

    const auto portText = std::to_string (state->port);
    const auto host = request.header ("Host").value_or ("");
    if (host != "127.0.0.1:" + portText && host != "localhost:" + portText)
    {
        refuse ("foreign Host \"" + juce::String::fromUTF8 (host.c_str()) + "\"");
        return false;
    }

    const auto presented = wire::urlDecode (wire::queryParameter (request.query, "token").value_or (""), true);
    const bool tokenOk = wire::constantTimeEquals (presented, state->token);
    const bool cookieOk = wire::constantTimeEquals (cookieValue (request, cookieName).value_or (""), state->cookie);

    if (request.header ("Upgrade").has_value())
    {
        const auto origin = request.header ("Origin");
        if (! origin)
            refuse ("upgrade without Origin");
        else if (*origin != state->origin().toStdString() && *origin != developmentOrigin)
            refuse ("foreign Origin \"" + juce::String::fromUTF8 (origin->c_str()) + "\"");
        else if (! tokenOk && ! cookieOk)
            refuse ("upgrade without token or cookie");
        else if (request.path != "/__host/ws")
            send (wire::emptyAnswer ("HTTP/1.1 404 Not Found", { allowOriginLine }));
        else if (const auto refusal = wire::refuseHandshake (request, { allowOriginLine }))
            send (*refusal);
        else
            return send (wire::acceptHandshake (request));
        return false;
    }

    if (! tokenOk && ! cookieOk)
    {
        refuse ("no token or cookie for " + juce::String::fromUTF8 (request.path.c_str()));
        return false;
    }
    if (request.method != "GET" && request.method != "HEAD")
    {
        send (wire::emptyAnswer ("HTTP/1.1 405 Method Not Allowed", { "Allow: GET, HEAD", allowOriginLine }));
        return false;
    }
    if (tokenOk)
    {
        const auto rest = queryWithoutToken (request.query);
        send (wire::emptyAnswer ("HTTP/1.1 303 See Other", { "Location: " + request.path + (rest.empty() ? "" : "?" + rest),
                                                             "Set-Cookie: " + std::string (cookieName) + "=" + state->cookie + "; Path=/; HttpOnly; SameSite=Strict",
                                                             "Cache-Control: no-store", allowOriginLine }));
        return false;
    }
    answerResource (request);
    return false;
}

void LoopbackFrontEndHost::Connection::answerResource (const wire::HttpRequest& request)
{
    std::optional<FrontEndResource> resource;
    if (request.path == "/__host/bridge.js")
    {
        const auto script = bridgeScript (state->port);
        resource = FrontEndResource { std::vector<std::byte> ((const std::byte*) script.data(), (const std::byte*) script.data() + script.size()),
                                      "text/javascript; charset=utf-8\nCache-Control: no-store" };
    }
    else
    {
        // The provider runs on the message thread; this thread waits for it, watching its exit signal.
        struct Answer
        {
            std::optional<FrontEndResource> resource;
            juce::WaitableEvent done;
        };
        auto answer = std::make_shared<Answer>();
        const auto target = juce::String::fromUTF8 (request.target.c_str());
        juce::MessageManager::callAsync ([answer, weakState = std::weak_ptr<State> (state), target]
        {
            if (auto shared = weakState.lock())
            {
                ResourceProvider provider;
                {
                    const std::lock_guard<std::mutex> guard (shared->lock);
                    provider = shared->provider;
                }
                if (provider)
                    answer->resource = provider (target);
            }
            answer->done.signal();
        });
        for (int waited = 0; ! answer->done.wait (50); waited += 50)
            if (threadShouldExit() || waited >= providerWaitMs)
                return;
        resource = std::move (answer->resource);
    }

    if (! resource)
    {
        send (wire::emptyAnswer ("HTTP/1.1 404 Not Found", { allowOriginLine }));
        return;
    }

    // The MIME text's first line is the type; each further line is a header line of its own.
    auto lines = juce::StringArray::fromLines (resource->mimeType);
    lines.removeEmptyStrings();
    const auto type = lines.isEmpty() ? juce::String ("application/octet-stream") : lines[0];
    std::string body ((const char*) resource->data.data(), resource->data.size());
    if (type.startsWithIgnoreCase ("text/html"))
        body = withBridgeScript (std::move (body));

    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: " + type.toStdString() + "\r\n";
    for (int i = 1; i < lines.size(); ++i)
        head += lines[i].trim().toStdString() + "\r\n";
    head += "Content-Length: " + std::to_string (body.size()) + "\r\n" + allowOriginLine + "\r\nConnection: close\r\n\r\n";
    if (send (head) && request.method != "HEAD")
        send (body);
}

//==============================================================================
// A page's link.
void LoopbackFrontEndHost::Connection::runPage()
{
    Connection* older = nullptr;
    {
        const std::lock_guard<std::mutex> guard (state->lock);
        older = state->page;
        state->page = this;
        if (older != nullptr)
            older->replace();
    }
    postSharedCallback (std::weak_ptr<State> (state), &State::newPageListener);

    wire::WebSocketReader reader (*socket, inboundCapBytes, frameCompletionMs);
    std::optional<std::string> closeToSend;
    using Outcome = wire::WebSocketReader::Outcome;
    while (! threadShouldExit())
    {
        if (replaced.load())
        {
            closeToSend = wire::encodeFrame (wire::opcode::close, std::string ("\x03\xe8replaced", 10));
            break;
        }
        if (overflowed.load())
        {
            closeToSend = wire::encodeCloseFrame (wire::closeCode::policyViolation);
            break;
        }
        if (! flush() || ! socket->isConnected())
            break;

        short revents = 0;
        const auto waited = wakePipe.waitForReadable (socket->getRawSocketHandle(), revents, 50);
        if (waited == WakePipe::Wait::failed)
            break;
        if (waited == WakePipe::Wait::woken)
            wakePipe.clearWakes();
        if (waited != WakePipe::Wait::ready || revents == 0)
            continue;

        std::string payload;
        const auto outcome = reader.readNext (payload, stopCheck());
        if (outcome == Outcome::message)
            deliver (payload);
        else if (outcome == Outcome::ping)
        {
            if (! send (wire::encodeFrame (wire::opcode::pong, payload)))
                break;
        }
        else if (wire::endsLink (outcome))
        {
            closeToSend = wire::closeFrameAnswering (outcome, payload);
            break;
        }
    }

    {
        const std::lock_guard<std::mutex> guard (state->lock);
        if (state->page == this)
            state->page = nullptr;
    }
    if (closeToSend && send (*closeToSend))
        wire::finishAfterClosing (*socket, 1000, stopCheck());
}

bool LoopbackFrontEndHost::Connection::flush()
{
    for (;;)
    {
        std::string next;
        {
            const std::lock_guard<std::mutex> guard (outgoingLock);
            if (outgoing.empty())
                return true;
            next = std::move (outgoing.front());
            outgoing.pop_front();
            queuedBytes -= next.size();
        }
        if (! send (wire::encodeFrame (wire::opcode::text, next)))
            return false;
    }
}

void LoopbackFrontEndHost::Connection::deliver (const std::string& text)
{
    // {"eventId": "toNative", "payload": <value>}; anything else is not for us.
    const auto message = parseJsonLine (text.data(), text.size());
    if (! message || message->getProperty ("eventId", {}).toString() != "toNative")
        return;
    postSharedCallback (std::weak_ptr<State> (state), &State::listener, message->getProperty ("payload", {}));
}

//==============================================================================
class LoopbackFrontEndHost::Acceptor final : public juce::Thread
{
public:
    Acceptor (std::shared_ptr<State> s, std::unique_ptr<juce::StreamingSocket> l)
        : juce::Thread ("FrontEndHostAccept"), state (std::move (s)), listener (std::move (l))
    {
    }

    ~Acceptor() override
    {
        signalThreadShouldExit();
        listener->close();
        awaitThreadEnd (*this, threadStopMs, "[FrontEndHost]");
        for (auto& connection : connections)
            connection->endNow();
        connections.clear();
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            connections.remove_if ([] (const auto& c) { return c->finished.load(); });
            if (listener->waitUntilReady (true, 500) <= 0)
                continue;
            std::unique_ptr<juce::StreamingSocket> accepted (listener->waitForNextConnection());
            if (accepted == nullptr || threadShouldExit())
                continue;
            if ((int) connections.size() >= maxConnections)
            {
                juce::Logger::writeToLog ("[FrontEndHost] refused: too many connections");
                continue;
            }
            connections.push_back (std::make_unique<Connection> (state, std::move (accepted)));
            connections.back()->startThread();
        }
    }

private:
    std::shared_ptr<State> state;
    std::unique_ptr<juce::StreamingSocket> listener;
    std::list<std::unique_ptr<Connection>> connections; // the accept thread's own
};

//==============================================================================
LoopbackFrontEndHost::LoopbackFrontEndHost (int port) : state (std::make_shared<State>())
{
    state->port = port;
    state->token = randomHex (16);
    state->cookie = randomHex (16);
}

LoopbackFrontEndHost::~LoopbackFrontEndHost()
{
    {
        const std::lock_guard<std::mutex> guard (state->lock);
        state->provider = nullptr;
        state->listener = nullptr;
        state->newPageListener = nullptr;
    }
    acceptor.reset();
}

bool LoopbackFrontEndHost::start()
{
    if (state->token.empty() || state->cookie.empty())
        return false;
    auto listener = std::make_unique<juce::StreamingSocket>();
    const auto asked = state->port;
    if (asked < 0 || asked > 65535 || ! listener->createListener (asked, "127.0.0.1"))
    {
        if (! listener->createListener (0, "127.0.0.1"))
        {
            juce::Logger::writeToLog ("[FrontEndHost] cannot listen on 127.0.0.1");
            return false;
        }
        juce::Logger::writeToLog ("[FrontEndHost] port " + juce::String (asked) + " is taken; using " + juce::String (listener->getBoundPort()));
    }
    state->port = listener->getBoundPort();
    acceptor = std::make_unique<Acceptor> (state, std::move (listener));
    acceptor->startThread();
    std::fprintf (stderr, "[FrontEndHost] Front end at %s\n", getStartUrl().toRawUTF8());
    std::fflush (stderr);
    return true;
}

juce::String LoopbackFrontEndHost::getStartUrl() const
{
    return getResourceProviderRoot() + "?token=" + juce::String (state->token);
}

void LoopbackFrontEndHost::setResourceProvider (ResourceProvider provider, const juce::String&)
{
    const std::lock_guard<std::mutex> guard (state->lock);
    state->provider = std::move (provider);
}

juce::String LoopbackFrontEndHost::getResourceProviderRoot() const
{
    return state->origin() + "/";
}

void LoopbackFrontEndHost::setToNativeListener (ToNativeListener listener)
{
    const std::lock_guard<std::mutex> guard (state->lock);
    state->listener = std::move (listener);
}

void LoopbackFrontEndHost::setNewPageListener (std::function<void()> listener)
{
    const std::lock_guard<std::mutex> guard (state->lock);
    state->newPageListener = std::move (listener);
}

void LoopbackFrontEndHost::emitEventIfVisible (const juce::Identifier& eventName, const juce::var& payload)
{
    const std::lock_guard<std::mutex> guard (state->lock);
    if (state->page == nullptr)
        return;
    auto* envelope = new juce::DynamicObject();
    const juce::var message (envelope);
    envelope->setProperty ("eventId", eventName.toString());
    envelope->setProperty ("payload", payload);
    state->page->enqueue (toCompactJson (message));
}

bool LoopbackFrontEndHost::isFrontEndVisible() const
{
    const std::lock_guard<std::mutex> guard (state->lock);
    return state->page != nullptr;
}

void LoopbackFrontEndHost::goToURL (const juce::String&)
{
    // The browser opens the start URL; the page it loads is the provider's (or the development
    // server's, which loads the bridge script from here by its full URL).
}

int frontEndPortFromArguments (const juce::StringArray& arguments)
{
    for (const auto& argument : arguments)
        if (argument.startsWith ("--frontend-port="))
        {
            const auto value = argument.fromFirstOccurrenceOf ("=", false, false);
            if (value.containsOnly ("0123456789") && value.isNotEmpty() && value.length() <= 5)
                return value.getIntValue();
        }
    return LoopbackFrontEndHost::defaultPort;
}
} // namespace quorvelle::platform
