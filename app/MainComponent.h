#pragma once

#include "app/GpuBootGuard.h"
#include "app/MetricsCollector.h"
#include "audio/engine/AudioEngine.h"
#include "bridge/DispatchTable.h"
#include "bridge/JsonBridge.h"
#include "net/cloud/CloudSync.h"
#include "net/redundancy/RedundancyEngine.h"
#include "net/session/SessionServer.h"
#include "platform/FrontEndHost.h"
#include "typedbridge/TypedBridge.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace quorvelle
{
// The main window's content and the owner of every long-lived service. Builds the services in a
// fixed order, wires the bridge and the event sinks, starts the engine on a start-up thread, runs
// the quit handshake with the front end and tears everything down in reverse order.
class MainComponent final : public juce::Component
{
public:
    struct Options
    {
        // Builds the typed bridge (tests pass a recording fake); empty: the real one.
        std::function<std::unique_ptr<TypedBridge> (platform::FrontEndHost*)> makeTypedBridge;
        // Tests hold engine readiness themselves (see AudioEngine::markInitialiseCompleteForTesting).
        bool holdEngineReadiness = false;
        // Where the packaged front end lives; empty: "frontend" beside the executable.
        juce::File frontendFolder;
        // The engine the transport, song, click-section and count rows call (tests pass a
        // recording fake); null: the component's own engine.
        EngineOperations* engineOperations = nullptr;
    };

    // The host outlives the component.
    explicit MainComponent (platform::FrontEndHost& host);
    MainComponent (platform::FrontEndHost& host, Options options);
    ~MainComponent() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    //==============================================================================
    // Front end in: the "toNative" listener, and the dispatcher every request passes.
    void onToNative (const juce::var& payload);
    void handleBridgeMessage (const juce::var& message);

    // Front end out. `sendEvent` is the body of every EventSink (any thread); `emitFromNative`
    // routes one event to its JSON and typed forms (message thread); `sendDirect` hands an object
    // straight to the front end as JSON (message thread).
    void sendEvent (const juce::String& eventName, const juce::var& payload);
    void emitFromNative (const juce::String& eventName, const juce::var& payload);
    void sendDirect (const juce::var& payload);
    void notifyUpdateAvailable (const juce::String& version);
    // Sends a metrics snapshot straight to the front end as JSON (message thread).
    void emitMetricsSnapshot (const juce::var& payload);
    // Quits the application, when there is one, once an update has been handed to the updater.
    void quitAfterUpdate();
    // Hands the sign-in redirect's URL to the front end: {"action": "OAUTH_CALLBACK", "url"}
    // through `emitFromNative` (message thread).
    void emitOAuthCallback (const juce::String& url);

    // Quit handshake.
    void requestQuit();
    bool isQuitRequested() const { return quitRequested; }
    bool isQuitOnHold() const { return quitOnHold; }

    void logStartup (const juce::String& text);

    // Clears the message ids seen so far: a new page numbers its messages from the start again.
    void forgetSeenMessageIds();

    //==============================================================================
    // Resource provider.
    std::optional<platform::FrontEndResource> serveResource (const juce::String& path);
    // The provider's work with its folders given, so it can be exercised on any folders.
    static std::optional<platform::FrontEndResource> serveResourceFrom (const juce::String& path, const juce::File& frontendFolder,
                                                                        const juce::File& storageRoot, const juce::String& providerRoot);
    // Reads a whole file within the 128 MiB cap. False when it cannot be opened, is over the cap,
    // cannot be allocated, or does not read back whole.
    static bool readFileCapped (const juce::File& file, std::vector<std::byte>& bytes);
    static constexpr juce::int64 resourceSizeCap = 134'217'728;
    // The Content-Security-Policy header line of HTML pages, for the given provider root.
    static juce::String contentSecurityPolicyLine (const juce::String& providerRoot);

    //==============================================================================
    // Extension points for the action families and the services.
    DispatchTable& getDispatchTable() { return dispatchTable; }
    AudioEngine& getAudioEngine() { return audioEngine; }
    TypedBridge& getTypedBridge() { return *typedBridge; }
    SessionServer& getSessionServer() { return sessionServer; }
    RedundancyEngine& getRedundancyEngine() { return redundancyEngine; }
    OAuthLoopbackServer& getOAuthServer() { return oauthServer; }
    UploadQueue& getUploadQueue() { return uploadQueue; }
    UploadWorker& getUploadWorker() { return uploadWorker; }
    DownloadWorker& getDownloadWorker() { return downloadWorker; }
    platform::FrontEndHost& getBrowser() { return browser; }
    MetricsCollector* getMetricsCollector() { return metricsCollector.get(); }

    // Posts `work` to the message thread; it runs only while this component still exists. The
    // returned poster holds no pointer to the component, so job threads may keep and call it.
    using Poster = std::function<void (std::function<void()> work)>;
    Poster makePoster() const;
    void postToMessageThread (std::function<void()> work) const { makePoster() (std::move (work)); }

    // Joins the start-up thread (tests wait for the engine's start-up to finish).
    void waitForStartupThread();

    juce::File getFrontendFolder() const { return frontendFolder; }

private:
    struct Liveness
    {
    };

    void dispatch (const juce::var& message, bool isGateRepost);
    void registerFrameActions();
    void registerAnalysisActions();
    void registerDeviceActions();
    void registerRoutingActions();
    void registerMixerActions();
    void registerFileActions();
    void registerStretchCacheActions();
    void registerCloudActions();
    void registerSessionActions();
    void registerRedundancyActions();
    void registerHostActions();
    void registerTransportActions();
    // The posted bodies of "TRANSPORT_CONTROL" and "LOAD_SONG", on the dispatch-time copies.
    void executeTransportCommand (const juce::String& command, const juce::var& payload);
    void executeLoadSong (const juce::var& request);
    // The posted bodies of "PRELOAD_SONG" and "ACTIVATE_PRELOADED" (MainComponentPreloads.cpp).
    void executePreloadSong (const juce::var& request);
    void executeActivatePreloaded (const juce::var& request);
    void registerMidiActions();
    void registerPadActions();
    // The count and overlap rows: posted bodies on the dispatch-time copies of their requests.
    void registerCountActions();
    void registerExportActions();
    void executeStartCountRegionVoice (const juce::var& request);
    void executeStartCountIn (const juce::var& request);
    void executeScheduleOverlapTransition (const juce::var& request);
    void startMetricsTimer();
    void startupThreadBody();
    void quitFallback();
    void sendBackendReadyDirect();

    double constructionStartMs;
    // Before anything else is built: the GPU-mode guard marks this start and sets the browser's
    // arguments.
    bool webViewArgumentsSet = setWebViewBrowserArguments();
    std::set<int> seenMessageIds;
    bool quitRequested = false;
    bool quitOnHold = false;
    int gateDeferralCount = 0;
    platform::FrontEndHost& browser;
    juce::File frontendFolder;
    JsonBridge jsonBridge;
    std::unique_ptr<TypedBridge> typedBridge;
    AudioEngine audioEngine;
    EngineOperations& engineOperations;
    SessionServer sessionServer;
    RedundancyEngine redundancyEngine;
    OAuthLoopbackServer oauthServer;
    UploadQueue uploadQueue;
    UploadWorker uploadWorker;
    DownloadWorker downloadWorker;
    DispatchTable dispatchTable;
    std::unique_ptr<MetricsCollector> metricsCollector;
    std::shared_ptr<Liveness> liveness;
    std::thread startupThread;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
} // namespace quorvelle
