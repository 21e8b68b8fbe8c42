// The engine operations the bridge's rows and executors call. `AudioEngine` implements them; the
// executors' tables run over a recording fake of this class. Message thread unless noted.
#pragma once

#include "audio/engine/MixerOrders.h"

#include <juce_core/juce_core.h>

#include <functional>
#include <vector>

namespace quorvelle
{
class EngineOperations : public MixerSetters
{
public:
    ~EngineOperations() override = default;

    // Logging and tempo.
    virtual void debugLog (const juce::String& line) = 0;
    virtual double getCurrentBpm() const = 0;

    // Transport. -1 and the empty section key mean "not given".
    virtual void play (bool fromStart, bool forceCountIn, double startPosition, const juce::String& sectionKey, bool sectionPreRoll,
                       double countInBpm, int countInNumerator, int countInDenominator, double countInTruncateSec) = 0;
    virtual void stop() = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void seek (double positionSeconds) = 0;
    virtual void loopSeek (double positionSeconds) = 0;
    virtual void setLoopRegion (double start, double end, bool active) = 0;
    virtual void setBoundarySeek (double triggerTime, double targetPosition, bool active) = 0;
    virtual void setBoundarySeekSA (double triggerTime, double targetPosition, bool active) = 0;
    virtual void emitFadeDiag (bool fadeOut, float durationSeconds) = 0;
    virtual void fullReset() = 0;

    // Song load.
    virtual void loadSession (const juce::var& tracks, const juce::var& sections, const juce::var& beatmap, const juce::var& timeSignature,
                              const juce::var& peakTracks, double bpm, int numBars, const juce::String& songId, bool skipPeaks,
                              double audioLeadPadSec) = 0;
    virtual void cancelLoad() = 0;
    // The tempo and track list of the song a LOAD_SONG is about to load, for the stretch cache road.
    virtual void setPendingLoad (double bpm, const juce::var& tracks) = 0;
    virtual void updateMidiCues (const juce::var& cues) = 0;
    virtual bool activateFromStretchCache (const juce::String& songId, double stretchBpm, double stretchSemitones, const juce::var& sections,
                                           const juce::var& beatmap, int numBars, const juce::var& timeSignature, bool skipPeaks,
                                           const juce::var& peakTracks, double audioLeadPadSec) = 0;
    virtual void applyStretch (double bpm, float semitones) = 0;

    // Preload, activation and overlap transitions.
    virtual void startPreload (const juce::var& tracks, const juce::var& sections, double bpm, const juce::var& beatmap, int numBars,
                               const juce::String& songId, const juce::var& timeSignature, double stretchBpm, double stretchSemitones,
                               bool cacheOnly, const juce::var& peakTracks, double countOverlayStartSec, double countOverlayEndSec,
                               double durationSec, bool headOnly, double headStartSec, double headLengthSec, double audioLeadPadSec) = 0;
    virtual void activatePreloaded (const juce::String& songId, bool autoPlay, double startPosition, bool fastReset, bool countIn,
                                    const juce::String& countInSectionKey, double countInStartPosition, double countInBpm,
                                    int countInNumerator, int countInDenominator, bool countInRegion, double regionStartPos,
                                    double regionEndPos, bool regionVoiceInt, bool countStrip, double countClickVolumeDb,
                                    bool countClickMuted, double countGuideVolumeDb, bool countGuideMuted, double regionVoiceDelaySec,
                                    double regionVoiceSpanSec) = 0;
    virtual void evictPreloadedSession (const juce::String& reason) = 0;
    virtual void cancelPreload() = 0;
    virtual void preserveActiveAsPreload() = 0;
    // The song id of the preloaded session, empty when there is none.
    virtual juce::String getPreloadedSongId() const = 0;
    // Arms the one-shot flag that keeps the preloaded session through the next reset.
    virtual void armPreserveSession() = 0;
    virtual void scheduleOverlapTransition (const juce::String& songId, double startPosition, double songEndTime, bool fadeIn,
                                            double fadeDuration, bool startImmediately) = 0;
    virtual void startCountOverlay (double countOverlayStartSec, double countOverlayEndSec, bool overlayDrivesHandoff) = 0;
    virtual void cancelOverlapTransition() = 0;
    virtual void setQueuedIsLinearSongMap (bool linear) = 0;

    // Tempo and key.
    virtual void setBpm (double bpm) = 0;
    virtual void setPitch (float semitones) = 0;
    virtual void transposeOverride (const juce::String& trackId, bool force) = 0;

    // Click sections.
    virtual void startClickSection (const juce::String& entryId, const juce::String& mode, double bpm, int numerator, int denominator, int bars,
                                    double nextSeekTarget, const juce::var& indications, const juce::String& warningIndicationId,
                                    const juce::String& warningSectionName, const juce::String& warningSelfIndicationId,
                                    const juce::String& warningSelfSectionName, bool repeatOnce, bool suppressFirstFire) = 0;
    virtual void cancelClickSection() = 0;
    virtual void deactivateLoop() = 0;
    virtual void reactivateLoop() = 0;
    virtual void setRepeat (const juce::String& entryId, bool repeat) = 0;
    virtual void setLoopFixed (const juce::String& entryId, bool enabled) = 0;
    virtual void setNextSeekTarget (const juce::String& entryId, double target, const juce::String& warningIndicationId,
                                    const juce::String& warningSectionName) = 0;

    // Counts and count jumps.
    virtual void setCountInEnabled (bool enabled) = 0;
    virtual void startStandaloneCountIn (double bpm, int numerator, int denominator, const juce::String& sectionKey, bool renderClicks,
                                         bool renderVoice, float clickGain, float voiceGain) = 0;
    virtual void startCountRegionVoice (double bpm, int numerator, int denominator, double regionStartSec, double regionEndSec,
                                        double voiceDelaySec, double voiceSpanSec, bool armAfterCountIn, const juce::String& sectionKey,
                                        double sampleRate) = 0;
    virtual void cancelStandaloneCountIn() = 0;
    virtual void setCountInLoopsRemaining (int remaining) = 0;
    virtual void updateCountInSection (const juce::String& sectionName) = 0;
    virtual void setBoundaryCountJump (bool active) = 0;
    // Stores the count-jump tempo, then primes the count for it.
    virtual void setCountJumpTempo (double bpm, int numerator, int denominator, double truncateSec) = 0;
    virtual void updateCountJumpSeekTarget (double timeSeconds) = 0;

    // Timing data of the click, count-in and cue sources.
    virtual bool setTimeSignature (int numerator, int denominator) = 0;
    virtual void setTimeSignatureMap (const juce::var& map) = 0;
    virtual void setCueBeatmap (const std::vector<double>& times) = 0;
    virtual void setLiveBeatmap (const std::vector<double>& times, const std::vector<int>& beatNumbers) = 0;
    virtual void updateCueSections (const juce::String& json) = 0;
    virtual void updateSectionAnnouncementOverrides (const juce::String& json) = 0;
    virtual void setClickAccentSuppressRanges (const juce::String& json) = 0;
    virtual void setSectionAnnounceFullBar (bool enabled) = 0;
    virtual void loadIndicationToRam (const juce::String& indicationId, const juce::String& filePath, const juce::String& fallbackPath) = 0;
    virtual void unloadIndicationFromRam (const juce::String& indicationId) = 0;
    virtual void clearIndications() = 0;
    virtual void setIndicationSchedule (const juce::var& schedule) = 0;

    // Export guard: stops a running mix export and waits for it; runs work once no export renders.
    virtual void cancelExportAndWait() = 0;
    virtual void runAfterExport (std::function<void()> work) = 0;
};
} // namespace quorvelle
