// The analyser's view log (CV_view.log), newest line first, with a filter box. The view log holds
// at most 5000 lines but a line can be as long as whatever the log stream carried, so long lines
// are shown cut (the filter still searches them whole).
(function () {
  'use strict';

  const D = window.CorvaneDash;
  const { el } = D;

  const REFRESH_MS = 10000;
  const MAX_CHARS = 64 * 1024 * 1024;
  const LINE_CHARS = 4000;
  const FILTER_DELAY_MS = 80;
  // The words that make the analysis keep a line in its view.
  const MARKERS = /CUBonjourDevice|DeviceAuthTag|< AWDL >|Screen \(7\)|NeedsKeyboard|found AWDL|found DirectLink|AcLv|AuthTag|Evaluating/g;
  const CAPTURE = /\u2014 CV-APP capture (?:started|stopped)/;
  const STAMP = /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \| /;

  const $ = (id) => document.getElementById(id);
  let lastText = null;
  let entries = []; // {node, haystack}
  let filterTimer = 0;

  function lineNode(line) {
    const shown = line.length > LINE_CHARS ? line.slice(0, LINE_CHARS) : line;
    const li = el('li', CAPTURE.test(shown) ? { class: 'capture' } : null);
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
        ' \u2026 ' + (line.length - shown.length).toLocaleString('en-US') + ' more characters'));
    }
    return li;
  }

  function render(text) {
    const lines = text.split('\n').filter((line) => line !== '' && line !== '\r');
    lines.reverse();
    const fragment = document.createDocumentFragment();
    entries = lines.map((line) => {
      const node = lineNode(line);
      fragment.appendChild(node);
      return { node, haystack: line.toLowerCase() };
    });
    D.replaceChildren($('log'), fragment);
    const empty = $('empty');
    empty.hidden = entries.length > 0;
    empty.textContent = 'The view log is empty: no line has caught the analysis yet.';
    applyFilter();
  }

  function applyFilter() {
    const query = $('filter').value.trim().toLowerCase();
    let shown = 0;
    for (const entry of entries) {
      const match = query === '' || entry.haystack.includes(query);
      if (entry.node.hidden === match) entry.node.hidden = !match;
      if (match) shown++;
    }
    const total = entries.length.toLocaleString('en-US');
    $('count').textContent = query === '' ? total + (entries.length === 1 ? ' line' : ' lines')
      : shown.toLocaleString('en-US') + ' of ' + total + ' lines match';
    $('count').dataset.shown = String(shown);
  }

  async function refresh() {
    const result = await D.readFile('CV_view.log', MAX_CHARS);
    if (result.status === 'ok') {
      if (result.text !== lastText) {
        lastText = result.text;
        render(result.text);
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
