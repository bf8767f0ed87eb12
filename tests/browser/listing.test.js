'use strict';
// The dashboard's listing in a real browser: pill, chips, rows in the
// server's order, the chip filters, the state select and the search.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { STANDARD } = require('./lib/fixtures');
const { startHost } = require('./lib/host');
const { openDashboard, trackedPage, waitLoaded, rowNames } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

let fx, host, browser, listing;

before(async () => {
  ({ fx, host, browser } = await startSuite(STANDARD));
  const res = await fetch(`${host.url}?action=repos`);
  listing = await res.json();
});

after(() => stopSuite({ fx, host, browser }));

async function dashboard() {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  const page = await openDashboard(context, host.url);
  return { context, page };
}

// What each row shows: branch cell, the step, the tags in view, sync cell,
// stash cell, age. The youngest commit is five minutes old when the fixture
// is made; a slow run may see it a minute older. A detached row shows no
// branch (its tag says it); a row without commits says so, with no hash
// line. Empty cells are empty, not a dash read aloud.
const ROWS = {
  bulk: { branch: 'main', step: 'Commit or stash 742 changes', tags: ['742 changed', 'no remote'], sync: '', stash: '',
    age: /^[56]m ago$/ },
  beta: { branch: 'main', step: 'Commit or stash 3 changes', tags: ['3 changed'], sync: '\u21910 \u21931', stash: '', age: '3d ago' },
  // Cloned and never fetched since: its figures are marked stale.
  alpha: { branch: 'main', step: 'Push 2 commits', tags: ['\u21912 to push', 'never fetched'], sync: '\u21912 \u21930', stash: '1',
    age: '2h ago' },
  gamma: { branch: null, step: 'No remote: everything is only here', tags: ['no remote', 'detached'], sync: '', stash: '', age: '1mo ago' },
  delta: { branch: 'main', step: 'No remote: everything is only here', tags: ['no remote'], sync: '', stash: '2', age: '1y ago' },
  empty: { branch: 'main', step: 'No remote: everything is only here', tags: ['no remote', 'no commits'], sync: '', stash: '', age: null },
};

test('pill, chips and rows show the server listing in its order', async () => {
  const { context, page } = await dashboard();
  try {
    // One existing root; the missing second root is not counted.
    assert.equal(await page.textContent('#rootPill'), '1 root');
    assert.equal(listing.roots.length, 2);

    const chips = await page.$$eval('.chip .v', (els) => els.map((e) => e.textContent));
    const s = listing.summary;
    assert.deepEqual(chips.slice(0, 6), [listing.count, 0, s.dirty, s.ahead, s.behind, s.stashes].map(String));
    // The last chip, "Only here": every repository of this tree has changes,
    // stashes or no remote.
    assert.deepEqual(chips, ['6', '0', '2', '1', '1', '3', '6']);

    const names = await rowNames(page);
    assert.deepEqual(names, listing.repos.map((r) => r.name));
    assert.deepEqual(names, ['bulk', 'beta', 'alpha', 'gamma', 'delta', 'empty']);

    const cells = await page.$$eval('#rows tr.row', (trs) =>
      trs.map((tr) => ({
        path: tr.getAttribute('data-p'),
        classes: [...tr.cells].map((td) => td.className),
        branch: tr.querySelector('.c-repo .sub .mo') ? tr.querySelector('.c-repo .sub .mo').textContent : null,
        step: tr.querySelector('.c-state .step').textContent,
        tags: [...tr.querySelectorAll('.c-state .tag')].filter((t) => t.getClientRects().length).map((t) => `${t.className}|${t.textContent}`),
        where: [tr.cells[2].textContent, tr.cells[2].title],
        sync: tr.cells[3].textContent,
        stash: tr.cells[4].textContent,
        subject: tr.querySelector('.subtext').textContent,
        hash: tr.querySelector('.hash') ? tr.querySelector('.hash').textContent : null,
        button: tr.querySelector('.c-repo button.name').getAttribute('aria-label'),
      })),
    );
    for (let i = 0; i < cells.length; i++) {
      const r = listing.repos[i];
      const want = ROWS[r.name];
      const c = cells[i];
      assert.equal(c.path, r.path);
      assert.deepEqual(c.classes, ['c-repo', 'c-state', 'c-root muted mo', 'c-sync mo', 'c-stash mo', 'c-last']);
      assert.equal(c.branch, want.branch, r.name);
      assert.equal(c.step, want.step, r.name);
      assert.equal(c.step, r.step, r.name);
      assert.equal(c.button, `${r.name}, ${r.step}`);
      assert.deepEqual(c.tags.map((t) => t.split('|')[1]), want.tags, r.name);
      for (const t of c.tags) assert.match(t, /^tag t-(dirty|ahead|behind|stale|det|noup|stash|clean|unborn)( x)?\|/);
      // The path below the root; the root once, in the column header's tooltip.
      assert.deepEqual(c.where, [r.name, r.path]);
      assert.equal(c.sync, want.sync, r.name);
      assert.equal(c.stash, want.stash, r.name);
      if (want.age === null) {
        assert.equal(c.subject, 'No commits yet');
        assert.equal(c.hash, null);
        continue;
      }
      assert.equal(c.subject, r.last_commit.subject);
      const [short, age] = c.hash.split(' \u00b7 ');
      assert.equal(short, r.last_commit.short.slice(0, 8), r.name);
      if (want.age instanceof RegExp) assert.match(age, want.age, r.name);
      else assert.equal(age, want.age, r.name);
    }
    assert.equal(await page.getAttribute('#pathHead', 'title'), `Below ${fx.root}`);
    // The tags that say what the Sync and Stash columns say are not shown
    // beside them, unless one is the row's state.
    const shownTags = await page.$eval('#rows tr.row[data-p$="/alpha"]', (tr) =>
      [...tr.querySelectorAll('.tag')].filter((t) => t.getClientRects().length).map((t) => t.textContent));
    assert.deepEqual(shownTags, ['\u21912 to push', 'never fetched']);
    // An eleven-character short hash is cut to eight.
    assert.equal(listing.repos[0].last_commit.short.length, 11);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('chips filter the rows and mark the selected chip', async () => {
  const { context, page } = await dashboard();
  try {
    assert.equal(await page.$$eval('.chip.sel', (els) => els.length), 0);
    const before = await page.locator('[data-filter="dirty"]').boundingBox();
    const cases = [
      ['dirty', ['bulk', 'beta']],
      ['ahead', ['alpha']],
      ['behind', ['beta']],
      // Three stash entries in two repositories: the chip says 3, two rows pass.
      ['stash', ['alpha', 'delta']],
      ['all', ['bulk', 'beta', 'alpha', 'gamma', 'delta', 'empty']],
    ];
    for (const [filter, names] of cases) {
      await page.click(`[data-filter="${filter}"]`);
      assert.deepEqual(await rowNames(page), names, filter);
      const selected = await page.$$eval('.chip.sel', (els) => els.map((e) => e.getAttribute('data-filter')));
      assert.deepEqual(selected, [filter]);
    }
    assert.equal(await page.textContent('#vStash'), '3');

    // The ring is an inset shadow in the accent colour: the chip keeps its size.
    await page.click('[data-filter="dirty"]');
    const ring = await page.$eval('[data-filter="dirty"]', (e) => getComputedStyle(e).boxShadow);
    assert.match(ring, /inset/);
    assert.match(ring, /1\.5px/);
    const afterBox = await page.locator('[data-filter="dirty"]').boundingBox();
    assert.equal(afterBox.width, before.width);
    assert.equal(afterBox.height, before.height);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('the state select and the search narrow the rows', async () => {
  const { context, page } = await dashboard();
  try {
    const states = [
      ['dirty', ['bulk', 'beta']],
      ['clean', ['alpha', 'gamma', 'delta', 'empty']],
      ['ahead', ['alpha']],
      ['behind', ['beta']],
      ['detached', ['gamma']],
      ['noup', ['bulk', 'delta', 'empty']],
      ['', ['bulk', 'beta', 'alpha', 'gamma', 'delta', 'empty']],
    ];
    for (const [value, names] of states) {
      await page.selectOption('#stateFilter', value);
      assert.deepEqual(await rowNames(page), names, `state ${value}`);
    }

    const searches = [
      // Case-insensitive, over the branch...
      ['MAIN', ['bulk', 'beta', 'alpha', 'delta', 'empty']],
      // ...over the last commit's subject...
      ['widget', ['beta']],
      ['PARSER TESTS', ['alpha']],
      // ...over the upstream and the name...
      ['origin/', ['beta', 'alpha']],
      ['gam', ['gamma']],
      // ...but not over the remote URL.
      ['alpha-origin.git', []],
      ['', ['bulk', 'beta', 'alpha', 'gamma', 'delta', 'empty']],
    ];
    for (const [text, names] of searches) {
      await page.fill('#search', text);
      assert.deepEqual(await rowNames(page), names, `search ${JSON.stringify(text)}`);
      const emptyShown = await page.isVisible('#empty');
      assert.equal(emptyShown, names.length === 0, `message box for ${JSON.stringify(text)}`);
      assert.equal(await page.textContent('#shown'), `${names.length} of 6 repositories shown`);
    }
    // No match among the repositories found: the filters say so.
    await page.fill('#search', 'no such words');
    assert.equal(await page.textContent('#empty'), 'No repositories match these filters.');
    // The clear-filters control brings every row back.
    await page.click('#clearFilters');
    assert.deepEqual(await rowNames(page), ['bulk', 'beta', 'alpha', 'gamma', 'delta', 'empty']);
    assert.equal(await page.isVisible('#empty'), false);
    assert.equal(await page.isVisible('#clearFilters'), false);
    assert.equal(await page.inputValue('#search'), '');
    // The button hid itself: the focus is in the search box, not lost to the body.
    assert.equal(await page.evaluate(() => document.activeElement.id), 'search');
    // By keyboard as well.
    await page.selectOption('#stateFilter', 'dirty');
    await page.focus('#clearFilters');
    await page.keyboard.press('Enter');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'search');
    assert.equal(await page.inputValue('#stateFilter'), '');

    // All three filters at once.
    await page.click('[data-filter="dirty"]');
    await page.selectOption('#stateFilter', 'behind');
    await page.fill('#search', 'flaky');
    assert.deepEqual(await rowNames(page), ['beta']);
    await page.fill('#search', 'bulk');
    assert.deepEqual(await rowNames(page), []);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('Rescan is disabled while a load runs', async () => {
  const { context, page } = await dashboard();
  try {
    // Hold the listing request until the button has been looked at.
    let release;
    const held = new Promise((r) => (release = r));
    await page.route((url) => url.searchParams.get('action') === 'repos', async (route) => {
      await held;
      await route.continue();
    });
    await page.click('#rescan');
    await page.waitForFunction(() => document.getElementById('rescan').disabled);
    const look = await page.$eval('#rescan', (b) => [getComputedStyle(b).opacity, getComputedStyle(b).cursor]);
    assert.deepEqual(look, ['0.5', 'default']);
    release();
    await waitLoaded(page);
    assert.equal(await page.textContent('#rootPill'), '1 root');
    assert.equal((await rowNames(page)).length, 6);
  } finally {
    await context.close();
  }
});

test('a refused listing shows the failure and keeps the page usable', async () => {
  const context = await browser.newContext();
  const password = 'open sesame';
  const guarded = await startHost({ env: { ...fx.env, BOT_PASSWORD: password } });
  try {
    const page = await trackedPage(context);
    // The page request itself carries the password as a bearer token, as a
    // proxy might; the script has none, so the listing gets a real 401.
    await page.route('**/plugin_quarlo', (route) =>
      route.continue({ headers: { ...route.request().headers(), authorization: `Bearer ${password}` } }),
    );
    const res = await page.goto(guarded.url);
    assert.equal(res.status(), 200);
    await waitLoaded(page);
    assert.equal(await page.textContent('#rootPill'), 'error');
    // One message, in the banner; the table's message box says nothing.
    assert.equal(await page.textContent('#bannerText'), 'The password was not accepted. No listing has been loaded yet.');
    assert.equal(await page.isVisible('#banner'), true);
    // The field for the password, in place; typed, it loads the listing.
    assert.equal(await page.isVisible('#pwAgainField'), true);
    assert.equal(await page.isVisible('#empty'), false);
    // The counts are unknown, not zero, and not coloured.
    assert.deepEqual(await page.$$eval('.chip .v', (els) => els.map((e) => e.textContent)),
      ['\u2013', '\u2013', '\u2013', '\u2013', '\u2013', '\u2013', '\u2013']);
    const colours = await page.$$eval('.chip .v', (els) => new Set(els.map((e) => getComputedStyle(e).color)).size);
    assert.equal(colours, 1);
    assert.equal(await page.isEnabled('#rescan'), true);
    assert.deepEqual(await rowNames(page), []);
    await page.fill('#pwAgainField', password);
    await page.press('#pwAgainField', 'Enter');
    await page.waitForSelector('#banner.hide', { state: 'attached' });
    await waitLoaded(page);
    assert.equal((await rowNames(page)).length, 6);
  } finally {
    await context.close();
    await guarded.stop();
  }
});
