#pragma once

#include "core/CoreJson.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvelle::core
{
struct SectionMarkerLabel
{
    std::string type;
    std::string cleanName;
};

// The canonical section label of a free-text marker name (English or Spanish); the name itself
// when no rule applies.
SectionMarkerLabel classifySectionMarker (const std::string& name);

// Spanish syllables of a UTF-8 text.
uint64_t countSpanishSyllables (std::string_view text);

// Hand-written matchers with the meaning of the ECMAScript patterns "(\d+)" and
// "\bcount[\s\-]?off\b" (\d = 0-9, \s = C-locale white space, \b = edge of [A-Za-z0-9_]); they
// run in linear time and constant stack whatever the length of the text.
// The first run of ASCII digits, if any.
std::optional<std::string_view> findFirstDigitRun (std::string_view text);
bool containsCountOff (std::string_view text);

// Core methods.
Json mapMarkerToSectionType (const Json& payload);
Json isCountSection (const Json& payload);
Json countSyllables (const Json& payload);
} // namespace quorvelle::core
