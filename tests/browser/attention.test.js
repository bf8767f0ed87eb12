'use strict';
// What needs the user, on real repositories: an operation left in progress,
// an upstream deleted on the remote and pruned, ahead and behind from a
// fetch long ago or never; the tags, the state select and the chip, the
// default order, the drawer's last fetch, and axe-core in both themes.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { NOW, MIN, HOUR, DAY, git, commitFile, fetchedAt, goneFeatureBranch, stoppedRebase } = require('./lib/fixtures');
const { openDashboard, rowNames, rowTags, axeProblems } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

const AXE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

let fx, host, browser;

// The repositories and what each is left in. Without the new states the
// server would list "dirty" first and "broken" last.
const REPOS = [
  ['dirty', { subject: 'Work in progress', age: MIN, dirty: 2 }],
  ['fresh', { upstream: 'fresh-origin', subject: 'Fresh work', age: 2 * HOUR }],
  ['stale', { upstream: 'stale-origin', subject: 'Old work', age: 20 * DAY }],
  ['never', { upstream: 'never-origin', subject: 'Cloned once', age: 30 * DAY }],
  ['pruned', { upstream: 'pruned-origin', subject: 'Merged feature', age: 3 * DAY }],
  ['rebasing', { subject: 'Base', age: 5 * DAY }],
  ['bisecting', { subject: 'Base', age: 6 * DAY }],
];

function prepare(f) {
  const r = f.repos;
  git(r.fresh, ['fetch', '-q']);
  fetchedAt(r.fresh, NOW - 5 * MIN);
  git(r.stale, ['fetch', '-q']);
  fetchedAt(r.stale, NOW - 12 * DAY);
  // A feature branch pushed, merged and deleted on the remote, then pruned.
  goneFeatureBranch(r.pruned, path.join(f.base, 'remotes', 'pruned-origin.git'), NOW - 3 * DAY);
  fetchedAt(r.pruned, NOW - HOUR);
  // A rebase of topic stopped on a conflict.
  stoppedRebase(r.rebasing, NOW - 5 * DAY);
  for (let i = 0; i < 3; i++) commitFile(r.bisecting, 'n.txt', `${i}\n`, `Step ${i}`, NOW - 6 * DAY + i);
  git(r.bisecting, ['bisect', 'start']);
  git(r.bisecting, ['bisect', 'bad']);
  git(r.bisecting, ['bisect', 'good', 'HEAD~3']);
  // A `.git` file git cannot read.
  fs.mkdirSync(path.join(f.root, 'broken'));
  fs.writeFileSync(path.join(f.root, 'broken', '.git'), 'nonsense\n');
}

before(async () => {
  ({ fx, host, browser } = await startSuite(REPOS, { prepare }));
});

after(() => stopSuite({ fx, host, browser }));

async function dashboard(query = '') {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  const page = await openDashboard(context, host.url + query);
  return { context, page };
}

test('the tags, the Sync column and the default order: the unreadable and the stopped first', async () => {
  const { context, page } = await dashboard();
  try {
    const rows = await rowTags(page);
    const names = rows.map((r) => r[0]);
    assert.equal(names[0], 'broken');
    assert.deepEqual(names.slice(1, 3).sort(), ['bisecting', 'rebasing']);
    // A deleted upstream needs you too; then the order of before: dirty first.
    assert.equal(names[3], 'pruned');
    assert.equal(names[4], 'dirty');
    const tags = Object.fromEntries(rows);
    assert.deepEqual(tags.broken, ['unreadable']);
    assert.deepEqual(tags.rebasing.slice(0, 1), ['rebasing topic']);
    assert.deepEqual(tags.bisecting.slice(0, 1), ['bisecting']);
    assert.deepEqual(tags.pruned.slice(0, 1), ['upstream gone']);
    assert.deepEqual(tags.stale, ['fetched 12 days ago']);
    assert.deepEqual(tags.never, ['never fetched']);
    // Old figures: grey and slanted; in sync: grey zeros; no upstream: empty.
    const sync = Object.fromEntries(await page.$$eval('#rows tr.row', (trs) =>
      trs.map((tr) => [tr.querySelector('.name').textContent, tr.querySelector('td.c-sync').innerHTML])));
    assert.equal(sync.stale, '<span class="stale">\u21910 \u21930</span>');
    assert.equal(sync.never, '<span class="stale">\u21910 \u21930</span>');
    assert.equal(sync.fresh, '<span class="muted">\u21910 \u21930</span>');
    assert.equal(sync.pruned, '');
    assert.equal(await page.textContent('#vNeeds'), '4');
  } finally {
    await context.close();
  }
});

test('the state select and the chip show just those, and the address keeps the view', async () => {
  const { context, page } = await dashboard();
  try {
    const cases = [
      ['operation', ['rebasing', 'bisecting']],
      ['gone', ['pruned']],
      ['stale', ['stale', 'never']],
    ];
    for (const [state, want] of cases) {
      await page.selectOption('#stateFilter', state);
      assert.deepEqual((await rowNames(page)).sort(), want.sort(), state);
      assert.match(page.url(), new RegExp(`state=${state}`));
    }
    await page.selectOption('#stateFilter', '');
    await page.click('.chip[data-filter="needs"]');
    const needs = await rowNames(page);
    assert.equal(needs[0], 'broken');
    assert.deepEqual(needs.sort(), ['bisecting', 'broken', 'pruned', 'rebasing']);
    assert.match(page.url(), /chip=needs/);
    // A reload shows the same view.
    await page.reload();
    await page.waitForFunction(() => document.querySelectorAll('#rows tr.row').length === 4);
    assert.equal(await page.getAttribute('.chip[data-filter="needs"]', 'aria-pressed'), 'true');
  } finally {
    await context.close();
  }
});

test('the drawer says when the repository was last fetched', async () => {
  const { context, page } = await dashboard();
  try {
    const cases = [
      ['stale', 'fetched 12 days ago: ahead and behind may be out of date'],
      ['never', 'never fetched: ahead and behind may be out of date'],
      // Five minutes when the fixture was made; a slow run sees six.
      ['fresh', /^fetched [56] minutes ago$/],
    ];
    for (const [name, want] of cases) {
      await page.click(`#rows tr.row[data-p$="/${name}"]`);
      await page.waitForSelector('#drawerBody .note.fetched');
      const note = await page.textContent('#drawerBody .note.fetched');
      if (want instanceof RegExp) assert.match(note, want, name);
      else assert.equal(note, want, name);
      await page.keyboard.press('Escape');
    }
    await page.click('#rows tr.row[data-p$="/pruned"]');
    await page.waitForSelector('#drawerBody .note.gone');
    assert.match(await page.textContent('#drawerBody .note.gone'), /The upstream origin\/feature was deleted on the remote/);
    // The ahead and behind tooltips carry the age: a narrow window shows the tags.
    await page.keyboard.press('Escape');
  } finally {
    await context.close();
  }
});

test('axe-core finds no violation in either theme with the new tags, rows and drawer', async () => {
  for (const theme of ['dark', 'light']) {
    const { context, page } = await dashboard(`?theme=${theme}`);
    try {
      const problems = () => axeProblems(page, AXE);
      assert.deepEqual(await problems(), [], `${theme}: the table`);
      await page.click('#rows tr.row[data-p$="/stale"]');
      await page.waitForSelector('#drawerBody .note.fetched');
      await page.waitForFunction(() => document.getElementById('drawer').getAnimations().length === 0);
      assert.deepEqual(await problems(), [], `${theme}: the drawer`);
      await page.keyboard.press('Escape');
      // A narrow window: the column tags (stale, ahead, behind) stand in the rows.
      await page.setViewportSize({ width: 390, height: 800 });
      assert.deepEqual(await problems(), [], `${theme}: narrow`);
    } finally {
      await context.close();
    }
  }
});
