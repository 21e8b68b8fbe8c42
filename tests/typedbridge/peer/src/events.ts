// Reading "fromNative" lines from a child process and decoding typed events.

import * as flatbuffers from 'flatbuffers';
import * as fb from '../generated/TypedMessages_generated';
// The outbound root is not the schema's root type, so the index does not re-export it.
import { FromNativeMessage } from '../generated/quorvelle/bridge/from-native-message';

const { spawn } = require('child_process');

export interface Decoded {
  type: number;
  table: any;                       // the generated reader of the payload table
  stored: (field: number) => boolean;  // whether field n is written in the table
}

const tables: { [type: number]: any } = {
  3: fb.SessionLoadedEvent, 7: fb.AppQuitRequestEvent, 8: fb.DebugLogEvent, 11: fb.RedundancyStatusEvent,
  12: fb.LoadProgressEvent, 20: fb.TranscodeCompleteEvent, 27: fb.WaveformUpdateEvent, 28: fb.MidiDevicesListEvent,
  31: fb.UploadProgressEvent, 37: fb.AudioDevicesListEvent, 40: fb.ClickSectionStartedEvent, 48: fb.SessionRemoteCommandEvent,
};

// Decodes the Base64 "data" of a TYPED_BRIDGE_V1 event.
export function decode(data: string): Decoded {
  const bytes = new Uint8Array(Buffer.from(data, 'base64'));
  const bb = new flatbuffers.ByteBuffer(bytes);
  const root = FromNativeMessage.getRootAsFromNativeMessage(bb);
  const type = root.payloadType();
  const Table = tables[type];
  const table = Table ? root.payload(new Table()) : null;
  const stored = (field: number) => table !== null && bb.__offset(table.bb_pos, 4 + 2 * field) !== 0;
  return { type, table, stored };
}

// A child process whose stdout carries one JSON object per line.
export class LineProcess {
  private buffered = '';
  private waiters: Array<() => void> = [];
  readonly lines: any[] = [];
  readonly child: any;
  exited = false;

  constructor(program: string, args: string[]) {
    this.child = spawn(program, args, { stdio: ['pipe', 'pipe', 'inherit'] });
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (chunk: string) => {
      this.buffered += chunk;
      let newline;
      while ((newline = this.buffered.indexOf('\n')) >= 0) {
        const line = this.buffered.slice(0, newline);
        this.buffered = this.buffered.slice(newline + 1);
        if (line.trim().length > 0) {
          try { this.lines.push(JSON.parse(line)); } catch (e) { this.lines.push({ unparsable: line }); }
        }
      }
      this.waiters.splice(0).forEach((w) => w());
    });
    this.child.on('exit', () => { this.exited = true; this.waiters.splice(0).forEach((w) => w()); });
  }

  send(object: any) { this.child.stdin.write(JSON.stringify(object) + '\n'); }

  // Waits until a line after index `from` satisfies `match`, for at most `timeoutMs`.
  async waitFor(match: (line: any) => boolean, timeoutMs: number, from = 0): Promise<any | null> {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
      for (let i = from; i < this.lines.length; ++i)
        if (match(this.lines[i])) return this.lines[i];
      const left = deadline - Date.now();
      if (left <= 0 || this.exited) return null;
      await new Promise<void>((resolve) => {
        const timer = setTimeout(resolve, left);
        this.waiters.push(() => { clearTimeout(timer); resolve(); });
      });
    }
  }

  close() { try { this.child.stdin.end(); } catch (e) { /* already gone */ } }
  kill() { if (!this.exited) this.child.kill('SIGKILL'); }
}

// A typed event line: {"action": "TYPED_BRIDGE_V1", "data": ...} with exactly those two keys.
export function isTyped(line: any): boolean {
  return line && line.action === 'TYPED_BRIDGE_V1' && typeof line.data === 'string'
      && JSON.stringify(Object.keys(line)) === '["action","data"]';
}

export class Checker {
  failures: string[] = [];
  check(condition: boolean, what: string) { if (!condition) this.failures.push(what); }
  equal(actual: any, expected: any, what: string) {
    const a = typeof actual === 'bigint' ? `${actual}n` : JSON.stringify(actual);
    const e = typeof expected === 'bigint' ? `${expected}n` : JSON.stringify(expected);
    if (a !== e || typeof actual !== typeof expected) this.failures.push(`${what}: expected ${e} (${typeof expected}), got ${a} (${typeof actual})`);
  }
  finish(): number {
    this.failures.forEach((f) => console.error('FAIL ' + f));
    console.log(this.failures.length === 0 ? 'peer: all checks passed' : `peer: ${this.failures.length} failure(s)`);
    return this.failures.length === 0 ? 0 : 1;
  }
}
