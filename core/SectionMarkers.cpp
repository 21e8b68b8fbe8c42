#include "core/SectionMarkers.h"

#include "core/CLocaleText.h"
#include "core/CountIn.h"
#include "core/Utf8Text.h"

#include <vector>

namespace quorvelle::core
{
namespace
{
    constexpr bool isDigit (unsigned char c) { return c >= '0' && c <= '9'; }

    constexpr bool isWordChar (unsigned char c)
    {
        return isDigit (c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    }

    bool wordCharAt (std::string_view text, std::size_t i)
    {
        return i < text.size() && isWordChar (static_cast<unsigned char> (text[i]));
    }

    // \b at position i: a word character on exactly one side.
    bool isWordBoundary (std::string_view text, std::size_t i)
    {
        const bool before = i > 0 && wordCharAt (text, i - 1);
        return before != wordCharAt (text, i);
    }

    bool matchOffAt (std::string_view text, std::size_t i)
    {
        return text.substr (i, 3) == "off" && isWordBoundary (text, i + 3);
    }

    bool contains (std::string_view text, std::string_view part)
    {
        return text.find (part) != std::string_view::npos;
    }
} // namespace

std::optional<std::string_view> findFirstDigitRun (std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && ! isDigit (static_cast<unsigned char> (text[i])))
        ++i;
    if (i == text.size())
        return std::nullopt;

    auto end = i;
    while (end < text.size() && isDigit (static_cast<unsigned char> (text[end])))
        ++end;
    return text.substr (i, end - i);
}

bool containsCountOff (std::string_view text)
{
    for (auto i = text.find ("count"); i != std::string_view::npos; i = text.find ("count", i + 1))
    {
        if (! isWordBoundary (text, i))
            continue;

        const auto j = i + 5;
        // [\s\-]? is greedy: first with the separator taken, then without it.
        if (j < text.size())
        {
            const auto c = static_cast<unsigned char> (text[j]);
            if ((isCLocaleSpace (c) || c == '-') && matchOffAt (text, j + 1))
                return true;
        }
        if (matchOffAt (text, j))
            return true;
    }
    return false;
}

SectionMarkerLabel classifySectionMarker (const std::string& name)
{
    const auto key = trimAndLowerCase (name);
    const auto digits = findFirstDigitRun (name);
    const std::string suffix = digits.has_value() ? " " + std::string (*digits) : std::string();

    const auto label = [&]() -> std::string
    {
        if (containsCountOff (key) || contains (key, "cuenta ini"))
            return "Cuenta Inicial";
        if (key == "cuenta" || key == "conteo" || key == "count" || key == "count in" || key == "count-in" || key == "countin")
            return "Cuenta";

        const bool chorus = contains (key, "chorus") || contains (key, "coro");
        if (contains (key, "intro")) return "Intro" + suffix;
        if (contains (key, "pre") && chorus) return "Pre Coro" + suffix;
        if (contains (key, "post") && chorus) return "Post Coro" + suffix;
        if (contains (key, "verse") || contains (key, "verso")) return "Verso" + suffix;
        if (chorus) return "Coro" + suffix;
        if (contains (key, "bridge") || contains (key, "puente")) return "Puente" + suffix;
        if (contains (key, "instr")) return "Instrumental";
        if (contains (key, "solo")) return "Solo";
        if (contains (key, "inter")) return "Interludio";
        if (contains (key, "outro")) return "Outro" + suffix;
        if (contains (key, "final") || contains (key, "ending")) return "Final" + suffix;
        if (contains (key, "tag")) return suffix.empty() ? std::string ("Tag 1") : "Tag" + suffix;
        if (contains (key, "vamp")) return "Vamp";
        if (contains (key, "refrain")) return "Refrain" + suffix;
        if (contains (key, "build")) return "Build";
        if (contains (key, "down") || contains (key, "suave") || contains (key, "bajar")) return "Bajar intensidad";
        if (contains (key, "subir")) return "Subir intensidad";
        if (contains (key, "acento") || contains (key, "accent")) return "Acentos";
        return name;
    }();

    return { label, label };
}

namespace
{
    bool isSyllableLetter (uint32_t cp)
    {
        if ((cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z'))
            return true;
        switch (cp)
        {
            case 193: case 201: case 205: case 209: case 211: case 218: case 220:
            case 225: case 233: case 237: case 241: case 243: case 250: case 252:
                return true;
            default:
                return false;
        }
    }

    uint32_t lowerSyllableLetter (uint32_t cp)
    {
        if (cp >= 'A' && cp <= 'Z')
            return cp - 'A' + 'a';
        switch (cp)
        {
            case 193: return 225; // Á
            case 201: return 233; // É
            case 205: return 237; // Í
            case 211: return 243; // Ó
            case 218: return 250; // Ú
            case 220: return 252; // Ü
            case 209: return 241; // Ñ
            default: return cp;
        }
    }

    bool isVowel (uint32_t c)
    {
        switch (c)
        {
            case 'a': case 'e': case 'i': case 'o': case 'u':
            case 225: case 233: case 237: case 243: case 250: case 252:
                return true;
            default:
                return false;
        }
    }

    bool isStrongVowel (uint32_t c)
    {
        return c == 'a' || c == 'e' || c == 'o' || c == 225 || c == 233 || c == 243;
    }

    bool isHiatus (uint32_t previous, uint32_t current)
    {
        return (isStrongVowel (previous) && isStrongVowel (current)) || previous == 237 || previous == 250
               || current == 237 || current == 250;
    }

    uint64_t countWordSyllables (const std::vector<uint32_t>& word)
    {
        uint64_t syllables = 0;
        bool previousIsVowel = false;
        uint32_t previous = 0;
        for (const auto c : word)
        {
            const bool vowel = isVowel (c);
            if (vowel && (! previousIsVowel || isHiatus (previous, c)))
                ++syllables;
            previousIsVowel = vowel;
            previous = c;
        }
        return syllables == 0 ? 1 : syllables;
    }
} // namespace

uint64_t countSpanishSyllables (std::string_view text)
{
    if (text.empty())
        return 0;

    uint64_t total = 0;
    std::vector<uint32_t> word;
    const auto flush = [&]
    {
        if (! word.empty())
            total += countWordSyllables (word);
        word.clear();
    };

    forEachUtf8Char (text, [&] (uint32_t cp, int)
    {
        if (isSyllableLetter (cp))
            word.push_back (lowerSyllableLetter (cp));
        else
            flush();
    });
    flush();
    return total;
}

Json mapMarkerToSectionType (const Json& payload)
{
    const auto label = classifySectionMarker (getString (payload, "name"));
    return { { "type", label.type }, { "cleanName", label.cleanName } };
}

Json isCountSection (const Json& payload)
{
    return isCountSectionName (getString (payload, "name"));
}

Json countSyllables (const Json& payload)
{
    return countSpanishSyllables (getString (payload, "text"));
}
} // namespace quorvelle::core
