#pragma once

#include "audio/engine/AudioEngine.h"

#include <juce_audio_devices/juce_audio_devices.h>
#include <juce_events/juce_events.h>

#include <functional>
#include <memory>
#include <vector>

namespace quorvelle
{
using EngineMemoryUsage = AudioEngine::EngineMemoryUsage;
using BusStretchRatio = AudioEngine::BusStretchRatio;

// What the collector reads from the engine, on the message thread. An empty function is a figure
// the engine does not give: its keys are left out of the snapshot.
struct MetricsEngineView
{
    std::function<juce::AudioIODevice*()> currentDevice; // nullptr: no device, no snapshot
    std::function<juce::int64()> lastCallbackMicros;     // the router's last callback; 0 without one
    std::function<EngineMemoryUsage()> memoryUsage;
    std::function<std::vector<BusStretchRatio>()> busStretchRatios;
};

// Reports the native side's health to the front end: one METRICS_NATIVE_SNAPSHOT per timer tick,
// every 250 ms while the front end's diagnostics are active, else every 2000 ms. Also keeps the
// metrics log "metrics.jsonl" that the front end writes into, rotated to "metrics.1.jsonl" at
// 50 MiB.
//
// Threads: message thread only (timer, actions, destruction).
class MetricsCollector final : public juce::Timer
{
public:
    using Emitter = std::function<void (const juce::var& snapshot)>;

    static constexpr int activeIntervalMs = 250;
    static constexpr int idleIntervalMs = 2000;
    static constexpr juce::int64 rotationBytes = 52'428'800;

    // `logsFolder` is created when missing. The timer does not start here.
    MetricsCollector (MetricsEngineView engine, Emitter emitter, const juce::File& logsFolder);
    ~MetricsCollector() override;

    // Starts the timer at the interval the active flag asks for.
    void start();
    // Stores the flag; a running timer restarts at the new interval.
    void setActive (bool shouldBeActive);
    bool isActive() const { return active; }

    // Appends one line (and "\n") to the metrics log, flushed at once.
    void appendJsonlLine (const juce::String& line);
    void closeJsonl();

    // The snapshot of this moment, or a void var without a device.
    juce::var buildSnapshot();

    void timerCallback() override;

    // 100 - 100 x available / total, truncated as a whole.
    static int memoryLoadPercent (juce::int64 available, juce::int64 total)
    {
        return (int) (100.0 - 100.0 * (double) available / (double) total);
    }

    juce::File getLogFile() const { return logFile; }
    juce::File getRotatedLogFile() const { return rotatedLogFile; }

private:
    int currentInterval() const { return active ? activeIntervalMs : idleIntervalMs; }

    MetricsEngineView engine;
    Emitter emitter;
    const juce::File logFile, rotatedLogFile;
    std::unique_ptr<juce::FileOutputStream> logStream;
    int linesSinceSizeCheck = 0;
    bool active = false;
    int ticksSinceTreeScan = 999;
    juce::int64 cachedWebviewTreeBytes = -1;

    JUCE_DECLARE_NON_COPYABLE (MetricsCollector)
};
} // namespace quorvelle
