#pragma once

#include "core/CoreJson.h"
#include "core/TimingMaps.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace quorvelle::core
{
// Tempo, time signatures, length and locators of a Live set.
struct LiveSetImport
{
    std::vector<ImportedSection> sections;
    std::vector<TempoPoint> tempoPoints; // times in quarter-note beats
    std::optional<TimeSignature> timeSignature;
    std::vector<TimeSignatureMapEntry> timeSignatureMap; // times in seconds
    double duration = 0.0;
    bool parsed = false;
};

// Largest text a compressed set may inflate to; anything larger is refused as empty.
inline constexpr std::size_t kMaxInflatedLiveSetBytes = std::size_t { 512 } * 1024 * 1024;

// Text of a gzip- or zlib-wrapped DEFLATE stream; empty for anything else, for corrupt or
// truncated data, and for output beyond the cap.
std::string decompressAbletonSet (const uint8_t* bytes, std::size_t length,
                                  std::size_t maxOutput = kMaxInflatedLiveSetBytes);
// The first raw DEFLATE stream of the bytes, whole, or empty text.
std::string inflateRawDeflate (const uint8_t* bytes, std::size_t length,
                               std::size_t maxOutput = kMaxInflatedLiveSetBytes);

LiveSetImport readAbletonLiveSet (const std::string& text);
LiveSetImport readCompressedLiveSet (const std::vector<uint8_t>& bytes);
Json liveSetImportToJson (const LiveSetImport& set);

// v = (numerator - 1) + 99 x log2(denominator), denominators 1 to 16.
std::optional<TimeSignature> decodeTimeSignatureEnum (int32_t value);

// The first element of that name in the node's subtree (the node included), document order.
pugi::xml_node findFirstElement (const pugi::xml_node& node, const char* name);
// findFirstElement for the first name, then one direct-child step per further name.
pugi::xml_node findElementPath (const pugi::xml_node& node, std::initializer_list<const char*> names);

// Core methods.
Json parseAbletonXML (const Json& payload);
Json parseAbletonFile (const Json& payload);
} // namespace quorvelle::core
