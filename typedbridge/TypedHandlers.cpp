#include "typedbridge/TypedHandlers.h"

#include "typedbridge/TypedMessages_generated.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace quorvelle
{
namespace
{
using Sink = std::function<void (const juce::var& request)>;
using TB = TypedBridge;

// The length of a string field's text: its bytes up to the first zero byte.
size_t textLength (const std::string& s) { return ::strnlen (s.data(), s.size()); }

// The text of a string field: its UTF-8 bytes up to the first zero byte.
juce::String str (const std::string& s) { return juce::String::fromUTF8 (s.data(), (int) textLength (s)); }

// An f32 widened exactly to a double.
juce::var f32 (float value) { return juce::var ((double) value); }

// A new object whose properties keep the order in which they are set.
class Obj
{
public:
    explicit Obj (const char* action = nullptr)
    {
        if (action != nullptr)
            set ("action", action);
    }

    Obj& set (const char* key, const juce::var& value)
    {
        object->setProperty (identifier (key), value);
        return *this;
    }

    Obj& set (const juce::Identifier& key, const juce::var& value)
    {
        object->setProperty (key, value);
        return *this;
    }

    Obj& set (const char* key, const std::string& value) { return set (key, juce::var (str (value))); }
    Obj& set (const char* key, const char* value) { return set (key, juce::var (juce::String (value))); }

    // An optional text field: set only when its text is not empty.
    Obj& setUnlessEmpty (const char* key, const std::string& value)
    {
        const auto text = str (value);
        return text.isEmpty() ? *this : set (key, juce::var (text));
    }

    juce::var var() const { return juce::var (object.get()); }

private:
    // The keys are string literals: each one's Identifier is looked up in the global string pool
    // once per thread, not once per property.
    static const juce::Identifier& identifier (const char* literal)
    {
        thread_local std::unordered_map<const char*, juce::Identifier> cache;
        auto found = cache.find (literal);
        if (found == cache.end())
            found = cache.emplace (literal, juce::Identifier (literal)).first;
        return found->second;
    }

    juce::DynamicObject::Ptr object { new juce::DynamicObject() };
};

// The deepest nesting a field's JSON text may have; deeper texts count as invalid.
constexpr int maxJsonDepth = 512;

// The field's JSON text, parsed strictly; an empty var for a text that does not parse. JUCE's own
// parser is not used here: its integer reading overflows on a literal of more than 18 digits.
juce::var parseJsonText (const std::string& s)
{
    return platform::parseJsonLine (s.data(), textLength (s), maxJsonDepth).value_or (juce::var());
}

// Types whose whole action travels as JSON text: the parsed object, renamed to `action`; nothing
// at all when the text is not a JSON object.
void sendJsonAction (const Sink& sink, const std::string& json, const char* action)
{
    const auto parsed = parseJsonText (json);
    auto* object = parsed.getDynamicObject();
    if (object == nullptr || parsed.isArray())
        return;
    object->setProperty ("action", action);
    sink (parsed);
}

// A handler for a table with nothing beyond its leading string.
TB::TextSlot bare (const Sink& sink, const char* action)
{
    return [sink, action] (const std::string&) { sink (Obj (action).var()); };
}

// A TRANSPORT_CONTROL object with its command.
Obj transport (const char* command)
{
    Obj o ("TRANSPORT_CONTROL");
    o.set ("command", command);
    return o;
}

// The section and count-in fields that PLAY and SEEK share, each left out at its default.
template <typename Args>
void setSectionAndCountIn (Obj& o, const Args& a)
{
    o.setUnlessEmpty ("sectionKey", a.sectionKey);
    if (a.sectionPreRoll) o.set ("sectionPreRoll", true);
    if (a.countInBpm > 0.0) o.set ("countInBpm", a.countInBpm);
    if (a.countInNumerator > 0) o.set ("countInNumerator", a.countInNumerator);
    if (a.countInDenominator > 0) o.set ("countInDenominator", a.countInDenominator);
}

void installTransport (TB& b, const Sink& sink)
{
    b.onPlay = [sink] (const TB::PlayArgs& a)
    {
        auto o = transport ("PLAY");
        if (a.fromStart) o.set ("fromStart", true);
        if (a.forceCountIn) o.set ("forceCountIn", true);
        if (a.startPosition >= 0.0) o.set ("startPosition", a.startPosition);   // false for NaN
        setSectionAndCountIn (o, a);
        if (a.countInTruncateSec > 0.0) o.set ("countInTruncateSec", a.countInTruncateSec);
        sink (o.var());
    };

    b.onPause = [sink] (const std::string&) { sink (transport ("PAUSE").var()); };
    b.onStop = [sink] (const std::string&) { sink (transport ("STOP").var()); };
    b.onResume = [sink] (const std::string&) { sink (transport ("RESUME").var()); };

    b.onSeek = [sink] (const TB::SeekArgs& a)
    {
        auto o = transport ("SEEK");
        o.set ("position", a.position);
        setSectionAndCountIn (o, a);
        sink (o.var());
    };

    b.onLoopSeek = [sink] (const TB::LoopSeekArgs& a) { sink (transport ("LOOP_SEEK").set ("position", a.position).var()); };
    b.onFadeIn = [sink] (const TB::FadeArgs& a) { sink (transport ("FADE_IN").set ("duration", a.duration).var()); };
    b.onFadeOut = [sink] (const TB::FadeArgs& a) { sink (transport ("FADE_OUT").set ("duration", a.duration).var()); };

    b.onSetLoopRegion = [sink] (const TB::SetLoopRegionArgs& a)
    {
        auto o = transport ("SET_LOOP_REGION");
        o.set ("active", a.active);
        if (a.active)
            o.set ("start", a.start).set ("end", a.end);
        sink (o.var());
    };

    auto boundarySeek = [sink] (const char* command)
    {
        return [sink, command] (const TB::SetBoundarySeekArgs& a)
        {
            auto o = transport (command);
            o.set ("active", a.active);
            if (a.active)
                o.set ("triggerTime", a.triggerTime).set ("targetPosition", a.targetPosition);
            sink (o.var());
        };
    };
    b.onSetBoundarySeek = boundarySeek ("SET_BOUNDARY_SEEK");
    b.onSetBoundarySeekSa = boundarySeek ("SET_BOUNDARY_SEEK_SA");
}

void installMix (TB& b, const Sink& sink)
{
    b.onBatchMixState = [sink] (const TB::BatchMixStateArgs& a)
    {
        Obj o ("BATCH_MIX_STATE");
        if (a.hasMaster)
            o.set ("master", Obj().set ("volume", f32 (a.masterVolume)).var());
        if (a.hasGuide)
            o.set ("guide", Obj().set ("volume", f32 (a.guideVolume)).set ("muted", a.guideMuted).set ("soloed", a.guideSoloed).var());
        if (a.hasMetronome)
            o.set ("metronome", Obj().set ("muted", a.metronomeMuted).set ("soloed", a.metronomeSoloed).var());

        juce::Array<juce::var> tracks, buses, overrides;
        tracks.ensureStorageAllocated ((int) a.tracks.size());
        for (const auto& t : a.tracks)
            tracks.add (Obj().set ("id", t.id).set ("volume", f32 (t.volume)).set ("muted", t.muted).set ("soloed", t.soloed).var());
        for (const auto& bus : a.buses)
            buses.add (Obj().set ("groupId", bus.groupId).set ("volume", f32 (bus.volume)).var());
        for (const auto& s : a.seqGuideOverrides)
            overrides.add (Obj().set ("id", s.id).set ("volume", f32 (s.volume)).set ("muted", s.muted).var());

        o.set ("tracks", tracks).set ("buses", buses).set ("seqGuideOverrides", overrides);
        sink (o.var());
    };

    b.onSetTrackVolume = [sink] (const TB::SetTrackVolumeArgs& a) { sink (Obj ("SET_TRACK_VOLUME").set ("id", a.id).set ("volume", f32 (a.volume)).var()); };
    b.onSetTrackMute = [sink] (const TB::SetTrackMuteArgs& a) { sink (Obj ("SET_TRACK_MUTE").set ("id", a.id).set ("muted", a.muted).var()); };
    b.onSetTrackSolo = [sink] (const TB::SetTrackSoloArgs& a) { sink (Obj ("SET_TRACK_SOLO").set ("id", a.id).set ("soloed", a.soloed).var()); };

    auto volume = [sink] (const char* action) { return [sink, action] (const TB::SetVolumeArgs& a) { sink (Obj (action).set ("volume", f32 (a.volume)).var()); }; };
    auto mute = [sink] (const char* action) { return [sink, action] (const TB::SetMuteArgs& a) { sink (Obj (action).set ("muted", a.muted).var()); }; };
    auto solo = [sink] (const char* action) { return [sink, action] (const TB::SetSoloArgs& a) { sink (Obj (action).set ("soloed", a.soloed).var()); }; };
    b.onSetMasterVolume = volume ("SET_MASTER_VOLUME");
    b.onSetGuideVolume = volume ("SET_GUIDE_VOLUME");
    b.onSetGuideMute = mute ("SET_GUIDE_MUTE");
    b.onSetGuideSolo = solo ("SET_GUIDE_SOLO");
    b.onSetMetronomeMute = mute ("SET_METRONOME_MUTE");
    b.onSetMetronomeSolo = solo ("SET_METRONOME_SOLO");

    b.onUpdateMetronome = [sink] (const TB::UpdateMetronomeArgs& a)
    {
        Obj o ("UPDATE_METRONOME");
        o.set ("volume", f32 (a.volume));
        o.setUnlessEmpty ("sound", a.sound);
        if (a.hasSubdivisionVolumes)
            o.set ("accentVol", f32 (a.accentVol)).set ("quarterVol", f32 (a.quarterVol))
             .set ("eighthVol", f32 (a.eighthVol)).set ("sixteenthVol", f32 (a.sixteenthVol));
        sink (o.var());
    };

    auto source = [sink] (const char* action)
    {
        return [sink, action] (const TB::SetSourceArgs& a) { sink (Obj (action).set ("source", a.internal ? "INT" : "SEQ").var()); };
    };
    b.onSetClickSource = source ("SET_CLICK_SOURCE");
    b.onSetGuideSource = source ("SET_GUIDE_SOURCE");

    auto enabled = [sink] (const char* action) { return [sink, action] (const TB::SetEnabledArgs& a) { sink (Obj (action).set ("enabled", a.enabled).var()); }; };
    b.onSetCountIn = enabled ("SET_COUNT_IN");
    b.onSetSectionAnnounceFullbar = enabled ("SET_SECTION_ANNOUNCE_FULLBAR");

    b.onStartCountIn = [sink] (const TB::StartCountInArgs& a)
    {
        Obj o ("START_COUNT_IN");
        o.set ("bpm", a.bpm).set ("numerator", a.numerator).set ("denominator", a.denominator);
        o.setUnlessEmpty ("sectionKey", a.sectionKey);
        sink (o.var());
    };

    b.onStopCountIn = bare (sink, "STOP_COUNT_IN");

    b.onSetTimeSignature = [sink] (const TB::SetTimeSignatureArgs& a)
    {
        sink (Obj ("SET_TIME_SIGNATURE").set ("numerator", a.numerator).set ("denominator", a.denominator).var());
    };

    b.onSetTimeSignatureMap = [sink] (const TB::SetTimeSignatureMapArgs& a)
    {
        juce::Array<juce::var> map;
        for (const auto& e : a.map)
            map.add (Obj().set ("time", e.time).set ("numerator", e.numerator).set ("denominator", e.denominator).var());
        sink (Obj ("SET_TIME_SIGNATURE_MAP").set ("map", map).var());
    };

    b.onSetBusVolume = [sink] (const TB::SetBusVolumeArgs& a)
    {
        sink (Obj ("SET_BUS_VOLUME").set ("groupId", a.groupId).set ("volume", f32 (a.volume)).var());
    };

    // Keyed objects: a repeated name keeps its first place and takes the last value.
    b.onSetBusRouting = [sink] (const TB::SetBusRoutingArgs& a)
    {
        Obj routing;
        for (const auto& e : a.routing)
        {
            juce::Array<juce::var> channels;
            for (int c : e.channels)
                channels.add (c);
            routing.set (juce::Identifier (str (e.id)), Obj().set ("mode", e.mode).set ("channels", channels).var());
        }
        sink (Obj ("SET_BUS_ROUTING").set ("routing", routing.var()).var());
    };

    b.onSetChannelOverrides = [sink] (const TB::SetChannelOverridesArgs& a)
    {
        Obj overrides;
        for (const auto& e : a.overrides)
            overrides.set (juce::Identifier (str (e.key)), juce::var (str (e.value)));
        sink (Obj ("SET_CHANNEL_OVERRIDES").set ("overrides", overrides.var()).var());
    };
}

void installSongAndPads (TB& b, const Sink& sink)
{
    b.onLoadSong = [sink] (const TB::LoadSongArgs& a) { sendJsonAction (sink, a.json, "LOAD_SONG"); };
    b.onPreloadSong = [sink] (const TB::PreloadSongArgs& a) { sendJsonAction (sink, a.json, "PRELOAD_SONG"); };
    b.onStartClickSection = [sink] (const TB::StartClickSectionArgs& a) { sendJsonAction (sink, a.json, "START_CLICK_SECTION"); };

    b.onActivatePreloaded = [sink] (const TB::ActivatePreloadedArgs& a)
    {
        Obj o ("ACTIVATE_PRELOADED");
        o.set ("songId", a.songId);
        if (a.autoPlay) o.set ("autoPlay", true);
        if (a.startPosition != 0.0) o.set ("startPosition", a.startPosition);   // true for NaN
        if (a.fastReset) o.set ("fastReset", true);
        sink (o.var());
    };

    b.onCancelPreload = bare (sink, "CANCEL_PRELOAD");
    b.onCancelLoad = bare (sink, "CANCEL_LOAD");
    b.onPreserveSession = bare (sink, "PRESERVE_SESSION");
    b.onCancelClickSection = bare (sink, "CANCEL_CLICK_SECTION");
    b.onClickSectionDeactivateLoop = bare (sink, "CLICK_SECTION_DEACTIVATE_LOOP");
    b.onClickSectionReactivateLoop = bare (sink, "CLICK_SECTION_REACTIVATE_LOOP");
    b.onReleaseAllPads = bare (sink, "RELEASE_ALL_PADS");

    b.onSetClickSectionRepeat = [sink] (const TB::ClickEntryArgs& a)
    {
        sink (Obj ("SET_CLICK_SECTION_REPEAT").set ("entryId", a.entryId).set ("repeat", a.value).var());
    };
    b.onSetClickSectionLoop = [sink] (const TB::ClickEntryArgs& a)
    {
        sink (Obj ("SET_CLICK_SECTION_LOOP").set ("entryId", a.entryId).set ("enabled", a.value).var());
    };

    b.onSetClickSectionNextSeekTarget = [sink] (const TB::SetClickSectionNextSeekTargetArgs& a)
    {
        Obj o ("SET_CLICK_SECTION_NEXT_SEEK_TARGET");
        o.set ("entryId", a.entryId).set ("target", a.target);
        o.setUnlessEmpty ("warningIndicationId", a.warningIndicationId);
        o.setUnlessEmpty ("warningSectionName", a.warningSectionName);
        sink (o.var());
    };

    b.onUpdatePad = [sink] (const TB::UpdatePadArgs& a)
    {
        Obj o (a.pad == 1 ? "UPDATE_PAD" : "UPDATE_PAD2");
        o.set ("enabled", a.enabled).set ("file", a.file).set ("volume", f32 (a.volume)).set ("fadeTime", f32 (a.fadeTime));
        o.setUnlessEmpty ("key", a.key);
        sink (o.var());
    };

    b.onPreloadPad = [sink] (const TB::PadFileArgs& a) { sink (Obj ("PRELOAD_PAD").set ("file", a.file).var()); };
    b.onReleasePad = [sink] (const TB::PadFileArgs& a) { sink (Obj ("RELEASE_PAD").set ("file", a.file).var()); };
    b.onSetPadMasterVolume = [sink] (const TB::PadVolumeArgs& a) { sink (Obj ("SET_PAD_MASTER_VOLUME").set ("volume", f32 (a.volume)).var()); };
    b.onSetPadMasterLpf = [sink] (const TB::PadFrequencyArgs& a) { sink (Obj ("SET_PAD_MASTER_LPF").set ("frequency", f32 (a.frequency)).var()); };
    b.onSetPadMasterHpf = [sink] (const TB::PadFrequencyArgs& a) { sink (Obj ("SET_PAD_MASTER_HPF").set ("frequency", f32 (a.frequency)).var()); };
    b.onSetContinuePad = [sink] (const TB::SetContinuePadArgs& a) { sink (Obj ("SET_CONTINUE_PAD").set ("pad1", a.pad1).set ("pad2", a.pad2).var()); };

    b.onUpdateGuideState = [sink] (const TB::UpdateGuideStateArgs& a)
    {
        sink (Obj ("UPDATE_GUIDE_STATE").set ("looping", a.looping).set ("repeating", a.repeating).set ("queuedSection", a.queuedSection).var());
    };

    b.onUpdateSections = [sink] (const TB::UpdateSectionsArgs& a)
    {
        juce::Array<juce::var> sections;
        for (const auto& s : a.sections)
        {
            Obj e;
            e.set ("name", s.name).set ("startTime", s.startTime).set ("type", s.type);
            if (s.triggerTime > 0.0)
                e.set ("triggerTime", s.triggerTime);
            sections.add (e.var());
        }
        sink (Obj ("UPDATE_SECTIONS").set ("sections", sections).var());
    };
}

void installWindowFilesCloudSession (TB& b, const Sink& sink)
{
    b.onWindowMinimize = bare (sink, "WINDOW_MINIMIZE");
    b.onWindowToggleMaximize = bare (sink, "WINDOW_TOGGLE_MAXIMIZE");
    b.onWindowBeginDrag = bare (sink, "WINDOW_BEGIN_DRAG");
    b.onWindowClose = bare (sink, "WINDOW_CLOSE");
    b.onClearIndications = bare (sink, "CLEAR_INDICATIONS");
    b.onSessionStopServer = bare (sink, "SESSION_STOP_SERVER");

    b.onLoadIndicationToRam = [sink] (const TB::LoadIndicationToRamArgs& a)
    {
        sink (Obj ("LOAD_INDICATION_TO_RAM").set ("indicationId", a.indicationId).set ("filePath", a.filePath).var());
    };
    b.onUnloadIndicationFromRam = [sink] (const TB::UnloadIndicationFromRamArgs& a)
    {
        sink (Obj ("UNLOAD_INDICATION_FROM_RAM").set ("indicationId", a.indicationId).var());
    };

    b.onSetIndicationSchedule = [sink] (const TB::SetIndicationScheduleArgs& a)
    {
        juce::Array<juce::var> schedule;
        for (const auto& s : a.schedule)
        {
            Obj e;
            e.set ("markerId", s.markerId).set ("indicationId", s.indicationId).set ("playbackPositionSec", s.playbackPositionSec);
            if (s.truncateAtSec >= 0.0)
                e.set ("truncateAtSec", s.truncateAtSec);
            schedule.add (e.var());
        }
        sink (Obj ("SET_INDICATION_SCHEDULE").set ("schedule", schedule).var());
    };

    b.onSaveFile = [sink] (const TB::SaveFileArgs& a)
    {
        sink (Obj ("SAVE_FILE").set ("id", a.id).set ("filename", a.filename).set ("subfolder", a.subfolder).set ("data", a.data).var());
    };
    b.onSaveAndHashImage = [sink] (const TB::SaveAndHashImageArgs& a)
    {
        sink (Obj ("SAVE_AND_HASH_IMAGE").set ("id", a.id).set ("filename", a.filename).set ("subfolder", a.subfolder)
                  .set ("mimeType", a.mimeType).set ("data", a.data).var());
    };
    b.onSaveLibrary = [sink] (const TB::SaveLibraryArgs& a) { sink (Obj ("SAVE_LIBRARY").set ("data", a.data).var()); };
    b.onDeleteSongFiles = [sink] (const TB::DeleteSongFilesArgs& a) { sink (Obj ("DELETE_SONG_FILES").set ("songId", a.songId).var()); };

    b.onSessionStartServer = [sink] (const TB::SessionStartServerArgs& a)
    {
        Obj o ("SESSION_START_SERVER");
        if (a.port != 0)
            o.set ("port", a.port);
        o.set ("mode", a.mode);
        sink (o.var());
    };
    b.onSessionApproveClient = [sink] (const TB::SessionApproveClientArgs& a)
    {
        sink (Obj ("SESSION_APPROVE_CLIENT").set ("clientId", a.clientId).set ("approved", a.approved).var());
    };
    b.onSessionKickClient = [sink] (const TB::SessionClientArgs& a) { sink (Obj ("SESSION_KICK_CLIENT").set ("clientId", a.clientId).var()); };

    auto broadcast = [sink] (const char* action)
    {
        return [sink, action] (const TB::SessionBroadcastArgs& a)
        {
            const auto payload = parseJsonText (a.payload);
            sink (Obj (action).set ("payload", payload).var());
        };
    };
    b.onSessionBroadcastSection = broadcast ("SESSION_BROADCAST_SECTION");
    b.onSessionBroadcastTransport = broadcast ("SESSION_BROADCAST_TRANSPORT");

    b.onSessionCommandResult = [sink] (const TB::SessionCommandResultArgs& a)
    {
        Obj o ("SESSION_COMMAND_RESULT");
        o.set ("clientId", a.clientId).set ("commandId", a.commandId).set ("success", a.success);
        o.setUnlessEmpty ("error", a.error);
        sink (o.var());
    };

    b.onSetCloudConfig = [sink] (const TB::SetCloudConfigArgs& a)
    {
        sink (Obj ("SET_CLOUD_CONFIG").set ("supabaseUrl", a.supabaseUrl).set ("anonKey", a.anonKey)
                  .set ("authToken", a.authToken).set ("workspaceId", a.workspaceId).var());
    };

    b.onEnqueueUpload = [sink] (const TB::EnqueueUploadArgs& a)
    {
        sink (Obj ("ENQUEUE_UPLOAD")
                  .set ("contentHash", a.contentHash).set ("localPath", a.localPath).set ("sizeBytes", (juce::int64) a.sizeBytes)
                  .set ("workspaceId", a.workspaceId).set ("kind", a.kind).set ("refKind", a.refKind)
                  .set ("songId", a.songId).set ("trackId", a.trackId).set ("padId", a.padId).set ("padFileId", a.padFileId)
                  .set ("sampleRate", a.sampleRate).set ("channels", a.channels).set ("bitDepth", a.bitDepth).set ("duration", a.duration)
                  .set ("mimeType", a.mimeType).set ("imageWidth", a.imageWidth).set ("imageHeight", a.imageHeight)
                  .var());
    };

    b.onEnqueueDownload = [sink] (const TB::EnqueueDownloadArgs& a)
    {
        sink (Obj ("ENQUEUE_DOWNLOAD")
                  .set ("audioFileId", a.audioFileId).set ("kind", a.kind).set ("refKind", a.refKind)
                  .set ("songId", a.songId).set ("trackId", a.trackId).set ("padId", a.padId).set ("padFileId", a.padFileId)
                  .set ("expectedBytes", (juce::int64) a.expectedBytes)
                  .var());
    };

    b.onGetUploadQueue = [sink] (const TB::CloudCorrelatedArgs& a) { sink (Obj ("GET_UPLOAD_QUEUE").set ("id", a.id).var()); };

    b.onCheckLocalFiles = [sink] (const TB::CheckLocalFilesArgs& a)
    {
        juce::Array<juce::var> items;
        for (const auto& item : a.items)
            items.add (Obj().set ("trackId", item.trackId).set ("path", item.path).var());
        sink (Obj ("CHECK_LOCAL_FILES").set ("id", a.id).set ("items", items).var());
    };
}

void installDevicesAndProcessing (TB& b, const Sink& sink)
{
    b.onGetAudioDevices = bare (sink, "GET_AUDIO_DEVICES");
    b.onOpenAsioPanel = bare (sink, "OPEN_ASIO_PANEL");
    b.onRedundancyDisable = bare (sink, "REDUNDANCY_DISABLE");
    b.onRedundancyForceTakeover = bare (sink, "REDUNDANCY_FORCE_TAKEOVER");
    b.onFullReset = bare (sink, "FULL_RESET");
    b.onClearStretchCache = bare (sink, "CLEAR_STRETCH_CACHE");
    b.onCancelTranscodes = bare (sink, "CANCEL_TRANSCODES");
    b.onExportMixCancel = bare (sink, "EXPORT_MIX_CANCEL");
    b.onGetMidiDevices = bare (sink, "GET_MIDI_DEVICES");
    b.onGetMidiInputDevices = bare (sink, "GET_MIDI_INPUT_DEVICES");

    b.onSetAudioDriver = [sink] (const TB::SetAudioDriverArgs& a) { sink (Obj ("SET_AUDIO_DRIVER").set ("driver", a.driver).var()); };
    b.onSetAudioDevice = [sink] (const TB::SetAudioDeviceArgs& a) { sink (Obj ("SET_AUDIO_DEVICE").set ("device", a.device).var()); };
    b.onSetPerformanceLevel = [sink] (const TB::SetPerformanceLevelArgs& a) { sink (Obj ("SET_PERFORMANCE_LEVEL").set ("level", a.level).var()); };
    // No PIN travels in the typed form, and an absent role stays the empty text.
    b.onRedundancyEnable = [sink] (const TB::RedundancyEnableArgs& a) { sink (Obj ("REDUNDANCY_ENABLE").set ("role", a.role).var()); };
    b.onEnableMidiInput = [sink] (const TB::MidiDeviceIdArgs& a) { sink (Obj ("ENABLE_MIDI_INPUT").set ("deviceId", a.deviceId).var()); };
    b.onDisableMidiInput = [sink] (const TB::MidiDeviceIdArgs& a) { sink (Obj ("DISABLE_MIDI_INPUT").set ("deviceId", a.deviceId).var()); };

    b.onSetSampleRate = [sink] (const TB::SetSampleRateArgs& a) { sink (Obj ("SET_SAMPLE_RATE").set ("sampleRate", a.sampleRate).var()); };
    b.onSetBufferSize = [sink] (const TB::SetBufferSizeArgs& a) { sink (Obj ("SET_BUFFER_SIZE").set ("bufferSize", a.bufferSize).var()); };
    b.onSetSplitMonitor = [sink] (const TB::SetSplitMonitorArgs& a) { sink (Obj ("SET_SPLIT_MONITOR").set ("enabled", a.enabled).var()); };
    b.onSetMidiMaster = [sink] (const TB::SetMidiMasterArgs& a) { sink (Obj ("SET_MIDI_MASTER").set ("enabled", a.enabled).var()); };

    b.onApplyStretch = [sink] (const TB::ApplyStretchArgs& a)
    {
        Obj o ("APPLY_STRETCH");
        if (a.bpm >= 0.0)   // false for NaN
            o.set ("bpm", a.bpm);
        o.set ("semitones", a.semitones);
        sink (o.var());
    };

    b.onSaveAndTranscode = [sink] (const TB::SaveAndTranscodeArgs& a)
    {
        sink (Obj ("SAVE_AND_TRANSCODE").set ("id", a.id).set ("filename", a.filename).set ("subfolder", a.subfolder)
                  .set ("trackId", a.trackId).set ("data", a.data).var());
    };

    b.onExportMix = [sink] (const TB::ExportMixArgs& a) { sendJsonAction (sink, a.json, "EXPORT_MIX"); };

    b.onSetMidiBuses = [sink] (const TB::SetMidiBusesArgs& a)
    {
        Obj buses;
        for (const auto& e : a.buses)
        {
            Obj bus;
            if (str (e.portId).isEmpty())
                bus.set ("portId", juce::var());
            else
                bus.set ("portId", e.portId);
            bus.set ("channel", e.channel).set ("enabled", e.enabled);
            buses.set (juce::Identifier (str (e.id)), bus.var());
        }
        sink (Obj ("SET_MIDI_BUSES").set ("buses", buses.var()).var());
    };

    b.onSendMidiMessage = [sink] (const TB::SendMidiMessageArgs& a)
    {
        sink (Obj ("SEND_MIDI_MESSAGE").set ("channel", a.channel).set ("type", a.type).set ("value", a.value).set ("subValue", a.subValue).var());
    };

    b.onUpdateMidiCues = [sink] (const TB::UpdateMidiCuesArgs& a)
    {
        juce::Array<juce::var> cues;
        cues.ensureStorageAllocated ((int) a.cues.size());
        for (const auto& c : a.cues)
        {
            Obj cue;
            cue.set ("id", c.id).set ("time", c.time).set ("busId", c.busId).set ("messageType", c.messageType).set ("value", c.value);
            cue.setUnlessEmpty ("name", c.name);
            if (c.velocity >= 0) cue.set ("velocity", c.velocity);
            if (c.disableOnLoop) cue.set ("disableOnLoop", true);
            cue.setUnlessEmpty ("description", c.description);
            cues.add (cue.var());
        }
        sink (Obj ("UPDATE_MIDI_CUES").set ("cues", cues).var());
    };
}
} // namespace

juce::String unknownPayloadTypeLine (int type)
{
    return "[TypedBridge] unknown payload type=" + juce::String (type)
           + juce::String::fromUTF8 (" \xe2\x80\x94 Sprint 1 progresivo, agregar al switch al migrar la familia.");
}

void installTypedHandlers (TypedBridge& bridge, std::function<void (const juce::var&)> handleBridgeMessage,
                           std::function<void (const juce::String&)> debugLog)
{
    const Sink sink = std::move (handleBridgeMessage);
    installTransport (bridge, sink);
    installMix (bridge, sink);
    installSongAndPads (bridge, sink);
    installWindowFilesCloudSession (bridge, sink);
    installDevicesAndProcessing (bridge, sink);

    bridge.onUnknownType = [debugLog = std::move (debugLog)] (bridge::ToNativePayload type)
    {
        if (debugLog)
            debugLog (unknownPayloadTypeLine ((int) type));
    };
}
} // namespace quorvelle
