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

// Leading accidental of a Nashville or Roman token: value and length in bytes.
struct Accidental
{
    int value = 0;
    std::size_t length = 0;
};

Accidental readAccidental (std::string_view token) noexcept
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

const RomanDegree* findRomanNumeral (std::string_view text) noexcept
{
    for (const auto& entry : kRomanDegreeTable)
        if (startsWith (text, entry.numeral))
            return &entry;
    return nullptr;
}

bool isNashvilleDigit (char c) noexcept { return c >= '1' && c <= '7'; }

std::string nashvilleToAmerican (std::string_view token, const ChartKey& key)
{
    if (token.empty() || key.empty || ! key.pitchClass)
        return std::string (token);
    const int k = *key.pitchClass;
    const auto acc = readAccidental (token);
    if (acc.length >= token.size() || ! isNashvilleDigit (token[acc.length]))
        return std::string (token);
    const int degree = token[acc.length] - '0';
    const bool rootFlats = acc.value < 0 ? true : (acc.value > 0 ? false : key.flats);
    std::string out = pitchClassName (k + kMajorScaleOffsets[(std::size_t) degree] + acc.value, rootFlats);

    const auto rest = token.substr (acc.length + 1);
    const auto slash = rest.find ('/');
    out += rest.substr (0, slash);
    if (slash == std::string_view::npos)
        return out;
    const auto bass = rest.substr (slash + 1);
    if (bass.empty())
        return out;
    const auto bassAcc = readAccidental (bass);
    if (bassAcc.length < bass.size() && isNashvilleDigit (bass[bassAcc.length]))
    {
        const int bassDegree = bass[bassAcc.length] - '0';
        out += "/" + pitchClassName (k + kMajorScaleOffsets[(std::size_t) bassDegree] + bassAcc.value, key.flats);
    }
    else
    {
        out += "/";
        out += bass;
    }
    return out;
}

std::string romanToAmerican (std::string_view token, const ChartKey& key)
{
    if (token.empty() || key.empty || ! key.pitchClass)
        return std::string (token);
    const int k = *key.pitchClass;
    const auto acc = readAccidental (token);
    if (acc.length >= token.size())
        return std::string (token);
    const auto* numeral = findRomanNumeral (token.substr (acc.length));
    if (numeral == nullptr)
        return std::string (token);
    std::string out = pitchClassName (k + kMajorScaleOffsets[(std::size_t) numeral->degree] + acc.value, key.flats);

    const auto rest = token.substr (acc.length + numeral->numeral.size());
    const auto slash = rest.find ('/');
    const auto quality = rest.substr (0, slash);
    if (numeral->minor && ! (startsWith (quality, "m") && ! startsWith (quality, "maj")))
        out += "m";
    out += quality;
    if (slash == std::string_view::npos)
        return out;
    const auto bass = rest.substr (slash + 1);
    if (bass.empty())
        return out;
    const auto bassAcc = readAccidental (bass);
    const RomanDegree* bassNumeral = bassAcc.length < bass.size() ? findRomanNumeral (bass.substr (bassAcc.length)) : nullptr;
    if (bassNumeral != nullptr)
    {
        out += "/" + pitchClassName (k + kMajorScaleOffsets[(std::size_t) bassNumeral->degree] + bassAcc.value, key.flats);
    }
    else
    {
        out += "/";
        out += bass;
    }
    return out;
}

// Whether a Nashville or Roman token is too long to convert into a chord symbol: its quality
// (the bytes between the degree and the first '/') alone would exceed the 20 bytes a chord may
// have. The leading accidental and degree take at most 6 bytes.
bool qualityTooLongForChord (std::string_view token) noexcept
{
    const auto slash = token.find ('/');
    const auto qualityEnd = slash == std::string_view::npos ? token.size() : slash;
    return qualityEnd > 26;
}
} // namespace

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

std::string pitchClassName (std::int32_t pitch, bool flats)
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

bool isChordInNotation (std::string_view token, ChartNotation notation, const ChartKey& key)
{
    switch (notation)
    {
        case ChartNotation::latin:
            // A token longer than the Latin limit stays as written, and is then far too long for a chord.
            return token.size() <= kLatinMaxBytes && isChordSymbol (latinChordToAmerican (token));
        case ChartNotation::nashville:
        case ChartNotation::roman:
            if (qualityTooLongForChord (token))
                return false;
            return isChordSymbol (chordToAmerican (token, notation, key));
        default:
            return isChordSymbol (token);
    }
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
