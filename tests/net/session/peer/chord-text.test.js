// Loads the chord viewer's chord-text functions from the shipped page and checks them.
// Usage: node chord-text.test.js <chord-viewer.html>
'use strict';
const fs = require('fs');
const vm = require('vm');
const assert = require('assert');

const page = fs.readFileSync(process.argv[2], 'utf8');
const start = page.indexOf('// ---- chord text');
const end = page.indexOf('// ---- end of chord text ----');
assert(start > 0 && end > start, 'chord-text block not found');
const context = {};
vm.createContext(context);
vm.runInContext(page.slice(start, end) + '\nthis.api = { isChordToken, isChordLine, formatLine, formatChordText };', context);
const { isChordToken, isChordLine, formatLine, formatChordText } = context.api;

const cases = [];
const check = (name, fn) => { try { fn(); cases.push(['ok', name]); } catch (e) { cases.push(['FAIL', name, e.message]); } };

check('chord tokens', () => {
  for (const t of ['F♯m7b5', 'Dsus4', 'G(9)', 'Bbmaj7/F', 'C', 'Am7', 'G/B', 'E7#9', 'Cø7', 'C°', 'A+', 'CM7'])
    assert.strictEqual(isChordToken(t), true, t);
  for (const t of ['G(add9)', 'H', 'am', 'hola', 'C/H', 'Xm7', ''])
    assert.strictEqual(isChordToken(t), false, t);
});
check('a token of 21 characters never is a chord', () => {
  const twenty = 'C' + 'add9'.repeat(4) + '999'; // 20 characters
  assert.strictEqual(Array.from(twenty).length, 20);
  assert.strictEqual(isChordToken(twenty), true);
  assert.strictEqual(isChordToken(twenty + '9'), false);
});
check('chord line with separators', () => {
  assert.strictEqual(isChordLine('Am7 | G/B C'), true);
  assert.strictEqual(formatLine('Am7 | G/B C').chordLine, true);
  assert.strictEqual(isChordLine('| -- |'), false); // nothing but separators
});
check('lyric line keeps its chords styled', () => {
  const line = formatLine('Am7 hola');
  assert.strictEqual(line.chordLine, false);
  assert.strictEqual(line.html, '<span class="chord">Am7</span> hola');
});
check('indications lose their markers', () => {
  const line = formatLine('C \u2060suave\u2061 G');
  assert.ok(line.html.includes('<span class="indication">suave</span>'), line.html);
  assert.ok(!line.html.includes('\u2060') && !line.html.includes('\u2061'));
  const glued = formatLine('word\u2060x\u2061');
  assert.strictEqual(glued.html, 'word<span class="indication">x</span>');
});
check('markup is shown as text', () => {
  const html = formatChordText('<b>hola</b> & "c"\n   \nC');
  assert.ok(html.includes('&lt;b&gt;hola&lt;/b&gt; &amp; &quot;c&quot;'), html);
  assert.ok(!html.includes('<b>'));
  assert.ok(html.includes('<div class="line-lyrics">&nbsp;</div>'), html);
  assert.ok(html.includes('<div class="line-chords"><span class="chord">C</span></div>'), html);
});

for (const c of cases) console.log(c.join(' '));
process.exit(cases.some((c) => c[0] === 'FAIL') ? 1 : 0);
