'use strict';
// Table tests of the page script's pure functions, run in Node on the same
// source the page embeds: ages, escaping, tags, change-code colours, the
// three filters, and the URLs and headers of the calls.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { loadClient } = require('./lib/client');

const NOW = 1_800_000_000;

test('ago: the age of a Unix time as a short text', () => {
  const { ago } = loadClient({ now: NOW * 1000 + 999 }).fns;
  const cases = [
    [0, '-'],
    [undefined, '-'],
    [null, '-'],
    [NOW - 59, '59s ago'],
    [NOW - 60, '1m ago'],
    [NOW - 3599, '59m ago'],
    [NOW - 3600, '1h ago'],
    [NOW - 86399, '23h ago'],
    [NOW - 86400, '1d ago'],
    [NOW - 2591999, '29d ago'],
    [NOW - 2592000, '1mo ago'],
    [NOW - 31535999, '12mo ago'],
    [NOW - 31536000, '1y ago'],
    [NOW - 3 * 31536000 - 5, '3y ago'],
    [NOW + 500, '0s ago'],
  ];
  for (const [ct, want] of cases) assert.equal(ago(ct), want, String(ct));
});

test('esc: text made safe for HTML', () => {
  const { esc } = loadClient().fns;
  const cases = [
    [null, ''],
    [undefined, ''],
    ['', ''],
    [0, '0'],
    [false, 'false'],
    ['a & b', 'a &amp; b'],
    ['<img src=x onerror="go()">', '&lt;img src=x onerror=&quot;go()&quot;&gt;'],
    ["it's", 'it&#39;s'],
    ['&amp;', '&amp;amp;'],
    ['C:\\src\\app', 'C:\\src\\app'],
    ['caf\u00e9 \u2192 ok', 'caf\u00e9 \u2192 ok'],
  ];
  for (const [v, want] of cases) assert.equal(esc(v), want, String(v));
});

// The tags' texts and colour classes, in order, from badges' HTML.
function tags(html) {
  return [...html.matchAll(/<span class="tag (t-[a-z]+)">([^<]*)<\/span>/g)].map((m) => `${m[1]}:${m[2]}`);
}

test('badges: the state tags in their order', () => {
  const { badges } = loadClient().fns;
  const base = { dirty: 0, ahead: 0, behind: 0, stash: 0, detached: false, no_upstream: false, unborn: false };
  const cases = [
    [{}, ['t-clean:clean']],
    [{ dirty: 3, ahead: 1, behind: 2, stash: 1 }, ['t-dirty:3 changed', 't-ahead:+1', 't-behind:-2', 't-stash:1 stash']],
    [{ detached: true, no_upstream: true }, ['t-det:detached']],
    [{ unborn: true, no_upstream: true }, ['t-noup:no upstream', 't-unborn:unborn']],
    [{ no_upstream: true, stash: 2 }, ['t-noup:no upstream', 't-stash:2 stash', 't-clean:clean']],
    [{ ahead: 4 }, ['t-ahead:+4', 't-clean:clean']],
    [{ dirty: 1, detached: true }, ['t-dirty:1 changed', 't-det:detached']],
  ];
  for (const [fields, want] of cases) assert.deepEqual(tags(badges({ ...base, ...fields })), want, JSON.stringify(fields));
});

test('codeClass: the colour of a change code', () => {
  const { codeClass } = loadClient().fns;
  const cases = [
    ['??', 'c-unt'],
    ['!!', 'c-unt'],
    ['UU', 'c-con'],
    ['AA', 'c-con'],
    ['DD', 'c-con'],
    ['A.', 'c-add'],
    ['AD', 'c-add'],
    ['.A', 'c-add'],
    ['.D', 'c-del'],
    ['DU', 'c-del'],
    ['.M', 'c-mod'],
    ['R.', 'c-mod'],
    ['--', 'c-mod'],
    [undefined, 'c-mod'],
  ];
  for (const [code, want] of cases) assert.equal(codeClass(code), want, String(code));
});

const REPOS = [
  { name: 'web', path: '/src/web', branch: 'main', upstream: 'origin/main', dirty: 2, ahead: 1, behind: 0, stash: 0,
    last_commit: { subject: 'Fix Login form' } },
  { name: 'api', path: '/src/api', branch: 'feature/x', upstream: '', dirty: 0, ahead: 0, behind: 3, stash: 2,
    no_upstream: false, last_commit: { subject: 'Bump deps' } },
  { name: 'old', path: '/src/old', branch: 'detached', upstream: '', dirty: 0, ahead: 0, behind: 0, stash: 0,
    detached: true, last_commit: { subject: '' } },
  { name: 'new', path: '/src/new', branch: 'main', upstream: '', dirty: 0, no_upstream: true, unborn: true,
    remote: 'https://example.com/secret-remote.git' },
];

test('matches: chip filter, state select and search together', () => {
  const { fns, els, chips } = loadClient();
  const chip = (filter) => chips.find((c) => c.getAttribute('data-filter') === filter).fire('click');
  const cases = [
    // [chip, state, search, names that pass]
    ['all', '', '', ['web', 'api', 'old', 'new']],
    ['dirty', '', '', ['web']],
    ['ahead', '', '', ['web']],
    ['behind', '', '', ['api']],
    ['stash', '', '', ['api']],
    ['all', 'dirty', '', ['web']],
    ['all', 'clean', '', ['api', 'old', 'new']],
    ['all', 'ahead', '', ['web']],
    ['all', 'behind', '', ['api']],
    ['all', 'detached', '', ['old']],
    ['all', 'noup', '', ['new']],
    ['all', '', 'MAIN', ['web', 'new']],
    ['all', '', 'login', ['web']],
    ['all', '', 'feature/', ['api']],
    ['all', '', '/src/o', ['old']],
    ['all', '', 'secret-remote', []],
    // The search text is not trimmed: a trailing space must match too.
    ['all', '', 'deps ', []],
    ['all', '', 'bump d', ['api']],
    ['stash', 'behind', 'deps', ['api']],
    ['dirty', 'clean', '', []],
  ];
  for (const [filter, state, search, names] of cases) {
    chip(filter);
    els.sc.value = state;
    els.q.value = search;
    const passing = fns.DUPS(REPOS).map((r) => r.name);
    assert.deepEqual(passing, names, `${filter} / ${state} / ${JSON.stringify(search)}`);
    assert.deepEqual(REPOS.filter((r) => fns.matches(r)).map((r) => r.name), names);
  }
  // Only the clicked chip is selected.
  chip('behind');
  assert.deepEqual(chips.map((c) => c.classList.contains('sel')), [false, false, false, true, false]);
});

test('api: the URL and header of each call', () => {
  const cases = [
    // [page query, stored keys, action, extra, URL, X-Bot-Password]
    ['', {}, 'repos', undefined, '/plugin_quarlo?action=repos', undefined],
    ['?node=alpha', {}, 'repo', 'path=C%3A%5Csrc%5Capp', '/plugin_quarlo?action=repo&path=C%3A%5Csrc%5Capp&node=alpha',
      undefined],
    ['?plugin=quarlo&node=alpha', {}, 'repo', 'path=C%3A%5Csrc%5Capp',
      '/plugins?plugin=quarlo?action=repo&path=C%3A%5Csrc%5Capp&node=alpha', undefined],
    ['?plugin=my+plug&node=a%20b&id=7&pwd=p%2Bw+d', {}, 'repos', '',
      '/plugins?plugin=my%20plug?action=repos&node=a%20b&id=7&pwd=p%2Bw%20d', 'p+w d'],
    ['?node=alpha', { bot_pwd_alpha: 'from-node', bot_active_pwd: 'active' }, 'repos', '',
      '/plugin_quarlo?action=repos&node=alpha&pwd=from-node', 'from-node'],
    ['', { bot_pwd_alpha: 'from-node', bot_active_pwd: 'active' }, 'repos', '',
      '/plugin_quarlo?action=repos&pwd=active', 'active'],
    ['?pwd=given', { bot_active_pwd: 'active' }, 'repos', '', '/plugin_quarlo?action=repos&pwd=given', 'given'],
    ['', {}, 'a b&c', '', '/plugin_quarlo?action=a%20b%26c', undefined],
  ];
  for (const [search, storage, action, extra, url, header] of cases) {
    const { fns, calls } = loadClient({ search, storage });
    calls.length = 0; // the start-up load
    fns.api(action, extra);
    assert.equal(calls.length, 1);
    assert.equal(calls[0].url, url, search);
    const sent = calls[0].options && calls[0].options.headers ? calls[0].options.headers['X-Bot-Password'] : undefined;
    assert.equal(sent, header, search);
  }
});

test('api: a status outside 2xx fails with "HTTP" and the status', async () => {
  const statuses = [
    [200, null],
    [299, null],
    [401, 'HTTP 401'],
    [403, 'HTTP 403'],
    [502, 'HTTP 502'],
  ];
  for (const [status, message] of statuses) {
    const { fns } = loadClient({ answer: () => ({ status, json: async () => ({ ok: true }) }) });
    const result = await fns.api('repos').then(
      () => null,
      (e) => e.message,
    );
    assert.equal(result, message, String(status));
  }
});

test('setCounts: the chips show the server figures, 0 when missing', () => {
  const { fns, els } = loadClient();
  fns.setCounts({ dirty: 2, ahead: 1, behind: 4, stashes: 5 }, 7);
  assert.deepEqual(['vAll', 'vDirty', 'vAhead', 'vBehind', 'vStash'].map((id) => String(els[id].textContent)),
    ['7', '2', '1', '4', '5']);
  fns.setCounts(undefined, undefined);
  assert.deepEqual(['vAll', 'vDirty', 'vAhead', 'vBehind', 'vStash'].map((id) => String(els[id].textContent)),
    ['0', '0', '0', '0', '0']);
});

test('openDetail: the drawer title is the last component of the path', () => {
  const cases = [
    ['C:\\src\\app', 'app'],
    ['/home/me/code/web', 'web'],
    ['/srv/mixed\\sep/name', 'name'],
    ['/srv/code/', '/srv/code/'],
    ['C:\\', 'C:\\'],
    ['plain', 'plain'],
  ];
  for (const [p, title] of cases) {
    const { fns, els, calls } = loadClient();
    fns.openDetail(p);
    assert.equal(els.dName.textContent, title, p);
    assert.equal(els.dBody.innerHTML, '<div class="muted">Loading\u2026</div>');
    assert.equal(calls[calls.length - 1].url, `/plugin_quarlo?action=repo&path=${encodeURIComponent(p)}`);
  }
});
