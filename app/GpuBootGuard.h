#pragma once

#include <juce_core/juce_core.h>

namespace quorvelle
{
// Detects starts whose front end never came up and, after three in a row, starts the front end's
// browser without the GPU. Each start is marked unconfirmed ("gpu-mode.json" in the
// application-data folder) before the front end is created; FRONTEND_READY confirms it. Events go
// to "logs/gpu-events.log" (CRLF lines). Failed writes are ignored: the guard never blocks a start.
//
// Threads: every operation takes the guard's lock (message thread in the program).
class GpuBootGuard final
{
public:
    // The process-wide guard on the application-data folder.
    static GpuBootGuard& instance();

    // A guard on `folder` (tests use a temporary one).
    explicit GpuBootGuard (const juce::File& applicationDataFolder);

    // Marks this start unconfirmed, counting an unconfirmed previous start as failed.
    void beginBoot();
    // The browser's extra arguments (GPU and remote-debugging switches, then smooth scrolling).
    juce::String buildBrowserArguments();
    // Confirms the start: the failure count goes back to 0.
    void markFrontendReady();

    int getConsecutiveFailures() const;
    juce::File getStateFile() const { return folder.getChildFile ("gpu-mode.json"); }
    juce::File getEventLogFile() const { return folder.getChildFile ("logs").getChildFile ("gpu-events.log"); }

private:
    void load(); // caller holds the lock
    void save(); // caller holds the lock
    void logEvent (const juce::String& event, const juce::String& details); // caller holds the lock

    const juce::File folder;
    mutable juce::CriticalSection lock;
    bool lastBootSucceeded = true;
    int consecutiveFailures = 0;
    juce::String lastBootAt, lastSuccessAt;
    bool legacyAutoMigrated = false;
    bool cleanupV2Migrated = false;
    juce::int64 bootStartMs = 0;

    JUCE_DECLARE_NON_COPYABLE (GpuBootGuard)
};

// Runs the guard's `beginBoot` and sets WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS to its arguments.
// Always true (it runs as an initialiser of the main component).
bool setWebViewBrowserArguments();
} // namespace quorvelle
