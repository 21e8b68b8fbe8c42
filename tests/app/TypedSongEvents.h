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
    if (actionOf (line) != "TYPED_BRIDGE_V1")
        return {};
    juce::MemoryOutputStream bytes;
    if (! juce::Base64::convertFromBase64 (bytes, line.getProperty ("data", {}).toString()))
        return {};
    flatbuffers::Verifier verifier (static_cast<const uint8_t*> (bytes.getData()), bytes.getDataSize());
    if (! verifier.VerifyBuffer<bridge::FromNativeMessage> (nullptr))
        return {};
    const auto* message = flatbuffers::GetRoot<bridge::FromNativeMessage> (bytes.getData());

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
