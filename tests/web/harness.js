// Shared by the browser tests and the page benchmark: launches Debian's chromium through
// playwright-core and lays out data folders the way the app does (the pages copied in beside
// a sift/ folder and CV_view.log).
'use strict';

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = requirePlaywright();

function requirePlaywright() {
  try {
    return require('playwright-core');
  } catch (e) {
    throw new Error('playwright-core is missing from tests/web/node_modules: run scripts/install-deps');
  }
}

const ROOT = path.resolve(__dirname, '..', '..');
const RESOURCES = path.join(ROOT, 'resources');
const PASS_GOLDEN = path.join(ROOT, 'tests', 'data', 'pass');
const FIXTURES = path.join(__dirname, 'fixtures');
const SCREENSHOTS = process.env.CORVANE_SCREENSHOTS || path.join(ROOT, 'build', 'screenshots', 'web');

// Everything the app copies from resources/ into the data folder for the two pages: the one
// list the build and the app read too.
const PAGE_ASSETS = fs.readFileSync(path.join(RESOURCES, 'dashboard_pages.txt'), 'utf8')
  .split('\n').map((line) => line.trim()).filter(Boolean);

const CHROMIUM = process.env.CORVANE_CHROMIUM || '/usr/bin/chromium';
// Headless as root, with nothing that reaches the network.
const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--allow-file-access-from-files',
];

async function launch() {
  if (!fs.existsSync(CHROMIUM)) {
    throw new Error(`${CHROMIUM} is missing: run scripts/install-deps (it installs Debian's chromium)`);
  }
  return chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_ARGS, headless: true });
}

const madeDirs = [];
process.on('exit', () => {
  for (const dir of madeDirs) fs.rmSync(dir, { recursive: true, force: true });
});

// A temporary folder, removed when the process ends.
function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  madeDirs.push(dir);
  return dir;
}

// A data folder: the page assets plus the given files, {relative path: text or Buffer}.
function dataFolder(files) {
  const dir = tempDir('corvane-web-');
  for (const name of PAGE_ASSETS) fs.copyFileSync(path.join(RESOURCES, name), path.join(dir, name));
  writeFiles(dir, files || {});
  return dir;
}

function writeFiles(dir, files) {
  for (const [rel, content] of Object.entries(files)) {
    const target = path.join(dir, rel);
    fs.mkdirSync(path.dirname(target), { recursive: true });
    fs.writeFileSync(target, content);
  }
}

// The three dashboard files (and the view log, where there is one) of a folder laid out as
// tests/data/pass/<case>/expected or tests/web/fixtures/<name>/.
function dashboardFiles(dir) {
  const files = {};
  const sift = fs.existsSync(path.join(dir, 'sift')) ? path.join(dir, 'sift') : dir;
  for (const name of ['ALL.json', 'days.json', 'summary.json']) {
    files['sift/' + name] = fs.readFileSync(path.join(sift, name));
  }
  if (fs.existsSync(path.join(dir, 'CV_view.log'))) files['CV_view.log'] = fs.readFileSync(path.join(dir, 'CV_view.log'));
  return files;
}

function passGolden(name) {
  return dashboardFiles(path.join(PASS_GOLDEN, name, 'expected'));
}

function fixture(name) {
  return dashboardFiles(path.join(FIXTURES, name));
}

function fileUrl(dir, page) {
  return 'file://' + path.join(dir, page);
}

// Collects what must never happen on a page: script errors, console errors (CSP violations
// are reported there), dialogs, and requests that leave the data folder.
function watch(page, dir) {
  const problems = [];
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('console', (m) => {
    if (m.type() === 'error' && !/ERR_FILE_NOT_FOUND/.test(m.text())) problems.push('console: ' + m.text());
  });
  page.on('dialog', (d) => {
    problems.push('dialog: ' + d.message());
    d.dismiss().catch(() => {});
  });
  page.on('request', (r) => {
    const url = r.url();
    if (!url.startsWith('file://' + dir + '/')) problems.push('request outside the data folder: ' + url);
  });
  return problems;
}

// A full-page picture first makes the viewport as tall as the page: the dashboard draws a card
// only once it comes near the viewport (content-visibility), and chromium captures beyond the
// viewport without drawing what lies there.
async function screenshot(page, name, options = {}) {
  fs.mkdirSync(SCREENSHOTS, { recursive: true });
  const file = path.join(SCREENSHOTS, name + '.png');
  const viewport = page.viewportSize();
  if (options.fullPage && viewport) {
    // Drawing a card may change its height, so grow until the page stops growing.
    for (let tries = 0; tries < 5; tries++) {
      const height = await page.evaluate(() => document.documentElement.scrollHeight);
      if (height === page.viewportSize().height) break;
      await page.setViewportSize({ width: viewport.width, height });
      await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
    }
  }
  await page.screenshot({ path: file, ...options });
  if (options.fullPage && viewport) await page.setViewportSize(viewport);
}

module.exports = {
  ROOT, RESOURCES, PAGE_ASSETS, launch, dataFolder, writeFiles, passGolden, fixture, fileUrl, watch,
  screenshot, tempDir,
};
