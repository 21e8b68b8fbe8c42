#include "audio/graph/MetronomeAudioSource.h"

#include "audio/graph/GraphUtils.h"

#include <cmath>

namespace quorvelle
{
namespace
{
using Lock = juce::SpinLock::ScopedLockType;

const char* kindName (int voice) noexcept
{
    switch (voice)
    {
        case MetronomeAudioSource::accentClick: return "ACC";
        case MetronomeAudioSource::quarterClick: return "Q";
        case MetronomeAudioSource::eighthClick: return "8th";
        default: return "16th";
    }
}

int64_t positiveModulo (int64_t value, int64_t modulus) noexcept
{
    const auto r = value % modulus;
    return r < 0 ? r + modulus : r;
}
} // namespace

MetronomeAudioSource::MetronomeAudioSource()
{
    AudioThreadLog::shared();
}

MetronomeAudioSource::~MetronomeAudioSource() = default;

//==============================================================================
double MetronomeAudioSource::songTimeOf (int64_t position) const noexcept
{
    return timing::songTimeAt (position, sampleRate, tempoRatio());
}

int64_t MetronomeAudioSource::latencyDelaySamples() const noexcept
{
    if (! latencyCompensation.load())
        return 0;
    const auto offset = latencyOffsetSamples.load();
    if (offset <= 0 || sampleRate <= 0.0)
        return 0;
    const auto rate = latencyOffsetRate.load();
    if (rate <= 0.0 || rate == sampleRate)
        return offset;
    return (int64_t) std::llround ((double) offset * sampleRate / rate);
}

void MetronomeAudioSource::silenceVoices() noexcept
{
    for (auto& voice : voices)
        voice.remaining = 0;
}

//==============================================================================
// Setters.

void MetronomeAudioSource::setBeatmap (std::vector<double> beatTimes, std::vector<int32_t> beatNumbers)
{
    Beatmap incoming { std::move (beatTimes), std::move (beatNumbers) };
    const auto count = (int64_t) incoming.beatTimes.size();
    bool use;
    int32_t num, den;
    {
        const Lock lock (stateLock);
        timing.replaceBeatmap (incoming);
        use = timing.useBeatmap;
        num = timing.numerator;
        den = timing.denominator;
    }
    sourceLog.logAndSend (AudioLogLine ("[CLICK-CPP] setBeatmap: ") << count << " entries | useBeatmap=" << (use ? "YES" : "NO")
                                                                     << " | ts=" << num << "/" << den);
}

void MetronomeAudioSource::clearBeatmap()
{
    Beatmap old;
    int32_t num, den;
    {
        const Lock lock (stateLock);
        timing.replaceBeatmap (old); // old takes the previous vectors, freed after the lock
        num = timing.numerator;
        den = timing.denominator;
    }
    sourceLog.logAndSend (AudioLogLine ("[CLICK-CPP] clearBeatmap | ts=") << num << "/" << den);
}

void MetronomeAudioSource::setTimeSignature (int32_t newNumerator, int32_t newDenominator)
{
    bool changed;
    {
        const Lock lock (stateLock);
        changed = timing.setTimeSignature (newNumerator, newDenominator);
    }
    if (changed)
        sourceLog.logAndSend (AudioLogLine ("[CLICK-CPP] setTimeSignature: ") << newNumerator << "/" << newDenominator);
}

void MetronomeAudioSource::setTimeSignatureMap (std::vector<TimeSignatureMapEntry> entries)
{
    const Lock lock (stateLock);
    timing.replaceTimeSignatureMap (entries);
}

void MetronomeAudioSource::setAccentSuppressRanges (std::vector<AccentSuppressRange> ranges)
{
    const auto count = (int64_t) ranges.size();
    {
        const Lock lock (stateLock);
        timing.replaceAccentSuppressRanges (ranges);
    }
    sourceLog.logAndSend (AudioLogLine ("[CLICK-CPP] setAccentSuppressRanges: ") << count << " ranges");
}

void MetronomeAudioSource::setBpm (double newBpm)
{
    const Lock lock (stateLock);
    if (timing.useBeatmap && sampleRate > 0.0 && originalBpm > 0.0 && newBpm > 0.0)
    {
        const auto oldRatio = bpm / originalBpm;
        const auto newRatio = newBpm / originalBpm;
        currentSamplePosition.store ((int64_t) std::trunc (oldRatio * (double) currentSamplePosition.load() / newRatio));
    }
    bpm = newBpm;
}

void MetronomeAudioSource::setOriginalBpm (double newOriginalBpm)
{
    double old;
    {
        const Lock lock (stateLock);
        old = originalBpm;
        originalBpm = newOriginalBpm;
    }
    if (logCallback && std::abs (newOriginalBpm - old) > 0.01)
        sourceLog.send (AudioLogLine ("[CD] BPM-SET origBpm: ").fixed (old, 1) << " -> " << AudioLogLine().fixed (newOriginalBpm, 1).c_str());
}

void MetronomeAudioSource::placeCursor (double songTime)
{
    const auto placement = timing::placeBeatCursor (timing.beatmap, songTime, sampleRate, tempoRatio());
    timing.lastBeatmapIdx = placement.lastBeatmapIdx;
    if (placement.positionMoved)
        currentSamplePosition.store (placement.outputPosition);
}

void MetronomeAudioSource::seekToTime (double songTime)
{
    int64_t oldPosition = 0, newPosition = 0;
    {
        const Lock lock (stateLock);
        if (sampleRate <= 0.0)
            return;
        oldPosition = currentSamplePosition.load();
        currentSamplePosition.store (timing::outputPositionOf (songTime, sampleRate, tempoRatio()));
        silenceVoices();
        timing.lastBeatmapIdx = -1;
        if (timing.useBeatmap)
            placeCursor (songTimeOf (currentSamplePosition.load()));
        else
            tickPhase = constantTempoPhaseAt (currentSamplePosition.load());
        boundaryLogPending = false;
        firstBlock = true;
        newPosition = currentSamplePosition.load();
    }
    if (verboseDiagnostics.load())
        sourceLog.send (AudioLogLine ("[CD] seek t=").fixed (songTime, 4) << " oldPos=" << oldPosition << " newPos=" << newPosition);
}

void MetronomeAudioSource::setNextReadPosition (juce::int64 newPosition)
{
    {
        const Lock lock (stateLock);
        currentSamplePosition.store (newPosition);
        silenceVoices();
    }
    sourceLog.send (AudioLogLine ("[METRO-SETPOS] newPos=") << (int64_t) newPosition);
    {
        const Lock lock (stateLock);
        if (timing.useBeatmap)
        {
            timing.lastBeatmapIdx = -1;
            if (sampleRate > 0.0)
                placeCursor (songTimeOf (newPosition));
        }
        else
        {
            tickPhase = constantTempoPhaseAt (newPosition);
        }
        boundaryLogPending = false;
        firstBlock = true;
    }
}

void MetronomeAudioSource::setFixedClock (bool enabled, double newBpm, int32_t newNumerator, int32_t newDenominator,
                                          int64_t limitSamples, bool suppressFirstOnDownbeat)
{
    const Lock lock (stateLock);
    applyFixedClock (enabled, newBpm, newNumerator, newDenominator, limitSamples, suppressFirstOnDownbeat);
}

void MetronomeAudioSource::applyFixedClock (bool enabled, double newBpm, int32_t newNumerator, int32_t newDenominator,
                                            int64_t limitSamples, bool suppressFirstOnDownbeat)
{
    fixedLastTick = -1;
    fixedDownbeatOwed = false;
    if (enabled && newBpm > 0.0 && newNumerator > 0 && newDenominator >= 2)
    {
        fixedBpm = newBpm;
        fixedNumerator = newNumerator;
        fixedDenominator = newDenominator;
        fixedElapsedSamples.store (0);
        fixedLimitSamples = limitSamples;
        fixedClockActive = true;
        silenceVoices();

        bool onDownbeat = false;
        const auto i = timing.lastBeatmapIdx;
        if (suppressFirstOnDownbeat && i >= 0 && i < timing.beatmap.size())
        {
            const auto beatTime = timing.beatmap.beatTimes[(size_t) i];
            const auto now = sampleRate > 0.0 ? songTimeOf (currentSamplePosition.load()) : 0.0;
            const auto since = now - beatTime;
            onDownbeat = timing::isDownbeat (timing.beatmap.beatNumbers[(size_t) i], timing.numeratorAt (beatTime))
                         && since >= -0.01 && since < 0.05;
        }
        suppressFirstFixedAccent.store (suppressFirstOnDownbeat && onDownbeat);
    }
    else
    {
        fixedClockActive = false;
        fixedLimitSamples = 0;
        suppressFirstFixedAccent.store (false);
    }
}

bool MetronomeAudioSource::applyStagedSongTiming() noexcept
{
    int64_t count = 0;
    bool use = false;
    int32_t num = 0, den = 0;
    bool tsChanged = false;
    const bool applied = stagedTiming.applyIfStaged ([&] (SongTimingUpdate& update)
    {
        const Lock lock (stateLock);
        if (update.originalBpm > 0.0)
            originalBpm = update.originalBpm;
        if (update.bpm > 0.0)
            bpm = update.bpm;
        timing.replaceBeatmap (update.beatmap);
        if (update.replaceTimeSignatureMap)
            timing.replaceTimeSignatureMap (update.timeSignatureMap);
        if (update.numerator > 0 && update.denominator > 0)
            tsChanged = timing.setTimeSignature (update.numerator, update.denominator);
        count = (int64_t) timing.beatmap.beatTimes.size();
        use = timing.useBeatmap;
        num = timing.numerator;
        den = timing.denominator;
    });
    if (! applied)
        return false;

    if (use)
        sourceLog.logAndSend (AudioLogLine ("[CLICK-CPP] setBeatmap: ") << count << " entries | useBeatmap=YES | ts=" << num << "/" << den);
    else
        sourceLog.logAndSend (AudioLogLine ("[CLICK-CPP] clearBeatmap | ts=") << num << "/" << den);
    if (tsChanged)
        sourceLog.logAndSend (AudioLogLine ("[CLICK-CPP] setTimeSignature: ") << num << "/" << den);
    return true;
}

//==============================================================================
void MetronomeAudioSource::prepareToPlay (int, double rate)
{
    // The bank is converted to the new rate before the render's lock is taken; bankLock keeps the
    // loader from installing a bank at the old rate meanwhile.
    const std::lock_guard<std::mutex> bank (bankLock);
    double oldRate;
    {
        const Lock lock (stateLock);
        oldRate = sampleRate;
    }
    PreparedClicks prepared;
    if (rate != oldRate)
        prepared = prepareClicks (rate);

    int64_t oldPosition;
    bool useMap;
    {
        const Lock lock (stateLock);
        oldPosition = currentSamplePosition.load();
        if (rate != oldRate)
            installClicks (prepared);
        sampleRate = rate;
        silenceVoices();
        currentSamplePosition.store (0);
        tickPhase = 0.0;
        firstBlock = true;
        boundaryLogPending = false;
        useMap = timing.useBeatmap;
    }
    // The previous conversion is freed here, off the audio thread.
    prepared = {};

    if (rate != oldRate && oldRate > 0.0 && deviceRateChangedFlag != nullptr)
        deviceRateChangedFlag->store (true);

    sourceLog.send (AudioLogLine ("[METRO-PREPARE] newSR=").plain (rate) << " oldSR=" << AudioLogLine().plain (oldRate).c_str()
                                                                          << " oldPos=" << oldPosition
                                                                          << " useBeatmap=" << (useMap ? "YES" : "NO"));
}

void MetronomeAudioSource::getNextAudioBlock (const juce::AudioSourceChannelInfo& info)
{
    auto& buffer = *info.buffer;
    int o0 = info.startSample;
    int n = info.numSamples;
    if (! beginGuideBlock (buffer, o0, n, transportPlayingFlag, countInRunningFlag, pendingStartOffset))
        return;

    if (fixedClockStopRequest.exchange (false))
    {
        const Lock lock (stateLock);
        fixedClockActive = false;
        fixedLimitSamples = 0;
        fixedDownbeatOwed = false;
        suppressFirstFixedAccent.store (false);
    }

    const auto target = pendingSeekSeconds.exchange (-1.0);
    const auto jump = pendingSeekIsJump.exchange (false);
    if (target >= 0.0)
    {
        bool drop = false;
        if (jump)
        {
            const Lock lock (stateLock);
            const auto i = timing.lastBeatmapIdx;
            if (timing.useBeatmap && sampleRate > 0.0 && i >= 0 && i < timing.beatmap.size())
            {
                const auto beatTime = timing.beatmap.beatTimes[(size_t) i];
                const auto since = songTimeOf (currentSamplePosition.load()) - beatTime;
                const auto landing = timing::beatAtTarget (timing.beatmap, target);
                drop = timing::isDownbeat (timing.beatmap.beatNumbers[(size_t) i], timing.numeratorAt (beatTime))
                       && since >= -0.01 && since < 0.08 && landing >= 0
                       && timing::isDownbeat (timing.beatmap.beatNumbers[(size_t) landing],
                                              timing.numeratorAt (timing.beatmap.beatTimes[(size_t) landing]));
            }
        }
        seekToTime (target);
        if (drop)
            suppressNextDownbeat.store (true);
    }

    const Lock lock (stateLock);
    renderBlock (buffer, o0, n);
}

void MetronomeAudioSource::renderBlock (juce::AudioBuffer<float>& buffer, int o0, int n)
{
    if (sampleRate <= 0.0)
    {
        currentSamplePosition.fetch_add (n);
        if (silentBlocks++ % 1024 == 0)
            sourceLog.send (AudioLogLine ("[METRO-SILENT] sampleRate=").plain (sampleRate) << " → block silenced");
        return;
    }

    for (int k = 0; k < 4; ++k)
        if (voices[(size_t) k].remaining > 0)
            renderClickVoice (buffer, o0, n, k, 0);

    const float levels[4] = { accentLevel.load(), quarterLevel.load(), eighthLevel.load(), sixteenthLevel.load() };
    const auto delay = latencyDelaySamples();

    if (fixedClockActive)
        renderFixedClock (buffer, o0, n, levels, delay);
    else if (timing.useBeatmap)
        renderBeatmap (buffer, o0, n, levels, delay);
    else
        renderConstantTempo (buffer, o0, n, levels, delay);

    currentSamplePosition.fetch_add (n);
    if (blockObserver)
        blockObserver (n);
}

void MetronomeAudioSource::renderFixedClock (juce::AudioBuffer<float>& buffer, int o0, int n, const float* levels, int64_t delay)
{
    const auto elapsed = fixedElapsedSamples.load() - delay;
    const double tickSamples = (4.0 / fixedDenominator) * (60.0 / fixedBpm) / 4.0 * sampleRate;

    if (fixedDownbeatOwed)
    {
        fixedDownbeatOwed = false;
        if (elapsed > 0)
        {
            fireTick (buffer, o0, n, 0, fixedNumerator, 0, levels, true);
            fixedLastTick = 0;
        }
    }

    // Each grid point owns one sample of the clock (its exact position, rounded down), so it sounds
    // in exactly one block, whatever the block sizes.
    const auto gridSample = [tickSamples] (int64_t k) { return (int64_t) std::floor ((double) k * tickSamples + 1.0e-6); };
    for (auto k = juce::jmax ((int64_t) 0, (int64_t) std::floor ((double) elapsed / tickSamples) - 1);; ++k)
    {
        const auto at = gridSample (k);
        if (at >= elapsed + n)
            break;
        if (at < elapsed)
            continue;
        if (fixedLimitSamples > 0 && at >= fixedLimitSamples)
            continue;
        fireTick (buffer, o0, n, k, fixedNumerator, (int) (at - elapsed), levels, true);
        fixedLastTick = k;
    }
    fixedElapsedSamples.fetch_add (n);
}

void MetronomeAudioSource::renderBeatmap (juce::AudioBuffer<float>& buffer, int o0, int n, const float* levels, int64_t delay)
{
    const auto position = currentSamplePosition.load() - delay;
    const double s0 = songTimeOf (position);
    const double s1 = songTimeOf (position + n);

    if (logCallback && (bpm != loggedBpm || originalBpm != loggedOriginalBpm))
    {
        loggedBpm = bpm;
        loggedOriginalBpm = originalBpm;
        sourceLog.send (AudioLogLine ("[METRO-RATIO] bpm=").fixed (bpm, 2) << " originalBpm=" << AudioLogLine().fixed (originalBpm, 2).c_str()
                                                                           << " ratio=" << AudioLogLine().fixed (tempoRatio(), 4).c_str());
    }
    if (firstBlock)
    {
        firstBlock = false;
        sourceLog.send (AudioLogLine ("[METRO-FIRSTBLOCK] curSamplePos=") << currentSamplePosition.load() << " songTime="
                                                                          << AudioLogLine().fixed (s0, 4).c_str()
                                                                          << " lastBeatmapIdx=" << timing.lastBeatmapIdx);
    }

    // A loop end or jump trigger near this block ends the scan 10 ms before it.
    double boundary = -1.0;
    bool fromLoop = false;
    const auto loopEnd = loopEndBoundary.load();
    const auto jumpAt = jumpBoundary.load();
    if (loopEnd >= 0.0 && loopEnd >= s0 - 0.01 && loopEnd < s1 + 0.01)
    {
        boundary = loopEnd;
        fromLoop = true;
    }
    if (jumpAt >= 0.0 && jumpAt >= s0 - 0.01 && jumpAt < s1 + 0.01 && (boundary < 0.0 || jumpAt < boundary))
    {
        boundary = jumpAt;
        fromLoop = false;
    }
    double scanEnd = s1;
    if (boundary >= 0.0)
    {
        scanEnd = boundary - 0.01;
        if (logCallback && ! (boundaryLogPending && boundaryLogTime == boundary && boundaryLogIsLoop == fromLoop))
        {
            boundaryLogTime = boundary;
            boundaryLogBlockEnd = s1;
            boundaryLogIsLoop = fromLoop;
            boundaryLogPending = true;
            sourceLog.send (AudioLogLine ("[METRO-BOUNDARY] truncate block @ ").fixed (boundaryLogTime, 4)
                            << "s (orig blockEnd=" << AudioLogLine().fixed (boundaryLogBlockEnd, 4).c_str() << "s) src="
                            << (boundaryLogIsLoop ? "loop" : "jump"));
        }
    }

    const auto& beats = timing.beatmap;
    const auto count = (int32_t) beats.beatTimes.size();
    const double span = s1 - s0;
    for (int32_t j = juce::jmax (timing.lastBeatmapIdx + 1, 0); j < count && beats.beatTimes[(size_t) j] < scanEnd; ++j)
    {
        const auto t = beats.beatTimes[(size_t) j];
        if (t < s0)
            continue;
        const int offset = juce::jmax (0, (int) std::trunc ((t - s0) / span * n));
        if (offset >= n)
            continue;

        if (j >= (int32_t) beats.beatNumbers.size())
        {
            timing.lastBeatmapIdx = j; // no beat number: no beat, nothing starts
            continue;
        }

        const auto number = beats.beatNumbers[(size_t) j];
        const bool downbeat = timing::isDownbeat (number, timing.numeratorAt (t));
        timing.lastBeatmapIdx = j;

        if (downbeat && suppressNextDownbeat.exchange (false))
        {
            sourceLog.send (AudioLogLine ("[CLICK-FIRE-ALL] suppressed (downbeat-to-downbeat boundary jump) beat=#")
                            << j << " bt=" << AudioLogLine().fixed (t, 4).c_str());
            continue;
        }

        if (downbeat && ! timing::isAccentSuppressed (timing.accentSuppressRanges, t))
        {
            if (levels[accentClick] > 0.0f)
                fireClick (buffer, o0, n, accentClick, offset, true, levels[accentClick]);
        }
        else if (levels[quarterClick] > 0.0f)
        {
            fireClick (buffer, o0, n, quarterClick, offset, false, levels[quarterClick]);
        }
    }

    // Subdivisions of the interval after the last beat passed.
    const auto c = timing.lastBeatmapIdx;
    if (c >= 0 && c + 1 < count)
    {
        const auto p = beats.beatTimes[(size_t) c];
        const auto d = beats.beatTimes[(size_t) c + 1] - p;
        const struct { double fraction; int voice; } subdivisions[] = { { 0.25, sixteenthClick }, { 0.5, eighthClick }, { 0.75, sixteenthClick } };
        for (const auto& sub : subdivisions)
        {
            const auto x = p + sub.fraction * d;
            if (levels[sub.voice] <= 0.0f || x < s0 || x >= scanEnd)
                continue;
            const int offset = (int) std::trunc ((x - s0) / span * n);
            if (offset >= 0 && offset < n)
                fireClick (buffer, o0, n, sub.voice, offset, false, levels[sub.voice]);
        }
    }
}

void MetronomeAudioSource::renderConstantTempo (juce::AudioBuffer<float>& buffer, int o0, int n, const float* levels, int64_t delay)
{
    if (bpm <= 0.0 || timing.denominator < 1)
        return;

    const double tick = (4.0 / timing.denominator) * (60.0 / bpm) / 4.0;
    const double shift = (double) delay / sampleRate / tick;
    const double q0 = tickPhase - shift;
    const double q1 = q0 + (double) n / sampleRate / tick;
    const auto barNumerator = timing.numeratorAt (q0 * tick);

    for (auto k = (int64_t) std::ceil (q0); (double) k <= q1; ++k)
    {
        const int offset = juce::jmax (0, (int) std::trunc (((double) k - q0) / (q1 - q0) * n));
        if (offset < n)
            fireTick (buffer, o0, n, k, barNumerator, offset, levels, false);
    }
    tickPhase = q1 + shift;
}

void MetronomeAudioSource::fireTick (juce::AudioBuffer<float>& buffer, int o0, int n, int64_t k, int32_t barNumerator,
                                     int offset, const float* levels, bool fixedClock)
{
    int voice;
    if (barNumerator >= 1)
    {
        const auto i = positiveModulo (k, 4 * (int64_t) barNumerator);
        voice = i == 0 ? accentClick : (i % 4 == 0 ? quarterClick : (i % 4 == 2 ? eighthClick : sixteenthClick));
    }
    else
    {
        // No bar can be formed: no accent, the beats play as ordinary beats.
        const auto i = positiveModulo (k, 4);
        voice = i == 0 ? quarterClick : (i == 2 ? eighthClick : sixteenthClick);
    }

    if (voice == accentClick && fixedClock && suppressFirstFixedAccent.exchange (false))
    {
        sourceLog.send (AudioLogLine ("[CLICK-FIRE-ALL] suppressed (first ACC of fixed clock — boundary-seek entry)"));
        return;
    }
    if (levels[voice] > 0.0f)
        fireClick (buffer, o0, n, voice, offset, voice == accentClick, levels[voice]);
}

void MetronomeAudioSource::fireClick (juce::AudioBuffer<float>& buffer, int o0, int n, int k, int offset, bool high, float gain)
{
    const auto* sample = (high ? highClick : lowClick).get();
    if (sample == nullptr || sample->getNumSamples() == 0)
        return;

    auto& voice = voices[(size_t) k];
    const auto previous = voice.remaining;
    voice.remaining = voice.length = sample->getNumSamples();
    voice.readPosition = 0;
    voice.useHigh = high;
    voice.gain = gain;

    if (logCallback && (verboseDiagnostics.load() || previous > 0))
    {
        AudioLogLine line ("[CLICK-FIRE-ALL] #");
        line << kindName (k) << " abs=" << (currentSamplePosition.load() + offset) << " off=" << offset << " len=" << voice.length
             << " gain=" << AudioLogLine().fixed (gain, 3).c_str() << " prevRemaining=" << previous;
        if (previous > 0)
            line << " ⚠ OVERWRITE";
        sourceLog.send (line);
    }
    renderClickVoice (buffer, o0, n, k, offset);
}

void MetronomeAudioSource::renderClickVoice (juce::AudioBuffer<float>& buffer, int o0, int n, int k, int offset) noexcept
{
    auto& voice = voices[(size_t) k];
    if (voice.remaining <= 0)
        return;
    const auto* sample = (voice.useHigh ? highClick : lowClick).get();
    if (sample == nullptr || sample->getNumChannels() == 0)
        return;

    const int count = juce::jmin (n - offset, voice.remaining, sample->getNumSamples() - voice.readPosition);
    if (count <= 0)
        return;

    const auto* source = sample->getReadPointer (0, voice.readPosition);
    const int channels = juce::jmin (2, buffer.getNumChannels());
    const bool unity = voice.gain >= 0.999f && voice.gain <= 1.001f;
    for (int c = 0; c < channels; ++c)
    {
        if (unity)
            buffer.addFrom (c, o0 + offset, source, count);
        else
            buffer.addFrom (c, o0 + offset, source, count, voice.gain);
    }
    voice.readPosition += count;
    voice.remaining -= count;
}

//==============================================================================
double MetronomeAudioSource::getSampleRate() const
{
    const Lock lock (stateLock);
    return sampleRate;
}

double MetronomeAudioSource::getBpm() const
{
    const Lock lock (stateLock);
    return bpm;
}

int32_t MetronomeAudioSource::getLastBeatmapIdx() const
{
    const Lock lock (stateLock);
    return timing.lastBeatmapIdx;
}

bool MetronomeAudioSource::isFixedClockActive() const
{
    const Lock lock (stateLock);
    return fixedClockActive;
}

double MetronomeAudioSource::constantTempoPhaseAt (int64_t position) const noexcept
{
    // The constant-tempo clock counts sixteenths of output time from position 0.
    const double tick = timing.denominator > 0 && bpm > 0.0 ? (4.0 / timing.denominator) * (60.0 / bpm) / 4.0 : 0.0;
    return (sampleRate > 0.0 && tick > 0.0) ? ((double) position / sampleRate) / tick : 0.0;
}

double MetronomeAudioSource::getTickPhase() const
{
    const Lock lock (stateLock);
    return tickPhase;
}
} // namespace quorvelle
