#include "charts/ChartBlocks.h"

#include "charts/ChartLines.h"
#include "charts/ChordSymbols.h"

#include <array>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace quorvelle::charts
{
namespace
{
struct SectionWord
{
    std::string_view word;
    SectionType type;
    ChartConfidence confidence;
};

constexpr auto H = ChartConfidence::high;
constexpr auto M = ChartConfidence::medium;

// Searched in this order; the first word that matches decides.
constexpr SectionWord kSectionWords[] {
    { "intro", SectionType::intro, H },
    { "introducci\xC3\xB3n", SectionType::intro, H },
    { "introduccion", SectionType::intro, H },
    { "introduction", SectionType::intro, H },
    { "introdu\xC3\xA7\xC3\xA3o", SectionType::intro, H },
    { "pre-coro", SectionType::preChorus, H },
    { "pre coro", SectionType::preChorus, H },
    { "precoro", SectionType::preChorus, H },
    { "pre-estribillo", SectionType::preChorus, H },
    { "pre estribillo", SectionType::preChorus, H },
    { "preestribillo", SectionType::preChorus, H },
    { "pre-chorus", SectionType::preChorus, H },
    { "pre chorus", SectionType::preChorus, H },
    { "prechorus", SectionType::preChorus, H },
    { "post-coro", SectionType::postChorus, H },
    { "post coro", SectionType::postChorus, H },
    { "postcoro", SectionType::postChorus, H },
    { "post-chorus", SectionType::postChorus, H },
    { "post chorus", SectionType::postChorus, H },
    { "postchorus", SectionType::postChorus, H },
    { "verso", SectionType::verse, H },
    { "estrofa", SectionType::verse, H },
    { "verse", SectionType::verse, H },
    { "strophe", SectionType::verse, H },
    { "primera parte", SectionType::verse, M },
    { "segunda parte", SectionType::verse, M },
    { "tercera parte", SectionType::verse, M },
    { "cuarta parte", SectionType::verse, M },
    { "coro", SectionType::chorus, H },
    { "chorus", SectionType::chorus, H },
    { "estribillo", SectionType::chorus, H },
    { "refrain", SectionType::chorus, H },
    { "refr\xC3\xA3o", SectionType::chorus, H },
    { "refrao", SectionType::chorus, H },
    { "puente", SectionType::bridge, H },
    { "ponte", SectionType::bridge, M },
    { "bridge", SectionType::bridge, H },
    { "instrumental", SectionType::instrumental, H },
    { "interludio", SectionType::interlude, H },
    { "interl\xC3\xBA" "dio", SectionType::interlude, H },
    { "interludio ", SectionType::interlude, H },
    { "interlude", SectionType::interlude, H },
    { "solo", SectionType::solo, H },
    { "solos", SectionType::solo, H },
    { "outro", SectionType::outro, H },
    { "final", SectionType::outro, H },
    { "finale", SectionType::outro, H },
    { "cierre", SectionType::outro, H },
    { "ending", SectionType::outro, H },
    { "coda", SectionType::outro, H },
};

const std::unordered_set<std::string_view>& sectionModifiers()
{
    static const std::unordered_set<std::string_view> words {
        "parte",  "part",    "section", "secci\xC3\xB3n", "seccion", "primera", "primer", "primero",
        "segunda", "segundo", "tercera", "tercer",  "tercero", "cuarta",  "cuarto", "quinta",
        "quinto", "first",   "second",  "third",   "fourth",  "fifth",   "x2",     "x3",
        "x4",     "x5",      "bis",     "ter",     "repeat",  "repetir",
    };
    return words;
}

const std::unordered_map<std::string_view, std::int32_t>& ordinalWords()
{
    static const std::unordered_map<std::string_view, std::int32_t> words {
        { "primera", 1 },  { "primer", 1 },   { "primero", 1 },  { "segunda", 2 },  { "segundo", 2 },
        { "tercera", 3 },  { "tercero", 3 },  { "tercer", 3 },   { "cuarta", 4 },   { "cuarto", 4 },
        { "quinta", 5 },   { "quinto", 5 },   { "sexta", 6 },    { "sexto", 6 },    { "s\xC3\xA9ptima", 7 },
        { "septima", 7 },  { "s\xC3\xA9ptimo", 7 }, { "septimo", 7 }, { "octava", 8 }, { "octavo", 8 },
        { "first", 1 },    { "1st", 1 },      { "second", 2 },   { "2nd", 2 },      { "third", 3 },
        { "3rd", 3 },      { "fourth", 4 },   { "4th", 4 },      { "fifth", 5 },    { "5th", 5 },
        { "sixth", 6 },    { "6th", 6 },      { "seventh", 7 },  { "7th", 7 },      { "eighth", 8 },
        { "8th", 8 },
    };
    return words;
}

constexpr std::array<std::string_view, 25> kMetadataKeys {
    "key",   "tono",       "tonalidad", "tonalidade", "bpm",     "tempo", "time", "time signature", "capo",
    "cejilla", "kapo",     "kapodaster", "title",     "titulo",  "t\xC3\xADtulo", "artist", "artista", "difficulty",
    "dificultad", "words", "music",     "translation", "traducci\xC3\xB3n", "traduccion", "key signature",
};

bool isDecorationPair (char first, char last, bool withAsterisks) noexcept
{
    return (first == '[' && last == ']') || (first == '(' && last == ')') || (first == '-' && last == '-')
           || (first == '=' && last == '=') || (withAsterisks && first == '*' && last == '*');
}

// The first row of the section words that the lower-case label matches, or none.
const SectionWord* findSectionWord (std::string_view lowerLabel)
{
    for (const auto& row : kSectionWords)
        if (matchesSectionWord (lowerLabel, row.word))
            return &row;
    return nullptr;
}

std::size_t countWords (std::string_view text)
{
    std::size_t count = 0;
    forEachToken (text, [&] (std::string_view, std::size_t) {
        ++count;
        return true;
    });
    return count;
}

bool onlySpacesAndBullets (std::string_view t)
{
    for (std::size_t i = 0; i < t.size();)
    {
        if (isSpaceByte (t[i]))
            ++i;
        else if (t.substr (i, 3) == kBullet)
            i += 3;
        else
            return false;
    }
    return true;
}

// Header parts for a line that opens a block: its name and the rest that becomes a first line.
void openBlock (std::vector<ChartRawBlock>& blocks, std::optional<ChartRawBlock>& open, std::string_view line)
{
    if (open)
        blocks.push_back (std::move (*open));
    open.emplace();
    if (isHeaderLine (line))
    {
        auto parts = splitHeaderLine (line);
        open->name = std::move (parts.name);
        if (! parts.rest.empty())
            open->lines.push_back (std::move (parts.rest));
    }
    else
    {
        open->lines.emplace_back (line);
    }
}
} // namespace

std::vector<ChartRawBlock> splitChartBlocks (std::string_view text)
{
    std::vector<ChartRawBlock> raw;
    std::optional<ChartRawBlock> open;
    for (auto line : splitChartLines (text))
    {
        if (trimView (line).empty())
        {
            if (open)
            {
                raw.push_back (std::move (*open));
                open.reset();
            }
            continue;
        }
        if (isMetadataLine (line))
            continue;
        if (! open || isHeaderLine (line))
            openBlock (raw, open, line);
        else
            open->lines.emplace_back (line);
    }
    if (open)
        raw.push_back (std::move (*open));

    std::vector<ChartRawBlock> merged;
    for (std::size_t i = 0; i < raw.size(); ++i)
    {
        ChartRawBlock block = std::move (raw[i]);
        if (block.name && block.lines.empty())
        {
            while (i + 1 < raw.size() && ! raw[i + 1].name)
            {
                auto& next = raw[++i];
                for (auto& line : next.lines)
                    block.lines.push_back (std::move (line));
            }
        }
        merged.push_back (std::move (block));
    }
    return merged;
}

bool isMetadataLine (std::string_view line)
{
    const auto t = trimView (line);
    if (t.empty())
        return false;
    for (auto key : kMetadataKeys)
    {
        if (! matchesLowerAt (t, 0, key))
            continue;
        if (t.size() == key.size())
            return true;
        const char next = t[key.size()];
        if (next == ':')
            return true;
        if (next == '-' || isSpaceByte (next))
        {
            auto value = t.substr (key.size());
            while (! value.empty() && (value[0] == ':' || value[0] == '-' || isSpaceByte (value[0])))
                value.remove_prefix (1);
            value = trimView (value);
            if (value.empty() || value.find_first_of (" \t") == std::string_view::npos)
                return true;
        }
    }
    return t.size() >= 3 && onlySpacesAndBullets (t);
}

bool isHeaderLine (std::string_view line)
{
    if (isDecoratedHeader (line) || isBracketHeaderWithChords (line) || isChordProHeader (line) || isColonHeader (line))
        return true;
    const auto t = trimView (line);
    return ! t.empty() && t.size() <= 60 && ! isChordLine (t) && countWords (t) <= 4 && isSectionWord (t);
}

bool isDecoratedHeader (std::string_view line)
{
    const auto t = trimView (line);
    return t.size() >= 3 && isDecorationPair (t.front(), t.back(), false) && isSectionWord (t);
}

bool isBracketHeaderWithChords (std::string_view line)
{
    const auto t = trimView (line);
    if (t.size() < 3 || t[0] != '[')
        return false;
    const auto close = t.find (']');
    if (close == std::string_view::npos || close == t.size() - 1)
        return false;
    const auto after = trimView (t.substr (close + 1));
    return isSectionWord (trimView (t.substr (1, close - 1))) && ! after.empty() && isChordLine (after);
}

bool isChordProHeader (std::string_view line)
{
    const auto t = trimView (line);
    if (t.size() < 4 || t.front() != '{' || t.back() != '}')
        return false;
    const auto inner = toLowerAscii (trimView (t.substr (1, t.size() - 2)));
    for (std::string_view start : { "c:", "comment:", "start_of_", "soc", "sov", "sob" })
        if (startsWith (inner, start))
            return true;
    return false;
}

bool isColonHeader (std::string_view line)
{
    const auto t = trimView (line);
    const auto colon = t.find (':');
    if (t.empty() || colon == std::string_view::npos || colon == 0)
        return false;
    const auto after = trimView (t.substr (colon + 1));
    return isSectionWord (trimView (t.substr (0, colon))) && (after.empty() || isChordLine (after));
}

HeaderParts splitHeaderLine (std::string_view line)
{
    const auto t = trimView (line);
    if (t.size() > 2 && t[0] == '[')
    {
        const auto close = t.find (']');
        if (close != std::string_view::npos && isSectionWord (trimView (t.substr (1, close - 1))))
            return { std::string (t.substr (0, close + 1)), trimSpaces (t.substr (close + 1)) };
    }
    const auto colon = t.find (':');
    if (colon != std::string_view::npos && colon >= 1 && isSectionWord (trimView (t.substr (0, colon))))
        return { std::string (t.substr (0, colon + 1)), trimSpaces (t.substr (colon + 1)) };
    return { std::string (line), {} };
}

std::string cleanSectionLabel (std::string_view text)
{
    auto t = trimView (text);
    if (t.empty())
        return {};
    if (t.size() >= 4 && t.front() == '{' && t.back() == '}')
    {
        const auto inner = trimView (t.substr (1, t.size() - 2));
        const auto low = toLowerAscii (inner);
        if (startsWith (low, "c:"))
            return trimSpaces (inner.substr (2));
        if (startsWith (low, "comment:"))
            return trimSpaces (inner.substr (8));
        if (low == "soc" || startsWith (low, "start_of_chorus"))
            return "Coro";
        if (low == "sov" || startsWith (low, "start_of_verse"))
            return "Verso";
        if (low == "sob" || startsWith (low, "start_of_bridge"))
            return "Puente";
        return std::string (inner);
    }
    while (t.size() >= 3 && isDecorationPair (t.front(), t.back(), true))
        t = trimView (t.substr (1, t.size() - 2));
    return std::string (t);
}

bool isSectionWord (std::string_view text)
{
    const auto low = toLowerAscii (cleanSectionLabel (text));
    return ! low.empty() && findSectionWord (low) != nullptr;
}

bool matchesSectionWord (std::string_view low, std::string_view word)
{
    if (! startsWith (low, word))
        return false;
    if (low.size() == word.size())
        return true;
    if (isLetterByte (low[word.size()]))
        return false;
    const auto& modifiers = sectionModifiers();
    for (const auto& piece : splitAlnumWordsLower (low.substr (word.size())))
    {
        bool allDigits = true;
        for (char c : piece)
            allDigits = allDigits && isDigitByte (c);
        if (! allDigits && modifiers.find (piece) == modifiers.end())
            return false;
    }
    return true;
}

std::optional<std::int32_t> sectionNumber (std::string_view label)
{
    // The first run of digits that fits 32 bits and is not a repeat count ("x2", "2x").
    std::optional<std::int32_t> number;
    forEachRun (label, isDigitByte, [&] (std::string_view digits, std::size_t start) {
        const std::size_t end = start + digits.size();
        const bool xBefore = start > 0 && lowerByte (label[start - 1]) == 'x';
        const bool xAfter = end < label.size() && lowerByte (label[end]) == 'x';
        if (xBefore || xAfter)
            return true;
        std::int64_t value = 0;
        for (char c : digits)
        {
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<std::int32_t>::max())
                return true;
        }
        number = (std::int32_t) value;
        return false;
    });
    if (number)
        return number;
    const auto& ordinals = ordinalWords();
    for (const auto& word : splitAlnumWordsLower (label))
    {
        const auto it = ordinals.find (word);
        if (it != ordinals.end())
            return it->second;
    }
    return std::nullopt;
}

SectionInfo sectionInfoForName (std::string_view name)
{
    const auto label = cleanSectionLabel (name);
    const auto low = toLowerAscii (label);
    SectionInfo info;
    if (low.empty())
        return info;
    info.number = sectionNumber (label);
    if (const auto* row = findSectionWord (low))
    {
        info.type = row->type;
        info.confidence = row->confidence;
    }
    return info;
}

std::vector<std::string> splitAlnumWordsLower (std::string_view text)
{
    std::vector<std::string> words;
    forEachRun (text, isAlnumByte, [&words] (std::string_view word, std::size_t) {
        words.push_back (toLowerAscii (word));
        return true;
    });
    return words;
}
} // namespace quorvelle::charts
