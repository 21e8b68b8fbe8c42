// Headless Chromium driven over the DevTools protocol, for tests. Test tooling only.
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');

async function launchChromium() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvelle-chromium-'));
  const child = spawn('chromium', ['--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--no-default-browser-check',
    '--disable-dev-shm-usage', '--remote-debugging-port=0', '--remote-debugging-address=127.0.0.1', `--user-data-dir=${profile}`, 'about:blank'],
  { stdio: ['ignore', 'ignore', 'pipe'] });
  const browserUrl = await new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error('chromium did not start: ' + text)), 30000);
    child.stderr.on('data', (chunk) => {
      text += chunk;
      const match = /DevTools listening on (ws:\/\/\S+)/.exec(text);
      if (match) { clearTimeout(timer); resolve(match[1]); }
    });
    child.on('exit', (code) => reject(new Error('chromium exited ' + code + ': ' + text)));
  });
  const browser = await Connection.open(browserUrl);
  return {
    browser,
    async newPage() {
      const { targetId } = await browser.send('Target.createTarget', { url: 'about:blank' });
      const port = new URL(browserUrl).port;
      const list = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
      const target = list.find((t) => t.id === targetId);
      const page = await Connection.open(target.webSocketDebuggerUrl);
      await page.send('Page.enable');
      await page.send('Runtime.enable');
      await page.send('Log.enable');
      return new Page(page);
    },
    async close() {
      child.kill('SIGKILL');
      await new Promise((r) => child.once('exit', r));
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

class Connection {
  static open(url) {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(url, { perMessageDeflate: false, maxPayload: 512 * 1024 * 1024 });
      socket.once('open', () => resolve(new Connection(socket)));
      socket.once('error', reject);
    });
  }
  constructor(socket) {
    this.socket = socket;
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = [];
    socket.on('message', (data) => {
      const message = JSON.parse(data.toString());
      if (message.id && this.pending.has(message.id)) {
        const { resolve, reject } = this.pending.get(message.id);
        this.pending.delete(message.id);
        if (message.error) reject(new Error(JSON.stringify(message.error))); else resolve(message.result);
      } else if (message.method) {
        for (const l of this.listeners) l(message);
      }
    });
  }
  send(method, params = {}) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      this.socket.send(JSON.stringify({ id, method, params }));
    });
  }
  on(listener) { this.listeners.push(listener); }
}

class Page {
  constructor(connection) {
    this.connection = connection;
    this.consoleErrors = [];
    connection.on((m) => {
      // Pages answered with an error status (the 401 page, a missing favicon) are not faults of the page.
      if (m.method === 'Log.entryAdded' && m.params.entry.source !== 'network' && (m.params.entry.level === 'error' || m.params.entry.source === 'security'))
        this.consoleErrors.push(m.params.entry.text);
      if (m.method === 'Runtime.exceptionThrown')
        this.consoleErrors.push(m.params.exceptionDetails.text + ' ' + JSON.stringify(m.params.exceptionDetails.exception || {}));
    });
  }
  async navigate(url) {
    const loaded = new Promise((resolve) => {
      const listener = (m) => { if (m.method === 'Page.loadEventFired') resolve(); };
      this.connection.on(listener);
    });
    await this.connection.send('Page.navigate', { url });
    await loaded;
  }
  async evaluate(expression) {
    const result = await this.connection.send('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true });
    if (result.exceptionDetails) throw new Error(JSON.stringify(result.exceptionDetails));
    return result.result.value;
  }
  // Polls `expression` until it is truthy; returns its value.
  async waitFor(expression, timeoutMs = 20000) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
      const value = await this.evaluate(expression);
      if (value) return value;
      if (Date.now() > deadline) throw new Error('timed out waiting for: ' + expression);
      await new Promise((r) => setTimeout(r, 50));
    }
  }
}

// Lines from stdin, one at a time (the test process steers the script through them).
function stdinLines() {
  const waiting = [], lines = [];
  let buffer = '';
  process.stdin.on('data', (chunk) => {
    buffer += chunk;
    let newline;
    while ((newline = buffer.indexOf('\n')) >= 0) {
      const line = buffer.slice(0, newline);
      buffer = buffer.slice(newline + 1);
      if (waiting.length) waiting.shift()(line); else lines.push(line);
    }
  });
  return () => lines.length ? Promise.resolve(lines.shift()) : new Promise((r) => waiting.push(r));
}

function report(object) { process.stdout.write(JSON.stringify(object) + '\n'); }

module.exports = { launchChromium, stdinLines, report };
