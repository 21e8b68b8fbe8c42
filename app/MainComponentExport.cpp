// The mix export rows: EXPORT_MIX reads the job and hands it to the engine; EXPORT_MIX_CANCEL asks
// the running render to stop. The engine sends every EXPORT_MIX event but the range refusal's.
#include "app/ExportRequest.h"
#include "app/MainComponent.h"
#include "app/RowFields.h"

#include "platform/PathJoin.h"
#include "platform/StorageRoot.h"

namespace quorvelle
{
using row_fields::RequestFields;

std::optional<AudioEngine::ExportJob> readExportJob (const juce::var& request, const juce::File& storageRoot, const juce::File& musicFolder,
                                                     const std::function<void (const juce::String&)>& log)
{
    const RequestFields f { request };
    AudioEngine::ExportJob job;
    job.songId = f.text ("songId");
    job.format = f.text ("format");
    job.sourceStartSec = f.real ("sourceStartTimeSec");
    job.sourceEndSec = f.real ("sourceEndTimeSec");

    if (const auto* plan = f.value ("renderPlan").getArray())
        for (const auto& entry : *plan)
        {
            if (! entry.isObject())
                continue;
            const RequestFields e { entry };
            AudioEngine::ExportJob::Step step;
            step.sourceStart = e.real ("sourceStart");
            step.sourceEnd = e.real ("sourceEnd");
            step.durationSec = e.real ("durationSec", step.sourceEnd - step.sourceStart);
            step.sectionName = e.text ("sectionName");
            if (step.durationSec > 0.0 && step.sourceEnd > step.sourceStart)
                job.renderPlan.push_back (step);
        }

    const auto countIn = f.value ("countIn");
    if (const auto prelude = countIn.getProperty ("prelude", {}); prelude.isObject())
    {
        const RequestFields p { prelude };
        job.prelude = { true, p.real ("bpm"), p.integer ("numerator"), p.integer ("denominator"), p.text ("sectionKey"),
                        p.flag ("renderClicks", true), p.flag ("renderVoice", true), p.real ("truncateSec") };
    }
    if (const auto voice = countIn.getProperty ("regionVoice", {}); voice.isObject())
    {
        const RequestFields v { voice };
        job.regionVoice = { true, v.real ("bpm"), v.integer ("numerator"), v.integer ("denominator"), v.real ("regionStartSec"),
                            v.real ("regionEndSec"), v.real ("voiceDelaySec"), v.real ("voiceSpanSec"), v.text ("sectionKey") };
    }

    const auto range = "[" + juce::String (job.sourceStartSec, 3) + ", " + juce::String (job.sourceEndSec, 3) + "]";
    if (job.renderPlan.empty() && job.sourceStartSec >= job.sourceEndSec)
    {
        log (juce::String::fromUTF8 ("[EXPORT_MIX] WARNING: sin renderPlan y range vac\xc3\xado (srcStart=") + juce::String (job.sourceStartSec, 3)
             + " srcEnd=" + juce::String (job.sourceEndSec, 3) + juce::String::fromUTF8 ("). Rechazando job."));
        return std::nullopt;
    }

    job.outputPath = platform::resolveExportFolder (f.text ("folder"), storageRoot, musicFolder).getChildFile (f.text ("filename")).getFullPathName();
    log ("[EXPORT_MIX] Starting job | format=" + job.format + " | path=" + job.outputPath
         + (job.renderPlan.empty() ? " | range=" + range + " linear" : " | plan=" + juce::String ((int) job.renderPlan.size()) + " steps")
         + (job.prelude.enabled ? " | countIn=prelude" : "") + (job.regionVoice.enabled ? " | countIn=regionVoice" : ""));
    return job;
}

void MainComponent::registerExportActions()
{
    dispatchTable.add ("EXPORT_MIX", DispatchMode::inlineCall, [this] (const juce::var& message)
    {
        const auto music = juce::File::getSpecialLocation (juce::File::userMusicDirectory);
        auto job = readExportJob (message, getStorageRoot(), music, [this] (const juce::String& line) { audioEngine.debugLog (line); });
        if (! job.has_value())
        {
            emitFromNative ("fromNative", makeObject ({ { "action", "EXPORT_MIX_ERROR" }, { "message", juce::String::fromUTF8 ("Rango de export inv\xc3\xa1lido") } }));
            return;
        }
        audioEngine.startExportMix (std::move (*job));
    });

    dispatchTable.add ("EXPORT_MIX_CANCEL", DispatchMode::inlineCall, [this] (const juce::var&)
    {
        audioEngine.debugLog ("[EXPORT_MIX] Cancel requested by frontend");
        audioEngine.cancelExportMix();
    });
}
} // namespace quorvelle
