'use strict';
// Server texts are shown as text: a repository folder named like an HTML tag
// with an event handler, a branch and commit subjects holding markup run
// nothing, and the page raises no console error and no policy violation.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { git } = require('./lib/fixtures');
const { openDashboard, waitLoaded } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

const FOLDER = '<img src=x onerror="window.pwned=1">';
const SUBJECT = '<script>window.pwned=2</script><img src=x onerror=window.pwned=3> & "quotes" \'too\'';
const BRANCH = 'feat<svg/onload=window.pwned=4>';

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite(
    [
      [FOLDER, { subject: SUBJECT, age: 3600, dirty: 3 }],
      ['plain', { subject: 'Plain', age: 7200 }],
    ],
    { prepare: (f) => git(f.repos[FOLDER], ['checkout', '-q', '-b', BRANCH]) },
  ));
});

after(() => stopSuite({ fx, host, browser }));

// Elements that markup in the data would have made.
function injected(page) {
  return page.evaluate(() => ({
    pwned: window.pwned,
    elements: document.querySelectorAll('#rows img, #rows script, #rows svg, #drawerBody img, #drawerBody script, #drawerBody svg')
      .length,
  }));
}

test('markup in names, branches and subjects is shown as text and runs nothing', async () => {
  const context = await browser.newContext();
  try {
    const page = await openDashboard(context, host.url);
    const first = await page.$eval('#rows tr.row', (tr) => ({
      name: tr.querySelector('.name').textContent,
      branch: tr.querySelector('.sub .mo').textContent,
      subject: tr.querySelector('.subtext').textContent,
      path: tr.getAttribute('data-p'),
    }));
    assert.deepEqual(first, { name: FOLDER, branch: BRANCH, subject: SUBJECT, path: fx.repos[FOLDER] });

    // The search box takes the markup as plain text too.
    await page.fill('#search', '<img');
    assert.equal((await page.$$('#rows tr.row')).length, 1);
    await page.fill('#search', '');

    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');
    assert.equal(await page.textContent('#drawerTitle'), FOLDER);
    const detail = await page.evaluate(() => ({
      path: document.querySelector('#drawerBody .mo').textContent,
      subjects: [...document.querySelectorAll('#drawerBody .clist .s')].map((e) => e.textContent),
      branch: document.querySelector('#drawerBody .note .mo').textContent,
    }));
    assert.equal(detail.path, fx.repos[FOLDER]);
    assert.deepEqual(detail.subjects, [SUBJECT, SUBJECT]);
    assert.equal(detail.branch, BRANCH);

    // Let any injected handler have its chance before looking: an image
    // that fails to decode, put in the table and the drawer now, reports
    // its error after any image the data could have put there before it.
    await page.evaluate(() =>
      Promise.all(['rows', 'drawerBody'].map((id) => new Promise((resolve) => {
        const probe = new Image();
        probe.onerror = () => {
          probe.remove();
          resolve();
        };
        probe.src = 'data:image/png;base64,AAAA';
        document.getElementById(id).appendChild(probe);
      }))),
    );
    assert.deepEqual(await injected(page), { pwned: undefined, elements: 0 });
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('the page loads nothing from elsewhere and breaks no rule of its policy', async () => {
  const context = await browser.newContext();
  try {
    const requests = [];
    context.on('request', (r) => requests.push(r.url()));
    const page = await openDashboard(context, `${host.url}?theme=light`);
    await page.click('[data-filter="dirty"]');
    await page.click('#themeBtn');
    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');
    await page.keyboard.press('Escape');
    await page.click('#rescan');
    await waitLoaded(page);
    for (const url of requests) assert.ok(url.startsWith(`${host.origin}/plugin_quarlo`), url);
    assert.deepEqual(page.problems, []);
    assert.equal(page.response.headers()['content-security-policy'].startsWith("default-src 'none';"), true);
  } finally {
    await context.close();
  }
});
