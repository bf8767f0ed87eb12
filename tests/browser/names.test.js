'use strict';
// Folder names that are not UTF-8: the listing shows them with U+FFFD, and
// the page still opens the repository, through the record's path_param (the
// folder's own bytes), which the displayed path can no longer name.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { openDashboard, rowNames } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite([['latin', { subject: 'Start', age: 3600, dirty: 1 }]], {
    // "caf" and the Latin-1 byte of "é": a name that is not UTF-8.
    prepare: (f) =>
      fs.renameSync(path.join(f.root, 'latin'), Buffer.concat([Buffer.from(`${f.root}/caf`), Buffer.from([0xe9])])),
  }));
});

after(() => stopSuite({ fx, host, browser }));

test('a folder whose name is not UTF-8 is listed and opens in the drawer', async () => {
  const context = await browser.newContext({ viewport: { width: 1440, height: 900 } });
  try {
    const page = await openDashboard(context, host.url);
    assert.deepEqual(await rowNames(page), ['caf\uFFFD']);
    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');
    const sections = await page.$$eval('#drawerBody .dsec', (els) => els.map((e) => e.textContent));
    assert.ok(sections.includes('Changed files (1)'), sections.join(' | '));
    assert.equal(await page.$('#drawerBody .err'), null);
  } finally {
    await context.close();
  }
});
