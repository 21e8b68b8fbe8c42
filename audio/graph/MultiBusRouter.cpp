#include "audio/graph/MultiBusRouter.h"

#include "audio/graph/AudioThreadLog.h"

#include <cmath>
#include <optional>
#include <vector>

namespace quorvelle
{
namespace
{
bool outsideUnity (float gain) noexcept { return gain < 0.9999f || gain > 1.0001f; }

double nowMs() noexcept { return juce::Time::getMillisecondCounterHiRes(); }

template <typename Flag>
bool isSet (Flag* flag) noexcept { return flag != nullptr && flag->load(); }

template <typename Flag>
void clear (Flag* flag) noexcept
{
    if (flag != nullptr)
        flag->exchange (false);
}

template <typename Flag>
void raise (Flag* flag) noexcept
{
    if (flag != nullptr)
        flag->exchange (true);
}
} // namespace

MultiBusRouter::MultiBusRouter()
{
    logSink = AudioThreadLog::shared().addSink ([this] (const juce::String& line)
                                                {
                                                    if (logCallback)
                                                        logCallback (line);
                                                });
}

MultiBusRouter::~MultiBusRouter()
{
    AudioThreadLog::shared().removeSink (logSink);
}

//==============================================================================
void MultiBusRouter::addBus (const juce::String& name, TapAudioSource* tap)
{
    const juce::SpinLock::ScopedLockType sl (routerLock);
    buses[name] = BusRoute { tap, 0, true, false, 1.0f };
    rebuildRouteSnapshot();
}

void MultiBusRouter::addDirectSource (const juce::String& name, juce::AudioSource* source)
{
    const juce::SpinLock::ScopedLockType sl (routerLock);
    directs[name] = BusRoute { source, 0, true, false, 1.0f };
    rebuildRouteSnapshot();
}

void MultiBusRouter::setMonitor (const juce::String& name, bool monitor)
{
    const juce::SpinLock::ScopedLockType sl (routerLock);
    if (auto bus = buses.find (name); bus != buses.end())
        bus->second.monitor = monitor;
    if (auto direct = directs.find (name); direct != directs.end())
        direct->second.monitor = monitor;
    rebuildRouteSnapshot();
}

void MultiBusRouter::setRouting (const juce::String& name, int firstChannel, bool stereo)
{
    const juce::SpinLock::ScopedLockType sl (routerLock);
    for (auto* map : { &buses, &directs })
        if (auto route = map->find (name); route != map->end())
        {
            route->second.firstChannel = firstChannel;
            route->second.stereo = stereo;
        }

    bool custom = false;
    for (auto* map : { &buses, &directs })
        for (const auto& [key, route] : *map)
            custom = custom || route.firstChannel != 0 || ! route.stereo;
    customRouting.store (custom);
    rebuildRouteSnapshot();
}

void MultiBusRouter::setDirectGain (const juce::String& name, float gain)
{
    const juce::SpinLock::ScopedLockType sl (routerLock);
    if (auto direct = directs.find (name); direct != directs.end())
        direct->second.gain = gain;
    if (name == "countIn")
        countInGain.store (gain);
    rebuildRouteSnapshot();
}

void MultiBusRouter::rebuildRouteSnapshot()
{
    auto& snapshot = snapshots.beginWrite();

    int filled = 0;
    // A bus slot reads its group's tap only; a direct slot pulls its source at its own gain.
    const auto place = [&] (const juce::String& name, const BusRoute& route, bool direct)
    {
        auto& slot = snapshot.slots[filled++];
        slot.name = name;
        slot.firstChannel = route.firstChannel;
        slot.stereo = route.stereo;
        slot.monitor = route.monitor;
        slot.tap = dynamic_cast<TapAudioSource*> (route.source);
        slot.source = direct ? route.source : nullptr;
        slot.gain = direct ? route.gain : 1.0f;
        slot.isCountIn = direct && name == "countIn";
        slot.delayLane = direct ? DirectSourceDelay::laneFor (name) : -1;
    };

    for (const auto& [name, route] : buses)
    {
        if (filled >= maxSlots)
            break;
        place (name, route, false);
    }
    snapshot.busCount = filled;

    for (const auto& [name, route] : directs)
    {
        if (filled >= maxSlots)
            break;
        place (name, route, true);
    }
    snapshot.directCount = filled - snapshot.busCount;

    for (int i = filled; i < maxSlots; ++i)
        snapshot.slots[i] = RouteSlot {};

    auto countIn = directs.find ("countIn");
    snapshot.countInSource = countIn != directs.end() ? dynamic_cast<CountInInterface*> (countIn->second.source) : nullptr;
    snapshot.countInDelayLane = DirectSourceDelay::laneFor ("countIn");
    auto overlay = directs.find ("countOverlay");
    snapshot.handoffOverlay = overlay != directs.end() ? dynamic_cast<OverlaySampleSource*> (overlay->second.source) : nullptr;

    snapshots.publish (snapshot);
}

//==============================================================================
std::vector<juce::AudioSource*> MultiBusRouter::directSources() const
{
    std::vector<juce::AudioSource*> sources;
    const juce::SpinLock::ScopedLockType sl (routerLock);
    for (const auto& [name, route] : directs)
        if (route.source != nullptr)
            sources.push_back (route.source);
    return sources;
}

void MultiBusRouter::prepareToPlay (int samplesPerBlockExpected, double sampleRate)
{
    // No worker renders while the chains are prepared (a rate change reconfigures the stretchers).
    if (renderPool != nullptr)
        renderPool->stop();

    const auto sources = directSources();
    if (mainSource != nullptr)
        mainSource->prepareToPlay (samplesPerBlockExpected, sampleRate);
    for (auto* source : sources)
        source->prepareToPlay (samplesPerBlockExpected, sampleRate);

    const int block = juce::jmax (1, samplesPerBlockExpected);
    mainScratch.setSize (2, 2 * block, false, false, true);
    directScratch.setSize (2, 2 * block, false, false, true);
    workBuffer.setSize (maxOutputs, 2 * block + 16, false, false, true);
    songLockedDelay.prepare ((int) std::ceil (maxSongLockedDelaySeconds.load() * sampleRate), 2 * block);

    deviceSampleRate = sampleRate;
    expectedSampleRate = sampleRate;
    for (auto& state : srcStates)
        state = SrcState {};
    lastSrcInputCount = 0;
    lastCallbackMs = 0.0;
    accumulatedMs = 0.0;
    accumulatedSamples = 0;
    accumulatedCallbacks = 0;

    // The bus mixer's pulls: a piece of up to two blocks, at most twice as long again at the session
    // rate. An offline render stays serial.
    if (renderPool != nullptr && ! offline.load())
        renderPool->start (4 * block + 64);

    if (logCallback)
    {
        auto callback = logCallback;
        juce::MessageManager::callAsync ([callback, sampleRate, samplesPerBlockExpected]
                                         {
                                             callback ("[SR-DEBUG] MultiBusRouter::prepareToPlay: expectedSR=" + juce::String (sampleRate)
                                                       + " blockSize=" + juce::String (samplesPerBlockExpected)
                                                       + " \xe2\x80\x94 propagated prepareToPlay to ALL transport+direct sources (cascade resets)");
                                         });
    }
}

void MultiBusRouter::releaseResources()
{
    if (renderPool != nullptr)
        renderPool->stop();

    const auto sources = directSources();
    if (mainSource != nullptr)
        mainSource->releaseResources();
    for (auto* source : sources)
        source->releaseResources();
}

//==============================================================================
void MultiBusRouter::updateRateMonitor (int n)
{
    const auto now = nowMs();
    if (lastCallbackMs > 0.0)
    {
        accumulatedMs += now - lastCallbackMs;
        accumulatedSamples += n;
        accumulatedCallbacks += 1;

        if (accumulatedMs > 5000.0 && accumulatedSamples > 0)
        {
            const auto measured = (double) accumulatedSamples / (accumulatedMs / 1000.0);
            const auto drift = expectedSampleRate > 0.0 ? (measured / expectedSampleRate - 1.0) * 100.0 : 0.0;
            measuredSampleRate.store (measured);
            driftPercent.store (drift);
            averageBlockSize.store ((double) accumulatedSamples / accumulatedCallbacks);
            reportCallbacks.store (accumulatedCallbacks);
            clockMismatch.store (std::abs (drift) > 1.0);
            reportReady.store (true);
            accumulatedMs = 0.0;
            accumulatedSamples = 0;
            accumulatedCallbacks = 0;
        }
    }
    lastCallbackMs = now;
}

void MultiBusRouter::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    const auto startTicks = juce::Time::getHighResolutionTicks();
    const int n = info.numSamples;

    if (logCallback)
        updateRateMonitor (n);
    renderedSamples.fetch_add (n);
    songLockedDelay.beginBlock();

    // The player copies the device's inputs into the buffer and may hand over more channels than the
    // device has outputs: clear every channel, and render only to the device's outputs.
    auto& buffer = *info.buffer;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        buffer.clear (c, info.startSample, n);

    // The view below stays within the router's output bound: JUCE allocates the channel list of a
    // view of 32 channels or more.
    const int outputs = deviceOutputChannels.load();
    const int channels = juce::jmin (maxOutputs, outputs > 0 ? juce::jmin (outputs, buffer.getNumChannels()) : buffer.getNumChannels());
    const int capacity = mainScratch.getNumSamples();

    if (n > 0 && capacity > 0)
    {
        // A block longer than the scratch buffers (twice the prepared block) renders in pieces.
        std::optional<Path> lastPath;
        for (int done = 0; done < n;)
        {
            const int k = juce::jmin (capacity, n - done);
            juce::AudioBuffer<float> dest (buffer.getArrayOfWritePointers(), channels, info.startSample + done, k);
            if (const auto path = renderPiece (dest, k))
                lastPath = path;
            done += k;
        }
        if (lastPath.has_value())
            logPostPauseDiag (buffer, info.startSample, n, *lastPath);
    }

    if (blockRenderedCallback)
        blockRenderedCallback();

    const auto elapsed = juce::Time::highResolutionTicksToSeconds (juce::Time::getHighResolutionTicks() - startTicks);
    const auto micros = (int64_t) (elapsed * 1.0e6);
    lastCallbackMicros.store (micros);
    auto largest = maxCallbackMicros.load();
    while (micros > largest && ! maxCallbackMicros.compare_exchange_weak (largest, micros))
    {
    }
}

std::optional<MultiBusRouter::Path> MultiBusRouter::renderPiece (juce::AudioBuffer<float>& dest, int n)
{
    // No session in the graph and no standalone count: silence, direct sources included.
    if (sessionPresent != nullptr && ! sessionPresent->load() && ! isSet (standaloneCountActive))
        return std::nullopt;

    const PublishedState<Snapshot>::ReadScope snapshot (snapshots);
    const int slotCount = snapshot->busCount + snapshot->directCount;
    for (int i = 0; i < slotCount; ++i)
        if (auto* tap = snapshot->slots[i].tap)
            tap->resetCapture();

    bool fired = false, countInRendered = false;
    const int songStart = processHandoff (*snapshot, n, fired, countInRendered);
    auto* countIn = snapshot->countInSource;
    const bool countInMix = countInRendered && ! overlayHandedOff && countIn != nullptr
                            && (fired || songStart == n || isSet (standaloneCountActive) || countIn->isRegionOverlayActive());

    const auto path = choosePath (dest.getNumChannels());
    if (path == Path::custom)
    {
        renderSongForTaps (n, songStart);
        routeBuses (*snapshot, dest, n, songStart);
        if (countInMix)
            routeCountIn (*snapshot, dest, n);
        routeDirectSources (*snapshot, dest, n);
    }
    else
    {
        renderSongStereo (dest, n, songStart);
        if (countInMix)
            mixStereo (dest, n, path, countInGain.load(), true); // SPLIT: the count goes to the monitor side
        for (int s = snapshot->busCount; s < slotCount; ++s)
        {
            const auto& slot = snapshot->slots[s];
            if (slot.source == nullptr || slot.isCountIn)
                continue;
            renderDirect (slot, n);
            mixStereo (dest, n, path, slot.gain, slot.monitor);
        }
    }

    const float g = masterGain.load() * standbyGain.load();
    if (outsideUnity (g))
        dest.applyGain (0, n, g);
    return path;
}

MultiBusRouter::Path MultiBusRouter::choosePath (int channels) const noexcept
{
    const bool isOffline = offline.load();
    if (splitMonitor.load() && ! isOffline && channels >= 2)
        return Path::split;
    if ((isOffline || ! customRouting.load()) && channels <= 2)
        return Path::fast;
    return Path::custom;
}

void MultiBusRouter::renderSongStereo (juce::AudioBuffer<float>& dest, int n, int songStart)
{
    // The song chain renders in stereo: in SPLIT its channels are the audience and the monitor.
    const int d = n - songStart;
    if (d <= 0 || mainSource == nullptr)
        return;
    const int songChannels = juce::jmin (dest.getNumChannels(), 2);
    if (songStart <= 0)
    {
        juce::AudioBuffer<float> song (dest.getArrayOfWritePointers(), songChannels, n);
        mainSource->getNextAudioBlock (juce::AudioSourceChannelInfo (&song, 0, n));
        return;
    }
    juce::AudioBuffer<float> scratch (mainScratch.getArrayOfWritePointers(), 2, d);
    scratch.clear();
    mainSource->getNextAudioBlock (juce::AudioSourceChannelInfo (&scratch, 0, d));
    for (int i = 0; i < songChannels; ++i)
        dest.addFrom (i, songStart, scratch, i, 0, d);
}

void MultiBusRouter::mixStereo (juce::AudioBuffer<float>& dest, int n, Path path, float gain, bool monitor) noexcept
{
    // directScratch holds the source's block: FAST adds it channel by channel, SPLIT folds both of its
    // channels at half gain onto the audience (0) or the monitor (1) side.
    const int channels = dest.getNumChannels();
    for (int i = 0; i < juce::jmin (2, directScratch.getNumChannels()); ++i)
    {
        if (path == Path::split)
            dest.addFrom (monitor ? 1 : 0, 0, directScratch, i, 0, n, gain * 0.5f);
        else if (i < juce::jmin (channels, 2))
            dest.addFrom (i, 0, directScratch, i, 0, n, gain);
    }
}

void MultiBusRouter::renderSongForTaps (int n, int songStart)
{
    // CUSTOM: the song chain renders only to drive its taps; each bus goes to its own outputs.
    juce::AudioBuffer<float> scratch (mainScratch.getArrayOfWritePointers(), 2, n);
    scratch.clear();
    if (n - songStart > 0 && mainSource != nullptr)
        mainSource->getNextAudioBlock (juce::AudioSourceChannelInfo (&scratch, songStart, n - songStart));
}

void MultiBusRouter::routeBuses (const Snapshot& snapshot, juce::AudioBuffer<float>& dest, int n, int songStart)
{
    // The buses hold the song from `songStart` of this block on (a hand-off inside the block).
    n -= songStart;
    const int channels = dest.getNumChannels();
    if (transport != nullptr && ! transport->isPlaying())
    {
        for (auto& state : srcStates)
            state = SrcState {};
        return;
    }

    const double sessionRate = sessionSampleRate.load();
    if (! (sessionRate > 0.0 && deviceSampleRate > 0.0 && std::abs (sessionRate - deviceSampleRate) > 1.0))
    {
        for (int b = 0; b < snapshot.busCount; ++b)
        {
            const auto& slot = snapshot.slots[b];
            if (slot.tap != nullptr && slot.tap->getCaptured() > 0)
                routeAdd (slot.tap->getCapture(), juce::jmin (slot.tap->getCaptured(), n), dest, songStart, slot.firstChannel, slot.stereo,
                          channels);
        }
        return;
    }

    // The session runs at another rate than the device: route at the session rate into the work
    // buffer, then resample each output channel.
    const double ratio = sessionRate / deviceSampleRate;
    const int inputCount = juce::jmin ((int) std::ceil (n * ratio) + 1, workBuffer.getNumSamples());
    if (inputCount != lastSrcInputCount)
    {
        for (auto& state : srcStates)
            state = SrcState {};
        lastSrcInputCount = inputCount;
    }
    const int outputs = juce::jmin (channels, maxOutputs);

    int largestCapture = 0;
    for (int b = 0; b < snapshot.busCount; ++b)
        if (auto* tap = snapshot.slots[b].tap)
            largestCapture = juce::jmax (largestCapture, tap->getCaptured());
    if (n < 1 || inputCount < 1 || outputs < 1 || largestCapture < 1)
        return;

    for (int k = 0; k < outputs; ++k)
        workBuffer.clear (k, 0, inputCount);
    for (int b = 0; b < snapshot.busCount; ++b)
    {
        const auto& slot = snapshot.slots[b];
        if (slot.tap != nullptr && slot.tap->getCaptured() > 0)
            routeAdd (slot.tap->getCapture(), juce::jmin (slot.tap->getCaptured(), inputCount), workBuffer, 0, slot.firstChannel,
                      slot.stereo, outputs);
    }
    for (int k = 0; k < outputs; ++k)
        resampleLinear (workBuffer.getReadPointer (k), inputCount, dest.getWritePointer (k, songStart), n, ratio, srcStates[k]);
}

void MultiBusRouter::routeCountIn (const Snapshot& snapshot, juce::AudioBuffer<float>& dest, int n)
{
    int first = 0;
    bool stereo = true;
    for (int s = snapshot.busCount; s < snapshot.busCount + snapshot.directCount; ++s)
        if (snapshot.slots[s].isCountIn)
        {
            first = snapshot.slots[s].firstChannel;
            stereo = snapshot.slots[s].stereo;
            break;
        }
    const float countGain = countInGain.load();
    if (outsideUnity (countGain))
        directScratch.applyGain (0, n, countGain);
    routeAdd (directScratch, n, dest, 0, first, stereo, dest.getNumChannels());
}

void MultiBusRouter::routeDirectSources (const Snapshot& snapshot, juce::AudioBuffer<float>& dest, int n)
{
    for (int s = snapshot.busCount; s < snapshot.busCount + snapshot.directCount; ++s)
    {
        const auto& slot = snapshot.slots[s];
        if (slot.source == nullptr || slot.isCountIn)
            continue;
        renderDirect (slot, n);
        if (outsideUnity (slot.gain))
            directScratch.applyGain (0, n, slot.gain);
        routeAdd (directScratch, n, dest, 0, slot.firstChannel, slot.stereo, dest.getNumChannels());
    }
}

void MultiBusRouter::renderDirect (const RouteSlot& slot, int n)
{
    juce::AudioBuffer<float> scratch (directScratch.getArrayOfWritePointers(), 2, n);
    scratch.clear();
    slot.source->getNextAudioBlock (juce::AudioSourceChannelInfo (&scratch, 0, n));
    songLockedDelay.process (slot.delayLane, scratch, n);
}

int MultiBusRouter::processHandoff (const Snapshot& snapshot, int n, bool& fired, bool& countInRendered)
{
    overlayHandedOff = false;
    fired = false;
    auto* overlay = snapshot.handoffOverlay;
    auto* countIn = snapshot.countInSource;

    auto renderCountIn = [&]
    {
        juce::AudioBuffer<float> scratch (directScratch.getArrayOfWritePointers(), 2, n);
        scratch.clear();
        countIn->getNextAudioBlock (juce::AudioSourceChannelInfo (&scratch, 0, n));
        songLockedDelay.process (snapshot.countInDelayLane, scratch, n);
        countInRendered = true;
    };
    auto stamp = [&]
    {
        if (handoffStampMs != nullptr)
            handoffStampMs->store (nowMs());
    };
    auto handOff = [&] (int offset)
    {
        handoffOffset.store (offset);
        if (handoffCallback)
            handoffCallback();
        raise (autoStartRaised);
    };

    // The overlay decides: the song starts on the overlay's last sample.
    if (isSet (overlayDrivesHandoff) && isSet (handoffArmed) && overlay != nullptr)
    {
        overlayHandedOff = true;
        int left = 0;
        if (overlay->isPlaying())
        {
            left = overlay->samplesLeft();
            if (left > n)
                return n;
        }
        clear (handoffArmed);
        clear (overlayDrivesHandoff);
        stamp();
        handOff (left);
        return left;
    }

    if (countInState != nullptr && countInState->counting.load() && countIn != nullptr)
    {
        renderCountIn();

        if (isSet (standaloneCountActive))
        {
            if (! isSet (handoffArmed))
                return 0;

            const auto c = countInState->completedAtSample.exchange (-1);
            if (c >= 0 || ! countIn->isActive())
            {
                stamp();
                clear (handoffArmed);
                clear (standaloneCountActive);
                const int start = juce::jlimit (0, n, (int) c);
                handOff (start);
                fired = true;
                return start;
            }
            return 0;
        }

        // The count before the song: the song starts on the count's end sample.
        const auto c = countInState->completedAtSample.exchange (-1);
        if (c < 0)
            return n;

        fired = true;
        countInState->completionOffset.store (juce::jlimit (0, n, (int) c));
        if (countInState->onComplete)
            countInState->onComplete();

        AudioThreadLog::Record record;
        record.kind = AudioThreadLog::Kind::handoff;
        record.ints[0] = c;
        record.ints[1] = n;
        AudioThreadLog::shared().push (record);
        return juce::jlimit (0, n, (int) c);
    }

    if (countIn == nullptr || ! (isSet (standaloneCountActive) || countIn->isRegionOverlayActive()))
        return 0;

    renderCountIn();

    if (isSet (handoffArmed) && ! countIn->isActive())
    {
        clear (handoffArmed);
        clear (standaloneCountActive);
        handOff (0);
        fired = true;
    }
    if (isSet (countJumpArmed) && ! countIn->isActive())
    {
        clear (standaloneCountActive);
        if (countJumpCallback)
            countJumpCallback();
        fired = true;
    }
    return 0;
}

void MultiBusRouter::logPostPauseDiag (const juce::AudioBuffer<float>& dest, int start, int n, Path path)
{
    if (! logCallback || transport == nullptr || transport->isPlaying())
        return;

    ++postPauseCallbacks;
    if (postPauseCallbacks % 100 != 0 || ! verboseDiagnostics.load())
        return;

    AudioThreadLog::Record record;
    record.kind = AudioThreadLog::Kind::postPauseDiag;
    record.sink = logSink;
    record.ints[0] = postPauseCallbacks;
    record.reals[0] = regionPeak (dest, start, n, dest.getNumChannels());
    record.reals[1] = masterGain.load();
    record.setName (path == Path::split ? "SPLIT" : path == Path::fast ? "FAST" : "CUSTOM");
    AudioThreadLog::shared().push (record);
}

void MultiBusRouter::routeAdd (const juce::AudioBuffer<float>& from, int n, juce::AudioBuffer<float>& dest, int destStart,
                               int firstChannel, bool stereo, int destChannels) noexcept
{
    if (n <= 0 || from.getNumChannels() < 1)
        return;
    const int right = juce::jmin (1, from.getNumChannels() - 1);

    if (stereo)
    {
        if (firstChannel >= 0 && firstChannel < destChannels)
            dest.addFrom (firstChannel, destStart, from, 0, 0, n);
        if (firstChannel + 1 >= 0 && firstChannel + 1 < destChannels)
            dest.addFrom (firstChannel + 1, destStart, from, right, 0, n);
    }
    else if (firstChannel >= 0 && firstChannel < destChannels)
    {
        dest.addFrom (firstChannel, destStart, from, 0, 0, n, 0.5f);
        dest.addFrom (firstChannel, destStart, from, right, 0, n, 0.5f);
    }
}

void MultiBusRouter::resampleLinear (const float* x, int m, float* y, int n, double r, SrcState& s) noexcept
{
    if (n <= 0)
        return;
    if (m <= 0)
    {
        juce::FloatVectorOperations::clear (y, n);
        return;
    }

    const int offset = s.hasCarry ? 1 : 0;
    const int length = m + offset;
    auto v = [&] (int k) noexcept { return (s.hasCarry && k == 0) ? s.carry : x[k - offset]; };

    double p = s.phase;
    for (int j = 0; j < n; ++j)
    {
        const int i = (int) p;
        const auto f = (float) (p - i);
        if (i + 1 < length)
            y[j] = v (i) + (v (i + 1) - v (i)) * f;
        else if (i < length)
            y[j] = v (i);
        else
            y[j] = 0.0f;
        p += r;
    }

    const double e = n * r + s.phase;
    const int c = (int) std::floor (e);
    s.phase = e - c;
    const int index = c - offset;
    if (index >= 0 && index < m)
    {
        s.carry = x[index];
        s.hasCarry = true;
    }
    else
    {
        s.carry = 0.0f;
        s.hasCarry = false;
    }
}
} // namespace quorvelle
