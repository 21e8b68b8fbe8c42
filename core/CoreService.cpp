#include "core/CoreService.h"

#include "charts/ChartMethods.h"
#include "core/AbletonImport.h"
#include "core/BoundaryDecision.h"
#include "core/CompanionBundle.h"
#include "core/CountIn.h"
#include "core/CsvSections.h"
#include "core/CueClipboard.h"
#include "core/SectionMarkers.h"
#include "core/SongOptions.h"
#include "core/TimeSignatureInference.h"
#include "core/TimingMaps.h"
#include "core/UsbDescriptors.h"

#include <array>
#include <exception>

namespace quorvelle::core
{
namespace
{
    // One line per method, in test order. A null handler answers "unknown method: " + name
    // until its module is wired in.
    constexpr std::array<CoreMethod, 25> methods { {
        { "parseAbletonXML", &parseAbletonXML },
        { "parseAbletonFile", &parseAbletonFile },
        { "parseCSVSections", &parseCSVSections },
        { "mapMarkerToSectionType", &mapMarkerToSectionType },
        { "isCountSection", &isCountSection },
        { "calculateCountInDuration", &calculateCountInDuration },
        { "detectTimeSignatureFromBeatmap", &detectTimeSignatureFromBeatmap },
        { "detectTimeSignatureMapFromBeatmap", &detectTimeSignatureMapFromBeatmap },
        { "transposeChord", &charts::chartMethodTransposeChord },
        { "transformChordLine", &charts::chartMethodTransformChordLine },
        { "getSongKeyIndex", &charts::chartMethodGetSongKeyIndex },
        { "countSyllables", &countSyllables },
        { "tempoMapToBeatmap", &tempoMapToBeatmap },
        { "calculatePreciseTime", &calculatePreciseTime },
        { "extractCuesInSection", &extractCuesInSection },
        { "buildClipboardSnapshot", &buildClipboardSnapshot },
        { "computePasteForSection", &computePasteForSection },
        { "destinationHasExistingCues", &destinationHasExistingCues },
        { "computeDeleteForSection", &computeDeleteForSection },
        { "detectSongOptionsChanges", &detectSongOptionsChanges },
        { "buildSongOptionsApplyPlan", &buildSongOptionsApplyPlan },
        { "decideBoundaryAction", &decideBoundaryAction },
        { "parseChordChart", &charts::chartMethodParseChordChart, &charts::chartMethodParseChordChartText },
        { "companionBuildBundle", &companionBuildBundle },
        { "parseUsbDescriptors", &parseUsbDescriptors },
    } };

    Json failure (std::string error)
    {
        Json out = Json::object();
        out["ok"] = false;
        out["error"] = std::move (error);
        return out;
    }

    const CoreMethod* findMethod (std::span<const CoreMethod> table, std::string_view name)
    {
        for (const auto& m : table)
            if (m.name == name)
                return &m;
        return nullptr;
    }
} // namespace

std::span<const CoreMethod> coreMethodTable()
{
    return methods;
}

Json invokeCoreMethod (std::string_view method, const Json& payload)
{
    return invokeCoreMethodFrom (methods, method, payload);
}

Json invokeCoreMethodFrom (std::span<const CoreMethod> table, std::string_view method, const Json& payload)
{
    try
    {
        const auto* entry = findMethod (table, method);
        if (entry == nullptr || entry->handler == nullptr)
            return failure ("unknown method: " + std::string (method));

        Json response = Json::object();
        response["ok"] = true;
        response["result"] = entry->handler (payload);
        return response;
    }
    catch (const std::exception& e)
    {
        return failure (std::string ("core threw: ") + e.what());
    }
    catch (...)
    {
        return failure ("core threw unknown exception");
    }
}

std::string serialiseCoreEnvelope (const Json& envelope)
{
    return envelope.dump (-1, ' ', false, Json::error_handler_t::replace);
}

std::string invokeCoreMethodToJson (std::string_view method, const Json& payload)
{
    if (const auto* entry = findMethod (methods, method); entry != nullptr && entry->textHandler != nullptr)
    {
        try
        {
            std::string out = "{\"ok\":true,\"result\":";
            entry->textHandler (payload, out);
            out += '}';
            return out;
        }
        catch (const std::exception& e)
        {
            return serialiseCoreEnvelope (failure (std::string ("core threw: ") + e.what()));
        }
        catch (...)
        {
            return serialiseCoreEnvelope (failure ("core threw unknown exception"));
        }
    }

    const auto envelope = invokeCoreMethod (method, payload);
    try
    {
        return serialiseCoreEnvelope (envelope);
    }
    catch (const std::exception& e)
    {
        return serialiseCoreEnvelope (failure (std::string ("core threw: ") + e.what()));
    }
}
} // namespace quorvelle::core
