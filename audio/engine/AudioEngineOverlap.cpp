// Overlap transitions: song B scheduled near song A's end, activated by the tick's first phase, started
// by the router on the exact sample where a count or the count overlay ends (the hand-off, on the
// audio thread), and finished by the tick's third phase. The count overlays play a window of B's own
// music, click and guide over the end of A.
#include "audio/engine/AudioEngine.h"
#include "audio/graph/AudioLogLine.h"
#include "audio/graph/AudioThreadLog.h"

namespace quorvelle
{
namespace
{
// Song A's time at which the first phase activates B: this long before A's end.
constexpr double activationMarginSeconds = 0.4;

juce::String yN (bool value) { return value ? "Y" : "N"; }

double hiResMs() { return juce::Time::getMillisecondCounterHiRes(); }
} // namespace

//==============================================================================
// Scheduling and the count overlay (message thread).

void AudioEngine::scheduleOverlapTransition (const juce::String& songId, double startPosition, double songEndTime, bool fadeIn,
                                             double fadeDuration, bool startImmediately)
{
    transitionSongId = songId;
    transitionStartSeconds = startPosition;
    transitionEndSeconds = songEndTime;
    transitionFadeIn = fadeIn;
    transitionFadeSeconds = fadeDuration;
    transitionScheduled = startImmediately;
    // A count overlay started after this scheduling sets it again.
    overlayPlaying = false;

    juce::Logger::writeToLog (juce::String::fromUTF8 ("AudioEngine: Overlap scheduled \xe2\x86\x92 ") + songId + " endTime="
                              + juce::String (songEndTime) + " pos=" + juce::String (startPosition)
                              + (startImmediately ? " [F4 region-as-count: start NOW]" : ""));
}

void AudioEngine::startCountOverlay (double startSec, double endSec, bool drives)
{
    if (countOverlay == nullptr)
    {
        debugLog (juce::String::fromUTF8 ("[COUNT-OVERLAY] startCountOverlay SKIP \xe2\x80\x94 no overlay source"));
        return;
    }
    // Stays set even when the overlay gives up below: B then starts as soon as the first phase arms it.
    overlayPlaying = drives;

    const auto session = preloadedSession;
    if (session == nullptr)
    {
        debugLog (juce::String::fromUTF8 ("[COUNT-OVERLAY] startCountOverlay \xe2\x80\x94 sin preloaded session")
                  + (drives ? juce::String::fromUTF8 ("; B arrancar\xc3\xa1 en Phase 1 (sin cuenta)") : juce::String()));
        return;
    }
    if (transitionSongId.isNotEmpty() && transitionSongId != session->songId)
    {
        debugLog ("[COUNT-OVERLAY] GUARD SKIP -- preloadedSession de otra cancion (session=" + session->songId.substring (0, 8)
                  + " esperada=" + transitionSongId.substring (0, 8) + ")"
                  + (drives ? "; B arrancara en Phase 1 (sin overlay)" : "; sigue la cuenta sintetica sola"));
        return;
    }

    const double rate = session->sampleRate;
    const double deviceRate = deviceSampleRate.load();
    const juce::AudioBuffer<float>* music = nullptr;
    std::unique_ptr<juce::AudioBuffer<float>> built;
    bool wholePremix = false;
    if (session->premix != nullptr && startSec < endSec)
    {
        const bool stretchedTempo = session->wasPreStretched && session->stretchBpm > 0.0
                                    && std::abs (session->stretchBpm - session->bpm) > 0.001;
        const double q = stretchedTempo ? session->stretchBpm / session->bpm : 1.0;
        const auto requested = (juce::int64) ((endSec - startSec) * rate / q);
        const auto premixLength = (juce::int64) session->premix->getNumSamples();
        music = session->premix.get();
        wholePremix = true;
        if (requested + (juce::int64) (0.25 * rate) < premixLength)
        {
            // The premix holds more than the window asked for: the window alone, built now.
            built = buildCountOverlayBuffer (*session, startSec, endSec, OverlayKind::music);
            if (built != nullptr)
            {
                debugLog ("[COUNT-OVERLAY] pre-mixed excede el lead (" + juce::String ((double) premixLength / rate, 2) + "s > "
                          + juce::String ((double) requested / rate, 2)
                          + "s pedidos) -> re-fabricado on-demand con bordes recortados");
                music = built.get();
                wholePremix = false;
            }
        }
    }
    else if (session->premix != nullptr)
    {
        music = session->premix.get();
        wholePremix = true;
    }
    else
    {
        built = buildCountOverlayBuffer (*session, startSec, endSec, OverlayKind::music);
        music = built.get();
        if (music == nullptr)
            debugLog (juce::String::fromUTF8 ("[COUNT-OVERLAY] startCountOverlay \xe2\x80\x94 sin buffer de m\xc3\xbasica (region=[")
                      + juce::String (startSec, 2) + ".." + juce::String (endSec, 2) + "]s, tracks="
                      + juce::String ((int) session->tracks.size()) + ")"
                      + juce::String::fromUTF8 (drives ? " \xe2\x80\x94 SEQ: B arrancar\xc3\xa1 en Phase 1"
                                                       : " \xe2\x80\x94 INT: la sint\xc3\xa9tica arranca B"));
    }
    if (music != nullptr)
        countOverlay->loadSample (*music, rate, deviceRate);

    const auto click = buildCountOverlayBuffer (*session, startSec, endSec, OverlayKind::click);
    if (click != nullptr && countOverlayClick != nullptr)
        countOverlayClick->loadSample (*click, rate, deviceRate);
    const auto guide = buildCountOverlayBuffer (*session, startSec, endSec, OverlayKind::guide);
    if (guide != nullptr && countOverlayGuide != nullptr)
        countOverlayGuide->loadSample (*guide, rate, deviceRate);

    debugLog (juce::String ("[COUNT-OVERLAY] playback started ") + (wholePremix ? "(pre-mixed music)" : "(on-demand music)")
              + juce::String::fromUTF8 (drives ? " [SEQ: overlay arranca B]" : " [INT/mixto: sint\xc3\xa9tica arranca B]")
              + " | music=" + yN (music != nullptr) + " clickSEQ=" + yN (click != nullptr) + " guideSEQ=" + yN (guide != nullptr)
              + " | srcRate=" + juce::String (rate) + " devRate=" + juce::String (deviceRate)
              + " dur=" + juce::String ((music != nullptr ? music->getNumSamples() : 0) / std::max (rate, 1.0), 2) + "s");
}

void AudioEngine::silenceCountOverlays()
{
    for (auto* overlay : { countOverlay.get(), countOverlayClick.get(), countOverlayGuide.get() })
        if (overlay != nullptr)
            overlay->loadSample ({}, 0.0, 0.0);
}

void AudioEngine::cancelOverlapTransition()
{
    transitionSongId.clear();
    transitionPreloadArmed = false;
    transitionArmed = false;
    transitionScheduled = false;
    deferredSetupStored = false;
    deferredSetupAfterCount = false;
    deferredSetupPending.exchange (false);
    handoffPending = false;
    overlayPlaying = false;
    handoffDone = false;
    // An activated B waiting for its fade-in would stay silent: it plays at full level.
    if (transitionFinished.exchange (false) && musicGain != nullptr)
        musicGain->setGain (1.0f, 0.02f);
    silenceCountOverlays();
    juce::Logger::writeToLog ("AudioEngine: Overlap transition cancelled");
}

//==============================================================================
// The tick's phases (message thread).

bool AudioEngine::runOverlapPhases (double songTime)
{
    // The first phase: B activated shortly before A's end (or at once), the hand-off armed.
    if (transitionSongId.isNotEmpty() && masterTransport.isPlaying() && ! transitionArmed.load()
        && (transitionScheduled.load() || songTime >= transitionEndSeconds - activationMarginSeconds))
    {
        runFirstOverlapPhase();
        return true;
    }

    if (handoffDone.load())
    {
        runThirdOverlapPhase();
        return true;
    }

    auto& dumpDeadline = handoffStamps[4];
    if (const auto deadline = dumpDeadline.load(); deadline > 0.0 && hiResMs() >= deadline)
    {
        dumpDeadline = 0.0;
        dumpOverlapAudio ("t+1s");
    }
    return false;
}

void AudioEngine::runFirstOverlapPhase()
{
    const auto songB = transitionSongId;
    const double startPosition = transitionStartSeconds;
    transitionFinished = transitionFadeIn; // the fade-in copy for the third phase
    transitionFadeApplied = transitionFadeSeconds;
    const bool startImmediately = transitionScheduled.load();

    transitionSongId.clear();
    transitionScheduled = false;
    transitionPreloadArmed = true;
    transitionArmed = true;

    if (transitionFinished.load() && musicGain != nullptr)
        musicGain->setGain (0.0f, 0.02f);

    for (auto& stamp : handoffStamps)
        stamp = 0.0;
    const double started = hiResMs();

    // A fast reset and nothing else: no count, region or strip. The reset inside it stops A's
    // transport, and the pre-activation mark keeps that stop from ending the transition.
    PreloadActivation activation;
    activation.songId = songB;
    activation.startPosition = startPosition;
    activation.fastReset = true;
    if (! activatePreloadedSong (activation))
    {
        abortFirstOverlapPhase();
        return;
    }

    // What the hand-off applies on the audio thread, prepared here: the deferred click and cue timing
    // and the click and guide levels.
    handoffSeekSeconds = startPosition;
    handoffClickGain = clickSourceInternal ? metronomeGain : -1.0f;
    handoffGuideGain = guideSourceInternal ? guideGain : -1.0f;
    if (deferredSetupPending.load())
        stageDeferredSongTiming();

    if (transitionFinished.load() && musicGain != nullptr)
        musicGain->setGain (0.0f, 0.0f); // B begins silent (the activation set the music gain to 1)

    if (startImmediately)
    {
        handOffToSongB (0);
        handoffDone = true;
        debugLog ("[TRANSITION] F4 region-as-count: B transport started immediately at trigger | song=" + songB + " | pos="
                  + juce::String (startPosition, 2) + "s");
    }
    else
    {
        handoffPending = true;
        handoffStamps[1] = hiResMs();
    }

    const double elapsed = hiResMs() - started;
    juce::Logger::writeToLog (juce::String::fromUTF8 ("AudioEngine: Overlap pre-activated \xe2\x86\x92 ") + songB
                              + " (auto-start pending, margin=" + juce::String (activationMarginSeconds) + "s, phase1="
                              + juce::String (elapsed, 1) + "ms)");
    debugLog ("[TRANSITION] Phase 1 took " + juce::String (elapsed, 1) + "ms | margin=" + juce::String ((int) (activationMarginSeconds * 1000))
              + "ms | overrun=" + juce::String (std::max (elapsed - activationMarginSeconds * 1000.0, 0.0), 1) + "ms");
}

void AudioEngine::abortFirstOverlapPhase()
{
    // B was not the preloaded song: A keeps playing, nothing stays armed.
    transitionArmed = false;
    transitionPreloadArmed = false;
    overlayPlaying = false;
    // A was faded out for B's fade-in: it comes back.
    if (transitionFinished.exchange (false) && musicGain != nullptr)
        musicGain->setGain (1.0f, 0.02f);
    if (standaloneCountInActive.exchange (false) && countIn != nullptr)
        countIn->stop();
    if (countIn != nullptr)
        countIn->clearRegionOverlay();
    silenceCountOverlays();
    debugLog ("[TRANSITION] GUARD Phase 1 ABORT -- activatePreloaded fallo (preload desincronizado, condicion del bug de stems "
              "colados). Cuenta/overlays cancelados, sin auto-start huerfano. B carga por el camino normal.");
}

void AudioEngine::stageDeferredSongTiming()
{
    // The click: B's original tempo, beat map and fixed time signature; the signature map stays.
    SongTimingUpdate click;
    click.originalBpm = deferredOriginalBpm;
    click.beatmap.beatTimes = deferredBeatTimes;
    click.beatmap.beatNumbers.assign (deferredBeatNumbers.begin(), deferredBeatNumbers.end());
    if (deferredTimeSignatureValid)
    {
        click.numerator = deferredNumerator;
        click.denominator = deferredDenominator;
    }
    click.replaceTimeSignatureMap = false;
    if (metronome != nullptr)
        metronome->stageSongTiming (std::move (click));

    // The cues: B's beat times only (the sections follow on the message thread).
    SongTimingUpdate cues;
    cues.beatmap.beatTimes = deferredBeatTimes;
    cues.replaceTimeSignatureMap = false;
    if (cue != nullptr)
        cue->stageSongTiming (std::move (cues));
}

void AudioEngine::runThirdOverlapPhase()
{
    handoffDone = false;
    transitionArmed = false;
    transitionPreloadArmed = false;

    const double phase1 = handoffStamps[1].load(), handoff = handoffStamps[0].load();
    debugLog ("[TRANSITION] overlap auto-start DONE -> Song B transport running"
              + (phase1 > 0.0 && handoff > 0.0 ? " | flag->countEnd=" + juce::String (handoff - phase1, 1) + "ms" : juce::String()));

    dumpOverlapAudio ("at-start(Phase3)");
    handoffStamps[4] = hiResMs() + 1000.0;

    standaloneCountInActive = false;
    if (countIn != nullptr)
        countIn->stop();
    // The hand-off gave the internal click and guide their levels; their mutes follow here.
    if (handoffClickGain.load() >= 0.0f)
        metronomeMute = false;
    if (handoffGuideGain.load() >= 0.0f)
        guideMute = false;

    applyDeferredSetup (handoffSeekSeconds.load());
    // What the hand-off's swap gave back is freed here, off the audio thread.
    if (metronome != nullptr)
        metronome->collectSongTiming();
    if (cue != nullptr)
        cue->collectSongTiming();

    if (transitionFinished.load() && musicGain != nullptr)
        musicGain->setGain (1.0f, (float) transitionFadeApplied);
    transitionFinished = false;

    juce::Logger::writeToLog ("AudioEngine: Overlap cleanup complete (sample-accurate start)");

    const double entered = handoffStamps[2].load(), ended = handoffStamps[3].load();
    if (phase1 > 0.0 && handoff > 0.0 && entered > 0.0 && ended > 0.0)
        debugLog ("[TRANSITION] overlap-diag flagSet->ciEnd=" + juce::String (handoff - phase1, 1) + "ms | ciEnd->cbEnter="
                  + juce::String (entered - handoff, 1) + "ms | cbEnter->transStart=" + juce::String (ended - entered, 1)
                  + "ms | total(flagSet->transStart)=" + juce::String (ended - phase1, 1) + "ms");
}

//==============================================================================
// The hand-off (audio thread, inside the router's block; the message thread for a start at once).

void AudioEngine::onOverlapAutoStart() noexcept { handOffToSongB (router->handoffOffset.load()); }

void AudioEngine::handOffToSongB (int offset) noexcept
{
    handoffStamps[2] = hiResMs();

    // B's click and cue timing, swapped in without allocating; staged by the first phase.
    if (deferredSetupPending.exchange (false))
    {
        AudioLogLine line ("[TRANSITION] deferred metronome FIRING (audio thread, overlapStart) | bpm=");
        line.fixed (deferredOriginalBpm, 1) << " | beatmap=" << (int64_t) deferredBeatTimes.size() << " | hasTs=";
        line.yesNo (deferredTimeSignatureValid);
        sendAudioThreadLine (line.c_str());
        if (metronome != nullptr)
        {
            metronome->applyStagedSongTiming();
            metronome->seekToTime (handoffSeekSeconds.load());
        }
        if (cue != nullptr)
            cue->applyStagedSongTiming();
    }

    // The click and the guide start on B's first sample of this block, not at its start.
    if (metronome != nullptr)
        metronome->setStartOffset (offset);
    if (cue != nullptr)
        cue->setStartOffset (offset);

    if (const auto g = handoffClickGain.load(); g >= 0.0f && metronomeVolumeGain != nullptr)
        metronomeVolumeGain->requestRamp (g, 0.0f);
    if (const auto g = handoffGuideGain.load(); g >= 0.0f && cueVolumeGain != nullptr)
        cueVolumeGain->requestRamp (g, 0.0f);

    playbackGate = true;
    transportRunning = true;
    masterTransport.start();

    handoffStamps[3] = hiResMs();
    AudioThreadLog::Record record;
    record.setName ("AudioEngine: Overlap auto-start fired from audio thread (sample-accurate, metronome synced)");
    AudioThreadLog::shared().push (record);
}

//==============================================================================
void AudioEngine::dumpOverlapAudio (const juce::String& tag)
{
    juce::String buses, trackList;
    for (const auto& [name, bus] : groupBuses)
        if (bus->mixer.numInputs() > 0)
            buses << name << ":" << juce::String (bus->gain != nullptr ? bus->gain->getRamp().getTargetValue() : 0.0f, 3) << " ";
    for (const auto& [id, track] : tracks)
        trackList << id << ":" << juce::String (track->gain != nullptr ? track->gain->getRamp().getTargetValue() : 0.0f, 3) << " ";
    debugLog ("[TRANSITION] overlap-audio-dump " + tag + " | masterT=" + juce::String (masterTransport.getCurrentPosition(), 3) + "s"
              + " playing=" + yN (masterTransport.isPlaying())
              + " | musicGain=" + juce::String (musicGain != nullptr ? musicGain->getPublishedGain() : 0.0f, 3)
              + " | activeSong=" + activeSongId + " | buses=[" + buses.trimEnd() + "]" + " | tracks=[" + trackList.trimEnd() + "]");
}
} // namespace quorvelle
