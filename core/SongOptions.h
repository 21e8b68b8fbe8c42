#pragma once

#include "core/CoreJson.h"

#include <optional>
#include <string>
#include <vector>

namespace quorvelle::core
{
// The options as last applied.
struct SongOptions
{
    std::string activeVersionId;
    double bpm = 0.0;
    double pitch = 0.0;
    std::optional<std::string> songKey;
    std::string clickSource;
    std::string guideSource;
    double startTime = 0.0;
    std::optional<double> endTime;
    bool fadeOutEnabled = false;
    std::vector<std::string> excludedTrackIds;
};

// The options as edited.
struct LocalSongOptions
{
    std::string versionId;
    double bpm = 0.0;
    double pitch = 0.0;
    std::optional<std::string> songKey;
    std::string clickSource;
    std::string guideSource;
    double startTime = 0.0;
    double endTime = 0.0;
    bool fadeEnabled = false;
    std::vector<std::string> excludedTrackIds;
    bool entriesOverridePresent = false;
    bool restoreMix = false;
};

struct SongOptionsContext
{
    bool isCurrentSong = false;
    bool isNextSong = false;
    double maxDuration = 0.0;
};

struct SongOptionChanges
{
    bool versionChanged = false;
    bool bpmChanged = false;
    bool pitchChanged = false;
    bool stretchChanged = false;
    bool keyChanged = false;
    bool clickChanged = false;
    bool guideChanged = false;
    bool timeChanged = false;
    bool tracksChanged = false;
    bool entriesChanged = false;
    bool mixChanged = false;
    bool anyChange = false;
};

struct SongOptionApplyPlan
{
    SongOptionChanges changes;
    bool willReprocessAudio = false;
    bool willReloadCurrentSong = false;
    bool shouldRePreloadNextSong = false;
};

SongOptions readSongOptions (const Json& json);
LocalSongOptions readLocalSongOptions (const Json& json);
SongOptionsContext readSongOptionsContext (const Json& json);

// Same length and every edited id found among the applied ones (a repeated id only has to be
// present once).
bool sameStringSet (const std::vector<std::string>& edited, const std::vector<std::string>& applied);

SongOptionChanges diffSongOptions (const SongOptions& snapshot, const LocalSongOptions& local, const SongOptionsContext& ctx);
SongOptionApplyPlan planSongOptionsApply (const SongOptions& snapshot, const LocalSongOptions& local, const SongOptionsContext& ctx);

Json writeSongOptionChanges (const SongOptionChanges& changes);
Json writeSongOptionApplyPlan (const SongOptionApplyPlan& plan);

// Core methods. A missing "snapshot", "local" or "ctx" reads as an empty object.
Json detectSongOptionsChanges (const Json& payload);
Json buildSongOptionsApplyPlan (const Json& payload);
} // namespace quorvelle::core
