#include "core/Automation.h"

#include <algorithm>
#include <cmath>

namespace quorvelle::core
{
AutomationValue readAutomationValue (const Json& json)
{
    if (json.is_boolean())
        return json.get<bool>();
    if (json.is_string())
        return json.get<std::string>();
    if (json.is_number())
        return json.get<double>();
    return 0.0;
}

std::vector<AutomationCue> readAutomationCues (const Json& json)
{
    return readArray (json, [] (const Json& element) {
        AutomationCue cue;
        cue.id = getString (element, "id");
        cue.time = getDouble (element, "time", 0.0);
        cue.transitionBeats = getDouble (element, "transitionBeats", 0.0);
        cue.actions = readArray (memberOrNull (element, "actions"), [] (const Json& a) {
            const auto* value = findMember (a, "value");
            return AutomationAction { getString (a, "targetId"), getString (a, "control"),
                                      value != nullptr ? readAutomationValue (*value) : AutomationValue (0.0) };
        });
        return cue;
    });
}

std::vector<AutomationOverride> readAutomationOverrides (const Json& json)
{
    return readArray (json, [] (const Json& element) {
        return AutomationOverride { getString (element, "targetId"), getString (element, "control") };
    });
}

AutomationSongMap readAutomationSongMap (const Json& json)
{
    AutomationSongMap map;
    if (! json.is_object())
        return map;

    map.active = getBool (json, "active", false);
    map.index = getInt (json, "index", -1);
    map.entries = readArray (memberOrNull (json, "entries"), [] (const Json& e) {
        return AutomationSongMapEntry { getString (e, "sectionId"), getDouble (e, "trimStart", 0.0), getDouble (e, "trimEnd", 0.0) };
    });
    map.sections = readArray (memberOrNull (json, "sections"), [] (const Json& s) {
        return AutomationSection { getString (s, "id"), getDouble (s, "startTime", 0.0), getDouble (s, "duration", 0.0) };
    });
    return map;
}

AutomationState readAutomationBaseState (const Json& json)
{
    AutomationState state;
    if (! json.is_object())
        return state;

    for (const auto& [key, value] : json.items())
        state.emplace (key, readAutomationValue (value));
    return state;
}

std::string automationKey (const std::string& targetId, const std::string& control)
{
    std::string key;
    key.reserve (targetId.size() + 1 + control.size());
    key.append (targetId).append (1, ':').append (control);
    return key;
}

double defaultAutomationValue (const std::string& control)
{
    if (control == "hpf")
        return 20.0;
    if (control == "lpf")
        return 20000.0;
    return 0.0;
}

namespace
{
    bool isRampControl (const std::string& control)
    {
        return control == "volume" || control == "hpf" || control == "lpf";
    }

    void setState (AutomationState& state, std::string key, AutomationValue value)
    {
        if (auto it = state.find (key); it != state.end())
            it->second = std::move (value);
        else
            state.emplace (std::move (key), std::move (value));
    }
} // namespace

void applyAutomationCue (const AutomationCue& cue, double now, double secondsPerBeat, const AutomationState& baseState,
                         AutomationState& state, AutomationNumbers& numbers)
{
    for (const auto& action : cue.actions)
    {
        auto key = automationKey (action.targetId, action.control);
        const auto* number = std::get_if<double> (&action.value);

        if (isRampControl (action.control) && cue.transitionBeats > 0.0)
        {
            const double rampEnd = cue.time + cue.transitionBeats * secondsPerBeat;

            double from = 0.0;
            if (auto it = numbers.find (key); it != numbers.end())
                from = it->second;
            else if (auto b = baseState.find (key); b != baseState.end() && std::holds_alternative<double> (b->second))
                from = std::get<double> (b->second);
            else
                from = defaultAutomationValue (action.control);

            const double to = number != nullptr ? *number : from;

            if (now >= rampEnd)
            {
                numbers[key] = to;
                setState (state, std::move (key), action.value);
            }
            else
            {
                const double length = secondsPerBeat * cue.transitionBeats;
                double progress = length > 0.0 ? (now - cue.time) / length : 1.0;
                progress = std::clamp (progress, 0.0, 1.0);
                const double value = from + (to - from) * progress;
                numbers[key] = value;
                setState (state, std::move (key), value);
            }
        }
        else
        {
            if (number != nullptr)
                numbers[key] = *number;
            setState (state, std::move (key), action.value);
        }
    }
}

AutomationState evaluateAutomation (const std::vector<AutomationCue>& cues, double time, double bpm,
                                    const AutomationState& baseState, const std::vector<AutomationOverride>& overrides,
                                    const AutomationSongMap& songMap)
{
    if (bpm <= 0.0)
        return baseState;

    AutomationState state = baseState;
    AutomationNumbers numbers;
    numbers.reserve (baseState.size());
    for (const auto& [key, value] : baseState)
        if (const auto* n = std::get_if<double> (&value))
            numbers.emplace (key, *n);

    const double secondsPerBeat = 60.0 / bpm;

    if (songMap.active && ! songMap.entries.empty())
    {
        const auto lastIndex = static_cast<int64_t> (songMap.entries.size()) - 1;
        const auto last = std::clamp<int64_t> (songMap.index, 0, lastIndex);
        // Non-decreasing times, with no NaN anywhere (a NaN fails every <=).
        const bool inTimeOrder = std::adjacent_find (cues.begin(), cues.end(), [] (const AutomationCue& a, const AutomationCue& b)
                                                     { return ! (a.time <= b.time); }) == cues.end()
                                 && (cues.size() != 1 || ! std::isnan (cues.front().time));

        for (int64_t i = 0; i <= last; ++i)
        {
            const auto& entry = songMap.entries[static_cast<std::size_t> (i)];
            const auto section = std::find_if (songMap.sections.begin(), songMap.sections.end(),
                                               [&] (const AutomationSection& s) { return s.id == entry.sectionId; });
            if (section == songMap.sections.end())
                continue;

            const double windowStart = section->startTime + entry.trimStart;
            const double windowEnd = section->startTime + section->duration - entry.trimEnd;
            if (windowStart >= windowEnd)
                continue;

            const double horizon = i < last ? windowEnd : std::min (windowEnd, time);
            // In a list ordered by time the cues of the window are one run, in list order; any
            // other list is scanned whole.
            auto cue = inTimeOrder ? std::lower_bound (cues.begin(), cues.end(), windowStart,
                                                       [] (const AutomationCue& c, double t) { return c.time < t; })
                                   : cues.begin();
            for (; cue != cues.end(); ++cue)
            {
                if (inTimeOrder && cue->time > horizon)
                    break;
                if (windowStart <= cue->time && cue->time <= horizon)
                    applyAutomationCue (*cue, horizon, secondsPerBeat, baseState, state, numbers);
            }
        }
    }
    else
    {
        for (const auto& cue : cues)
        {
            if (cue.time > time)
                break;
            applyAutomationCue (cue, time, secondsPerBeat, baseState, state, numbers);
        }
    }

    for (const auto& o : overrides)
        if (auto it = state.find (automationKey (o.targetId, o.control)); it != state.end())
            state.erase (it);

    return state;
}

Json automationStateToJson (const AutomationState& state)
{
    Json out = Json::object();
    for (const auto& [key, value] : state)
    {
        if (const auto* n = std::get_if<double> (&value))
            out[key] = *n;
        else if (const auto* b = std::get_if<bool> (&value))
            out[key] = *b;
        else
            out[key] = std::get<std::string> (value);
    }
    return out;
}
} // namespace quorvelle::core
