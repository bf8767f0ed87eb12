'use strict';
// The node password in a real browser: the page itself needs it, and once
// the page has it every call carries it, in the query and as X-Bot-Password,
// directly and through the proxied route.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { openDashboard, trackedPage, waitLoaded, rowNames } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

// Spaces and a plus sign: the query must carry it encoded.
const PASSWORD = 'open sesame+42';

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite(
    [
      ['app', { subject: 'Start', age: 3600 }],
      ['lib', { subject: 'Start', age: 7200 }],
    ],
    { env: { BOT_PASSWORD: PASSWORD } },
  ));
});

after(() => stopSuite({ fx, host, browser }));

// Records every call the page makes to the program.
function recordCalls(page) {
  const calls = [];
  page.on('request', (req) => {
    const url = new URL(req.url());
    if (req.resourceType() === 'fetch') calls.push({ url, header: req.headers()['x-bot-password'] });
  });
  return calls;
}

test('without a credential a page request gets the password page, a JSON request the fixed reply', async () => {
  const context = await browser.newContext();
  try {
    const page = await context.newPage();
    for (const url of [host.url, `${host.url}?pwd=wrong`, `${host.origin}/plugins?plugin=quarlo&node=alpha`]) {
      const res = await page.goto(url);
      assert.equal(res.status(), 401, url);
      assert.match(res.headers()['content-type'], /^text\/html/, url);
      assert.equal(await page.locator('input[type="password"]').count(), 1, url);
    }
    for (const url of [`${host.url}?action=repos`, `${host.url}?format=json`]) {
      const res = await page.goto(url);
      assert.equal(res.status(), 401, url);
      assert.deepEqual(await res.json(), { ok: false, error: 'invalid node password' });
    }
  } finally {
    await context.close();
  }
});

test('the password page opens the dashboard for the tab session, and every call carries the password', async () => {
  const context = await browser.newContext();
  try {
    const page = await trackedPage(context);
    const calls = recordCalls(page);
    await page.goto(`${host.url}?node=alpha`);
    // A wrong password is said, and nothing is kept.
    await page.fill('#pw', 'not it');
    await page.press('#pw', 'Enter');
    await page.waitForFunction(() => document.getElementById('pwMsg').textContent !== '');
    assert.equal(await page.textContent('#pwMsg'), 'The password was not accepted.');
    assert.equal(await page.evaluate(() => sessionStorage.length), 0);

    await page.fill('#pw', PASSWORD);
    await page.click('#pwGo');
    await waitLoaded(page);
    assert.deepEqual(await rowNames(page), ['app', 'lib']);
    // The address stays as it was: the password is in no URL the user sees.
    assert.equal(page.url(), `${host.url}?node=alpha`);
    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');
    assert.equal(await page.textContent('#drawerTitle'), 'app');

    // Session storage only, under the node's own name.
    const stored = await page.evaluate(() => ({
      session: { ...sessionStorage },
      local: Object.values({ ...localStorage }),
    }));
    assert.deepEqual(stored.session, { quarlo_pwd_alpha: PASSWORD });
    assert.ok(!stored.local.includes(PASSWORD));

    // The calls carry it exactly as a password from the page's URL.
    const pageCalls = calls.filter((c) => c.url.searchParams.has('action'));
    assert.deepEqual(
      pageCalls.map((c) => c.url.pathname + c.url.search),
      [
        `/plugin_quarlo?action=repos&node=alpha&pwd=open%20sesame%2B42`,
        `/plugin_quarlo?action=repo&path=${encodeURIComponent(fx.repos.app)}&node=alpha&pwd=open%20sesame%2B42`,
      ],
    );
    for (const c of pageCalls) assert.equal(c.header, PASSWORD);

    // A reload in the same tab opens the dashboard without asking again.
    await page.reload();
    await waitLoaded(page);
    assert.deepEqual(await rowNames(page), ['app', 'lib']);
    assert.deepEqual(page.problems.filter((p) => !/401/.test(p)), []);

    // Another tab has its own session: it is asked again.
    const other = await context.newPage();
    await other.goto(`${host.url}?node=alpha`);
    assert.equal(await other.locator('#pw').count(), 1);
  } finally {
    await context.close();
  }
});

test('opened with pwd in its URL, every call carries the password', async () => {
  const context = await browser.newContext();
  try {
    const page = await trackedPage(context);
    const calls = recordCalls(page);
    await page.goto(`${host.url}?pwd=${encodeURIComponent(PASSWORD)}`);
    await waitLoaded(page);
    assert.deepEqual(await rowNames(page), ['app', 'lib']);
    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');

    assert.deepEqual(
      calls.map((c) => c.url.pathname + c.url.search),
      [
        `/plugin_quarlo?action=repos&pwd=open%20sesame%2B42`,
        `/plugin_quarlo?action=repo&path=${encodeURIComponent(fx.repos.app)}&pwd=open%20sesame%2B42`,
      ],
    );
    for (const c of calls) assert.equal(c.header, PASSWORD);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('through the proxied route the page sends plugin, node, id and password', async () => {
  const context = await browser.newContext();
  try {
    const page = await trackedPage(context);
    const calls = recordCalls(page);
    const pwd = encodeURIComponent(PASSWORD);
    await page.goto(`${host.origin}/plugins?plugin=quarlo&node=alpha%20one&id=7&pwd=${pwd}`);
    await waitLoaded(page);
    assert.deepEqual(await rowNames(page), ['app', 'lib']);
    await page.click('#rows tr.row');
    await page.waitForSelector('#drawerBody .dsec');
    assert.equal(await page.textContent('#drawerTitle'), 'app');

    const tail = `&node=alpha%20one&id=7&pwd=${pwd}`;
    assert.deepEqual(
      calls.map((c) => c.url.pathname + c.url.search),
      [
        `/plugins?plugin=quarlo?action=repos${tail}`,
        `/plugins?plugin=quarlo?action=repo&path=${encodeURIComponent(fx.repos.app)}${tail}`,
      ],
    );
    for (const c of calls) assert.equal(c.header, PASSWORD);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});

test('without pwd in the URL the stored password is used', async () => {
  const cases = [
    // [page query, stored keys, password the calls carry]
    ['node=alpha', { bot_pwd_alpha: PASSWORD, bot_active_pwd: 'not this one' }, PASSWORD],
    ['', { bot_active_pwd: PASSWORD }, PASSWORD],
    ['node=beta', { bot_pwd_alpha: 'not this one', bot_active_pwd: PASSWORD }, PASSWORD],
  ];
  for (const [query, stored, want] of cases) {
    const context = await browser.newContext();
    try {
      const setup = await context.newPage();
      await setup.goto(`${host.url}?pwd=${encodeURIComponent(PASSWORD)}&action=unknown`);
      await setup.evaluate((s) => {
        for (const [k, v] of Object.entries(s)) localStorage.setItem(k, v);
      }, stored);
      await setup.close();

      const page = await trackedPage(context);
      const calls = recordCalls(page);
      // The page request passes by a bearer token, as a proxy in front might send.
      await page.route(
        (url) => url.pathname === '/plugin_quarlo' && !url.searchParams.has('action'),
        (route) => route.continue({ headers: { ...route.request().headers(), authorization: `Bearer ${PASSWORD}` } }),
      );
      await page.goto(`${host.url}${query ? `?${query}` : ''}`);
      await waitLoaded(page);
      assert.deepEqual(await rowNames(page), ['app', 'lib'], query);
      assert.equal(calls.length, 1);
      assert.equal(calls[0].url.searchParams.get('pwd'), want);
      assert.equal(calls[0].header, want);
    } finally {
      await context.close();
    }
  }
});

test('the host never writes the password to its log', async () => {
  const pwd = encodeURIComponent(PASSWORD);
  await fetch(`${host.url}?action=repos`, { headers: { 'X-Bot-Password': PASSWORD } });
  await fetch(`${host.url}?action=repos`, { headers: { Authorization: `Bearer ${PASSWORD}` } });
  await fetch(`${host.origin}/plugins?plugin=quarlo?action=repos&pwd=${pwd}`);
  await fetch(`${host.url}?pwd=${pwd}&action=repos`);
  const log = host.log();
  assert.match(log, /pwd=\*\*\*/);
  for (const form of [PASSWORD, pwd, 'open%20sesame', 'open+sesame', 'sesame']) assert.ok(!log.includes(form), form);
});

test('on every address form, with node after "?" or "&", the typed password loads the listing and a reload keeps it', async () => {
  const forms = [
    '/plugins?plugin=quarlo?theme=light?node=a',
    '/plugin_quarlo?theme=light?node=a',
    '/plugins?plugin=quarlo&node=a',
    '/plugin_quarlo?node=a',
    '/plugins?plugin=quarlo?embed=1&node=a',
  ];
  for (const form of forms) {
    const context = await browser.newContext();
    try {
      const page = await trackedPage(context);
      const res = await page.goto(host.origin + form);
      assert.equal(res.status(), 401, form);
      await page.fill('#pw', PASSWORD);
      await page.click('#pwGo');
      await waitLoaded(page);
      assert.deepEqual((await rowNames(page)).sort(), ['app', 'lib'], form);
      // Kept under the node's own name, where the dashboard reads it.
      assert.equal(await page.evaluate(() => sessionStorage.getItem('quarlo_pwd_a')), PASSWORD, form);
      await page.reload();
      await waitLoaded(page);
      assert.equal(await page.isVisible('#banner'), false, form);
      assert.deepEqual((await rowNames(page)).sort(), ['app', 'lib'], form);
      // The page requests themselves are answered 401 (the password page).
      assert.deepEqual(page.problems.filter((p) => !/status of 401/.test(p)), [], form);
    } finally {
      await context.close();
    }
  }
  // A wrong password after a second '?' is said to be wrong.
  const context = await browser.newContext();
  try {
    const page = await context.newPage();
    await page.goto(`${host.origin}/plugins?plugin=quarlo?node=a?pwd=wrong`);
    assert.equal(await page.textContent('#pwMsg'), 'The password in the address was not accepted.');
  } finally {
    await context.close();
  }
});

test('a password changed while the page is open: the field in place, and the new one loads the listing', async () => {
  const context = await browser.newContext();
  try {
    const page = await trackedPage(context);
    await page.goto(`${host.url}?node=b&pwd=${encodeURIComponent(PASSWORD)}`);
    await waitLoaded(page);
    // The node's password changes: the next rescan is refused.
    await page.evaluate(() => sessionStorage.setItem('quarlo_pwd_b', 'old'));
    await page.route((url) => url.searchParams.get('action') === 'repos' && url.searchParams.get('pwd') !== 'new one',
      (route) => route.fulfill({ status: 401, contentType: 'application/json', body: '{"ok":false,"error":"invalid node password"}' }));
    await page.route((url) => url.searchParams.get('pwd') === 'new one', async (route) => {
      const url = new URL(route.request().url());
      url.searchParams.set('pwd', PASSWORD);
      route.continue({ url: url.toString(), headers: { ...route.request().headers(), 'x-bot-password': PASSWORD } });
    });
    await page.click('#rescan');
    await page.waitForSelector('#pwAgainField', { state: 'visible' });
    assert.match(await page.textContent('#bannerText'), /^The password was not accepted\./);
    await page.fill('#pwAgainField', 'new one');
    await page.click('#pwAgain button');
    await page.waitForSelector('#banner.hide', { state: 'attached' });
    await waitLoaded(page);
    assert.deepEqual((await rowNames(page)).sort(), ['app', 'lib']);
    assert.equal(await page.evaluate(() => sessionStorage.getItem('quarlo_pwd_b')), 'new one');
  } finally {
    await context.close();
  }
});
