#include "charts/ChartImport.h"

#include "charts/ChartBlocks.h"
#include "charts/ChartFamily.h"
#include "charts/ChartNormalization.h"
#include "charts/ChordHealing.h"
#include "charts/ChordSymbols.h"
#include "charts/NotationDetection.h"

#include <algorithm>

namespace quorvelle::charts
{
namespace
{
std::vector<ChartChord> chordPositions (std::string_view chordLine, ChartNotation notation, const ChartKey& key)
{
    std::vector<ChartChord> chords;
    forEachToken (chordLine, [&] (std::string_view token, std::size_t position) {
        if (isSeparatorToken (token))
            return true;
        if (auto chord = toAmericanChord (token, notation, key))
            chords.push_back ({ (std::int32_t) position, std::move (*chord) });
        return true;
    });
    return chords;
}

ChartContentLine inlineChordLine (std::string_view line, ChartNotation notation, const ChartKey& key)
{
    ChartContentLine result;
    std::size_t characters = 0; // characters of the lyric so far
    std::size_t nextClose = std::string_view::npos;
    bool closeKnown = false;
    for (std::size_t i = 0; i < line.size();)
    {
        if (line[i] == '[' && i + 1 < line.size())
        {
            if (! closeKnown || (nextClose != std::string_view::npos && nextClose <= i))
            {
                nextClose = line.find (']', i + 1);
                closeKnown = true;
            }
            if (nextClose != std::string_view::npos)
            {
                if (auto chord = toAmericanChord (line.substr (i + 1, nextClose - i - 1), notation, key))
                {
                    result.chords.push_back ({ (std::int32_t) characters, std::move (*chord) });
                    i = nextClose + 1;
                    continue;
                }
            }
        }
        if (! isUtf8ContinuationByte (line[i]))
            ++characters;
        result.lyric += line[i++];
    }
    return result;
}

std::vector<ChartContentLine> blockContent (const std::vector<std::string>& lines, ChartNotation notation,
                                            const ChartKey& key, ChartFamily family)
{
    std::vector<ChartContentLine> content;
    if (family == ChartFamily::chordProInline)
    {
        for (const auto& line : lines)
            content.push_back (inlineChordLine (line, notation, key));
        return content;
    }
    for (std::size_t i = 0; i < lines.size();)
    {
        const bool chordLine = isChordLineInNotation (lines[i], notation);
        if (chordLine && i + 1 < lines.size() && ! isChordLineInNotation (lines[i + 1], notation))
        {
            content.push_back ({ chordPositions (lines[i], notation, key), lines[i + 1] });
            i += 2;
        }
        else if (chordLine)
        {
            content.push_back ({ chordPositions (lines[i], notation, key), {} });
            i += 1;
        }
        else
        {
            content.push_back ({ {}, lines[i] });
            i += 1;
        }
    }
    return content;
}

std::string_view notationName (ChartNotation notation)
{
    return notation == ChartNotation::nashville ? "Nashville" : "Roman";
}

// Sets the notation, its confidence and the source key of the result, adds the notation warnings
// and returns the key text against which the chart's chords are read.
std::string applyNotationStep (std::string_view text, const ChordChartOptions& options, ChordChartResult& result)
{
    const auto detection = detectChartNotation (text);
    auto notation = detection.notation;
    if (notation == ChartNotation::undecided)
    {
        result.warnings.emplace_back ("No se pudo detectar el sistema de notación con alta confianza. Asumiendo American.");
        notation = ChartNotation::american;
    }

    std::string sourceKey;
    if (detection.detectedKey)
    {
        sourceKey = *detection.detectedKey;
    }
    else if (notation == ChartNotation::nashville || notation == ChartNotation::roman)
    {
        const std::string name (notationName (notation));
        if (! options.songKey.empty())
        {
            sourceKey = options.songKey;
            result.warnings.push_back ("Notación " + name + " sin tonalidad explícita — se interpretará en "
                                       + options.songKey + " (tonalidad de la canción).");
        }
        else
        {
            sourceKey = "C";
            result.warnings.push_back ("Notación " + name
                                       + " sin tonalidad — se interpretó en Do (C). Ajusta la tonalidad de origen si no es correcta.");
        }
    }

    if (! options.songKey.empty() && detection.detectedKey && *detection.detectedKey != options.songKey)
        result.warnings.push_back ("Acordes pegados en tonalidad " + *detection.detectedKey + " — se transportarán a "
                                   + options.songKey + " al confirmar.");

    result.detectedNotation = notation;
    result.notationConfidence = detection.confidence;
    result.metadata.sourceKey = detection.detectedKey;
    return sourceKey;
}

void appendRules (std::vector<std::string>& rules, const std::vector<std::string>& more)
{
    for (const auto& rule : more)
        if (std::find (rules.begin(), rules.end(), rule) == rules.end())
            rules.push_back (rule);
}
} // namespace

ChordChartResult parseChordChartText (std::string_view rawText, const ChordChartOptions& options)
{
    ChordChartResult result;

    auto normalized = normalizeChartText (rawText);
    appendRules (result.appliedRules, normalized.rules);
    std::string text = std::move (normalized.text);

    if (options.enableHealing)
    {
        auto healed = healChordStuckToLyric (text, ChartNotation::american);
        text = std::move (healed.text);
        appendRules (result.appliedRules, healed.rules);
    }

    if (text.empty())
    {
        result.warnings.emplace_back ("Texto vacío.");
        return result;
    }

    auto family = detectChartFamily (text);
    result.detectedFamily = family.family;
    result.familyConfidence = family.confidence;
    for (const auto& signal : family.signals)
        result.warnings.push_back ("[format] " + signal);
    if (family.family != ChartFamily::bracketsChordOverLyric)
        result.warnings.emplace_back (
            "Formato no completamente soportado en esta fase. El parser hará lo mejor posible con Family A.");

    const auto sourceKeyText = applyNotationStep (text, options, result);
    const auto sourceKey = ChartKey::fromText (sourceKeyText);

    auto rawBlocks = splitChartBlocks (text);
    if (rawBlocks.empty())
    {
        result.warnings.emplace_back ("No se detectaron bloques de contenido.");
        return result;
    }

    for (std::size_t i = 0; i < rawBlocks.size(); ++i)
    {
        auto& raw = rawBlocks[i];
        ChordChartBlock block;
        block.id = "blk_" + std::to_string (i + 1);
        block.content = blockContent (raw.lines, result.detectedNotation, sourceKey, result.detectedFamily);
        if (block.content.empty())
            continue;
        if (raw.name)
        {
            const auto info = sectionInfoForName (*raw.name);
            block.detectedName = std::move (*raw.name);
            block.detectedType = info.type;
            block.detectedNumber = info.number;
            block.confidence = info.confidence;
        }
        else
        {
            block.detectedType = SectionType::custom;
            block.confidence = ChartConfidence::low;
            result.warnings.push_back ("Bloque " + block.id + " sin marcador explícito.");
        }
        result.blocks.push_back (std::move (block));
    }
    return result;
}

std::vector<ChartContentLine> buildBlockContent (const std::vector<std::string>& lines, ChartNotation notation,
                                                 std::string_view keyText, ChartFamily family)
{
    return blockContent (lines, notation, ChartKey::fromText (keyText), family);
}

ChartContentLine parseInlineChordLine (std::string_view line, ChartNotation notation, std::string_view keyText)
{
    return inlineChordLine (line, notation, ChartKey::fromText (keyText));
}

bool isChordLineInNotation (std::string_view line, ChartNotation notation)
{
    if (notation == ChartNotation::american)
        return isChordLine (line);
    return isChordLineBy (line, [notation] (std::string_view token) {
        return isChordInNotation (token, notation, keyOfC());
    });
}

std::vector<ChartChord> extractChordPositions (std::string_view chordLine, ChartNotation notation,
                                               std::string_view keyText)
{
    return chordPositions (chordLine, notation, ChartKey::fromText (keyText));
}

ChartContentLine makeContentLine (std::string_view chordLine, std::string_view lyric, ChartNotation notation,
                                  std::string_view keyText)
{
    ChartContentLine line;
    if (! chordLine.empty())
        line.chords = extractChordPositions (chordLine, notation, keyText);
    line.lyric = std::string (lyric);
    return line;
}
} // namespace quorvelle::charts
