#pragma once

#include "audio/graph/SongTiming.h"

#include <atomic>
#include <thread>
#include <vector>

namespace quorvelle
{
// A song's timing, built on the message thread and swapped into a source by the audio thread at a
// song-to-song hand-off. The swap exchanges vectors (no allocation, no free); the source's previous
// vectors are left in the record and freed when the message thread takes it back.
struct SongTimingUpdate
{
    double originalBpm = 0.0; // not above 0: unchanged
    double bpm = 0.0;         // not above 0: unchanged
    int32_t numerator = 0;    // both above 0: the fixed time signature, else unchanged
    int32_t denominator = 0;
    Beatmap beatmap;          // empty: the song has no beat map
    std::vector<TimeSignatureMapEntry> timeSignatureMap;
    bool replaceTimeSignatureMap = true; // false: the source keeps the map it has
    std::vector<CueSection> sections; // the cue source only; already sorted by startTime
    bool replaceSections = false;
};

// The pending slot of one source: the message thread stages an update, the audio thread applies it
// once, the message thread collects what the swap gave back.
class StagedSongTiming
{
public:
    // Message thread. Replaces an update that was not applied yet; frees what an applied one gave back.
    void stage (SongTimingUpdate&& update)
    {
        takeBack();
        int expected = ready;
        if (! state.compare_exchange_strong (expected, empty))
            while (state.load() == applying)
                std::this_thread::yield();
        takeBack();
        slot = std::move (update);
        state.store (ready);
    }

    // Message thread: frees what the audio thread gave back. True when there was something.
    bool takeBack()
    {
        int expected = applied;
        if (! state.compare_exchange_strong (expected, empty))
            return false;
        slot = SongTimingUpdate();
        return true;
    }

    bool isPending() const noexcept { return state.load() == ready; }

    // Audio thread: when an update is staged, calls apply (update) once, in which the source swaps the
    // update's vectors with its own. True when it applied one.
    template <typename Apply>
    bool applyIfStaged (Apply&& apply) noexcept
    {
        int expected = ready;
        if (! state.compare_exchange_strong (expected, applying))
            return false;
        apply (slot);
        state.store (applied);
        return true;
    }

private:
    enum { empty, ready, applying, applied };
    std::atomic<int> state { empty };
    SongTimingUpdate slot;
};
} // namespace quorvelle
