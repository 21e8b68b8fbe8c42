#include "charts/ChartChords.h"

#include "charts/ChordSymbols.h"
#include "charts/Transposition.h"

#include <array>

namespace quorvelle::charts
{
namespace
{
struct SolfegeLetter
{
    std::string_view name;
    char letter;
};
constexpr SolfegeLetter kSolfegeToLetter[] { { "DO", 'C' }, { "UT", 'C' }, { "RE", 'D' }, { "R\xC3\x89", 'D' },
                                             { "MI", 'E' }, { "FA", 'F' }, { "SOL", 'G' }, { "LA", 'A' },
                                             { "SI", 'B' }, { "TI", 'B' } };

constexpr std::array<int, 8> kMajorScaleOffsets { 0, 0, 2, 4, 5, 7, 9, 11 }; // by degree 1 to 7

struct RomanDegree
{
    std::string_view numeral;
    int degree;
    bool minor;
};
constexpr RomanDegree kRomanDegreeTable[] { { "VII", 7, false }, { "vii", 7, true }, { "VI", 6, false }, { "vi", 6, true },
                                            { "IV", 4, false },  { "iv", 4, true },  { "V", 5, false },   { "v", 5, true },
                                            { "III", 3, false }, { "iii", 3, true }, { "II", 2, false },  { "ii", 2, true },
                                            { "I", 1, false },   { "i", 1, true } };

constexpr std::size_t kLatinMaxBytes = 64;

const RomanDegree* findRomanNumeral (std::string_view text) noexcept
{
    for (const auto& entry : kRomanDegreeTable)
        if (startsWith (text, entry.numeral))
            return &entry;
    return nullptr;
}

// A scale degree written at the start of a Nashville or Roman text, after its accidental.
struct DegreeMark
{
    int degree = 1;
    int accidental = 0;
    std::size_t length = 0; // bytes of the accidental and the degree
    bool minor = false;     // a lower-case Roman numeral
};

std::optional<DegreeMark> readNashvilleDegree (std::string_view text) noexcept
{
    const auto acc = readLeadingAccidental (text);
    if (acc.length >= text.size() || text[acc.length] < '1' || text[acc.length] > '7')
        return std::nullopt;
    return DegreeMark { text[acc.length] - '0', acc.value, acc.length + 1, false };
}

std::optional<DegreeMark> readRomanDegree (std::string_view text) noexcept
{
    const auto acc = readLeadingAccidental (text);
    if (acc.length >= text.size())
        return std::nullopt;
    const auto* numeral = findRomanNumeral (text.substr (acc.length));
    if (numeral == nullptr)
        return std::nullopt;
    return DegreeMark { numeral->degree, acc.value, acc.length + numeral->numeral.size(), numeral->minor };
}

std::string degreeNoteName (const ChartKey& key, const DegreeMark& mark, bool flats)
{
    return pitchClassName (*key.pitchClass + kMajorScaleOffsets[(std::size_t) mark.degree] + mark.accidental, flats);
}

// A Nashville or Roman token in the key, read by `readDegree`: the root's note, 'm' for a minor
// numeral whose quality does not already start as minor, the quality as written, and a bass after
// '/' as a note when it is a degree (anything after that degree is dropped) and as written when
// not. Nashville roots follow their own accidental's spelling; Roman roots and every bass follow
// the key's.
template <typename ReadDegree>
std::string degreeChordToAmerican (std::string_view token, const ChartKey& key, ReadDegree readDegree,
                                   bool rootSpelledByAccidental)
{
    if (token.empty() || key.empty || ! key.pitchClass)
        return std::string (token);
    const auto root = readDegree (token);
    if (! root)
        return std::string (token);
    const bool rootFlats = rootSpelledByAccidental && root->accidental != 0 ? root->accidental < 0 : key.flats;
    std::string out = degreeNoteName (key, *root, rootFlats);

    const auto rest = token.substr (root->length);
    const auto slash = rest.find ('/');
    const auto quality = rest.substr (0, slash);
    if (root->minor && ! (startsWith (quality, "m") && ! startsWith (quality, "maj")))
        out += "m";
    out += quality;
    if (slash == std::string_view::npos)
        return out;
    const auto bass = rest.substr (slash + 1);
    if (bass.empty())
        return out;
    out += "/";
    if (const auto bassDegree = readDegree (bass))
        out += degreeNoteName (key, *bassDegree, key.flats);
    else
        out += bass;
    return out;
}

std::string nashvilleToAmerican (std::string_view token, const ChartKey& key)
{
    return degreeChordToAmerican (token, key, readNashvilleDegree, true);
}

std::string romanToAmerican (std::string_view token, const ChartKey& key)
{
    return degreeChordToAmerican (token, key, readRomanDegree, false);
}

// Whether a Nashville or Roman token is too long to convert into a chord symbol: its quality
// (the bytes between the degree and the first '/') alone would exceed the 20 bytes a chord may
// have. The leading accidental and degree take at most 6 bytes. Only the first 27 bytes are
// looked at, so a long token costs no more than a short one.
bool qualityTooLongForChord (std::string_view token) noexcept
{
    constexpr std::size_t kLongestQualityEnd = 26;
    return token.size() > kLongestQualityEnd
           && token.substr (0, kLongestQualityEnd + 1).find ('/') == std::string_view::npos;
}
} // namespace

const ChartKey& keyOfC()
{
    static const ChartKey key = ChartKey::fromText ("C");
    return key;
}

LeadingAccidental readLeadingAccidental (std::string_view token) noexcept
{
    if (token.empty())
        return {};
    if (token[0] == 'b')
        return { -1, 1 };
    if (token[0] == '#')
        return { 1, 1 };
    if (token.size() >= 3 && (unsigned char) token[0] == 0xE2)
    {
        if ((unsigned char) token[2] == 0xAD)
            return { -1, 3 };
        if ((unsigned char) token[2] == 0xAF)
            return { 1, 3 };
    }
    return {};
}

ChartKey ChartKey::fromText (std::string_view keyText)
{
    ChartKey key;
    key.empty = keyText.empty();
    if (! key.empty)
    {
        key.pitchClass = parseSongKeyIndex (keyText);
        key.flats = isFlatKey (keyText);
    }
    return key;
}

bool isFlatKey (std::string_view keyText)
{
    if (keyText.find ('b') != std::string_view::npos)
        return true;
    for (std::string_view name : { "F", "Bb", "Eb", "Ab", "Db", "Gb" })
        if (keyText == name)
            return true;
    return false;
}

std::string pitchClassName (std::int64_t pitch, bool flats)
{
    const auto index = (std::size_t) wrapPitchClass (pitch);
    return std::string (flats ? kFlatNoteNames[index] : kSharpNoteNames[index]);
}

std::string latinChordToAmerican (std::string_view token)
{
    if (token.empty() || token.size() > kLatinMaxBytes)
        return std::string (token);
    const std::string upper = toUpperAscii (token);
    for (std::size_t prefixLength : { std::size_t (3), std::size_t (2) })
    {
        if (upper.size() < prefixLength)
            continue;
        const auto prefix = std::string_view (upper).substr (0, prefixLength);
        for (const auto& entry : kSolfegeToLetter)
        {
            if (entry.name != prefix)
                continue;
            const auto rest = token.substr (prefixLength);
            const auto slash = rest.find ('/');
            const auto head = rest.substr (0, slash);
            std::string out (1, entry.letter);
            for (char c : head)
                if (! isSpaceByte (c))
                    out += c;
            if (slash != std::string_view::npos && slash + 1 < rest.size())
                out += "/" + latinChordToAmerican (rest.substr (slash + 1));
            return out;
        }
    }
    return std::string (token);
}

std::string nashvilleChordToAmerican (std::string_view token, std::string_view keyText)
{
    return nashvilleToAmerican (token, ChartKey::fromText (keyText));
}

std::string romanChordToAmerican (std::string_view token, std::string_view keyText)
{
    return romanToAmerican (token, ChartKey::fromText (keyText));
}

std::string chordToAmerican (std::string_view token, ChartNotation notation, const ChartKey& key)
{
    switch (notation)
    {
        case ChartNotation::latin: return latinChordToAmerican (token);
        case ChartNotation::nashville: return nashvilleToAmerican (token, key);
        case ChartNotation::roman: return romanToAmerican (token, key);
        default: return std::string (token);
    }
}

std::string chordToAmerican (std::string_view token, ChartNotation notation, std::string_view keyText)
{
    if (notation != ChartNotation::nashville && notation != ChartNotation::roman)
        return chordToAmerican (token, notation, ChartKey {});
    return chordToAmerican (token, notation, ChartKey::fromText (keyText));
}

std::optional<std::string> toAmericanChord (std::string_view token, ChartNotation notation, const ChartKey& key)
{
    switch (notation)
    {
        case ChartNotation::latin:
            // A token longer than the Latin limit stays as written, and is then far too long for a chord.
            if (token.size() > kLatinMaxBytes)
                return std::nullopt;
            break;
        case ChartNotation::nashville:
        case ChartNotation::roman:
            if (qualityTooLongForChord (token))
                return std::nullopt;
            break;
        default:
            if (! isChordSymbol (token))
                return std::nullopt;
            return std::string (token);
    }
    auto chord = chordToAmerican (token, notation, key);
    if (! isChordSymbol (chord))
        return std::nullopt;
    return chord;
}

bool isChordInNotation (std::string_view token, ChartNotation notation, const ChartKey& key)
{
    return toAmericanChord (token, notation, key).has_value();
}

bool isChordInNotation (std::string_view token, ChartNotation notation, std::string_view keyText)
{
    if (notation != ChartNotation::nashville && notation != ChartNotation::roman)
        return isChordInNotation (token, notation, ChartKey {});
    if (qualityTooLongForChord (token))
        return false;
    return isChordInNotation (token, notation, ChartKey::fromText (keyText));
}
} // namespace quorvelle::charts
