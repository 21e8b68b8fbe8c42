#include "audio/loading/OfflineStretch.h"

#include "audio/graph/TimeStretcher.h"
#include "audio/loading/StretchCache.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace quorvelle
{
bool isValidStretchRequest (double ratio, double semitones)
{
    return std::isfinite (ratio) && std::isfinite (semitones) && ratio >= 0.5 && ratio <= 2.0 && std::abs (semitones) <= 12.0;
}

juce::int64 stretchedLength (juce::int64 length, double ratio)
{
    return length > 0 && ratio > 0.0 ? (juce::int64) std::ceil ((double) length / ratio) : 0;
}

juce::int64 stretchTrackBytes (int channels, juce::int64 samples)
{
    return (juce::int64) std::max (channels, 1) * std::max<juce::int64> (samples, 0) * 4;
}

StretchJobAdmission admitStretchJobOver (const std::vector<juce::int64>& trackBytes, double ratio, int hardwareThreads, juce::int64 availableBytes)
{
    juce::int64 total = 0, peak = 0;
    for (const auto bytes : trackBytes)
    {
        total += bytes;
        peak = std::max (peak, bytes);
    }
    StretchJobAdmission result;
    result.wantedWorkers = std::min (std::max ((int) trackBytes.size(), 1), std::max (hardwareThreads - 1, 1));
    const double lengthFactor = ratio > 0.0 ? 1.0 / ratio : 1.0;
    result.admission = admitStretchJob (total, peak, result.wantedWorkers, lengthFactor, availableBytes);
    return result;
}

std::optional<juce::AudioBuffer<float>> renderOfflineStretch (const juce::AudioBuffer<float>& source, const OfflineStretchSettings& settings,
                                                              const std::function<bool()>& shouldStop,
                                                              const std::function<void (double)>& progress, OfflineStretchReport* report)
{
    const int channels = source.getNumChannels();
    const juce::int64 length = source.getNumSamples();
    const double ratio = settings.ratio;
    if (channels < 1 || length < 1 || ! isValidStretchRequest (ratio, settings.semitones))
        return std::nullopt;

    const auto outLength = settings.outputLength > 0 ? settings.outputLength : stretchedLength (length, ratio);
    const auto rate = (double) (float) settings.sampleRate;
    TimeStretcher stretcher (TimeStretcher::Engine::offline);
    stretcher.configure (channels, (int) (rate * 0.12), (int) (rate * 0.03), settings.sampleRate);
    if (std::abs (settings.semitones) > 0.001f)
        stretcher.setTransposeSemitones (settings.semitones);
    const int inLatency = stretcher.inputLatency();
    const int latency = inLatency + stretcher.outputLatency();
    if (report != nullptr)
        *report = { inLatency, stretcher.outputLatency() };

    juce::AudioBuffer<float> result (channels, (int) outLength);
    result.clear();

    const int block = std::max (1, settings.blockSamples);
    const int scratchLength = std::max (inLatency, (int) std::ceil (block / ratio) + 1);
    juce::AudioBuffer<float> scratch (channels, scratchLength);
    std::vector<const float*> in ((size_t) channels);
    std::vector<float*> out ((size_t) channels);
    for (int c = 0; c < channels; ++c)
        out[(size_t) c] = scratch.getWritePointer (c);

    // The output counts from the first sample after the primed input; its first `latency` samples
    // are the stretcher's delay and are dropped.
    juce::int64 produced = 0;
    const auto keep = [&] (int n)
    {
        for (int c = 0; c < channels; ++c)
        {
            const auto from = std::max<juce::int64> (produced, latency);
            const auto to = std::min<juce::int64> (produced + n, latency + outLength);
            if (to > from)
                juce::FloatVectorOperations::copy (result.getWritePointer (c, (int) (from - latency)), out[(size_t) c] + (from - produced), (int) (to - from));
        }
        produced += n;
    };

    scratch.clear();
    for (int c = 0; c < channels; ++c)
        in[(size_t) c] = scratch.getReadPointer (c);
    stretcher.process (in.data(), inLatency, out.data(), 0);

    for (juce::int64 consumed = 0; consumed < length;)
    {
        if (shouldStop != nullptr && shouldStop())
            return std::nullopt;
        const int n = (int) std::min<juce::int64> (length - consumed, block);
        const int wanted = (int) (stretchedLength (consumed + n, ratio) - stretchedLength (consumed, ratio));
        for (int c = 0; c < channels; ++c)
            in[(size_t) c] = source.getReadPointer (c, (int) consumed);
        stretcher.process (in.data(), n, out.data(), wanted);
        keep (wanted);
        consumed += n;
        if (progress != nullptr)
            progress ((double) consumed / (double) length);
    }

    // The last input is still inside the stretcher: its remaining output completes the length.
    while (produced < latency + outLength)
    {
        const int wanted = (int) std::min<juce::int64> (latency + outLength - produced, scratchLength);
        const int written = stretcher.flush (out.data(), wanted);
        if (written <= 0)
            break;
        keep (written);
    }
    return result;
}

//==============================================================================
struct OfflineStretchProcessor::RunState
{
    const Job& job;
    std::vector<std::unique_ptr<juce::AudioBuffer<float>>> outputs;
    juce::int64 totalWeight = 0;
    std::atomic<juce::int64> doneWeight { 0 };
    std::atomic<int> nextTrack { 0 }, tracksDone { 0 }, lazyReloads { 0 };
    std::atomic<juce::int64> lastReportMs { 0 };
};

namespace
{
juce::String first (const juce::String& text, int n) { return text.substring (0, n); }

// The cached render when the file is there and holds audio; a broken or empty file is a miss.
std::unique_ptr<juce::AudioBuffer<float>> readCachedStretch (const juce::File& path)
{
    if (! isStretchCacheFilePresent (path))
        return nullptr;
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (path.createInputStream().release(), true));
    if (reader == nullptr || reader->lengthInSamples < 1 || reader->numChannels < 1 || reader->lengthInSamples > std::numeric_limits<int>::max())
        return nullptr;
    auto buffer = std::make_unique<juce::AudioBuffer<float>> ((int) reader->numChannels, (int) reader->lengthInSamples);
    if (! reader->read (buffer.get(), 0, (int) reader->lengthInSamples, 0, true, true))
        return nullptr;
    return buffer;
}

std::unique_ptr<juce::AudioBuffer<float>> floatFromInt16 (const std::vector<Int16ChannelData>& channels)
{
    if (channels.empty() || channels.front().numSamples < 1 || channels.front().numSamples > std::numeric_limits<int>::max())
        return nullptr;
    const auto length = (int) channels.front().numSamples;
    auto buffer = std::make_unique<juce::AudioBuffer<float>> ((int) channels.size(), length);
    for (int c = 0; c < (int) channels.size(); ++c)
    {
        auto* to = buffer->getWritePointer (c);
        const auto& from = channels[(size_t) c];
        const auto n = (int) std::min<int64_t> (from.numSamples, length);
        for (int i = 0; i < n; ++i)
            to[i] = (float) from.samples[(size_t) i] * 0.000030517578125f;
        std::fill (to + n, to + length, 0.0f);
    }
    return buffer;
}
} // namespace

OfflineStretchProcessor::OfflineStretchProcessor (Callbacks callbacksIn) : juce::Thread ("OfflineStretch"), callbacks (std::move (callbacksIn)) {}

OfflineStretchProcessor::~OfflineStretchProcessor() { cancelAndWait(); }

int OfflineStretchProcessor::getHardwareThreads() const
{
    return hardwareThreads > 0 ? hardwareThreads : (int) std::max (1u, std::thread::hardware_concurrency());
}

void OfflineStretchProcessor::log (const juce::String& line) const
{
    if (callbacks.log != nullptr)
        callbacks.log (line);
}

void OfflineStretchProcessor::startJob (Job job)
{
    bool restart = false;
    {
        const juce::SpinLock::ScopedLockType lock (pendingLock);
        pendingJob = std::move (job);
        hasPendingJob = true;
        restart = exiting || threadShouldExit();
        exiting = false;
    }
    if (! restart)
    {
        notify();
        return;
    }
    // The thread has decided to end (or never ran): it takes no more jobs, so start it again.
    waitForExit();
    startThread();
}

void OfflineStretchProcessor::cancelAndWait()
{
    {
        const juce::SpinLock::ScopedLockType lock (pendingLock);
        hasPendingJob = false;
        pendingJob = {};
    }
    signalThreadShouldExit();
    notify();
    waitForExit();
}

void OfflineStretchProcessor::waitForExit()
{
    while (isThreadRunning())
        waitForThreadToExit (50);
}

void OfflineStretchProcessor::run()
{
    for (;;)
    {
        std::optional<Job> job;
        {
            const juce::SpinLock::ScopedLockType lock (pendingLock);
            if (threadShouldExit())
            {
                exiting = true;
                return;
            }
            if (hasPendingJob)
            {
                job = std::move (pendingJob);
                pendingJob = {};
                hasPendingJob = false;
            }
        }
        if (job.has_value())
        {
            runJob (std::move (*job));
            continue;
        }
        if (wait (idleTimeoutMs))
            continue;

        // Idle: end, unless a job came in meanwhile. The decision is taken under the lock that
        // `startJob` stores its job under, so a job is either seen here or restarts the thread.
        if (exitDecisionHook != nullptr)
            exitDecisionHook();
        const juce::SpinLock::ScopedLockType lock (pendingLock);
        if (hasPendingJob && ! threadShouldExit())
            continue;
        exiting = true;
        return;
    }
}

void OfflineStretchProcessor::runJob (Job job)
{
    RunState state { job };
    const int n = (int) job.tracks.size();
    if (callbacks.progress != nullptr)
        callbacks.progress (job.songId, 0, n, 0);
    if (threadShouldExit())
        return;

    // The job runs whatever the admission says (APPLY_STRETCH refused what does not fit); it only
    // takes fewer workers when memory is short.
    std::vector<juce::int64> trackBytes;
    for (const auto& track : job.tracks)
        trackBytes.push_back (track.bytes);
    const auto available = callbacks.availableMemory != nullptr ? callbacks.availableMemory() : (juce::int64) -1;
    const auto admitted = admitStretchJobOver (trackBytes, job.ratio, getHardwareThreads(), available);
    const int workers = std::max (1, std::min ((int) admitted.admission.workers, admitted.wantedWorkers));
    if (workers < admitted.wantedWorkers)
        log ("[ADMISSION] stretch workers clamped by memory: " + juce::String (workers) + "/" + juce::String (admitted.wantedWorkers) + " (peak~"
             + juce::String (bytesToLogMb (admitted.admission.neededBytes)) + "MB)");

    state.outputs.resize ((size_t) n);
    for (const auto& track : job.tracks)
        state.totalWeight += std::max<juce::int64> (1, track.weight);

    const auto started = juce::Time::getMillisecondCounterHiRes();
    std::vector<std::thread> extra;
    for (int w = 1; w < workers; ++w)
        extra.emplace_back ([this, &state] { stretchWorker (state); });
    stretchWorker (state);
    for (auto& t : extra)
        t.join();

    if (threadShouldExit())
        return;

    log ("[STRETCH-PERF] JOB DONE | song=" + first (job.songId, 8) + " tracks=" + juce::String (n) + " r=" + juce::String (job.ratio, 4)
         + " st=" + juce::String (job.semitones, 2) + " | process=" + juce::String ((juce::Time::getMillisecondCounterHiRes() - started) / 1000.0, 1)
         + "s workers=" + juce::String (workers) + " lazyReloads=" + juce::String (state.lazyReloads.load()));

    if (callbacks.finished != nullptr)
    {
        auto result = std::make_shared<Result>();
        result->outputs = std::move (state.outputs);
        result->job = std::move (job);
        callbacks.finished (std::move (result));
    }
}

void OfflineStretchProcessor::reportProgress (RunState& state, bool force)
{
    const auto now = (juce::int64) juce::Time::getMillisecondCounterHiRes();
    if (! force && now - state.lastReportMs.load() < 150)
        return;
    state.lastReportMs = now;
    const auto total = state.totalWeight;
    const int percent = total > 0 ? (int) std::clamp<juce::int64> (state.doneWeight.load() * 100 / total, 0, 100) : 0;
    if (callbacks.progress != nullptr)
        callbacks.progress (state.job.songId, state.tracksDone.load(), (int) state.job.tracks.size(), percent);
}

void OfflineStretchProcessor::stretchWorker (RunState& state)
{
    const juce::ScopedNoDenormals noDenormals;
    const int n = (int) state.job.tracks.size();
    for (;;)
    {
        if (threadShouldExit())
            return;
        const int i = state.nextTrack++;
        if (i >= n)
            return;
        const auto& input = state.job.tracks[(size_t) i];
        if (beforeTrackHook != nullptr)
            beforeTrackHook (input.trackId);

        const auto weight = std::max<juce::int64> (1, input.weight);
        juce::int64 reported = 0;
        bool failed = false;
        auto output = stretchTrack (state, input, failed, [&] (double x)
        {
            const auto b = (juce::int64) ((double) weight * std::clamp (x, 0.0, 1.0));
            if (b > reported)
            {
                state.doneWeight += b - reported;
                reported = b;
                reportProgress (state, false);
            }
        });
        if (reported < weight)
            state.doneWeight += weight - reported;

        if (output == nullptr && ! failed)
            return; // stopped by a cancel
        state.outputs[(size_t) i] = std::move (output);
        ++state.tracksDone;
        reportProgress (state, true);
    }
}

std::unique_ptr<juce::AudioBuffer<float>> OfflineStretchProcessor::stretchTrack (RunState& state, const TrackInput& input, bool& failed,
                                                                                  const std::function<void (double)>& progress)
{
    const auto& job = state.job;
    const float semitones = input.skipTranspose ? 0.0f : job.semitones;
    const double ratio = job.ratio;
    const auto id8 = first (input.trackId, 8);
    const auto started = juce::Time::getMillisecondCounterHiRes();

    // The unstretched stem: the playing samples while they are still it, else read again.
    std::unique_ptr<juce::AudioBuffer<float>> owned;
    const juce::AudioBuffer<float>* original = nullptr;
    const auto findOriginal = [&]
    {
        if (input.samplesAreOriginal && input.samples != nullptr)
        {
            if (input.samples->buffer != nullptr)
                return original = input.samples->buffer.get();
            if (input.samples->int16Channels != nullptr && (owned = floatFromInt16 (*input.samples->int16Channels)) != nullptr)
                ++state.lazyReloads;
        }
        if (owned == nullptr && input.reloadOriginal != nullptr && (owned = input.reloadOriginal()) != nullptr)
            ++state.lazyReloads;
        return original = owned.get();
    };

    if (std::abs (ratio - 1.0) < 1e-9 && std::abs (semitones) < 0.001f)
    {
        if (findOriginal() == nullptr)
        {
            failed = true;
            return nullptr;
        }
        auto copy = std::make_unique<juce::AudioBuffer<float>> (*original);
        log ("[STRETCH-PERF] trk=" + id8 + juce::String::fromUTF8 (" NO-OP (r=1, st=0) \xe2\x86\x92 copia directa | took=")
             + juce::String (juce::roundToInt (juce::Time::getMillisecondCounterHiRes() - started)) + "ms");
        return copy;
    }

    juce::File cacheFile;
    if (job.storageRoot != juce::File())
    {
        cacheFile = stretchCachePath (job.storageRoot, job.songId, input.trackId, ratio, semitones, job.sampleRate);
        if (auto cached = readCachedStretch (cacheFile))
        {
            log ("[STRETCH-PERF] trk=" + id8 + " cache HIT (disco) | read=" + juce::String (juce::roundToInt (juce::Time::getMillisecondCounterHiRes() - started))
                 + "ms");
            return cached;
        }
    }

    if (findOriginal() == nullptr)
    {
        failed = true;
        return nullptr;
    }

    OfflineStretchSettings settings;
    settings.ratio = ratio;
    settings.semitones = semitones;
    settings.sampleRate = job.sampleRate;
    OfflineStretchReport report;
    const auto renderStart = juce::Time::getMillisecondCounterHiRes();
    auto rendered = renderOfflineStretch (*original, settings, [this] { return threadShouldExit(); }, progress, &report);
    if (! rendered.has_value())
        return nullptr;

    const double seconds = (juce::Time::getMillisecondCounterHiRes() - renderStart) / 1000.0;
    const double megabytes = (double) original->getNumSamples() * original->getNumChannels() * 4.0 / 1048576.0;
    const int trim = report.inputLatency + report.outputLatency;
    log ("[OFFLINE-STRETCH] trk=" + id8 + " r=" + juce::String (ratio, 4) + " st=" + juce::String (semitones, 2) + " iL="
         + juce::String (report.inputLatency) + " oL=" + juce::String (report.outputLatency) + " trim=" + (trim > 0 ? "Y" : "N")
         + " len=" + juce::String (rendered->getNumSamples()) + " | took=" + juce::String (seconds, 2) + "s ("
         + juce::String (seconds > 0.0 ? megabytes / seconds : 0.0, 1) + " MB/s, " + juce::String (juce::roundToInt (megabytes)) + "MB)");

    owned.reset(); // the original is not needed any more
    auto result = std::make_unique<juce::AudioBuffer<float>> (std::move (*rendered));
    if (cacheFile != juce::File())
        writeStretchCacheFile (cacheFile, input.trackId, *result, job.sampleRate, callbacks.log);
    return result;
}
} // namespace quorvelle
