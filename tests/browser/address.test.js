'use strict';
// The page's address in a real browser: every form the bot opens it with
// (the direct one, the proxied one with the plugin's parameters after a
// second '?', any mix of '?' and '&'), with node, embed, theme and the
// password in any of them; and the password leaving the address for the
// tab's session storage.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { trackedPage, waitLoaded, rowNames } = require('./lib/browser');
const { startSuite, stopSuite } = require('./lib/suite');

const PASSWORD = 'open sesame+42';
const PW = encodeURIComponent(PASSWORD);

let fx, host, browser;

before(async () => {
  ({ fx, host, browser } = await startSuite(
    [
      ['app', { subject: 'Start', age: 3600, dirty: 1 }],
      ['lib', { subject: 'Start', age: 7200 }],
    ],
    { env: { BOT_PASSWORD: PASSWORD } },
  ));
});

after(() => stopSuite({ fx, host, browser }));

// The page's own calls to the program, as path and query, with the password
// header each carried.
function recordCalls(page) {
  const calls = [];
  page.on('request', (req) => {
    if (req.resourceType() !== 'fetch') return;
    const url = new URL(req.url());
    calls.push({ url: url.pathname + url.search, header: req.headers()['x-bot-password'] });
  });
  return calls;
}

// A context whose page requests (not the script's calls) pass by a bearer
// token, as the bot's own front might send: what the page does with its
// address is then all that is tested.
async function contextForPage() {
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, colorScheme: 'dark' });
  await context.route(
    (url) => /^\/plugin/.test(url.pathname) && !/action=/.test(url.search),
    (route) => route.continue({ headers: { ...route.request().headers(), authorization: `Bearer ${PASSWORD}` } }),
  );
  return context;
}

test('every address form loads: the calls, embed mode and theme follow the address', async () => {
  const cases = [
    // [path and query, listing call, embedded, theme, address once loaded]
    [`/plugins?plugin=quarlo?embed=1&pwd=${PW}`, `/plugins?plugin=quarlo?action=repos&pwd=${PW}`, true, 'dark',
      '/plugins?plugin=quarlo?embed=1'],
    [`/plugins?plugin=quarlo?theme=light?pwd=${PW}`, `/plugins?plugin=quarlo?action=repos&pwd=${PW}`, false, 'light',
      '/plugins?plugin=quarlo?theme=light'],
    [`/plugins?plugin=quarlo?node=alpha&pwd=${PW}&id=7`,
      `/plugins?plugin=quarlo?action=repos&node=alpha&id=7&pwd=${PW}`, false, 'dark', '/plugins?plugin=quarlo?node=alpha&id=7'],
    [`/plugins?plugin=quarlo?pwd=${PW}?embed=true&theme=light&node=alpha`,
      `/plugins?plugin=quarlo?action=repos&node=alpha&pwd=${PW}`, true, 'light',
      '/plugins?plugin=quarlo?embed=true&theme=light&node=alpha'],
    // The '&' form the bot also writes.
    [`/plugins?plugin=quarlo&embed=1&theme=light&node=alpha&pwd=${PW}`,
      `/plugins?plugin=quarlo?action=repos&node=alpha&pwd=${PW}`, true, 'light',
      '/plugins?plugin=quarlo&embed=1&theme=light&node=alpha'],
    // The direct form, with '&' and with a second '?'.
    [`/plugin_quarlo?node=alpha&embed=1&pwd=${PW}`, `/plugin_quarlo?action=repos&node=alpha&pwd=${PW}`, true, 'dark',
      '/plugin_quarlo?node=alpha&embed=1'],
    [`/plugin_quarlo?theme=light?node=alpha?pwd=${PW}`, `/plugin_quarlo?action=repos&node=alpha&pwd=${PW}`, false,
      'light', '/plugin_quarlo?theme=light?node=alpha'],
  ];
  for (const [address, listing, embedded, theme, after] of cases) {
    const context = await contextForPage();
    try {
      const page = await trackedPage(context);
      const calls = recordCalls(page);
      await page.goto(host.origin + address);
      await waitLoaded(page);
      assert.deepEqual(await rowNames(page), ['app', 'lib'], address);
      assert.deepEqual(calls, [{ url: listing, header: PASSWORD }], address);
      const state = await page.evaluate(() => ({
        embedded: document.documentElement.classList.contains('embedded'),
        theme: document.documentElement.getAttribute('data-theme'),
        themeButton: document.getElementById('themeBtn').getClientRects().length > 0,
      }));
      assert.deepEqual(state, { embedded, theme, themeButton: !embedded }, address);
      // The password has left the address, and nothing else has changed.
      const url = new URL(await page.evaluate(() => location.href));
      assert.equal(url.pathname + url.search, after, address);
      // A view written into the address keeps its form.
      await page.click('[data-filter="dirty"]');
      const viewed = new URL(await page.evaluate(() => location.href));
      assert.equal(viewed.pathname + viewed.search, `${after}&chip=dirty`, address);
      await page.click('#rows tr.row');
      await page.waitForSelector('#drawerBody .dsec');
      assert.equal(calls[1].url, listing.replace('action=repos', `action=repo&path=${encodeURIComponent(fx.repos.app)}`));
      assert.deepEqual(page.problems, [], address);
    } finally {
      await context.close();
    }
  }
});

test('the password leaves the address for the tab session: no link or history entry carries it, reloads work', async () => {
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  try {
    const page = await trackedPage(context);
    const calls = recordCalls(page);
    await page.goto(`${host.url}?node=alpha&pwd=${PW}`);
    await waitLoaded(page);
    assert.equal(await page.evaluate(() => location.href), `${host.url}?node=alpha`);
    assert.deepEqual(await page.evaluate(() => ({ ...sessionStorage })), { quarlo_pwd_alpha: PASSWORD });
    assert.ok(!Object.values(await page.evaluate(() => ({ ...localStorage }))).some((v) => v.includes(PASSWORD)));
    // A view link made afterwards carries no password either.
    await page.fill('#search', 'app');
    const link = await page.evaluate(() => location.href);
    assert.equal(link, `${host.url}?node=alpha&q=app`);

    // A reload of the tab opens the dashboard without asking, with the same view.
    await page.reload();
    await waitLoaded(page);
    assert.deepEqual(await rowNames(page), ['app']);
    assert.equal(await page.evaluate(() => location.href), link);
    for (const c of calls) assert.equal(c.header, PASSWORD, c.url);

    // The address was replaced, not added to: one step back leaves the page.
    await page.goBack();
    assert.equal(page.url(), 'about:blank');

    // The link opened in another tab asks for the password.
    const other = await context.newPage();
    const res = await other.goto(link);
    assert.equal(res.status(), 401);
    assert.equal(await other.locator('#pw').count(), 1);
    assert.deepEqual(page.problems.filter((p) => !/401/.test(p)), []);
  } finally {
    await context.close();
  }
});

test('where session storage is refused the password stays in the address, and the page works', async () => {
  const context = await browser.newContext();
  try {
    const page = await trackedPage(context);
    await page.addInitScript(() => {
      Object.defineProperty(window, 'sessionStorage', {
        get() {
          throw new DOMException('blocked', 'SecurityError');
        },
      });
    });
    await page.goto(`${host.url}?pwd=${PW}`);
    await waitLoaded(page);
    assert.deepEqual(await rowNames(page), ['app', 'lib']);
    assert.equal(await page.evaluate(() => location.href), `${host.url}?pwd=${PW}`);
    assert.deepEqual(page.problems, []);
  } finally {
    await context.close();
  }
});
