// A scripted redundancy peer for the tests: one JSON command per stdin line, one JSON report per
// stdout line. It speaks the link's datagrams and control frames with the rules of the other side
// (heartbeats every 100 ms, positions every 20 ms), so a test can play primary or standby against
// the engine under test. Runs only inside the test's own network namespace.
'use strict';
const dgram = require('dgram');
const net = require('net');
const readline = require('readline');

const report = (event) => process.stdout.write(JSON.stringify(event) + '\n');
let peerIp = null;
let timers = {};

function stopTimer(name) { if (timers[name]) { clearInterval(timers[name]); delete timers[name]; } }

function discoveryPacket(id, role, auth) {
  const b = Buffer.alloc(52);
  b.write('QVRD', 0, 'ascii');
  b[4] = 1;
  b.write(id.slice(0, 36), 5, 'ascii');
  b[42] = role;
  b.writeUInt16LE(8771, 44);
  b.writeUInt32LE(auth >>> 0, 48);
  return b;
}

// Discovery: every datagram on 8770 is reported (the engine's and our own).
const discovery = dgram.createSocket({ type: 'udp4', reuseAddr: true });
discovery.on('message', (msg, rinfo) => {
  const event = { ev: 'discovery', from: rinfo.address, size: msg.length, hex: msg.toString('hex') };
  if (msg.length === 52 && msg.toString('ascii', 0, 4) === 'QVRD') {
    event.id = msg.toString('ascii', 5, 41).replace(/\0.*$/, '');
    event.role = msg[42];
    event.auth = msg.readUInt32LE(48);
  }
  report(event);
});
const sender = dgram.createSocket({ type: 'udp4', reuseAddr: true });

// Datagrams the engine sends us as primary.
const beats = dgram.createSocket({ type: 'udp4', reuseAddr: true });
beats.on('message', (msg, rinfo) => report({ ev: 'beat', from: rinfo.address, hex: msg.toString('hex') }));
const positions = dgram.createSocket({ type: 'udp4', reuseAddr: true });
positions.on('message', (msg, rinfo) => report({ ev: 'position', from: rinfo.address, hex: msg.toString('hex') }));

// The control link: as primary we listen, as standby we connect.
let listener = null;
let link = null;
let received = Buffer.alloc(0);
function attach(socket) {
  link = socket;
  received = Buffer.alloc(0);
  socket.on('data', (data) => {
    received = Buffer.concat([received, data]);
    while (received.length >= 4) {
      const n = received.readUInt32BE(0);
      if (received.length < 4 + n) break;
      report({ ev: 'frame', text: received.toString('utf8', 4, 4 + n) });
      received = received.subarray(4 + n);
    }
  });
  socket.on('close', () => { if (link === socket) link = null; report({ ev: 'linkClosed' }); });
  socket.on('error', () => {});
}
function frame(text) {
  const body = Buffer.from(text, 'utf8');
  const head = Buffer.alloc(4);
  head.writeUInt32BE(body.length, 0);
  return Buffer.concat([head, body]);
}

const commands = {
  discover(c) {
    stopTimer('discover');
    const send = () => sender.send(discoveryPacket(c.id, c.role, c.auth || 0), 8770, '255.255.255.255');
    send();
    if (c.everyMs) timers.discover = setInterval(send, c.everyMs);
  },
  stopDiscover() { stopTimer('discover'); },
  flood(c) {
    const packet = discoveryPacket(c.id, 0, c.auth);
    for (let i = 0; i < c.count; ++i) sender.send(packet, 8770, c.to || '255.255.255.255');
    report({ ev: 'flooded', count: c.count });
  },
  peer(c) { peerIp = c.ip; },
  beats(c) {
    stopTimer('beats');
    let sequence = 0;
    timers.beats = setInterval(() => {
      const b = Buffer.alloc(16);
      b.writeUInt32LE(c.magic === undefined ? 0x51564842 : c.magic, 0);
      b.writeUInt32LE((c.auth || 0) >>> 0, 4);
      b.writeUInt32LE(sequence++, 8);
      b.writeUInt32LE(Date.now() >>> 0, 12);
      sender.send(b, 8773, peerIp);
    }, c.everyMs || 100);
  },
  stopBeats() { stopTimer('beats'); },
  // With `moving`, the position runs on from c.position in real time from this command on, and with
  // `report` every position sent is reported.
  positions(c) {
    stopTimer('positions');
    let sequence = 0;
    const started = performance.now();
    const send = () => {
      const position = c.moving ? c.position + (performance.now() - started) / 1000 : c.position;
      const b = Buffer.alloc(32);
      b.writeUInt32LE((c.auth || 0) >>> 0, 0);
      b.writeUInt32LE(sequence++, 4);
      b.writeDoubleLE(position, 8);
      b.writeInt32LE(Math.trunc((c.bpm || 120) * 100), 20);
      b.writeUInt32LE(c.playing ? 1 : 0, 28);
      sender.send(b, 8772, peerIp);
      if (c.report) report({ ev: 'positionSent', position });
    };
    if (c.count) { for (let i = 0; i < c.count; ++i) send(); report({ ev: 'positionsSent', count: c.count }); }
    else timers.positions = setInterval(send, 20);
  },
  stopPositions() { stopTimer('positions'); },
  listen() {
    listener = net.createServer((socket) => { report({ ev: 'accepted' }); attach(socket); });
    listener.listen(8771, '0.0.0.0', () => report({ ev: 'listening' }));
  },
  closeListener() {
    if (link) link.destroy();
    if (listener) listener.close(() => report({ ev: 'listenerClosed' }));
    listener = null;
  },
  connect() {
    const socket = net.connect(8771, peerIp, () => { report({ ev: 'connected' }); });
    socket.on('error', () => report({ ev: 'connectFailed' }));
    attach(socket);
  },
  send(c) { if (link) link.write(frame(c.text)); report({ ev: 'sent' }); },
  rawSend(c) { if (link) link.write(Buffer.from(c.hex, 'hex')); report({ ev: 'sent' }); },
};

// As a standby we also receive the engine's heartbeats and positions.
const standby = process.argv.includes('--standby');
let pending = standby ? 4 : 2;
const ready = () => { if (--pending === 0) report({ ev: 'ready' }); };
sender.on('error', () => {});
discovery.bind(8770, () => { discovery.setBroadcast(true); ready(); });
sender.bind(0, () => { sender.setBroadcast(true); ready(); });
if (standby) { beats.bind(8773, ready); positions.bind(8772, ready); }

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const c = JSON.parse(line);
  commands[c.cmd](c);
});
process.stdin.on('end', () => process.exit(0));
