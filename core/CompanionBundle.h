#pragma once

#include "core/CoreJson.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorvelle::core
{
using StringMap = std::map<std::string, std::string>;

struct CompanionSection
{
    std::string id;
    std::string name;
    std::string type;
    std::string color;
};

struct CompanionSongEntry
{
    bool isClick = false;
    std::string id;
    std::string sectionId;
    std::string clickName;
    std::string clickChords;
    std::string clickNote;
};

struct CompanionSong
{
    std::string songId;
    std::string title;
    std::string songKey;
    double bpm = 0.0;
    std::vector<CompanionSection> sections;
    std::vector<CompanionSongEntry> entries;
    StringMap chords;
    StringMap notes;
};

struct ArrangementEntry
{
    std::string entryId;
    std::string kind; // "section" or "click"
    std::string sectionId;
    std::string name;
    std::string type;
    std::string color;
    bool hasChords = false;
    std::string chords;
    bool hasNote = false;
    std::string note;
};

struct BundleSong
{
    std::string songId;
    std::string title;
    std::string songKey;
    double bpm = 0.0;
    std::vector<ArrangementEntry> arrangement;
    StringMap chords;
    StringMap notes;
};

struct CompanionBundle
{
    std::string setlistId;
    std::string setlistName;
    std::vector<BundleSong> songs;
};

StringMap readStringMap (const Json& json);
Json stringMapToJson (const StringMap& map);
CompanionSong readCompanionSong (const Json& json);
std::vector<ArrangementEntry> buildArrangement (const CompanionSong& song);
// Largest bundle built, counted as the text of its songs: a setlist of 100 songs with long charts
// stays near 2 MB. Repeating a song id repeats the song, so a short payload could otherwise ask
// for gigabytes; beyond this the method fails with std::length_error.
inline constexpr std::size_t kMaxCompanionBundleBytes = std::size_t { 32 } << 20;

CompanionBundle buildCompanionBundle (const std::string& setlistId, const std::string& setlistName,
                                      const std::vector<std::string>& songIds, const std::vector<CompanionSong>& songs);
Json arrangementEntryToJson (const ArrangementEntry& entry);
Json bundleSongToJson (const BundleSong& song);

// djb2 over the bytes (32-bit), written in lower-case base 36.
std::string hashBundleText (std::string_view text);

// Core method: the setlist packed for the companion view, with its content hash.
Json companionBuildBundle (const Json& payload);
} // namespace quorvelle::core
