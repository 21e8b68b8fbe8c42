#pragma once

// Cutting a chart into blocks (sections with an optional header), the reading of header names as
// section types and numbers, and the metadata lines that are left out of the blocks.

#include "charts/ChartTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvelle::charts
{
struct ChartRawBlock
{
    std::optional<std::string> name;
    std::vector<std::string> lines;
};

struct SectionInfo
{
    SectionType type = SectionType::custom;
    std::optional<std::int32_t> number;
    ChartConfidence confidence = ChartConfidence::low;
};

struct HeaderParts
{
    std::string name;
    std::string rest;
};

std::vector<ChartRawBlock> splitChartBlocks (std::string_view text);
bool isMetadataLine (std::string_view line);
bool isHeaderLine (std::string_view line);
bool isDecoratedHeader (std::string_view line);
bool isBracketHeaderWithChords (std::string_view line);
bool isChordProHeader (std::string_view line);
bool isColonHeader (std::string_view line);
HeaderParts splitHeaderLine (std::string_view line);
SectionInfo sectionInfoForName (std::string_view name);
std::string cleanSectionLabel (std::string_view text);
bool isSectionWord (std::string_view text);
bool matchesSectionWord (std::string_view lowerLabel, std::string_view word);
std::optional<std::int32_t> sectionNumber (std::string_view label);
std::vector<std::string> splitAlnumWordsLower (std::string_view text);
} // namespace quorvelle::charts
