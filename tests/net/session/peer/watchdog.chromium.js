// The chord viewer against a fake server that admits it and then falls silent: the page's watchdog
// must close the link and reconnect. Usage: node watchdog.chromium.js <chord-viewer.html>
'use strict';
const fs = require('fs');
const http = require('http');
const WebSocket = require('../../../webpeer/node_modules/ws');
const { launchChromium, report } = require('../../../webpeer/cdp.js');

const page = fs.readFileSync(process.argv[2], 'utf8').replace('%%TOKEN%%', 'ABC234');
const server = http.createServer((request, response) => {
  response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
  response.end(page);
});
const sockets = new WebSocket.Server({ server });
const connections = [];
sockets.on('connection', (socket, request) => {
  const entry = { url: request.url, openedAt: Date.now(), identified: false, closedAt: 0 };
  connections.push(entry);
  socket.on('message', (data) => {
    if (JSON.parse(data.toString()).type === 'IDENTIFY') {
      entry.identified = true;
      socket.send('{"type":"APPROVED","role":"viewer"}'); // and then nothing
    }
  });
  socket.on('close', () => { entry.closedAt = Date.now(); });
});

(async () => {
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const chromium = await launchChromium();
  try {
    const tab = await chromium.newPage();
    await tab.navigate(`http://127.0.0.1:${server.address().port}/`);
    const deadline = Date.now() + 40000;
    while (connections.length < 2 || !connections[1].identified) {
      if (Date.now() > deadline) throw new Error('no reconnect: ' + JSON.stringify(connections));
      await new Promise((r) => setTimeout(r, 100));
    }
    report({ step: 'done', firstUrl: connections[0].url, closedAfterMs: connections[0].closedAt - connections[0].openedAt,
      reconnectedAfterMs: connections[1].openedAt - connections[0].closedAt, errors: tab.consoleErrors });
  } finally {
    await chromium.close();
    server.close();
    sockets.close();
  }
})().then(() => process.exit(0), (e) => { report({ step: 'error', message: String(e && e.stack || e) }); process.exit(1); });
