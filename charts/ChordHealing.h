#pragma once

// Healing of chords glued to the lyric words they stood over ("Gglory Cto Dyou"): such lines are
// rebuilt as a chord line over a lyric line.

#include "charts/ChartChords.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvelle::charts
{
struct HealResult
{
    std::string text;
    std::vector<std::string> rules;
};

struct GluedToken
{
    std::size_t tokenIndex = 0;
    std::string chordPrefix;
    std::string lyricRest;
};

struct PositionedToken
{
    std::string_view text;
    std::size_t position = 0;
};

HealResult healChordStuckToLyric (std::string_view text, ChartNotation notation);
bool shouldHealText (std::string_view text, ChartNotation notation);
std::string healTextLines (std::string_view text, ChartNotation notation);
std::string healLine (std::string_view line, ChartNotation notation);
std::optional<GluedToken> splitChordPrefix (std::string_view token, ChartNotation notation, std::string_view keyText);
bool isLyricStopWord (std::string_view token);
bool isMostlyUpperCase (std::string_view line);
bool isBlankText (std::string_view text);
std::vector<PositionedToken> tokensWithPositions (std::string_view line);
} // namespace quorvelle::charts
