// The whole program driven through --bridge-stdio by an outside client: typed requests built with
// the generated TypeScript, typed events decoded with the npm runtime. Every effect is awaited with
// a bounded wait and matched by what identifies it.
//   node dist/src/e2e.js <path of the quorvelle program>

import * as flatbuffers from 'flatbuffers';
import * as fb from '../generated/TypedMessages_generated';
import { Checker, LineProcess, decode, isTyped } from './events';
import { message, rawMessage } from './inbound';

const T = fb.ToNativePayload;
const EM_DASH = '\u2014';

function unknownLine(type: number): string {
  return `[TypedBridge] unknown payload type=${type} ${EM_DASH} Sprint 1 progresivo, agregar al switch al migrar la familia.`;
}

function typed(type: number, build: (b: flatbuffers.Builder) => flatbuffers.Offset, extra: any = {}) {
  return { action: 'TYPED_BRIDGE_V1', ...extra, data: message(type, build) };
}

const reserved = (b: flatbuffers.Builder) => fb.Reserved35.createReserved35(b, b.createString('probe'));

function isDebugLog(text: string) {
  return (l: any) => isTyped(l) && decode(l.data).type === 8 && decode(l.data).table.message() === text;
}

async function main(): Promise<number> {
  const c = new Checker();
  const program = new LineProcess(process.argv[2], ['--bridge-stdio']);
  try {
    // Readiness: typed messages are held until the engine is ready; the first answer to a typed
    // probe says that the bridge now dispatches.
    program.send(typed(T.Reserved35, reserved));
    const ready = await program.waitFor(isDebugLog(unknownLine(35)), 30000);
    c.check(ready !== null, 'readiness: no typed DEBUG_LOG for the payload type 35 probe');
    if (ready === null) return c.finish();

    // Types without a case each reach the unknown-type line, sent as a typed DEBUG_LOG.
    for (const type of [102, 103, 110]) {
      const from = program.lines.length;
      program.send(typed(type, (b) => fb.Reserved103.createReserved103(b, b.createString('x'))));
      c.check(await program.waitFor(isDebugLog(unknownLine(type)), 5000, from) !== null, `unknown type ${type}: no DEBUG_LOG`);
    }
    {
      const from = program.lines.length;
      program.send({ action: 'TYPED_BRIDGE_V1', data: rawMessage(200, (b) => b.createString('no table here')) });
      c.check(await program.waitFor(isDebugLog(unknownLine(200)), 5000, from) !== null, 'unknown type 200: no DEBUG_LOG');
    }

    // Malformed input: nothing is dispatched and the program keeps answering.
    {
      const from = program.lines.length;
      const valid = message(T.Reserved103, (b) => fb.Reserved103.createReserved103(b, 0));
      for (const data of ['not base64!', valid.replace(/=+$/, ''), '', valid.slice(0, 8), 'AAAA'.repeat(3)])
        program.send({ action: 'TYPED_BRIDGE_V1', data });
      program.send({ action: 'TYPED_BRIDGE_V1' });
      program.send(typed(T.Reserved110, (b) => fb.Reserved110.createReserved110(b, 0)));
      const probe = await program.waitFor(isDebugLog(unknownLine(110)), 5000, from);
      c.check(probe !== null, 'malformed input: the program stopped answering');
      const stray = program.lines.slice(from).filter((l) => isTyped(l) && decode(l.data).type === 8
                                                       && decode(l.data).table.message().startsWith('[TypedBridge] unknown payload type=')
                                                       && decode(l.data).table.message() !== unknownLine(110));
      c.equal(stray.length, 0, 'malformed input: nothing dispatched');
    }

    // The envelope's messageId is acknowledged; a repeat is acknowledged again and not decoded.
    {
      const from = program.lines.length;
      const envelope = typed(T.Reserved103, (b) => fb.Reserved103.createReserved103(b, 0), { messageId: 4242 });
      program.send(envelope);
      c.check(await program.waitFor((l) => l.action === 'MESSAGE_ACK' && l.messageId === 4242, 5000, from) !== null, 'messageId: no MESSAGE_ACK');
      c.check(await program.waitFor(isDebugLog(unknownLine(103)), 5000, from) !== null, 'messageId: first copy not decoded');
      const second = program.lines.length;
      program.send(envelope);
      program.send(typed(T.Reserved35, reserved));
      await program.waitFor(isDebugLog(unknownLine(35)), 5000, second);
      const acks = program.lines.slice(second).filter((l) => l.action === 'MESSAGE_ACK' && l.messageId === 4242).length;
      const decoded = program.lines.slice(second).filter(isDebugLog(unknownLine(103))).length;
      c.equal(acks, 1, 'messageId repeat: acknowledged again');
      c.equal(decoded, 0, 'messageId repeat: not decoded again');
    }

    // An action carried as JSON text keeps the front end's messageId.
    {
      const from = program.lines.length;
      program.send(typed(T.StartClickSection, (b) => fb.StartClickSection.createStartClickSection(b, 0, b.createString('{"messageId": 4343, "entryId": "e"}'))));
      c.check(await program.waitFor((l) => l.action === 'MESSAGE_ACK' && l.messageId === 4343, 5000, from) !== null,
              'START_CLICK_SECTION text messageId: no MESSAGE_ACK');
    }

    // WINDOW_CLOSE asks the front end once; a second request while pending sends nothing.
    {
      const from = program.lines.length;
      program.send(typed(T.WindowClose, (b) => fb.WindowClose.createWindowClose(b, b.createString('x'))));
      const quit = await program.waitFor((l) => isTyped(l) && decode(l.data).type === 7, 5000, from);
      c.check(quit !== null, 'WINDOW_CLOSE: no typed APP_QUIT_REQUEST');
      const second = program.lines.length;
      program.send(typed(T.WindowClose, (b) => fb.WindowClose.createWindowClose(b, 0)));
      program.send(typed(T.Reserved35, reserved));
      await program.waitFor(isDebugLog(unknownLine(35)), 5000, second);
      c.equal(program.lines.slice(second).filter((l) => isTyped(l) && decode(l.data).type === 7).length, 0,
              'WINDOW_CLOSE while pending: no second APP_QUIT_REQUEST');
      program.send({ action: 'APP_QUIT_CANCELLED' });
    }

    // The device list: GET_AUDIO_DEVICES answers with the typed AUDIO_DEVICES_LIST.
    {
      const from = program.lines.length;
      program.send(typed(T.GetAudioDevices, (b) => fb.GetAudioDevices.createGetAudioDevices(b, 0)));
      const list = await program.waitFor((l) => isTyped(l) && decode(l.data).type === 37, 10000, from);
      c.check(list !== null, 'GET_AUDIO_DEVICES: no typed AUDIO_DEVICES_LIST');
      if (list !== null) {
        const t = decode(list.data).table;
        c.check(t.driversLength() > 0, 'AUDIO_DEVICES_LIST: no drivers');
        c.check(t.maxOutputChannels() >= 2, 'AUDIO_DEVICES_LIST: maxOutputChannels');
      }
    }
  } finally {
    program.close();
    await program.waitFor(() => false, 10000);
    program.kill();
  }
  c.check(program.exited, 'the program did not end after its input closed');
  return c.finish();
}

main().then((code) => process.exit(code), (e) => { console.error(e); process.exit(1); });
