'use strict';
// The dashboard used without a mouse and with assistive technology: axe-core
// in both themes, the keyboard from the search box to a row, into the drawer
// and back, the drawer as a modal dialog, and what the live region says.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { STANDARD } = require('./lib/fixtures');
const { openDashboard } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');
const { startHost } = require('./lib/host');

const AXE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite([
    ...STANDARD,
    ['conflict', { subject: 'Merge work', age: 600, conflict: true }],
  ]));
});

after(() => stopSuite({ fx, host, browser }));

async function dashboard(query = '') {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  const page = await openDashboard(context, host.url + query);
  return { context, page };
}

// axe-core's violations of any impact on the page as it stands, as
// "rule: target" lines.
async function axeProblems(page) {
  await page.evaluate(AXE);
  const violations = await page.evaluate(async () => (await window.axe.run(document)).violations);
  return violations
    .flatMap((v) => v.nodes.map((n) => `${v.id}: ${n.target.join(' ')} ${n.failureSummary.split('\n')[1] || ''}`));
}

// The element with the focus, described by its id, or its row's repository.
function focused(page) {
  return page.evaluate(() => {
    const el = document.activeElement;
    if (!el || el === document.body) return 'body';
    if (el.classList.contains('name') && el.closest('tr.row')) return `row:${el.textContent}`;
    return el.id ? `#${el.id}` : el.tagName.toLowerCase();
  });
}

test('axe-core finds no violation of any impact in either theme, drawer open and closed, rows of either height', async () => {
  for (const theme of ['dark', 'light']) {
    const { context, page } = await dashboard(`?theme=${theme}`);
    try {
      assert.deepEqual(await axeProblems(page), [], `${theme}: the table`);
      // Every tag colour and the selected and hovered rows are on the page.
      await page.hover('#rows tr.row:nth-child(3)');
      // The hovered row stands out from the panel.
      const [hovered, panel] = await page.evaluate(() => [
        getComputedStyle(document.querySelector('#rows tr.row:nth-child(3) td')).backgroundColor,
        getComputedStyle(document.getElementById('panel')).backgroundColor,
      ]);
      assert.notEqual(hovered, panel, `${theme}: row hover`);
      assert.notEqual(hovered, 'rgba(0, 0, 0, 0)', `${theme}: row hover`);
      await page.click('#rows tr.row:nth-child(4)');
      await page.waitForSelector('#drawerBody .dsec');
      await page.waitForFunction(() => document.getElementById('drawer').getAnimations().length === 0);
      assert.deepEqual(await axeProblems(page), [], `${theme}: the drawer`);
      await page.keyboard.press('Escape');
      await page.waitForFunction(() => document.getElementById('drawer').getAnimations().length === 0);
      assert.deepEqual(await axeProblems(page), [], `${theme}: the drawer closed again`);
      await page.click('#densityBtn');
      assert.deepEqual(await axeProblems(page), [], `${theme}: compact rows`);
      await page.selectOption('#stateFilter', 'behind');
      await page.fill('#search', 'nothing like this');
      assert.deepEqual(await axeProblems(page), [], `${theme}: no match`);
    } finally {
      await context.close();
    }
  }
});

test('axe-core: the error tag, the notices and the failure banner in either theme', async () => {
  for (const theme of ['dark', 'light']) {
    const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
    try {
      // The real listing with one record git could not read, a full table
      // and a stopped walk; then a rescan that fails.
      let fail = false;
      await context.route(
        (url) => url.searchParams.get('action') === 'repos',
        async (route) => {
          if (fail) return route.abort();
          const res = await route.fetch();
          const d = await res.json();
          d.repos[1] = { ...d.repos[1], error: 'git did not answer within 20 s', dirty: 0, ahead: 0, behind: 0 };
          Object.assign(d, { table_capped: true, summary: { ...d.summary, errors: 1 } });
          d.roots[0].truncated = true;
          return route.fulfill({ response: res, json: d });
        },
      );
      const page = await openDashboard(context, `${host.url}?theme=${theme}`);
      fail = true;
      await page.click('#rescan');
      await page.waitForSelector('#banner:not(.hide)');
      await page.waitForFunction(() => !document.getElementById('rescan').disabled);
      assert.equal(await page.$$eval('#notices .notice', (els) => els.length), 3);
      assert.equal(await page.$$eval('#rows .t-err', (els) => els.filter((e) => e.getClientRects().length).length), 1);
      assert.deepEqual(await axeProblems(page), [], theme);
    } finally {
      await context.close();
    }
  }
});

test('the password page passes axe-core too', async () => {
  const guarded = await startHost({ env: { ...fx.env, BOT_PASSWORD: 'secret' } });
  const context = await browser.newContext();
  try {
    for (const theme of ['dark', 'light']) {
      const page = await context.newPage();
      await page.goto(`${guarded.url}?theme=${theme}`);
      assert.deepEqual(await axeProblems(page), [], theme);
      await page.close();
    }
  } finally {
    await context.close();
    await guarded.stop();
  }
});

test('keyboard only: search, a row, the drawer and back', async () => {
  const { context, page } = await dashboard();
  try {
    // "/" goes to the search box.
    await page.keyboard.press('/');
    assert.equal(await focused(page), '#search');
    await page.keyboard.type('a');
    assert.equal(await page.inputValue('#search'), 'a');
    await page.fill('#search', '');

    // Tab walks on to the filters, the sort, the sortable headers, then the rows in order.
    const stops = [];
    for (let i = 0; i < 7; i++) {
      await page.keyboard.press('Tab');
      stops.push(await focused(page));
    }
    // The merge stopped on its conflict comes first: it needs the user.
    assert.deepEqual(stops, ['#stateFilter', '#sortOrder', 'button', 'button', 'button', 'button', 'row:conflict']);
    // Each row's button is named by the repository and its state.
    assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')),
      'conflict, Resolve 1 conflict, then git merge --continue');
    await page.keyboard.press('Tab');
    assert.equal(await focused(page), 'row:bulk');
    // Arrow keys move between rows too.
    await page.keyboard.press('ArrowDown');
    assert.equal(await focused(page), 'row:beta');
    await page.keyboard.press('ArrowUp');
    assert.equal(await focused(page), 'row:bulk');

    // Enter opens the drawer, marks the row at once and gives the drawer the focus.
    await page.keyboard.press('Enter');
    assert.equal(await page.$eval('#rows tr.row.sel .name', (e) => e.textContent), 'bulk');
    assert.equal(await focused(page), '#drawerClose');
    await page.waitForSelector('#drawerBody .dsec');
    // Tab stays inside the dialog, both ways.
    const inside = [];
    for (let i = 0; i < 3; i++) {
      await page.keyboard.press('Tab');
      inside.push(await focused(page));
    }
    assert.deepEqual(inside, ['#copyPath', '#drawerClose', '#copyPath']);
    await page.keyboard.press('Shift+Tab');
    await page.keyboard.press('Shift+Tab');
    assert.equal(await focused(page), '#copyPath');
    // The page behind is out of reach while the dialog is open.
    assert.equal(await page.$eval('.wrap', (w) => w.inert), true);

    // Escape closes it and gives the focus back to the row.
    await page.keyboard.press('Escape');
    assert.equal(await focused(page), 'row:bulk');
    assert.equal(await page.$$eval('#rows tr.row.sel', (els) => els.length), 0);
    // Space opens it as well; the close button gives the focus back too.
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press(' ');
    await page.waitForSelector('#drawerBody .dsec');
    assert.equal(await page.textContent('#drawerTitle'), 'beta');
    await page.keyboard.press('Enter');
    assert.equal(await focused(page), 'row:beta');
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('the drawer is a modal dialog named by its title; chips say whether they are pressed', async () => {
  const { context, page } = await dashboard();
  try {
    await page.click('[data-filter="dirty"]');
    assert.deepEqual(await page.$$eval('.chip', (cs) => cs.map((c) => c.getAttribute('aria-pressed'))),
      ['false', 'false', 'true', 'false', 'false', 'false', 'false']);
    await page.click('[data-filter="dirty"]');
    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');
    const dialog = await page.$eval('#drawer', (d) => ({
      role: d.getAttribute('role'),
      modal: d.getAttribute('aria-modal'),
      name: document.getElementById(d.getAttribute('aria-labelledby')).textContent,
    }));
    assert.deepEqual(dialog, { role: 'dialog', modal: 'true', name: 'conflict' });
    assert.equal(await page.locator('main').count(), 1);
  } finally {
    await context.close();
  }
});

test('the live region says what a load and a filter did', async () => {
  const { context, page } = await dashboard();
  try {
    const live = () => page.textContent('#live');
    await page.waitForFunction(() => document.getElementById('live').textContent !== '');
    assert.equal(await live(), 'Loaded 7 repositories.');
    assert.deepEqual(
      await page.$eval('#live', (e) => [e.getAttribute('role'), e.getAttribute('aria-live')]),
      ['status', 'polite'],
    );
    await page.fill('#search', 'main');
    await page.waitForFunction(() => /shown$/.test(document.getElementById('live').textContent));
    assert.equal(await live(), '6 of 7 repositories shown');
  } finally {
    await context.close();
  }
});

test('a merge stopped on a conflict shows the operation and the conflict tag', async () => {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  try {
    const page = await openDashboard(context, host.url);
    const row = '#rows tr.row[data-p$="/conflict"]';
    const shown = await page.$$eval(`${row} .c-state .tags > *`, (ts) =>
      ts.filter((t) => t.getClientRects().length).map((t) => t.firstChild.textContent));
    assert.deepEqual(shown, ['merging', '1 conflicted', '+2']);
    assert.equal(await page.textContent(`${row} .step`), 'Resolve 1 conflict, then git merge --continue');
    // What "+2" stands for shows beside it when the row has the focus.
    await page.focus(`${row} .name`);
    const more = page.locator(`${row} .tags.tw .more.mf .more-list`);
    assert.equal((await more.textContent()).trim(), '1 changed, no remote');
    assert.ok((await more.boundingBox()).width > 40);
  } finally {
    await context.close();
  }
});
