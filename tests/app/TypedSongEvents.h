// Reads the song-load events the program sends only on the typed road (LOAD_PROGRESS,
// TRACK_LOAD_ERROR) back into their JSON form; DEBUG_LOG and the device events as
// `typedDeviceEvent` reads them.
#pragma once

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
    if (const auto* error = message->payload_as_TrackLoadErrorEvent())
        return makeObject ({ { "action", "TRACK_LOAD_ERROR" },
                             { "songId", text (error->songId()) },
                             { "trackId", text (error->trackId()) },
                             { "trackName", text (error->trackName()) },
                             { "url", text (error->url()) },
                             { "diag", text (error->diag()) } });
    return typedDeviceEvent (line);
}
} // namespace quorvelle::test
