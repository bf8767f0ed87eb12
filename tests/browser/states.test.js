'use strict';
// Eight repositories, each in another state, at 1280, 768 and 390 px, in
// both themes and both row heights: every row's name and its most urgent
// state in full view (measured boxes), the step in words, "+N" naming what
// it hides, no axe-core violation; and the page, the listing's summary and
// the terminal agreeing on what needs the user and what comes first.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { NOW, MIN, HOUR, DAY, git, fetchedAt, goneFeatureBranch, stoppedRebase } = require('./lib/fixtures');
const { openDashboard, rowNames } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

const AXE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

let fx, host, browser;

const REPOS = [
  ['web-frontend', { subject: 'Work in progress', age: MIN, dirty: 4, stash: 1 }],
  ['pushme', { upstream: 'pushme-origin', subject: 'Local work', age: 2 * HOUR, ahead: 2 }],
  ['pullme', { upstream: 'pullme-origin', subject: 'Base', age: 3 * HOUR, behind: 1 }],
  ['stale', { upstream: 'stale-origin', subject: 'Old work', age: 20 * DAY }],
  ['pruned', { upstream: 'pruned-origin', subject: 'Merged feature', age: 3 * DAY, stash: 2 }],
  ['rebasing', { subject: 'Base', age: 5 * DAY }],
  ['notes', { subject: 'Jot', age: 9 * DAY }],
];

// [name, state, step, needs you]: what the program says of each.
const STATES = [
  ['broken', 'unreadable', /^Unreadable: /, true],
  ['rebasing', 'operation', /^Resolve 1 conflict, then git rebase --continue$/, true],
  ['pruned', 'gone', /^Upstream deleted: switch branch or delete feature$/, true],
  ['web-frontend', 'changes', /^Commit or stash 4 changes$/, false],
  ['pushme', 'unpushed', /^Push 2 commits$/, false],
  ['pullme', 'behind', /^Pull 1 commit$/, false],
  ['stale', 'stale', /^Fetched 12 days ago$/, false],
  ['notes', 'no_remote', /^No remote: everything is only here$/, false],
];

function prepare(f) {
  const r = f.repos;
  for (const name of ['pushme', 'pullme']) {
    git(r[name], ['fetch', '-q']);
    fetchedAt(r[name], NOW - 5 * MIN);
  }
  git(r.stale, ['fetch', '-q']);
  fetchedAt(r.stale, NOW - 12 * DAY - HOUR);
  // A feature branch pushed, deleted on the remote, then pruned.
  goneFeatureBranch(r.pruned, path.join(f.base, 'remotes', 'pruned-origin.git'), NOW - 3 * DAY);
  fetchedAt(r.pruned, NOW - HOUR);
  // A rebase of topic stopped on a conflict.
  stoppedRebase(r.rebasing, NOW - 5 * DAY);
  // A `.git` file git cannot read.
  fs.mkdirSync(path.join(f.root, 'broken'));
  fs.writeFileSync(path.join(f.root, 'broken', '.git'), 'nonsense\n');
}

before(async () => {
  ({ fx, host, browser } = await startSuite(REPOS, { prepare }));
});

after(() => stopSuite({ fx, host, browser }));

function listing() {
  return fetch(`${host.url}?action=repos`).then((r) => r.json());
}

test('the listing names each state and its step; page, summary and terminal agree on who needs you', async () => {
  const d = await listing();
  const byName = Object.fromEntries(d.repos.map((r) => [r.name, r]));
  for (const [name, state, step, needs] of STATES) {
    const r = byName[name];
    assert.equal(r.state, state, name);
    assert.match(r.step, step, name);
    assert.equal(r.needs_you, needs, name);
  }
  const needing = STATES.filter((s) => s[3]).map((s) => s[0]);
  assert.equal(d.summary.needs_you, needing.length);
  // The listing's order: those that need you first, in the vocabulary's order.
  assert.deepEqual(d.repos.slice(0, needing.length).map((r) => r.name), needing);

  // The terminal: the same count, the same repositories first, each with its step.
  // (Its exit status is 1: git could not read one repository.)
  const out = spawnSync(process.env.QUARLO_BIN, ['status'], {
    env: { PATH: process.env.PATH, ...fx.env, COLUMNS: '200', NO_COLOR: '1' },
    encoding: 'utf8',
  }).stdout;
  const lines = out.trimEnd().split('\n');
  assert.match(lines[lines.length - 1], new RegExp(`^8 repositories, ${needing.length} need you,`));
  assert.deepEqual(lines.slice(0, needing.length).map((l) => l.split(/\s+/)[0]), needing);
  for (const [name, , step] of STATES.slice(1)) {
    const line = lines.find((l) => l.startsWith(`${name} `));
    assert.match(line, new RegExp(step.source.replace(/^\^|\$$/g, '')), name);
  }

  // The page: the chip, the tab's title and the default order.
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  try {
    const page = await openDashboard(context, host.url);
    assert.equal(await page.textContent('#vNeeds'), String(needing.length));
    assert.equal(await page.title(), `${needing.length} need you \u00b7 git`);
    assert.deepEqual((await rowNames(page)).slice(0, needing.length), needing);
    // The chip shows just those; pressed again, it lets go.
    await page.click('.chip[data-filter="needs"]');
    assert.deepEqual(await rowNames(page), needing);
    await page.click('.chip[data-filter="needs"]');
    assert.equal((await rowNames(page)).length, 8);
    assert.equal(await page.getAttribute('.chip[data-filter="needs"]', 'aria-pressed'), 'false');
    // Zeros are grey, never red.
    const zeroColour = await page.$$eval('.chip .v.zero', (vs) => vs.map((v) => getComputedStyle(v).color));
    const muted = await page.$eval('.chip.none .v', (v) => getComputedStyle(v).color);
    for (const c of zeroColour) assert.equal(c, muted);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

// What a row shows, measured: the name's and the state tag's boxes against
// their cells and the window, the step's, the visible tags and each "+N"
// with the names it holds.
function measureRows(page) {
  return page.$$eval('#rows tr.row', (trs) =>
    trs.map((tr) => {
      const box = (e) => e.getBoundingClientRect();
      const shown = (e) => e && e.getClientRects().length > 0;
      const inside = (e, cell) => {
        const b = box(e), c = box(cell);
        return b.left >= c.left - 0.5 && b.right <= c.right + 0.5 && b.right <= window.innerWidth &&
          e.scrollWidth <= e.clientWidth + 0.5;
      };
      const name = tr.querySelector('.name');
      const cell = tr.querySelector('td.c-state');
      const tags = [...cell.querySelectorAll('.tags')].find(shown);
      const visible = [...tags.querySelectorAll(':scope > .tag')].filter(shown);
      const more = [...tags.querySelectorAll(':scope > .more')].filter(shown);
      const step = cell.querySelector('.step');
      return {
        name: name.textContent,
        label: name.getAttribute('aria-label'),
        nameWhole: inside(name, tr.querySelector('td.c-repo')),
        state: visible.length ? visible[0].textContent : '',
        stateWhole: visible.length > 0 && inside(visible[0], cell),
        tags: visible.map((t) => t.textContent),
        more: more.map((m) => [m.firstChild.textContent, m.querySelector('.more-list').textContent.trim()]),
        step: shown(step) ? step.textContent : '',
        stepWhole: shown(step) && step.scrollWidth <= step.clientWidth + 0.5 && step.scrollHeight <= step.clientHeight + 0.5 &&
          box(step).right <= box(cell).right + 0.5,
        height: box(tr).height,
      };
    }),
  );
}

const WIDTHS = [1280, 768, 390];

test('at 1280, 768 and 390 px, both themes and row heights: name and state in full view, +N names the rest, axe passes', async () => {
  for (const width of WIDTHS)
    for (const theme of ['dark', 'light'])
      for (const compact of [false, true]) {
        const label = `${width} ${theme} ${compact ? 'compact' : 'normal'}`;
        const context = await browser.newContext({ viewport: { width, height: 900 }, colorScheme: theme });
        await context.addInitScript((c) => localStorage.setItem('quarlo_density', c ? 'compact' : 'comfortable'), compact);
        try {
          const page = await openDashboard(context, host.url);
          if (process.env.QUARLO_SHOTS) await page.screenshot({ path: `${process.env.QUARLO_SHOTS}/${label.replace(/ /g, '-')}.png`, fullPage: true });
          const rows = await measureRows(page);
          assert.equal(rows.length, 8, label);
          for (const r of rows) {
            assert.ok(r.nameWhole, `${label}: ${r.name}'s name is cut`);
            assert.ok(r.stateWhole, `${label}: ${r.name}'s state "${r.state}" is cut`);
            assert.match(r.label, new RegExp(`^${r.name}, .+`), label);
            // A "+N" holds N names, none of them shown beside it.
            for (const [count, names] of r.more) {
              const list = names.split(', ');
              assert.equal(count, `+${list.length}`, `${label}: ${r.name}`);
              for (const n of list) assert.ok(!r.tags.includes(n), `${label}: ${r.name} shows and hides ${n}`);
            }
            if (!compact) assert.ok(r.stepWhole, `${label}: ${r.name}'s step "${r.step}" is cut`);
            // Compact rows on a phone: one line, the name and the state.
            if (compact && width === 390) assert.ok(r.height < 40, `${label}: ${r.name} is ${r.height} px tall`);
          }
          const byName = Object.fromEntries(rows.map((r) => [r.name, r]));
          assert.equal(byName.rebasing.state, 'rebasing topic', label);
          assert.equal(byName.pruned.state, 'upstream gone', label);
          assert.equal(byName.stale.state, 'fetched 12 days ago', label);
          assert.equal(byName.broken.state, 'unreadable', label);
          // What +N hides in the pruned row (two stashes besides the gone
          // upstream) shows on hover.
          const pruned = page.locator('#rows tr.row', { hasText: 'pruned' });
          const more = pruned.locator('.more').filter({ visible: true });
          if (await more.count()) {
            await pruned.hover();
            const list = more.first().locator('.more-list');
            const b = await list.boundingBox();
            assert.ok(b && b.width > 20, `${label}: the hidden names show on hover`);
          }
          await page.evaluate(AXE);
          const v = await page.evaluate(async () => (await window.axe.run(document)).violations);
          assert.deepEqual(v.flatMap((x) => x.nodes.map((n) => `${x.id}: ${n.target.join(' ')}`)), [], label);
          assert.deepEqual(page.problems, [], label);
        } finally {
          await context.close();
        }
      }
});

test('the drawer says the step and the operation first', async () => {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  try {
    const page = await openDashboard(context, host.url);
    await page.click('#rows tr.row[data-p$="/rebasing"] .name');
    await page.waitForSelector('#drawerBody .dstep');
    const first = await page.$$eval('#drawerBody > div', (ds) => ds.slice(0, 2).map((d) => d.textContent));
    assert.deepEqual(first, ['Resolve 1 conflict, then git rebase --continue', 'rebasing topic, stopped at a conflict']);
    assert.match(await page.textContent('#drawerBody'), /branch topic/);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});
