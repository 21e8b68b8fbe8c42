#pragma once

// Recognition of a chart's layout family from a fixed set of signals in its text.

#include "charts/ChartTypes.h"

#include <string>
#include <string_view>
#include <vector>

namespace quorvelle::charts
{
struct FamilyDetection
{
    ChartFamily family = ChartFamily::unknown;
    ChartConfidence confidence = ChartConfidence::low;
    std::vector<std::string> signals;
};

FamilyDetection detectChartFamily (std::string_view text);

bool hasBracketSectionMarkers (std::string_view text);
bool hasChordOverLyric (std::string_view text);
bool hasChordProDirective (std::string_view text);
int countInlineChordLines (std::string_view text);
bool hasAllCapsSectionMarkers (std::string_view text);
bool hasInlineColonMarkers (std::string_view text);
bool isChordStacked (std::string_view text);
bool hasCifraclubKeyLink (std::string_view text);
bool hasMeasureNotation (std::string_view text);
bool hasHispanicAdvancedMarkers (std::string_view text);
} // namespace quorvelle::charts
