// Helpers shared by radar.html and raw_log.html.
//
// Every value these pages show comes from files the analyser derives from log lines that
// other devices can shape, so values only ever reach the page as text nodes or attribute
// values, and every read checks the type it expects instead of trusting the file.
(function () {
  'use strict';

  const DASH = '\u2014';

  // Reads a file beside the page. XMLHttpRequest rather than fetch(): fetch refuses file://
  // URLs, and the pages must work opened straight from disk as well as inside the app.
  // Resolves to {status: 'ok', text} | {status: 'missing'} | {status: 'too-large'}; a file past
  // maxBytes is dropped while it is still being read.
  function readFile(path, maxBytes) {
    return new Promise((resolve) => {
      const request = new XMLHttpRequest();
      let done = false;
      const finish = (result) => {
        if (!done) {
          done = true;
          resolve(result);
        }
      };
      try {
        request.open('GET', path, true);
        request.overrideMimeType('text/plain; charset=utf-8');
        request.timeout = 8000;
        request.onload = () => {
          // file:// answers 0 in some engines and 200 in others; anything else is an error page.
          if (request.status !== 0 && request.status !== 200) {
            finish({ status: 'missing' });
          } else if (request.responseText.length > maxBytes) {
            finish({ status: 'too-large' });
          } else {
            finish({ status: 'ok', text: request.responseText });
          }
        };
        request.onprogress = (event) => {
          if (event.loaded > maxBytes) {
            finish({ status: 'too-large' });
            request.abort();
          }
        };
        request.onerror = () => finish({ status: 'missing' });
        request.ontimeout = () => finish({ status: 'missing' });
        request.onabort = () => finish({ status: 'missing' });
        request.send();
      } catch (e) {
        finish({ status: 'missing' });
      }
    });
  }

  function parseJson(text) {
    try {
      return JSON.parse(text);
    } catch (e) {
      return undefined;
    }
  }

  function isObject(value) {
    return value !== null && typeof value === 'object' && !Array.isArray(value);
  }

  function obj(value) {
    return isObject(value) ? value : {};
  }

  function list(value) {
    return Array.isArray(value) ? value : [];
  }

  function num(value) {
    return typeof value === 'number' && Number.isFinite(value) ? value : null;
  }

  // Counts as en-US writes them: thousands separators, at most three decimals, rounded half
  // away from zero from the number's shortest decimal form, as Intl.NumberFormat does. Written
  // out by hand because the first Intl.NumberFormat of a page loads the locale data, which costs
  // more than drawing every table; Intl still writes what has no plain decimal form (1e21 and
  // beyond, NaN, infinities).
  let numberFormat = null;

  function count(value) {
    const abs = Math.abs(value);
    if (!(abs < 1e21)) {
      numberFormat = numberFormat || new Intl.NumberFormat('en-US', { maximumFractionDigits: 3 });
      return numberFormat.format(value);
    }
    const sign = value < 0 || Object.is(value, -0) ? '-' : '';
    if (abs < 0.0005) return sign + '0'; // also keeps String() below clear of exponents
    const [whole, fraction = ''] = String(abs).split('.');
    let digits = whole + (fraction + '000').slice(0, 3); // the value in thousandths
    if (fraction.length > 3 && fraction[3] >= '5') digits = addOne(digits);
    const decimals = digits.slice(-3).replace(/0+$/, '');
    return sign + digits.slice(0, -3).replace(/\B(?=(\d{3})+$)/g, ',') + (decimals ? '.' + decimals : '');
  }

  // Adds one to a string of decimal digits: "0999" -> "1000".
  function addOne(digits) {
    let i = digits.length - 1;
    while (i >= 0 && digits[i] === '9') i--;
    const head = i < 0 ? '1' : digits.slice(0, i) + (Number(digits[i]) + 1);
    return head + '0'.repeat(digits.length - 1 - i);
  }

  // The text to show for a value: strings as they are (empty ones as a dash), finite
  // numbers with thousands separators, booleans as words; anything else is a dash.
  function text(value) {
    if (typeof value === 'string') return value === '' ? DASH : value;
    if (typeof value === 'number') return Number.isFinite(value) ? count(value) : DASH;
    if (typeof value === 'boolean') return value ? 'Yes' : 'No';
    return DASH;
  }

  // Shortens a text for display; the full text stays available to the caller for a tooltip.
  function clip(value, max) {
    return value.length > max ? value.slice(0, max - 1) + '\u2026' : value;
  }

  // Builds an element. attrs are set with setAttribute (never as markup); children are nodes
  // or strings, and strings become text nodes.
  function el(tag, attrs, children) {
    const node = document.createElement(tag);
    setAttrs(node, attrs);
    append(node, children);
    return node;
  }

  const SVG_NS = 'http://www.w3.org/2000/svg';

  function svg(tag, attrs, children) {
    const node = document.createElementNS(SVG_NS, tag);
    setAttrs(node, attrs);
    append(node, children);
    return node;
  }

  function setAttrs(node, attrs) {
    if (!attrs) return;
    for (const name of Object.keys(attrs)) {
      const value = attrs[name];
      if (value === null || value === undefined || value === false) continue;
      node.setAttribute(name, value === true ? '' : String(value));
    }
  }

  function append(node, children) {
    if (children === null || children === undefined) return;
    const items = Array.isArray(children) ? children : [children];
    for (const child of items) {
      if (child === null || child === undefined || child === false) continue;
      node.appendChild(typeof child === 'string' ? document.createTextNode(child) : child);
    }
  }

  function replaceChildren(node, children) {
    node.textContent = '';
    append(node, children);
  }

  // The app injects window.webkit.messageHandlers.cv; a plain browser has none.
  function bridge() {
    const webkit = window.webkit;
    const handlers = webkit && webkit.messageHandlers;
    const cv = handlers && handlers.cv;
    return cv && typeof cv.postMessage === 'function' ? cv : null;
  }

  function post(message) {
    const cv = bridge();
    if (!cv) return false;
    try {
      cv.postMessage(message);
      return true;
    } catch (e) {
      return false;
    }
  }

  // "40 s ago", "5 min ago", "3 h ago", "2 days ago".
  function ago(thenMs, nowMs) {
    const seconds = Math.max(0, Math.round((nowMs - thenMs) / 1000));
    if (seconds < 5) return 'just now';
    if (seconds < 60) return seconds + ' s ago';
    const minutes = Math.floor(seconds / 60);
    if (minutes < 60) return minutes + ' min ago';
    const hours = Math.floor(minutes / 60);
    if (hours < 48) return hours + ' h ago';
    return Math.floor(hours / 24) + ' days ago';
  }

  // sessionStorage survives the app's reloads of the page; it may be unavailable.
  function loadSetting(key) {
    try {
      const raw = window.sessionStorage.getItem('corvane.' + key);
      return raw === null ? undefined : JSON.parse(raw);
    } catch (e) {
      return undefined;
    }
  }

  function saveSetting(key, value) {
    try {
      window.sessionStorage.setItem('corvane.' + key, JSON.stringify(value));
    } catch (e) {
      // Private mode or a full store: the setting lasts until the page goes.
    }
  }

  window.CorvaneDash = Object.freeze({
    DASH, readFile, parseJson, isObject, obj, list, num, count, text, clip, el, svg, replaceChildren,
    bridge, post, ago, loadSetting, saveSetting,
  });
})();
