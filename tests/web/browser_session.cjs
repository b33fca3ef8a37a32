// What both page checks do the same way: chromium (puppeteer-core, never a browser download)
// with a page that notes its errors and the Content-Security-Policy's refusals, the login
// once, the probe of an injected script, and the one JSON object printed at the end.
'use strict';
const path = require('path');
const puppeteer = require(path.join(process.env.TARVOLO_NODE, 'node_modules', 'puppeteer-core'));

// The first page, tried again while nothing listens yet for up to `args.serverWait` seconds:
// the browser starts while the server does, not after it (a short run may be over by then).
async function firstVisit(page, args) {
  const until = Date.now() + (args.serverWait || 0) * 1000;
  for (;;) {
    try {
      return await page.goto(args.url, { waitUntil: 'load' });
    } catch (e) {
      if (!String(e).includes('ERR_CONNECTION_REFUSED') || Date.now() >= until) throw e;
      await new Promise((r) => setTimeout(r, 100));
    }
  }
}

// The login page once, then the session's cookie (never the token itself).
async function login(page, args, seen) {
  const first = await firstVisit(page, args);
  seen.firstStatus = first.status();
  if (!args.token) return;
  await page.type('#token', args.token);
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('button[type=submit]')]);
  const cookie = (await page.cookies()).find((c) => c.name === 'tarvolo_session');
  seen.cookie = cookie ? {
    httpOnly: cookie.httpOnly, sameSite: cookie.sameSite, theToken: cookie.value.includes(args.token),
    hours: Math.round((cookie.expires - Date.now() / 1000) / 3600),
  } : null;
}

// A script the page did not ship, added as injected markup would add it: it must not run,
// before or after, and the policy must say it refused it.
async function scriptProbe(page, seen) {
  const pwned = () => page.evaluate(() => window.__pwned === undefined ? null : String(window.__pwned));
  seen.pageErrors = seen.consoleErrors.filter((t) => !t.startsWith('Failed to load resource'));
  seen.pwnedBefore = await pwned();
  await page.evaluate(() => {
    const s = document.createElement('script');
    s.textContent = 'window.__pwned = "inline script"';
    document.body.append(s);
  });
  await new Promise((r) => setTimeout(r, 300));
  seen.pwned = await pwned();
  seen.violations = await page.evaluate(() => window.__violations);
}

// Runs `drive(page)` in a fresh headless chromium and prints `seen` (with the error, if any).
function run(seen, viewport, drive) {
  seen.consoleErrors = [];
  (async () => {
    const browser = await puppeteer.launch({
      executablePath: process.env.TARVOLO_CHROMIUM || '/usr/bin/chromium',
      headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
    });
    try {
      const page = await browser.newPage();
      await page.setViewport(viewport);
      page.on('console', (m) => { if (m.type() === 'error') seen.consoleErrors.push(m.text()); });
      page.on('pageerror', (e) => seen.consoleErrors.push(String(e)));
      await page.evaluateOnNewDocument(() => {
        window.__violations = [];
        document.addEventListener('securitypolicyviolation', (e) => window.__violations.push(e.violatedDirective));
      });
      await drive(page);
    } finally {
      await browser.close();
    }
    process.stdout.write(JSON.stringify(seen) + '\n');
  })().catch((e) => {
    process.stdout.write(JSON.stringify(Object.assign(seen, { error: String(e && e.stack || e) })) + '\n');
    process.exit(1);
  });
}

module.exports = { login, scriptProbe, run };
