// Pad decoding and the pad cache: the memory budget of the performance level, the decision
// between memory (16-bit or float) and streaming through a 30 s read-ahead, the serial preload
// queue, use counts, releases, and PAD_LOAD_ERROR. Requests and releases come on the message
// thread; decodes run on counted worker threads and answer through posted closures.
#include "audio/engine/AudioEngine.h"
#include "audio/engine/PadMemory.h"

namespace quorvelle
{
namespace
{
constexpr juce::int64 mebibyte = 1048576;
constexpr int padRingSeconds = 30;

juce::String megabytes (juce::int64 bytes) { return juce::String (bytes / mebibyte); }

juce::int64 ringBytes (const juce::BufferingAudioSource* ring, int numChannels, double sampleRate)
{
    return ring != nullptr ? (juce::int64) numChannels * (juce::int64) (sampleRate * padRingSeconds) * 4 : 0;
}
} // namespace

void AudioEngine::setPerformanceLevel (const juce::String& level)
{
    const juce::int64 threshold = level == "low" ? 50 * mebibyte : level == "high" ? 200 * mebibyte : 100 * mebibyte;
    padRamThresholdBytes = threshold;
    juce::Logger::writeToLog ("AudioEngine: Performance level set to " + level + " (pad RAM threshold: " + megabytes (threshold) + " MB)");
}

// Posts the answer to the message thread with the token taken there; the closure holds the pad.
void AudioEngine::answerPad (const PadCallback& callback, std::shared_ptr<LoadedPad> pad)
{
    postPadWork ([callback, pad = std::move (pad)] { callback (pad); });
}

void AudioEngine::postPadWork (std::function<void()> work) const
{
    juce::MessageManager::callAsync ([weak = padToken, work = std::move (work)]
    {
        if (weak.lock() != nullptr)
            work();
    });
}

void AudioEngine::sendPadLoadError (const juce::String& file, const juce::String& reason)
{
    const auto utf8 = file.toRawUTF8();
    sendEvent (makeObject ({ { "action", "PAD_LOAD_ERROR" },
                             { "file", file },
                             { "fileB64", juce::Base64::toBase64 (utf8, std::strlen (utf8)) },
                             { "reason", reason } }));
}

void AudioEngine::requestPadDecode (const juce::String& file, PadCallback callback, bool queued)
{
    if (file.isEmpty())
    {
        answerPad (callback, nullptr);
        return;
    }

    const juce::ScopedLock lock (padCacheLock);
    if (const auto cached = padCache.find (file); cached != padCache.end())
    {
        ++cached->second->useCount;
        answerPad (callback, cached->second);
        return;
    }
    ++pendingPadDecodes[file];

    if (queued)
    {
        padPreloadQueue.push_back ({ file, std::move (callback) });
        if (! padPreloadRunning)
        {
            padPreloadRunning = true;
            padWorkers.launch ([this] { runPadDecodeQueue(); });
        }
        return;
    }
    padWorkers.launch ([this, file, callback = std::move (callback)] { decodePad (file, callback); });
}

void AudioEngine::runPadDecodeQueue()
{
    const juce::ScopedLock lock (padCacheLock);
    while (! padPreloadQueue.empty())
    {
        auto item = std::move (padPreloadQueue.front());
        padPreloadQueue.pop_front();
        const auto pending = pendingPadDecodes.find (item.file);
        if (pending == pendingPadDecodes.end() || pending->second < 1 || padWorkers.stopping)
        {
            answerPad (item.completion, nullptr);
            continue;
        }
        const juce::ScopedUnlock unlock (padCacheLock);
        decodePad (item.file, item.completion);
    }
    padPreloadRunning = false;
}

juce::int64 AudioEngine::residentPadBytes() const
{
    juce::int64 total = 0;
    for (const auto& [file, pad] : padCache)
    {
        if (pad->streaming)
            continue;
        if (pad->floatBuffer != nullptr)
            total += (juce::int64) pad->floatBuffer->getNumChannels() * pad->floatBuffer->getNumSamples() * 4;
        if (pad->int16Channels != nullptr)
            for (const auto& channel : *pad->int16Channels)
                total += channel.numSamples * 2;
    }
    return total;
}

void AudioEngine::decodePad (const juce::String& file, const PadCallback& callback)
{
    // A failed open or read: the pending count given back, one PAD_LOAD_ERROR, an empty answer.
    const auto fail = [&] (const juce::String& why)
    {
        juce::Logger::writeToLog ("AudioEngine: Pad decode failed (" + why + ") " + file);
        {
            const juce::ScopedLock lock (padCacheLock);
            if (const auto pending = pendingPadDecodes.find (file); pending != pendingPadDecodes.end() && --pending->second <= 0)
                pendingPadDecodes.erase (pending);
        }
        postPadWork ([this, file] { sendPadLoadError (file, juce::String::fromUTF8 ("No se pudo abrir el archivo del pad")); });
        answerPad (callback, nullptr);
    };

    auto reader = createReader (file);
    if (reader == nullptr)
        return fail ("reader null");

    auto pad = std::make_shared<LoadedPad>();
    pad->file = file;
    pad->sampleRate = reader->sampleRate;
    pad->numChannels = (int) reader->numChannels;
    const bool int16 = reader->bitsPerSample >= 1 && reader->bitsPerSample <= 16 && ! reader->usesFloatingPointData;
    const auto length = std::max<juce::int64> (0, reader->lengthInSamples);
    const auto size = (juce::uint64) length * (juce::uint64) pad->numChannels * (int16 ? 2u : 4u);

    const auto threshold = (juce::uint64) padRamThresholdBytes.load();
    juce::uint64 resident;
    {
        const juce::ScopedLock lock (padCacheLock);
        resident = (juce::uint64) residentPadBytes();
    }

    const StopCheck stopping { [this] { return padWorkers.stopping.load(); } };
    if (size < threshold && size + resident <= 2 * threshold)
    {
        bool decoded = false;
        if (int16)
        {
            auto channels = std::make_unique<std::vector<Int16ChannelData>> ((size_t) pad->numChannels);
            for (auto& channel : *channels)
                channel.allocate (length);
            if (readAllToInt16 (reader.get(), *channels, stopping))
            {
                pad->int16Channels = std::move (channels);
                decoded = true;
            }
        }
        if (! decoded)
        {
            // The float read is checked: a file whose data cannot be read is a failed load.
            auto buffer = std::make_unique<juce::AudioBuffer<float>> (pad->numChannels, (int) length);
            if (pad->numChannels > 0) // the channels lie one after another in one block
                adviseHugePages (buffer->getWritePointer (0), (size_t) length * (size_t) pad->numChannels * sizeof (float));
            if (! readAllToFloat (reader.get(), *buffer, length, stopping))
                return fail ("read error");
            pad->floatBuffer = std::move (buffer);
        }
        reader.reset();
        juce::Logger::writeToLog ("AudioEngine: Pad RAM " + megabytes ((juce::int64) size) + "MB < threshold " + megabytes ((juce::int64) threshold)
                                  + "MB fmt=" + (int16 ? "int16" : "float32") + juce::String::fromUTF8 (" \xe2\x80\x94 ") + file);
    }
    else
    {
        if (size < threshold)
            juce::Logger::writeToLog (juce::String::fromUTF8 ("AudioEngine: Pad \xe2\x86\x92 STREAMING por tope agregado (") + megabytes ((juce::int64) resident)
                                      + "MB residentes + " + megabytes ((juce::int64) size) + "MB > " + megabytes ((juce::int64) (2 * threshold))
                                      + juce::String::fromUTF8 ("MB) \xe2\x80\x94 ") + file);
        pad->streaming = true;
        pad->reader = std::move (reader);
        pad->readerSource = std::make_unique<juce::AudioFormatReaderSource> (pad->reader.get(), false);
        pad->bufferingSource = std::make_unique<juce::BufferingAudioSource> (pad->readerSource.get(), padReadAhead, false,
                                                                             (int) (pad->sampleRate * padRingSeconds), pad->numChannels, false);
        const auto rate = deviceSampleRate.load();
        pad->bufferingSource->prepareToPlay (512, rate > 0.0 ? rate : 48000.0);
        juce::Logger::writeToLog ("AudioEngine: Pad STREAMING " + megabytes ((juce::int64) size) + "MB >= threshold " + megabytes ((juce::int64) threshold)
                                  + "MB, ring " + juce::String (padRingSeconds) + juce::String::fromUTF8 ("s \xe2\x80\x94 ") + file);
    }

    const juce::ScopedLock lock (padCacheLock);
    const auto pending = pendingPadDecodes.find (file);
    if (pending == pendingPadDecodes.end() || pending->second < 1)
    {
        juce::Logger::writeToLog ("AudioEngine: Pad decode discarded (cancelled) " + file);
        answerPad (callback, nullptr);
        return;
    }
    if (--pending->second <= 0)
        pendingPadDecodes.erase (pending);

    if (const auto cached = padCache.find (file); cached != padCache.end())
    {
        ++cached->second->useCount;
        answerPad (callback, cached->second);
        return;
    }
    pad->useCount = 1;
    padCache[file] = pad;
    juce::Logger::writeToLog ("AudioEngine: Pad cache insert " + file + " (entries=" + juce::String ((int) padCache.size()) + ")");
    answerPad (callback, pad);
}

void AudioEngine::releasePad (const juce::String& file)
{
    if (file.isEmpty())
        return;

    const juce::ScopedLock lock (padCacheLock);
    if (const auto cached = padCache.find (file); cached != padCache.end())
    {
        if (cached->second->useCount.fetch_sub (1) <= 1)
        {
            cached->second->useCount = 0;
            juce::Logger::writeToLog ("AudioEngine: Pad cache evict " + file + " (remaining=" + juce::String ((int) padCache.size() - 1) + ")");
            padCache.erase (cached);
        }
        return;
    }
    if (const auto pending = pendingPadDecodes.find (file); pending != pendingPadDecodes.end() && pending->second > 0)
    {
        if (--pending->second <= 0)
            pendingPadDecodes.erase (pending);
        juce::Logger::writeToLog ("AudioEngine: Pad pending decode cancelled " + file);
    }
}

void AudioEngine::releaseAllPads()
{
    const juce::ScopedLock lock (padCacheLock);
    if (! padCache.empty())
    {
        juce::Logger::writeToLog ("AudioEngine: Pad cache clear (" + juce::String ((int) padCache.size()) + " entries)");
        padCache.clear();
    }
    if (! pendingPadDecodes.empty())
    {
        juce::Logger::writeToLog ("AudioEngine: Pad pending decodes cancelled (" + juce::String ((int) pendingPadDecodes.size()) + " files)");
        pendingPadDecodes.clear();
    }
    failedPadFiles.clear();
}

void AudioEngine::forgetFailedPadFile (const juce::String& file) { failedPadFiles.erase (file); }

void AudioEngine::clearFailedPadFiles()
{
    if (failedPadFiles.empty())
        return;
    juce::Logger::writeToLog ("AudioEngine: failedPadFiles cleared on song change (" + juce::String ((int) failedPadFiles.size()) + " marks)");
    failedPadFiles.clear();
}

bool AudioEngine::openPadStream (PadStream& chain, const juce::String& file)
{
    auto reader = createReader (file);
    if (reader == nullptr)
        return false;
    const auto fileRate = reader->sampleRate;
    const auto channels = (int) reader->numChannels;
    chain.reader = std::move (reader);
    chain.readerSource = std::make_unique<juce::AudioFormatReaderSource> (chain.reader.get(), false);
    chain.bufferingSource = std::make_unique<juce::BufferingAudioSource> (chain.readerSource.get(), padReadAhead, false,
                                                                          (int) (fileRate * padRingSeconds), channels, false);
    const auto rate = deviceSampleRate.load();
    chain.bufferingSource->prepareToPlay (512, rate > 0.0 ? rate : 48000.0);
    return true;
}

std::shared_ptr<AudioEngine::LoadedPad> AudioEngine::findCachedPad (const juce::String& file) const
{
    const juce::ScopedLock lock (padCacheLock);
    const auto found = padCache.find (file);
    return found != padCache.end() ? found->second : nullptr;
}

int AudioEngine::getPadCacheSize() const
{
    const juce::ScopedLock lock (padCacheLock);
    return (int) padCache.size();
}

void AudioEngine::addPadMemoryUsage (EngineMemoryUsage& usage) const
{
    const juce::ScopedLock lock (padCacheLock);
    usage.padsBytes += residentPadBytes();
    for (const auto& [file, pad] : padCache)
        usage.padRingBytes += ringBytes (pad->bufferingSource.get(), pad->numChannels, pad->sampleRate);
    for (const auto* chain : { pad1Stream.get(), pad1FadingStream.get(), pad2Stream.get(), pad2FadingStream.get() })
        if (chain != nullptr && chain->pad != nullptr)
            usage.padRingBytes += ringBytes (chain->bufferingSource.get(), chain->pad->numChannels, chain->pad->sampleRate);
}
} // namespace quorvelle
