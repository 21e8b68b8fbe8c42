#pragma once

#include "core/CoreJson.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

namespace quorvelle::core
{
// A number, a boolean or a text.
using AutomationValue = std::variant<double, bool, std::string>;

// Key -> value, ordered by key bytes ("targetId:control").
using AutomationState = std::map<std::string, AutomationValue, std::less<>>;

struct AutomationAction
{
    std::string targetId;
    std::string control;
    AutomationValue value = 0.0;
};

struct AutomationCue
{
    std::string id;
    double time = 0.0;
    double transitionBeats = 0.0;
    std::vector<AutomationAction> actions;
};

struct AutomationOverride
{
    std::string targetId;
    std::string control;
};

struct AutomationSongMapEntry
{
    std::string sectionId;
    double trimStart = 0.0;
    double trimEnd = 0.0;
};

struct AutomationSection
{
    std::string id;
    double startTime = 0.0;
    double duration = 0.0;
};

struct AutomationSongMap
{
    bool active = false;
    int32_t index = -1;
    std::vector<AutomationSongMapEntry> entries;
    std::vector<AutomationSection> sections;
};

std::vector<AutomationCue> readAutomationCues (const Json& json);
std::vector<AutomationOverride> readAutomationOverrides (const Json& json);
AutomationSongMap readAutomationSongMap (const Json& json);
AutomationState readAutomationBaseState (const Json& json);
AutomationValue readAutomationValue (const Json& json);

std::string automationKey (const std::string& targetId, const std::string& control);
// Start of a ramp on a key that has no number yet.
double defaultAutomationValue (const std::string& control);

// The last number of each key, as ramps start from it.
using AutomationNumbers = std::unordered_map<std::string, double>;

void applyAutomationCue (const AutomationCue& cue, double now, double secondsPerBeat, const AutomationState& baseState,
                         AutomationState& state, AutomationNumbers& numbers);

// The control values that hold at `time`; recomputed from the base state on every call.
AutomationState evaluateAutomation (const std::vector<AutomationCue>& cues, double time, double bpm,
                                    const AutomationState& baseState, const std::vector<AutomationOverride>& overrides,
                                    const AutomationSongMap& songMap);

// One member per key, in key order; numbers as floating-point JSON numbers.
Json automationStateToJson (const AutomationState& state);
} // namespace quorvelle::core
