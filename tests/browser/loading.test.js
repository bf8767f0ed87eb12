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
      skeleton: 6, rows: 0, pending: true, busy: 'true', bar: true, rescan: false, stamp: 'loading\u2026', empty: false,
    });
    fs.rmSync(hold);
    await waitLoaded(page);
    const loaded = await look(page);
    assert.match(loaded.stamp, /^checked \d+s ago$/);
    assert.deepEqual({ ...loaded, stamp: '' }, {
      skeleton: 0, rows: 6, pending: false, busy: 'false', bar: false, rescan: true, stamp: '', empty: false,
    });

    // The age is kept current.
    const first = loaded.stamp;
    await page.waitForFunction((s) => document.getElementById('stamp').textContent !== s, first, { timeout: 5000 });

    // A rescan keeps the rows while it runs.
    fs.writeFileSync(hold, '');
    await page.click('#rescan');
    await page.waitForFunction(() => document.getElementById('rescan').disabled);
    assert.deepEqual(await look(page), {
      skeleton: 0, rows: 6, pending: true, busy: 'true', bar: true, rescan: false, stamp: 'rescanning\u2026', empty: false,
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
    const banner = await page.textContent('#banner');
    assert.match(
      banner,
      /^Load failed: .+\. The rows shown are from the last good load, checked at \d\d:\d\d:\d\d \(\d+s ago\)\.$/,
    );
    assert.deepEqual(await rowNames(page), names);
    assert.equal(await page.textContent('#rootPill'), 'error');
    // At the top: above the chips, in view without scrolling.
    const [bannerBox, chipsBox] = [await page.locator('#banner').boundingBox(), await page.locator('#chips').boundingBox()];
    assert.ok(bannerBox.y < chipsBox.y && bannerBox.y >= 0, `banner at ${bannerBox.y}`);
    // The banner's age follows the clock too.
    await page.waitForFunction((b) => document.getElementById('banner').textContent !== b, banner, { timeout: 5000 });
    assert.equal(await page.textContent('#live'), `Load failed: ${/^Load failed: (.+?)\. The rows/.exec(banner)[1]}`);
  } finally {
    await context.close();
    await own.stop();
  }
});
