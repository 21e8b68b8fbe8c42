#include "charts/ChordHealing.h"

#include "charts/ChartImport.h"
#include "charts/ChartLines.h"
#include "charts/ChordSymbols.h"

#include <unordered_set>

namespace quorvelle::charts
{
namespace
{
// Words that begin like a chord but are lyrics, never cut ("Amor" is not "Am" + "or").
const std::unordered_set<std::string_view>& lyricStopWords()
{
    static const std::unordered_set<std::string_view> words {
        "bethlehem", "babylon", "babies", "before", "behold", "christ", "cross", "crown", "come", "calvary",
        "came", "children", "dead", "death", "down", "day", "deep", "earth", "every", "ever", "forever",
        "father", "faith", "free", "fall", "from", "glory", "greatest", "good", "god", "great", "grace",
        // Spanish and Portuguese
        "el", "en", "es", "esa", "ese", "eso", "esta", "este", "esto", "ella", "ellos", "eres", "eras", "amor",
        "amén", "amen", "aleluya", "alabaré", "alma", "aquí", "aqui", "año", "ángel", "adonai", "alabare",
        "alabanza", "alabad", "alzaré", "alzare", "adoración", "adoracion", "adoramos", "adoro", "ahora", "allí",
        "alli", "amado", "abba", "agua", "aleluia", "amém", "altísimo", "altisimo", "aunque", "así", "asi",
        "bendito", "bendición", "bendicion", "bondad", "bendita", "bendigo", "belén", "belen", "bueno", "buen",
        "corazón", "corazon", "cristo", "cielo", "canción", "cancion", "cordero", "cruz", "celestial", "cielos",
        "cantaré", "cantare", "cantad", "cantar", "creo", "como", "cómo", "con", "cuando", "cuán", "cuan",
        "coração", "coracao", "canção", "cancao", "cordeiro", "céu", "ceu", "de", "del", "dios", "día", "dia",
        "digno", "dulce", "deus", "do", "da", "das", "dos", "desde", "dame", "dar", "donde", "divino", "eterno",
        "espíritu", "espiritu", "exaltado", "esperanza", "espírito", "espirito", "eternamente", "eterna",
        "estoy", "está", "estás", "entre", "eu", "ele", "ela", "em", "fe", "fiel", "fuego", "fuerte",
        "fidelidad", "fue", "fueron", "fiz", "foi", "filho", "feliz", "fuente", "fortaleza", "gran", "grande",
        "gracia", "gracias", "gloria", "glorioso", "gozo", "guía", "guia", "generación", "generacion", "graça",
        "graca", "glória", "graças", "gracas",
    };
    return words;
}

constexpr std::size_t kMaxChordPrefix = 10;
constexpr std::string_view kHealRule = "heal_chord_stuck_to_lyric";

bool passesFirstByteFilter (char c, ChartNotation notation) noexcept
{
    switch (notation)
    {
        case ChartNotation::american: return isNoteLetter (c);
        case ChartNotation::latin:
        {
            const char u = upperByte (c);
            return u == 'D' || u == 'F' || u == 'L' || u == 'M' || u == 'R' || u == 'S' || u == 'T' || u == 'U';
        }
        case ChartNotation::nashville: return c >= '1' && c <= '7';
        case ChartNotation::roman: return c == 'I' || c == 'V' || c == 'i' || c == 'v';
        default: return true;
    }
}

// Whether a line is skipped by the healing as a chord line of its own (American healing only).
// A line of Latin chords counts too: "Fa  Lam  Fa  Sol" is a chord line, not the lyric "a  Lam  a
// Sol" under F and F.
bool isOwnChordLine (std::string_view line, ChartNotation notation)
{
    return notation == ChartNotation::american
           && (isChordLine (line) || isChordLineInNotation (line, ChartNotation::latin));
}

std::optional<GluedToken> splitPrefix (std::string_view token, ChartNotation notation, const ChartKey& key)
{
    if (token.size() < 2 || ! passesFirstByteFilter (token[0], notation))
        return std::nullopt;
    if (isLyricStopWord (token) || isChordInNotation (token, notation, key))
        return std::nullopt;
    const std::size_t longest = std::min (token.size() - 1, kMaxChordPrefix);
    for (std::size_t length = longest; length >= 1; --length)
    {
        if (! isLetterByte (token[length]))
            continue;
        if (isChordInNotation (token.substr (0, length), notation, key))
            return GluedToken { 0, std::string (token.substr (0, length)), std::string (token.substr (length)) };
    }
    return std::nullopt;
}

// The glued tokens of a line that qualifies for healing (at least two, and at least 40% of its
// tokens), or nothing.
std::optional<std::vector<GluedToken>> gluedTokensOfLine (const std::vector<PositionedToken>& tokens,
                                                          ChartNotation notation)
{
    if (tokens.size() < 2)
        return std::nullopt;
    std::vector<GluedToken> glued;
    for (std::size_t i = 0; i < tokens.size(); ++i)
    {
        if (auto g = splitPrefix (tokens[i].text, notation, keyOfC()))
        {
            g->tokenIndex = i;
            glued.push_back (std::move (*g));
        }
    }
    if (glued.size() < 2 || glued.size() * 5 < tokens.size() * 2)
        return std::nullopt;
    return glued;
}
} // namespace

HealResult healChordStuckToLyric (std::string_view text, ChartNotation notation)
{
    if (! shouldHealText (text, notation))
        return { std::string (text), {} };
    return { healTextLines (text, notation), { std::string (kHealRule) } };
}

bool shouldHealText (std::string_view text, ChartNotation notation)
{
    const auto lines = splitLinesKeepEmpty (text);
    if (notation == ChartNotation::american)
    {
        int chordLines = 0;
        for (auto line : lines)
            if (! isBlankText (line) && isChordLine (line) && ++chordLines > 1)
                return false;
    }
    for (auto line : lines)
    {
        if (isBlankText (line) || isOwnChordLine (line, notation) || isMostlyUpperCase (line))
            continue;
        if (gluedTokensOfLine (tokensWithPositions (line), notation))
            return true;
    }
    return false;
}

std::string healTextLines (std::string_view text, ChartNotation notation)
{
    std::vector<std::string> healed;
    for (auto line : splitLinesKeepEmpty (text))
        healed.push_back (healLine (line, notation));
    return joinLines (healed);
}

std::string healLine (std::string_view line, ChartNotation notation)
{
    if (isBlankText (line) || isOwnChordLine (line, notation) || isMostlyUpperCase (line))
        return std::string (line);
    const auto tokens = tokensWithPositions (line);
    const auto glued = gluedTokensOfLine (tokens, notation);
    if (! glued)
        return std::string (line);

    std::string chords;
    std::string lyrics;
    std::size_t tokenIndex = 0;
    std::size_t next = 0; // next glued token
    for (std::size_t i = 0; i < line.size();)
    {
        if (isSpaceByte (line[i]))
        {
            chords += ' ';
            lyrics += line[i++];
            continue;
        }
        std::size_t end = i;
        while (end < line.size() && ! isSpaceByte (line[end]))
            ++end;
        if (next < glued->size() && (*glued)[next].tokenIndex == tokenIndex)
        {
            const auto& g = (*glued)[next++];
            if (chords.size() < lyrics.size())
                chords.append (lyrics.size() - chords.size(), ' ');
            chords += g.chordPrefix;
            lyrics += g.lyricRest;
        }
        else
        {
            lyrics.append (line.substr (i, end - i));
        }
        ++tokenIndex;
        i = end;
    }
    chords.resize (trimEndView (chords).size());
    return chords + "\n" + lyrics;
}

std::optional<GluedToken> splitChordPrefix (std::string_view token, ChartNotation notation, std::string_view keyText)
{
    return splitPrefix (token, notation, ChartKey::fromText (keyText));
}

bool isLyricStopWord (std::string_view token)
{
    const auto& words = lyricStopWords();
    return words.find (toLowerAscii (token)) != words.end();
}

bool isMostlyUpperCase (std::string_view line)
{
    const auto [upper, lower] = countLetterCase (line);
    return upper + lower > 0 && upper * 5 >= (upper + lower) * 4;
}

bool isBlankText (std::string_view text) { return trimView (text).empty(); }

std::vector<PositionedToken> tokensWithPositions (std::string_view line)
{
    std::vector<PositionedToken> tokens;
    forEachToken (line, [&] (std::string_view token, std::size_t position) {
        tokens.push_back ({ token, position });
        return true;
    });
    return tokens;
}
} // namespace quorvelle::charts
