#include "audio/transport/ClickSectionStateMachine.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace quorvelle
{
namespace
{
using Phase = ClickSectionPhase;
using Mode = ClickSectionMode;

ClickSectionStartArgs section (Mode mode, bool running, int32_t repeat = 0)
{
    return { "entry-7", mode, 96000, 24000, 96000, false, repeat, running };
}

// One step of a script and what its snapshot must show.
struct Step
{
    const char* what;
    std::function<ClickSectionSnapshot (ClickSectionStateMachine&)> run;
    Phase phase;
    bool cancelled;
    uint32_t repeat;
    bool loopFixed;
    bool running; // the machine's own flag after the step
};

struct Script
{
    const char* name;
    std::vector<Step> steps;
};

const auto start = [] (Mode mode, bool running, int32_t repeat = 0)
{ return [=] (ClickSectionStateMachine& m) { return m.start (section (mode, running, repeat)); }; };
const auto call = [] (ClickSectionSnapshot (ClickSectionStateMachine::*op)())
{ return [=] (ClickSectionStateMachine& m) { return (m.*op)(); }; };
const auto repeatTo = [] (uint32_t value) { return [=] (ClickSectionStateMachine& m) { return m.setRepeat (value); }; };
const auto loopFixedTo = [] (bool value) { return [=] (ClickSectionStateMachine& m) { return m.setLoopFixed (value); }; };
const auto peek = [] (ClickSectionStateMachine& m) { return m.peekSnapshot(); };

const auto cancel = call (&ClickSectionStateMachine::cancel);
const auto pause = call (&ClickSectionStateMachine::pause);
const auto resume = call (&ClickSectionStateMachine::resume);
const auto deactivate = call (&ClickSectionStateMachine::deactivateLoop);
const auto reactivate = call (&ClickSectionStateMachine::reactivateLoop);
const auto reset = call (&ClickSectionStateMachine::reset);
} // namespace

TEST (ClickSectionStateMachine, ScriptsOfOperations)
{
    const Script scripts[] = {
        { "a loop section leaves and re-enters its loop",
          { { "start loop", start (Mode::Loop, true), Phase::Playing, false, 0, false, true },
            { "deactivate", deactivate, Phase::ExitPending, false, 0, false, true },
            { "deactivate again", deactivate, Phase::ExitPending, false, 0, false, true },
            { "reactivate", reactivate, Phase::Playing, false, 0, false, true },
            { "reactivate again", reactivate, Phase::Playing, false, 0, false, true } } },
        { "a fixed section ignores the loop operations and takes repeat and fixed loop",
          { { "start fixed", start (Mode::Fixed, true), Phase::Playing, false, 0, false, true },
            { "deactivate", deactivate, Phase::Playing, false, 0, false, true },
            { "repeat", repeatTo (1), Phase::Playing, false, 1, false, true },
            { "fixed loop", loopFixedTo (true), Phase::Playing, false, 1, true, true } } },
        { "a loop section refuses repeat and fixed loop",
          { { "start loop", start (Mode::Loop, true), Phase::Playing, false, 0, false, true },
            { "repeat", repeatTo (1), Phase::Playing, false, 0, false, true },
            { "fixed loop", loopFixedTo (true), Phase::Playing, false, 0, false, true } } },
        { "a cancel while running raises its event once",
          { { "start", start (Mode::Fixed, true, 1), Phase::Playing, false, 1, false, true },
            { "cancel", cancel, Phase::Inactive, true, 0, false, true },
            { "peek", peek, Phase::Inactive, false, 0, false, true },
            { "resume", resume, Phase::Inactive, false, 0, false, true } } },
        { "a cancel while paused is held until resume",
          { { "start", start (Mode::Loop, true), Phase::Playing, false, 0, false, true },
            { "pause", pause, Phase::Playing, false, 0, false, false },
            { "cancel", cancel, Phase::Inactive, false, 0, false, false },
            { "pause again", pause, Phase::Inactive, false, 0, false, false },
            { "resume releases it", resume, Phase::Inactive, true, 0, false, false },
            { "resume again", resume, Phase::Inactive, false, 0, false, false } } },
        { "a cancel on an inactive machine does nothing",
          { { "cancel", cancel, Phase::Inactive, false, 0, false, false },
            { "resume", resume, Phase::Inactive, false, 0, false, false } } },
        { "a start drops a held cancel",
          { { "start paused", start (Mode::Fixed, false), Phase::Playing, false, 0, false, false },
            { "cancel", cancel, Phase::Inactive, false, 0, false, false },
            { "start again", start (Mode::Fixed, false), Phase::Playing, false, 0, false, false },
            { "resume", resume, Phase::Playing, false, 0, false, true } } },
        { "reset ends a section without an event",
          { { "start", start (Mode::Loop, true), Phase::Playing, false, 0, false, true },
            { "deactivate", deactivate, Phase::ExitPending, false, 0, false, true },
            { "reset", reset, Phase::Inactive, false, 0, false, false },
            { "resume", resume, Phase::Inactive, false, 0, false, false } } },
        { "pause and resume follow the transport only while a section is active",
          { { "resume idle", resume, Phase::Inactive, false, 0, false, false },
            { "start paused", start (Mode::Fixed, false), Phase::Playing, false, 0, false, false },
            { "resume", resume, Phase::Playing, false, 0, false, true },
            { "pause", pause, Phase::Playing, false, 0, false, false } } },
    };

    for (const auto& script : scripts)
    {
        ClickSectionStateMachine machine;
        for (const auto& step : script.steps)
        {
            SCOPED_TRACE (testing::Message() << script.name << ": " << step.what);
            const auto snapshot = step.run (machine);
            EXPECT_EQ (snapshot.phase, step.phase);
            EXPECT_EQ (snapshot.active, step.phase != Phase::Inactive);
            EXPECT_EQ (snapshot.cancelled, step.cancelled);
            EXPECT_EQ (snapshot.repeat, step.repeat);
            EXPECT_EQ (snapshot.loopFixed, step.loopFixed);
            EXPECT_EQ (snapshot.entryId, step.phase != Phase::Inactive ? "entry-7" : "");
            EXPECT_EQ (machine.isRunning(), step.running);
        }
    }
}

TEST (ClickSectionStateMachine, CancelKeepsTheModeAndResetClearsIt)
{
    ClickSectionStateMachine machine;
    machine.start (section (Mode::Loop, true));
    EXPECT_EQ (machine.getSamplesPerBar(), 24000u);

    machine.cancel();
    EXPECT_EQ (machine.getMode(), Mode::Loop);
    EXPECT_EQ (machine.getTotalSamples(), 0u);
    EXPECT_EQ (machine.getSamplesPerBar(), 0u);
    EXPECT_EQ (machine.getSamplesPerIteration(), 0u);
    EXPECT_TRUE (machine.isRunning());

    machine.reset();
    EXPECT_EQ (machine.getMode(), Mode::Fixed);
    EXPECT_FALSE (machine.isRunning());
    EXPECT_FALSE (machine.isCancelHeld());
}

TEST (ClickSectionStateMachine, OnlyLoopSelectsLoopMode)
{
    EXPECT_EQ (clickSectionModeFromString ("loop"), Mode::Loop);
    for (const char* text : { "fixed", "repeatOnce", "", "Loop" })
    {
        SCOPED_TRACE (text);
        EXPECT_EQ (clickSectionModeFromString (text), Mode::Fixed);
    }
}
} // namespace quorvelle
