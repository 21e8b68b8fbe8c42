// A fixture front end in headless Chromium on the loopback host. Usage: node frontend.chromium.js <start-url>
'use strict';
const { launchChromium, report } = require('../../webpeer/cdp.js');

(async () => {
  const chromium = await launchChromium();
  try {
    const page = await chromium.newPage();
    await page.navigate(process.argv[2]);
    await page.waitFor('window.results && window.results.connected && window.results.core !== null');
    const rounds = [];
    for (let i = 0; i < 50; i++) rounds.push(await page.evaluate('window.roundTrip()'));
    rounds.sort((a, b) => a - b);
    report({ step: 'done',
      location: await page.evaluate('location.href'),
      cookieVisible: await page.evaluate('document.cookie'),
      hasBackend: await page.evaluate('typeof window.__JUCE__.backend.emitEvent === "function" && typeof window.__JUCE__.postMessage === "function"'),
      initialisationData: await page.evaluate('JSON.stringify(window.__JUCE__.initialisationData)'),
      core: await page.evaluate('window.results.core'),
      events: await page.evaluate('window.results.events'),
      firstScript: await page.evaluate('document.head.firstElementChild.outerHTML'),
      roundTripMedianMs: rounds[rounds.length >> 1],
      errors: page.consoleErrors });
  } finally {
    await chromium.close();
  }
})().then(() => process.exit(0), (e) => { report({ step: 'error', message: String(e && e.stack || e) }); process.exit(1); });
