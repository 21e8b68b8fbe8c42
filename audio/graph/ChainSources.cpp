#include "audio/graph/ChainSources.h"

#include "audio/graph/AudioThreadLog.h"
#include "audio/graph/GraphUtils.h"

namespace quorvelle
{
//==============================================================================
void SourceMixer::addInputSource (juce::AudioSource* input, const std::atomic<bool>* stretchBypass)
{
    if (input == nullptr)
        return;

    double rate;
    int block;
    {
        const juce::SpinLock::ScopedLockType sl (lock);
        if (inputs.contains (input))
            return;
        rate = currentSampleRate;
        block = blockSize;
    }

    if (rate > 0.0)
        input->prepareToPlay (block, rate);

    const juce::SpinLock::ScopedLockType sl (lock);
    if (inputs.addIfNotAlreadyThere (input))
        bypassFlags.add (stretchBypass);
}

void SourceMixer::removeInputSource (juce::AudioSource* input)
{
    if (input == nullptr)
        return;

    {
        const juce::SpinLock::ScopedLockType sl (lock);
        const int index = inputs.indexOf (input);
        if (index < 0)
            return;
        inputs.remove (index);
        bypassFlags.remove (index);
    }
    input->releaseResources();
}

void SourceMixer::removeAllInputs()
{
    juce::Array<juce::AudioSource*> old;
    juce::Array<const std::atomic<bool>*> oldFlags;
    {
        const juce::SpinLock::ScopedLockType sl (lock);
        old.swapWith (inputs);
        oldFlags.swapWith (bypassFlags);
    }
}

int SourceMixer::liveStretchInputs() const noexcept
{
    int live = 0;
    for (const auto* flag : bypassFlags)
        if (flag != nullptr && ! flag->load())
            ++live;
    return live;
}

void SourceMixer::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    const juce::SpinLock::ScopedLockType sl (lock);
    currentSampleRate = sampleRate;
    blockSize = samplesPerBlockExpected;
    work.setSize (maxChannels, juce::jmax (1, samplesPerBlockExpected), false, false, true);

    for (auto* input : inputs)
        input->prepareToPlay (samplesPerBlockExpected, sampleRate);
}

void SourceMixer::releaseResources()
{
    const juce::SpinLock::ScopedLockType sl (lock);
    for (auto* input : inputs)
        input->releaseResources();

    work.setSize (maxChannels, 0);
    currentSampleRate = 0.0;
    blockSize = 0;
}

void SourceMixer::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const juce::SpinLock::ScopedLockType sl (lock);

    if (inputs.isEmpty())
    {
        info.clearActiveBufferRegion();
        return;
    }

    const int channels = juce::jmin (info.buffer->getNumChannels(), work.getNumChannels());
    const int capacity = work.getNumSamples();

    // The pool renders each input in one piece, as below when the pull fits the work buffer.
    if (renderPool != nullptr && inputs.size() > 1 && info.numSamples <= capacity && BusRenderPool::pays (liveStretchInputs())
        && renderPool->renderAndSum (inputs.getRawDataPointer(), inputs.size(), info))
        return;

    inputs.getUnchecked (0)->getNextAudioBlock (info);

    if (inputs.size() < 2 || capacity <= 0)
        return;

    for (int i = 1; i < inputs.size(); ++i)
    {
        for (int done = 0; done < info.numSamples;)
        {
            const int k = juce::jmin (capacity, info.numSamples - done);
            juce::AudioBuffer<float> piece (work.getArrayOfWritePointers(), channels, k);
            inputs.getUnchecked (i)->getNextAudioBlock (juce::AudioSourceChannelInfo (&piece, 0, k));

            for (int c = 0; c < channels; ++c)
                info.buffer->addFrom (c, info.startSample + done, piece, c, 0, k);
            done += k;
        }
    }
}

//==============================================================================
void PositionableMixerSource::addInputSource (juce::PositionableAudioSource* source, const std::atomic<bool>* stretchBypass)
{
    if (source == nullptr)
        return;
    {
        const juce::SpinLock::ScopedLockType sl (inputLock);
        if (inputs.contains (source))
            return;
        inputs.add (source);
    }
    mixer.addInputSource (source, stretchBypass);
}

void PositionableMixerSource::removeInputSource (juce::PositionableAudioSource* source)
{
    {
        const juce::SpinLock::ScopedLockType sl (inputLock);
        inputs.removeFirstMatchingValue (source);
    }
    mixer.removeInputSource (source);
}

void PositionableMixerSource::clearInputs()
{
    juce::Array<juce::PositionableAudioSource*> old;
    {
        const juce::SpinLock::ScopedLockType sl (inputLock);
        old.swapWith (inputs);
        mixer.removeAllInputs();
    }
}

int PositionableMixerSource::numInputs() const
{
    const juce::SpinLock::ScopedLockType sl (inputLock);
    return inputs.size();
}

void PositionableMixerSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    const juce::SpinLock::ScopedLockType sl (inputLock);
    mixer.prepareToPlay (samplesPerBlockExpected, sampleRate);
}

void PositionableMixerSource::releaseResources()
{
    const juce::SpinLock::ScopedLockType sl (inputLock);
    mixer.releaseResources();
}

void PositionableMixerSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    mixer.getNextAudioBlock (info);

    if (virtualLength.load() > 0)
    {
        const juce::SpinLock::ScopedLockType sl (inputLock);
        if (inputs.isEmpty())
        {
            info.clearActiveBufferRegion();
            ownPosition += info.numSamples;
        }
    }
}

void PositionableMixerSource::setNextReadPosition (juce::int64 newPosition)
{
    const juce::SpinLock::ScopedLockType sl (inputLock);
    ownPosition = newPosition;
    for (auto* input : inputs)
        input->setNextReadPosition (newPosition);
}

juce::int64 PositionableMixerSource::getNextReadPosition() const
{
    const juce::SpinLock::ScopedLockType sl (inputLock);
    if (inputs.isEmpty())
        return ownPosition;

    for (auto* input : inputs)
        if (const auto p = input->getNextReadPosition(); p >= 1)
            return p;
    return inputs.getFirst()->getNextReadPosition();
}

juce::int64 PositionableMixerSource::getTotalLength() const
{
    const juce::SpinLock::ScopedLockType sl (inputLock);
    juce::int64 longest = virtualLength.load();
    for (auto* input : inputs)
        longest = juce::jmax (longest, input->getTotalLength());
    return longest;
}

//==============================================================================
LoopRegionSource::LoopRegionSource (juce::PositionableAudioSource* s) : source (s) {}

void LoopRegionSource::setLoopRegion (int64_t start, int64_t end, bool active)
{
    const juce::SpinLock::ScopedLockType sl (regionLock);
    sequence.fetch_add (1);
    loopStart.store (start);
    loopEnd.store (end);
    loopActive.store (active);
    sequence.fetch_add (1);
    if (! active)
        loopFired.store (false);
}

void LoopRegionSource::setJump (int64_t trigger, int64_t target, bool armed)
{
    const juce::SpinLock::ScopedLockType sl (regionLock);
    sequence.fetch_add (1);
    jumpTrigger.store (trigger);
    jumpTarget.store (target);
    if (armed)
    {
        if (++lastToken == 0)
            ++lastToken;
        jumpToken.store (lastToken);
    }
    else
    {
        jumpToken.store (0);
    }
    sequence.fetch_add (1);
    if (! armed)
        jumpFired.store (false);
}

void LoopRegionSource::requestSeek (int64_t position) noexcept
{
    pendingSeekPosition.store (position);
    pendingSeek.store (true);
}

void LoopRegionSource::prepareToPlay (int samplesPerBlockExpected, double rate)
{
    source->prepareToPlay (samplesPerBlockExpected, rate);
    sampleRate = rate;
}

LoopRegionSource::Region LoopRegionSource::readRegion() noexcept
{
    Region region;
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        const auto before = sequence.load();
        if ((before & 1u) == 0)
        {
            region.loopStart = loopStart.load();
            region.loopEnd = loopEnd.load();
            region.loopActive = loopActive.load();
            region.jumpTrigger = jumpTrigger.load();
            region.jumpTarget = jumpTarget.load();
            region.jumpToken = jumpToken.load();
            if (sequence.load() == before)
                return lastRead = region;
        }
    }
    // A writer is between its two increments (a handful of stores): never wait for it, use the
    // settings of the previous block; the new ones apply from the next.
    return lastRead;
}

void LoopRegionSource::moveTo (int64_t position)
{
    source->setNextReadPosition (position);
    if (onPositionJump)
        onPositionJump (position, sampleRate);
}

void LoopRegionSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const int n = info.numSamples;
    if (n <= 0)
        return;

    const int64_t pos = source->getNextReadPosition();

    if (pendingSeek.exchange (false))
    {
        const auto target = pendingSeekPosition.load();
        moveTo (target);
        source->getNextAudioBlock (info);
        seekFrom.store (pos);
        seekTo.store (target);
        seekDone.store (true);
        return;
    }

    const auto region = readRegion();

    auto renderCut = [&] (int64_t boundary, int64_t target, const char* splitKind, const char* lateKind) -> int64_t
    {
        if (pos < boundary)
        {
            if (onEvent)
                onEvent (splitKind);
            const int k = (int) (boundary - pos);
            source->getNextAudioBlock (juce::AudioSourceChannelInfo (info.buffer, info.startSample, k));
            moveTo (target);
            source->getNextAudioBlock (juce::AudioSourceChannelInfo (info.buffer, info.startSample + k, n - k));
            return boundary;
        }

        if (onEvent)
            onEvent (lateKind);
        moveTo (target);
        source->getNextAudioBlock (info);
        return pos;
    };

    if (region.jumpToken != 0 && region.jumpTrigger > 0 && region.jumpTrigger < pos + n)
    {
        lastJumpAt.store (renderCut (region.jumpTrigger, region.jumpTarget, "JUMP-split", "JUMP-late"));
        auto token = region.jumpToken;
        jumpToken.compare_exchange_strong (token, 0); // a jump armed again meanwhile stays armed
        lastJumpTarget.store (region.jumpTarget);
        jumpFired.store (true);
        return;
    }

    if (region.loopActive && region.loopEnd > 0 && region.loopEnd < pos + n)
    {
        lastLoopAt.store (renderCut (region.loopEnd, region.loopStart, "LOOP-split", "LOOP-late"));
        lastLoopStart.store (region.loopStart);
        loopFired.store (true);
        return;
    }

    source->getNextAudioBlock (info);
}

//==============================================================================
void TapAudioSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    source->prepareToPlay (samplesPerBlockExpected, sampleRate);
    // Grown only: preparing at a smaller block keeps the storage.
    capture.setSize (2, 2 * juce::jmax (1, samplesPerBlockExpected), false, false, true);
    capture.clear();
    resetCapture();
}

void TapAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    source->getNextAudioBlock (info);

    const int n = info.numSamples;
    if (n <= 0)
        return;

    const int size = capture.getNumSamples();
    int position = writePosition.load (std::memory_order_relaxed);
    int k = juce::jmin (size - position, n);
    if (k < n && k <= 0)
    {
        position = 0;
        k = juce::jmin (n, size); // a pull longer than the capture keeps its first samples
    }
    if (k <= 0)
        return;

    const bool clear = info.buffer->hasBeenCleared();
    const int channels = juce::jmin (2, info.buffer->getNumChannels());
    float largest = 0.0f;

    for (int c = 0; c < channels; ++c)
    {
        if (clear)
        {
            juce::FloatVectorOperations::clear (capture.getWritePointer (c, position), k);
        }
        else
        {
            const auto* in = info.buffer->getReadPointer (c, info.startSample);
            juce::FloatVectorOperations::copy (capture.getWritePointer (c, position), in, k);
            const auto range = juce::FloatVectorOperations::findMinAndMax (in, k);
            largest = juce::jmax (largest, std::abs (range.getStart()), std::abs (range.getEnd()));
        }
    }
    for (int c = channels; c < 2; ++c)
        juce::FloatVectorOperations::clear (capture.getWritePointer (c, position), k);

    raisePeak (peak, largest);
    position += k;
    writePosition.store (position, std::memory_order_relaxed);
    captured.store (position, std::memory_order_relaxed);
}

//==============================================================================
void SimpleTapAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    source->getNextAudioBlock (info);
    raisePeak (peak, regionPeak (*info.buffer, info.startSample, info.numSamples, 2));
}

//==============================================================================
SplitRouterSource::SplitRouterSource (juce::PositionableAudioSource* s) : PositionableStage (s)
{
    AudioThreadLog::shared();
}

void SplitRouterSource::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    source->prepareToPlay (samplesPerBlockExpected, sampleRate);
    monitorBuffer.setSize (1, 2 * juce::jmax (1, samplesPerBlockExpected) + 16);
    monitorBuffer.clear();
    overrunLogged.store (false);
}

void SplitRouterSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    source->getNextAudioBlock (info);

    const int n = info.numSamples;
    if (! splitActive.load() || info.buffer->getNumChannels() < 2 || n <= 0)
        return;

    const int size = monitorBuffer.getNumSamples();
    const int d = juce::jmin (n, size);
    if (size < n && ! overrunLogged.exchange (true))
    {
        AudioThreadLog::Record record;
        record.kind = AudioThreadLog::Kind::splitMonitorOverrun;
        record.ints[0] = size;
        record.ints[1] = n;
        AudioThreadLog::shared().push (record);
    }
    if (d <= 0)
        return;

    monitorBuffer.clear();
    auto* m = monitorBuffer.getWritePointer (0);

    for (auto* tap : monitorTaps)
    {
        const int captured = tap != nullptr ? tap->getCaptured() : 0;
        if (captured <= 0 || captured > d)
            continue;

        const auto& capture = tap->getCapture();
        const int channels = juce::jmin (2, capture.getNumChannels());
        const float scale = 1.0f / (float) channels;
        for (int c = 0; c < channels; ++c)
        {
            const auto* x = capture.getReadPointer (c);
            for (int i = 0; i < captured; ++i)
                m[i] += x[i] * scale;
        }
    }

    auto* left = info.buffer->getWritePointer (0, info.startSample);
    auto* right = info.buffer->getWritePointer (1, info.startSample);
    for (int i = 0; i < d; ++i)
    {
        const float music = (left[i] + right[i]) * 0.5f;
        left[i] = music - m[i];
        right[i] = m[i];
    }
}

//==============================================================================
void Int16ChannelData::allocate (int64_t n)
{
    samples.reset (n > 0 ? new int16_t[(size_t) n]() : nullptr);
    numSamples = juce::jmax ((int64_t) 0, n);
}

void ChunkLoadMap::reset (int64_t n)
{
    chunkSize = defaultChunkSize;
    totalSamples = juce::jmax ((int64_t) 0, n);
    numChunks = n < 1 ? 0 : (n + chunkSize - 1) / chunkSize;
    const auto words = juce::jmax ((int64_t) 1, (numChunks + 63) / 64);
    bits.reset (new std::atomic<uint64_t>[(size_t) words]);
    for (int64_t i = 0; i < words; ++i)
        bits[(size_t) i].store (0);
}

void ChunkLoadMap::markLoaded (int64_t chunk) noexcept
{
    if (bits != nullptr && chunk >= 0 && chunk < numChunks)
        bits[(size_t) (chunk / 64)].fetch_or ((uint64_t) 1 << (chunk % 64));
}

bool ChunkLoadMap::isLoaded (int64_t chunk) const noexcept
{
    return bits != nullptr && chunk >= 0 && chunk < numChunks
           && (bits[(size_t) (chunk / 64)].load (std::memory_order_acquire) & ((uint64_t) 1 << (chunk % 64))) != 0;
}

//==============================================================================
Int16MemoryAudioSource::Int16MemoryAudioSource (const std::vector<Int16ChannelData>* c, ChunkLoadMap* map,
                                                std::atomic<int64_t>* misses)
    : channels (c), chunkMap (map), missCounter (misses)
{
    length = (channels != nullptr && ! channels->empty()) ? (*channels)[0].numSamples : 0;
}

void Int16MemoryAudioSource::setNextReadPosition (juce::int64 p)
{
    position.store (p < 0 ? 0 : juce::jmin ((int64_t) p, length));
}

void Int16MemoryAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const int k = channels != nullptr ? (int) channels->size() : 0;
    auto& buffer = *info.buffer;

    if (k == 0 || length == 0)
    {
        info.clearActiveBufferRegion();
        return;
    }

    const int outChannels = buffer.getNumChannels();
    int64_t pos = position.load();
    int done = 0;
    constexpr float scale = 1.0f / 32768.0f;

    while (done < info.numSamples)
    {
        const int remaining = info.numSamples - done;
        const auto count = (int) juce::jmin ((int64_t) remaining, length - pos);

        if (count > 0)
        {
            bool missing = false;
            if (chunkMap != nullptr && chunkMap->numChunks > 0)
            {
                const auto first = juce::jmax ((int64_t) 0, pos / chunkMap->chunkSize);
                const auto last = juce::jmin (chunkMap->numChunks - 1, (pos + count - 1) / chunkMap->chunkSize);
                for (auto chunk = first; chunk <= last && ! missing; ++chunk)
                    missing = ! chunkMap->isLoaded (chunk);
            }

            if (missing)
            {
                if (! buffer.hasBeenCleared())
                    for (int c = 0; c < outChannels; ++c)
                        buffer.clear (c, info.startSample + done, count);
                if (missCounter != nullptr)
                    missCounter->fetch_add (1);
            }
            else
            {
                for (int c = 0; c < outChannels; ++c)
                {
                    const auto& data = (*channels)[(size_t) juce::jmin (c, k - 1)];
                    float* out = buffer.getWritePointer (c, info.startSample + done);
                    // A channel shorter than channel 0 plays silence past its end.
                    const auto available = (int) juce::jlimit ((int64_t) 0, (int64_t) count,
                                                               data.samples != nullptr ? data.numSamples - pos : 0);
                    const int16_t* in = data.samples.get() + pos;
                    for (int i = 0; i < available; ++i)
                        out[i] = (float) in[i] * scale;
                    if (available < count)
                        juce::FloatVectorOperations::clear (out + available, count - available);
                }
            }
            pos += count;
            done += count;
        }
        else if (looping.load() && length >= 1)
        {
            pos = 0;
        }
        else
        {
            if (! buffer.hasBeenCleared())
                for (int c = 0; c < outChannels; ++c)
                    buffer.clear (c, info.startSample + done, remaining);
            break;
        }
    }

    position.store (pos);
}
} // namespace quorvelle
