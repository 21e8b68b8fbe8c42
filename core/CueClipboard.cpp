#include "core/CueClipboard.h"

#include "core/TimingMaps.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace quorvelle::core
{
namespace
{
    // Absent or null gives none; any other type raises the JSON library's type error.
    std::optional<int32_t> readVelocity (const Json& v)
    {
        const auto* m = findMember (v, "velocity");
        if (m == nullptr || m->is_null())
            return std::nullopt;
        return toInt32 (*m);
    }

    // The message fields a cue and a clipboard entry share, written and copied alike.
    template <typename Message>
    void writeMessageFields (Json& out, const Message& m)
    {
        out["busId"] = m.busId;
        out["messageType"] = midiMessageTypeName (m.messageType);
        out["value"] = m.value;
        if (m.velocity)
            out["velocity"] = *m.velocity;
        if (m.name)
            out["name"] = *m.name;
        if (m.description)
            out["description"] = *m.description;
    }

    template <typename To, typename From>
    void copyMessageFields (To& to, const From& from)
    {
        to.busId = from.busId;
        to.messageType = from.messageType;
        to.value = from.value;
        to.velocity = from.velocity;
        to.name = from.name;
        to.description = from.description;
    }

    std::vector<double> readBeatTimes (const Json& json)
    {
        std::vector<double> times;
        for (const auto& beat : readBeatmap (json))
            times.push_back (beat.time);
        return times;
    }

    bool inSection (double time, const CoreSection& section)
    {
        return section.startTime <= time && time < section.startTime + section.duration;
    }

    std::set<std::string> busesOf (const CueClipboard& clipboard)
    {
        std::set<std::string> buses;
        for (const auto& entry : clipboard.entries)
            buses.insert (entry.busId);
        return buses;
    }

    // A cue a replacing paste removes: inside the destination, on one of the clipboard's buses.
    bool isReplacedByPaste (const MidiCue& cue, const CoreSection& destination, const std::set<std::string>& buses)
    {
        return inSection (cue.time, destination) && buses.count (cue.busId) != 0;
    }

    bool passesBusFilter (const MidiCue& cue, const std::optional<std::string>& busFilter)
    {
        return ! busFilter || cue.busId == *busFilter;
    }

    Json writeCuePastePlan (const CuePastePlan& plan)
    {
        Json out = Json::object();
        out["toInsert"] = writeMidiCueList (plan.toInsert);
        out["skipped"] = plan.skipped;
        out["outOfRange"] = plan.outOfRange;
        out["toDelete"] = Json::array();
        for (const auto& id : plan.toDelete)
            out["toDelete"].push_back (id);
        return out;
    }

    constexpr double kSameTimeSeconds = 0.001;
} // namespace

MidiMessageType parseMidiMessageType (const std::string& text)
{
    if (text == "NOTE_ON")
        return MidiMessageType::noteOn;
    if (text == "NOTE_OFF")
        return MidiMessageType::noteOff;
    if (text == "CC")
        return MidiMessageType::cc;
    return MidiMessageType::pc;
}

const char* midiMessageTypeName (MidiMessageType type)
{
    switch (type)
    {
        case MidiMessageType::noteOn: return "NOTE_ON";
        case MidiMessageType::cc: return "CC";
        case MidiMessageType::pc: return "PC";
        case MidiMessageType::noteOff: return "NOTE_OFF";
    }
    return "PC";
}

MidiCue readMidiCue (const Json& json)
{
    MidiCue cue;
    cue.id = getString (json, "id", {});
    cue.time = getDouble (json, "time", 0.0);
    cue.busId = getString (json, "busId", {});
    cue.messageType = parseMidiMessageType (getString (json, "messageType", "PC"));
    cue.value = getInt (json, "value", 0);
    cue.velocity = readVelocity (json);
    cue.name = getOptionalString (json, "name");
    cue.description = getOptionalString (json, "description");
    return cue;
}

Json writeMidiCue (const MidiCue& cue)
{
    Json out = Json::object();
    out["id"] = cue.id;
    out["time"] = cue.time;
    writeMessageFields (out, cue);
    return out;
}

std::vector<MidiCue> readMidiCueList (const Json& json)
{
    return readArray (json, readMidiCue);
}

Json writeMidiCueList (const std::vector<MidiCue>& cues)
{
    Json out = Json::array();
    for (const auto& cue : cues)
        out.push_back (writeMidiCue (cue));
    return out;
}

CoreSection readCoreSection (const Json& json)
{
    return { getString (json, "id", {}), getString (json, "name", {}), getDouble (json, "startTime", 0.0),
             getDouble (json, "duration", 0.0) };
}

ClipboardEntry readClipboardEntry (const Json& json)
{
    ClipboardEntry entry;
    entry.beatOffset = getDouble (json, "beatOffset", 0.0);
    entry.name = getOptionalString (json, "name");
    entry.busId = getString (json, "busId", {});
    entry.messageType = parseMidiMessageType (getString (json, "messageType", "PC"));
    entry.value = getInt (json, "value", 0);
    entry.velocity = readVelocity (json);
    entry.description = getOptionalString (json, "description");
    return entry;
}

Json writeClipboardEntry (const ClipboardEntry& entry)
{
    Json out = Json::object();
    out["beatOffset"] = entry.beatOffset;
    writeMessageFields (out, entry);
    return out;
}

CueClipboard readCueClipboard (const Json& json)
{
    CueClipboard clipboard;
    clipboard.count = getInt (json, "count", 0);
    clipboard.sourceSectionName = getString (json, "sourceSectionName", {});
    clipboard.sourceBusFilter = getOptionalString (json, "sourceBusFilter");
    clipboard.copiedAt = getString (json, "copiedAt", {});
    clipboard.entries = readArray (memberOrNull (json, "entries"), readClipboardEntry);
    return clipboard;
}

Json writeCueClipboard (const CueClipboard& clipboard)
{
    Json out = Json::object();
    out["count"] = static_cast<int32_t> (clipboard.entries.size());
    out["sourceSectionName"] = clipboard.sourceSectionName;
    out["sourceBusFilter"] = clipboard.sourceBusFilter ? Json (*clipboard.sourceBusFilter) : Json (nullptr);
    out["copiedAt"] = "";
    out["entries"] = Json::array();
    for (const auto& entry : clipboard.entries)
        out["entries"].push_back (writeClipboardEntry (entry));
    return out;
}

std::optional<double> timeToBeatIndex (double t, const std::vector<double>& beats)
{
    const auto n = beats.size();
    if (n == 0)
        return std::nullopt;
    if (n == 1)
        return 0.0;

    // Last index k with beats[k] <= t, or none.
    std::ptrdiff_t lo = 0;
    std::ptrdiff_t hi = static_cast<std::ptrdiff_t> (n) - 1;
    std::ptrdiff_t k = -1;
    while (lo <= hi)
    {
        const auto mid = lo + (hi - lo) / 2;
        if (t >= beats[static_cast<std::size_t> (mid)])
        {
            k = mid;
            lo = mid + 1;
        }
        else
        {
            hi = mid - 1;
        }
    }

    if (k < 0)
    {
        const double d = beats[1] - beats[0];
        return d > 0.0 ? (t - beats[0]) / d : 0.0;
    }
    const auto ku = static_cast<std::size_t> (k);
    if (ku == n - 1)
    {
        const double d = beats[n - 1] - beats[n - 2];
        return d > 0.0 ? static_cast<double> (n - 1) + (t - beats[n - 1]) / d : static_cast<double> (n - 1);
    }
    const double d = beats[ku + 1] - beats[ku];
    return d > 0.0 ? static_cast<double> (ku) + (t - beats[ku]) / d : static_cast<double> (ku);
}

std::optional<double> beatIndexToTime (double x, const std::vector<double>& beats)
{
    const auto n = beats.size();
    if (n == 0)
        return std::nullopt;
    if (n == 1)
        return beats[0];

    // Compare as floating values first, so an index beyond any integer never converts.
    const double floorX = std::floor (x);
    if (! (floorX >= 0.0))
        return beats[0] + x * (beats[1] - beats[0]);
    if (floorX >= static_cast<double> (n - 1))
        return beats[n - 1] + (x - static_cast<double> (n - 1)) * (beats[n - 1] - beats[n - 2]);

    const auto k = static_cast<std::size_t> (floorX);
    return beats[k] + (x - floorX) * (beats[k + 1] - beats[k]);
}

std::vector<MidiCue> filterCuesInSection (const std::vector<MidiCue>& cues, const CoreSection& section,
                                          const std::optional<std::string>& busFilter)
{
    std::vector<MidiCue> kept;
    for (const auto& cue : cues)
        if (inSection (cue.time, section) && passesBusFilter (cue, busFilter))
            kept.push_back (cue);
    return kept;
}

std::vector<std::string> collectCueIdsInSection (const std::vector<MidiCue>& cues, const CoreSection& section,
                                                 const std::optional<std::string>& busFilter)
{
    std::vector<std::string> ids;
    for (const auto& cue : cues)
        if (inSection (cue.time, section) && passesBusFilter (cue, busFilter))
            ids.push_back (cue.id);
    return ids;
}

CueClipboard buildCueClipboard (const std::vector<MidiCue>& cues, const CoreSection& section,
                                const std::optional<std::string>& busFilter, const std::vector<double>& beatTimes)
{
    CueClipboard clipboard;
    const auto sectionBeat = timeToBeatIndex (section.startTime, beatTimes);
    for (const auto& cue : cues)
    {
        const auto cueBeat = timeToBeatIndex (cue.time, beatTimes);
        ClipboardEntry entry;
        entry.beatOffset = (sectionBeat && cueBeat) ? *cueBeat - *sectionBeat : cue.time - section.startTime;
        copyMessageFields (entry, cue);
        clipboard.entries.push_back (std::move (entry));
    }
    clipboard.count = static_cast<int32_t> (clipboard.entries.size());
    clipboard.sourceSectionName = section.name;
    clipboard.sourceBusFilter = busFilter;
    return clipboard;
}

MidiCue makePastedCue (const ClipboardEntry& entry, const CoreSection& destination, const std::vector<double>& beatTimes,
                       const std::string& id)
{
    MidiCue cue;
    cue.id = id;
    const auto startBeat = timeToBeatIndex (destination.startTime, beatTimes);
    cue.time = startBeat ? *beatIndexToTime (*startBeat + entry.beatOffset, beatTimes)
                         : destination.startTime + entry.beatOffset;
    copyMessageFields (cue, entry);
    return cue;
}

CuePastePlan computeCuePaste (const CueClipboard& clipboard, const CoreSection& destination,
                              const std::vector<MidiCue>& existing, const std::vector<double>& beatTimes, bool replace,
                              const std::vector<std::string>& generatedIds)
{
    CuePastePlan plan;
    std::set<std::string> deleted;
    if (replace)
        for (const auto buses = busesOf (clipboard); const auto& cue : existing)
            if (isReplacedByPaste (cue, destination, buses))
            {
                plan.toDelete.push_back (cue.id);
                deleted.insert (cue.id);
            }

    // Times already taken per bus: the kept cues, then every inserted one. Looked up by range,
    // so long lists do not cost entries x cues comparisons.
    std::map<std::string, std::multiset<double>> taken;
    for (const auto& cue : existing)
        if (deleted.count (cue.id) == 0 && ! std::isnan (cue.time))
            taken[cue.busId].insert (cue.time);

    auto clashes = [&taken] (const MidiCue& cue) {
        const auto bus = taken.find (cue.busId);
        if (bus == taken.end() || std::isnan (cue.time)) // NaN is never within 0.001 s of anything
            return false;
        // Widened window, then the exact test, so rounding at the edge decides as |a - b| does.
        for (auto it = bus->second.lower_bound (cue.time - 2 * kSameTimeSeconds);
             it != bus->second.end() && *it <= cue.time + 2 * kSameTimeSeconds; ++it)
            if (std::abs (*it - cue.time) < kSameTimeSeconds)
                return true;
        return false;
    };

    for (std::size_t i = 0; i < clipboard.entries.size(); ++i)
    {
        const auto& id = i < generatedIds.size() ? generatedIds[i] : std::string {};
        auto cue = makePastedCue (clipboard.entries[i], destination, beatTimes, id);

        if (cue.time < destination.startTime || cue.time >= destination.startTime + destination.duration + kSameTimeSeconds)
        {
            ++plan.outOfRange;
            continue;
        }
        if (clashes (cue))
        {
            ++plan.skipped;
            continue;
        }
        if (! std::isnan (cue.time))
            taken[cue.busId].insert (cue.time);
        plan.toInsert.push_back (std::move (cue));
    }
    return plan;
}

bool hasConflictingCues (const CueClipboard& clipboard, const CoreSection& destination, const std::vector<MidiCue>& existing)
{
    const auto buses = busesOf (clipboard);
    return std::any_of (existing.begin(), existing.end(),
                        [&] (const MidiCue& cue) { return isReplacedByPaste (cue, destination, buses); });
}

Json extractCuesInSection (const Json& payload)
{
    const auto cues = readMidiCueList (memberOrNull (payload, "cues"));
    const auto section = readCoreSection (memberOrNull (payload, "section"));
    const auto busFilter = getOptionalString (payload, "busFilter");
    return writeMidiCueList (filterCuesInSection (cues, section, busFilter));
}

Json buildClipboardSnapshot (const Json& payload)
{
    const auto cues = readMidiCueList (memberOrNull (payload, "cues"));
    const auto section = readCoreSection (memberOrNull (payload, "section"));
    const auto busFilter = getOptionalString (payload, "busFilter");
    const auto beats = readBeatTimes (memberOrNull (payload, "beatmap"));
    return writeCueClipboard (buildCueClipboard (cues, section, busFilter, beats));
}

Json computePasteForSection (const Json& payload)
{
    const auto clipboard = readCueClipboard (memberOrNull (payload, "clipboard"));
    const auto destination = readCoreSection (memberOrNull (payload, "destSection"));
    const auto existing = readMidiCueList (memberOrNull (payload, "existingCues"));
    const auto beats = readBeatTimes (memberOrNull (payload, "beatmap"));
    const bool replace = getString (payload, "mode", "append") == "replace";
    const auto ids = readStringList (memberOrNull (payload, "generatedIds"));
    return writeCuePastePlan (computeCuePaste (clipboard, destination, existing, beats, replace, ids));
}

Json destinationHasExistingCues (const Json& payload)
{
    const auto clipboard = readCueClipboard (memberOrNull (payload, "clipboard"));
    const auto destination = readCoreSection (memberOrNull (payload, "destSection"));
    const auto existing = readMidiCueList (memberOrNull (payload, "existingCues"));
    return hasConflictingCues (clipboard, destination, existing);
}

Json computeDeleteForSection (const Json& payload)
{
    const auto cues = readMidiCueList (memberOrNull (payload, "cues"));
    const auto section = readCoreSection (memberOrNull (payload, "section"));
    const auto busFilter = getOptionalString (payload, "busFilter");
    Json ids = Json::array();
    for (const auto& id : collectCueIdsInSection (cues, section, busFilter))
        ids.push_back (id);
    return ids;
}
} // namespace quorvelle::core
