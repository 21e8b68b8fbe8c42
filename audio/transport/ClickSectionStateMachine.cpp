#include "audio/transport/ClickSectionStateMachine.h"

namespace quorvelle
{
ClickSectionMode clickSectionModeFromString (const std::string& mode)
{
    return mode == "loop" ? ClickSectionMode::Loop : ClickSectionMode::Fixed;
}

ClickSectionSnapshot ClickSectionStateMachine::start (const ClickSectionStartArgs& args)
{
    phase = ClickSectionPhase::Playing;
    mode = args.mode;
    entryId = args.entryId;
    repeat = (uint32_t) args.repeat;
    totalSamples = args.totalSamples;
    samplesPerBar = args.samplesPerBar;
    samplesPerIteration = args.samplesPerIteration;
    loopFixed = args.loopFixed;
    running = args.running;
    sample = 0;
    loopIteration = 0;
    cancelHeld = false;
    // A new section starts without the events of the previous one.
    cancelled = false;
    reservedEvents = {};
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::cancel()
{
    if (phase != ClickSectionPhase::Inactive)
    {
        // Paused: the event waits for the transport to run again.
        if (running)
            cancelled = true;
        else
            cancelHeld = true;
    }
    clearSection();
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::deactivateLoop()
{
    if (mode == ClickSectionMode::Loop && phase == ClickSectionPhase::Playing)
        phase = ClickSectionPhase::ExitPending;
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::reactivateLoop()
{
    if (mode == ClickSectionMode::Loop && phase == ClickSectionPhase::ExitPending)
        phase = ClickSectionPhase::Playing;
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::pause()
{
    if (phase != ClickSectionPhase::Inactive)
        running = false;
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::resume()
{
    if (cancelHeld)
    {
        cancelHeld = false;
        cancelled = true;
    }
    if (phase != ClickSectionPhase::Inactive)
        running = true;
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::setRepeat (uint32_t value)
{
    if (mode != ClickSectionMode::Loop)
        repeat = value;
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::setLoopFixed (bool value)
{
    if (mode != ClickSectionMode::Loop)
        loopFixed = value;
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::reset()
{
    *this = ClickSectionStateMachine();
    return takeSnapshot();
}

ClickSectionSnapshot ClickSectionStateMachine::takeSnapshot()
{
    auto snapshot = peekSnapshot();
    snapshot.cancelled = cancelled;
    snapshot.reservedEvents = reservedEvents;
    cancelled = false;
    reservedEvents = {};
    return snapshot;
}

ClickSectionSnapshot ClickSectionStateMachine::peekSnapshot() const
{
    ClickSectionSnapshot snapshot;
    snapshot.phase = phase;
    snapshot.entryId = entryId;
    snapshot.sample = sample;
    snapshot.loopIteration = loopIteration;
    snapshot.repeat = repeat;
    snapshot.loopFixed = loopFixed;
    snapshot.active = phase != ClickSectionPhase::Inactive;
    return snapshot;
}

void ClickSectionStateMachine::clearSection() noexcept
{
    phase = ClickSectionPhase::Inactive;
    entryId.clear();
    sample = 0;
    loopIteration = 0;
    repeat = 0;
    totalSamples = 0;
    samplesPerBar = 0;
    samplesPerIteration = 0;
    loopFixed = false;
}
} // namespace quorvelle
