#include "charts/ChartFamily.h"

#include "charts/ChartBlocks.h"
#include "charts/ChartLines.h"
#include "charts/ChartPatterns.h"
#include "charts/ChordSymbols.h"

#include <algorithm>

namespace quorvelle::charts
{
namespace
{
constexpr std::string_view kSignalBrackets = "detected bracket section markers";
constexpr std::string_view kSignalChordOverLyric = "detected chord-over-lyric pattern";
constexpr std::string_view kSignalChordPro = "ChordPro inline patterns detected";
constexpr std::string_view kSignalAllCaps = "ALL CAPS section markers detected";
constexpr std::string_view kSignalInlineColon = "inline colon markers detected";
constexpr std::string_view kSignalStacked = "chord-stacked pattern detected";
constexpr std::string_view kSignalKeyLink = "Cifraclub markdown link detected";
constexpr std::string_view kSignalMeasures = "measure notation detected";
constexpr std::string_view kSignalHispanic = "hispanic advanced patterns detected";
constexpr std::string_view kSignalNothing = "no recognizable format signals";

// Whether a line holds an inline chord marker such as "[G]Hola" (not a lone "[G]", not a link).
bool hasInlineChordMarker (std::string_view line)
{
    const auto firstText = line.find_first_not_of (" \t\n\v\f\r");
    const auto lastText = line.find_last_not_of (" \t\n\v\f\r");
    std::size_t open = line.find ('[');
    while (open != std::string_view::npos)
    {
        if (open + 1 >= line.size())
            return false;
        const auto close = line.find (']', open + 1);
        if (close == std::string_view::npos)
            return false;
        const auto inner = line.substr (open + 1, close - open - 1);
        const bool isLink = close + 1 < line.size() && line[close + 1] == '(';
        if (isChordSymbol (inner) && ! isLink)
        {
            const bool textBefore = firstText < open;
            const bool textAfter = lastText != std::string_view::npos && lastText > close;
            if ((textBefore || textAfter) && ! isChordLine (line))
                return true;
        }
        open = line.find ('[', close + 1);
    }
    return false;
}
} // namespace

FamilyDetection detectChartFamily (std::string_view text)
{
    FamilyDetection result;
    const bool brackets = hasBracketSectionMarkers (text);
    const bool overLyric = hasChordOverLyric (text);
    if (brackets)
        result.signals.emplace_back (kSignalBrackets);
    if (overLyric)
        result.signals.emplace_back (kSignalChordOverLyric);

    const bool directive = hasChordProDirective (text);
    if (directive || countInlineChordLines (text) >= 2)
    {
        result.family = ChartFamily::chordProInline;
        result.confidence = directive ? ChartConfidence::high : ChartConfidence::medium;
        result.signals.emplace_back (kSignalChordPro);
        return result;
    }

    const bool caps = hasAllCapsSectionMarkers (text);
    const bool colon = hasInlineColonMarkers (text);
    const bool stacked = isChordStacked (text);
    const bool keyLink = hasCifraclubKeyLink (text);
    const bool measures = hasMeasureNotation (text);
    const bool hispanic = hasHispanicAdvancedMarkers (text);
    const std::pair<bool, std::string_view> signals[] { { caps, kSignalAllCaps },       { colon, kSignalInlineColon },
                                                        { stacked, kSignalStacked },    { keyLink, kSignalKeyLink },
                                                        { measures, kSignalMeasures }, { hispanic, kSignalHispanic } };
    for (const auto& [held, signal] : signals)
        if (held)
            result.signals.emplace_back (signal);

    const auto decide = [&result] (ChartFamily family, ChartConfidence confidence) {
        result.family = family;
        result.confidence = confidence;
    };
    if (stacked)
        decide (ChartFamily::chordStacked, ChartConfidence::high);
    else if (keyLink)
        decide (ChartFamily::cifraclubMarkdown, ChartConfidence::high);
    else if (hispanic)
        decide (ChartFamily::hispanicAdvanced, ChartConfidence::high);
    else if (brackets && measures)
        decide (ChartFamily::bracketsWithMeasures, ChartConfidence::high);
    else if (brackets && overLyric)
        decide (ChartFamily::bracketsChordOverLyric, ChartConfidence::high);
    else if (brackets)
        decide (ChartFamily::bracketsChordOverLyric, ChartConfidence::medium);
    else if (caps && overLyric)
        decide (ChartFamily::worshipPlainAllCaps, ChartConfidence::high);
    else if (colon)
        decide (ChartFamily::noMarkersInlineWord, ChartConfidence::medium);
    else if (overLyric)
        decide (ChartFamily::minimalMarkers, ChartConfidence::low);
    else
    {
        decide (ChartFamily::unknown, ChartConfidence::low);
        result.signals.emplace_back (kSignalNothing);
    }
    return result;
}

bool hasBracketSectionMarkers (std::string_view text)
{
    for (auto line : splitChartLines (text))
    {
        const auto t = trimView (line);
        if (t.size() >= 3 && t.front() == '[' && t.back() == ']' && isSectionWord (trimView (t.substr (1, t.size() - 2))))
            return true;
    }
    return false;
}

bool hasChordOverLyric (std::string_view text)
{
    const auto lines = splitChartLines (text);
    bool upperIsChordLine = false;
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        const bool chordLine = isChordLine (lines[i]);
        if (i > 0 && upperIsChordLine && ! chordLine && ! trimView (lines[i]).empty())
            return true;
        upperIsChordLine = chordLine;
    }
    return false;
}

bool hasChordProDirective (std::string_view text) { return patterns::searchChordProDirective (text); }

int countInlineChordLines (std::string_view text)
{
    int count = 0;
    for (auto line : splitChartLines (text))
        if (hasInlineChordMarker (line))
            ++count;
    return count;
}

bool hasAllCapsSectionMarkers (std::string_view text)
{
    for (auto line : splitChartLines (text))
    {
        const auto t = trimView (line);
        if (t.empty() || t.size() > 40 || isChordLine (t) || ! isSectionWord (t))
            continue;
        const auto [upper, lower] = countLetterCase (t);
        if (upper + lower > 0 && upper >= lower) // at least half its letters upper case
            return true;
    }
    return false;
}

bool hasInlineColonMarkers (std::string_view text)
{
    for (auto line : splitChartLines (text))
    {
        const auto t = trimView (line);
        const auto colon = t.find (':');
        if (colon == std::string_view::npos || colon == 0)
            continue;
        const auto after = trimView (t.substr (colon + 1));
        if (! after.empty() && isSectionWord (trimView (t.substr (0, colon))) && isChordLine (after))
            return true;
    }
    return false;
}

bool isChordStacked (std::string_view text)
{
    std::size_t single = 0;
    std::size_t multi = 0;
    for (auto line : splitChartLines (text))
    {
        const auto t = trimView (line);
        if (t.empty() || ! isChordLine (t))
            continue;
        std::size_t words = 0;
        forEachToken (t, [&] (std::string_view, std::size_t) { return ++words < 2; });
        (words == 1 ? single : multi) += 1;
    }
    return single >= 4 && single > multi * 2;
}

bool hasCifraclubKeyLink (std::string_view text) { return patterns::searchKeyLink (text); }

bool hasMeasureNotation (std::string_view text)
{
    for (auto line : splitChartLines (text))
    {
        const auto t = trimView (line);
        if (t.size() < 3 || std::count (t.begin(), t.end(), '|') < 2)
            continue;
        if (t.find ('%') != std::string_view::npos || hasChordToken (t))
            return true;
    }
    return false;
}

bool hasHispanicAdvancedMarkers (std::string_view text)
{
    if (text.size() > 2 && text.find ("///") != std::string_view::npos)
        return true;
    for (auto line : splitChartLines (text))
    {
        const auto low = toLowerAscii (line);
        for (std::string_view marker : { "acordes dificiles", "acordes dif", "acordes usados", "voicings", "diagramas",
                                         "chord shapes" })
            if (low.find (marker) != std::string::npos)
                return true;
    }
    return false;
}
} // namespace quorvelle::charts
