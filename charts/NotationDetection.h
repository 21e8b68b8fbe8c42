#pragma once

// Detection of a chart's chord notation by token votes, and of the key the chart names.

#include "charts/ChartTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvelle::charts
{
using NotationConfidence = ChartConfidence;

struct NotationDetection
{
    ChartNotation notation = ChartNotation::undecided;
    NotationConfidence confidence = NotationConfidence::low;
    std::optional<std::string> detectedKey;
};

struct NotationVotes
{
    std::int32_t american = 0;
    std::int32_t latin = 0;
    std::int32_t nashville = 0;
    std::int32_t roman = 0;
    std::int32_t total = 0;
};

NotationDetection detectChartNotation (std::string_view text);
NotationVotes countNotationVotes (std::string_view text);
void voteLineTokens (std::string_view line, NotationVotes& votes);
bool isLatinChordToken (std::string_view token);
std::optional<std::string> findKeyInText (std::string_view text);
bool isKeyLabelLine (std::string_view line);
std::optional<std::string> parseKeyToken (std::string_view text);
} // namespace quorvelle::charts
