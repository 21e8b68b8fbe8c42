#include "core/BoundaryDecision.h"

namespace quorvelle::core
{
namespace
{
    // Present only for a JSON number, converted through double by truncation toward zero.
    std::optional<int32_t> readOptionalIndex (const Json& json, std::string_view key)
    {
        if (const auto number = getOptionalNumber (json, key))
            return saturatingInt32 (*number);
        return std::nullopt;
    }

    const Json* findObject (const Json& json, std::string_view key)
    {
        const auto* m = findMember (json, key);
        return (m != nullptr && m->is_object()) ? m : nullptr;
    }
} // namespace

SongMapTransition readSongMapTransition (const Json& json)
{
    SongMapTransition t;
    t.fromEntryIndex = getInt (json, "fromEntryIndex", 0);
    t.toEntryIndex = getInt (json, "toEntryIndex", 0);
    const auto kind = getString (json, "kind");
    t.kind = kind == "jump" ? SongMapTransitionKind::jump
           : kind == "linear-gap" ? SongMapTransitionKind::linearGap
                                  : SongMapTransitionKind::contiguous;
    t.triggerTime = getDouble (json, "triggerTime", 0.0);
    t.targetPosition = getDouble (json, "targetPosition", 0.0);
    return t;
}

BoundarySnapshot readBoundarySnapshot (const Json& json)
{
    BoundarySnapshot s;
    s.isPlaying = getBool (json, "isPlaying", false);
    s.hasCurrentSong = getBool (json, "hasCurrentSong", false);

    s.entries = readArray (memberOrNull (json, "entries"), [] (const Json& e) {
        return SongMapEntry { getString (e, "id"), getString (e, "sectionId"), getDouble (e, "trimStart", 0.0),
                              getDouble (e, "trimEnd", 0.0), getBool (e, "isClick", false), getString (e, "clickMode") };
    });
    s.songMapIndex = getInt (json, "songMapIndex", -1);
    s.transitions = readArray (memberOrNull (json, "transitions"), readSongMapTransition);
    s.editModeIsSections = getBool (json, "editModeIsSections", false);
    s.sections = readArray (memberOrNull (json, "sections"), [] (const Json& sec) {
        return SongMapSection { getString (sec, "id"), getDouble (sec, "startTime", 0.0), getDouble (sec, "duration", 0.0) };
    });
    s.currentSectionId = getString (json, "currentSectionId");
    s.currentSectionIsLooping = getBool (json, "currentSectionIsLooping", false);
    s.currentSectionIsRepeating = getBool (json, "currentSectionIsRepeating", false);
    s.nextSectionId = getString (json, "nextSectionId");
    s.nextEntryIndex = readOptionalIndex (json, "nextEntryIndex");

    if (const auto* loopRepeat = findObject (json, "entryLoopRepeat"))
        for (const auto& [id, flags] : loopRepeat->items())
            s.entryLoopRepeat[id] = { getBool (flags, "isLooping", false), getBool (flags, "isRepeating", false) };

    s.isInfiniteLoop = getBool (json, "isInfiniteLoop", false);
    return s;
}

BoundaryDispatchState readBoundaryDispatchState (const Json& json)
{
    BoundaryDispatchState d;
    if (const auto* region = findObject (json, "activeLoopRegion"))
        d.activeLoopRegion = LoopRegion { getDouble (*region, "start", 0.0), getDouble (*region, "end", 0.0) };
    d.loopRegionIsOneShot = getBool (json, "loopRegionIsOneShot", false);
    if (const auto* seek = findObject (json, "activeBoundarySeek"))
        d.activeBoundarySeek = ArmedBoundarySeek { getDouble (*seek, "triggerTime", 0.0), getDouble (*seek, "targetPosition", 0.0) };
    d.pendingSongMapIndex = readOptionalIndex (json, "pendingSongMapIndex");
    if (const auto* click = findObject (json, "activeClickRepeat"))
        d.activeClickRepeat = ClickRepeatState { getString (*click, "entryId"), getBool (*click, "value", false) };
    return d;
}

Json writeBoundaryDispatchState (const BoundaryDispatchState& d)
{
    Json out = Json::object();
    out["activeLoopRegion"] = d.activeLoopRegion ? Json { { "start", d.activeLoopRegion->start }, { "end", d.activeLoopRegion->end } }
                                                 : Json();
    out["loopRegionIsOneShot"] = d.loopRegionIsOneShot;
    out["activeBoundarySeek"] = d.activeBoundarySeek
                                    ? Json { { "triggerTime", d.activeBoundarySeek->triggerTime },
                                             { "targetPosition", d.activeBoundarySeek->targetPosition } }
                                    : Json();
    out["pendingSongMapIndex"] = d.pendingSongMapIndex ? Json (*d.pendingSongMapIndex) : Json();
    out["activeClickRepeat"] = d.activeClickRepeat
                                   ? Json { { "entryId", d.activeClickRepeat->entryId }, { "value", d.activeClickRepeat->value } }
                                   : Json();
    return out;
}

Json writeBoundaryDecision (const BoundaryDecision& decision)
{
    Json out = Json::object();
    out["priorityTag"] = decision.priorityTag;

    if (const auto& c = decision.setClickSectionRepeat)
        out["setClickSectionRepeat"] = { { "entryId", c->entryId }, { "repeat", c->repeat } };
    else
        out["setClickSectionRepeat"] = nullptr;

    if (const auto& l = decision.setLoopRegion)
    {
        Json loop = { { "active", l->active } };
        if (l->active)
        {
            loop["startSeconds"] = l->startSeconds;
            loop["endSeconds"] = l->endSeconds;
        }
        out["setLoopRegion"] = std::move (loop);
    }
    else
        out["setLoopRegion"] = nullptr;

    Json seeks = Json::array();
    for (const auto& s : decision.setBoundarySeek)
    {
        Json seek = { { "active", s.active } };
        if (s.active)
        {
            seek["triggerTimeSeconds"] = s.triggerTimeSeconds;
            seek["targetPositionSeconds"] = s.targetPositionSeconds;
        }
        seeks.push_back (std::move (seek));
    }
    out["setBoundarySeek"] = std::move (seeks);
    out["newDispatch"] = writeBoundaryDispatchState (decision.newDispatch);
    return out;
}

namespace
{
    class BoundaryRules
    {
    public:
        BoundaryRules (const BoundarySnapshot& snap, const BoundaryDispatchState& previous) : s (snap)
        {
            d.newDispatch = previous;
        }

        BoundaryDecision decide()
        {
            run();
            return std::move (d);
        }

    private:
        const BoundarySnapshot& s;
        BoundaryDecision d;

        const SongMapEntry* entryAt (int64_t index) const
        {
            if (index < 0 || index >= static_cast<int64_t> (s.entries.size()))
                return nullptr;
            return &s.entries[static_cast<std::size_t> (index)];
        }

        const SongMapSection* findSection (const std::string& id) const
        {
            if (id.empty())
                return nullptr;
            for (const auto& section : s.sections)
                if (section.id == id)
                    return &section;
            return nullptr;
        }

        const EntryLoopRepeat* loopRepeatFor (const std::string& entryId) const
        {
            auto it = s.entryLoopRepeat.find (entryId);
            return it == s.entryLoopRepeat.end() ? nullptr : &it->second;
        }

        double entryTargetTime (int64_t index) const
        {
            const auto* entry = entryAt (index);
            if (entry == nullptr || entry->isClick)
                return -1.0;
            const auto* section = findSection (entry->sectionId);
            return section == nullptr ? -1.0 : section->startTime + entry->trimStart;
        }

        void clearSeek()
        {
            auto& nd = d.newDispatch;
            if (! nd.activeBoundarySeek)
                return;
            nd.activeBoundarySeek.reset();
            nd.pendingSongMapIndex.reset();
            d.setBoundarySeek.push_back ({ false, 0.0, 0.0 });
        }

        void movePendingEntry (int32_t index)
        {
            auto& nd = d.newDispatch;
            if (nd.activeBoundarySeek && nd.pendingSongMapIndex && *nd.pendingSongMapIndex != index)
            {
                nd.activeBoundarySeek.reset();
                d.setBoundarySeek.push_back ({ false, 0.0, 0.0 });
            }
            nd.pendingSongMapIndex = index;
        }

        void armBoundarySeek (double trigger, double target)
        {
            auto& seek = d.newDispatch.activeBoundarySeek;
            if (seek && seek->triggerTime == trigger && seek->targetPosition == target)
                return;
            seek = ArmedBoundarySeek { trigger, target };
            d.setBoundarySeek.push_back ({ true, trigger, target });
        }

        void clearLoop()
        {
            auto& nd = d.newDispatch;
            if (! nd.activeLoopRegion)
                return;
            d.setLoopRegion = LoopRegionCommand { false, 0.0, 0.0 };
            nd.activeLoopRegion.reset();
            nd.loopRegionIsOneShot = false;
        }

        // Arms the loop region unless it is armed already; true when it was armed now.
        bool armLoopRegion (double start, double end)
        {
            auto& r = d.newDispatch.activeLoopRegion;
            if (r && r->start == start && r->end == end)
                return false;
            d.setLoopRegion = LoopRegionCommand { true, start, end };
            r = LoopRegion { start, end };
            return true;
        }

        void run()
        {
            auto& nd = d.newDispatch;

            if (! s.isPlaying || ! s.hasCurrentSong)
                return;

            const int64_t index = s.songMapIndex;
            const bool songMapMode = ! s.entries.empty() && index >= 0 && index < static_cast<int64_t> (s.entries.size())
                                     && ! s.editModeIsSections;
            const SongMapEntry* current = songMapMode ? entryAt (index) : nullptr;

            if (current != nullptr && current->isClick)
            {
                const auto* flags = loopRepeatFor (current->id);
                const bool rep = flags != nullptr && flags->isRepeating;
                const auto& active = nd.activeClickRepeat;
                if (current->clickMode == "fixed" && (! active || active->entryId != current->id || active->value != rep))
                {
                    d.setClickSectionRepeat = ClickSectionRepeatCommand { current->id, rep };
                    nd.activeClickRepeat = ClickRepeatState { current->id, rep };
                }
                clearSeek();
                d.priorityTag = "P0-CLICK";
                return;
            }

            nd.activeClickRepeat.reset();

            const auto* section = findSection (songMapMode ? current->sectionId : s.currentSectionId);
            if (section == nullptr)
                return;

            const double trimStart = songMapMode ? current->trimStart : 0.0;
            const double trimEnd = songMapMode ? current->trimEnd : 0.0;
            const double regionStart = section->startTime + trimStart;
            const double regionEnd = (section->startTime + section->duration) - trimEnd;

            bool looping = s.currentSectionIsLooping;
            bool repeating = s.currentSectionIsRepeating;
            if (songMapMode)
            {
                const auto* flags = current->id.empty() ? nullptr : loopRepeatFor (current->id);
                looping = flags != nullptr && flags->isLooping;
                repeating = flags != nullptr && flags->isRepeating;
            }
            const bool jumpQueued = ! s.nextSectionId.empty() || s.nextEntryIndex.has_value();

            if ((looping || s.isInfiniteLoop) && ! jumpQueued && ! repeating)
            {
                if (armLoopRegion (regionStart, regionEnd))
                    nd.loopRegionIsOneShot = false;
                clearSeek();
                d.priorityTag = "P1-LOOP";
                return;
            }

            if (! repeating)
                clearLoop();

            if (jumpQueued)
            {
                std::optional<double> target;
                if (songMapMode && s.nextEntryIndex)
                {
                    if (const auto* next = entryAt (*s.nextEntryIndex))
                    {
                        if (next->isClick)
                        {
                            const double t = entryTargetTime (static_cast<int64_t> (*s.nextEntryIndex) + 1);
                            if (t >= 0.0)
                                target = t;
                        }
                        else if (const auto* nextSection = findSection (next->sectionId))
                            target = nextSection->startTime + next->trimStart;
                    }
                }
                else if (const auto* nextSection = findSection (s.nextSectionId))
                    target = nextSection->startTime;

                if (! target)
                {
                    d.priorityTag = "P2-JUMP-NO-TARGET";
                    return;
                }

                if (songMapMode)
                {
                    std::optional<int32_t> pending = s.nextEntryIndex;
                    if (! pending)
                    {
                        const auto count = static_cast<int64_t> (s.entries.size());
                        for (int64_t i = index + 1; i < count && ! pending; ++i)
                            if (s.entries[static_cast<std::size_t> (i)].sectionId == s.nextSectionId)
                                pending = static_cast<int32_t> (i);
                        for (int64_t i = 0; i < count && ! pending; ++i)
                            if (s.entries[static_cast<std::size_t> (i)].sectionId == s.nextSectionId)
                                pending = static_cast<int32_t> (i);
                    }
                    if (pending)
                        movePendingEntry (*pending);
                }

                armBoundarySeek (regionEnd, *target);
                d.priorityTag = "P2-JUMP";
                return;
            }

            if (repeating)
            {
                armLoopRegion (regionStart, regionEnd);
                nd.loopRegionIsOneShot = true;
                clearSeek();
                d.priorityTag = "P3-REPEAT";
                return;
            }

            if (! songMapMode)
            {
                clearSeek();
                d.priorityTag = "FALL-DEACTIVATE";
                return;
            }

            if (const auto* next = entryAt (index + 1); next != nullptr && next->isClick)
            {
                movePendingEntry (static_cast<int32_t> (index + 1));
                armBoundarySeek (regionEnd, regionEnd);
                d.priorityTag = "P3.5-CLICK-ENTRY-TRIGGER";
                return;
            }

            for (const auto& t : s.transitions)
            {
                if (t.fromEntryIndex == index && t.kind == SongMapTransitionKind::jump)
                {
                    movePendingEntry (t.toEntryIndex);
                    armBoundarySeek (t.triggerTime, t.targetPosition);
                    d.priorityTag = "P4-SONGMAP-JUMP";
                    return;
                }
            }

            clearSeek();
            d.priorityTag = "FALL-DEACTIVATE";
        }
    };
} // namespace

BoundaryDecision decideBoundary (const BoundarySnapshot& snapshot, const BoundaryDispatchState& previous)
{
    return BoundaryRules (snapshot, previous).decide();
}

Json decideBoundaryAction (const Json& payload)
{
    const auto decision = decideBoundary (readBoundarySnapshot (memberOrNull (payload, "snapshot")),
                                          readBoundaryDispatchState (memberOrNull (payload, "dispatch")));
    return writeBoundaryDecision (decision);
}
} // namespace quorvelle::core
