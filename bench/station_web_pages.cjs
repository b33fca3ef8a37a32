// Opens a station's live page N times in the system's chromium (puppeteer-core) and, once the
// station has done the units asked for, prints every page's delays as one JSON object: how
// long each message took from the station's stamp to the page's handler (window.tarvoloLags).
//   node station_web_pages.cjs '{"url": ..., "pages": 3, "units": N}'
'use strict';
const path = require('path');
const puppeteer = require(path.join(process.env.TARVOLO_NODE, 'node_modules', 'puppeteer-core'));

const args = JSON.parse(process.argv[2]);

(async () => {
  const browser = await puppeteer.launch({
    executablePath: process.env.TARVOLO_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
      '--disable-background-timer-throttling', '--disable-renderer-backgrounding'],
  });
  const result = { lags: [] };
  try {
    const pages = [];
    for (let i = 0; i < args.pages; ++i) {
      const page = await browser.newPage();
      await page.setViewport({ width: 1280, height: 900 });
      await page.goto(args.url, { waitUntil: 'load' });
      pages.push(page);
    }
    process.stderr.write('pages open\n');
    for (const page of pages)
      await page.waitForFunction((n) => document.getElementById('done').textContent === String(n),
        { timeout: 600000, polling: 500 }, args.units);
    for (const page of pages) result.lags.push(await page.evaluate(() => window.tarvoloLags.slice()));
  } finally {
    await browser.close();
  }
  process.stdout.write(JSON.stringify(result) + '\n');
})().catch((e) => { process.stdout.write(JSON.stringify({ error: String(e) }) + '\n'); process.exit(1); });
