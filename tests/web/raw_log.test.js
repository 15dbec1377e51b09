// raw_log.html in Chromium, over the view log the pass writes.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const h = require('./harness');

let browser;
before(async () => { browser = await h.launch(); });
after(async () => { await browser?.close(); });

async function open(dir) {
  const page = await browser.newPage({ viewport: { width: 1100, height: 700 } });
  const problems = h.watch(page, dir);
  await page.addInitScript(() => { window.__pwned = false; });
  await page.clock.install();
  await page.goto(h.fileUrl(dir, 'raw_log.html'));
  await page.waitForSelector('body[data-state="ready"], body[data-state="waiting"]');
  return { page, problems };
}

const lines = (page) => page.$$eval('#log .line:not([hidden])', (items) => items.map((li) => li.textContent));

test('the view log reads newest first, highlighted, filtered, with hostile and huge lines as text', async () => {
  const golden = h.passGolden('compromised')['CV_view.log'].toString('utf8').split('\n');
  const hostile = '2027-01-15 08:04:00 | rapportd: CUBonjourDevice 11:22:33:44:55:66 <img src=x onerror="window.__pwned=true"> AID \'<script>window.__pwned=true</script>\'';
  const huge = '2027-01-15 08:04:30 | rapportd: AcLv ' + 'A'.repeat(20000) + ' NEEDLE-AT-THE-END';
  const marker = '2027-01-15 08:05:00 | \u2014 CV-APP capture stopped';
  const log = [...golden, hostile, huge, marker].join('\n');
  const dir = h.dataFolder({ 'CV_view.log': log });
  const { page, problems } = await open(dir);

  const all = await lines(page);
  assert.equal(all.length, golden.length + 3);
  assert.equal(await page.textContent('#count'), `${all.length} lines`);
  assert.equal(all[0], marker, 'newest first');
  assert.equal(all[2], hostile, 'hostile text is shown as it is');
  assert.equal(all[all.length - 1], golden[0]);
  assert.match(all[1], /… 1\d,\d{3} more characters$/, 'a huge line is cut');
  assert.equal(await page.getAttribute('#log .line', 'class'), 'line capture');
  const marks = await page.$$eval('#log .chunk:first-child .line:nth-child(3) mark', (m) => m.map((x) => x.textContent));
  assert.deepEqual(marks, ['CUBonjourDevice']);
  assert.equal(await page.$$eval('#log img, #log script, #log [onerror]', (e) => e.length), 0);
  await h.screenshot(page, 'raw_log');

  // The filter is case-insensitive, searches whole lines (also past the cut) and can be undone.
  await page.fill('#filter', 'PFUIFE6PWX');
  await page.waitForFunction(() => /match/.test(document.getElementById('count').textContent));
  const expected = golden.filter((l) => l.toLowerCase().includes('pfuife6pwx')).length;
  assert.ok(expected > 0);
  assert.equal((await lines(page)).length, expected);
  assert.equal(await page.textContent('#count'), `${expected} of ${all.length} lines match`);
  await page.fill('#filter', 'needle-at-the-end');
  await page.waitForFunction(() => document.getElementById('count').dataset.shown === '1');
  await page.fill('#filter', '');
  await page.waitForFunction(() => !/match/.test(document.getElementById('count').textContent));
  assert.equal((await lines(page)).length, all.length);

  // The next pass adds a line: it comes in on top, and the filter still applies.
  await page.fill('#filter', 'pfuife6pwx');
  const added = '2027-01-15 08:06:00 | rapportd: DirectLink: CUBonjourDevice 1E:0A:C8:82:BC:39, IDS \'pfuife6pWx\'';
  h.writeFiles(dir, { 'CV_view.log': log + '\n' + added });
  await page.clock.runFor(10_000);
  await page.waitForFunction((n) => document.getElementById('count').dataset.shown === String(n), expected + 1);
  assert.equal((await lines(page))[0], added);
  await page.fill('#filter', '');

  // The link goes back to the dashboard.
  await page.click('nav a');
  await page.waitForURL(/radar\.html$/);
  assert.equal(await page.evaluate(() => window.__pwned), false);
  assert.deepEqual(problems, []);
  await page.close();
});

test('a missing view log says that it comes with the first analysis', async () => {
  const { page, problems } = await open(h.dataFolder({}));
  assert.match(await page.textContent('#empty'), /No view log yet/);
  assert.equal(await page.getAttribute('body', 'data-state'), 'waiting');
  assert.deepEqual(problems, []);
  await page.close();
});

test('the pages load nothing but the assets the app copies beside them', () => {
  const fs = require('node:fs');
  const path = require('node:path');
  const referenced = new Set();
  for (const page of ['radar.html', 'raw_log.html']) {
    const html = fs.readFileSync(path.join(h.RESOURCES, page), 'utf8');
    for (const m of html.matchAll(/\b(?:src|href)="([^"#]+)"/g)) referenced.add(m[1]);
    assert.match(html, /http-equiv="Content-Security-Policy"[^>]*default-src 'none'; script-src 'self'/);
    assert.doesNotMatch(html, /<script>|\son[a-z]+=/i, page + ': no inline script or handler');
  }
  for (const file of referenced) assert.ok(h.PAGE_ASSETS.includes(file), file + ' is not among the copied assets');
  for (const file of h.PAGE_ASSETS) assert.ok(fs.existsSync(path.join(h.RESOURCES, file)), file);
});
