'use strict';
// Work that exists only on this machine, on real repositories: commits on
// branches never pushed, a repository without a remote, branches whose
// upstream is gone; the row tags, the "Only here" view (kept in the
// address), the state select, the drawer's branch table, and axe-core in
// both themes.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { NOW, HOUR, DAY, git } = require('./lib/fixtures');
const { openDashboard, rowNames, rowTags, axeProblems } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

const AXE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

let fx, host, browser;

function commitFile(dir, file, subject, when) {
  fs.appendFileSync(path.join(dir, file), `${subject}\n`);
  git(dir, ['add', '-A']);
  git(dir, ['commit', '-q', '-m', subject], when);
}

const REPOS = [
  ['topics', { upstream: 'topics-origin', subject: 'Base', age: DAY }],
  ['alone', { subject: 'Only on this disk', age: 2 * DAY }],
  ['pruned', { upstream: 'pruned-origin', subject: 'Merged work', age: 3 * DAY }],
  ['synced', { upstream: 'synced-origin', subject: 'All pushed', age: 4 * DAY }],
  ['stashed', { upstream: 'stashed-origin', subject: 'Put aside', age: 5 * DAY, stash: 1 }],
];

function prepare(f) {
  const r = f.repos;
  // Two branches never pushed: two commits on one, one on the other.
  git(r.topics, ['checkout', '-q', '-b', 'topic']);
  commitFile(r.topics, 't.txt', 'Topic one', NOW - 3 * HOUR);
  commitFile(r.topics, 't.txt', 'Topic two', NOW - 2 * HOUR);
  git(r.topics, ['checkout', '-q', '-b', 'spike', 'main']);
  commitFile(r.topics, 's.txt', 'Spike', NOW - HOUR);
  git(r.topics, ['checkout', '-q', 'main']);
  // Two branches pushed, merged and deleted on the remote, then pruned.
  const bare = path.join(f.base, 'remotes', 'pruned-origin.git');
  for (const b of ['old-one', 'old-two']) {
    git(r.pruned, ['checkout', '-q', '-b', b, 'main']);
    git(r.pruned, ['push', '-q', '-u', 'origin', b]);
    git(bare, ['branch', '-q', '-D', b]);
  }
  git(r.pruned, ['checkout', '-q', 'main']);
  git(r.pruned, ['fetch', '-q', '--prune']);
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

test('the rows tell unpushed commits, no remote and gone branches', async () => {
  const { context, page } = await dashboard();
  try {
    const tags = Object.fromEntries(await rowTags(page));
    const cases = [
      ['topics', '3 unpushed on 2 branches'],
      ['alone', 'no remote'],
      ['pruned', '2 gone branches'],
    ];
    for (const [name, tag] of cases) assert.ok(tags[name].includes(tag), `${name}: ${tags[name].join()}`);
    // A clone that was never fetched says so, and nothing else.
    assert.deepEqual(tags.synced, ['never fetched']);
  } finally {
    await context.close();
  }
});

test('the Only here view shows what exists only on this machine, and the address keeps it', async () => {
  const { context, page } = await dashboard();
  try {
    assert.equal(await page.textContent('#vHere'), '3');
    await page.click('.chip[data-filter="here"]');
    assert.deepEqual((await rowNames(page)).sort(), ['alone', 'stashed', 'topics']);
    assert.match(page.url(), /chip=here/);
    await page.reload();
    await page.waitForFunction(() => document.querySelectorAll('#rows tr.row').length === 3);
    assert.equal(await page.getAttribute('.chip[data-filter="here"]', 'aria-pressed'), 'true');
    await page.click('.chip[data-filter="all"]');
    const states = [
      ['unpushed', ['topics']],
      ['noremote', ['alone']],
      ['gonebr', ['pruned']],
    ];
    for (const [state, want] of states) {
      await page.selectOption('#stateFilter', state);
      assert.deepEqual(await rowNames(page), want, state);
      assert.match(page.url(), new RegExp(`state=${state}`));
    }
  } finally {
    await context.close();
  }
});

// The drawer's table: each branch's row as its cells read.
async function branchRows(page, name) {
  await page.click(`#rows tr.row[data-p$="/${name}"]`);
  await page.waitForSelector('#drawerBody table.btable');
  return page.$$eval('#drawerBody table.btable tbody tr', (trs) =>
    trs.map((tr) => [...tr.querySelectorAll('td')].slice(0, 4).map((td) => td.textContent)));
}

test('the drawer lists every branch: the checked-out one first, then the newest', async () => {
  const { context, page } = await dashboard();
  try {
    assert.deepEqual(await branchRows(page, 'topics'), [
      ['main (checked out)*', 'origin/main', 'in sync', '-'],
      ['spike', '-', '-', '1'],
      ['topic', '-', '-', '2'],
    ]);
    await page.keyboard.press('Escape');
    assert.deepEqual(await branchRows(page, 'pruned'), [
      ['main (checked out)*', 'origin/main', 'in sync', '-'],
      ['old-one', 'origin/old-one', 'upstream gone', '-'],
      ['old-two', 'origin/old-two', 'upstream gone', '-'],
    ]);
    await page.keyboard.press('Escape');
    const alone = await branchRows(page, 'alone');
    assert.deepEqual(alone, [['main (checked out)*', '-', '-', '1']]);
    assert.match(await page.textContent('#drawerBody'), /No remote: every commit here exists only on this machine/);
  } finally {
    await context.close();
  }
});

test('axe-core finds no violation in either theme with the tags, the view and the branch table', async () => {
  for (const theme of ['dark', 'light']) {
    const { context, page } = await dashboard(`?theme=${theme}&chip=here`);
    try {
      const problems = () => axeProblems(page, AXE);
      assert.deepEqual(await problems(), [], `${theme}: the view`);
      await page.click('.chip[data-filter="all"]');
      await branchRows(page, 'topics');
      await page.waitForFunction(() => document.getElementById('drawer').getAnimations().length === 0);
      assert.deepEqual(await problems(), [], `${theme}: the drawer`);
      await page.keyboard.press('Escape');
      await page.setViewportSize({ width: 390, height: 800 });
      assert.deepEqual(await problems(), [], `${theme}: narrow`);
    } finally {
      await context.close();
    }
  }
});
