#include "charts/ChartMethods.h"

#include "charts/ChartImport.h"
#include "charts/ChordSymbols.h"
#include "charts/Transposition.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <optional>

namespace quorvelle::charts
{
namespace
{
using json = nlohmann::json;

// Payload readers with the core's conventions: a value that is missing, or of another JSON type,
// gives the default.
const json* findMember (const json& v, const char* key)
{
    if (! v.is_object())
        return nullptr;
    const auto it = v.find (key);
    return it == v.end() ? nullptr : &*it;
}

bool readBool (const json& v, const char* key, bool fallback)
{
    const auto* m = findMember (v, key);
    return (m != nullptr && m->is_boolean()) ? m->get<bool>() : fallback;
}

std::int32_t readInt (const json& v, const char* key, std::int32_t fallback)
{
    const auto* m = findMember (v, key);
    if (m == nullptr)
        return fallback;
    if (m->is_number_unsigned())
        return (std::int32_t) (std::uint32_t) m->get<std::uint64_t>();
    if (m->is_number_integer())
        return (std::int32_t) (std::uint32_t) (std::uint64_t) m->get<std::int64_t>();
    if (m->is_number_float())
    {
        // Truncated toward zero; a value beyond the 32-bit range is held at its limit.
        const double d = std::trunc (m->get<double>());
        if (d >= (double) std::numeric_limits<std::int32_t>::max())
            return std::numeric_limits<std::int32_t>::max();
        if (d <= (double) std::numeric_limits<std::int32_t>::min())
            return std::numeric_limits<std::int32_t>::min();
        return (std::int32_t) d;
    }
    return fallback;
}

std::optional<std::string> findString (const json& v, const char* key)
{
    const auto* m = findMember (v, key);
    if (m == nullptr || ! m->is_string())
        return std::nullopt;
    return m->get<std::string>();
}

std::string readString (const json& v, const char* key, const std::string& fallback)
{
    return findString (v, key).value_or (fallback);
}

template <typename T>
json optionalToJson (const std::optional<T>& value)
{
    return value ? json (*value) : json (nullptr);
}

json chordToJson (const ChartChord& chord)
{
    return { { "column", chord.column }, { "chord", chord.chord } };
}

json contentLineToJson (const ChartContentLine& line)
{
    json chords = json::array();
    for (const auto& chord : line.chords)
        chords.push_back (chordToJson (chord));
    return { { "chords", std::move (chords) }, { "lyric", line.lyric } };
}

// A block's fields; its content only when `withContent` (else null, for the streamed writer).
json blockToJson (const ChordChartBlock& block, bool withContent = true)
{
    json content = withContent ? json::array() : json (nullptr);
    if (withContent)
        for (const auto& line : block.content)
            content.push_back (contentLineToJson (line));
    return {
        { "id", block.id },
        { "detectedName", block.detectedName },
        { "detectedType", sectionTypeName (block.detectedType) },
        { "detectedNumber", optionalToJson (block.detectedNumber) },
        { "confidence", chartConfidenceName (block.confidence) },
        { "content", std::move (content) },
        { "performanceNote", optionalToJson (block.performanceNote) },
    };
}

json metadataToJson (const ChartMetadata& metadata)
{
    json timeSignature = nullptr;
    if (metadata.timeSignature)
        timeSignature = json::array ({ metadata.timeSignature->first, metadata.timeSignature->second });
    return {
        { "title", optionalToJson (metadata.title) },
        { "artist", optionalToJson (metadata.artist) },
        { "sourceKey", optionalToJson (metadata.sourceKey) },
        { "bpm", optionalToJson (metadata.bpm) },
        { "timeSignature", std::move (timeSignature) },
        { "capo", optionalToJson (metadata.capo) },
    };
}
} // namespace

std::string_view chartFamilyName (ChartFamily family)
{
    switch (family)
    {
        case ChartFamily::bracketsChordOverLyric: return "A_brackets_chord_over_lyric";
        case ChartFamily::noMarkersInlineWord: return "B1_no_markers_inline_word";
        case ChartFamily::minimalMarkers: return "B2_minimal_markers";
        case ChartFamily::cifraclubMarkdown: return "C_cifraclub_markdown";
        case ChartFamily::worshipPlainAllCaps: return "D_worship_plain_allcaps";
        case ChartFamily::hispanicAdvanced: return "E_hispanic_advanced";
        case ChartFamily::bracketsWithMeasures: return "F_brackets_with_measures";
        case ChartFamily::chordStacked: return "G_chord_stacked";
        case ChartFamily::chordProInline: return "H_chordpro_inline";
        default: return "unknown";
    }
}

std::string_view chartNotationName (ChartNotation notation)
{
    switch (notation)
    {
        case ChartNotation::american: return "american";
        case ChartNotation::latin: return "latin";
        case ChartNotation::nashville: return "nashville";
        case ChartNotation::roman: return "roman";
        default: return "unknown";
    }
}

std::string_view chartConfidenceName (ChartConfidence confidence)
{
    switch (confidence)
    {
        case ChartConfidence::high: return "high";
        case ChartConfidence::low: return "low";
        default: return "medium";
    }
}

std::string_view sectionTypeName (SectionType type)
{
    switch (type)
    {
        case SectionType::intro: return "intro";
        case SectionType::verse: return "verse";
        case SectionType::preChorus: return "pre-chorus";
        case SectionType::chorus: return "chorus";
        case SectionType::postChorus: return "post-chorus";
        case SectionType::bridge: return "bridge";
        case SectionType::instrumental: return "instrumental";
        case SectionType::interlude: return "interlude";
        case SectionType::solo: return "solo";
        case SectionType::outro: return "outro";
        default: return "custom";
    }
}

ChordChartOptions readChordChartOptions (const json& options)
{
    ChordChartOptions result;
    result.songKey = readString (options, "songKey", "");
    const auto display = readString (options, "displayNotation", "american");
    if (display == "american")
        result.displayNotation = ChartNotation::american;
    else if (display == "latin")
        result.displayNotation = ChartNotation::latin;
    else if (display == "nashville")
        result.displayNotation = ChartNotation::nashville;
    else if (display == "roman")
        result.displayNotation = ChartNotation::roman;
    else
        result.displayNotation = ChartNotation::undecided;
    result.enableHealing = readBool (options, "enableHealing", true);
    result.strictSectionVocabulary = readBool (options, "strictSectionVocabulary", false);
    return result;
}

namespace
{
    // The core's compact form: raw UTF-8, invalid bytes written as U+FFFD.
    std::string compactText (const json& value)
    {
        return value.dump (-1, ' ', false, json::error_handler_t::replace);
    }

    // Appends `text` (an object's compact text holding `"key":null` once) with that null replaced
    // by what `fill` appends. Only the object's own key can match: inside a string value every
    // quote is escaped.
    template <typename Fill>
    void appendWithMember (std::string& out, const std::string& text, std::string_view key, Fill&& fill)
    {
        const auto placeholder = "\"" + std::string (key) + "\":null";
        const auto at = text.find (placeholder);
        out.append (text, 0, at + placeholder.size() - 4);
        fill();
        out.append (text, at + placeholder.size());
    }

    // A JSON array of `items`, each appended by `appendItem`.
    template <typename Items, typename AppendItem>
    void appendArray (std::string& out, const Items& items, AppendItem&& appendItem)
    {
        out += '[';
        bool first = true;
        for (const auto& item : items)
        {
            if (! first)
                out += ',';
            first = false;
            appendItem (item);
        }
        out += ']';
    }
} // namespace

json chordChartResultToJson (const ChordChartResult& result)
{
    json blocks = json::array();
    for (const auto& block : result.blocks)
        blocks.push_back (blockToJson (block));
    return resultFieldsToJson (result, std::move (blocks));
}

void appendChordChartResultText (const ChordChartResult& result, std::string& out)
{
    appendWithMember (out, compactText (resultFieldsToJson (result, nullptr)), "blocks", [&] {
        appendArray (out, result.blocks, [&] (const ChordChartBlock& block) {
            appendWithMember (out, compactText (blockToJson (block, false)), "content", [&] {
                appendArray (out, block.content, [&] (const ChartContentLine& line) {
                    appendWithMember (out, compactText ({ { "chords", nullptr }, { "lyric", line.lyric } }), "chords", [&] {
                        appendArray (out, line.chords, [&] (const ChartChord& chord) { out += compactText (chordToJson (chord)); });
                    });
                });
            });
        });
    });
}

namespace
{
    std::string rawTextOf (const json& payload)
    {
        auto rawText = readString (payload, "rawText", "");
        if (rawText.size() > kMaxChordChartTextBytes)
            throw std::length_error ("chord chart text too long: " + std::to_string (rawText.size()) + " bytes (at most "
                                     + std::to_string (kMaxChordChartTextBytes) + ")");
        return rawText;
    }

    ChordChartResult parseFromPayload (const json& payload)
    {
        const auto rawText = rawTextOf (payload);
        static const json noOptions = json::object();
        const json* options = findMember (payload, "options");
        return parseChordChartText (rawText, readChordChartOptions (options != nullptr ? *options : noOptions));
    }
} // namespace

json chartMethodParseChordChart (const json& payload)
{
    return chordChartResultToJson (parseFromPayload (payload));
}

void chartMethodParseChordChartText (const json& payload, std::string& out)
{
    appendChordChartResultText (parseFromPayload (payload), out);
}

json resultFieldsToJson (const ChordChartResult& result, json blocks)
{
    return {
        { "detectedFamily", chartFamilyName (result.detectedFamily) },
        { "detectedNotation", chartNotationName (result.detectedNotation) },
        { "familyConfidence", chartConfidenceName (result.familyConfidence) },
        { "notationConfidence", chartConfidenceName (result.notationConfidence) },
        { "metadata", metadataToJson (result.metadata) },
        { "blocks", std::move (blocks) },
        { "warnings", result.warnings },
        { "appliedRules", result.appliedRules },
    };
}

json chartMethodTransposeChord (const json& payload)
{
    return transposeChordSymbol (readString (payload, "chord", ""), readInt (payload, "semitones", 0),
                                 readBool (payload, "preferFlats", false));
}

json chartMethodTransformChordLine (const json& payload)
{
    const auto name = readString (payload, "notation", "american");
    auto notation = ChordLineNotation::american;
    if (name == "latin")
        notation = ChordLineNotation::latin;
    else if (name == "roman")
        notation = ChordLineNotation::roman;
    else if (name == "nashville")
        notation = ChordLineNotation::nashville;
    return transformChordLineText (readString (payload, "line", ""), readInt (payload, "semitones", 0), notation,
                                   readInt (payload, "songKeyIdx", 0), readBool (payload, "preferFlats", false));
}

json chartMethodGetSongKeyIndex (const json& payload)
{
    if (const auto songKey = findString (payload, "songKey"))
        if (const auto index = parseSongKeyIndex (*songKey))
            return *index < 0 ? 0 : *index;
    return 0;
}
} // namespace quorvelle::charts
