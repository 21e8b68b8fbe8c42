#include "core/SongOptions.h"

#include <cmath>
#include <unordered_set>

namespace quorvelle::core
{
SongOptions readSongOptions (const Json& json)
{
    SongOptions s;
    s.activeVersionId = getString (json, "activeVersionId");
    s.bpm = getDouble (json, "bpm", 0.0);
    s.pitch = getDouble (json, "pitch", 0.0);
    s.songKey = getOptionalString (json, "songKey");
    s.clickSource = getString (json, "clickSource");
    s.guideSource = getString (json, "guideSource");
    s.startTime = getDouble (json, "startTime", 0.0);
    s.endTime = getOptionalNumber (json, "endTime");
    s.fadeOutEnabled = getBool (json, "fadeOutEnabled", false);
    s.excludedTrackIds = readStringList (memberOrNull (json, "excludedTrackIds"));
    return s;
}

LocalSongOptions readLocalSongOptions (const Json& json)
{
    LocalSongOptions l;
    l.versionId = getString (json, "versionId");
    l.bpm = getDouble (json, "bpm", 0.0);
    l.pitch = getDouble (json, "pitch", 0.0);
    l.songKey = getOptionalString (json, "songKey");
    l.clickSource = getString (json, "clickSource");
    l.guideSource = getString (json, "guideSource");
    l.startTime = getDouble (json, "startTime", 0.0);
    l.endTime = getDouble (json, "endTime", 0.0);
    l.fadeEnabled = getBool (json, "fadeEnabled", false);
    l.excludedTrackIds = readStringList (memberOrNull (json, "excludedTrackIds"));
    l.entriesOverridePresent = getBool (json, "entriesOverridePresent", false);
    l.restoreMix = getBool (json, "restoreMix", false);
    return l;
}

SongOptionsContext readSongOptionsContext (const Json& json)
{
    return { getBool (json, "isCurrentSong", false), getBool (json, "isNextSong", false), getDouble (json, "maxDuration", 0.0) };
}

bool sameStringSet (const std::vector<std::string>& edited, const std::vector<std::string>& applied)
{
    if (edited.size() != applied.size())
        return false;
    if (edited.empty())
        return true;

    const std::unordered_set<std::string> appliedSet (applied.begin(), applied.end());
    for (const auto& id : edited)
        if (appliedSet.find (id) == appliedSet.end())
            return false;
    return true;
}

SongOptionChanges diffSongOptions (const SongOptions& s, const LocalSongOptions& l, const SongOptionsContext& ctx)
{
    SongOptionChanges c;
    c.versionChanged = l.versionId != s.activeVersionId;
    c.bpmChanged = std::abs (l.bpm - s.bpm) > 0.001;
    c.pitchChanged = std::abs (l.pitch - s.pitch) > 0.001;
    c.stretchChanged = c.bpmChanged || c.pitchChanged;
    c.keyChanged = (s.songKey.has_value() && l.songKey.has_value()) ? *s.songKey != *l.songKey
                                                                     : s.songKey.has_value() != l.songKey.has_value();
    c.clickChanged = l.clickSource != s.clickSource;
    c.guideChanged = l.guideSource != s.guideSource;
    const double appliedEnd = s.endTime.has_value() ? *s.endTime : ctx.maxDuration;
    c.timeChanged = l.startTime != s.startTime || l.endTime != appliedEnd || l.fadeEnabled != s.fadeOutEnabled;
    c.tracksChanged = ! sameStringSet (l.excludedTrackIds, s.excludedTrackIds);
    c.entriesChanged = l.entriesOverridePresent;
    c.mixChanged = l.restoreMix;
    c.anyChange = c.versionChanged || c.stretchChanged || c.keyChanged || c.clickChanged || c.guideChanged || c.timeChanged
                  || c.tracksChanged || c.entriesChanged || c.mixChanged;
    return c;
}

SongOptionApplyPlan planSongOptionsApply (const SongOptions& s, const LocalSongOptions& l, const SongOptionsContext& ctx)
{
    SongOptionApplyPlan plan;
    plan.changes = diffSongOptions (s, l, ctx);
    const auto& c = plan.changes;
    plan.willReprocessAudio = ctx.isCurrentSong && (c.stretchChanged || c.tracksChanged || c.clickChanged || c.guideChanged);
    plan.willReloadCurrentSong = ctx.isCurrentSong && (c.tracksChanged || c.clickChanged || c.guideChanged);
    plan.shouldRePreloadNextSong = ctx.isNextSong && ! ctx.isCurrentSong
                                   && (c.versionChanged || c.tracksChanged || c.timeChanged || c.clickChanged || c.guideChanged);
    return plan;
}

Json writeSongOptionChanges (const SongOptionChanges& c)
{
    return { { "versionChanged", c.versionChanged }, { "bpmChanged", c.bpmChanged },     { "pitchChanged", c.pitchChanged },
             { "stretchChanged", c.stretchChanged }, { "keyChanged", c.keyChanged },     { "clickChanged", c.clickChanged },
             { "guideChanged", c.guideChanged },     { "timeChanged", c.timeChanged },   { "tracksChanged", c.tracksChanged },
             { "entriesChanged", c.entriesChanged }, { "mixChanged", c.mixChanged },     { "anyChange", c.anyChange } };
}

Json writeSongOptionApplyPlan (const SongOptionApplyPlan& plan)
{
    return { { "changes", writeSongOptionChanges (plan.changes) },
             { "willReprocessAudio", plan.willReprocessAudio },
             { "willReloadCurrentSong", plan.willReloadCurrentSong },
             { "shouldRePreloadNextSong", plan.shouldRePreloadNextSong } };
}

Json detectSongOptionsChanges (const Json& payload)
{
    const auto snapshot = readSongOptions (memberOrNull (payload, "snapshot"));
    const auto local = readLocalSongOptions (memberOrNull (payload, "local"));
    const auto ctx = readSongOptionsContext (memberOrNull (payload, "ctx"));
    return writeSongOptionChanges (diffSongOptions (snapshot, local, ctx));
}

Json buildSongOptionsApplyPlan (const Json& payload)
{
    const auto snapshot = readSongOptions (memberOrNull (payload, "snapshot"));
    const auto local = readLocalSongOptions (memberOrNull (payload, "local"));
    const auto ctx = readSongOptionsContext (memberOrNull (payload, "ctx"));
    return writeSongOptionApplyPlan (planSongOptionsApply (snapshot, local, ctx));
}
} // namespace quorvelle::core
