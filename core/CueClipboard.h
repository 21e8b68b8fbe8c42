#pragma once

#include "core/CoreJson.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvelle::core
{
enum class MidiMessageType : int32_t
{
    noteOn = 0,
    cc = 1,
    pc = 2,
    noteOff = 3,
};

// "NOTE_ON", "NOTE_OFF" and "CC" exactly; every other text is PC.
MidiMessageType parseMidiMessageType (const std::string& text);
const char* midiMessageTypeName (MidiMessageType type);

struct MidiCue
{
    std::string id;
    double time = 0.0; // seconds from the song start
    std::string busId;
    MidiMessageType messageType = MidiMessageType::pc;
    int32_t value = 0;
    std::optional<int32_t> velocity;
    std::optional<std::string> name;
    std::optional<std::string> description;
};

struct CoreSection
{
    std::string id;
    std::string name;
    double startTime = 0.0;
    double duration = 0.0; // covers [startTime, startTime + duration)
};

struct ClipboardEntry
{
    double beatOffset = 0.0; // beats from the section start (seconds when there was no beat map)
    std::optional<std::string> name;
    std::string busId;
    MidiMessageType messageType = MidiMessageType::pc;
    int32_t value = 0;
    std::optional<int32_t> velocity;
    std::optional<std::string> description;
};

struct CueClipboard
{
    int32_t count = 0;
    std::string sourceSectionName;
    std::optional<std::string> sourceBusFilter;
    std::string copiedAt;
    std::vector<ClipboardEntry> entries;
};

struct CuePastePlan
{
    std::vector<MidiCue> toInsert;
    int32_t skipped = 0;
    int32_t outOfRange = 0;
    std::vector<std::string> toDelete;
};

MidiCue readMidiCue (const Json& json);
Json writeMidiCue (const MidiCue& cue);
std::vector<MidiCue> readMidiCueList (const Json& json);
Json writeMidiCueList (const std::vector<MidiCue>& cues);
CoreSection readCoreSection (const Json& json);
ClipboardEntry readClipboardEntry (const Json& json);
Json writeClipboardEntry (const ClipboardEntry& entry);
CueClipboard readCueClipboard (const Json& json);
Json writeCueClipboard (const CueClipboard& clipboard);

// Fractional position of a time on the beat times (extrapolated with the first or last
// interval); none for an empty list.
std::optional<double> timeToBeatIndex (double time, const std::vector<double>& beatTimes);
// Inverse of timeToBeatIndex.
std::optional<double> beatIndexToTime (double index, const std::vector<double>& beatTimes);

std::vector<MidiCue> filterCuesInSection (const std::vector<MidiCue>& cues, const CoreSection& section,
                                          const std::optional<std::string>& busFilter);
std::vector<std::string> collectCueIdsInSection (const std::vector<MidiCue>& cues, const CoreSection& section,
                                                 const std::optional<std::string>& busFilter);
CueClipboard buildCueClipboard (const std::vector<MidiCue>& cues, const CoreSection& section,
                                const std::optional<std::string>& busFilter, const std::vector<double>& beatTimes);
MidiCue makePastedCue (const ClipboardEntry& entry, const CoreSection& destination, const std::vector<double>& beatTimes,
                       const std::string& id);
CuePastePlan computeCuePaste (const CueClipboard& clipboard, const CoreSection& destination,
                              const std::vector<MidiCue>& existing, const std::vector<double>& beatTimes, bool replace,
                              const std::vector<std::string>& generatedIds);
bool hasConflictingCues (const CueClipboard& clipboard, const CoreSection& destination, const std::vector<MidiCue>& existing);

// Core methods.
Json extractCuesInSection (const Json& payload);
Json buildClipboardSnapshot (const Json& payload);
Json computePasteForSection (const Json& payload);
Json destinationHasExistingCues (const Json& payload);
Json computeDeleteForSection (const Json& payload);
} // namespace quorvelle::core
