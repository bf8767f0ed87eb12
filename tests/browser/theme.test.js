'use strict';
// Theme and embedding in a real browser: the theme parameter, the stored
// choice, the system preference, the Theme button, embed mode and the theme
// messages exchanged with a parent frame.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { openDashboard, trackedPage, waitLoaded } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite([
    ['app', { subject: 'Start', age: 3600, dirty: 1 }],
    ['lib', { subject: 'Start', age: 7200 }],
  ]));
});

after(() => stopSuite({ fx, host, browser }));

const DARK_BG = 'rgb(0, 0, 0)';
const LIGHT_BG = 'rgb(245, 245, 247)';

// A context whose storage holds `stored` under "bot_theme" before the page runs.
async function contextWith({ stored, colorScheme = 'dark', reducedMotion } = {}) {
  const context = await browser.newContext({ colorScheme, reducedMotion });
  if (stored !== undefined) {
    const page = await context.newPage();
    await page.goto(`${host.url}?action=unknown`);
    await page.evaluate((v) => localStorage.setItem('bot_theme', v), stored);
    await page.close();
  }
  return context;
}

function themeState(page) {
  return page.evaluate(() => ({
    theme: document.documentElement.getAttribute('data-theme'),
    stored: localStorage.getItem('bot_theme'),
    background: getComputedStyle(document.body).backgroundColor,
  }));
}

test('the theme comes from the URL, then storage, then the system', async () => {
  const cases = [
    // [query, stored, system preference, expected theme]
    ['?theme=light', 'dark', 'dark', 'light'],
    ['?x=1&theme=dark', 'light', 'light', 'dark'],
    ['?theme=lightbox', undefined, 'dark', 'light'],
    ['?theme=blue', 'light', 'dark', 'light'],
    ['', 'light', 'dark', 'light'],
    ['', 'Light', 'dark', 'dark'],
    ['', 'auto', 'light', 'light'],
    ['', undefined, 'light', 'light'],
    ['', undefined, 'dark', 'dark'],
  ];
  for (const [query, stored, colorScheme, want] of cases) {
    const context = await contextWith({ stored, colorScheme });
    try {
      const page = await openDashboard(context, host.url + query);
      const state = await themeState(page);
      const label = `${query} stored=${stored} system=${colorScheme}`;
      assert.equal(state.theme, want, label);
      // Only a choice is remembered (the Theme button's, the host's): the
      // theme of an address or of the system is used, not stored, so that a
      // link's theme never overrides the system's later.
      assert.equal(state.stored, stored === undefined ? null : stored, label);
      assert.equal(state.background, want === 'light' ? LIGHT_BG : DARK_BG, label);
      assert.deepEqual(page.problems, []);
    } finally {
      await context.close();
    }
  }
});

test('the Theme button toggles the theme, stores it and announces it', async () => {
  const context = await contextWith({ colorScheme: 'dark' });
  try {
    const page = await openDashboard(context, host.url);
    await page.evaluate(() => {
      window.seen = [];
      window.addEventListener('bot-theme', (e) => window.seen.push(e.detail));
    });
    assert.equal((await themeState(page)).theme, 'dark');
    await page.click('#themeBtn');
    assert.deepEqual(await themeState(page), { theme: 'light', stored: 'light', background: LIGHT_BG });
    await page.click('#themeBtn');
    assert.deepEqual(await themeState(page), { theme: 'dark', stored: 'dark', background: DARK_BG });
    // Applying the theme in force, or an unknown one, changes nothing.
    await page.evaluate(() => {
      window.ksApplyTheme('dark');
      window.ksApplyTheme('blue');
    });
    assert.deepEqual(await page.evaluate(() => window.seen), ['light', 'dark']);
    // ksTheme falls back to dark for anything but light or dark.
    const fallback = await page.evaluate(() => {
      document.documentElement.setAttribute('data-theme', 'sepia');
      const a = window.ksTheme();
      document.documentElement.removeAttribute('data-theme');
      return [a, window.ksTheme()];
    });
    assert.deepEqual(fallback, ['dark', 'dark']);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('tag tints stay the same in both themes while their text follows the theme', async () => {
  const context = await contextWith();
  try {
    const page = await openDashboard(context, `${host.url}?theme=dark`);
    const look = () =>
      page.$eval('.tag.t-dirty', (t) => [getComputedStyle(t).backgroundColor, getComputedStyle(t).color]);
    const dark = await look();
    await page.click('#themeBtn');
    const light = await look();
    assert.equal(dark[0], 'rgba(255, 159, 10, 0.16)');
    assert.equal(light[0], dark[0]);
    // The light theme's orange is a darker shade of the same hue, to be read on the tint.
    assert.deepEqual([dark[1], light[1]], ['rgb(255, 159, 10)', 'rgb(143, 83, 0)']);
  } finally {
    await context.close();
  }
});

test('embed mode hides the Theme button and keeps Rescan', async () => {
  const cases = [
    ['?embed=1', true],
    ['?x=2&embed=true', true],
    ['?embed=1&theme=light', true],
    ['?embed=1x', false],
    ['?embed=yes', false],
    ['?embed=0', false],
  ];
  const context = await contextWith();
  try {
    for (const [query, embedded] of cases) {
      const page = await openDashboard(context, host.url + query);
      const state = await page.evaluate(() => ({
        embedded: document.documentElement.classList.contains('embedded'),
        theme: document.getElementById('themeBtn').getClientRects().length > 0,
        rescan: document.getElementById('rescan').getClientRects().length > 0,
      }));
      assert.deepEqual(state, { embedded, theme: !embedded, rescan: true }, query);
      await page.close();
    }
  } finally {
    await context.close();
  }
});

test('a parent frame gets one theme request and can switch the theme', async () => {
  const context = await contextWith({ colorScheme: 'dark' });
  try {
    const parent = await trackedPage(context);
    await parent.goto(`${host.url}?action=unknown`);
    // The parent: a page of the same host that frames the dashboard and
    // records what the dashboard posts to it.
    await parent.evaluate((src) => {
      window.got = [];
      window.addEventListener('message', (e) => window.got.push(e.data));
      const frame = document.createElement('iframe');
      frame.src = src;
      frame.style.width = '1000px';
      frame.style.height = '700px';
      document.body.appendChild(frame);
    }, `${host.url}?embed=1`);
    const frame = await (await parent.waitForSelector('iframe')).contentFrame();
    await waitLoaded(frame);
    await parent.waitForFunction(() => window.got.length > 0);
    assert.deepEqual(await parent.evaluate(() => window.got), [{ type: 'ks-theme-request' }]);

    const theme = () => frame.evaluate(() => document.documentElement.getAttribute('data-theme'));
    assert.equal(await theme(), 'dark');
    // Messages that are not a "ks-theme" object change nothing.
    for (const message of ['ks-theme', { type: 'other', theme: 'light' }, { type: 'ks-theme', theme: 'blue' }]) {
      await parent.evaluate((m) => document.querySelector('iframe').contentWindow.postMessage(m, '*'), message);
    }
    await parent.evaluate(() =>
      document.querySelector('iframe').contentWindow.postMessage({ type: 'ks-theme', theme: 'light' }, '*'),
    );
    await frame.waitForFunction(() => document.documentElement.getAttribute('data-theme') !== 'dark');
    assert.equal(await theme(), 'light');
    assert.equal(await frame.evaluate(() => localStorage.getItem('bot_theme')), 'light');
    assert.deepEqual(await parent.evaluate(() => window.got), [{ type: 'ks-theme-request' }]);
  } finally {
    await context.close();
  }
});

test('a page opened at top level posts no theme request', async () => {
  const context = await contextWith();
  try {
    const page = await trackedPage(context);
    await page.addInitScript(() => {
      window.posted = [];
      window.addEventListener('message', (e) => window.posted.push(e.data));
    });
    await page.goto(host.url);
    await waitLoaded(page);
    // Messages to a window arrive in the order they were posted: once the
    // test's own message has arrived, any the page posted has arrived too.
    await page.evaluate(() => window.postMessage({ type: 'test-sentinel' }, '*'));
    await page.waitForFunction(() => window.posted.length > 0 && window.posted[window.posted.length - 1].type === 'test-sentinel');
    assert.deepEqual(await page.evaluate(() => window.posted), [{ type: 'test-sentinel' }]);
  } finally {
    await context.close();
  }
});

test('with storage blocked the theme still comes from the URL or the system', async () => {
  const context = await contextWith({ colorScheme: 'light' });
  try {
    for (const [query, want] of [['?theme=dark', 'dark'], ['', 'light']]) {
      const page = await trackedPage(context);
      // Every use of localStorage throws, as where the browser refuses it.
      await page.addInitScript(() => {
        Object.defineProperty(window, 'localStorage', {
          get() {
            throw new DOMException('blocked', 'SecurityError');
          },
        });
      });
      await page.goto(host.url + query);
      await waitLoaded(page);
      assert.equal(await page.evaluate(() => document.documentElement.getAttribute('data-theme')), want, query);
      await page.click('#themeBtn');
      assert.equal(
        await page.evaluate(() => document.documentElement.getAttribute('data-theme')),
        want === 'dark' ? 'light' : 'dark',
      );
      assert.equal((await page.$$('#rows tr.row')).length, 2);
      assert.deepEqual(page.problems, []);
      await page.close();
    }
  } finally {
    await context.close();
  }
});
