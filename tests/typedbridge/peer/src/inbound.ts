// Inbound buffers as a front end builds them: one table of cases, at least one per handler family,
// built with the TypeScript that flatc generates from the schema, and a few built by hand with the
// raw builder calls (an oracle that shares nothing with the generated code).
//
// `expected` is the request the program must rebuild, written with value kinds:
// ints as 3i, 64-bit ints as 3L, doubles as 0.5d, texts quoted, null for void; keys in order.

import * as flatbuffers from 'flatbuffers';
import * as fb from '../generated/TypedMessages_generated';

export interface InboundCase {
  name: string;
  type: number;
  build: (b: flatbuffers.Builder) => flatbuffers.Offset;
  expected: string[];
}

const T = fb.ToNativePayload;
const s = (b: flatbuffers.Builder, text: string) => b.createString(text);

// The whole message around one payload table, Base64-encoded.
export function message(type: number, build: (b: flatbuffers.Builder) => flatbuffers.Offset): string {
  const b = new flatbuffers.Builder(256);
  const payload = build(b);
  const root = fb.ToNativeMessage.createToNativeMessage(b, type, payload);
  b.finish(root);
  return Buffer.from(b.asUint8Array()).toString('base64');
}

// The same, with the root table written by hand too (for the oracle).
export function rawMessage(type: number, build: (b: flatbuffers.Builder) => flatbuffers.Offset): string {
  const b = new flatbuffers.Builder(64);
  const payload = build(b);
  b.startObject(2);
  b.addFieldOffset(1, payload, 0);
  b.addFieldInt8(0, type, 0);
  b.finish(b.endObject());
  return Buffer.from(b.asUint8Array()).toString('base64');
}

export const generatedCases: InboundCase[] = [
  {
    name: 'transport_play', type: T.TransportPlay,
    build: (b) => fb.TransportPlay.createTransportPlay(b, s(b, 'peer'), true, false, 0, s(b, 'verse'), false, 96, 3, 0, 0.5),
    expected: ['{action:"TRANSPORT_CONTROL",command:"PLAY",fromStart:true,startPosition:0d,sectionKey:"verse",countInBpm:96d,countInNumerator:3i,countInTruncateSec:0.5d}'],
  },
  {
    name: 'transport_seek_defaults', type: T.TransportSeek,
    build: (b) => { fb.TransportSeek.startTransportSeek(b); return fb.TransportSeek.endTransportSeek(b); },
    expected: ['{action:"TRANSPORT_CONTROL",command:"SEEK",position:0d}'],
  },
  {
    name: 'batch_mix_state', type: T.BatchMixState,
    build: (b) => {
      const tracks = fb.BatchMixState.createTracksVector(b, [fb.TrackMixState.createTrackMixState(b, s(b, 'bass'), 0.1, false, true)]);
      const buses = fb.BatchMixState.createBusesVector(b, []);
      const master = fb.MasterMixState.createMasterMixState(b, -6);
      fb.BatchMixState.startBatchMixState(b);
      fb.BatchMixState.addMaster(b, master);
      fb.BatchMixState.addTracks(b, tracks);
      fb.BatchMixState.addBuses(b, buses);
      return fb.BatchMixState.endBatchMixState(b);
    },
    expected: ['{action:"BATCH_MIX_STATE",master:{volume:-6d},tracks:[{id:"bass",volume:0.10000000149011612d,muted:false,soloed:true}],buses:[],seqGuideOverrides:[]}'],
  },
  {
    name: 'set_bus_routing', type: T.SetBusRouting,
    build: (b) => {
      const channels = fb.BusRoutingEntry.createChannelsVector(b, [3, 4]);
      const entry = fb.BusRoutingEntry.createBusRoutingEntry(b, s(b, 'drums'), s(b, 'stereo'), channels);
      return fb.SetBusRouting.createSetBusRouting(b, 0, fb.SetBusRouting.createRoutingVector(b, [entry]));
    },
    expected: ['{action:"SET_BUS_ROUTING",routing:{drums:{mode:"stereo",channels:[3i,4i]}}}'],
  },
  {
    name: 'load_song_json_text', type: T.LoadSong,
    build: (b) => fb.LoadSong.createLoadSong(b, 0, s(b, JSON.stringify({ action: 'X', songId: 'peer-song', tracks: [{ id: 't1', gain: 0.5 }] }))),
    expected: ['{action:"LOAD_SONG",songId:"peer-song",tracks:[{id:"t1",gain:0.5d}]}'],
  },
  {
    name: 'click_next_seek_target', type: T.SetClickSectionNextSeekTarget,
    build: (b) => fb.SetClickSectionNextSeekTarget.createSetClickSectionNextSeekTarget(b, 0, s(b, 'e1'), -1, 0, s(b, 'Coro')),
    expected: ['{action:"SET_CLICK_SECTION_NEXT_SEEK_TARGET",entryId:"e1",target:-1d,warningSectionName:"Coro"}'],
  },
  {
    name: 'update_pad_two', type: T.UpdatePad,
    build: (b) => fb.UpdatePad.createUpdatePad(b, 0, 2, true, s(b, 'pads/C.wav'), 0.5, 1.5, s(b, 'C')),
    expected: ['{action:"UPDATE_PAD2",enabled:true,file:"pads/C.wav",volume:0.5d,fadeTime:1.5d,key:"C"}'],
  },
  {
    name: 'update_sections', type: T.UpdateSections,
    build: (b) => {
      const e = fb.SectionEntry.createSectionEntry(b, s(b, 'Verso'), 4, s(b, 'verse'), 12.5);
      return fb.UpdateSections.createUpdateSections(b, 0, fb.UpdateSections.createSectionsVector(b, [e]));
    },
    expected: ['{action:"UPDATE_SECTIONS",sections:[{name:"Verso",startTime:4d,type:"verse",triggerTime:12.5d}]}'],
  },
  {
    name: 'indication_schedule', type: T.SetIndicationSchedule,
    build: (b) => {
      const e = fb.IndicationScheduleEntry.createIndicationScheduleEntry(b, s(b, 'm'), s(b, 'i'), 2, -1);
      return fb.SetIndicationSchedule.createSetIndicationSchedule(b, 0, fb.SetIndicationSchedule.createScheduleVector(b, [e]));
    },
    expected: ['{action:"SET_INDICATION_SCHEDULE",schedule:[{markerId:"m",indicationId:"i",playbackPositionSec:2d}]}'],
  },
  {
    name: 'save_file', type: T.SaveFile,
    build: (b) => fb.SaveFile.createSaveFile(b, 0, s(b, 'f1'), s(b, 'notes.txt'), s(b, 'Songs/x'), s(b, 'aGVsbG8=')),
    expected: ['{action:"SAVE_FILE",id:"f1",filename:"notes.txt",subfolder:"Songs/x",data:"aGVsbG8="}'],
  },
  {
    name: 'session_start_server', type: T.SessionStartServer,
    build: (b) => fb.SessionStartServer.createSessionStartServer(b, 0, 0, s(b, 'chords')),
    expected: ['{action:"SESSION_START_SERVER",mode:"chords"}'],
  },
  {
    name: 'session_broadcast_section', type: T.SessionBroadcastSection,
    build: (b) => fb.SessionBroadcastSection.createSessionBroadcastSection(b, 0, s(b, '{"name":"Puente","index":3}')),
    expected: ['{action:"SESSION_BROADCAST_SECTION",payload:{name:"Puente",index:3i}}'],
  },
  {
    name: 'enqueue_upload_64bit', type: T.EnqueueUpload,
    build: (b) => {
      const audio = fb.UploadAudioInfo.createUploadAudioInfo(b, 44100, 2, 16, 12.5);
      const hash = s(b, 'abc');
      const path = s(b, '/tmp/a.flac');
      fb.EnqueueUpload.startEnqueueUpload(b);
      fb.EnqueueUpload.addContentHash(b, hash);
      fb.EnqueueUpload.addLocalPath(b, path);
      fb.EnqueueUpload.addSizeBytes(b, BigInt('5000000000'));
      fb.EnqueueUpload.addAudio(b, audio);
      return fb.EnqueueUpload.endEnqueueUpload(b);
    },
    expected: ['{action:"ENQUEUE_UPLOAD",contentHash:"abc",localPath:"/tmp/a.flac",sizeBytes:5000000000L,workspaceId:"",kind:"",refKind:"",' +
               'songId:"",trackId:"",padId:"",padFileId:"",sampleRate:44100d,channels:2i,bitDepth:16i,duration:12.5d,mimeType:"",imageWidth:0i,imageHeight:0i}'],
  },
  {
    name: 'enqueue_download', type: T.EnqueueDownload,
    build: (b) => {
      const ref = fb.CloudRef.createCloudRef(b, s(b, 's1'), 0, s(b, 'p1'), 0);
      const id = s(b, 'af');
      const kind = s(b, 'pad');
      fb.EnqueueDownload.startEnqueueDownload(b);
      fb.EnqueueDownload.addAudioFileId(b, id);
      fb.EnqueueDownload.addKind(b, kind);
      fb.EnqueueDownload.addRefKind(b, kind);
      fb.EnqueueDownload.addRef(b, ref);
      fb.EnqueueDownload.addExpectedBytes(b, BigInt(1024));
      return fb.EnqueueDownload.endEnqueueDownload(b);
    },
    expected: ['{action:"ENQUEUE_DOWNLOAD",audioFileId:"af",kind:"pad",refKind:"pad",songId:"s1",trackId:"",padId:"p1",padFileId:"",expectedBytes:1024L}'],
  },
  {
    name: 'redundancy_enable', type: T.RedundancyEnable,
    build: (b) => fb.RedundancyEnable.createRedundancyEnable(b, 0, s(b, 'primary')),
    expected: ['{action:"REDUNDANCY_ENABLE",role:"primary"}'],
  },
  {
    name: 'redundancy_force_takeover', type: T.RedundancyForceTakeover,
    build: (b) => fb.RedundancyForceTakeover.createRedundancyForceTakeover(b, s(b, 'x')),
    expected: ['{action:"REDUNDANCY_FORCE_TAKEOVER"}'],
  },
  {
    name: 'apply_stretch', type: T.ApplyStretch,
    build: (b) => fb.ApplyStretch.createApplyStretch(b, 0, 96.5, -2),
    expected: ['{action:"APPLY_STRETCH",bpm:96.5d,semitones:-2d}'],
  },
  {
    name: 'export_mix', type: T.ExportMix,
    build: (b) => fb.ExportMix.createExportMix(b, 0, s(b, '{"format":"wav","sourceStartTimeSec":0,"sourceEndTimeSec":10.5}')),
    expected: ['{format:"wav",sourceStartTimeSec:0i,sourceEndTimeSec:10.5d,action:"EXPORT_MIX"}'],
  },
  {
    name: 'set_midi_buses', type: T.SetMidiBuses,
    build: (b) => {
      const a = fb.MidiBusEntry.createMidiBusEntry(b, s(b, 'main'), 0, 10, true);
      return fb.SetMidiBuses.createSetMidiBuses(b, 0, fb.SetMidiBuses.createBusesVector(b, [a]));
    },
    expected: ['{action:"SET_MIDI_BUSES",buses:{main:{portId:null,channel:10i,enabled:true}}}'],
  },
  {
    name: 'update_midi_cues', type: T.UpdateMidiCues,
    build: (b) => {
      const c = fb.MidiCueEntry.createMidiCueEntry(b, s(b, 'c1'), s(b, 'PC 5'), 8, s(b, 'main'), s(b, 'pc'), 5, -1, true, 0);
      return fb.UpdateMidiCues.createUpdateMidiCues(b, 0, fb.UpdateMidiCues.createCuesVector(b, [c]));
    },
    expected: ['{action:"UPDATE_MIDI_CUES",cues:[{id:"c1",time:8d,busId:"main",messageType:"pc",value:5i,name:"PC 5",disableOnLoop:true}]}'],
  },
  {
    name: 'set_buffer_size', type: T.SetBufferSize,
    build: (b) => fb.SetBufferSize.createSetBufferSize(b, 0, 256),
    expected: ['{action:"SET_BUFFER_SIZE",bufferSize:256i}'],
  },
  {
    name: 'window_close', type: T.WindowClose,
    build: (b) => fb.WindowClose.createWindowClose(b, s(b, 'peer')),
    expected: ['{action:"WINDOW_CLOSE"}'],
  },
  {
    name: 'check_local_files', type: T.CheckLocalFiles,
    build: (b) => {
      const item = fb.LocalFileItem.createLocalFileItem(b, s(b, 't1'), s(b, 'file:///nowhere/a.flac'));
      return fb.CheckLocalFiles.createCheckLocalFiles(b, 0, s(b, 'req-1'), fb.CheckLocalFiles.createItemsVector(b, [item]));
    },
    expected: ['{action:"CHECK_LOCAL_FILES",id:"req-1",items:[{trackId:"t1",path:"file:///nowhere/a.flac"}]}'],
  },
];

// The oracle: tables written field by field with the raw builder. Field n sits at vtable slot n.
export const oracleCases: InboundCase[] = [
  {
    // SEEK with every default written explicitly.
    name: 'oracle_seek_forced_defaults', type: 5,
    build: (b) => {
      b.forceDefaults(true);
      const tag = b.createString('');
      b.startObject(7);
      b.addFieldOffset(0, tag, 0);
      b.addFieldFloat64(1, 0, 0);
      b.addFieldInt8(3, 0, 0);
      b.addFieldFloat64(4, 0, 0);
      b.addFieldInt32(5, 0, 0);
      b.addFieldInt32(6, 0, 0);
      const table = b.endObject();
      b.forceDefaults(false);
      return table;
    },
    expected: ['{action:"TRANSPORT_CONTROL",command:"SEEK",position:0d}'],
  },
  {
    // SET_CLICK_SOURCE with its code byte written as 0.
    name: 'oracle_click_source_zero_written', type: 23,
    build: (b) => {
      b.forceDefaults(true);
      b.startObject(2);
      b.addFieldInt8(1, 0, 0);
      const table = b.endObject();
      b.forceDefaults(false);
      return table;
    },
    expected: ['{action:"SET_CLICK_SOURCE",source:"INT"}'],
  },
  {
    // ENQUEUE_DOWNLOAD: a 64-bit size beyond 32 bits, written as a BigInt.
    name: 'oracle_enqueue_download_bigint', type: 99,
    build: (b) => {
      const id = b.createString('af-9');
      b.startObject(6);
      b.addFieldOffset(1, id, 0);
      b.addFieldInt64(5, BigInt('6000000001'), BigInt(0));
      return b.endObject();
    },
    expected: ['{action:"ENQUEUE_DOWNLOAD",audioFileId:"af-9",kind:"",refKind:"",songId:"",trackId:"",padId:"",padFileId:"",expectedBytes:6000000001L}'],
  },
  {
    // START_COUNT_IN with numerator 0 present (its default is 4).
    name: 'oracle_start_count_in_zero_numerator', type: 27,
    build: (b) => {
      b.startObject(5);
      b.addFieldInt32(2, 0, 4);
      return b.endObject();
    },
    expected: ['{action:"START_COUNT_IN",bpm:120d,numerator:0i,denominator:4i}'],
  },
  {
    // UPDATE_MIDI_CUES: a cue with only its id, velocity left to its -1 default.
    name: 'oracle_midi_cue_id_only', type: 89,
    build: (b) => {
      const id = b.createString('c7');
      b.startObject(9);
      b.addFieldOffset(0, id, 0);
      const cue = b.endObject();
      b.startVector(4, 1, 4);
      b.addOffset(cue);
      const cues = b.endVector();
      b.startObject(2);
      b.addFieldOffset(1, cues, 0);
      return b.endObject();
    },
    expected: ['{action:"UPDATE_MIDI_CUES",cues:[{id:"c7",time:0d,busId:"",messageType:"",value:0i}]}'],
  },
];
