#include "audio/engine/AudioEngine.h"
#include "audio/loading/Transcoder.h"

namespace quorvelle
{
namespace
{
    int64_t floatBytes (const juce::AudioBuffer<float>* buffer)
    {
        return buffer != nullptr ? (int64_t) buffer->getNumChannels() * buffer->getNumSamples() * (int64_t) sizeof (float) : 0;
    }

    int64_t int16Bytes (const std::vector<Int16ChannelData>* channels)
    {
        int64_t bytes = 0;
        if (channels != nullptr)
            for (const auto& channel : *channels)
                bytes += channel.numSamples * (int64_t) sizeof (int16_t);
        return bytes;
    }
} // namespace

juce::var AudioEngine::getNativeStateSnapshot()
{
    auto* state = new juce::DynamicObject();
    juce::var result (state);
    const auto set = [state] (const char* key, const juce::var& value) { state->setProperty (key, value); };

    set ("deviceSampleRate", deviceSampleRate.load());
    set ("sessionSampleRate", sessionSampleRate.load());
    // The device manager belongs to the start-up thread while it opens the device.
    auto* device = initialiseRunning.load() ? nullptr : deviceManager.getCurrentAudioDevice();
    if (device != nullptr)
    {
        set ("currentBufferSize", device->getCurrentBufferSizeSamples());
        set ("currentBitDepth", device->getCurrentBitDepth());
        set ("inputLatencySamples", device->getInputLatencyInSamples());
        set ("outputLatencySamples", device->getOutputLatencyInSamples());
        set ("deviceName", device->getName());
        set ("deviceTypeName", device->getTypeName());
    }
    if (auto* type = initialiseRunning.load() ? nullptr : deviceManager.getCurrentDeviceTypeObject())
        set ("driverName", type->getTypeName());
    set ("activeSongId", activeSongId);
    set ("currentLoadingSongId", currentLoadingSongId);
    set ("currentSongIdForStretch", currentSongIdForStretch);
    set ("originalBpm", originalBpm);
    set ("currentBpm", currentBpm.load());
    set ("currentSemitones", (double) currentSemitones);
    set ("numTracksLoaded", (int) tracks.size());
    set ("hasPad1", pad1Stream != nullptr);
    set ("hasPad2", pad2Stream != nullptr);
    set ("continuePadActive", continuePad1);
    set ("continuePad2Active", continuePad2);
    {
        const juce::ScopedLock lock (padCacheLock);
        set ("padCacheSize", (int) padCache.size());
    }
    set ("loopRegionActive", loopRegionActive.load());
    set ("loopRegionStart", loopRegionStart);
    set ("loopRegionEnd", loopRegionEnd);
    set ("loopSeekPending", loopSeekPending.load());
    set ("boundarySeekActive", boundarySeekActive.load());
    set ("boundarySeekTriggerTime", boundarySeekTriggerTime);
    set ("boundarySeekTargetPos", boundarySeekTargetPos);
    set ("groupBusCount", (int) groupBuses.size());
    juce::Array<juce::var> ids;
    for (const auto& [name, bus] : groupBuses)
        ids.add (name);
    set ("groupBusIds", ids);
    set ("readAheadThreadRunning", masterReadAhead.isThreadRunning());
    set ("padReadAheadThreadRunning", padReadAhead.isThreadRunning());
    if (transcoder != nullptr)
        set ("transcoderRunning", transcoder->isThreadRunning());
    if (trackLoader != nullptr)
        set ("trackLoaderRunning", trackLoader->isThreadRunning());
    if (peakGenerator != nullptr)
        set ("peakGeneratorRunning", peakGenerator->isThreadRunning());
    if (preloader != nullptr)
        set ("preloaderRunning", preloader->isThreadRunning());
    set ("hasPreloadedSession", preloadedSession != nullptr);
    // MemTotal in MiB, as the system reports it.
    set ("totalMemoryMb", juce::SystemStats::getMemorySizeInMegabytes());
    set ("numCpus", juce::SystemStats::getNumCpus());
    set ("cpuVendor", juce::SystemStats::getCpuVendor());
    set ("cpuModel", juce::SystemStats::getCpuModel());
    set ("cpuSpeedMhz", juce::SystemStats::getCpuSpeedInMegahertz());
    set ("osName", juce::SystemStats::getOperatingSystemName());
    return result;
}

AudioEngine::EngineMemoryUsage AudioEngine::getMemoryUsage() const
{
    EngineMemoryUsage usage;
    for (const auto& [id, track] : tracks)
    {
        usage.tracksBytes += floatBytes (track->buffer.get()) + int16Bytes (track->int16Channels.get());
        usage.tracksOrigBytes += floatBytes (track->originalBuffer.get()) + floatBytes (track->stretchedBuffer.get());
    }
    if (cue != nullptr)
        usage.cueBytes = cue->getMemoryUsage();
    for (auto* overlay : { countOverlay.get(), countOverlayClick.get(), countOverlayGuide.get() })
        if (overlay != nullptr)
            usage.overlayBytes += overlay->getSampleBytes();
    addPadMemoryUsage (usage);
    return usage;
}

std::vector<AudioEngine::BusStretchRatio> AudioEngine::getBusStretchRatios() const
{
    std::vector<BusStretchRatio> ratios;
    for (const auto& [name, bus] : groupBuses)
        if (bus->stretch != nullptr)
            ratios.push_back ({ name, bus->stretch->rate.load() });
    return ratios;
}
} // namespace quorvelle
