#include "audio/graph/CueSchedule.h"

#include <cmath>

namespace quorvelle
{
const char* cuePathWord (CuePath path) noexcept
{
    switch (path)
    {
        case CuePath::normal: return "NORMAL";
        case CuePath::jump: return "JUMP";
        case CuePath::loop: return "LOOP";
        case CuePath::repeat: return "REPEAT";
        case CuePath::unnamed: break;
    }
    return "";
}

double effectiveCueTrigger (const CueSection& section, double barLength) noexcept
{
    return section.triggerTime > 0.0 ? section.triggerTime : section.startTime - barLength;
}

CueDecision decideCue (const CueScheduleInput& input, int cursor) noexcept
{
    CueDecision decision;
    decision.cursor = cursor;
    const auto count = (int) input.sections.size();
    for (int i = cursor; i < count; ++i)
    {
        const auto& next = input.sections[(size_t) i];
        const auto trigger = effectiveCueTrigger (next, input.barLength);
        if (! (input.blockStart <= trigger && trigger < input.blockEnd))
        {
            if (input.blockStart <= next.startTime)
                return decision; // wait, with the sections passed so far behind the cursor
            decision.cursor = i + 1;
            continue;
        }

        decision.section = i;
        decision.trigger = trigger;
        decision.name = next.name.toRawUTF8();
        if (input.queuedName != nullptr && input.queuedName[0] != 0)
        {
            decision.path = CuePath::jump;
            decision.name = input.queuedName;
        }
        else if (input.looping || input.repeating)
        {
            if (decision.cursor >= 1)
            {
                decision.path = input.looping ? CuePath::loop : CuePath::repeat;
                decision.name = input.sections[(size_t) decision.cursor - 1].name.toRawUTF8();
            }
            else
            {
                decision.path = CuePath::unnamed;
            }
        }

        if (decision.path == CuePath::normal)
            for (const auto& o : input.overrides)
                if (std::abs (o.sectionStartTime - next.startTime) <= 0.001)
                {
                    decision.override = &o;
                    break;
                }

        decision.action = decision.override != nullptr && decision.override->skip ? CueDecision::Action::skip : CueDecision::Action::speak;
        decision.cursor = i + 1;
        return decision;
    }
    return decision;
}
} // namespace quorvelle
