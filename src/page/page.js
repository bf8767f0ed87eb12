// The dashboard's behaviour. This file is the body of the page script's one
// function: page.html wraps it in a function that runs at once, so none of
// its names is global. It loads the listing, fills the chips and the table,
// filters them, and shows one repository's detail in the drawer.
'use strict';

var CLEAN_TEXT = 'No repositories found under the allowlisted roots.';

function $(id) {
  return document.getElementById(id);
}

function storedValue(key) {
  try {
    return localStorage.getItem(key) || '';
  } catch (e) {
    return '';
  }
}

// Connection values from the page's own URL.
var PARAMS = new URLSearchParams(location.search);
var node = PARAMS.get('node') || '';
var sid = PARAMS.get('id') || '';
var pwd = PARAMS.get('pwd') || (node ? storedValue('bot_pwd_' + node) : '') || storedValue('bot_active_pwd');
var HUB = PARAMS.get('plugin') || '';

var DATA = [];
var ROOTS = [];
var FILTER = 'all';
var SEL = '';
// Counts drawer openings and closings, so that a late detail answer never
// replaces what a later opening or a closing put in the drawer.
var DETAIL_SEQ = 0;

var ESC_MAP = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };

function esc(v) {
  if (v === null || v === undefined) return '';
  return String(v).replace(/[&<>"']/g, function (c) {
    return ESC_MAP[c];
  });
}

function txt(id, v) {
  var el = $(id);
  if (el) el.textContent = v;
}

// A number from the server, 0 when missing or not a number.
function num(v) {
  v = Number(v);
  return isFinite(v) ? v : 0;
}

function str(v) {
  return v === null || v === undefined ? '' : String(v);
}

function errorText(e) {
  return e && e.message ? e.message : str(e);
}

function api(action, extra) {
  var url = HUB ? '/plugins?plugin=' + encodeURIComponent(HUB) : '/plugin_quarlo';
  url += '?action=' + encodeURIComponent(action);
  if (extra) url += '&' + extra;
  if (node) url += '&node=' + encodeURIComponent(node);
  if (sid) url += '&id=' + encodeURIComponent(sid);
  if (pwd) url += '&pwd=' + encodeURIComponent(pwd);
  var request = pwd ? fetch(url, { headers: { 'X-Bot-Password': pwd } }) : fetch(url);
  return request.then(function (res) {
    if (res.status < 200 || res.status > 299) throw new Error('HTTP ' + res.status);
    return res.json();
  });
}

var AGE_STEPS = [
  [60, 1, 's'],
  [3600, 60, 'm'],
  [86400, 3600, 'h'],
  [2592000, 86400, 'd'],
  [31536000, 2592000, 'mo'],
];

function ago(ct) {
  if (!ct) return '-';
  var s = Math.floor(Date.now() / 1000) - ct;
  if (!(s > 0)) s = 0;
  for (var i = 0; i < AGE_STEPS.length; i++)
    if (s < AGE_STEPS[i][0]) return Math.floor(s / AGE_STEPS[i][1]) + AGE_STEPS[i][2] + ' ago';
  return Math.floor(s / 31536000) + 'y ago';
}

function tag(cls, text) {
  return '<span class="tag ' + cls + '">' + text + '</span>';
}

function badges(r) {
  var dirty = num(r.dirty), ahead = num(r.ahead), behind = num(r.behind), stash = num(r.stash);
  var h = '';
  if (dirty > 0) h += tag('t-dirty', dirty + ' changed');
  if (ahead > 0) h += tag('t-ahead', '+' + ahead);
  if (behind > 0) h += tag('t-behind', '-' + behind);
  if (r.detached) h += tag('t-det', 'detached');
  if (r.no_upstream && !r.detached) h += tag('t-noup', 'no upstream');
  if (r.unborn) h += tag('t-unborn', 'unborn');
  if (stash > 0) h += tag('t-stash', stash + ' stash');
  if (dirty === 0 && !r.detached && !r.unborn) h += tag('t-clean', 'clean');
  return h;
}

function passesChip(r) {
  switch (FILTER) {
  case 'dirty':
    return num(r.dirty) > 0;
  case 'ahead':
    return num(r.ahead) > 0;
  case 'behind':
    return num(r.behind) > 0;
  case 'stash':
    return num(r.stash) > 0;
  default:
    return true;
  }
}

function passesState(r, state) {
  switch (state) {
  case 'dirty':
    return num(r.dirty) > 0;
  case 'clean':
    return !(num(r.dirty) > 0);
  case 'ahead':
    return num(r.ahead) > 0;
  case 'behind':
    return num(r.behind) > 0;
  case 'detached':
    return r.detached === true;
  case 'noup':
    return r.no_upstream === true;
  default:
    return true;
  }
}

function matches(r) {
  var sc = $('sc'), q = $('q');
  if (!passesChip(r) || !passesState(r, sc ? sc.value : '')) return false;
  var search = q ? q.value.toLowerCase() : '';
  if (!search) return true;
  var lc = r.last_commit || {};
  var hay = [r.name, r.path, r.branch, r.upstream, lc.subject].map(str).join(' ').toLowerCase();
  return hay.indexOf(search) >= 0;
}

function DUPS(a) {
  return a.filter(matches);
}

function rowHtml(r) {
  var lc = r.last_commit || {};
  var ahead = num(r.ahead), behind = num(r.behind), stash = num(r.stash);
  var dash = '<span class="muted">-</span>';
  return (
    '<tr class="row' + (SEL && r.path === SEL ? ' sel' : '') + '" data-p="' + esc(r.path) + '">' +
    '<td class="c-repo"><div class="name">' + esc(r.name) + '</div>' +
    '<div class="sub"><span class="mo">' + (r.branch ? esc(r.branch) : '-') + '</span> ' + badges(r) + '</div></td>' +
    '<td class="c-root muted mo">' + (r.root ? esc(r.root) : '-') + '</td>' +
    '<td class="c-sync mo">' + (ahead || behind ? '+' + ahead + ' -' + behind : dash) + '</td>' +
    '<td class="c-sync mo">' + (stash ? stash : dash) + '</td>' +
    '<td class="c-last"><div class="sub subtext">' + (lc.subject ? esc(lc.subject) : '-') + '</div>' +
    '<div class="hash">' + esc(str(lc.short).slice(0, 8)) + ' &middot; ' + ago(lc.ct) + '</div></td>' +
    '</tr>'
  );
}

function render() {
  var list = DUPS(DATA);
  var rows = $('rows');
  rows.innerHTML = list.map(rowHtml).join('');
  $('empty').className = list.length ? 'empty hide' : 'empty';
  var trs = rows.querySelectorAll('tr.row');
  for (var i = 0; i < trs.length; i++) {
    trs[i].addEventListener('click', function () {
      openDetail(this.getAttribute('data-p'));
    });
  }
}

function setCounts(s, n) {
  s = s || {};
  txt('vAll', num(n));
  txt('vDirty', num(s.dirty));
  txt('vAhead', num(s.ahead));
  txt('vBehind', num(s.behind));
  txt('vStash', num(s.stashes));
}

function rootsText(roots) {
  var n = roots.filter(function (r) {
    return r && r.exists === true;
  }).length;
  if (n === 0) return 'no roots';
  return n === 1 ? '1 root' : n + ' roots';
}

function load() {
  var rf = $('rfBtn');
  if (rf) rf.disabled = true;
  return api('repos')
    .then(function (d) {
      d = d || {};
      var repos = Array.isArray(d.repos) ? d.repos : [];
      var roots = Array.isArray(d.roots) ? d.roots : [];
      var pill = rootsText(roots);
      DATA = repos;
      ROOTS = roots;
      setCounts(d.summary, d.count);
      txt('empty', CLEAN_TEXT);
      txt('rootPill', pill);
      render();
    })
    .catch(function (e) {
      txt('rootPill', 'error');
      var box = $('empty');
      box.className = 'empty';
      box.textContent = 'Load failed: ' + errorText(e);
    })
    .then(function () {
      if (rf) rf.disabled = false;
    });
}

function codeClass(c) {
  c = str(c);
  if (c === '??' || c === '!!') return 'c-unt';
  if (c === 'UU' || c === 'AA' || c === 'DD') return 'c-con';
  if (c.indexOf('A') >= 0) return 'c-add';
  if (c.indexOf('D') >= 0) return 'c-del';
  return 'c-mod';
}

function detailHtml(d) {
  var r = d.repo || {};
  var lc = r.last_commit || {};
  var changed = Array.isArray(d.changed) ? d.changed : [];
  var commits = Array.isArray(d.commits) ? d.commits : [];
  var h = '<div class="dsec">Repository</div>';
  h += '<div class="mo" style="font-size:12px;word-break:break-all">' + esc(r.path) + '</div>';
  h += '<div style="margin-top:8px">' + badges(r) + '</div>';
  h += '<div class="note">branch <span class="mo">' + (r.branch ? esc(r.branch) : '-') + '</span>';
  if (r.upstream) h += ' &rarr; <span class="mo">' + esc(r.upstream) + '</span>';
  h += '</div>';

  h += '<div class="dsec">Last commit</div><ul class="clist"><li>';
  h += '<div class="s">' + (lc.subject ? esc(lc.subject) : '-') + '</div>';
  h += '<div class="m"><span class="mo">' + esc(str(lc.short).slice(0, 8)) + '</span><span>' + ago(lc.ct) + '</span></div>';
  h += '</li></ul>';

  h += '<div class="dsec">Changed files (' + num(d.changed_count) + ')</div>';
  if (!changed.length) {
    h += '<div class="muted">Working tree is clean.</div>';
  } else {
    h += '<ul class="flist">';
    for (var i = 0; i < changed.length; i++) {
      var f = changed[i] || {};
      h += '<li><span class="c ' + codeClass(f.code) + '">' + esc(f.code) + '</span><span class="p">' + esc(f.path) + '</span></li>';
    }
    h += '</ul>';
  }
  if (d.changed_truncated === true) h += '<div class="note">Showing the first 500 entries.</div>';

  h += '<div class="dsec">Recent commits (' + commits.length + ')</div>';
  if (!commits.length) {
    h += '<div class="muted">No commits yet.</div>';
  } else {
    h += '<ul class="clist">';
    for (var j = 0; j < commits.length; j++) {
      var c = commits[j] || {};
      h += '<li><div class="s">' + esc(c.subject) + '</div><div class="m"><span class="mo">' + esc(str(c.hash).slice(0, 8)) +
        '</span><span>' + esc(c.author) + '</span><span>' + ago(c.ct) + '</span></div></li>';
    }
    h += '</ul>';
  }
  return h;
}

function openDetail(path) {
  path = str(path);
  SEL = path;
  var seq = ++DETAIL_SEQ;
  var drawer = $('drawer');
  drawer.classList.add('open');
  drawer.setAttribute('aria-hidden', 'false');
  $('scrim').classList.remove('hide');
  var parts = path.split(/[\/\\]/);
  txt('dName', parts[parts.length - 1] || path);
  var body = $('dBody');
  body.innerHTML = '<div class="muted">Loading\u2026</div>';
  render();
  api('repo', 'path=' + encodeURIComponent(path))
    .then(function (d) {
      if (!d || d.ok !== true) throw new Error((d && d.error && str(d.error)) || 'failed');
      if (seq === DETAIL_SEQ) body.innerHTML = detailHtml(d);
    })
    .catch(function (e) {
      if (seq === DETAIL_SEQ) body.innerHTML = '<div class="err">Could not read this repository: ' + esc(errorText(e)) + '</div>';
    });
}

function closeDetail() {
  SEL = '';
  DETAIL_SEQ++;
  var drawer = $('drawer');
  drawer.classList.remove('open');
  drawer.setAttribute('aria-hidden', 'true');
  $('scrim').classList.add('hide');
  render();
}

function toggleTheme() {
  if (typeof window.ksApplyTheme !== 'function') return;
  var now = typeof window.ksTheme === 'function' ? window.ksTheme() : '';
  window.ksApplyTheme(now === 'dark' ? 'light' : 'dark');
}

$('dClose').addEventListener('click', closeDetail);
$('scrim').addEventListener('click', closeDetail);
document.addEventListener('keydown', function (e) {
  if (e.key === 'Escape') closeDetail();
});
$('rfBtn').addEventListener('click', function () {
  load();
});
$('q').addEventListener('input', render);
$('sc').addEventListener('change', render);
$('thBtn').addEventListener('click', toggleTheme);
var CHIPS = document.querySelectorAll('.chip');
for (var ci = 0; ci < CHIPS.length; ci++) {
  CHIPS[ci].addEventListener('click', function () {
    FILTER = this.getAttribute('data-filter') || 'all';
    for (var k = 0; k < CHIPS.length; k++) CHIPS[k].classList.remove('sel');
    this.classList.add('sel');
    render();
  });
}

load();
