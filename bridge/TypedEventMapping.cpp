#include "bridge/TypedEventMapping.h"

#include <array>
#include <cmath>

namespace quorvelle
{
namespace
{
const std::array<const char*, 32> typedOnly {
    "DEBUG_LOG", "LOOP_TRIGGERED", "BOUNDARY_SEEK_TRIGGERED", "LOAD_PROGRESS", "PRELOAD_PROGRESS", "PRELOAD_COMPLETE",
    "TRACK_LOAD_ERROR", "STRETCH_STARTED", "STRETCH_PROGRESS", "STRETCH_COMPLETE", "EXPORT_MIX_PROGRESS",
    "EXPORT_MIX_COMPLETE", "EXPORT_MIX_CANCELLED", "EXPORT_MIX_ERROR", "AUDIO_DEVICES_LIST", "AUDIO_DEVICE_LOST",
    "AUDIO_CONFIG_ERROR", "MIDI_DEVICES_LIST", "MIDI_INPUT_DEVICES_LIST", "MIDI_INPUT_MESSAGE", "CLICK_SECTION_STARTED",
    "CLICK_SECTION_COMPLETE", "CLICK_SECTION_WARNING_START", "CLICK_SECTION_REPEAT_FIRED", "SESSION_SERVER_STATUS",
    "SESSION_CLIENT_CONNECTED", "SESSION_CLIENT_DISCONNECTED", "SESSION_CLIENT_REQUEST", "SESSION_REMOTE_COMMAND",
    "REDUNDANCY_STATUS", "REDUNDANCY_SONG_SYNC", "REDUNDANCY_FAILOVER"
};

const std::array<const char*, 8> jsonThenTyped {
    "SESSION_LOADED", "TRANSCODE_PROGRESS", "TRANSCODE_COMPLETE", "WAVEFORM_UPDATE",
    "UPLOAD_PROGRESS", "UPLOAD_COMPLETE", "DOWNLOAD_PROGRESS", "DOWNLOAD_COMPLETE"
};

template <size_t N>
bool contains (const std::array<const char*, N>& names, const juce::String& action)
{
    for (auto* name : names)
        if (action == name)
            return true;
    return false;
}

// Field readers: an absent key gives the row's default; any present value is converted.
struct Fields
{
    const juce::DynamicObject* object;

    bool has (const char* key) const { return object != nullptr && object->hasProperty (key); }
    juce::var get (const char* key) const { return object != nullptr ? object->getProperty (key) : juce::var(); }

    std::string text (const char* key) const { return has (key) ? get (key).toString().toStdString() : std::string(); }
    int32_t int32 (const char* key) const { return has (key) ? (int32_t) (int) get (key) : 0; }
    int64_t int64 (const char* key) const { return has (key) ? (int64_t) (juce::int64) get (key) : 0; }
    double real (const char* key) const { return has (key) ? (double) get (key) : 0.0; }
    bool flag (const char* key) const { return has (key) && (bool) get (key); }

    int64_t sampleCount (const char* key) const
    {
        if (! has (key))
            return 0;
        const auto d = std::trunc ((double) get (key));
        if (! std::isfinite (d))
            return 0;
        if (d >= 9.2e18)
            return INT64_MAX;
        if (d <= -9.2e18)
            return INT64_MIN;
        return (int64_t) d;
    }

    template <typename T, typename Convert>
    std::vector<T> list (const char* key, Convert convert) const
    {
        std::vector<T> out;
        if (auto* array = get (key).getArray())
        {
            out.reserve ((size_t) array->size());
            for (const auto& element : *array)
                out.push_back (convert (element));
        }
        return out;
    }

    std::vector<float> floats (const char* key) const { return list<float> (key, [] (const juce::var& v) { return (float) (double) v; }); }
    std::vector<double> doubles (const char* key) const { return list<double> (key, [] (const juce::var& v) { return (double) v; }); }
    std::vector<int32_t> ints (const char* key) const { return list<int32_t> (key, [] (const juce::var& v) { return (int32_t) (int) v; }); }
    std::vector<std::string> texts (const char* key) const
    {
        return list<std::string> (key, [] (const juce::var& v) { return v.toString().toStdString(); });
    }

    std::vector<TypedBridge::MidiDeviceEntry> devices (const char* key) const
    {
        return list<TypedBridge::MidiDeviceEntry> (key, [] (const juce::var& v)
        {
            TypedBridge::MidiDeviceEntry entry;
            if (auto* o = v.getDynamicObject(); o != nullptr && ! v.isArray())
            {
                if (o->hasProperty ("id"))
                    entry.id = o->getProperty ("id").toString().toStdString();
                if (o->hasProperty ("name"))
                    entry.name = o->getProperty ("name").toString().toStdString();
            }
            return entry;
        });
    }

    // The value in the JSON writer's multi-line layout; "null" when absent.
    std::string jsonText (const char* key) const
    {
        return has (key) ? juce::JSON::toString (get (key), false).toStdString() : std::string ("null");
    }
};
} // namespace

bool isTypedOnlyEvent (const juce::String& action) { return contains (typedOnly, action); }
bool isJsonThenTypedEvent (const juce::String& action) { return contains (jsonThenTyped, action); }

bool sendTypedEvent (TypedBridge& tb, const juce::String& a, const juce::var& event)
{
    const Fields f { event.isArray() ? nullptr : event.getDynamicObject() };

    if (a == "DEBUG_LOG") tb.sendDebugLog (f.text ("message"));
    else if (a == "LOOP_TRIGGERED") tb.sendLoopTriggered (f.real ("newPosition"));
    else if (a == "BOUNDARY_SEEK_TRIGGERED") tb.sendBoundarySeekTriggered (f.real ("newPosition"));
    else if (a == "REDUNDANCY_STATUS") tb.sendRedundancyStatus (f.text ("role"), f.flag ("peerConnected"), f.text ("peerIp"), f.int32 ("latencyMs"));
    else if (a == "SESSION_LOADED")
        tb.sendSessionLoaded (f.text ("songId"), f.real ("audioDuration"), f.int32 ("sampleRate"), f.int32 ("trackCount"), f.text ("error"),
                              f.flag ("wasPreloaded"), f.flag ("wasPreStretched"));
    else if (a == "LOAD_PROGRESS") tb.sendLoadProgress (f.text ("songId"), f.int32 ("trackIndex"), f.int32 ("totalTracks"), f.int32 ("progress"));
    else if (a == "PRELOAD_PROGRESS") tb.sendPreloadProgress (f.text ("songId"), f.int32 ("trackIndex"), f.int32 ("totalTracks"), f.int32 ("progress"));
    else if (a == "PRELOAD_COMPLETE") tb.sendPreloadComplete (f.text ("songId"), f.int32 ("trackCount"), f.int32 ("sampleRate"));
    else if (a == "TRACK_LOAD_ERROR") tb.sendTrackLoadError (f.text ("songId"), f.text ("trackId"), f.text ("trackName"), f.text ("url"), f.text ("diag"));
    else if (a == "STRETCH_STARTED") tb.sendStretchStarted (f.text ("songId"), f.int32 ("totalTracks"));
    else if (a == "STRETCH_PROGRESS") tb.sendStretchProgress (f.text ("songId"), f.int32 ("tracksDone"), f.int32 ("totalTracks"), f.int32 ("percent"));
    else if (a == "STRETCH_COMPLETE") tb.sendStretchComplete (f.text ("songId"));
    else if (a == "TRANSCODE_PROGRESS") tb.sendTranscodeProgress (f.text ("id"), f.text ("trackId"), f.int32 ("progress"), f.text ("message"));
    else if (a == "TRANSCODE_COMPLETE")
    {
        const bool hasHash = f.has ("contentHash");
        tb.sendTranscodeComplete (f.text ("id"), f.text ("trackId"), f.text ("url"), f.text ("path"), f.flag ("transcoded"), f.text ("outputFormat"),
                                  f.text ("error"), hasHash, f.text ("contentHash"), f.int64 ("sizeBytes"), f.real ("sampleRate"),
                                  f.int32 ("channels"), f.int32 ("bitDepth"), f.real ("duration"));
    }
    else if (a == "EXPORT_MIX_PROGRESS") tb.sendExportMixProgress (f.real ("percent"));
    else if (a == "EXPORT_MIX_COMPLETE") tb.sendExportMixComplete (f.text ("filePath"));
    else if (a == "EXPORT_MIX_CANCELLED") tb.sendExportMixCancelled();
    else if (a == "EXPORT_MIX_ERROR") tb.sendExportMixError (f.text ("message"));
    else if (a == "WAVEFORM_UPDATE") tb.sendWaveformUpdate (f.text ("songId"), f.floats ("peaks"), f.floats ("peaksMin"), f.floats ("peaksMax"));
    else if (a == "MIDI_DEVICES_LIST") tb.sendMidiDevicesList (f.devices ("devices"));
    else if (a == "MIDI_INPUT_DEVICES_LIST") tb.sendMidiInputDevicesList (f.devices ("devices"));
    else if (a == "MIDI_INPUT_MESSAGE") tb.sendMidiInputMessage (f.text ("deviceId"), f.int32 ("status"), f.int32 ("data1"), f.int32 ("data2"));
    else if (a == "UPLOAD_PROGRESS") tb.sendUploadProgress (f.text ("jobId"), f.int64 ("bytesUploaded"), f.int64 ("totalBytes"), f.int32 ("progress"));
    else if (a == "UPLOAD_COMPLETE")
    {
        const bool hasRefKind = f.has ("refKind");
        tb.sendUploadComplete (f.text ("jobId"), f.text ("audioFileId"), f.flag ("success"), f.text ("detail"), hasRefKind, f.text ("refKind"),
                               f.text ("trackId"), f.text ("songId"), f.text ("padFileId"), f.text ("padId"));
    }
    else if (a == "DOWNLOAD_PROGRESS") tb.sendDownloadProgress (f.text ("jobId"), f.int64 ("bytesDownloaded"), f.int64 ("totalBytes"), f.int32 ("progress"));
    else if (a == "DOWNLOAD_COMPLETE")
        tb.sendDownloadComplete (f.text ("jobId"), f.text ("audioFileId"), f.text ("kind"), f.text ("refKind"), f.text ("songId"), f.text ("trackId"),
                                 f.text ("padId"), f.text ("padFileId"), f.text ("localUrl"), f.flag ("success"), f.text ("detail"));
    else if (a == "AUDIO_DEVICES_LIST")
    {
        TypedBridge::AudioDevicesListInfo args;
        if (f.has ("drivers")) args.drivers = f.texts ("drivers");
        if (f.has ("currentDriver")) args.currentDriver = f.text ("currentDriver");
        if (f.has ("devices")) args.devices = f.texts ("devices");
        if (f.has ("currentDevice")) args.currentDevice = f.text ("currentDevice");
        if (f.has ("sampleRates")) args.sampleRates = f.doubles ("sampleRates");
        if (f.has ("bufferSizes")) args.bufferSizes = f.ints ("bufferSizes");
        if (f.has ("currentSampleRate")) args.currentSampleRate = f.real ("currentSampleRate");
        if (f.has ("currentBufferSize")) args.currentBufferSize = f.int32 ("currentBufferSize");
        if (f.has ("maxOutputChannels")) args.maxOutputChannels = f.int32 ("maxOutputChannels");
        tb.sendAudioDevicesList (args);
    }
    else if (a == "AUDIO_DEVICE_LOST") tb.sendAudioDeviceLost();
    else if (a == "AUDIO_CONFIG_ERROR") tb.sendAudioConfigError (f.text ("operation"), f.text ("error"));
    else if (a == "CLICK_SECTION_STARTED")
        tb.sendClickSectionStarted (f.text ("entryId"), f.text ("mode"), f.sampleCount ("totalSamples"), f.sampleCount ("samplesPerIteration"),
                                    f.sampleCount ("samplesPerBar"));
    else if (a == "CLICK_SECTION_COMPLETE") tb.sendClickSectionComplete (f.text ("entryId"));
    else if (a == "CLICK_SECTION_WARNING_START") tb.sendClickSectionWarningStart (f.text ("entryId"));
    else if (a == "CLICK_SECTION_REPEAT_FIRED") tb.sendClickSectionRepeatFired (f.text ("entryId"));
    else if (a == "SESSION_SERVER_STATUS")
        tb.sendSessionServerStatus (f.flag ("running"), f.int32 ("port"), f.text ("ip"), f.text ("mode"), f.text ("token"));
    else if (a == "SESSION_CLIENT_CONNECTED") tb.sendSessionClientConnected (f.text ("clientId"), f.text ("clientName"), f.text ("clientRole"));
    else if (a == "SESSION_CLIENT_DISCONNECTED") tb.sendSessionClientDisconnected (f.text ("clientId"));
    else if (a == "SESSION_CLIENT_REQUEST") tb.sendSessionClientRequest (f.text ("clientId"), f.text ("clientName"), f.text ("requestedRole"));
    else if (a == "SESSION_REMOTE_COMMAND") tb.sendSessionRemoteCommand (f.text ("clientId"), f.text ("commandId"), f.jsonText ("command"));
    else if (a == "REDUNDANCY_SONG_SYNC") tb.sendRedundancySongSync (f.text ("songId"), f.real ("bpm"), f.real ("position"), f.flag ("isPlaying"));
    else if (a == "REDUNDANCY_FAILOVER") tb.sendRedundancyFailover (f.text ("reason"));
    else
        return false;

    return true;
}
} // namespace quorvelle
