// The reference fan-out: a Node ws server that reads one JSON payload per stdin line and sends
// {"type":"SECTION","data":payload} to every connected client. Prints {"port": n} once listening.
'use strict';
const WebSocket = require('../../../tests/webpeer/node_modules/ws');

const server = new WebSocket.Server({ host: '127.0.0.1', port: 0, perMessageDeflate: false }, () => {
  process.stdout.write(JSON.stringify({ port: server.address().port }) + '\n');
});
const { stdinLines } = require('../../../tests/webpeer/cdp.js');
const nextLine = stdinLines();
process.stdin.on('end', () => process.exit(0));
(async () => {
  for (;;) {
    const text = JSON.stringify({ type: 'SECTION', data: JSON.parse(await nextLine()) }, null, 2);
    for (const client of server.clients)
      if (client.readyState === WebSocket.OPEN) client.send(text);
  }
})();
