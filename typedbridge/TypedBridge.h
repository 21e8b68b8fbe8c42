#pragma once

#include "platform/FrontEndHost.h"

#include <juce_core/juce_core.h>

#include <flatbuffers/flatbuffers.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorvelle
{
namespace bridge
{
enum class ToNativePayload : uint8_t;
}

// Typed messages between the front end and the program.
//
// Inbound, dispatchBase64 decodes a Base64 FlatBuffer, verifies it, copies the payload table into
// the argument record of its type and calls the handler slot of that type; the handlers (see
// TypedHandlers.h) turn each record back into the JSON request it stands for. Outbound, each typed
// event has one sender that builds its FlatBuffer and emits {"action": "TYPED_BRIDGE_V1", "data":
// Base64} on "fromNative". Everything runs on the message thread. The senders are virtual so that
// tests can record the calls.
class TypedBridge
{
public:
    //==============================================================================
    // Argument records of the inbound payload types. Each begins with `tag`, the payload's leading
    // string, which the program copies and never reads. A record is built on the dispatcher's stack
    // and is valid only while its slot runs.

    struct PlayArgs
    {
        std::string tag;
        bool fromStart = false;
        bool forceCountIn = false;
        double startPosition = -1.0;
        std::string sectionKey;
        bool sectionPreRoll = false;
        double countInBpm = 0.0;
        int countInNumerator = 0;
        int countInDenominator = 0;
        double countInTruncateSec = -1.0;
    };

    struct SeekArgs
    {
        std::string tag;
        double position = 0.0;
        std::string sectionKey;
        bool sectionPreRoll = false;
        double countInBpm = 0.0;
        int countInNumerator = 0;
        int countInDenominator = 0;
    };

    struct LoopSeekArgs { std::string tag; double position = 0.0; };
    struct FadeArgs { std::string tag; double duration = 0.0; };
    struct SetLoopRegionArgs { std::string tag; bool active = false; double start = 0.0; double end = 0.0; };
    struct SetBoundarySeekArgs { std::string tag; bool active = false; double triggerTime = 0.0; double targetPosition = 0.0; };

    struct TrackMixState { std::string id; float volume = 0.0f; bool muted = false; bool soloed = false; };
    struct BusMixState { std::string groupId; float volume = 0.0f; };
    struct SeqGuideOverride { std::string id; float volume = 0.0f; bool muted = false; };

    struct BatchMixStateArgs
    {
        std::string tag;
        bool hasMaster = false;
        float masterVolume = 0.0f;
        std::vector<TrackMixState> tracks;
        bool hasGuide = false;
        float guideVolume = 0.0f;
        bool guideMuted = false;
        bool guideSoloed = false;
        bool hasMetronome = false;
        bool metronomeMuted = false;
        bool metronomeSoloed = false;
        std::vector<BusMixState> buses;
        std::vector<SeqGuideOverride> seqGuideOverrides;
    };

    struct SetTrackVolumeArgs { std::string tag; std::string id; float volume = 0.0f; };
    struct SetTrackMuteArgs { std::string tag; std::string id; bool muted = false; };
    struct SetTrackSoloArgs { std::string tag; std::string id; bool soloed = false; };
    struct SetVolumeArgs { std::string tag; float volume = 0.0f; };
    struct SetMuteArgs { std::string tag; bool muted = false; };
    struct SetSoloArgs { std::string tag; bool soloed = false; };

    struct UpdateMetronomeArgs
    {
        std::string tag;
        float volume = 0.0f;
        std::string sound;
        bool hasSubdivisionVolumes = false;
        float accentVol = 0.0f;
        float quarterVol = 0.0f;
        float eighthVol = 0.0f;
        float sixteenthVol = 0.0f;
    };

    // The source code on the wire is 0 for the program's own source ("INT"), anything else for
    // the song's stems ("SEQ").
    struct SetSourceArgs { std::string tag; bool internal = true; };
    struct SetEnabledArgs { std::string tag; bool enabled = false; };
    struct StartCountInArgs { std::string tag; double bpm = 120.0; int numerator = 4; int denominator = 4; std::string sectionKey; };
    struct SetTimeSignatureArgs { std::string tag; int numerator = 4; int denominator = 4; };

    struct TimeSignatureMapItem { double time = 0.0; int numerator = 4; int denominator = 4; };
    struct SetTimeSignatureMapArgs { std::string tag; std::vector<TimeSignatureMapItem> map; };
    struct SetBusVolumeArgs { std::string tag; std::string groupId; float volume = 0.0f; };

    struct BusRoutingEntry { std::string id; std::string mode; std::vector<int> channels; };
    struct SetBusRoutingArgs { std::string tag; std::vector<BusRoutingEntry> routing; };

    struct ChannelOverrideEntry { std::string key; std::string value; };
    struct SetChannelOverridesArgs { std::string tag; std::vector<ChannelOverrideEntry> overrides; };

    // The whole JSON action object as text.
    struct LoadSongArgs { std::string tag; std::string json; };
    struct PreloadSongArgs { std::string tag; std::string json; };
    struct StartClickSectionArgs { std::string tag; std::string json; };

    struct ActivatePreloadedArgs
    {
        std::string tag;
        std::string songId;
        bool autoPlay = false;
        double startPosition = 0.0;
        bool fastReset = false;
    };

    // Field 2 is "repeat" for SET_CLICK_SECTION_REPEAT and "enabled" for SET_CLICK_SECTION_LOOP.
    struct ClickEntryArgs { std::string tag; std::string entryId; bool value = false; };

    struct SetClickSectionNextSeekTargetArgs
    {
        std::string tag;
        std::string entryId;
        double target = -1.0;
        std::string warningIndicationId;
        std::string warningSectionName;
    };

    // pad is 1 when the selector byte is 0, else 2.
    struct UpdatePadArgs
    {
        std::string tag;
        int pad = 1;
        bool enabled = false;
        std::string file;
        float volume = 0.0f;
        float fadeTime = 0.0f;
        std::string key;
    };

    struct PadFileArgs { std::string tag; std::string file; };
    struct PadVolumeArgs { std::string tag; float volume = 0.0f; };
    struct PadFrequencyArgs { std::string tag; float frequency = 0.0f; };
    struct SetContinuePadArgs { std::string tag; bool pad1 = false; bool pad2 = false; };
    struct UpdateGuideStateArgs { std::string tag; bool looping = false; bool repeating = false; std::string queuedSection; };

    struct SectionEntry { std::string name; double startTime = 0.0; std::string type; double triggerTime = 0.0; };
    struct UpdateSectionsArgs { std::string tag; std::vector<SectionEntry> sections; };

    struct LoadIndicationToRamArgs { std::string tag; std::string indicationId; std::string filePath; };
    struct UnloadIndicationFromRamArgs { std::string tag; std::string indicationId; };

    struct IndicationScheduleEntry
    {
        std::string markerId;
        std::string indicationId;
        double playbackPositionSec = 0.0;
        double truncateAtSec = -1.0;
    };
    struct SetIndicationScheduleArgs { std::string tag; std::vector<IndicationScheduleEntry> schedule; };

    struct SaveFileArgs { std::string tag; std::string id; std::string filename; std::string subfolder; std::string data; };
    struct SaveAndHashImageArgs
    {
        std::string tag;
        std::string id;
        std::string filename;
        std::string subfolder;
        std::string mimeType;
        std::string data;
    };
    struct SaveLibraryArgs { std::string tag; std::string data; };
    struct DeleteSongFilesArgs { std::string tag; std::string songId; };

    struct SessionStartServerArgs { std::string tag; int port = 0; std::string mode; };
    struct SessionApproveClientArgs { std::string tag; std::string clientId; bool approved = false; };
    struct SessionClientArgs { std::string tag; std::string clientId; };
    // The payload as JSON text.
    struct SessionBroadcastArgs { std::string tag; std::string payload; };
    struct SessionCommandResultArgs
    {
        std::string tag;
        std::string clientId;
        std::string commandId;
        bool success = false;
        std::string error;
    };

    struct SetCloudConfigArgs
    {
        std::string tag;
        std::string supabaseUrl;
        std::string anonKey;
        std::string authToken;
        std::string workspaceId;
    };

    // The reference, audio and image sub-tables are flattened in place; an absent sub-table
    // leaves its members empty and zero.
    struct EnqueueUploadArgs
    {
        std::string tag;
        std::string contentHash;
        std::string localPath;
        int64_t sizeBytes = 0;
        std::string workspaceId;
        std::string kind;
        std::string refKind;
        std::string songId;
        std::string trackId;
        std::string padId;
        std::string padFileId;
        double sampleRate = 0.0;
        int channels = 0;
        int bitDepth = 0;
        double duration = 0.0;
        std::string mimeType;
        int imageWidth = 0;
        int imageHeight = 0;
    };

    struct EnqueueDownloadArgs
    {
        std::string tag;
        std::string audioFileId;
        std::string kind;
        std::string refKind;
        std::string songId;
        std::string trackId;
        std::string padId;
        std::string padFileId;
        int64_t expectedBytes = 0;
    };

    struct CloudCorrelatedArgs { std::string tag; std::string id; };

    struct LocalFileItem { std::string trackId; std::string path; };
    struct CheckLocalFilesArgs { std::string tag; std::string id; std::vector<LocalFileItem> items; };

    struct SetAudioDriverArgs { std::string tag; std::string driver; };
    struct SetAudioDeviceArgs { std::string tag; std::string device; };
    struct SetSampleRateArgs { std::string tag; double sampleRate = 0.0; };
    struct SetBufferSizeArgs { std::string tag; int bufferSize = 0; };
    struct SetSplitMonitorArgs { std::string tag; bool enabled = false; };
    struct SetPerformanceLevelArgs { std::string tag; std::string level; };
    struct RedundancyEnableArgs { std::string tag; std::string role; };
    struct ApplyStretchArgs { std::string tag; double bpm = -1.0; double semitones = 0.0; };
    struct SaveAndTranscodeArgs
    {
        std::string tag;
        std::string id;
        std::string filename;
        std::string subfolder;
        std::string trackId;
        std::string data;
    };
    // The export options as the JSON text of the whole action object.
    struct ExportMixArgs { std::string tag; std::string json; };

    struct SetMidiMasterArgs { std::string tag; bool enabled = false; };

    struct MidiBusEntry { std::string id; std::string portId; int channel = 0; bool enabled = false; };
    struct SetMidiBusesArgs { std::string tag; std::vector<MidiBusEntry> buses; };
    struct MidiDeviceIdArgs { std::string tag; std::string deviceId; };
    struct SendMidiMessageArgs { std::string tag; int channel = 0; std::string type; int value = 0; int subValue = 0; };

    struct MidiCueEntry
    {
        std::string id;
        std::string name;
        double time = 0.0;
        std::string busId;
        std::string messageType;
        int value = 0;
        int velocity = -1;
        bool disableOnLoop = false;
        std::string description;
    };
    struct UpdateMidiCuesArgs { std::string tag; std::vector<MidiCueEntry> cues; };

    //==============================================================================
    // Records of the outbound senders.

    // One MIDI port in MIDI_DEVICES_LIST and MIDI_INPUT_DEVICES_LIST.
    struct MidiDeviceEntry
    {
        std::string id;
        std::string name;
    };

    // The single argument of sendAudioDevicesList.
    struct AudioDevicesListInfo
    {
        std::vector<std::string> drivers;
        std::string currentDriver;
        std::vector<std::string> devices;
        std::string currentDevice;
        std::vector<double> sampleRates;
        std::vector<int32_t> bufferSizes;
        double currentSampleRate = 0.0;
        int32_t currentBufferSize = 0;
        int32_t maxOutputChannels = 2;
    };

    // One item of LOCAL_FILES_STATUS.
    struct LocalFileStatus
    {
        std::string trackId;
        bool exists = false;
        int64_t sizeBytes = 0;
    };

    //==============================================================================
    template <typename Record>
    using Slot = std::function<void (const Record&)>;
    using TextSlot = std::function<void (const std::string& tag)>;

    // The handler slots, in slot order (0 to 106). Payload types whose table holds only the
    // leading string pass that string.
    Slot<PlayArgs> onPlay;                                              // 0: type 1
    TextSlot onPause;                                                   // 1: type 2
    TextSlot onStop;                                                    // 2: type 3
    TextSlot onResume;                                                  // 3: type 4
    Slot<SeekArgs> onSeek;                                              // 4: type 5
    Slot<LoopSeekArgs> onLoopSeek;                                      // 5: type 6
    Slot<FadeArgs> onFadeIn;                                            // 6: type 7
    Slot<FadeArgs> onFadeOut;                                           // 7: type 8
    Slot<SetLoopRegionArgs> onSetLoopRegion;                            // 8: type 9
    Slot<SetBoundarySeekArgs> onSetBoundarySeek;                        // 9: type 10
    Slot<SetBoundarySeekArgs> onSetBoundarySeekSa;                      // 10: type 11
    Slot<SetTrackVolumeArgs> onSetTrackVolume;                          // 11: type 13
    Slot<SetTrackMuteArgs> onSetTrackMute;                              // 12: type 14
    Slot<SetTrackSoloArgs> onSetTrackSolo;                              // 13: type 15
    Slot<SetVolumeArgs> onSetMasterVolume;                              // 14: type 16
    Slot<SetVolumeArgs> onSetGuideVolume;                               // 15: type 17
    Slot<SetMuteArgs> onSetGuideMute;                                   // 16: type 18
    Slot<SetSoloArgs> onSetGuideSolo;                                   // 17: type 19
    Slot<SetMuteArgs> onSetMetronomeMute;                               // 18: type 20
    Slot<SetSoloArgs> onSetMetronomeSolo;                               // 19: type 21
    Slot<BatchMixStateArgs> onBatchMixState;                            // 20: type 12
    Slot<UpdateMetronomeArgs> onUpdateMetronome;                        // 21: type 22
    Slot<SetSourceArgs> onSetClickSource;                               // 22: type 23
    Slot<SetSourceArgs> onSetGuideSource;                               // 23: type 24
    Slot<SetEnabledArgs> onSetCountIn;                                  // 24: type 25
    Slot<SetEnabledArgs> onSetSectionAnnounceFullbar;                   // 25: type 26
    Slot<StartCountInArgs> onStartCountIn;                              // 26: type 27
    TextSlot onStopCountIn;                                             // 27: type 28
    Slot<SetTimeSignatureArgs> onSetTimeSignature;                      // 28: type 29
    Slot<SetTimeSignatureMapArgs> onSetTimeSignatureMap;                // 29: type 30
    Slot<SetBusVolumeArgs> onSetBusVolume;                              // 30: type 31
    Slot<SetBusRoutingArgs> onSetBusRouting;                            // 31: type 32
    Slot<SetChannelOverridesArgs> onSetChannelOverrides;                // 32: type 33
    Slot<LoadSongArgs> onLoadSong;                                      // 33: type 104
    Slot<PreloadSongArgs> onPreloadSong;                                // 34: type 105
    Slot<ActivatePreloadedArgs> onActivatePreloaded;                    // 35: type 106
    TextSlot onCancelPreload;                                           // 36: type 107
    TextSlot onCancelLoad;                                              // 37: type 108
    TextSlot onPreserveSession;                                         // 38: type 109
    Slot<StartClickSectionArgs> onStartClickSection;                    // 39: type 34
    TextSlot onCancelClickSection;                                      // 40: type 36
    TextSlot onClickSectionDeactivateLoop;                              // 41: type 37
    TextSlot onClickSectionReactivateLoop;                              // 42: type 38
    Slot<ClickEntryArgs> onSetClickSectionRepeat;                       // 43: type 39
    Slot<ClickEntryArgs> onSetClickSectionLoop;                         // 44: type 40
    Slot<SetClickSectionNextSeekTargetArgs> onSetClickSectionNextSeekTarget; // 45: type 41
    Slot<UpdatePadArgs> onUpdatePad;                                    // 46: type 42
    Slot<PadFileArgs> onPreloadPad;                                     // 47: type 43
    Slot<PadFileArgs> onReleasePad;                                     // 48: type 44
    TextSlot onReleaseAllPads;                                          // 49: type 45
    Slot<PadVolumeArgs> onSetPadMasterVolume;                           // 50: type 46
    Slot<PadFrequencyArgs> onSetPadMasterLpf;                           // 51: type 47
    Slot<PadFrequencyArgs> onSetPadMasterHpf;                           // 52: type 48
    Slot<SetContinuePadArgs> onSetContinuePad;                          // 53: type 49
    Slot<UpdateGuideStateArgs> onUpdateGuideState;                      // 54: type 50
    Slot<UpdateSectionsArgs> onUpdateSections;                          // 55: type 51
    TextSlot onWindowMinimize;                                          // 56: type 52
    TextSlot onWindowToggleMaximize;                                    // 57: type 53
    TextSlot onWindowBeginDrag;                                         // 58: type 54
    TextSlot onWindowClose;                                             // 59: type 55
    Slot<LoadIndicationToRamArgs> onLoadIndicationToRam;                // 60: type 56
    Slot<UnloadIndicationFromRamArgs> onUnloadIndicationFromRam;        // 61: type 57
    TextSlot onClearIndications;                                        // 62: type 58
    Slot<SetIndicationScheduleArgs> onSetIndicationSchedule;            // 63: type 59
    Slot<SaveFileArgs> onSaveFile;                                      // 64: type 60
    Slot<SaveAndHashImageArgs> onSaveAndHashImage;                      // 65: type 61
    Slot<SaveLibraryArgs> onSaveLibrary;                                // 66: type 62
    Slot<DeleteSongFilesArgs> onDeleteSongFiles;                        // 67: type 63
    TextSlot onGetAudioDevices;                                         // 68: type 64
    Slot<SetAudioDriverArgs> onSetAudioDriver;                          // 69: type 65
    Slot<SetAudioDeviceArgs> onSetAudioDevice;                          // 70: type 66
    Slot<SetSampleRateArgs> onSetSampleRate;                            // 71: type 67
    Slot<SetBufferSizeArgs> onSetBufferSize;                            // 72: type 68
    TextSlot onOpenAsioPanel;                                           // 73: type 69
    Slot<SetSplitMonitorArgs> onSetSplitMonitor;                        // 74: type 70
    Slot<SetPerformanceLevelArgs> onSetPerformanceLevel;                // 75: type 71
    Slot<RedundancyEnableArgs> onRedundancyEnable;                      // 76: type 72
    TextSlot onRedundancyDisable;                                       // 77: type 73
    TextSlot onRedundancyForceTakeover;                                 // 78: type 74
    TextSlot onFullReset;                                               // 79: type 75
    TextSlot onGetMidiDevices;                                          // 80: type 82
    TextSlot onGetMidiInputDevices;                                     // 81: type 83
    Slot<SetMidiMasterArgs> onSetMidiMaster;                            // 82: type 84
    Slot<SetMidiBusesArgs> onSetMidiBuses;                              // 83: type 85
    Slot<MidiDeviceIdArgs> onEnableMidiInput;                           // 84: type 86
    Slot<MidiDeviceIdArgs> onDisableMidiInput;                          // 85: type 87
    Slot<SendMidiMessageArgs> onSendMidiMessage;                        // 86: type 88
    Slot<UpdateMidiCuesArgs> onUpdateMidiCues;                          // 87: type 89
    Slot<ApplyStretchArgs> onApplyStretch;                              // 88: type 76
    TextSlot onClearStretchCache;                                       // 89: type 77
    Slot<SaveAndTranscodeArgs> onSaveAndTranscode;                      // 90: type 78
    TextSlot onCancelTranscodes;                                        // 91: type 79
    Slot<ExportMixArgs> onExportMix;                                    // 92: type 80
    TextSlot onExportMixCancel;                                         // 93: type 81
    Slot<SessionStartServerArgs> onSessionStartServer;                  // 94: type 90
    TextSlot onSessionStopServer;                                       // 95: type 91
    Slot<SessionApproveClientArgs> onSessionApproveClient;              // 96: type 92
    Slot<SessionClientArgs> onSessionKickClient;                        // 97: type 93
    Slot<SessionBroadcastArgs> onSessionBroadcastSection;               // 98: type 94
    Slot<SessionBroadcastArgs> onSessionBroadcastTransport;             // 99: type 95
    Slot<SessionCommandResultArgs> onSessionCommandResult;              // 100: type 96
    Slot<SetCloudConfigArgs> onSetCloudConfig;                          // 101: type 97
    Slot<EnqueueUploadArgs> onEnqueueUpload;                            // 102: type 98
    Slot<EnqueueDownloadArgs> onEnqueueDownload;                        // 103: type 99
    Slot<CloudCorrelatedArgs> onGetUploadQueue;                         // 104: type 100
    Slot<CheckLocalFilesArgs> onCheckLocalFiles;                        // 105: type 101
    std::function<void (bridge::ToNativePayload)> onUnknownType;        // 106: every type without a case

    //==============================================================================
    // Where a rebuilt request goes, and where the unknown-type line goes.
    using RequestHandler = std::function<void (const juce::var& request)>;
    using LogLine = std::function<void (const juce::String& line)>;

    explicit TypedBridge (platform::FrontEndHost* browser);
    virtual ~TypedBridge();

    TypedBridge (const TypedBridge&) = delete;
    TypedBridge& operator= (const TypedBridge&) = delete;

    // Fills every slot with the handlers of TypedHandlers.h, which hand each rebuilt request to
    // `handler`. The unknown-type line goes to `unknownTypeLog`; without one it is sent as a typed
    // DEBUG_LOG and written to the log, as the engine's log forwarding would.
    void setRequestHandler (RequestHandler handler, LogLine unknownTypeLog = {});

    // Decodes Base64 text, verifies the FlatBuffer and calls the slot of its payload type; logs
    // "[TypedBridge] base64 decode failed" or "[TypedBridge] FlatBuffer verification failed" and
    // does nothing else on failure. Virtual only so that tests of the dispatcher can stand in.
    virtual void dispatchBase64 (const std::string& data);

    // Wraps a finished buffer as {"action": "TYPED_BRIDGE_V1", "data": Base64} on "fromNative";
    // dropped while the front end is not visible.
    virtual void sendTyped (const uint8_t* buffer, size_t size);

    // Creates each string, then the vector of their offsets, in element order.
    static flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>>
        createStringVector (flatbuffers::FlatBufferBuilder& builder, const std::vector<std::string>& strings);

    //==============================================================================
    // The typed events.
    virtual void sendSessionLoaded (const std::string& songId, double audioDuration, int32_t sampleRate, int32_t trackCount,
                                    const std::string& error, bool wasPreloaded, bool wasPreStretched);
    virtual void sendAppQuitRequest();
    virtual void sendDebugLog (const std::string& message);
    virtual void sendLoopTriggered (double newPosition);
    virtual void sendBoundarySeekTriggered (double newPosition);
    virtual void sendRedundancyStatus (const std::string& role, bool peerConnected, const std::string& peerIp, int32_t latencyMs);
    virtual void sendLoadProgress (const std::string& songId, int32_t trackIndex, int32_t totalTracks, int32_t progress);
    virtual void sendPreloadProgress (const std::string& songId, int32_t trackIndex, int32_t totalTracks, int32_t progress);
    virtual void sendPreloadComplete (const std::string& songId, int32_t trackCount, int32_t sampleRate);
    virtual void sendTrackLoadError (const std::string& songId, const std::string& trackId, const std::string& trackName,
                                     const std::string& url, const std::string& diag);
    virtual void sendStretchStarted (const std::string& songId, int32_t totalTracks);
    virtual void sendStretchProgress (const std::string& songId, int32_t tracksDone, int32_t totalTracks, int32_t percent);
    virtual void sendStretchComplete (const std::string& songId);
    virtual void sendTranscodeProgress (const std::string& id, const std::string& trackId, int32_t progress, const std::string& message);
    virtual void sendTranscodeComplete (const std::string& id, const std::string& trackId, const std::string& url, const std::string& path,
                                        bool transcoded, const std::string& outputFormat, const std::string& error, bool hasContentHash,
                                        const std::string& contentHash, int64_t sizeBytes, double sampleRate, int32_t channels,
                                        int32_t bitDepth, double duration);
    virtual void sendExportMixProgress (double percent);
    virtual void sendExportMixComplete (const std::string& filePath);
    virtual void sendExportMixCancelled();
    virtual void sendExportMixError (const std::string& message);
    virtual void sendFileSaved (const std::string& id, const std::string& path, const std::string& url);
    virtual void sendImageSaveComplete (const std::string& id, bool success, const std::string& url, const std::string& contentHash,
                                        int64_t sizeBytes, const std::string& mimeType, const std::string& error);
    virtual void sendWaveformUpdate (const std::string& songId, const std::vector<float>& peaks, const std::vector<float>& peaksMin,
                                     const std::vector<float>& peaksMax);
    virtual void sendMidiDevicesList (const std::vector<MidiDeviceEntry>& devices);
    virtual void sendMidiInputDevicesList (const std::vector<MidiDeviceEntry>& devices);
    virtual void sendMidiInputMessage (const std::string& deviceId, int32_t status, int32_t data1, int32_t data2);
    virtual void sendUploadProgress (const std::string& jobId, int64_t bytesUploaded, int64_t totalBytes, int32_t progress);
    virtual void sendUploadComplete (const std::string& jobId, const std::string& audioFileId, bool success, const std::string& detail,
                                     bool hasRefKind, const std::string& refKind, const std::string& trackId, const std::string& songId,
                                     const std::string& padFileId, const std::string& padId);
    virtual void sendDownloadProgress (const std::string& jobId, int64_t bytesDownloaded, int64_t totalBytes, int32_t progress);
    virtual void sendDownloadComplete (const std::string& jobId, const std::string& audioFileId, const std::string& kind,
                                       const std::string& refKind, const std::string& songId, const std::string& trackId,
                                       const std::string& padId, const std::string& padFileId, const std::string& localUrl,
                                       bool success, const std::string& detail);
    virtual void sendUploadQueueSnapshot (const std::string& id, const std::string& jobsJson, int32_t count);
    virtual void sendLocalFilesStatus (const std::string& id, const std::vector<LocalFileStatus>& items);
    virtual void sendAudioDevicesList (const AudioDevicesListInfo& info);
    virtual void sendAudioDeviceLost();
    virtual void sendAudioConfigError (const std::string& operation, const std::string& error);
    virtual void sendClickSectionStarted (const std::string& entryId, const std::string& mode, int64_t totalSamples,
                                          int64_t samplesPerIteration, int64_t samplesPerBar);
    virtual void sendClickSectionComplete (const std::string& entryId);
    virtual void sendClickSectionWarningStart (const std::string& entryId);
    virtual void sendClickSectionRepeatFired (const std::string& entryId);
    virtual void sendSessionServerStatus (bool running, int32_t port, const std::string& ip, const std::string& mode, const std::string& token);
    virtual void sendSessionClientConnected (const std::string& clientId, const std::string& clientName, const std::string& clientRole);
    virtual void sendSessionClientDisconnected (const std::string& clientId);
    virtual void sendSessionClientRequest (const std::string& clientId, const std::string& clientName, const std::string& requestedRole);
    virtual void sendSessionRemoteCommand (const std::string& clientId, const std::string& commandId, const std::string& command);
    virtual void sendRedundancySongSync (const std::string& songId, double bpm, double position, bool isPlaying);
    virtual void sendRedundancyFailover (const std::string& reason);

protected:
    // The front end's host, not owned; it outlives the bridge.
    platform::FrontEndHost* const browser;
};
} // namespace quorvelle
