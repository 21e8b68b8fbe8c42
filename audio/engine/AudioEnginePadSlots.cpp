// The two pad slots: switching on and off, levels, file changes that ask the cache for a decoded
// pad, the chain built when it arrives (source, resampler to the device rate, gain stage), cuts and
// crossfades, the delayed clean-ups, and the slots' part of the resets. Message thread; the chains
// reach the audio thread only through `padMixer` and their gain stages' targets. A chain leaves
// the mixer before it is destroyed, and chains are destroyed on a counted worker thread.
#include "audio/engine/AudioEngine.h"

#include <cmath>

namespace quorvelle
{
struct AudioEngine::PadSlot
{
    const char* name;      // "Pad" or "Pad2" in log lines
    const char* lowerName; // "pad" or "pad2"
    bool& enabled;
    float& baseGain;
    juce::String& requestedFile;
    std::shared_ptr<PadStream>& stream;
    std::unique_ptr<SimpleSmoothedGainAudioSource>& gain;
    std::shared_ptr<PadStream>& fadingStream;
    std::unique_ptr<SimpleSmoothedGainAudioSource>& fadingGain;
    bool& continueFlag;
    PadLastUpdate& last;
};

AudioEngine::PadSlot AudioEngine::padSlot (int slot)
{
    if (slot == 2)
        return { "Pad2", "pad2", pad2Enabled, pad2BaseGain, pad2RequestedFile, pad2Stream, pad2Gain, pad2FadingStream, pad2FadingGain,
                 continuePad2, pad2Last };
    return { "Pad", "pad", pad1Enabled, pad1BaseGain, pad1RequestedFile, pad1Stream, pad1Gain, pad1FadingStream, pad1FadingGain,
             continuePad1, pad1Last };
}

namespace
{
// Runs `work` on the message thread after `ms`, while the engine's token lives.
template <typename Token>
void afterDelay (int ms, const Token& token, std::function<void()> work)
{
    juce::Timer::callAfterDelay (ms, [weak = token, work = std::move (work)]
    {
        if (weak.lock() != nullptr)
            work();
    });
}

int fadeTimerMs (float fadeSeconds) { return 100 + (int) (fadeSeconds * 1000.0f); }
} // namespace

bool AudioEngine::padSoloSilence() const
{
    if (metronomeSolo || guideSolo)
        return true;
    for (const auto& [id, track] : tracks)
        if (track->solo)
            return true;
    return false;
}

void AudioEngine::updatePad (bool enabled, const juce::String& file, float volumeDb, float fadeSeconds)
{
    updatePadSlot (1, enabled, file, volumeDb, fadeSeconds);
}

void AudioEngine::updatePad2 (bool enabled, const juce::String& file, float volumeDb, float fadeSeconds)
{
    updatePadSlot (2, enabled, file, volumeDb, fadeSeconds);
}

void AudioEngine::setContinuePad (bool pad1, bool pad2)
{
    continuePad1 = pad1;
    continuePad2 = pad2;
}

void AudioEngine::updatePadSlot (int slotNumber, bool enabled, const juce::String& file, float volumeDb, float fadeSeconds)
{
    auto slot = padSlot (slotNumber);
    const juce::String name (slot.name);

    // No cap, but a value that cannot become a finite gain or fade changes nothing.
    const float requestedGain = volumeDb <= -100.0f ? 0.0f : std::pow (10.0f, volumeDb / 20.0f);
    if (! std::isfinite (volumeDb) || ! std::isfinite (fadeSeconds) || ! std::isfinite (requestedGain))
    {
        juce::Logger::writeToLog ("AudioEngine: " + name + " update ignored: volume " + juce::String (volumeDb) + " fade "
                                  + juce::String (fadeSeconds) + " is not finite");
        return;
    }

    if (enabled == slot.last.enabled && file == slot.last.file && std::abs (volumeDb - slot.last.volumeDb) < 0.1f
        && std::abs (fadeSeconds - slot.last.fadeSeconds) < 0.01f)
        return;

    slot.last = { enabled, file, volumeDb, fadeSeconds };
    const float fade = std::max (0.05f, fadeSeconds);

    if (file.isEmpty() || ! enabled)
    {
        // A removed pad stays off until a request with a file arrives, so no mixer change revives it.
        slot.enabled = false;
        if (slot.gain != nullptr)
            slot.gain->setGain (0.0f, fade);
        if (file.isEmpty())
            slot.requestedFile = {};
        return;
    }

    slot.enabled = true;
    slot.baseGain = requestedGain;

    if (file != slot.requestedFile)
    {
        if (failedPadFiles.count (file) != 0)
        {
            juce::Logger::writeToLog ("AudioEngine: " + name + " load skipped (known-bad) " + file);
            return;
        }
        juce::Logger::writeToLog ("AudioEngine: Loading " + name + " " + file);
        slot.requestedFile = file;
        const bool crossfade = slot.continueFlag;
        requestPadDecode (file, [this, slotNumber, file, fade, crossfade] (std::shared_ptr<LoadedPad> pad)
        {
            runAfterExport ([this, slotNumber, file, fade, crossfade, pad] { attachPadSlot (slotNumber, file, fade, crossfade, pad); });
        }, false);
        return;
    }

    if (slot.stream == nullptr || slot.gain == nullptr)
        return;
    slot.gain->setGain (padSoloSilence() ? 0.0f : slot.baseGain, fade);
    juce::Logger::writeToLog ("AudioEngine: " + name + " Set Gain Target: " + juce::String (slot.baseGain) + " Fade: " + juce::String (fade));
}

void AudioEngine::attachPadSlot (int slotNumber, const juce::String& file, float fade, bool crossfade, std::shared_ptr<LoadedPad> pad)
{
    auto slot = padSlot (slotNumber);
    const juce::String name (slot.name);

    if (pad == nullptr)
    {
        juce::Logger::writeToLog ("AudioEngine: " + name + " load failed (no buffer) " + file);
        failedPadFiles.insert (file);
        if (slot.requestedFile == file)
            slot.requestedFile = {};
        slot.last.file = {};
        return;
    }
    if (file != slot.requestedFile)
    {
        juce::Logger::writeToLog ("AudioEngine: " + name + " load stale, discarding " + file);
        releasePad (file);
        return;
    }

    failedPadFiles.erase (file);
    auto chain = std::make_shared<PadStream>();
    chain->pad = pad;
    chain->file = file;

    juce::AudioSource* source = nullptr;
    if (pad->streaming)
    {
        if (pad->reader != nullptr && pad->readerSource != nullptr && pad->bufferingSource != nullptr)
        {
            chain->reader = std::move (pad->reader);
            chain->readerSource = std::move (pad->readerSource);
            chain->bufferingSource = std::move (pad->bufferingSource);
        }
        else if (! openPadStream (*chain, file))
        {
            juce::Logger::writeToLog ("AudioEngine: " + name + " streaming open failed " + file);
            releasePad (file);
            return;
        }
        chain->bufferingSource->setNextReadPosition (0);
        source = chain->bufferingSource.get();
    }
    else
    {
        if (pad->int16Channels != nullptr)
            chain->memorySource = std::make_unique<Int16MemoryAudioSource> (pad->int16Channels.get());
        else
            chain->memorySource = std::make_unique<juce::MemoryAudioSource> (*pad->floatBuffer, false, false);
        source = chain->memorySource.get();
    }

    const auto deviceRate = deviceSampleRate.load() > 0.0 ? deviceSampleRate.load() : 48000.0;
    if (std::abs (pad->sampleRate - deviceRate) > 1.0)
    {
        chain->resampler = std::make_unique<juce::ResamplingAudioSource> (source, false, pad->numChannels);
        chain->resampler->setResamplingRatio (std::max (0.0, pad->sampleRate / deviceRate));
        source = chain->resampler.get();
    }
    auto stage = std::make_unique<SimpleSmoothedGainAudioSource> (source);

    const auto finishLater = [this, slotNumber, fade]
    {
        afterDelay (fadeTimerMs (fade), padToken, [this, slotNumber] { runAfterExport ([this, slotNumber] { finishPadSlotCrossfade (slotNumber); }); });
    };

    if (slot.fadingGain != nullptr && crossfade)
    {
        slot.fadingGain->setGain (0.0f, fade);
        finishLater();
        // The fading position is taken: a chain playing now is cut, out of the mixer first.
        if (slot.gain != nullptr)
            padMixer.removeInputSource (slot.gain.get());
        if (slot.gain != nullptr || slot.stream != nullptr)
            scheduleOldPadCleanup (std::move (slot.gain), std::move (slot.stream));
    }
    else if (slot.gain != nullptr)
    {
        if (slot.stream != nullptr && crossfade)
        {
            slot.fadingStream = std::move (slot.stream);
            slot.fadingGain = std::move (slot.gain);
            slot.fadingGain->setGain (0.0f, fade);
            finishLater();
        }
        else
        {
            padMixer.removeInputSource (slot.gain.get());
            scheduleOldPadCleanup (std::move (slot.gain), std::move (slot.stream));
        }
    }
    else if (slot.stream != nullptr)
    {
        scheduleOldPadCleanup (nullptr, std::move (slot.stream));
    }

    stage->setGain (0.0f, 0.02f);
    padMixer.addInputSource (stage.get());
    slot.gain = std::move (stage);
    slot.stream = chain;
    slot.continueFlag = false;
    juce::Logger::writeToLog ("AudioEngine: " + name + " attached from cache " + file);
    slot.gain->setGain (slot.enabled && ! padSoloSilence() ? slot.baseGain : 0.0f, fade);
}

// Takes the fading chain out of the mixer and hands it to the clean-up; false when there is none.
bool AudioEngine::retireFadingPad (int slotNumber)
{
    auto slot = padSlot (slotNumber);
    if (slot.fadingGain == nullptr)
        return false;
    padMixer.removeInputSource (slot.fadingGain.get());
    scheduleOldPadCleanup (std::move (slot.fadingGain), std::move (slot.fadingStream));
    return true;
}

void AudioEngine::finishPadSlotCrossfade (int slotNumber)
{
    if (retireFadingPad (slotNumber))
        juce::Logger::writeToLog ("AudioEngine: Old " + juce::String (padSlot (slotNumber).lowerName) + " cleanup queued after crossfade.");
}

void AudioEngine::scheduleOldPadCleanup (std::unique_ptr<SimpleSmoothedGainAudioSource> gain, std::shared_ptr<PadStream> chain)
{
    if (chain != nullptr && chain->file.isNotEmpty())
        releasePad (chain->file);
    if (gain == nullptr && chain == nullptr)
        return;

    // The job owns both; they die on the worker when it drops the job (stage before chain).
    std::shared_ptr<SimpleSmoothedGainAudioSource> stage (std::move (gain));
    padWorkers.launch ([chain = std::move (chain), stage = std::move (stage)] {});
}

// Gives the chain's cache holder back and destroys it off the message thread, as a crossfade does.
void AudioEngine::cleanupFadingPadSlotAfterReset (int slotNumber)
{
    if (retireFadingPad (slotNumber))
        juce::Logger::writeToLog ("AudioEngine::reset: Fading " + juce::String (padSlot (slotNumber).lowerName) + " cleaned up after reset.");
}

void AudioEngine::resetPadSlot (int slotNumber)
{
    auto slot = padSlot (slotNumber);
    if (slot.fadingGain != nullptr)
    {
        // A crossfade in progress finishes by its own timer.
    }
    else if (slot.continueFlag && slot.stream != nullptr && slot.gain != nullptr)
    {
        // Kept sounding from the fading position until the next pad change crossfades it out.
        slot.fadingStream = std::move (slot.stream);
        slot.fadingGain = std::move (slot.gain);
    }
    else if (slot.gain != nullptr && ! slot.enabled)
    {
        slot.fadingStream = std::move (slot.stream);
        slot.fadingGain = std::move (slot.gain);
        const float fade = slot.last.fadeSeconds > 0.05f ? slot.last.fadeSeconds : 0.5f;
        afterDelay (fadeTimerMs (fade), padToken, [this, slotNumber] { cleanupFadingPadSlotAfterReset (slotNumber); });
    }
    else if (slot.gain != nullptr || slot.stream != nullptr)
    {
        if (slot.gain != nullptr)
            padMixer.removeInputSource (slot.gain.get());
        scheduleOldPadCleanup (std::move (slot.gain), std::move (slot.stream));
    }
    slot.requestedFile = {};
}

void AudioEngine::silencePadsForFullReset()
{
    for (int slotNumber : { 1, 2 })
    {
        auto slot = padSlot (slotNumber);
        for (auto* stage : { &slot.gain, &slot.fadingGain })
            if (*stage != nullptr)
            {
                (*stage)->setGain (0.0f, 0.02f);
                padMixer.removeInputSource (stage->get());
            }
        if (slot.gain != nullptr || slot.stream != nullptr)
            scheduleOldPadCleanup (std::move (slot.gain), std::move (slot.stream));
        if (slot.fadingGain != nullptr || slot.fadingStream != nullptr)
            scheduleOldPadCleanup (std::move (slot.fadingGain), std::move (slot.fadingStream));
        slot.requestedFile = {};
        slot.enabled = false;
        slot.continueFlag = false;
        slot.baseGain = 1.0f;
        slot.last = {};
    }
    if (padBusGain != nullptr)
        padBusGain->setGain (1.0f, 0.02f);
}

const SimpleSmoothedGainAudioSource* AudioEngine::getPadGainForTesting (int slotNumber, bool fading) const
{
    auto slot = const_cast<AudioEngine*> (this)->padSlot (slotNumber);
    return fading ? slot.fadingGain.get() : slot.gain.get();
}

std::shared_ptr<const AudioEngine::PadStream> AudioEngine::getPadStreamForTesting (int slotNumber, bool fading) const
{
    auto slot = const_cast<AudioEngine*> (this)->padSlot (slotNumber);
    return fading ? slot.fadingStream : slot.stream;
}
} // namespace quorvelle
