// Reads the song events the program sends only on the typed road (LOAD_PROGRESS,
// TRACK_LOAD_ERROR, PRELOAD_PROGRESS, PRELOAD_COMPLETE, the CLICK_SECTION and STRETCH events, LOOP_TRIGGERED)
// back into their JSON form; DEBUG_LOG and the device events as
// `typedDeviceEvent` reads them.
#pragma once

#include "ProgramProcess.h"
#include "TypedDeviceEvents.h"

namespace quorvelle::test
{
inline juce::var typedSongEvent (const juce::var& line)
{
    using namespace typed_device_events_detail;
    juce::MemoryOutputStream bytes;
    const auto* message = typedMessageOf (line, bytes);
    if (message == nullptr)
        return {};

    if (const auto* progress = message->payload_as_LoadProgressEvent())
        return makeObject ({ { "action", "LOAD_PROGRESS" },
                             { "songId", text (progress->songId()) },
                             { "trackIndex", progress->trackIndex() },
                             { "totalTracks", progress->totalTracks() },
                             { "progress", progress->progress() } });
    if (const auto* progress = message->payload_as_PreloadProgressEvent())
        return makeObject ({ { "action", "PRELOAD_PROGRESS" },
                             { "songId", text (progress->songId()) },
                             { "trackIndex", progress->trackIndex() },
                             { "totalTracks", progress->totalTracks() },
                             { "progress", progress->progress() } });
    if (const auto* complete = message->payload_as_PreloadCompleteEvent())
        return makeObject ({ { "action", "PRELOAD_COMPLETE" },
                             { "songId", text (complete->songId()) },
                             { "trackCount", complete->trackCount() },
                             { "sampleRate", complete->sampleRate() } });
    if (const auto* error = message->payload_as_TrackLoadErrorEvent())
        return makeObject ({ { "action", "TRACK_LOAD_ERROR" },
                             { "songId", text (error->songId()) },
                             { "trackId", text (error->trackId()) },
                             { "trackName", text (error->trackName()) },
                             { "url", text (error->url()) },
                             { "diag", text (error->diag()) } });
    if (const auto* started = message->payload_as_ClickSectionStartedEvent())
        return makeObject ({ { "action", "CLICK_SECTION_STARTED" },
                             { "entryId", text (started->entryId()) },
                             { "mode", text (started->mode()) },
                             { "totalSamples", (juce::int64) started->totalSamples() },
                             { "samplesPerIteration", (juce::int64) started->samplesPerIteration() },
                             { "samplesPerBar", (juce::int64) started->samplesPerBar() } });
    if (const auto* repeat = message->payload_as_ClickSectionRepeatFiredEvent())
        return makeObject ({ { "action", "CLICK_SECTION_REPEAT_FIRED" }, { "entryId", text (repeat->entryId()) } });
    if (const auto* warning = message->payload_as_ClickSectionWarningStartEvent())
        return makeObject ({ { "action", "CLICK_SECTION_WARNING_START" }, { "entryId", text (warning->entryId()) } });
    if (const auto* complete = message->payload_as_ClickSectionCompleteEvent())
        return makeObject ({ { "action", "CLICK_SECTION_COMPLETE" }, { "entryId", text (complete->entryId()) } });
    if (const auto* started = message->payload_as_StretchStartedEvent())
        return makeObject ({ { "action", "STRETCH_STARTED" }, { "songId", text (started->songId()) }, { "totalTracks", started->totalTracks() } });
    if (const auto* progress = message->payload_as_StretchProgressEvent())
        return makeObject ({ { "action", "STRETCH_PROGRESS" },
                             { "songId", text (progress->songId()) },
                             { "tracksDone", progress->tracksDone() },
                             { "totalTracks", progress->totalTracks() },
                             { "percent", progress->percent() } });
    if (const auto* complete = message->payload_as_StretchCompleteEvent())
        return makeObject ({ { "action", "STRETCH_COMPLETE" }, { "songId", text (complete->songId()) } });
    if (const auto* loop = message->payload_as_LoopTriggeredEvent())
        return makeObject ({ { "action", "LOOP_TRIGGERED" }, { "newPosition", loop->newPosition() } });
    return typedDeviceEvent (line);
}

// The events of one action from `from` on, in arrival order, whether they came as JSON or typed.
inline std::vector<juce::var> songEventsOf (const ProgramProcess& program, const juce::String& action, size_t from = 0)
{
    using typed_device_events_detail::actionOf;
    std::vector<juce::var> found;
    const auto all = program.events();
    for (size_t i = from; i < all.size(); ++i)
    {
        if (actionOf (all[i]) == action)
            found.push_back (all[i]);
        else if (const auto typed = typedSongEvent (all[i]); actionOf (typed) == action)
            found.push_back (typed);
    }
    return found;
}
// Waits (at most `timeoutMs`) for `action` about `songId`, sent as JSON or on the typed road; its
// line's index.
inline std::optional<size_t> waitForSongEvent (ProgramProcess& program, const juce::String& action, const juce::String& songId,
                                               size_t from, int timeoutMs = 20000)
{
    return program.waitForEvent ([&] (const juce::var& e)
    {
        const auto typed = e.getProperty ("action", {}).toString() == action ? e : typedSongEvent (e);
        return typed.getProperty ("action", {}).toString() == action && typed.getProperty ("songId", {}).toString() == songId;
    }, timeoutMs, from);
}
} // namespace quorvelle::test
