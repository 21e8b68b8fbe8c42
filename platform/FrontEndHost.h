#pragma once

#include <juce_core/juce_core.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvelle::platform
{
// What the host hands back for one request to the resource-provider origin: the body and a
// MIME-type text. The MIME text may carry further header lines after a line feed; a host that
// writes real headers splits them there.
struct FrontEndResource
{
    std::vector<std::byte> data;
    juce::String mimeType;
};

// The place the web front end lives in. The program sees only this: it sets the resource provider,
// listens to "toNative" payloads and emits "fromNative" events, which are dropped while the front
// end is not visible. Every member is used on the message thread unless it says otherwise.
class FrontEndHost
{
public:
    using ResourceProvider = std::function<std::optional<FrontEndResource> (const juce::String& path)>;
    using ToNativeListener = std::function<void (const juce::var& payload)>;

    virtual ~FrontEndHost() = default;

    // The function that answers requests below the resource-provider root, and the one foreign
    // origin allowed to fetch from it.
    virtual void setResourceProvider (ResourceProvider provider, const juce::String& allowedOrigin) = 0;

    // The root of the resource provider, ending in "/" (used for navigation and for the page's
    // Content-Security-Policy).
    virtual juce::String getResourceProviderRoot() const = 0;

    // The listener of the "toNative" event; called on the message thread.
    virtual void setToNativeListener (ToNativeListener listener) = 0;

    // Sends one event to the front end; discarded (no queue, no retry) while it is not visible.
    virtual void emitEventIfVisible (const juce::Identifier& eventName, const juce::var& payload) = 0;

    virtual bool isFrontEndVisible() const = 0;

    // Loads the front end from `url`.
    virtual void goToURL (const juce::String& url) = 0;

    // Called on the message thread when a new page has connected: it numbers its messages from the
    // start again. Hosts with one lasting front end never call it.
    virtual void setNewPageListener (std::function<void()> listener) { juce::ignoreUnused (listener); }
};

// The origin of a root such as "https://juce.backend/" (scheme and authority, no trailing "/").
juce::String originOfUrl (const juce::String& url);

// Compact JSON text of a value: no spaces, non-ASCII written as UTF-8, doubles that hold whole
// numbers written without a fraction, NaN and infinities as null. Keys keep their order.
std::string toCompactJson (const juce::var& value);

// True when JSON text nests at most `maxDepth` arrays and objects deep, counting brackets outside
// strings. It looks only at ASCII bytes, so it reads UTF-8 as it is and does not check it.
bool jsonNestingWithin (const char* data, size_t size, int maxDepth);

// Parses one line of JSON text. Empty when it is not valid UTF-8, not valid JSON, or nests deeper
// than `maxDepth` (the parser recurses per level, so an unbounded depth would exhaust the stack).
std::optional<juce::var> parseJsonLine (const char* data, size_t size, int maxDepth = 512);

//==============================================================================
// An in-process host for tests: records every event it would send, lets the test deliver
// "toNative" payloads, and can be made invisible.
class RecordingFrontEndHost final : public FrontEndHost
{
public:
    struct Event
    {
        juce::String name;
        juce::var payload;
    };

    explicit RecordingFrontEndHost (juce::String root = "https://juce.backend/");

    void setResourceProvider (ResourceProvider provider, const juce::String& allowedOrigin) override;
    juce::String getResourceProviderRoot() const override { return root; }
    void setToNativeListener (ToNativeListener listener) override;
    void emitEventIfVisible (const juce::Identifier& eventName, const juce::var& payload) override;
    bool isFrontEndVisible() const override { return visible.load(); }
    void goToURL (const juce::String& url) override;

    void setVisible (bool shouldBeVisible) { visible = shouldBeVisible; }

    // Hands a payload to the listener, as the front end would.
    void deliverToNative (const juce::var& payload);
    // Asks the resource provider, as the front end would.
    std::optional<FrontEndResource> request (const juce::String& path) const;

    std::vector<Event> events() const;
    void clearEvents();
    juce::String getCurrentURL() const;
    juce::String getAllowedOrigin() const;

private:
    const juce::String root;
    std::atomic<bool> visible { true };
    ResourceProvider provider;
    ToNativeListener listener;
    mutable std::mutex lock;
    std::vector<Event> recorded;
    juce::String currentUrl, allowedOrigin;
};

//==============================================================================
// A host with no front end attached: nothing is ever visible, so every event is dropped, and no
// payload ever arrives. The window runs with it until a front end can reach the program.
class DetachedFrontEndHost final : public FrontEndHost
{
public:
    explicit DetachedFrontEndHost (juce::String root = "https://juce.backend/") : root (std::move (root)) {}

    void setResourceProvider (ResourceProvider, const juce::String&) override {}
    juce::String getResourceProviderRoot() const override { return root; }
    void setToNativeListener (ToNativeListener) override {}
    void emitEventIfVisible (const juce::Identifier&, const juce::var&) override {}
    bool isFrontEndVisible() const override { return false; }
    void goToURL (const juce::String&) override {}

private:
    const juce::String root;
};

//==============================================================================
// The stdio host behind `--bridge-stdio`. Each line on stdin is one "toNative" payload; each event
// is one compact JSON line on a private copy of the original stdout, while descriptor 1 itself is
// pointed at stderr, so nothing else ever reaches the event stream. Its front end always counts as
// visible. When stdin ends, `onEndOfInput` is posted to the message thread behind every line read.
class StdioFrontEndHost final : public FrontEndHost
{
public:
    // Moves the original stdout aside for events (once per process) and points descriptor 1 at
    // stderr. Returns the private descriptor, or -1 when it could not be duplicated.
    static int reserveStdoutForEvents();

    // `inputFd` and `outputFd` default to stdin and the reserved stdout; tests pass pipes.
    StdioFrontEndHost (std::function<void()> onEndOfInput, int inputFd = -1, int outputFd = -1,
                       juce::String root = "https://juce.backend/");
    ~StdioFrontEndHost() override;

    void setResourceProvider (ResourceProvider provider, const juce::String& allowedOrigin) override;
    juce::String getResourceProviderRoot() const override { return root; }
    void setToNativeListener (ToNativeListener listener) override;
    // Callable from any thread: each event is written whole, never interleaved with another.
    void emitEventIfVisible (const juce::Identifier& eventName, const juce::var& payload) override;
    bool isFrontEndVisible() const override { return true; }
    void goToURL (const juce::String& url) override;

    // Starts reading stdin (after the listener is set, so no early line is lost).
    void start();
    // Stops the reader; returns within the reader's wake-up bound.
    void stop();

private:
    class Reader;
    struct Shared;

    const juce::String root;
    std::shared_ptr<Shared> shared;
    std::unique_ptr<Reader> reader;
    int outFd = -1;
    std::mutex writeLock;
};
} // namespace quorvelle::platform
