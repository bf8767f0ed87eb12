'use strict';
// The views a person asks for: sort by column, the view kept in the page's
// address across a reload and a shared link, two repositories of one name
// told apart, and a repository git cannot read, shown as such in its row,
// its state filter and its drawer.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { STANDARD, HOUR, makeRepo } = require('./lib/fixtures');
const { openDashboard, rowNames } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

let fx, host, browser;

// A folder whose .git is an empty file: git cannot read it.
const BROKEN = 'broken';

before(async () => {
  ({ fx, host, browser } = await startSuite(STANDARD, {
    prepare(f) {
      for (const group of ['team-a', 'team-b']) {
        fs.mkdirSync(path.join(f.root, group));
        makeRepo(path.join(f.root, group), path.join(f.base, 'remotes'), 'app', { subject: `Start ${group}`, age: HOUR });
      }
      fs.mkdirSync(path.join(f.root, BROKEN));
      fs.writeFileSync(path.join(f.root, BROKEN, '.git'), '');
    },
  }));
});

after(() => stopSuite({ fx, host, browser }));

async function dashboard(query = '', context) {
  context = context || (await browser.newContext({ viewport: { width: 1440, height: 900 } }));
  const page = await openDashboard(context, host.url + query);
  return { context, page };
}

function headerSort(page) {
  return page.$$eval('th[aria-sort]', (ths) => ths.map((th) => `${th.textContent.trim()}:${th.getAttribute('aria-sort')}`));
}

test('sort by a column, and the view kept across a reload and in a shared link', async () => {
  const { context, page } = await dashboard();
  try {
    // Newest commit first (ties in the server's order, no commit last), then
    // reversed by a second click.
    await page.click('th[data-sort="age"] button');
    assert.deepEqual(await headerSort(page), ['Last commit:ascending']);
    assert.deepEqual(await rowNames(page), [
      'bulk', 'team-a/app', 'team-b/app', 'alpha', 'beta', 'gamma', 'delta', BROKEN, 'empty',
    ]);
    await page.click('th[data-sort="age"] button');
    assert.deepEqual(await headerSort(page), ['Last commit:descending']);
    assert.equal(await page.inputValue('#sortOrder'), 'age');
    assert.deepEqual(await rowNames(page), [
      BROKEN, 'empty', 'delta', 'gamma', 'beta', 'alpha', 'team-a/app', 'team-b/app', 'bulk',
    ]);

    await page.click('[data-filter="stash"]');
    await page.selectOption('#stateFilter', 'clean');
    await page.fill('#search', 'e');
    const view = await rowNames(page);
    assert.deepEqual(view, ['delta', 'alpha']);
    const params = Object.fromEntries(new URL(page.url()).searchParams);
    assert.deepEqual(params, { sort: '-age', chip: 'stash', state: 'clean', q: 'e' });

    await page.reload();
    await page.waitForFunction(() => document.getElementById('rootPill').textContent !== 'local');
    assert.deepEqual(await rowNames(page), view);
    assert.equal(await page.inputValue('#search'), 'e');
    assert.equal(await page.inputValue('#stateFilter'), 'clean');
    assert.deepEqual(await page.$$eval('.chip.sel', (els) => els.map((e) => e.getAttribute('data-filter'))), ['stash']);
    assert.deepEqual(await headerSort(page), ['Last commit:descending']);

    // The same address in a fresh browser shows the same view.
    const shared = await dashboard(new URL(page.url()).search);
    try {
      assert.deepEqual(await rowNames(shared.page), view);
    } finally {
      await shared.context.close();
    }
    // The state sort from the select, by the program's rank: unreadable,
    // changes (most first), unpushed, then those with no remote in the
    // server's order.
    await page.click('#clearFilters');
    await page.selectOption('#sortOrder', 'state');
    assert.deepEqual((await rowNames(page)).slice(0, 6), [BROKEN, 'bulk', 'beta', 'alpha', 'team-a/app', 'team-b/app']);
    assert.deepEqual(await headerSort(page), ['State:ascending']);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('two repositories of one name show their paths below the root; every name has the whole path as tooltip', async () => {
  const { context, page } = await dashboard();
  try {
    const names = await page.$$eval('#rows tr.row .name', (els) => els.map((e) => [e.textContent, e.title]));
    const apps = names.filter(([, title]) => title.endsWith(`${path.sep}app`));
    assert.deepEqual(apps.map(([text]) => text).sort(), ['team-a/app', 'team-b/app']);
    for (const [text, title] of names) assert.equal(title, path.join(fx.root, text));
    await page.fill('#search', 'team-b');
    assert.deepEqual(await rowNames(page), ['team-b/app']);
    // The root is shown in its own column, not searched: only the unreadable
    // repository's message, which names its folder in full, matches.
    await page.fill('#search', path.basename(fx.base));
    assert.deepEqual(await rowNames(page), [BROKEN]);
    await page.fill('#search', 'no-such-repository');
    assert.equal(await page.textContent('#empty'), 'No repositories match these filters.');
  } finally {
    await context.close();
  }
});

// What the listing's broken record looks like to the page, and its row.
async function brokenRow(page) {
  return page.$eval(`#rows tr.row[data-p$="${path.sep}${BROKEN}"]`, (tr) => ({
    tags: [...tr.querySelectorAll('.tag')].filter((t) => t.getClientRects().length).map((t) => `${t.className}|${t.textContent}`),
    last: tr.querySelector('.c-last').textContent,
    lastClass: tr.querySelector('.c-last div').className,
  }));
}

// A repository git cannot read: its row, the state filter and the drawer, as
// the program reports it.
test('an unreadable repository: its row, its state filter and its drawer', async () => {
  const listing = await (await fetch(`${host.url}?action=repos`)).json();
  const record = listing.repos.find((r) => r.name === BROKEN);
  assert.match(record.error, /\S/);
  await checkBrokenRow(record.error);
});

async function checkBrokenRow(message, context) {
  const { context: ctx, page } = await dashboard('', context);
  try {
    assert.deepEqual(await brokenRow(page), { tags: ['tag t-err|unreadable'], last: message, lastClass: 'sub subtext errtext' });
    assert.match(await page.textContent('#notices'), /Git could not read 1 repository/);
    // The notice's button shows the Error state.
    await page.click('#notices button');
    assert.equal(await page.inputValue('#stateFilter'), 'error');
    assert.deepEqual(await rowNames(page), [BROKEN]);
    // Never clean: the "Clean" state leaves it out, the "Error" state has it alone.
    await page.selectOption('#stateFilter', 'clean');
    assert.ok(!(await rowNames(page)).includes(BROKEN));
    await page.selectOption('#stateFilter', 'error');
    assert.deepEqual(await rowNames(page), [BROKEN]);
    // Seven chips: All and Needs you count it, and Only here (nothing tells
    // that it holds no work only here).
    assert.equal(await page.$$eval('.chip', (cs) => cs.length), 7);
    assert.equal(await page.textContent('#vNeeds'), '1');
    await page.click('.chip[data-filter="here"]');
    assert.ok((await rowNames(page)).includes(BROKEN));
    await page.click('.chip[data-filter="here"]');

    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');
    assert.equal(await page.textContent('#drawerBody .err'), message);
    assert.deepEqual(await page.$$eval('#drawerBody .tag', (ts) => ts.map((t) => t.textContent)), ['unreadable']);
    assert.match(await page.textContent('#drawerBody .dstep'), /^Unreadable: /);
    const body = await page.textContent('#drawerBody');
    assert.ok(!body.includes('Working tree is clean.'), body);
    assert.deepEqual(page.problems, []);
  } finally {
    await ctx.close();
  }
}
