'use strict';
// Whether what the page shows is current: the loading state while a slow
// program runs (a git that waits for the test's word), how old the rows
// are, and the banner after a failed rescan, with the old rows kept.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { STANDARD, tempBase } = require('./lib/fixtures');
const { startHost } = require('./lib/host');
const { openDashboard, trackedPage, waitLoaded, rowNames } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');
const { loadParts, PURE } = require('./lib/parts');

let fx, host, browser, slow, hold;

// A git that waits while the file $QUARLO_TEST_HOLD exists (20 s at most),
// then runs the real one.
function makeSlowGit(dir) {
  const real = execFileSync('sh', ['-c', 'command -v git'], { encoding: 'utf8' }).trim();
  const script = path.join(dir, 'git');
  fs.writeFileSync(
    script,
    '#!/bin/sh\nn=0\nwhile [ -e "$QUARLO_TEST_HOLD" ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n + 1)); done\n' +
      `exec ${real} "$@"\n`,
  );
  fs.chmodSync(script, 0o755);
}

before(async () => {
  slow = tempBase('quarlo-slow-git-');
  makeSlowGit(slow);
  hold = path.join(slow, 'hold');
  ({ fx, host, browser } = await startSuite(STANDARD, {
    env: { PATH: `${slow}:${process.env.PATH}`, QUARLO_TEST_HOLD: hold },
  }));
});

after(async () => {
  await stopSuite({ fx, host, browser });
  fs.rmSync(slow, { recursive: true, force: true });
});

function look(page) {
  return page.evaluate(() => ({
    skeleton: document.querySelectorAll('#rows tr.skel').length,
    rows: document.querySelectorAll('#rows tr.row').length,
    pending: document.getElementById('chips').classList.contains('pending'),
    old: document.getElementById('chips').classList.contains('old'),
    stampOld: document.getElementById('stamp').classList.contains('old'),
    busy: document.getElementById('chips').getAttribute('aria-busy'),
    bar: document.getElementById('loadbar').getClientRects().length > 0,
    rescan: !document.getElementById('rescan').disabled,
    stamp: document.getElementById('stamp').textContent,
    empty: document.getElementById('empty').getClientRects().length > 0,
  }));
}

test('placeholder rows, pending chips and a bar while the listing loads; the age of the rows after', async () => {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  try {
    const page = await trackedPage(context);
    fs.writeFileSync(hold, '');
    await page.goto(host.url);
    await page.waitForSelector('#rows tr.skel');
    assert.deepEqual(await look(page), {
      skeleton: 6, rows: 0, pending: true, old: false, stampOld: false, busy: 'true', bar: true, rescan: false,
      stamp: 'loading\u2026', empty: false,
    });
    fs.rmSync(hold);
    await waitLoaded(page);
    const loaded = await look(page);
    assert.match(loaded.stamp, /^checked \d+s ago$/);
    assert.deepEqual({ ...loaded, stamp: '' }, {
      skeleton: 0, rows: 6, pending: false, old: false, stampOld: false, busy: 'false', bar: false, rescan: true, stamp: '',
      empty: false,
    });

    // The age is kept current.
    const first = loaded.stamp;
    await page.waitForFunction((s) => document.getElementById('stamp').textContent !== s, first, { timeout: 5000 });

    // A rescan keeps the rows while it runs.
    fs.writeFileSync(hold, '');
    await page.click('#rescan');
    await page.waitForFunction(() => document.getElementById('rescan').disabled);
    assert.deepEqual(await look(page), {
      skeleton: 0, rows: 6, pending: false, old: false, stampOld: false, busy: 'true', bar: true, rescan: false,
      stamp: 'rescanning\u2026', empty: false,
    });
    fs.rmSync(hold);
    await waitLoaded(page);
    assert.match((await look(page)).stamp, /^checked \ds ago$/);
    assert.deepEqual(page.problems, []);
  } finally {
    fs.rmSync(hold, { force: true });
    await context.close();
  }
});

test('a failed rescan shows a banner at the top and keeps the last good rows', async () => {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  const own = await startHost({ env: fx.env });
  try {
    const page = await openDashboard(context, own.url);
    const names = await rowNames(page);
    assert.equal(names.length, 6);
    assert.equal(await page.isVisible('#banner'), false);

    await own.stop();
    await page.click('#rescan');
    await waitLoaded(page);
    const banner = await page.textContent('#bannerText');
    assert.match(
      banner,
      /^The host could not be reached\. The rows shown are from the last good load, checked at \d\d:\d\d:\d\d \(\d+s ago\)\.$/,
    );
    // Not a password problem: no field to type one.
    assert.equal(await page.isVisible('#pwAgain'), false);
    assert.deepEqual(await rowNames(page), names);
    assert.equal(await page.textContent('#rootPill'), 'error');
    // At the top: above the chips, in view without scrolling.
    const [bannerBox, chipsBox] = [await page.locator('#banner').boundingBox(), await page.locator('#chips').boundingBox()];
    assert.ok(bannerBox.y < chipsBox.y && bannerBox.y >= 0, `banner at ${bannerBox.y}`);
    // The banner's age follows the clock too.
    await page.waitForFunction((b) => document.getElementById('bannerText').textContent !== b, banner, { timeout: 5000 });
    assert.equal(await page.textContent('#live'), 'The host could not be reached');
  } finally {
    await context.close();
    await own.stop();
  }
});

// The page's calls for the listing, counted.
function countListings(page) {
  const seen = { count: 0 };
  page.on('request', (req) => {
    if (new URL(req.url()).searchParams.get('action') === 'repos') seen.count++;
  });
  return seen;
}

test('a second opening shows the kept rows at once while the listing runs, then the new ones in place', async () => {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  try {
    const first = await openDashboard(context, host.url);
    const names = await rowNames(first);
    // What is kept reads back, through the page's own reader, as the rows shown.
    const stored = await first.evaluate(() => localStorage.getItem('quarlo_listing'));
    const kept = JSON.parse(JSON.stringify(loadParts(PURE).keptListing({ getItem: () => stored }, '')));
    assert.deepEqual(kept.repos.map((r) => r.name), names);
    await first.close();

    fs.writeFileSync(hold, '');
    const page = await trackedPage(context);
    await page.goto(host.url);
    // The kept rows, marked as earlier, while git waits.
    await page.waitForSelector('#rows tr.row');
    const early = await look(page);
    assert.match(early.stamp, /^from \d+s ago, checking\u2026$/);
    // The chips show the kept counts, marked as old, not grey blocks; so
    // does the stamp.
    assert.deepEqual({ ...early, stamp: '' }, {
      skeleton: 0, rows: 6, pending: false, old: true, stampOld: true, busy: 'true', bar: true, rescan: false, stamp: '',
      empty: false,
    });
    assert.equal(await page.textContent('#vAll'), '6');
    assert.deepEqual(await rowNames(page), names);
    // The user works with them meanwhile: a filter, the drawer.
    await page.fill('#search', 'a');
    const filtered = await rowNames(page);
    await page.click('#rows tr.row');
    const opened = await page.textContent('#drawerTitle');

    fs.rmSync(hold);
    await waitLoaded(page);
    await page.waitForSelector('#drawerBody .dsec');
    const after = await look(page);
    assert.match(after.stamp, /^checked \d+s ago$/);
    assert.deepEqual([after.pending, after.old, after.stampOld], [false, false, false]);
    // The new listing keeps the filter, the open drawer and its marked row.
    assert.deepEqual(await rowNames(page), filtered);
    assert.equal(await page.inputValue('#search'), 'a');
    assert.equal(await page.textContent('#drawerTitle'), opened);
    assert.equal(await page.$eval('#drawer', (d) => d.classList.contains('open')), true);
    assert.deepEqual(await page.$$eval('#rows tr.row.sel .name', (els) => els.map((e) => e.textContent)), [opened]);
    assert.deepEqual(page.problems, []);
  } finally {
    fs.rmSync(hold, { force: true });
    await context.close();
  }
});

test('the kept listing: per node, dropped by a refused password, a full storage breaks nothing', async () => {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  try {
    const page = await openDashboard(context, `${host.url}?node=alpha`);
    assert.deepEqual(
      await page.evaluate(() => Object.keys(localStorage).filter((k) => k.startsWith('quarlo_listing')).sort()),
      ['quarlo_listing_alpha'],
    );
    await page.close();

    // The next opening of that node is refused: the kept rows go, with what was kept.
    const refused = await trackedPage(context);
    await refused.route((url) => url.searchParams.get('action') === 'repos', (route) =>
      route.fulfill({ status: 401, contentType: 'application/json', body: '{"ok":false,"error":"invalid node password"}' }));
    await refused.goto(`${host.url}?node=alpha`);
    await waitLoaded(refused);
    assert.deepEqual(await rowNames(refused), []);
    assert.equal(await refused.evaluate(() => localStorage.getItem('quarlo_listing_alpha')), null);
    assert.deepEqual(await refused.$$eval('.chip .v', (els) => els.map((e) => e.textContent)), Array(7).fill('\u2013'));
    await refused.close();

    // A storage that refuses every write: the page loads as before.
    const full = await trackedPage(context);
    await full.addInitScript(() => {
      Storage.prototype.setItem = function () {
        throw new DOMException('full', 'QuotaExceededError');
      };
    });
    await full.goto(`${host.url}?node=beta`);
    await waitLoaded(full);
    assert.equal((await rowNames(full)).length, 6);
    assert.deepEqual(full.problems, []);
  } finally {
    await context.close();
  }
});

// Makes the page believe it was hidden and shown again, `later` ms on.
function hideAndShow(page, later) {
  return page.evaluate((ms) => {
    const real = Date.now.bind(Date);
    if (!window.skew) {
      window.skew = 0;
      Date.now = () => real() + window.skew;
    }
    window.skew += ms;
    const state = (v) => {
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => v });
      Object.defineProperty(document, 'hidden', { configurable: true, get: () => v === 'hidden' });
      document.dispatchEvent(new Event('visibilitychange'));
    };
    state('hidden');
    state('visible');
  }, later);
}

test('coming back into view after a minute rescans once; not sooner, not beside a load, not after a fresh failure', async () => {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  try {
    const page = await trackedPage(context);
    const listings = countListings(page);
    await page.goto(host.url);
    await waitLoaded(page);
    assert.equal(listings.count, 1);

    // Rows 30 s old: no rescan.
    await hideAndShow(page, 30000);
    assert.equal(await page.$eval('#rescan', (b) => b.disabled), false);
    // Hidden, even long: nothing.
    await page.evaluate(() => {
      window.skew += 120000;
      Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'hidden' });
      document.dispatchEvent(new Event('visibilitychange'));
    });
    assert.equal(await page.$eval('#rescan', (b) => b.disabled), false);

    // Shown again with rows older than a minute: one rescan, even when shown twice.
    fs.writeFileSync(hold, '');
    await hideAndShow(page, 0);
    await hideAndShow(page, 0);
    assert.equal(await page.$eval('#rescan', (b) => b.disabled), true);
    fs.rmSync(hold);
    await waitLoaded(page);
    assert.equal(listings.count, 2);
    assert.equal(await page.isVisible('#rescan'), true);

    // A failed attempt: no rescan within a minute of it, one after.
    const isListing = (url) => url.searchParams.get('action') === 'repos';
    await page.route(isListing, (route) => route.abort());
    await hideAndShow(page, 61000);
    await page.waitForSelector('#banner:not(.hide)');
    await waitLoaded(page);
    assert.equal(listings.count, 3);
    await hideAndShow(page, 30000);
    assert.equal(await page.$eval('#rescan', (b) => b.disabled), false);
    await page.unroute(isListing);
    await hideAndShow(page, 31000);
    await page.waitForSelector('#banner.hide', { state: 'attached' });
    await waitLoaded(page);
    assert.equal(listings.count, 4);
    // Only the refused requests are reported.
    assert.deepEqual(page.problems.filter((p) => !/net::ERR_FAILED/.test(p)), []);
  } finally {
    fs.rmSync(hold, { force: true });
    await context.close();
  }
});

// Makes the page believe it is hidden or visible.
function setVisible(page, visible) {
  return page.evaluate((v) => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => (v ? 'visible' : 'hidden') });
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => !v });
    document.dispatchEvent(new Event('visibilitychange'));
  }, visible);
}

test('on a fake clock: a rescan every three minutes while visible, on focus after a minute, none while hidden, never two at once', async () => {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  try {
    const page = await trackedPage(context);
    const listings = countListings(page);
    await page.clock.install();
    await page.goto(host.url);
    await waitLoaded(page);
    assert.equal(listings.count, 1);
    // Just short of the period: nothing; past it: one rescan.
    await page.clock.runFor(170000);
    assert.equal(listings.count, 1);
    await page.clock.runFor(11000);
    await waitLoaded(page);
    assert.equal(listings.count, 2);
    // The stamp turns amber once the rows are older than two periods.
    assert.equal(await page.$eval('#stamp', (e) => e.classList.contains('old')), false);

    // Hidden: no rescan however long, and the stamp says the rows are old.
    await setVisible(page, false);
    await page.clock.runFor(400000);
    assert.equal(listings.count, 2);
    assert.equal(await page.$eval('#stamp', (e) => e.classList.contains('old')), true);
    // Back in view: one rescan at once.
    await setVisible(page, true);
    await waitLoaded(page);
    assert.equal(listings.count, 3);

    // The window's focus: not within a minute of the last load, once after.
    await page.clock.runFor(30000);
    await page.evaluate(() => window.dispatchEvent(new Event('focus')));
    assert.equal(listings.count, 3);
    await page.clock.runFor(31000);
    fs.writeFileSync(hold, '');
    await page.evaluate(() => window.dispatchEvent(new Event('focus')));
    assert.equal(listings.count, 4);
    // While that load runs, neither the period nor the focus starts another.
    await page.clock.runFor(200000);
    await page.evaluate(() => window.dispatchEvent(new Event('focus')));
    assert.equal(listings.count, 4);
    fs.rmSync(hold);
    await waitLoaded(page);
    assert.equal(listings.count, 4);
    assert.deepEqual(page.problems, []);
  } finally {
    fs.rmSync(hold, { force: true });
    await context.close();
  }
});
