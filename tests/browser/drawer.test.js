'use strict';
// The detail drawer in a real browser: opening from a row, its five
// sections, the truncation note, the three ways to close it, and failures.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { STANDARD } = require('./lib/fixtures');
const { openDashboard } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite(STANDARD));
});

after(() => stopSuite({ fx, host, browser }));

async function dashboard() {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  const page = await openDashboard(context, host.url);
  return { context, page };
}

function row(name) {
  return `#rows tr.row:has(.name:text-is("${name}"))`;
}

// Opens the drawer from the row of `name` and waits for its content.
async function openRow(page, name) {
  await page.click(row(name));
  await page.waitForFunction(() => !/Loading/.test(document.getElementById('drawerBody').textContent));
}

function sections(page) {
  return page.$$eval('#drawerBody .dsec', (els) => els.map((e) => e.textContent));
}

function drawerState(page) {
  return page.evaluate(() => ({
    open: document.getElementById('drawer').classList.contains('open'),
    hidden: document.getElementById('drawer').getAttribute('aria-hidden'),
    scrim: !document.getElementById('scrim').classList.contains('hide'),
    selected: [...document.querySelectorAll('#rows tr.row.sel .name')].map((e) => e.textContent),
  }));
}

test('a row opens the drawer with the repository in five sections', async () => {
  const { context, page } = await dashboard();
  try {
    await openRow(page, 'beta');
    assert.deepEqual(await drawerState(page), { open: true, hidden: 'false', scrim: true, selected: ['beta'] });
    assert.equal(await page.textContent('#drawerTitle'), 'beta');

    assert.deepEqual(await sections(page),
      ['Repository', 'Last commit', 'Changed files (3)', 'Recent commits (1)', 'Branches (1)']);
    const body = await page.evaluate(() => {
      const b = document.getElementById('drawerBody');
      return {
        path: b.querySelector('.mo').textContent,
        tags: [...b.querySelectorAll('.tag')].map((t) => t.textContent),
        step: b.querySelector('.dstep').textContent,
        files: [...b.querySelectorAll('.flist li')].map((li) => [
          li.querySelector('.c').className,
          li.querySelector('.c').textContent,
          li.querySelector('.p').textContent,
        ]),
        commits: [...b.querySelectorAll('.clist li')].map((li) => li.textContent),
      };
    });
    assert.equal(body.path, fx.repos.beta);
    assert.deepEqual(body.tags, ['3 changed', '\u21931 to pull']);
    assert.equal(body.step, 'Commit or stash 3 changes');
    assert.deepEqual(body.files, [
      ['c c-mod', '.M', 'notes.txt'],
      ['c c-add', 'A.', 'staged.txt'],
      ['c c-unt', '??', 'new-2.txt'],
    ]);
    // The last commit, then the commit list: subject, short hash, author, age.
    assert.equal(body.commits.length, 2);
    assert.match(body.commits[0], /^Fix flaky Widget sync[0-9a-f]{8}3d ago$/);
    assert.match(body.commits[1], /^Fix flaky Widget sync[0-9a-f]{8}Ada Tester3d ago$/);
    // The branch note and the remote, as the detail reads it.
    const notes = await page.$$eval('#drawerBody .note', (els) => els.map((e) => e.textContent));
    assert.deepEqual(notes.slice(0, 3), ['3 changed: 1 staged, 1 untracked', 'branch main \u2192 origin/main',
      `remote ${path.join(fx.base, 'remotes', 'beta-origin.git')}`]);
    // Fetched while the fixture was made: moments ago.
    assert.match(notes[3], /^fetched (just now|\d+ minutes? ago)$/);
    assert.equal(notes.length, 4);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('the copy control puts the whole path on the clipboard', async () => {
  const context = await browser.newContext({ permissions: ['clipboard-read', 'clipboard-write'] });
  try {
    const page = await openDashboard(context, host.url);
    await openRow(page, 'delta');
    await page.click('#copyPath');
    await page.waitForFunction(() => document.getElementById('copyStatus').textContent !== '');
    assert.equal(await page.textContent('#copyStatus'), 'Copied.');
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), fx.repos.delta);
  } finally {
    await context.close();
  }
});

test('a clean repository and one without commits say so', async () => {
  const { context, page } = await dashboard();
  try {
    await openRow(page, 'alpha');
    assert.equal((await sections(page))[2], 'Changed files (0)');
    assert.match(await page.textContent('#drawerBody'), /Working tree is clean\./);
    assert.match(await page.textContent('#drawerBody'), /Recent commits \(3\)/);

    await page.keyboard.press('Escape');
    await openRow(page, 'empty');
    const text = await page.textContent('#drawerBody');
    assert.match(text, /No commits yet\./);
    assert.match(text, /Recent commits \(0\)/);
    // No upstream: the note has the branch alone.
    assert.equal(await page.textContent('#drawerBody .note'), 'branch main');
  } finally {
    await context.close();
  }
});

test('more than 500 changes: the server total and the truncation note', async () => {
  const { context, page } = await dashboard();
  try {
    await openRow(page, 'bulk');
    assert.equal((await sections(page))[2], 'Changed files (742)');
    assert.equal(await page.$$eval('#drawerBody .flist li', (els) => els.length), 500);
    const notes = await page.$$eval('#drawerBody .note', (els) => els.map((e) => e.textContent));
    assert.ok(notes.includes('Showing the first 500 entries.'), notes.join(' | '));
  } finally {
    await context.close();
  }
});

test('Escape, the scrim and the close button close the drawer', async () => {
  const { context, page } = await dashboard();
  try {
    const closers = [
      ['Escape', () => page.keyboard.press('Escape')],
      ['scrim', () => page.mouse.click(40, 450)],
      ['close button', () => page.click('#drawerClose')],
    ];
    for (const [how, close] of closers) {
      await openRow(page, 'alpha');
      assert.equal((await drawerState(page)).open, true, how);
      await close();
      assert.deepEqual(
        await drawerState(page),
        { open: false, hidden: 'true', scrim: false, selected: [] },
        `closed by ${how}`,
      );
    }
    // Closed, it lies beyond the right edge of the window.
    await page.waitForFunction(() => document.getElementById('drawer').getBoundingClientRect().left >= innerWidth);
    // Escape with the drawer closed changes nothing.
    await page.keyboard.press('Escape');
    assert.deepEqual(await drawerState(page), { open: false, hidden: 'true', scrim: false, selected: [] });
    assert.equal((await page.$$('#rows tr.row')).length, 6);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('a refused path or an answer with ok false shows the reason', async () => {
  // A repository that loses its .git after the listing: the server refuses it.
  const doomed = path.join(fx.root, 'doomed');
  fs.cpSync(fx.repos.gamma, doomed, { recursive: true });
  const { context, page } = await dashboard();
  try {
    fs.rmSync(path.join(doomed, '.git'), { recursive: true, force: true });
    await openRow(page, 'doomed');
    assert.equal(await page.textContent('#drawerBody'), 'Could not read this repository: The host answered HTTP 403');
    assert.equal(await page.getAttribute('#drawerBody > div', 'class'), 'err');
    await page.keyboard.press('Escape');

    // The real server has no road to a 200 answer with ok false; the browser
    // is handed such answers for the gamma row.
    const answers = [
      [{ ok: false, error: 'disk <b>gone</b>' }, 'Could not read this repository: disk <b>gone</b>'],
      [{ ok: false }, 'Could not read this repository: failed'],
    ];
    const isDetail = (url) => url.searchParams.get('action') === 'repo';
    for (const [answer, shown] of answers) {
      await page.route(isDetail, (route) =>
        route.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify(answer) }),
      );
      await openRow(page, 'gamma');
      assert.equal(await page.textContent('#drawerBody'), shown);
      assert.equal(await page.$$eval('#drawerBody b', (els) => els.length), 0);
      await page.unroute(isDetail);
      await page.keyboard.press('Escape');
    }
  } finally {
    await context.close();
    fs.rmSync(doomed, { recursive: true, force: true });
  }
});
