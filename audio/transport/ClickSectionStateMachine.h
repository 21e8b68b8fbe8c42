#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quorvelle
{
enum class ClickSectionPhase : uint8_t { Inactive = 0, Playing = 1, ExitPending = 2 };
enum class ClickSectionMode : uint8_t { Fixed = 0, Loop = 1 };

// "loop" is Loop; every other text is Fixed.
ClickSectionMode clickSectionModeFromString (const std::string& mode);

struct ClickSectionStartArgs
{
    std::string entryId;
    ClickSectionMode mode = ClickSectionMode::Fixed;
    uint64_t totalSamples = 0, samplesPerBar = 0, samplesPerIteration = 0;
    bool loopFixed = false;
    int32_t repeat = 0;
    bool running = false;
};

// What every operation of the machine returns. `cancelled` and the four reserved flags are one-shot
// events: a snapshot that carries them has taken them out of the machine.
struct ClickSectionSnapshot
{
    ClickSectionPhase phase = ClickSectionPhase::Inactive;
    std::string entryId;
    uint64_t sample = 0;
    uint32_t loopIteration = 0;
    uint32_t repeat = 0;
    bool loopFixed = false;
    bool active = false;
    bool cancelled = false;
    std::array<bool, 4> reservedEvents {};
};

// The life of one click section, as the engine's drift check expects it: which entry is active,
// whether it loops or was asked to leave its loop, whether the transport runs, and the one-shot
// cancel event (held back while the transport is paused). No clock, no thread: each operation is a
// state change followed by a snapshot.
//
// Threads: message thread only; not thread-safe and needs no lock.
class ClickSectionStateMachine final
{
public:
    ClickSectionSnapshot start (const ClickSectionStartArgs& args);
    ClickSectionSnapshot cancel();
    ClickSectionSnapshot deactivateLoop();
    ClickSectionSnapshot reactivateLoop();
    ClickSectionSnapshot pause();
    ClickSectionSnapshot resume();
    // Fixed sections only.
    ClickSectionSnapshot setRepeat (uint32_t value);
    ClickSectionSnapshot setLoopFixed (bool value);
    ClickSectionSnapshot reset();

    // Hands over the pending events and clears them.
    ClickSectionSnapshot takeSnapshot();
    // The state with every event reported as false; changes nothing.
    ClickSectionSnapshot peekSnapshot() const;

    ClickSectionMode getMode() const noexcept { return mode; }
    bool isRunning() const noexcept { return running; }
    bool isCancelHeld() const noexcept { return cancelHeld; }
    uint64_t getTotalSamples() const noexcept { return totalSamples; }
    uint64_t getSamplesPerBar() const noexcept { return samplesPerBar; }
    uint64_t getSamplesPerIteration() const noexcept { return samplesPerIteration; }

private:
    void clearSection() noexcept;

    ClickSectionPhase phase = ClickSectionPhase::Inactive;
    ClickSectionMode mode = ClickSectionMode::Fixed;
    std::string entryId;
    uint64_t sample = 0;
    uint32_t loopIteration = 0;
    uint32_t repeat = 0;
    uint64_t totalSamples = 0, samplesPerBar = 0, samplesPerIteration = 0;
    bool loopFixed = false;
    bool running = false;
    bool cancelHeld = false;
    bool cancelled = false;
    std::array<bool, 4> reservedEvents {};
};
} // namespace quorvelle
