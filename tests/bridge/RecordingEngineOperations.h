#pragma once

#include "audio/engine/EngineOperations.h"

#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace quorvelle::test
{
// An engine that records each operation it receives, in order, as "name|arg|arg...": numbers in
// their shortest form (-1, 12.5), flags as true/false, values as compact JSON ("" for none), lists
// as [a,b]. Log lines are recorded on the same timeline as "log|<line>". The answers of the few
// operations that return something are set by the test.
class RecordingEngineOperations final : public EngineOperations
{
public:
    std::vector<std::string> calls;
    double currentBpm = 120.0;
    juce::String preloadedSongId;
    bool stretchCacheHit = false;

    // The recorded operations without the log lines, and the log lines alone.
    std::vector<std::string> operations() const { return filter (false); }
    std::vector<std::string> logs() const { return filter (true); }
    void clear() { calls.clear(); }

    //==============================================================================
    void debugLog (const juce::String& line) override { calls.push_back ("log|" + line.toStdString()); }
    double getCurrentBpm() const override { return currentBpm; }

    void play (bool fromStart, bool forceCountIn, double startPosition, const juce::String& sectionKey, bool sectionPreRoll, double countInBpm,
               int countInNumerator, int countInDenominator, double countInTruncateSec) override
    {
        record ("play", fromStart, forceCountIn, startPosition, sectionKey, sectionPreRoll, countInBpm, countInNumerator, countInDenominator,
                countInTruncateSec);
    }
    void stop() override { record ("stop"); }
    void pause() override { record ("pause"); }
    void resume() override { record ("resume"); }
    void seek (double p) override { record ("seek", p); }
    void loopSeek (double p) override { record ("loopSeek", p); }
    void setLoopRegion (double s, double e, bool a) override { record ("setLoopRegion", s, e, a); }
    void setBoundarySeek (double t, double p, bool a) override { record ("setBoundarySeek", t, p, a); }
    void setBoundarySeekSA (double t, double p, bool a) override { record ("setBoundarySeekSA", t, p, a); }
    void emitFadeDiag (bool fadeOut, float d) override { record ("emitFadeDiag", fadeOut, (double) d); }
    void fullReset() override { record ("fullReset"); }

    void loadSession (const juce::var& tracks, const juce::var& sections, const juce::var& beatmap, const juce::var& timeSignature,
                      const juce::var& peakTracks, double bpm, int numBars, const juce::String& songId, bool skipPeaks,
                      double audioLeadPadSec) override
    {
        record ("loadSession", tracks, sections, beatmap, timeSignature, peakTracks, bpm, numBars, songId, skipPeaks, audioLeadPadSec);
    }
    void cancelLoad() override { record ("cancelLoad"); }
    void setPendingLoad (double bpm, const juce::var& tracks) override { record ("setPendingLoad", bpm, tracks); }
    void updateMidiCues (const juce::var& cues) override { record ("updateMidiCues", cues); }
    bool activateFromStretchCache (const juce::String& songId, double stretchBpm, double stretchSemitones, const juce::var& sections,
                                   const juce::var& beatmap, int numBars, const juce::var& timeSignature, bool skipPeaks,
                                   const juce::var& peakTracks, double audioLeadPadSec) override
    {
        record ("activateFromStretchCache", songId, stretchBpm, stretchSemitones, sections, beatmap, numBars, timeSignature, skipPeaks,
                peakTracks, audioLeadPadSec);
        return stretchCacheHit;
    }
    void applyStretch (double bpm, float semitones) override { record ("applyStretch", bpm, (double) semitones); }

    void startPreload (const juce::var& tracks, const juce::var& sections, double bpm, const juce::var& beatmap, int numBars,
                       const juce::String& songId, const juce::var& timeSignature, double stretchBpm, double stretchSemitones, bool cacheOnly,
                       const juce::var& peakTracks, double overlayStart, double overlayEnd, double durationSec, bool headOnly,
                       double headStartSec, double headLengthSec, double audioLeadPadSec) override
    {
        record ("startPreload", tracks, sections, bpm, beatmap, numBars, songId, timeSignature, stretchBpm, stretchSemitones, cacheOnly,
                peakTracks, overlayStart, overlayEnd, durationSec, headOnly, headStartSec, headLengthSec, audioLeadPadSec);
    }
    void activatePreloaded (const juce::String& songId, bool autoPlay, double startPosition, bool fastReset, bool countIn,
                            const juce::String& sectionKey, double countInStartPosition, double countInBpm, int numerator, int denominator,
                            bool countInRegion, double regionStart, double regionEnd, bool regionVoiceInt, bool countStrip,
                            double clickDb, bool clickMuted, double guideDb, bool guideMuted, double voiceDelay, double voiceSpan) override
    {
        record ("activatePreloaded", songId, autoPlay, startPosition, fastReset, countIn, sectionKey, countInStartPosition, countInBpm,
                numerator, denominator, countInRegion, regionStart, regionEnd, regionVoiceInt, countStrip, clickDb, clickMuted, guideDb,
                guideMuted, voiceDelay, voiceSpan);
    }
    void evictPreloadedSession (const juce::String& reason) override { record ("evictPreloadedSession", reason); }
    void cancelPreload() override { record ("cancelPreload"); }
    void preserveActiveAsPreload() override { record ("preserveActiveAsPreload"); }
    juce::String getPreloadedSongId() const override { return preloadedSongId; }
    void armPreserveSession() override { record ("armPreserveSession"); }
    void scheduleOverlapTransition (const juce::String& songId, double startPosition, double songEndTime, bool fadeIn, double fadeDuration,
                                    bool startImmediately) override
    {
        record ("scheduleOverlapTransition", songId, startPosition, songEndTime, fadeIn, fadeDuration, startImmediately);
    }
    void startCountOverlay (double s, double e, bool d) override { record ("startCountOverlay", s, e, d); }
    void cancelOverlapTransition() override { record ("cancelOverlapTransition"); }
    void setQueuedIsLinearSongMap (bool linear) override { record ("setQueuedIsLinearSongMap", linear); }

    void setBpm (double bpm) override { record ("setBpm", bpm); }
    void setPitch (float semitones) override { record ("setPitch", (double) semitones); }
    void transposeOverride (const juce::String& trackId, bool force) override { record ("transposeOverride", trackId, force); }

    void startClickSection (const juce::String& entryId, const juce::String& mode, double bpm, int numerator, int denominator, int bars,
                            double nextSeekTarget, const juce::var& indications, const juce::String& warningIndicationId,
                            const juce::String& warningSectionName, const juce::String& warningSelfIndicationId,
                            const juce::String& warningSelfSectionName, bool repeatOnce, bool suppressFirstFire) override
    {
        record ("startClickSection", entryId, mode, bpm, numerator, denominator, bars, nextSeekTarget, indications, warningIndicationId,
                warningSectionName, warningSelfIndicationId, warningSelfSectionName, repeatOnce, suppressFirstFire);
    }
    void cancelClickSection() override { record ("cancelClickSection"); }
    void deactivateLoop() override { record ("deactivateLoop"); }
    void reactivateLoop() override { record ("reactivateLoop"); }
    void setRepeat (const juce::String& entryId, bool repeat) override { record ("setRepeat", entryId, repeat); }
    void setLoopFixed (const juce::String& entryId, bool enabled) override { record ("setLoopFixed", entryId, enabled); }
    void setNextSeekTarget (const juce::String& entryId, double target, const juce::String& warningIndicationId,
                            const juce::String& warningSectionName) override
    {
        record ("setNextSeekTarget", entryId, target, warningIndicationId, warningSectionName);
    }

    void setCountInEnabled (bool enabled) override { record ("setCountInEnabled", enabled); }
    void startStandaloneCountIn (double bpm, int n, int d, const juce::String& key, bool clicks, bool voice, float clickGain,
                                 float voiceGain) override
    {
        record ("startStandaloneCountIn", bpm, n, d, key, clicks, voice, (double) clickGain, (double) voiceGain);
    }
    void startCountRegionVoice (double bpm, int n, int d, double s, double e, double delay, double span, bool arm, const juce::String& key,
                                double rate) override
    {
        record ("startCountRegionVoice", bpm, n, d, s, e, delay, span, arm, key, rate);
    }
    void cancelStandaloneCountIn() override { record ("cancelStandaloneCountIn"); }
    void setCountInLoopsRemaining (int remaining) override { record ("setCountInLoopsRemaining", remaining); }
    void updateCountInSection (const juce::String& sectionName) override { record ("updateCountInSection", sectionName); }
    void setBoundaryCountJump (bool active) override { record ("setBoundaryCountJump", active); }
    void setCountJumpTempo (double bpm, int n, int d, double truncateSec) override { record ("setCountJumpTempo", bpm, n, d, truncateSec); }
    void updateCountJumpSeekTarget (double t) override { record ("updateCountJumpSeekTarget", t); }

    bool setTimeSignature (int n, int d) override
    {
        record ("setTimeSignature", n, d);
        return true;
    }
    void setTimeSignatureMap (const juce::var& map) override { record ("setTimeSignatureMap", map); }
    void setCueBeatmap (const std::vector<double>& times) override { record ("setCueBeatmap", list (times)); }
    void setLiveBeatmap (const std::vector<double>& times, const std::vector<int>& beats) override
    {
        record ("setLiveBeatmap", list (times), list (beats));
    }
    void updateCueSections (const juce::String& json) override { record ("updateCueSections", json); }
    void updateSectionAnnouncementOverrides (const juce::String& json) override { record ("updateSectionAnnouncementOverrides", json); }
    void setClickAccentSuppressRanges (const juce::String& json) override { record ("setClickAccentSuppressRanges", json); }
    void setSectionAnnounceFullBar (bool enabled) override { record ("setSectionAnnounceFullBar", enabled); }
    void loadIndicationToRam (const juce::String& id, const juce::String& path, const juce::String& fallback) override
    {
        record ("loadIndicationToRam", id, path, fallback);
    }
    void unloadIndicationFromRam (const juce::String& id) override { record ("unloadIndicationFromRam", id); }
    void clearIndications() override { record ("clearIndications"); }
    void setIndicationSchedule (const juce::var& schedule) override { record ("setIndicationSchedule", schedule); }

    void cancelExportAndWait() override { record ("cancelExportAndWait"); }
    void runAfterExport (std::function<void()> work) override
    {
        record ("runAfterExport");
        if (work != nullptr)
            work();
    }

    // The mixer setters.
    void setMasterVolume (float dB) override { record ("setMasterVolume", (double) dB); }
    void setTrackVolume (const juce::String& id, float dB) override { record ("setTrackVolume", id, (double) dB); }
    void setTrackMute (const juce::String& id, bool muted) override { record ("setTrackMute", id, muted); }
    void setTrackSolo (const juce::String& id, bool soloed) override { record ("setTrackSolo", id, soloed); }
    void setGuideVolume (float dB) override { record ("setGuideVolume", (double) dB); }
    void setGuideMute (bool muted) override { record ("setGuideMute", muted); }
    void setGuideSolo (bool soloed) override { record ("setGuideSolo", soloed); }
    void setMetronomeVolume (float dB) override { record ("setMetronomeVolume", (double) dB); }
    void setMetronomeSound (const juce::String& name) override { record ("setMetronomeSound", name); }
    void setMetronomeLevels (float a, float q, float e, float s) override { record ("setMetronomeLevels", (double) a, (double) q, (double) e, (double) s); }
    void setMetronomeMute (bool muted) override { record ("setMetronomeMute", muted); }
    void setMetronomeSolo (bool soloed) override { record ("setMetronomeSolo", soloed); }
    void setBusVolume (const juce::String& bus, float dB) override { record ("setBusVolume", bus, (double) dB); }

    //==============================================================================
    static std::string text (double value)
    {
        std::ostringstream out;
        out << std::setprecision (10) << value;
        return out.str();
    }
    static std::string text (int value) { return std::to_string (value); }
    static std::string text (bool value) { return value ? "true" : "false"; }
    static std::string text (const juce::String& value) { return value.toStdString(); }
    static std::string text (const std::string& value) { return value; }
    static std::string text (const juce::var& value) { return value.isVoid() ? std::string() : juce::JSON::toString (value, true).toStdString(); }

private:
    template <typename Value>
    static std::string list (const std::vector<Value>& values)
    {
        std::string out = "[";
        for (size_t i = 0; i < values.size(); ++i)
            out += (i > 0 ? "," : "") + text (values[i]);
        return out + "]";
    }

    template <typename... Args>
    void record (const char* name, const Args&... args)
    {
        std::string line = name;
        ((line += "|" + text (args)), ...);
        calls.push_back (line);
    }

    std::vector<std::string> filter (bool wantLogs) const
    {
        std::vector<std::string> out;
        for (const auto& call : calls)
            if ((call.rfind ("log|", 0) == 0) == wantLogs)
                out.push_back (wantLogs ? call.substr (4) : call);
        return out;
    }
};
} // namespace quorvelle::test
