// The transport, song, click-section, count and timing-data rows of the dispatcher, and the two
// executors they hand requests to ("TRANSPORT_CONTROL" and "LOAD_SONG"). Every row reaches the
// engine through `engineOperations`. Inline rows run inside the dispatcher; a posted row reads its
// fields when the request is dispatched and posts the engine call with those values.
#include "app/MainComponent.h"
#include "app/RowFields.h"

#include "platform/StorageRoot.h"

#include <algorithm>
#include <cmath>

namespace quorvelle
{
namespace
{
using row_fields::RequestFields;

juce::String quoted (const juce::String& text)
{
    return "\"" + text + "\"";
}

juce::String yesNo (bool value)
{
    return value ? "true" : "false";
}

int elementCount (const juce::var& value)
{
    const auto* array = value.getArray();
    return array != nullptr ? array->size() : 0;
}
} // namespace

void MainComponent::registerTransportActions()
{
    auto* const engine = &engineOperations;
    const auto inlineRow = [this] (const char* action, std::function<void (const RequestFields&)> work)
    {
        dispatchTable.add (action, DispatchMode::inlineCall, [work = std::move (work)] (const juce::var& m) { work (RequestFields { m }); });
    };
    // `read` runs at dispatch and returns the engine call, which runs on a later turn of the loop
    // while this component lives.
    const auto postedRow = [this] (const char* action, std::function<std::function<void()> (const RequestFields&)> read)
    {
        dispatchTable.add (action, DispatchMode::inlineCall, [read = std::move (read), post = makePoster()] (const juce::var& m)
        {
            post (read (RequestFields { m }));
        });
    };

    //==============================================================================
    // Transport, tempo and songs.
    postedRow ("TRANSPORT_CONTROL", [this, engine] (const RequestFields& f)
    {
        const auto command = f.value ("command").toString();
        engine->debugLog ("Native: TRANSPORT_CONTROL " + command);
        engine->debugLog ("[BRIDGE-IN] TRANSPORT_CONTROL " + command
                         + " arrived (correlates with [INIT-FLOW] timestamps to detect race with initialise())");
        return [this, command, payload = f.request] { executeTransportCommand (command, payload); };
    });
    inlineRow ("SET_BPM", [engine] (const RequestFields& f)
    {
        engine->cancelExportAndWait();
        const auto received = f.value ("bpm");
        const auto bpm = static_cast<double> (received);
        engine->debugLog ("[BPM-INCOMING] frontend SET_BPM=" + received.toString() + " | engineCurBpm=" + juce::String (engine->getCurrentBpm(), 1));
        engine->debugLog ("Native: SET_BPM " + juce::String (bpm));
        engine->setBpm (bpm);
    });
    inlineRow ("SET_PITCH", [engine] (const RequestFields& f)
    {
        engine->cancelExportAndWait();
        const auto pitch = static_cast<float> (f.real ("pitch"));
        engine->debugLog ("Native: SET_PITCH " + juce::String (pitch));
        engine->setPitch (pitch);
    });
    inlineRow ("APPLY_STRETCH", [engine] (const RequestFields& f)
    {
        engine->cancelExportAndWait();
        const auto bpm = f.real ("bpm", 120.0);
        const auto semitones = static_cast<float> (f.real ("semitones", 0.0));
        engine->debugLog ("Native: APPLY_STRETCH bpm=" + juce::String (bpm) + " semitones=" + juce::String (semitones));
        engine->applyStretch (bpm, semitones);
    });
    postedRow ("LOAD_SONG", [this] (const RequestFields& f) { return [this, request = f.request] { executeLoadSong (request); }; });
    postedRow ("PRELOAD_SONG", [this] (const RequestFields& f) { return [this, request = f.request] { executePreloadSong (request); }; });
    postedRow ("ACTIVATE_PRELOADED", [this] (const RequestFields& f)
    {
        return [this, request = f.request] { executeActivatePreloaded (request); };
    });
    postedRow ("EVICT_PRELOADED", [engine] (const RequestFields& f)
    {
        return [engine, reason = f.text ("reason", "ts-request")] { engine->evictPreloadedSession (reason); };
    });
    inlineRow ("CANCEL_PRELOAD", [engine] (const RequestFields&) { engine->cancelPreload(); });
    inlineRow ("CANCEL_LOAD", [engine] (const RequestFields&)
    {
        engine->cancelExportAndWait();
        engine->cancelLoad();
    });
    inlineRow ("PRESERVE_SESSION", [engine] (const RequestFields&)
    {
        engine->cancelExportAndWait();
        engine->preserveActiveAsPreload();
    });
    postedRow ("FULL_RESET", [engine] (const RequestFields&)
    {
        return [engine]
        {
            engine->cancelExportAndWait();
            engine->fullReset();
        };
    });

    //==============================================================================
    // Click sections.
    inlineRow ("START_CLICK_SECTION", [engine] (const RequestFields& f)
    {
        const auto entryId = f.text ("entryId");
        const auto mode = f.text ("mode", "fixed");
        const auto bpm = f.real ("bpm");
        const auto numerator = f.integer ("numerator"), denominator = f.integer ("denominator"), bars = f.integer ("bars");
        const auto nextSeekTarget = f.number ("nextSeekTarget", -1.0);
        const auto indications = f.value ("indications");
        const auto warningIndicationId = f.text ("warningIndicationId"), warningSectionName = f.text ("warningSectionName");
        const auto warningSelfIndicationId = f.text ("warningSelfIndicationId"), warningSelfSectionName = f.text ("warningSelfSectionName");
        const auto repeatOnce = f.flag ("repeatOnce"), suppressFirstFire = f.flag ("suppressFirstFire");

        engine->debugLog ("Native: START_CLICK_SECTION entryId=" + entryId + " mode=" + mode + " bpm=" + juce::String (bpm) + " ts="
                         + juce::String (numerator) + "/" + juce::String (denominator) + " bars=" + juce::String (bars)
                         + " indications=" + juce::String (elementCount (indications)) + " warnNext=ind=" + quoted (warningIndicationId)
                         + " sec=" + quoted (warningSectionName) + " warnSelf=ind=" + quoted (warningSelfIndicationId)
                         + " sec=" + quoted (warningSelfSectionName) + " repeat=" + yesNo (repeatOnce)
                         + " suppressFirstFire=" + yesNo (suppressFirstFire) + " seek=" + juce::String (nextSeekTarget, 3));
        engine->cancelExportAndWait();
        engine->startClickSection (entryId, mode, bpm, numerator, denominator, bars, nextSeekTarget, indications, warningIndicationId,
                                  warningSectionName, warningSelfIndicationId, warningSelfSectionName, repeatOnce, suppressFirstFire);
    });
    inlineRow ("CANCEL_CLICK_SECTION", [engine] (const RequestFields&)
    {
        engine->debugLog ("Native: CANCEL_CLICK_SECTION");
        engine->cancelClickSection();
    });
    inlineRow ("CLICK_SECTION_DEACTIVATE_LOOP", [engine] (const RequestFields&)
    {
        engine->debugLog ("Native: CLICK_SECTION_DEACTIVATE_LOOP");
        engine->deactivateLoop();
    });
    inlineRow ("CLICK_SECTION_REACTIVATE_LOOP", [engine] (const RequestFields&)
    {
        engine->debugLog ("Native: CLICK_SECTION_REACTIVATE_LOOP");
        engine->reactivateLoop();
    });
    inlineRow ("SET_CLICK_SECTION_REPEAT", [engine] (const RequestFields& f)
    {
        const auto entryId = f.text ("entryId");
        const auto repeat = f.flag ("repeat");
        engine->debugLog ("Native: SET_CLICK_SECTION_REPEAT entryId=" + entryId + " value=" + yesNo (repeat));
        engine->setRepeat (entryId, repeat);
    });
    inlineRow ("SET_CLICK_SECTION_LOOP", [engine] (const RequestFields& f)
    {
        const auto entryId = f.text ("entryId");
        const auto enabled = f.flag ("enabled");
        engine->debugLog ("Native: SET_CLICK_SECTION_LOOP entryId=" + entryId + " value=" + yesNo (enabled));
        engine->setLoopFixed (entryId, enabled);
    });
    inlineRow ("SET_CLICK_SECTION_NEXT_SEEK_TARGET", [engine] (const RequestFields& f)
    {
        const auto entryId = f.text ("entryId");
        const auto target = f.number ("target", -1.0);
        const auto warningIndicationId = f.text ("warningIndicationId"), warningSectionName = f.text ("warningSectionName");
        engine->debugLog ("Native: SET_CLICK_SECTION_NEXT_SEEK_TARGET entryId=" + entryId + " target=" + juce::String (target, 3)
                         + " warnInd=" + quoted (warningIndicationId) + " warnSec=" + quoted (warningSectionName));
        engine->setNextSeekTarget (entryId, target, warningIndicationId, warningSectionName);
    });

    //==============================================================================
    // Count-ins, count jumps and transitions.
    inlineRow ("SET_COUNT_IN", [engine] (const RequestFields& f) { engine->setCountInEnabled (f.flag ("enabled")); });
    postedRow ("STOP_COUNT_IN", [engine] (const RequestFields&) { return [engine] { engine->cancelStandaloneCountIn(); }; });
    postedRow ("SET_COUNT_IN_LOOP", [engine] (const RequestFields& f)
    {
        return [engine, remaining = f.integer ("remaining", 0)] { engine->setCountInLoopsRemaining (remaining); };
    });
    postedRow ("SET_BOUNDARY_COUNT_JUMP", [engine] (const RequestFields& f)
    {
        return [engine, active = f.flag ("active", false)] { engine->setBoundaryCountJump (active); };
    });
    postedRow ("UPDATE_COUNT_JUMP_SEEK_TARGET", [engine] (const RequestFields& f)
    {
        return [engine, time = f.real ("timeSeconds", -1.0)] { engine->updateCountJumpSeekTarget (time); };
    });
    postedRow ("UPDATE_COUNT_IN_SECTION", [engine] (const RequestFields& f)
    {
        return [engine, name = f.text ("sectionName")] { engine->updateCountInSection (name); };
    });
    postedRow ("SET_COUNT_JUMP_TEMPO", [engine] (const RequestFields& f)
    {
        return [engine, bpm = f.real ("bpm", 0.0), numerator = f.integer ("numerator", 0), denominator = f.integer ("denominator", 0),
                truncateSec = f.real ("truncateSec", 0.0)] { engine->setCountJumpTempo (bpm, numerator, denominator, truncateSec); };
    });
    postedRow ("CANCEL_OVERLAP_TRANSITION", [engine] (const RequestFields&) { return [engine] { engine->cancelOverlapTransition(); }; });

    //==============================================================================
    // Timing data of the click, count-in and cue sources.
    inlineRow ("SET_TIME_SIGNATURE", [engine] (const RequestFields& f)
    {
        const auto numerator = f.integer ("numerator"), denominator = f.integer ("denominator");
        engine->setTimeSignature (numerator, denominator);
        engine->debugLog ("[CLICK-CPP] SET_TIME_SIGNATURE received: " + juce::String (numerator) + "/" + juce::String (denominator));
    });
    inlineRow ("SET_TIME_SIGNATURE_MAP", [engine] (const RequestFields& f)
    {
        if (const auto map = f.value ("map"); f.has ("map") && map.isArray())
            engine->setTimeSignatureMap (map);
    });
    postedRow ("SET_CUE_BEATMAP", [engine] (const RequestFields& f)
    {
        std::vector<double> times;
        if (const auto* array = f.value ("times").getArray())
            for (const auto& element : *array)
                times.push_back (static_cast<double> (element));
        return [engine, times = std::move (times)] { engine->setCueBeatmap (times); };
    });
    postedRow ("UPDATE_LIVE_BEATMAP", [engine] (const RequestFields& f)
    {
        std::vector<double> times;
        std::vector<int> beatNumbers;
        if (const auto* array = f.value ("beatmap").getArray())
            for (const auto& beat : *array)
            {
                times.push_back (static_cast<double> (beat.getProperty ("time", 0.0)));
                beatNumbers.push_back (static_cast<int> (beat.getProperty ("beatNum", 0)));
            }
        return [engine, times = std::move (times), beatNumbers = std::move (beatNumbers)] { engine->setLiveBeatmap (times, beatNumbers); };
    });
    postedRow ("UPDATE_SECTIONS", [engine] (const RequestFields& f)
    {
        return [engine, json = juce::JSON::toString (f.value ("sections"), true)] { engine->updateCueSections (json); };
    });
    postedRow ("SET_SECTION_ANNOUNCEMENT_OVERRIDES", [engine] (const RequestFields& f)
    {
        return [engine, json = juce::JSON::toString (f.request, true)] { engine->updateSectionAnnouncementOverrides (json); };
    });
    postedRow ("SET_CLICK_ACCENT_SUPPRESS_RANGES", [engine] (const RequestFields& f)
    {
        return [engine, json = juce::JSON::toString (f.request, true)] { engine->setClickAccentSuppressRanges (json); };
    });
    inlineRow ("SET_SECTION_ANNOUNCE_FULLBAR", [engine] (const RequestFields& f) { engine->setSectionAnnounceFullBar (f.flag ("enabled")); });
    postedRow ("SET_QUEUED_IS_LINEAR_SONGMAP", [engine] (const RequestFields& f)
    {
        return [engine, linear = f.flag ("value")] { engine->setQueuedIsLinearSongMap (linear); };
    });
    inlineRow ("LOAD_INDICATION_TO_RAM", [engine] (const RequestFields& f)
    {
        const auto indicationId = f.text ("indicationId");
        const auto fallback = getStorageRoot().getChildFile ("indications").getChildFile (indicationId + ".wav");
        engine->loadIndicationToRam (indicationId, f.text ("filePath"), fallback.getFullPathName());
    });
    inlineRow ("UNLOAD_INDICATION_FROM_RAM", [engine] (const RequestFields& f) { engine->unloadIndicationFromRam (f.text ("indicationId")); });
    inlineRow ("CLEAR_INDICATIONS", [engine] (const RequestFields&) { engine->clearIndications(); });
    inlineRow ("SET_INDICATION_SCHEDULE", [engine] (const RequestFields& f)
    {
        if (f.has ("schedule"))
            engine->setIndicationSchedule (f.value ("schedule"));
    });
}

//==============================================================================
void MainComponent::executeTransportCommand (const juce::String& command, const juce::var& payload)
{
    auto& engine = engineOperations;
    const RequestFields f { payload };
    // The first of the commands that matches runs; any other text does nothing.
    static const char* const commands[] = { "PLAY", "STOP", "PAUSE", "SET_LOOP_REGION", "SET_BOUNDARY_SEEK", "SET_BOUNDARY_SEEK_SA",
                                            "RESUME", "SEEK", "LOOP_SEEK", "FADE_OUT", "FADE_IN" };
    if (std::none_of (std::begin (commands), std::end (commands), [&command] (const char* name) { return command == name; }))
        return;

    engine.cancelExportAndWait();

    if (command == "PLAY")
    {
        const auto fromStart = f.flag ("fromStart", false);
        const auto forceCountIn = f.flag ("forceCountIn", false);
        const auto startPosition = f.real ("startPosition", -1.0);
        const auto sectionKey = f.text ("sectionKey");
        const auto sectionPreRoll = f.flag ("sectionPreRoll", false);
        const auto countInBpm = f.real ("countInBpm", -1.0);
        const auto countInNumerator = f.integer ("countInNumerator", -1);
        const auto countInDenominator = f.integer ("countInDenominator", -1);
        const auto countInTruncateSec = f.real ("countInTruncateSec", -1.0);
        engine.play (fromStart, forceCountIn, startPosition, sectionKey, sectionPreRoll, countInBpm, countInNumerator, countInDenominator,
                     countInTruncateSec);
    }
    else if (command == "STOP")
        engine.stop();
    else if (command == "PAUSE")
        engine.pause();
    else if (command == "SET_LOOP_REGION")
        engine.setLoopRegion (f.real ("start"), f.real ("end"), f.flag ("active"));
    else if (command == "SET_BOUNDARY_SEEK")
        engine.setBoundarySeek (f.real ("triggerTime"), f.real ("targetPosition"), f.flag ("active"));
    else if (command == "SET_BOUNDARY_SEEK_SA")
        engine.setBoundarySeekSA (f.real ("triggerTime"), f.real ("targetPosition"), f.flag ("active"));
    else if (command == "RESUME")
        engine.resume();
    else if (command == "SEEK")
        engine.seek (static_cast<double> (f.value ("position")));
    else if (command == "LOOP_SEEK")
        engine.loopSeek (static_cast<double> (f.value ("position")));
    else if (command == "FADE_OUT")
        engine.emitFadeDiag (true, static_cast<float> (static_cast<double> (f.value ("duration"))));
    else if (command == "FADE_IN")
        engine.emitFadeDiag (false, static_cast<float> (static_cast<double> (f.value ("duration"))));
}

void MainComponent::executeLoadSong (const juce::var& request)
{
    auto& engine = engineOperations;
    const RequestFields f { request };
    engine.cancelExportAndWait();

    auto bpm = 120.0;
    if (f.has ("bpm"))
    {
        bpm = f.real ("bpm");
        if (! (bpm > 0.0))
        {
            engine.debugLog ("LOAD_SONG: invalid bpm=" + f.value ("bpm").toString() + " in payload, using 120");
            bpm = 120.0;
        }
    }
    const auto beatmap = f.value ("beatmap");
    const auto numBars = f.integer ("numBars", 800);
    engine.debugLog ("Native: LOAD_SONG. Name: " + f.value ("name").toString() + " BPM: " + juce::String (bpm) + " numBars: "
                     + juce::String (numBars));

    const auto timeSignature = f.value ("timeSignature");
    if (const auto* parts = timeSignature.getArray(); parts != nullptr && parts->size() >= 2)
    {
        const auto numerator = static_cast<int> ((*parts)[0]), denominator = static_cast<int> ((*parts)[1]);
        if (numerator > 0 && denominator > 0)
            engine.setTimeSignature (numerator, denominator);
    }

    const auto songId = f.text ("songId");
    const auto stretchBpm = f.real ("stretchBpm", 0.0);
    const auto stretchSemitones = f.real ("stretchSemitones", 0.0);

    if (f.flag ("keepPreload", false))
        if (const auto preloaded = engine.getPreloadedSongId(); preloaded.isNotEmpty() && preloaded != songId)
            engine.armPreserveSession();

    const auto skipPeaks = f.flag ("skipPeaks", false);
    const auto peakTracks = f.value ("peakTracks");
    const auto tracks = f.value ("tracks");
    const auto sections = f.value ("sections");
    engine.setPendingLoad (bpm, tracks);

    engine.debugLog ("LOAD_SONG cache check: songId=" + songId + " stretchBpm=" + juce::String (stretchBpm) + " stretchSemi="
                     + juce::String (stretchSemitones) + " skipPeaks=" + yesNo (skipPeaks) + " peakTracks="
                     + juce::String (elementCount (peakTracks)));

    const auto audioLeadPadSec = f.real ("audioLeadPadSec", 0.0);
    const bool stretchAsked = stretchBpm > 0.0 || std::abs (stretchSemitones) > 0.001;
    if (stretchAsked
        && engine.activateFromStretchCache (songId, stretchBpm, stretchSemitones, sections, beatmap, numBars, timeSignature, skipPeaks,
                                            peakTracks, audioLeadPadSec))
        engine.debugLog ("Native: LOAD_SONG cache HIT for " + songId);
    else
        engine.loadSession (tracks, sections, beatmap, timeSignature, peakTracks, bpm, numBars, songId, skipPeaks, audioLeadPadSec);

    engine.updateMidiCues (f.has ("midiCues") ? f.value ("midiCues") : juce::var (juce::Array<juce::var>()));
}
} // namespace quorvelle
