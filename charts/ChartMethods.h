#pragma once

// The song logic core's chord-chart methods. Each takes the method's JSON payload and returns the
// method's result R, which the method service answers as {"ok": true, "result": R}. Payload
// members that are missing or of another JSON type take their defaults; none of these functions
// adds an error of its own.

#include "charts/ChartTypes.h"

#include <nlohmann/json.hpp>

#include <string_view>

namespace quorvelle::charts
{
// "parseChordChart": {"rawText", "options": {"songKey", "displayNotation", "enableHealing",
// "strictSectionVocabulary"}} -> the chart result object.
nlohmann::json chartMethodParseChordChart (const nlohmann::json& payload);

// "transposeChord": {"chord", "semitones", "preferFlats"} -> string.
nlohmann::json chartMethodTransposeChord (const nlohmann::json& payload);

// "transformChordLine": {"line", "semitones", "notation", "songKeyIdx", "preferFlats"} -> string.
nlohmann::json chartMethodTransformChordLine (const nlohmann::json& payload);

// "getSongKeyIndex": {"songKey"} -> integer pitch class, 0 when there is no key.
nlohmann::json chartMethodGetSongKeyIndex (const nlohmann::json& payload);

// The options record as read from a payload's "options" object.
ChordChartOptions readChordChartOptions (const nlohmann::json& options);

// The chart result as the "parseChordChart" method writes it.
nlohmann::json chordChartResultToJson (const ChordChartResult& result);

std::string_view chartFamilyName (ChartFamily family);
std::string_view chartNotationName (ChartNotation notation);
std::string_view chartConfidenceName (ChartConfidence confidence);
std::string_view sectionTypeName (SectionType type);
} // namespace quorvelle::charts
