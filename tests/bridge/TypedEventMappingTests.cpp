// How an event object becomes the arguments of its typed sender.
#include "BridgeTestSupport.h"

#include "bridge/TypedEventMapping.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
TEST (TypedEventArguments, ConvertsFieldsByTheirRules)
{
    struct Case
    {
        const char* action;
        const char* eventJson;
        std::string expectedCall;
    };
    const std::vector<Case> cases {
        { "AUDIO_DEVICES_LIST", R"({"currentDriver":"ALSA"})", "sendAudioDevicesList||0|2|ALSA" },
        { "AUDIO_DEVICES_LIST", R"({"maxOutputChannels":0,"sampleRates":[44100,"48000"],"bufferSizes":"256"})",
          "sendAudioDevicesList|44100,48000,|0|0|" },
        { "TRANSCODE_COMPLETE", R"({"id":"t1","sizeBytes":8589934592})", "sendTranscodeComplete|t1|false||8589934592" },
        { "TRANSCODE_COMPLETE", R"({"id":"t2","contentHash":""})", "sendTranscodeComplete|t2|true||0" },
        { "UPLOAD_COMPLETE", R"({"jobId":"u"})", "sendUploadComplete|u|false|" },
        { "UPLOAD_COMPLETE", R"({"jobId":"u","refKind":"pad"})", "sendUploadComplete|u|true|pad" },
        { "DOWNLOAD_COMPLETE", R"({"jobId":"d","success":true})", "sendDownloadComplete|d||true" },
        { "LOAD_PROGRESS", R"({"songId":"s","progress":37.9})", "sendLoadProgress|s|0|0|37" },
        { "LOAD_PROGRESS", R"({"progress":"42","trackIndex":2})", "sendLoadProgress||2|0|42" },
        { "CLICK_SECTION_STARTED", R"({"entryId":"e","totalSamples":96000.7,"samplesPerIteration":-0.9})",
          "sendClickSectionStarted|e||96000|0|0" },
        { "MIDI_DEVICES_LIST", R"({"devices":[{"id":"1","name":"A"},5]})", "sendMidiDevicesList|[1:A][:]" },
        { "MIDI_INPUT_DEVICES_LIST", R"({"devices":"none"})", "sendMidiInputDevicesList|0" },
        { "SESSION_REMOTE_COMMAND", R"({"clientId":"c","commandId":"k"})", "sendSessionRemoteCommand|c|k|null" },
        { "WAVEFORM_UPDATE", R"({"songId":"w","peaks":[0.25,1],"peaksMin":7})", "sendWaveformUpdate|w|0.25,1,|0|0" },
        { "EXPORT_MIX_COMPLETE", R"({"filePath":"/a b.wav","filePathB64":"L2EgYi53YXY="})", "sendExportMixComplete|/a b.wav" },
        { "AUDIO_DEVICE_LOST", R"({"extra":1})", "sendAudioDeviceLost" },
        { "DEBUG_LOG", R"({})", "sendDebugLog|" },
    };

    for (const auto& c : cases)
    {
        RecordingTypedBridge bridge (nullptr);
        ASSERT_TRUE (sendTypedEvent (bridge, c.action, juce::JSON::parse (c.eventJson))) << c.action;
        ASSERT_EQ (bridge.calls.size(), 1u) << c.action;
        EXPECT_EQ (bridge.calls[0], c.expectedCall) << c.action << " " << c.eventJson;
    }
}

TEST (TypedEventArguments, RemoteCommandTravelsAsMultiLineJson)
{
    RecordingTypedBridge bridge (nullptr);
    sendTypedEvent (bridge, "SESSION_REMOTE_COMMAND", juce::JSON::parse (R"({"command":{"type":"PLAY"}})"));
    ASSERT_EQ (bridge.calls.size(), 1u);
    const auto command = juce::String (bridge.calls[0]).fromLastOccurrenceOf ("|", false, false);
    EXPECT_TRUE (command.contains ("\r\n"));
    EXPECT_EQ (juce::JSON::parse (command).getProperty ("type", {}).toString(), "PLAY");
}

TEST (TypedEventArguments, TheFortyTypedNames)
{
    int typedOnly = 0, both = 0;
    for (auto* name : { "DEBUG_LOG", "LOOP_TRIGGERED", "BOUNDARY_SEEK_TRIGGERED", "LOAD_PROGRESS", "PRELOAD_PROGRESS", "PRELOAD_COMPLETE",
                        "TRACK_LOAD_ERROR", "STRETCH_STARTED", "STRETCH_PROGRESS", "STRETCH_COMPLETE", "EXPORT_MIX_PROGRESS",
                        "EXPORT_MIX_COMPLETE", "EXPORT_MIX_CANCELLED", "EXPORT_MIX_ERROR", "AUDIO_DEVICES_LIST", "AUDIO_DEVICE_LOST",
                        "AUDIO_CONFIG_ERROR", "MIDI_DEVICES_LIST", "MIDI_INPUT_DEVICES_LIST", "MIDI_INPUT_MESSAGE", "CLICK_SECTION_STARTED",
                        "CLICK_SECTION_COMPLETE", "CLICK_SECTION_WARNING_START", "CLICK_SECTION_REPEAT_FIRED", "SESSION_SERVER_STATUS",
                        "SESSION_CLIENT_CONNECTED", "SESSION_CLIENT_DISCONNECTED", "SESSION_CLIENT_REQUEST", "SESSION_REMOTE_COMMAND",
                        "REDUNDANCY_STATUS", "REDUNDANCY_SONG_SYNC", "REDUNDANCY_FAILOVER", "SESSION_LOADED", "TRANSCODE_PROGRESS",
                        "TRANSCODE_COMPLETE", "WAVEFORM_UPDATE", "UPLOAD_PROGRESS", "UPLOAD_COMPLETE", "DOWNLOAD_PROGRESS",
                        "DOWNLOAD_COMPLETE" })
    {
        typedOnly += isTypedOnlyEvent (name) ? 1 : 0;
        both += isJsonThenTypedEvent (name) ? 1 : 0;
        EXPECT_NE (isTypedOnlyEvent (name), isJsonThenTypedEvent (name)) << name;
        TypedBridge silent (nullptr);
        EXPECT_TRUE (sendTypedEvent (silent, name, juce::var (new juce::DynamicObject()))) << name;
    }
    EXPECT_EQ (typedOnly, 32);
    EXPECT_EQ (both, 8);

    TypedBridge silent (nullptr);
    for (auto* name : { "PLAYBACK_UPDATE", "BACKEND_READY", "debug_log", "APP_QUIT_REQUEST", "FILE_SAVED" })
    {
        EXPECT_FALSE (isTypedOnlyEvent (name) || isJsonThenTypedEvent (name)) << name;
        EXPECT_FALSE (sendTypedEvent (silent, name, juce::var (new juce::DynamicObject()))) << name;
    }
}
} // namespace
} // namespace quorvelle::test
