#pragma once

#include "platform/FrontEndHost.h"

#include <memory>

namespace quorvelle::platform
{
// The front end in any browser: HTTP on 127.0.0.1 serves the resource provider's answers, and one
// WebSocket per page carries the "toNative" and "fromNative" events. A small script, put first in
// every HTML page's head, gives the page JUCE's `window.__JUCE__.backend` calls.
//
// Access: the URL logged at start carries a random token; its first request is redirected without
// it and sets an HttpOnly cookie. Every request needs the cookie or the token, a Host of this
// port, and an upgrade an Origin of this host (or the development server's). One page at a time:
// a new page replaces the older one.
//
// Threads: an accept thread ("FrontEndHostAccept") and one thread per connection. Requests to the
// resource provider and "toNative" payloads are handed to the message thread, in order.
class LoopbackFrontEndHost final : public FrontEndHost
{
public:
    static constexpr int defaultPort = 47621;
    static constexpr const char* developmentOrigin = "http://127.0.0.1:5173";

    // `port`: the port to listen on (taken: a free one is used and logged); 0 picks a free one.
    explicit LoopbackFrontEndHost (int port = defaultPort);
    ~LoopbackFrontEndHost() override; // ends every thread

    // Listens and writes the start-up line to stderr. False when no port could be bound.
    bool start();
    // "http://127.0.0.1:<port>/?token=<token>".
    juce::String getStartUrl() const;

    void setResourceProvider (ResourceProvider provider, const juce::String& allowedOrigin) override;
    juce::String getResourceProviderRoot() const override;
    void setToNativeListener (ToNativeListener listener) override;
    // Any thread. Dropped while no page is connected.
    void emitEventIfVisible (const juce::Identifier& eventName, const juce::var& payload) override;
    bool isFrontEndVisible() const override;
    void goToURL (const juce::String& url) override;
    void setNewPageListener (std::function<void()> listener) override;

    // The outgoing bytes a page may have waiting before its link is closed (1008).
    static constexpr size_t outgoingCapBytes = (size_t) 256 << 20;
    // The largest message a page may send: the bridge's largest payload and the envelope.
    static constexpr size_t inboundCapBytes = 1'500'000'000 + 65'536;

private:
    class Connection;
    class Acceptor;
    struct State;

    std::shared_ptr<State> state;
    std::unique_ptr<Acceptor> acceptor;
};

// The program's argument for the host's port: the value of "--frontend-port=<n>", or the default.
int frontEndPortFromArguments (const juce::StringArray& arguments);
} // namespace quorvelle::platform
