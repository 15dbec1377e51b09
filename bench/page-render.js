// Time from navigation start to fully drawn, in Debian's chromium, for the largest dashboard files
// the pass writes (every list at its cap) and for a full view log (5000 lines). Prints figures;
// never fails on speed.
'use strict';

const h = require('../tests/web/harness');

const RUNS = Number(process.env.PAGE_RENDER_RUNS || 7);
const VIEW_LINES = 5000;

function rows(count, make) {
  return Array.from({ length: count }, (_, i) => make(i));
}

const hex = (i, width) => i.toString(16).toUpperCase().padStart(width, '0');
const mac = (i) => hex(i, 12).match(/../g).join(':');
const time = (i) => `2026-10-18 ${String(23 - Math.floor(i / 3600) % 24).padStart(2, '0')}:${String(59 - Math.floor(i / 60) % 60).padStart(2, '0')}:${String(59 - i % 60).padStart(2, '0')}`;

function fullDashboard() {
  const rogue = (proximity, tt, base) => rows(10, (i) => ({
    aid: 'AID' + hex(base + i, 6), date: '2026-10-18', ids: 'Acct' + hex(base + i, 6), mac: mac(base + i),
    owner: i % 2 === 0, proximity, time: time(i).slice(11), tt,
  }));
  const all = {
    access_events: rows(200, (i) => ({
      account: 'Acct' + hex(i, 6), aid: 'AID' + hex(i, 6), date: '2026-10-18', mac: mac(i), time: time(i).slice(11),
      type: i % 2 ? 'Keyboard sharing' : 'Screen sharing',
    })),
    access_events_total: 4000,
    ble_provisions: rows(50, (i) => ({ nbat: `${hex(i, 2)} d0 48`, time: time(i) + '.090593', type: 'Keyboard (BLE)' })),
    ble_provisions_total: 3000,
    culprits: rows(200, (i) => ({ aid: 'AID' + hex(i, 6), first: time(9000 + i), ids: 'Acct' + hex(i, 6), last: time(i), occurrences: 5000 - i })),
    culprits_total: 20000,
    date: 'ALL',
    kbd_evals: rows(50, (i) => ({ aclv: 'Screen (7)', ids: 'Acct' + hex(i, 6), mac: mac(i), selftag: hex(i, 6).toLowerCase(), services: 'MyMe \u00b7 MyiCloud \u00b7 Ranging', time: time(i) + '.263800' })),
    kbd_evals_total: 3000,
    own_device_tail: 'A1B2C3D4E5F6',
    unknown_own_devices: rows(50, (i) => ({
      tail: hex(0xA00000 + i, 12), mac: mac(0x3000 + i), macs: [mac(0x3000 + i)], ids: 'BBownMgr1',
      first: time(9000 + i), last: time(i),
    })),
    provision_pairs: rows(50, (i) => ({
      aclv: 'Screen (7)', aid: 'AID' + hex(i, 6), cid: '0x9C07' + hex(i, 4), delta_ms: (i / 7).toFixed(3), ids: 'Acct' + hex(i, 6),
      mac: mac(i), screen: i % 3 === 0, services: 'BLE \u00b7 Personal \u00b7 DuetSync \u00b7 WiFiP2P \u00b7 Owner \u00b7 ApplePay', time: time(i) + '.380464',
    })),
    provision_pairs_screen: 1300,
    provision_pairs_total: 4000,
    range: '2026-10-17 20:10:37 \u2014 2026-10-18 20:10:37',
    rogue_awdl: rogue('33\u2013100 ft', '0x04', 0x1000),
    rogue_awdl_total: 250000,
    rogue_directlink: rogue('0\u201333 ft', '0x10', 0x2000),
    rogue_directlink_total: 250000,
    verdict: 'COMPROMISED',
    your_device: {
      ble_mac: 'D8:9E:3F:7A:11:04', conn_count: 142, conn_mac: ['5C:1D:D9:B2:7E:66'], conn_state: 'confirmed',
      device_tail: 'A1B2C3D4E5F6', identity: 'A1B2C3D4E5F6', model: 'Your phone', registered: true,
    },
  };
  const summary = {
    days: 1, directlink_macs_total: 250142, foreign_accounts: 20000, foreign_awdl_macs: 250000, foreign_device_ids: 6,
    foreign_directlink_macs: 250000, generated: new Date().toISOString().replace(/\.\d+Z$/, 'Z'),
    own_accounts: ['BBownMgr1'], own_device_tail: 'A1B2C3D4E5F6', verdict: 'COMPROMISED', your_phone_macs: 142,
  };
  // Every hour of the timeline busy, and the evidence of every row (read only when a row opens).
  const hours = (scale) => rows(25, (i) => (i * 7919 * scale) % 9973);
  const timeline = { start: time(86400), hours: 25, directlink: hours(1), awdl: hours(3), culprits: hours(5), access: hours(7) };
  const findings = [];
  for (const [list, items] of Object.entries(all)) {
    if (!Array.isArray(items)) continue;
    items.forEach((row, index) => findings.push({
      row: findings.length + 1, list, index, mac: row.mac, account: row.ids || row.account,
      lines: rows(5, (k) => ({ line: 1000 * index + k + 1, offset: 300000 * index + 300 * k, time: time(k), text: 'x'.repeat(300) })),
    }));
  }
  return {
    'sift/ALL.json': JSON.stringify(all, null, 2),
    'sift/days.json': JSON.stringify({ days: ['ALL'] }, null, 2),
    'sift/summary.json': JSON.stringify(summary, null, 2),
    'sift/timeline.json': JSON.stringify(timeline, null, 2),
    'sift/evidence.json': JSON.stringify({ log: 'CV_personal.log', findings }, null, 1),
  };
}

// The pass's own view lines, repeated with fresh times up to the cap.
function fullViewLog() {
  const golden = h.passGolden('compromised')['CV_view.log'].toString('utf8').split('\n').filter(Boolean);
  return rows(VIEW_LINES, (i) => golden[i % golden.length].replace(/^\S+ \S+/, time(VIEW_LINES - i))).join('\n');
}

// CPU seconds used so far by chromium's renderer processes, where the page's own work runs.
// On a shared machine the wall time grows with the load; the CPU time a load costs hardly does.
async function cpuSeconds(session) {
  const { processInfo } = await session.send('SystemInfo.getProcessInfo');
  return processInfo.filter((p) => p.type === 'renderer').reduce((sum, p) => sum + p.cpuTime, 0);
}

function summary(values) {
  values.sort((a, b) => a - b);
  return { median: values[Math.floor(values.length / 2)], min: values[0], max: values[values.length - 1] };
}

// Milliseconds from navigation start to the first frame after the page set the mark, and the
// CPU milliseconds chromium spent from opening the tab to that frame.
async function measure(browser, session, dir, page, mark) {
  const times = [];
  const cpu = [];
  for (let run = 0; run < RUNS; run++) {
    const tab = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    const cpuBefore = await cpuSeconds(session);
    await tab.goto(h.fileUrl(dir, page));
    const ms = await tab.evaluate((name) => new Promise((resolve) => {
      const check = () => {
        const entry = performance.getEntriesByName(name)[0];
        if (!entry) return setTimeout(check, 2);
        // The mark ends the script's drawing; the next frame has laid it out and painted it.
        requestAnimationFrame(() => setTimeout(() => resolve(performance.now()), 0));
      };
      check();
    }), mark);
    cpu.push((await cpuSeconds(session) - cpuBefore) * 1000);
    times.push(ms);
    await tab.close();
  }
  return { wall: summary(times), cpu: summary(cpu) };
}

(async () => {
  const dashboard = fullDashboard();
  const viewLog = fullViewLog();
  const dir = h.dataFolder({ ...dashboard, 'CV_view.log': viewLog });
  const browser = await h.launch();
  try {
    const version = browser.version();
    console.log(`page-render: chromium ${version}, ${RUNS} loads each, from navigation start to the first frame after drawing`);
    const session = await browser.newBrowserCDPSession();
    const figures = (r) => `median ${r.median.toFixed(0).padStart(5)} ms  min ${r.min.toFixed(0).padStart(5)}  max ${r.max.toFixed(0).padStart(5)}`;
    const report = (label, bytes, r) => {
      console.log(`${label.padEnd(52)} ${(bytes / 1024).toFixed(0).padStart(6)} KiB`);
      console.log(`    wall time, load to drawn            ${figures(r.wall)}`);
      console.log(`    renderer CPU time                   ${figures(r.cpu)}`);
    };
    // The floor: a page that draws nothing, loaded and timed the same way.
    h.writeFiles(dir, { 'floor.html': '<!DOCTYPE html><title>floor</title><script src="floor.js"></script>',
      'floor.js': "performance.mark('dashboard-drawn');" });
    report('an empty page (floor)', 0, await measure(browser, session, dir, 'floor.html', 'dashboard-drawn'));
    report('radar.html, every list at its cap, timeline drawn', Buffer.byteLength(dashboard['sift/ALL.json']),
      await measure(browser, session, dir, 'radar.html', 'dashboard-drawn'));
    report(`raw_log.html, full view log (${VIEW_LINES} lines): all`, Buffer.byteLength(viewLog),
      await measure(browser, session, dir, 'raw_log.html', 'dashboard-drawn'));
    report('raw_log.html, same log: first screen', Buffer.byteLength(viewLog),
      await measure(browser, session, dir, 'raw_log.html', 'first-screen-drawn'));
    console.log(`load average while measuring: ${require('node:os').loadavg().map((n) => n.toFixed(1)).join(' ')}` +
      ` on ${require('node:os').cpus().length} cores (figures grow with it)`);
  } finally {
    await browser.close();
  }
})().catch((e) => {
  console.error('page-render:', e.message);
  process.exit(1);
});
