// Drives the system's chromium (puppeteer-core, no browser download) through a station's live
// page and prints what it saw as one JSON object: the login, the tiles as they change, the
// run's figures, whether any outside text ran as a script, and the Content-Security-Policy's
// refusals. The Python test that starts the station judges the result.
//   node station_page_check.cjs '{"url": ..., "token": ..., "units": N, "screenshot": PATH}'
// With "glance": true it only waits for the tiles and one completed unit (the Windows build's
// page under Wine, whose units the Wine test itself judges).
'use strict';
const path = require('path');
const puppeteer = require(path.join(process.env.TARVOLO_NODE, 'node_modules', 'puppeteer-core'));

const args = JSON.parse(process.argv[2]);
const seen = { consoleErrors: [] };

async function login(page) {
  const first = await page.goto(args.url, { waitUntil: 'load' });
  seen.firstStatus = first.status();
  if (!args.token) return;
  await page.type('#token', args.token);
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('button[type=submit]')]);
  const cookie = (await page.cookies()).find((c) => c.name === 'tarvolo_token');
  seen.cookie = cookie ? { httpOnly: cookie.httpOnly, sameSite: cookie.sameSite } : null;
}

// Samples every flashing tile's bar until one has moved forward.
async function progressMoves(page) {
  const values = new Map();
  const until = Date.now() + 30000;
  while (Date.now() < until) {
    const bars = await page.$$eval('.tile.flashing progress', (all) => all.map((p) => [p.closest('.tile').dataset.port, p.value]));
    for (const [port, value] of bars) {
      if (value > 0 && values.has(port) && value > values.get(port)) return true;
      if (value > 0) values.set(port, value);
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  return false;
}

async function cspProbe(page) {
  // A script the page did not ship, added as injected markup would add it: refused.
  await page.evaluate(() => {
    const s = document.createElement('script');
    s.textContent = 'window.__pwned = "inline script"';
    document.body.append(s);
  });
  await new Promise((r) => setTimeout(r, 300));
}

// The tiles are there and one unit has completed: enough for a page the Wine test reads.
async function glance(page) {
  await page.waitForSelector('.tile.completed', { timeout: 90000 });
  seen.completed = await page.$$eval('.tile.completed', (all) => all.length);
}

// Everything the page must show of the run, then the policy's probe.
async function judge(page) {
  seen.progressMoved = await progressMoves(page);
  await page.waitForSelector('.tile.failed', { timeout: 60000 });
  await page.waitForFunction((n) => document.getElementById('done').textContent === String(n),
    { timeout: 90000 }, args.units);
  await new Promise((r) => setTimeout(r, 1500));  // the charts' once-a-second redraw
  seen.tileTexts = await page.$$eval('.tile', (all) => all.map((t) => ({
    look: t.dataset.look, selector: t.querySelector('.selector').textContent,
    headline: t.querySelector('.headline').textContent, last: t.querySelector('.last').textContent })));
  seen.run = await page.evaluate(() => Object.fromEntries(
    ['station-id', 'operator', 'lot', 'done', 'failed', 'pass-rate', 'per-hour', 'release-sha256']
      .map((id) => [id, document.getElementById(id).textContent])));
  seen.scripts = await page.$$eval('script', (all) => all.map((s) => s.getAttribute('src')));
  // Each chart shows the run: as many bars or points as it has things to show.
  seen.charted = await page.evaluate(() => Object.fromEntries(Object.entries(charts).map(
    ([name, chart]) => [name, chart.data.datasets[0].data.filter((v) => (typeof v === 'object' ? v.y : v) > 0).length])));
  if (args.screenshot) await page.screenshot({ path: args.screenshot, fullPage: true });
  seen.pageErrors = seen.consoleErrors.filter((t) => !t.startsWith('Failed to load resource'));
  seen.pwnedBefore = await page.evaluate(() => window.__pwned === undefined ? null : String(window.__pwned));
  await cspProbe(page);
  seen.pwned = await page.evaluate(() => window.__pwned === undefined ? null : String(window.__pwned));
  seen.violations = await page.evaluate(() => window.__violations);
}

(async () => {
  const browser = await puppeteer.launch({
    executablePath: process.env.TARVOLO_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 900 });
    page.on('console', (m) => { if (m.type() === 'error') seen.consoleErrors.push(m.text()); });
    page.on('pageerror', (e) => seen.consoleErrors.push(String(e)));
    await page.evaluateOnNewDocument(() => {
      window.__violations = [];
      document.addEventListener('securitypolicyviolation', (e) => window.__violations.push(e.violatedDirective));
    });
    await login(page);
    await page.waitForFunction(() => document.querySelectorAll('.tile').length > 0, { timeout: 20000 });
    seen.tiles = await page.$$eval('.tile', (all) => all.length);
    if (args.glance) await glance(page);
    else await judge(page);
  } finally {
    await browser.close();
  }
  process.stdout.write(JSON.stringify(seen) + '\n');
})().catch((e) => {
  process.stdout.write(JSON.stringify(Object.assign(seen, { error: String(e && e.stack || e) })) + '\n');
  process.exit(1);
});
