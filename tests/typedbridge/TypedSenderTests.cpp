// Outbound typed events: each sender's buffer is taken from the front end's side of a recording
// host, decoded, verified and read back field by field; scalars equal to their default must not be
// written, strings and vectors always are.

#include "TypedTestSupport.h"

#include "bridge/TypedEventMapping.h"

#include <gtest/gtest.h>

namespace quorvelle::test
{
namespace
{
using P = fb::FromNativePayload;

// The one typed event a call emitted, decoded and verified.
struct Received
{
    std::vector<uint8_t> bytes;
    const fb::FromNativeMessage* root = nullptr;

    template <typename Table>
    const Table& table (P expected) const
    {
        EXPECT_EQ (root->payload_type(), expected);
        return *static_cast<const Table*> (root->payload());
    }
};

class SenderFixture : public ::testing::Test
{
protected:
    platform::RecordingFrontEndHost host;
    TypedBridge bridge { &host };

    Received take()
    {
        const auto events = host.events();
        Received r;
        if (events.size() != 1)
        {
            ADD_FAILURE() << "expected one event, got " << events.size();
            return r;
        }
        host.clearEvents();
        EXPECT_EQ (events[0].name, "fromNative");
        EXPECT_EQ (describe (events[0].payload).substr (0, 28), R"({action:"TYPED_BRIDGE_V1",da)");
        auto* object = events[0].payload.getDynamicObject();
        EXPECT_EQ (object->getProperties().size(), 2);

        juce::MemoryOutputStream out;
        EXPECT_TRUE (juce::Base64::convertFromBase64 (out, events[0].payload["data"].toString()));
        r.bytes.assign (static_cast<const uint8_t*> (out.getData()), static_cast<const uint8_t*> (out.getData()) + out.getDataSize());

        flatbuffers::Verifier verifier (r.bytes.data(), r.bytes.size());
        EXPECT_TRUE (verifier.VerifyBuffer<fb::FromNativeMessage> (nullptr));
        r.root = flatbuffers::GetRoot<fb::FromNativeMessage> (r.bytes.data());
        return r;
    }
};

// Whether a field is stored in its table (as opposed to read back as its default).
template <typename Table>
bool stored (const Table& t, flatbuffers::voffset_t field)
{
    return reinterpret_cast<const flatbuffers::Table*> (&t)->GetOptionalFieldOffset (field) != 0;
}

std::string str (const flatbuffers::String* s) { return s == nullptr ? "<absent>" : s->str(); }

TEST_F (SenderFixture, SessionLoadedWritesAnEmptyLeadingString)
{
    bridge.sendSessionLoaded ("song", 180.5, 48000, 6, "", true, false);
    const auto r = take();
    const auto& t = r.table<fb::SessionLoadedEvent> (P::SessionLoadedEvent);
    EXPECT_EQ (str (t.tag()), "");
    EXPECT_EQ (str (t.songId()), "song");
    EXPECT_EQ (t.audioDuration(), 180.5);
    EXPECT_EQ (t.sampleRate(), 48000);
    EXPECT_EQ (t.trackCount(), 6);
    EXPECT_EQ (str (t.error()), "");
    EXPECT_TRUE (t.wasPreloaded());
    EXPECT_FALSE (stored (t, fb::SessionLoadedEvent::VT_WASPRESTRETCHED));
}

TEST_F (SenderFixture, EmptyTablesAndSingleFields)
{
    bridge.sendAppQuitRequest();
    EXPECT_EQ (take().root->payload_type(), P::AppQuitRequestEvent);
    bridge.sendExportMixCancelled();
    EXPECT_EQ (take().root->payload_type(), P::ExportMixCancelledEvent);
    bridge.sendAudioDeviceLost();
    EXPECT_EQ (take().root->payload_type(), P::AudioDeviceLostEvent);

    bridge.sendDebugLog ("line \xc3\xb1");
    EXPECT_EQ (str (take().table<fb::DebugLogEvent> (P::DebugLogEvent).message()), "line \xc3\xb1");
    bridge.sendLoopTriggered (12.25);
    EXPECT_EQ (take().table<fb::LoopTriggeredEvent> (P::LoopTriggeredEvent).newPosition(), 12.25);
    bridge.sendBoundarySeekTriggered (0.0);
    {
        const auto r = take();
        EXPECT_FALSE (stored (r.table<fb::BoundarySeekTriggeredEvent> (P::BoundarySeekTriggeredEvent), fb::BoundarySeekTriggeredEvent::VT_NEWPOSITION));
    }
    bridge.sendStretchComplete ("s");
    EXPECT_EQ (str (take().table<fb::StretchCompleteEvent> (P::StretchCompleteEvent).songId()), "s");
    bridge.sendExportMixProgress (37.5);
    EXPECT_EQ (take().table<fb::ExportMixProgressEvent> (P::ExportMixProgressEvent).percent(), 37.5);
    bridge.sendExportMixComplete ("/out.wav");
    EXPECT_EQ (str (take().table<fb::ExportMixCompleteEvent> (P::ExportMixCompleteEvent).filePath()), "/out.wav");
    bridge.sendExportMixError ("Rango de export inv\xc3\xa1lido");
    EXPECT_EQ (str (take().table<fb::ExportMixErrorEvent> (P::ExportMixErrorEvent).message()), "Rango de export inv\xc3\xa1lido");
    bridge.sendClickSectionComplete ("e1");
    EXPECT_EQ (str (take().table<fb::ClickSectionCompleteEvent> (P::ClickSectionCompleteEvent).entryId()), "e1");
    bridge.sendClickSectionWarningStart ("e2");
    EXPECT_EQ (str (take().table<fb::ClickSectionWarningStartEvent> (P::ClickSectionWarningStartEvent).entryId()), "e2");
    bridge.sendClickSectionRepeatFired ("e3");
    EXPECT_EQ (str (take().table<fb::ClickSectionRepeatFiredEvent> (P::ClickSectionRepeatFiredEvent).entryId()), "e3");
    bridge.sendSessionClientDisconnected ("c");
    EXPECT_EQ (str (take().table<fb::SessionClientDisconnectedEvent> (P::SessionClientDisconnectedEvent).clientId()), "c");
    bridge.sendRedundancyFailover ("heartbeat_lost");
    EXPECT_EQ (str (take().table<fb::RedundancyFailoverEvent> (P::RedundancyFailoverEvent).reason()), "heartbeat_lost");
}

TEST_F (SenderFixture, ScalarsAtTheirDefaultAreNotWritten)
{
    bridge.sendRedundancyStatus ("standby", false, "", 0);
    {
        const auto r = take();
        const auto& t = r.table<fb::RedundancyStatusEvent> (P::RedundancyStatusEvent);
        EXPECT_EQ (str (t.role()), "standby");
        EXPECT_FALSE (stored (t, fb::RedundancyStatusEvent::VT_PEERCONNECTED));
        EXPECT_FALSE (stored (t, fb::RedundancyStatusEvent::VT_LATENCYMS));
        EXPECT_TRUE (stored (t, fb::RedundancyStatusEvent::VT_PEERIP));
    }

    bridge.sendLoadProgress ("s", 1, 4, 0);
    {
        const auto r = take();
        const auto& t = r.table<fb::LoadProgressEvent> (P::LoadProgressEvent);
        EXPECT_EQ (t.trackIndex(), 1);
        EXPECT_EQ (t.totalTracks(), 4);
        EXPECT_FALSE (stored (t, fb::LoadProgressEvent::VT_PROGRESS));
    }

    bridge.sendSessionServerStatus (false, 0, "", "", "");
    {
        const auto r = take();
        const auto& t = r.table<fb::SessionServerStatusEvent> (P::SessionServerStatusEvent);
        EXPECT_FALSE (stored (t, fb::SessionServerStatusEvent::VT_RUNNING));
        EXPECT_FALSE (stored (t, fb::SessionServerStatusEvent::VT_PORT));
        EXPECT_TRUE (stored (t, fb::SessionServerStatusEvent::VT_IP));
        EXPECT_TRUE (stored (t, fb::SessionServerStatusEvent::VT_MODE));
        EXPECT_TRUE (stored (t, fb::SessionServerStatusEvent::VT_TOKEN));
    }
}

TEST_F (SenderFixture, ProgressAndResultsOfLoadingProcessingAndCloud)
{
    bridge.sendPreloadProgress ("n", 2, 3, 66);
    {
        const auto r = take();
        const auto& t = r.table<fb::PreloadProgressEvent> (P::PreloadProgressEvent);
        EXPECT_EQ (t.progress(), 66);
    }
    bridge.sendPreloadComplete ("n", 3, 44100);
    EXPECT_EQ (take().table<fb::PreloadCompleteEvent> (P::PreloadCompleteEvent).sampleRate(), 44100);
    bridge.sendTrackLoadError ("s", "t", "Drums", "file:///x", "decode");
    {
        const auto r = take();
        const auto& t = r.table<fb::TrackLoadErrorEvent> (P::TrackLoadErrorEvent);
        EXPECT_EQ (str (t.trackName()) + "|" + str (t.url()) + "|" + str (t.diag()), "Drums|file:///x|decode");
    }
    bridge.sendStretchStarted ("s", 5);
    EXPECT_EQ (take().table<fb::StretchStartedEvent> (P::StretchStartedEvent).totalTracks(), 5);
    bridge.sendStretchProgress ("s", 2, 5, 40);
    EXPECT_EQ (take().table<fb::StretchProgressEvent> (P::StretchProgressEvent).percent(), 40);
    bridge.sendTranscodeProgress ("i", "t", 55, "working");
    EXPECT_EQ (str (take().table<fb::TranscodeProgressEvent> (P::TranscodeProgressEvent).message()), "working");

    bridge.sendTranscodeComplete ("i", "t", "file:///a.flac", "/a.flac", true, "flac", "", true, "", 5'000'000'000LL, 48000.0, 2, 24, 3.5);
    {
        const auto r = take();
        const auto& t = r.table<fb::TranscodeCompleteEvent> (P::TranscodeCompleteEvent);
        EXPECT_TRUE (t.hasContentHash());
        EXPECT_EQ (str (t.contentHash()), "");
        EXPECT_EQ (t.sizeBytes(), 5'000'000'000LL);
        EXPECT_EQ (t.bitDepth(), 24);
        EXPECT_EQ (t.duration(), 3.5);
    }

    bridge.sendFileSaved ("1", "/root/a.txt", "file:///root/a.txt");
    {
        const auto r = take();
        const auto& t = r.table<fb::FileSavedEvent> (P::FileSavedEvent);
        EXPECT_EQ (str (t.id()) + "|" + str (t.path()) + "|" + str (t.url()), "1|/root/a.txt|file:///root/a.txt");
    }

    bridge.sendImageSaveComplete ("2", false, "", "", 0, "", "payload_too_large");
    {
        const auto r = take();
        const auto& t = r.table<fb::ImageSaveCompleteEvent> (P::ImageSaveCompleteEvent);
        EXPECT_FALSE (stored (t, fb::ImageSaveCompleteEvent::VT_SUCCESS));
        EXPECT_FALSE (stored (t, fb::ImageSaveCompleteEvent::VT_SIZEBYTES));
        EXPECT_TRUE (stored (t, fb::ImageSaveCompleteEvent::VT_URL));
        EXPECT_EQ (str (t.error()), "payload_too_large");
    }

    bridge.sendUploadProgress ("j", (1LL << 33) + 5, 1LL << 34, 0);
    {
        const auto r = take();
        const auto& t = r.table<fb::UploadProgressEvent> (P::UploadProgressEvent);
        EXPECT_EQ (t.bytesUploaded(), (1LL << 33) + 5);
        EXPECT_FALSE (stored (t, fb::UploadProgressEvent::VT_PROGRESS));
    }
    bridge.sendDownloadProgress ("j", 10, 20, 50);
    EXPECT_EQ (take().table<fb::DownloadProgressEvent> (P::DownloadProgressEvent).bytesDownloaded(), 10);

    bridge.sendUploadComplete ("j", "af", true, "", true, "", "t", "s", "pf", "p");
    {
        const auto r = take();
        const auto& t = r.table<fb::UploadCompleteEvent> (P::UploadCompleteEvent);
        EXPECT_TRUE (t.hasRefKind());
        EXPECT_EQ (str (t.refKind()), "");
        EXPECT_EQ (str (t.padFileId()) + "|" + str (t.padId()), "pf|p");
    }
    bridge.sendDownloadComplete ("j", "af", "audio", "track", "s", "t", "p", "pf", "file:///x", true, "ok");
    {
        const auto r = take();
        const auto& t = r.table<fb::DownloadCompleteEvent> (P::DownloadCompleteEvent);
        EXPECT_EQ (str (t.kind()) + "|" + str (t.refKind()) + "|" + str (t.localUrl()) + "|" + str (t.detail()), "audio|track|file:///x|ok");
        EXPECT_TRUE (t.success());
    }

    bridge.sendUploadQueueSnapshot ("q", "[]", 0);
    {
        const auto r = take();
        const auto& t = r.table<fb::UploadQueueSnapshotEvent> (P::UploadQueueSnapshotEvent);
        EXPECT_EQ (str (t.jobs()), "[]");
        EXPECT_FALSE (stored (t, fb::UploadQueueSnapshotEvent::VT_COUNT));
    }

    bridge.sendLocalFilesStatus ("r", { { "t1", true, 1234 }, { "t2", false, 0 } });
    {
        const auto r = take();
        const auto& t = r.table<fb::LocalFilesStatusEvent> (P::LocalFilesStatusEvent);
        ASSERT_EQ (t.items()->size(), 2u);
        EXPECT_EQ (str (t.items()->Get (0)->trackId()), "t1");
        EXPECT_EQ (t.items()->Get (0)->sizeBytes(), 1234);
        EXPECT_FALSE (stored (*t.items()->Get (1), fb::LocalFileStatusEntry::VT_EXISTS));
    }
}

TEST_F (SenderFixture, VectorsKeepOrderAndAreWrittenWhenEmpty)
{
    bridge.sendWaveformUpdate ("s", { 0.25f, 1.0f }, {}, { -1.0f });
    {
        const auto r = take();
        const auto& t = r.table<fb::WaveformUpdateEvent> (P::WaveformUpdateEvent);
        ASSERT_NE (t.peaksMin(), nullptr);
        EXPECT_EQ (t.peaksMin()->size(), 0u);
        ASSERT_EQ (t.peaks()->size(), 2u);
        EXPECT_EQ (t.peaks()->Get (1), 1.0f);
        EXPECT_EQ (t.peaksMax()->Get (0), -1.0f);
    }

    bridge.sendMidiDevicesList ({ { "1", "A" }, { "", "" } });
    {
        const auto r = take();
        const auto& t = r.table<fb::MidiDevicesListEvent> (P::MidiDevicesListEvent);
        ASSERT_EQ (t.devices()->size(), 2u);
        EXPECT_EQ (str (t.devices()->Get (0)->name()), "A");
        EXPECT_EQ (str (t.devices()->Get (1)->id()), "");
    }
    bridge.sendMidiInputDevicesList ({});
    {
        const auto r = take();
        const auto& t = r.table<fb::MidiInputDevicesListEvent> (P::MidiInputDevicesListEvent);
        ASSERT_NE (t.devices(), nullptr);
        EXPECT_EQ (t.devices()->size(), 0u);
    }
    bridge.sendMidiInputMessage ("in", 0x90, 60, 100);
    EXPECT_EQ (take().table<fb::MidiInputMessageEvent> (P::MidiInputMessageEvent).data2(), 100);
}

TEST_F (SenderFixture, AudioDevicesListDefaultsMaxOutputChannelsToTwo)
{
    TypedBridge::AudioDevicesListInfo info;
    EXPECT_EQ (info.maxOutputChannels, 2);
    info.drivers = { "ALSA", "Virtual" };
    info.devices = { "Virtual 8" };
    info.currentDriver = "Virtual";
    info.sampleRates = { 44100.0, 48000.0 };
    info.bufferSizes = { 128, 256 };
    info.currentSampleRate = 48000.0;
    bridge.sendAudioDevicesList (info);
    {
        const auto r = take();
        const auto& t = r.table<fb::AudioDevicesListEvent> (P::AudioDevicesListEvent);
        EXPECT_EQ (str (t.drivers()->Get (1)), "Virtual");
        EXPECT_EQ (t.devices()->size(), 1u);
        EXPECT_EQ (str (t.currentDevice()), "");
        EXPECT_EQ (t.sampleRates()->Get (1), 48000.0);
        EXPECT_EQ (t.bufferSizes()->Get (0), 128);
        EXPECT_FALSE (stored (t, fb::AudioDevicesListEvent::VT_MAXOUTPUTCHANNELS));
        EXPECT_EQ (t.maxOutputChannels(), 2);
        EXPECT_FALSE (stored (t, fb::AudioDevicesListEvent::VT_CURRENTBUFFERSIZE));
    }

    info.maxOutputChannels = 0;
    bridge.sendAudioDevicesList (info);
    {
        const auto r = take();
        const auto& t = r.table<fb::AudioDevicesListEvent> (P::AudioDevicesListEvent);
        EXPECT_TRUE (stored (t, fb::AudioDevicesListEvent::VT_MAXOUTPUTCHANNELS));
        EXPECT_EQ (t.maxOutputChannels(), 0);
    }
}

TEST_F (SenderFixture, DeviceClickSessionAndRedundancyEvents)
{
    bridge.sendAudioConfigError ("setSampleRate", "refused");
    EXPECT_EQ (str (take().table<fb::AudioConfigErrorEvent> (P::AudioConfigErrorEvent).error()), "refused");
    bridge.sendClickSectionStarted ("e", "loop", 1LL << 40, 44100, -1);
    {
        const auto r = take();
        const auto& t = r.table<fb::ClickSectionStartedEvent> (P::ClickSectionStartedEvent);
        EXPECT_EQ (t.totalSamples(), 1LL << 40);
        EXPECT_EQ (t.samplesPerBar(), -1);
    }
    bridge.sendSessionClientConnected ("c", "Phone", "viewer");
    EXPECT_EQ (str (take().table<fb::SessionClientConnectedEvent> (P::SessionClientConnectedEvent).clientRole()), "viewer");
    bridge.sendSessionClientRequest ("c", "Phone", "controller");
    EXPECT_EQ (str (take().table<fb::SessionClientRequestEvent> (P::SessionClientRequestEvent).requestedRole()), "controller");
    bridge.sendSessionRemoteCommand ("c", "k", "null");
    EXPECT_EQ (str (take().table<fb::SessionRemoteCommandEvent> (P::SessionRemoteCommandEvent).command()), "null");
    bridge.sendRedundancySongSync ("s", 120.0, 3.5, true);
    {
        const auto r = take();
        const auto& t = r.table<fb::RedundancySongSyncEvent> (P::RedundancySongSyncEvent);
        EXPECT_EQ (t.bpm(), 120.0);
        EXPECT_TRUE (t.isPlaying());
    }
}

TEST_F (SenderFixture, NothingIsSentWhileTheFrontEndIsHidden)
{
    host.setVisible (false);
    bridge.sendDebugLog ("hidden");
    bridge.sendAudioDeviceLost();
    EXPECT_TRUE (host.events().empty());
}

TEST (TypedStringVector, CreatesElementsInOrder)
{
    flatbuffers::FlatBufferBuilder b;
    const auto v = TypedBridge::createStringVector (b, { "a", "", "c" });
    b.Finish (v);
    const auto* read = flatbuffers::GetRoot<flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>> (b.GetBufferPointer());
    ASSERT_EQ (read->size(), 3u);
    EXPECT_EQ (read->Get (0)->str() + "|" + read->Get (1)->str() + "|" + read->Get (2)->str(), "a||c");
}
} // namespace
} // namespace quorvelle::test
