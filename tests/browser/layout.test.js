'use strict';
// The layout at 1440, 700 and 390 pixels wide, checked on measured boxes.
// Screenshots of each width are kept in the build's test-artifacts folder.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { STANDARD, DAY } = require('./lib/fixtures');
const { artifactPath } = require('./lib/host');
const { openDashboard } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

const LONG_NAME = 'a-repository-with-a-remarkably-long-name-that-cannot-fit-in-the-column';
const LONG_SUBJECT =
  'Rework the configuration loader so that every section reports its own errors with the line it came from';

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite([
    ...STANDARD,
    [LONG_NAME, { subject: LONG_SUBJECT, age: 30 * DAY }],
  ]));
});

after(() => stopSuite({ fx, host, browser }));

async function dashboard(width, options = {}) {
  const context = await browser.newContext({ viewport: { width, height: 900 }, ...options });
  const page = await openDashboard(context, `${host.url}?theme=dark`);
  return { context, page };
}

function box(page, selector) {
  return page.$eval(selector, (e) => {
    const r = e.getBoundingClientRect();
    return { x: r.x, y: r.y, width: r.width, height: r.height, right: r.right };
  });
}

// The header cells that are displayed, by their text.
function shownHeaders(page) {
  return page.$$eval('thead th', (ths) => ths.filter((th) => th.getClientRects().length).map((th) => th.textContent));
}

// The chips' rows: how many chips share each distinct top edge.
function chipRows(page) {
  return page.$$eval('.chip', (chips) => {
    const rows = new Map();
    for (const c of chips) {
      const top = Math.round(c.getBoundingClientRect().top);
      rows.set(top, (rows.get(top) || 0) + 1);
    }
    return [...rows.values()];
  });
}

async function openDrawer(page) {
  await page.click('#rows tr.row');
  // Open, and no transition still running.
  await page.waitForFunction(() => {
    const d = document.getElementById('drawer');
    return d.classList.contains('open') && d.getAnimations().length === 0;
  });
}

test('1440 wide: a centred 1200px column, one row of chips, long names cut', async () => {
  const { context, page } = await dashboard(1440);
  try {
    const wrap = await box(page, '.wrap');
    assert.equal(wrap.width, 1200);
    assert.equal(wrap.x, 120);
    assert.deepEqual(await chipRows(page), [6]);
    assert.deepEqual(await shownHeaders(page), ['Repository', 'Path', 'Sync', 'Stash', 'Last commit']);

    const name = await page.$eval(`#rows tr.row[data-p$="${LONG_NAME}"] .name`, (e) => ({
      width: e.getBoundingClientRect().width,
      cut: e.scrollWidth > e.clientWidth,
      overflow: getComputedStyle(e).textOverflow,
    }));
    assert.deepEqual(name, { width: 300, cut: true, overflow: 'ellipsis' });

    // The closed drawer lies beyond the right edge; the scrim is not shown.
    const drawer = await box(page, '#drawer');
    assert.ok(drawer.x >= 1440, `closed drawer at ${drawer.x}`);
    assert.equal(await page.isVisible('#scrim'), false);
    await page.screenshot({ path: artifactPath('layout-1440.png'), fullPage: true });
  } finally {
    await context.close();
  }
});

test('700 wide: no Root column, columns apart, the drawer covers the width', async () => {
  const { context, page } = await dashboard(700);
  try {
    assert.deepEqual(await shownHeaders(page), ['Repository', 'Sync', 'Stash', 'Last commit']);
    assert.equal(await page.$$eval('td.c-root', (tds) => tds.filter((td) => td.getClientRects().length).length), 0);
    assert.equal((await box(page, '.chips')).x, 12);
    // Every shown cell of a row ends before the next one starts.
    const overlaps = await page.$$eval('#rows tr.row', (trs) =>
      trs.flatMap((tr) => {
        const cells = [...tr.cells].filter((td) => td.getClientRects().length);
        const bad = [];
        for (let i = 1; i < cells.length; i++) {
          const prev = cells[i - 1];
          const range = document.createRange();
          range.selectNodeContents(prev);
          if (range.getBoundingClientRect().right > cells[i].getBoundingClientRect().left + 0.5)
            bad.push(`${tr.querySelector('.name').textContent}: ${prev.className} runs into ${cells[i].className}`);
        }
        return bad;
      }),
    );
    assert.deepEqual(overlaps, []);

    await openDrawer(page);
    const drawer = await box(page, '#drawer');
    assert.deepEqual([drawer.x, drawer.width], [0, 700]);
    assert.equal(await page.$eval('#drawer', (d) => getComputedStyle(d).borderLeftWidth), '0px');
    await page.screenshot({ path: artifactPath('layout-700-drawer.png') });
  } finally {
    await context.close();
  }
});

test('390 wide: two columns at 48% and 52%, chips in two rows of three', async () => {
  const { context, page } = await dashboard(390);
  try {
    assert.deepEqual(await shownHeaders(page), ['Repository', 'Last commit']);
    const widths = await page.$eval('#rows tr.row', (tr) => {
      const table = tr.closest('table').getBoundingClientRect().width;
      return [tr.cells[0].getBoundingClientRect().width / table, tr.cells[4].getBoundingClientRect().width / table];
    });
    assert.ok(Math.abs(widths[0] - 0.48) < 0.005, `repository column ${widths[0]}`);
    assert.ok(Math.abs(widths[1] - 0.52) < 0.005, `last commit column ${widths[1]}`);

    assert.deepEqual(await chipRows(page), [3, 3]);
    assert.equal(await page.$eval('#vAll', (e) => getComputedStyle(e).fontSize), '19px');

    // The long subject wraps to two lines, neither cut sideways nor growing a third.
    const subject = await page.$eval(`#rows tr.row[data-p$="${LONG_NAME}"] .subtext`, (e) => ({
      lines: Math.round(e.getBoundingClientRect().height / parseFloat(getComputedStyle(e).lineHeight)),
      sideways: e.scrollWidth > e.clientWidth,
    }));
    assert.deepEqual(subject, { lines: 2, sideways: false });
    await page.screenshot({ path: artifactPath('layout-390.png'), fullPage: true });
  } finally {
    await context.close();
  }
});

test('the drawer slides in, or appears at once when motion is reduced', async () => {
  for (const [reducedMotion, duration] of [
    ['no-preference', '0.22s'],
    ['reduce', '0s'],
  ]) {
    const { context, page } = await dashboard(1440, { reducedMotion });
    try {
      const transition = await page.$eval('#drawer', (d) => getComputedStyle(d).transitionDuration.split(',')[0]);
      assert.equal(transition, duration, reducedMotion);
      await openDrawer(page);
    } finally {
      await context.close();
    }
  }
});
