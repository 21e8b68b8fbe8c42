#include "app/MetricsCollector.h"

#include "platform/CheckedWrite.h"
#include "platform/SystemProbes.h"

#include <cmath>
#include <unistd.h>

namespace quorvelle
{
namespace
{
constexpr int treeScanEveryTicks = 8;
constexpr int linesPerSizeCheck = 32;
constexpr int logBufferBytes = 16384;

// |ratio - 1| of at least 0.001, with room for the float and double rounding of a ratio given as
// 1.001 (whose distance from 1 is a hair under 0.001 in binary).
bool isStretched (float ratio) { return std::abs ((double) ratio - 1.0) >= 0.001 - 1e-6; }
} // namespace

MetricsCollector::MetricsCollector (MetricsEngineView view, Emitter emit, const juce::File& logsFolder)
    : engine (std::move (view)),
      emitter (std::move (emit)),
      logFile (logsFolder.getChildFile ("metrics.jsonl")),
      rotatedLogFile (logsFolder.getChildFile ("metrics.1.jsonl"))
{
    logsFolder.createDirectory();
}

MetricsCollector::~MetricsCollector()
{
    stopTimer();
    closeJsonl();
    emitter = nullptr;
}

void MetricsCollector::start()
{
    startTimer (currentInterval());
}

void MetricsCollector::setActive (bool shouldBeActive)
{
    active = shouldBeActive;
    if (isTimerRunning())
        startTimer (currentInterval());
}

juce::var MetricsCollector::buildSnapshot()
{
    auto* device = engine.currentDevice ? engine.currentDevice() : nullptr;
    if (device == nullptr)
        return {};

    auto* snapshot = new juce::DynamicObject();
    juce::var result (snapshot);
    snapshot->setProperty ("action", "METRICS_NATIVE_SNAPSHOT");
    snapshot->setProperty ("xruns", device->getXRunCount());
    const double sampleRate = device->getCurrentSampleRate();
    const int bufferSize = device->getCurrentBufferSizeSamples();
    snapshot->setProperty ("sampleRate", sampleRate);
    snapshot->setProperty ("bufferSize", bufferSize);

    const juce::int64 callbackMicros = engine.lastCallbackMicros ? engine.lastCallbackMicros() : 0;
    if (sampleRate > 0 && bufferSize > 0 && callbackMicros > 0)
    {
        snapshot->setProperty ("callbackMicros", (int) callbackMicros);
        const double budgetMicros = (double) bufferSize / sampleRate * 1'000'000.0;
        snapshot->setProperty ("callbackBudgetPct", (double) callbackMicros / budgetMicros * 100.0);
    }

    const auto memory = platform::currentProcessMemory();
    const auto faults = platform::pageFaultCount();
    if (memory.residentBytes >= 0 && memory.privateBytes >= 0 && faults >= 0)
    {
        snapshot->setProperty ("workingSetBytes", memory.residentBytes);
        snapshot->setProperty ("privateBytes", memory.privateBytes);
        snapshot->setProperty ("pageFaultCount", faults);
    }

    const auto available = platform::availablePhysicalMemoryBytes();
    const auto total = platform::totalPhysicalMemoryBytes();
    if (available >= 0 && total > 0)
    {
        snapshot->setProperty ("availPhysBytes", available);
        snapshot->setProperty ("memoryLoadPct", memoryLoadPercent (available, total));
    }

    if (++ticksSinceTreeScan >= treeScanEveryTicks)
    {
        ticksSinceTreeScan = 0;
        cachedWebviewTreeBytes = platform::descendantResidentBytes ((int) ::getpid());
    }
    if (cachedWebviewTreeBytes >= 0)
        snapshot->setProperty ("webviewTreeBytes", cachedWebviewTreeBytes);

    if (engine.memoryUsage)
    {
        const auto usage = engine.memoryUsage();
        snapshot->setProperty ("memTracksBytes", usage.tracksBytes);
        snapshot->setProperty ("memTracksOrigBytes", usage.tracksOrigBytes);
        snapshot->setProperty ("memPadsBytes", usage.padsBytes);
        snapshot->setProperty ("memPadRingBytes", usage.padRingBytes);
        snapshot->setProperty ("memPreloadBytes", usage.preloadBytes);
        snapshot->setProperty ("memTranscoderBytes", usage.transcoderBytes);
        snapshot->setProperty ("memCueBytes", usage.cueBytes);
        snapshot->setProperty ("memOverlayBytes", usage.overlayBytes);
    }

    if (engine.busStretchRatios)
    {
        juce::Array<juce::var> ratios;
        for (const auto& bus : engine.busStretchRatios())
            if (isStretched (bus.ratio))
            {
                auto* entry = new juce::DynamicObject();
                entry->setProperty ("busId", bus.busId);
                entry->setProperty ("ratio", (double) bus.ratio);
                ratios.add (juce::var (entry));
            }
        if (! ratios.isEmpty())
            snapshot->setProperty ("bpmRatios", ratios);
    }
    return result;
}

void MetricsCollector::timerCallback()
{
    const auto snapshot = buildSnapshot();
    if (snapshot.isObject() && emitter)
        emitter (snapshot);
}

void MetricsCollector::appendJsonlLine (const juce::String& line)
{
    if (logStream == nullptr)
    {
        auto stream = std::make_unique<juce::FileOutputStream> (logFile, logBufferBytes);
        // JUCE's stream opens at the end of the file; a failed open loses this line only.
        if (! stream->openedOk())
            return;
        logStream = std::move (stream);
    }

    logStream->writeText (line, false, false, nullptr);
    logStream->writeByte ('\n');

    if (++linesSinceSizeCheck >= linesPerSizeCheck)
    {
        linesSinceSizeCheck = 0;
        logStream->flush();
        if (logFile.getSize() >= rotationBytes)
        {
            closeJsonl();
            // A failed rename leaves the file in place; the next line continues it.
            platform::moveFileReplacing (logFile, rotatedLogFile);
            return;
        }
    }
    logStream->flush();
}

void MetricsCollector::closeJsonl()
{
    if (logStream != nullptr)
        logStream->flush();
    logStream.reset();
}
} // namespace quorvelle
