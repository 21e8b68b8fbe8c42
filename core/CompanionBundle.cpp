#include "core/CompanionBundle.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace quorvelle::core
{
StringMap readStringMap (const Json& json)
{
    StringMap map;
    if (! json.is_object())
        return map;

    for (const auto& [key, value] : json.items())
        if (value.is_string())
            map.emplace (key, value.get<std::string>());
    return map;
}

Json stringMapToJson (const StringMap& map)
{
    Json out = Json::object();
    for (const auto& [key, value] : map)
        out[key] = value;
    return out;
}

CompanionSong readCompanionSong (const Json& json)
{
    CompanionSong song;
    song.songId = getString (json, "songId");
    song.title = getString (json, "title");
    song.songKey = getString (json, "songKey");
    song.bpm = getDouble (json, "bpm", 0.0);

    song.sections = readArray (memberOrNull (json, "sections"), [] (const Json& s) {
        return CompanionSection { getString (s, "id"), getString (s, "name"), getString (s, "type"), getString (s, "color") };
    });
    song.entries = readArray (memberOrNull (json, "entries"), [] (const Json& e) {
        return CompanionSongEntry { getBool (e, "isClick", false), getString (e, "id"), getString (e, "sectionId"),
                                    getString (e, "clickName"), getString (e, "clickChords"), getString (e, "clickNote") };
    });
    song.chords = readStringMap (memberOrNull (json, "chords"));
    song.notes = readStringMap (memberOrNull (json, "notes"));
    return song;
}

std::vector<ArrangementEntry> buildArrangement (const CompanionSong& song)
{
    std::vector<ArrangementEntry> arrangement;
    const auto colourOr666 = [] (const std::string& colour) { return colour.empty() ? std::string ("#666") : colour; };

    if (! song.entries.empty())
    {
        // The first section of each id, looked up once per entry.
        std::unordered_map<std::string_view, const CompanionSection*> sectionsById;
        sectionsById.reserve (song.sections.size());
        for (const auto& s : song.sections)
            sectionsById.emplace (s.id, &s);

        arrangement.reserve (song.entries.size());
        for (const auto& e : song.entries)
        {
            ArrangementEntry a;
            a.entryId = e.id;
            if (e.isClick)
            {
                a.kind = "click";
                a.name = e.clickName.empty() ? std::string ("Click") : e.clickName;
                a.type = "CLICK";
                a.color = "#3b82f6";
                a.hasChords = true;
                a.chords = e.clickChords;
                a.hasNote = true;
                a.note = e.clickNote;
            }
            else
            {
                a.kind = "section";
                a.sectionId = e.sectionId;
                const auto found = sectionsById.find (e.sectionId);
                if (found != sectionsById.end())
                {
                    const auto* section = found->second;
                    a.name = section->name;
                    a.type = section->type;
                    a.color = colourOr666 (section->color);
                }
                else
                    a.color = "#666";
            }
            arrangement.push_back (std::move (a));
        }
        return arrangement;
    }

    arrangement.reserve (song.sections.size());
    for (const auto& s : song.sections)
    {
        ArrangementEntry a;
        a.entryId = s.id;
        a.kind = "section";
        a.sectionId = s.id;
        a.name = s.name;
        a.type = s.type;
        a.color = colourOr666 (s.color);
        arrangement.push_back (std::move (a));
    }
    return arrangement;
}

namespace
{
    // The text a bundle song adds to the bundle, roughly: its texts plus the JSON around them.
    std::size_t bundleSongBytes (const BundleSong& song)
    {
        std::size_t bytes = 64 + song.songId.size() + song.title.size() + song.songKey.size();
        for (const auto& a : song.arrangement)
            bytes += 96 + a.entryId.size() + a.sectionId.size() + a.name.size() + a.type.size() + a.color.size() + a.chords.size()
                     + a.note.size();
        for (const auto* map : { &song.chords, &song.notes })
            for (const auto& [key, value] : *map)
                bytes += 8 + key.size() + value.size();
        return bytes;
    }
} // namespace

CompanionBundle buildCompanionBundle (const std::string& setlistId, const std::string& setlistName,
                                      const std::vector<std::string>& songIds, const std::vector<CompanionSong>& songs)
{
    // The first song of each id, found once; its size in the bundle once it was built.
    struct Indexed
    {
        const CompanionSong* song;
        std::size_t bytes = 0;
    };
    std::unordered_map<std::string_view, Indexed> songsById;
    songsById.reserve (songs.size());
    for (const auto& s : songs)
        songsById.emplace (s.songId, Indexed { &s });

    CompanionBundle bundle { setlistId, setlistName, {} };
    std::size_t total = 0;
    for (const auto& id : songIds)
    {
        const auto found = songsById.find (id);
        if (found == songsById.end())
            continue;

        // An id listed again repeats the whole song: a list of one id many times must not
        // multiply a large song without bound.
        auto& indexed = found->second;
        if (indexed.bytes > 0 && total + indexed.bytes > kMaxCompanionBundleBytes)
            throw std::length_error ("companion bundle too large (more than " + std::to_string (kMaxCompanionBundleBytes) + " bytes)");

        const auto* song = indexed.song;
        bundle.songs.push_back ({ song->songId, song->title, song->songKey, song->bpm, buildArrangement (*song), song->chords,
                                  song->notes });
        if (indexed.bytes == 0)
            indexed.bytes = bundleSongBytes (bundle.songs.back());
        total += indexed.bytes;
        if (total > kMaxCompanionBundleBytes)
            throw std::length_error ("companion bundle too large (more than " + std::to_string (kMaxCompanionBundleBytes) + " bytes)");
    }
    return bundle;
}

Json arrangementEntryToJson (const ArrangementEntry& entry)
{
    Json out = { { "entryId", entry.entryId },
                 { "kind", entry.kind },
                 { "sectionId", entry.sectionId.empty() ? Json() : Json (entry.sectionId) },
                 { "name", entry.name },
                 { "type", entry.type },
                 { "color", entry.color } };
    if (entry.hasChords)
        out["chords"] = entry.chords;
    if (entry.hasNote)
        out["note"] = entry.note;
    return out;
}

Json bundleSongToJson (const BundleSong& song)
{
    Json arrangement = Json::array();
    for (const auto& a : song.arrangement)
        arrangement.push_back (arrangementEntryToJson (a));

    return { { "songId", song.songId },
             { "title", song.title },
             { "songKey", song.songKey },
             { "bpm", song.bpm },
             { "arrangement", std::move (arrangement) },
             { "chords", stringMapToJson (song.chords) },
             { "notes", stringMapToJson (song.notes) } };
}

std::string hashBundleText (std::string_view text)
{
    uint32_t h = 5381;
    for (const char c : text)
        h = h * 33u + static_cast<unsigned char> (c);

    static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string out;
    do
    {
        out.push_back (digits[h % 36]);
        h /= 36;
    } while (h != 0);
    std::reverse (out.begin(), out.end());
    return out;
}

Json companionBuildBundle (const Json& payload)
{
    const auto songIds = readStringList (memberOrNull (payload, "songIds"));
    const auto songs = readArray (memberOrNull (payload, "songs"), readCompanionSong);

    const auto bundle = buildCompanionBundle (getString (payload, "setlistId"), getString (payload, "setlistName"), songIds, songs);

    Json songsJson = Json::array();
    for (const auto& song : bundle.songs)
        songsJson.push_back (bundleSongToJson (song));

    Json hashed = { { "setlistId", bundle.setlistId }, { "setlistName", bundle.setlistName }, { "songs", songsJson } };
    // Strict UTF-8 on purpose: the hash is defined over valid text; invalid bytes fail the method.
    const auto hash = hashBundleText (hashed.dump());

    hashed["hash"] = hash;
    return hashed;
}
} // namespace quorvelle::core
