#pragma once

#include "audio/graph/SongTiming.h"

#include <cstdint>
#include <vector>

namespace quorvelle
{
// A per-section setting of the spoken guide, keyed by the section's start time.
struct SectionOverride
{
    double sectionStartTime = 0.0;
    juce::String sectionName;
    bool skip = false;
    bool forceFullBar = false;
};

// Which announcement a block holds: a pure function of the song's sections, the guide state and the
// block's song-time span, so that the scheduling rules are tested as a table. No allocation.
enum class CuePath : uint8_t
{
    normal,  // the next section by name
    jump,    // the queued jump target's name
    loop,    // looping: the section the cursor has just passed
    repeat,  // repeating: likewise
    unnamed  // looping or repeating before any section was passed: the next section, no path word
};

const char* cuePathWord (CuePath path) noexcept; // "NORMAL", "JUMP", "LOOP", "REPEAT", ""

struct CueScheduleInput
{
    const std::vector<CueSection>& sections; // by start time
    const std::vector<SectionOverride>& overrides;
    double barLength = 0.0;      // seconds of song time; a section without trigger time triggers a bar early
    double blockStart = 0.0;     // song time span of the block
    double blockEnd = 0.0;
    const char* queuedName = ""; // the queued jump target ("" none)
    bool looping = false, repeating = false;
};

struct CueDecision
{
    enum class Action : uint8_t
    {
        wait,  // no trigger in this block
        speak, // announce `name` for `section`
        skip   // the section's override skips its announcement; decide again from `cursor`
    };

    Action action = Action::wait;
    int section = -1; // the section whose trigger lies in the block
    int cursor = 0;   // the section cursor once this decision is taken
    CuePath path = CuePath::normal;
    const char* name = "";                     // what to speak (points into the input)
    const SectionOverride* override = nullptr; // normal path: the override at the section's start
    double trigger = 0.0;                      // the section's effective trigger time
};

// A section's trigger: its own trigger time when above 0, else one bar before its start.
double effectiveCueTrigger (const CueSection& section, double barLength) noexcept;

// The first decision from `cursor` on: sections whose trigger is not in the block and whose start the
// block has passed advance the cursor; the first section whose trigger lies in the block is spoken
// (or skipped by its override, normal path only); a section not yet reached makes the block wait.
CueDecision decideCue (const CueScheduleInput& input, int cursor) noexcept;
} // namespace quorvelle
