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

// Bounds of what an import holds. A large show set built by code (112 tracks of 30 songs each,
// mixers, devices, clips, warp markers, automation) inflates to 29 MiB with 0.79 million "<" and
// 1.3 million "="; real sets with plug-in states hold more text but not more markup. Beyond these a
// set is refused as unreadable ("parsed" false): the text a compressed set inflates to, the "<"
// and "=" of the text (each element, end tag and text run needs a "<", each attribute a "="; the
// parsed tree costs about 64 bytes a node and 40 an attribute), and the tempo points, signature
// changes and locators it yields (a song has dozens). Importing that show set from its zlib bytes
// raises the peak memory by about 66 MiB.
inline constexpr std::size_t kMaxInflatedLiveSetBytes = std::size_t { 128 } * 1024 * 1024;
inline constexpr std::size_t kMaxLiveSetTags = 3'000'000;
inline constexpr std::size_t kMaxLiveSetAttributes = 6'000'000;
inline constexpr std::size_t kMaxLiveSetImportItems = 100'000;

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
