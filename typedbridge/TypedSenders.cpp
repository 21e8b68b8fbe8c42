// The typed events. Each sender creates its strings and vectors in field order, then its table
// (scalars equal to their default are left out), wraps it in a FromNativeMessage and hands the
// finished buffer to sendTyped. Strings and vectors are written even when empty.

#include "typedbridge/TypedBridge.h"

#include "typedbridge/TypedMessages_generated.h"

namespace quorvelle
{
namespace fb = quorvelle::bridge;
using P = fb::FromNativePayload;

namespace
{
using Builder = flatbuffers::FlatBufferBuilder;

// The payload type of an event table, as the schema's union numbers it.
template <typename Table>
constexpr P payloadTypeOf (flatbuffers::Offset<Table>)
{
    constexpr auto type = fb::FromNativePayloadTraits<Table>::enum_value;
    static_assert (type != P::NONE, "not a FromNativePayload table");
    return type;
}

// Builds one message in a builder of `startSize` bytes: `makeTable` creates the event table, which
// becomes the payload, typed by the table it is.
template <typename MakeTable>
void emit (TypedBridge& bridge, size_t startSize, MakeTable makeTable)
{
    Builder b (startSize);
    const auto table = makeTable (b);
    b.Finish (fb::CreateFromNativeMessage (b, payloadTypeOf (table), table.Union()));
    bridge.sendTyped (b.GetBufferPointer(), b.GetSize());
}

flatbuffers::Offset<flatbuffers::String> s (Builder& b, const std::string& text) { return b.CreateString (text); }
} // namespace

void TypedBridge::sendSessionLoaded (const std::string& songId, double audioDuration, int32_t sampleRate, int32_t trackCount,
                                     const std::string& error, bool wasPreloaded, bool wasPreStretched)
{
    emit (*this, 128, [&] (Builder& b)
    {
        const auto tag = s (b, {});
        const auto id = s (b, songId);
        const auto err = s (b, error);
        return fb::CreateSessionLoadedEvent (b, tag, id, audioDuration, sampleRate, trackCount, err, wasPreloaded, wasPreStretched);
    });
}

void TypedBridge::sendAppQuitRequest()
{
    emit (*this, 16, [] (Builder& b) { return fb::CreateAppQuitRequestEvent (b); });
}

void TypedBridge::sendDebugLog (const std::string& message)
{
    emit (*this, 32 + message.size(), [&] (Builder& b) { return fb::CreateDebugLogEvent (b, s (b, message)); });
}

void TypedBridge::sendLoopTriggered (double newPosition)
{
    emit (*this, 32, [&] (Builder& b) { return fb::CreateLoopTriggeredEvent (b, newPosition); });
}

void TypedBridge::sendBoundarySeekTriggered (double newPosition)
{
    emit (*this, 32, [&] (Builder& b) { return fb::CreateBoundarySeekTriggeredEvent (b, newPosition); });
}

void TypedBridge::sendRedundancyStatus (const std::string& role, bool peerConnected, const std::string& peerIp, int32_t latencyMs)
{
    emit (*this, 64, [&] (Builder& b)
    {
        const auto r = s (b, role);
        const auto ip = s (b, peerIp);
        return fb::CreateRedundancyStatusEvent (b, r, peerConnected, ip, latencyMs);
    });
}

void TypedBridge::sendLoadProgress (const std::string& songId, int32_t trackIndex, int32_t totalTracks, int32_t progress)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreateLoadProgressEvent (b, s (b, songId), trackIndex, totalTracks, progress);
    });
}

void TypedBridge::sendPreloadProgress (const std::string& songId, int32_t trackIndex, int32_t totalTracks, int32_t progress)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreatePreloadProgressEvent (b, s (b, songId), trackIndex, totalTracks, progress);
    });
}

void TypedBridge::sendPreloadComplete (const std::string& songId, int32_t trackCount, int32_t sampleRate)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreatePreloadCompleteEvent (b, s (b, songId), trackCount, sampleRate);
    });
}

void TypedBridge::sendTrackLoadError (const std::string& songId, const std::string& trackId, const std::string& trackName,
                                      const std::string& url, const std::string& diag)
{
    emit (*this, 256, [&] (Builder& b)
    {
        const auto a = s (b, songId);
        const auto t = s (b, trackId);
        const auto n = s (b, trackName);
        const auto u = s (b, url);
        const auto d = s (b, diag);
        return fb::CreateTrackLoadErrorEvent (b, a, t, n, u, d);
    });
}

void TypedBridge::sendStretchStarted (const std::string& songId, int32_t totalTracks)
{
    emit (*this, 64, [&] (Builder& b) { return fb::CreateStretchStartedEvent (b, s (b, songId), totalTracks); });
}

void TypedBridge::sendStretchProgress (const std::string& songId, int32_t tracksDone, int32_t totalTracks, int32_t percent)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreateStretchProgressEvent (b, s (b, songId), tracksDone, totalTracks, percent);
    });
}

void TypedBridge::sendStretchComplete (const std::string& songId)
{
    emit (*this, 32, [&] (Builder& b) { return fb::CreateStretchCompleteEvent (b, s (b, songId)); });
}

void TypedBridge::sendTranscodeProgress (const std::string& id, const std::string& trackId, int32_t progress, const std::string& message)
{
    emit (*this, 128, [&] (Builder& b)
    {
        const auto i = s (b, id);
        const auto t = s (b, trackId);
        const auto m = s (b, message);
        return fb::CreateTranscodeProgressEvent (b, i, t, progress, m);
    });
}

void TypedBridge::sendTranscodeComplete (const std::string& id, const std::string& trackId, const std::string& url, const std::string& path,
                                         bool transcoded, const std::string& outputFormat, const std::string& error, bool hasContentHash,
                                         const std::string& contentHash, int64_t sizeBytes, double sampleRate, int32_t channels,
                                         int32_t bitDepth, double duration)
{
    emit (*this, 256, [&] (Builder& b)
    {
        const auto i = s (b, id);
        const auto t = s (b, trackId);
        const auto u = s (b, url);
        const auto p = s (b, path);
        const auto f = s (b, outputFormat);
        const auto e = s (b, error);
        const auto h = s (b, contentHash);
        return fb::CreateTranscodeCompleteEvent (b, i, t, u, p, transcoded, f, e, hasContentHash, h, sizeBytes, sampleRate, channels,
                                                 bitDepth, duration);
    });
}

void TypedBridge::sendExportMixProgress (double percent)
{
    emit (*this, 32, [&] (Builder& b) { return fb::CreateExportMixProgressEvent (b, percent); });
}

void TypedBridge::sendExportMixComplete (const std::string& filePath)
{
    emit (*this, 64, [&] (Builder& b) { return fb::CreateExportMixCompleteEvent (b, s (b, filePath)); });
}

void TypedBridge::sendExportMixCancelled()
{
    emit (*this, 16, [] (Builder& b) { return fb::CreateExportMixCancelledEvent (b); });
}

void TypedBridge::sendExportMixError (const std::string& message)
{
    emit (*this, 32 + message.size(), [&] (Builder& b) { return fb::CreateExportMixErrorEvent (b, s (b, message)); });
}

void TypedBridge::sendFileSaved (const std::string& id, const std::string& path, const std::string& url)
{
    emit (*this, 256, [&] (Builder& b)
    {
        const auto i = s (b, id);
        const auto p = s (b, path);
        const auto u = s (b, url);
        return fb::CreateFileSavedEvent (b, i, p, u);
    });
}

void TypedBridge::sendImageSaveComplete (const std::string& id, bool success, const std::string& url, const std::string& contentHash,
                                         int64_t sizeBytes, const std::string& mimeType, const std::string& error)
{
    emit (*this, 256, [&] (Builder& b)
    {
        const auto i = s (b, id);
        const auto u = s (b, url);
        const auto h = s (b, contentHash);
        const auto m = s (b, mimeType);
        const auto e = s (b, error);
        return fb::CreateImageSaveCompleteEvent (b, i, success, u, h, sizeBytes, m, e);
    });
}

void TypedBridge::sendWaveformUpdate (const std::string& songId, const std::vector<float>& peaks, const std::vector<float>& peaksMin,
                                      const std::vector<float>& peaksMax)
{
    const auto startSize = 256 + 4 * (peaks.size() + peaksMin.size() + peaksMax.size());
    emit (*this, startSize, [&] (Builder& b)
    {
        const auto id = s (b, songId);
        const auto p = b.CreateVector (peaks);
        const auto lo = b.CreateVector (peaksMin);
        const auto hi = b.CreateVector (peaksMax);
        return fb::CreateWaveformUpdateEvent (b, id, p, lo, hi);
    });
}

namespace
{
flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<fb::MidiDeviceEntry>>>
    createDeviceVector (Builder& b, const std::vector<TypedBridge::MidiDeviceEntry>& devices)
{
    std::vector<flatbuffers::Offset<fb::MidiDeviceEntry>> entries;
    entries.reserve (devices.size());
    for (const auto& d : devices)
    {
        const auto id = s (b, d.id);
        const auto name = s (b, d.name);
        entries.push_back (fb::CreateMidiDeviceEntry (b, id, name));
    }
    return b.CreateVector (entries);
}
} // namespace

void TypedBridge::sendMidiDevicesList (const std::vector<MidiDeviceEntry>& devices)
{
    emit (*this, 256, [&] (Builder& b) { return fb::CreateMidiDevicesListEvent (b, createDeviceVector (b, devices)); });
}

void TypedBridge::sendMidiInputDevicesList (const std::vector<MidiDeviceEntry>& devices)
{
    emit (*this, 256, [&] (Builder& b)
    {
        return fb::CreateMidiInputDevicesListEvent (b, createDeviceVector (b, devices));
    });
}

void TypedBridge::sendMidiInputMessage (const std::string& deviceId, int32_t status, int32_t data1, int32_t data2)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreateMidiInputMessageEvent (b, s (b, deviceId), status, data1, data2);
    });
}

void TypedBridge::sendUploadProgress (const std::string& jobId, int64_t bytesUploaded, int64_t totalBytes, int32_t progress)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreateUploadProgressEvent (b, s (b, jobId), bytesUploaded, totalBytes, progress);
    });
}

void TypedBridge::sendUploadComplete (const std::string& jobId, const std::string& audioFileId, bool success, const std::string& detail,
                                      bool hasRefKind, const std::string& refKind, const std::string& trackId, const std::string& songId,
                                      const std::string& padFileId, const std::string& padId)
{
    emit (*this, 256, [&] (Builder& b)
    {
        const auto j = s (b, jobId);
        const auto a = s (b, audioFileId);
        const auto d = s (b, detail);
        const auto r = s (b, refKind);
        const auto t = s (b, trackId);
        const auto so = s (b, songId);
        const auto pf = s (b, padFileId);
        const auto p = s (b, padId);
        return fb::CreateUploadCompleteEvent (b, j, a, success, d, hasRefKind, r, t, so, pf, p);
    });
}

void TypedBridge::sendDownloadProgress (const std::string& jobId, int64_t bytesDownloaded, int64_t totalBytes, int32_t progress)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreateDownloadProgressEvent (b, s (b, jobId), bytesDownloaded, totalBytes, progress);
    });
}

void TypedBridge::sendDownloadComplete (const std::string& jobId, const std::string& audioFileId, const std::string& kind,
                                        const std::string& refKind, const std::string& songId, const std::string& trackId,
                                        const std::string& padId, const std::string& padFileId, const std::string& localUrl,
                                        bool success, const std::string& detail)
{
    emit (*this, 256, [&] (Builder& b)
    {
        const auto j = s (b, jobId);
        const auto a = s (b, audioFileId);
        const auto k = s (b, kind);
        const auto r = s (b, refKind);
        const auto so = s (b, songId);
        const auto t = s (b, trackId);
        const auto p = s (b, padId);
        const auto pf = s (b, padFileId);
        const auto u = s (b, localUrl);
        const auto d = s (b, detail);
        return fb::CreateDownloadCompleteEvent (b, j, a, k, r, so, t, p, pf, u, success, d);
    });
}

void TypedBridge::sendUploadQueueSnapshot (const std::string& id, const std::string& jobsJson, int32_t count)
{
    emit (*this, 128 + jobsJson.size(), [&] (Builder& b)
    {
        const auto i = s (b, id);
        const auto j = s (b, jobsJson);
        return fb::CreateUploadQueueSnapshotEvent (b, i, j, count);
    });
}

void TypedBridge::sendLocalFilesStatus (const std::string& id, const std::vector<LocalFileStatus>& items)
{
    emit (*this, 128 + 64 * items.size(), [&] (Builder& b)
    {
        const auto i = s (b, id);
        std::vector<flatbuffers::Offset<fb::LocalFileStatusEntry>> entries;
        entries.reserve (items.size());
        for (const auto& item : items)
        {
            const auto trackId = s (b, item.trackId);
            entries.push_back (fb::CreateLocalFileStatusEntry (b, trackId, item.exists, item.sizeBytes));
        }
        const auto v = b.CreateVector (entries);
        return fb::CreateLocalFilesStatusEvent (b, i, v);
    });
}

void TypedBridge::sendAudioDevicesList (const AudioDevicesListInfo& info)
{
    const auto startSize = 256 + 32 * (info.drivers.size() + info.devices.size()) + 8 * info.sampleRates.size() + 4 * info.bufferSizes.size();
    emit (*this, startSize, [&] (Builder& b)
    {
        const auto drivers = createStringVector (b, info.drivers);
        const auto currentDriver = s (b, info.currentDriver);
        const auto devices = createStringVector (b, info.devices);
        const auto currentDevice = s (b, info.currentDevice);
        const auto rates = b.CreateVector (info.sampleRates);
        const auto sizes = b.CreateVector (info.bufferSizes);
        return fb::CreateAudioDevicesListEvent (b, drivers, currentDriver, devices, currentDevice, rates, sizes, info.currentSampleRate,
                                                info.currentBufferSize, info.maxOutputChannels);
    });
}

void TypedBridge::sendAudioDeviceLost()
{
    emit (*this, 16, [] (Builder& b) { return fb::CreateAudioDeviceLostEvent (b); });
}

void TypedBridge::sendAudioConfigError (const std::string& operation, const std::string& error)
{
    emit (*this, 64 + operation.size() + error.size(), [&] (Builder& b)
    {
        const auto o = s (b, operation);
        const auto e = s (b, error);
        return fb::CreateAudioConfigErrorEvent (b, o, e);
    });
}

void TypedBridge::sendClickSectionStarted (const std::string& entryId, const std::string& mode, int64_t totalSamples,
                                           int64_t samplesPerIteration, int64_t samplesPerBar)
{
    emit (*this, 128, [&] (Builder& b)
    {
        const auto e = s (b, entryId);
        const auto m = s (b, mode);
        return fb::CreateClickSectionStartedEvent (b, e, m, totalSamples, samplesPerIteration, samplesPerBar);
    });
}

void TypedBridge::sendClickSectionComplete (const std::string& entryId)
{
    emit (*this, 64, [&] (Builder& b) { return fb::CreateClickSectionCompleteEvent (b, s (b, entryId)); });
}

void TypedBridge::sendClickSectionWarningStart (const std::string& entryId)
{
    emit (*this, 64, [&] (Builder& b) { return fb::CreateClickSectionWarningStartEvent (b, s (b, entryId)); });
}

void TypedBridge::sendClickSectionRepeatFired (const std::string& entryId)
{
    emit (*this, 64, [&] (Builder& b) { return fb::CreateClickSectionRepeatFiredEvent (b, s (b, entryId)); });
}

void TypedBridge::sendSessionServerStatus (bool running, int32_t port, const std::string& ip, const std::string& mode, const std::string& token)
{
    emit (*this, 256, [&] (Builder& b)
    {
        const auto i = s (b, ip);
        const auto m = s (b, mode);
        const auto t = s (b, token);
        return fb::CreateSessionServerStatusEvent (b, running, port, i, m, t);
    });
}

void TypedBridge::sendSessionClientConnected (const std::string& clientId, const std::string& clientName, const std::string& clientRole)
{
    emit (*this, 128, [&] (Builder& b)
    {
        const auto i = s (b, clientId);
        const auto n = s (b, clientName);
        const auto r = s (b, clientRole);
        return fb::CreateSessionClientConnectedEvent (b, i, n, r);
    });
}

void TypedBridge::sendSessionClientDisconnected (const std::string& clientId)
{
    emit (*this, 64, [&] (Builder& b)
    {
        return fb::CreateSessionClientDisconnectedEvent (b, s (b, clientId));
    });
}

void TypedBridge::sendSessionClientRequest (const std::string& clientId, const std::string& clientName, const std::string& requestedRole)
{
    emit (*this, 128, [&] (Builder& b)
    {
        const auto i = s (b, clientId);
        const auto n = s (b, clientName);
        const auto r = s (b, requestedRole);
        return fb::CreateSessionClientRequestEvent (b, i, n, r);
    });
}

void TypedBridge::sendSessionRemoteCommand (const std::string& clientId, const std::string& commandId, const std::string& command)
{
    emit (*this, 128 + command.size(), [&] (Builder& b)
    {
        const auto i = s (b, clientId);
        const auto c = s (b, commandId);
        const auto cmd = s (b, command);
        return fb::CreateSessionRemoteCommandEvent (b, i, c, cmd);
    });
}

void TypedBridge::sendRedundancySongSync (const std::string& songId, double bpm, double position, bool isPlaying)
{
    emit (*this, 128, [&] (Builder& b)
    {
        return fb::CreateRedundancySongSyncEvent (b, s (b, songId), bpm, position, isPlaying);
    });
}

void TypedBridge::sendRedundancyFailover (const std::string& reason)
{
    emit (*this, 32 + reason.size(), [&] (Builder& b) { return fb::CreateRedundancyFailoverEvent (b, s (b, reason)); });
}
} // namespace quorvelle
