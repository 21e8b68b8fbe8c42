#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <string>

namespace quorvelle
{
// Receives the browser's sign-in redirect on a loopback port: answers it with a short page and
// hands the full redirect URL to the callback, posted to the message thread. Requests without
// "code=" or "error=" get 404 and the listener keeps waiting; it ends after one redirect or
// 300000 ms, leaving its port bound (and unanswered) until the next start or stop.
//
// Threads: start, stop and the destructor on the message thread (stopping waits up to 2000 ms);
// the thread "OAuthLoopback" (low priority) accepts, reads and answers.
class OAuthLoopbackServer final : public juce::Thread
{
public:
    using Callback = std::function<void (const juce::String& callbackUrl)>;

    OAuthLoopbackServer();
    ~OAuthLoopbackServer() override;

    // Stops a running listener, installs the callback and listens on the first free port of
    // `ports`; false when none could be bound.
    bool start (Callback callback);
    void stop();
    juce::String getRedirectUri() const;

    void run() override;

    static constexpr int ports[] = { 53682, 53683, 53684, 49737, 49738, 51877, 51878 };
    static constexpr juce::uint32 listenMs = 300000;

private:
    std::string readRequest (juce::StreamingSocket& connection);
    void sendResponse (juce::StreamingSocket& connection, bool success);
    void postCallback (const juce::String& url);

    std::unique_ptr<juce::StreamingSocket> listener;
    Callback callback;
    int port = 0;

    JUCE_DECLARE_NON_COPYABLE (OAuthLoopbackServer)
};
} // namespace quorvelle
