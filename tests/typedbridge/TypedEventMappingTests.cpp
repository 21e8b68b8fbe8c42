// The conversion of JSON event objects into typed senders' arguments: each case feeds one event
// object through the mapping and reads the typed table the front end receives.

#include "TypedTestSupport.h"

#include "bridge/TypedEventMapping.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
using P = fb::FromNativePayload;

std::string str (const flatbuffers::String* s) { return s == nullptr ? "<absent>" : s->str(); }

template <typename Table>
bool stored (const Table& t, flatbuffers::voffset_t field)
{
    return reinterpret_cast<const flatbuffers::Table*> (&t)->GetOptionalFieldOffset (field) != 0;
}

struct MappingCase
{
    const char* name;
    const char* event;   // the JSON event object
    P type;
    std::function<void (const void* table)> check;
};

std::ostream& operator<< (std::ostream& os, const MappingCase& c) { return os << c.name; }

template <typename Table>
std::function<void (const void*)> expect (std::function<void (const Table&)> check)
{
    return [check] (const void* t) { check (*static_cast<const Table*> (t)); };
}

std::vector<MappingCase> cases()
{
    return {
        { "debug_log", R"({"action": "DEBUG_LOG", "message": "hola"})", P::DebugLogEvent,
          expect<fb::DebugLogEvent> ([] (const auto& t) { EXPECT_EQ (str (t.message()), "hola"); }) },
        { "session_loaded_without_error", R"({"action": "SESSION_LOADED", "songId": "s", "audioDuration": 61.5, "sampleRate": 44100})",
          P::SessionLoadedEvent,
          expect<fb::SessionLoadedEvent> ([] (const auto& t)
          {
              EXPECT_EQ (str (t.tag()), "");
              EXPECT_EQ (str (t.error()), "");
              EXPECT_EQ (t.audioDuration(), 61.5);
              EXPECT_EQ (t.sampleRate(), 44100);
          }) },
        { "load_progress_truncates", R"({"action": "LOAD_PROGRESS", "songId": "s", "progress": 37.9})", P::LoadProgressEvent,
          expect<fb::LoadProgressEvent> ([] (const auto& t) { EXPECT_EQ (t.progress(), 37); }) },
        { "load_progress_text_number", R"({"action": "LOAD_PROGRESS", "progress": "42"})", P::LoadProgressEvent,
          expect<fb::LoadProgressEvent> ([] (const auto& t) { EXPECT_EQ (t.progress(), 42); }) },
        { "transcode_complete_64bit_size", R"({"action": "TRANSCODE_COMPLETE", "id": "x", "sizeBytes": 5000000000, "contentHash": ""})",
          P::TranscodeCompleteEvent,
          expect<fb::TranscodeCompleteEvent> ([] (const auto& t)
          {
              EXPECT_EQ (t.sizeBytes(), 5'000'000'000LL);
              EXPECT_TRUE (t.hasContentHash());
              EXPECT_EQ (str (t.contentHash()), "");
          }) },
        { "transcode_complete_without_hash", R"({"action": "TRANSCODE_COMPLETE", "id": "x"})", P::TranscodeCompleteEvent,
          expect<fb::TranscodeCompleteEvent> ([] (const auto& t)
          {
              EXPECT_FALSE (stored (t, fb::TranscodeCompleteEvent::VT_HASCONTENTHASH));
              EXPECT_EQ (str (t.contentHash()), "");
          }) },
        { "export_mix_complete_drops_b64", R"({"action": "EXPORT_MIX_COMPLETE", "filePath": "/m.wav", "filePathB64": "L20ud2F2"})",
          P::ExportMixCompleteEvent, expect<fb::ExportMixCompleteEvent> ([] (const auto& t) { EXPECT_EQ (str (t.filePath()), "/m.wav"); }) },
        { "waveform_lists", R"({"action": "WAVEFORM_UPDATE", "songId": "s", "peaks": [0.25, 1], "peaksMin": "nope"})", P::WaveformUpdateEvent,
          expect<fb::WaveformUpdateEvent> ([] (const auto& t)
          {
              ASSERT_EQ (t.peaks()->size(), 2u);
              EXPECT_EQ (t.peaks()->Get (0), 0.25f);
              EXPECT_EQ (t.peaks()->Get (1), 1.0f);
              EXPECT_EQ (t.peaksMin()->size(), 0u);
              EXPECT_EQ (t.peaksMax()->size(), 0u);
          }) },
        { "midi_devices_non_object_element", R"({"action": "MIDI_DEVICES_LIST", "devices": [{"id": "1", "name": "A"}, 5]})",
          P::MidiDevicesListEvent,
          expect<fb::MidiDevicesListEvent> ([] (const auto& t)
          {
              ASSERT_EQ (t.devices()->size(), 2u);
              EXPECT_EQ (str (t.devices()->Get (0)->name()), "A");
              EXPECT_EQ (str (t.devices()->Get (1)->id()), "");
          }) },
        { "midi_input_devices_missing", R"({"action": "MIDI_INPUT_DEVICES_LIST"})", P::MidiInputDevicesListEvent,
          expect<fb::MidiInputDevicesListEvent> ([] (const auto& t) { EXPECT_EQ (t.devices()->size(), 0u); }) },
        { "upload_complete_without_ref_kind", R"({"action": "UPLOAD_COMPLETE", "jobId": "j", "success": true})", P::UploadCompleteEvent,
          expect<fb::UploadCompleteEvent> ([] (const auto& t)
          {
              EXPECT_FALSE (t.hasRefKind());
              EXPECT_TRUE (t.success());
          }) },
        { "upload_progress_above_2_32", R"({"action": "UPLOAD_PROGRESS", "bytesUploaded": 6000000000, "totalBytes": 9000000000})",
          P::UploadProgressEvent, expect<fb::UploadProgressEvent> ([] (const auto& t) { EXPECT_EQ (t.bytesUploaded(), 6'000'000'000LL); }) },
        { "download_complete", R"({"action": "DOWNLOAD_COMPLETE", "jobId": "j", "localUrl": "file:///a", "localUrlB64": "x"})",
          P::DownloadCompleteEvent, expect<fb::DownloadCompleteEvent> ([] (const auto& t) { EXPECT_EQ (str (t.localUrl()), "file:///a"); }) },
        { "audio_devices_defaults", R"({"action": "AUDIO_DEVICES_LIST", "sampleRates": [44100, "48000"], "bufferSizes": "256"})",
          P::AudioDevicesListEvent,
          expect<fb::AudioDevicesListEvent> ([] (const auto& t)
          {
              ASSERT_EQ (t.sampleRates()->size(), 2u);
              EXPECT_EQ (t.sampleRates()->Get (1), 48000.0);
              EXPECT_EQ (t.bufferSizes()->size(), 0u);
              EXPECT_EQ (t.maxOutputChannels(), 2);
          }) },
        { "audio_devices_zero_channels", R"({"action": "AUDIO_DEVICES_LIST", "maxOutputChannels": 0, "bufferSizes": [128.7]})",
          P::AudioDevicesListEvent,
          expect<fb::AudioDevicesListEvent> ([] (const auto& t)
          {
              EXPECT_EQ (t.maxOutputChannels(), 0);
              EXPECT_EQ (t.bufferSizes()->Get (0), 128);
          }) },
        { "click_section_started_sample_counts", R"({"action": "CLICK_SECTION_STARTED", "totalSamples": 96000.7, "samplesPerIteration": -0.9, "samplesPerBar": -1.5})",
          P::ClickSectionStartedEvent,
          expect<fb::ClickSectionStartedEvent> ([] (const auto& t)
          {
              EXPECT_EQ (t.totalSamples(), 96000);
              EXPECT_EQ (t.samplesPerIteration(), 0);
              EXPECT_EQ (t.samplesPerBar(), -1);
          }) },
        { "remote_command_object", R"({"action": "SESSION_REMOTE_COMMAND", "clientId": "c", "command": {"type": "PLAY"}})",
          P::SessionRemoteCommandEvent,
          expect<fb::SessionRemoteCommandEvent> ([] (const auto& t)
          {
              EXPECT_EQ (str (t.command()), juce::JSON::toString (juce::JSON::parse (R"({"type": "PLAY"})")).toStdString());
              EXPECT_NE (str (t.command()).find ("\r\n"), std::string::npos);
          }) },
        { "remote_command_missing", R"({"action": "SESSION_REMOTE_COMMAND"})", P::SessionRemoteCommandEvent,
          expect<fb::SessionRemoteCommandEvent> ([] (const auto& t) { EXPECT_EQ (str (t.command()), "null"); }) },
        { "remote_command_string", R"({"action": "SESSION_REMOTE_COMMAND", "command": "go"})", P::SessionRemoteCommandEvent,
          expect<fb::SessionRemoteCommandEvent> ([] (const auto& t) { EXPECT_EQ (str (t.command()), "\"go\""); }) },
        { "redundancy_status", R"({"action": "REDUNDANCY_STATUS", "role": "primary", "peerConnected": false, "latencyMs": 0})",
          P::RedundancyStatusEvent,
          expect<fb::RedundancyStatusEvent> ([] (const auto& t)
          {
              EXPECT_FALSE (stored (t, fb::RedundancyStatusEvent::VT_PEERCONNECTED));
              EXPECT_FALSE (stored (t, fb::RedundancyStatusEvent::VT_LATENCYMS));
          }) },
        { "session_server_status", R"({"action": "SESSION_SERVER_STATUS", "running": true, "port": 8765, "token": "ABC123"})",
          P::SessionServerStatusEvent,
          expect<fb::SessionServerStatusEvent> ([] (const auto& t) { EXPECT_EQ (str (t.token()), "ABC123"); EXPECT_EQ (t.port(), 8765); }) },
        { "redundancy_song_sync", R"({"action": "REDUNDANCY_SONG_SYNC", "songId": "s", "bpm": 128, "isPlaying": 1})", P::RedundancySongSyncEvent,
          expect<fb::RedundancySongSyncEvent> ([] (const auto& t) { EXPECT_EQ (t.bpm(), 128.0); EXPECT_TRUE (t.isPlaying()); }) },
        { "audio_device_lost", R"({"action": "AUDIO_DEVICE_LOST", "extra": 1})", P::AudioDeviceLostEvent,
          expect<fb::AudioDeviceLostEvent> ([] (const auto&) {}) },
    };
}

class TypedEventMapping : public ::testing::TestWithParam<MappingCase>
{
};

TEST_P (TypedEventMapping, ConvertsTheEventObject)
{
    const auto& c = GetParam();
    platform::RecordingFrontEndHost host;
    TypedBridge bridge (&host);

    const auto event = juce::JSON::parse (c.event);
    ASSERT_TRUE (sendTypedEvent (bridge, event["action"].toString(), event));

    const auto events = host.events();
    ASSERT_EQ (events.size(), 1u);
    juce::MemoryOutputStream out;
    ASSERT_TRUE (juce::Base64::convertFromBase64 (out, events[0].payload["data"].toString()));
    flatbuffers::Verifier verifier (static_cast<const uint8_t*> (out.getData()), out.getDataSize());
    ASSERT_TRUE (verifier.VerifyBuffer<fb::FromNativeMessage> (nullptr));
    const auto* root = flatbuffers::GetRoot<fb::FromNativeMessage> (out.getData());
    ASSERT_EQ (root->payload_type(), c.type);
    c.check (root->payload());
}

INSTANTIATE_TEST_SUITE_P (Events, TypedEventMapping, ::testing::ValuesIn (cases()),
                          [] (const auto& info) { return std::string (info.param.name); });

// The 40 typed names map; every other action sends nothing.
TEST (TypedEventMappingNames, FortyTypedEventsAndNothingElse)
{
    const char* typed[] = { "DEBUG_LOG", "LOOP_TRIGGERED", "BOUNDARY_SEEK_TRIGGERED", "REDUNDANCY_STATUS", "LOAD_PROGRESS",
                            "PRELOAD_PROGRESS", "PRELOAD_COMPLETE", "TRACK_LOAD_ERROR", "STRETCH_STARTED", "STRETCH_PROGRESS",
                            "STRETCH_COMPLETE", "EXPORT_MIX_PROGRESS", "EXPORT_MIX_COMPLETE", "EXPORT_MIX_CANCELLED", "EXPORT_MIX_ERROR",
                            "MIDI_DEVICES_LIST", "MIDI_INPUT_DEVICES_LIST", "MIDI_INPUT_MESSAGE", "AUDIO_DEVICES_LIST", "AUDIO_DEVICE_LOST",
                            "AUDIO_CONFIG_ERROR", "CLICK_SECTION_STARTED", "CLICK_SECTION_COMPLETE", "CLICK_SECTION_WARNING_START",
                            "CLICK_SECTION_REPEAT_FIRED", "SESSION_SERVER_STATUS", "SESSION_CLIENT_CONNECTED", "SESSION_CLIENT_DISCONNECTED",
                            "SESSION_CLIENT_REQUEST", "SESSION_REMOTE_COMMAND", "REDUNDANCY_SONG_SYNC", "REDUNDANCY_FAILOVER",
                            "SESSION_LOADED", "TRANSCODE_PROGRESS", "TRANSCODE_COMPLETE", "WAVEFORM_UPDATE", "UPLOAD_PROGRESS",
                            "UPLOAD_COMPLETE", "DOWNLOAD_PROGRESS", "DOWNLOAD_COMPLETE" };
    platform::RecordingFrontEndHost host;
    TypedBridge bridge (&host);
    int typedOnly = 0, both = 0;
    for (const char* name : typed)
    {
        EXPECT_TRUE (sendTypedEvent (bridge, name, juce::var (new juce::DynamicObject()))) << name;
        typedOnly += isTypedOnlyEvent (name) ? 1 : 0;
        both += isJsonThenTypedEvent (name) ? 1 : 0;
    }
    EXPECT_EQ (typedOnly, 32);
    EXPECT_EQ (both, 8);
    EXPECT_EQ (host.events().size(), 40u);

    for (const char* name : { "FILE_SAVED", "IMAGE_SAVE_COMPLETE", "REDUNDANCY_ERROR", "OAUTH_CALLBACK", "PLAYBACK_UPDATE", "" })
    {
        EXPECT_FALSE (sendTypedEvent (bridge, name, juce::var (new juce::DynamicObject()))) << name;
        EXPECT_FALSE (isTypedOnlyEvent (name) || isJsonThenTypedEvent (name)) << name;
    }
    EXPECT_EQ (host.events().size(), 40u);
}
} // namespace
} // namespace quorvelle::test
