#pragma once

#include "core/CoreJson.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvelle::core
{
struct SongMapEntry
{
    std::string id;
    std::string sectionId;
    double trimStart = 0.0;
    double trimEnd = 0.0;
    bool isClick = false;
    std::string clickMode;
};

struct SongMapSection
{
    std::string id;
    double startTime = 0.0;
    double duration = 0.0;
};

enum class SongMapTransitionKind { contiguous = 0, linearGap = 1, jump = 2 };

struct SongMapTransition
{
    int32_t fromEntryIndex = 0;
    int32_t toEntryIndex = 0;
    SongMapTransitionKind kind = SongMapTransitionKind::contiguous;
    double triggerTime = 0.0;
    double targetPosition = 0.0;
};

struct EntryLoopRepeat
{
    bool isLooping = false;
    bool isRepeating = false;
};

// Playback and song-map state at the moment of a boundary decision.
struct BoundarySnapshot
{
    bool isPlaying = false;
    bool hasCurrentSong = false;
    std::vector<SongMapEntry> entries;
    int32_t songMapIndex = -1;
    std::vector<SongMapTransition> transitions;
    bool editModeIsSections = false;
    std::vector<SongMapSection> sections;
    std::string currentSectionId;
    bool currentSectionIsLooping = false;
    bool currentSectionIsRepeating = false;
    std::string nextSectionId;
    std::optional<int32_t> nextEntryIndex;
    std::unordered_map<std::string, EntryLoopRepeat> entryLoopRepeat;
    bool isInfiniteLoop = false;
};

struct LoopRegion
{
    double start = 0.0;
    double end = 0.0;
};

struct ArmedBoundarySeek
{
    double triggerTime = 0.0;
    double targetPosition = 0.0;
};

struct ClickRepeatState
{
    std::string entryId;
    bool value = false;
};

// What the front end has armed after the previous decision.
struct BoundaryDispatchState
{
    std::optional<LoopRegion> activeLoopRegion;
    bool loopRegionIsOneShot = false;
    std::optional<ArmedBoundarySeek> activeBoundarySeek;
    std::optional<int32_t> pendingSongMapIndex;
    std::optional<ClickRepeatState> activeClickRepeat;
};

struct ClickSectionRepeatCommand
{
    std::string entryId;
    bool repeat = false;
};

struct LoopRegionCommand
{
    bool active = false;
    double startSeconds = 0.0;
    double endSeconds = 0.0;
};

struct BoundarySeek
{
    bool active = false;
    double triggerTimeSeconds = 0.0;
    double targetPositionSeconds = 0.0;
};

struct BoundaryDecision
{
    std::optional<ClickSectionRepeatCommand> setClickSectionRepeat;
    std::optional<LoopRegionCommand> setLoopRegion;
    std::vector<BoundarySeek> setBoundarySeek;
    BoundaryDispatchState newDispatch;
    std::string priorityTag;
};

SongMapTransition readSongMapTransition (const Json& json);
BoundarySnapshot readBoundarySnapshot (const Json& json);
BoundaryDispatchState readBoundaryDispatchState (const Json& json);
Json writeBoundaryDispatchState (const BoundaryDispatchState& state);
Json writeBoundaryDecision (const BoundaryDecision& decision);

// The rules, tried in priority order; the first that applies decides.
BoundaryDecision decideBoundary (const BoundarySnapshot& snapshot, const BoundaryDispatchState& previous);

// Core method: {"snapshot", "dispatch"} -> written decision.
Json decideBoundaryAction (const Json& payload);
} // namespace quorvelle::core
