// Drives the system's chromium (puppeteer-core, no browser download) through the line's
// dashboard and prints what it saw as one JSON object: after the login, the stations' rows, the line's figures,
// the lots and releases, a search for the failed units and its CSV export, whether any outside
// text ran as a script, and the Content-Security-Policy's refusals. test_line_page.py judges.
//   node line_page_check.cjs '{"url": ..., "stations": N, "screenshot": PATH}'
'use strict';
const path = require('path');
const puppeteer = require(path.join(process.env.TARVOLO_NODE, 'node_modules', 'puppeteer-core'));

const args = JSON.parse(process.argv[2]);
const seen = { consoleErrors: [] };

const cellsOf = (selector) => (rows) => rows.map((r) => [...r.querySelectorAll('td')].map((c) => c.textContent));

// The login page once, then the cookie that carries the token.
async function login(page) {
  const first = await page.goto(args.url, { waitUntil: 'load' });
  seen.firstStatus = first.status();
  if (!args.token) return;
  await page.type('#token', args.token);
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('button[type=submit]')]);
}

async function readLine(page) {
  await page.waitForFunction((n) => document.querySelectorAll('#stations tbody tr').length >= n,
    { timeout: 20000 }, args.stations);
  seen.stations = (await page.$$eval('#stations tbody tr', cellsOf())).map((c) => ({
    station: c[0], state: c[1], operator: c[3], lot: c[4], units: c[6], failed: c[7] }));
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

async function cspProbe(page) {
  // A script the page did not ship, added as injected markup would add it: refused.
  await page.evaluate(() => {
    const s = document.createElement('script');
    s.textContent = 'window.__pwned = "inline script"';
    document.body.append(s);
  });
  await new Promise((r) => setTimeout(r, 300));
}

(async () => {
  const browser = await puppeteer.launch({
    executablePath: process.env.TARVOLO_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 1000 });
    page.on('console', (m) => { if (m.type() === 'error') seen.consoleErrors.push(m.text()); });
    page.on('pageerror', (e) => seen.consoleErrors.push(String(e)));
    await page.evaluateOnNewDocument(() => {
      window.__violations = [];
      document.addEventListener('securitypolicyviolation', (e) => window.__violations.push(e.violatedDirective));
    });
    await login(page);
    await readLine(page);
    await searchFailed(page);
    seen.scripts = await page.$$eval('script', (all) => all.map((s) => s.getAttribute('src')));
    if (args.screenshot) await page.screenshot({ path: args.screenshot, fullPage: true });
    seen.pageErrors = seen.consoleErrors.filter((t) => !t.startsWith('Failed to load resource'));
    seen.pwnedBefore = await page.evaluate(() => window.__pwned === undefined ? null : String(window.__pwned));
    await cspProbe(page);
    seen.pwned = await page.evaluate(() => window.__pwned === undefined ? null : String(window.__pwned));
    seen.violations = await page.evaluate(() => window.__violations);
  } finally {
    await browser.close();
  }
  process.stdout.write(JSON.stringify(seen) + '\n');
})().catch((e) => {
  process.stdout.write(JSON.stringify(Object.assign(seen, { error: String(e && e.stack || e) })) + '\n');
  process.exit(1);
});
