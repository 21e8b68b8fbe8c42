// The built-in pages in headless Chromium, against the real program. The test process drives the
// program's front-end actions and steers this script through stdin; each step is reported as one
// JSON line. Usage: node viewer.chromium.js <port> <code>
'use strict';
const { launchChromium, stdinLines, report } = require('../../../webpeer/cdp.js');

const [port, code] = process.argv.slice(2);
const next = stdinLines();
const byId = (id, what = 'textContent') => `document.getElementById(${JSON.stringify(id)}).${what}`;

(async () => {
  const chromium = await launchChromium();
  try {
    const page = await chromium.newPage();
    await page.navigate(`http://127.0.0.1:${port}/viewer.html`);
    report({ step: 'accessPage', title: await page.evaluate('document.title'), lang: await page.evaluate('document.documentElement.lang'),
      text: await page.evaluate('document.body.innerText'), scripts: await page.evaluate('document.scripts.length') });

    await page.navigate(`http://127.0.0.1:${port}/?token=${code}`);
    const waiting = await page.evaluate('document.body.innerText');
    await page.waitFor(`${byId('status-text')} === "Conectado"`);
    report({ step: 'connected', waiting, dot: await page.evaluate(`getComputedStyle(document.getElementById("dot")).backgroundColor`) });

    await next(); // approved, and a SECTION sent
    await page.waitFor(`${byId('section-name')}.length > 0`);
    report({ step: 'section',
      title: await page.evaluate(byId('title')),
      name: await page.evaluate(byId('section-name')),
      type: await page.evaluate(byId('section-type')),
      badge: await page.evaluate(`getComputedStyle(document.getElementById("badge-color")).backgroundColor`),
      notes: await page.evaluate(byId('notes')),
      notesShown: await page.evaluate(`!document.getElementById("notes").classList.contains("hidden")`),
      key: await page.evaluate(byId('key', 'innerText')),
      bpm: await page.evaluate(byId('bpm-value')),
      chordLines: await page.evaluate(`document.querySelectorAll("#chords .line-chords").length`),
      lyricChords: await page.evaluate(`Array.from(document.querySelectorAll("#chords .line-lyrics .chord")).map(e => e.textContent)`),
      indications: await page.evaluate(`Array.from(document.querySelectorAll("#chords .indication")).map(e => e.textContent)`),
      markupAsText: await page.evaluate(`document.querySelectorAll("#chords b").length === 0 && document.getElementById("chords").textContent.includes("<b>")`),
      next: await page.evaluate(byId('next-label')),
      waitingHidden: await page.evaluate(`document.getElementById("waiting").classList.contains("hidden")`) });

    await next(); // a TRANSPORT sent
    await page.waitFor(`${byId('bpm-value')} === "121"`);
    report({ step: 'transport', title: await page.evaluate(byId('title')) });

    await next(); // kicked
    await page.waitFor(`${byId('status-text')} === "Desconectado"`);
    report({ step: 'kicked', dot: await page.evaluate(`getComputedStyle(document.getElementById("dot")).backgroundColor`) });

    await next(); // the page asked again
    report({ step: 'done', errors: page.consoleErrors });
  } finally {
    await chromium.close();
  }
})().then(() => process.exit(0), (e) => { report({ step: 'error', message: String(e && e.stack || e) }); process.exit(1); });
