// Inbound typed messages: every handled payload type is built with the generated builders,
// dispatched through the real decoder, verifier and handlers, and the rebuilt request is compared
// (keys, order and value kinds) with the JSON action it stands for.

#include "TypedTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <set>

namespace quorvelle::test
{
namespace
{
using B = flatbuffers::FlatBufferBuilder;
using T = fb::ToNativePayload;
using Make = std::function<flatbuffers::Offset<void> (B&)>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Case
{
    const char* name;
    T type;
    Make make;
    std::vector<std::string> expected;   // empty: no request at all
};

std::ostream& operator<< (std::ostream& os, const Case& c) { return os << c.name; }

// Tables that hold only their leading string: the tag must never reach the request.
template <typename Create>
Make tagOnly (Create create)
{
    return [create] (B& b) { return create (b, b.CreateString ("ignored")).Union(); };
}

std::vector<Case> transportCases()
{
    return {
        { "play_empty", T::TransportPlay, [] (B& b) { return fb::CreateTransportPlay (b).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"PLAY"})" } },
        { "play_all_fields", T::TransportPlay,
          [] (B& b) { return fb::CreateTransportPlayDirect (b, "t", true, true, 0.0, "verse", true, 96.0, 3, 8, 0.5).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"PLAY",fromStart:true,forceCountIn:true,startPosition:0d,sectionKey:"verse",)"
            R"(sectionPreRoll:true,countInBpm:96d,countInNumerator:3i,countInDenominator:8i,countInTruncateSec:0.5d})" } },
        { "play_values_below_their_bounds", T::TransportPlay,
          [] (B& b) { return fb::CreateTransportPlayDirect (b, nullptr, false, false, -2.0, "", false, 0.0, -1, 0, 0.0).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"PLAY"})" } },
        { "play_nan_start_position", T::TransportPlay,
          [] (B& b) { return fb::CreateTransportPlayDirect (b, nullptr, false, false, nan, nullptr, false, nan, 0, 4, nan).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"PLAY",countInDenominator:4i})" } },
        { "play_section_key_cut_at_zero_byte", T::TransportPlay,
          [] (B& b)
          {
              const auto key = b.CreateString ("ab\0cd", 5);
              fb::TransportPlayBuilder pb (b);
              pb.add_sectionKey (key);
              return pb.Finish().Union();
          },
          { R"({action:"TRANSPORT_CONTROL",command:"PLAY",sectionKey:"ab"})" } },
        { "pause", T::TransportPause, tagOnly (fb::CreateTransportPause), { R"({action:"TRANSPORT_CONTROL",command:"PAUSE"})" } },
        { "stop", T::TransportStop, tagOnly (fb::CreateTransportStop), { R"({action:"TRANSPORT_CONTROL",command:"STOP"})" } },
        { "resume", T::TransportResume, tagOnly (fb::CreateTransportResume), { R"({action:"TRANSPORT_CONTROL",command:"RESUME"})" } },
        { "seek_empty", T::TransportSeek, [] (B& b) { return fb::CreateTransportSeek (b).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"SEEK",position:0d})" } },
        { "seek_all_fields", T::TransportSeek,
          [] (B& b) { return fb::CreateTransportSeekDirect (b, "t", 12.5, "chorus", true, 120.0, 4, 0).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"SEEK",position:12.5d,sectionKey:"chorus",sectionPreRoll:true,countInBpm:120d,countInNumerator:4i})" } },
        { "loop_seek", T::TransportLoopSeek, [] (B& b) { return fb::CreateTransportLoopSeek (b, 0, 3.25).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"LOOP_SEEK",position:3.25d})" } },
        { "fade_in", T::TransportFadeIn, [] (B& b) { return fb::CreateTransportFadeIn (b, 0, 2.0).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"FADE_IN",duration:2d})" } },
        { "fade_out_negative_passes", T::TransportFadeOut, [] (B& b) { return fb::CreateTransportFadeOut (b, 0, -1.5).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"FADE_OUT",duration:-1.5d})" } },
        { "loop_region_inactive_drops_bounds", T::TransportSetLoopRegion,
          [] (B& b) { return fb::CreateTransportSetLoopRegion (b, 0, false, 10.0, 20.0).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"SET_LOOP_REGION",active:false})" } },
        { "loop_region_active_absent_bounds", T::TransportSetLoopRegion,
          [] (B& b) { return fb::CreateTransportSetLoopRegion (b, 0, true).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"SET_LOOP_REGION",active:true,start:0d,end:0d})" } },
        { "boundary_seek", T::TransportSetBoundarySeek,
          [] (B& b) { return fb::CreateTransportSetBoundarySeek (b, 0, true, 30.0, 5.0).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"SET_BOUNDARY_SEEK",active:true,triggerTime:30d,targetPosition:5d})" } },
        { "boundary_seek_sa", T::TransportSetBoundarySeekSa,
          [] (B& b) { return fb::CreateTransportSetBoundarySeekSa (b, 0, true, 30.0, 5.0).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"SET_BOUNDARY_SEEK_SA",active:true,triggerTime:30d,targetPosition:5d})" } },
        { "boundary_seek_inactive", T::TransportSetBoundarySeek,
          [] (B& b) { return fb::CreateTransportSetBoundarySeek (b, 0, false, 30.0, 5.0).Union(); },
          { R"({action:"TRANSPORT_CONTROL",command:"SET_BOUNDARY_SEEK",active:false})" } },
    };
}

std::vector<Case> mixCases()
{
    return {
        { "batch_empty", T::BatchMixState, [] (B& b) { return fb::CreateBatchMixStateDirect (b, "t").Union(); },
          { R"({action:"BATCH_MIX_STATE",tracks:[],buses:[],seqGuideOverrides:[]})" } },
        { "batch_full_key_order", T::BatchMixState,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::TrackMixState>> tracks { fb::CreateTrackMixStateDirect (b, "drums", 0.1f, true, false),
                                                                           fb::CreateTrackMixState (b) };
              std::vector<flatbuffers::Offset<fb::BusMixState>> buses { fb::CreateBusMixStateDirect (b, "keys", -6.0f) };
              std::vector<flatbuffers::Offset<fb::SeqGuideOverride>> overrides { fb::CreateSeqGuideOverrideDirect (b, "g1", 0.5f, true) };
              return fb::CreateBatchMixStateDirect (b, nullptr, fb::CreateMasterMixState (b, -3.0f), &tracks, fb::CreateGuideMixState (b),
                                                    fb::CreateMetronomeMixState (b, true, false), &buses, &overrides).Union();
          },
          { R"({action:"BATCH_MIX_STATE",master:{volume:-3d},guide:{volume:0d,muted:false,soloed:false},metronome:{muted:true,soloed:false},)"
            R"(tracks:[{id:"drums",volume:0.10000000149011612d,muted:true,soloed:false},{id:"",volume:0d,muted:false,soloed:false}],)"
            R"(buses:[{groupId:"keys",volume:-6d}],seqGuideOverrides:[{id:"g1",volume:0.5d,muted:true}]})" } },
        { "track_volume", T::SetTrackVolume, [] (B& b) { return fb::CreateSetTrackVolumeDirect (b, nullptr, "t1", 0.1f).Union(); },
          { R"({action:"SET_TRACK_VOLUME",id:"t1",volume:0.10000000149011612d})" } },
        { "track_mute_empty_id", T::SetTrackMute, [] (B& b) { return fb::CreateSetTrackMute (b).Union(); },
          { R"({action:"SET_TRACK_MUTE",id:"",muted:false})" } },
        { "track_solo", T::SetTrackSolo, [] (B& b) { return fb::CreateSetTrackSoloDirect (b, nullptr, "t2", true).Union(); },
          { R"({action:"SET_TRACK_SOLO",id:"t2",soloed:true})" } },
        { "master_volume", T::SetMasterVolume, [] (B& b) { return fb::CreateSetMasterVolume (b, 0, -12.5f).Union(); },
          { R"({action:"SET_MASTER_VOLUME",volume:-12.5d})" } },
        { "guide_volume", T::SetGuideVolume, [] (B& b) { return fb::CreateSetGuideVolume (b).Union(); },
          { R"({action:"SET_GUIDE_VOLUME",volume:0d})" } },
        { "guide_mute", T::SetGuideMute, [] (B& b) { return fb::CreateSetGuideMute (b, 0, true).Union(); },
          { R"({action:"SET_GUIDE_MUTE",muted:true})" } },
        { "guide_solo", T::SetGuideSolo, [] (B& b) { return fb::CreateSetGuideSolo (b).Union(); },
          { R"({action:"SET_GUIDE_SOLO",soloed:false})" } },
        { "metronome_mute", T::SetMetronomeMute, [] (B& b) { return fb::CreateSetMetronomeMute (b).Union(); },
          { R"({action:"SET_METRONOME_MUTE",muted:false})" } },
        { "metronome_solo", T::SetMetronomeSolo, [] (B& b) { return fb::CreateSetMetronomeSolo (b, 0, true).Union(); },
          { R"({action:"SET_METRONOME_SOLO",soloed:true})" } },
        { "metronome_without_subdivisions", T::UpdateMetronome,
          [] (B& b) { return fb::CreateUpdateMetronomeDirect (b, nullptr, 0.5f, "", false, 0.8f).Union(); },
          { R"({action:"UPDATE_METRONOME",volume:0.5d})" } },
        { "metronome_with_absent_subdivisions", T::UpdateMetronome,
          [] (B& b) { return fb::CreateUpdateMetronomeDirect (b, nullptr, 0.0f, "wood", true).Union(); },
          { R"({action:"UPDATE_METRONOME",volume:0d,sound:"wood",accentVol:0d,quarterVol:0d,eighthVol:0d,sixteenthVol:0d})" } },
        { "click_source_absent", T::SetClickSource, [] (B& b) { return fb::CreateSetClickSource (b).Union(); },
          { R"({action:"SET_CLICK_SOURCE",source:"INT"})" } },
        { "click_source_255", T::SetClickSource, [] (B& b) { return fb::CreateSetClickSource (b, 0, 255).Union(); },
          { R"({action:"SET_CLICK_SOURCE",source:"SEQ"})" } },
        { "guide_source_1", T::SetGuideSource, [] (B& b) { return fb::CreateSetGuideSource (b, 0, 1).Union(); },
          { R"({action:"SET_GUIDE_SOURCE",source:"SEQ"})" } },
        { "count_in", T::SetCountIn, [] (B& b) { return fb::CreateSetCountIn (b, 0, true).Union(); },
          { R"({action:"SET_COUNT_IN",enabled:true})" } },
        { "announce_fullbar", T::SetSectionAnnounceFullbar, [] (B& b) { return fb::CreateSetSectionAnnounceFullbar (b).Union(); },
          { R"({action:"SET_SECTION_ANNOUNCE_FULLBAR",enabled:false})" } },
        { "start_count_in_defaults", T::StartCountIn, [] (B& b) { return fb::CreateStartCountIn (b).Union(); },
          { R"({action:"START_COUNT_IN",bpm:120d,numerator:4i,denominator:4i})" } },
        { "start_count_in_zero_numerator", T::StartCountIn,
          [] (B& b) { return fb::CreateStartCountInDirect (b, nullptr, 90.0, 0, 8, "intro").Union(); },
          { R"({action:"START_COUNT_IN",bpm:90d,numerator:0i,denominator:8i,sectionKey:"intro"})" } },
        { "stop_count_in", T::StopCountIn, tagOnly (fb::CreateStopCountIn), { R"({action:"STOP_COUNT_IN"})" } },
        { "time_signature_defaults", T::SetTimeSignature, [] (B& b) { return fb::CreateSetTimeSignature (b).Union(); },
          { R"({action:"SET_TIME_SIGNATURE",numerator:4i,denominator:4i})" } },
        { "time_signature_map", T::SetTimeSignatureMap,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::TimeSignatureMapItem>> items { fb::CreateTimeSignatureMapItem (b, 8.0),
                                                                                 fb::CreateTimeSignatureMapItem (b, 2.0, 6, 8) };
              return fb::CreateSetTimeSignatureMapDirect (b, nullptr, &items).Union();
          },
          { R"({action:"SET_TIME_SIGNATURE_MAP",map:[{time:8d,numerator:4i,denominator:4i},{time:2d,numerator:6i,denominator:8i}]})" } },
        { "time_signature_map_absent", T::SetTimeSignatureMap, [] (B& b) { return fb::CreateSetTimeSignatureMap (b).Union(); },
          { R"({action:"SET_TIME_SIGNATURE_MAP",map:[]})" } },
        { "bus_volume", T::SetBusVolume, [] (B& b) { return fb::CreateSetBusVolumeDirect (b, nullptr, "drums", -1.0f).Union(); },
          { R"({action:"SET_BUS_VOLUME",groupId:"drums",volume:-1d})" } },
        { "bus_routing_repeated_id", T::SetBusRouting,
          [] (B& b)
          {
              std::vector<int> first { 1, 2 }, last { 5 };
              std::vector<flatbuffers::Offset<fb::BusRoutingEntry>> entries { fb::CreateBusRoutingEntryDirect (b, "drums", "stereo", &first),
                                                                              fb::CreateBusRoutingEntryDirect (b, "bass", "mono"),
                                                                              fb::CreateBusRoutingEntryDirect (b, "drums", "mono", &last) };
              return fb::CreateSetBusRoutingDirect (b, nullptr, &entries).Union();
          },
          { R"({action:"SET_BUS_ROUTING",routing:{drums:{mode:"mono",channels:[5i]},bass:{mode:"mono",channels:[]}}})" } },
        { "channel_overrides_empty", T::SetChannelOverrides,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::ChannelOverrideEntry>> none;
              return fb::CreateSetChannelOverridesDirect (b, nullptr, &none).Union();
          },
          { R"({action:"SET_CHANNEL_OVERRIDES",overrides:{}})" } },
        { "channel_overrides", T::SetChannelOverrides,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::ChannelOverrideEntry>> entries { fb::CreateChannelOverrideEntryDirect (b, "bass", "low"),
                                                                                   fb::CreateChannelOverrideEntryDirect (b, "vox", "") };
              return fb::CreateSetChannelOverridesDirect (b, nullptr, &entries).Union();
          },
          { R"({action:"SET_CHANNEL_OVERRIDES",overrides:{bass:"low",vox:""}})" } },
    };
}

template <typename Create>
Make jsonText (Create create, const char* text)
{
    return [create, text] (B& b) { return create (b, 0, b.CreateString (text)).Union(); };
}

std::vector<Case> songCases()
{
    std::vector<Case> cases {
        { "load_song_renames_action", T::LoadSong, jsonText (fb::CreateLoadSong, R"({"action": "PRELOAD_SONG", "songId": "a", "tracks": [{"id": 1}]})"),
          { R"({action:"LOAD_SONG",songId:"a",tracks:[{id:1i}]})" } },
        { "preload_song_adds_action_last", T::PreloadSong, jsonText (fb::CreatePreloadSong, R"({"songId": "b"})"),
          { R"({songId:"b",action:"PRELOAD_SONG"})" } },
        { "start_click_section_keeps_message_id", T::StartClickSection,
          jsonText (fb::CreateStartClickSection, R"({"messageId": 7, "entryId": "e"})"),
          { R"({messageId:7i,entryId:"e",action:"START_CLICK_SECTION"})" } },
        { "activate_preloaded_empty", T::ActivatePreloaded, [] (B& b) { return fb::CreateActivatePreloaded (b).Union(); },
          { R"({action:"ACTIVATE_PRELOADED",songId:""})" } },
        { "activate_preloaded_negative_start", T::ActivatePreloaded,
          [] (B& b) { return fb::CreateActivatePreloadedDirect (b, nullptr, "s", true, -2.5, true).Union(); },
          { R"({action:"ACTIVATE_PRELOADED",songId:"s",autoPlay:true,startPosition:-2.5d,fastReset:true})" } },
        { "cancel_preload", T::CancelPreload, tagOnly (fb::CreateCancelPreload), { R"({action:"CANCEL_PRELOAD"})" } },
        { "cancel_load", T::CancelLoad, tagOnly (fb::CreateCancelLoad), { R"({action:"CANCEL_LOAD"})" } },
        { "preserve_session", T::PreserveSession, tagOnly (fb::CreatePreserveSession), { R"({action:"PRESERVE_SESSION"})" } },
        { "cancel_click_section", T::CancelClickSection, tagOnly (fb::CreateCancelClickSection), { R"({action:"CANCEL_CLICK_SECTION"})" } },
        { "deactivate_loop", T::ClickSectionDeactivateLoop, tagOnly (fb::CreateClickSectionDeactivateLoop),
          { R"({action:"CLICK_SECTION_DEACTIVATE_LOOP"})" } },
        { "reactivate_loop", T::ClickSectionReactivateLoop, tagOnly (fb::CreateClickSectionReactivateLoop),
          { R"({action:"CLICK_SECTION_REACTIVATE_LOOP"})" } },
        { "click_repeat", T::SetClickSectionRepeat, [] (B& b) { return fb::CreateSetClickSectionRepeatDirect (b, nullptr, "e1", true).Union(); },
          { R"({action:"SET_CLICK_SECTION_REPEAT",entryId:"e1",repeat:true})" } },
        { "click_loop", T::SetClickSectionLoop, [] (B& b) { return fb::CreateSetClickSectionLoopDirect (b, nullptr, "e1", true).Union(); },
          { R"({action:"SET_CLICK_SECTION_LOOP",entryId:"e1",enabled:true})" } },
        { "next_seek_target_empty", T::SetClickSectionNextSeekTarget, [] (B& b) { return fb::CreateSetClickSectionNextSeekTarget (b).Union(); },
          { R"({action:"SET_CLICK_SECTION_NEXT_SEEK_TARGET",entryId:"",target:-1d})" } },
        { "next_seek_target_full", T::SetClickSectionNextSeekTarget,
          [] (B& b) { return fb::CreateSetClickSectionNextSeekTargetDirect (b, nullptr, "e", 42.0, "ind", "Bridge").Union(); },
          { R"({action:"SET_CLICK_SECTION_NEXT_SEEK_TARGET",entryId:"e",target:42d,warningIndicationId:"ind",warningSectionName:"Bridge"})" } },
        { "update_pad_empty", T::UpdatePad, [] (B& b) { return fb::CreateUpdatePad (b).Union(); },
          { R"({action:"UPDATE_PAD",enabled:false,file:"",volume:0d,fadeTime:0d})" } },
        { "update_pad_two", T::UpdatePad, [] (B& b) { return fb::CreateUpdatePadDirect (b, nullptr, 255, true, "pad.wav", 0.25f, 2.0f, "D").Union(); },
          { R"({action:"UPDATE_PAD2",enabled:true,file:"pad.wav",volume:0.25d,fadeTime:2d,key:"D"})" } },
        { "update_pad_selector_1", T::UpdatePad, [] (B& b) { return fb::CreateUpdatePad (b, 0, 1).Union(); },
          { R"({action:"UPDATE_PAD2",enabled:false,file:"",volume:0d,fadeTime:0d})" } },
        { "preload_pad", T::PreloadPad, [] (B& b) { return fb::CreatePreloadPadDirect (b, nullptr, "a.wav").Union(); },
          { R"({action:"PRELOAD_PAD",file:"a.wav"})" } },
        { "release_pad", T::ReleasePad, [] (B& b) { return fb::CreateReleasePad (b).Union(); }, { R"({action:"RELEASE_PAD",file:""})" } },
        { "release_all_pads", T::ReleaseAllPads, tagOnly (fb::CreateReleaseAllPads), { R"({action:"RELEASE_ALL_PADS"})" } },
        { "pad_master_volume", T::SetPadMasterVolume, [] (B& b) { return fb::CreateSetPadMasterVolume (b, 0, 0.1f).Union(); },
          { R"({action:"SET_PAD_MASTER_VOLUME",volume:0.10000000149011612d})" } },
        { "pad_lpf", T::SetPadMasterLpf, [] (B& b) { return fb::CreateSetPadMasterLpf (b, 0, 8000.0f).Union(); },
          { R"({action:"SET_PAD_MASTER_LPF",frequency:8000d})" } },
        { "pad_hpf_absent", T::SetPadMasterHpf, [] (B& b) { return fb::CreateSetPadMasterHpf (b).Union(); },
          { R"({action:"SET_PAD_MASTER_HPF",frequency:0d})" } },
        { "continue_pad", T::SetContinuePad, [] (B& b) { return fb::CreateSetContinuePad (b, 0, true, false).Union(); },
          { R"({action:"SET_CONTINUE_PAD",pad1:true,pad2:false})" } },
        { "guide_state_empty_section", T::UpdateGuideState, [] (B& b) { return fb::CreateUpdateGuideState (b, 0, true).Union(); },
          { R"({action:"UPDATE_GUIDE_STATE",looping:true,repeating:false,queuedSection:""})" } },
        { "sections_absent", T::UpdateSections, [] (B& b) { return fb::CreateUpdateSections (b).Union(); },
          { R"({action:"UPDATE_SECTIONS",sections:[]})" } },
        { "sections_trigger_time_rule", T::UpdateSections,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::SectionEntry>> s { fb::CreateSectionEntryDirect (b, "Intro", 0.0, "intro", 0.0),
                                                                     fb::CreateSectionEntryDirect (b, "Verse", 10.0, "verse", 12.5),
                                                                     fb::CreateSectionEntryDirect (b, "End", 20.0, "outro", -1.0) };
              return fb::CreateUpdateSectionsDirect (b, nullptr, &s).Union();
          },
          { R"({action:"UPDATE_SECTIONS",sections:[{name:"Intro",startTime:0d,type:"intro"},)"
            R"({name:"Verse",startTime:10d,type:"verse",triggerTime:12.5d},{name:"End",startTime:20d,type:"outro"}]})" } },
    };

    // A text that is not a JSON object gives no action at all, for each of the three types.
    const char* notObjects[] = { "", "not json", "[1, 2]", "\"text\"", "3", "true", "false", "null", "{\"a\": " };
    for (const char* text : notObjects)
    {
        cases.push_back ({ "load_song_not_an_object", T::LoadSong, jsonText (fb::CreateLoadSong, text), {} });
        cases.push_back ({ "preload_song_not_an_object", T::PreloadSong, jsonText (fb::CreatePreloadSong, text), {} });
        cases.push_back ({ "start_click_section_not_an_object", T::StartClickSection, jsonText (fb::CreateStartClickSection, text), {} });
    }
    return cases;
}

std::vector<Case> windowFileCloudSessionCases()
{
    return {
        { "window_minimize", T::WindowMinimize, tagOnly (fb::CreateWindowMinimize), { R"({action:"WINDOW_MINIMIZE"})" } },
        { "window_toggle_maximize", T::WindowToggleMaximize, tagOnly (fb::CreateWindowToggleMaximize), { R"({action:"WINDOW_TOGGLE_MAXIMIZE"})" } },
        { "window_begin_drag", T::WindowBeginDrag, tagOnly (fb::CreateWindowBeginDrag), { R"({action:"WINDOW_BEGIN_DRAG"})" } },
        { "window_close", T::WindowClose, tagOnly (fb::CreateWindowClose), { R"({action:"WINDOW_CLOSE"})" } },
        { "clear_indications", T::ClearIndications, tagOnly (fb::CreateClearIndications), { R"({action:"CLEAR_INDICATIONS"})" } },
        { "session_stop_server", T::SessionStopServer, tagOnly (fb::CreateSessionStopServer), { R"({action:"SESSION_STOP_SERVER"})" } },
        { "load_indication", T::LoadIndicationToRam, [] (B& b) { return fb::CreateLoadIndicationToRamDirect (b, nullptr, "i1", "/x.wav").Union(); },
          { R"({action:"LOAD_INDICATION_TO_RAM",indicationId:"i1",filePath:"/x.wav"})" } },
        { "unload_indication", T::UnloadIndicationFromRam, [] (B& b) { return fb::CreateUnloadIndicationFromRam (b).Union(); },
          { R"({action:"UNLOAD_INDICATION_FROM_RAM",indicationId:""})" } },
        { "indication_schedule_truncate_rule", T::SetIndicationSchedule,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::IndicationScheduleEntry>> e {
                  fb::CreateIndicationScheduleEntryDirect (b, "m1", "i1", 4.0),
                  fb::CreateIndicationScheduleEntryDirect (b, "m2", "i2", 8.0, 0.0),
                  fb::CreateIndicationScheduleEntryDirect (b, "m3", "i3", 9.0, -0.5),
              };
              return fb::CreateSetIndicationScheduleDirect (b, nullptr, &e).Union();
          },
          { R"({action:"SET_INDICATION_SCHEDULE",schedule:[{markerId:"m1",indicationId:"i1",playbackPositionSec:4d},)"
            R"({markerId:"m2",indicationId:"i2",playbackPositionSec:8d,truncateAtSec:0d},{markerId:"m3",indicationId:"i3",playbackPositionSec:9d}]})" } },
        { "indication_schedule_absent", T::SetIndicationSchedule, [] (B& b) { return fb::CreateSetIndicationSchedule (b).Union(); },
          { R"({action:"SET_INDICATION_SCHEDULE",schedule:[]})" } },
        { "save_file", T::SaveFile, [] (B& b) { return fb::CreateSaveFileDirect (b, nullptr, "1", "a.txt", "Songs", "!!not base64").Union(); },
          { R"({action:"SAVE_FILE",id:"1",filename:"a.txt",subfolder:"Songs",data:"!!not base64"})" } },
        { "save_and_hash_image", T::SaveAndHashImage,
          [] (B& b) { return fb::CreateSaveAndHashImageDirect (b, nullptr, "2", "c.png", "Covers", "image/png", "AAAA").Union(); },
          { R"({action:"SAVE_AND_HASH_IMAGE",id:"2",filename:"c.png",subfolder:"Covers",mimeType:"image/png",data:"AAAA"})" } },
        { "save_library", T::SaveLibrary, [] (B& b) { return fb::CreateSaveLibraryDirect (b, nullptr, "{}").Union(); },
          { R"({action:"SAVE_LIBRARY",data:"{}"})" } },
        { "delete_song_files", T::DeleteSongFiles, [] (B& b) { return fb::CreateDeleteSongFilesDirect (b, nullptr, "s9").Union(); },
          { R"({action:"DELETE_SONG_FILES",songId:"s9"})" } },
        { "session_start_defaults", T::SessionStartServer, [] (B& b) { return fb::CreateSessionStartServer (b).Union(); },
          { R"({action:"SESSION_START_SERVER",mode:""})" } },
        { "session_start_port", T::SessionStartServer, [] (B& b) { return fb::CreateSessionStartServerDirect (b, nullptr, 9000, "chords").Union(); },
          { R"({action:"SESSION_START_SERVER",port:9000i,mode:"chords"})" } },
        { "session_approve", T::SessionApproveClient, [] (B& b) { return fb::CreateSessionApproveClientDirect (b, nullptr, "c1", true).Union(); },
          { R"({action:"SESSION_APPROVE_CLIENT",clientId:"c1",approved:true})" } },
        { "session_kick", T::SessionKickClient, [] (B& b) { return fb::CreateSessionKickClientDirect (b, nullptr, "c1").Union(); },
          { R"({action:"SESSION_KICK_CLIENT",clientId:"c1"})" } },
        { "broadcast_section_object", T::SessionBroadcastSection,
          [] (B& b) { return fb::CreateSessionBroadcastSectionDirect (b, nullptr, R"({"name": "Chorus"})").Union(); },
          { R"({action:"SESSION_BROADCAST_SECTION",payload:{name:"Chorus"}})" } },
        { "broadcast_section_array", T::SessionBroadcastSection,
          [] (B& b) { return fb::CreateSessionBroadcastSectionDirect (b, nullptr, "[1, 2]").Union(); },
          { R"({action:"SESSION_BROADCAST_SECTION",payload:[1i,2i]})" } },
        { "broadcast_transport_not_json", T::SessionBroadcastTransport,
          [] (B& b) { return fb::CreateSessionBroadcastTransportDirect (b, nullptr, "not json").Union(); },
          { R"({action:"SESSION_BROADCAST_TRANSPORT",payload:null})" } },
        { "command_result_defaults", T::SessionCommandResult, [] (B& b) { return fb::CreateSessionCommandResult (b).Union(); },
          { R"({action:"SESSION_COMMAND_RESULT",clientId:"",commandId:"",success:false})" } },
        { "command_result_error", T::SessionCommandResult,
          [] (B& b) { return fb::CreateSessionCommandResultDirect (b, nullptr, "c", "k", false, "denied").Union(); },
          { R"({action:"SESSION_COMMAND_RESULT",clientId:"c",commandId:"k",success:false,error:"denied"})" } },
        { "cloud_config_empty", T::SetCloudConfig, [] (B& b) { return fb::CreateSetCloudConfig (b).Union(); },
          { R"({action:"SET_CLOUD_CONFIG",supabaseUrl:"",anonKey:"",authToken:"",workspaceId:""})" } },
        { "enqueue_upload_sparse_64bit_size", T::EnqueueUpload,
          [] (B& b) { return fb::CreateEnqueueUploadDirect (b, nullptr, "h", "/a.flac", 5'000'000'000LL).Union(); },
          { R"({action:"ENQUEUE_UPLOAD",contentHash:"h",localPath:"/a.flac",sizeBytes:5000000000L,workspaceId:"",kind:"",refKind:"",)"
            R"(songId:"",trackId:"",padId:"",padFileId:"",sampleRate:0d,channels:0i,bitDepth:0i,duration:0d,mimeType:"",imageWidth:0i,imageHeight:0i})" } },
        { "enqueue_upload_sub_tables", T::EnqueueUpload,
          [] (B& b)
          {
              const auto ref = fb::CreateCloudRefDirect (b, "s", "t", "p", "pf");
              const auto audio = fb::CreateUploadAudioInfo (b, 48000.0, 2, 24, 180.5);
              const auto image = fb::CreateUploadImageInfoDirect (b, "image/png", 640, 480);
              return fb::CreateEnqueueUploadDirect (b, nullptr, "h", "/l", 12, "w", "audio", "track", ref, audio, image).Union();
          },
          { R"({action:"ENQUEUE_UPLOAD",contentHash:"h",localPath:"/l",sizeBytes:12L,workspaceId:"w",kind:"audio",refKind:"track",)"
            R"(songId:"s",trackId:"t",padId:"p",padFileId:"pf",sampleRate:48000d,channels:2i,bitDepth:24i,duration:180.5d,mimeType:"image/png",imageWidth:640i,imageHeight:480i})" } },
        { "enqueue_download", T::EnqueueDownload,
          [] (B& b) { return fb::CreateEnqueueDownloadDirect (b, nullptr, "af", "audio", "indication", fb::CreateCloudRefDirect (b, "s"), 77).Union(); },
          { R"({action:"ENQUEUE_DOWNLOAD",audioFileId:"af",kind:"audio",refKind:"indication",songId:"s",trackId:"",padId:"",padFileId:"",expectedBytes:77L})" } },
        { "get_upload_queue", T::GetUploadQueue, [] (B& b) { return fb::CreateGetUploadQueueDirect (b, nullptr, "q1").Union(); },
          { R"({action:"GET_UPLOAD_QUEUE",id:"q1"})" } },
        { "check_local_files", T::CheckLocalFiles,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::LocalFileItem>> items { fb::CreateLocalFileItemDirect (b, "t1", "/a"),
                                                                          fb::CreateLocalFileItem (b) };
              return fb::CreateCheckLocalFilesDirect (b, nullptr, "r", &items).Union();
          },
          { R"({action:"CHECK_LOCAL_FILES",id:"r",items:[{trackId:"t1",path:"/a"},{trackId:"",path:""}]})" } },
    };
}

std::vector<Case> deviceAndProcessingCases()
{
    return {
        { "get_audio_devices", T::GetAudioDevices, tagOnly (fb::CreateGetAudioDevices), { R"({action:"GET_AUDIO_DEVICES"})" } },
        { "open_asio_panel", T::OpenAsioPanel, tagOnly (fb::CreateOpenAsioPanel), { R"({action:"OPEN_ASIO_PANEL"})" } },
        { "redundancy_disable", T::RedundancyDisable, tagOnly (fb::CreateRedundancyDisable), { R"({action:"REDUNDANCY_DISABLE"})" } },
        { "redundancy_takeover", T::RedundancyForceTakeover, tagOnly (fb::CreateRedundancyForceTakeover),
          { R"({action:"REDUNDANCY_FORCE_TAKEOVER"})" } },
        { "full_reset", T::FullReset, tagOnly (fb::CreateFullReset), { R"({action:"FULL_RESET"})" } },
        { "clear_stretch_cache", T::ClearStretchCache, tagOnly (fb::CreateClearStretchCache), { R"({action:"CLEAR_STRETCH_CACHE"})" } },
        { "cancel_transcodes", T::CancelTranscodes, tagOnly (fb::CreateCancelTranscodes), { R"({action:"CANCEL_TRANSCODES"})" } },
        { "export_mix_cancel", T::ExportMixCancel, tagOnly (fb::CreateExportMixCancel), { R"({action:"EXPORT_MIX_CANCEL"})" } },
        { "get_midi_devices", T::GetMidiDevices, tagOnly (fb::CreateGetMidiDevices), { R"({action:"GET_MIDI_DEVICES"})" } },
        { "get_midi_input_devices", T::GetMidiInputDevices, tagOnly (fb::CreateGetMidiInputDevices), { R"({action:"GET_MIDI_INPUT_DEVICES"})" } },
        { "audio_driver_absent", T::SetAudioDriver, [] (B& b) { return fb::CreateSetAudioDriver (b).Union(); },
          { R"({action:"SET_AUDIO_DRIVER",driver:""})" } },
        { "audio_device", T::SetAudioDevice, [] (B& b) { return fb::CreateSetAudioDeviceDirect (b, nullptr, "Virtual 8").Union(); },
          { R"({action:"SET_AUDIO_DEVICE",device:"Virtual 8"})" } },
        { "sample_rate_absent", T::SetSampleRate, [] (B& b) { return fb::CreateSetSampleRate (b).Union(); },
          { R"({action:"SET_SAMPLE_RATE",sampleRate:0d})" } },
        { "buffer_size_absent_is_int", T::SetBufferSize, [] (B& b) { return fb::CreateSetBufferSize (b).Union(); },
          { R"({action:"SET_BUFFER_SIZE",bufferSize:0i})" } },
        { "split_monitor", T::SetSplitMonitor, [] (B& b) { return fb::CreateSetSplitMonitor (b).Union(); },
          { R"({action:"SET_SPLIT_MONITOR",enabled:false})" } },
        { "performance_level", T::SetPerformanceLevel, [] (B& b) { return fb::CreateSetPerformanceLevelDirect (b, nullptr, "high").Union(); },
          { R"({action:"SET_PERFORMANCE_LEVEL",level:"high"})" } },
        { "redundancy_enable_absent_role_no_pin", T::RedundancyEnable, [] (B& b) { return fb::CreateRedundancyEnable (b).Union(); },
          { R"({action:"REDUNDANCY_ENABLE",role:""})" } },
        { "apply_stretch_empty", T::ApplyStretch, [] (B& b) { return fb::CreateApplyStretch (b).Union(); },
          { R"({action:"APPLY_STRETCH",semitones:0d})" } },
        { "apply_stretch_zero_bpm", T::ApplyStretch, [] (B& b) { return fb::CreateApplyStretch (b, 0, 0.0, -2.0).Union(); },
          { R"({action:"APPLY_STRETCH",bpm:0d,semitones:-2d})" } },
        { "apply_stretch_negative_bpm", T::ApplyStretch, [] (B& b) { return fb::CreateApplyStretch (b, 0, -3.0, 1.0).Union(); },
          { R"({action:"APPLY_STRETCH",semitones:1d})" } },
        { "apply_stretch_nan_bpm", T::ApplyStretch, [] (B& b) { return fb::CreateApplyStretch (b, 0, nan, 0.0).Union(); },
          { R"({action:"APPLY_STRETCH",semitones:0d})" } },
        { "save_and_transcode_empty", T::SaveAndTranscode, [] (B& b) { return fb::CreateSaveAndTranscode (b).Union(); },
          { R"({action:"SAVE_AND_TRANSCODE",id:"",filename:"",subfolder:"",trackId:"",data:""})" } },
        { "export_mix_replaces_action_in_place", T::ExportMix, jsonText (fb::CreateExportMix, R"({"format": "mp3", "action": "X"})"),
          { R"({format:"mp3",action:"EXPORT_MIX"})" } },
        { "export_mix_array", T::ExportMix, jsonText (fb::CreateExportMix, "[1, 2]"), {} },
        { "export_mix_empty", T::ExportMix, [] (B& b) { return fb::CreateExportMix (b).Union(); }, {} },
        { "midi_master", T::SetMidiMaster, [] (B& b) { return fb::CreateSetMidiMaster (b, 0, true).Union(); },
          { R"({action:"SET_MIDI_MASTER",enabled:true})" } },
        { "midi_buses", T::SetMidiBuses,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::MidiBusEntry>> e { fb::CreateMidiBusEntryDirect (b, "a", "p1", 2, true),
                                                                     fb::CreateMidiBusEntryDirect (b, "b") };
              return fb::CreateSetMidiBusesDirect (b, nullptr, &e).Union();
          },
          { R"({action:"SET_MIDI_BUSES",buses:{a:{portId:"p1",channel:2i,enabled:true},b:{portId:null,channel:0i,enabled:false}}})" } },
        { "midi_buses_repeated_id", T::SetMidiBuses,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::MidiBusEntry>> e { fb::CreateMidiBusEntryDirect (b, "a", "p1", 2, true),
                                                                     fb::CreateMidiBusEntryDirect (b, "a", "p2", 3) };
              return fb::CreateSetMidiBusesDirect (b, nullptr, &e).Union();
          },
          { R"({action:"SET_MIDI_BUSES",buses:{a:{portId:"p2",channel:3i,enabled:false}}})" } },
        { "midi_buses_absent", T::SetMidiBuses, [] (B& b) { return fb::CreateSetMidiBuses (b).Union(); },
          { R"({action:"SET_MIDI_BUSES",buses:{}})" } },
        { "enable_midi_input", T::EnableMidiInput, [] (B& b) { return fb::CreateEnableMidiInputDirect (b, nullptr, "in1").Union(); },
          { R"({action:"ENABLE_MIDI_INPUT",deviceId:"in1"})" } },
        { "disable_midi_input", T::DisableMidiInput, [] (B& b) { return fb::CreateDisableMidiInputDirect (b, nullptr, "in1").Union(); },
          { R"({action:"DISABLE_MIDI_INPUT",deviceId:"in1"})" } },
        { "send_midi_message_empty", T::SendMidiMessage, [] (B& b) { return fb::CreateSendMidiMessage (b).Union(); },
          { R"({action:"SEND_MIDI_MESSAGE",channel:0i,type:"",value:0i,subValue:0i})" } },
        { "midi_cues_id_only", T::UpdateMidiCues,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::MidiCueEntry>> e { fb::CreateMidiCueEntryDirect (b, "c1") };
              return fb::CreateUpdateMidiCuesDirect (b, nullptr, &e).Union();
          },
          { R"({action:"UPDATE_MIDI_CUES",cues:[{id:"c1",time:0d,busId:"",messageType:"",value:0i}]})" } },
        { "midi_cues_optional_keys_after_fixed_ones", T::UpdateMidiCues,
          [] (B& b)
          {
              std::vector<flatbuffers::Offset<fb::MidiCueEntry>> e {
                  fb::CreateMidiCueEntryDirect (b, "c2", "Intro PC", 1.5, "bus1", "pc", 12, 0, true, "patch"),
                  fb::CreateMidiCueEntryDirect (b, "c3", "", 2.0, "bus1", "cc", 7, -5, false, ""),
              };
              return fb::CreateUpdateMidiCuesDirect (b, nullptr, &e).Union();
          },
          { R"({action:"UPDATE_MIDI_CUES",cues:[{id:"c2",time:1.5d,busId:"bus1",messageType:"pc",value:12i,name:"Intro PC",velocity:0i,)"
            R"(disableOnLoop:true,description:"patch"},{id:"c3",time:2d,busId:"bus1",messageType:"cc",value:7i}]})" } },
    };
}

class TypedHandlerTable : public ::testing::TestWithParam<Case>
{
};

TEST_P (TypedHandlerTable, RebuildsTheJsonAction)
{
    const auto& c = GetParam();
    RecordingBridge r;
    EXPECT_EQ (r.dispatch (inbound (c.type, c.make)), c.expected);
    EXPECT_TRUE (r.debugLines.empty());
}

std::string caseName (const ::testing::TestParamInfo<Case>& info) { return info.param.name + std::string ("_") + std::to_string (info.index); }

INSTANTIATE_TEST_SUITE_P (Transport, TypedHandlerTable, ::testing::ValuesIn (transportCases()), caseName);
INSTANTIATE_TEST_SUITE_P (Mix, TypedHandlerTable, ::testing::ValuesIn (mixCases()), caseName);
INSTANTIATE_TEST_SUITE_P (SongClickPads, TypedHandlerTable, ::testing::ValuesIn (songCases()), caseName);
INSTANTIATE_TEST_SUITE_P (WindowFilesCloudSession, TypedHandlerTable, ::testing::ValuesIn (windowFileCloudSessionCases()), caseName);
INSTANTIATE_TEST_SUITE_P (DevicesProcessing, TypedHandlerTable, ::testing::ValuesIn (deviceAndProcessingCases()), caseName);

// Every value from 1 to 109 except 35, 102 and 103 has a case above, so none of them may reach
// the unknown-type handler: a gap in the dispatcher's switch would show here.
TEST (TypedHandlerCoverage, EveryHandledTypeHasACase)
{
    std::set<int> covered;
    for (const auto& list : { transportCases(), mixCases(), songCases(), windowFileCloudSessionCases(), deviceAndProcessingCases() })
        for (const auto& c : list)
            covered.insert ((int) c.type);

    for (int type = 1; type <= 109; ++type)
    {
        if (type == 35 || type == 102 || type == 103)
            continue;
        EXPECT_EQ (covered.count (type), 1u) << "no case for payload type " << type;
    }
}

// A JSON text nested far deeper than any action would overflow the parser's recursion: it is
// treated as text that does not parse.
TEST (TypedHandlerJsonText, DeepNestingIsRefusedWithoutCrashing)
{
    const std::string deep = std::string (200000, '[') + std::string (200000, ']');
    RecordingBridge r;
    EXPECT_TRUE (r.dispatch (inbound (T::LoadSong, jsonText (fb::CreateLoadSong, deep.c_str()))).empty());
    EXPECT_TRUE (r.dispatch (inbound (T::ExportMix, jsonText (fb::CreateExportMix, deep.c_str()))).empty());
    EXPECT_EQ (r.dispatch (inbound (T::SessionBroadcastSection, [&] (B& b) { return fb::CreateSessionBroadcastSectionDirect (b, nullptr, deep.c_str()).Union(); })),
               std::vector<std::string> { R"({action:"SESSION_BROADCAST_SECTION",payload:null})" });

    // Nesting within the bound still parses, brackets inside strings do not count.
    const std::string fine = R"({"a": "[[[[[[", "b": [[[1]]]})";
    EXPECT_EQ (r.dispatch (inbound (T::LoadSong, jsonText (fb::CreateLoadSong, fine.c_str()))),
               std::vector<std::string> { R"({a:"[[[[[[",b:[[[1i]]],action:"LOAD_SONG"})" });
}

// Integer literals too long for a 64-bit signed integer keep their size and sign instead of
// wrapping around (the text the fuzzer found had 20 significant digits); 19 digits still fit.
TEST (TypedHandlerJsonText, LongIntegerLiteralsDoNotWrapAround)
{
    RecordingBridge r;
    const std::string text = R"({"big": 18446744073709551615, "padded": 000000018446744073709551615, "fits": 9223372036854775807, "neg": -99999999999999999999})";
    const auto out = r.dispatch (inbound (T::LoadSong, jsonText (fb::CreateLoadSong, text.c_str())));
    EXPECT_TRUE (out.empty()) << "leading zeros are not JSON";

    const std::string strict = R"({"big": 18446744073709551615, "fits": 9223372036854775807, "neg": -99999999999999999999})";
    const auto parsed = r.dispatch (inbound (T::LoadSong, jsonText (fb::CreateLoadSong, strict.c_str())));
    EXPECT_EQ (parsed, std::vector<std::string> { R"({big:1.8446744073709552e+19d,fits:9223372036854775807L,neg:-1e+20d,action:"LOAD_SONG"})" });
}

// The bound is 512 levels, the outer object included; a level more is refused.
TEST (TypedHandlerJsonText, NestingBoundIsFiveHundredTwelveLevels)
{
    const auto nested = [] (int arrays) { return R"({"a":)" + std::string ((size_t) arrays, '[') + std::string ((size_t) arrays, ']') + "}"; };
    const auto atBound = nested (511), beyond = nested (512);
    RecordingBridge r;
    EXPECT_EQ (r.dispatch (inbound (T::LoadSong, jsonText (fb::CreateLoadSong, atBound.c_str()))).size(), 1u);
    EXPECT_TRUE (r.dispatch (inbound (T::LoadSong, jsonText (fb::CreateLoadSong, beyond.c_str()))).empty());
}
} // namespace
} // namespace quorvelle::test
