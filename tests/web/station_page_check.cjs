// Drives the system's chromium (puppeteer-core, no browser download) through a station's live
// page and prints what it saw as one JSON object: the login, the tiles as they change, the
// run's figures, whether any outside text ran as a script, and the Content-Security-Policy's
// refusals. The Python test that starts the station judges the result.
//   node station_page_check.cjs '{"url": ..., "token": ..., "units": N, "screenshot": PATH}'
// With "glance": true it only waits for the tiles and one completed unit (the Windows build's
// page under Wine, whose units the Wine test itself judges).
'use strict';
const { login, scriptProbe, run } = require('./browser_session.cjs');

const args = JSON.parse(process.argv[2]);
const seen = {};

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
  await scriptProbe(page, seen);
}

run(seen, { width: 1280, height: 900 }, async (page) => {
  await login(page, args, seen);
  await page.waitForFunction(() => document.querySelectorAll('.tile').length > 0, { timeout: 20000 });
  seen.tiles = await page.$$eval('.tile', (all) => all.length);
  if (args.glance) await glance(page);
  else await judge(page);
});
