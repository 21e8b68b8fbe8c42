#include "app/MainComponent.h"

#include "platform/AssetFiles.h"
#include "platform/StorageRoot.h"
#include "bridge/AnalysisJobs.h"
#include "bridge/TypedEventMapping.h"
#include "platform/SystemProbes.h"

#include <new>

namespace quorvelle
{
namespace
{
juce::File defaultFrontendFolder()
{
    return juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory().getChildFile ("frontend");
}

juce::String frontendMimeType (const juce::String& extension)
{
    if (extension == ".html") return "text/html";
    if (extension == ".js" || extension == ".mjs") return "text/javascript";
    if (extension == ".css") return "text/css";
    if (extension == ".json") return "application/json";
    if (extension == ".svg") return "image/svg+xml";
    if (extension == ".png") return "image/png";
    if (extension == ".jpg" || extension == ".jpeg") return "image/jpeg";
    if (extension == ".webp") return "image/webp";
    if (extension == ".ico") return "image/x-icon";
    if (extension == ".woff2") return "font/woff2";
    if (extension == ".woff") return "font/woff";
    if (extension == ".ttf") return "font/ttf";
    return "application/octet-stream";
}

juce::String localFileMimeType (const juce::String& extension)
{
    if (extension == ".wav") return "audio/wav";
    if (extension == ".flac") return "audio/flac";
    if (extension == ".mp3") return "audio/mpeg";
    if (extension == ".aac" || extension == ".m4a") return "audio/aac";
    if (extension == ".ogg") return "audio/ogg";
    if (extension == ".jpg" || extension == ".jpeg") return "image/jpeg";
    if (extension == ".png") return "image/png";
    if (extension == ".webp") return "image/webp";
    if (extension == ".gif") return "image/gif";
    return "application/octet-stream";
}

int hexValue (char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "+" becomes a space, then each "%" with two hex digits becomes that byte. Empty when the result
// is not valid UTF-8.
std::optional<juce::String> urlDecodePath (const juce::String& text)
{
    const std::string in = text.toStdString();
    std::string plus;
    plus.reserve (in.size());
    for (char c : in)
        plus.push_back (c == '+' ? ' ' : c);

    std::string out;
    out.reserve (plus.size());
    for (size_t i = 0; i < plus.size(); ++i)
    {
        if (plus[i] == '%' && i + 2 < plus.size())
        {
            const int hi = hexValue (plus[i + 1]), lo = hexValue (plus[i + 2]);
            if (hi >= 0 && lo >= 0)
            {
                out.push_back ((char) (hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back (plus[i]);
    }

    if (! juce::CharPointer_UTF8::isValidString (out.data(), (int) out.size()))
        return std::nullopt;
    return juce::String::fromUTF8 (out.data(), (int) out.size());
}

// The file below `folder` that `relative` names, when it lies inside the folder, exists and is
// not a folder.
std::optional<juce::File> fileInside (const juce::File& folder, const juce::String& relative)
{
    if (folder == juce::File())
        return std::nullopt;
    const auto file = folder.getChildFile (relative);
    if (! file.isAChildOf (folder) || ! file.existsAsFile())
        return std::nullopt;
    return file;
}
} // namespace

//==============================================================================
MainComponent::MainComponent (platform::FrontEndHost& host) : MainComponent (host, Options {}) {}

MainComponent::MainComponent (platform::FrontEndHost& host, Options options)
    : constructionStartMs (juce::Time::getMillisecondCounterHiRes()),
      browser (host),
      frontendFolder (options.frontendFolder == juce::File() ? defaultFrontendFolder() : options.frontendFolder),
      jsonBridge (&browser),
      typedBridge (options.makeTypedBridge ? options.makeTypedBridge (&browser) : std::make_unique<TypedBridge> (&browser)),
      audioEngine ([this] (const juce::String& name, const juce::var& payload) { sendEvent (name, payload); },
                   [] { return getStorageRoot(); }),
      engineOperations (options.engineOperations != nullptr ? *options.engineOperations : audioEngine),
      redundancyEngine (&audioEngine),
      uploadQueue (getStorageRoot().getChildFile ("upload-queue.json")),
      uploadWorker (&uploadQueue),
      downloadWorker ([] { return getStorageRoot(); }),
      liveness (std::make_shared<Liveness>())
{
    logStartup ("MainComponent constructor START");

    jsonBridge.onAction = [this] (const juce::var& message) { handleBridgeMessage (message); };
    typedBridge->setRequestHandler ([this] (const juce::var& request) { handleBridgeMessage (request); },
                                    [this] (const juce::String& line) { audioEngine.debugLog (line); });

    const EventSink sink = [this] (const juce::String& name, const juce::var& payload) { sendEvent (name, payload); };
    sessionServer.eventSink = sink;
    redundancyEngine.eventSink = sink;
    uploadWorker.eventSink = sink;
    downloadWorker.eventSink = sink;
    audioEngine.memoryProbe = []
    {
        const auto bytes = platform::availablePhysicalMemoryBytes();
        return bytes < 0 ? std::numeric_limits<juce::uint64>::max() : (juce::uint64) bytes;
    };

    registerFrameActions();
    registerDeviceActions();
    registerRoutingActions();
    registerMixerActions();
    registerFileActions();
    registerStretchCacheActions();
    registerSessionActions();
    registerRedundancyActions();
    registerMidiActions();
    registerPadActions();
    registerCountActions();
    registerExportActions();
    logStartup ("MainComponent: bridge + events wired");

    browser.setToNativeListener ([this] (const juce::var& payload) { onToNative (payload); });
    browser.setResourceProvider ([this] (const juce::String& path) { return serveResource (path); }, "http://127.0.0.1:5173");
    logStartup ("MainComponent: front-end host attached");

    if (frontendFolder.getChildFile ("index.html").existsAsFile())
    {
        logStartup ("MainComponent: loading packaged front end");
        browser.goToURL (browser.getResourceProviderRoot() + "index.html");
    }
    else
    {
        logStartup ("MainComponent: loading development server");
        browser.goToURL ("http://127.0.0.1:5173/");
    }

    setSize (1280, 720);

    logStartup ("MainComponent: launching audioEngine.initialise() on background thread...");
    audioEngine.debugLog (juce::String (juce::CharPointer_UTF8 ("[INIT-FLOW] MainComponent ctor: launching BG thread for audioEngine.initialise() — bridge is already accepting LOAD_SONG/PLAY in parallel")));
    if (options.holdEngineReadiness)
        audioEngine.setInitialiseHeldForTesting (true);
    startupThread = std::thread ([this] { startupThreadBody(); });
    logStartup ("MainComponent constructor DONE (audio init on BG thread, library sent on LOAD_LIBRARY)");
}

MainComponent::~MainComponent()
{
    // Nothing posted earlier may reach the component from here on.
    liveness.reset();
    browser.setToNativeListener ({});
    browser.setResourceProvider ({}, {});

    // The start-up thread uses the engine: it must be done before any member goes.
    waitForStartupThread();
}

void MainComponent::waitForStartupThread()
{
    if (startupThread.joinable())
    {
        audioEngine.releaseStartupWait();
        startupThread.join();
    }
}

void MainComponent::startupThreadBody()
{
    logStartup (juce::String (juce::CharPointer_UTF8 ("MainComponent: BG thread — calling audioEngine.initialise()...")));
    audioEngine.debugLog (juce::String (juce::CharPointer_UTF8 ("[INIT-FLOW] BG thread STARTED — calling audioEngine.initialise() now")));
    audioEngine.initialise();
    postToMessageThread ([this] { startMetricsTimer(); });
    logStartup (juce::String (juce::CharPointer_UTF8 ("MainComponent: BG thread — audioEngine.initialise() COMPLETE")));
    audioEngine.debugLog (juce::String (juce::CharPointer_UTF8 ("[INIT-FLOW] BG thread DONE — audioEngine.initialise() returned")));
}

void MainComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xff000000));
}

void MainComponent::resized()
{
}

void MainComponent::logStartup (const juce::String& text)
{
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - constructionStartMs) / 1000.0;
    juce::Logger::writeToLog ("[STARTUP " + juce::String (seconds, 2) + "s] " + text);
}

MainComponent::Poster MainComponent::makePoster() const
{
    return [weak = std::weak_ptr<Liveness> (liveness)] (std::function<void()> work)
    {
        juce::MessageManager::callAsync ([weak, work = std::move (work)]
        {
            if (weak.lock() != nullptr)
                work();
        });
    };
}

//==============================================================================
void MainComponent::onToNative (const juce::var& payload)
{
    jsonBridge.handleMessage (payload);
}

void MainComponent::handleBridgeMessage (const juce::var& message)
{
    dispatch (message, false);
}

void MainComponent::dispatch (const juce::var& message, bool isGateRepost)
{
    const auto action = message.getProperty ("action", {}).toString();
    const auto messageId = readMessageId (message);

    if (messageId >= 0 && ! isGateRepost)
    {
        const auto ack = makeObject ({ { "action", "MESSAGE_ACK" }, { "messageId", messageId } });
        if (seenMessageIds.count (messageId) != 0)
        {
            sendDirect (ack);
            return;
        }

        seenMessageIds.insert (messageId);
        if (seenMessageIds.size() > 100)
            seenMessageIds.erase (seenMessageIds.begin());
        sendDirect (ack);
    }

    if (! audioEngine.isInitialiseComplete() && isEngineGatedAction (action))
    {
        ++gateDeferralCount;
        if (gateDeferralCount == 1 || gateDeferralCount % 50 == 0)
            audioEngine.debugLog ("[BRIDGE-GATE] DEFERRING action=" + action + juce::String (juce::CharPointer_UTF8 (" — engine not ready (initialise() en curso) | deferidos="))
                                  + juce::String (gateDeferralCount));

        juce::Timer::callAfterDelay (50, [weak = std::weak_ptr<Liveness> (liveness), this, copy = message]
        {
            if (weak.lock() != nullptr)
                dispatch (copy, true);
        });
        return;
    }

    if (gateDeferralCount > 0 && audioEngine.isInitialiseComplete())
    {
        audioEngine.debugLog (juce::String (juce::CharPointer_UTF8 ("[BRIDGE-GATE] gate liberado — ")) + juce::String (gateDeferralCount)
                              + " deferral(s) durante initialise() (re-encolados y procesados)");
        gateDeferralCount = 0;
    }

    const auto* entry = dispatchTable.find (action);
    if (entry == nullptr)
        return;

    switch (entry->mode)
    {
        case DispatchMode::inlineCall:
            entry->handler (message);
            break;

        case DispatchMode::posted:
            postToMessageThread ([handler = entry->handler, message] { handler (message); });
            break;

        case DispatchMode::job:
            juce::Thread::launch ([handler = entry->handler, message] { handler (message); });
            break;
    }
}

void MainComponent::registerFrameActions()
{
    dispatchTable.add ("TYPED_BRIDGE_V1", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto data = message.getProperty ("data", {}).toString();
        if (exceedsBridgeLimit (data, bridgeLimits::typedBridgeData, "TYPED_BRIDGE_V1"))
            return;
        typedBridge->dispatchBase64 (data.toStdString());
    });

    dispatchTable.add ("CORE_INVOKE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto id = message.getProperty ("id", {}).toString();
        const auto method = message.getProperty ("method", {}).toString();
        const auto payloadJson = message.getProperty ("payloadJson", {}).toString();
        const auto response = runCoreInvoke (method, payloadJson);
        sendDirect (makeObject ({ { "action", "CORE_INVOKE_RESPONSE" },
                                  { "id", id },
                                  { "responseJson", juce::String::fromUTF8 (response.data(), (int) response.size()) } }));
    });

    dispatchTable.add ("FRONTEND_READY", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        GpuBootGuard::instance().markFrontendReady();
        const bool ready = audioEngine.isInitialiseComplete();
        audioEngine.debugLog ("[FRONTEND-READY] received from JS | initialiseComplete=" + juce::String (ready ? "Y" : "N"));
        if (ready)
        {
            sendBackendReadyDirect();
            audioEngine.debugLog ("[FRONTEND-READY] re-emitted BACKEND_READY (initialise() had finished before JS listener wired)");
        }
        // Every new front-end session sends this first and numbers its requests from 0 again.
        forgetSeenMessageIds();
    });

    dispatchTable.add ("APP_QUIT_CONFIRMED", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        juce::Logger::writeToLog ("APP_QUIT_CONFIRMED: frontend cleared close, quitting");
        quitRequested = false;
        quitOnHold = false;
        if (juce::JUCEApplicationBase::getInstance() != nullptr)
            juce::JUCEApplicationBase::quit();
    });

    dispatchTable.add ("APP_QUIT_CANCELLED", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        juce::Logger::writeToLog ("APP_QUIT_CANCELLED: frontend vetoed close, staying open");
        quitRequested = false;
        quitOnHold = false;
    });

    dispatchTable.add ("APP_QUIT_HOLD", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        juce::Logger::writeToLog ("APP_QUIT_HOLD: frontend is showing a quit dialog, waiting");
        quitOnHold = true;
    });

    dispatchTable.add ("WINDOW_CLOSE", DispatchMode::inlineCall, [this] (const juce::var&) { requestQuit(); });

    dispatchTable.add ("WINDOW_MINIMIZE", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        if (auto* peer = getTopLevelComponent()->getPeer())
            peer->setMinimised (true);
    });

    dispatchTable.add ("WINDOW_TOGGLE_MAXIMIZE", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        auto* top = getTopLevelComponent();
        if (top->getPeer() == nullptr)
            return;
        if (auto* window = dynamic_cast<juce::ResizableWindow*> (top))
            window->setFullScreen (! window->isFullScreen());
    });

    // X11 window managers move a window only from a drag they start themselves: there is no
    // caption message to hand them, so the posted request has nothing to carry out here.
    dispatchTable.add ("WINDOW_BEGIN_DRAG", DispatchMode::posted, [] (const juce::var&) {});

    registerAnalysisActions();
    registerTransportActions();
    registerCloudActions();
    registerHostActions();
}

// The analysis jobs and the engine's automation. The jobs run on threads of their own and answer
// on the direct route, posted back while this component lives; they are not gated.
void MainComponent::registerAnalysisActions()
{
    const AnalysisJobContext jobs { makePoster(), [this] (const juce::var& event) { sendDirect (event); }, [] { return getStorageRoot(); } };
    dispatchTable.add ("FINGERPRINT_AUDIO_FILE", DispatchMode::job, makeFingerprintJobHandler (jobs));
    dispatchTable.add ("MEASURE_GROUP_LOUDNESS", DispatchMode::job, makeLoudnessJobHandler (jobs));
    dispatchTable.add ("MIX_STEMS_FOR_BPM", DispatchMode::job, makeMixForBpmJobHandler (jobs));
    dispatchTable.add ("SUBTRACT_STEMS", DispatchMode::job, makeSubtractJobHandler (jobs));

    dispatchTable.add ("SET_AUTOMATION_CUES", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto payloadJson = message.getProperty ("payloadJson", {}).toString();
        core::Json payload;
        try
        {
            payload = core::Json::parse (payloadJson.toStdString(), nullptr, true, false);
        }
        catch (const core::Json::exception& e)
        {
            // The automation in force stays as it is.
            audioEngine.debugLog ("[AUTO-CORE] payloadJson parse error: " + juce::String::fromUTF8 (e.what()));
            return;
        }
        audioEngine.setAutomationCues (payload);
    });

    dispatchTable.add ("SET_USE_CORE_AUTOMATION", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const bool enabled = static_cast<bool> (message.getProperty ("enabled", false));
        audioEngine.setUseCoreAutomation (enabled);
        audioEngine.debugLog ("[AUTO-CORE] useCoreAutomation=" + juce::String (enabled ? "ON" : "OFF"));
    });
}

//==============================================================================
void MainComponent::sendDirect (const juce::var& payload)
{
    browser.emitEventIfVisible ("fromNative", payload);
}

void MainComponent::sendEvent (const juce::String& eventName, const juce::var& payload)
{
    // existsAndIsCurrentThread: a worker calling during shutdown must not bring back a message
    // manager that is already gone.
    if (juce::MessageManager::existsAndIsCurrentThread())
    {
        emitFromNative (eventName, payload);
        return;
    }

    postToMessageThread ([this, eventName, payload] { emitFromNative (eventName, payload); });
}

void MainComponent::emitFromNative (const juce::String& eventName, const juce::var& payload)
{
    const bool routable = eventName == "fromNative" && payload.isObject();
    const auto action = routable ? payload.getProperty ("action", {}).toString() : juce::String();
    const bool typedOnly = isTypedOnlyEvent (action);

    if (! typedOnly && eventName.isNotEmpty())
        browser.emitEventIfVisible (juce::Identifier (eventName), payload);

    if (routable && (typedOnly || isJsonThenTypedEvent (action)))
        sendTypedEvent (*typedBridge, action, payload);
}

void MainComponent::notifyUpdateAvailable (const juce::String& version)
{
    sendDirect (makeObject ({ { "action", "UPDATE_AVAILABLE" }, { "version", version } }));
}

void MainComponent::emitOAuthCallback (const juce::String& url)
{
    emitFromNative ("fromNative", makeObject ({ { "action", "OAUTH_CALLBACK" }, { "url", url } }));
}

void MainComponent::sendBackendReadyDirect()
{
    sendDirect (audioEngine.makeBackendReadyEvent());
}

//==============================================================================
void MainComponent::requestQuit()
{
    if (quitRequested)
        return;

    quitRequested = true;
    typedBridge->sendAppQuitRequest();

    juce::Timer::callAfterDelay (3000, [safe = juce::Component::SafePointer<MainComponent> (this), weak = std::weak_ptr<Liveness> (liveness)]
    {
        if (weak.lock() != nullptr && safe != nullptr)
            safe->quitFallback();
    });
}

void MainComponent::quitFallback()
{
    if (quitRequested && ! quitOnHold && juce::JUCEApplicationBase::getInstance() != nullptr)
    {
        juce::Logger::writeToLog ("APP_QUIT_REQUEST: no frontend response in 3s, quitting");
        juce::JUCEApplicationBase::quit();
    }
}

//==============================================================================
std::optional<platform::FrontEndResource> MainComponent::serveResource (const juce::String& path)
{
    return serveResourceFrom (path, frontendFolder, getStorageRoot(), browser.getResourceProviderRoot());
}

juce::String MainComponent::contentSecurityPolicyLine (const juce::String& providerRoot)
{
    const auto origin = platform::originOfUrl (providerRoot);
    return "Content-Security-Policy: default-src 'self'; base-uri 'self'; object-src 'none'; frame-ancestors 'none'; "
           "script-src 'self'; style-src 'self' 'unsafe-inline'; font-src 'self' data:; img-src 'self' data: blob: "
           + origin + "; media-src 'self' blob: " + origin + "; worker-src 'self' blob:; connect-src 'self' " + origin
           + "; frame-src 'none'";
}

std::optional<platform::FrontEndResource> MainComponent::serveResourceFrom (const juce::String& path, const juce::File& frontendFolder,
                                                                           const juce::File& storageRoot, const juce::String& providerRoot)
{
    platform::FrontEndResource resource;

    if (path == "/library.json")
    {
        const auto library = storageRoot.getChildFile ("library.json");
        if (! library.existsAsFile())
        {
            // Only a missing library (or a folder in its place) is an empty one.
            static const char empty[] = "{}";
            resource.data.assign (reinterpret_cast<const std::byte*> (empty), reinterpret_cast<const std::byte*> (empty) + 2);
            resource.mimeType = "application/json";
            return resource;
        }
        // A library that exists but cannot be read whole gets no answer: "{}" here would let the
        // front end save an empty library over the real one.
        if (! readFileCapped (library, resource.data))
            return std::nullopt;
        resource.mimeType = "application/json";
        return resource;
    }

    if (path.startsWith ("/localfile/"))
    {
        const auto decoded = urlDecodePath (path.substring (11));
        if (! decoded.has_value() || decoded->isEmpty() || decoded->contains (".."))
            return std::nullopt;

        const auto file = fileInside (storageRoot, *decoded);
        if (! file.has_value() || ! readFileCapped (*file, resource.data))
            return std::nullopt;

        resource.mimeType = localFileMimeType (file->getFileExtension().toLowerCase());
        if (resource.mimeType.startsWith ("image/"))
            resource.mimeType << "\nCache-Control: max-age=3600";
        return resource;
    }

    const auto relative = path == "/" ? juce::String ("index.html") : path.substring (1);
    if (relative.isEmpty() || relative.contains (".."))
        return std::nullopt;

    const auto file = fileInside (frontendFolder, relative);
    if (! file.has_value() || ! readFileCapped (*file, resource.data))
        return std::nullopt;

    if (frontendFolder.getChildFile (".encrypted").existsAsFile() && ! resource.data.empty())
        decipherAsset (resource.data.data(), resource.data.size(), relative);

    const auto extension = file->getFileExtension().toLowerCase();
    resource.mimeType = frontendMimeType (extension);
    if (extension == ".html")
        resource.mimeType << "\n" << contentSecurityPolicyLine (providerRoot);
    return resource;
}

bool MainComponent::readFileCapped (const juce::File& file, std::vector<std::byte>& bytes)
{
    juce::FileInputStream in (file);
    if (! in.openedOk())
        return false;

    const auto size = std::max<juce::int64> (0, file.getSize());
    if (size > resourceSizeCap)
    {
        juce::Logger::writeToLog ("[BRIDGE-LIMIT] " + file.getFileName() + " " + juce::String (size) + " bytes > cap "
                                  + juce::String (resourceSizeCap));
        return false;
    }

    try
    {
        bytes.resize ((size_t) size);
    }
    catch (const std::bad_alloc&)
    {
        juce::Logger::writeToLog ("[BRIDGE-LIMIT] bad_alloc (" + juce::String (size) + " bytes) sirviendo " + file.getFileName());
        bytes.clear();
        return false;
    }

    juce::int64 total = 0;
    while (total < size)
    {
        const auto got = in.read (bytes.data() + total, (int) std::min<juce::int64> (size - total, 1 << 30));
        if (got <= 0)
            break;
        total += got;
    }

    // A short read, or a file that grew while it was read, is not the file: fail rather than
    // serve part of it.
    char extra;
    if (total != size || in.read (&extra, 1) > 0)
    {
        bytes.clear();
        return false;
    }
    return true;
}
} // namespace quorvelle
