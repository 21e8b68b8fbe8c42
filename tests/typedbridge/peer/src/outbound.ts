// Outbound events: JSON event objects go through the program's event mapping and typed senders
// (the sample tool), and the typed buffers that come back are decoded here with the npm runtime.
//   node dist/src/outbound.js <path of typedbridge_event_samples>

import { Checker, LineProcess, decode, isTyped } from './events';

interface OutboundCase {
  event: any;
  type: number;
  check: (t: any, stored: (field: number) => boolean, c: Checker) => void;
}

const cases: OutboundCase[] = [
  {
    event: { action: 'TRANSCODE_COMPLETE', id: 'x1', trackId: 't', transcoded: true, sizeBytes: 5000000000, contentHash: '' },
    type: 20,
    check: (t, stored, c) => {
      c.equal(t.sizeBytes(), BigInt('5000000000'), 'TRANSCODE_COMPLETE sizeBytes');
      c.equal(t.hasContentHash(), true, 'TRANSCODE_COMPLETE hasContentHash');
      c.equal(t.contentHash(), '', 'TRANSCODE_COMPLETE contentHash');
      c.equal(t.transcoded(), true, 'TRANSCODE_COMPLETE transcoded');
      c.equal(stored(10), false, 'TRANSCODE_COMPLETE sampleRate not written');
      c.equal(t.url(), '', 'TRANSCODE_COMPLETE url written empty');
      c.check(stored(2), 'TRANSCODE_COMPLETE url is written');
    },
  },
  {
    event: { action: 'AUDIO_DEVICES_LIST', drivers: ['ALSA', 'Virtual'], sampleRates: [44100, 48000], bufferSizes: [128.7] },
    type: 37,
    check: (t, stored, c) => {
      c.equal(t.maxOutputChannels(), 2, 'AUDIO_DEVICES_LIST maxOutputChannels default');
      c.equal(stored(8), false, 'AUDIO_DEVICES_LIST maxOutputChannels not written');
      c.equal(t.driversLength(), 2, 'AUDIO_DEVICES_LIST drivers');
      c.equal(t.drivers(1), 'Virtual', 'AUDIO_DEVICES_LIST drivers[1]');
      c.equal(Array.from(t.sampleRatesArray()), [44100, 48000], 'AUDIO_DEVICES_LIST sampleRates');
      c.equal(Array.from(t.bufferSizesArray()), [128], 'AUDIO_DEVICES_LIST bufferSizes');
      c.equal(t.devicesLength(), 0, 'AUDIO_DEVICES_LIST devices empty');
      c.check(stored(2), 'AUDIO_DEVICES_LIST empty devices vector is written');
    },
  },
  {
    event: { action: 'AUDIO_DEVICES_LIST', maxOutputChannels: 0 },
    type: 37,
    check: (t, stored, c) => {
      c.equal(t.maxOutputChannels(), 0, 'AUDIO_DEVICES_LIST maxOutputChannels 0');
      c.equal(stored(8), true, 'AUDIO_DEVICES_LIST maxOutputChannels 0 is written');
    },
  },
  {
    event: { action: 'UPLOAD_PROGRESS', jobId: 'j', bytesUploaded: 4294967301, totalBytes: 8589934592, progress: 0 },
    type: 31,
    check: (t, stored, c) => {
      c.equal(t.bytesUploaded(), BigInt('4294967301'), 'UPLOAD_PROGRESS bytesUploaded');
      c.equal(t.totalBytes(), BigInt('8589934592'), 'UPLOAD_PROGRESS totalBytes');
      c.equal(stored(3), false, 'UPLOAD_PROGRESS progress 0 not written');
    },
  },
  {
    event: { action: 'WAVEFORM_UPDATE', songId: 's', peaks: [0.25, 1], peaksMax: [0.1] },
    type: 27,
    check: (t, _stored, c) => {
      c.equal(Array.from(t.peaksArray()), [0.25, 1], 'WAVEFORM_UPDATE peaks');
      c.equal(t.peaksMinLength(), 0, 'WAVEFORM_UPDATE peaksMin empty');
      c.equal(t.peaksMax(0), Math.fround(0.1), 'WAVEFORM_UPDATE peaksMax narrowed to f32');
    },
  },
  {
    event: { action: 'MIDI_DEVICES_LIST', devices: [{ id: '1', name: 'A' }, 5] },
    type: 28,
    check: (t, _stored, c) => {
      c.equal(t.devicesLength(), 2, 'MIDI_DEVICES_LIST count');
      c.equal(t.devices(0).name(), 'A', 'MIDI_DEVICES_LIST first name');
      c.equal(t.devices(1).id(), '', 'MIDI_DEVICES_LIST non-object element');
    },
  },
  {
    event: { action: 'SESSION_REMOTE_COMMAND', clientId: 'c', commandId: 'k', command: { type: 'PLAY' } },
    type: 48,
    check: (t, _stored, c) => {
      c.equal(JSON.parse(t.command()), { type: 'PLAY' }, 'SESSION_REMOTE_COMMAND command JSON');
      c.check(t.command().includes('\r\n'), 'SESSION_REMOTE_COMMAND command is multi-line');
    },
  },
  {
    event: { action: 'CLICK_SECTION_STARTED', entryId: 'e', mode: 'loop', totalSamples: 96000.7, samplesPerIteration: -0.9, samplesPerBar: -1.5 },
    type: 40,
    check: (t, stored, c) => {
      c.equal(t.totalSamples(), BigInt(96000), 'CLICK_SECTION_STARTED totalSamples');
      c.equal(stored(3), false, 'CLICK_SECTION_STARTED samplesPerIteration truncated to 0');
      c.equal(t.samplesPerBar(), BigInt(-1), 'CLICK_SECTION_STARTED samplesPerBar');
    },
  },
  {
    event: { action: 'REDUNDANCY_STATUS', role: 'standby', peerConnected: false, latencyMs: 0 },
    type: 11,
    check: (t, stored, c) => {
      c.equal(t.role(), 'standby', 'REDUNDANCY_STATUS role');
      c.equal(stored(1) || stored(3), false, 'REDUNDANCY_STATUS defaults not written');
      c.check(stored(2), 'REDUNDANCY_STATUS empty peerIp is written');
    },
  },
  {
    event: { action: 'SESSION_LOADED', songId: 'song', audioDuration: 61.5, trackCount: 4, wasPreloaded: true },
    type: 3,
    check: (t, stored, c) => {
      c.equal(t.tag(), '', 'SESSION_LOADED leading string');
      c.check(stored(0), 'SESSION_LOADED leading string is written');
      c.equal(t.error(), '', 'SESSION_LOADED error');
      c.equal(t.audioDuration(), 61.5, 'SESSION_LOADED audioDuration');
      c.equal(t.wasPreloaded(), true, 'SESSION_LOADED wasPreloaded');
    },
  },
  {
    event: { action: 'LOAD_PROGRESS', songId: 's', progress: 37.9 },
    type: 12,
    check: (t, _stored, c) => c.equal(t.progress(), 37, 'LOAD_PROGRESS progress truncated'),
  },
  {
    event: { action: 'DEBUG_LOG', message: 'l\u00ednea' },
    type: 8,
    check: (t, _stored, c) => c.equal(t.message(), 'l\u00ednea', 'DEBUG_LOG message'),
  },
];

async function main(): Promise<number> {
  const c = new Checker();
  const tool = new LineProcess(process.argv[2], []);
  try {
    for (const oc of cases) {
      const from = tool.lines.length;
      tool.send(oc.event);
      const line = await tool.waitFor((l) => isTyped(l), 5000, from);
      if (line === null) { c.check(false, `${oc.event.action}: no typed event`); continue; }
      const d = decode(line.data);
      c.equal(d.type, oc.type, `${oc.event.action} payload type`);
      if (d.type === oc.type) oc.check(d.table, d.stored, c);
    }
  } finally {
    tool.close();
  }
  return c.finish();
}

main().then((code) => process.exit(code), (e) => { console.error(e); process.exit(1); });
