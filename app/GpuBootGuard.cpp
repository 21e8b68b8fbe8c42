#include "app/GpuBootGuard.h"

#include "platform/CheckedWrite.h"
#include "platform/StorageRoot.h"

#include <cstdlib>

namespace quorvelle
{
namespace
{
juce::String nowText() { return juce::Time::getCurrentTime().toISO8601 (true); }

bool environmentIsOne (const char* name)
{
    return juce::SystemStats::getEnvironmentVariable (name, "0") == "1";
}
} // namespace

GpuBootGuard& GpuBootGuard::instance()
{
    static GpuBootGuard guard (getApplicationDataFolder());
    return guard;
}

GpuBootGuard::GpuBootGuard (const juce::File& applicationDataFolder) : folder (applicationDataFolder) {}

int GpuBootGuard::getConsecutiveFailures() const
{
    const juce::ScopedLock sl (lock);
    return consecutiveFailures;
}

void GpuBootGuard::beginBoot()
{
    const juce::ScopedLock sl (lock);

    juce::String storedMode;
    const auto stateFile = getStateFile();
    if (stateFile.existsAsFile())
    {
        const auto parsed = juce::JSON::parse (stateFile.loadFileAsString());
        if (auto* object = parsed.getDynamicObject())
        {
            storedMode = object->getProperty ("mode").toString();
            lastBootSucceeded = static_cast<bool> (object->getProperty ("lastBootSucceeded"));
            consecutiveFailures = static_cast<int> (object->getProperty ("consecutiveFailures"));
            lastBootAt = object->getProperty ("lastBootAt").toString();
            lastSuccessAt = object->getProperty ("lastSuccessAt").toString();
            legacyAutoMigrated = static_cast<bool> (object->getProperty ("legacyAutoMigrated"));
            cleanupV2Migrated = static_cast<bool> (object->getProperty ("cleanupV2Migrated"));
        }
    }

    if (! cleanupV2Migrated)
    {
        if (storedMode == "force-software" || storedMode == "force-gpu")
            logEvent ("MIGRATED_V2_RESET_MODE", "previous=" + storedMode);
        cleanupV2Migrated = true;
    }

    const bool previousUnconfirmed = ! lastBootSucceeded;
    if (previousUnconfirmed)
        ++consecutiveFailures;

    lastBootSucceeded = false;
    lastBootAt = nowText();
    bootStartMs = juce::Time::currentTimeMillis();
    save();

    if (previousUnconfirmed)
        logEvent ("BOOT_FAILED_DETECTED", "consecutiveFailures=" + juce::String (consecutiveFailures));
    logEvent ("BOOT_START", "consecutiveFailures=" + juce::String (consecutiveFailures));
}

juce::String GpuBootGuard::buildBrowserArguments()
{
    const juce::ScopedLock sl (lock);
    juce::String arguments ("--enable-smooth-scrolling");
    if (environmentIsOne ("QUORVELLE_DEVTOOLS"))
        arguments = "--remote-debugging-port=9222 " + arguments;
    if (environmentIsOne ("QUORVELLE_FORCE_SOFTWARE_GPU") || consecutiveFailures >= 3)
        arguments = "--disable-gpu " + arguments;
    return arguments;
}

void GpuBootGuard::markFrontendReady()
{
    const juce::ScopedLock sl (lock);
    lastBootSucceeded = true;
    consecutiveFailures = 0;
    lastSuccessAt = nowText();
    save();
    const auto elapsed = bootStartMs > 0 ? juce::Time::currentTimeMillis() - bootStartMs : (juce::int64) 0;
    logEvent ("FRONTEND_READY_OK", "elapsed_ms=" + juce::String (elapsed));
}

void GpuBootGuard::save()
{
    auto* state = new juce::DynamicObject();
    state->setProperty ("mode", "auto");
    state->setProperty ("lastBootSucceeded", lastBootSucceeded);
    state->setProperty ("consecutiveFailures", consecutiveFailures);
    state->setProperty ("lastBootAt", lastBootAt);
    state->setProperty ("lastSuccessAt", lastSuccessAt);
    state->setProperty ("legacyAutoMigrated", legacyAutoMigrated);
    state->setProperty ("cleanupV2Migrated", cleanupV2Migrated);

    folder.createDirectory();
    platform::replaceFileWithText (getStateFile(), juce::JSON::toString (juce::var (state)));
}

void GpuBootGuard::logEvent (const juce::String& event, const juce::String& details)
{
    const auto logFile = getEventLogFile();
    logFile.getParentDirectory().createDirectory();
    juce::String line = "[" + nowText() + "] " + event;
    if (details.isNotEmpty())
        line << " " << details;
    line << "\r\n";

    juce::FileOutputStream out (logFile);
    if (out.openedOk())
        out.writeText (line, false, false, nullptr);
}

bool setWebViewBrowserArguments()
{
    auto& guard = GpuBootGuard::instance();
    guard.beginBoot();
    ::setenv ("WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS", guard.buildBrowserArguments().toRawUTF8(), 1);
    return true;
}
} // namespace quorvelle
