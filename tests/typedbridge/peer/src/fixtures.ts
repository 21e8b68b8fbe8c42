// Writes the peer's inbound buffers, one per case, with the request each must become, as a
// fixture file for the native unit test that runs the real handlers on them.
//   node dist/src/fixtures.js <output.json>

import { generatedCases, oracleCases, message, rawMessage } from './inbound';

const fs = require('fs');

const out = [
  ...generatedCases.map((c) => ({ name: c.name, type: c.type, data: message(c.type, c.build), expected: c.expected })),
  ...oracleCases.map((c) => ({ name: c.name, type: c.type, data: rawMessage(c.type, c.build), expected: c.expected })),
];
fs.writeFileSync(process.argv[2], JSON.stringify(out, null, 1) + '\n');
console.log(`wrote ${out.length} buffers to ${process.argv[2]}`);
