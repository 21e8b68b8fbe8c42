// The count and overlap rows of the dispatcher: a count-voice overlay over a region, a count-in of
// its own, and the scheduling of the overlap hand-over to the preloaded song. Each is posted with a
// copy of its request; its body reads the fields, applies the defaults and clamps and calls the
// engine. None of them sends an event: the engine reports through its own.
#include "app/MainComponent.h"
#include "app/RowFields.h"

namespace quorvelle
{
using row_fields::RequestFields;

void MainComponent::registerCountActions()
{
    dispatchTable.add ("START_COUNT_REGION_VOICE", DispatchMode::posted, [this] (const juce::var& m) { executeStartCountRegionVoice (m); });
    dispatchTable.add ("START_COUNT_IN", DispatchMode::posted, [this] (const juce::var& m) { executeStartCountIn (m); });
    dispatchTable.add ("SCHEDULE_OVERLAP_TRANSITION", DispatchMode::posted, [this] (const juce::var& m) { executeScheduleOverlapTransition (m); });
}

void MainComponent::executeStartCountRegionVoice (const juce::var& request)
{
    const RequestFields f { request };
    const auto bpm = f.real ("bpm", 0.0);
    const auto numerator = f.integer ("numerator", 4);
    const auto denominator = f.integer ("denominator", 4);
    const auto regionStartSec = f.real ("regionStartSec", -1.0);
    const auto regionEndSec = f.real ("regionEndSec", -1.0);
    const auto voiceDelaySec = f.real ("voiceDelaySec", 0.0);
    const auto voiceSpanSec = f.real ("voiceSpanSec", -1.0);
    const auto armAfterCountIn = f.flag ("armAfterCountIn", false);
    const auto sectionKey = f.text ("sectionKey");
    // -1: the engine plans the voices at its own rate.
    engineOperations.cancelExportAndWait();
    engineOperations.startCountRegionVoice (bpm, numerator, denominator, regionStartSec, regionEndSec, voiceDelaySec, voiceSpanSec,
                                            armAfterCountIn, sectionKey, -1.0);
}

void MainComponent::executeStartCountIn (const juce::var& request)
{
    const RequestFields f { request };
    const auto bpm = static_cast<double> (f.value ("bpm"));
    auto numerator = f.integer ("numerator", 4);
    auto denominator = f.integer ("denominator", 4);
    const auto sectionKey = f.text ("sectionKey", "intro");
    if (numerator < 1)
        numerator = 4;
    if (denominator < 1)
        denominator = 4;
    const auto renderClicks = f.flag ("renderClicks", true);
    const auto renderVoice = f.flag ("renderVoice", true);
    const auto clickGain = static_cast<float> (f.real ("clickGain", -1.0));
    const auto voiceGain = static_cast<float> (f.real ("voiceGain", -1.0));
    engineOperations.cancelExportAndWait();
    engineOperations.startStandaloneCountIn (bpm > 0.0 ? bpm : 120.0, numerator, denominator, sectionKey, renderClicks, renderVoice,
                                             clickGain, voiceGain);
}

void MainComponent::executeScheduleOverlapTransition (const juce::var& request)
{
    const RequestFields f { request };
    const auto songId = f.value ("songId").toString();
    const auto startPosition = f.real ("startPosition", 0.0);
    const auto songEndTime = f.real ("songEndTime", 0.0);
    const auto fadeIn = f.flag ("fadeIn", false);
    const auto fadeDuration = f.real ("fadeDuration", 5.0);
    const auto startImmediately = f.flag ("startImmediately", false);
    engineOperations.cancelExportAndWait();
    engineOperations.scheduleOverlapTransition (songId, startPosition, songEndTime, fadeIn, fadeDuration, startImmediately);

    // The overlay follows the stored transition, and only when asked for.
    if (! f.flag ("playCountOverlay", false))
        return;
    engineOperations.startCountOverlay (f.real ("countOverlayStartSec", 0.0), f.real ("countOverlayEndSec", 0.0),
                                        f.flag ("overlayDrivesHandoff", false));
}
} // namespace quorvelle
