'use strict';
// Table tests of the page script's model, run in Node on the same part
// files the page embeds: ages, escaping, tags, change-code colours, the
// three filters, the sort, the rows and notices for what git could not read,
// the view named by the page's address, and the URLs and headers of the
// calls.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { loadParts, PURE } = require('./lib/parts');

const NOW = 1_800_000_000;

function parts(options) {
  return loadParts(PURE, options);
}

test('ago: the age of a Unix time as a short text', () => {
  const { ago } = parts({ now: NOW * 1000 + 999 });
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
  const { esc } = parts();
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

// The tags' texts and colour classes, in order, from tagsHtml's HTML.
function tags(html) {
  return [...html.matchAll(/<span class="tag (t-[a-z]+)"[^>]*>([^<]*)<\/span>/g)].map((m) => `${m[1]}:${m[2]}`);
}

test('tagsHtml: the facts as tags, the tag of the listing\'s state first, "clean" only alone', () => {
  const { tagsHtml: badges } = parts();
  const base = { dirty: 0, ahead: 0, behind: 0, stash: 0, detached: false, no_upstream: false, unborn: false };
  const cases = [
    [{}, ['t-clean:clean']],
    [{ dirty: 3, ahead: 1, behind: 2, stash: 1 }, ['t-dirty:3 changed', 't-ahead:\u21911 to push', 't-behind:\u21932 to pull', 't-stash:1 stash']],
    // The listing's state picks the first tag.
    [{ state: 'unpushed', dirty: 3, ahead: 1 }, ['t-ahead:\u21911 to push', 't-dirty:3 changed']],
    [{ detached: true, no_upstream: true }, ['t-det:detached']],
    [{ unborn: true, no_upstream: true }, ['t-unborn:no commits', 't-noup:no upstream']],
    [{ no_upstream: true, stash: 2 }, ['t-stash:2 stashes', 't-noup:no upstream']],
    [{ no_upstream: true, no_remote: true }, ['t-noup:no remote']],
    [{ ahead: 4 }, ['t-ahead:\u21914 to push']],
    [{ upstream: 'origin/a', upstream_gone: true, stash: 1 }, ['t-gone:upstream gone', 't-stash:1 stash']],
    // Conflicts count among the changes and get a tag of their own.
    [{ dirty: 3, conflicted: 2 }, ['t-con:2 conflicted', 't-dirty:3 changed']],
    // A rebase keeps HEAD detached: the operation says it.
    [{ operation: 'rebase', operation_branch: 'topic', detached: true, conflicted: 1, dirty: 1 },
      ['t-op:rebasing topic', 't-con:1 conflicted', 't-dirty:1 changed']],
    [{ operation: 'bisect', detached: true }, ['t-op:bisecting', 't-det:detached']],
    // A repository git could not read: its zeros are not "clean".
    [{ error: 'git did not answer within 20 s' }, ['t-err:unreadable']],
    [{ error: 'fatal: not a git repository', no_upstream: true, unborn: true }, ['t-err:unreadable']],
    // An empty error, or none at all (an older program), is no error.
    [{ error: '' }, ['t-clean:clean']],
  ];
  for (const [fields, want] of cases) assert.deepEqual(tags(badges({ ...base, ...fields })), want, JSON.stringify(fields));
});

test('rowTagsHtml: the state\'s tag, one more where it fits, and "+N" naming the rest', () => {
  const { rowTagsHtml } = parts();
  // Each set of tags: the tags, then each "+N" with its class and names.
  const sets = (r) => [...rowTagsHtml(r).matchAll(/<span class="tags (t[wn])">(.*?)<\/span>(?=<span class="tags|$)/g)].map((m) => [
    m[1],
    [...m[2].matchAll(/<span class="tag ([^"]+)">([^<]*)</g)].map((t) => `${t[1]}:${t[2]}`),
    [...m[2].matchAll(/<span class="more (m[a-z])">(\+\d+)<span class="more-list"> ([^<]*)</g)].map((t) => `${t[1]} ${t[2]}: ${t[3]}`),
  ]);
  const cases = [
    // Wide windows leave out what the Sync and Stash columns say.
    [{ ahead: 2, stash: 1 }, [
      ['tw', ['t-ahead:\u21912 to push'], []],
      ['tn', ['t-ahead:\u21912 to push'], ['mn +1: 1 stash']]]],
    [{ state: 'changes', dirty: 2, conflicted: 1, no_upstream: true, unborn: true, stash: 1 }, [
      ['tw', ['t-dirty:2 changed', 't-con x:1 conflicted'], ['mc +3: 1 conflicted, no commits, no upstream', 'mf +2: no commits, no upstream']],
      ['tn', ['t-dirty:2 changed'], ['mn +4: 1 conflicted, 1 stash, no commits, no upstream']]]],
    [{ error: 'fatal: x' }, [['tw', ['t-err:unreadable'], []], ['tn', ['t-err:unreadable'], []]]],
  ];
  for (const [r, want] of cases) assert.deepEqual(sets(r), want, JSON.stringify(r));
});

test('the kept listing: one per node, never a broken page when storage fails', () => {
  const { keepListing, forgetListing } = parts();
  // Objects of the page's context, compared as plain data.
  const keptListing = (...args) => JSON.parse(JSON.stringify(parts().keptListing(...args)));
  const store = (limit = Infinity) => {
    const items = {};
    return {
      items,
      getItem: (k) => (k in items ? items[k] : null),
      setItem(k, v) {
        if (v.length > limit) throw new Error('QuotaExceededError');
        items[k] = String(v);
      },
      removeItem: (k) => delete items[k],
    };
  };
  const listing = { ok: true, checked_at: '2027-01-01T00:00:00Z', repos: [{ name: 'a' }] };
  const s = store();
  keepListing(s, '', listing);
  keepListing(s, 'alpha', { ...listing, repos: [] });
  assert.deepEqual(Object.keys(s.items).sort(), ['quarlo_listing', 'quarlo_listing_alpha']);
  assert.deepEqual(keptListing(s, ''), listing);
  assert.deepEqual(keptListing(s, 'alpha').repos, []);
  assert.equal(keptListing(s, 'beta'), null);
  forgetListing(s, 'alpha');
  assert.equal(keptListing(s, 'alpha'), null);
  assert.deepEqual(keptListing(s, ''), listing);
  // A full storage: the write fails, what was kept for the node goes, nothing throws.
  const full = store(10);
  full.items.quarlo_listing = JSON.stringify(listing);
  assert.doesNotThrow(() => keepListing(full, '', listing));
  assert.equal(keptListing(full, ''), null);
  // No storage at all, or text that is not a listing.
  assert.doesNotThrow(() => keepListing(null, '', listing));
  assert.equal(keptListing(null, ''), null);
  for (const text of ['{', '"x"', '{"repos":{}}', 'null', '{"packed":1,"doc":{}}']) {
    const bad = store();
    bad.items.quarlo_listing = text;
    assert.equal(keptListing(bad, ''), null, text);
  }
});

test('the kept listing is packed: read back as it came, and 10,000 rows fit a 5 MB storage', () => {
  const { keepListing } = parts();
  const keptListing = (...args) => JSON.parse(JSON.stringify(parts().keptListing(...args)));
  const items = {};
  const store = {
    getItem: (k) => (k in items ? items[k] : null),
    setItem(k, v) {
      if (v.length > 5 * 1024 * 1024) throw new Error('QuotaExceededError');
      items[k] = String(v);
    },
    removeItem: (k) => delete items[k],
  };
  // A row as the listing writes it, with a path as long as a user's.
  const root = '/home/someone/src/github.com';
  const row = (i) => ({
    path: `${root}/organisation-${i % 50}/project-${i}`, name: `project-${i}`, root,
    branch: i % 7 ? 'main' : `feature/${i}`, upstream: i % 7 ? 'origin/main' : '', remote: '', ahead: i % 3,
    behind: 0, dirty: i % 10 ? 0 : 2, untracked: i % 10 ? 0 : 1, staged: 0, conflicted: 0, stash: i % 11 ? 0 : 1,
    detached: i % 13 === 0, no_upstream: i % 7 === 0, unborn: false,
    last_commit: i % 97 ? { hash: (i * 2654435761).toString(16).padStart(40, '0'), short: String(i).padStart(11, '0'),
      ct: 1700000000 + i, at: '2023-11-14T22:13:20Z', subject: `change number ${i}` } : null,
    path_param: `${root}/organisation-${i % 50}/project-${i}`, error: i % 500 ? '' : 'fatal: not a git repository',
    upstream_gone: false, operation: '', operation_branch: '', fetched_at: i % 4 ? 1700000000 : 0,
  });
  // Rows of every kind: shared and differing values, nulls, nested objects,
  // a key only some rows have, texts of every character.
  const odd = { ...row(1), extra: [1, { a: 'b' }], name: 'quo"te\\ \u2028 \u00e9 \ud83d\ude00' };
  const small = { ok: true, count: 4, summary: { dirty: 1 }, roots: [{ root: '/r', count: 4 }],
    repos: [row(10), row(1), odd, row(97)] };
  keepListing(store, '', small);
  const back = keptListing(store, '');
  assert.deepEqual(back.repos.slice(0, 2), [{ ...row(10), extra: null }, { ...row(1), extra: null }]);
  assert.deepEqual(back.repos[2], odd);
  assert.deepEqual(back.repos[3], { ...row(97), extra: null });
  assert.deepEqual({ ...back, repos: [] }, { ...small, repos: [] });
  // A listing kept whole by an earlier page is still read.
  items.quarlo_listing = JSON.stringify(small);
  assert.deepEqual(keptListing(store, ''), small);

  const big = { ok: true, count: 10000, repos: Array.from({ length: 10000 }, (_, i) => row(i)) };
  assert.ok(JSON.stringify(big).length > 5 * 1024 * 1024, 'the whole listing would not fit');
  keepListing(store, '', big);
  assert.deepEqual(keptListing(store, ''), big);
});

test('codeClass: the colour of a change code', () => {
  const { codeClass } = parts();
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
  { name: 'gone', path: '/src/gone', branch: '', upstream: '', dirty: 0, ahead: 0, behind: 0, stash: 0,
    error: 'fatal: detected dubious ownership in repository at \'/src/gone\'', last_commit: { ct: 0 } },
];

test('matches: chip filter, state select and search together', () => {
  const { matches, filtered } = parts();
  const cases = [
    // [chip, state, search, names that pass]
    ['all', '', '', ['web', 'api', 'old', 'new', 'gone']],
    ['dirty', '', '', ['web']],
    ['ahead', '', '', ['web']],
    ['behind', '', '', ['api']],
    ['stash', '', '', ['api']],
    ['all', 'dirty', '', ['web']],
    // A repository git could not read is never clean.
    ['all', 'clean', '', ['api', 'old', 'new']],
    ['all', 'error', '', ['gone']],
    ['all', '', 'dubious', ['gone']],
    ['all', 'ahead', '', ['web']],
    ['all', 'behind', '', ['api']],
    ['all', 'detached', '', ['old']],
    ['all', 'noup', '', ['new']],
    ['all', '', 'MAIN', ['web', 'new']],
    ['all', '', 'login', ['web']],
    ['all', '', 'feature/', ['api']],
    // The path is not searched: the row does not show it.
    ['all', '', '/src/o', []],
    // A detached row shows no branch, so "detached" finds no branch text.
    ['all', '', 'detached', []],
    ['all', '', 'secret-remote', []],
    // The search text is not trimmed: a trailing space must match too.
    ['all', '', 'deps ', []],
    ['all', '', 'bump d', ['api']],
    ['stash', 'behind', 'deps', ['api']],
    ['dirty', 'clean', '', []],
  ];
  for (const [chip, state, search, names] of cases) {
    const view = { chip, state, search, ambiguous: {} };
    assert.deepEqual(filtered(REPOS, view).map((r) => r.name), names, `${chip} / ${state} / ${JSON.stringify(search)}`);
    assert.deepEqual(REPOS.filter((r) => matches(r, view)).map((r) => r.name), names);
  }
});

test('matches: two repositories of one name are told apart by their path below the root', () => {
  const { filtered, ambiguousNames, rowHtml } = parts();
  const repos = [
    { name: 'app', path: '/r/clients/acme/app', root: '/r' },
    { name: 'app', path: '/r/clients/zeta/app', root: '/r' },
    { name: 'tool', path: '/r/tools/tool', root: '/r' },
  ];
  const ambiguous = ambiguousNames(repos);
  const cases = [
    ['acme', ['/r/clients/acme/app']],
    ['clients/', ['/r/clients/acme/app', '/r/clients/zeta/app']],
    // The one "tool" shows its name alone: its folders are not searched.
    ['tools/', []],
    ['app', ['/r/clients/acme/app', '/r/clients/zeta/app']],
  ];
  for (const [search, paths] of cases)
    assert.deepEqual(filtered(repos, { chip: 'all', state: '', search, ambiguous }).map((r) => r.path), paths, search);
  // The rows show the paths where the names are the same, the name elsewhere,
  // and the whole path as the name's tooltip.
  const names = repos.map((r) => /<button type="button" class="name" title="([^"]*)"[^>]*>([^<]*)</.exec(rowHtml(r, ambiguous, '')).slice(1));
  assert.deepEqual(names, [
    ['/r/clients/acme/app', 'clients/acme/app'],
    ['/r/clients/zeta/app', 'clients/zeta/app'],
    ['/r/tools/tool', 'tool'],
  ]);
  // The repository open in the drawer is marked.
  assert.match(rowHtml(repos[2], ambiguous, '/r/tools/tool'), /^<tr class="row sel" /);
});

test('rowHtml: the last-commit cell and the branch of unusual rows', () => {
  const { rowHtml: html } = parts({ now: NOW * 1000 });
  const rowHtml = (r) => html(r, {}, '');
  const lastCell = (html) => /<td class="c-last">(.*)<\/td><\/tr>$/.exec(html)[1];
  const cases = [
    // [repository, last-commit cell, text that must not stand in the row]
    [{ name: 'a', path: '/a', branch: 'main', last_commit: { subject: 'Fix <it>', short: '0123456789a', ct: NOW - 120 } },
      '<div class="sub subtext">Fix &lt;it&gt;</div><div class="hash">01234567 &middot; 2m ago</div>', null],
    // No commit yet: no stray dashes.
    [{ name: 'u', path: '/u', branch: 'main', unborn: true, last_commit: { subject: '', short: '', ct: 0 } },
      '<div class="sub subtext muted">No commits yet</div>', '&middot;'],
    // Git could not read it: the message in place of the last commit, never "clean".
    [{ name: 'e', path: '/e', branch: '', error: 'git did not answer within 20 s', last_commit: { ct: 0 } },
      '<div class="sub subtext errtext">git did not answer within 20 s</div>', 'clean'],
  ];
  for (const [r, cell, absent] of cases) {
    const html = rowHtml(r);
    assert.equal(lastCell(html), cell, r.name);
    if (absent) assert.ok(!html.includes(absent), `${r.name}: ${absent}`);
    // Every row is a table row whose name is a button, named by the
    // repository and its state.
    assert.match(html, /^<tr class="row" data-p="[^"]+" data-q="[^"]*"><td class="c-repo"><div class="cell"><button type="button" class="name" /);
  }
  assert.match(rowHtml({ name: 'w', path: '/w', branch: 'main', step: 'Commit or stash 2 changes', dirty: 2, last_commit: {} }),
    / aria-label="w, Commit or stash 2 changes">w<\/button>/);
  // "detached" is a tag, not the branch too.
  const detached = rowHtml({ name: 'd', path: '/d', branch: 'detached', detached: true, last_commit: {} });
  assert.ok(!/class="mo br"/.test(detached));
  assert.match(detached, /<span class="tag t-det">detached</);
});

test('sorted: each key in its natural order and reversed; ties keep the server order', () => {
  const { sorted } = parts();
  const repos = [
    { name: 'b', path: '/b', dirty: 2, last_commit: { ct: 300 } },
    { name: 'A', path: '/A', ahead: 1, behind: 4, last_commit: { ct: 100 } },
    { name: 'c', path: '/c', error: 'git could not be started', last_commit: { ct: 0 } },
    { name: 'd', path: '/d', behind: 1, last_commit: { ct: 200 } },
    { name: 'e', path: '/e', unborn: true, no_upstream: true, last_commit: { ct: 0 } },
    { name: 'f', path: '/f', conflicted: 1, dirty: 1, last_commit: { ct: 50 } },
  ];
  const cases = [
    ['', ['b', 'A', 'c', 'd', 'e', 'f']],
    ['name', ['A', 'b', 'c', 'd', 'e', 'f']],
    ['-name', ['f', 'e', 'd', 'c', 'b', 'A']],
    // Newest commit first; repositories without one last.
    ['age', ['b', 'd', 'A', 'f', 'c', 'e']],
    ['-age', ['c', 'e', 'f', 'A', 'd', 'b']],
    // Most commits apart first.
    ['sync', ['A', 'd', 'b', 'c', 'e', 'f']],
    // The program's rank of each state, most urgent first; more changes
    // first among equals.
    ['state', ['c', 'f', 'b', 'A', 'd', 'e']],
  ];
  const ranks = { b: 4, A: 5, c: 0, d: 6, e: 11, f: 2 };
  for (const r of repos) r.state_rank = ranks[r.name];
  for (const [sort, names] of cases) assert.deepEqual(sorted(repos, sort, {}).map((r) => r.name), names, sort);
});

test('noticesHtml: the limits the listing reached and the repositories git could not read', () => {
  const { noticesHtml } = parts();
  const notices = (d, roots = []) => [...noticesHtml(d, roots).matchAll(/<div class="notice">(.*?)<\/div>/g)].map((m) =>
    m[1].replace(/<[^>]+>/g, ''));
  assert.deepEqual(notices({ table_capped: false, summary: { errors: 0 } }, [{ root: '/a', truncated: false }]), []);
  // A listing from a program that does not count errors: no notice either.
  assert.deepEqual(notices({ summary: {} }), []);
  assert.deepEqual(notices({ table_capped: true, count: 1200 }), [
    'The repository table is full at 1200 repositories: any further repositories below the roots are not listed.',
  ]);
  assert.deepEqual(notices({}, [{ root: '/deep', truncated: true }, { root: '/ok', truncated: false }, { root: '/<x>', truncated: true }]), [
    'The search below /deep stopped at its depth or folder limit: some repositories there may be missing.',
    'The search below /&lt;x&gt; stopped at its depth or folder limit: some repositories there may be missing.',
  ]);
  assert.deepEqual(notices({ summary: { errors: 2 } }), [
    'Git could not read 2 repositories: show the rows tagged &ldquo;unreadable&rdquo;.',
  ]);
});

test('detailHtml: an unreadable repository shows its error and no claim of a clean tree', () => {
  const { detailHtml } = parts();
  const html = detailHtml({
    ok: true,
    repo: { path: '/x/gone', error: 'fatal: detected dubious ownership', remote: '', last_commit: { ct: 0 } },
    changed: [],
    commits: [],
  });
  assert.match(html, /<div class="err">fatal: detected dubious ownership<\/div>/);
  assert.ok(!html.includes('Working tree is clean.'));
  assert.ok(!html.includes('No commits yet.'));
  assert.ok(!html.includes('>clean<'));
  assert.equal(html.match(/Not known: git could not read this repository\./g).length, 3);
  // A readable one keeps its texts, and shows its remote.
  const fine = detailHtml({ ok: true, repo: { path: '/x/ok', remote: 'https://h/r.git', last_commit: {} }, changed: [], commits: [] });
  assert.match(fine, /Working tree is clean\./);
  assert.match(fine, /remote <span class="mo">https:\/\/h\/r\.git<\/span>/);
});

test('the view in the page address: chip, state, search and sort, each checked', () => {
  const { parseAddress, viewOf, STATE_FILTERS, SORTS } = parts();
  const cases = [
    // [page query, chip, state, search, sort]
    ['?chip=dirty&state=clean&q=a%20b&sort=-age', 'dirty', 'clean', 'a b', '-age'],
    ['?chip=nope&state=bogus&sort=weird', '', '', '', ''],
    ['?state=toString&sort=constructor&chip=all', '', '', '', ''],
    ['', '', '', '', ''],
    ['?state=error&sort=state', '', 'error', '', 'state'],
  ];
  for (const [search, chip, state, q, sort] of cases)
    assert.deepEqual({ ...viewOf(parseAddress(search), STATE_FILTERS, SORTS) }, { chip, state, q, sort }, search);
});

// The connection of a page at `search` with the given storages.
function connection(search, local = {}, session = {}) {
  const { parseAddress, connectionOf } = parts();
  const read = (store) => (k) => (k in store ? store[k] : '');
  return connectionOf(parseAddress(search), read(session), read(local));
}

test('apiUrl: the URL of each call', () => {
  const { apiUrl } = parts();
  const cases = [
    // [page query, stored keys, action, extra, URL]
    ['', {}, 'repos', undefined, '/plugin_quarlo?action=repos'],
    ['?node=alpha', {}, 'repo', 'path=C%3A%5Csrc%5Capp', '/plugin_quarlo?action=repo&path=C%3A%5Csrc%5Capp&node=alpha'],
    ['?plugin=quarlo&node=alpha', {}, 'repo', 'path=C%3A%5Csrc%5Capp',
      '/plugins?plugin=quarlo?action=repo&path=C%3A%5Csrc%5Capp&node=alpha'],
    ['?plugin=my+plug&node=a%20b&id=7&pwd=p%2Bw+d', {}, 'repos', '',
      '/plugins?plugin=my%20plug?action=repos&node=a%20b&id=7&pwd=p%2Bw%20d'],
    ['?node=alpha', { bot_pwd_alpha: 'from-node', bot_active_pwd: 'active' }, 'repos', '',
      '/plugin_quarlo?action=repos&node=alpha&pwd=from-node'],
    ['', { bot_pwd_alpha: 'from-node', bot_active_pwd: 'active' }, 'repos', '', '/plugin_quarlo?action=repos&pwd=active'],
    ['?pwd=given', { bot_active_pwd: 'active' }, 'repos', '', '/plugin_quarlo?action=repos&pwd=given'],
    ['', {}, 'a b&c', '', '/plugin_quarlo?action=a%20b%26c'],
  ];
  for (const [search, storage, action, extra, url] of cases)
    assert.equal(apiUrl(connection(search, storage), action, extra), url, search);
});

test('connectionOf: a password kept for the browser session is sent as one from the URL', () => {
  const cases = [
    // [page query, local storage, session storage, password the calls carry]
    ['', {}, { quarlo_pwd: 'typed' }, 'typed'],
    ['', { bot_active_pwd: 'active' }, { quarlo_pwd: 'typed' }, 'typed'],
    ['?node=alpha', { bot_pwd_alpha: 'local' }, { quarlo_pwd_alpha: 'typed' }, 'typed'],
    // Each node has its own: another node's password is not sent.
    ['?node=alpha', {}, { quarlo_pwd: 'no node', quarlo_pwd_beta: 'beta' }, ''],
    ['?pwd=url', {}, { quarlo_pwd: 'typed' }, 'url'],
  ];
  for (const [search, local, session, want] of cases) assert.equal(connection(search, local, session).pwd, want, search);
});

test('the drawer: its title is the last component of the path; the detail call names the path', () => {
  const { lastComponent, pathValue } = parts();
  const cases = [
    ['C:\\src\\app', 'app'],
    ['/home/me/code/web', 'web'],
    ['/srv/mixed\\sep/name', 'name'],
    ['/srv/code/', '/srv/code/'],
    ['C:\\', 'C:\\'],
    ['plain', 'plain'],
  ];
  for (const [p, title] of cases) {
    assert.equal(lastComponent(p), title, p);
    assert.equal(pathValue(p, ''), encodeURIComponent(p));
  }
  // A name that is not UTF-8 is sent as its own bytes, other paths as before.
  assert.equal(pathValue('/srv/caf\uFFFD', '/srv/caf%E9'), '/srv/caf%E9');
  assert.equal(pathValue('/srv/cafe', '/srv/cafe'), '%2Fsrv%2Fcafe');
});

// The address forms the bot uses: [page query, plugin, node, id, password,
// embed, theme, URL of the listing call].
const ADDRESSES = [
  ['', '', '', '', '', false, '', '/plugin_quarlo?action=repos'],
  ['?embed=1&theme=dark&node=alpha', '', 'alpha', '', '', true, 'dark', '/plugin_quarlo?action=repos&node=alpha'],
  // The direct form with further parameters after a second '?'.
  ['?node=alpha?embed=true', '', 'alpha', '', '', true, '', '/plugin_quarlo?action=repos&node=alpha'],
  ['?plugin=quarlo', 'quarlo', '', '', '', false, '', '/plugins?plugin=quarlo?action=repos'],
  // The proxied form: the plugin's parameters after a second '?', in any mix.
  ['?plugin=quarlo?embed=1', 'quarlo', '', '', '', true, '', '/plugins?plugin=quarlo?action=repos'],
  ['?plugin=quarlo?theme=light', 'quarlo', '', '', '', false, 'light', '/plugins?plugin=quarlo?action=repos'],
  ['?plugin=quarlo?node=alpha', 'quarlo', 'alpha', '', '', false, '', '/plugins?plugin=quarlo?action=repos&node=alpha'],
  ['?plugin=quarlo?embed=1&theme=dark&node=a%20b?id=7&pwd=p%2Bw+d', 'quarlo', 'a b', '7', 'p+w d', true, 'dark',
    '/plugins?plugin=quarlo?action=repos&node=a%20b&id=7&pwd=p%2Bw%20d'],
  ['?plugin=quarlo&embed=1?node=alpha', 'quarlo', 'alpha', '', '', true, '', '/plugins?plugin=quarlo?action=repos&node=alpha'],
  ['?plugin=my%20plug?pwd=s3cret', 'my plug', '', '', 's3cret', false, '', '/plugins?plugin=my%20plug?action=repos&pwd=s3cret'],
  // Empty parts, a parameter without '=', a malformed escape, the first of two.
  ['?&&plugin=quarlo??embed=1&flag&node=100%', 'quarlo', '100%', '', '', true, '',
    '/plugins?plugin=quarlo?action=repos&node=100%25'],
  ['?theme=lightbox&theme=dark&embed=0&embed=1', '', '', '', '', false, 'light', '/plugin_quarlo?action=repos'],
  ['?embed=1x', '', '', '', '', false, '', '/plugin_quarlo?action=repos'],
];

// Runs the theme bootstrap (src/page/theme_boot.js) for a page at `search`
// with nothing stored and a dark system; gives its theme and embed mode.
function bootFor(search) {
  const fs = require('node:fs');
  const path = require('node:path');
  const vm = require('node:vm');
  // As the build puts it in the page: the address reader, then the
  // bootstrap, in one function.
  const read = (...p) => fs.readFileSync(path.join(__dirname, '..', '..', 'src', 'page', ...p), 'utf8');
  const source = `(function () {\n${read('js', '12-address-read.js')}${read('theme_boot.js')}})();`;
  const root = { attrs: {}, classes: new Set() };
  root.setAttribute = (k, v) => (root.attrs[k] = v);
  root.classList = { add: (c) => root.classes.add(c) };
  const context = {
    document: { documentElement: root },
    location: { search },
    localStorage: { getItem: () => null, setItem() {} },
    matchMedia: () => ({ matches: false }),
  };
  context.window = context;
  vm.runInNewContext(source, context);
  return { theme: root.attrs['data-theme'], embed: root.classes.has('embedded') };
}

test('parseAddress: every form of the address the bot uses, and the bootstrap reads it alike', () => {
  const { parseAddress, connectionOf, apiUrl, embedOf, themeOf } = parts();
  const none = () => '';
  for (const [search, plugin, node, id, pwd, embed, theme, url] of ADDRESSES) {
    const address = parseAddress(search);
    const conn = connectionOf(address, none, none);
    assert.deepEqual([conn.plugin, conn.node, conn.id, conn.pwd], [plugin, node, id, pwd], search);
    assert.equal(apiUrl(conn, 'repos'), url, search);
    assert.equal(embedOf(address), embed, search);
    assert.equal(themeOf(address), theme, search);
    assert.deepEqual(bootFor(search), { theme: theme || 'dark', embed }, `bootstrap: ${search}`);
  }
});

test('editAddress: the view and the password change only their own parameters', () => {
  const { parseAddress, editAddress } = parts();
  const cases = [
    // [page query, changes, query after]
    ['', { q: 'a b', sort: '' }, '?q=a%20b'],
    ['?plugin=quarlo?embed=1&node=alpha', { chip: 'dirty', q: '' }, '?plugin=quarlo?embed=1&node=alpha&chip=dirty'],
    ['?plugin=quarlo?embed=1&q=old&x=%2B', { q: 'new' }, '?plugin=quarlo?embed=1&q=new&x=%2B'],
    // The password leaves; the '?' before it passes to the parameter after it.
    ['?plugin=quarlo?pwd=s3cret&node=alpha', { pwd: '' }, '?plugin=quarlo?node=alpha'],
    ['?pwd=s3cret&node=alpha', { pwd: '' }, '?node=alpha'],
    ['?node=alpha&pwd=a&pwd=b', { pwd: '' }, '?node=alpha'],
    ['?pwd=s3cret', { pwd: '' }, ''],
    ['?q=1&q=2&embed=1', { q: '3' }, '?q=3&embed=1'],
  ];
  for (const [search, changes, want] of cases) assert.equal(editAddress(parseAddress(search), changes), want, search);
});

// ---- what needs the user: an operation in progress, a gone upstream, old figures ----

const DAY_S = 86400;

test('tags of an operation in progress, a gone upstream and figures not fetched for a week', () => {
  const { tagsHtml } = parts({ now: NOW * 1000 });
  const base = { dirty: 0, ahead: 0, behind: 0, stash: 0, upstream: 'origin/main', fetched_at: NOW - DAY_S };
  const cases = [
    [{ operation: 'rebase', operation_branch: 'feature', dirty: 1, conflicted: 1 },
      ['t-op:rebasing feature', 't-con:1 conflicted', 't-dirty:1 changed']],
    [{ operation: 'rebase', operation_branch: '' }, ['t-op:rebasing']],
    [{ operation: 'merge', dirty: 1, conflicted: 1 }, ['t-op:merging', 't-con:1 conflicted', 't-dirty:1 changed']],
    [{ operation: 'cherry-pick' }, ['t-op:cherry-picking']],
    [{ operation: 'revert' }, ['t-op:reverting']],
    [{ operation: 'am', detached: true }, ['t-op:applying patches']],
    // A name a newer program may send is still said.
    [{ operation: 'sequence' }, ['t-op:sequence in progress']],
    [{ upstream_gone: true, upstream: 'origin/feature' }, ['t-gone:upstream gone']],
    // Fetched more than a week ago, or never: the figures are stale.
    [{ fetched_at: NOW - 8 * DAY_S }, ['t-stale:fetched 8 days ago']],
    [{ fetched_at: NOW - 7 * DAY_S }, ['t-clean:clean']],
    [{ fetched_at: 0, behind: 2 }, ['t-behind:\u21932 to pull', 't-stale:never fetched']],
    // Nothing to compare with, or a program that does not say: not stale.
    [{ fetched_at: 0, upstream: '' }, ['t-clean:clean']],
    [{ fetched_at: 0, upstream_gone: true }, ['t-gone:upstream gone']],
    [{ fetched_at: undefined }, ['t-clean:clean']],
    // A repository git could not read has the unreadable tag alone.
    [{ error: 'fatal: x', operation: '', fetched_at: 0 }, ['t-err:unreadable']],
  ];
  for (const [fields, want] of cases) assert.deepEqual(tags(tagsHtml({ ...base, ...fields })), want, JSON.stringify(fields));
});

test('fetchedText: when the remote was last fetched, in words', () => {
  const { fetchedText } = parts({ now: NOW * 1000 });
  const cases = [
    [undefined, ''],
    [null, ''],
    [0, 'never fetched'],
    [NOW - 30, 'fetched just now'],
    [NOW - 60, 'fetched 1 minute ago'],
    [NOW - 7200, 'fetched 2 hours ago'],
    [NOW - DAY_S, 'fetched 1 day ago'],
    [NOW - 12 * DAY_S, 'fetched 12 days ago'],
    [NOW - 65 * DAY_S, 'fetched 2 months ago'],
    [NOW - 800 * DAY_S, 'fetched 2 years ago'],
  ];
  for (const [t, want] of cases) assert.equal(fetchedText({ upstream: 'origin/main', fetched_at: t }), want, String(t));
  // Said only where there is an upstream to fetch from.
  assert.equal(fetchedText({ upstream: '', fetched_at: 0 }), '');
  assert.equal(fetchedText({ upstream: 'origin/f', upstream_gone: true, fetched_at: NOW }), '');
});

test('the Sync column: neutral arrows, grey zeros and old figures, silent without an upstream', () => {
  const { rowHtml } = parts({ now: NOW * 1000 });
  const sync = (r) => /<td class="c-sync mo">(.*?)<\/td><td class="c-stash mo">/.exec(rowHtml({ name: 'x', path: '/x', ...r }, {}, ''))[1];
  const cases = [
    [{ upstream: 'origin/main', fetched_at: NOW - DAY_S }, '<span class="muted">\u21910 \u21930</span>'],
    [{ upstream: 'origin/main', ahead: 1, fetched_at: NOW - DAY_S }, '\u21911 \u21930'],
    [{ upstream: 'origin/main', ahead: 1 }, '\u21911 \u21930'],
    [{ upstream: 'origin/main', fetched_at: NOW - 12 * DAY_S }, '<span class="stale">\u21910 \u21930</span>'],
    [{ upstream: 'origin/main', behind: 2, fetched_at: 0 }, '<span class="stale">\u21910 \u21932</span>'],
    [{ upstream: 'origin/f', upstream_gone: true, fetched_at: NOW }, ''],
    [{ upstream: '', no_upstream: true, fetched_at: 0 }, ''],
  ];
  for (const [r, want] of cases) assert.equal(sync(r), want, JSON.stringify(r));
});

test('the chip, the state select and the state sort for what needs the user', () => {
  const { filtered, sorted } = parts({ now: NOW * 1000 });
  // The program's state, its rank and whether it needs the user, as the
  // listing says them.
  const repos = [
    { name: 'clean', upstream: 'origin/main', fetched_at: NOW, state_rank: 13, needs_you: false },
    { name: 'old', upstream: 'origin/main', fetched_at: NOW - 30 * DAY_S, state_rank: 8, needs_you: false },
    { name: 'gone', upstream: 'origin/f', upstream_gone: true, fetched_at: NOW, state_rank: 3, needs_you: true },
    { name: 'dirty', dirty: 2, state_rank: 4, needs_you: false },
    { name: 'conflict', dirty: 1, conflicted: 1, state_rank: 2, needs_you: true },
    { name: 'rebasing', operation: 'rebase', operation_branch: 'f', dirty: 1, conflicted: 1, state_rank: 1, needs_you: true },
    { name: 'bisect', operation: 'bisect', state_rank: 1, needs_you: true },
    { name: 'broken', error: 'fatal: x', state_rank: 0, needs_you: true },
  ];
  const names = (list) => list.map((r) => r.name);
  const cases = [
    ['needs', '', ['gone', 'conflict', 'rebasing', 'bisect', 'broken']],
    ['all', 'operation', ['rebasing', 'bisect']],
    ['all', 'gone', ['gone']],
    ['all', 'stale', ['old']],
  ];
  for (const [chip, state, want] of cases)
    assert.deepEqual(names(filtered(repos, { chip, state, search: '', ambiguous: {} })), want, `${chip} / ${state}`);
  assert.deepEqual(names(sorted(repos, 'state', {})), ['broken', 'rebasing', 'bisect', 'conflict', 'gone', 'dirty', 'old', 'clean']);
});

test('the drawer says when the repository was last fetched and that its upstream is gone', () => {
  const { detailHtml } = parts({ now: NOW * 1000 });
  const notes = (repo) => [...detailHtml({ repo, changed: [], commits: [] }).matchAll(/<div class="note ([a-z ]+)">(.*?)<\/div>/g)]
    .map((m) => `${m[1]}: ${m[2]}`);
  const cases = [
    [{ upstream: 'origin/main', fetched_at: NOW - 2 * DAY_S }, ['fetched: fetched 2 days ago']],
    [{ upstream: 'origin/main', fetched_at: NOW - 12 * DAY_S },
      ['fetched stale: fetched 12 days ago: ahead and behind may be out of date']],
    [{ upstream: 'origin/main', fetched_at: 0 }, ['fetched stale: never fetched: ahead and behind may be out of date']],
    [{ upstream: '', fetched_at: 0 }, []],
    [{ upstream: 'origin/f', upstream_gone: true, fetched_at: NOW - 60 },
      ['gone: The upstream <span class="mo">origin/f</span> was deleted on the remote.']],
    [{ upstream: 'origin/main' }, []],
    [{ error: 'fatal: x', fetched_at: 0 }, []],
  ];
  for (const [repo, want] of cases) assert.deepEqual(notes(repo), want, JSON.stringify(repo));
});
