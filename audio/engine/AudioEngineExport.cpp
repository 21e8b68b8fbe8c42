// The mix export: the hand-over of the engine between the message thread and the "ExportMix"
// render thread, the render of a range or a plan with its count-in prelude and region voices, the
// checked output file, and the export guard that every graph-changing command passes first.
#include "audio/engine/OfflineMixRenderer.h"

#include "audio/loading/Mp3FileWriter.h"
#include "platform/CheckedWrite.h"

#include <cmath>
#include <stdexcept>

namespace quorvelle
{
namespace
{
const char* const mp3WriterFailed = "No se pudo crear el MP3 writer";
const char* const destinationFailed = "No se pudo crear el archivo de destino";
const char* const wavWriterFailed = "No se pudo crear el WAV writer";
const char* const writeFailed = "Error de escritura al archivo (\xc2\xbf" "disco lleno?)";

[[noreturn]] void fail (const char* utf8Text)
{
    throw std::runtime_error (utf8Text);
}
} // namespace

//==============================================================================
// The output file. Both kinds write into a temporary file beside the path and replace the path
// only when the file is complete and checked; dropping a writer unfinished leaves the path as it
// was.
class AudioEngine::OfflineMixRenderer::Writer
{
public:
    virtual ~Writer() = default;
    virtual bool write (const float* left, const float* right, int numSamples) = 0;
    // Closes, checks and renames over the path; false leaves the path as it was.
    virtual bool finish() = 0;
};

namespace
{
class Mp3MixWriter final : public AudioEngine::OfflineMixRenderer::Writer
{
public:
    Mp3MixWriter (const juce::File& file, double rate) : mp3 (file, rate, 2, 320)
    {
        if (! mp3.isOpen())
            fail (mp3WriterFailed);
    }
    bool write (const float* left, const float* right, int numSamples) override { return mp3.write (left, right, numSamples); }
    bool finish() override { return mp3.finish(); }

private:
    Mp3FileWriter mp3;
};

class WavMixWriter final : public AudioEngine::OfflineMixRenderer::Writer
{
public:
    WavMixWriter (const juce::File& file, double rate) : replacement (file)
    {
        if (! replacement.isOpen())
            fail (destinationFailed);
        auto stream = replacement.createStream();
        juce::WavAudioFormat wav;
        writer.reset (wav.createWriterFor (stream.get(), rate, juce::AudioChannelSet::stereo(), 16, {}, 0));
        if (writer == nullptr)
            fail (wavWriterFailed);
        stream.release(); // the writer owns it now
    }

    ~WavMixWriter() override
    {
        writer.reset();
        replacement.abandon();
    }

    bool write (const float* left, const float* right, int numSamples) override
    {
        const float* channels[] = { left, right };
        if (writer == nullptr || ! writer->writeFromFloatArrays (channels, 2, numSamples) || replacement.hasFailed())
            return false;
        written += numSamples;
        return true;
    }

    bool finish() override
    {
        if (writer == nullptr)
            return false;
        writer.reset(); // writes the header's sizes and hands the stream back
        // JUCE's writer ignores errors when it closes: the file is read back before it replaces
        // the path.
        const auto expected = written;
        return replacement.commit (-1, [expected] (const juce::File& temporary) -> juce::String
        {
            juce::WavAudioFormat wav;
            std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (temporary.createInputStream().release(), true));
            if (reader == nullptr)
                return "the written WAV cannot be read back";
            if (reader->lengthInSamples != expected || reader->numChannels != 2)
                return "the written WAV holds " + juce::String (reader->lengthInSamples) + " samples, expected " + juce::String (expected);
            return {};
        });
    }

private:
    platform::CheckedReplacement replacement;
    std::unique_ptr<juce::AudioFormatWriter> writer;
    juce::int64 written = 0;
};
} // namespace

//==============================================================================
AudioEngine::OfflineMixRenderer::OfflineMixRenderer (AudioEngine& ownerIn) : juce::Thread ("ExportMix"), engine (ownerIn) {}

AudioEngine::OfflineMixRenderer::~OfflineMixRenderer()
{
    cancelRequested = true;
    stopThread (5000);
}

bool AudioEngine::OfflineMixRenderer::startJob (ExportJob job, const ExportTakeover& formatIn)
{
    {
        const juce::SpinLock::ScopedLockType lock (slotLock);
        if (jobPending || isThreadRunning())
            return false;
        slot = std::move (job);
        jobPending = true;
        format = formatIn;
        cancelRequested = false;
    }
    startThread();
    return true;
}

void AudioEngine::OfflineMixRenderer::run()
{
    ExportJob job;
    {
        const juce::SpinLock::ScopedLockType lock (slotLock);
        if (! jobPending)
            return;
        job = std::move (slot);
        jobPending = false;
    }

    outcome = Outcome::completed;
    errorText.clear();
    outputPath = job.outputPath;
    try
    {
        render (job);
    }
    catch (const std::exception& e)
    {
        writer.reset();
        outcome = Outcome::failed;
        errorText = juce::String::fromUTF8 (e.what());
    }
    writer.reset();
    work.setSize (0, 0);

    engine.postToMessageThread ([owner = &engine, number = format.job] { owner->finishExport (number); });
}

void AudioEngine::OfflineMixRenderer::render (const ExportJob& job)
{
    const bool mp3 = job.format.equalsIgnoreCase ("mp3");
    if (! juce::File::isAbsolutePath (job.outputPath))
        fail (mp3 ? mp3WriterFailed : destinationFailed);
    const juce::File output (job.outputPath);
    output.getParentDirectory().createDirectory(); // a failure shows when the file is opened

    const auto rate = format.rate;
    if (mp3)
        writer = std::make_unique<Mp3MixWriter> (output, rate);
    else
        writer = std::make_unique<WavMixWriter> (output, rate);

    work.setSize (2, format.block);
    work.clear();
    progressInterval = (int64_t) (rate * 0.25);
    maxSamples = (int64_t) (rate * 60.0 * 60.0);
    renderedTotal = lastReported = 0;
    ratio = engine.getTempoRatio();
    if (ratio <= 0.0001)
        ratio = 1.0;
    delay = engine.songTimeOffset;

    double length = 0.0;
    for (const auto& step : job.renderPlan)
        length += step.durationSec;
    if (job.renderPlan.empty())
        length = job.sourceEndSec - job.sourceStartSec;
    const auto mainSamples = (int64_t) (length / ratio * rate);

    int64_t preludeSamples = 0;
    const auto& prelude = job.prelude;
    if (prelude.enabled && engine.countIn != nullptr && engine.cue != nullptr && prelude.bpm > 0.0 && prelude.numerator > 0
        && prelude.denominator > 0 && rate > 0.0)
    {
        auto key = engine.cue->getFilenameForSection (prelude.sectionKey);
        if (key.isEmpty())
            key = "1";
        engine.setCountParameters (prelude.bpm, prelude.numerator, prelude.denominator, rate);
        engine.takeOverCountIn (false);
        engine.countInRunning = true;
        engine.standaloneCountInActive = true;
        if (engine.countIn->startCountIn (key, true))
        {
            engine.countIn->renderClicks = prelude.renderClicks;
            engine.countIn->renderVoice = prelude.renderVoice;
            if (prelude.truncateSec > 0.0)
                engine.countIn->truncateAt (prelude.truncateSec);
            preludeSamples = engine.countIn->getLength();
        }
    }

    total = preludeSamples + mainSamples;
    reportProgress (true);

    if (preludeSamples > 0)
    {
        engine.debugLog ("[EXPORT] count-in prelude | " + juce::String (preludeSamples) + " samples ("
                         + juce::String ((double) preludeSamples / rate, 2) + "s) | bpm=" + juce::String (prelude.bpm, 1) + " ts="
                         + juce::String (prelude.numerator) + "/" + juce::String (prelude.denominator)
                         + (prelude.truncateSec > 0.0 ? " (frente C2)" : ""));
        renderAndWrite (preludeSamples, [] { return true; });
    }
    engine.standaloneCountInActive = false;
    engine.countInRunning = false;
    if (engine.countIn != nullptr)
    {
        engine.countIn->stop();
        engine.countIn->clearRegionOverlay();
    }

    if (job.renderPlan.empty())
        renderSpan (job.sourceStartSec, job.sourceEndSec, {});
    else
        for (size_t i = 0; i < job.renderPlan.size() && ! shouldStop(); ++i)
        {
            const auto& step = job.renderPlan[i];
            const auto& voice = job.regionVoice;
            const bool voiceHere = voice.enabled && std::abs (step.sourceStart - voice.regionStartSec) < 0.05;
            if (voiceHere)
                engine.startCountRegionVoice (voice.bpm, voice.numerator, voice.denominator, voice.regionStartSec, voice.regionEndSec,
                                              voice.voiceDelaySec, voice.voiceSpanSec, false, voice.sectionKey, rate);
            const auto next = i + 1 < job.renderPlan.size() ? job.renderPlan[i + 1].sectionName : juce::String();
            renderSpan (step.sourceStart, step.sourceEnd, next);
            if (voiceHere && engine.countIn != nullptr)
                engine.countIn->clearRegionOverlay();
        }

    if (shouldStop())
    {
        writer.reset(); // the path keeps what it held
        outcome = Outcome::cancelled;
        return;
    }
    if (! writer->finish())
        fail (writeFailed);
    writer.reset();
}

void AudioEngine::OfflineMixRenderer::renderSpan (double start, double end, const juce::String& nextSectionName)
{
    auto& transport = engine.masterTransport;
    const auto lengthSeconds = transport.getLengthInSeconds();
    if (lengthSeconds > 0.0)
    {
        const auto maxEnd = (lengthSeconds - delay) * ratio;
        if (maxEnd > 0.0 && end > maxEnd)
            end = maxEnd; // a span never runs past the loaded song
    }
    if (end - start <= 0.0)
        return;

    const auto spanSamples = (int64_t) ((end - start) / ratio * format.rate);
    if (engine.cue != nullptr && nextSectionName.isNotEmpty())
        engine.cue->updateGuideState (false, false, nextSectionName);

    const auto transportSeconds = start / ratio + delay;
    transport.setPosition (transportSeconds);
    if (engine.metronome != nullptr)
        engine.metronome->seekToTime (start);
    if (engine.cue != nullptr)
        engine.cue->pendingSeekSeconds = transportSeconds;
    if (! transport.isPlaying())
        transport.start();

    renderAndWrite (spanSamples, [this] { return renderedTotal < maxSamples; });
}

void AudioEngine::OfflineMixRenderer::renderAndWrite (int64_t samples, const std::function<bool()>& more)
{
    // While live stretch is on, everything the graph renders lags by the latency: it is rendered
    // and dropped before the span's first sample.
    auto toDrop = (int64_t) format.latency;
    auto remaining = samples + toDrop;
    while (remaining > 0 && more() && renderedTotal < maxSamples && ! shouldStop())
    {
        const auto n = (int) std::min<int64_t> (format.block, remaining);
        work.clear (0, n);
        engine.router->getNextAudioBlock (juce::AudioSourceChannelInfo (&work, 0, n));
        remaining -= n;

        const auto dropped = (int) std::min<int64_t> (toDrop, n);
        toDrop -= dropped;
        const auto kept = n - dropped;
        if (kept <= 0)
            continue;
        if (! writer->write (work.getReadPointer (0, dropped), work.getReadPointer (1, dropped), kept))
            fail (writeFailed);
        renderedTotal += kept;
        reportProgress (false);
        if (engine.exportBlockHookForTesting)
            engine.exportBlockHookForTesting (cancelRequested);
    }
}

void AudioEngine::OfflineMixRenderer::reportProgress (bool force)
{
    if (! force && renderedTotal - lastReported < progressInterval)
        return;
    lastReported = renderedTotal;
    const auto percent = total < 1 ? 100.0 : (double) juce::jlimit (0.0f, 100.0f, (float) renderedTotal / (float) total * 100.0f);
    engine.postToMessageThread ([owner = &engine, number = format.job, percent]
    {
        // Progress that arrives after the export's final event is dropped.
        if (owner->exportJobsEnded.load() < number)
            owner->sendEvent (makeObject ({ { "action", "EXPORT_MIX_PROGRESS" }, { "percent", percent } }));
    });
}

//==============================================================================
// The message thread's side.

int AudioEngine::exportLatencySamples() const
{
    if (stretchBypassed)
        return 0;
    const auto session = sessionSampleRate.load();
    const auto device = deviceSampleRate.load();
    return juce::roundToInt (getLiveStretchLatencySamples() * (session > 0.0 ? device / session : 1.0));
}

void AudioEngine::startExportMix (ExportJob job)
{
    if (exportTakeover != nullptr || (exportRenderer != nullptr && exportRenderer->isThreadRunning()))
    {
        debugLog (juce::String::fromUTF8 ("[EXPORT] startJob rejected \xe2\x80\x94 already running"));
        return;
    }
    if (exportRenderer == nullptr)
        exportRenderer = std::make_unique<OfflineMixRenderer> (*this);

    auto saved = std::make_unique<ExportTakeover>();
    saved->job = exportJobsStarted.fetch_add (1) + 1;
    takeOverForExport (*saved);
    exportTakeover = std::move (saved);
    if (! exportRenderer->startJob (std::move (job), *exportTakeover))
    {
        giveBackAfterExport (*exportTakeover);
        exportTakeover.reset();
        debugLog (juce::String::fromUTF8 ("[EXPORT] startJob rejected \xe2\x80\x94 already running"));
    }
}

void AudioEngine::cancelExportMix()
{
    if (exportRenderer != nullptr)
        exportRenderer->cancelRequested = true;
}

void AudioEngine::takeOverForExport (ExportTakeover& saved)
{
    // The render format: the device's, as the graph was last prepared.
    if (auto* device = deviceManager.getCurrentAudioDevice())
    {
        saved.deviceWasOpen = true;
        saved.rate = device->getCurrentSampleRate();
        saved.block = device->getCurrentBufferSizeSamples();
    }
    if (! (saved.rate > 0.0))
        saved.rate = 44100.0;
    if (saved.block < 1)
        saved.block = 512;
    saved.latency = exportLatencySamples();

    saved.exportRendering = exportRendering.exchange (true);
    saved.playbackGate = playbackGate.exchange (true);
    saved.transportSeconds = masterTransport.getCurrentPosition();
    if (masterTransport.isPlaying())
    {
        transportRunning = false;
        masterTransport.stop();
    }
    saved.splitMonitor = router->splitMonitor.exchange (false);
    router->offline = true;

    // From here on only the render thread pulls the graph.
    exportClosedDevice = true;
    deviceManager.closeAudioDevice();
    router->prepareToPlay (saved.block, saved.rate);

    {
        const juce::ScopedLock lock (loopRegionLock);
        saved.loopStart = loopRegionStart;
        saved.loopEnd = loopRegionEnd;
        saved.loopActive = loopRegionActive.load();
    }
    if (saved.loopActive)
        setLoopRegion (0.0, 0.0, false);
}

void AudioEngine::giveBackAfterExport (const ExportTakeover& saved)
{
    standaloneCountInActive = false;
    countInRunning = false;
    countIn->stop();
    countIn->clearRegionOverlay();
    if (saved.loopActive)
        setLoopRegion (saved.loopStart, saved.loopEnd, true);

    if (saved.deviceWasOpen)
        deviceManager.restartLastAudioDevice();
    // The device's own change notice comes first and finds the flag still raised.
    postToMessageThread ([this]
    {
        if (exportTakeover == nullptr)
            exportClosedDevice = false;
    });

    router->offline = false;
    router->splitMonitor = saved.splitMonitor;
    if (masterTransport.isPlaying())
        masterTransport.stop();
    masterTransport.setPosition (saved.transportSeconds);
    transportRunning = false;
    publishTransportNow();
    playbackGate = saved.playbackGate;
    exportRendering = saved.exportRendering;
}

void AudioEngine::finishExport (int job)
{
    if (exportTakeover == nullptr || exportTakeover->job != job)
        return; // already given back (the guard waited for it)

    exportRenderer->waitForThreadToExit (-1);
    const auto saved = std::move (exportTakeover);
    exportJobsEnded = job;
    giveBackAfterExport (*saved);

    auto queued = std::move (workAfterExport);
    workAfterExport.clear();
    for (auto& work : queued)
        work();

    switch (exportRenderer->getOutcome())
    {
        case OfflineMixRenderer::Outcome::completed:
        {
            const auto path = exportRenderer->getOutputPath();
            sendEvent (makeObject ({ { "action", "EXPORT_MIX_PROGRESS" }, { "percent", 100.0 } }));
            sendEvent (makeObject ({ { "action", "EXPORT_MIX_COMPLETE" },
                                     { "filePath", path },
                                     { "filePathB64", juce::Base64::toBase64 (path.toRawUTF8(), path.getNumBytesAsUTF8()) } }));
            break;
        }
        case OfflineMixRenderer::Outcome::cancelled:
            debugLog ("[EXPORT] cancelled");
            sendEvent (makeObject ({ { "action", "EXPORT_MIX_CANCELLED" } }));
            break;
        case OfflineMixRenderer::Outcome::failed:
            debugLog ("[EXPORT] ERROR: " + exportRenderer->getErrorText());
            sendEvent (makeObject ({ { "action", "EXPORT_MIX_ERROR" }, { "message", exportRenderer->getErrorText() } }));
            break;
    }
}

void AudioEngine::cancelExportAndWait()
{
    if (exportTakeover == nullptr)
        return;
    debugLog ("[EXPORT] a command changes the graph: the running export is cancelled");
    exportRenderer->cancelRequested = true;
    finishExport (exportTakeover->job);
}

void AudioEngine::runAfterExport (std::function<void()> work)
{
    if (work == nullptr)
        return;
    if (exportTakeover == nullptr)
        work();
    else
        workAfterExport.push_back (std::move (work));
}

void AudioEngine::shutDownExport()
{
    if (exportRenderer == nullptr)
        return;
    exportRenderer->cancelRequested = true;
    exportRenderer->stopThread (5000);
    exportTakeover.reset();
    workAfterExport.clear();
}
} // namespace quorvelle
