// radar.html in Chromium, opened from file:// as a plain browser or the app would open it.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const h = require('./harness');

let browser;
before(async () => { browser = await h.launch(); });
after(async () => { await browser?.close(); });

const TABLES = {
  'unknown-own': ['unknown_own_devices', 'unknown_own_devices_total'],
  'rogue-directlink': ['rogue_directlink', 'rogue_directlink_total'],
  'rogue-awdl': ['rogue_awdl', 'rogue_awdl_total'],
  'culprits': ['culprits', 'culprits_total'],
  'access-events': ['access_events', 'access_events_total'],
  'provision-pairs': ['provision_pairs', 'provision_pairs_total'],
  'ble-provisions': ['ble_provisions', 'ble_provisions_total'],
  'kbd-evals': ['kbd_evals', 'kbd_evals_total'],
};

// Opens radar.html of a data folder; options.bridge installs a stand-in for the app's message
// handler that records what the page posts.
async function open(dir, options = {}) {
  const page = await browser.newPage({ viewport: options.viewport || { width: 1280, height: 900 } });
  const problems = h.watch(page, dir);
  await page.addInitScript((bridge) => {
    window.__posted = [];
    window.__pwned = false;
    if (bridge) {
      window.webkit = { messageHandlers: { cv: { postMessage: (m) => window.__posted.push(m) } } };
    }
  }, !!options.bridge);
  if (options.clock) await page.clock.install();
  await page.goto(h.fileUrl(dir, 'radar.html'));
  if (options.state !== null) await page.waitForSelector(`body[data-state="${options.state || 'ready'}"]`);
  return { page, problems };
}

function facts(page) {
  return page.evaluate(() => {
    const text = (s) => document.querySelector(s).textContent;
    const tables = {};
    for (const s of document.querySelectorAll('.table-card')) {
      tables[s.id] = {
        rows: s.querySelectorAll('tbody tr').length,
        total: Number(s.dataset.total),
        none: !s.querySelector('.empty').hidden,
        totalText: s.querySelector('.total').textContent,
      };
    }
    const device = {};
    for (const f of document.querySelectorAll('#device .fact')) device[f.children[0].textContent] = f.children[1].textContent;
    return {
      verdict: text('#verdict-word'), verdictClass: document.getElementById('verdict').className,
      verdictText: text('#verdict-text'), range: text('#range'), radarTotal: text('#radar-total'),
      dots: document.querySelectorAll('#radar-dots .dot').length,
      ownerDots: document.querySelectorAll('#radar-dots .dot-owner').length,
      tables, device, waiting: !document.getElementById('waiting').hidden,
    };
  });
}

test('every fixture shows its verdict, totals, rows, radar dots and empty states', async () => {
  const cases = {
    demo: h.fixture('demo'),
    empty: h.passGolden('stale'), // everything aged out: PENDING with every list empty
    pending: h.passGolden('pending'),
    clean: h.passGolden('clean'),
    compromised: h.passGolden('compromised'),
    crowded: h.passGolden('crowded'),
  };
  for (const [name, files] of Object.entries(cases)) {
    const all = JSON.parse(files['sift/ALL.json']);
    const dir = h.dataFolder(files);
    const { page, problems } = await open(dir);
    const seen = await facts(page);

    assert.equal(seen.verdict, all.verdict, name);
    assert.match(seen.verdictClass, new RegExp('verdict-' + all.verdict.toLowerCase()), name);
    assert.ok(seen.verdictText.length > 40, name + ': the verdict comes with a sentence');
    assert.equal(seen.range, all.range, name);
    if (all.verdict === 'CLEAN') {
      // The sentence names the range analysed, in the zone its times are in, not "24 hours".
      assert.ok(seen.verdictText.includes(all.range.replace(' \u2014 ', ' and ')), seen.verdictText);
      assert.match(seen.verdictText, /local time, UTC[+\u2212]\d\d:\d\d/);
    }
    const rogues = all.rogue_directlink.length + all.rogue_awdl.length;
    assert.equal(seen.dots, rogues, name + ': one dot per rogue row');
    assert.equal(seen.ownerDots, [...all.rogue_directlink, ...all.rogue_awdl].filter((r) => r.owner).length, name);
    const rogueTotal = all.rogue_directlink_total + all.rogue_awdl_total;
    assert.equal(seen.radarTotal, rogueTotal ? `${rogues} of ${rogueTotal} shown`
      : all.verdict === 'PENDING' ? 'Not judged yet' : 'None detected', name);
    for (const [id, [rowsKey, totalKey]] of Object.entries(TABLES)) {
      const rows = all[rowsKey] ?? []; // the demo predates some lists
      const table = seen.tables[id];
      assert.equal(table.rows, rows.length, `${name} ${id} rows`);
      assert.equal(table.total, all[totalKey] ?? rows.length, `${name} ${id} total`);
      assert.equal(table.none, rows.length === 0, `${name} ${id}: "None." exactly when empty`);
      assert.equal(/shown/.test(table.totalText), rows.length < table.total, `${name} ${id}: ${table.totalText}`);
    }
    assert.equal(seen.device['Model'], all.your_device.model, name);
    assert.equal(seen.device['State'], all.your_device.conn_state, name);
    assert.equal(seen.device['Device tail'], all.your_device.device_tail, name);
    assert.equal(seen.waiting, false, name);

    await h.screenshot(page, 'radar-' + name, { fullPage: true });
    await page.setViewportSize({ width: 900, height: 640 });
    await h.screenshot(page, 'radar-' + name + '-900x640');
    assert.deepEqual(problems, [], name);
    await page.close();
  }
});

// Verdict, radar total, dots and table sizes of the demo are checked with every fixture above.
test('the demo shows its device facts and counts, and a dot leads to its row', async () => {
  const { page, problems } = await open(h.dataFolder(h.fixture('demo')));
  const seen = await facts(page);
  assert.match(seen.tables['provision-pairs'].totalText, /128 with screen access/);
  assert.equal(seen.device['DirectLink MAC'], '5C:1D:D9:B2:7E:66');
  assert.equal(seen.device['BLE id'], 'D8:9E:3F:7A:11:04');
  assert.equal(seen.device['Own DirectLink addresses'], '142');
  assert.match(await page.textContent('#counts'), /189.*142.*47.*63.*6.*1.*BBownMgr1/s);
  assert.match(await page.textContent('#updated'), /^Updated \d+ days ago$/);

  // A tooltip names the device under the pointer; the keyboard reaches a dot and lights up its row.
  await page.hover('#radar-dots .dot-dl');
  const tip = await page.textContent('#radar-tip');
  assert.match(tip, /DirectLink device [0-9A-F:]{17}.*Claims to be the owner/s);
  await page.focus('#radar-dots .dot-dl');
  await page.keyboard.press('Enter');
  assert.equal(await page.textContent('#rogue-directlink tr.flash td'), tip.match(/[0-9A-F:]{17}/)[0]);
  assert.deepEqual(problems, []);
  await page.close();
});

test('the report and uninstall requests reach the app, and say so without it', async () => {
  const dir = h.dataFolder(h.fixture('demo'));
  const inApp = await open(dir, { bridge: true });
  // Both controls are reachable by keyboard.
  await inApp.page.focus('#report');
  await inApp.page.keyboard.press('Enter');
  await inApp.page.focus('#uninstall');
  await inApp.page.keyboard.press('Space');
  assert.deepEqual(await inApp.page.evaluate(() => window.__posted),
    [{ action: 'report', day: 'ALL' }, { action: 'uninstall' }]);
  const outline = await inApp.page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle);
  assert.notEqual(outline, 'none', 'the focused control shows its focus');
  assert.deepEqual(inApp.problems, []);
  await inApp.page.close();

  const plain = await open(dir);
  await plain.page.click('#report');
  assert.match(await plain.page.textContent('#notice'), /needs the Corvane Monitor app/);
  await plain.page.click('#uninstall');
  assert.match(await plain.page.textContent('#danger-notice'), /needs the Corvane Monitor app/);
  assert.equal(await plain.page.getAttribute('body', 'data-state'), 'ready');
  assert.deepEqual(plain.problems, []);
  await plain.page.close();
});

const PAYLOADS = [
  '<img src=x onerror="window.__pwned=true">',
  '<script>window.__pwned=true</script>',
  '"><svg onload="window.__pwned=true"></svg>',
  "javascript:window.__pwned=true",
  '</td></tr></table><iframe src="https://example.invalid/"></iframe>',
];

// Replaces every string in a value with one of the payloads, in turn.
function poison(value, counter = { n: 0 }) {
  if (typeof value === 'string') return PAYLOADS[counter.n++ % PAYLOADS.length];
  if (Array.isArray(value)) return value.map((v) => poison(v, counter));
  if (value && typeof value === 'object') {
    return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, poison(v, counter)]));
  }
  return value;
}

test('hostile strings in every field show as text and run nothing', async () => {
  const demo = h.fixture('demo');
  const all = poison(JSON.parse(demo['sift/ALL.json']));
  all.rogue_directlink[0].aid = PAYLOADS[0];
  all.verdict = PAYLOADS[0];
  const dir = h.dataFolder({
    'sift/ALL.json': JSON.stringify(all),
    'sift/summary.json': JSON.stringify(poison(JSON.parse(demo['sift/summary.json']))),
    // A day name that would climb out of sift/ is not followed.
    'sift/days.json': JSON.stringify({ days: ['../../../../etc/passwd', PAYLOADS[0]] }),
  });
  const { page, problems } = await open(dir, { bridge: true });
  const found = await page.evaluate(() => ({
    elements: document.querySelectorAll('img, script:not([src]), iframe, object, embed, svg svg, [onerror], [onload]').length,
    firstAid: document.querySelector('#rogue-directlink tbody tr').children[5].textContent,
    dots: document.querySelectorAll('#radar-dots .dot').length,
    pwned: window.__pwned,
  }));
  assert.equal(found.elements, 0, 'no element was made from the data');
  assert.equal(found.firstAid, PAYLOADS[0]);
  assert.equal(found.dots, 10);
  assert.equal(await page.textContent('#verdict-word'), PAYLOADS[0].slice(0, 39) + '\u2026');
  await page.hover('#radar-dots .dot:last-child'); // the topmost: rows that share an address share a spot
  await page.click('#report');
  assert.deepEqual(await page.evaluate(() => window.__posted), [{ action: 'report', day: 'ALL' }]);
  assert.equal(await page.evaluate(() => window.__pwned), false);
  await h.screenshot(page, 'radar-hostile', { fullPage: true });
  assert.deepEqual(problems, []);
  await page.close();
});

test('counts are written digit for digit as Intl writes them in en-US', async () => {
  const { page, problems } = await open(h.dataFolder(h.fixture('demo')));
  const wrong = await page.evaluate(() => {
    const intl = new Intl.NumberFormat('en-US', { maximumFractionDigits: 3 });
    const values = [0, -0, 7, 999, 1000, 250142, -1234567.891, 0.0005, 0.00049999, 1.0005, 2.675, 0.1 + 0.2,
      999.9995, 0.9995, 1e-7, -0.0001, 9007199254740993, 57934283947012630, 1e20, 999999999999999999999,
      1e21, -2.5e30, NaN, Infinity, -Infinity];
    let seed = 1;
    const random = () => (seed = (seed * 16807) % 2147483647) / 2147483647;
    for (let i = 0; i < 20000; i++) {
      const scale = 10 ** Math.floor(random() * 26 - 6);
      values.push((random() - 0.3) * scale, Math.round(random() * scale), Math.round(random() * 1e6) / 10 ** (i % 6));
    }
    return values.filter((v) => window.CorvaneDash.count(v) !== intl.format(v))
      .slice(0, 5).map((v) => `${v}: ${window.CorvaneDash.count(v)} vs ${intl.format(v)}`);
  });
  assert.deepEqual(wrong, []);
  assert.deepEqual(problems, []);
  await page.close();
});

test('wrong types in every key leave dashes, not errors', async () => {
  const dir = h.dataFolder({
    'sift/ALL.json': JSON.stringify({
      verdict: 7, range: ['x'], your_device: [1, 2], rogue_directlink: { mac: 'x' }, rogue_directlink_total: '47',
      rogue_awdl: [null, 3, 'x', { mac: 5, owner: 'yes' }], culprits: 'none', access_events: [[], {}],
      access_events_total: null, provision_pairs: [{ delta_ms: {}, screen: 'true' }], kbd_evals: true,
    }),
    'sift/summary.json': '[]',
    'sift/days.json': '{"days":"ALL"}',
  });
  const { page, problems } = await open(dir);
  const seen = await facts(page);
  assert.equal(seen.verdict, 'Unknown');
  assert.equal(seen.range, '\u2014');
  assert.equal(seen.dots, 1, 'only the one object row of rogue_awdl is drawn');
  assert.equal(seen.tables['access-events'].rows, 1, 'a row that is not an object is skipped');
  assert.equal(seen.tables['rogue-directlink'].total, 0);
  assert.equal(seen.device['Model'], '\u2014');
  assert.deepEqual(problems, []);
  await page.close();
});

test('waiting, half-written files and refreshes: last good data kept, sort and scroll kept', async () => {
  const dir = h.dataFolder({});
  const { page, problems } = await open(dir, { clock: true, state: 'waiting', viewport: { width: 900, height: 640 } });
  assert.equal(await page.isVisible('#waiting'), true);
  assert.equal(await page.textContent('#verdict-word'), 'Waiting');
  await h.screenshot(page, 'radar-waiting');

  // The first analysis lands; the page picks it up on its next read.
  const demo = h.fixture('demo');
  h.writeFiles(dir, demo);
  await page.clock.runFor(10_000);
  await page.waitForSelector('body[data-state="ready"]');
  assert.equal(await page.textContent('#verdict-word'), 'COMPROMISED');

  // Sort access events by type, newest-first order broken up; scroll to the tables.
  const times = () => page.$$eval('#access-events tbody tr', (rows) => rows.map((r) => r.children[1].textContent));
  await page.click('#access-events th[data-key="type"] button');
  await page.click('#access-events th[data-key="type"] button');
  assert.equal(await page.getAttribute('#access-events th[data-key="type"]', 'aria-sort'), 'descending');
  const sorted = await times();
  assert.deepEqual(sorted, ['20:10:37', '20:10:01', '20:09:06', '17:38:01', '17:27:32']);
  await page.evaluate(() => window.scrollTo(0, 1400));
  const unchanged = await page.evaluate(() => { const row = document.querySelector('#kbd-evals tbody tr'); row.__mark = 1; return 1; });

  // A file caught half-written: the last good data stays, and the page says it reads again.
  const all = JSON.parse(demo['sift/ALL.json']);
  fs.writeFileSync(path.join(dir, 'sift/ALL.json'), demo['sift/ALL.json'].subarray(0, 2000));
  await page.clock.runFor(10_000);
  await page.waitForSelector('#stale:not([hidden])');
  assert.equal(await page.$$eval('#access-events tbody tr', (r) => r.length), 5);
  assert.equal(await page.textContent('#verdict-word'), 'COMPROMISED');

  // The pass writes it whole again with one more access event: the retry picks it up soon.
  all.access_events.unshift({ date: '2026-10-18', time: '20:11:00', type: 'Keyboard sharing', account: 'BBRApzJm', aid: 'BBNAwZZB', mac: '18:A4:CC:2E:11:2C' });
  all.access_events_total = 55;
  fs.writeFileSync(path.join(dir, 'sift/ALL.json'), JSON.stringify(all, null, 2));
  await page.clock.runFor(1_000);
  await page.waitForSelector('#stale', { state: 'hidden' });
  assert.deepEqual(await times(), ['20:10:37', '20:10:01', '20:09:06', '20:11:00', '17:38:01', '17:27:32'],
    'the new row is sorted in with the kept sort');
  assert.equal(await page.getAttribute('#access-events', 'data-total'), '55');
  assert.equal(await page.evaluate(() => window.scrollY), 1400, 'the scroll position is kept');
  assert.equal(await page.evaluate(() => document.querySelector('#kbd-evals tbody tr').__mark), unchanged,
    'an unchanged table is not redrawn');

  // The app reloads the page after a pass it asked for: the sort is still there.
  await page.reload();
  await page.waitForSelector('body[data-state="ready"]');
  assert.equal(await page.getAttribute('#access-events th[data-key="type"]', 'aria-sort'), 'descending');

  // A reset of the analysis removes sift/: back to waiting.
  fs.rmSync(path.join(dir, 'sift'), { recursive: true });
  await page.clock.runFor(10_000);
  await page.waitForSelector('body[data-state="waiting"]');
  assert.deepEqual(problems, []);
  await page.close();
});

test('a row opens to its log lines, as text, with the command that prints them; the timeline shows per hour', async () => {
  const files = h.passGolden('compromised');
  const all = JSON.parse(files['sift/ALL.json']);
  const row = all.rogue_directlink[0];
  const lines = [
    { line: 12, offset: 1400, time: row.date + ' 08:00:02', text: row.mac + ' ' + PAYLOADS[0] },
    { line: 4096, offset: 802211, time: row.date + ' ' + row.time, text: 'TT 0x10 ' + row.mac },
  ];
  const hours = (peak) => Array.from({ length: 25 }, (_, i) => (i % 6 === 0 ? peak : 0));
  const dir = h.dataFolder({
    ...files,
    'sift/evidence.json': JSON.stringify({
      log: 'CV_personal.log',
      findings: [
        { row: 1, list: 'rogue_directlink', index: 0, mac: row.mac, account: row.ids, lines },
        // Written for other rows: not shown under the second row.
        { row: 2, list: 'rogue_directlink', index: 1, mac: 'AA:AA:AA:AA:AA:AA', lines },
      ],
    }),
    'sift/timeline.json': JSON.stringify({ start: row.date + ' 08:00:00', directlink: hours(3), awdl: hours(1), culprits: hours(2), access: hours(0) }),
  });
  const { page, problems } = await open(dir);
  assert.equal(await page.locator('#timeline rect').count(), 5 * 3);
  assert.deepEqual(await page.locator('#timeline .timeline-label').allTextContents(),
    ['Foreign DirectLink (max 3)', 'Foreign AWDL (max 1)', 'Foreign accounts (max 2)', 'Access events (max 0)']);

  const first = page.locator('#rogue-directlink tbody tr').first();
  await first.click();
  // The lines are read from the file first: the row opens when they are there.
  const opened = page.locator('#rogue-directlink tr.evidence');
  await opened.waitFor();
  assert.equal(await first.getAttribute('aria-expanded'), 'true');
  assert.deepEqual(await opened.locator('.line-no').allTextContents(), ['Line 12', 'Line 4096']);
  assert.equal(await opened.locator('.line-text').first().textContent(), lines[0].text);
  assert.equal(await opened.locator('.command').textContent(), 'corvane explain --row 1');
  await h.screenshot(page, 'radar-evidence-open', { fullPage: true });
  await first.press('Enter'); // closes again
  assert.equal(await opened.count(), 0);

  await page.locator('#rogue-directlink tbody tr').nth(1).click();
  assert.match(await page.locator('#rogue-directlink tr.evidence').textContent(), /not available yet/);
  assert.equal(await page.evaluate(() => window.__pwned), false);
  assert.equal(await page.evaluate(() => document.querySelectorAll('tr.evidence img, tr.evidence script').length), 0);
  assert.deepEqual(problems, []);
  await page.close();
});

test('an unknown device on the owner\'s account is confirmed from its row, after a second question', async () => {
  const files = h.passGolden('compromised');
  const all = JSON.parse(files['sift/ALL.json']);
  const [tailed, untailed] = all.unknown_own_devices;
  all.unknown_own_devices.push({ ...tailed, tail: PAYLOADS[0], mac: '02:00:00:00:00:09' });
  const dir = h.dataFolder({ ...files, 'sift/ALL.json': JSON.stringify(all) });
  for (const bridge of [true, false]) {
    const { page, problems } = await open(dir, { bridge });
    const card = page.locator('#unknown-own');
    assert.equal(await card.isVisible(), true);
    const rows = card.locator('tbody tr');
    assert.deepEqual(await rows.locator('td:first-child').allTextContents(), [tailed.tail, untailed.tail, PAYLOADS[0]]);
    // Only a real device tail gets the control; a hostile one stays text.
    assert.equal(await card.locator('button.trust').count(), 1);
    await card.locator('button.trust').click();
    assert.equal(await rows.first().getAttribute('aria-expanded'), 'false', 'the button does not open the row');
    const box = card.locator('.confirm');
    assert.match(await box.textContent(), new RegExp('Confirm device ' + tailed.tail + ' as your own\\?'));
    assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Yes, this device is mine');
    await box.locator('text=Cancel').click();
    assert.equal(await box.isHidden(), true);
    assert.deepEqual(await page.evaluate(() => window.__posted), [], 'nothing is sent without the second yes');

    await card.locator('button.trust').click();
    if (bridge) await h.screenshot(page, 'radar-confirm-device');
    await page.keyboard.press('Enter'); // the focused "Yes"
    const notice = await box.locator('.notice').textContent();
    if (bridge) {
      assert.deepEqual(await page.evaluate(() => window.__posted), [{ action: 'trust', tail: tailed.tail }]);
      assert.match(notice, /is confirmed as yours/);
    } else {
      assert.match(notice, new RegExp('needs the Corvane Monitor app.*corvane trust --tail ' + tailed.tail));
    }
    assert.equal(await page.evaluate(() => window.__pwned), false);
    assert.deepEqual(problems, []);
    await page.close();
  }
  // With none, the card is not shown at all.
  const { page } = await open(h.dataFolder(h.passGolden('clean')));
  assert.equal(await page.locator('#unknown-own').isHidden(), true);
  await page.close();
});
