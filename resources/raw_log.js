// The analyser's view log (CV_view.log), newest line first, with a filter box. The view log holds
// at most 5000 lines but a line can be as long as whatever the log stream carried, so long lines
// are shown cut (the filter still searches them whole).
(function () {
  'use strict';

  const D = window.CorvaneDash;
  const { el } = D;

  const REFRESH_MS = 10000;
  const MAX_BYTES = 64 * 1024 * 1024;
  const LINE_CHARS = 1000;
  const FILTER_DELAY_MS = 80;
  const FIRST_SLICE = 200;
  const SLICE = 600;
  // Lines are grouped so that the browser can skip styling and laying out the groups that are
  // off screen (content-visibility); one group per line costs more than it saves.
  const CHUNK = 100;
  const LINE_PX = 20;
  // The words that make the analysis keep a line in its view.
  const MARKERS = /CUBonjourDevice|DeviceAuthTag|< AWDL >|Screen \(7\)|NeedsKeyboard|found AWDL|found DirectLink|AcLv|AuthTag|Evaluating/g;
  const CAPTURE = /\u2014 CV-APP capture (?:started|stopped)/;
  const STAMP = /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \| /;

  const $ = (id) => document.getElementById(id);
  let lastText = null;
  let entries = []; // {line, haystack, node}: node is made when its slice is drawn
  let chunks = []; // {node, from, to}: CHUNK lines each
  let renderToken = 0;
  let filterTimer = 0;

  function lineNode(line) {
    const shown = line.length > LINE_CHARS ? line.slice(0, LINE_CHARS) : line;
    const li = el('div', { class: CAPTURE.test(shown) ? 'line capture' : 'line', role: 'listitem' });
    let rest = shown;
    const stamp = STAMP.exec(rest);
    if (stamp) {
      li.appendChild(el('span', { class: 'stamp' }, stamp[0]));
      rest = rest.slice(stamp[0].length);
    }
    let at = 0;
    MARKERS.lastIndex = 0;
    for (let m = MARKERS.exec(rest); m; m = MARKERS.exec(rest)) {
      if (m.index > at) li.appendChild(document.createTextNode(rest.slice(at, m.index)));
      li.appendChild(el('mark', null, m[0]));
      at = m.index + m[0].length;
    }
    if (at < rest.length) li.appendChild(document.createTextNode(rest.slice(at)));
    if (shown !== line) {
      li.appendChild(el('span', { class: 'cut' },
        ' \u2026 ' + D.count(line.length - shown.length) + ' more characters'));
    }
    return li;
  }

  // The first screenful is drawn at once and the rest in slices between which the page keeps
  // answering input: laying out every line of a full view log takes a noticeable while.
  function render(text, firstSlice) {
    const lines = text.split('\n').filter((line) => line !== '' && line !== '\r');
    lines.reverse();
    entries = lines.map((line) => ({ line, haystack: line.toLowerCase(), node: null }));
    chunks = [];
    renderToken++;
    D.replaceChildren($('log'), []);
    const empty = $('empty');
    empty.hidden = entries.length > 0;
    empty.textContent = 'The view log is empty: no line has caught the analysis yet.';
    applyFilter();
    return appendSlice(0, firstSlice, renderToken);
  }

  function appendSlice(from, size, token) {
    return new Promise((resolve) => {
      const step = (start, count) => {
        if (token !== renderToken) return resolve(false);
        const query = currentQuery();
        const end = Math.min(entries.length, start + count);
        const fragment = document.createDocumentFragment();
        for (let from = start; from < end; from += CHUNK) {
          const chunk = { node: el('div', { class: 'chunk', role: 'none' }), from, to: Math.min(end, from + CHUNK) };
          let shown = 0;
          for (let i = chunk.from; i < chunk.to; i++) {
            const entry = entries[i];
            entry.node = lineNode(entry.line);
            entry.node.hidden = !matches(entry, query);
            if (!entry.node.hidden) shown++;
            chunk.node.appendChild(entry.node);
          }
          sizeChunk(chunk, shown);
          chunks.push(chunk);
          fragment.appendChild(chunk.node);
        }
        $('log').appendChild(fragment);
        if (start === 0 && performance.getEntriesByName('first-screen-drawn').length === 0) {
          performance.mark('first-screen-drawn');
        }
        if (end < entries.length) window.setTimeout(() => step(end, SLICE), 0);
        else resolve(true);
      };
      step(from, size);
    });
  }

  function currentQuery() {
    return $('filter').value.trim().toLowerCase();
  }

  function matches(entry, query) {
    return query === '' || entry.haystack.includes(query);
  }

  // A group without a matching line goes; the others get a size estimate to stand in for
  // them until they come near the screen.
  function sizeChunk(chunk, shown) {
    chunk.node.hidden = shown === 0;
    chunk.node.style.containIntrinsicSize = 'auto ' + shown * LINE_PX + 'px';
  }

  function applyFilter() {
    const query = currentQuery();
    let shown = 0;
    for (const entry of entries) {
      const match = matches(entry, query);
      if (entry.node && entry.node.hidden === match) entry.node.hidden = !match;
      if (match) shown++;
    }
    for (const chunk of chunks) {
      let inChunk = 0;
      for (let i = chunk.from; i < chunk.to; i++) if (!entries[i].node.hidden) inChunk++;
      sizeChunk(chunk, inChunk);
    }
    const total = D.count(entries.length);
    $('count').textContent = query === '' ? total + (entries.length === 1 ? ' line' : ' lines')
      : D.count(shown) + ' of ' + total + ' lines match';
    $('count').dataset.shown = String(shown);
  }

  async function refresh() {
    const result = await D.readFile('CV_view.log', MAX_BYTES);
    if (result.status === 'ok') {
      if (result.text !== lastText) {
        const first = lastText === null;
        lastText = result.text;
        document.body.dataset.state = 'drawing';
        if (first) {
          if (await render(result.text, FIRST_SLICE)) performance.mark('dashboard-drawn');
        } else {
          // A refresh redraws in one go so that the reader stays where they were.
          const y = window.scrollY;
          await render(result.text, Infinity);
          window.scrollTo(0, y);
        }
      }
      document.body.dataset.state = 'ready';
    } else if (lastText === null) {
      D.replaceChildren($('log'), []);
      entries = [];
      const empty = $('empty');
      empty.hidden = false;
      empty.textContent = result.status === 'too-large'
        ? 'The view log is too large to show here.'
        : 'No view log yet. It appears after the first analysis.';
      $('count').textContent = '0 lines';
      document.body.dataset.state = 'waiting';
    }
    window.setTimeout(refresh, REFRESH_MS);
  }

  $('filter').addEventListener('input', () => {
    window.clearTimeout(filterTimer);
    filterTimer = window.setTimeout(applyFilter, FILTER_DELAY_MS);
  });
  refresh();
})();
