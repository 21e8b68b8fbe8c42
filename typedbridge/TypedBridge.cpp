#include "typedbridge/TypedBridge.h"

#include "typedbridge/TypedHandlers.h"
#include "typedbridge/TypedMessages_generated.h"

namespace quorvelle
{
namespace fb = quorvelle::bridge;

namespace
{
using T = fb::ToNativePayload;

// A string field's bytes exactly as counted (zero bytes included); empty when absent.
std::string text (const flatbuffers::String* s)
{
    return s != nullptr ? std::string (s->data(), s->size()) : std::string();
}

//==============================================================================
// Copying payload tables into argument records, field by field in field order. The readers give
// the schema's default for an absent scalar. A record that several tables share has one `copy`
// template for all of them.

void copy (const fb::TransportPlay& t, TypedBridge::PlayArgs& a)
{
    a.tag = text (t.tag());
    a.fromStart = t.fromStart();
    a.forceCountIn = t.forceCountIn();
    a.startPosition = t.startPosition();
    a.sectionKey = text (t.sectionKey());
    a.sectionPreRoll = t.sectionPreRoll();
    a.countInBpm = t.countInBpm();
    a.countInNumerator = t.countInNumerator();
    a.countInDenominator = t.countInDenominator();
    a.countInTruncateSec = t.countInTruncateSec();
}

void copy (const fb::TransportSeek& t, TypedBridge::SeekArgs& a)
{
    a.tag = text (t.tag());
    a.position = t.position();
    a.sectionKey = text (t.sectionKey());
    a.sectionPreRoll = t.sectionPreRoll();
    a.countInBpm = t.countInBpm();
    a.countInNumerator = t.countInNumerator();
    a.countInDenominator = t.countInDenominator();
}

void copy (const fb::TransportLoopSeek& t, TypedBridge::LoopSeekArgs& a) { a.tag = text (t.tag()); a.position = t.position(); }

template <typename Table>
void copy (const Table& t, TypedBridge::FadeArgs& a) { a.tag = text (t.tag()); a.duration = t.duration(); }

void copy (const fb::TransportSetLoopRegion& t, TypedBridge::SetLoopRegionArgs& a)
{
    a.tag = text (t.tag());
    a.active = t.active();
    a.start = t.start();
    a.end = t.end();
}

template <typename Table>
void copy (const Table& t, TypedBridge::SetBoundarySeekArgs& a)
{
    a.tag = text (t.tag());
    a.active = t.active();
    a.triggerTime = t.triggerTime();
    a.targetPosition = t.targetPosition();
}

// Appends one element record per element table, in order; an absent vector appends nothing.
template <typename Element, typename Record, typename Copy>
void copyVector (const flatbuffers::Vector<flatbuffers::Offset<Element>>* v, std::vector<Record>& out, Copy copyElement)
{
    if (v == nullptr)
        return;
    out.reserve (v->size());
    for (const auto* element : *v)
    {
        Record r;
        copyElement (*element, r);
        out.push_back (std::move (r));
    }
}

void copy (const fb::BatchMixState& t, TypedBridge::BatchMixStateArgs& a)
{
    a.tag = text (t.tag());
    if (const auto* master = t.master())
    {
        a.hasMaster = true;
        a.masterVolume = master->volume();
    }
    copyVector (t.tracks(), a.tracks, [] (const fb::TrackMixState& e, TypedBridge::TrackMixState& r)
    {
        r.id = text (e.id());
        r.volume = e.volume();
        r.muted = e.muted();
        r.soloed = e.soloed();
    });
    if (const auto* guide = t.guide())
    {
        a.hasGuide = true;
        a.guideVolume = guide->volume();
        a.guideMuted = guide->muted();
        a.guideSoloed = guide->soloed();
    }
    if (const auto* metronome = t.metronome())
    {
        a.hasMetronome = true;
        a.metronomeMuted = metronome->muted();
        a.metronomeSoloed = metronome->soloed();
    }
    copyVector (t.buses(), a.buses, [] (const fb::BusMixState& e, TypedBridge::BusMixState& r)
    {
        r.groupId = text (e.groupId());
        r.volume = e.volume();
    });
    copyVector (t.seqGuideOverrides(), a.seqGuideOverrides, [] (const fb::SeqGuideOverride& e, TypedBridge::SeqGuideOverride& r)
    {
        r.id = text (e.id());
        r.volume = e.volume();
        r.muted = e.muted();
    });
}

void copy (const fb::SetTrackVolume& t, TypedBridge::SetTrackVolumeArgs& a) { a.tag = text (t.tag()); a.id = text (t.id()); a.volume = t.volume(); }
void copy (const fb::SetTrackMute& t, TypedBridge::SetTrackMuteArgs& a) { a.tag = text (t.tag()); a.id = text (t.id()); a.muted = t.muted(); }
void copy (const fb::SetTrackSolo& t, TypedBridge::SetTrackSoloArgs& a) { a.tag = text (t.tag()); a.id = text (t.id()); a.soloed = t.soloed(); }

template <typename Table> void copy (const Table& t, TypedBridge::SetVolumeArgs& a) { a.tag = text (t.tag()); a.volume = t.volume(); }
template <typename Table> void copy (const Table& t, TypedBridge::SetMuteArgs& a) { a.tag = text (t.tag()); a.muted = t.muted(); }
template <typename Table> void copy (const Table& t, TypedBridge::SetSoloArgs& a) { a.tag = text (t.tag()); a.soloed = t.soloed(); }

void copy (const fb::UpdateMetronome& t, TypedBridge::UpdateMetronomeArgs& a)
{
    a.tag = text (t.tag());
    a.volume = t.volume();
    a.sound = text (t.sound());
    a.hasSubdivisionVolumes = t.hasSubdivisionVolumes();
    a.accentVol = t.accentVol();
    a.quarterVol = t.quarterVol();
    a.eighthVol = t.eighthVol();
    a.sixteenthVol = t.sixteenthVol();
}

template <typename Table> void copy (const Table& t, TypedBridge::SetSourceArgs& a) { a.tag = text (t.tag()); a.internal = t.source() == 0; }
template <typename Table> void copy (const Table& t, TypedBridge::SetEnabledArgs& a) { a.tag = text (t.tag()); a.enabled = t.enabled(); }

void copy (const fb::StartCountIn& t, TypedBridge::StartCountInArgs& a)
{
    a.tag = text (t.tag());
    a.bpm = t.bpm();
    a.numerator = t.numerator();
    a.denominator = t.denominator();
    a.sectionKey = text (t.sectionKey());
}

void copy (const fb::SetTimeSignature& t, TypedBridge::SetTimeSignatureArgs& a)
{
    a.tag = text (t.tag());
    a.numerator = t.numerator();
    a.denominator = t.denominator();
}

void copy (const fb::SetTimeSignatureMap& t, TypedBridge::SetTimeSignatureMapArgs& a)
{
    a.tag = text (t.tag());
    copyVector (t.map(), a.map, [] (const fb::TimeSignatureMapItem& e, TypedBridge::TimeSignatureMapItem& r)
    {
        r.time = e.time();
        r.numerator = e.numerator();
        r.denominator = e.denominator();
    });
}

void copy (const fb::SetBusVolume& t, TypedBridge::SetBusVolumeArgs& a) { a.tag = text (t.tag()); a.groupId = text (t.groupId()); a.volume = t.volume(); }

void copy (const fb::SetBusRouting& t, TypedBridge::SetBusRoutingArgs& a)
{
    a.tag = text (t.tag());
    copyVector (t.routing(), a.routing, [] (const fb::BusRoutingEntry& e, TypedBridge::BusRoutingEntry& r)
    {
        r.id = text (e.id());
        r.mode = text (e.mode());
        if (const auto* channels = e.channels())
            r.channels.assign (channels->begin(), channels->end());
    });
}

void copy (const fb::SetChannelOverrides& t, TypedBridge::SetChannelOverridesArgs& a)
{
    a.tag = text (t.tag());
    copyVector (t.overrides(), a.overrides, [] (const fb::ChannelOverrideEntry& e, TypedBridge::ChannelOverrideEntry& r)
    {
        r.key = text (e.key());
        r.value = text (e.value());
    });
}

// The types whose whole action travels as JSON text.
template <typename Table, typename Record>
    requires requires (Record& r) { r.json; }
void copy (const Table& t, Record& a) { a.tag = text (t.tag()); a.json = text (t.json()); }

void copy (const fb::ActivatePreloaded& t, TypedBridge::ActivatePreloadedArgs& a)
{
    a.tag = text (t.tag());
    a.songId = text (t.songId());
    a.autoPlay = t.autoPlay();
    a.startPosition = t.startPosition();
    a.fastReset = t.fastReset();
}

void copy (const fb::SetClickSectionRepeat& t, TypedBridge::ClickEntryArgs& a) { a.tag = text (t.tag()); a.entryId = text (t.entryId()); a.value = t.repeat(); }
void copy (const fb::SetClickSectionLoop& t, TypedBridge::ClickEntryArgs& a) { a.tag = text (t.tag()); a.entryId = text (t.entryId()); a.value = t.enabled(); }

void copy (const fb::SetClickSectionNextSeekTarget& t, TypedBridge::SetClickSectionNextSeekTargetArgs& a)
{
    a.tag = text (t.tag());
    a.entryId = text (t.entryId());
    a.target = t.target();
    a.warningIndicationId = text (t.warningIndicationId());
    a.warningSectionName = text (t.warningSectionName());
}

void copy (const fb::UpdatePad& t, TypedBridge::UpdatePadArgs& a)
{
    a.tag = text (t.tag());
    a.pad = t.pad() == 0 ? 1 : 2;
    a.enabled = t.enabled();
    a.file = text (t.file());
    a.volume = t.volume();
    a.fadeTime = t.fadeTime();
    a.key = text (t.key());
}

template <typename Table> void copy (const Table& t, TypedBridge::PadFileArgs& a) { a.tag = text (t.tag()); a.file = text (t.file()); }
void copy (const fb::SetPadMasterVolume& t, TypedBridge::PadVolumeArgs& a) { a.tag = text (t.tag()); a.volume = t.volume(); }
template <typename Table> void copy (const Table& t, TypedBridge::PadFrequencyArgs& a) { a.tag = text (t.tag()); a.frequency = t.frequency(); }
void copy (const fb::SetContinuePad& t, TypedBridge::SetContinuePadArgs& a) { a.tag = text (t.tag()); a.pad1 = t.pad1(); a.pad2 = t.pad2(); }

void copy (const fb::UpdateGuideState& t, TypedBridge::UpdateGuideStateArgs& a)
{
    a.tag = text (t.tag());
    a.looping = t.looping();
    a.repeating = t.repeating();
    a.queuedSection = text (t.queuedSection());
}

void copy (const fb::UpdateSections& t, TypedBridge::UpdateSectionsArgs& a)
{
    a.tag = text (t.tag());
    copyVector (t.sections(), a.sections, [] (const fb::SectionEntry& e, TypedBridge::SectionEntry& r)
    {
        r.name = text (e.name());
        r.startTime = e.startTime();
        r.type = text (e.type());
        r.triggerTime = e.triggerTime();
    });
}

void copy (const fb::LoadIndicationToRam& t, TypedBridge::LoadIndicationToRamArgs& a)
{
    a.tag = text (t.tag());
    a.indicationId = text (t.indicationId());
    a.filePath = text (t.filePath());
}

void copy (const fb::UnloadIndicationFromRam& t, TypedBridge::UnloadIndicationFromRamArgs& a) { a.tag = text (t.tag()); a.indicationId = text (t.indicationId()); }

void copy (const fb::SetIndicationSchedule& t, TypedBridge::SetIndicationScheduleArgs& a)
{
    a.tag = text (t.tag());
    copyVector (t.schedule(), a.schedule, [] (const fb::IndicationScheduleEntry& e, TypedBridge::IndicationScheduleEntry& r)
    {
        r.markerId = text (e.markerId());
        r.indicationId = text (e.indicationId());
        r.playbackPositionSec = e.playbackPositionSec();
        r.truncateAtSec = e.truncateAtSec();
    });
}

void copy (const fb::SaveFile& t, TypedBridge::SaveFileArgs& a)
{
    a.tag = text (t.tag());
    a.id = text (t.id());
    a.filename = text (t.filename());
    a.subfolder = text (t.subfolder());
    a.data = text (t.data());
}

void copy (const fb::SaveAndHashImage& t, TypedBridge::SaveAndHashImageArgs& a)
{
    a.tag = text (t.tag());
    a.id = text (t.id());
    a.filename = text (t.filename());
    a.subfolder = text (t.subfolder());
    a.mimeType = text (t.mimeType());
    a.data = text (t.data());
}

void copy (const fb::SaveLibrary& t, TypedBridge::SaveLibraryArgs& a) { a.tag = text (t.tag()); a.data = text (t.data()); }
void copy (const fb::DeleteSongFiles& t, TypedBridge::DeleteSongFilesArgs& a) { a.tag = text (t.tag()); a.songId = text (t.songId()); }
void copy (const fb::SetAudioDriver& t, TypedBridge::SetAudioDriverArgs& a) { a.tag = text (t.tag()); a.driver = text (t.driver()); }
void copy (const fb::SetAudioDevice& t, TypedBridge::SetAudioDeviceArgs& a) { a.tag = text (t.tag()); a.device = text (t.device()); }
void copy (const fb::SetSampleRate& t, TypedBridge::SetSampleRateArgs& a) { a.tag = text (t.tag()); a.sampleRate = t.sampleRate(); }
void copy (const fb::SetBufferSize& t, TypedBridge::SetBufferSizeArgs& a) { a.tag = text (t.tag()); a.bufferSize = t.bufferSize(); }
void copy (const fb::SetSplitMonitor& t, TypedBridge::SetSplitMonitorArgs& a) { a.tag = text (t.tag()); a.enabled = t.enabled(); }
void copy (const fb::SetPerformanceLevel& t, TypedBridge::SetPerformanceLevelArgs& a) { a.tag = text (t.tag()); a.level = text (t.level()); }
void copy (const fb::RedundancyEnable& t, TypedBridge::RedundancyEnableArgs& a) { a.tag = text (t.tag()); a.role = text (t.role()); }
void copy (const fb::ApplyStretch& t, TypedBridge::ApplyStretchArgs& a) { a.tag = text (t.tag()); a.bpm = t.bpm(); a.semitones = t.semitones(); }

void copy (const fb::SaveAndTranscode& t, TypedBridge::SaveAndTranscodeArgs& a)
{
    a.tag = text (t.tag());
    a.id = text (t.id());
    a.filename = text (t.filename());
    a.subfolder = text (t.subfolder());
    a.trackId = text (t.trackId());
    a.data = text (t.data());
}

void copy (const fb::SetMidiMaster& t, TypedBridge::SetMidiMasterArgs& a) { a.tag = text (t.tag()); a.enabled = t.enabled(); }

void copy (const fb::SetMidiBuses& t, TypedBridge::SetMidiBusesArgs& a)
{
    a.tag = text (t.tag());
    copyVector (t.buses(), a.buses, [] (const fb::MidiBusEntry& e, TypedBridge::MidiBusEntry& r)
    {
        r.id = text (e.id());
        r.portId = text (e.portId());
        r.channel = e.channel();
        r.enabled = e.enabled();
    });
}

template <typename Table> void copy (const Table& t, TypedBridge::MidiDeviceIdArgs& a) { a.tag = text (t.tag()); a.deviceId = text (t.deviceId()); }

void copy (const fb::SendMidiMessage& t, TypedBridge::SendMidiMessageArgs& a)
{
    a.tag = text (t.tag());
    a.channel = t.channel();
    a.type = text (t.type());
    a.value = t.value();
    a.subValue = t.subValue();
}

void copy (const fb::UpdateMidiCues& t, TypedBridge::UpdateMidiCuesArgs& a)
{
    a.tag = text (t.tag());
    copyVector (t.cues(), a.cues, [] (const fb::MidiCueEntry& e, TypedBridge::MidiCueEntry& r)
    {
        r.id = text (e.id());
        r.name = text (e.name());
        r.time = e.time();
        r.busId = text (e.busId());
        r.messageType = text (e.messageType());
        r.value = e.value();
        r.velocity = e.velocity();
        r.disableOnLoop = e.disableOnLoop();
        r.description = text (e.description());
    });
}

void copy (const fb::SessionStartServer& t, TypedBridge::SessionStartServerArgs& a) { a.tag = text (t.tag()); a.port = t.port(); a.mode = text (t.mode()); }

void copy (const fb::SessionApproveClient& t, TypedBridge::SessionApproveClientArgs& a)
{
    a.tag = text (t.tag());
    a.clientId = text (t.clientId());
    a.approved = t.approved();
}

void copy (const fb::SessionKickClient& t, TypedBridge::SessionClientArgs& a) { a.tag = text (t.tag()); a.clientId = text (t.clientId()); }
template <typename Table> void copy (const Table& t, TypedBridge::SessionBroadcastArgs& a) { a.tag = text (t.tag()); a.payload = text (t.payload()); }

void copy (const fb::SessionCommandResult& t, TypedBridge::SessionCommandResultArgs& a)
{
    a.tag = text (t.tag());
    a.clientId = text (t.clientId());
    a.commandId = text (t.commandId());
    a.success = t.success();
    a.error = text (t.error());
}

void copy (const fb::SetCloudConfig& t, TypedBridge::SetCloudConfigArgs& a)
{
    a.tag = text (t.tag());
    a.supabaseUrl = text (t.supabaseUrl());
    a.anonKey = text (t.anonKey());
    a.authToken = text (t.authToken());
    a.workspaceId = text (t.workspaceId());
}

template <typename Record>
void copyRef (const fb::CloudRef* ref, Record& a)
{
    if (ref == nullptr)
        return;
    a.songId = text (ref->songId());
    a.trackId = text (ref->trackId());
    a.padId = text (ref->padId());
    a.padFileId = text (ref->padFileId());
}

void copy (const fb::EnqueueUpload& t, TypedBridge::EnqueueUploadArgs& a)
{
    a.tag = text (t.tag());
    a.contentHash = text (t.contentHash());
    a.localPath = text (t.localPath());
    a.sizeBytes = t.sizeBytes();
    a.workspaceId = text (t.workspaceId());
    a.kind = text (t.kind());
    a.refKind = text (t.refKind());
    copyRef (t.ref(), a);
    if (const auto* audio = t.audio())
    {
        a.sampleRate = audio->sampleRate();
        a.channels = audio->channels();
        a.bitDepth = audio->bitDepth();
        a.duration = audio->duration();
    }
    if (const auto* image = t.image())
    {
        a.mimeType = text (image->mimeType());
        a.imageWidth = image->imageWidth();
        a.imageHeight = image->imageHeight();
    }
}

void copy (const fb::EnqueueDownload& t, TypedBridge::EnqueueDownloadArgs& a)
{
    a.tag = text (t.tag());
    a.audioFileId = text (t.audioFileId());
    a.kind = text (t.kind());
    a.refKind = text (t.refKind());
    copyRef (t.ref(), a);
    a.expectedBytes = t.expectedBytes();
}

void copy (const fb::GetUploadQueue& t, TypedBridge::CloudCorrelatedArgs& a) { a.tag = text (t.tag()); a.id = text (t.id()); }

void copy (const fb::CheckLocalFiles& t, TypedBridge::CheckLocalFilesArgs& a)
{
    a.tag = text (t.tag());
    a.id = text (t.id());
    copyVector (t.items(), a.items, [] (const fb::LocalFileItem& e, TypedBridge::LocalFileItem& r)
    {
        r.trackId = text (e.trackId());
        r.path = text (e.path());
    });
}

//==============================================================================
// Calls a slot with the record that `copy` builds from the payload table; nothing happens when
// the slot is empty or the payload is absent.
template <typename Table, typename Record>
void deliver (const fb::ToNativeMessage& root, const TypedBridge::Slot<Record>& slot)
{
    if (! slot)
        return;
    const auto* table = static_cast<const Table*> (root.payload());
    if (table == nullptr)
        return;
    Record record;
    copy (*table, record);
    slot (record);
}

// For the types whose table holds only the leading string.
template <typename Table>
void deliverTag (const fb::ToNativeMessage& root, const TypedBridge::TextSlot& slot)
{
    if (! slot)
        return;
    const auto* table = static_cast<const Table*> (root.payload());
    if (table == nullptr)
        return;
    const std::string tag = text (table->tag());
    slot (tag);
}
} // namespace

//==============================================================================
TypedBridge::TypedBridge (platform::FrontEndHost* b) : browser (b) {}

TypedBridge::~TypedBridge() = default;

void TypedBridge::setRequestHandler (RequestHandler handler, LogLine unknownTypeLog)
{
    if (! unknownTypeLog)
        unknownTypeLog = [this] (const juce::String& line)
        {
            sendDebugLog (line.toStdString());
            juce::Logger::writeToLog (line);
        };
    installTypedHandlers (*this, std::move (handler), std::move (unknownTypeLog));
}

void TypedBridge::dispatchBase64 (const std::string& data)
{
    // Sized for the whole message up front (3 bytes per 4 characters): a stream that grows as it
    // is written moves a large message several times.
    juce::MemoryOutputStream decoded (data.size() / 4 * 3 + 3);
    if (! juce::Base64::convertFromBase64 (decoded, juce::String::fromUTF8 (data.data(), (int) data.size())))
    {
        juce::Logger::writeToLog ("[TypedBridge] base64 decode failed");
        return;
    }

    const auto* bytes = static_cast<const uint8_t*> (decoded.getData());
    const auto size = decoded.getDataSize();

    flatbuffers::Verifier::Options options;
    options.max_depth = 64;
    options.max_tables = 1000000;
    options.check_alignment = true;
    options.check_nested_flatbuffers = true;
    flatbuffers::Verifier verifier (bytes, size, options);
    if (! fb::VerifyToNativeMessageBuffer (verifier))
    {
        juce::Logger::writeToLog ("[TypedBridge] FlatBuffer verification failed");
        return;
    }

    const auto& root = *fb::GetToNativeMessage (bytes);
    const auto type = root.payload_type();

    switch (type)
    {
        case T::TransportPlay:                  deliver<fb::TransportPlay> (root, onPlay); break;
        case T::TransportPause:                 deliverTag<fb::TransportPause> (root, onPause); break;
        case T::TransportStop:                  deliverTag<fb::TransportStop> (root, onStop); break;
        case T::TransportResume:                deliverTag<fb::TransportResume> (root, onResume); break;
        case T::TransportSeek:                  deliver<fb::TransportSeek> (root, onSeek); break;
        case T::TransportLoopSeek:              deliver<fb::TransportLoopSeek> (root, onLoopSeek); break;
        case T::TransportFadeIn:                deliver<fb::TransportFadeIn> (root, onFadeIn); break;
        case T::TransportFadeOut:               deliver<fb::TransportFadeOut> (root, onFadeOut); break;
        case T::TransportSetLoopRegion:         deliver<fb::TransportSetLoopRegion> (root, onSetLoopRegion); break;
        case T::TransportSetBoundarySeek:       deliver<fb::TransportSetBoundarySeek> (root, onSetBoundarySeek); break;
        case T::TransportSetBoundarySeekSa:     deliver<fb::TransportSetBoundarySeekSa> (root, onSetBoundarySeekSa); break;
        case T::BatchMixState:                  deliver<fb::BatchMixState> (root, onBatchMixState); break;
        case T::SetTrackVolume:                 deliver<fb::SetTrackVolume> (root, onSetTrackVolume); break;
        case T::SetTrackMute:                   deliver<fb::SetTrackMute> (root, onSetTrackMute); break;
        case T::SetTrackSolo:                   deliver<fb::SetTrackSolo> (root, onSetTrackSolo); break;
        case T::SetMasterVolume:                deliver<fb::SetMasterVolume> (root, onSetMasterVolume); break;
        case T::SetGuideVolume:                 deliver<fb::SetGuideVolume> (root, onSetGuideVolume); break;
        case T::SetGuideMute:                   deliver<fb::SetGuideMute> (root, onSetGuideMute); break;
        case T::SetGuideSolo:                   deliver<fb::SetGuideSolo> (root, onSetGuideSolo); break;
        case T::SetMetronomeMute:               deliver<fb::SetMetronomeMute> (root, onSetMetronomeMute); break;
        case T::SetMetronomeSolo:               deliver<fb::SetMetronomeSolo> (root, onSetMetronomeSolo); break;
        case T::UpdateMetronome:                deliver<fb::UpdateMetronome> (root, onUpdateMetronome); break;
        case T::SetClickSource:                 deliver<fb::SetClickSource> (root, onSetClickSource); break;
        case T::SetGuideSource:                 deliver<fb::SetGuideSource> (root, onSetGuideSource); break;
        case T::SetCountIn:                     deliver<fb::SetCountIn> (root, onSetCountIn); break;
        case T::SetSectionAnnounceFullbar:      deliver<fb::SetSectionAnnounceFullbar> (root, onSetSectionAnnounceFullbar); break;
        case T::StartCountIn:                   deliver<fb::StartCountIn> (root, onStartCountIn); break;
        case T::StopCountIn:                    deliverTag<fb::StopCountIn> (root, onStopCountIn); break;
        case T::SetTimeSignature:               deliver<fb::SetTimeSignature> (root, onSetTimeSignature); break;
        case T::SetTimeSignatureMap:            deliver<fb::SetTimeSignatureMap> (root, onSetTimeSignatureMap); break;
        case T::SetBusVolume:                   deliver<fb::SetBusVolume> (root, onSetBusVolume); break;
        case T::SetBusRouting:                  deliver<fb::SetBusRouting> (root, onSetBusRouting); break;
        case T::SetChannelOverrides:            deliver<fb::SetChannelOverrides> (root, onSetChannelOverrides); break;
        case T::StartClickSection:              deliver<fb::StartClickSection> (root, onStartClickSection); break;
        case T::CancelClickSection:             deliverTag<fb::CancelClickSection> (root, onCancelClickSection); break;
        case T::ClickSectionDeactivateLoop:     deliverTag<fb::ClickSectionDeactivateLoop> (root, onClickSectionDeactivateLoop); break;
        case T::ClickSectionReactivateLoop:     deliverTag<fb::ClickSectionReactivateLoop> (root, onClickSectionReactivateLoop); break;
        case T::SetClickSectionRepeat:          deliver<fb::SetClickSectionRepeat> (root, onSetClickSectionRepeat); break;
        case T::SetClickSectionLoop:            deliver<fb::SetClickSectionLoop> (root, onSetClickSectionLoop); break;
        case T::SetClickSectionNextSeekTarget:  deliver<fb::SetClickSectionNextSeekTarget> (root, onSetClickSectionNextSeekTarget); break;
        case T::UpdatePad:                      deliver<fb::UpdatePad> (root, onUpdatePad); break;
        case T::PreloadPad:                     deliver<fb::PreloadPad> (root, onPreloadPad); break;
        case T::ReleasePad:                     deliver<fb::ReleasePad> (root, onReleasePad); break;
        case T::ReleaseAllPads:                 deliverTag<fb::ReleaseAllPads> (root, onReleaseAllPads); break;
        case T::SetPadMasterVolume:             deliver<fb::SetPadMasterVolume> (root, onSetPadMasterVolume); break;
        case T::SetPadMasterLpf:                deliver<fb::SetPadMasterLpf> (root, onSetPadMasterLpf); break;
        case T::SetPadMasterHpf:                deliver<fb::SetPadMasterHpf> (root, onSetPadMasterHpf); break;
        case T::SetContinuePad:                 deliver<fb::SetContinuePad> (root, onSetContinuePad); break;
        case T::UpdateGuideState:               deliver<fb::UpdateGuideState> (root, onUpdateGuideState); break;
        case T::UpdateSections:                 deliver<fb::UpdateSections> (root, onUpdateSections); break;
        case T::WindowMinimize:                 deliverTag<fb::WindowMinimize> (root, onWindowMinimize); break;
        case T::WindowToggleMaximize:           deliverTag<fb::WindowToggleMaximize> (root, onWindowToggleMaximize); break;
        case T::WindowBeginDrag:                deliverTag<fb::WindowBeginDrag> (root, onWindowBeginDrag); break;
        case T::WindowClose:                    deliverTag<fb::WindowClose> (root, onWindowClose); break;
        case T::LoadIndicationToRam:            deliver<fb::LoadIndicationToRam> (root, onLoadIndicationToRam); break;
        case T::UnloadIndicationFromRam:        deliver<fb::UnloadIndicationFromRam> (root, onUnloadIndicationFromRam); break;
        case T::ClearIndications:               deliverTag<fb::ClearIndications> (root, onClearIndications); break;
        case T::SetIndicationSchedule:          deliver<fb::SetIndicationSchedule> (root, onSetIndicationSchedule); break;
        case T::SaveFile:                       deliver<fb::SaveFile> (root, onSaveFile); break;
        case T::SaveAndHashImage:               deliver<fb::SaveAndHashImage> (root, onSaveAndHashImage); break;
        case T::SaveLibrary:                    deliver<fb::SaveLibrary> (root, onSaveLibrary); break;
        case T::DeleteSongFiles:                deliver<fb::DeleteSongFiles> (root, onDeleteSongFiles); break;
        case T::GetAudioDevices:                deliverTag<fb::GetAudioDevices> (root, onGetAudioDevices); break;
        case T::SetAudioDriver:                 deliver<fb::SetAudioDriver> (root, onSetAudioDriver); break;
        case T::SetAudioDevice:                 deliver<fb::SetAudioDevice> (root, onSetAudioDevice); break;
        case T::SetSampleRate:                  deliver<fb::SetSampleRate> (root, onSetSampleRate); break;
        case T::SetBufferSize:                  deliver<fb::SetBufferSize> (root, onSetBufferSize); break;
        case T::OpenAsioPanel:                  deliverTag<fb::OpenAsioPanel> (root, onOpenAsioPanel); break;
        case T::SetSplitMonitor:                deliver<fb::SetSplitMonitor> (root, onSetSplitMonitor); break;
        case T::SetPerformanceLevel:            deliver<fb::SetPerformanceLevel> (root, onSetPerformanceLevel); break;
        case T::RedundancyEnable:               deliver<fb::RedundancyEnable> (root, onRedundancyEnable); break;
        case T::RedundancyDisable:              deliverTag<fb::RedundancyDisable> (root, onRedundancyDisable); break;
        case T::RedundancyForceTakeover:        deliverTag<fb::RedundancyForceTakeover> (root, onRedundancyForceTakeover); break;
        case T::FullReset:                      deliverTag<fb::FullReset> (root, onFullReset); break;
        case T::ApplyStretch:                   deliver<fb::ApplyStretch> (root, onApplyStretch); break;
        case T::ClearStretchCache:              deliverTag<fb::ClearStretchCache> (root, onClearStretchCache); break;
        case T::SaveAndTranscode:               deliver<fb::SaveAndTranscode> (root, onSaveAndTranscode); break;
        case T::CancelTranscodes:               deliverTag<fb::CancelTranscodes> (root, onCancelTranscodes); break;
        case T::ExportMix:                      deliver<fb::ExportMix> (root, onExportMix); break;
        case T::ExportMixCancel:                deliverTag<fb::ExportMixCancel> (root, onExportMixCancel); break;
        case T::GetMidiDevices:                 deliverTag<fb::GetMidiDevices> (root, onGetMidiDevices); break;
        case T::GetMidiInputDevices:            deliverTag<fb::GetMidiInputDevices> (root, onGetMidiInputDevices); break;
        case T::SetMidiMaster:                  deliver<fb::SetMidiMaster> (root, onSetMidiMaster); break;
        case T::SetMidiBuses:                   deliver<fb::SetMidiBuses> (root, onSetMidiBuses); break;
        case T::EnableMidiInput:                deliver<fb::EnableMidiInput> (root, onEnableMidiInput); break;
        case T::DisableMidiInput:               deliver<fb::DisableMidiInput> (root, onDisableMidiInput); break;
        case T::SendMidiMessage:                deliver<fb::SendMidiMessage> (root, onSendMidiMessage); break;
        case T::UpdateMidiCues:                 deliver<fb::UpdateMidiCues> (root, onUpdateMidiCues); break;
        case T::SessionStartServer:             deliver<fb::SessionStartServer> (root, onSessionStartServer); break;
        case T::SessionStopServer:              deliverTag<fb::SessionStopServer> (root, onSessionStopServer); break;
        case T::SessionApproveClient:           deliver<fb::SessionApproveClient> (root, onSessionApproveClient); break;
        case T::SessionKickClient:              deliver<fb::SessionKickClient> (root, onSessionKickClient); break;
        case T::SessionBroadcastSection:        deliver<fb::SessionBroadcastSection> (root, onSessionBroadcastSection); break;
        case T::SessionBroadcastTransport:      deliver<fb::SessionBroadcastTransport> (root, onSessionBroadcastTransport); break;
        case T::SessionCommandResult:           deliver<fb::SessionCommandResult> (root, onSessionCommandResult); break;
        case T::SetCloudConfig:                 deliver<fb::SetCloudConfig> (root, onSetCloudConfig); break;
        case T::EnqueueUpload:                  deliver<fb::EnqueueUpload> (root, onEnqueueUpload); break;
        case T::EnqueueDownload:                deliver<fb::EnqueueDownload> (root, onEnqueueDownload); break;
        case T::GetUploadQueue:                 deliver<fb::GetUploadQueue> (root, onGetUploadQueue); break;
        case T::CheckLocalFiles:                deliver<fb::CheckLocalFiles> (root, onCheckLocalFiles); break;
        case T::LoadSong:                       deliver<fb::LoadSong> (root, onLoadSong); break;
        case T::PreloadSong:                    deliver<fb::PreloadSong> (root, onPreloadSong); break;
        case T::ActivatePreloaded:              deliver<fb::ActivatePreloaded> (root, onActivatePreloaded); break;
        case T::CancelPreload:                  deliverTag<fb::CancelPreload> (root, onCancelPreload); break;
        case T::CancelLoad:                     deliverTag<fb::CancelLoad> (root, onCancelLoad); break;
        case T::PreserveSession:                deliverTag<fb::PreserveSession> (root, onPreserveSession); break;

        // 0, 35, 102, 103 and 110 to 255: no case.
        default:
            if (onUnknownType)
                onUnknownType (type);
            break;
    }
}

void TypedBridge::sendTyped (const uint8_t* buffer, size_t size)
{
    if (browser == nullptr)
        return;

    juce::MemoryOutputStream encoded (256);
    juce::Base64::convertToBase64 (encoded, buffer, size);

    auto* message = new juce::DynamicObject();
    juce::var payload (message);
    message->setProperty ("action", "TYPED_BRIDGE_V1");
    message->setProperty ("data", encoded.toString());
    browser->emitEventIfVisible ("fromNative", payload);
}

flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>>
    TypedBridge::createStringVector (flatbuffers::FlatBufferBuilder& builder, const std::vector<std::string>& strings)
{
    std::vector<flatbuffers::Offset<flatbuffers::String>> offsets;
    offsets.reserve (strings.size());
    for (const auto& s : strings)
        offsets.push_back (builder.CreateString (s));
    return builder.CreateVector (offsets);
}
} // namespace quorvelle
