#pragma once

#include "core/CoreJson.h"
#include "core/TimingMaps.h"

#include <string_view>
#include <vector>

namespace quorvelle::core
{
// Sections of a comma-separated marker list ("id,name,bar.beat" rows) at a constant tempo,
// sorted by start time; each lasts until the next, the last one 8 s.
std::vector<ImportedSection> parseSectionListText (std::string_view text, double bpm, const TimeSignature& signature,
                                                   const std::vector<TimeSignatureMapEntry>& map);

// True for a marker export's header row: "#", optional white space, "," and "name" anywhere
// (any letter case).
bool isSectionListHeader (std::string_view line);

// Core method: {"csvText", "bpm", "timeSignature", "timeSignatureMap"} -> section list.
Json parseCSVSections (const Json& payload);
} // namespace quorvelle::core
