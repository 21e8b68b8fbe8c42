#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvelle::core
{
struct CountInBeat
{
    std::string label; // "1", "2", ..., the bar label, or empty for a silent beat
    double time = 0.0; // seconds from the start of the count
    bool accent = false;
};

struct CountInPattern
{
    std::vector<CountInBeat> beats;
    double totalDuration = 0.0;
};

struct SubdivisionClick
{
    double time = 0.0;
    int32_t kind = 0; // 2 = eighth-note click, 3 = sixteenth-note click
};

// Upper bound on the beats one count builds (lead-in and counted bar together), and on the beats
// over which subdivision clicks are laid. A count longer than this is truncated: its beats stop
// at the bound while its total duration stays the full arithmetic length.
inline constexpr int32_t kMaxCountInBeats = 1024;

// One lead-in bar ("1", -, "2", -) and one counted bar (barLabel, "2", "3", ...).
CountInPattern buildCountInPattern (double bpm, int32_t numerator, int32_t denominator, const std::string& barLabel);

// totalDuration of buildCountInPattern, computed without building the beats.
double countInDuration (double bpm, int32_t numerator, int32_t denominator);

// Eighth- and sixteenth-note clicks between the main beats of a count of `duration` seconds.
std::vector<SubdivisionClick> buildSubdivisionClicks (double bpm, int32_t numerator, int32_t denominator,
                                                      const std::vector<double>& mainBeatTimes, double duration,
                                                      bool eighthOn, bool sixteenthOn);

bool isCountSectionName (std::string_view name);

// Trims C-locale white space from both ends and lowers ASCII A-Z; other bytes pass unchanged.
std::string trimAndLowerCase (std::string_view text);
} // namespace quorvelle::core

#include "core/CoreJson.h"

namespace quorvelle::core
{
// Core method: {"bpm", "numerator", "denominator"} -> countInDuration (defaults 0 bpm, 4/4).
Json calculateCountInDuration (const Json& payload);
} // namespace quorvelle::core
