'use strict';
// The windowed table body at the listing's full size: only the rows in view
// stand in the document, yet scrolling reaches every row, the columns and
// the sticky header hold still, the keyboard walks past the window's edge,
// and the limits the listing reached are said. The real program's listing
// is widened to 1,200 records on its way to the page: making 1,200 real
// repositories would take minutes.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { openDashboard, trackedPage, waitLoaded } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');
const { artifactPath } = require('./lib/host');

const COUNT = 1200;
const LONG_SUBJECT = 'A subject long enough to wrap onto a second line of the last-commit column of the table';

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite([['seed', { subject: 'Seed', age: 3600 }]]));
});

after(() => stopSuite({ fx, host, browser }));

// A context whose listing holds COUNT records made from the real one, with
// subjects of one and two lines, and says the table is full and the walk
// of the root stopped.
async function bigContext(viewport = { width: 1440, height: 900 }) {
  const context = await browser.newContext({ viewport });
  await context.route(
    (url) => url.searchParams.get('action') === 'repos',
    async (route) => {
      const res = await route.fetch();
      const d = await res.json();
      const seed = d.repos[0];
      d.repos = Array.from({ length: COUNT }, (_, i) => {
        const name = `repo-${String(i).padStart(4, '0')}`;
        const subject = i % 3 ? `Change ${i}` : LONG_SUBJECT;
        return { ...seed, name, path: `${fx.root}/${name}`, dirty: i < 240 ? 1 : 0,
          last_commit: { ...seed.last_commit, subject } };
      });
      d.count = COUNT;
      d.table_capped = true;
      d.roots[0].truncated = true;
      d.summary.dirty = 240;
      await route.fulfill({ response: res, json: d });
    },
  );
  return context;
}

// The rows in the document, the one in the middle of the window, and the
// header's place and column widths.
function windowState(page) {
  return page.evaluate(() => {
    const rows = [...document.querySelectorAll('#rows tr.row')];
    const mid = document.elementFromPoint(innerWidth / 2, innerHeight / 2);
    const tr = mid && mid.closest('tr.row');
    return {
      inDocument: rows.length,
      middle: tr ? tr.querySelector('.name').textContent : null,
      headerTop: document.querySelector('thead th').getBoundingClientRect().top,
      widths: [...document.querySelectorAll('thead th')].map((th) => Math.round(th.getBoundingClientRect().width)),
    };
  });
}

function frame(page) {
  return page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
}

test('1,200 rows: few in the document, every one reachable by scrolling, columns and header still', async () => {
  const context = await bigContext();
  try {
    const page = await openDashboard(context, host.url);
    const top = await windowState(page);
    assert.ok(top.inDocument > 10 && top.inDocument < 80, `${top.inDocument} rows in the document`);
    // The body is as tall as all the rows (the rows not yet seen at a guessed height).
    const height = await page.$eval('#rows', (b) => b.getBoundingClientRect().height);
    assert.ok(height > COUNT * 50, `body ${height}px`);
    const firstTop = await page.$eval('#rows tr.row', (tr) => tr.getBoundingClientRect().top);

    // The middle, then the end of the table.
    await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight / 2));
    await frame(page);
    const middle = await windowState(page);
    assert.match(middle.middle, /^repo-0[4-7]\d\d$/);
    assert.ok(middle.inDocument < 80);
    assert.equal(middle.headerTop, 0, 'the header sticks to the top of the window');
    assert.deepEqual(middle.widths, top.widths);

    await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight));
    await frame(page);
    const last = await page.$$eval('#rows tr.row', (trs) => {
      const tr = trs[trs.length - 1];
      return {
        name: tr.querySelector('.name').textContent,
        end: tr.classList.contains('end'),
        visible: tr.getBoundingClientRect().bottom <= innerHeight,
        below: tr.nextElementSibling.getBoundingClientRect().height,
      };
    });
    assert.deepEqual(last, { name: 'repo-1199', end: true, visible: true, below: 0 });
    assert.deepEqual((await windowState(page)).widths, top.widths);
    await page.screenshot({ path: artifactPath('window-1200-end.png') });

    // Back to the top: the first row is where it was.
    await page.evaluate(() => window.scrollTo(0, 0));
    await frame(page);
    const first = await page.$eval('#rows tr.row', (tr) => [tr.querySelector('.name').textContent, tr.getBoundingClientRect().top]);
    assert.deepEqual(first, ['repo-0000', firstTop]);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('1,200 rows: the keyboard walks past the edge of the window; filters and the drawer touch only the rows in view', async () => {
  const context = await bigContext();
  try {
    const page = await openDashboard(context, host.url);
    await page.focus('#rows tr.row .name');
    for (let i = 0; i < 60; i++) await page.keyboard.press('ArrowDown');
    await frame(page);
    // Wholly in view, below the sticky header.
    const focus = await page.evaluate(() => {
      const el = document.activeElement.closest('tr.row');
      const r = el.getBoundingClientRect();
      const head = document.querySelector('thead').getBoundingClientRect().bottom;
      return { name: el.querySelector('.name').textContent, visible: r.top >= head - 0.5 && r.bottom <= innerHeight + 0.5 };
    });
    assert.deepEqual(focus, { name: 'repo-0060', visible: true });

    // Opening the drawer marks the row at once and adds no row.
    const before = await page.$$eval('#rows tr.row', (r) => r.length);
    await page.keyboard.press('Enter');
    assert.equal(await page.$eval('#rows tr.row.sel .name', (e) => e.textContent), 'repo-0060');
    assert.equal(await page.$$eval('#rows tr.row', (r) => r.length), before);
    await page.keyboard.press('Escape');
    assert.equal(await page.evaluate(() => document.activeElement.textContent), 'repo-0060');

    await page.fill('#search', 'repo-07');
    assert.equal(await page.textContent('#shown'), `100 of ${COUNT} repositories shown`);
    assert.equal(await page.$eval('#rows tr.row .name', (e) => e.textContent), 'repo-0700');
    await page.click('[data-filter="dirty"]');
    assert.equal(await page.textContent('#empty'), 'No repositories match these filters.');
  } finally {
    await context.close();
  }
});

test('a full table and a stopped walk are said above the table', async () => {
  const context = await bigContext({ width: 700, height: 900 });
  try {
    const page = await openDashboard(context, host.url);
    const notices = await page.$$eval('#notices .notice', (els) => els.map((e) => e.textContent));
    assert.deepEqual(notices, [
      `The repository table is full at ${COUNT} repositories: any further repositories below the roots are not listed.`,
      `The search below ${fx.root} stopped at its depth or folder limit: some repositories there may be missing.`,
    ]);
    // At 700 pixels the rows wrap and grow: the window still fills the view.
    await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight / 3));
    await frame(page);
    assert.match((await windowState(page)).middle, /^repo-0\d\d\d$/);
  } finally {
    await context.close();
  }
});

test('a listing that holds one path twice shows both rows', async () => {
  // Overlapping roots make today's program list a repository twice.
  const context = await browser.newContext();
  await context.route(
    (url) => url.searchParams.get('action') === 'repos',
    async (route) => {
      const res = await route.fetch();
      const d = await res.json();
      d.repos = [d.repos[0], { ...d.repos[0] }];
      await route.fulfill({ response: res, json: d });
    },
  );
  try {
    const page = await openDashboard(context, host.url);
    assert.deepEqual(await page.$$eval('#rows tr.row .name', (els) => els.map((e) => e.textContent)), ['seed', 'seed']);
    await page.click('#rows tr.row');
    assert.equal(await page.$$eval('#rows tr.row.sel', (els) => els.length), 2);
  } finally {
    await context.close();
  }
});

// The name of the row just below the sticky header.
function rowAtTop(page) {
  return page.evaluate(() => {
    const head = document.querySelector('thead th').getBoundingClientRect().bottom;
    const el = document.elementFromPoint(innerWidth / 2, head + 12);
    const tr = el && el.closest('tr.row');
    return tr ? tr.querySelector('.name').textContent : null;
  });
}

function rowHeights(page) {
  return page.$$eval('#rows tr.row', (trs) => trs.map((tr) => tr.getBoundingClientRect().height));
}

test('1,200 rows: compact rows of about 32 px, remembered, the window correct at both heights', async () => {
  const context = await bigContext({ width: 1280, height: 900 });
  try {
    const page = await openDashboard(context, host.url);
    assert.equal(await page.getAttribute('#densityBtn', 'aria-pressed'), 'false');
    const comfortable = await rowHeights(page);
    assert.ok(Math.min(...comfortable) > 45, `comfortable rows ${Math.min(...comfortable)}px`);

    // Switched in the middle of the table (by a script: a click would
    // scroll to the button first): the row at the top stays there.
    await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight / 2));
    await frame(page);
    // A row's top edge at the header's bottom edge.
    await page.evaluate(() => {
      const head = document.querySelector('thead th').getBoundingClientRect().bottom;
      const tr = document.elementFromPoint(innerWidth / 2, head + 1).closest('tr.row');
      window.scrollBy(0, tr.getBoundingClientRect().top - head);
    });
    await frame(page);
    const top = await rowAtTop(page);
    await page.$eval('#densityBtn', (b) => b.click());
    await frame(page);
    assert.equal(await page.getAttribute('#densityBtn', 'aria-pressed'), 'true');
    assert.equal(await rowAtTop(page), top);
    for (const h of await rowHeights(page)) assert.ok(h >= 30 && h <= 34, `compact row ${h}px`);
    const state = await windowState(page);
    assert.ok(state.inDocument > 20 && state.inDocument < 120, `${state.inDocument} rows in the document`);

    // Every row still reachable: the end, then the start.
    await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight));
    await frame(page);
    const last = await page.$$eval('#rows tr.row', (trs) => {
      const tr = trs[trs.length - 1];
      return [tr.querySelector('.name').textContent, tr.getBoundingClientRect().bottom <= innerHeight,
        tr.nextElementSibling.getBoundingClientRect().height];
    });
    assert.deepEqual(last, ['repo-1199', true, 0]);
    await page.evaluate(() => window.scrollTo(0, 0));
    await frame(page);
    assert.equal(await page.$eval('#rows tr.row .name', (e) => e.textContent), 'repo-0000');
    // The keyboard walks the compact rows too.
    await page.focus('#rows tr.row .name');
    for (let i = 0; i < 40; i++) await page.keyboard.press('ArrowDown');
    assert.equal(await page.evaluate(() => document.activeElement.textContent), 'repo-0040');

    // Remembered across a reload, beside the theme.
    assert.equal(await page.evaluate(() => localStorage.getItem('quarlo_density')), 'compact');
    await page.reload();
    await page.waitForSelector('#rows tr.row');
    assert.equal(await page.evaluate(() => document.documentElement.classList.contains('compact')), true);
    await page.click('#densityBtn');
    await frame(page);
    assert.ok(Math.min(...(await rowHeights(page))) > 45);
    assert.equal(await page.evaluate(() => localStorage.getItem('quarlo_density')), 'comfortable');
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('1,200 rows: the kept rows give way to the new listing without moving the rows in view', async () => {
  const context = await bigContext({ width: 1280, height: 900 });
  try {
    const first = await openDashboard(context, host.url);
    await first.close();
    // The next opening's listing waits for the test's word.
    let release;
    const held = new Promise((r) => (release = r));
    const page = await trackedPage(context);
    await page.route((url) => url.searchParams.get('action') === 'repos', async (route) => {
      await held;
      await route.fallback();
    });
    await page.goto(host.url);
    await page.waitForSelector('#rows tr.row');
    assert.match(await page.textContent('#stamp'), /^from \d+s ago, checking\u2026$/);
    await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight / 3));
    await frame(page);
    const top = await rowAtTop(page);
    const scroll = await page.evaluate(() => scrollY);
    release();
    await waitLoaded(page);
    await frame(page);
    assert.match(await page.textContent('#stamp'), /^checked \d+s ago$/);
    assert.equal(await page.evaluate(() => scrollY), scroll);
    assert.equal(await rowAtTop(page), top);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});
