// The dashboard: reads the analyser's files beside the page and shows the verdict, the owner's
// device, a radar of the rogue devices and the tables behind them. The app rewrites the files
// every 45 s without reloading the page, so the page re-reads them itself and redraws only the
// parts whose data changed, keeping scroll position and table sorting.
(function () {
  'use strict';

  const D = window.CorvaneDash;
  const { el, svg, text, num, list, obj, clip } = D;

  const REFRESH_MS = 10000;
  const RETRY_MS = 1000;
  const FAST_RETRIES = 5;
  const MAX_JSON_BYTES = 32 * 1024 * 1024;
  const MAX_SMALL_BYTES = 1024 * 1024;
  const MAX_TABLE_ROWS = 1000;
  const CELL_CHARS = 200;
  // Day names become part of a path, so only plain names are accepted.
  const DAY_NAME = /^[A-Za-z0-9][A-Za-z0-9_-]{0,63}$/;

  const VERDICTS = {
    PENDING: {
      cls: 'verdict-pending',
      text: 'Your own phone has not been identified yet, so there is nothing to judge. Keep monitoring ' +
        'running and use your phone near this Mac; the verdict appears once its connections are seen.',
    },
    CLEAN: {
      cls: 'verdict-clean',
      // Names the range actually analysed: after a few minutes of monitoring that is not a day.
      text: (range) => 'Only your own phone has connected to this Mac as its owner ' +
        (/ \u2014 /.test(range) ? 'between ' + range.replace(' \u2014 ', ' and ')
          : /^\d{4}-/.test(range) ? 'at ' + range : 'in the events analysed so far') +
        ' (' + zoneName() + '). Nothing to do: keep monitoring running.',
    },
    COMPROMISED: {
      cls: 'verdict-compromised',
      text: 'Devices or accounts that are not yours have connected to this Mac as if they were its owner. ' +
        'Generate an evidence report now, keep monitoring running, and take the report to your attorney.',
    },
  };

  const ROGUE_COLUMNS = [
    { key: 'mac', label: 'MAC address', mono: true },
    { key: 'date', label: 'Date' },
    { key: 'time', label: 'Last seen' },
    { key: 'proximity', label: 'Distance' },
    { key: 'ids', label: 'Account', mono: true },
    { key: 'aid', label: 'AID', mono: true },
    { key: 'owner', label: 'Claims owner', type: 'bool' },
    { key: 'tt', label: 'TT', mono: true },
  ];

  const TABLES = [
    {
      // Listed only while it has rows: each one is an alarm until the owner confirms it.
      id: 'unknown-own', title: 'Unknown devices on your account', rows: 'unknown_own_devices',
      hideEmpty: true,
      about: 'Devices signed in with your own account that are not among your known devices. A new device of ' +
        'yours shows here until you confirm it; one you do not recognise means someone else is using your account.',
      columns: [
        { key: 'tail', label: 'Device', mono: true },
        { key: 'ids', label: 'Account', mono: true },
        { key: 'mac', label: 'MAC address', mono: true },
        { key: 'first', label: 'First seen' },
        { key: 'last', label: 'Last seen' },
        { key: 'tail', label: 'Yours?', type: 'trust' },
      ],
    },
    {
      id: 'rogue-directlink', title: 'Rogue DirectLink devices', rows: 'rogue_directlink',
      total: 'rogue_directlink_total', columns: ROGUE_COLUMNS,
      about: 'Devices within about 33 ft that connected over DirectLink with a device identity that is not your phone\u2019s.',
    },
    {
      id: 'rogue-awdl', title: 'Rogue AWDL devices', rows: 'rogue_awdl', total: 'rogue_awdl_total',
      columns: ROGUE_COLUMNS,
      about: 'Devices within about 100 ft that announced themselves over AWDL with a foreign account.',
    },
    {
      id: 'culprits', title: 'Controlling accounts', rows: 'culprits', total: 'culprits_total',
      about: 'Accounts that carried out owner-level actions, most active first.',
      columns: [
        { key: 'ids', label: 'Account', mono: true },
        { key: 'aid', label: 'AID', mono: true },
        { key: 'occurrences', label: 'Occurrences', type: 'num' },
        { key: 'first', label: 'First seen' },
        { key: 'last', label: 'Last seen' },
      ],
    },
    {
      id: 'access-events', title: 'Access events', rows: 'access_events', total: 'access_events_total',
      about: 'Screen sharing and keyboard sharing sessions opened on this Mac, newest first.',
      columns: [
        { key: 'date', label: 'Date' },
        { key: 'time', label: 'Time' },
        { key: 'type', label: 'Type' },
        { key: 'account', label: 'Account', mono: true },
        { key: 'aid', label: 'AID', mono: true },
        { key: 'mac', label: 'MAC address', mono: true },
      ],
    },
    {
      id: 'provision-pairs', title: 'Provisioning pairs', rows: 'provision_pairs',
      total: 'provision_pairs_total', extra: 'provision_pairs_screen', extraLabel: 'with screen access',
      about: 'Connections provisioned to a peer moments after it was resolved, newest first.',
      columns: [
        { key: 'time', label: 'Time' },
        { key: 'mac', label: 'MAC address', mono: true },
        { key: 'ids', label: 'Account', mono: true },
        { key: 'aid', label: 'AID', mono: true },
        { key: 'aclv', label: 'Access level' },
        { key: 'delta_ms', label: 'Delay (ms)', type: 'num' },
        { key: 'cid', label: 'Connection', mono: true },
        { key: 'services', label: 'Services' },
        { key: 'screen', label: 'Screen', type: 'bool' },
      ],
    },
    {
      id: 'ble-provisions', title: 'Bluetooth provisions', rows: 'ble_provisions',
      total: 'ble_provisions_total',
      about: 'Keyboards provisioned over Bluetooth LE, newest first.',
      columns: [
        { key: 'time', label: 'Time' },
        { key: 'nbat', label: 'Auth tag', mono: true },
        { key: 'type', label: 'Type' },
      ],
    },
    {
      id: 'kbd-evals', title: 'Keyboard evaluations', rows: 'kbd_evals', total: 'kbd_evals_total',
      about: 'Keyboard access requests this Mac evaluated, newest first.',
      columns: [
        { key: 'time', label: 'Time' },
        { key: 'mac', label: 'MAC address', mono: true },
        { key: 'ids', label: 'Account', mono: true },
        { key: 'aclv', label: 'Access level' },
        { key: 'services', label: 'Services' },
        { key: 'selftag', label: 'Own tag', mono: true },
      ],
    },
  ];

  const $ = (id) => document.getElementById(id);
  // Made on the first sort: building a collator loads locale data, which a page that is only
  // looked at never needs.
  let collator = null;

  // What was last read whole: the raw texts (to skip unchanged files) and their parsed values.
  const last = { day: 'ALL', allText: null, summaryText: null, timelineText: null, all: null, summary: null, timeline: null };
  // sift/evidence.json, read when a row is first opened and again once ALL.json has changed.
  const evidence = { forAll: null, findings: null };
  const MAX_EVIDENCE_BYTES = 32 * 1024 * 1024;
  const LINE_CHARS = 4000;
  const drawn = new Map(); // part name -> signature of the data it was last drawn from
  const tables = new Map(); // table id -> {def, section, wrap, tbody, template, headers, total, empty, more, rows}
  let sorts = {}; // table id -> {key, dir}, read from the session in start()
  let failures = 0;
  let timer = 0;
  let generatedMs = NaN;
  let scrollRestored = false;

  // ---- Reading -------------------------------------------------------------------------

  function pickDay(result) {
    if (result.status !== 'ok') return 'ALL';
    const days = list(obj(D.parseJson(result.text)).days)
      .filter((d) => typeof d === 'string' && DAY_NAME.test(d));
    return days.length === 0 || days.includes('ALL') ? 'ALL' : days[0];
  }

  function parsedObject(result) {
    if (result.status !== 'ok') return undefined;
    const value = D.parseJson(result.text);
    return D.isObject(value) ? value : undefined;
  }

  // Takes a small file into last[name] unless it is unchanged; a missing one clears it. Says
  // false, keeping what was there, when the file could not be read whole.
  function keepLatest(result, name) {
    if (result.status === 'missing') {
      last[name] = null;
      last[name + 'Text'] = null;
      return true;
    }
    if (result.status === 'ok' && result.text === last[name + 'Text']) return true;
    const value = parsedObject(result);
    if (!value) return false;
    last[name] = value;
    last[name + 'Text'] = result.text;
    return true;
  }

  async function refresh() {
    window.clearTimeout(timer);
    // The pass only ever names ALL, so it is read alongside days.json rather than after it.
    const [daysResult, allFirst, summaryResult, timelineResult] = await Promise.all([
      D.readFile('sift/days.json', MAX_SMALL_BYTES),
      D.readFile('sift/ALL.json', MAX_JSON_BYTES),
      D.readFile('sift/summary.json', MAX_SMALL_BYTES),
      D.readFile('sift/timeline.json', MAX_SMALL_BYTES),
    ]);
    keepLatest(timelineResult, 'timeline'); // one caught half-written keeps the last drawn
    const day = pickDay(daysResult);
    const allResult = day === 'ALL' ? allFirst : await D.readFile('sift/' + day + '.json', MAX_JSON_BYTES);

    let incomplete = false;
    if (allResult.status === 'missing') {
      // No dashboard file: no analysis yet, or the analysis was just reset.
      last.all = null;
      last.allText = null;
    } else if (allResult.status === 'ok' && allResult.text === last.allText && day === last.day) {
      // Unchanged since the last read.
    } else {
      const all = parsedObject(allResult);
      if (all) {
        last.all = all;
        last.allText = allResult.text;
        last.day = day;
      } else {
        incomplete = true; // caught half-written (or not a dashboard file): keep the last good data
      }
    }

    if (!keepLatest(summaryResult, 'summary') && last.all) incomplete = true;

    failures = incomplete ? failures + 1 : 0;
    draw(incomplete);
    const soon = incomplete && failures <= FAST_RETRIES;
    timer = window.setTimeout(refresh, soon ? RETRY_MS : REFRESH_MS);
  }

  // ---- Drawing -------------------------------------------------------------------------

  // Calls paint(data) only when data differs from what the part was last drawn from; says
  // whether it did.
  function drawPart(name, data, paint) {
    const signature = JSON.stringify(data === undefined ? null : data);
    if (drawn.get(name) === signature) return false;
    drawn.set(name, signature);
    paint(data);
    return true;
  }

  function draw(incomplete) {
    const y = window.scrollY;
    const all = last.all;
    const summary = obj(last.summary);
    const stale = $('stale');
    if (incomplete && all) {
      stale.textContent = 'The analysis could not be read whole; it was probably being rewritten. ' +
        'Showing the last complete data and reading again shortly.';
      stale.hidden = false;
    } else {
      stale.hidden = true;
    }

    if (!all) {
      document.body.dataset.state = incomplete ? 'retrying' : 'waiting';
      $('waiting').hidden = false;
      $('content').hidden = true;
      drawPart('verdict', { waiting: true }, () => paintVerdict(null, null));
      drawPart('generated', summary.generated, paintGenerated);
      return;
    }

    $('waiting').hidden = true;
    $('content').hidden = false;
    drawPart('verdict', [all.verdict, summary.verdict, all.range], () => paintVerdict(all, summary));
    drawPart('generated', summary.generated, paintGenerated);
    drawPart('device', all.your_device, paintDevice);
    drawPart('counts', [summary.directlink_macs_total, summary.your_phone_macs, summary.foreign_directlink_macs,
      summary.foreign_awdl_macs, summary.foreign_device_ids, summary.foreign_accounts, summary.own_accounts,
      all.culprits_total], () => paintCounts(summary, all));
    drawPart('radar', [all.rogue_directlink, all.rogue_awdl, all.rogue_directlink_total, all.rogue_awdl_total, all.verdict],
      () => paintRadar(all));
    drawPart('timeline', last.timeline, paintTimeline);
    const redrawn = [];
    for (const def of TABLES) {
      const data = [all[def.rows], all[def.total], def.extra ? all[def.extra] : null];
      if (drawPart('table:' + def.id, data, () => paintTable(def.id, all))) redrawn.push(tables.get(def.id).tbody);
    }
    layOutAhead(redrawn);
    document.body.dataset.state = 'ready';

    if (!scrollRestored) {
      scrollRestored = true;
      performance.mark('dashboard-drawn');
      const saved = D.loadSetting('scroll');
      if (typeof saved === 'number' && saved > 0) window.scrollTo(0, saved);
    } else if (window.scrollY !== y) {
      window.scrollTo(0, y);
    }
  }

  // The browser lays out a card far below only once it comes near (content-visibility). This
  // lays out the given tables' cards ahead, one per idle moment after the next frame, so that
  // scrolling down finds them ready instead of waiting on a table of hundreds of rows.
  function layOutAhead(tbodies) {
    const later = window.requestIdleCallback || ((task) => window.setTimeout(task, 50));
    const next = () => {
      const tbody = tbodies.shift();
      if (!tbody) return;
      void tbody.offsetHeight; // asks for the card's layout
      later(next);
    };
    if (tbodies.length) later(next);
  }

  // The analysis writes times in this computer's zone, without saying so.
  function zoneName() {
    const minutes = -new Date().getTimezoneOffset();
    const abs = Math.abs(minutes);
    const hh = String(Math.floor(abs / 60)).padStart(2, '0');
    const mm = String(abs % 60).padStart(2, '0');
    return 'local time, UTC' + (minutes < 0 ? '\u2212' : '+') + hh + ':' + mm;
  }

  function paintVerdict(all, summary) {
    const section = $('verdict');
    const raw = all ? (typeof all.verdict === 'string' ? all.verdict : summary.verdict) : null;
    const known = typeof raw === 'string' && Object.prototype.hasOwnProperty.call(VERDICTS, raw)
      ? VERDICTS[raw] : null;
    section.className = 'verdict ' + (known ? known.cls : 'verdict-none');
    if (!all) {
      $('verdict-word').textContent = 'Waiting';
      $('verdict-text').textContent = 'No analysis has been written yet. The verdict appears after the first analysis.';
      $('range').textContent = D.DASH;
      $('range-zone').textContent = '';
    } else {
      $('verdict-word').textContent = typeof raw === 'string' && raw !== '' ? clip(raw, 40) : 'Unknown';
      const range = text(all.range);
      $('verdict-text').textContent = !known
        ? 'The analysis gave no verdict this page recognises. Check the tables below.'
        : typeof known.text === 'function' ? known.text(clip(range, 80)) : known.text;
      $('range').textContent = range;
      $('range-zone').textContent = range === D.DASH ? '' : zoneName();
    }
  }

  function paintGenerated(generated) {
    const ms = typeof generated === 'string' ? Date.parse(generated) : NaN;
    generatedMs = ms;
    const dd = $('generated');
    if (Number.isFinite(ms)) {
      dd.textContent = new Date(ms).toISOString().replace('T', ' ').replace(/\.\d+Z$/, ' UTC');
    } else {
      dd.textContent = typeof generated === 'string' ? clip(generated, 40) : D.DASH;
    }
    tickUpdated();
  }

  function tickUpdated() {
    const span = $('updated');
    if (!Number.isFinite(generatedMs)) {
      span.textContent = 'Not yet updated';
    } else if (generatedMs > Date.now() + 60000) {
      // This computer's clock is behind the one that wrote the files.
      span.textContent = 'Updated ' + $('generated').textContent;
    } else {
      span.textContent = 'Updated ' + D.ago(generatedMs, Date.now());
    }
  }

  function fact(label, value, extraClass) {
    return el('div', { class: 'fact' }, [
      el('dt', null, label),
      el('dd', { class: extraClass || null }, value),
    ]);
  }

  function paintDevice(raw) {
    const device = obj(raw);
    const macs = Array.isArray(device.conn_mac) ? device.conn_mac : [device.conn_mac];
    const macText = macs.filter((m) => typeof m === 'string' && m !== '');
    const state = text(device.conn_state);
    const stateClass = 'state state-' + (/^[a-z]{1,20}$/.test(state) ? state : 'other');
    const tail = typeof device.device_tail === 'string' ? device.device_tail : device.identity;
    D.replaceChildren($('device'), [
      fact('Model', clip(text(device.model), 80)),
      fact('Device tail', clip(text(tail), 80), 'mono'),
      fact('BLE id', clip(text(device.ble_mac), 80), 'mono'),
      fact(macText.length > 1 ? 'DirectLink MACs' : 'DirectLink MAC',
        macText.length ? macText.slice(0, 8).map((m) => el('span', { class: 'line' }, clip(m, 80))) : D.DASH,
        'mono'),
      fact('State', el('span', { class: stateClass }, clip(state, 40))),
      fact('Own DirectLink addresses', text(num(device.conn_count))),
    ]);
  }

  function stat(label, value, tone) {
    return el('div', { class: 'stat' + (tone ? ' ' + tone : '') }, [
      el('dd', { class: 'stat-value' }, value),
      el('dt', { class: 'stat-label' }, label),
    ]);
  }

  // Each figure is named for what it counts, so that none reads as another one: the report
  // counts controlling accounts, the tile of the same name shows that figure.
  function paintCounts(summary, all) {
    const foreign = (n) => (num(n) ? 'alert' : null);
    const own = list(summary.own_accounts).filter((a) => typeof a === 'string');
    D.replaceChildren($('counts'), [
      stat('DirectLink addresses', text(num(summary.directlink_macs_total))),
      stat('Your phone\u2019s addresses', text(num(summary.your_phone_macs))),
      stat('Foreign DirectLink addresses', text(num(summary.foreign_directlink_macs)), foreign(summary.foreign_directlink_macs)),
      stat('Foreign AWDL addresses', text(num(summary.foreign_awdl_macs)), foreign(summary.foreign_awdl_macs)),
      stat('Foreign device identities', text(num(summary.foreign_device_ids)), foreign(summary.foreign_device_ids)),
      stat('Foreign account IDs', text(num(summary.foreign_accounts)), foreign(summary.foreign_accounts)),
      stat('Controlling accounts', text(num(all.culprits_total)), foreign(all.culprits_total)),
    ]);
    const accounts = own.length ? own.slice(0, 4).map((a) => clip(a, 60)).join(', ') : D.DASH;
    $('counts').appendChild(el('div', { class: 'stat wide' }, [
      el('dd', { class: 'stat-value mono small-value' }, accounts),
      el('dt', { class: 'stat-label' }, 'Your account'),
    ]));
  }

  // ---- Radar ---------------------------------------------------------------------------

  const CENTER = 200;
  const INNER = 100; // 0–33 ft
  const OUTER = 182; // 33–100 ft

  // FNV-1a: a device keeps its place on the radar from one refresh to the next.
  function hash(textValue, seed) {
    let h = (0x811c9dc5 ^ seed) >>> 0;
    for (let i = 0; i < textValue.length; i++) {
      h ^= textValue.charCodeAt(i);
      h = Math.imul(h, 0x01000193) >>> 0;
    }
    return h;
  }

  function drawRadarBackground() {
    const radar = $('radar');
    const defs = svg('defs', null, [
      svg('radialGradient', { id: 'radar-glow', cx: '50%', cy: '50%', r: '50%' }, [
        svg('stop', { offset: '0%', class: 'glow-in' }),
        svg('stop', { offset: '100%', class: 'glow-out' }),
      ]),
      svg('linearGradient', { id: 'radar-sweep', x1: '0', y1: '0', x2: '1', y2: '0' }, [
        svg('stop', { offset: '0%', class: 'sweep-out' }),
        svg('stop', { offset: '100%', class: 'sweep-in' }),
      ]),
    ]);
    const sweepEnd = CENTER + OUTER * Math.cos(-Math.PI / 7);
    const sweepY = CENTER + OUTER * Math.sin(-Math.PI / 7);
    radar.appendChild(defs);
    radar.appendChild(svg('g', { class: 'radar-bg', 'aria-hidden': 'true' }, [
      svg('circle', { class: 'radar-disc', cx: CENTER, cy: CENTER, r: OUTER }),
      svg('circle', { class: 'radar-band-inner', cx: CENTER, cy: CENTER, r: INNER }),
      svg('circle', { class: 'radar-ring', cx: CENTER, cy: CENTER, r: OUTER }),
      svg('circle', { class: 'radar-ring', cx: CENTER, cy: CENTER, r: INNER }),
      svg('circle', { class: 'radar-ring faint', cx: CENTER, cy: CENTER, r: INNER / 2 }),
      svg('circle', { class: 'radar-ring faint', cx: CENTER, cy: CENTER, r: (INNER + OUTER) / 2 }),
      svg('line', { class: 'radar-axis', x1: CENTER - OUTER, y1: CENTER, x2: CENTER + OUTER, y2: CENTER }),
      svg('line', { class: 'radar-axis', x1: CENTER, y1: CENTER - OUTER, x2: CENTER, y2: CENTER + OUTER }),
      svg('path', {
        class: 'radar-sweep',
        d: `M${CENTER},${CENTER} L${CENTER + OUTER},${CENTER} A${OUTER},${OUTER} 0 0,0 ${sweepEnd.toFixed(1)},${sweepY.toFixed(1)} Z`,
      }),
      svg('text', { class: 'radar-label', x: CENTER + 6, y: CENTER - INNER + 16 }, '0\u201333 ft'),
      svg('text', { class: 'radar-label', x: CENTER + 6, y: CENTER - OUTER + 16 }, '33\u2013100 ft'),
      svg('circle', { class: 'radar-self', cx: CENTER, cy: CENTER, r: 7 }),
      svg('text', { class: 'radar-self-label', x: CENTER, y: CENTER + 24 }, 'This Mac'),
    ]));
    radar.appendChild(svg('g', { id: 'radar-dots' }));
  }

  function rogueRows(value) {
    return list(value).filter(D.isObject);
  }

  function paintRadar(all) {
    const dl = rogueRows(all.rogue_directlink);
    const awdl = rogueRows(all.rogue_awdl);
    const dlTotal = num(all.rogue_directlink_total) ?? dl.length;
    const awdlTotal = num(all.rogue_awdl_total) ?? awdl.length;
    const layer = $('radar-dots');
    const dots = [];
    const place = (row, index, kind) => {
      const key = typeof row.mac === 'string' ? row.mac : kind + '#' + index;
      const angle = (hash(key, 0) % 3600) / 3600 * 2 * Math.PI;
      const spread = (hash(key, 0x9e3779b9) % 1000) / 1000;
      const r = kind === 'dl' ? 34 + spread * (INNER - 46) : INNER + 14 + spread * (OUTER - INNER - 26);
      dots.push(dot(row, kind, CENTER + r * Math.cos(angle), CENTER + r * Math.sin(angle)));
    };
    dl.forEach((row, i) => place(row, i, 'dl'));
    awdl.forEach((row, i) => place(row, i, 'awdl'));
    D.replaceChildren(layer, dots);
    hideTip();

    const shown = dl.length + awdl.length;
    const total = Math.max(dlTotal + awdlTotal, shown);
    const totalNode = $('radar-total');
    totalNode.dataset.shown = String(shown);
    totalNode.dataset.total = String(total);
    const split = $('radar-split');
    if (total > 0) {
      totalNode.textContent = D.count(shown) + ' of ' + D.count(total) + ' shown';
      split.textContent = 'DirectLink: ' + dl.length + ' of ' + D.count(Math.max(dlTotal, dl.length)) +
        ' shown \u00b7 AWDL: ' + awdl.length + ' of ' + D.count(Math.max(awdlTotal, awdl.length)) +
        ' shown. The most recent devices are drawn, each at an angle fixed by its address.';
    } else if (all.verdict === 'PENDING') {
      totalNode.textContent = 'Not judged yet';
      split.textContent = 'Devices are told apart from yours once your phone has been identified.';
    } else {
      totalNode.textContent = 'None detected';
      split.textContent = 'No rogue device in the analysed range.';
    }
  }

  function describe(row, kind) {
    return [
      (kind === 'dl' ? 'DirectLink' : 'AWDL') + ' device ' + clip(text(row.mac), 40),
      'Last seen ' + clip(text(row.date), 20) + ' ' + clip(text(row.time), 20),
      'Distance ' + clip(text(row.proximity), 20),
      'Account ' + clip(text(row.ids), 60),
      'AID ' + clip(text(row.aid), 60),
      row.owner === true ? 'Claims to be the owner' : 'Does not claim to be the owner',
    ];
  }

  function dot(row, kind, x, y) {
    const lines = describe(row, kind);
    const owner = row.owner === true;
    const shape = kind === 'dl'
      ? svg('circle', { class: 'dot-shape', cx: x.toFixed(1), cy: y.toFixed(1), r: 6 })
      : svg('rect', {
        class: 'dot-shape', x: (x - 5.5).toFixed(1), y: (y - 5.5).toFixed(1), width: 11, height: 11,
        transform: `rotate(45 ${x.toFixed(1)} ${y.toFixed(1)})`,
      });
    const group = svg('g', {
      class: 'dot dot-' + kind + (owner ? ' dot-owner' : ''), tabindex: '0', role: 'button',
      'aria-label': lines.join('. ') + '. Show its row.',
    }, [
      owner ? svg('circle', { class: 'dot-ring', cx: x.toFixed(1), cy: y.toFixed(1), r: 11 }) : null,
      shape,
    ]);
    const show = () => showTip(lines, x, y);
    group.addEventListener('mouseenter', show);
    group.addEventListener('focus', show);
    group.addEventListener('mouseleave', hideTip);
    group.addEventListener('blur', hideTip);
    const reveal = () => revealRow(kind === 'dl' ? 'rogue-directlink' : 'rogue-awdl', row.mac);
    group.addEventListener('click', reveal);
    group.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        reveal();
      }
    });
    return group;
  }

  function showTip(lines, x, y) {
    const tip = $('radar-tip');
    D.replaceChildren(tip, lines.map((line, i) => el('span', { class: i === 0 ? 'tip-head' : 'tip-line' }, line)));
    tip.hidden = false;
    // Beside the dot, on whichever side has room, so the dot itself stays in view.
    const box = $('radar').getBoundingClientRect();
    const scale = box.width / 400;
    const left = x * scale;
    const top = y * scale;
    const width = tip.offsetWidth;
    const right = left + 16 + width <= box.width;
    tip.style.left = Math.max(right ? left + 16 : left - 16 - width, 0) + 'px';
    tip.style.top = Math.max(Math.min(top - tip.offsetHeight / 2, box.height - tip.offsetHeight), 0) + 'px';
  }

  function hideTip() {
    $('radar-tip').hidden = true;
  }

  // Scrolls the device's row into view and lights it up for a moment.
  function revealRow(tableId, mac) {
    const t = tables.get(tableId);
    const key = text(mac);
    const tr = Array.prototype.find.call(t.tbody.rows, (r) => r.dataset.key === key);
    if (!tr) return;
    const still = window.matchMedia && window.matchMedia('(prefers-reduced-motion: reduce)').matches;
    tr.scrollIntoView({ block: 'center', behavior: still ? 'auto' : 'smooth' });
    tr.classList.remove('flash');
    void tr.offsetWidth; // restart the animation
    tr.classList.add('flash');
  }

  // ---- Tables --------------------------------------------------------------------------

  function loadSorts() {
    const saved = D.loadSetting('sorts');
    const result = {};
    if (!D.isObject(saved)) return result;
    for (const def of TABLES) {
      const s = saved[def.id];
      if (D.isObject(s) && def.columns.some((c) => c.key === s.key) && (s.dir === 'asc' || s.dir === 'desc')) {
        result[def.id] = { key: s.key, dir: s.dir };
      }
    }
    return result;
  }

  function buildTables() {
    const host = $('findings');
    for (const def of TABLES) {
      const titleId = def.id + '-title';
      const headers = def.columns.map((column) => {
        if (column.type === 'trust') return el('th', { scope: 'col' }, column.label);
        const button = el('button', { type: 'button', class: 'sort' }, [
          column.label, el('span', { class: 'sort-mark', 'aria-hidden': 'true' }),
        ]);
        button.addEventListener('click', () => toggleSort(def.id, column.key));
        return el('th', { scope: 'col', class: column.type === 'num' ? 'num' : null, 'data-key': column.key }, button);
      });
      const tbody = el('tbody');
      tbody.addEventListener('click', (event) => {
        const trust = event.target.closest('button.trust');
        if (trust) askTrust(def.id, trust.dataset.tail);
        else if (!event.target.closest('.evidence')) toggleEvidence(def.id, event.target.closest('tr'));
      });
      tbody.addEventListener('keydown', (event) => {
        if ((event.key === 'Enter' || event.key === ' ') && event.target.dataset && event.target.dataset.index) {
          event.preventDefault();
          toggleEvidence(def.id, event.target);
        }
      });
      const table = el('table', { class: 'grid' }, [
        el('caption', { class: 'sr-only' }, def.title),
        el('thead', null, el('tr', null, headers)),
        tbody,
      ]);
      const wrap = el('div', { class: 'table-wrap', role: 'region', tabindex: '0', 'aria-labelledby': titleId }, table);
      const total = el('span', { class: 'total' });
      const empty = el('p', { class: 'empty' }, 'None.');
      const more = el('p', { class: 'muted small more' });
      const confirm = el('div', { class: 'confirm', role: 'group', 'aria-label': 'Confirm a device' });
      confirm.hidden = true;
      const section = el('section', { class: 'card table-card', id: def.id, 'aria-labelledby': titleId }, [
        el('div', { class: 'card-head' }, [el('h2', { id: titleId }, def.title), total]),
        el('p', { class: 'about' }, def.about),
        wrap, empty, more, confirm,
      ]);
      host.appendChild(section);
      // Every row starts as a copy of this one: cloning is cheaper than building cell by cell.
      const template = el('tr', null, def.columns.map((column) => el('td', { class: cellClass(column) || null })));
      tables.set(def.id, { def, section, wrap, tbody, template, headers, total, empty, more, confirm, rows: [] });
    }
  }

  function paintTable(id, all) {
    const t = tables.get(id);
    const def = t.def;
    const rows = list(all[def.rows]).filter(D.isObject);
    const total = num(all[def.total]) ?? rows.length;
    t.rows = rows;
    t.section.dataset.rows = String(rows.length);
    t.section.dataset.total = String(total);
    const parts = [el('strong', null, D.count(total)), ' total'];
    if (rows.length < total) parts.push(' \u00b7 ' + D.count(rows.length) + ' shown');
    if (def.extra && num(all[def.extra]) !== null) {
      parts.push(' \u00b7 ' + D.count(num(all[def.extra])) + ' ' + def.extraLabel);
    }
    D.replaceChildren(t.total, parts);
    if (def.hideEmpty) t.section.hidden = rows.length === 0;
    t.empty.hidden = rows.length > 0;
    t.wrap.hidden = rows.length === 0;
    t.section.style.containIntrinsicBlockSize = 'auto ' + cardHeight(Math.min(rows.length, MAX_TABLE_ROWS)) + 'px';
    paintRows(t);
  }

  // A card off screen is laid out only once it comes near (content-visibility in the style
  // sheet), and until then takes this height: its title and note, then "None." or the table up
  // to the height at which it scrolls. Close enough that the page's length and a restored scroll
  // position hardly move when the card is drawn; after that the browser keeps the real height.
  const CARD_HEAD = 55;
  const CARD_NONE = 21;
  const TABLE_HEAD = 36;
  const TABLE_ROW = 34;
  const TABLE_MAX = 440;

  function cardHeight(rows) {
    return CARD_HEAD + (rows === 0 ? CARD_NONE : Math.min(TABLE_HEAD + rows * TABLE_ROW, TABLE_MAX));
  }

  function compareText(a, b) {
    collator = collator || new Intl.Collator('en', { numeric: true, sensitivity: 'base' });
    return collator.compare(a, b);
  }

  function sortValue(row, column) {
    const value = row[column.key];
    if (column.type === 'bool') return value === true ? 1 : value === false ? 0 : -1;
    if (column.type === 'num') {
      const n = typeof value === 'number' ? value : typeof value === 'string' ? parseFloat(value) : NaN;
      return Number.isFinite(n) ? n : -Infinity;
    }
    return text(value);
  }

  function paintRows(t) {
    const def = t.def;
    const sort = sorts[def.id];
    let rows = t.rows.map((row, index) => ({ row, index }));
    if (sort) {
      const column = def.columns.find((c) => c.key === sort.key);
      const sign = sort.dir === 'asc' ? 1 : -1;
      rows = rows.map((r) => ({ ...r, value: sortValue(r.row, column) }));
      rows.sort((a, b) => {
        const order = typeof a.value === 'number' && typeof b.value === 'number'
          ? a.value - b.value : compareText(String(a.value), String(b.value));
        return order !== 0 ? sign * order : a.index - b.index;
      });
    }
    for (const th of t.headers) {
      const active = sort && th.dataset.key === sort.key;
      if (active) th.setAttribute('aria-sort', sort.dir === 'asc' ? 'ascending' : 'descending');
      else th.removeAttribute('aria-sort');
    }
    const fragment = document.createDocumentFragment();
    const keyed = def.columns[0].key === 'mac';
    for (const { row, index } of rows.slice(0, MAX_TABLE_ROWS)) {
      const tr = t.template.cloneNode(true);
      let td = tr.firstChild;
      for (const column of def.columns) {
        fillCell(td, row[column.key], column);
        td = td.nextSibling;
      }
      if (keyed) tr.dataset.key = text(row.mac);
      tr.dataset.index = String(index);
      tr.tabIndex = 0;
      tr.setAttribute('aria-expanded', 'false');
      fragment.appendChild(tr);
    }
    D.replaceChildren(t.tbody, fragment);
    t.more.hidden = rows.length <= MAX_TABLE_ROWS;
    t.more.textContent = rows.length > MAX_TABLE_ROWS
      ? 'The first ' + D.count(MAX_TABLE_ROWS) + ' rows are listed.' : '';
  }

  function cellClass(column) {
    return [column.mono ? 'mono' : '', column.type === 'num' ? 'num' : ''].filter(Boolean).join(' ');
  }

  // Fills an empty cell of the row template; it already carries the column's classes.
  function fillCell(td, value, column) {
    if (column.type === 'trust') {
      td.textContent = '';
      td.appendChild(isTail(value)
        ? el('button', { type: 'button', class: 'button small trust', 'data-tail': value }, 'This is my device')
        : document.createTextNode(D.DASH));
      return;
    }
    const full = text(value);
    const shown = clip(full, CELL_CHARS);
    td.textContent = shown;
    if (shown.length > 40) td.classList.add('long');
    if (column.type === 'bool') td.classList.add(value === true ? 'flag-yes' : 'flag-no');
    if (shown !== full) td.title = clip(full, 2000);
  }

  // Ascending, descending, then back to the order of the file (newest first).
  function toggleSort(id, key) {
    const current = sorts[id];
    if (!current || current.key !== key) sorts[id] = { key, dir: 'asc' };
    else if (current.dir === 'asc') sorts[id] = { key, dir: 'desc' };
    else delete sorts[id];
    D.saveSetting('sorts', sorts);
    paintRows(tables.get(id));
  }

  // ---- Evidence ------------------------------------------------------------------------

  async function readEvidence() {
    if (evidence.forAll === last.allText && evidence.findings) return evidence.findings;
    const forAll = last.allText;
    const result = await D.readFile('sift/evidence.json', MAX_EVIDENCE_BYTES);
    const value = parsedObject(result);
    evidence.findings = value ? list(value.findings).filter(D.isObject) : [];
    evidence.forAll = forAll;
    return evidence.findings;
  }

  // The finding of a row, when the evidence file was written for the rows shown: same list,
  // same position, same address and account.
  function findingOf(def, row, index, findings) {
    const finding = findings.find((f) => f.list === def.rows && f.index === index);
    if (!finding) return null;
    const account = typeof row.ids === 'string' ? row.ids : row.account;
    const same = (a, b) => (typeof a === 'string' && a !== D.DASH ? a : null) === (typeof b === 'string' && b !== D.DASH ? b : null);
    return same(finding.mac, row.mac) && same(finding.account, account) ? finding : null;
  }

  async function toggleEvidence(id, tr) {
    if (!tr || !tr.dataset.index) return;
    const t = tables.get(id);
    const open = tr.nextSibling && tr.nextSibling.classList.contains('evidence') ? tr.nextSibling : null;
    if (open) {
      open.remove();
      tr.setAttribute('aria-expanded', 'false');
      return;
    }
    const index = Number(tr.dataset.index);
    const finding = findingOf(t.def, t.rows[index] || {}, index, await readEvidence());
    const cell = el('td', { colspan: String(t.def.columns.length) });
    if (!finding) {
      cell.appendChild(el('p', { class: 'muted small' },
        'The log lines behind this row are not available yet; they are written with the next analysis.'));
    } else {
      const lines = list(finding.lines).filter(D.isObject).map((line) => el('li', null, [
        // Digits only: the number goes into sed -n 'Np' as it is.
        el('span', { class: 'line-no' }, 'Line ' + (Number.isSafeInteger(line.line) ? String(line.line) : D.DASH)),
        el('span', { class: 'line-time' }, text(line.time)),
        el('code', { class: 'line-text' }, clip(text(line.text), LINE_CHARS)),
      ]));
      const command = 'corvane explain --row ' + (Number.isSafeInteger(finding.row) ? finding.row : 1);
      const code = el('code', { class: 'command' }, command);
      const copy = el('button', { type: 'button', class: 'button small' }, 'Copy');
      copy.addEventListener('click', () => copyText(command, code, copy));
      cell.appendChild(el('ol', { class: 'evidence-lines', 'aria-label': 'Log lines, newest last' }, lines));
      cell.appendChild(el('p', { class: 'explain' }, ['Print them from the log: ', code, ' ', copy]));
    }
    // The row may have been redrawn while the file was read.
    if (!tr.isConnected || (tr.nextSibling && tr.nextSibling.classList.contains('evidence'))) return;
    tr.after(el('tr', { class: 'evidence' }, cell));
    tr.setAttribute('aria-expanded', 'true');
  }

  function copyText(value, code, button) {
    const done = () => { button.textContent = 'Copied'; };
    if (navigator.clipboard && navigator.clipboard.writeText) {
      navigator.clipboard.writeText(value).then(done, () => selectText(code));
    } else {
      selectText(code);
    }
  }

  function selectText(node) {
    const range = document.createRange();
    range.selectNodeContents(node);
    const selection = window.getSelection();
    selection.removeAllRanges();
    selection.addRange(range);
  }

  // Findings per hour, one labelled strip per kind, so the chart reads without colour.
  const TIMELINE_KINDS = [
    ['directlink', 'Foreign DirectLink'], ['awdl', 'Foreign AWDL'],
    ['culprits', 'Foreign accounts'], ['access', 'Access events'],
  ];

  function paintTimeline(timeline) {
    const host = $('timeline');
    const card = $('timeline-card');
    const data = obj(timeline);
    const series = TIMELINE_KINDS.map(([key, label]) => [label, list(data[key]).slice(0, 48).map((n) => num(n) ?? 0)]);
    const any = series.some(([, counts]) => counts.some((n) => n > 0));
    card.hidden = !timeline;
    $('timeline-note').textContent = any
      ? 'One bar per hour from ' + clip(text(data.start), 20) + '; each strip is scaled to its own peak.'
      : 'No findings in the hours the analysis keeps.';
    const left = 150, width = 560, strip = 34;
    const parts = [];
    series.forEach(([label, counts], k) => {
      const top = 6 + k * strip;
      const peak = Math.max(0, ...counts);
      parts.push(svg('text', { class: 'timeline-label', x: 0, y: top + 18 }, label + ' (max ' + peak + ')'));
      parts.push(svg('line', { class: 'timeline-axis', x1: left, y1: top + strip - 6, x2: left + width, y2: top + strip - 6 }));
      const bar = counts.length ? width / counts.length : 0;
      counts.forEach((n, h) => {
        if (n <= 0) return;
        const height = (strip - 10) * n / peak;
        parts.push(svg('rect', {
          class: 'timeline-bar timeline-' + TIMELINE_KINDS[k][0],
          x: (left + bar * h + 1).toFixed(1), y: (top + strip - 6 - height).toFixed(1),
          width: Math.max(bar - 2, 1).toFixed(1), height: height.toFixed(1),
        }, svg('title', null, n + ' in hour ' + (h + 1))));
      });
    });
    D.replaceChildren(host, parts);
  }

  // ---- Actions -------------------------------------------------------------------------

  function isTail(value) {
    return typeof value === 'string' && /^[0-9A-Fa-f]{12}$/.test(value);
  }

  // "This is my device": asks once more, since a confirmed device never raises the alarm again.
  function askTrust(id, tail) {
    const box = tables.get(id).confirm;
    if (!isTail(tail)) return;
    const yes = el('button', { type: 'button', class: 'button primary' }, 'Yes, this device is mine');
    const no = el('button', { type: 'button', class: 'button' }, 'Cancel');
    yes.addEventListener('click', () => trust(box, tail));
    no.addEventListener('click', () => { box.hidden = true; });
    D.replaceChildren(box, [
      el('p', null, ['Confirm device ', el('code', null, tail), ' as your own? Confirm only a device you have ' +
        'and signed in to yourself. If you do not recognise it, do not confirm it: generate the evidence report ' +
        'and change your account\u2019s password.']),
      el('div', { class: 'confirm-actions' }, [yes, no]),
    ]);
    box.hidden = false;
    yes.focus();
  }

  function trust(box, tail) {
    const message = D.post({ action: 'trust', tail })
      ? 'Device ' + tail + ' is confirmed as yours. It leaves this list with the analysis that follows.'
      : 'Confirming a device needs the Corvane Monitor app. Open this dashboard from its control panel, ' +
        'or run: corvane trust --tail ' + tail;
    D.replaceChildren(box, el('p', { class: 'notice', role: 'status' }, message));
  }

  function notify(node, message) {
    node.textContent = message;
    node.hidden = false;
    window.clearTimeout(node.hideTimer);
    node.hideTimer = window.setTimeout(() => { node.hidden = true; }, 12000);
  }

  function requestReport() {
    const day = last.day;
    if (D.post({ action: 'report', day })) {
      notify($('notice'), 'Report requested. It opens in your browser when it is ready.');
    } else {
      notify($('notice'), 'Generating a report needs the Corvane Monitor app. Open this dashboard from its control panel.');
    }
  }

  function requestUninstall() {
    if (D.post({ action: 'uninstall' })) {
      notify($('danger-notice'), 'The app asks you to confirm before anything is removed.');
    } else {
      notify($('danger-notice'), 'Uninstalling needs the Corvane Monitor app. Open this dashboard from its control panel.');
    }
  }

  function saveScrollSoon() {
    window.clearTimeout(saveScrollSoon.timer);
    saveScrollSoon.timer = window.setTimeout(() => D.saveSetting('scroll', Math.round(window.scrollY)), 200);
  }

  function start() {
    // The files are asked for first: they arrive while the rest of the page is set up.
    refresh();
    sorts = loadSorts(); // the session store's first read is slow: it overlaps the files' arrival
    drawRadarBackground();
    buildTables();
    $('report').addEventListener('click', requestReport);
    $('uninstall').addEventListener('click', requestUninstall);
    window.addEventListener('scroll', saveScrollSoon, { passive: true });
    window.setInterval(tickUpdated, 5000);
  }

  start();
})();
