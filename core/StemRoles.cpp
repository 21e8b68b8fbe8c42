#include "core/StemRoles.h"

#include "core/Utf8Text.h"

#include <array>

namespace quorvelle::core
{
bool isUnpitchedBusGroup (std::string_view groupName)
{
    static constexpr std::array<std::string_view, 6> unpitched { "click", "guide", "drums", "percussion", "loops", "fx" };
    for (const auto name : unpitched)
        if (groupName == name)
            return true;
    return false;
}

namespace
{
    // A letter of a track name as its plain lower-case ASCII form (the Spanish accented letters, upper
    // and lower case, included); 0 for anything else.
    char foldNameLetter (uint32_t c)
    {
        if (c >= 'A' && c <= 'Z')
            return (char) (c - 'A' + 'a');
        if (c >= 'a' && c <= 'z')
            return (char) c;
        switch (c)
        {
            case 0xC1: case 0xE1: return 'a';
            case 0xC9: case 0xE9: return 'e';
            case 0xCD: case 0xED: return 'i';
            case 0xD1: case 0xF1: return 'n';
            case 0xD3: case 0xF3: return 'o';
            case 0xDA: case 0xDC: case 0xFA: case 0xFC: return 'u';
            default: return 0;
        }
    }

    bool startsWith (std::string_view text, std::string_view prefix)
    {
        return text.substr (0, prefix.size()) == prefix;
    }
} // namespace

std::string foldTrackName (std::string_view text)
{
    std::string out;
    out.reserve (text.size());
    // Anything but a letter becomes a space: one for a two-byte Latin-1 letter (lead byte C3), one
    // per byte for any other character.
    forEachUtf8Char (text, [&out] (uint32_t c, int bytes)
    {
        if (const auto letter = foldNameLetter (c))
            out.push_back (letter);
        else
            out.append (c >= 0xC0 && c <= 0xFF && bytes == 2 ? 1 : (std::size_t) bytes, ' ');
    });
    return out;
}

bool isUnpitchedTrack (std::string_view instrumentType, std::string_view name)
{
    static constexpr std::array<std::string_view, 21> unpitchedTypes {
        "DRUMS", "PERC", "CLICK", "CUES", "LOOP", "FX", "CAJON", "CONGAS", "BONGOS", "DJEMBE", "TIMBALES",
        "TAMBOURINE", "SHAKER", "COWBELL", "GUIRO", "CLAPS", "SNAPS", "STOMPS", "SLEIGH_BELLS", "JANGGU", "BEATBOX"
    };
    for (const auto type : unpitchedTypes)
        if (instrumentType == type)
            return true;

    const auto folded = foldTrackName (name);
    if (folded.size() >= 2 && folded.find ("fx") != std::string::npos)
        return true;

    const std::string_view view (folded);
    std::size_t pos = 0;
    while (pos < view.size())
    {
        while (pos < view.size() && view[pos] == ' ')
            ++pos;
        auto end = pos;
        while (end < view.size() && view[end] != ' ')
            ++end;
        if (end > pos)
        {
            const auto word = view.substr (pos, end - pos);
            if (word == "cue" || word == "cues" || startsWith (word, "drum") || startsWith (word, "click")
                || startsWith (word, "perc") || startsWith (word, "guia") || startsWith (word, "loop"))
                return true;
        }
        pos = end;
    }
    return false;
}
} // namespace quorvelle::core
