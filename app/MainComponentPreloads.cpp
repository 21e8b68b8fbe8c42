// The posted bodies of "PRELOAD_SONG" and "ACTIVATE_PRELOADED", on the dispatch-time copies of
// their requests. The engine answers with its own events; these only read, log and call.
#include "app/MainComponent.h"
#include "app/RowFields.h"

namespace quorvelle
{
using row_fields::RequestFields;

void MainComponent::executePreloadSong (const juce::var& request)
{
    auto& engine = engineOperations;
    const RequestFields f { request };
    const auto songId = f.value ("songId").toString();
    // No validity test here: the engine replaces a tempo that is not a positive number.
    const auto bpm = f.real ("bpm", 120.0);
    const auto beatmap = f.value ("beatmap");
    const auto numBars = f.integer ("numBars", 800);
    const auto timeSignature = f.value ("timeSignature");
    const auto stretchBpm = f.real ("stretchBpm", 0.0);
    const auto stretchSemitones = f.real ("stretchSemitones", 0.0);
    const auto cacheOnly = f.flag ("cacheOnly", false);
    const auto peakTracks = f.value ("peakTracks");
    double overlayStart = -1.0, overlayEnd = -1.0;
    if (const auto overlay = f.value ("countOverlay"); overlay.isObject())
    {
        const RequestFields o { overlay };
        overlayStart = o.real ("startSec", -1.0);
        overlayEnd = o.real ("endSec", -1.0);
    }

    const auto* peakArray = peakTracks.getArray();
    engine.debugLog ("Native: PRELOAD_SONG for " + songId
                     + (stretchBpm > 0.0 ? " (stretch bpm=" + juce::String (stretchBpm) + " semi=" + juce::String (stretchSemitones) + ")"
                                         : juce::String())
                     + (cacheOnly ? " [cacheOnly]" : "") + " peakTracks=" + juce::String (peakArray != nullptr ? peakArray->size() : 0)
                     + (overlayEnd > 0.0 ? " countOverlay=[" + juce::String (overlayStart, 2) + ".." + juce::String (overlayEnd, 2) + "]s"
                                         : juce::String()));

    const auto durationSec = f.real ("durationSec", 0.0);
    const auto headOnly = f.flag ("headOnly", false);
    const auto headStartSec = f.real ("headStartSec", -1.0);
    const auto headLengthSec = f.real ("headLengthSec", 4.0);
    const auto audioLeadPadSec = f.real ("audioLeadPadSec", 0.0);
    engine.startPreload (f.value ("tracks"), f.value ("sections"), bpm, beatmap, numBars, songId, timeSignature, stretchBpm, stretchSemitones,
                         cacheOnly, peakTracks, overlayStart, overlayEnd, durationSec, headOnly, headStartSec, headLengthSec, audioLeadPadSec);
}

void MainComponent::executeActivatePreloaded (const juce::var& request)
{
    auto& engine = engineOperations;
    const RequestFields f { request };
    const auto songId = f.value ("songId").toString();
    const auto autoPlay = f.flag ("autoPlay", false);
    const auto startPosition = f.real ("startPosition", -1.0);
    const auto fastReset = f.flag ("fastReset", false);
    const auto countIn = f.flag ("countIn", false);
    const auto countInStartPosition = f.real ("countInStartPosition", -1.0);
    const auto countInSectionKey = f.text ("countInSectionKey");
    const auto countInBpm = f.real ("countInBpm", -1.0);
    const auto countInNumerator = f.integer ("countInNumerator", -1);
    const auto countInDenominator = f.integer ("countInDenominator", -1);
    const auto countInRegion = f.flag ("countInRegion", false);
    const auto regionStartPos = f.real ("regionStartPos", -1.0);
    const auto regionEndPos = f.real ("regionEndPos", -1.0);
    const auto regionVoiceInt = f.flag ("regionVoiceInt", false);
    const auto regionVoiceDelaySec = f.real ("regionVoiceDelaySec", 0.0);
    const auto regionVoiceSpanSec = f.real ("regionVoiceSpanSec", -1.0);
    // The presence of the click level marks a count strip.
    const auto countStrip = f.has ("countClickVolumeDb");
    const auto countClickVolumeDb = f.real ("countClickVolumeDb", 0.0);
    const auto countClickMuted = f.flag ("countClickMuted", false);
    const auto countGuideVolumeDb = f.real ("countGuideVolumeDb", 0.0);
    const auto countGuideMuted = f.flag ("countGuideMuted", false);

    engine.cancelExportAndWait();
    engine.debugLog ("Native: ACTIVATE_PRELOADED for " + songId + (autoPlay ? " [autoPlay]" : "") + (fastReset ? " [fastReset]" : "")
                     + (countIn ? " [countIn]" : "") + (countInRegion ? " [countInRegion]" : "") + (countStrip ? " [countStrip]" : ""));
    engine.activatePreloaded (songId, autoPlay, startPosition, fastReset, countIn, countInSectionKey, countInStartPosition, countInBpm,
                              countInNumerator, countInDenominator, countInRegion, regionStartPos, regionEndPos, regionVoiceInt, countStrip,
                              countClickVolumeDb, countClickMuted, countGuideVolumeDb, countGuideMuted, regionVoiceDelaySec, regionVoiceSpanSec);
}
} // namespace quorvelle
