// Writes one inbound buffer per payload type, 1 to 110, as raw bytes into a folder: the peer's
// case for the types it has one for, a table holding only the leading string for the others
// (every inbound table begins with it). Seeds of the dispatcher's fuzzer.
//   node dist/src/seeds.js <folder>

import * as flatbuffers from 'flatbuffers';
import { generatedCases, oracleCases, message, rawMessage } from './inbound';

const fs = require('fs');
const path = require('path');

const folder = process.argv[2];
fs.mkdirSync(folder, { recursive: true });
const byType = new Map<number, string>();
for (const c of oracleCases) byType.set(c.type, rawMessage(c.type, c.build));
for (const c of generatedCases) byType.set(c.type, message(c.type, c.build));
for (let type = 1; type <= 110; ++type) {
  const data = byType.get(type) ?? rawMessage(type, (b: flatbuffers.Builder) => {
    const tag = b.createString('seed');
    b.startObject(1);
    b.addFieldOffset(0, tag, 0);
    return b.endObject();
  });
  fs.writeFileSync(path.join(folder, `type-${String(type).padStart(3, '0')}`), Buffer.from(data, 'base64'));
}
console.log(`wrote 110 seeds to ${folder}`);
