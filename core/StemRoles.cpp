#include "core/StemRoles.h"

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
    char foldAccented (unsigned char second)
    {
        switch (second)
        {
            case 0x81: case 0xA1: return 'a';
            case 0x89: case 0xA9: return 'e';
            case 0x8D: case 0xAD: return 'i';
            case 0x91: case 0xB1: return 'n';
            case 0x93: case 0xB3: return 'o';
            case 0x9A: case 0x9C: case 0xBA: case 0xBC: return 'u';
            default: return ' ';
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
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const auto c = static_cast<unsigned char> (text[i]);
        if (c >= 'A' && c <= 'Z')
            out.push_back (static_cast<char> (c - 'A' + 'a'));
        else if (c >= 'a' && c <= 'z')
            out.push_back (static_cast<char> (c));
        else if (c == 0xC3)
        {
            if (i + 1 < text.size())
                out.push_back (foldAccented (static_cast<unsigned char> (text[++i])));
            else
                out.push_back (' ');
        }
        else
            out.push_back (' ');
    }
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
