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
    assert.deepEqual(await chipRows(page), [7]);
    assert.deepEqual(await shownHeaders(page), ['Repository', 'State', 'Path', 'Sync', 'Stash', 'Last commit']);

    // A name longer than its column is cut at the column's edge, with an ellipsis.
    const name = await page.$eval(`#rows tr.row[data-p$="${LONG_NAME}"] .name`, (e) => ({
      fits: e.getBoundingClientRect().right <= e.closest('td').getBoundingClientRect().right,
      cut: e.scrollWidth > e.clientWidth,
      overflow: getComputedStyle(e).textOverflow,
    }));
    assert.deepEqual(name, { fits: true, cut: true, overflow: 'ellipsis' });

    // The closed drawer lies beyond the right edge; the scrim is not shown.
    const drawer = await box(page, '#drawer');
    assert.ok(drawer.x >= 1440, `closed drawer at ${drawer.x}`);
    assert.equal(await page.isVisible('#scrim'), false);
    await page.screenshot({ path: artifactPath('layout-1440.png'), fullPage: true });
  } finally {
    await context.close();
  }
});

test('700 wide: no Path column, columns apart, the drawer covers the width', async () => {
  const { context, page } = await dashboard(700);
  try {
    assert.deepEqual(await shownHeaders(page), ['Repository', 'State', 'Sync', 'Stash', 'Last commit']);
    assert.equal(await page.$$eval('td.c-root', (tds) => tds.filter((td) => td.getClientRects().length).length), 0);
    assert.equal((await box(page, '.chips')).x, 12);
    // Every shown cell of a row ends before the next one starts.
    const overlaps = await page.$$eval('#rows tr.row', (trs) =>
      trs.flatMap((tr) => {
        const cells = [...tr.cells].filter((td) => td.getClientRects().length);
        const bad = [];
        for (let i = 1; i < cells.length; i++) {
          const prev = cells[i - 1];
          // What the cell shows: its elements' boxes (a cut name is clipped
          // by its own box), or its text where it has no element.
          const range = document.createRange();
          range.selectNodeContents(prev);
          const right = prev.children.length
            ? Math.max(...[...prev.querySelectorAll('*')].filter((e) => e.getClientRects().length && !e.closest('.more-list'))
              .map((e) => e.getBoundingClientRect().right))
            : range.getBoundingClientRect().right;
          if (right > cells[i].getBoundingClientRect().left + 0.5)
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

test('390 wide: two columns at 40% and 60%, chips in two rows, the first row high up', async () => {
  const { context, page } = await dashboard(390);
  try {
    assert.deepEqual(await shownHeaders(page), ['Repository', 'State']);
    const widths = await page.$eval('#rows tr.row', (tr) => {
      const table = tr.closest('table').getBoundingClientRect().width;
      return [tr.cells[0].getBoundingClientRect().width / table, tr.cells[1].getBoundingClientRect().width / table];
    });
    assert.ok(Math.abs(widths[0] - 0.4) < 0.005, `repository column ${widths[0]}`);
    assert.ok(Math.abs(widths[1] - 0.6) < 0.005, `state column ${widths[1]}`);

    assert.deepEqual(await chipRows(page), [4, 3]);
    assert.equal(await page.$eval('#vAll', (e) => getComputedStyle(e).fontSize), '17px');
    // The rows begin in the window's upper half.
    const first = await box(page, '#rows tr.row');
    assert.ok(first.y < 450, `first row at ${first.y}`);
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

test('1280 wide, both row heights: every tag of a row is in view or counted', async () => {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  // One more record with every state tag at once, beside the real ones.
  await context.route(
    (url) => url.searchParams.get('action') === 'repos',
    async (route) => {
      const res = await route.fetch();
      const d = await res.json();
      d.repos.push({ ...d.repos[0], name: 'everything', path: `${fx.root}/everything`, branch: 'feature/a-rather-long-branch-name',
        dirty: 12, conflicted: 3, detached: false, no_upstream: true, no_remote: false, unborn: true, ahead: 4, behind: 2,
        stash: 5, unpushed: 0, unpushed_branches: 0, gone_branches: 0, state: 'conflicts', step: 'Resolve 3 conflicts' });
      await route.fulfill({ response: res, json: d });
    },
  );
  try {
    const page = await openDashboard(context, `${host.url}?theme=dark`);
    for (const density of ['comfortable', 'compact']) {
      if (density === 'compact') await page.click('#densityBtn');
      await page.screenshot({ path: artifactPath(`layout-1280-${density}.png`) });
      // Each shown tag lies wholly inside its row's State cell.
      const cut = await page.$$eval('#rows tr.row', (trs) =>
        trs.flatMap((tr) => {
          const cell = tr.querySelector('.c-state');
          const box = (e) => e.getBoundingClientRect();
          return [...cell.querySelectorAll('.tag, .more')]
            .filter((t) => t.getClientRects().length)
            .filter((t) => box(t).right > box(cell).right + 0.5)
            .map((t) => `${tr.querySelector('.name').textContent}: ${t.textContent}`);
        }),
      );
      assert.deepEqual(cut, [], density);
      const shown = await page.$$eval('#rows tr.row[data-p$="/everything"] .c-state .tags > *', (ts) =>
        ts.filter((t) => t.getClientRects().length).map((t) => t.firstChild.textContent));
      const hidden = await page.$$eval('#rows tr.row[data-p$="/everything"] .c-state .tags > .more', (ms) =>
        ms.filter((m) => m.getClientRects().length).map((m) => m.querySelector('.more-list').textContent.trim()));
      if (density === 'comfortable') {
        assert.deepEqual(shown, ['3 conflicted', '12 changed', '+2']);
        assert.deepEqual(hidden, ['no commits, no upstream']);
      } else {
        assert.deepEqual(shown, ['3 conflicted', '+3']);
        assert.deepEqual(hidden, ['12 changed, no commits, no upstream']);
      }
    }
  } finally {
    await context.close();
  }
});
