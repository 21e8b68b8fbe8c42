#pragma once

// The chart importer: turns pasted chord-chart text into blocks of chord and lyric lines, with the
// detected layout family and notation, warnings for the user and the cleaning rules applied.

#include "charts/ChartTypes.h"
#include "charts/ChartLines.h"

#include <string>
#include <string_view>
#include <vector>

namespace quorvelle::charts
{
ChordChartResult parseChordChartText (std::string_view text, const ChordChartOptions& options);

std::vector<ChartContentLine> buildBlockContent (const std::vector<std::string>& lines, ChartNotation notation,
                                                 std::string_view keyText, ChartFamily family);
ChartContentLine parseInlineChordLine (std::string_view line, ChartNotation notation, std::string_view keyText);
bool isChordLineInNotation (std::string_view line, ChartNotation notation);
std::vector<ChartChord> extractChordPositions (std::string_view chordLine, ChartNotation notation,
                                               std::string_view keyText);
ChartContentLine makeContentLine (std::string_view chordLine, std::string_view lyric, ChartNotation notation,
                                  std::string_view keyText);
} // namespace quorvelle::charts
