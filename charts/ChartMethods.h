#pragma once

// The song logic core's chord-chart methods. Each takes the method's JSON payload and returns the
// method's result R, which the method service answers as {"ok": true, "result": R}. Payload
// members that are missing or of another JSON type take their defaults; none of these functions
// adds an error of its own.

#include "charts/ChartTypes.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvelle::charts
{
// Longest "rawText" that "parseChordChart" takes (a pasted chart is a few kilobytes); a longer
// one throws std::length_error, which the method service answers as its error. Parsing and writing
// the answer of the worst text of this size ("C " repeated: a chord every two bytes) takes about
// 50 times its size at the peak (the parsed chords, then the answer's text of 15 times the size).
inline constexpr std::size_t kMaxChordChartTextBytes = std::size_t { 4 } << 20;

// "parseChordChart": {"rawText", "options": {"songKey", "displayNotation", "enableHealing",
// "strictSectionVocabulary"}} -> the chart result object.
nlohmann::json chartMethodParseChordChart (const nlohmann::json& payload);
// The same result appended to `out` as compact JSON text (the method service's form), written one
// chord at a time so the JSON tree of a long chart is never held whole.
void chartMethodParseChordChartText (const nlohmann::json& payload, std::string& out);

// "transposeChord": {"chord", "semitones", "preferFlats"} -> string.
nlohmann::json chartMethodTransposeChord (const nlohmann::json& payload);

// "transformChordLine": {"line", "semitones", "notation", "songKeyIdx", "preferFlats"} -> string.
nlohmann::json chartMethodTransformChordLine (const nlohmann::json& payload);

// "getSongKeyIndex": {"songKey"} -> integer pitch class, 0 when there is no key.
nlohmann::json chartMethodGetSongKeyIndex (const nlohmann::json& payload);

// The options record as read from a payload's "options" object.
ChordChartOptions readChordChartOptions (const nlohmann::json& options);

// The chart result as the "parseChordChart" method writes it; the text form is the compact JSON
// text of the same value.
nlohmann::json chordChartResultToJson (const ChordChartResult& result);
void appendChordChartResultText (const ChordChartResult& result, std::string& out);
// The result's fields around the given "blocks" value.
nlohmann::json resultFieldsToJson (const ChordChartResult& result, nlohmann::json blocks);

std::string_view chartFamilyName (ChartFamily family);
std::string_view chartNotationName (ChartNotation notation);
std::string_view chartConfidenceName (ChartConfidence confidence);
std::string_view sectionTypeName (SectionType type);
} // namespace quorvelle::charts
