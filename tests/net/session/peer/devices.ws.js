// Devices on npm ws against the real program (interoperability of the handshake, frames, pings
// and the close handshake), steered by the test through stdin. Usage: node devices.ws.js <port> <code>
'use strict';
const WebSocket = require('../../../webpeer/node_modules/ws');
const { stdinLines, report } = require('../../../webpeer/cdp.js');

const [port, code] = process.argv.slice(2);
const next = stdinLines();
const url = (extra) => `ws://127.0.0.1:${port}/?token=${code}${extra}`;
const open = (address) => new Promise((resolve, reject) => {
  const socket = new WebSocket(address, { perMessageDeflate: false });
  socket.once('open', () => resolve(socket));
  socket.once('error', reject);
  socket.once('unexpected-response', (request, response) => reject(new Error('status ' + response.statusCode)));
});
const nextMessage = (socket) => new Promise((resolve) => {
  const listener = (data) => {
    const text = data.toString();
    if (text === '{"type":"HEARTBEAT"}') return;
    socket.off('message', listener);
    resolve(text);
  };
  socket.on('message', listener);
});

(async () => {
  const controller = await open(url('&name=Ana&role=controller'));
  controller.send(JSON.stringify({ type: 'IDENTIFY', name: 'Ana' }));
  report({ step: 'identified' });
  report({ step: 'approved', text: await nextMessage(controller) });

  controller.send(JSON.stringify({ type: 'COMMAND', commandId: 'n1', command: { op: 'next' } }));
  const result = await nextMessage(controller);
  const section = await nextMessage(controller);
  report({ step: 'answers', result: JSON.parse(result), sectionBytes: Buffer.byteLength(section), sectionType: JSON.parse(section).type });

  const pong = await new Promise((resolve) => { controller.once('pong', (data) => resolve(data.toString())); controller.ping('hello'); });
  report({ step: 'pong', payload: pong });

  // Fifteen more devices fill the server; the seventeenth gets no answer at all.
  const others = [];
  for (let i = 0; i < 15; i++) others.push(await open(url('')));
  let refused;
  try { await open(url('')); refused = 'opened'; } catch (e) { refused = e.message; }
  report({ step: 'capacity', open: others.filter((s) => s.readyState === WebSocket.OPEN).length + 1, seventeenth: refused });
  for (const s of others) s.terminate();

  await next();
  const closed = new Promise((resolve) => controller.once('close', (closeCode) => resolve(closeCode)));
  controller.close(1000, 'bye');
  report({ step: 'closed', code: await closed });
})().then(() => process.exit(0), (e) => { report({ step: 'error', message: String(e && e.stack || e) }); process.exit(1); });
