// The cue scheduler's decisions as a table: which section a block announces, under which name and
// path, what an override does, and where the cursor ends.

#include "audio/graph/CueSchedule.h"

#include <gtest/gtest.h>

using namespace quorvelle;

namespace
{
std::vector<CueSection> threeSections()
{
    // Intro at 0, Coro at 4 s (triggers a 2 s bar early), Puente at 8 s with its own trigger at 7.5 s.
    return { { "Intro", "", 0.0, 0.0 }, { "Coro", "", 4.0, 0.0 }, { juce::String::fromUTF8 ("Pu\xc3\xa9nte"), "", 8.0, 7.5 } };
}
} // namespace

TEST (CueSchedule, DecisionsFollowTheBlockTheCursorAndTheGuideState)
{
    const auto sections = threeSections();
    const std::vector<SectionOverride> overrides { { 4.0, "Coro", false, true }, { 8.0, "Puente", true, false } };
    const std::vector<SectionOverride> none;
    using Action = CueDecision::Action;

    const struct
    {
        const char* what;
        double start, end;
        int cursor;
        const char* queued;
        bool looping, repeating, withOverrides;
        Action action;
        int section, nextCursor;
        CuePath path;
        const char* name;
        bool overrideHit;
    } cases[] = {
        { "before any trigger: wait", 0.5, 1.0, 1, "", false, false, false, Action::wait, -1, 1, CuePath::normal, "", false },
        { "Coro's trigger (a bar early) in the block", 1.99, 2.01, 1, "", false, false, false, Action::speak, 1, 2, CuePath::normal, "Coro", false },
        { "the block end is exclusive", 1.9, 2.0, 1, "", false, false, false, Action::wait, -1, 1, CuePath::normal, "", false },
        { "an own trigger time wins", 7.49, 7.51, 2, "", false, false, false, Action::speak, 2, 3, CuePath::normal, "Pu\xc3\xa9nte", false },
        { "passed sections move the cursor first", 7.49, 7.51, 0, "", false, false, false, Action::speak, 2, 3, CuePath::normal, "Pu\xc3\xa9nte", false },
        { "past every section: the cursor runs out", 9.0, 9.1, 1, "", false, false, false, Action::wait, -1, 3, CuePath::normal, "", false },
        { "a queued jump names its target", 1.99, 2.01, 1, "Final", false, false, false, Action::speak, 1, 2, CuePath::jump, "Final", false },
        { "looping names the section just passed", 1.99, 2.01, 1, "", true, false, false, Action::speak, 1, 2, CuePath::loop, "Intro", false },
        { "repeating likewise", 1.99, 2.01, 1, "", false, true, false, Action::speak, 1, 2, CuePath::repeat, "Intro", false },
        { "looping before any section: no name change", -2.01, -1.99, 0, "", true, false, false, Action::speak, 0, 1, CuePath::unnamed, "Intro", false },
        { "an override at the section's start is found", 1.99, 2.01, 1, "", false, false, true, Action::speak, 1, 2, CuePath::normal, "Coro", true },
        { "a skipping override skips", 7.49, 7.51, 2, "", false, false, true, Action::skip, 2, 3, CuePath::normal, "Pu\xc3\xa9nte", true },
        { "overrides hold on the normal path only", 7.49, 7.51, 2, "", true, false, true, Action::speak, 2, 3, CuePath::loop, "Coro", false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const CueScheduleInput input { sections, c.withOverrides ? overrides : none, 2.0, c.start, c.end, c.queued, c.looping, c.repeating };
        const auto decision = decideCue (input, c.cursor);
        EXPECT_EQ (decision.action, c.action);
        EXPECT_EQ (decision.cursor, c.nextCursor);
        if (c.action == Action::wait)
            continue;
        EXPECT_EQ (decision.section, c.section);
        EXPECT_EQ (decision.path, c.path);
        EXPECT_STREQ (decision.name, c.name);
        EXPECT_EQ (decision.override != nullptr, c.overrideHit);
        EXPECT_DOUBLE_EQ (decision.trigger, effectiveCueTrigger (sections[(size_t) c.section], 2.0));
    }
}
