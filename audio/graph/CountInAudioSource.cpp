#include "audio/graph/CountInAudioSource.h"

#include "audio/graph/GraphUtils.h"
#include "core/CountIn.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace quorvelle
{
namespace
{
using Lock = juce::SpinLock::ScopedLockType;

bool holdsAudio (const SharedSampleBuffer& buffer) noexcept
{
    return buffer != nullptr && buffer->getNumSamples() > 0 && buffer->getNumChannels() > 0;
}

const juce::AudioBuffer<float>* findCue (const CueSampleMap& cues, const juce::String& key)
{
    const auto found = cues.find (key);
    return found != cues.end() && holdsAudio (found->second) ? found->second.get() : nullptr;
}
} // namespace

void CountInAudioSource::VoiceList::add (const ActiveVoice& voice) noexcept
{
    if (count == maxActiveVoices)
    {
        std::move (entries.begin() + 1, entries.end(), entries.begin());
        --count;
    }
    entries[(size_t) count++] = voice;
}

void CountInAudioSource::VoiceList::removeSpoken() noexcept
{
    int kept = 0;
    for (int i = 0; i < count; ++i)
        if (! entries[(size_t) i].isVoice)
            entries[(size_t) kept++] = entries[(size_t) i];
    count = kept;
}

CountInAudioSource::CountInAudioSource()
{
    AudioThreadLog::shared();
}

CountInAudioSource::~CountInAudioSource() = default;

void CountInAudioSource::note (const juce::String& line) const
{
    if (logCallback)
        logCallback (line);
    else
        juce::Logger::writeToLog (line);
}

//==============================================================================
// Building a count (message thread), off the render.

void CountInAudioSource::buildVoiceEvents (CountPlan& built, const juce::String& sectionKey)
{
    const auto pattern = core::buildCountInPattern (bpm, numerator, denominator, sectionKey.toStdString());
    for (const auto& beat : pattern.beats)
        built.events.push_back ({ juce::String::fromUTF8 (beat.label.c_str()),
                                  (int64_t) (beat.time * outputSampleRate + 0.5), beat.accent, -1 });
    built.length = (int64_t) (pattern.totalDuration * outputSampleRate + 0.5);
}

void CountInAudioSource::buildPreRollEvents (CountPlan& built, const juce::String& sectionKey)
{
    const auto beat = (int64_t) (60.0 / bpm * (4.0 / denominator) * outputSampleRate);
    built.events.push_back ({ sectionKey, 0, true, -1 });
    const bool compound = denominator == 8 && numerator % 3 == 0 && numerator > 6;
    if (compound)
    {
        const int dotted = numerator / 3;
        for (int i = 2; i <= dotted; ++i)
            built.events.push_back ({ juce::String (i), (int64_t) (i - 1) * 3 * beat, false, -1 });
        built.length = (int64_t) dotted * 3 * beat;
    }
    else
    {
        for (int i = 2; i <= numerator; ++i)
            built.events.push_back ({ juce::String (i), (int64_t) (i - 1) * beat, false, -1 });
        built.length = (numerator < 2 ? 1 : (int64_t) numerator) * beat;
    }
}

void CountInAudioSource::buildClickEvents (CountPlan& built)
{
    const bool eighths = clickLevels[2].load() > 0.0f, sixteenths = clickLevels[3].load() > 0.0f;
    if (! (eighths || sixteenths) || outputSampleRate <= 0.0 || built.events.empty() || built.length <= 0)
        return;

    std::vector<double> beatTimes;
    for (const auto& event : built.events)
        beatTimes.push_back ((double) event.samplePos / outputSampleRate);
    const auto clicks = core::buildSubdivisionClicks (bpm, numerator, denominator, beatTimes,
                                                      (double) built.length / outputSampleRate, eighths, sixteenths);
    for (const auto& click : clicks)
        built.events.push_back ({ {}, (int64_t) (outputSampleRate * click.time + 0.5), false, click.kind });
    std::stable_sort (built.events.begin(), built.events.end(),
                      [] (const CountInEvent& a, const CountInEvent& b) { return a.samplePos < b.samplePos; });
}

void CountInAudioSource::resolveVoiceSamples (CountPlan& built)
{
    built.cues = cueSamplesRef != nullptr ? cueSamplesRef->snapshot() : nullptr;
    static const CueSampleMap none;
    const auto& cues = built.cues != nullptr ? *built.cues : none;
    built.eventVoices.clear();
    for (const auto& event : built.events)
        built.eventVoices.push_back (event.key.isEmpty() ? nullptr : findCue (cues, event.key));
    const auto cuenta = cues.find ("cuenta_inicial");
    built.cuentaInicialVoice = cuenta != cues.end() && holdsAudio (cuenta->second) ? cuenta->second : nullptr;
    built.clickHigh = holdsAudio (clickHighRef) ? clickHighRef : nullptr;
    built.clickLow = holdsAudio (clickLowRef) ? clickLowRef : nullptr;
}

bool CountInAudioSource::startCountIn (const juce::String& sectionKey, bool start)
{
    double rate;
    {
        const Lock lock (renderLock);
        rate = outputSampleRate;
    }
    const auto cues = cueSamplesRef != nullptr ? cueSamplesRef->snapshot() : nullptr;
    note ("[COUNT-IN] startCountIn(\"" + sectionKey + "\") | bpm=" + juce::String (bpm, 1) + " | outputSR=" + juce::String (rate)
          + " | sourceSR=" + juce::String (voiceSampleRate) + " | timeSig=" + juce::String (numerator) + "/"
          + juce::String (denominator) + " | cueSamplesRef=" + (cueSamplesRef != nullptr ? "yes" : "null")
          + " | cueSamplesCount=" + juce::String (cues != nullptr ? (int) cues->size() : 0));

    if (rate <= 0.0 || bpm <= 0.0 || cueSamplesRef == nullptr)
    {
        note ("[COUNT-IN] ABORTED: outputSR=" + juce::String (rate) + " bpm=" + juce::String (bpm)
              + " cueSamplesRef=" + (cueSamplesRef != nullptr ? "yes" : "null"));
        return false;
    }

    auto built = std::make_unique<CountPlan>();
    {
        const Lock lock (renderLock);
        outputSampleRate = rate;
    }
    buildVoiceEvents (*built, sectionKey);
    buildClickEvents (*built);
    resolveVoiceSamples (*built);
    installCount (built, false, start, sectionKey);
    return true;
}

void CountInAudioSource::startCountInPreRoll (const juce::String& sectionKey)
{
    double rate;
    {
        const Lock lock (renderLock);
        rate = outputSampleRate;
    }
    note ("[PRE-ROLL] startCountInPreRoll(\"" + sectionKey + "\") | bpm=" + juce::String (bpm, 1) + " | timeSig="
          + juce::String (numerator) + "/" + juce::String (denominator));
    if (rate <= 0.0 || bpm <= 0.0 || cueSamplesRef == nullptr)
    {
        note ("[PRE-ROLL] ABORTED: invalid state");
        return;
    }
    loopsRemaining.store (0);
    auto built = std::make_unique<CountPlan>();
    buildPreRollEvents (*built, sectionKey);
    buildClickEvents (*built);
    resolveVoiceSamples (*built);
    installCount (built, true, true, sectionKey);
}

void CountInAudioSource::installCount (std::unique_ptr<CountPlan>& built, bool preRoll, bool start, const juce::String&)
{
    const juce::String tag = preRoll ? "[PRE-ROLL]" : "[COUNT-IN]";
    const auto eventCount = (int) built->events.size();
    const auto builtLength = built->length;
    std::vector<juce::String> beatLines;
    for (int i = 0; i < eventCount; ++i)
    {
        const auto& event = built->events[(size_t) i];
        if (event.clickKind < 2)
            beatLines.push_back (tag + "   beat[" + juce::String (i) + "] key=\"" + event.key + "\" trigger=" + juce::String (event.samplePos)
                                 + " downbeat=" + (event.downbeat ? "Y" : "N") + " cueFile="
                                 + (built->eventVoices[(size_t) i] != nullptr ? "found" : "MISSING"));
    }

    std::vector<SharedSampleBuffer> oldSwaps;
    oldSwaps.reserve (earlierSwapVoices.size() + 1);
    SharedSampleBuffer oldSwap;
    double ratio;
    {
        const Lock lock (renderLock);
        active.store (false);
        std::swap (plan, built); // the previous count leaves with `built`, freed below
        position = 0;
        nextEvent = 0;
        length = builtLength;
        activeVoices.clear();
        announcementPassed = false;
        std::swap (swapVoice, oldSwap);
        std::swap (earlierSwapVoices, oldSwaps);
        renderClicks.store (true);
        renderVoice.store (true);
        clickGainOverride.store (-1.0f);
        voiceGainOverride.store (-1.0f);
        ratio = speedRatio;
    }
    built.reset();

    for (const auto& line : beatLines)
        note (line);
    if (preRoll)
        note ("[PRE-ROLL] Started. " + juce::String (eventCount) + " beats, " + juce::String (builtLength) + " total samples");
    else
        note ("CountInSource: Started. " + juce::String (eventCount) + " beats, " + juce::String (builtLength) + " total samples"
              + ", speedRatio=" + juce::String (ratio, 4) + " (src=" + juce::String (voiceSampleRate) + " -> out="
              + juce::String (outputSampleRate) + ")");

    if (start)
    {
        if (countInState != nullptr)
        {
            countInState->completedAtSample.exchange (-1);
            countInState->counting.exchange (true);
        }
        active.exchange (true);
    }
}

void CountInAudioSource::stop()
{
    std::unique_ptr<CountPlan> oldPlan;
    SharedSampleBuffer oldSwap;
    std::vector<SharedSampleBuffer> oldSwaps;
    {
        const Lock lock (renderLock);
        active.store (false);
        if (countInState != nullptr)
        {
            countInState->counting.store (false);
            countInState->completedAtSample.store (-1);
        }
        std::swap (plan, oldPlan);
        activeVoices.clear();
        position = 0;
        nextEvent = 0;
        std::swap (swapVoice, oldSwap);
        std::swap (earlierSwapVoices, oldSwaps);
        loopsRemaining.store (0);
        clickGainOverride.store (-1.0f);
        voiceGainOverride.store (-1.0f);
        armRegionAfterCount = false;
    }
    // The count's buffers are released here, off the audio thread.
}

void CountInAudioSource::setRegionVoiceOverlay (const std::vector<RegionVoiceEvent>& voices, int64_t endSample, bool startNow)
{
    auto built = std::make_unique<RegionPlan>();
    built->voices = voices;
    built->cues = cueSamplesRef != nullptr ? cueSamplesRef->snapshot() : nullptr;
    for (const auto& voice : voices)
        built->buffers.push_back (built->cues != nullptr ? findCue (*built->cues, voice.key) : nullptr);

    clickGainOverride.store (-1.0f);
    voiceGainOverride.store (-1.0f);
    {
        const Lock lock (renderLock);
        std::swap (region, built);
        regionNext = 0;
        regionPosition = 0;
        regionEnd = endSample;
        activeRegionVoices.clear();
        armRegionAfterCount = ! startNow;
        regionRestartRequested.store (false);
        regionHasVoices.store (! region->voices.empty());
        regionOverlayActive.store (startNow);
    }
}

void CountInAudioSource::restartRegionOverlay() noexcept
{
    if (! regionHasVoices.load())
        return;
    regionRestartRequested.store (true);
    regionOverlayActive.store (true);
}

void CountInAudioSource::setRates (double outputRate, double voiceRate)
{
    voiceSampleRate = voiceRate;
    const Lock lock (renderLock);
    outputSampleRate = outputRate;
    speedRatio = outputRate > 0.0 && voiceRate > 0.0 ? voiceRate / outputRate : 1.0;
}

void CountInAudioSource::clearRegionOverlay()
{
    const Lock lock (renderLock);
    regionOverlayActive.store (false);
    armRegionAfterCount = false;
    activeRegionVoices.clear();
}

bool CountInAudioSource::armVoiceSwap (const juce::String& key)
{
    bool passed;
    {
        const Lock lock (renderLock);
        passed = announcementPassed;
    }
    if (passed || cueSamplesRef == nullptr || key.isEmpty())
        return false;
    const auto cues = cueSamplesRef->snapshot();
    const auto found = cues->find (key);
    if (found == cues->end() || ! holdsAudio (found->second))
        return false;

    earlierSwapVoices.reserve (earlierSwapVoices.size() + 1); // no allocation under the lock
    bool armed = false;
    {
        const Lock lock (renderLock);
        if (! announcementPassed)
        {
            if (swapVoice != nullptr)
                earlierSwapVoices.push_back (swapVoice); // it may be playing: kept to the next start or stop
            swapVoice = found->second;
            armed = true;
        }
    }
    if (armed)
        note ("[COUNT-VOICE] swap armed -> key=\"" + key + "\" (n=" + juce::String (found->second->getNumSamples()) + ")");
    return armed;
}

void CountInAudioSource::trimLength (int64_t samples)
{
    const Lock lock (renderLock);
    length = std::max<int64_t> (0, length - samples);
}

void CountInAudioSource::truncateAt (double seconds)
{
    const Lock lock (renderLock);
    if (seconds > 0.0 && outputSampleRate > 0.0)
        length = std::min (length, (int64_t) (outputSampleRate * seconds + 0.5));
}

double CountInAudioSource::getPositionSeconds() const
{
    const Lock lock (const_cast<juce::SpinLock&> (renderLock));
    return outputSampleRate > 0.0 ? (double) position / outputSampleRate : 0.0;
}

double CountInAudioSource::getLengthSeconds() const
{
    const Lock lock (const_cast<juce::SpinLock&> (renderLock));
    return outputSampleRate > 0.0 ? (double) length / outputSampleRate : 0.0;
}

int64_t CountInAudioSource::getLength() const
{
    const Lock lock (const_cast<juce::SpinLock&> (renderLock));
    return length;
}

std::vector<CountInAudioSource::CountInEvent> CountInAudioSource::getEvents() const
{
    // The copy's storage is reserved before the lock (copying the events then only counts string
    // references); a count installed meanwhile with more events takes another round.
    std::vector<CountInEvent> events;
    for (;;)
    {
        size_t needed = 0;
        {
            const Lock lock (const_cast<juce::SpinLock&> (renderLock));
            if (plan == nullptr)
                return {};
            if (plan->events.size() <= events.capacity())
            {
                events.assign (plan->events.begin(), plan->events.end());
                return events;
            }
            needed = plan->events.size();
        }
        events.reserve (needed);
    }
}

void CountInAudioSource::prepareToPlay (int, double rate)
{
    const Lock lock (renderLock);
    outputSampleRate = rate;
    if (rate > 0.0 && voiceSampleRate > 0.0)
        speedRatio = voiceSampleRate / rate;
}

//==============================================================================
// The render (audio thread).

float CountInAudioSource::mixVoice (ActiveVoice& voice, juce::AudioBuffer<float>& buffer, int o0, int n, float startGain,
                                    float endGain) noexcept
{
    const auto* source = voice.buffer;
    const int length = source->getNumSamples();
    const int sourceChannels = source->getNumChannels();
    const int channels = buffer.getNumChannels();
    float peak = 0.0f;
    int written = 0;
    while (voice.position < (double) length && written < n)
    {
        const int i = (int) voice.position;
        const auto fraction = (float) (voice.position - i);
        const float gain = voice.gain * (startGain + (endGain - startGain) * (float) written / (float) n);
        for (int c = 0; c < channels; ++c)
        {
            const auto* data = source->getReadPointer (juce::jmin (c, sourceChannels - 1));
            const float next = i + 1 < length ? data[i + 1] : data[i];
            const float s = (data[i] + (next - data[i]) * fraction) * gain;
            buffer.addSample (c, o0 + written, s);
            peak = juce::jmax (peak, std::abs (s));
        }
        voice.position += speedRatio;
        ++written;
    }
    return peak;
}

void CountInAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    auto& buffer = *info.buffer;
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        buffer.clear (c, info.startSample, info.numSamples);

    const Lock lock (renderLock);
    if (regionRestartRequested.exchange (false))
    {
        regionNext = 0;
        regionPosition = 0;
        activeRegionVoices.clear();
    }
    if (regionOverlayActive.load())
        renderRegion (buffer, info.startSample, info.numSamples);
    else if (active.load() && cueSamplesRef != nullptr && plan != nullptr)
        renderCount (buffer, info.startSample, info.numSamples);
}

void CountInAudioSource::renderCount (juce::AudioBuffer<float>& buffer, int o0, int n)
{
    auto ended = [this] (int at)
    {
        if (countInState != nullptr)
        {
            countInState->completedAtSample.store (at);
            countInState->counting.store (false);
        }
        active.store (false);
        activeVoices.clear(); // the count's sounds end exactly at its last sample
        if (armRegionAfterCount)
        {
            armRegionAfterCount = false;
            regionOverlayActive.store (true);
        }
    };

    if (position >= length)
    {
        ended (0);
        return;
    }

    const int e = (int) std::min<int64_t> (length - position, n);
    const auto& events = plan->events;
    const auto loops = loopsRemaining.load();

    while (nextEvent < (int32_t) events.size() && events[(size_t) nextEvent].samplePos < position + e)
    {
        const auto index = nextEvent;
        const auto& event = events[(size_t) index];
        const juce::AudioBuffer<float>* voice = nullptr;
        bool usedSwap = false, usedLoopVoice = false;
        const bool announcement = event.downbeat && index > 0;
        if (announcement)
        {
            announcementPassed = true;
            if (loops != 0 && plan->cuentaInicialVoice != nullptr)
            {
                voice = plan->cuentaInicialVoice.get();
                usedLoopVoice = true;
            }
            else if (swapVoice != nullptr)
            {
                voice = swapVoice.get();
                usedSwap = true;
            }
        }
        if (voice == nullptr)
            voice = plan->eventVoices[(size_t) index];

        if (renderVoice.load() && voice != nullptr)
        {
            activeVoices.removeSpoken();
            activeVoices.add ({ voice, 0.0, true, 1.0f });
        }

        const int kind = event.clickKind >= 0 ? event.clickKind : (event.downbeat ? 0 : 1);
        const auto* click = event.downbeat ? plan->clickHigh.get() : plan->clickLow.get();
        const float level = clickLevels[(size_t) juce::jmin (kind, 3)].load();
        if (renderClicks.load() && click != nullptr && level > 0.0f)
            activeVoices.add ({ click, 0.0, false, level });

        if (logCallback && event.key.isNotEmpty())
        {
            AudioLogLine line ("[COUNT-VOICE] beatIdx=");
            line << index << " key=" << "\"" << event.key << "\"";
            if (announcement)
                line << " ★SECTION-ANNOUNCE";
            if (usedSwap)
                line << " [OVERRIDE->salto]";
            if (usedLoopVoice)
                line << " [LOOP->\"cuenta_inicial\"]";
            line << " voiceFound=" << (voice != nullptr ? "Y" : "N");
            sourceLog.send (line);
        }
        ++nextEvent;
    }

    const auto g = clickGainOverride.load() >= 0.0f ? clickGainOverride.load() : clickGain.load();
    const auto v = voiceGainOverride.load() >= 0.0f ? voiceGainOverride.load() : voiceGain.load();
    int kept = 0;
    for (int i = 0; i < activeVoices.count; ++i)
    {
        auto& entry = activeVoices.entries[(size_t) i];
        const auto peak = entry.isVoice ? mixVoice (entry, buffer, o0, e, lastVoiceGain, v)
                                        : mixVoice (entry, buffer, o0, e, lastClickGain, g);
        raisePeak (entry.isVoice ? voicePeak : clickPeak, peak);
        if (entry.position < (double) entry.buffer->getNumSamples())
            activeVoices.entries[(size_t) kept++] = entry;
    }
    activeVoices.count = kept;
    lastClickGain = g;
    lastVoiceGain = v;

    position += e;
    if (position < length)
        return;

    if (loops != 0)
    {
        if (loops > 0)
            loopsRemaining.store (loops - 1);
        repeatFired.store (true);
        position = 0;
        nextEvent = 0;
        activeVoices.clear();
        announcementPassed = false;
        return;
    }
    ended (e);
}

void CountInAudioSource::renderRegion (juce::AudioBuffer<float>& buffer, int o0, int n)
{
    if (region != nullptr && regionPosition < regionEnd)
    {
        const auto& voices = region->voices;
        while (regionNext < (int32_t) voices.size() && voices[(size_t) regionNext].samplePos >= regionPosition
               && voices[(size_t) regionNext].samplePos < regionPosition + n)
        {
            if (const auto* sample = region->buffers[(size_t) regionNext])
            {
                activeRegionVoices.clear();
                activeRegionVoices.add ({ sample, 0.0, true, 1.0f });
            }
            ++regionNext;
        }

        const auto v = voiceGainOverride.load() >= 0.0f ? voiceGainOverride.load() : voiceGain.load();
        int kept = 0;
        for (int i = 0; i < activeRegionVoices.count; ++i)
        {
            auto& entry = activeRegionVoices.entries[(size_t) i];
            raisePeak (voicePeak, mixVoice (entry, buffer, o0, n, lastVoiceGain, v));
            if (entry.position < (double) entry.buffer->getNumSamples())
                activeRegionVoices.entries[(size_t) kept++] = entry;
        }
        activeRegionVoices.count = kept;
        lastVoiceGain = v;
        regionPosition += n;
    }

    if (region == nullptr || regionPosition >= regionEnd)
    {
        regionOverlayActive.store (false);
        activeRegionVoices.clear();
        if (onRegionOverlayComplete)
            onRegionOverlayComplete();
    }
}
} // namespace quorvelle
