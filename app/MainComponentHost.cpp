// The application and diagnostics actions: metrics, updates, crash dumps, external links, verbose
// diagnostics, the engine's state and the build's facts.
#include "app/MainComponent.h"

#include "app/UpdateFlow.h"
#include "audio/graph/GraphUtils.h"
#include "platform/CrashDumps.h"
#include "platform/Opener.h"
#include "platform/StorageRoot.h"

#ifndef QUORVELLE_BUILD_CONFIG
 #define QUORVELLE_BUILD_CONFIG ""
#endif

namespace quorvelle
{
namespace
{
juce::String base64OfUtf8 (const juce::String& text)
{
    return juce::Base64::toBase64 (text.toRawUTF8(), text.getNumBytesAsUTF8());
}

juce::var nativeBuildInfo (const juce::String& id)
{
    const auto exe = juce::File ("/proc/self/exe").getLinkedTarget();
    const auto exePath = exe.getFullPathName();
    return makeObject ({
        { "action", "NATIVE_BUILD_INFO" },
        { "id", id },
        { "juceVersion", juce::SystemStats::getJUCEVersion() },
        { "compiler", "GCC " + juce::String (__GNUC__) + "." + juce::String (__GNUC_MINOR__) + "." + juce::String (__GNUC_PATCHLEVEL__) },
        { "buildConfig", QUORVELLE_BUILD_CONFIG },
        { "buildDate", juce::String (__DATE__) + " " + juce::String (__TIME__) },
        { "exePath", exePath },
        { "exePathB64", base64OfUtf8 (exePath) },
        { "exeSizeBytes", exe.getSize() },
        { "exeModifiedIso", exe.getLastModificationTime().toISO8601 (true) },
        { "osName", juce::SystemStats::getOperatingSystemName() },
        { "is64Bit", sizeof (void*) == 8 },
        { "computerName", juce::SystemStats::getComputerName() },
        { "logonName", juce::SystemStats::getLogonName() },
        { "displayLanguage", juce::SystemStats::getDisplayLanguage() },
    });
}

juce::var pendingCrashesResult (const juce::String& requestId)
{
    juce::Array<juce::var> crashes;
    for (const auto& dump : platform::listCrashDumps (platform::crashFolderOfStorageRoot()))
    {
        const auto url = "file://" + dump.getFullPathName();
        crashes.add (makeObject ({ { "name", dump.getFileName() }, { "url", url }, { "urlB64", base64OfUtf8 (url) }, { "sizeBytes", dump.getSize() } }));
    }
    return makeObject ({ { "action", "PENDING_CRASHES_RESULT" }, { "requestId", requestId }, { "crashes", crashes } });
}

// Deletes crashes/<name> when the name passes the rule; the name is joined as text, never
// interpreted (JUCE would read a leading "~" as a home folder).
void discardCrashDump (const juce::String& name)
{
    if (! platform::isDiscardableCrashDumpName (name))
        return;
    const juce::File dump (platform::crashFolderOfStorageRoot().getFullPathName() + "/" + name);
    if (dump.existsAsFile() || dump.isSymbolicLink())
        dump.deleteFile();
}

// Only http, https and mailto reach the desktop, as one argument; an address without a scheme
// becomes a mail link, as JUCE's browser launch does.
void openExternalUrl (const juce::String& url)
{
    if (url.isEmpty())
        return;
    auto target = url;
    if (target.containsChar ('@') && ! target.containsChar (':'))
        target = "mailto:" + target;
    if (platform::isOpenableUrl (target))
        platform::openWithDesktop (target);
}
} // namespace

void MainComponent::registerHostActions()
{
    MetricsEngineView view;
    view.currentDevice = [this]() -> juce::AudioIODevice*
    {
        // The device manager belongs to the start-up thread until the engine is ready.
        return audioEngine.isInitialiseComplete() ? audioEngine.getDeviceManager().getCurrentAudioDevice() : nullptr;
    };
    view.lastCallbackMicros = [this] { return (juce::int64) audioEngine.getRouter().lastCallbackMicros.load(); };
    view.memoryUsage = [this] { return audioEngine.getMemoryUsage(); };
    view.busStretchRatios = [this] { return audioEngine.getBusStretchRatios(); };
    metricsCollector = std::make_unique<MetricsCollector> (std::move (view), [this] (const juce::var& snapshot) { emitMetricsSnapshot (snapshot); },
                                                           getStorageRoot().getChildFile ("logs"));

    dispatchTable.add ("WRITE_METRICS_JSONL", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto line = message.getProperty ("line", {}).toString();
        if (line.isNotEmpty())
            metricsCollector->appendJsonlLine (line);
    });

    dispatchTable.add ("METRICS_SET_ACTIVE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        metricsCollector->setActive (static_cast<bool> (message.getProperty ("active", false)));
    });

    // Neither answers: an update shows up as UPDATE_AVAILABLE, an applied one as the quit.
    dispatchTable.add ("CHECK_FOR_UPDATES", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        checkForUpdatesAsync (releaseFeedUrl(), [safe = juce::Component::SafePointer<MainComponent> (this)] (const juce::String& version)
        {
            if (safe != nullptr)
                safe->notifyUpdateAvailable (version);
        });
    });

    dispatchTable.add ("APPLY_UPDATE", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        applyUpdatesAsync (releaseFeedUrl(), [safe = juce::Component::SafePointer<MainComponent> (this)]
        {
            if (safe != nullptr)
                safe->quitAfterUpdate();
        });
    });

    dispatchTable.add ("GET_PENDING_CRASHES", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sendDirect (pendingCrashesResult (message.getProperty ("requestId", "").toString()));
    });

    dispatchTable.add ("DISCARD_CRASH_DUMP", DispatchMode::inlineCall, [] (const juce::var& message)
    {
        discardCrashDump (message.getProperty ("name", "").toString());
    });

    dispatchTable.add ("OPEN_EXTERNAL_URL", DispatchMode::inlineCall, [] (const juce::var& message)
    {
        openExternalUrl (message.getProperty ("url", {}).toString());
        juce::Logger::writeToLog ("[OAuth] OPEN_EXTERNAL_URL (browser launched)");
    });

    dispatchTable.add ("SET_VERBOSE_DIAG", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const bool enabled = static_cast<bool> (message.getProperty ("enabled", false));
        verboseDiagnostics.store (enabled);
        audioEngine.debugLog ("[VERBOSE-DIAG] hot-path logs " + juce::String (enabled ? "ON" : "OFF"));
    });

    dispatchTable.add ("DUMP_NATIVE_STATE", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sendDirect (makeObject ({ { "action", "NATIVE_STATE_DUMP" },
                                  { "id", message.getProperty ("id", {}).toString() },
                                  { "state", audioEngine.getNativeStateSnapshot() } }));
    });

    dispatchTable.add ("GET_NATIVE_BUILD_INFO", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        sendDirect (nativeBuildInfo (message.getProperty ("id", {}).toString()));
    });
}

void MainComponent::emitMetricsSnapshot (const juce::var& payload)
{
    sendDirect (payload);
}

void MainComponent::startMetricsTimer()
{
    metricsCollector->start();
}

void MainComponent::quitAfterUpdate()
{
    if (juce::JUCEApplicationBase::getInstance() != nullptr)
        juce::JUCEApplicationBase::quit();
}
} // namespace quorvelle
