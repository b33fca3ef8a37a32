// Drives the system's chromium (puppeteer-core, no browser download) through the line's
// dashboard and prints what it saw as one JSON object: after the login, the stations' rows, the line's figures,
// the lots and releases, a search for the failed units and its CSV export, whether any outside
// text ran as a script, and the Content-Security-Policy's refusals. test_line_page.py judges.
//   node line_page_check.cjs '{"url": ..., "stations": N, "screenshot": PATH}'
'use strict';
const { login, scriptProbe, run } = require('./browser_session.cjs');

const args = JSON.parse(process.argv[2]);
const seen = {};

const cellsOf = (selector) => (rows) => rows.map((r) => [...r.querySelectorAll('td')].map((c) => c.textContent));

async function readLine(page) {
  await page.waitForFunction((n) => document.querySelectorAll('#stations tbody tr').length >= n,
    { timeout: 20000 }, args.stations);
  seen.stations = (await page.$$eval('#stations tbody tr', cellsOf())).map((c) => ({
    station: c[0], state: c[1], clock: c[3], operator: c[4], lot: c[5], units: c[7], failed: c[8] }));
  seen.line = { units: await page.$eval('#line-units', (e) => e.textContent) };
  seen.lots = (await page.$$eval('#lots tbody tr', cellsOf())).map((c) => c[0]);
  seen.releases = (await page.$$eval('#releases tbody tr', cellsOf())).map((c) => [c[0], c[1]]);
}

async function searchFailed(page) {
  await page.type('#search input[name=result]', 'failed');
  await page.click('#search button[type=submit]');
  await page.waitForFunction(() => document.getElementById('search-note').textContent.startsWith('units 1 to') &&
    [...document.querySelectorAll('#units tbody tr td:nth-child(4)')].every((c) => c.textContent === 'failed'),
  { timeout: 10000 });
  seen.found = (await page.$$eval('#units tbody tr', cellsOf())).map((c) => ({ lot: c[6], attempt: c[11] }));
  seen.csv = await page.evaluate(async () => (await fetch(document.getElementById('csv').href)).text());
}

run(seen, { width: 1280, height: 1000 }, async (page) => {
  await login(page, args, seen);
  await readLine(page);
  await searchFailed(page);
  seen.scripts = await page.$$eval('script', (all) => all.map((s) => s.getAttribute('src')));
  if (args.screenshot) await page.screenshot({ path: args.screenshot, fullPage: true });
  await scriptProbe(page, seen);
});
